#pragma once
// Background HTTP GET transfers on libcurl, with their events delivered on the GUI thread.
//
// Threads: the GUI thread constructs, starts, stops, adds tasks and delivers events; the worker
// transfers. The queue, event and count locks are never nested and never held during a transfer
// or a callback. A worker that posts an event wakes the GUI thread's loop.

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include "http/HttpTask.h"

class HttpMgr {
 public:
  HttpMgr();   // curl_global_init
  ~HttpMgr();  // curl_global_cleanup
  HttpMgr(const HttpMgr&) = delete;
  HttpMgr& operator=(const HttpMgr&) = delete;

  // Starts `threadCount` workers; always true. GUI thread.
  bool Start(int threadCount);
  // Ends the workers (aborting a running transfer), then frees undelivered events without
  // callbacks and destroys queued tasks. Does nothing when not running. GUI thread.
  void Stop();
  // Takes ownership of `task` and queues it. Any thread.
  void AddTask(HttpTask* task);
  // Delivers every pending event to its task's callback; destroys each task after its
  // completion event. GUI thread only.
  void DispatchEvents();

  // Whether transfers verify the peer's certificate and host name (default true).
  void SetVerifyTls(bool verify) { m_verifyTls = verify; }

 private:
  static unsigned ThreadProc(HttpMgr* manager);
  void RunTasks(void* curlHandle);
  void PostEvent(HttpTaskEvent* event);
  static size_t WriteCallback(char* data, size_t size, size_t count, void* task);
  static int ProgressCallback(void* task, int64_t downloadTotal, int64_t downloadNow, int64_t uploadTotal,
                              int64_t uploadNow);

  std::deque<HttpTask*> m_tasks;
  std::mutex m_queueLock;
  std::deque<HttpTaskEvent*> m_events[2];  // incoming (workers), delivery (GUI thread)
  std::mutex m_eventLock;
  std::atomic<bool> m_running{false};
  std::atomic<int32_t> m_liveWorkers{0};
  std::mutex m_countLock;
  std::atomic<bool> m_verifyTls{true};
};
