#include "http/web_module.h"

#include <cstdio>
#include <string>

#include "common/class_name.h"
#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "common/text.h"
#include "http/text_codec.h"

namespace ostrivan::http {

namespace {

std::string ErrorMessage(const std::exception& error) {
  if (auto* own = dynamic_cast<const ostrivan::Exception*>(&error)) return own->Message();
  return error.what();
}

bool PathMatches(const std::string& pattern, const std::string& path) {
  if (pattern.empty() || pattern == "*") return true;
  if (pattern.back() == '*') return StartsWithText(path, pattern.substr(0, pattern.size() - 1));
  return SameText(pattern, path);
}

std::string ExecutableName() {
  const std::string& path = ExecutablePath();
  if (path.empty()) return "Ostrivan";
  return FileNameOf(path);
}

}  // namespace

std::string InternalApplicationErrorPage(const std::string& message, const std::string& path) {
  // Both texts come from the request or from errors about it: escaped, never markup.
  return "<html><body><h1>Internal Application Error</h1>\r\n<p>" + HtmlEscape(message) +
         "\r\n<p><hr width=\"100%\"><i>" + HtmlEscape(path) + "</i></body></html>";
}

void ReportExceptionToStdErr(const std::exception& error) {
  std::string message = ErrorMessage(error);
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&error));
  std::string text = "Exception " + ExceptionClassName(error) + " in module " + ExecutableName() + " at " + address +
                     ".\r\n" + message + (!message.empty() && message.back() == '.' ? "" : ".") + "\r\n\r\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void ReportUnknownExceptionToStdErr(const std::string& during) {
  const std::string text =
      "Exception of no known class in module " + ExecutableName() + " during " + during + ".\r\n\r\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool TCustomWebDispatcher::DispatchAction(TWebRequest& request, TWebResponse& response) {
  request_ = &request;
  response_ = &response;
  if (response.Sent()) return true;
  bool handled = false;
  if (before_dispatch_) before_dispatch_(*this, request, response, handled);
  if (!handled) handled = response.Sent() || response.Abandoned();
  if (!handled) {
    std::string path = request.PathInfo();
    TMethodType method = request.MethodType();
    auto offer = [&](TWebActionItem& item) {
      if (!item.OnAction) return false;
      bool action_handled = true;
      item.OnAction(*this, request, response, action_handled);
      return action_handled;
    };
    for (auto& item : actions_) {
      if (!item.Enabled || item.Default) continue;
      if (item.MethodType != TMethodType::mtAny && item.MethodType != method) continue;
      if (!PathMatches(item.PathInfo, path)) continue;
      if ((handled = offer(item))) break;
    }
    if (!handled) {
      for (auto& item : actions_) {
        if (item.Enabled && item.Default && (handled = offer(item))) break;
      }
    }
  }
  if (handled && !response.Sent() && !response.Abandoned()) {
    bool after_handled = true;
    if (after_dispatch_) after_dispatch_(*this, request, response, after_handled);
    handled = after_handled;
  }
  return handled;
}

bool TCustomWebDispatcher::HandleException(const std::exception& error) {
  bool handled = false;
  if (on_exception_) {
    handled = true;
    if (response_) response_->SetStatusCode(500);
    on_exception_(*this, error, handled);
    if (handled && response_) response_->SendResponse();
  }
  if (!handled && response_) {
    response_->SetContent(InternalApplicationErrorPage(ErrorMessage(error), request_ ? request_->PathInfo() : ""));
    if (!response_->Sent()) {
      response_->SetStatusCode(500);
      response_->SendResponse();
    }
    handled = true;
  }
  return handled;
}

void TCustomWebDispatcher::ClearCurrent() {
  request_ = nullptr;
  response_ = nullptr;
}

}  // namespace ostrivan::http
