#pragma once
// The main window object: it moves the window when dragged, hands the window's messages to the
// player, loads the client movie, and carries the script bridge with every command handler.
// GUI thread only. The object owns itself: it is deleted after its window is gone.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/FailurePage.h"
#include "brimtale/runtime_api.h"
#include "flash/GameWindowHost.h"
#include "platform/Window.h"
#include "site/SiteVerifier.h"

struct HttpTaskEvent;

// WM_USER + 0x2000: the movie's URL has arrived (ResolvedSwfUrl).
constexpr UINT WM_SWFURL_READY = 0x2400;

// How the main window starts its movie: as configured, or the offline copy (the player chose to
// play offline when the login page could not be loaded).
enum class MovieStart { kConfigured, kOfflineCopy };

// The arguments of one command: borrowed strings, valid only during the handler's call; always
// one entry more than the argument text has commas.
using CmdArgs = std::vector<const char*>;

class CTransparentFlashPlayerControlWnd : public CWnd {
 public:
  using CmdHandler = void (CTransparentFlashPlayerControlWnd::*)(CmdArgs& args);

  explicit CTransparentFlashPlayerControlWnd(GameWindowHost& host);  // fills the command table
  ~CTransparentFlashPlayerControlWnd() override;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void PostNcDestroy() override;

  // The bridge.
  static void FlashEventListener(HWND playerWindow, void* context, NMHDR* event);
  // Runs one command. A command or argument text holding a NUL runs no handler: the command gets
  // its failure answer (if it has one) and a log line, so no handler acts on a text cut short.
  void DispatchFSCommand(std::string_view command, std::string_view arguments);
  void CallFlashFunction(const std::string& name, const std::string& argument);
  void SendCompleteEvent(const std::string& a);
  void SendCompleteEvent(const std::string& a, const std::string& b);
  void SendCompleteEvent(const std::string& a, const std::string& b, const std::string& c);

  const GameWindowSettings& Settings() const { return m_host.GameSettings(); }

  // Download events of START_DOWNLOAD, delivered on the GUI thread.
  void HttpMgrEvent(HttpTaskEvent* event);

  // The movie (MovieLoading.cpp). Plays the movie of the settings: SwfUrl, or for launcher type 3
  // the URL query's answer (asked for when there is none yet).
  void StartMovie();
  // Plays the movie `start` asks for in a window that shows now: the configured one, or the
  // offline copy (the failure page when there is none).
  void StartMovieOrOfflineCopy(MovieStart start);
  // A window prepared behind the login (PrepareFlashPlayerWindow) holds its movie: the player
  // loads its code now, and the movie of the settings, where its URL is known, is fetched and
  // loaded but runs nothing until StartPreparedMovie. Loads asked for meanwhile (LoadSwf,
  // WM_SWFURL_READY) are held too, and leave "*Load SwfUrl" to the start.
  void HoldMovieUntilStart();
  bool HoldsMovie() const { return m_holdsMovie; }
  // The window shows: the held movie starts when it is the one `start` asks for, else that one
  // loads as it would in a window made at this moment.
  void StartPreparedMovie(MovieStart start);
  // Loads the movie configured as `url` from `loadedUrl` (with its time query): an http or https
  // movie is fetched here and handed to the player once it passed AcceptFetchedMovie; anything
  // else is left to the player.
  void LoadMovieFrom(const std::string& url, const std::string& loadedUrl);
  // The movie cannot be had from `address` because of `cause`: the offline copy plays when there is
  // one (true); else the failure page shows, with the seconds until a paced retry when one runs.
  bool OnMovieUnavailable(const std::string& address, const std::string& cause, int retrySeconds = -1);
  // Plays this configuration's offline copy, saying `why` in the log; false (and nothing done) when
  // there is none or it is refused.
  bool PlayOfflineCopy(const std::string& why);
  void ShowFailurePage(const FailureNotice& notice);
  // The failure page for a movie of `url` that the signed site does not vouch for (`refusal`).
  void ShowUnverifiedMovie(const std::string& url, const std::string& refusal);
  // The fetched movie's completion, delivered on the GUI thread.
  void OnMovieFetched(HttpTaskEvent* event);

  int32_t m_nDragCursorX = 0;
  int32_t m_nDragCursorY = 0;
  int32_t m_nDragWindowX = 0;
  int32_t m_nDragWindowY = 0;
  int32_t m_bDragging = 0;
  HWND m_hFlashWnd = nullptr;
  std::map<std::string, CmdHandler> m_cmdHandlers;

 private:
  GameWindowHost& m_host;

  void InitCmdHandlers();

