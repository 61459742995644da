#pragma once
// The web request and web response that the bridge hands to a web module. The engine
// reads and writes only these; the HTTP records behind them stay in this subsystem.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/owned_or_borrowed.h"
#include "http/date_time.h"
#include "http/header_list.h"
#include "http/stream.h"

namespace ostrivan::http {

// The fate of a reply, told once after the server is done with it: true when the client's
// TCP acknowledged every byte before the connection closed; false when the reply was not
// written, the client went away or reset, the deadline passed or the server stopped.
using TDeliveryEvent = std::function<void(bool delivered)>;

enum class TMethodType { mtAny, mtGet, mtPut, mtPost, mtHead, mtDelete, mtPatch };

// Field indexes of a web request (text, date and integer accessors share them).
enum TWebRequestField : int {
  kReqMethod = 0,
  kReqProtocolVersion = 1,
  kReqURL = 2,
  kReqQuery = 3,
  kReqPathInfo = 4,
  kReqPathTranslated = 5,
  kReqCacheControl = 6,
  kReqDate = 7,
  kReqAccept = 8,
  kReqFrom = 9,
  kReqHost = 10,
  kReqIfModifiedSince = 11,
  kReqReferer = 12,
  kReqUserAgent = 13,
  kReqContentEncoding = 14,
  kReqContentType = 15,
  kReqContentLength = 16,
  kReqContentVersion = 17,
  kReqDerivedFrom = 18,
  kReqExpires = 19,
  kReqTitle = 20,
  kReqRemoteAddr = 21,
  kReqRemoteHost = 22,
  kReqScriptName = 23,
  kReqServerPort = 24,
  kReqContent = 25,
  kReqConnection = 26,
  kReqCookie = 27,
  kReqAuthorization = 28,
};

// An uploaded file of a multipart body.
struct TWebRequestFile {
  std::string FieldName;
  std::string FileName;
  std::string ContentType;
  std::string Bytes;
};

class TWebRequest {
 public:
  TWebRequest() = default;
  virtual ~TWebRequest() = default;
  TWebRequest(const TWebRequest&) = delete;
  TWebRequest& operator=(const TWebRequest&) = delete;

  // Accessors by field index; any other index reads as empty text.
  virtual std::string GetStringVariable(int index) = 0;
  // -1 when the text is empty or no HTTP date.
  virtual TDateTime GetDateVariable(int index);
  // The text as a 64-bit decimal integer; -1 when it is not one.
  virtual int64_t GetIntegerVariable(int index);

  std::string Method() { return GetStringVariable(kReqMethod); }
  std::string ProtocolVersion() { return GetStringVariable(kReqProtocolVersion); }
  std::string URL() { return GetStringVariable(kReqURL); }
  std::string Query() { return GetStringVariable(kReqQuery); }
  std::string PathInfo() { return GetStringVariable(kReqPathInfo); }
  std::string PathTranslated() { return GetStringVariable(kReqPathTranslated); }
  std::string CacheControl() { return GetStringVariable(kReqCacheControl); }
  TDateTime Date() { return GetDateVariable(kReqDate); }
  std::string Accept() { return GetStringVariable(kReqAccept); }
  std::string From() { return GetStringVariable(kReqFrom); }
  std::string Host() { return GetStringVariable(kReqHost); }
  TDateTime IfModifiedSince() { return GetDateVariable(kReqIfModifiedSince); }
  std::string Referer() { return GetStringVariable(kReqReferer); }
  std::string UserAgent() { return GetStringVariable(kReqUserAgent); }
  std::string ContentEncoding() { return GetStringVariable(kReqContentEncoding); }
  // The "Content-Type" header without its charset parameter.
  std::string ContentType() { return GetStringVariable(kReqContentType); }
  // Size in bytes of the content (the body, or the query string when there is none).
  int64_t ContentLength() { return GetIntegerVariable(kReqContentLength); }
  std::string ContentVersion() { return GetStringVariable(kReqContentVersion); }
  std::string DerivedFrom() { return GetStringVariable(kReqDerivedFrom); }
  TDateTime Expires() { return GetDateVariable(kReqExpires); }
  std::string Title() { return GetStringVariable(kReqTitle); }
  std::string RemoteAddr() { return GetStringVariable(kReqRemoteAddr); }
  std::string RemoteHost() { return GetStringVariable(kReqRemoteHost); }
  std::string ScriptName() { return GetStringVariable(kReqScriptName); }
  int64_t ServerPort() { return GetIntegerVariable(kReqServerPort); }
  std::string Connection() { return GetStringVariable(kReqConnection); }
  std::string Cookie() { return GetStringVariable(kReqCookie); }
  std::string Authorization() { return GetStringVariable(kReqAuthorization); }

