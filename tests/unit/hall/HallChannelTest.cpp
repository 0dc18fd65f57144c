// The hall channel against a message object whose virtual table is laid out by hand, slot by
// slot, as a foreign library's would be: the launcher must call exactly the agreed positions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hall/CProcEventHandler.h"
#include "hall/IClientProcMsgObject.h"
#include "hall/QQHallMsgHelper.h"
#include "support/TestLog.h"

namespace {

// Where the handler looks for the game window, as the application would give it.
StoredStrings g_movieStrings;
std::string g_clientCaption;
const HallTarget kTarget{&g_movieStrings, &g_clientCaption};

// The log of this test process goes into a folder of its own, set before anything logs; no
// display, so the handler's window search finds nothing.
const bool g_setUp = [] {
  testing_support::UseTestLog();
  unsetenv("DISPLAY");
  return true;
}();

// The log messages written since construction.
class LogSince {
 public:
  LogSince() : m_mark(testing_support::TestLogMessages().size()) {}
  std::vector<std::string> Messages() const { return testing_support::TestLogMessagesSince(m_mark); }

 private:
  size_t m_mark;
};

// A message object as the hall's library lays it out: the object starts with a pointer to a
// table of six entries, each called with the object first.
struct FakeObject {
  void* const* table;
  std::vector<std::string> calls;
  std::string procPara;
  IClientProcMsgEventHandler* handler = nullptr;
  int connectResult = 0;
  int sendResult = 0;
  int sentLength = -1;
  ClientProcMsg sent{};
};

int FakeInitialize(FakeObject* self) {
  self->calls.push_back("Initialize");
  return 0;
}
int FakeConnect(FakeObject* self, const char* procPara) {
  self->calls.push_back("Connect");
  self->procPara = procPara;
  return self->connectResult;
}
int FakeSlot3(FakeObject* self) {
  self->calls.push_back("slot 3");
  return 0;
}
int FakeSlot4(FakeObject* self) {
  self->calls.push_back("slot 4");
  return 0;
}
int FakeSendMsg(FakeObject* self, int length, const ClientProcMsg* message) {
  self->calls.push_back("SendMsg");
  self->sentLength = length;
  memcpy(&self->sent, message, sizeof(ClientProcMsg));
  return self->sendResult;
}
void FakeSetEventHandler(FakeObject* self, IClientProcMsgEventHandler* handler) {
  self->calls.push_back("SetEventHandler");
  self->handler = handler;
}

void* const kFakeTable[] = {
    reinterpret_cast<void*>(&FakeInitialize), reinterpret_cast<void*>(&FakeConnect),
    reinterpret_cast<void*>(&FakeSlot3),      reinterpret_cast<void*>(&FakeSlot4),
    reinterpret_cast<void*>(&FakeSendMsg),    reinterpret_cast<void*>(&FakeSetEventHandler),
};

FakeObject* g_fake = nullptr;
IClientProcMsgObject* CreateFake() { return reinterpret_cast<IClientProcMsgObject*>(g_fake); }
IClientProcMsgObject* CreateNothing() { return nullptr; }

// Calls slot `index` of the handler's table as the hall's library does.
template <typename... Arguments>
void CallHandlerSlot(IClientProcMsgEventHandler* handler, int index, Arguments... arguments) {
  auto table = *reinterpret_cast<void* const* const*>(handler);
  reinterpret_cast<void (*)(IClientProcMsgEventHandler*, Arguments...)>(table[index])(handler, arguments...);
}

class HallChannel : public ::testing::Test {
 protected:
  HallChannel() {
    m_fake.table = kFakeTable;
    g_fake = &m_fake;
  }
  ~HallChannel() override { g_fake = nullptr; }
  FakeObject m_fake;
  QQHallChannel m_channel{kTarget};
};

TEST_F(HallChannel, ConnectCallsTheAgreedSlotsInOrderAndReturnsConnectsResult) {
  m_fake.connectResult = 42;
  LogSince log;
  testing::internal::CaptureStdout();
  EXPECT_EQ(m_channel.Connect(&CreateFake, "a=b"), 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Get Create Client Object Function Success!\nCreate Client Object Function Success!\n");
  EXPECT_EQ(m_fake.calls, (std::vector<std::string>{"Initialize", "SetEventHandler", "Connect"}));
  EXPECT_EQ(m_fake.procPara, "a=b");
  EXPECT_NE(m_fake.handler, nullptr);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"QQHallMsgHelper::InitQQHallHelper rtv: 42"});
}

TEST_F(HallChannel, MissingExportOrObjectLeavesNoChannel) {
  struct Case {
    CreateClientProcMsgObjectFunction create;
    const char* output;
  };
  const Case cases[] = {
      {nullptr, "Get Create Client Object Function failed!\n"},
      {&CreateNothing, "Get Create Client Object Function Success!\nCreate Client Object Function failed!\n"},
  };
  for (const Case& c : cases) {
    QQHallChannel channel(kTarget);
    LogSince log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(channel.Connect(c.create, "p"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    channel.SendQuitMsg();
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"Load QQGameProcMsgHelper.dll failed. CreateObject return null.",
                                        "Send QQHallMsg CmdId: 1", "Send QQHallMsg Failed! pObj == NULL"}));
  }
  EXPECT_TRUE(m_fake.calls.empty());
}

