// The game window's movie: fetched by the launcher and handed to the player in memory, kept for an
// offline start once it has played, the offline copy when it cannot be fetched, and the failure
// page when there is none; in a window prepared behind the login, fetched and held until it
// shows. GUI thread only.
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

// Why the fetched movie cannot be played; empty when it can.
std::string WhyUnplayable(const HttpTaskEvent& event, const HttpDownloadStringTask& task) {
  if (event.type != HttpEventType::HTTP_EVENT_COMPLETE) return task.failure.empty() ? "it cannot be fetched" : task.failure;
  std::string refusal;
  if (!AcceptFetchedMovie(task.url, task.body, task.contentType, &refusal))
    return refusal.empty() ? "it is refused" : refusal;
  return {};
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

void Self::StartMovieOrOfflineCopy(MovieStart start) {
  if (start == MovieStart::kConfigured) {
    StartMovie();
  } else if (!PlayOfflineCopy("the player chose to play offline")) {
    ShowFailurePage({"The game cannot be played offline", "", "no copy of the game's movie is kept here"});
  }
}

void Self::HoldMovieUntilStart() {
  m_holdsMovie = true;
  flash::FPC_LoadMovieA(m_hFlashWnd, 0, BRIMTALE_PREPARE_PLAYER_URL);
  const GameWindowSettings& config = Settings();
  const std::string& url = config.launcherType == 3 ? m_host.ResolvedSwfUrl() : config.swfUrl;
  if (!url.empty()) LoadSwf(url, this);  // type 3 without its URL yet: WM_SWFURL_READY brings it
}

void Self::StartPreparedMovie(MovieStart start) {
  m_holdsMovie = false;
  const GameWindowSettings& config = Settings();
  const std::string& wanted = config.launcherType == 3 ? m_host.ResolvedSwfUrl() : config.swfUrl;
  const bool heldIsWanted = start == MovieStart::kConfigured && !m_heldMovieFailed && !m_movieUrl.empty() &&
                            m_movieUrl == TrimBlanks(wanted);
  m_heldMovieFailed = false;
  if (!heldIsWanted) {
    // The offline copy, its failure page or a fresh load replaces what is held or on its way.
    m_fetchingUrl.clear();
    StartMovieOrOfflineCopy(start);
    return;
  }
  WriteLog("*Load SwfUrl: %s", m_loadedUrl.c_str());
  // A movie still on its way is handed over to play as soon as it has come.
  if (m_fetchingUrl.empty()) flash::FPC_LoadMovieA(m_hFlashWnd, 0, BRIMTALE_START_MOVIE_URL);
}

void Self::LoadMovieFrom(const std::string& url, const std::string& loadedUrl) {
  m_movieUrl = TrimBlanks(url);
  m_loadedUrl = loadedUrl;
  m_heldMovieFailed = false;
  m_keepOnFirstCommand = false;
  m_unkeptMovie.clear();
  if (m_holdsMovie && m_host.SignedSite() != nullptr) {
    // The site's index may not be verified yet: the movie is fetched and checked when the window
    // shows, after the login, once the index has been settled.
    m_fetchingUrl.clear();
    m_heldMovieFailed = true;
    return;
  }
  if (!IsFetchedByLauncher(loadedUrl)) {
    m_fetchingUrl.clear();
    // The player would read it itself, past every check of a signed site.
    if (m_host.SignedSite() != nullptr) {
      ShowUnverifiedMovie(m_movieUrl, "it is not fetched from the site, so it cannot be checked against its index");
      return;
    }
    const std::string load = m_holdsMovie ? BRIMTALE_HELD_MOVIE_URL + loadedUrl : loadedUrl;
    flash::FPC_LoadMovieA(m_hFlashWnd, 0, load.c_str());
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
  const std::string cause = WhyUnplayable(*event, *task);
  if (!cause.empty() && m_holdsMovie) {
    // Nothing shows yet: the window fetches again when it shows, and says so then if it fails.
    WriteLog("LoadSwf: %s cannot be fetched before the login ends: %s", task->url.c_str(), cause.c_str());
    m_heldMovieFailed = true;
    return;
  }
  if (!cause.empty()) {
    OnMovieUnavailable(task->url, cause);
    return;
  }
  // Checked as configured or answered, query included, and before the player has a byte of it.
  std::string refusal;
  if (!IsVerifiedMovie(m_movieUrl, task->body, SiteVerifier::MovieOrigin::kFetched, &refusal)) {
    ShowUnverifiedMovie(m_movieUrl, refusal);
    return;
  }
  WriteLog(m_holdsMovie ? "LoadSwf: %s fetched, %zu bytes, held until the login ends" : "LoadSwf: %s fetched, %zu bytes",
           task->url.c_str(), task->body.size());
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
  const std::string handover = (m_holdsMovie ? BRIMTALE_HELD_MOVIE_URL : "") + std::string(BRIMTALE_HANDED_MOVIE_URL) +
                               std::to_string(memory.get()) + "?url=" + PercentEncoded(url);
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