  TMethodType MethodType() const { return method_type_; }
  // The content as text, decoded by the charset named in ContentType (UTF-8 here).
  virtual std::string Content() = 0;
  // All content bytes from the start; the stream position is kept.
  virtual std::string RawContent() = 0;
  // The same bytes without a copy where the request holds them in memory (a large body
  // is not held twice); valid while the request lives and its content is not changed.
  virtual std::string_view RawContentView() {
    raw_content_copy_ = RawContent();
    return raw_content_copy_;
  }
  // Value of the request header of that name; empty when absent.
  virtual std::string GetFieldByName(const std::string& name) = 0;
  virtual std::string RemoteIP() = 0;
  virtual std::string RawPathInfo() = 0;
  std::string InternalPathInfo() { return PathInfo(); }

  // name=value lists decoded on first use; a malformed escape raises EConvertError
  // (each use retries, so every reader sees the error).
  const TNameValueList& QueryFields();
  const TNameValueList& ContentFields();
  const TNameValueList& CookieFields() const { return cookie_fields_; }
  const std::vector<TWebRequestFile>& Files() {
    ContentFields();
    return files_;
  }

  // The body is complete before dispatch; nothing to do.
  virtual void ReadTotalContent() {}
  // Up to count bytes of the content stream; the number read, 0 at the end.
  virtual int ReadClient(void* buffer, int count) = 0;
  virtual std::string ReadString(int count) = 0;
  // Straight to the connection.
  virtual int WriteClient(const void* buffer, int count) = 0;
  virtual bool WriteString(const std::string& text) = 0;
  virtual bool WriteHeaders(int status_code, const std::string& reason, const std::string& headers) = 0;
  virtual std::string TranslateURI(const std::string& uri) { return uri; }
  // Requested once the server begins to stop. Work that waited (for a directory's lock,
  // say) asks it before it begins, and abandons the request when it is set.
  virtual std::stop_token StopToken() { return {}; }
  // The client's connection is still open: a wait on the client ends when it is not.
  virtual bool ClientConnected() { return true; }

 protected:
  TMethodType method_type_ = TMethodType::mtAny;
  std::string raw_content_copy_;
  TNameValueList cookie_fields_;
  std::vector<TWebRequestFile> files_;

 private:
  std::optional<TNameValueList> query_fields_;
  std::optional<TNameValueList> content_fields_;
};

// Splits "a=1&b=%41" into decoded name=value lines (an "&" inside double quotes does
// not split). Malformed escapes raise EConvertError with the position of the "%".
void ExtractHTTPFields(const std::string& text, TNameValueList& dest);
// The URL decoding of one field piece; see ExtractHTTPFields.
std::string HTTPDecode(const std::string& text);
// Percent-encodes everything but unreserved characters (cookie names and values).
std::string HTTPEncode(const std::string& text);

struct TCookie {
  std::string Name;
  std::string Value;
  std::string Domain;
  std::string Path;
  TDateTime Expires = -1;  // -1: a session cookie
  bool Secure = false;
  bool HttpOnly = false;
  std::string SameSite;
};

// Field indexes of a web response.
enum TWebResponseField : int {
  kRespVersion = 0,
  kRespReasonString = 1,
  kRespServer = 2,
  kRespWWWAuthenticate = 3,
  kRespRealm = 4,
  kRespAllow = 5,
  kRespLocation = 6,
  kRespContentEncoding = 7,
  kRespContentType = 8,
  kRespContentVersion = 9,
  kRespDerivedFrom = 10,
  kRespTitle = 11,
};
enum TWebResponseDateField : int { kRespDate = 0, kRespExpires = 1, kRespLastModified = 2 };

class TWebResponse {
 public:
  explicit TWebResponse(TWebRequest* request) : request_(request) {}
  // An event never handed on is told "not delivered".
  virtual ~TWebResponse() {
    if (on_delivered_) {
      try {
        on_delivered_(false);
      } catch (...) {
        // A destructor cannot pass it on; the event's owner reports its own failures.
      }
    }
  }
  TWebResponse(const TWebResponse&) = delete;
  TWebResponse& operator=(const TWebResponse&) = delete;

  virtual std::string GetStringVariable(int index) = 0;
  virtual void SetStringVariable(int index, const std::string& value) = 0;
  // Dates are given and returned in UTC; -1 = none.
  virtual TDateTime GetDateVariable(int index) = 0;
  virtual void SetDateVariable(int index, TDateTime value) = 0;
  virtual int64_t GetIntegerVariable(int index) = 0;
  virtual void SetIntegerVariable(int index, int64_t value) = 0;

