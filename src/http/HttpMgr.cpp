#include "http/HttpMgr.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "base/Log.h"
#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/TempFiles.h"

using enum HttpTaskType;
using enum HttpEventType;

namespace {

// libcurl reads the socket in pieces of up to this size, which spares system calls on a fast
// transfer; it hands the write function at most 16 KiB of them at a time (CURL_MAX_WRITE_SIZE), and
// the file's stream gathers those into large writes.
constexpr long kReceiveBufferBytes = 512 * 1024;
// Under a receive limit, libcurl reads about an eighth of a second's share at a time, so progress
// and the low-speed guard see a steady flow rather than one long wait per piece.
long ReceiveBufferBytes(int64_t bytesPerSecond) {
  constexpr int64_t kSmallestBuffer = 1024;  // libcurl's own lower bound
  if (bytesPerSecond <= 0) return kReceiveBufferBytes;
  return static_cast<long>(std::clamp<int64_t>(bytesPerSecond / 8, kSmallestBuffer, kReceiveBufferBytes));
}
constexpr long kMaxRedirects = 20;
constexpr long kLowSpeedBytesPerSecond = 100;
constexpr uint32_t kProgressIntervalMs = 50;
// Any non-zero result of the transfer-info function makes libcurl abort the transfer.
constexpr int kAbortTransfer = 42;
// The free space is looked at again after this many bytes.
constexpr uint64_t kFreeSpaceCheckBytes = 4ull << 20;

struct CurlEasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// The value of header `name` of the last answer (after redirects), or empty.
std::string AnswerHeader(CURL* curl, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || header == nullptr) return {};
  return header->value;
}

// What identifies the answer's body for a later If-Range: a strong ETag, else Last-Modified. Empty
// when there is neither: such a body is not resumed.
std::string Validator(CURL* curl) {
  std::string etag = AnswerHeader(curl, "ETag");
  if (!etag.empty() && !etag.starts_with("W/")) return etag;
  return AnswerHeader(curl, "Last-Modified");
}

// The first byte and the whole length of a Content-Range "bytes FIRST-LAST/LENGTH"; false when
// the header is missing or gives no length.
bool ParseContentRange(const std::string& value, uint64_t& first, uint64_t& length) {
  unsigned long long a = 0, b = 0, c = 0;
  if (std::sscanf(value.c_str(), "bytes %llu-%llu/%llu", &a, &b, &c) != 3 || a > b || b >= c) return false;
  first = a;
  length = c;
  return true;
}

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// The digest and length of the whole expected file so far. Outside Transfer: a nested class's
// member initialisers are not usable by std::optional until the enclosing class is complete.
struct ExpectedFileSoFar {
  Sha256Context digest;
  uint64_t bytes = 0;
};

}  // namespace

