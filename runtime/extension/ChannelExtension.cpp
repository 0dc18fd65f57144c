// The web process side of the channel between a player's page and the runtime library. WebKit
// loads this module into each web process of the players' web context; it gives the runtime's
// own page, in the main frame only, a native object `brimtaleChannel`:
//
//   send(command, arguments)   hands a command of the movie to the launcher and waits a short
//                              while for its answer; returns the calls into the movie that are
//                              due now (answers and calls from outside a command, in order), an
//                              empty array when none are, null when the text cannot be sent
//   unanswered()               the number of commands sent whose answers have not come
//   listen(function)           receives, as an array of calls, whatever arrives while the page
//                              is not waiting in send; if the view refuses the channel, it
//                              receives the commands still unsent as a second argument, an
//                              array of [command, arguments], and send() returns null from then on
//
// A call is an array [name, argument...]. The page asks the view for the channel's socket when
// its window object is made; commands sent before it arrives wait in the outgoing buffer.
//
// Everything runs on the web process's main thread.

#include <unistd.h>
#include <glib-unix.h>
#include <webkit2/webkit-web-extension.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChannelSocket.h"

namespace {

using player_runtime::FrameKind;
using player_runtime::InvokeArgument;
using player_runtime::InvokeCall;

constexpr char kChannelMessage[] = "brimtale-channel";
// How long send() waits for its answer before it leaves the answer to listen(). A command's answer
// normally comes back well within it and reaches the movie before anything else runs in the page;
// a slow command (a large file, a process waited for) does not hold the page for longer, and
// neither does a launcher that is itself waiting for this process (WebKit's view has waited for
// its page after a resize or a paint): the page goes on and answers it.
constexpr int kAnswerWaitMicroseconds = 10000;

std::string g_scheme;    // the runtime's URI scheme
std::string g_pagePath;  // the path of the runtime's page

// One page's end of the channel.
class PageChannel {
 public:
  explicit PageChannel(JSCContext* context) : m_context(JSC_CONTEXT(g_object_ref(context))) {}
  ~PageChannel() {
    Close();
    if (m_listener != nullptr) g_object_unref(m_listener);
    g_object_unref(m_context);
  }
  PageChannel(const PageChannel&) = delete;
  PageChannel& operator=(const PageChannel&) = delete;

  void Connect(int fd) {
    Close();
    m_fd = fd;
    m_source = g_unix_fd_add(fd, G_IO_IN, OnReadableThunk, this);
    Flush();
  }

  JSCValue* Send(const std::string& command, const std::string& arguments) {
    if (m_broken || !m_out.Append(FrameKind::kCommand, player_runtime::EncodeCommand(command, arguments)))
      return jsc_value_new_null(m_context);
    ++m_unanswered;
    std::vector<InvokeCall> due;
    if (m_fd >= 0) WaitForAnswers(due);
    return CallsValue(due);
  }

  // false when the channel cannot take it (the page then sends it another way).
  bool Trace(const std::string& text) {
    if (m_broken || !m_out.Append(FrameKind::kTrace, text)) return false;
    Flush();
    return true;
  }

  int64_t unanswered() const { return m_unanswered; }

  void Listen(JSCValue* listener) {
    if (m_listener != nullptr) g_object_unref(m_listener);
    m_listener = jsc_value_is_function(listener) ? JSC_VALUE(g_object_ref(listener)) : nullptr;
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

  // Sends the command and waits, within the time limit, until every command sent has its answer
  // (the latest command's comes last). What the socket did not take goes when it takes more.
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
    JSCValue* calls = CallsValue(due);
    JSCValue* result = jsc_value_function_call(m_listener, JSC_TYPE_VALUE, calls, G_TYPE_NONE);
    if (result != nullptr) g_object_unref(result);
    g_object_unref(calls);
    jsc_context_clear_exception(m_context);
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
    GPtrArray* commands = g_ptr_array_new_with_free_func(g_object_unref);
    while (auto frame = queued.Next()) {
      GPtrArray* pair = g_ptr_array_new_with_free_func(g_object_unref);
      if (frame->kind == FrameKind::kTrace) {
        g_ptr_array_add(pair, StringValue(frame->payload));
      } else if (auto command = player_runtime::DecodeCommand(frame->payload)) {
        g_ptr_array_add(pair, StringValue(command->command));
        g_ptr_array_add(pair, StringValue(command->arguments));
      }
      g_ptr_array_add(commands, jsc_value_new_array_from_garray(m_context, pair));
      g_ptr_array_unref(pair);
    }
    JSCValue* unsent = jsc_value_new_array_from_garray(m_context, commands);
    g_ptr_array_unref(commands);
    JSCValue* result = jsc_value_function_call(m_listener, JSC_TYPE_VALUE, nullptr, JSC_TYPE_VALUE, unsent, G_TYPE_NONE);
    if (result != nullptr) g_object_unref(result);
    g_object_unref(unsent);
    jsc_context_clear_exception(m_context);
  }

  JSCValue* StringValue(const std::string& text) {
    GBytes* bytes = g_bytes_new(text.data(), text.size());
    JSCValue* value = jsc_value_new_string_from_bytes(m_context, bytes);
    g_bytes_unref(bytes);
    return value;
  }

