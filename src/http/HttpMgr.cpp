#include "http/HttpMgr.h"

#include <curl/curl.h>

#include <chrono>
#include <system_error>
#include <utility>

#include "app/Log.h"
#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/TempFiles.h"

namespace {

// libcurl hands the write function chunks of up to this size; large chunks keep a fast local
// transfer from being bound by per-chunk overhead.
constexpr long kReceiveBufferBytes = 512 * 1024;
constexpr long kMaxRedirects = 20;
constexpr long kLowSpeedBytesPerSecond = 100;
constexpr uint32_t kProgressIntervalMs = 50;
// How long an idle worker waits for a task before it looks at the running flag again.
constexpr std::chrono::milliseconds kIdlePoll{100};
// Any non-zero result of the transfer-info function makes libcurl abort the transfer.
constexpr int kAbortTransfer = 42;
// A download never leaves its disk with less than this free: a player's machine must go on working,
// whatever a server sends.
constexpr uint64_t kMinimumFreeBytes = 256ull << 20;
// The free space is looked at again after this many bytes.
constexpr uint64_t kFreeSpaceCheckBytes = 4ull << 20;
// A string answer (movie URL, analysis reports) is small; a larger one is refused, not collected.
constexpr size_t kMaxStringBodyBytes = 16u << 20;

struct CurlEasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

}  // namespace

// One transfer's state, shared by the write and transfer-info functions on the worker.
struct HttpMgr::Transfer {
  HttpTask* task;
  CURL* curl;
  platform::StagedFile* staged;  // a file task's temporary file, else null
  uint64_t received = 0;
  uint64_t receivedAtSpaceCheck = 0;
  const char* refusal = nullptr;  // why the body was refused, for the log
};

HttpMgr::HttpMgr() { curl_global_init(CURL_GLOBAL_ALL); }

HttpMgr::~HttpMgr() {
  Stop();
  // Tasks queued while stopped, and events of a manager that was never stopped, go with it.
  for (auto& list : m_events) {
    for (auto& event : list)
      if (event->type != HTTP_EVENT_PROGRESS) delete event->task;
    list.clear();
  }
  m_tasks.clear();
  curl_global_cleanup();
}

bool HttpMgr::Start(int threadCount) {
  if (m_running) return true;
  m_delivery = std::make_unique<platform::LoopSignal>([this] { DispatchEvents(); });
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_running = true;
  }
  m_workers.reserve(m_workers.size() + (threadCount > 0 ? threadCount : 0));
  for (int i = 0; i < threadCount; ++i) {
    {
      std::lock_guard<std::mutex> lock(m_countLock);
      ++m_liveWorkers;
    }
    // std::thread reports a thread that cannot be created only by throwing; it is caught here so
    // that the worker is not counted and Stop does not wait for it.
    try {
      m_workers.emplace_back(&HttpMgr::ThreadProc, this);
    } catch (const std::system_error&) {
      LeaveWorker();
      WriteLog("HttpMgr: worker thread could not be started");
    }
  }
  return true;
}

void HttpMgr::Stop() {
  if (!m_running) return;
  {
    // Cleared under the queue lock so that an idle worker cannot miss the wake-up.
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_running = false;
  }
  m_queueChanged.notify_all();
  for (std::thread& worker : m_workers)
    if (worker.joinable()) worker.join();
  m_workers.clear();
  m_delivery.reset();

  // The workers have ended: nothing else touches the lists now. Events are discarded without
  // calling back; a completion event owned its task, which goes with it.
  for (auto& list : m_events) {
    for (auto& event : list)
      if (event->type != HTTP_EVENT_PROGRESS) delete event->task;
    list.clear();
  }
  m_tasks.clear();
}

void HttpMgr::AddTask(HttpTask* task) {
  if (task == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    task->manager = this;
    m_tasks.emplace_back(task);
  }
  m_queueChanged.notify_one();
}