std::string ProxyUrlForLog(const std::string& proxyUrl) {
  size_t lastAt = proxyUrl.rfind('@');
  if (lastAt == std::string::npos) return proxyUrl;
  size_t scheme = proxyUrl.find("://");
  size_t start = scheme != std::string::npos && scheme < lastAt ? scheme + 3 : 0;
  // The flags libcurl itself reads a proxy string with.
  std::unique_ptr<CURLU, CurlUrlDeleter> url(curl_url());
  if (url == nullptr || curl_url_set(url.get(), CURLUPART_URL, proxyUrl.c_str(),
                                     CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK)
    return proxyUrl.substr(0, start) + "***" + proxyUrl.substr(lastAt);
  char* password = nullptr;
  if (curl_url_get(url.get(), CURLUPART_PASSWORD, &password, 0) != CURLUE_OK) return proxyUrl;
  curl_free(password);
  // Read, the authority holds one '@', which ends "user:password"; a later one is in the path.
  size_t at = proxyUrl.find('@', start);
  size_t colon = proxyUrl.find(':', start);
  if (colon > at) return proxyUrl.substr(0, start) + "***" + proxyUrl.substr(at);
  return proxyUrl.substr(0, colon + 1) + "***" + proxyUrl.substr(at);
}

// One transfer's state, shared by the write and transfer-info functions on the worker. A file task
// writes either its partial file (resumable) or, when another transfer holds that, a staged file.
struct HttpMgr::Transfer {
  HttpTask* task;
  CURL* curl;
  int64_t bytesPerSecond = 0;  // the receive limit; 0: none
  platform::StagedFile* staged = nullptr;
  platform::PartialFile* partial = nullptr;
  uint64_t resumeFrom = 0;    // the bytes of the partial file that the request asked the server to skip
  uint64_t earlierBytes = 0;  // bytes of the file before this body: progress counts the whole file
  uint64_t rangeLength = 0;   // the whole file's length, from the Content-Range of a resumed body
  bool bodyBegun = false;     // the answer's status and headers have been looked at
  bool storing = true;        // false for an answer whose body is not the file (an error page)
  bool startOver = false;     // a resumed answer that does not continue the partial file
  std::chrono::steady_clock::time_point nextPieceDue{};  // when the receive limit lets the next piece in
  uint64_t received = 0;
  uint64_t receivedAtSpaceCheck = 0;
  const char* refusal = nullptr;  // why the body was refused, for the log
  std::optional<ExpectedFileSoFar> expecting{};  // only for a body that must be an expected file

  // The file the task's body must be; null when not known.
  const HttpExpectedFile* expected() const {
    if (task->type != HTTP_TASK_FILE) return nullptr;
    const auto& file = static_cast<const HttpDownloadFileTask*>(task)->expected;
    return file ? &*file : nullptr;
  }
  FILE* stream() const { return partial != nullptr ? partial->stream() : staged != nullptr ? staged->stream() : nullptr; }
  uint64_t AvailableBytes() const { return partial != nullptr ? partial->AvailableBytes() : staged->AvailableBytes(); }
};

HttpMgr::HttpMgr() { curl_global_init(CURL_GLOBAL_ALL); }

HttpMgr::~HttpMgr() {
  Stop();
  // Tasks queued while stopped go with it.
  DiscardPending();
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
    // std::thread reports a thread that cannot be created only by throwing; it is caught here so
    // that the others still start and Stop does not wait for it.
    try {
      m_workers.emplace_back(&HttpMgr::ThreadProc, this);
    } catch (const std::system_error&) {
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
  {
    // Taken after the flag has changed, so that a worker held by the receive limit either sees it
    // or is already waiting for this notification.
    std::lock_guard<std::mutex> lock(m_pacingLock);
  }
  m_stopRequested.notify_all();
  for (std::thread& worker : m_workers)
    if (worker.joinable()) worker.join();
  m_workers.clear();
  m_delivery.reset();
  DiscardPending();
}

void HttpMgr::DiscardPending() {
  // No worker runs: nothing else touches the lists. A completion event owns its task, which goes
  // with it; the progress events before it only borrow that task.
  for (auto& list : m_events) list.clear();
  m_tasks.clear();
}

void HttpMgr::AddTask(std::unique_ptr<HttpTask> task) {
  if (task == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    task->manager = this;
    m_tasks.push_back(std::move(task));
  }
  m_queueChanged.notify_one();
}

void HttpMgr::DispatchEvents() {
  if (m_dispatching) return;
  m_dispatching = true;
  std::deque<std::unique_ptr<PendingEvent>> arrived;
  {
    std::lock_guard<std::mutex> lock(m_eventLock);
    arrived.swap(m_events[0]);
    // Progress that arrives from now on queues anew, behind what is delivered here.
    for (auto& pending : arrived)
      if (pending->event.type == HTTP_EVENT_PROGRESS) pending->event.task->queuedProgress = nullptr;
  }
  std::deque<std::unique_ptr<PendingEvent>>& delivery = m_events[1];
  for (auto& pending : arrived) delivery.push_back(std::move(pending));

  while (!delivery.empty()) {
    std::unique_ptr<PendingEvent> pending = std::move(delivery.front());
    delivery.pop_front();
    HttpTask* task = pending->event.task;
    if (task->callback != nullptr) task->callback->Invoke(&pending->event);
    // A completion event is its task's last: the task (and with it its callback) ends here, with
    // the event that owns it.
  }
  m_dispatching = false;
}

void HttpMgr::SetProxy(const std::string& proxyUrl) {
  std::lock_guard<std::mutex> lock(m_settingsLock);
  m_proxy = proxyUrl;
}

size_t HttpMgr::UndeliveredEventCount() {
  std::lock_guard<std::mutex> lock(m_eventLock);
  return m_events[0].size() + m_events[1].size();
}

unsigned HttpMgr::ThreadProc(HttpMgr* manager) {
  CurlEasy curl(curl_easy_init());
  if (!curl) return static_cast<unsigned>(-1);
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
  // HTTP/2 where an HTTPS server offers it; plain HTTP stays HTTP/1.1.
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpMgr::WriteCallback);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &HttpMgr::ProgressCallback);

  while (manager->m_running) {
    manager->RunTasks(handle);
    // An idle worker sleeps until a task is added or the manager stops: both change what it waits
    // for under the queue lock, then notify.
    std::unique_lock<std::mutex> lock(manager->m_queueLock);
    manager->m_queueChanged.wait(lock, [manager] { return !manager->m_running || !manager->m_tasks.empty(); });
  }
  return 0;
}

