#pragma once
// What the connection loop parsed out of one request.
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "http/header_list.h"
#include "http/stream.h"

namespace ostrivan::http {

// Method table: index of the method token, 0 for anything not listed (PATCH included).
enum THTTPCommandType : int {
  hcUnknown = 0,
  hcHEAD = 1,
  hcGET = 2,
  hcPOST = 3,
  hcDELETE = 4,
  hcPUT = 5,
  hcTRACE = 6,
  hcOPTION = 7,
};
THTTPCommandType CommandTypeOf(const std::string& method);

using TRequestCookies = std::vector<std::pair<std::string, std::string>>;

class THTTPRequestInfo {
 public:
  std::string raw_http_command;  // request line without its terminator
  std::string command;           // method, upper-cased, after override
  THTTPCommandType command_type = hcUnknown;
  std::string version;  // text after the last space, as sent
  int version_major = -1;
  int version_minor = -1;
  std::string uri;           // target before its first "?", not decoded
  std::string query_params;  // target after its first "?", not decoded
  std::string document;      // decoded path
  THeaderList raw_headers;
  std::string host, connection, accept, from, referer, user_agent, content_encoding, transfer_encoding, cache_control,
      pragma;
  int64_t content_length = -1;  // -1 when absent or not a number
  std::string method_override;
  std::string remote_ip;
  // Requested when the server serving the connection begins to stop; a request fed
  // from memory gets one that never is.
  std::stop_token stop_token;
  std::unique_ptr<TMemoryStream> post_stream;  // the body, positioned at 0
  std::string form_params;                     // a form body, one character per byte
  std::string unparsed_params;
  TRequestCookies cookies;
  std::string auth_type, auth_username, auth_password;
  bool auth_exists = false;

  bool HasContentLength() const { return content_length >= 0; }
  // Media type without its charset parameter, and the charset (content type rule).
  const std::string& ContentType() const { return content_type_; }
  const std::string& CharSet() const { return char_set_; }
  void SetContentType(const std::string& value);

 private:
  std::string content_type_;
  std::string char_set_;
};

// The content type rule of both records: splits the "charset" parameter off value.
// Without one, a text/* type gets "us-ascii" (XML subtypes) or "ISO-8859-1" when the
// charset was empty; otherwise the charset keeps its value. Empty value clears both.
void ApplyContentTypeRule(const std::string& value, std::string& content_type, std::string& char_set);

// Percent-decoding of a request path: %XX is a byte, %uXXXX a UTF-16 value, "+" stays,
// a malformed escape is dropped; the bytes are then read as UTF-8.
std::string DecodePathSegment(const std::string& text);
// The Document of a target: backslashes, fragment, absolute form, decoding. Sets host
// to the target's host when it is absolute.
std::string DocumentFromURI(const std::string& uri, std::string* absolute_host);

}  // namespace ostrivan::http
