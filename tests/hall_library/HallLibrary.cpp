// A game hall library for tests: it implements the message object, records what the launcher
// asks of it, and delivers hall messages to the launcher's handler on threads of its own.
//
// Environment:
//   BRIMTALE_TEST_HALL_RECORD     file to which one line per call is appended:
//                                 "Create", "Initialize", "SetEventHandler", "Connect <param>",
//                                 "SendMsg <length> <CmdId> <DataLen>", "Delivered <messages>"
//   BRIMTALE_TEST_HALL_NO_OBJECT  "1": CreateClientProcMsgObject returns null
//   BRIMTALE_TEST_HALL_CONNECT_RESULT, BRIMTALE_TEST_HALL_SEND_RESULT
//                                 what Connect and SendMsg return (default 0)
//   BRIMTALE_TEST_HALL_DELIVER    messages delivered while Connect runs, from a thread of the
//                                 library; Connect returns once they are handled
//   BRIMTALE_TEST_HALL_TRIGGER    a file watched from a thread of the library after Connect:
//                                 when it appears its text (messages) is delivered and the file
//                                 removed, as often as it appears
// Messages are written "ID" or "ID:PARAM", separated by commas or blanks; a PARAM is put as a
// 32-bit little-endian number at the start of the data area (DataLen 4).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "hall/IClientProcMsgObject.h"

namespace {

std::mutex g_recordLock;

void Record(const std::string& line) {
  const char* path = std::getenv("BRIMTALE_TEST_HALL_RECORD");
  if (path == nullptr || *path == '\0') return;
  std::lock_guard<std::mutex> lock(g_recordLock);
  if (FILE* file = fopen(path, "a")) {
    fprintf(file, "%s\n", line.c_str());
    fclose(file);
  }
}

int IntegerFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? atoi(value) : 0;
}

void Deliver(IClientProcMsgObject* object, IClientProcMsgEventHandler* handler, const std::string& messages) {
  if (handler == nullptr) return;
  std::string text = messages;
  for (char& c : text)
    if (c == ',' || c == '\n' || c == '\r' || c == '\t') c = ' ';
  std::istringstream words(text);
  std::string word;
  auto message = std::make_unique<ClientProcMsg>();
  while (words >> word) {
    memset(message.get(), 0, sizeof(ClientProcMsg));
    size_t colon = word.find(':');
    message->CmdId = static_cast<uint32_t>(strtoul(word.substr(0, colon).c_str(), nullptr, 10));
    if (colon != std::string::npos) {
      int32_t parameter = static_cast<int32_t>(strtol(word.substr(colon + 1).c_str(), nullptr, 10));
      memcpy(message->Data, &parameter, sizeof parameter);
      message->DataLen = sizeof parameter;
    }
    handler->OnReceiveMsg(object, static_cast<int>(sizeof(ClientProcMsg)), message.get());
  }
  Record("Delivered " + messages);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TestHallObject final : public IClientProcMsgObject {
 public:
  int Initialize() override {
    Record("Initialize");
    return 0;
  }

  int Connect(const char* procPara) override {
    Record(std::string("Connect ") + (procPara != nullptr ? procPara : "(null)"));
    int result = IntegerFromEnvironment("BRIMTALE_TEST_HALL_CONNECT_RESULT");
    // As a hall does: the connection's outcome and the messages come on the library's threads.
    std::thread([this, result] {
      if (m_handler == nullptr) return;
      if (result == 0)
        m_handler->OnConnectSucc(this);
      else
        m_handler->OnConnectFailed(this, result);
      if (const char* messages = std::getenv("BRIMTALE_TEST_HALL_DELIVER")) Deliver(this, m_handler, messages);
    }).join();
    if (const char* trigger = std::getenv("BRIMTALE_TEST_HALL_TRIGGER")) WatchTrigger(trigger);
    return result;
  }

  int ReservedSlot3() override { return 0; }
  int ReservedSlot4() override { return 0; }

  int SendMsg(int length, const ClientProcMsg* message) override {
    Record("SendMsg " + std::to_string(length) + " " + std::to_string(message->CmdId) + " " +
           std::to_string(message->DataLen));
    return IntegerFromEnvironment("BRIMTALE_TEST_HALL_SEND_RESULT");
  }

  void SetEventHandler(IClientProcMsgEventHandler* handler) override {
    Record("SetEventHandler");
    m_handler = handler;
  }

 private:
  // Runs until the process ends, like a hall connection's thread.
  void WatchTrigger(const std::string& path) {
    std::thread([this, path] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream probe(path);
        if (!probe) continue;
        probe.close();
        std::string messages = ReadWholeFile(path);
        std::remove(path.c_str());
        Deliver(this, m_handler, messages);
      }
    }).detach();
  }

  IClientProcMsgEventHandler* m_handler = nullptr;
};

}  // namespace

extern "C" [[gnu::visibility("default")]] IClientProcMsgObject* CreateClientProcMsgObject() {
  Record("Create");
  if (IntegerFromEnvironment("BRIMTALE_TEST_HALL_NO_OBJECT") == 1) return nullptr;
  static TestHallObject* object = new TestHallObject;  // lives as long as the process
  return object;
}
