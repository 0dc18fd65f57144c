#include "http/HttpMgr.h"

#include "app/Log.h"

// Seam filled by the HTTP work: until then tasks are dropped unserved, and Start says so.
HttpMgr::HttpMgr() = default;
HttpMgr::~HttpMgr() {
  for (HttpTask* task : m_tasks) delete task;
}
bool HttpMgr::Start(int) {
  WriteLog("HttpMgr: HTTP transfers are not built yet");
  return true;
}
void HttpMgr::Stop() {}
void HttpMgr::AddTask(HttpTask* task) {
  task->manager = this;
  m_tasks.push_back(task);
}
void HttpMgr::DispatchEvents() {}
