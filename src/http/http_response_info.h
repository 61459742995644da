#pragma once
// The reply of one request, and how it goes on the wire: status line and header block
// in one send, then the body.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/owned_or_borrowed.h"
#include "http/date_time.h"
#include "http/header_list.h"
#include "http/stream.h"
#include "http/web_request.h"

namespace ostrivan::http {

class TIOHandler;
class THTTPRequestInfo;

// Reason phrase of a status code; "Unknown Response Code" for codes not in the table.
std::string StatusText(int code);

class THTTPResponseInfo {
 public:
  // Content up to this size is sent together with the header in one piece.
  static constexpr int64_t kOnePieceReplySize = 65536;

  // connection and request may be null (a record that is never written).
  THTTPResponseInfo(TIOHandler* connection, const THTTPRequestInfo* request);
  ~THTTPResponseInfo();
  THTTPResponseInfo(const THTTPResponseInfo&) = delete;
  THTTPResponseInfo& operator=(const THTTPResponseInfo&) = delete;

  int ResponseNo() const { return response_no_; }
  // Also sets ResponseText from the status table; a 404 also closes the connection.
  void SetResponseNo(int code);
  const std::string& ResponseText() const { return response_text_; }
  void SetResponseText(std::string text) { response_text_ = std::move(text); }

  bool CloseConnection() const { return close_connection_; }
  // Also sets the "Connection" header text: "close" or "keep-alive".
  void SetCloseConnection(bool value);
  const std::string& Connection() const { return connection_; }

  const std::string& ContentType() const { return content_type_; }
  void SetContentType(const std::string& value);
  const std::string& CharSet() const { return char_set_; }
  void SetCharSet(std::string value) { char_set_ = std::move(value); }

  int64_t ContentLength() const { return content_length_; }
  void SetContentLength(int64_t value) { content_length_ = value; }
  bool HasContentLength() const { return content_length_ >= 0; }
  const std::string& ContentText() const { return content_text_; }
  void SetContentText(std::string text) { content_text_ = std::move(text); }

  TStream* ContentStream() const { return content_stream_.Get(); }
  // A stream the record owns and frees once written, or one it only refers to.
  void SetContentStream(std::unique_ptr<TStream> stream) { content_stream_.Own(std::move(stream)); }
  void SetContentStreamRef(TStream* stream) { content_stream_.Borrow(stream); }
  // True unless the record refers to a stream someone else frees.
  bool FreeContentStream() const { return content_stream_.Owned() || content_stream_.Get() == nullptr; }
  // false gives up an owned stream to whoever else refers to it.
  void SetFreeContentStream(bool value);

  THeaderList& CustomHeaders() { return custom_headers_; }
  std::vector<TCookie>& Cookies() { return cookies_; }
  THeaderList& WWWAuthenticate() { return www_authenticate_; }

  // Local date-times; written when greater than 0.
  TDateTime date = 0;
  TDateTime expires = 0;
  TDateTime last_modified = 0;
  std::string location, server, content_encoding, content_version, content_disposition, content_language, cache_control,
      etag, pragma, transfer_encoding, auth_realm;

  bool HeaderHasBeenWritten() const { return header_written_; }
  // Raises EHTTPHeaderAlreadyWritten on a second call.
  void WriteHeader();
  void WriteContent();
  void Redirect(const std::string& url);

  // Set when someone must learn whether this reply reached the client (see
  // TDeliveryEvent); the server then waits for the acknowledgements after writing it.
  void SetOnDelivered(TDeliveryEvent event) { on_delivered_ = std::move(event); }
  bool WaitsForDelivery() const { return static_cast<bool>(on_delivered_); }
  // Calls the event once and forgets it; a record freed without it reports false.
  void ReportDelivery(bool delivered);
  // Whether every byte of the reply (header block and the body it announced) was handed
  // to the connection without a failed send in between: the first half of a proof of
  // delivery, the client's acknowledgements being the second.
  bool WholeReplyWritten() const;

  // The request was given up without a reply (a stop came before its work began): the
  // server sends nothing and ends the connection, so the client knows nothing was done.
  void Abandon() { abandoned_ = true; }
  bool Abandoned() const { return abandoned_; }

  // The header lines WriteHeader would send now (after its fill-in steps); exposed so
  // the order can be checked without a connection.
  std::vector<std::string> BuildHeaderLines();

 private:
  bool IsHead() const;
  bool HasNoBodyStatus() const;

  TIOHandler* connection_io_;
  const THTTPRequestInfo* request_;
  int response_no_ = 200;
  std::string response_text_ = "OK";
  bool close_connection_ = false;
  bool abandoned_ = false;
  std::string connection_;
  std::string content_type_;
  std::string char_set_;
  int64_t content_length_ = -1;
  std::string content_text_;
  TOwnedOrBorrowed<TStream> content_stream_;
  THeaderList custom_headers_;
  std::vector<TCookie> cookies_;
  THeaderList www_authenticate_;
  bool header_written_ = false;
  // The connection's byte count when the reply began, and the reply's size on the wire
  // (-1: not known in advance).
  uint64_t reply_start_ = 0;
  int64_t reply_size_ = -1;
  TDeliveryEvent on_delivered_;
};

// The Set-Cookie form of a cookie: name=value and its attributes.
std::string CookieServerForm(const TCookie& cookie);

}  // namespace ostrivan::http