void HttpMgr::RunTasks(void* curlHandle) {
  std::unique_lock<std::mutex> lock(m_queueLock);
  // A stopping manager starts no further transfer; Stop destroys the tasks left queued.
  while (!m_tasks.empty() && m_running) {
    std::unique_ptr<HttpTask> task = std::move(m_tasks.front());
    m_tasks.pop_front();
    lock.unlock();

    bool completed = RunTransfer(curlHandle, task.get());
    if (completed)
      task->failure.clear();
    else if (task->failure.empty())
      task->failure = "the download could not be stored";
    HttpTaskEvent event{.type = completed ? HTTP_EVENT_COMPLETE : HTTP_EVENT_FAILED, .task = task.get()};
    // The completion event owns its task until it is delivered or discarded.
    PostEvent(event, std::move(task));

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
  std::string proxy;
  {
    std::lock_guard<std::mutex> lock(m_settingsLock);
    proxy = m_proxy;
  }
  // Null leaves the choice to the environment's variables; a named proxy takes every transfer.
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.empty() ? nullptr : proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, proxy.empty() ? nullptr : "");
  const int64_t bytesPerSecond = m_maxReceiveBytesPerSecond;
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, ReceiveBufferBytes(bytesPerSecond));

  if (task->type != HTTP_TASK_FILE) {
    Transfer transfer{task, curl, bytesPerSecond};
    return Perform(curl, transfer) == 200;
  }

  // A file task writes its partial file, which takes the destination's place only when whole. When
  // another transfer holds that file, a staged file of its own stands in (not resumable).
  auto* fileTask = static_cast<HttpDownloadFileTask*>(task);
  // No request; the destination and any partial file stay as they are.
  if (!fileTask->refusal.empty()) {
    task->failure = fileTask->refusal;
    return false;
  }
  platform::CreateParentDirectories(fileTask->path);
  platform::PartialFile partial;
  platform::StagedFile staged;
  if (!partial.Open(fileTask->path, task->url) && !staged.Open(fileTask->path)) return false;  // no transfer
  Transfer transfer{task, curl, bytesPerSecond};
  if (partial.IsOpen())
    transfer.partial = &partial;
  else
    transfer.staged = &staged;
  fileTask->file = transfer.stream();
  long status = Perform(curl, transfer);
  if ((status == 416 || transfer.startOver) && transfer.resumeFrom > 0) {
    // The partial file no longer fits the file on the server: once more, from the start.
    partial.StartOver("");
    transfer = Transfer{task, curl, bytesPerSecond, nullptr, &partial};
    status = Perform(curl, transfer);
  }
  fileTask->file = nullptr;

  // A staged file that is not committed is removed with its owner.
  if (transfer.staged != nullptr) return status == 200 && IsExpectedFile(transfer) && staged.Commit();
  bool whole = status == 200 || (status == 206 && transfer.earlierBytes > 0 && partial.size() == transfer.rangeLength);
  if (whole && !IsExpectedFile(transfer)) {
    partial.Discard();  // never resumed: its bytes are not the file's
    return false;
  }
  if (whole) return partial.Commit();
  // A refused body (too long, no room, not written) is thrown away; an interrupted one is kept
  // for the next download when it can be resumed.
  if (transfer.refusal != nullptr)
    partial.Discard();
  else
    partial.Close();
  return false;
}

