#include "hall/QQHallMsgHelper.h"

#include <cstdio>

#include "base/Log.h"
#include "platform/DynamicLibrary.h"
#include "platform/SharedLibrary.h"

namespace {

// Relative to the current directory: the hall starts the game from its own folder layout.
constexpr const char* kLibraryPaths[] = {
    "./QQGameProcMsgHelper.so",
    "../QQGameProcMsgHelper.so",
    "../../QQGameProcMsgHelper.so",
};

void WriteStandardOutput(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

// The process's channel. Deliberately never destroyed: the hall's thread may still call the
// handler while the process ends.
QQHallChannel& ProcessChannel() {
  static QQHallChannel* channel = new QQHallChannel;
  return *channel;
}

}  // namespace

QQHallChannel::QQHallChannel(HallTarget target) : m_target(target) {}
QQHallChannel::~QQHallChannel() = default;

int QQHallChannel::Open(const char* procPara) {
  for (const char* path : kLibraryPaths) {
    m_module = platform::LoadLibrary(path);
    if (m_module != nullptr) break;
  }
  if (m_module == nullptr) {
    WriteLog("Load QQGameProcMsgHelper.dll failed.");
    return 0;
  }
  auto create = reinterpret_cast<CreateClientProcMsgObjectFunction>(
      platform::FindSharedObjectSymbol(m_module, "CreateClientProcMsgObject"));
  return Connect(create, procPara);
}

int QQHallChannel::Connect(CreateClientProcMsgObjectFunction create, const char* procPara) {
  if (create == nullptr) {
    WriteStandardOutput("Get Create Client Object Function failed!\n");
  } else {
    WriteStandardOutput("Get Create Client Object Function Success!\n");
    m_object = create();
    WriteStandardOutput(m_object == nullptr ? "Create Client Object Function failed!\n"
                                            : "Create Client Object Function Success!\n");
  }
  if (m_object == nullptr) {
    WriteLog("Load QQGameProcMsgHelper.dll failed. CreateObject return null.");
    return 0;
  }
  m_object->Initialize();
  m_handler = std::make_unique<CProcEventHandler>(m_target);
  m_object->SetEventHandler(m_handler.get());
  int result = m_object->Connect(procPara != nullptr ? procPara : "");
  WriteLog("QQHallMsgHelper::InitQQHallHelper rtv: %d", result);
  return result;
}

void QQHallChannel::SendQuitMsg() {
  WriteLog("Send QQHallMsg CmdId: %u", kHallMsgQuit);
  if (m_object == nullptr) {
    WriteLog("Send QQHallMsg Failed! pObj == NULL");
    return;
  }
  // 64 KiB, zero-filled: kept off the stack of the thread that ends the process.
  auto message = std::make_unique<ClientProcMsg>();
  message->CmdId = kHallMsgQuit;
  message->DataLen = 0;
  int result = m_object->SendMsg(kClientProcMsgHeaderSize, message.get());
  if (result == 0)
    WriteLog("Send Msg Success!");
  else
    WriteLog("Send Msg Failed! Error Code: %u", static_cast<unsigned>(result));
}

namespace QQHallMsgHelper {

int InitQQHallHelper(const char* procPara, HallTarget target) {
  ProcessChannel().SetTarget(target);
  return ProcessChannel().Open(procPara);
}

void SendQQHallMsg() { ProcessChannel().SendQuitMsg(); }

}  // namespace QQHallMsgHelper
