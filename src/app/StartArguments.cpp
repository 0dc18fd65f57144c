#include "app/StartArguments.h"

#include <cctype>
#include <cstdlib>
#include <memory>
#include <random>

#include "app/LauncherApp.h"
#include "app/RetryPacing.h"
#include "base/Log.h"
#include "base/Text.h"
#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "hall/QQHallMsgHelper.h"
#include "http/HttpTask.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "res/StringTable.h"

namespace {

bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string HostFromEnvironmentOr(const char* variable, unsigned stringId) {
  const char* value = std::getenv(variable);
  if (value != nullptr && *value != '\0') return value;
  return res::LoadString(stringId);
}

void QueueStringRequest(CLauncherApp* app, const std::string& url, void (CLauncherApp::*handler)(HttpTaskEvent*)) {
  auto task = std::make_unique<HttpDownloadStringTask>();
  task->url = url;
  task->reportProgress = false;
  task->callback = std::make_unique<HttpCallbackT<CLauncherApp>>(app, handler);
  app->m_httpMgr.AddTask(std::move(task));
}

// The hall's start arguments are missing: nothing else may run, not even the clean-up.
[[noreturn]] void FailWithoutHallArguments() {
  WriteLog("Launcher is QQSdk, must start by QQGame Hall!!");
  platform::ExitProcessNow(-1);
}

}  // namespace

std::optional<std::string> CutStartArgumentText(std::string_view commandLine, size_t executablePathLength) {
  std::string unquoted;
  unquoted.reserve(commandLine.size());
  for (char c : commandLine)
    if (c != '"') unquoted += c;
  if (unquoted.size() <= executablePathLength) return std::nullopt;
  std::string_view text(unquoted);
  text.remove_prefix(executablePathLength);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return std::string(text);
}

StartArgumentMap SplitStartArgumentPairs(std::string_view text) {
  StartArgumentMap arguments;
  Tokenizer tokens(text);
  for (;;) {
    std::optional<std::string_view> key = tokens.Next("=");
    if (!key) break;
    std::optional<std::string_view> value = tokens.Next(",");
    if (!value) break;
    arguments.try_emplace(std::string(*key), std::string(*value));
  }
  return arguments;
}

std::optional<std::string> QQLoginAnalysisUrl(const std::string& host, const StartArgumentMap& arguments) {
  auto id = arguments.find("ID");
  if (id == arguments.end()) return std::nullopt;
  std::string url = host + "/startzelqgame.ashx?openid=" + id->second;
  auto pid = arguments.find("PID");
  if (pid != arguments.end()) url += "&pid=" + pid->second;
  return url;
}

std::string PortalLoginAnalysisUrl(const std::string& host, const std::string& userId) {
  return host + "/api/startzelqgame.ashx?openid=" + userId;
}

std::string HallAnalysisHost() {
  return HostFromEnvironmentOr("BRIMTALE_HALL_ANALYSIS_HOST", res::kIdsHallAnalysisHost);
}

std::string PortalAnalysisHost() {
  return HostFromEnvironmentOr("BRIMTALE_PORTAL_ANALYSIS_HOST", res::kIdsPortalAnalysisHost);
}

bool ApplyStartArguments(CLauncherApp& app, const std::string& commandLine, const std::string& executablePath) {
  WriteLog("Start Cmd: %s", commandLine.c_str());

  std::optional<std::string> text = CutStartArgumentText(commandLine, executablePath.size());
  if (!text || text->find("ID=") == std::string::npos) return false;
  WriteLog("QQ Sdk Args: %s", text->c_str());

  StartArgumentMap arguments = SplitStartArgumentPairs(*text);
  for (const auto& [key, value] : arguments) WriteLog("    %s = %s", key.c_str(), value.c_str());

  if (auto procPara = arguments.find("PROCPARA"); procPara != arguments.end())
    QQHallMsgHelper::InitQQHallHelper(procPara->second.c_str(), {&app.m_setConfig, &app.m_config.ClientCaption});

  // Queued before the HTTP worker starts; start-up starts it.
  if (std::optional<std::string> url = QQLoginAnalysisUrl(HallAnalysisHost(), arguments))
    QueueStringRequest(&app, *url, &CLauncherApp::OnQQUserLoginAnalysis);
  return true;
}

void CLauncherApp::ProcessStartArguments() {
  if (m_config.LauncherType != 1) return;
  if (!ApplyStartArguments(*this, platform::GetCommandLine(), platform::GetModuleFileName()))
    FailWithoutHallArguments();
}

void CLauncherApp::RequestSwfUrl() { QueueStringRequest(this, m_config.GetSwfUrl, &CLauncherApp::OnGetSwfUrl); }

