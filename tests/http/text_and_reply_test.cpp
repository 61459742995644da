// Character sets, the content type rule, header lists, status texts and reply writing.
#include <gtest/gtest.h>

#include "http/date_time.h"
#include "http/http_exceptions.h"
#include "http/http_request_info.h"
#include "http/http_response_info.h"
#include "http/io_handler.h"
#include "http/text_codec.h"

namespace ostrivan::http {
namespace {

TEST(CharsetEncoding, EncodesByName) {
  struct Case {
    const char* name;
    std::string text;
    std::string bytes;
  };
  const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC";
  const Case cases[] = {
      {"utf-8", "a" + e_acute + euro, "a\xC3\xA9\xE2\x82\xAC"},
      {"UTF-8", e_acute, "\xC3\xA9"},
      {"iso-8859-1", "a" + e_acute + euro, "a\xE9?"},
      {"us-ascii", "a" + e_acute + euro, "a??"},
      {"windows-1252", "a" + e_acute + euro, "a\xE9\x80"},
      {"", e_acute + euro, "\xE9?"},  // empty: one byte per character
      {"x-unknown", e_acute + euro, "\xE9?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCharsetEncoding enc = TCharsetEncoding::ByName(c.name);
    EXPECT_EQ(enc.Encode(c.text), c.bytes);
    EXPECT_EQ(enc.ByteCount(c.text), static_cast<int64_t>(c.bytes.size()));
  }
  EXPECT_EQ(TCharsetEncoding::ByName("windows-1252").Decode("\x80\xE9"), euro + e_acute);
  EXPECT_EQ(TCharsetEncoding::ByName("utf-8").Decode("a\xFF"), "a\xEF\xBF\xBD");
}

TEST(ContentTypeRule, SplitsCharsetAndDefaultsTextTypes) {
  struct Case {
    std::string value;
    std::string prior_charset;
    std::string type;
    std::string charset;
  };
  const Case cases[] = {
      {"text/plain", "", "text/plain", "ISO-8859-1"},
      {"text/xml", "", "text/xml", "us-ascii"},
      {"text/svg+xml", "", "text/svg+xml", "us-ascii"},
      {"text/xml-external-parsed-entity", "", "text/xml-external-parsed-entity", "us-ascii"},
      {"application/json", "", "application/json", ""},
      {"application/json;charset=utf-8", "", "application/json", "utf-8"},
      {"text/html; charset=\"UTF-8\"; level=1", "", "text/html; level=1", "UTF-8"},
      {"application/json", "utf-8", "application/json", "utf-8"},  // keeps its value
      {"text/plain", "utf-8", "text/plain", "utf-8"},
      {"", "utf-8", "", ""},  // clears both
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string type, charset = c.prior_charset;
    ApplyContentTypeRule(c.value, type, charset);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(charset, c.charset);
  }
}

TEST(HeaderList, LookupIsCaseInsensitiveFirstWinsAndFoldsContinuations) {
  THeaderList h;
  for (const char* line :
       {"Host:  a  ", "X-Long: one", " two", "\tthree", "host: b", "no colon", "Empty:", "X-Long : spaced"})
    h.Add(line);
  EXPECT_EQ(h.Values("HOST"), "a");
  EXPECT_EQ(h.Values("x-long"), "one two three");
  EXPECT_EQ(h.Values("Empty"), "");
  EXPECT_EQ(h.IndexOfName("Empty"), 6);
  EXPECT_EQ(h.Values("no colon"), "");
  EXPECT_EQ(h.Values(""), "");
  EXPECT_EQ(h.Values("X-Long "), "spaced");  // the name is the text before ":" as sent
  EXPECT_EQ(h.AllValues("host").size(), 2u);
}

TEST(StatusText, Table) {
  EXPECT_EQ(StatusText(200), "OK");
  EXPECT_EQ(StatusText(302), "Moved Temporarily");
  EXPECT_EQ(StatusText(413), "Request Entity Too Long");
  EXPECT_EQ(StatusText(414), "Request-URI Too Long. 256 Chars max");
  EXPECT_EQ(StatusText(504), "Gateway timeout");
  for (int code : {101, 402, 416, 999, -1}) EXPECT_EQ(StatusText(code), "Unknown Response Code") << code;
}

TEST(HttpDate, FormatsUtcFromLocalAndParsesBack) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  // 2025-05-24 10:05:09 local summer time = 08:05:09 UTC.
  TDateTime local = 45801.0 + (10 * 3600 + 5 * 60 + 9) / 86400.0;
  EXPECT_EQ(FormatHTTPDate(local), "Sat, 24 May 2025 08:05:09 GMT");
  EXPECT_NEAR(ParseHTTPDate("Sat, 24 May 2025 08:05:09 GMT"), local, 1e-6);
  EXPECT_EQ(ParseHTTPDate(""), -1);
  EXPECT_EQ(ParseHTTPDate("yesterday"), -1);
  // Conversions are remembered per second; a new zone setting is honoured at once.
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(FormatHTTPDate(local), "Sat, 24 May 2025 10:05:09 GMT");
  EXPECT_EQ(FormatHTTPDate(local), "Sat, 24 May 2025 10:05:09 GMT");
  TDateTime utc_now = NowLocal();
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  EXPECT_EQ(FormatHTTPDate(local), "Sat, 24 May 2025 08:05:09 GMT");
  EXPECT_GT(NowLocal() - utc_now, 0.5 / 24);  // an hour or two ahead of UTC
  unsetenv("TZ");
  tzset();
}

struct ReplyCapture {
  ReplyCapture() : transport(new TMemoryTransport("")), io(std::unique_ptr<ITransport>(transport)) {}
  TMemoryTransport* transport;
  TIOHandler io;
};

std::string Masked(const std::string& s) {
  size_t d = s.find("\r\nDate: ");
  if (d == std::string::npos) return s;
  size_t e = s.find("\r\n", d + 2);
  return s.substr(0, d) + "\r\nDate: *" + s.substr(e);
}

TEST(ResponseInfo, DefaultPageLengthRulesAndHeaderOrder) {
  struct Case {
    int status;
    std::string method;
    std::string expected;
  };
  const Case cases[] = {
      {200, "GET",
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
       "Content-Length: 39\r\nDate: *\r\n\r\n<HTML><BODY><B>200 OK</B></BODY></HTML>"},
      {204, "GET", "HTTP/1.1 204 No Content\r\nConnection: close\r\nContent-Length: 0\r\nDate: *\r\n\r\n"},
      {304, "GET", "HTTP/1.1 304 Not Modified\r\nConnection: close\r\nContent-Length: 0\r\nDate: *\r\n\r\n"},
      {100, "GET", "HTTP/1.1 100 Continue\r\nConnection: close\r\nContent-Length: 0\r\nDate: *\r\n\r\n"},
      {200, "HEAD", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\nDate: *\r\n\r\n"},
      {416, "GET",
       "HTTP/1.1 416 Unknown Response Code\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
       "Content-Length: 58\r\nDate: *\r\n\r\n<HTML><BODY><B>416 Unknown Response Code</B></BODY></HTML>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    ReplyCapture cap;
    THTTPRequestInfo request;
    request.command = c.method;
    THTTPResponseInfo r(&cap.io, &request);
    r.SetCloseConnection(true);
    r.SetResponseNo(c.status);
    r.WriteContent();
    EXPECT_EQ(Masked(cap.transport->Output()), c.expected);
  }
}

TEST(ResponseInfo, EveryFieldInItsPlaceAndHeaderBlockInOneSend) {
  ReplyCapture cap;
  THTTPRequestInfo request;
  request.command = "GET";
  THTTPResponseInfo r(&cap.io, &request);
  r.SetCloseConnection(true);
  r.SetResponseNo(201);
  r.SetContentType("text/plain");
  r.SetContentText("caf\xC3\xA9");
  r.content_version = "1";
  r.content_disposition = "inline";
  r.content_encoding = "identity";
  r.content_language = "it";
  r.cache_control = "no-cache";
  r.etag = "\"e\"";
  r.pragma = "p";
  r.server = "S";
  r.location = "/l";
  r.CustomHeaders().AddValue("X-A", "1");
  r.CustomHeaders().AddValue("Server", "custom");  // replaced in place by the Server field
  TCookie cookie;
  cookie.Name = "c";
  cookie.Value = "v";
  cookie.Path = "/";
  r.Cookies().push_back(cookie);
  r.WriteContent();
  EXPECT_EQ(Masked(cap.transport->Output()),
            "HTTP/1.1 201 Created\r\nConnection: close\r\nContent-Version: 1\r\n"
            "Content-Disposition: inline\r\nContent-Encoding: identity\r\nContent-Language: it\r\n"
            "Content-Type: text/plain; charset=ISO-8859-1\r\nContent-Length: 4\r\nCache-control: no-cache\r\n"
            "Date: *\r\nETag: \"e\"\r\nPragma: p\r\nX-A: 1\r\nServer: S\r\nLocation: /l\r\n"
            "Set-Cookie: c=v; Path=/\r\n\r\ncaf\xE9");
  EXPECT_EQ(cap.transport->SendCount(), 1u);  // a small reply: header block and body together
  EXPECT_THROW(r.WriteHeader(), EHTTPHeaderAlreadyWritten);

  // A large body is not copied to join its header: header block, then body.
  ReplyCapture big;
  THTTPResponseInfo large(&big.io, &request);
  std::string text(THTTPResponseInfo::kOnePieceReplySize + 1, 'x');
  large.SetContentText(text);
  large.WriteContent();
  EXPECT_EQ(big.transport->SendCount(), 2u);
  EXPECT_EQ(big.transport->Output().substr(big.transport->Output().size() - text.size()), text);
}

TEST(ResponseInfo, ControlCharactersNeverBreakTheHeadBlock) {
  // Reason phrases and header values may carry text from the request (a method name, a
  // path): every control character becomes a space, so no line of the client's can be
  // injected into the reply's head.
  ReplyCapture cap;
  THTTPRequestInfo request;
  request.command = "GET";
  THTTPResponseInfo r(&cap.io, &request);
  r.SetCloseConnection(true);
  r.SetResponseNo(500);
  r.SetResponseText("Unknown [FOO\rSet-Cookie: a=b\n\x01\x7F]");
  r.SetContentType("text/plain");
  r.SetContentText("x");
  r.location = "/a\r\nX-Evil: 1";
  r.CustomHeaders().AddValue("X-Path", "p\tq\r\n\r\nbody");
  TCookie cookie;
  cookie.Name = "c";
  cookie.Value = "v\r\nX-Evil: 2";
  r.Cookies().push_back(cookie);
  r.WriteContent();
  EXPECT_EQ(Masked(cap.transport->Output()),
            "HTTP/1.1 500 Unknown [FOO Set-Cookie: a=b   ]\r\nConnection: close\r\n"
            "Content-Type: text/plain; charset=ISO-8859-1\r\nContent-Length: 1\r\nDate: *\r\n"
            "X-Path: p q    body\r\nLocation: /a  X-Evil: 1\r\nSet-Cookie: c=v  X-Evil: 2\r\n\r\nx");
}

TEST(ResponseInfo, StreamBodyRespectsGivenLengthAndOwnership) {
  ReplyCapture cap;
  THTTPRequestInfo request;
  request.command = "GET";
  THTTPResponseInfo r(&cap.io, &request);
  r.SetContentType("application/octet-stream");
  r.SetContentStream(std::make_unique<TMemoryStream>("0123456789"));
  r.SetContentLength(4);
  r.WriteContent();
  std::string out = cap.transport->Output();
  EXPECT_NE(out.find("Content-Length: 4\r\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 4), "0123");
  EXPECT_EQ(r.ContentStream(), nullptr);
}

TEST(ResponseInfo, AuthRealmTurnsTheReplyInto401) {
  ReplyCapture cap;
  THTTPRequestInfo request;
  request.command = "GET";
  THTTPResponseInfo r(&cap.io, &request);
  r.auth_realm = "zone";
  r.WriteContent();
  std::string out = cap.transport->Output();
  EXPECT_EQ(out.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
  EXPECT_NE(out.find("WWW-Authenticate: Basic realm=\"zone\"\r\n"), std::string::npos);
  EXPECT_NE(out.find("<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>"), std::string::npos);
}

}  // namespace
}  // namespace ostrivan::http
