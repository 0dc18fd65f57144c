#include "login/LoginDlg.h"

#include <array>
#include <utility>
#include <variant>

#include "base/FailurePage.h"
#include "base/Log.h"
#include "login/LoginContract.h"
#include "platform/MainLoop.h"

namespace {

using platform::ScriptArgument;
using platform::ScriptParameter;

constexpr const char* kButtonOK = "ButtonOK";
constexpr const char* kButtonCancel = "ButtonCancel";
// The failure page's own buttons (its Quit is ButtonCancel).
constexpr const char* kButtonRetry = "ButtonRetry";
constexpr const char* kButtonOffline = "ButtonOffline";

const std::string& Text(const std::vector<ScriptArgument>& arguments, size_t i) {
  static const std::string empty;
  const auto* text = std::get_if<std::string>(&arguments[i]);
  return text != nullptr ? *text : empty;
}

int Number(const std::vector<ScriptArgument>& arguments, size_t i) {
  const auto* number = std::get_if<int>(&arguments[i]);
  return number != nullptr ? *number : 0;
}

// The page's window.external, in dispatch order. The web view checks the argument count and
// kinds against `parameters` before a call arrives here.
struct ExternalEntry {
  const char* name;
  std::vector<ScriptParameter> parameters;
  void (*call)(LoginDlg& dialog, const std::vector<ScriptArgument>& arguments);
  bool carriesToken = false;  // taken only from a page of the login URL's origin
};

const std::array<ExternalEntry, 6>& ExternalMethods() {
  constexpr ScriptParameter kText = ScriptParameter::kText;
  constexpr ScriptParameter kInt16 = ScriptParameter::kInt16;
  static const std::array<ExternalEntry, 6> methods{{
      {"StartGame", {kText, kText, kText, kText, kText},
       [](LoginDlg& d, const std::vector<ScriptArgument>& a) {
         d.StartGame(Text(a, 0), Text(a, 1), Text(a, 2), Text(a, 3), Text(a, 4));
       },
       true},
      {"StartGameV2", {kText}, [](LoginDlg& d, const std::vector<ScriptArgument>& a) { d.StartGameV2(Text(a, 0)); },
       true},
      {"OpenLink", {kText}, [](LoginDlg& d, const std::vector<ScriptArgument>& a) { d.OpenLink(Text(a, 0)); }},
      {"DragMove", {}, [](LoginDlg& d, const std::vector<ScriptArgument>&) { d.DragMove(); }},
      {"ExitApp", {}, [](LoginDlg& d, const std::vector<ScriptArgument>&) { d.ExitApp(); }},
      {"ResizeAndCenter", {kInt16, kInt16},
       [](LoginDlg& d, const std::vector<ScriptArgument>& a) { d.ResizeAndCenter(Number(a, 0), Number(a, 1)); }},
  }};
  return methods;
}

}  // namespace

LoginDlg::LoginDlg(LoginDlgSettings settings, std::string& accessToken)
    : m_settings(std::move(settings)), m_accessToken(accessToken) {}

LoginDlg::~LoginDlg() = default;

int LoginDlg::DoModal() {
  m_result = 0;
  m_window = std::make_unique<platform::WebDialog>(static_cast<platform::WebDialogDelegate&>(*this));
  std::vector<platform::ExternalMethod> methods;
  for (const ExternalEntry& entry : ExternalMethods()) methods.push_back({entry.name, entry.parameters});
  if (!platform::IsGuiAvailable() ||
      !m_window->Create(m_settings.caption, std::move(methods), {kButtonOK, kButtonCancel, kButtonRetry, kButtonOffline},
                        m_settings.loginUrl)) {
    WriteLog("LoginDlg: no display, the login page cannot be shown");
    m_window.reset();
    return IDCANCEL;
  }
  // The window stays unmapped, at (0, 0), until the page asks for its size (ResizeAndCenter).
  m_window->Navigate(m_settings.loginUrl);
  // Requests queued before the dialog (the movie URL query) are answered while it runs.
  // HTTP events arrive through the manager's own loop signal, in this loop as in the main one.
  platform::RunMainLoopUntil([this] { return m_result != 0; }, {});
  m_window.reset();
  return m_result;
}