  JSCValue* ArgumentValue(const InvokeArgument& argument) {
    switch (argument.kind) {
      case InvokeArgument::Kind::kString:
        return StringValue(argument.text);
      case InvokeArgument::Kind::kNumber:
        return jsc_value_new_number(m_context, g_ascii_strtod(argument.text.c_str(), nullptr));
      case InvokeArgument::Kind::kTrue:
        return jsc_value_new_boolean(m_context, TRUE);
      case InvokeArgument::Kind::kFalse:
        return jsc_value_new_boolean(m_context, FALSE);
      case InvokeArgument::Kind::kNull:
        return jsc_value_new_null(m_context);
      case InvokeArgument::Kind::kUndefined:
        break;
    }
    return jsc_value_new_undefined(m_context);
  }

  JSCValue* CallsValue(const std::vector<InvokeCall>& calls) {
    GPtrArray* list = g_ptr_array_new_with_free_func(g_object_unref);
    for (const InvokeCall& call : calls) {
      GPtrArray* items = g_ptr_array_new_with_free_func(g_object_unref);
      g_ptr_array_add(items, StringValue(call.name));
      for (const InvokeArgument& argument : call.arguments) g_ptr_array_add(items, ArgumentValue(argument));
      g_ptr_array_add(list, jsc_value_new_array_from_garray(m_context, items));
      g_ptr_array_unref(items);
    }
    JSCValue* value = jsc_value_new_array_from_garray(m_context, list);
    g_ptr_array_unref(list);
    return value;
  }

  JSCContext* m_context;
  JSCValue* m_listener = nullptr;
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

std::string WholeText(JSCValue* value) {
  std::string text;
  GBytes* bytes = jsc_value_to_string_as_bytes(value);
  if (bytes == nullptr) return text;
  gsize size = 0;
  const void* data = g_bytes_get_data(bytes, &size);
  if (data != nullptr) text.assign(static_cast<const char*>(data), size);
  g_bytes_unref(bytes);
  return text;
}

struct Binding {
  guint64 page;
};

JSCValue* OnSend(JSCValue* command, JSCValue* arguments, gpointer data) {
  PageChannel* channel = ChannelOf(static_cast<Binding*>(data)->page);
  JSCContext* context = jsc_value_get_context(command);
  if (channel == nullptr) return jsc_value_new_null(context);
  return channel->Send(WholeText(command), WholeText(arguments));
}

gboolean OnTrace(JSCValue* text, gpointer data) {
  PageChannel* channel = ChannelOf(static_cast<Binding*>(data)->page);
  return channel != nullptr && channel->Trace(WholeText(text));
}

double OnUnanswered(gpointer data) {
  PageChannel* channel = ChannelOf(static_cast<Binding*>(data)->page);
  return channel != nullptr ? static_cast<double>(channel->unanswered()) : 0;
}

void OnListen(JSCValue* listener, gpointer data) {
  if (PageChannel* channel = ChannelOf(static_cast<Binding*>(data)->page)) channel->Listen(listener);
}

void OnChannelReply(GObject* source, GAsyncResult* result, gpointer data) {
  auto* binding = static_cast<Binding*>(data);
  WebKitUserMessage* reply = webkit_web_page_send_message_to_view_finish(WEBKIT_WEB_PAGE(source), result, nullptr);
  PageChannel* channel = ChannelOf(binding->page);
  GUnixFDList* fds = reply != nullptr ? webkit_user_message_get_fd_list(reply) : nullptr;
  int fd = fds != nullptr && g_unix_fd_list_get_length(fds) == 1 ? g_unix_fd_list_get(fds, 0, nullptr) : -1;
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

void OnWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
  const guint64 id = webkit_web_page_get_id(page);
  if (!webkit_frame_is_main_frame(frame)) return;
  Channels().erase(id);
  if (!IsRuntimePage(webkit_frame_get_uri(frame))) return;

  JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
  Channels()[id] = std::make_unique<PageChannel>(context);
  JSCValue* object = jsc_value_new_object(context, nullptr, nullptr);
  auto unbind = [](gpointer data) { delete static_cast<Binding*>(data); };
  JSCValue* send = jsc_value_new_function(context, "send", G_CALLBACK(OnSend), new Binding{id}, unbind,
                                          JSC_TYPE_VALUE, 2, JSC_TYPE_VALUE, JSC_TYPE_VALUE);
  JSCValue* trace = jsc_value_new_function(context, "trace", G_CALLBACK(OnTrace), new Binding{id}, unbind,
                                           G_TYPE_BOOLEAN, 1, JSC_TYPE_VALUE);
  JSCValue* listen = jsc_value_new_function(context, "listen", G_CALLBACK(OnListen), new Binding{id}, unbind,
                                            G_TYPE_NONE, 1, JSC_TYPE_VALUE);
  JSCValue* unanswered = jsc_value_new_function(context, "unanswered", G_CALLBACK(OnUnanswered), new Binding{id},
                                                unbind, G_TYPE_DOUBLE, 0);
  jsc_value_object_define_property_data(object, "send", JSC_VALUE_PROPERTY_ENUMERABLE, send);
  jsc_value_object_define_property_data(object, "trace", JSC_VALUE_PROPERTY_ENUMERABLE, trace);
  jsc_value_object_define_property_data(object, "listen", JSC_VALUE_PROPERTY_ENUMERABLE, listen);
  jsc_value_object_define_property_data(object, "unanswered", JSC_VALUE_PROPERTY_ENUMERABLE, unanswered);
  g_object_unref(unanswered);
  JSCValue* global = jsc_context_get_global_object(context);
  jsc_value_object_define_property_data(global, "brimtaleChannel", JSC_VALUE_PROPERTY_ENUMERABLE, object);
  g_object_unref(global);
  g_object_unref(send);
  g_object_unref(listen);
  g_object_unref(trace);
  g_object_unref(object);
  g_object_unref(context);

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
