#pragma once
// Entry-name decoding: names without the UTF-8 flag are code page 437 (the DOS default
// of zip tools); UTF-8 names with broken sequences get one U+FFFD per bad byte instead
// of failing, so the file stored on disk is named the same on every run.
#include <cstdint>
#include <string>

namespace ostrivan::archive {

std::string CodePage437ToUTF8(const std::string& bytes);
std::string SanitizeUTF8(const std::string& bytes);

}  // namespace ostrivan::archive
