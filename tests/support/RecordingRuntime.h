#pragma once
// A stand-in for the player runtime library in unit tests: installed as the export resolver of
// the forwarding functions (flash::SetRuntimeExportResolver), it records every call into the
// movie, every movie load and every listener registration, and reads each XML invoke request
// back the way the real runtime does, so a test sees the function name and the arguments the
// movie would receive. No display needed.
//
// One recording runtime at a time; construct it on the test's thread. Its calls are recorded
// under a lock, so a handler's worker may call into it too.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brimtale/runtime_api.h"

namespace testing_support {

// An invoke request read back: the function's name and its string arguments, unescaped.
struct InvokeCall {
  std::string name;
  std::vector<std::string> arguments;
};

// Reads the request with the runtime's own parser; nullopt when it does not parse or holds an
// argument other than a string (the launcher sends only strings).
std::optional<InvokeCall> ParseInvokeRequest(std::string_view request);

struct RecordedCall {
  HWND window = nullptr;
  std::string request;              // as the launcher sent it
  std::optional<InvokeCall> parsed; // nullopt when the request does not parse
};

struct RecordedLoad {
  HWND window = nullptr;
  int layer = 0;
  std::string url;
  // A handed-over movie (BRIMTALE_HANDED_MOVIE_URL): the URL the movie is to see, and the bytes
  // read from its memory file during the call, as the runtime reads them; nullopt when the
  // descriptor was not a sealed memory file.
  std::string handedUrl;
  std::optional<std::string> handedBytes;
  bool held = false;  // loaded held (BRIMTALE_HELD_MOVIE_URL before the movie's URL)
};

// The query values of a URL ("a=1&b=x%20y" after its "?"), percent-decoded.
std::map<std::string, std::string> QueryValues(std::string_view url);

struct RecordedListener {
  HWND window = nullptr;
  PFLASHPLAYERCONTROLEVENTLISTENER listener = nullptr;
  void* context = nullptr;
};

class RecordingRuntime {
 public:
  RecordingRuntime();   // installs itself as the forwarding functions' runtime
  ~RecordingRuntime();  // restores the default runtime
  RecordingRuntime(const RecordingRuntime&) = delete;
  RecordingRuntime& operator=(const RecordingRuntime&) = delete;

  std::vector<RecordedCall> Calls() const;
  std::vector<RecordedLoad> Loads() const;
  std::vector<RecordedListener> Listeners() const;
  // The single argument of every parsed call of `function`, in order ("COMPLETE_EVENT" answers).
  std::vector<std::string> ArgumentsOf(std::string_view function) const;
  // The COMPLETE_EVENT answers split at their commas (as the movie splits them).
  std::vector<std::vector<std::string>> CompleteEvents() const;
  void Clear();

  // Raises an FSCommand event from `playerWindow` through the listener registered for it;
  // false when none is registered for that window.
  bool FireFSCommand(HWND playerWindow, const char* command, std::string_view arguments);

 private:
  static void* Resolve(const char* name);
  static HRESULT CallFunction(HWND window, const char* request, char* response, uint32_t* length);
  static HRESULT LoadMovie(HWND window, int layer, const char* url);
  static void SetEventListener(HWND window, PFLASHPLAYERCONTROLEVENTLISTENER listener, void* context);

  mutable std::mutex m_lock;
  std::vector<RecordedCall> m_calls;
  std::vector<RecordedLoad> m_loads;
  std::vector<RecordedListener> m_listeners;
};

// Splits a COMPLETE_EVENT value at every comma, keeping empty fields.
std::vector<std::string> SplitAtCommas(std::string_view text);

}  // namespace testing_support
