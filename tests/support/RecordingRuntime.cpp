#include "support/RecordingRuntime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "InvokeRequest.h"
#include "flash/FlashRuntime.h"

namespace testing_support {
namespace {

RecordingRuntime* g_installed = nullptr;

std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      decoded += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      decoded += text[i] == '+' ? ' ' : text[i];
    }
  }
  return decoded;
}

// The bytes of a memory file sealed against every change, as the runtime takes them.
std::optional<std::string> ReadSealedMemoryFile(int fd) {
  const int required = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
  const int seals = fcntl(fd, F_GET_SEALS);
  struct stat info {};
  if (seals < 0 || (seals & required) != required || fstat(fd, &info) != 0) return std::nullopt;
  std::string bytes(static_cast<size_t>(info.st_size), '\0');
  if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return std::nullopt;
  return bytes;
}

}  // namespace

std::map<std::string, std::string> QueryValues(std::string_view url) {
  std::map<std::string, std::string> values;
  size_t query = url.find('?');
  if (query == std::string_view::npos) return values;
  url.remove_prefix(query + 1);
  while (!url.empty()) {
    size_t end = std::min(url.find('&'), url.size());
    std::string_view pair = url.substr(0, end);
    size_t equals = std::min(pair.find('='), pair.size());
    values[PercentDecoded(pair.substr(0, equals))] = PercentDecoded(pair.substr(std::min(equals + 1, pair.size())));
    url.remove_prefix(std::min(end + 1, url.size()));
  }
  return values;
}

std::optional<InvokeCall> ParseInvokeRequest(std::string_view text) {
  std::optional<player_runtime::InvokeCall> call = player_runtime::ParseInvokeCall(text);
  if (!call) return std::nullopt;
  InvokeCall strings{std::move(call->name), {}};
  for (player_runtime::InvokeArgument& argument : call->arguments) {
    if (argument.kind != player_runtime::InvokeArgument::Kind::kString) return std::nullopt;
    strings.arguments.push_back(std::move(argument.text));
  }
  return strings;
}

std::vector<std::string> SplitAtCommas(std::string_view text) {
  std::vector<std::string> fields;
  for (;;) {
    size_t comma = text.find(',');
    fields.emplace_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    text.remove_prefix(comma + 1);
  }
}

RecordingRuntime::RecordingRuntime() {
  assert(g_installed == nullptr && "one recording runtime at a time");
  g_installed = this;
  flash::SetRuntimeExportResolver(&RecordingRuntime::Resolve);
}

RecordingRuntime::~RecordingRuntime() {
  flash::SetRuntimeExportResolver(nullptr);
  g_installed = nullptr;
}

void* RecordingRuntime::Resolve(const char* name) {
  if (strcmp(name, "FPCCallFunctionA") == 0) return reinterpret_cast<void*>(&RecordingRuntime::CallFunction);
  if (strcmp(name, "FPC_LoadMovieA") == 0) return reinterpret_cast<void*>(&RecordingRuntime::LoadMovie);
  if (strcmp(name, "FPCSetEventListener") == 0) return reinterpret_cast<void*>(&RecordingRuntime::SetEventListener);
  return nullptr;  // every other operation fails, as with no runtime at all
}

HRESULT RecordingRuntime::CallFunction(HWND window, const char* request, char*, uint32_t*) {
  if (g_installed == nullptr) return static_cast<HRESULT>(0x80004005);
  std::lock_guard<std::mutex> hold(g_installed->m_lock);
  g_installed->m_calls.push_back({window, request, ParseInvokeRequest(request)});
  return 0;
}

HRESULT RecordingRuntime::LoadMovie(HWND window, int layer, const char* url) {
  if (g_installed == nullptr) return static_cast<HRESULT>(0x80004005);
  RecordedLoad load;
  load.window = window;
  load.layer = layer;
  load.url = url != nullptr ? url : "";
  constexpr std::string_view kHanded = BRIMTALE_HANDED_MOVIE_URL;
  constexpr std::string_view kHeld = BRIMTALE_HELD_MOVIE_URL;
  std::string_view movie = load.url;
  load.held = movie.substr(0, kHeld.size()) == kHeld;
  if (load.held) movie.remove_prefix(kHeld.size());
  if (movie.substr(0, kHanded.size()) == kHanded) {
    load.handedUrl = QueryValues(movie)["url"];
    load.handedBytes = ReadSealedMemoryFile(std::atoi(std::string(movie.substr(kHanded.size())).c_str()));
  }
  std::lock_guard<std::mutex> hold(g_installed->m_lock);
  g_installed->m_loads.push_back(std::move(load));
  return 0;
}

void RecordingRuntime::SetEventListener(HWND window, PFLASHPLAYERCONTROLEVENTLISTENER listener, void* context) {
  if (g_installed == nullptr) return;
  std::lock_guard<std::mutex> hold(g_installed->m_lock);
  g_installed->m_listeners.push_back({window, listener, context});
}

std::vector<RecordedCall> RecordingRuntime::Calls() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_calls;
}

std::vector<RecordedLoad> RecordingRuntime::Loads() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_loads;
}

std::vector<RecordedListener> RecordingRuntime::Listeners() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_listeners;
}

std::vector<std::string> RecordingRuntime::ArgumentsOf(std::string_view function) const {
  std::vector<std::string> arguments;
  for (const RecordedCall& call : Calls()) {
    if (!call.parsed || call.parsed->name != function) continue;
    arguments.push_back(call.parsed->arguments.empty() ? std::string() : call.parsed->arguments.front());
  }
  return arguments;
}

std::vector<std::vector<std::string>> RecordingRuntime::CompleteEvents() const {
  std::vector<std::vector<std::string>> events;
  for (const std::string& value : ArgumentsOf("COMPLETE_EVENT")) events.push_back(SplitAtCommas(value));
  return events;
}

void RecordingRuntime::Clear() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_calls.clear();
  m_loads.clear();
}

bool RecordingRuntime::FireFSCommand(HWND playerWindow, const char* command, std::string_view arguments) {
  RecordedListener target;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto it = m_listeners.rbegin(); it != m_listeners.rend(); ++it) {
      if (it->window == playerWindow) {
        target = *it;
        break;
      }
    }
  }
  if (target.listener == nullptr) return false;
  // The lock is not held: the listener's handler calls back into this runtime.
  // The arguments as the runtime hands them: counted, and ending with a NUL as well.
  std::string args(arguments);
  SFPCFSCommandInfoStruct info{};
  info.hdr.hwndFrom = playerWindow;
  info.hdr.code = FPCN_FSCOMMAND;
  info.command = command;
  info.args = args.c_str();
  info.commandLength = strlen(command);
  info.argsLength = args.size();
  target.listener(playerWindow, target.context, &info.hdr);
  return true;
}

}  // namespace testing_support
