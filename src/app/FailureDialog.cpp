#include "app/FailureDialog.h"

#include <variant>

#include "login/LoginContract.h"
#include "platform/MainLoop.h"
#include "res/EmbeddedBinaries.h"

namespace {

// The page's own document: it is no page of any server.
constexpr char kPageAddress[] = "about:blank";

}  // namespace

FailureDialog::~FailureDialog() = default;

int FailureDialog::DoModal(const FailureNotice& notice) {
  m_result = 0;
  m_window = std::make_unique<platform::WebDialog>(static_cast<platform::WebDialogDelegate&>(*this));
  // The page sizes its window itself, as a login page does.
  if (!platform::IsGuiAvailable() ||
      !m_window->Create(m_caption, {{"ResizeAndCenter", {platform::ScriptParameter::kInt16, platform::ScriptParameter::kInt16}}},
                        {"ButtonRetry", "ButtonCancel"})) {
    m_window.reset();
    return IDCANCEL;
  }
  m_window->ShowHtml(FillFailurePage(res::FailurePageTemplate(), res::FailurePageScript(), notice), kPageAddress);
  platform::RunMainLoopUntil([this] { return m_result != 0; }, {});
  m_window.reset();
  return m_result;
}

void FailureDialog::OnExternalCall(size_t index, const std::vector<platform::ScriptArgument>& arguments,
                                   platform::CallOrigin) {
  const auto* width = arguments.size() == 2 ? std::get_if<int>(&arguments[0]) : nullptr;
  const auto* height = arguments.size() == 2 ? std::get_if<int>(&arguments[1]) : nullptr;
  if (index != 0 || width == nullptr || height == nullptr || !m_window) return;
  const platform::ScreenRect screen = platform::WebDialog::PrimaryScreenRect();
  m_window->MoveAndResize(screen.x + login::CenteredOffset(screen.width, *width),
                          screen.y + login::CenteredOffset(screen.height, *height), *width, *height);
}

void FailureDialog::OnElementClicked(const std::string& elementId) {
  if (m_result != 0) return;
  if (elementId == "ButtonRetry") m_result = IDRETRY;
  if (elementId == "ButtonCancel") m_result = IDCANCEL;
}

bool FailureDialog::AllowContextMenu(platform::ContextMenuTarget target) {
  return target != platform::ContextMenuTarget::kOther;
}

void FailureDialog::OnCloseRequested() {
  if (m_result == 0) m_result = IDCANCEL;
}
