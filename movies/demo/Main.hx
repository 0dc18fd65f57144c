import flash.Lib;
import flash.display.Sprite;
import flash.external.ExternalInterface;
import flash.text.TextField;
import flash.text.TextFormat;

// One line of the server's manifest: the installed file and the file as served.
typedef Entry = {
  name:String,        // path below the game folder, "/" between folders
  size:Int,
  md5:String,
  packed:Bool,        // served compressed; kept as NAME.qlz until it is unpacked
  packedSize:Int,
  packedMd5:String,
  served:String,      // its path in the site
  state:String,       // what the list shows for it
}

// The demo movie: the patcher. It asks for the game folder, fetches the manifest from the patch
// server, compares it with the files on disk, downloads what is missing or changed (with a
// progress bar), checks every digest, unpacks the compressed files and starts the game, then
// lets the launcher end when the game ends. Every step is shown on screen and written to the
// launcher's log as "FlashLog: demo: ...".
//
// The patch server's address comes as the movie's "server" parameter (the movie URL answer puts
// it into the query), else it is the folder the movie was loaded from. The game is installed in
// <local application data>/Brimtale/game (GET_NFOLDER 28, $XDG_DATA_HOME on Linux).
//
// Offline start: once the game is complete, the file list it was checked against is kept as the
// install's record (Brimtale/patch/installed.txt). When the patch server cannot be reached, the
// installed files are checked against that record, and a complete game starts offline.
//
// Commands answer through COMPLETE_EVENT with the answer name first; the movie waits for each
// answer before it sends the next command, so an answer always belongs to the step in `phase`.
class Main {
  static inline var WIDTH = 960;
  static inline var HEIGHT = 600;

  static var server = "";
  static var user = "guest";
  static var gameDir = "";
  static var manifestPath = "";
  static var recordPath = "";
  static var manifestHex = "";
  static var offline = false;
  static var entries:Array<Entry> = [];
  static var queue:Array<Entry> = [];
  static var checking = 0;
  static var current:Entry = null;
  static var attempts = 0;
  static var manifestAttempts = 0;
  static var phase = "";
  static var bytesNeeded = 0;
  static var bytesDone = 0;

  static var status:TextField;
  static var detail:TextField;
  static var list:TextField;
  static var who:TextField;
  static var fileBar:Sprite;
  static var totalBar:Sprite;
  static var fileBarLabel:TextField;
  static var totalBarLabel:TextField;

  // ---- screen ----

  static function text(x:Float, y:Float, width:Float, height:Float, size:Int, color:Int, bold = false):TextField {
    var field = new TextField();
    field.x = x;
    field.y = y;
    field.width = width;
    field.height = height;
    field.selectable = false;
    field.multiline = true;
    field.wordWrap = true;
    field.defaultTextFormat = new TextFormat("_sans", size, color, bold);
    Lib.current.addChild(field);
    return field;
  }

  static function bar(x:Float, y:Float, width:Float):Sprite {
    var frame = new Sprite();
    frame.graphics.beginFill(0x0E1728);
    frame.graphics.drawRoundRect(x - 2, y - 2, width + 4, 24, 10, 10);
    frame.graphics.endFill();
    Lib.current.addChild(frame);
    var fill = new Sprite();
    fill.x = x;
    fill.y = y;
    Lib.current.addChild(fill);
    return fill;
  }

  static function setBar(fill:Sprite, label:TextField, done:Float, total:Float, caption:String) {
    var share = total > 0 ? Math.min(1.0, done / total) : 0.0;
    fill.graphics.clear();
    if (share > 0) {
      fill.graphics.beginFill(0xE0A03A);
      fill.graphics.drawRoundRect(0, 0, 600 * share, 20, 8, 8);
      fill.graphics.endFill();
    }
    label.text = caption + "  " + Std.int(share * 100) + " %";
  }

