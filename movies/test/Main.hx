import flash.Lib;
import flash.display.Sprite;
import flash.events.Event;
import flash.events.KeyboardEvent;
import flash.events.IOErrorEvent;
import flash.events.SecurityErrorEvent;
import flash.external.ExternalInterface;
import flash.net.URLLoader;
import flash.net.URLRequest;
import flash.text.TextField;
import flash.text.TextFormat;

// The test movie: it runs a script of commands given in its "script" parameter (the URL query or
// FlashVars) and reports every answer it receives through trace, prefixed "MOVIE ". Without a
// script it sends LOG "no script". Every key pressed in the movie is sent as LOG "KEY <char code>".
//
// The script holds one step per line:
//   COMMAND|ARGUMENTS        sent through fscommand at once (the arguments may be empty)
//   *N|COMMAND|ARGUMENTS     sent N times, each time after the previous answer has arrived, with
//                            every "{i}" in the arguments replaced by the sending's number (from 0);
//                            then "ROUNDTRIP N MS" reports the time the N round trips took (also
//                            sent as a LOG command)
//   =N                       the rest of the script waits until N answers have arrived
//   >URL|TARGET              opens the URL in the named window (navigateToURL; "_self" when none)
//   @SCRIPT                  calls the page's script (ExternalInterface.call with the text)
//   FETCH|URL                the player itself loads URL (no command): LOG "FETCHED <length>" when
//                            it came, LOG "FETCH FAILED <event>" when it did not
// The answers arrive through the callbacks "COMPLETE_EVENT" and "UPDATE_PROGRESS"; each one is
// reported as "COMPLETE_EVENT value" or "UPDATE_PROGRESS value".
class Main {
  static var output:TextField;
  static var repeatLeft = 0;
  static var repeatCount = 0;
  static var repeatCommand = "";
  static var repeatArguments = "";
  static var repeatStart = 0;
  static var steps:Array<String> = [];
  static var nextStep = 0;
  static var answers = 0;
  static var waitFor = 0;

  static function report(line:String) {
    untyped __global__["trace"]("MOVIE " + line);
    if (output != null) output.appendText(line + "\n");
  }

  static function send(command:String, arguments:String) {
    Lib.fscommand(command, arguments);
  }

  static function fetch(url:String) {
    var loader = new URLLoader();
    loader.addEventListener(Event.COMPLETE, function(_) {
      send("LOG", "FETCHED " + Std.string(loader.data).length);
    });
    loader.addEventListener(IOErrorEvent.IO_ERROR, function(_) send("LOG", "FETCH FAILED ioError"));
    loader.addEventListener(SecurityErrorEvent.SECURITY_ERROR, function(_) send("LOG", "FETCH FAILED securityError"));
    loader.load(new URLRequest(url));
  }

  static function sendRepeated() {
    send(repeatCommand, StringTools.replace(repeatArguments, "{i}", Std.string(repeatCount - repeatLeft)));
  }

  static function onCompleteEvent(value:Dynamic):Void {
    if (repeatLeft > 0) {
      repeatLeft--;
      if (repeatLeft > 0) {
        sendRepeated();
      } else {
        var line = "ROUNDTRIP " + repeatCount + " " + (Lib.getTimer() - repeatStart);
        report(line);
        send("LOG", line);
        runSteps();
      }
      return;
    }
    report("COMPLETE_EVENT " + Std.string(value));
    answers++;
    runSteps();
  }

  static function onUpdateProgress(value:Dynamic):Void {
    report("UPDATE_PROGRESS " + Std.string(value));
  }

  // Runs the script from where it stands until it has to wait (for answers or a repetition).
  static function runSteps() {
    while (nextStep < steps.length && repeatLeft == 0) {
      if (answers < waitFor) return;
      var step = steps[nextStep++];
      if (step.length == 0) continue;
      if (step.charAt(0) == "=") {
        waitFor = Std.parseInt(step.substr(1));
        continue;
      }
      if (step.charAt(0) == "@") {
        ExternalInterface.call(step.substr(1));
        continue;
      }
      var fields = step.split("|");
      if (step.charAt(0) == ">") {
        Lib.getURL(new URLRequest(fields[0].substr(1)), fields.length > 1 ? fields[1] : "_self");
        continue;
      }
      if (step.charAt(0) == "*" && fields.length >= 2) {
        repeatCount = Std.parseInt(fields[0].substr(1));
        repeatLeft = repeatCount;
        repeatCommand = fields[1];
        repeatArguments = fields.slice(2).join("|");
        repeatStart = Lib.getTimer();
        sendRepeated();
        continue;
      }
      if (fields[0] == "FETCH") {
        fetch(fields.slice(1).join("|"));
        continue;
      }
      send(fields[0], fields.slice(1).join("|"));
    }
  }

  static function drawStage() {
    var stage = Lib.current.stage;
    var width = stage.stageWidth > 0 ? stage.stageWidth : 640;
    var height = stage.stageHeight > 0 ? stage.stageHeight : 480;
    var background = new Sprite();
    background.graphics.beginFill(0x1E5AA8);
    background.graphics.drawRect(0, 0, width, height);
    background.graphics.endFill();
    background.graphics.beginFill(0xF2B134);
    background.graphics.drawCircle(width - 60, 60, 40);
    background.graphics.endFill();
    Lib.current.addChild(background);
    output = new TextField();
    output.defaultTextFormat = new TextFormat("_sans", 14, 0xFFFFFF);
    output.x = 10;
    output.y = 10;
    output.width = width - 120;
    output.height = height - 20;
    output.multiline = true;
    output.wordWrap = true;
    Lib.current.addChild(output);
  }

  static function main() {
    drawStage();
    Lib.current.stage.addEventListener(KeyboardEvent.KEY_DOWN, function(event:KeyboardEvent) {
      send("LOG", "KEY " + event.charCode);
    });
    ExternalInterface.addCallback("COMPLETE_EVENT", onCompleteEvent);
    ExternalInterface.addCallback("UPDATE_PROGRESS", onUpdateProgress);
    var script:String = Reflect.field(Lib.current.loaderInfo.parameters, "script");
    // Without a script the movie still says that it plays.
    steps = script != null ? script.split("\n") : ["LOG|no script"];
    report("STARTED " + steps.length + " steps");
    runSteps();
  }
}
