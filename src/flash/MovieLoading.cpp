// The game window's movie: fetched by the launcher and handed to the player in memory, kept for an
// offline start once it has played, the offline copy when it cannot be fetched, and the failure
// page when there is none. GUI thread only.
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "flash/FlashRuntime.h"
#include "flash/MovieSource.h"
#include "http/HttpMgr.h"
#include "platform/Clock.h"
#include "platform/SealedMemory.h"
#include "site/SiteVerifier.h"

namespace {

using Self = CTransparentFlashPlayerControlWnd;

// A game's movie is a few MiB; the limit only stops a server that never ends its answer.
constexpr size_t kMaxMovieBytes = 256u << 20;
constexpr char kCannotLoad[] = "The game cannot be loaded";
constexpr char kCannotVerify[] = "The game's files could not be verified";

std::string LocalTimeText(int64_t unixTime) {
  std::time_t time = static_cast<std::time_t>(unixTime);
  char text[32] = "";
  if (const std::tm* local = std::localtime(&time)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", local);
  return text;
}

}  // namespace

void Self::StartMovie() {
  const GameWindowSettings& config = Settings();
  if (config.launcherType != 3) {
    LoadSwf(config.swfUrl, this);
  } else if (!m_host.ResolvedSwfUrl().empty()) {
    LoadSwf(m_host.ResolvedSwfUrl(), this);
  } else {
    m_host.RequestSwfUrl();  // WM_SWFURL_READY follows
  }
}

void Self::LoadMovieFrom(const std::string& url, const std::string& loadedUrl) {
  m_movieUrl = TrimBlanks(url);
  m_keepOnFirstCommand = false;
  m_unkeptMovie.clear();
  if (!IsFetchedByLauncher(loadedUrl)) {
    m_fetchingUrl.clear();
    // The player would read it itself, past every check of a signed site.
    if (m_host.SignedSite() != nullptr) {
      ShowUnverifiedMovie(m_movieUrl, "it is not fetched from the site, so it cannot be checked against its index");
      return;
    }
    flash::FPC_LoadMovieA(m_hFlashWnd, 0, loadedUrl.c_str());
    return;
  }
  if (!MayFetchMovie()) return;
  auto task = std::make_unique<HttpDownloadStringTask>();
  task->url = TrimBlanks(loadedUrl);
  task->maxBodyBytes = kMaxMovieBytes;
  task->callback = std::make_unique<HttpCallbackT<Self>>(this, &Self::OnMovieFetched);
  m_fetchingUrl = task->url;
  m_host.Http().AddTask(std::move(task));
}

void Self::OnMovieFetched(HttpTaskEvent* event) {
  if (event == nullptr || event->task == nullptr || event->task->type != HttpTaskType::HTTP_TASK_STRING ||
      event->type == HttpEventType::HTTP_EVENT_PROGRESS)
    return;
  auto* task = static_cast<HttpDownloadStringTask*>(event->task);
  if (task->url != m_fetchingUrl) return;  // a later load took its place
  m_fetchingUrl.clear();
  if (event->type != HttpEventType::HTTP_EVENT_COMPLETE) {
    OnMovieUnavailable(task->url, task->failure.empty() ? "it cannot be fetched" : task->failure);
    return;
  }
  std::string refusal;
  if (!AcceptFetchedMovie(task->url, task->body, task->contentType, &refusal)) {
    OnMovieUnavailable(task->url, refusal);
    return;
  }
  // Checked as configured or answered, query included, and before the player has a byte of it.
  if (!IsVerifiedMovie(m_movieUrl, task->body, SiteVerifier::MovieOrigin::kFetched, &refusal)) {
    ShowUnverifiedMovie(m_movieUrl, refusal);
    return;
  }
  WriteLog("LoadSwf: %s fetched, %zu bytes", task->url.c_str(), task->body.size());
  HandMovieToPlayer(task->url, task->body);
  m_unkeptMovie = std::move(task->body);
  m_keepOnFirstCommand = true;
}

bool Self::MayFetchMovie() {
  const SiteVerifier* site = m_host.SignedSite();
  if (site == nullptr) return true;
  SiteVerifier::FileCheck check = site->CheckDownload(m_movieUrl);
  if (check.entry != nullptr) return true;
  m_fetchingUrl.clear();
  // An index kept from before that has expired still vouches for the offline copy.
  if (site->standing() == SiteVerifier::Standing::kKeptExpired)
    OnMovieUnavailable(m_movieUrl, check.refusal);
  else
    ShowUnverifiedMovie(m_movieUrl, check.refusal);
  return false;
}

bool Self::IsVerifiedMovie(const std::string& url, std::string_view bytes, SiteVerifier::MovieOrigin origin,
                           std::string* refusal) const {
  const SiteVerifier* site = m_host.SignedSite();
  return site == nullptr || site->CheckMovie(url, bytes, origin, refusal);
}

void Self::HandMovieToPlayer(const std::string& url, const std::string& bytes) {
  platform::ScopedFd memory = platform::CreateSealedMemoryFile("brimtale-movie", bytes);
  if (!memory.IsValid()) {
    WriteLog("LoadSwf: no memory file for the movie of %s", url.c_str());
    ShowFailurePage({kCannotLoad, url, "the movie cannot be handed to the player: the system gave no memory file"});
    return;
  }
  const std::string handover = BRIMTALE_HANDED_MOVIE_URL + std::to_string(memory.get()) + "?url=" + PercentEncoded(url);
  // The runtime has read the bytes when the call returns; the descriptor closes here.
  flash::FPC_LoadMovieA(m_hFlashWnd, 0, handover.c_str());
}

bool Self::OnMovieUnavailable(const std::string& address, const std::string& cause, int retrySeconds) {
  WriteLog("LoadSwf: %s cannot be loaded: %s", address.c_str(), cause.c_str());
  if (PlayOfflineCopy("the movie cannot be fetched")) return true;
  ShowFailurePage({kCannotLoad, address, cause, retrySeconds});
  return false;
}

bool Self::PlayOfflineCopy(const std::string& why) {
  const GameWindowSettings& config = Settings();
  std::optional<OfflineMovie> copy;
  if (!config.offlineKey.empty()) copy = m_host.OfflineMovies().Find(config.offlineKey);
  if (!copy) return false;
  std::string refusal;
  if (!AcceptFetchedMovie(copy->url, copy->bytes, "", &refusal) ||
      !IsVerifiedMovie(copy->url, copy->bytes, SiteVerifier::MovieOrigin::kKeptCopy, &refusal)) {
    WriteLog("LoadSwf: the offline copy of %s is refused: %s", copy->url.c_str(), refusal.c_str());
    return false;
  }
  WriteLog("LoadSwf: %s; playing the offline copy of %s kept %s", why.c_str(), copy->url.c_str(),
           LocalTimeText(copy->keptAt).c_str());
  m_movieUrl = copy->url;
  m_fetchingUrl.clear();
  m_keepOnFirstCommand = false;
  m_unkeptMovie.clear();
  HandMovieToPlayer(MovieUrlWithTime(copy->url, config.launcherType, platform::GetUnixTime()), copy->bytes);
  return true;
}

void Self::ShowFailurePage(const FailureNotice& notice) {
  m_showsUnverified = false;
  m_keepOnFirstCommand = false;
  m_unkeptMovie.clear();
  const std::string page = BRIMTALE_FAILURE_PAGE_URL + FailureNoticeQuery(notice);
  flash::FPC_LoadMovieA(m_hFlashWnd, 0, page.c_str());
}

void Self::ShowUnverifiedMovie(const std::string& url, const std::string& refusal) {
  WriteLog("LoadSwf: %s cannot be verified: %s", url.c_str(), refusal.c_str());
  ShowFailurePage({kCannotVerify, url, refusal});
  m_showsUnverified = true;
}

void Self::KeepMovieForOffline() {
  if (!m_keepOnFirstCommand) return;
  m_keepOnFirstCommand = false;
  const std::string& key = Settings().offlineKey;
  if (!key.empty() &&
      m_host.OfflineMovies().Keep(key, {m_movieUrl, platform::GetUnixTime(), std::move(m_unkeptMovie)}))
    WriteLog("LoadSwf: kept %s for an offline start", m_movieUrl.c_str());
  m_unkeptMovie.clear();
}

bool Self::OnFailurePageCommand(WPARAM command) {
  if (command == static_cast<WPARAM>(IDRETRY)) {
    WriteLog("LoadSwf: trying again");
    StartMovie();
    return false;
  }
  if (command != static_cast<WPARAM>(IDCANCEL)) return false;
  WriteLog("LoadSwf: the player quits at the failure page");
  m_host.OnFailureQuit(m_showsUnverified ? GameWindowHost::FailureQuit::kSiteNotVerified
                                         : GameWindowHost::FailureQuit::kFailed);
  ::DestroyWindow(m_hWnd);
  return true;
}
