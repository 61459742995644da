#include "http/http_server.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string_view>

#include "common/base64.h"
#include "common/numbers.h"
#include "http/http_exceptions.h"
#include "http/http_metrics.h"
#include "http/text_codec.h"
#include "logging/framework_log.h"

namespace ostrivan::http {

namespace {

// "1", "-3", "+7": optional sign and decimal digits. A magnitude only the negative side
// holds counts as no number, like any other malformed text: -1.
template <typename T>
T ParseSignedDecimal(const std::string& text) {
  T value = 0;
  return ParseNumber(text, value, 10, TSign::kPlusOrMinus) && value != std::numeric_limits<T>::min() ? value : -1;
}

// A chunk size: hexadecimal digits only, at most what fits in 63 bits; anything else
// counts as 0 (which ends the body). Leading zeros are not digits of the value:
// "00000000000000003" is 3.
int64_t ParseChunkSize(const std::string& text) {
  uint64_t value = 0;
  if (!ParseNumber(text, value, 16) || value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return 0;
  return static_cast<int64_t>(value);
}

void ParseCookies(const THeaderList& headers, TRequestCookies& cookies) {
  for (const std::string& value : headers.AllValues("Cookie")) {
    size_t start = 0;
    while (start <= value.size()) {
      size_t semi = value.find(';', start);
      std::string piece = Trim(value.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
      if (!piece.empty()) {
        size_t eq = piece.find('=');
        std::string name = Trim(piece.substr(0, eq));
        std::string v = eq == std::string::npos ? std::string() : Trim(piece.substr(eq + 1));
        if (!name.empty()) cookies.emplace_back(name, v);
      }
      if (semi == std::string::npos) break;
      start = semi + 1;
    }
  }
}

std::string MediaTypeOnly(const std::string& content_type) {
  return Trim(content_type.substr(0, content_type.find(';')));
}

// "60 s", or "250 ms" for the short limits of tests.
std::string DurationText(std::chrono::milliseconds value) {
  if (value.count() % 1000 == 0) return std::to_string(value.count() / 1000) + " s";
  return std::to_string(value.count()) + " ms";
}

int TimeoutMs(std::chrono::milliseconds value) {
  return static_cast<int>(std::min<int64_t>(value.count(), std::numeric_limits<int>::max()));
}

}  // namespace

TCustomHTTPServer::~TCustomHTTPServer() { SetActive(false); }

void TCustomHTTPServer::DoExecute(TServerContext& context) { ServeConnection(context.Connection(), &context); }

void TCustomHTTPServer::DoCommandGet(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (on_command_get_) on_command_get_(connection, request, response);
}

void TCustomHTTPServer::DoCommandOther(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (on_command_other_) on_command_other_(connection, request, response);
}

void TCustomHTTPServer::StopBegun() { body_budget_.Wake(); }

void TCustomHTTPServer::ProcessConnection(TIOHandler& connection) { ServeConnection(connection, nullptr); }

void TCustomHTTPServer::ServeConnection(TIOHandler& connection, TServerContext* context) {
  try {
    for (;;) {
      bool reading_body = false;
      try {
        if (!ServeOneRequest(connection, context, reading_body)) break;
      } catch (const EReadTimeout&) {
        // Logged once per connection, which is closed without a reply.
        logging::FrameworkLogWarn(reading_body ? "Connection from " + connection.PeerIP() +
                                                     " closed: no body byte for " + DurationText(body_idle_timeout_)
                                               : "Connection from " + connection.PeerIP() +
                                                     " closed: request line and headers not complete within " +
                                                     DurationText(head_timeout_));
        break;
      }
    }
  } catch (const ESocketError&) {
    // The client went away or the server is stopping: nothing more to say.
  } catch (...) {
    connection.Close();
    throw;
  }
  // Whoever met the failed send (it may have been absorbed on the way), it is told once.
  if (connection.SendError() == ETIMEDOUT)
    logging::FrameworkLogWarn("Connection from " + connection.PeerIP() + " closed: no reply byte taken for " +
                              DurationText(send_idle_timeout_.load()));
  connection.Close();
}

bool TCustomHTTPServer::ServeOneRequest(TIOHandler& connection, TServerContext* context, bool& reading_body) {
  // Outlives the request record, so the body's share is given back once it is freed.
  TBodyReservation reservation;
  THTTPRequestInfo request;
  THTTPResponseInfo response(&connection, &request);
  ReadRequestHead(connection, request, response);

  // Before anything is invited or read: a refused caller's body never is.
  if (admission_ && !admission_(request)) {
    RefuseCaller(connection, request, response);
    return false;
  }

  reading_body = true;
  connection.SetReadIdleTimeout(TimeoutMs(body_idle_timeout_));
  if (!AcceptHeaders(connection, request, response)) return false;
  if (!ReadBody(connection, request, response, reservation)) return false;
  connection.SetReadIdleTimeout(-1);
  reading_body = false;
  // From here on the request has begun and is carried out, a stop notwithstanding;
  // one that arrived while it was still being read ends it unanswered.
  if (context && !context->BeginRequest()) return false;

  Dispatch(connection, request, response, context);
  // The handler is done with the body: its memory goes back before the reply is sent.
  request.post_stream.reset();
  reservation.Reset();

  if (response.Abandoned()) {
    // Given up before its work began: no byte of a reply, the client sees the
    // connection end with nothing done.
    connection.Abort();
    return false;
  }
  return SendReply(connection, response, context);
}

void TCustomHTTPServer::ReadRequestHead(TIOHandler& connection, THTTPRequestInfo& request,
                                        THTTPResponseInfo& response) {
  connection.SetReadIdleTimeout(-1);
  connection.SetWriteIdleTimeout(TimeoutMs(send_idle_timeout_.load()));
  connection.SetReadDeadline(std::chrono::steady_clock::now() + head_timeout_);
  std::string line = connection.ReadLn();
  size_t last_space = line.rfind(' ');
  if (last_space == std::string::npos) throw EHTTPErrorParsingCommand(kErrorParsingCommand);

  response.server = Trim(server_software_);
  connection.SetMaxCapturedLines(maximum_header_line_count_);

  request.version = line.substr(last_space + 1);
  std::string numbers = request.version;
  size_t slash = numbers.find('/');
  numbers = slash == std::string::npos ? std::string() : numbers.substr(slash + 1);
  size_t dot = numbers.find('.');
  request.version_major = ParseSignedDecimal<int32_t>(numbers.substr(0, dot));
  request.version_minor = dot == std::string::npos ? -1 : ParseSignedDecimal<int32_t>(numbers.substr(dot + 1));
  std::string cut = line.substr(0, last_space);

  connection.Capture(request.raw_headers);
  connection.ClearReadDeadline();

  const THeaderList& h = request.raw_headers;
  request.host = h.Values("Host");
  request.connection = h.Values("Connection");
  request.accept = h.Values("Accept");
  request.from = h.Values("From");
  request.referer = h.Values("Referer");
  request.user_agent = h.Values("User-Agent");
  request.content_encoding = h.Values("Content-Encoding");
  request.transfer_encoding = h.Values("Transfer-Encoding");
  request.cache_control = h.Values("Cache-control");
  request.pragma = h.Values("Pragma");
  request.SetContentType(h.Values("Content-Type"));
  request.content_length = ParseSignedDecimal<int64_t>(h.Values("Content-Length"));
  request.method_override = h.Values("X-HTTP-Method-Override");

  response.SetCloseConnection(!keep_alive_);

  size_t first_space = cut.find(' ');
  std::string method = UpperCase(first_space == std::string::npos ? cut : cut.substr(0, first_space));
  if (method == "POST") {
    for (const char* name : {"X-HTTP-Method-Override", "X-HTTP-Method", "X-METHOD-OVERRIDE"}) {
      std::string value = h.Values(name);
      if (!value.empty()) {
        method = UpperCase(value);
        break;
      }
    }
  }
  request.raw_http_command = line;
  request.remote_ip = connection.PeerIP();
  request.command = method;
  request.command_type = CommandTypeOf(method);

  std::string target = first_space == std::string::npos ? std::string() : cut.substr(first_space + 1);
  size_t question = target.find('?');
  request.uri = target.substr(0, question);
  request.query_params = question == std::string::npos ? std::string() : target.substr(question + 1);
  std::string absolute_host;
  request.document = DocumentFromURI(request.uri, &absolute_host);
  if (request.host.empty() && h.IndexOfName("Host") < 0) request.host = absolute_host;
}

void TCustomHTTPServer::Dispatch(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response,
                                 TServerContext* context) {
  if (request.post_stream && SameText(MediaTypeOnly(request.ContentType()), "application/x-www-form-urlencoded")) {
    request.form_params = Latin1ToUtf8(request.post_stream->Bytes());
    request.post_stream.reset();
  }
  request.unparsed_params = request.form_params;
  if (!request.query_params.empty()) {
    if (!request.unparsed_params.empty()) request.unparsed_params += "&";
    request.unparsed_params += request.query_params;
  }
  ParseCookies(request.raw_headers, request.cookies);
  if (context) request.stop_token = context->StopToken();
  RunGuarded(connection, request, response);
}

bool TCustomHTTPServer::SendReply(TIOHandler& connection, THTTPResponseInfo& response, TServerContext* context) {
  if (!response.HeaderHasBeenWritten()) response.WriteHeader();
  if (!response.ContentText().empty() || response.ContentStream()) response.WriteContent();
  if (response.WaitsForDelivery()) {
    // Delivered only when every byte of the reply went to the socket without a failed
    // send (an error absorbed on the way counts too) and the client's acknowledgements
    // then say it arrived; the connection ends here. A stop lets this wait finish
    // within its grace, then aborts it.
    const bool whole = response.WholeReplyWritten();
    response.ReportDelivery(whole &&
                            connection.WaitDelivered(std::chrono::steady_clock::now() + delivery_deadline_.load()));
    if (context) context->EndRequest();
    return false;
  }
  if (context) context->EndRequest();
  return !response.CloseConnection();
}

// A request refused before dispatch: the status line, the header block and the default
// page that the header announces, so a client never waits for bytes that do not come.
void TCustomHTTPServer::RejectEarly(THTTPResponseInfo& response, int status) {
  response.SetResponseNo(status);
  response.SetCloseConnection(true);
  response.WriteHeader();
  if (!response.ContentText().empty()) response.WriteContent();
}

bool TCustomHTTPServer::AcceptHeaders(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  bool at_least_1_1 = request.version_major > 1 || (request.version_major == 1 && request.version_minor >= 1);
  if (!at_least_1_1) return true;
  // The header itself: the host of an absolute target does not make up for it.
  if (request.raw_headers.Values("Host").empty()) {
    RejectEarly(response, 400);
    return false;
  }
  if (!connection.InputBufferIsEmpty()) return true;
  std::string expect = request.raw_headers.Values("Expect");
  if (expect.empty()) return true;
  if (!SameText(expect, "100-continue")) {
    RejectEarly(response, 417);
    return false;
  }
  // A body the server will refuse is not invited: the 413 goes out instead.
  int64_t limit = max_request_body_size_.load();
  bool chunked = !request.transfer_encoding.empty() && !SameText(request.transfer_encoding, "identity");
  if (!chunked && limit > 0 && request.content_length > limit) return true;
  connection.WriteBytes(EncodeAscii7(HeadLineText(request.version + " 100 Continue") + "\r\n\r\n"));
  return true;
}

TBodyReservation TCustomHTTPServer::ReserveBody(TIOHandler& connection, int64_t bytes) {
  TBodyReservation reservation = body_budget_.Reserve(bytes, [&] { return Stopping() || !connection.Connected(); });
  if (bytes > 0 && reservation.Bytes() == 0) throw EClosedSocket("Disconnected.");
  return reservation;
}

bool TCustomHTTPServer::ReadBody(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response,
                                 TBodyReservation& reservation) {
  int64_t limit = max_request_body_size_.load();
  const std::string& te = request.transfer_encoding;
  if (!te.empty() && !SameText(te, "identity")) {
    if (LowerCase(te).find("chunked") == std::string::npos) {
      RejectEarly(response, 400);
      return false;
    }
    // The size is known only at the end: take the most a body may be, then keep what
    // it turned out to be.
    reservation = ReserveBody(connection, limit > 0 ? limit : body_budget_.Capacity());
    request.post_stream = std::make_unique<TMemoryStream>();
    for (;;) {
      std::string size_line = connection.ReadLn();
      int64_t size = ParseChunkSize(Trim(size_line.substr(0, size_line.find(';'))));
      if (size == 0) break;
      if (limit > 0 && size > limit - request.post_stream->Size()) {
        RefuseOversizedBody(connection, response, -1);
        return false;
      }
      connection.ReadStream(*request.post_stream, size);
      connection.ReadLn();
    }
    while (!connection.ReadLn().empty()) {
    }
    reservation.ShrinkTo(request.post_stream->Size());
    request.post_stream->SetPosition(0);
    return true;
  }
  if (request.HasContentLength()) {
    if (limit > 0 && request.content_length > limit) {
      RefuseOversizedBody(connection, response, request.content_length);
      return false;
    }
    reservation = ReserveBody(connection, request.content_length);
    request.post_stream = std::make_unique<TMemoryStream>();
    if (request.content_length > 0) {
      // One allocation of the exact size, without the slack of a growing buffer.
      request.post_stream->Reserve(std::min(request.content_length, body_budget_.Capacity()));
      connection.ReadStream(*request.post_stream, request.content_length);
    }
    request.post_stream->SetPosition(0);
    return true;
  }
  if (request.command_type == hcPOST || request.command_type == hcPUT) {
    if (connection.CheckForDataOnSource(1)) {
      RejectEarly(response, 411);
      return false;
    }
  }
  return true;
}

void TCustomHTTPServer::RefuseOversizedBody(TIOHandler& connection, THTTPResponseInfo& response, int64_t pending) {
  const TBodyRefusal refusal = body_refusal_ ? body_refusal_(max_request_body_size_.load()) : TBodyRefusal{};
  if (!refusal.log_line.empty()) logging::FrameworkLogError(refusal.log_line);
  response.SetResponseNo(refusal.status);
  response.SetCloseConnection(true);
  if (!refusal.text.empty()) {
    response.SetContentType("text/html; charset=utf-8");
    response.SetContentText(refusal.text);
  }
  response.WriteContent();
  connection.ShutdownSend();
  connection.Discard(pending, std::chrono::steady_clock::now() + kRefusedBodyDrainTime);
}

void TCustomHTTPServer::RefuseCaller(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  CountRefusal();
  // The path is the caller's text: no line breaks or control bytes reach the log.
  std::string path;
  for (char c : request.document.substr(0, 200)) path += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  logging::FrameworkLogWarn("Caller " + request.remote_ip + " refused (not on the allow-list): " + request.command +
                            " " + path);
  RejectEarly(response, 403);
  // The client reads the 403 rather than a reset: whatever body it sends is drained
  // unread for a moment, then the connection closes.
  connection.ShutdownSend();
  const bool chunked = !request.transfer_encoding.empty() && !SameText(request.transfer_encoding, "identity");
  const int64_t pending = chunked ? -1 : std::max<int64_t>(request.content_length, 0);
  if (pending != 0) connection.Discard(pending, std::chrono::steady_clock::now() + kRefusedBodyDrainTime);
}

void TCustomHTTPServer::RunGuarded(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  try {
    std::string authorization = request.raw_headers.Values("Authorization");
    if (!authorization.empty()) {
      size_t space = authorization.find(' ');
      request.auth_type = authorization.substr(0, space);
      if (!SameText(request.auth_type, "Basic"))
        throw EHTTPUnsupportedAuthorisationScheme(kUnsupportedAuthorisationScheme);
      std::string decoded =
          Utf8FromBytes(DecodeBase64(space == std::string::npos ? std::string() : Trim(authorization.substr(space + 1)),
                                     Base64Decoding::kStopAtPadding));
      size_t colon = decoded.find(':');
      request.auth_username = decoded.substr(0, colon);
      request.auth_password = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
      request.auth_exists = true;
    }
    if (request.command_type == hcHEAD || request.command_type == hcGET || request.command_type == hcPOST)
      DoCommandGet(connection, request, response);
    else DoCommandOther(connection, request, response);
  } catch (const ESocketError&) {
    throw;
  } catch (const EHTTPUnsupportedAuthorisationScheme& e) {
    // An error reply replaces whatever was prepared: its delivery is not the one awaited.
    response.ReportDelivery(false);
    response.SetResponseNo(401);
    response.SetContentText(e.Message());
    response.SetCharSet("utf-8");
    bool has_basic = false;
    THeaderList& auth = response.WWWAuthenticate();
    for (size_t i = 0; i < auth.Count(); ++i) {
      std::string first = auth[i].substr(0, auth[i].find(' '));
      if (SameText(first, "Basic")) has_basic = true;
    }
    if (!has_basic) auth.Add("Basic");
  } catch (const std::exception& e) {
    response.ReportDelivery(false);
    response.SetResponseNo(500);
    response.SetContentText(e.what());
    response.SetCharSet("utf-8");
  } catch (...) {
    logging::FrameworkLogError("Request " + request.command + " " + request.document + " from " + request.remote_ip +
                               " failed with something that is no exception");
    response.ReportDelivery(false);
    response.SetResponseNo(500);
    response.SetContentText("Unknown exception");
    response.SetCharSet("utf-8");
  }
}

}  // namespace ostrivan::http