  static function buildScreen() {
    var background = new Sprite();
    background.graphics.beginFill(0x14203A);
    background.graphics.drawRect(0, 0, WIDTH, HEIGHT);
    background.graphics.endFill();
    background.graphics.beginFill(0x24365C);
    background.graphics.drawRoundRect(40, 110, WIDTH - 80, HEIGHT - 150, 24, 24);
    background.graphics.endFill();
    // Hills on the horizon of the title band.
    background.graphics.beginFill(0x1B2A49);
    background.graphics.moveTo(0, 100);
    background.graphics.curveTo(200, 40, 420, 90);
    background.graphics.curveTo(640, 30, 960, 95);
    background.graphics.lineTo(960, 100);
    background.graphics.endFill();
    Lib.current.addChild(background);

    text(40, 22, 500, 60, 40, 0xFFD27A, true).text = "Brimtale";
    who = text(560, 40, 360, 30, 16, 0xC8D2E8);
    status = text(70, 130, 820, 34, 24, 0xF4ECD8, true);
    detail = text(70, 168, 820, 26, 15, 0xC8D2E8);
    fileBarLabel = text(70, 204, 820, 22, 14, 0xC8D2E8);
    fileBar = bar(70, 228, 600);
    totalBarLabel = text(70, 262, 820, 22, 14, 0xC8D2E8);
    totalBar = bar(70, 286, 600);
    list = text(70, 326, 820, 230, 14, 0xF4ECD8);
    setBar(fileBar, fileBarLabel, 0, 0, "This file");
    setBar(totalBar, totalBarLabel, 0, 0, "All downloads");
  }

  static function show(statusText:String, detailText:String = "") {
    status.text = statusText;
    detail.text = detailText;
    log(statusText + (detailText != "" ? " - " + detailText : ""));
  }

  static function showList() {
    var lines = [];
    for (entry in entries) lines.push(entry.state + "   " + entry.name + "  (" + kib(entry.size) + ")");
    list.text = lines.join("\n");
  }

  static function kib(bytes:Float):String {
    return bytes < 1024 ? bytes + " bytes" : Math.ffloor(bytes / 1024) + " KiB";
  }

  // ---- commands ----

  static function send(command:String, arguments:String) {
    Lib.fscommand(command, arguments);
  }

  static function log(line:String) {
    // LOG takes one argument, and the bridge splits at commas.
    send("LOG", "demo: " + StringTools.replace(line, ",", ";"));
  }

  static function onCompleteEvent(value:Dynamic):Void {
    var answer = Std.string(value);
    var comma = answer.indexOf(",");
    var name = comma < 0 ? answer : answer.substr(0, comma);
    var rest = comma < 0 ? "" : answer.substr(comma + 1);
    var fields = rest.split(",");
    switch (name) {
      case "GETACCESSTOKEN": onToken(rest);
      case "GET_NFOLDER": onDataFolder(rest);
      case "LOADER_COMPLETE": onDownloaded(rest, true);
      case "LOADER_FAILTE": onDownloaded(rest, false);
      case "READ_FILE": onManifestText(rest);
      case "HAVE_FILE": onPresence(true);
      case "NO_HAVE_FILE": onPresence(false);
      case "CALCULATE_MD5": onDigest(fields[0]);
      case "DECOMPRESS_COMPLETE": onDecompressed(true);
      case "DECOMPRESS_FAILTE": onDecompressed(false);
      case "DELETE_FILE_SUCC", "DELETE_FILE_FAILTE": finishFile();
      case "RUN_FILE": onStarted(fields.length > 1 ? fields[1] : "0");
      case "RUN_FILE_FAILTE": fail("The game could not be started", "code " + (fields.length > 1 ? fields[1] : "?"));
      case "WRITE_FILE": onRecordWritten(rest == "1");
      default:
    }
  }

  static function onUpdateProgress(value:Dynamic):Void {
    if (current == null) return;
    var numbers = Std.string(value).split(",");
    // Counts of 2 GiB and more do not fit an Int: read as numbers.
    var done = Std.parseFloat(numbers[0]);
    var total = numbers.length > 1 ? Std.parseFloat(numbers[1]) : 0.0;
    if (Math.isNaN(done)) done = 0;
    if (Math.isNaN(total) || total <= 0) total = current.packedSize;
    setBar(fileBar, fileBarLabel, done, total, current.name + ": " + kib(done) + " of " + kib(total));
    setBar(totalBar, totalBarLabel, bytesDone + done, bytesNeeded, "All downloads: " + kib(bytesDone + done) + " of " + kib(bytesNeeded));
  }

  // ---- the steps, in order ----

  static function onToken(token:String) {
    var id:String = null;
    try {
      var parsed:Dynamic = haxe.Json.parse(token);
      if (parsed != null && Reflect.hasField(parsed, "userid")) id = Std.string(Reflect.field(parsed, "userid"));
    } catch (error:Dynamic) {}
    // The name goes to the game's command line: plain characters only.
    if (id != null && ~/^[A-Za-z0-9_-]{1,32}$/.match(id)) user = id;
    who.text = "Signed in as " + user;
    send("GET_NFOLDER", "28");
  }

