#pragma once
// A borderless top-level window that shows one web page and offers the page's script a native
// object on `window.external`. Magenta RGB(255, 0, 255) pixels and pixels the page leaves fully
// transparent are cut out of the window: they show what lies below and pass clicks through. The cut
// follows the page as it repaints.
//
// Created unmapped at (0, 0); it appears when MoveAndResize gives it a size. It exists (and can be
// found by its caption) from Create until Destroy or the object's end.
//
// GUI thread only. Callbacks to the delegate run on the GUI thread from the main loop, never from
// inside a WebDialog call.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

// A JavaScript (and JSON) string literal of `text`, UTF-8 passing through. "<", ">" and "&" are
// escaped too, so the literal may stand inside a script element of a page.
std::string ScriptStringLiteral(std::string_view text);

// The types a native method accepts. The page's values are converted before the call: texts with
// JavaScript's String(), 16-bit integers rounded half to even. A call with the wrong number of
// arguments, or a value that does not convert (null or undefined for a text, not a number or out
// of range for an integer), throws a TypeError in the page and never reaches the native side.
enum class ScriptParameter { kText, kInt16 };

struct ExternalMethod {
  std::string name;
  std::vector<ScriptParameter> parameters;
};

// One converted argument: a UTF-8 text, or the integer of a kInt16 parameter.
using ScriptArgument = std::variant<std::string, int>;

// Where a call came from. Script messages carry no origin of their own: a call counts as the
// trusted origin's only when it comes from a frame of that origin (the bootstrap script, which runs
// before the page's own, marks it with a secret) while the view's top page is of that origin too.
enum class CallOrigin { kTrusted, kOther };

// A keyboard message, described as the Windows key filter saw it.
struct KeyMessage {
  bool keyDown = false;    // press without Alt (WM_KEYDOWN); a release or an Alt press is not
  unsigned virtualKey = 0; // the key's Windows virtual-key code; 0 for keys without one
  bool control = false;    // Ctrl held
  bool alt = false;        // Alt held
};

// What a right click hit, for the context menu decision.
enum class ContextMenuTarget { kTextField, kTextSelection, kOther };

class WebDialogDelegate {
 public:
  virtual ~WebDialogDelegate() = default;
  // The page called window.external.<methods[index].name> with converted arguments.
  virtual void OnExternalCall(size_t index, const std::vector<ScriptArgument>& arguments, CallOrigin origin) = 0;
  // An element named at Create was clicked.
  virtual void OnElementClicked(const std::string& elementId) = 0;
  // Returns true to swallow the key: neither the page nor the web view sees it.
  virtual bool FilterKey(const KeyMessage& key) = 0;
  // Returns true to let the web view show its own menu.
  virtual bool AllowContextMenu(ContextMenuTarget target) = 0;
  // The user closed the window through the window manager.
  virtual void OnCloseRequested() = 0;
  // A page of the main frame cannot be shown: the load failed (refused, no such host, a
  // certificate that does not verify, ...), the server answered 400 or more, or a page opened by
  // Navigate gave no answer within 30 s. `cause` says why, in words. The failed page stays as it
  // is (WebKit's own error page is never shown); the delegate decides what comes instead.
  virtual void OnLoadFailed(const std::string& uri, const std::string& cause) {}
};

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class WebDialog {
 public:
  explicit WebDialog(WebDialogDelegate& delegate);
  ~WebDialog();  // Destroy
  WebDialog(const WebDialog&) = delete;
  WebDialog& operator=(const WebDialog&) = delete;

  // Creates the window with its web view: `caption` as the window's name; `methods` offered on
  // window.external in their order; clicks on the elements with the ids in `clickTargets` reported
  // once the document has loaded completely. The mouse wheel never reaches the page; nothing can
  // be dropped on it; script errors are never shown, nor any dialog: alert returns at once,
  // confirm answers false, prompt answers null, a request for a password or a certificate fails,
  // and so does a load whose certificate does not verify; the zoom returns to 100 % after every
  // navigation. The page is drawn without GPU compositing. false when no display is open.
  // Calls count as CallOrigin::kTrusted only from frames of `trustedUrl`'s origin (none when it is
  // empty). Calling it again does nothing.
  bool Create(const std::string& caption, std::vector<ExternalMethod> methods, std::vector<std::string> clickTargets,
              const std::string& trustedUrl = "");
  // Closes the window; pending shape updates are dropped. Safe to call more than once.
  void Destroy();

  void Navigate(const std::string& url);
  // Shows `html` (a whole document of the caller's own) in place of the page at `uri`, which
  // stays the document's address: its relative links and its scripts' origin are that page's.
  void ShowHtml(const std::string& html, const std::string& uri);

  // Places the window at (x, y) (may be negative) with the given size and shows it; a width or
  // height of 0 or less hides it.
  void MoveAndResize(int x, int y, int width, int height);

  // Starts moving the window with the mouse, as if its title bar had been grabbed, while the left
  // button is held. Returns false (and does nothing) when the button is not held or the pointer's
  // position cannot be read.
  bool BeginMoveDrag();

  // The primary monitor's rectangle in screen pixels (the first monitor where none is marked
  // primary); all zero when no display is open.
  static ScreenRect PrimaryScreenRect();

  // Internal state of the platform implementation.
  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

// Hands `target` (a URL) to the desktop's default handler (xdg-open) without waiting for it.
// false when the handler cannot be started. Callers decide which targets are acceptable.
bool OpenWithDefaultHandler(const std::string& target);

// The rectangles (x, y, width, height) of a 32-bit premultiplied ARGB image (native byte order,
// `stride` bytes per row) that stay visible under the colour key: every pixel except opaque
// magenta and fully transparent ones. Rows with the same runs are merged into one band. Pure.
struct ShapeRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ShapeRect&) const = default;
};
std::vector<ShapeRect> VisibleShapeOf(const uint8_t* pixels, int width, int height, int stride);

}  // namespace platform
