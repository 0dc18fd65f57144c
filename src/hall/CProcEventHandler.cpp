#include "hall/CProcEventHandler.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/Log.h"

namespace {

void* AsPointer(platform::NativeWindowId window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

// A normal end of the process destroys the application object while the hall's thread may still
// call in. The exit hook, registered once the application object exists (so it runs before that
// object's destructor), closes the gate and waits for a call in progress; later calls return at
// once. Lock order: the gate, then the stored strings' and the log's locks. Never destroyed.
struct ExitGate {
  std::mutex lock;
  bool closed = false;
};

ExitGate& Gate() {
  static ExitGate* gate = new ExitGate;
  return *gate;
}

void CloseGate() {
  std::lock_guard<std::mutex> hold(Gate().lock);
  Gate().closed = true;
}

}  // namespace

CProcEventHandler::CProcEventHandler(HallTarget target) : m_target(target) {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(CloseGate); });
}

void CProcEventHandler::OnConnectSucc(IClientProcMsgObject*) {
  std::lock_guard<std::mutex> hold(Gate().lock);
  if (!Gate().closed) WriteLog("CProcEventHandler::OnConnectSucc");
}

void CProcEventHandler::OnConnectFailed(IClientProcMsgObject*, int) {
  std::lock_guard<std::mutex> hold(Gate().lock);
  if (!Gate().closed) WriteLog("CProcEventHandler::OnConnectFailed");
}

void CProcEventHandler::OnConnectionDestroyed(IClientProcMsgObject*) {
  std::lock_guard<std::mutex> hold(Gate().lock);
  if (!Gate().closed) WriteLog("CProcEventHandler::OnConnectionDestroyed");
}

void CProcEventHandler::OnReceiveMsg(IClientProcMsgObject*, int, const ClientProcMsg* message) {
  std::lock_guard<std::mutex> hold(Gate().lock);
  if (Gate().closed || message == nullptr) return;
  WriteLog("CProcEventHandler::OnReceiveMsg, CmdId: %d, DataLen: %d", static_cast<int>(message->CmdId),
           static_cast<int>(message->DataLen));
  switch (message->CmdId) {
    case SC_BOSSKEY: {
      int32_t show = 0;
      memcpy(&show, message->Data, sizeof show);
      platform::DisplayConnection display;
      platform::NativeWindowId window = FindHallTargetWindow(display, m_target);
      if (window == 0) {
        WriteLog("Process QQHall Message: SC_BOSSKEY, Can't Found TargetWindow");
        return;
      }
      int result = display.ShowWindow(window, show != 0);
      WriteLog("Process QQHall Message: SC_BOSSKEY, Param: %d, Rtv: %d, %p", show, result, AsPointer(window));
      return;
    }
    case SC_WND_BRINGTOP: {
      platform::DisplayConnection display;
      platform::NativeWindowId window = FindHallTargetWindow(display, m_target);
      if (window == 0) {
        WriteLog("Process QQHall Message: SC_WND_BRINGTOP, Can't Found TargetWindow");
        return;
      }
      WriteLog("Process QQHall Message: SC_WND_BRINGTOP, FoundTargetWindow");
      ForceWindowToFront(display, window);
      return;
    }
    default:
      WriteLog("CProcEventHandler::OnReceiveMsg, Unsupported Message");
      return;
  }
}

platform::NativeWindowId FindHallTargetWindow(platform::DisplayConnection& display, const HallTarget& target) {
  std::string title = target.movieStrings != nullptr ? target.movieStrings->Get(0) : std::string();
  if (!title.empty()) {
    if (platform::NativeWindowId window = display.FindTopLevelWindow(title)) return window;
  }
  if (target.clientCaption == nullptr || target.clientCaption->empty()) return 0;
  return display.FindTopLevelWindow(*target.clientCaption);
}

bool ForceWindowToFront(platform::DisplayConnection& display, platform::NativeWindowId window) {
  // X11 has no per-thread input state to attach to the foreground window's thread: activation
  // goes through the window manager (or straight to the focus when there is none).
  display.ActivateWindow(window);
  display.RaiseWindow(window);
  if (display.RaiseWindow(window))
    WriteLog("BringWindowToTop OK");
  else
    WriteLog("BringWindowToTop Error %d", display.LastError());
  // The activation request also restores a minimised window, which is what switching to the
  // window adds on other systems.
  if (display.ActivateWindow(window))
    WriteLog("SetForegroundWindow OK");
  else
    WriteLog("SetForegroundWindow Error %d", display.LastError());
  return true;
}