void CLauncherApp::OnGetSwfUrl(HttpTaskEvent* event) {
  using enum HttpEventType;
  if (event == nullptr || event->task == nullptr || event->task->type != HttpTaskType::HTTP_TASK_STRING) return;
  auto* task = static_cast<HttpDownloadStringTask*>(event->task);
  switch (event->type) {
    case HTTP_EVENT_COMPLETE:
      WriteLog("GetSwfUrl: %d, %s", static_cast<int>(event->type), task->url.c_str());
      m_swfUrlRetry.Cancel();
      m_swfUrlFailures = 0;
      m_swfUrlLogThrottle.Reset();
      m_config.ResolvedSwfUrl = task->body;
      // A window playing the offline copy keeps it. While the login dialog is open, the window
      // made ready behind it fetches the movie at once and holds it (sent, not posted: the login
      // may end before a posted message arrives, and the shown window reads the URL itself).
      if (m_pMainWnd != nullptr && !m_playsOffline) PostMessage(m_pMainWnd->m_hWnd, WM_SWFURL_READY, 0, 0);
      if (m_pMainWnd == nullptr && m_preparedWnd != nullptr) SendMessage(m_preparedWnd->m_hWnd, WM_SWFURL_READY, 0, 0);
      return;
    case HTTP_EVENT_FAILED:
      ScheduleSwfUrlRetry(task->url, task->failure);
      return;
    default:
      WriteLog("GetSwfUrl: %d, %s", static_cast<int>(event->type), task->url.c_str());
      return;
  }
}

// Asked again until it succeeds or the launcher ends, after a pause that grows with each failure
// in a row. Two queries may fail together (start-up's and the main window's): one retry serves both.
void CLauncherApp::ScheduleSwfUrlRetry(const std::string& url, const std::string& cause) {
  ++m_swfUrlFailures;
  m_swfUrlFailure = cause;
  if (m_playsOffline) return;  // the offline copy plays: the query has nothing left to serve
  uint32_t delayMs = RetryDelayMs(m_swfUrlFailures, std::uniform_real_distribution<double>(0, 1)(m_random));
  uint32_t heldBack = 0;
  if (m_swfUrlLogThrottle.Admit(platform::GetTickCount(), &heldBack)) {
    WriteLog("GetSwfUrl: %d, %s", static_cast<int>(HttpEventType::HTTP_EVENT_FAILED), url.c_str());
    if (heldBack > 0)
      WriteLog("GetSwfUrl retry in %u ms; %u failures were not logged", delayMs, heldBack);
    else
      WriteLog("GetSwfUrl retry in %u ms", delayMs);
  }
  if (!m_swfUrlRetry.IsPending()) {
    m_swfUrlRetry.Start(delayMs, [this] { RequestSwfUrl(); });
    m_swfUrlRetryDueMs = platform::GetTickCount() + delayMs;
  }
  ReportSwfUrlFailure();
}

void CLauncherApp::ReportSwfUrlFailure() {
  auto* window = static_cast<CTransparentFlashPlayerControlWnd*>(m_pMainWnd);
  if (window == nullptr || m_playsOffline || !m_config.ResolvedSwfUrl.empty()) return;
  if (window->PlayOfflineCopy("the game's address cannot be fetched")) {
    m_playsOffline = true;
    m_swfUrlRetry.Cancel();
    return;
  }
  int seconds = -1;
  if (m_swfUrlRetry.IsPending()) {
    const int32_t left = static_cast<int32_t>(m_swfUrlRetryDueMs - platform::GetTickCount());
    seconds = left > 0 ? (left + 999) / 1000 : 0;
  }
  window->ShowFailurePage({"The game cannot be loaded", m_config.GetSwfUrl, m_swfUrlFailure, seconds});
}

void CLauncherApp::OnQQUserLoginAnalysis(HttpTaskEvent* event) {
  if (event == nullptr || event->task == nullptr || event->task->type != HttpTaskType::HTTP_TASK_STRING) return;
  auto* task = static_cast<HttpDownloadStringTask*>(event->task);
  WriteLog("QQ UserLoginAnalysis: %d, %s", static_cast<int>(event->type), task->url.c_str());
  WriteLog("QQ UserLoginAnalysisData: %s", task->body.c_str());
}

void CLauncherApp::RequestPortalUserLoginAnalysis(std::string userId) {
  QueueStringRequest(this, PortalLoginAnalysisUrl(PortalAnalysisHost(), userId),
                     &CLauncherApp::OnPortalUserLoginAnalysis);
}

void CLauncherApp::OnPortalUserLoginAnalysis(HttpTaskEvent* event) {
  if (event == nullptr || event->task == nullptr || event->task->type != HttpTaskType::HTTP_TASK_STRING) return;
  auto* task = static_cast<HttpDownloadStringTask*>(event->task);
  WriteLog("qx2v UserLoginAnalysis: %d, %s", static_cast<int>(event->type), task->url.c_str());
  WriteLog("qx2v UserLoginAnalysisData: %s", task->body.c_str());
}
