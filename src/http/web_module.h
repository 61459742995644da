#pragma once
// A web module dispatches one request at a time: its BeforeDispatch event first (the
// engine installs itself there), then its action items, then AfterDispatch.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/web_request.h"

namespace ostrivan::http {

class TCustomWebDispatcher;

// (sender, request, response, handled)
using THTTPMethodEvent = std::function<void(TCustomWebDispatcher& sender, TWebRequest&, TWebResponse&, bool& handled)>;
// (sender, error, handled)
using TWebExceptionEvent = std::function<void(TCustomWebDispatcher& sender, const std::exception&, bool& handled)>;

// One action: matched by method and path ("" or "*" = any path; a trailing "*" matches
// a prefix; paths compare case-insensitively). The default item serves unmatched
// requests.
struct TWebActionItem {
  std::string Name;
  std::string PathInfo;
  TMethodType MethodType = TMethodType::mtAny;
  bool Enabled = true;
  bool Default = false;
  THTTPMethodEvent OnAction;  // handled starts true
};

class TCustomWebDispatcher {
 public:
  TCustomWebDispatcher() = default;
  virtual ~TCustomWebDispatcher() = default;
  TCustomWebDispatcher(const TCustomWebDispatcher&) = delete;
  TCustomWebDispatcher& operator=(const TCustomWebDispatcher&) = delete;

  const THTTPMethodEvent& BeforeDispatch() const { return before_dispatch_; }
  void SetBeforeDispatch(THTTPMethodEvent handler) { before_dispatch_ = std::move(handler); }
  const THTTPMethodEvent& AfterDispatch() const { return after_dispatch_; }
  void SetAfterDispatch(THTTPMethodEvent handler) { after_dispatch_ = std::move(handler); }
  const TWebExceptionEvent& OnException() const { return on_exception_; }
  void SetOnException(TWebExceptionEvent handler) { on_exception_ = std::move(handler); }

  std::vector<TWebActionItem>& Actions() { return actions_; }
  // The request and response being served (null outside a dispatch).
  TWebRequest* Request() const { return request_; }
  TWebResponse* Response() const { return response_; }

  // Runs the dispatch and says whether the request was handled.
  bool DispatchAction(TWebRequest& request, TWebResponse& response);
  // The module's own handling of an error raised while serving; true when handled
  // (an error page was stored or sent).
  virtual bool HandleException(const std::exception& error);
  // Forgets the request and response once the pool has finished with them.
  void ClearCurrent();

 private:
  THTTPMethodEvent before_dispatch_;
  THTTPMethodEvent after_dispatch_;
  TWebExceptionEvent on_exception_;
  std::vector<TWebActionItem> actions_;
  TWebRequest* request_ = nullptr;
  TWebResponse* response_ = nullptr;
};

// A module of the pool. DoCreate runs right after construction, under the pool lock;
// DoDestroy right before destruction. A failure in DoCreate is reported on standard
// error and the module still enters the pool.
class TWebModule : public TCustomWebDispatcher {
 public:
  virtual void DoCreate() {}
  virtual void DoDestroy() {}
};

// Makes a new module; the pool owns it.
using TWebModuleClass = std::function<std::unique_ptr<TWebModule>()>;

// The "Internal Application Error" page; message and path are HTML-escaped.
std::string InternalApplicationErrorPage(const std::string& message, const std::string& path);
// Writes "Exception <class> in module <exe> at <address>.\r\n<message>[.]\r\n" and CR LF
// to standard error.
void ReportExceptionToStdErr(const std::exception& error);
// For a failure that is no exception: "Exception of no known class in module <exe>
// during <during>." and CR LF.
void ReportUnknownExceptionToStdErr(const std::string& during);

}  // namespace ostrivan::http
