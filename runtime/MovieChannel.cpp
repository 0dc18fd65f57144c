#include "MovieChannel.h"

#include <unistd.h>

#include "RuntimeState.h"

namespace player_runtime {

namespace {

// How long one dispatch runs commands before the loop's other work gets its turn.
constexpr gint64 kDispatchBudgetMicroseconds = 8000;
// While this much waits for the page, no further command is read: the page is slow to take its
// answers, and reading on would only pile them up.
constexpr size_t kOutputHighWater = 64 * 1024 * 1024;

}  // namespace

// A loop source over the socket that is also ready while whole frames wait in the reader (a
// dispatch that used its time leaves them there) unless the last dispatch has just yielded.
struct MovieChannel::Source {
  GSource base;
  MovieChannel* owner;  // cleared by the owner before it goes

  static gboolean Prepare(GSource* source, gint* timeout) {
    MovieChannel* owner = reinterpret_cast<Source*>(source)->owner;
    // A loop run by a handler itself: the next command waits for the handler to end, and the
    // socket is not watched meanwhile, or that loop would wake for it again and again.
    if (owner != nullptr && owner->m_dispatching) {
      owner->WatchSocket(false);
      *timeout = -1;
      return FALSE;
    }
    // A pass given away must not block in the poll: the frames are already here.
    *timeout = owner != nullptr && owner->m_yielded ? 0 : -1;
    return owner != nullptr && !owner->m_yielded && owner->HasWork();
  }
  static gboolean Check(GSource* source) {
    MovieChannel* owner = reinterpret_cast<Source*>(source)->owner;
    if (owner == nullptr || owner->m_dispatching) return FALSE;
    if (owner->m_yielded) {
      // This pass belonged to the rest of the loop; the next one is ours again.
      owner->m_yielded = false;
      return FALSE;
    }
    return g_source_query_unix_fd(source, owner->m_fdTag) != 0 || owner->HasWork();
  }
  static gboolean Dispatch(GSource* source, GSourceFunc, gpointer) {
    MovieChannel* owner = reinterpret_cast<Source*>(source)->owner;
    if (owner == nullptr) return G_SOURCE_REMOVE;
    // The listener may close and drop the channel while it runs.
    std::shared_ptr<MovieChannel> keep = owner->shared_from_this();
    owner->m_dispatching = true;
    owner->OnReady(g_source_query_unix_fd(source, owner->m_fdTag));
    owner->m_dispatching = false;
    owner->WatchSocket(true);
    return G_SOURCE_CONTINUE;
  }
};

std::shared_ptr<MovieChannel> MovieChannel::Open(HWND window, int fd) {
  std::shared_ptr<MovieChannel> channel(new MovieChannel(window, fd));
  static GSourceFuncs functions{Source::Prepare, Source::Check, Source::Dispatch, nullptr, nullptr, nullptr};
  auto* source = reinterpret_cast<Source*>(g_source_new(&functions, sizeof(Source)));
  source->owner = channel.get();
  channel->m_source = source;
  channel->m_fdTag = g_source_add_unix_fd(&source->base, fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
  // The loop would otherwise take the socket out of its poll for each dispatch and put it back
  // after, waking itself twice a command for nothing; re-entry is kept out by Prepare and Check.
  g_source_set_can_recurse(&source->base, TRUE);
  g_source_attach(&source->base, nullptr);
  return channel;
}

MovieChannel::MovieChannel(HWND window, int fd) : m_window(window), m_fd(fd) {}

MovieChannel::~MovieChannel() { Close(); }

void MovieChannel::Close() {
  if (m_source != nullptr) {
    m_source->owner = nullptr;
    g_source_destroy(&m_source->base);
    g_source_unref(&m_source->base);
    m_source = nullptr;
  }
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool MovieChannel::HasWork() const {
  return m_fd >= 0 && !m_reader.empty() && m_out.size() < kOutputHighWater;
}

bool MovieChannel::Call(InvokeCall call) {
  if (m_fd < 0) return false;
  if (m_answer) {
    m_answer->push_back(std::move(call));
  } else {
    Send(FrameKind::kCalls, {std::move(call)});
  }
  return true;
}

void MovieChannel::OnReady(GIOCondition condition) {
  if (condition & G_IO_OUT) Flush();
  if (m_fd < 0) return;
  // While much waits for the page, nothing more is read (the socket then holds the page's commands).
  if ((condition & (G_IO_IN | G_IO_HUP | G_IO_ERR)) && m_out.size() < kOutputHighWater &&
      !ReadAvailable(m_fd, m_reader)) {
    // The page's process has gone (or closed its end): what it sent before still runs.
    Log("the page's channel has ended");
    RunCommands();
    Close();
    return;
  }
  RunCommands();
}

void MovieChannel::RunCommands() {
  const gint64 deadline = g_get_monotonic_time() + kDispatchBudgetMicroseconds;
  while (m_fd >= 0 && m_out.size() < kOutputHighWater) {
    std::optional<Frame> frame = m_reader.Next();
    if (!frame) break;
    RunCommand(*frame);
    if (g_get_monotonic_time() >= deadline) {
      m_yielded = HasWork();
      break;
    }
  }
  if (m_reader.broken()) {
    Log("the page sent what is no frame; its channel is closed");
    Close();
  }
}

void MovieChannel::RunCommand(const Frame& frame) {
  if (frame.kind == FrameKind::kTrace) return DeliverTrace(frame.payload);
  std::optional<ChannelCommand> command;
  if (frame.kind == FrameKind::kCommand) command = DecodeCommand(frame.payload);
  if (!command) {
    Log("the page sent what is no command; its channel is closed");
    Close();
    return;
  }
  m_answer.emplace();
  Player* player = PlayerOf(m_window);
  if (player != nullptr && player->listener != nullptr) {
    SFPCFSCommandInfoStruct event{};
    event.hdr.hwndFrom = m_window;
    event.hdr.code = FPCN_FSCOMMAND;
    event.command = command->command.c_str();
    event.args = command->arguments.c_str();
    event.commandLength = command->command.size();
    event.argsLength = command->arguments.size();
    player->listener(m_window, player->listenerContext, &event.hdr);
  }
  std::vector<InvokeCall> calls = std::move(*m_answer);
  m_answer.reset();
  // Every command is answered, with no calls at all if need be: the page counts its answers.
  if (m_fd >= 0) Send(FrameKind::kAnswer, calls);
}

void MovieChannel::DeliverTrace(const std::string& text) {
  Player* player = PlayerOf(m_window);
  if (player == nullptr || player->listener == nullptr) return;
  // One trace call is one line of output, as the player's trace log has it.
  const std::string line = text + "\n";
  SFPCTraceStruct event{};
  event.hdr.hwndFrom = m_window;
  event.hdr.code = FPCN_TRACE;
  event.text = line.c_str();
  player->listener(m_window, player->listenerContext, &event.hdr);
}

void MovieChannel::Send(FrameKind kind, const std::vector<InvokeCall>& calls) {
  if (!m_out.Append(kind, EncodeCalls(calls))) {
    Log("a call into the movie is too large to send");
    m_out.Append(kind, EncodeCalls({}));
  }
  Flush();
}

void MovieChannel::Flush() {
  if (m_fd >= 0 && !m_out.WriteTo(m_fd)) {
    Log("the page's channel has ended");
    Close();
  }
  WatchOutput(m_fd >= 0 && !m_out.empty());
}

void MovieChannel::WatchOutput(bool wanted) {
  if (m_source == nullptr || wanted == m_watchingOutput) return;
  m_watchingOutput = wanted;
  ApplyWatch();
}

void MovieChannel::WatchSocket(bool watched) {
  if (m_source == nullptr || watched != m_muted) return;
  m_muted = !watched;
  ApplyWatch();
}

// What the loop polls the socket for: nothing while muted, input always, output while some waits.
void MovieChannel::ApplyWatch() {
  int events = m_muted ? 0 : G_IO_IN | G_IO_HUP | G_IO_ERR | (m_watchingOutput ? G_IO_OUT : 0);
  g_source_modify_unix_fd(&m_source->base, m_fdTag, static_cast<GIOCondition>(events));
}

}  // namespace player_runtime
