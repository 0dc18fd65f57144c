import flash.Lib;
import flash.external.ExternalInterface;

// The command movie of the end-to-end tests: it runs the script in its "script" parameter and
// reports every answer through trace, prefixed "MOVIE ".
//
// The script holds one step per line:
//   COMMAND|ARGUMENTS   sent through fscommand; "{K}" in the arguments stands for field K
//                       (counted from 0) of the latest COMPLETE_EVENT value, split at commas
//   =N                  the rest of the script waits until N COMPLETE_EVENT answers have arrived
class Main {
  static var steps:Array<String> = [];
  static var nextStep = 0;
  static var answers = 0;
  static var waitFor = 0;
  static var latest:Array<String> = [];

  static function report(line:String) {
    untyped __global__["trace"]("MOVIE " + line);
  }

  static function onCompleteEvent(value:Dynamic):Void {
    var text = Std.string(value);
    report("COMPLETE_EVENT " + text);
    latest = text.split(",");
    answers++;
    runSteps();
  }

  static function onUpdateProgress(value:Dynamic):Void {
    report("UPDATE_PROGRESS " + Std.string(value));
  }

  static function substitute(text:String):String {
    for (k in 0...latest.length) text = StringTools.replace(text, "{" + k + "}", latest[k]);
    return text;
  }

  static function runSteps() {
    while (nextStep < steps.length) {
      if (answers < waitFor) return;
      var step = steps[nextStep++];
      if (step.length == 0) continue;
      if (step.charAt(0) == "=") {
        waitFor = Std.parseInt(step.substr(1));
        continue;
      }
      var bar = step.indexOf("|");
      var command = bar < 0 ? step : step.substr(0, bar);
      var arguments = bar < 0 ? "" : substitute(step.substr(bar + 1));
      Lib.fscommand(command, arguments);
    }
  }

  static function main() {
    ExternalInterface.addCallback("COMPLETE_EVENT", onCompleteEvent);
    ExternalInterface.addCallback("UPDATE_PROGRESS", onUpdateProgress);
    var script:String = Reflect.field(Lib.current.loaderInfo.parameters, "script");
    if (script != null) steps = script.split("\n");
    report("STARTED");
    runSteps();
  }
}
