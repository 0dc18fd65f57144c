#include "login/LoginDlg.h"

#include "app/Log.h"

LoginDlg::LoginDlg(unsigned, unsigned, CWnd*) {}
LoginDlg::~LoginDlg() = default;

int LoginDlg::DoModal() {
  WriteLog("LoginDlg: the login dialog is not built yet");
  return IDCANCEL;
}
