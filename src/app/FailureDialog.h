#pragma once
// The failure page in a window of its own, for what stops the launcher before it has a game
// window: a configuration that cannot be used, a player that cannot be loaded. Modal; GUI thread.

#include <memory>
#include <string>
#include <vector>

#include "base/FailurePage.h"
#include "platform/WebDialog.h"
#include "platform/Window.h"

class FailureDialog : private platform::WebDialogDelegate {
 public:
  explicit FailureDialog(std::string caption) : m_caption(std::move(caption)) {}
  ~FailureDialog() override;
  FailureDialog(const FailureDialog&) = delete;
  FailureDialog& operator=(const FailureDialog&) = delete;

  // Shows `notice` until the player presses Try again (IDRETRY) or Quit, or closes the window
  // (IDCANCEL). IDCANCEL at once when no display is open.
  int DoModal(const FailureNotice& notice);

 private:
  void OnExternalCall(size_t index, const std::vector<platform::ScriptArgument>& arguments,
                      platform::CallOrigin origin) override;
  void OnElementClicked(const std::string& elementId) override;
  bool FilterKey(const platform::KeyMessage&) override { return false; }
  bool AllowContextMenu(platform::ContextMenuTarget target) override;
  void OnCloseRequested() override;

  std::string m_caption;
  std::unique_ptr<platform::WebDialog> m_window;
  int m_result = 0;
};