  std::string Version() { return GetStringVariable(kRespVersion); }
  std::string ReasonString() { return GetStringVariable(kRespReasonString); }
  void SetReasonString(const std::string& v) { SetStringVariable(kRespReasonString, v); }
  std::string Server() { return GetStringVariable(kRespServer); }
  void SetServer(const std::string& v) { SetStringVariable(kRespServer, v); }
  std::string Realm() { return GetStringVariable(kRespRealm); }
  void SetRealm(const std::string& v) { SetStringVariable(kRespRealm, v); }
  std::string Location() { return GetStringVariable(kRespLocation); }
  void SetLocation(const std::string& v) { SetStringVariable(kRespLocation, v); }
  std::string ContentEncoding() { return GetStringVariable(kRespContentEncoding); }
  void SetContentEncoding(const std::string& v) { SetStringVariable(kRespContentEncoding, v); }
  // The text last written here, else the reply's media type.
  std::string ContentType() { return GetStringVariable(kRespContentType); }
  // Split into media type and charset for the reply; empty clears both.
  void SetContentType(const std::string& v) { SetStringVariable(kRespContentType, v); }
  std::string ContentVersion() { return GetStringVariable(kRespContentVersion); }
  void SetContentVersion(const std::string& v) { SetStringVariable(kRespContentVersion, v); }

  virtual int StatusCode() = 0;
  // Also resets ReasonString from the status table.
  virtual void SetStatusCode(int code) = 0;
  int64_t ContentLength() { return GetIntegerVariable(0); }
  void SetContentLength(int64_t v) { SetIntegerVariable(0, v); }
  TDateTime Date() { return GetDateVariable(kRespDate); }
  void SetDate(TDateTime utc) { SetDateVariable(kRespDate, utc); }
  TDateTime Expires() { return GetDateVariable(kRespExpires); }
  void SetExpires(TDateTime utc) { SetDateVariable(kRespExpires, utc); }
  TDateTime LastModified() { return GetDateVariable(kRespLastModified); }
  void SetLastModified(TDateTime utc) { SetDateVariable(kRespLastModified, utc); }

  virtual std::string Content() = 0;
  // Sets the text body and ContentLength to its size in the reply's charset.
  virtual void SetContent(const std::string& text) = 0;
  TStream* ContentStream() const { return content_stream_.Get(); }
  // Hands a stream to the response, which owns it from then on; nullptr releases the
  // current one. ContentLength becomes the stream's size (the Content's when none).
  virtual void SetContentStream(std::unique_ptr<TStream> stream) = 0;
  // A stream the caller keeps owning (FreeContentStream reads false afterwards).
  virtual void SetContentStreamRef(TStream* stream) = 0;
  bool FreeContentStream() const { return content_stream_.Owned() || content_stream_.Get() == nullptr; }

  TNameValueList& CustomHeaders() { return custom_headers_; }
  // Sets the name=value line; an empty value removes it.
  void SetCustomHeader(const std::string& name, const std::string& value) { custom_headers_.SetValue(name, value); }
  std::string GetCustomHeader(const std::string& name) const { return custom_headers_.Values(name); }
  std::vector<TCookie>& Cookies() { return cookies_; }

  // Whoever needs to know whether this reply reached the client sets this; the server
  // calls it once (see TDeliveryEvent). A response without a server keeps it and reports
  // false when freed.
  virtual void SetOnDelivered(TDeliveryEvent event) { on_delivered_ = std::move(event); }

  virtual void SendResponse() = 0;
  virtual void SendRedirect(const std::string& url) = 0;
  // The stream's remaining bytes straight to the connection, nothing before them.
  virtual void SendStream(TStream& stream) = 0;
  virtual bool Sent() = 0;
  // No reply is to go out: the request was given up (see TWebRequest::StopToken) and the
  // server ends the connection unanswered.
  void Abandon() { abandoned_ = true; }
  bool Abandoned() const { return abandoned_; }
  std::string LogMessage() const { return {}; }
  TWebRequest* HTTPRequest() const { return request_; }

 protected:
  TWebRequest* request_;
  TOwnedOrBorrowed<TStream> content_stream_;
  TNameValueList custom_headers_;
  std::vector<TCookie> cookies_;
  TDeliveryEvent on_delivered_;
  bool abandoned_ = false;
};

}  // namespace ostrivan::http
