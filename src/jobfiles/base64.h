#pragma once
// Base64 as job payloads carry it: CR LF after every 76 characters, and decoding that
// skips whatever is not in the alphabet, "=" included ("QQ==\r\n" -> "A").
#include <string>
#include <string_view>

#include "common/base64.h"

namespace ostrivan::jobs {

using ostrivan::EncodeBase64;

inline std::string DecodeBase64(std::string_view text) {
  return ostrivan::DecodeBase64(text, Base64Decoding::kSkipOutsideAlphabet);
}

inline void DecodeBase64InPlace(std::string& text) {
  ostrivan::DecodeBase64InPlace(text, Base64Decoding::kSkipOutsideAlphabet);
}

}  // namespace ostrivan::jobs
