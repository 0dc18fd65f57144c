#include "base/FailurePage.h"

#include "base/Text.h"
#include "platform/WebDialog.h"

namespace {

constexpr std::string_view kDataSlot = "@@FAILURE_DATA@@";
constexpr std::string_view kScriptElement = "<script src=\"failure.js\"></script>";

// `text` with the first `part` replaced by `by`; unchanged when it holds no such part.
std::string ReplacedOnce(std::string text, std::string_view part, std::string_view by) {
  const size_t at = text.find(part);
  if (at != std::string::npos) text.replace(at, part.size(), by);
  return text;
}

}  // namespace

std::string FillFailurePage(std::string_view pageTemplate, std::string_view script, const FailureNotice& notice) {
  using platform::ScriptStringLiteral;
  const std::string data = "{\"title\":" + ScriptStringLiteral(notice.title) +
                           ",\"address\":" + ScriptStringLiteral(notice.address) +
                           ",\"cause\":" + ScriptStringLiteral(notice.cause) +
                           ",\"retry\":" + std::to_string(notice.retrySeconds) +
                           ",\"offline\":" + (notice.offline ? "true" : "false") + "}";
  // The notice is escaped: neither replacement can match inside the text the other put in.
  std::string page = ReplacedOnce(std::string(pageTemplate), kDataSlot, data);
  return ReplacedOnce(std::move(page), kScriptElement, "<script>" + std::string(script) + "</script>");
}

std::string FailureNoticeQuery(const FailureNotice& notice) {
  std::string query = "title=" + PercentEncoded(notice.title) + "&address=" + PercentEncoded(notice.address) +
                      "&cause=" + PercentEncoded(notice.cause);
  if (notice.retrySeconds >= 0) query += "&retry=" + std::to_string(notice.retrySeconds);
  if (notice.offline) query += "&offline=1";
  return query;
}
