#pragma once
// The engine's view of one request: media type and charset worked out once, the body
// decoded on demand and read into objects through the serializer of its media type.
#include <map>
#include <memory>
#include <string>

#include "http/web_request.h"
#include "web/mvc_attributes.h"
#include "web/router.h"
#include "web/serializer_intf.h"

namespace ostrivan::web {

// Media type text (exact, case-sensitive) -> serializer; shared so a serializer lives
// until its last holder lets it go.
using TMVCSerializers = std::map<std::string, std::shared_ptr<IMVCSerializer>>;

class TMVCWebRequest {
 public:
  TMVCWebRequest(http::TWebRequest& request, const TMVCSerializers& serializers);

  http::TWebRequest& RawWebRequest() { return request_; }

  // From the "Content-Type" header: "application/json" and "UTF-8" when absent;
  // ContentType is the composed form, e.g. "application/json;charset=utf-8".
  const std::string& ContentMediaType() const { return content_media_type_; }
  const std::string& ContentCharset() const { return content_charset_; }
  const std::string& ContentType() const { return content_type_; }

  // The body decoded by ContentCharset; EEncodingError "Invalid encoding name" for an
  // unknown charset.
  const std::string& Body();

  // A new object of class T filled from the body by the serializer registered for
  // ContentMediaType; EMVCDeserializationException when there is none.
  template <class T>
  std::unique_ptr<T> ReadBodyObject() {
    auto object = std::make_unique<T>();
    ReadBodyInto(*object);
    return object;
  }
  void ReadBodyInto(json::TObject& object);

  std::string Accept() { return request_.Accept(); }
  // Accept up to its first "," (untrimmed).
  std::string BestAccept();
  // True when the lower-cased Accept value begins with media_type (given lower-case).
  bool ClientPrefer(const std::string& media_type);
  bool ClientPreferHTML() { return ClientPrefer("text/html"); }
  // The caller's address, from forwarding headers first, then the connection.
  std::string ClientIp();
  // The connection's own address, whatever a forwarding header says.
  std::string PeerIp() { return request_.RemoteIP(); }

  std::string HTTPMethodAsString() { return request_.Method(); }
  TMVCHTTPMethodType HTTPMethod() { return TMVCRouter::StringMethodToHTTPMetod(HTTPMethodAsString()); }
  // The HTTP server has applied method overrides already.
  TMVCHTTPMethodType GetOverwrittenHTTPMethod() { return HTTPMethod(); }
  std::string PathInfo() { return request_.PathInfo(); }
  std::string QueryString() { return request_.Query(); }
  std::string GetHeader(const std::string& name) { return request_.GetFieldByName(name); }

  TMVCRequestParamsTable* ParamsTable() const { return params_table_; }
  void SetParamsTable(TMVCRequestParamsTable* table) { params_table_ = table; }

 private:
  http::TWebRequest& request_;
  const TMVCSerializers& serializers_;
  std::string content_media_type_;
  std::string content_charset_;
  std::string content_type_;
  std::string body_;
  TMVCRequestParamsTable* params_table_ = nullptr;
};

// "POST /RizOzudo/ExportLavoro?x=1": method, path and "?" + query when there is one.
std::string RequestSummary(TMVCWebRequest& request);

}  // namespace ostrivan::web