long HttpMgr::Perform(void* curlHandle, Transfer& transfer) {
  CURL* curl = static_cast<CURL*>(curlHandle);
  CurlList headers;
  auto addHeader = [&headers](const std::string& header) {
    if (curl_slist* list = curl_slist_append(headers.get(), header.c_str())) {
      headers.release();
      headers.reset(list);
    }
  };
  for (const std::string& header : transfer.task->requestHeaders) addHeader(header);
  std::string range;
  if (transfer.partial != nullptr && transfer.partial->size() > 0 && !transfer.partial->validator().empty()) {
    // Only the rest, and only while the file is the one the partial file holds the start of.
    transfer.resumeFrom = transfer.partial->size();
    range = std::to_string(transfer.resumeFrom) + "-";
    addHeader("If-Range: " + transfer.partial->validator());
  }
  curl_easy_setopt(curl, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  char message[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  CURLcode result = curl_easy_perform(curl);
  // An empty body never reaches the write function; its answer is looked at here.
  if (result == CURLE_OK && !transfer.bodyBegun && !BeginBody(transfer)) result = CURLE_WRITE_ERROR;
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_RANGE, nullptr);  // the handle serves the worker's next task
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  long status = 0;
  if (transfer.refusal != nullptr)
    WriteLog("HttpMgr: %s stopped: %s", transfer.task->url.c_str(), transfer.refusal);
  if (result == CURLE_OK && curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
  RecordOutcome(curl, *transfer.task, result, status, transfer.refusal, message);
  return result == CURLE_OK ? status : 0;
}

void HttpMgr::RecordOutcome(void* curlHandle, HttpTask& task, int result, long status, const char* refusal,
                            const char* message) {
  task.responseCode = status;
  char* contentType = nullptr;
  curl_easy_getinfo(static_cast<CURL*>(curlHandle), CURLINFO_CONTENT_TYPE, &contentType);
  task.contentType = contentType != nullptr ? contentType : "";
  if (refusal != nullptr)
    task.failure = refusal;
  else if (result != CURLE_OK)
    task.failure = message[0] != '\0' ? message : curl_easy_strerror(static_cast<CURLcode>(result));
  else if (status != 200 && status != 206)
    task.failure = "the server answered HTTP " + std::to_string(status);
  else
    task.failure.clear();
}

// Looks at the answer before its first byte is stored. False (with the refusal set) when the body
// must not be taken.
bool HttpMgr::BeginBody(Transfer& transfer) {
  transfer.bodyBegun = true;
  if (transfer.partial != nullptr && !BeginPartialBody(transfer)) return false;
  return transfer.expected() == nullptr || BeginExpectedBody(transfer);
}

// A resumed body continues the partial file, a whole one (200) replaces what it held, and any
// other answer's body is not stored.
bool HttpMgr::BeginPartialBody(Transfer& transfer) {
  long status = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status == 206 && transfer.resumeFrom > 0) {
    // Only the rest of the very file whose start the partial file holds is appended: the answer
    // carries the validator kept with it, and its range begins where the partial file ends. A
    // server that ignores If-Range would otherwise splice two files.
    uint64_t first = 0;
    if (Validator(transfer.curl) != transfer.partial->validator() ||
        !ParseContentRange(AnswerHeader(transfer.curl, "Content-Range"), first, transfer.rangeLength) ||
        first != transfer.resumeFrom) {
      transfer.startOver = true;
      transfer.refusal = "a part of another file, or from another place in it";
      return false;
    }
    transfer.earlierBytes = transfer.resumeFrom;
    return true;
  }
  if (status == 200) {
    if (transfer.partial->StartOver(Validator(transfer.curl))) return true;
    transfer.refusal = "the partial file could not be emptied";
    return false;
  }
  transfer.storing = false;  // the partial file keeps what it holds
  return true;
}

// The whole file's length is weighed as soon as the answer gives it, and its digest starts with
// the bytes kept from before, read once here. An error page is not the file and is not weighed.
bool HttpMgr::BeginExpectedBody(Transfer& transfer) {
  long status = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  if (!transfer.storing || (status != 200 && status != 206)) return true;
  const HttpExpectedFile& expected = *transfer.expected();
  curl_off_t announced = -1;
  if (transfer.earlierBytes > 0)
    announced = static_cast<curl_off_t>(transfer.rangeLength);
  else
    curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  if (announced >= 0 && static_cast<uint64_t>(announced) != expected.size) {
    transfer.refusal = "its length is not the expected file's";
    return false;
  }
  ExpectedFileSoFar& expecting = transfer.expecting.emplace();
  if (transfer.earlierBytes > 0 && !transfer.partial->ReadHeld([&expecting](std::span<const uint8_t> bytes) {
        expecting.digest.Update(bytes);
        expecting.bytes += bytes.size();
      })) {
    transfer.refusal = "the part kept from before cannot be read";
    return false;
  }
  return true;
}

// Whether a whole body is the expected file (always, when none is expected); logs when not.
bool HttpMgr::IsExpectedFile(Transfer& transfer) {
  const HttpExpectedFile* expected = transfer.expected();
  if (expected == nullptr) return true;
  if (transfer.expecting && transfer.expecting->bytes == expected->size &&
      transfer.expecting->digest.Final() == expected->sha256)
    return true;
  transfer.task->failure = transfer.expecting && transfer.expecting->bytes != expected->size
                               ? "its length is not the expected file's"
                               : "its SHA-256 is not the expected file's";
  WriteLog("HttpMgr: %s stopped: %s", transfer.task->url.c_str(), transfer.task->failure.c_str());
  return false;
}

// Why the body that has come so far, with `incoming` more bytes, must not be taken; null when it may.
const char* HttpMgr::RefuseBody(Transfer& transfer, size_t incoming) {
  transfer.received += incoming;
  curl_off_t announced = -1;
  curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  if (announced >= 0 && transfer.received > static_cast<uint64_t>(announced)) return "longer than its Content-Length";
  if (transfer.expecting && transfer.expecting->bytes + incoming > transfer.expected()->size)
    return "its length is not the expected file's";
  // A string answer larger than its task allows is refused, not collected.
  if (transfer.task->type != HTTP_TASK_FILE)
    return transfer.received > static_cast<HttpDownloadStringTask*>(transfer.task)->maxBodyBytes ? "an answer too long"
                                                                                               : nullptr;
  // The announced length is weighed at the first write; what has no length, at every few MiB.
  bool first = transfer.received == incoming;
  if (!first && transfer.received - transfer.receivedAtSpaceCheck < kFreeSpaceCheckBytes) return nullptr;
  transfer.receivedAtSpaceCheck = transfer.received;
  uint64_t stillToCome =
      announced >= 0 ? static_cast<uint64_t>(announced) - (transfer.received - incoming) : incoming;
  uint64_t available = transfer.AvailableBytes();
  if (available < stillToCome || available - stillToCome < platform::kDiskSpaceKeptFree)
    return "the disk would be left with less than 256 MiB free";
  return nullptr;
}

// The receive limit is kept here rather than by libcurl, which reads far ahead of its own limit and
// then pauses for as long as the average demands (long enough to trip the low-speed guard). Each
// piece is let in only once the pieces before it have had their share of time, so no burst runs
// ahead of the limit, and a server slower than the limit earns no credit for later.
bool HttpMgr::AwaitReceiveLimit(Transfer& transfer, size_t bytes) {
  if (transfer.bytesPerSecond <= 0) return true;
  using Clock = std::chrono::steady_clock;
  Clock::time_point now = Clock::now();
  if (transfer.nextPieceDue > now) {
    std::unique_lock<std::mutex> lock(m_pacingLock);
    if (m_stopRequested.wait_until(lock, transfer.nextPieceDue, [this] { return !m_running; })) return false;
    now = Clock::now();
  }
  auto share = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(transfer.bytesPerSecond)));
  transfer.nextPieceDue = std::max(transfer.nextPieceDue, now) + share;
  return true;
}

