#pragma once
// The binary contract with the game hall's library (QQGameProcMsgHelper.so): its exported
// factory, the message object it returns, the event handler the launcher gives it, and the
// message record both sides exchange.
//
// Both interfaces are read through their C++ virtual tables, so the order of the virtual
// functions below is the contract and must never change; neither interface has a virtual
// destructor, which would take table slots of its own. The library owns its object (the
// launcher never frees it); the launcher owns its handler and keeps it for the whole process.

#include <cstddef>
#include <cstdint>

// Message identifiers.
constexpr uint32_t SC_BOSSKEY = 3;       // hall to launcher: data starts with a 32-bit show flag
constexpr uint32_t SC_WND_BRINGTOP = 4;  // hall to launcher: no data
constexpr uint32_t kHallMsgQuit = 1;     // launcher to hall, right before the launcher ends

constexpr size_t kClientProcMsgDataSize = 65536;

// Little-endian, no padding.
struct ClientProcMsg {
  uint32_t CmdId;
  uint32_t DataLen;  // valid bytes in Data
  uint8_t Data[kClientProcMsgDataSize];
};
static_assert(sizeof(ClientProcMsg) == 65544);
static_assert(offsetof(ClientProcMsg, DataLen) == 4 && offsetof(ClientProcMsg, Data) == 8);

// The size of the two header fields: a message without data is sent with this length.
constexpr int kClientProcMsgHeaderSize = 8;

class IClientProcMsgObject;

// Implemented by the launcher (CProcEventHandler); called on the library's own thread.
class IClientProcMsgEventHandler {
 public:
  virtual void OnConnectSucc(IClientProcMsgObject* object) = 0;                   // slot 1
  virtual void OnConnectFailed(IClientProcMsgObject* object, int errorCode) = 0;  // slot 2
  virtual void OnConnectionDestroyed(IClientProcMsgObject* object) = 0;           // slot 3
  // `message` is the last argument and the only one the launcher reads. Valid during the call.
  virtual void OnReceiveMsg(IClientProcMsgObject* object, int length, const ClientProcMsg* message) = 0;  // slot 4

 protected:
  ~IClientProcMsgEventHandler() = default;
};

// Implemented by the hall's library.
class IClientProcMsgObject {
 public:
  virtual int Initialize() = 0;                   // 1st; result not looked at
  virtual int Connect(const char* procPara) = 0;  // 2nd; the hall's PROCPARA start argument
  virtual int ReservedSlot3() = 0;                // 3rd; the library's, never called here
  virtual int ReservedSlot4() = 0;                // 4th; the library's, never called here
  // 5th: 0 on success, else the library's error code. `message` is read for `length` bytes.
  virtual int SendMsg(int length, const ClientProcMsg* message) = 0;
  virtual void SetEventHandler(IClientProcMsgEventHandler* handler) = 0;  // 6th; result not looked at

 protected:
  ~IClientProcMsgObject() = default;
};

// The library's export "CreateClientProcMsgObject": the message object, or null on failure.
extern "C" {
typedef IClientProcMsgObject* (*CreateClientProcMsgObjectFunction)();
}
