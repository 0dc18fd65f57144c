#pragma once
// What travels through HttpMgr: a task says what to fetch and where the body goes, and owns the
// callback through which its creator hears of progress and completion.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ops/Sha256.h"

class HttpMgr;
struct HttpTask;

enum class HttpTaskType : int32_t { HTTP_TASK_FILE = 0, HTTP_TASK_STRING = 1 };
enum class HttpEventType : int32_t { HTTP_EVENT_COMPLETE = 0, HTTP_EVENT_FAILED = 1, HTTP_EVENT_PROGRESS = 2 };

// Created, delivered and freed by HttpMgr; a callback reads it only during its call.
struct HttpTaskEvent {
  HttpEventType type = HttpEventType::HTTP_EVENT_COMPLETE;
  // Byte counts of progress events, whole (a file of 2 GiB or more does not wrap); 0 in completion
  // events.
  int64_t total = 0;    // expected size; 0 while unknown
  int64_t current = 0;  // bytes so far
  HttpTask* task = nullptr;  // borrowed: valid only during the callback's call
};

class HttpCallback {
 public:
  virtual void Invoke(HttpTaskEvent* event) = 0;
  virtual ~HttpCallback() = default;
};

// Forwards each event to a member function of its owner. Invoked on the GUI thread only.
template <typename T>
class HttpCallbackT : public HttpCallback {
 public:
  using Handler = void (T::*)(HttpTaskEvent*);
  HttpCallbackT(T* owner, Handler handler) : owner(owner), handler(handler) {}
  void Invoke(HttpTaskEvent* event) override { (owner->*handler)(event); }

  T* owner;  // not owned
  Handler handler;
};

struct HttpTask {
  explicit HttpTask(HttpTaskType type) : type(type) {}
  virtual ~HttpTask() = default;
  HttpTask(const HttpTask&) = delete;
  HttpTask& operator=(const HttpTask&) = delete;

  HttpTaskType type;
  bool reportProgress = false;
  uint32_t lastProgressTick = 0;
  std::unique_ptr<HttpCallback> callback;  // may be null
  HttpMgr* manager = nullptr;              // set by HttpMgr::AddTask
  std::vector<std::string> requestHeaders;  // sent with the request as well: "Name: value"
  // The task's progress event still waiting for delivery, which a newer one updates rather than
  // queue behind it; guarded by the manager's event lock.
  HttpTaskEvent* queuedProgress = nullptr;
  std::string url;
  // How the transfer ended, set by the worker before the completion event: the final HTTP status
  // (0 when none came), the answer's Content-Type, and why it failed in words (libcurl's message,
  // "HTTP 404", a refused body); `failure` is empty for a task that completed.
  long responseCode = 0;
  std::string contentType;
  std::string failure;
};

struct HttpDownloadStringTask : HttpTask {
  HttpDownloadStringTask() : HttpTask(HttpTaskType::HTTP_TASK_STRING) {}
  std::string body;
  size_t maxBodyBytes = 16u << 20;  // a longer answer is stopped and fails
};

// The file a download must give, known to its creator beforehand (a file of a signed site).
struct HttpExpectedFile {
  uint64_t size = 0;
  Sha256Digest sha256{};
};

struct HttpDownloadFileTask : HttpTask {
  HttpDownloadFileTask() : HttpTask(HttpTaskType::HTTP_TASK_FILE) {}
  FILE* file = nullptr;  // open only while the transfer runs (the partial or staged file beside `path`)
  std::string path;
  // With an expectation, a body whose whole length is not `size` is refused as soon as the length
  // is known (from the headers, else as it grows), and one whose SHA-256 differs at its end. The
  // digest is taken while the body comes in; a resumed download reads the part kept from before
  // once, ahead of the rest. A refused body never replaces the destination and is never resumed.
  std::optional<HttpExpectedFile> expected;
  // Why the creator does not allow the download (it logs it): the task fails in its turn, without
  // a request and without touching the destination.
  std::string refusal;
};