void HttpMgr::PostEvent(const HttpTaskEvent& event, std::unique_ptr<HttpTask> finishedTask) {
  // Braces, not make_unique: clang does not yet build aggregates from parentheses.
  std::unique_ptr<PendingEvent> pending(new PendingEvent{event, std::move(finishedTask)});
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(m_eventLock);
    HttpTask* task = event.task;
    if (event.type == HTTP_EVENT_PROGRESS && task->queuedProgress != nullptr) {
      task->queuedProgress->total = event.total;
      task->queuedProgress->current = event.current;
      return;
    }
    if (event.type == HTTP_EVENT_PROGRESS) task->queuedProgress = &pending->event;
    wasEmpty = m_events[0].empty();
    m_events[0].push_back(std::move(pending));
  }
  // A non-empty list has been signalled already, and the GUI thread takes the whole list.
  if (wasEmpty) m_delivery->Raise();
}

size_t HttpMgr::WriteCallback(char* data, size_t size, size_t count, void* userData) {
  auto& transfer = *static_cast<Transfer*>(userData);
  HttpTask* task = transfer.task;
  size_t bytes = size * count;
  // Anything short of the whole chunk makes libcurl abort the transfer.
  if (!transfer.bodyBegun && !BeginBody(transfer)) return 0;
  if ((transfer.refusal = RefuseBody(transfer, bytes)) != nullptr) return 0;
  if (!task->manager->AwaitReceiveLimit(transfer, bytes)) return 0;  // stopping
  switch (task->type) {
    case HTTP_TASK_FILE: {
      if (!transfer.storing) break;
      FILE* file = static_cast<HttpDownloadFileTask*>(task)->file;
      if (file == nullptr || fwrite(data, 1, bytes, file) != bytes) {  // a full disk, say
        transfer.refusal = "the file could not be written";
        return 0;
      }
      if (transfer.expecting) {
        transfer.expecting->digest.Update({reinterpret_cast<const uint8_t*>(data), bytes});
        transfer.expecting->bytes += bytes;
      }
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
  const Transfer& transfer = *static_cast<Transfer*>(userData);
  HttpTask* task = transfer.task;
  HttpMgr* manager = task->manager;
  if (!manager->m_running) return kAbortTransfer;
  if (!task->reportProgress || transfer.refusal != nullptr) return 0;
  uint32_t now = platform::GetTickCount();
  // A task's first progress call always posts (lastProgressTick starts at 0).
  if (task->lastProgressTick != 0 && now - task->lastProgressTick < kProgressIntervalMs) return 0;
  task->lastProgressTick = now;
  HttpTaskEvent event{.type = HTTP_EVENT_PROGRESS, .task = task};
  // The whole file counts: a resumed body adds to the bytes kept from before. Until the answer has
  // been looked at, nothing is known.
  if (!transfer.bodyBegun) downloadTotal = downloadNow = 0;
  event.total = downloadTotal > 0 ? static_cast<int64_t>(transfer.earlierBytes) + downloadTotal : 0;
  event.current = static_cast<int64_t>(transfer.earlierBytes) + downloadNow;
  manager->PostEvent(event, nullptr);
  return 0;
}
