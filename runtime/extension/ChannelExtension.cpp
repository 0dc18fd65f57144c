// The web process side of the channel between a player's page and the runtime library. WebKit
// loads this module into each web process of the players' web context; it gives the runtime's
// own page, in the main frame only, a native object `brimtaleChannel`:
//
//   send(command, arguments)   hands a command of the movie to the launcher and returns at once:
//                              true, or false when the channel cannot take it (the page then
//                              sends it another way)
//   take()                     waits a short while until every command sent has its answer;
//                              returns the calls into the movie that are due now (answers and
//                              calls from outside a command, in order), an empty array when none are
//   unanswered()               the number of commands sent whose answers have not come
//   trace(text)                hands a trace of the movie over in its place among the commands;
//                              false when the channel cannot take it
//   code(name)                 the player's compiled code file of that name as a Uint8Array, when
//                              the view handed it over with the channel; else null
//   listen(function)           receives, as an array of calls, whatever arrives while the page
//                              is not waiting in take; if the view refuses the channel, it
//                              receives the commands still unsent as a second argument, an
//                              array of [command, arguments], and send() returns false from then on
//
// A call is an array [name, argument...]. The page asks the view for the channel's socket when
// its window object is made; commands sent before it arrives wait in the outgoing buffer.
//
// The page sends a command and takes its answer in two calls, so that the launcher runs the
// command while the player finishes the movie's fscommand. The functions are made with the
// engine's own C interface: a call through it costs a quarter of one through its GObject
// interface, and a command takes two.
//
// Everything runs on the web process's main thread.

#include <sys/mman.h>
#include <unistd.h>
#include <glib-unix.h>
#include <webkit2/webkit-web-extension.h>
#include <JavaScriptCore/JavaScript.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChannelSocket.h"
#include "InvokeRequest.h"
#include "SealedFile.h"