void HttpMgr::DispatchEvents() {
  if (m_dispatching) return;
  m_dispatching = true;
  std::deque<std::unique_ptr<HttpTaskEvent>> arrived;
  {
    std::lock_guard<std::mutex> lock(m_eventLock);
    arrived.swap(m_events[0]);
    // Progress that arrives from now on queues anew, behind what is delivered here.
    for (auto& event : arrived)
      if (event->type == HTTP_EVENT_PROGRESS) event->task->queuedProgress = nullptr;
  }
  std::deque<std::unique_ptr<HttpTaskEvent>>& delivery = m_events[1];
  for (auto& event : arrived) delivery.push_back(std::move(event));

  while (!delivery.empty()) {
    std::unique_ptr<HttpTaskEvent> event = std::move(delivery.front());
    delivery.pop_front();
    HttpTask* task = event->task;
    if (task->callback != nullptr) task->callback->Invoke(event.get());
    // The completion event is the task's last: the task (and with it its callback) ends here.
    if (event->type != HTTP_EVENT_PROGRESS) delete task;
  }
  m_dispatching = false;
}

size_t HttpMgr::UndeliveredEventCount() {
  std::lock_guard<std::mutex> lock(m_eventLock);
  return m_events[0].size() + m_events[1].size();
}

unsigned HttpMgr::ThreadProc(HttpMgr* manager) {
  CurlEasy curl(curl_easy_init());
  if (!curl) {
    manager->LeaveWorker();
    return static_cast<unsigned>(-1);
  }
  // Set once for the worker's life; the handle (and its connection cache) serves every task.
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpMgr::WriteCallback);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &HttpMgr::ProgressCallback);

  while (manager->m_running) {
    manager->RunTasks(handle);
    std::unique_lock<std::mutex> lock(manager->m_queueLock);
    manager->m_queueChanged.wait_for(lock, kIdlePoll,
                                     [manager] { return !manager->m_running || !manager->m_tasks.empty(); });
  }
  curl.reset();
  manager->LeaveWorker();
  return 0;
}

void HttpMgr::LeaveWorker() {
  std::lock_guard<std::mutex> lock(m_countLock);
  --m_liveWorkers;
}

void HttpMgr::RunTasks(void* curlHandle) {
  std::unique_lock<std::mutex> lock(m_queueLock);
  // A stopping manager starts no further transfer; Stop destroys the tasks left queued.
  while (!m_tasks.empty() && m_running) {
    std::unique_ptr<HttpTask> task = std::move(m_tasks.front());
    m_tasks.pop_front();
    lock.unlock();

    bool completed = RunTransfer(curlHandle, task.get());
    auto event = std::make_unique<HttpTaskEvent>();
    event->type = completed ? HTTP_EVENT_COMPLETE : HTTP_EVENT_FAILED;
    event->task = task.release();  // owned by its completion event until delivered or discarded
    PostEvent(std::move(event));

    lock.lock();
  }
}

bool HttpMgr::RunTransfer(void* curlHandle, HttpTask* task) {
  CURL* curl = static_cast<CURL*>(curlHandle);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_URL, task->url.c_str());
  bool verify = m_verifyTls;
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_connectTimeoutSeconds.load());
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_lowSpeedSeconds.load());

  // A file task writes a temporary file that takes the destination's place only on success.
  platform::StagedFile staged;
  auto* fileTask = task->type == HTTP_TASK_FILE ? static_cast<HttpDownloadFileTask*>(task) : nullptr;
  if (fileTask != nullptr) {
    platform::CreateParentDirectories(fileTask->path);
    if (!staged.Open(fileTask->path)) return false;  // no transfer is made
    fileTask->file = staged.stream();
  }
  Transfer transfer{task, curl, fileTask != nullptr ? &staged : nullptr};
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  CURLcode result = curl_easy_perform(curl);
  long status = 0;
  bool completed =
      result == CURLE_OK && curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  if (transfer.refusal != nullptr) WriteLog("HttpMgr: %s stopped: %s", task->url.c_str(), transfer.refusal);

  if (fileTask != nullptr) {
    fileTask->file = nullptr;
    if (completed)
      completed = staged.Commit();
    else
      staged.Discard();
  }
  return completed;
}

