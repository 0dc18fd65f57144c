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
//                            sent as a LOG command); a download's end (LOADER_...) meanwhile is
//                            reported as any answer
//   =N                       the rest of the script waits until N answers have arrived
//   >URL|TARGET              opens the URL in the named window (navigateToURL; "_self" when none)
//   @SCRIPT                  calls the page's script (ExternalInterface.call with the text)
//   !N|COMMAND|ARGUMENTS     sent N times at once, "{i}" as above; the N answers must each end in
//                            "," and the arguments of their command, in the order sent: then
//                            "BURST N IN ORDER" is reported, else "BURST N OUT OF ORDER AT k: answer"
//   ~N                       the movie plays at N frames a second from now on
//   ^F|B|COMMAND|ARGUMENTS   on each of the next F frames, sent B times at once ("{i}" counts all
//                            of them); once all are answered, "FRAMES F LATE k" reports how many
//                            answers came in a later frame than their command
//   FETCH|URL                the player itself loads URL (no command): LOG "FETCHED <length>" when
//                            it came, LOG "FETCH FAILED <event>" when it did not
// The answers arrive through the callbacks "COMPLETE_EVENT" and "UPDATE_PROGRESS"; each one is
// reported as "COMPLETE_EVENT value" or "UPDATE_PROGRESS value" (a value of more than 200
// characters by its first 100 and its length).
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
  static var burstExpected:Array<String> = [];
  static var burstCount = 0;
  static var burstAnswered = 0;
  static var burstBad = "";
  static var frame = 0;
  static var framesLeft = 0;
  static var framesCount = 0;
  static var frameBatch = 0;
  static var frameCommand = "";
  static var frameArguments = "";
  static var frameSent = 0;
  static var frameSentIn:Array<Int> = [];
  static var frameLate = 0;
  static var frameAnswered = 0;

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

  static function reportValue(name:String, text:String) {
    if (text.length > 200) text = text.substr(0, 100) + "... (" + text.length + " characters)";
    report(name + " " + text);
  }

  static function withNumber(arguments:String, i:Int):String {
    return StringTools.replace(arguments, "{i}", Std.string(i));
  }

  static function onBurstAnswer(text:String) {
    var expected = burstExpected[burstAnswered];
    if (burstBad == "" && !StringTools.endsWith(text, "," + expected))
      burstBad = "BURST " + burstCount + " OUT OF ORDER AT " + burstAnswered + ": " + text;
    burstAnswered++;
    if (burstAnswered < burstExpected.length) return;
    burstExpected = [];
    report(burstBad != "" ? burstBad : "BURST " + burstCount + " IN ORDER");
    runSteps();
  }

  static function onFrameAnswer() {
    if (frameSentIn[frameAnswered++] != frame) frameLate++;
    if (framesLeft > 0 || frameAnswered < frameSentIn.length) return;
    frameSentIn = [];
    frameAnswered = 0;
    report("FRAMES " + framesCount + " LATE " + frameLate);
    runSteps();
  }

  static function onEnterFrame(_:Event) {
    frame++;
    if (framesLeft == 0) return;
    framesLeft--;
    for (k in 0...frameBatch) {
      frameSentIn.push(frame);
      send(frameCommand, withNumber(frameArguments, frameSent++));
    }
  }

  static function onCompleteEvent(value:Dynamic):Void {
    if (burstExpected.length > 0) {
      onBurstAnswer(Std.string(value));
      return;
    }
    if (frameAnswered < frameSentIn.length) {
      onFrameAnswer();
      return;
    }
    // A download's end is no command's answer.
    if (repeatLeft > 0 && !StringTools.startsWith(Std.string(value), "LOADER_")) {
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
    reportValue("COMPLETE_EVENT", Std.string(value));
    answers++;
    runSteps();
  }

  static function onUpdateProgress(value:Dynamic):Void {
    reportValue("UPDATE_PROGRESS", Std.string(value));
  }

  // Runs the script from where it stands until it has to wait (for answers or a repetition).
  static function runSteps() {
    while (nextStep < steps.length && repeatLeft == 0 && burstExpected.length == 0 && framesLeft == 0 &&
        frameAnswered == frameSentIn.length) {
      if (answers < waitFor) return;
      var step = steps[nextStep++];
      if (step.length == 0) continue;
      if (step.charAt(0) == "=") {
        waitFor = Std.parseInt(step.substr(1));
        continue;
      }
      if (step.charAt(0) == "~") {
        Lib.current.stage.frameRate = Std.parseFloat(step.substr(1));
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
      if (step.charAt(0) == "!" && fields.length >= 2) {
        burstCount = Std.parseInt(fields[0].substr(1));
        burstAnswered = 0;
        burstBad = "";
        var command = fields[1];
        var arguments = fields.slice(2).join("|");
        for (i in 0...burstCount) burstExpected.push(withNumber(arguments, i));
        for (i in 0...burstCount) send(command, withNumber(arguments, i));
        continue;
      }
      if (step.charAt(0) == "^" && fields.length >= 3) {
        framesCount = Std.parseInt(fields[0].substr(1));
        framesLeft = framesCount;
        frameBatch = Std.parseInt(fields[1]);
        frameCommand = fields[2];
        frameArguments = fields.slice(3).join("|");
        frameSentIn = [];
        frameAnswered = 0;
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
    Lib.current.addEventListener(Event.ENTER_FRAME, onEnterFrame);
    ExternalInterface.addCallback("COMPLETE_EVENT", onCompleteEvent);
    ExternalInterface.addCallback("UPDATE_PROGRESS", onUpdateProgress);
    var script:String = Reflect.field(Lib.current.loaderInfo.parameters, "script");
    // Without a script the movie still says that it plays.
    steps = script != null ? script.split("\n") : ["LOG|no script"];
    report("STARTED " + steps.length + " steps");
    runSteps();
  }
}