namespace {

using player_runtime::FrameKind;
using player_runtime::InvokeArgument;
using player_runtime::InvokeCall;

constexpr char kChannelMessage[] = "brimtale-channel";
// How long take() waits for the answers before it leaves them to listen(). An answer normally
// comes back well within it and reaches the movie before anything else runs in the page; a slow
// command (a large file, a process waited for) does not hold the page for longer, and neither
// does a launcher that is itself waiting for this process (WebKit's view has waited for its page
// after a resize or a paint): the page goes on and answers it.
constexpr int kAnswerWaitMicroseconds = 10000;

std::string g_scheme;    // the runtime's URI scheme
std::string g_pagePath;  // the path of the runtime's page

// The player's code files the view handed over, by name, in files mapped for the process's life
// (the page may load its player again); the files are sealed, so what is mapped cannot change or
// shrink.
struct MappedFile {
  const uint8_t* data;
  size_t size;
};

std::map<std::string, MappedFile>& CodeFiles() {
  static auto& files = *new std::map<std::string, MappedFile>;
  return files;
}

// The whole of a handed file, mapped once; nothing when it is not sealed or cannot be mapped.
std::optional<MappedFile> MapSealedFile(int fd) {
  const std::optional<size_t> size = player_runtime::SealedFileSize(fd);
  if (!size || *size == 0) return std::nullopt;
  void* data = mmap(nullptr, *size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) return std::nullopt;
  return MappedFile{static_cast<const uint8_t*>(data), *size};
}

// Takes the files that the reply's parameters name, (name, descriptor's index, offset, size) each;
// a file whose range does not lie inside its descriptor's file is left out.
void MapHandedCode(WebKitUserMessage* reply, GUnixFDList* descriptors) {
  GVariant* files = webkit_user_message_get_parameters(reply);
  if (files == nullptr || !g_variant_is_of_type(files, G_VARIANT_TYPE("a(sutt)"))) return;
  std::map<guint32, std::optional<MappedFile>> mapped;  // by descriptor's index
  GVariantIter iter;
  g_variant_iter_init(&iter, files);
  const char* name = nullptr;
  guint32 index = 0;
  guint64 offset = 0, size = 0;
  while (g_variant_iter_next(&iter, "(&sutt)", &name, &index, &offset, &size)) {
    if (index == 0 || static_cast<gint>(index) >= g_unix_fd_list_get_length(descriptors) || CodeFiles().contains(name))
      continue;  // the first descriptor is the socket
    auto [at, added] = mapped.emplace(index, std::nullopt);
    if (added) {
      const int fd = g_unix_fd_list_get(descriptors, static_cast<gint>(index), nullptr);
      if (fd >= 0) {
        at->second = MapSealedFile(fd);
        close(fd);
      }
    }
    if (at->second && offset <= at->second->size && size <= at->second->size - offset)
      CodeFiles().emplace(name, MappedFile{at->second->data + offset, static_cast<size_t>(size)});
  }
}

// A copy the page's script owns (the engine takes no memory of ours as a buffer).
JSValueRef CodeFileValue(JSContextRef context, const std::string& name) {
  auto found = CodeFiles().find(name);
  if (found == CodeFiles().end()) return JSValueMakeNull(context);
  JSObjectRef array = JSObjectMakeTypedArray(context, kJSTypedArrayTypeUint8Array, found->second.size, nullptr);
  void* bytes = array != nullptr ? JSObjectGetTypedArrayBytesPtr(context, array, nullptr) : nullptr;
  if (bytes == nullptr) return JSValueMakeNull(context);
  std::memcpy(bytes, found->second.data, found->second.size);
  return array;
}

JSValueRef StringValue(JSContextRef context, std::string_view text) {
  const std::u16string characters = player_runtime::Utf16OfUtf8(text);
  JSStringRef string = JSStringCreateWithCharacters(reinterpret_cast<const JSChar*>(characters.data()),
                                                    characters.size());
  JSValueRef value = JSValueMakeString(context, string);
  JSStringRelease(string);
  return value;
}

std::string WholeText(JSContextRef context, JSValueRef value) {
  JSStringRef string = JSValueToStringCopy(context, value, nullptr);
  if (string == nullptr) return {};
  std::string text = player_runtime::Utf8OfUtf16(
      std::u16string_view(reinterpret_cast<const char16_t*>(JSStringGetCharactersPtr(string)), JSStringGetLength(string)));
  JSStringRelease(string);
  return text;
}

// Values are kept where the collector looks for them: in locals, and in an array that a local
// holds (a value held only in memory of our own, a std::vector say, could be collected).
JSObjectRef NewArray(JSContextRef context) { return JSObjectMakeArray(context, 0, nullptr, nullptr); }

void Append(JSContextRef context, JSObjectRef array, unsigned& length, JSValueRef value) {
  JSObjectSetPropertyAtIndex(context, array, length++, value, nullptr);
}

JSValueRef ArgumentValue(JSContextRef context, const InvokeArgument& argument) {
  switch (argument.kind) {
    case InvokeArgument::Kind::kString:
      return StringValue(context, argument.text);
    case InvokeArgument::Kind::kNumber:
      return JSValueMakeNumber(context, g_ascii_strtod(argument.text.c_str(), nullptr));
    case InvokeArgument::Kind::kTrue:
      return JSValueMakeBoolean(context, true);
    case InvokeArgument::Kind::kFalse:
      return JSValueMakeBoolean(context, false);
    case InvokeArgument::Kind::kNull:
      return JSValueMakeNull(context);
    case InvokeArgument::Kind::kUndefined:
      break;
  }
  return JSValueMakeUndefined(context);
}

JSObjectRef CallsValue(JSContextRef context, const std::vector<InvokeCall>& calls) {
  JSObjectRef list = NewArray(context);
  unsigned listed = 0;
  for (const InvokeCall& call : calls) {
    JSObjectRef items = NewArray(context);
    Append(context, list, listed, items);
    unsigned length = 0;
    Append(context, items, length, StringValue(context, call.name));
    for (const InvokeArgument& argument : call.arguments) Append(context, items, length, ArgumentValue(context, argument));
  }
  return list;
}

// One page's end of the channel.
class PageChannel {
 public:
  explicit PageChannel(JSGlobalContextRef context) : m_context(JSGlobalContextRetain(context)) {}
  ~PageChannel() {
    Close();
    SetListener(nullptr);
    JSGlobalContextRelease(m_context);
  }
  PageChannel(const PageChannel&) = delete;
  PageChannel& operator=(const PageChannel&) = delete;

  void Connect(int fd) {
    Close();
    m_fd = fd;
    m_source = g_unix_fd_add(fd, G_IO_IN, OnReadableThunk, this);
    Flush();
  }

  // Written at once where the socket takes it, so that the launcher starts on it now.
  bool Send(const std::string& command, const std::string& arguments) {
    if (m_broken || !m_out.Append(FrameKind::kCommand, player_runtime::EncodeCommand(command, arguments)))
      return false;
    ++m_unanswered;
    Flush();
    return true;
  }

