#pragma once
// The login dialog: the portal's login page in a borderless, colour-keyed web view, shown
// modally before the game window. GUI thread only.
//
// The page signs the player in by itself and hands the result to the dialog through
// window.external (StartGame, StartGameV2, OpenLink, DragMove, ExitApp, ResizeAndCenter, in this
// order). The access token goes to the token store the dialog is given.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/WebDialog.h"
#include "platform/Window.h"

// DoModal's result when the player chose to play offline at the failure page.
constexpr int IDPLAYOFFLINE = 5;

// What the dialog shows, and where its result goes.
struct LoginDlgSettings {
  std::string caption;   // the window's title
  std::string loginUrl;  // the portal's login page
  // Called with the portal's user id when StartGameV2 names one (launcher type 3); may be empty.
  std::function<void(std::string userId)> onPortalUserSignedIn;
  // Called once, when the page first sizes the dialog (it is then shown); may be empty.
  std::function<void()> onPageShown;
  // The failure page (runtime/host/failure.html and its script), shown when the login page cannot
  // be loaded; with `offlineCopy`, it offers to play offline.
  std::string failurePage;
  std::string failureScript;
  bool offlineCopy = false;
};

class LoginDlg : private platform::WebDialogDelegate {
 public:
  // `accessToken` receives the page's result and must outlive the dialog.
  LoginDlg(LoginDlgSettings settings, std::string& accessToken);
  ~LoginDlg() override;
  LoginDlg(const LoginDlg&) = delete;
  LoginDlg& operator=(const LoginDlg&) = delete;

  // Runs the dialog until the page signs the player in (IDOK), the player chooses to play offline
  // at the failure page (IDPLAYOFFLINE), or it is closed otherwise (IDCANCEL, also when no display
  // is open). HTTP events are delivered while it runs.
  int DoModal();
  // Whether the run ended with Quit at the failure page (a failed start, not the player's no).
  bool QuitAtFailurePage() const { return m_quitAtFailurePage; }

  // The page's methods. Texts arrive as UTF-8.
  void StartGame(const std::string& p1, const std::string& p2, const std::string& p3, const std::string& p4,
                 const std::string& p5);
  void StartGameV2(const std::string& token);
  void OpenLink(const std::string& url);
  void DragMove();
  void ExitApp();
  void ResizeAndCenter(int width, int height);

  // Ends the run with IDOK, but only once an access token is stored.
  void OnOK();
  void OnCancel();

 private:
  void OnExternalCall(size_t index, const std::vector<platform::ScriptArgument>& arguments,
                      platform::CallOrigin origin) override;
  void OnElementClicked(const std::string& elementId) override;
  bool FilterKey(const platform::KeyMessage& key) override;
  bool AllowContextMenu(platform::ContextMenuTarget target) override;
  void OnCloseRequested() override;
  void OnLoadFailed(const std::string& uri, const std::string& cause) override;
  // Try again, Quit and Play offline of the failure page; false for any other element.
  bool OnFailurePageClick(const std::string& elementId);

  void EndDialog(int result);

  LoginDlgSettings m_settings;
  std::string& m_accessToken;
  std::unique_ptr<platform::WebDialog> m_window;
  int m_result = 0;  // 0 while the dialog runs
  bool m_showsFailure = false;  // the failure page stands in for the login page
  bool m_quitAtFailurePage = false;
};