// Why the body that has come so far, with `incoming` more bytes, must not be taken; null when it may.
const char* HttpMgr::RefuseBody(Transfer& transfer, size_t incoming) {
  transfer.received += incoming;
  curl_off_t announced = -1;
  curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  if (announced >= 0 && transfer.received > static_cast<uint64_t>(announced)) return "longer than its Content-Length";
  if (transfer.staged == nullptr)
    return transfer.received > kMaxStringBodyBytes ? "an answer of more than 16 MiB" : nullptr;
  // The announced length is weighed at the first write; what has no length, at every few MiB.
  bool first = transfer.received == incoming;
  if (!first && transfer.received - transfer.receivedAtSpaceCheck < kFreeSpaceCheckBytes) return nullptr;
  transfer.receivedAtSpaceCheck = transfer.received;
  uint64_t stillToCome =
      announced >= 0 ? static_cast<uint64_t>(announced) - (transfer.received - incoming) : incoming;
  uint64_t available = transfer.staged->AvailableBytes();
  if (available < stillToCome || available - stillToCome < kMinimumFreeBytes)
    return "the disk would be left with less than 256 MiB free";
  return nullptr;
}

void HttpMgr::PostEvent(std::unique_ptr<HttpTaskEvent> event) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(m_eventLock);
    HttpTask* task = event->task;
    if (event->type == HTTP_EVENT_PROGRESS && task->queuedProgress != nullptr) {
      task->queuedProgress->total = event->total;
      task->queuedProgress->current = event->current;
      return;
    }
    if (event->type == HTTP_EVENT_PROGRESS) task->queuedProgress = event.get();
    wasEmpty = m_events[0].empty();
    m_events[0].push_back(std::move(event));
  }
  // A non-empty list has been signalled already, and the GUI thread takes the whole list.
  if (wasEmpty) m_delivery->Raise();
}

size_t HttpMgr::WriteCallback(char* data, size_t size, size_t count, void* userData) {
  auto& transfer = *static_cast<Transfer*>(userData);
  HttpTask* task = transfer.task;
  size_t bytes = size * count;
  // Anything short of the whole chunk makes libcurl abort the transfer.
  if ((transfer.refusal = RefuseBody(transfer, bytes)) != nullptr) return 0;
  switch (task->type) {
    case HTTP_TASK_FILE: {
      FILE* file = static_cast<HttpDownloadFileTask*>(task)->file;
      if (file == nullptr || fwrite(data, 1, bytes, file) != bytes) return 0;  // a full disk, say
      break;
    }
    case HTTP_TASK_STRING:
      static_cast<HttpDownloadStringTask*>(task)->body.append(data, bytes);
      break;
    default:
      break;
  }
  return bytes;
}

int HttpMgr::ProgressCallback(void* userData, int64_t downloadTotal, int64_t downloadNow, int64_t, int64_t) {
  HttpTask* task = static_cast<Transfer*>(userData)->task;
  HttpMgr* manager = task->manager;
  if (!manager->m_running) return kAbortTransfer;
  if (!task->reportProgress) return 0;
  uint32_t now = platform::GetTickCount();
  // A task's first progress call always posts (lastProgressTick starts at 0).
  if (task->lastProgressTick != 0 && now - task->lastProgressTick < kProgressIntervalMs) return 0;
  task->lastProgressTick = now;
  auto event = std::make_unique<HttpTaskEvent>();
  event->type = HTTP_EVENT_PROGRESS;
  event->total = static_cast<int32_t>(static_cast<uint32_t>(downloadTotal));
  event->current = static_cast<int32_t>(static_cast<uint32_t>(downloadNow));
  event->task = task;
  manager->PostEvent(std::move(event));
  return 0;
}
