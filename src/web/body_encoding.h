#pragma once
// Character sets a request body may be declared in, and their decoding to UTF-8 text.
#include <string>
#include <string_view>

namespace ostrivan::web {

enum class TBodyEncoding { kUtf8, kLatin1, kAscii, kWindows1252, kUtf16LE, kUtf16BE };

// Looks a charset name up case-insensitively: "utf-8", "iso-8859-1", "us-ascii",
// "windows-1252", "utf-16" (little-endian), "utf-16le", "utf-16be", a few common
// aliases, and "cp" + the code page number of one of these ("cp65001", "cp1252", ...).
// An unknown name raises EEncodingError "Invalid encoding name".
TBodyEncoding FindBodyEncoding(std::string_view name);

// Decodes bytes to UTF-8. Invalid sequences become U+FFFD; "?" stands for bytes that
// US-ASCII does not define. A byte-order mark is kept as a character.
std::string DecodeBody(TBodyEncoding encoding, std::string_view bytes);

}  // namespace ostrivan::web
