#pragma once
// The message channel to the game hall, through the hall's own library.
//
// The process has one channel, opened at most once at start-up (GUI thread) and never closed:
// the library, its object and the launcher's handler stay for the whole process, because the
// hall's thread may call the handler at any time until the process ends.

#include <memory>

#include "hall/CProcEventHandler.h"
#include "hall/IClientProcMsgObject.h"

// One channel's state. The process's channel lives in QQHallMsgHelper; tests make their own.
class QQHallChannel {
 public:
  // `target` tells the handler where to find the game window (see CProcEventHandler).
  explicit QQHallChannel(HallTarget target = {});
  ~QQHallChannel();
  QQHallChannel(const QQHallChannel&) = delete;
  QQHallChannel& operator=(const QQHallChannel&) = delete;

  // Loads the library from ./, ../ and ../../ (the current directory's), then Connect.
  // Returns Connect's result, 0 when no library is found.
  int Open(const char* procPara);

  // Creates the object with `create` (null: the export is missing), initialises it, gives it
  // the handler and connects with `procPara`. Returns the object's Connect result, 0 when there
  // is no object. Writes the four standard-output lines and the log lines of the channel.
  int Connect(CreateClientProcMsgObjectFunction create, const char* procPara);

  // Sends message 1 without data; without an object only logs the failure.
  void SendQuitMsg();

  IClientProcMsgObject* object() const { return m_object; }
  // Before Open: the process's channel exists before start-up knows the target.
  void SetTarget(HallTarget target) { m_target = target; }

 private:
  HallTarget m_target;
  void* m_module = nullptr;
  IClientProcMsgObject* m_object = nullptr;  // the library's; never freed
  std::unique_ptr<CProcEventHandler> m_handler;
};

namespace QQHallMsgHelper {

// Opens the process's channel with the hall's PROCPARA start argument, its handler looking for
// the game window through `target`. Returns the object's Connect result, or 0 when the library
// or its object is not available. GUI thread, once.
int InitQQHallHelper(const char* procPara, HallTarget target);

// Tells the hall that the launcher is about to end (message 1). Without a channel it only logs
// the failure. Called from the thread that ends the process, after InitQQHallHelper.
void SendQQHallMsg();

}  // namespace QQHallMsgHelper
