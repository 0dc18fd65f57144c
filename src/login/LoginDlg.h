#pragma once
// The login dialog: the portal's login page in a borderless, colour-keyed web view, shown
// modally before the game window. GUI thread only.

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class CWnd;

class LoginDlg {
 public:
  LoginDlg(unsigned templateId, unsigned htmlId, CWnd* parent);
  virtual ~LoginDlg();

  // Runs the dialog until the page signs the player in (IDOK) or it is closed otherwise.
  int DoModal();
};