  static function onDataFolder(folder:String) {
    if (folder == "") {
      fail("No folder for the game", "the launcher knows no local application data folder");
      return;
    }
    gameDir = folder + "/Brimtale/game";
    manifestPath = folder + "/Brimtale/patch/manifest.txt";
    recordPath = folder + "/Brimtale/patch/installed.txt";
    show("Fetching the file list", server + "/manifest.txt");
    phase = "manifest";
    send("START_DOWNLOAD", server + "/manifest.txt," + manifestPath);
  }

  static function onDownloaded(path:String, ok:Bool) {
    if (phase == "manifest") {
      if (ok) {
        send("READ_FILE", manifestPath);
      } else if (manifestAttempts++ < 1) {
        show("Fetching the file list again", "the first attempt failed");
        send("START_DOWNLOAD", server + "/manifest.txt," + manifestPath);
      } else {
        startOffline();
      }
      return;
    }
    if (phase != "download" || current == null) return;
    if (!ok) {
      retryOrFail("the download failed");
      return;
    }
    bytesDone += current.packedSize;
    phase = "verify-download";
    current.state = "[check]";
    showList();
    send("CALCULATE_MD5", servedPath(current));
  }

  static function onManifestText(hex:String) {
    if (phase == "offline-record") {
      onInstallRecord(hex);
      return;
    }
    readManifest(hex);
    if (entries.length == 0) {
      fail("The file list is empty or unreadable", manifestPath);
      return;
    }
    manifestHex = hex;
    showList();
    show("Comparing " + entries.length + " files with the disk", gameDir);
    queue = [];
    checking = 0;
    checkNext();
  }

  // Fills `entries` from a file list given as READ_FILE's hexadecimal text.
  static function readManifest(hex:String) {
    // The manifest is UTF-8: names in any script arrive as they were packed.
    var bytes = haxe.io.Bytes.alloc(hex.length >> 1);
    for (i in 0...bytes.length) {
      var code = Std.parseInt("0x" + hex.substr(2 * i, 2));
      bytes.set(i, code == null ? 63 : code);
    }
    entries = [];
    for (line in bytes.getString(0, bytes.length).split("\n")) {
      line = StringTools.trim(line);
      if (line == "" || line.charAt(0) == "#") continue;
      var f = line.split(" ");
      if (f.length < 6) continue;
      entries.push({
        name: f[0], size: Std.parseInt(f[1]), md5: f[2].toLowerCase(), packed: f[3] == "qlz",
        packedSize: Std.parseInt(f[4]), packedMd5: f[5].toLowerCase(),
        served: f.length > 6 ? f[6] : "files/" + f[0] + (f[3] == "qlz" ? ".qlz" : ""), state: "[    ]"
      });
    }
  }

  // ---- offline start ----

  // The server gave no file list: the game as installed starts if its record says it is complete
  // and every file still matches that record.
  static function startOffline() {
    offline = true;
    phase = "offline-record";
    who.text = "Playing offline";
    show("The patch server cannot be reached", "looking at the game installed here");
    send("READ_FILE", recordPath);
  }

  static function onInstallRecord(hex:String) {
    readManifest(hex);
    if (entries.length == 0) {
      fail("The patch server does not answer", server + "/manifest.txt; no complete game is installed here to start offline");
      return;
    }
    showList();
    show("Offline: checking the installed game", entries.length + " files in " + gameDir);
    queue = [];
    checking = 0;
    checkNext();
  }

  // After a whole patch or check: the file list becomes the install's record, then the game starts.
  static function recordInstallThenStart() {
    phase = "record";
    send("WRITE_FILE", recordPath + "," + manifestHex);
  }

  static function onRecordWritten(ok:Bool) {
    if (phase != "record") return;
    if (!ok) log("the install's record could not be written; the game cannot start offline later");
    startGame();
  }

  static function checkNext() {
    if (checking >= entries.length) {
      compared();
      return;
    }
    phase = "check";
    send("HAVE_THIS_FILE", installedPath(entries[checking]));
  }

  static function onPresence(present:Bool) {
    if (phase != "check") return;
    var entry = entries[checking];
    if (present) {
      send("CALCULATE_MD5", installedPath(entry));
      return;
    }
    entry.state = "[miss]";
    queue.push(entry);
    showList();
    checking++;
    checkNext();
  }

  static function onDigest(digest:String) {
    digest = digest.toLowerCase();
    if (phase == "check") {
      var entry = entries[checking];
      if (digest == entry.md5) {
        entry.state = "[ ok ]";
      } else {
        entry.state = "[diff]";
        queue.push(entry);
      }
      showList();
      checking++;
      checkNext();
    } else if (phase == "verify-download") {
      if (digest != current.packedMd5) {
        retryOrFail("the downloaded file's digest is wrong");
      } else if (current.packed) {
        phase = "decompress";
        current.state = "[unzip]";
        showList();
        detail.text = "Unpacking " + current.name;
        send("DECOMPRESS", servedPath(current) + "," + installedPath(current));
      } else {
        finishFile();
      }
    } else if (phase == "verify-installed") {
      if (digest != current.md5) {
        retryOrFail("the unpacked file's digest is wrong");
      } else {
        phase = "clean";
        send("DELETE_FILE", servedPath(current));
      }
    }
  }

