#pragma once
// Everything one request carries through the engine; created per request and freed at
// its end, which sends the reply.
#include <map>
#include <memory>
#include <stop_token>
#include <string>

#include "web/mvc_config.h"
#include "web/mvc_web_request.h"
#include "web/mvc_web_response.h"

namespace ostrivan::web {

class TWebContext {
 public:
  TWebContext(http::TWebRequest& request, http::TWebResponse& response, const TMVCConfig& config,
              const TMVCSerializers& serializers);
  // The response wrapper goes first (sending the reply), then the request wrapper.
  ~TWebContext();
  TWebContext(const TWebContext&) = delete;
  TWebContext& operator=(const TWebContext&) = delete;

  TMVCWebRequest& Request() { return *request_; }
  TMVCWebResponse& Response() { return *response_; }
  const TMVCConfig& Config() const { return config_; }
  // Route parameters; the pipeline owns the table.
  TMVCRequestParamsTable* ParamsTable() const { return request_->ParamsTable(); }
  void SetParamsTable(TMVCRequestParamsTable* table) { request_->SetParamsTable(table); }
  std::map<std::string, std::string>& Data();

  // Requested once the server begins to stop. An action that waited (for a directory's
  // lock, say) asks it before its work begins and, when it is set, abandons the request.
  std::stop_token StopToken() { return request_->RawWebRequest().StopToken(); }
  // Ends the request without a reply: nothing is rendered or sent, and the server closes
  // the connection, so the client knows nothing was done.
  void Abandon();
  bool Abandoned() { return response_->RawWebResponse().Abandoned(); }

 private:
  std::unique_ptr<TMVCWebRequest> request_;
  std::unique_ptr<TMVCWebResponse> response_;
  const TMVCConfig& config_;
  std::unique_ptr<std::map<std::string, std::string>> data_;
};

}  // namespace ostrivan::web