TEST_F(HallChannel, QuitMessageIsAnEmptyRecordOfHeaderLength) {
  struct Case {
    int sendResult;
    const char* logged;
  };
  const Case cases[] = {
      {0, "Send Msg Success!"},
      {5, "Send Msg Failed! Error Code: 5"},
      {-1, "Send Msg Failed! Error Code: 4294967295"},
  };
  testing::internal::CaptureStdout();
  m_channel.Connect(&CreateFake, "p");
  testing::internal::GetCapturedStdout();
  for (const Case& c : cases) {
    m_fake.sendResult = c.sendResult;
    memset(&m_fake.sent, 0xAB, sizeof m_fake.sent);
    LogSince log;
    m_channel.SendQuitMsg();
    EXPECT_EQ(m_fake.calls.back(), "SendMsg");
    EXPECT_EQ(m_fake.sentLength, 8);
    EXPECT_EQ(m_fake.sent.CmdId, 1u);
    EXPECT_EQ(m_fake.sent.DataLen, 0u);
    EXPECT_EQ(m_fake.sent.Data[0], 0);
    EXPECT_EQ(m_fake.sent.Data[kClientProcMsgDataSize - 1], 0);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"Send QQHallMsg CmdId: 1", c.logged}));
  }
  EXPECT_EQ(std::count(m_fake.calls.begin(), m_fake.calls.end(), "slot 3"), 0);
  EXPECT_EQ(std::count(m_fake.calls.begin(), m_fake.calls.end(), "slot 4"), 0);
}

TEST_F(HallChannel, HandlerSlotsAnswerTheHallInTheirOrder) {
  testing::internal::CaptureStdout();
  m_channel.Connect(&CreateFake, "p");
  testing::internal::GetCapturedStdout();
  ASSERT_NE(m_fake.handler, nullptr);
  auto* object = reinterpret_cast<IClientProcMsgObject*>(&m_fake);
  auto message = std::make_unique<ClientProcMsg>();

  LogSince log;
  CallHandlerSlot(m_fake.handler, 0, object);
  CallHandlerSlot(m_fake.handler, 1, object, 7);
  CallHandlerSlot(m_fake.handler, 2, object);
  message->CmdId = 2;
  CallHandlerSlot(m_fake.handler, 3, object, 8, static_cast<const ClientProcMsg*>(message.get()));
  // Without a display no window can be found, whatever the message asks.
  message->CmdId = SC_BOSSKEY;
  message->DataLen = 4;
  CallHandlerSlot(m_fake.handler, 3, object, 12, static_cast<const ClientProcMsg*>(message.get()));
  message->CmdId = SC_WND_BRINGTOP;
  message->DataLen = 0;
  CallHandlerSlot(m_fake.handler, 3, object, 8, static_cast<const ClientProcMsg*>(message.get()));
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "CProcEventHandler::OnConnectSucc",
                                "CProcEventHandler::OnConnectFailed",
                                "CProcEventHandler::OnConnectionDestroyed",
                                "CProcEventHandler::OnReceiveMsg, CmdId: 2, DataLen: 0",
                                "CProcEventHandler::OnReceiveMsg, Unsupported Message",
                                "CProcEventHandler::OnReceiveMsg, CmdId: 3, DataLen: 4",
                                "Process QQHall Message: SC_BOSSKEY, Can't Found TargetWindow",
                                "CProcEventHandler::OnReceiveMsg, CmdId: 4, DataLen: 0",
                                "Process QQHall Message: SC_WND_BRINGTOP, Can't Found TargetWindow",
                            }));
}

TEST(HallProcessChannel, SendWithoutChannelOnlyLogsTheFailure) {
  LogSince log;
  QQHallMsgHelper::SendQQHallMsg();
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"Send QQHallMsg CmdId: 1", "Send QQHallMsg Failed! pObj == NULL"}));
}

// The hall's thread reads the movie's window title while SETCONFIG replaces it on the GUI thread
// (a data race without the lock: the thread sanitizer build reports it, a plain build may crash).
TEST(HallProcessChannel, TitleReplacedWhileTheHallThreadReadsIt) {
  std::atomic<bool> stop{false};
  std::thread guiThread([&] {
    for (int i = 0; !stop; ++i) g_movieStrings.Set(0, i % 2 ? std::string(300, 'x') : std::string("short"));
  });
  std::thread hallThread([] {
    CProcEventHandler handler(kTarget);
    auto message = std::make_unique<ClientProcMsg>();
    message->CmdId = SC_WND_BRINGTOP;
    for (int i = 0; i < 2000; ++i) handler.OnReceiveMsg(nullptr, sizeof(ClientProcMsg), message.get());
  });
  hallThread.join();
  stop = true;
  guiThread.join();
  std::string title = g_movieStrings.Get(0);
  EXPECT_TRUE(title == "short" || title == std::string(300, 'x'));
  g_movieStrings.Set(0, "");
}

}  // namespace
