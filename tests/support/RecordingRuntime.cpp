#include "support/RecordingRuntime.h"

#include <cassert>
#include <cstring>

#include "InvokeRequest.h"
#include "flash/FlashRuntime.h"

namespace testing_support {
namespace {

RecordingRuntime* g_installed = nullptr;

}  // namespace

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
  std::lock_guard<std::mutex> hold(g_installed->m_lock);
  g_installed->m_loads.push_back({window, layer, url != nullptr ? url : ""});
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