  // Puts `bytes` into a sealed memory file and has the player play them as the movie at `url`.
  void HandMovieToPlayer(const std::string& url, const std::string& bytes);
  // Whether the signed site lists the movie's address (always, without a site key); else the
  // offline copy or the failure page shows, and nothing is fetched.
  bool MayFetchMovie();
  // Whether `bytes` may play as the movie of `url` by the signed site's index (always, without a
  // site key); false with the reason in `refusal`.
  bool IsVerifiedMovie(const std::string& url, std::string_view bytes, SiteVerifier::MovieOrigin origin,
                       std::string* refusal) const;
  // At the movie's first command: the fetched movie played, and is kept for an offline start.
  void KeepMovieForOffline();
  // Try again and Quit of the failure page (WM_COMMAND). True when the window is gone.
  bool OnFailurePageCommand(WPARAM command);

  std::string m_movieUrl;         // the movie playing or on its way, as configured (no time query)
  std::string m_fetchingUrl;      // the URL being fetched; an answer for another one is stale
  std::string m_unkeptMovie;      // the fetched movie's bytes until its first command keeps them
  bool m_keepOnFirstCommand = false;
  bool m_showsUnverified = false;  // the failure page shows a movie the signed site refused
  bool m_holdsMovie = false;      // prepared behind the login, not shown yet
  std::string m_loadedUrl;        // m_movieUrl with its time query, as "*Load SwfUrl" names it
  bool m_heldMovieFailed = false; // the held movie could not be had; the start tries again

  // Window, process and environment commands.
  void CmdGetAccessToken(CmdArgs& args);
  void CmdSetConfig(CmdArgs& args);
  void CmdClearCache(CmdArgs& args);
  void CmdGetEnvironment(CmdArgs& args);
  void CmdSetEnvironment(CmdArgs& args);
  void CmdGetMacAddr(CmdArgs& args);
  void CmdWaitAndClose(CmdArgs& args);
  void CmdGetCurrentProcessId(CmdArgs& args);
  void CmdGetExeVer(CmdArgs& args);
  void CmdStartMove(CmdArgs& args);
  void CmdGetVersion(CmdArgs& args);
  void CmdGetWindowsVer(CmdArgs& args);
  void CmdKillProcess(CmdArgs& args);
  void CmdGetProcess(CmdArgs& args);
  void CmdGetCmd(CmdArgs& args);
  void CmdCloseWindows(CmdArgs& args);
  void CmdMinWindows(CmdArgs& args);
  void CmdReturnWindows(CmdArgs& args);
  void CmdLog(CmdArgs& args);

  // File and directory commands.
  void CmdGetNFolder(CmdArgs& args);
  void CmdGetParentFile(CmdArgs& args);
  void CmdDeleteCatalogue(CmdArgs& args);
  void CmdDeleteSubDirectory(CmdArgs& args);
  void CmdReadFile(CmdArgs& args);
  void CmdWriteFile(CmdArgs& args);
  void CmdFileReplaceName(CmdArgs& args);
  void CmdDeleteFile(CmdArgs& args);
  void CmdHaveThisFile(CmdArgs& args);
  void CmdRunFileAndStop(CmdArgs& args);
  void CmdRunFile(CmdArgs& args);

  // Digest and decompression.
  void CmdCalculateMd5(CmdArgs& args);
  void CmdDecompress(CmdArgs& args);

  // Download.
  void CmdStartDownload(CmdArgs& args);

  // The bridge's own.
  void CmdNothing(CmdArgs& args);  // COMPRESS, BEGIN_GAME
  void CmdLoadSwf(CmdArgs& args);
};

// Creates the main window and its object (which owns itself) for `host`; returns the object, or
// null when the player window cannot be created.
CWnd* CreateFlashPlayerWindow(GameWindowHost& host, MovieStart start = MovieStart::kConfigured);

// The same window made ready while the player signs in (launcher types 2 and 3): created hidden,
// without its caption, its player loading its code and holding its movie (HoldMovieUntilStart).
// Logs nothing of the window's creation: that comes when it shows. Null (logged) when the player
// window cannot be created. Destroying the window is the caller's when it is never shown.
CTransparentFlashPlayerControlWnd* PrepareFlashPlayerWindow(GameWindowHost& host);
// Shows a prepared window as CreateFlashPlayerWindow would show a new one, with the same log lines
// in the same order, and starts its movie. Returns `window`.
CWnd* ShowPreparedFlashPlayerWindow(CTransparentFlashPlayerControlWnd* window,
                                    MovieStart start = MovieStart::kConfigured);

// Loads the movie at `url` into the window's player, with the time query where it applies.
void LoadSwf(const std::string& url, CTransparentFlashPlayerControlWnd* window);