void LoginDlg::StartGame(const std::string& p1, const std::string& p2, const std::string& p3, const std::string& p4,
                         const std::string& p5) {
  std::string token = login::BuildStartGameToken(p1, p2, p3, p4, p5);
  WriteLog("Set AccessToken: %s", token.c_str());
  m_accessToken = token;
  OnOK();
}

void LoginDlg::StartGameV2(const std::string& token) {
  std::string userId = login::FindPortalUserId(token);
  if (!userId.empty() && m_settings.onPortalUserSignedIn) m_settings.onPortalUserSignedIn(userId);
  WriteLog("StartGameV2 AccessToken: %s", token.c_str());
  m_accessToken = token;
  OnOK();
}

void LoginDlg::OpenLink(const std::string& url) {
  if (!login::IsOpenableLink(url)) {
    WriteLog("OpenLink ignored: %s", url.c_str());
    return;
  }
  platform::OpenWithDefaultHandler(url);
}

void LoginDlg::DragMove() {
  if (m_window) m_window->BeginMoveDrag();
}

void LoginDlg::ExitApp() { OnCancel(); }

void LoginDlg::ResizeAndCenter(int width, int height) {
  WriteLog("ResizeAndCenter: %d, %d", width, height);
  const platform::ScreenRect screen = platform::WebDialog::PrimaryScreenRect();
  WriteLog("ScreenRect: %d, %d", screen.width, screen.height);
  if (m_window) {
    m_window->MoveAndResize(screen.x + login::CenteredOffset(screen.width, width),
                            screen.y + login::CenteredOffset(screen.height, height), width, height);
  }
  if (auto shown = std::exchange(m_settings.onPageShown, nullptr)) shown();
}

void LoginDlg::OnOK() {
  if (!m_accessToken.empty()) EndDialog(IDOK);
}

void LoginDlg::OnCancel() { EndDialog(IDCANCEL); }

void LoginDlg::EndDialog(int result) {
  // The first ending counts; the loop leaves after the current pass.
  if (m_result == 0) m_result = result;
}

void LoginDlg::OnExternalCall(size_t index, const std::vector<ScriptArgument>& arguments,
                              platform::CallOrigin origin) {
  const auto& methods = ExternalMethods();
  if (index >= methods.size() || arguments.size() != methods[index].parameters.size()) return;
  // A frame or page of another site (an advertisement, a link followed) must not sign anyone in.
  if (methods[index].carriesToken && origin != platform::CallOrigin::kTrusted) {
    WriteLog("%s refused: the page is not of the login URL's origin", methods[index].name);
    return;
  }
  methods[index].call(*this, arguments);
}

void LoginDlg::OnElementClicked(const std::string& elementId) {
  if (m_showsFailure && OnFailurePageClick(elementId)) return;
  if (elementId == kButtonOK) OnOK();
  if (elementId == kButtonCancel) OnCancel();
}

bool LoginDlg::OnFailurePageClick(const std::string& elementId) {
  if (elementId == kButtonRetry) {
    WriteLog("LoginDlg: trying again");
    m_showsFailure = false;
    if (m_window) m_window->Navigate(m_settings.loginUrl);
    return true;
  }
  if (elementId == kButtonOffline && m_settings.offlineCopy) {
    WriteLog("LoginDlg: the player plays offline");
    EndDialog(IDPLAYOFFLINE);
    return true;
  }
  if (elementId == kButtonCancel) {
    m_quitAtFailurePage = true;
    OnCancel();
    return true;
  }
  return false;
}

void LoginDlg::OnLoadFailed(const std::string& uri, const std::string& cause) {
  WriteLog("LoginDlg: the login page %s cannot be loaded: %s", uri.c_str(), cause.c_str());
  m_showsFailure = true;
  const FailureNotice notice{"The login page cannot be loaded", uri, cause, -1, m_settings.offlineCopy};
  if (m_window) m_window->ShowHtml(FillFailurePage(m_settings.failurePage, m_settings.failureScript, notice), uri);
}

bool LoginDlg::FilterKey(const platform::KeyMessage& key) { return login::SwallowsKey(key); }

bool LoginDlg::AllowContextMenu(platform::ContextMenuTarget target) { return login::ShowsContextMenu(target); }

void LoginDlg::OnCloseRequested() {
  m_quitAtFailurePage = m_showsFailure;
  OnCancel();
}
