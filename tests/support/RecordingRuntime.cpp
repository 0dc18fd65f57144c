#include "support/RecordingRuntime.h"

#include <cassert>
#include <cstring>

#include "flash/FlashRuntime.h"

namespace testing_support {
namespace {

RecordingRuntime* g_installed = nullptr;

bool Consume(std::string_view& text, std::string_view expected) {
  if (text.substr(0, expected.size()) != expected) return false;
  text.remove_prefix(expected.size());
  return true;
}

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Reads escaped text up to (not including) `end`; the text must contain `end`.
std::optional<std::string> ReadEscaped(std::string_view& text, char end) {
  std::string value;
  while (!text.empty() && text.front() != end) {
    char c = text.front();
    if (c == '<') return std::nullopt;  // markup inside a value: the request was not escaped
    if (c != '&') {
      value += c;
      text.remove_prefix(1);
      continue;
    }
    size_t semicolon = text.find(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    std::string_view entity = text.substr(1, semicolon - 1);
    if (entity == "amp") value += '&';
    else if (entity == "lt") value += '<';
    else if (entity == "gt") value += '>';
    else if (entity == "quot") value += '"';
    else if (entity == "apos") value += '\'';
    else if (entity.size() > 1 && entity[0] == '#') {
      bool hex = entity[1] == 'x';
      std::string digits(entity.substr(hex ? 2 : 1));
      if (digits.empty()) return std::nullopt;
      char* stop = nullptr;
      unsigned long code = strtoul(digits.c_str(), &stop, hex ? 16 : 10);
      if (*stop != '\0' || code > 0x10FFFF) return std::nullopt;
      AppendUtf8(value, code);
    } else {
      return std::nullopt;
    }
    text.remove_prefix(semicolon + 1);
  }
  if (text.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<InvokeCall> ParseInvokeRequest(std::string_view text) {
  InvokeCall call;
  if (!Consume(text, "<invoke name=\"")) return std::nullopt;
  auto name = ReadEscaped(text, '"');
  if (!name) return std::nullopt;
  call.name = std::move(*name);
  if (!Consume(text, "\" returntype=\"xml\"><arguments>")) return std::nullopt;
  while (Consume(text, "<string>")) {
    auto argument = ReadEscaped(text, '<');
    if (!argument || !Consume(text, "</string>")) return std::nullopt;
    call.arguments.push_back(std::move(*argument));
  }
  if (!Consume(text, "</arguments></invoke>") || !text.empty()) return std::nullopt;
  return call;
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