  JSObjectRef Take(JSContextRef context) {
    std::vector<InvokeCall> due;
    if (m_fd >= 0 && m_unanswered > 0) WaitForAnswers(due);
    return CallsValue(context, due);
  }

  // false when the channel cannot take it (the page then sends it another way).
  bool Trace(const std::string& text) {
    if (m_broken || !m_out.Append(FrameKind::kTrace, text)) return false;
    Flush();
    return true;
  }

  int64_t unanswered() const { return m_unanswered; }

  void Listen(JSValueRef listener) {
    JSObjectRef function = JSValueIsObject(m_context, listener) ? JSValueToObject(m_context, listener, nullptr) : nullptr;
    SetListener(function != nullptr && JSObjectIsFunction(m_context, function) ? function : nullptr);
    if (m_broken) HandBackUnsent();
  }

  // The view gave no channel: what was queued for it goes back to the page.
  void Refuse() {
    Break();
    HandBackUnsent();
  }

 private:
  static gboolean OnReadableThunk(gint, GIOCondition, gpointer self) {
    static_cast<PageChannel*>(self)->OnReadable();
    return G_SOURCE_CONTINUE;
  }

  // What the socket did not take goes as soon as it takes more, also when the page sends nothing
  // further (its movie waits for the answer to what is still unsent).
  static gboolean OnWritableThunk(gint, GIOCondition, gpointer self) {
    auto* channel = static_cast<PageChannel*>(self);
    channel->m_writeSource = 0;
    channel->Flush();
    return G_SOURCE_REMOVE;
  }

  void SetListener(JSObjectRef listener) {
    if (m_listener != nullptr) JSValueUnprotect(m_context, m_listener);
    m_listener = listener;
    if (m_listener != nullptr) JSValueProtect(m_context, m_listener);
  }

