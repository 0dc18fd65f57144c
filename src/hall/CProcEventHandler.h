#pragma once
// The launcher's side of the hall channel: what the hall may ask of the game window.
//
// Every operation runs on the hall library's thread, never on the GUI thread, and touches no
// GUI-thread state: it reads the movie's window title from the stored strings (under their lock)
// and the configured client caption (read-only after start-up), and acts on the game window
// through a display connection of its own (platform/DisplayConnection.h). Calls are handled one
// at a time; once the process has begun its normal exit they return without doing anything.

#include <string>

#include "base/StoredStrings.h"
#include "hall/IClientProcMsgObject.h"
#include "platform/DisplayConnection.h"

// How the hall's requests find the game window: both outlive every channel that uses them.
struct HallTarget {
  const StoredStrings* movieStrings = nullptr;  // index 0: the title the movie gave its window
  const std::string* clientCaption = nullptr;   // the configured caption, when the movie gave none
};

class CProcEventHandler final : public IClientProcMsgEventHandler {
 public:
  // The first one arms the process's exit hook (see the .cpp): make it after the objects that
  // `target` points to, so the hook runs before they are destroyed.
  explicit CProcEventHandler(HallTarget target);
  ~CProcEventHandler() = default;

  void OnConnectSucc(IClientProcMsgObject* object) override;
  void OnConnectFailed(IClientProcMsgObject* object, int errorCode) override;
  void OnConnectionDestroyed(IClientProcMsgObject* object) override;
  // SC_BOSSKEY hides (parameter 0) or restores the game window, SC_WND_BRINGTOP brings it to
  // the front; anything else is logged as unsupported. A null record is ignored.
  void OnReceiveMsg(IClientProcMsgObject* object, int length, const ClientProcMsg* message) override;

 private:
  HallTarget m_target;
};

// The game window: the top-level window titled as index 0 of the movie's stored strings, else
// the one titled as the client caption. An empty title is never searched for (it would match
// unnamed windows of any process). 0 when neither is found.
platform::NativeWindowId FindHallTargetWindow(platform::DisplayConnection& display, const HallTarget& target);

// Activates and raises `window` as far as the window manager allows, logging each refusal with
// its X error code. Returns true.
bool ForceWindowToFront(platform::DisplayConnection& display, platform::NativeWindowId window);
