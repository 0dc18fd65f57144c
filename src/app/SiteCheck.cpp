// The application's part of a signed site: the index fetched at start (once more past caches when
// it looks stale), and the wait for its outcome before the game window is made; a site that cannot
// be verified shows the failure page until the player quits. GUI thread only.
#include <cstdio>
#include <memory>
#include <string>

#include "app/LauncherApp.h"
#include "base/Log.h"
#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/SpecialFolders.h"

namespace {

std::string SiteStateFolder() {
  std::optional<std::string> state = platform::GetStateFolderPath();
  return state ? *state + "/brimtale" : std::string();
}

}  // namespace

void CLauncherApp::StartSiteCheck() {
  if (m_config.SiteKey.empty()) return;
  m_site = std::make_unique<SiteVerifier>(m_config.SiteUrl, m_config.SiteKey, SiteStateFolder());
  if (!m_site->IsSettled()) RequestSiteIndex(false);
}

void CLauncherApp::RequestSiteIndex(bool pastCaches) {
  auto task = std::make_unique<HttpDownloadStringTask>();
  task->url = m_site->IndexUrl();
  // A cache on the way answers from the origin.
  if (pastCaches) task->requestHeaders = {"Cache-Control: no-cache", "Pragma: no-cache"};
  task->callback = std::make_unique<HttpCallbackT<CLauncherApp>>(this, &CLauncherApp::OnSiteIndex);
  m_siteAskedPastCaches = pastCaches;
  m_httpMgr.AddTask(std::move(task));
}

void CLauncherApp::OnSiteIndex(HttpTaskEvent* event) {
  using enum HttpEventType;
  if (event == nullptr || event->task == nullptr || event->task->type != HttpTaskType::HTTP_TASK_STRING) return;
  const auto* task = static_cast<const HttpDownloadStringTask*>(event->task);
  const int64_t now = platform::GetUnixTime();
  if (event->type == HTTP_EVENT_FAILED) {
    m_site->TakeUnfetchedIndex("no answer of status 200", now);
  } else if (event->type == HTTP_EVENT_COMPLETE &&
             m_site->TakeFetchedIndex(task->body, now, m_siteAskedPastCaches) == SiteVerifier::IndexAnswer::kAskAgain) {
    RequestSiteIndex(true);
  }
}

bool CLauncherApp::EnsureSiteVerified() {
  if (m_site == nullptr) return true;
  for (;;) {
    platform::RunMainLoopUntil([this] { return m_site->IsSettled(); }, [this] { OnIdle(0); });
    if (m_site->standing() != SiteVerifier::Standing::kRefused) return true;
    std::fprintf(stderr, "brimtale-launcher: the game's files cannot be verified: %s\n", m_site->refusal().c_str());
    if (!AskToTryAgain({"The game's files could not be verified", m_site->IndexUrl(), m_site->refusal()})) {
      m_exitCode = kExitSiteNotVerified;
      return false;
    }
    m_site->Restart();
    if (!m_site->IsSettled()) RequestSiteIndex(false);
  }
}