  void Close() {
    if (m_source != 0) {
      g_source_remove(m_source);
      m_source = 0;
    }
    if (m_writeSource != 0) {
      g_source_remove(m_writeSource);
      m_writeSource = 0;
    }
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

  // Writes what the socket takes now; false when the channel broke.
  bool Flush() {
    if (m_fd < 0) return true;
    if (!m_out.WriteTo(m_fd)) {
      Break();
      return false;
    }
    if (!m_out.empty() && m_writeSource == 0) m_writeSource = g_unix_fd_add(m_fd, G_IO_OUT, OnWritableThunk, this);
    return true;
  }

  // Reads what the socket holds now; false when the channel broke or ended.
  bool ReadAvailable() {
    if (m_fd >= 0 && player_runtime::ReadAvailable(m_fd, m_reader)) return true;
    Break();
    return false;
  }

  // Moves the calls of every whole frame read so far into `due`, in order.
  void TakeFrames(std::vector<InvokeCall>& due) {
    while (auto frame = m_reader.Next()) {
      auto calls = player_runtime::DecodeCalls(frame->payload);
      if (frame->kind == FrameKind::kCommand || !calls) {
        Break();
        return;
      }
      for (InvokeCall& call : *calls) due.push_back(std::move(call));
      if (frame->kind == FrameKind::kAnswer && m_unanswered > 0) --m_unanswered;
    }
    if (m_reader.broken()) Break();
  }

  // Waits, within the time limit, until every command sent has its answer (the latest command's
  // comes last). What the socket did not take goes when it takes more.
  void WaitForAnswers(std::vector<InvokeCall>& due) {
    const int64_t deadline = player_runtime::MonotonicMicroseconds() + kAnswerWaitMicroseconds;
    auto answered = [&] {
      TakeFrames(due);
      return m_fd < 0 || m_unanswered == 0;
    };
    if (!player_runtime::ExchangeUntil(m_fd, m_out, m_reader, deadline, answered)) {
      if (m_fd >= 0) TakeFrames(due);  // what came before the end still counts
      Break();
      return;
    }
    Flush();
  }

  void OnReadable() {
    if (!ReadAvailable() && m_reader.empty()) return;
    std::vector<InvokeCall> due;
    TakeFrames(due);
    Flush();
    if (due.empty() || m_listener == nullptr) return;
    const JSValueRef arguments[] = {CallsValue(m_context, due)};
    CallListener(1, arguments);
  }

  // Its exceptions are the page's: the page reports its own.
  void CallListener(size_t count, const JSValueRef arguments[]) {
    JSValueRef exception = nullptr;
    JSObjectCallAsFunction(m_context, m_listener, nullptr, count, arguments, &exception);
  }

  // The launcher has gone, or spoke what is no frame: nothing more is sent or read.
  void Break() {
    Close();
    m_broken = true;
    m_unanswered = 0;
  }

  // Commands and traces queued before the channel was up, to the listener, which sends them
  // another way: a command as [command, arguments], a trace as [text].
  void HandBackUnsent() {
    if (m_listener == nullptr || m_out.empty()) return;
    player_runtime::FrameReader queued;
    const std::string bytes = m_out.Take();
    queued.Append(bytes.data(), bytes.size());
    JSObjectRef commands = NewArray(m_context);
    unsigned listed = 0;
    while (auto frame = queued.Next()) {
      JSObjectRef item = NewArray(m_context);
      Append(m_context, commands, listed, item);
      unsigned length = 0;
      if (frame->kind == FrameKind::kTrace) {
        Append(m_context, item, length, StringValue(m_context, frame->payload));
      } else if (auto command = player_runtime::DecodeCommand(frame->payload)) {
        Append(m_context, item, length, StringValue(m_context, command->command));
        Append(m_context, item, length, StringValue(m_context, command->arguments));
      }
    }
    const JSValueRef arguments[] = {JSValueMakeUndefined(m_context), commands};
    CallListener(2, arguments);
  }

  JSGlobalContextRef m_context;
  JSObjectRef m_listener = nullptr;  // protected while held
  int m_fd = -1;
  guint m_source = 0;       // watches for what the launcher sends
  guint m_writeSource = 0;  // watches for room while output waits
  player_runtime::PendingOutput m_out;
  player_runtime::FrameReader m_reader;
  int64_t m_unanswered = 0;  // commands sent whose answers have not come
  bool m_broken = false;
};

// The channel of each page, by page id; replaced when the page's window object is made again.
std::map<guint64, std::unique_ptr<PageChannel>>& Channels() {
  static auto& channels = *new std::map<guint64, std::unique_ptr<PageChannel>>;
  return channels;
}

PageChannel* ChannelOf(guint64 page) {
  auto found = Channels().find(page);
  return found == Channels().end() ? nullptr : found->second.get();
}

// What each of the object's functions is, and whose: the function object's private data.
enum class Entry { kSend, kTake, kUnanswered, kTrace, kListen, kCode };

struct EntryOf {
  guint64 page;
  Entry entry;
};

JSValueRef CallEntry(JSContextRef context, JSObjectRef function, JSObjectRef, size_t count,
                     const JSValueRef arguments[], JSValueRef*) {
  const auto* of = static_cast<const EntryOf*>(JSObjectGetPrivate(function));
  PageChannel* channel = of != nullptr ? ChannelOf(of->page) : nullptr;
  auto argument = [&](size_t i) { return i < count ? arguments[i] : JSValueMakeUndefined(context); };
  switch (of != nullptr ? of->entry : Entry::kUnanswered) {
    case Entry::kSend:
      return JSValueMakeBoolean(context, channel != nullptr && channel->Send(WholeText(context, argument(0)),
                                                                             WholeText(context, argument(1))));
    case Entry::kTake:
      return channel != nullptr ? channel->Take(context) : NewArray(context);
    case Entry::kUnanswered:
      return JSValueMakeNumber(context, channel != nullptr ? static_cast<double>(channel->unanswered()) : 0);
    case Entry::kTrace:
      return JSValueMakeBoolean(context, channel != nullptr && channel->Trace(WholeText(context, argument(0))));
    case Entry::kListen:
      if (channel != nullptr) channel->Listen(argument(0));
      break;
    case Entry::kCode:
      return CodeFileValue(context, WholeText(context, argument(0)));
  }
  return JSValueMakeUndefined(context);
}

JSClassRef EntryClass() {
  static JSClassRef entryClass = [] {
    JSClassDefinition definition = kJSClassDefinitionEmpty;
    definition.className = "BrimtaleChannelFunction";
    definition.callAsFunction = CallEntry;
    definition.finalize = [](JSObjectRef function) { delete static_cast<EntryOf*>(JSObjectGetPrivate(function)); };
    return JSClassCreate(&definition);
  }();
  return entryClass;
}

void SetProperty(JSContextRef context, JSObjectRef object, const char* name, JSValueRef value) {
  JSStringRef key = JSStringCreateWithUTF8CString(name);
  JSObjectSetProperty(context, object, key, value, kJSPropertyAttributeReadOnly | kJSPropertyAttributeDontDelete,
                      nullptr);
  JSStringRelease(key);
}

struct Binding {
  guint64 page;
};

void OnChannelReply(GObject* source, GAsyncResult* result, gpointer data) {
  auto* binding = static_cast<Binding*>(data);
  WebKitUserMessage* reply = webkit_web_page_send_message_to_view_finish(WEBKIT_WEB_PAGE(source), result, nullptr);
  PageChannel* channel = ChannelOf(binding->page);
  GUnixFDList* fds = reply != nullptr ? webkit_user_message_get_fd_list(reply) : nullptr;
  int fd = fds != nullptr && g_unix_fd_list_get_length(fds) >= 1 ? g_unix_fd_list_get(fds, 0, nullptr) : -1;
  if (fd >= 0) MapHandedCode(reply, fds);
  if (channel != nullptr && fd >= 0) {
    channel->Connect(fd);
  } else {
    if (fd >= 0) close(fd);
    if (channel != nullptr) channel->Refuse();
  }
  if (reply != nullptr) g_object_unref(reply);
  delete binding;
}

bool IsRuntimePage(const char* uri) {
  if (uri == nullptr) return false;
  GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
  if (parsed == nullptr) return false;
  bool page = g_strcmp0(g_uri_get_scheme(parsed), g_scheme.c_str()) == 0 && g_uri_get_path(parsed) == g_pagePath;
  g_uri_unref(parsed);
  return page;
}

void OnWindowObjectCleared(WebKitScriptWorld*, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
  const guint64 id = webkit_web_page_get_id(page);
  if (!webkit_frame_is_main_frame(frame)) return;
  Channels().erase(id);
  if (!IsRuntimePage(webkit_frame_get_uri(frame))) return;

  // The main world's context, the one the page's own scripts run in (the signal is the default
  // world's); the GObject interface has no way to the C interface's.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  JSGlobalContextRef context = webkit_frame_get_javascript_global_context(frame);
  G_GNUC_END_IGNORE_DEPRECATIONS
  Channels()[id] = std::make_unique<PageChannel>(context);
  JSObjectRef object = JSObjectMake(context, nullptr, nullptr);
  const std::pair<const char*, Entry> entries[] = {
      {"send", Entry::kSend},   {"take", Entry::kTake},     {"unanswered", Entry::kUnanswered},
      {"trace", Entry::kTrace}, {"listen", Entry::kListen}, {"code", Entry::kCode}};
  for (const auto& [name, entry] : entries)
    SetProperty(context, object, name, JSObjectMake(context, EntryClass(), new EntryOf{id, entry}));
  SetProperty(context, JSContextGetGlobalObject(context), "brimtaleChannel", object);

  webkit_web_page_send_message_to_view(page, webkit_user_message_new(kChannelMessage, nullptr), nullptr,
                                       OnChannelReply, new Binding{id});
}

// The script engine compiles a wasm function again with its optimizing compiler once it has run a
// while (50,000 counts by default). Ruffle's start-up runs much of its 14 MB of code a while, so
// on two cores those compilations took the core the start-up itself needed: 1.5 s from Ruffle's
// code compiled to the movie's first request, 0.7 s with a later threshold. A movie's commands run
// the same large functions (its script's interpreter, the calls in and out): at a million counts
// they came due a thousand commands into a patch check, and their compilations (seconds of a
// core) and the collector's waits for them took four in ten of the commands a second for as long
// as they ran. At five million, a check of thousands of files runs at the baseline tier's speed
// throughout. Code that stays hot (a game's frames, its loops) still reaches the optimizing tier,
// later.
void DelayOptimizingTier() {
  constexpr gint kOptimizeAfterWarmUp = 5000000;
  if (!jsc_options_set_int("thresholdForOMGOptimizeAfterWarmUp", kOptimizeAfterWarmUp))
    g_warning("the script engine's optimizing threshold cannot be set");
}

}  // namespace

// The runtime names its scheme and its page's path in the initialization data ("(ss)").
extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension*,
                                                                                const GVariant* data) {
  if (data == nullptr || !g_variant_is_of_type(const_cast<GVariant*>(data), G_VARIANT_TYPE("(ss)"))) return;
  const char* scheme = nullptr;
  const char* path = nullptr;
  g_variant_get(const_cast<GVariant*>(data), "(&s&s)", &scheme, &path);
  g_scheme = scheme;
  g_pagePath = path;
  DelayOptimizingTier();
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(OnWindowObjectCleared),
                   nullptr);
}
