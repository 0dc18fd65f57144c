// START_DOWNLOAD and the events of its transfers. GUI thread only.
#include "flash/CTransparentFlashPlayerControlWnd.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Log.h"
#include "http/HttpMgr.h"
#include "http/HttpTask.h"
#include "platform/Files.h"
#include "site/SiteVerifier.h"

namespace {

// With a signed site, a download must be a file its index lists, and it must come as listed. A
// refused one still takes its turn in the queue, so the movie's answers keep the order it asked in.
void ExpectSiteFile(const SiteVerifier& site, HttpDownloadFileTask& task) {
  SiteVerifier::FileCheck check = site.CheckDownload(task.url);
  if (check.entry != nullptr) {
    task.expected = HttpExpectedFile{check.entry->size, check.entry->sha256};
    return;
  }
  WriteLog("START_DOWNLOAD refused: %s: %s", task.url.c_str(), check.refusal.c_str());
  task.refusal = std::move(check.refusal);
}

}  // namespace

void CTransparentFlashPlayerControlWnd::CmdStartDownload(CmdArgs& args) {
  if (args.size() != 2) {
    WriteLog("START_DOWNLOADF, argc must equal: 2");
    return;
  }
  // Blanks are the only thing changed in the URL; escapes such as %20 pass unchanged.
  std::string url = args[0];
  std::replace(url.begin(), url.end(), ' ', '+');

  // The destination's folders are made on the way, so the file commands' walk cannot check it; a
  // ".." that would climb out of a link's target is refused as they refuse it.
  if (platform::ClimbsOutOfALink(args[1])) {
    WriteLog("START_DOWNLOAD: refused, a '..' after a link: %s", args[1]);
    SendCompleteEvent("LOADER_FAILTE", args[1]);
    return;
  }

  auto task = std::make_unique<HttpDownloadFileTask>();
  task->reportProgress = true;
  task->callback = std::make_unique<HttpCallbackT<CTransparentFlashPlayerControlWnd>>(
      this, &CTransparentFlashPlayerControlWnd::HttpMgrEvent);
  task->url = std::move(url);
  task->path = args[1];
  if (const SiteVerifier* site = m_host.SignedSite()) ExpectSiteFile(*site, *task);
  m_host.Http().AddTask(std::move(task));
}

void CTransparentFlashPlayerControlWnd::HttpMgrEvent(HttpTaskEvent* event) {
  using enum HttpEventType;
  if (event == nullptr || event->task == nullptr || event->task->type != HttpTaskType::HTTP_TASK_FILE) return;
  const auto* task = static_cast<const HttpDownloadFileTask*>(event->task);
  switch (event->type) {
    case HTTP_EVENT_COMPLETE:
      SendCompleteEvent("LOADER_COMPLETE", task->path);
      WriteLog("Http Url: %s", task->url.c_str());
      WriteLog("Http OK: %s", task->path.c_str());
      break;
    case HTTP_EVENT_FAILED:
      SendCompleteEvent("LOADER_FAILTE", task->path);
      WriteLog("Http Url: %s", task->url.c_str());
      WriteLog("Http Failed: %s", task->path.c_str());
      break;
    case HTTP_EVENT_PROGRESS: {
      // Progress carries no path: it belongs to the one transfer that is running.
      char value[48];
      snprintf(value, sizeof value, "%lld,%lld", static_cast<long long>(event->current),
               static_cast<long long>(event->total));
      if (Settings().moreHttpLog)
        WriteLog("HttpMgrEvent: %d\t%lld\t%lld", static_cast<int>(event->type), static_cast<long long>(event->total),
                 static_cast<long long>(event->current));
      CallFlashFunction("UPDATE_PROGRESS", value);
      break;
    }
    default:
      break;
  }
}
