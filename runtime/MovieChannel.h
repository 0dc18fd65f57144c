#pragma once
// The runtime library's end of a player page's channel (the other end is the web process
// extension, extension/ChannelExtension.cpp). The movie's commands come in as frames and go to the
// player's listener one by one, on the GUI thread; every call into the movie that the listener
// makes meanwhile becomes that command's answer, sent when the listener returns. Calls made
// outside a command are sent at once.
//
// Nothing here ever waits for the page: the socket is non-blocking both ways, what the page does
// not take yet waits in a buffer, and while that buffer is very full no further command is read.
// A dispatch runs commands for a few milliseconds at most, then lets the loop's other work
// (events, paints) run before it goes on.
//
// GUI thread only.

#include <glib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChannelSocket.h"
#include "platform/Window.h"

namespace player_runtime {

class MovieChannel : public std::enable_shared_from_this<MovieChannel> {
 public:
  // Takes `fd` (a connected, non-blocking stream socket) and starts reading commands for `window`.
  static std::shared_ptr<MovieChannel> Open(HWND window, int fd);
  ~MovieChannel();
  MovieChannel(const MovieChannel&) = delete;
  MovieChannel& operator=(const MovieChannel&) = delete;

  // Sends the call with the current command's answer, or at once outside a command. false when
  // the channel is closed (the caller takes another road).
  bool Call(InvokeCall call);
  // Stops reading and writing; the page sees the end of the stream. Safe from inside a command.
  void Close();
  bool open() const { return m_fd >= 0; }

 private:
  struct Source;

  MovieChannel(HWND window, int fd);

  void OnReady(GIOCondition condition);
  void RunCommands();
  void RunCommand(const Frame& frame);
  void DeliverTrace(const std::string& text);
  void Send(FrameKind kind, const std::vector<InvokeCall>& calls);
  void Flush();
  void WatchOutput(bool wanted);
  void WatchSocket(bool watched);
  void ApplyWatch();
  bool HasWork() const;

  HWND m_window;
  int m_fd;
  Source* m_source = nullptr;
  gpointer m_fdTag = nullptr;
  bool m_watchingOutput = false;
  bool m_yielded = false;  // the last dispatch used its time: one loop pass goes to other work
  bool m_dispatching = false;  // a dispatch runs (a handler may run a loop of its own meanwhile)
  bool m_muted = false;        // the socket is not watched while a handler's own loop runs
  FrameReader m_reader;
  PendingOutput m_out;
  std::optional<std::vector<InvokeCall>> m_answer;  // the calls of the command being run
};

}  // namespace player_runtime
