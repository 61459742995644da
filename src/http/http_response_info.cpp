#include "http/http_response_info.h"

#include <map>

#include "http/http_exceptions.h"
#include "http/http_metrics.h"
#include "http/http_request_info.h"
#include "http/io_handler.h"
#include "http/text_codec.h"

namespace ostrivan::http {

std::string StatusText(int code) {
  static const std::map<int, const char*> kTable = {{100, "Continue"},
                                                    {200, "OK"},
                                                    {201, "Created"},
                                                    {202, "Accepted"},
                                                    {203, "Non-authoritative Information"},
                                                    {204, "No Content"},
                                                    {205, "Reset Content"},
                                                    {206, "Partial Content"},
                                                    {301, "Moved Permanently"},
                                                    {302, "Moved Temporarily"},
                                                    {303, "See Other"},
                                                    {304, "Not Modified"},
                                                    {305, "Use Proxy"},
                                                    {400, "Bad Request"},
                                                    {401, "Unauthorized"},
                                                    {403, "Forbidden"},
                                                    {404, "Not Found"},
                                                    {405, "Method not allowed"},
                                                    {406, "Not Acceptable"},
                                                    {407, "Proxy Authentication Required"},
                                                    {408, "Request Timeout"},
                                                    {409, "Conflict"},
                                                    {410, "Gone"},
                                                    {411, "Length Required"},
                                                    {412, "Precondition Failed"},
                                                    {413, "Request Entity Too Long"},
                                                    {414, "Request-URI Too Long. 256 Chars max"},
                                                    {415, "Unsupported Media Type"},
                                                    {417, "Expectation Failed"},
                                                    {428, "Precondition Required"},
                                                    {429, "Too Many Requests"},
                                                    {431, "Request Header Fields Too Large"},
                                                    {500, "Internal Server Error"},
                                                    {501, "Not Implemented"},
                                                    {502, "Bad Gateway"},
                                                    {503, "Service Unavailable"},
                                                    {504, "Gateway timeout"},
                                                    {505, "HTTP version not supported"},
                                                    {511, "Network Authentication Required"}};
  auto it = kTable.find(code);
  return it == kTable.end() ? "Unknown Response Code" : it->second;
}

namespace {

// A charset value with separators or blanks must be quoted on the header line.
std::string QuoteIfSpecial(const std::string& value) {
  for (char c : value) {
    if (static_cast<unsigned char>(c) <= ' ' ||
        std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos) {
      std::string quoted = "\"";
      for (char q : value) {
        if (q == '"' || q == '\\') quoted += '\\';
        quoted += q;
      }
      return quoted + "\"";
    }
  }
  return value;
}

void SetLine(std::vector<std::string>& lines, const std::string& name, const std::string& value) {
  std::string line = name + ": " + value;
  for (auto& existing : lines) {
    size_t colon = existing.find(':');
    if (colon != std::string::npos && SameText(existing.substr(0, colon), name)) {
      existing = line;
      return;
    }
  }
  lines.push_back(std::move(line));
}

}  // namespace

std::string CookieServerForm(const TCookie& cookie) {
  std::string out = cookie.Name + "=" + cookie.Value;
  if (!cookie.Path.empty()) out += "; Path=" + cookie.Path;
  if (!cookie.Domain.empty()) out += "; Domain=" + cookie.Domain;
  if (cookie.Expires > 0) out += "; Expires=" + FormatHTTPDate(cookie.Expires);
  if (cookie.Secure) out += "; Secure";
  if (cookie.HttpOnly) out += "; HttpOnly";
  if (!cookie.SameSite.empty()) out += "; SameSite=" + cookie.SameSite;
  return out;
}

THTTPResponseInfo::THTTPResponseInfo(TIOHandler* connection, const THTTPRequestInfo* request)
    : connection_io_(connection), request_(request) {}

THTTPResponseInfo::~THTTPResponseInfo() { ReportDelivery(false); }

void THTTPResponseInfo::ReportDelivery(bool delivered) {
  TDeliveryEvent event = std::move(on_delivered_);
  on_delivered_ = nullptr;
  if (!event) return;
  try {
    event(delivered);
  } catch (...) {
    // The reply is done either way; the event's owner reports its own failures.
  }
}

void THTTPResponseInfo::SetResponseNo(int code) {
  response_no_ = code;
  response_text_ = StatusText(code);
  if (code == 404) SetCloseConnection(true);
}

void THTTPResponseInfo::SetCloseConnection(bool value) {
  close_connection_ = value;
  connection_ = value ? "close" : "keep-alive";
}

void THTTPResponseInfo::SetContentType(const std::string& value) {
  ApplyContentTypeRule(value, content_type_, char_set_);
}

void THTTPResponseInfo::SetFreeContentStream(bool value) {
  // Giving up ownership hands the stream to whoever else refers to it.
  if (!value) (void)content_stream_.TakeOwnership().release();
}

bool THTTPResponseInfo::IsHead() const { return request_ && request_->command == "HEAD"; }

bool THTTPResponseInfo::HasNoBodyStatus() const {
  return (response_no_ >= 100 && response_no_ <= 199) || response_no_ == 204 || response_no_ == 304;
}

void THTTPResponseInfo::Redirect(const std::string& url) {
  SetResponseNo(302);
  location = url;
}

std::vector<std::string> THTTPResponseInfo::BuildHeaderLines() {
  if (!auth_realm.empty()) {
    SetResponseNo(401);
    if (content_text_.empty() && !content_stream_.Get()) {
      SetContentType("text/html; charset=utf-8");
      content_text_ = "<HTML><BODY><B>401 " + response_text_ + "</B></BODY></HTML>";
      content_length_ = -1;
    }
  }
  if (content_type_.empty() && (!content_text_.empty() || content_stream_.Get()))
    SetContentType("text/html; charset=" + (char_set_.empty() ? std::string("utf-8") : char_set_));
  if (content_length_ == -1 && (transfer_encoding.empty() || SameText(transfer_encoding, "identity"))) {
    if (IsHead() || HasNoBodyStatus()) {
      content_length_ = 0;
    } else if (!content_text_.empty()) {
      content_length_ = TCharsetEncoding::ByName(char_set_).ByteCount(content_text_);
    } else if (content_stream_.Get()) {
      content_length_ = content_stream_.Get()->Size();
    } else {
      SetContentType("text/html; charset=utf-8");
      content_text_ = "<HTML><BODY><B>" + std::to_string(response_no_) + " " + response_text_ + "</B></BODY></HTML>";
      content_length_ = TCharsetEncoding::ByName(char_set_).ByteCount(content_text_);
    }
  }
  if (date <= 0) date = NowLocal();

  std::vector<std::string> lines;
  auto add = [&](const char* name, const std::string& value) {
    if (!value.empty()) SetLine(lines, name, value);
  };
  add("Connection", connection_);
  add("Content-Version", content_version);
  add("Content-Disposition", content_disposition);
  add("Content-Encoding", content_encoding);
  add("Content-Language", content_language);
  if (!content_type_.empty())
    add("Content-Type", content_type_ + (char_set_.empty() ? "" : "; charset=" + QuoteIfSpecial(char_set_)));
  if (content_length_ >= 0) add("Content-Length", std::to_string(content_length_));
  add("Cache-control", cache_control);
  add("Date", FormatHTTPDate(date));
  add("ETag", etag);
  if (expires > 0) add("Expires", FormatHTTPDate(expires));
  add("Pragma", pragma);
  add("Transfer-Encoding", transfer_encoding);
  for (size_t i = 0; i < custom_headers_.Count(); ++i) lines.push_back(custom_headers_[i]);
  if (last_modified > 0) add("Last-Modified", FormatHTTPDate(last_modified));
  add("Server", server);
  add("Location", location);
  if (www_authenticate_.Count() > 0) {
    for (size_t i = 0; i < www_authenticate_.Count(); ++i) lines.push_back("WWW-Authenticate: " + www_authenticate_[i]);
  } else if (!auth_realm.empty()) {
    lines.push_back("WWW-Authenticate: Basic realm=\"" + auth_realm + "\"");
  }
  return lines;
}

void THTTPResponseInfo::WriteHeader() {
  if (header_written_) throw EHTTPHeaderAlreadyWritten(kHeaderAlreadyWritten);
  header_written_ = true;
  std::vector<std::string> lines = BuildHeaderLines();
  if (!connection_io_) return;
  // A reason phrase or header value may repeat text of the request (a method name, a
  // path, a cookie).
  std::string head;
  auto add = [&head](const std::string& line) { head += EncodeAscii7(HeadLineText(line)) + "\r\n"; };
  add("HTTP/1.1 " + std::to_string(response_no_) + " " + response_text_);
  for (const auto& line : lines) add(line);
  for (const auto& cookie : cookies_) add("Set-Cookie: " + CookieServerForm(cookie));
  head += "\r\n";
  // What the whole reply must come to on the wire: this block and the body it announces.
  reply_start_ = connection_io_->BytesSent();
  reply_size_ = -1;
  if (IsHead() || HasNoBodyStatus()) reply_size_ = static_cast<int64_t>(head.size());
  else if (content_length_ >= 0) reply_size_ = static_cast<int64_t>(head.size()) + content_length_;
  connection_io_->WriteBytes(head);
  CountReply(response_no_);
}

bool THTTPResponseInfo::WholeReplyWritten() const {
  if (!connection_io_ || !header_written_ || connection_io_->SendFailed() || connection_io_->WriteBufferOpened())
    return false;
  // Without a length (chunked) only the absence of a failure can tell.
  if (reply_size_ < 0) return true;
  return connection_io_->BytesSent() - reply_start_ == static_cast<uint64_t>(reply_size_);
}

void THTTPResponseInfo::WriteContent() {
  // A small reply goes out as one piece, header and content together: one send and one
  // segment instead of two. A large one is not copied for it.
  TStream* const stream = content_stream_.Get();
  const bool one_piece = connection_io_ && !header_written_ &&
                         (stream ? stream->Size() : static_cast<int64_t>(content_text_.size())) <= kOnePieceReplySize;
  if (one_piece) connection_io_->WriteBufferOpen();
  try {
    if (!header_written_) WriteHeader();
    if (connection_io_ && !IsHead() && !HasNoBodyStatus()) {
      if (!content_text_.empty()) {
        connection_io_->Write(content_text_, TCharsetEncoding::ByName(char_set_));
      } else if (stream) {
        stream->SetPosition(0);
        if (HasContentLength()) {
          if (content_length_ > 0) connection_io_->WriteStream(*stream, content_length_);
        } else {
          connection_io_->WriteStream(*stream);
        }
      }
    }
    if (one_piece) connection_io_->WriteBufferClose();
  } catch (...) {
    if (one_piece) connection_io_->WriteBufferCancel();
    throw;
  }
  content_text_.clear();
  content_stream_.Reset();
}

}  // namespace ostrivan::http
