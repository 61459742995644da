#include "web/web_context.h"

namespace ostrivan::web {

TWebContext::TWebContext(http::TWebRequest& request, http::TWebResponse& response, const TMVCConfig& config,
                         const TMVCSerializers& serializers)
    : request_(std::make_unique<TMVCWebRequest>(request, serializers)),
      response_(std::make_unique<TMVCWebResponse>(response)),
      config_(config) {}

TWebContext::~TWebContext() {
  response_.reset();
  request_.reset();
}

void TWebContext::Abandon() {
  response_->SetFlushOnDestroy(false);
  response_->RawWebResponse().Abandon();
}

std::map<std::string, std::string>& TWebContext::Data() {
  if (!data_) data_ = std::make_unique<std::map<std::string, std::string>>();
  return *data_;
}

}  // namespace ostrivan::web