  static function compared() {
    if (offline) {
      if (queue.length == 0) {
        show("Offline: starting the installed game", "The patch server cannot be reached; Brimtale starts as it is installed");
        startGame();
      } else {
        fail("The patch server does not answer", queue.length + " installed files are missing or changed; the game cannot start offline");
      }
      return;
    }
    if (queue.length == 0) {
      show("Everything is up to date", "Starting Brimtale");
      recordInstallThenStart();
      return;
    }
    bytesNeeded = 0;
    for (entry in queue) bytesNeeded += entry.packedSize;
    bytesDone = 0;
    show("Patching " + queue.length + " of " + entries.length + " files", kib(bytesNeeded) + " to download");
    nextDownload();
  }

  static function nextDownload() {
    if (queue.length == 0) {
      current = null;
      setBar(totalBar, totalBarLabel, 1, 1, "All downloads: " + kib(bytesNeeded));
      show("Patch complete", "every digest matches the file list; starting Brimtale");
      recordInstallThenStart();
      return;
    }
    current = queue.shift();
    attempts = 0;
    download();
  }

  static function download() {
    phase = "download";
    current.state = "[ .. ]";
    showList();
    setBar(fileBar, fileBarLabel, 0, current.packedSize, current.name);
    show("Downloading " + current.name, (attempts > 0 ? "second attempt, " : "") + kib(current.packedSize)
      + (current.packed ? " compressed" : ""));
    send("START_DOWNLOAD", server + "/" + urlPath(current.served) + "," + servedPath(current));
  }

  static function onDecompressed(ok:Bool) {
    if (phase != "decompress") return;
    if (!ok) {
      retryOrFail("the file does not unpack");
      return;
    }
    phase = "verify-installed";
    send("CALCULATE_MD5", installedPath(current));
  }

  static function retryOrFail(reason:String) {
    if (attempts == 0) {
      attempts = 1;
      log("retrying " + current.name + ": " + reason);
      bytesDone -= current.packedSize;
      if (bytesDone < 0) bytesDone = 0;
      download();
      return;
    }
    current.state = "[FAIL]";
    showList();
    fail("Patching failed", current.name + ": " + reason + " twice");
  }

  static function finishFile() {
    current.state = "[ ok ]";
    showList();
    log("installed " + current.name);
    nextDownload();
  }

  static function startGame() {
    phase = "start";
    current = null;
    send("RUN_FILE", "/bin/sh," + gameDir + ",start.sh," + user);
  }

  static function onStarted(handle:String) {
    show("Brimtale is running", "the launcher closes when the game ends");
    // A moment to read the status, then the launcher hides and waits for the game.
    haxe.Timer.delay(function() send("WART_AND_CLOSE", handle), 1000);
  }

  static function fail(statusText:String, detailText:String) {
    phase = "failed";
    status.textColor = 0xFF9A8A;
    show(statusText, detailText);
  }

  static function installedPath(entry:Entry):String {
    return gameDir + "/" + entry.name;
  }

  // Where the file as served is kept until it is unpacked (raw files are served as installed).
  static function servedPath(entry:Entry):String {
    return installedPath(entry) + (entry.packed ? ".qlz" : "");
  }

  // A site path as a URL path: each part percent-encoded as UTF-8, so that "?", "#", "%" and
  // letters of any script reach the server as the name they are.
  static function urlPath(path:String):String {
    return path.split("/").map(function(part) return StringTools.urlEncode(part)).join("/");
  }

  static function serverAddress():String {
    var given:String = Reflect.field(Lib.current.loaderInfo.parameters, "server");
    if (given != null && given != "") return given;
    var url = Lib.current.loaderInfo.url;
    var query = url.indexOf("?");
    if (query >= 0) url = url.substr(0, query);
    return url.substr(0, url.lastIndexOf("/"));
  }

  static function main() {
    buildScreen();
    ExternalInterface.addCallback("COMPLETE_EVENT", onCompleteEvent);
    ExternalInterface.addCallback("UPDATE_PROGRESS", onUpdateProgress);
    server = serverAddress();
    show("Starting", "patch server " + server);
    send("GETACCESSTOKEN", "");
  }
}
