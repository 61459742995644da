#include "http/http_app_request.h"

#include "http/text_codec.h"

namespace ostrivan::http {

namespace {

TMethodType MethodTypeOf(const std::string& method) {
  if (method == "GET") return TMethodType::mtGet;
  if (method == "PUT") return TMethodType::mtPut;
  if (method == "POST") return TMethodType::mtPost;
  if (method == "HEAD") return TMethodType::mtHead;
  if (method == "DELETE") return TMethodType::mtDelete;
  if (method == "PATCH") return TMethodType::mtPatch;
  return TMethodType::mtAny;
}

const TCharsetEncoding kAnsi(TCharsetEncoding::Kind::kLatin1);

}  // namespace

THTTPAppRequest::THTTPAppRequest(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response)
    : connection_(connection), request_(request), response_(response) {
  method_type_ = MethodTypeOf(request.command);
  for (const auto& [name, value] : request.cookies) cookie_fields_.Add(name + "=" + value);
  if (request.post_stream) {
    content_.Borrow(request.post_stream.get());
  } else {
    owned_text_ = request.form_params.empty() ? request.unparsed_params : request.form_params;
    content_.Own(std::make_unique<TMemoryStream>(kAnsi.Encode(owned_text_)));
  }
}

THTTPAppRequest::~THTTPAppRequest() = default;

std::string THTTPAppRequest::GetStringVariable(int index) {
  auto header = [&](const char* name) { return request_.raw_headers.Values(name); };
  switch (index) {
    case kReqMethod: return request_.command;
    case kReqProtocolVersion: return request_.version;
    case kReqQuery: return request_.query_params;
    case kReqPathInfo:
    case kReqPathTranslated: return request_.document;
    case kReqCacheControl: return header("Cache-Control");
    case kReqDate: return header("Date");
    case kReqAccept: return header("Accept");
    case kReqFrom: return header("From");
    case kReqHost: return request_.host.substr(0, request_.host.find(':'));
    case kReqIfModifiedSince: return header("If-Modified-Since");
    case kReqReferer: return header("Referer");
    case kReqUserAgent: return header("User-Agent");
    case kReqContentEncoding: return header("Content-Encoding");
    case kReqContentType: return request_.ContentType();
    case kReqContentLength: return std::to_string(content_.Get()->Size());
    case kReqContentVersion: return header("CONTENT_VERSION");
    case kReqDerivedFrom: return header("Derived-From");
    case kReqExpires: return header("Expires");
    case kReqTitle: return header("Title");
    case kReqRemoteAddr: return request_.remote_ip;
    case kReqRemoteHost: return header("REMOTE_HOST");
    case kReqServerPort: {
      size_t colon = request_.host.find(':');
      if (colon == std::string::npos) return std::to_string(connection_.LocalPort());
      return request_.host.substr(colon + 1);
    }
    case kReqContent:
      if (content_.Owned()) return owned_text_;
      return TCharsetEncoding::ByName(request_.CharSet()).Decode(RawContent());
    case kReqConnection: return header("Connection");
    case kReqAuthorization: return header("Authorization");
    default: return {};  // URL, ScriptName, Cookie and unknown indexes
  }
}

std::string THTTPAppRequest::Content() {
  std::string type = UpperCase(ContentType());
  TCharsetEncoding encoding(TCharsetEncoding::Kind::kUtf8);
  if (type.find("CHARSET") != std::string::npos) {
    if (type.find("UTF-8") != std::string::npos) encoding = TCharsetEncoding(TCharsetEncoding::Kind::kUtf8);
    else if (type.find("ISO-8859-1") != std::string::npos || type.find("ANSI") != std::string::npos) encoding = kAnsi;
    else if (type.find("ASCII") != std::string::npos) encoding = TCharsetEncoding(TCharsetEncoding::Kind::kAscii);
  }
  return encoding.Decode(RawContent());
}

std::string THTTPAppRequest::RawContent() { return content_.Get()->AllBytes(); }

std::string_view THTTPAppRequest::RawContentView() {
  if (auto* memory = dynamic_cast<TMemoryStream*>(content_.Get())) return memory->Bytes();
  return TWebRequest::RawContentView();
}

std::string THTTPAppRequest::GetFieldByName(const std::string& name) { return request_.raw_headers.Values(name); }

int THTTPAppRequest::ReadClient(void* buffer, int count) {
  if (count <= 0) return 0;
  return static_cast<int>(content_.Get()->Read(buffer, count));
}

std::string THTTPAppRequest::ReadString(int count) {
  std::string bytes(static_cast<size_t>(count > 0 ? count : 0), '\0');
  int n = ReadClient(bytes.data(), count);
  bytes.resize(static_cast<size_t>(n > 0 ? n : 0));
  return TCharsetEncoding::ByName(request_.CharSet()).Decode(bytes);
}

int THTTPAppRequest::WriteClient(const void* buffer, int count) {
  if (count > 0) connection_.WriteBytes(std::string_view(static_cast<const char*>(buffer), static_cast<size_t>(count)));
  return count;
}

bool THTTPAppRequest::WriteString(const std::string& text) {
  connection_.Write(text);
  return true;
}

bool THTTPAppRequest::WriteHeaders(int status_code, const std::string& reason, const std::string& headers) {
  response_.SetResponseNo(status_code);
  response_.SetResponseText(reason);
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find('\n', start);
    std::string line = headers.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) response_.CustomHeaders().Add(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  response_.WriteHeader();
  return true;
}

THTTPAppResponse::THTTPAppResponse(THTTPAppRequest& request, TIOHandler& connection, THTTPRequestInfo& request_info,
                                   THTTPResponseInfo& response_info)
    : TWebResponse(&request), connection_(connection), request_info_(request_info), response_(response_info) {
  SetStatusCode(200);
  response_.date = -1;
  response_.expires = -1;
  response_.last_modified = -1;
}

THTTPAppResponse::~THTTPAppResponse() {
  if (content_stream_.Owned() && response_.ContentStream() == content_stream_.Get())
    response_.SetContentStream(content_stream_.TakeOwnership());
}

std::string THTTPAppResponse::GetStringVariable(int index) {
  switch (index) {
    case kRespVersion: return request_info_.version;
    case kRespReasonString: return response_.ResponseText();
    case kRespServer: return response_.server;
    case kRespWWWAuthenticate:
      return response_.WWWAuthenticate().Count() ? response_.WWWAuthenticate()[0] : std::string();
    case kRespRealm: return response_.auth_realm;
    case kRespAllow: return response_.CustomHeaders().Values("Allow");
    case kRespLocation: return response_.location;
    case kRespContentEncoding: return response_.content_encoding;
    case kRespContentType: return content_type_written_ ? last_content_type_ : response_.ContentType();
    case kRespContentVersion: return response_.content_version;
    default: return {};
  }
}

void THTTPAppResponse::SetStringVariable(int index, const std::string& value) {
  switch (index) {
    case kRespReasonString: response_.SetResponseText(value); break;
    case kRespServer: response_.server = value; break;
    case kRespWWWAuthenticate:
      response_.WWWAuthenticate().Clear();
      if (!value.empty()) response_.WWWAuthenticate().Add(value);
      break;
    case kRespRealm: response_.auth_realm = value; break;
    case kRespAllow:
      if (value.empty()) response_.CustomHeaders().Remove("Allow");
      else response_.CustomHeaders().SetValue("Allow", value);
      break;
    case kRespLocation: response_.location = value; break;
    case kRespContentEncoding: response_.content_encoding = value; break;
    case kRespContentType:
      response_.SetContentType(value);
      last_content_type_ = value;
      content_type_written_ = true;
      break;
    case kRespContentVersion: response_.content_version = value; break;
    default: break;  // Version, DerivedFrom, Title: no effect
  }
}

TDateTime THTTPAppResponse::GetDateVariable(int index) {
  TDateTime value = index == kRespDate           ? response_.date
                    : index == kRespExpires      ? response_.expires
                    : index == kRespLastModified ? response_.last_modified
                                                 : -1;
  return value == -1 ? -1 : LocalToUTC(value);
}

void THTTPAppResponse::SetDateVariable(int index, TDateTime value) {
  TDateTime local = value == -1 ? -1 : UTCToLocal(value);
  if (index == kRespDate) response_.date = local;
  else if (index == kRespExpires) response_.expires = local;
  else if (index == kRespLastModified) response_.last_modified = local;
}

int64_t THTTPAppResponse::GetIntegerVariable(int index) { return index == 0 ? response_.ContentLength() : -1; }

void THTTPAppResponse::SetIntegerVariable(int index, int64_t value) {
  if (index == 0) response_.SetContentLength(value);
}

void THTTPAppResponse::SetContent(const std::string& text) {
  response_.SetContentText(text);
  response_.SetContentLength(TCharsetEncoding::ByName(response_.CharSet()).ByteCount(text));
}

void THTTPAppResponse::StreamChanged() {
  if (TStream* stream = content_stream_.Get()) {
    response_.SetContentLength(stream->Size());
  } else {
    response_.SetContentLength(TCharsetEncoding::ByName(response_.CharSet()).ByteCount(response_.ContentText()));
  }
  response_.SetContentStreamRef(content_stream_.Get());
}

void THTTPAppResponse::SetContentStream(std::unique_ptr<TStream> stream) {
  if (content_stream_.Own(std::move(stream))) StreamChanged();
}

void THTTPAppResponse::SetContentStreamRef(TStream* stream) {
  content_stream_.Borrow(stream);
  StreamChanged();
}

void THTTPAppResponse::CopyCookiesAndHeaders() {
  for (const TCookie& cookie : cookies_) {
    TCookie copy = cookie;
    copy.Name = HTTPEncode(cookie.Name);
    copy.Value = HTTPEncode(cookie.Value);
    response_.Cookies().push_back(copy);
  }
  response_.CustomHeaders().Clear();
  for (size_t i = 0; i < custom_headers_.Count(); ++i) {
    std::string name = custom_headers_.Name(i);
    std::string value = custom_headers_.ValueFromIndex(i);
    if (!name.empty() && !value.empty()) response_.CustomHeaders().AddValue(name, value);
  }
}

void THTTPAppResponse::SendResponse() {
  sent_ = true;
  response_.SetContentLength(-1);
  CopyCookiesAndHeaders();
  if (response_.ContentType().empty() && (!response_.ContentText().empty() || response_.ContentStream()))
    response_.SetContentType("text/html; charset=utf-8");
  response_.WriteContent();
}

void THTTPAppResponse::SendRedirect(const std::string& url) {
  sent_ = true;
  CopyCookiesAndHeaders();
  response_.SetResponseNo(302);
  response_.location = url;
}

void THTTPAppResponse::SendStream(TStream& stream) { connection_.WriteStream(stream); }

}  // namespace ostrivan::http
