// Table-driven base64: two 12-bit look-ups per three bytes when encoding, four 32-bit
// look-ups per four characters when decoding, with a byte-at-a-time path only around
// characters that are skipped (line breaks, padding, anything else).
#include "common/base64.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/large_buffer.h"

namespace ostrivan {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters per line: 19 groups of four.
constexpr std::size_t kGroupsPerLine = 19;

struct EncodeTable {
  std::array<char, 4096 * 2> pairs{};  // every 12-bit value as two characters
  EncodeTable() {
    for (std::size_t v = 0; v < 4096; ++v) {
      pairs[2 * v] = kAlphabet[v >> 6];
      pairs[2 * v + 1] = kAlphabet[v & 63];
    }
  }
};

// Invalid characters carry bit 24, so one OR of four look-ups tells whether a group of
// four characters is all alphabet.
constexpr std::uint32_t kInvalid = 0x01000000;

struct DecodeTable {
  std::array<std::uint32_t, 256> shift18{}, shift12{}, shift6{}, shift0{};
  std::array<std::int8_t, 256> value{};
  DecodeTable() {
    shift18.fill(kInvalid);
    shift12.fill(kInvalid);
    shift6.fill(kInvalid);
    shift0.fill(kInvalid);
    value.fill(-1);
    for (std::uint32_t v = 0; v < 64; ++v) {
      const auto c = static_cast<unsigned char>(kAlphabet[v]);
      shift18[c] = v << 18;
      shift12[c] = v << 12;
      shift6[c] = v << 6;
      shift0[c] = v;
      value[c] = static_cast<std::int8_t>(v);
    }
  }
};

const EncodeTable& Encoder() {
  static const EncodeTable table;
  return table;
}
const DecodeTable& Decoder() {
  static const DecodeTable table;
  return table;
}

inline char* PutGroup(char* out, const unsigned char* in, const char* pairs) {
  const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
  std::memcpy(out, pairs + 2 * (v >> 12), 2);
  std::memcpy(out + 2, pairs + 2 * (v & 0xFFF), 2);
  return out + 4;
}

}  // namespace

std::string EncodeBase64(const void* data, std::size_t size) {
  const auto* in = static_cast<const unsigned char*>(data);
  const std::size_t groups = size / 3;
  const std::size_t rest = size % 3;
  const std::size_t length = groups * 4 + (rest ? 4 : 0) + (groups / kGroupsPerLine) * 2;
  std::string text;
  ReserveLarge(text, length);
  text.resize(length);
  char* out = text.data();
  const char* pairs = Encoder().pairs.data();

  std::size_t group = 0;
  // Whole lines: 19 groups, then CR LF (also after the very last group).
  for (; group + kGroupsPerLine <= groups; group += kGroupsPerLine) {
    for (std::size_t k = 0; k < kGroupsPerLine; ++k) out = PutGroup(out, in + 3 * (group + k), pairs);
    *out++ = '\r';
    *out++ = '\n';
  }
  for (; group < groups; ++group) out = PutGroup(out, in + 3 * group, pairs);

  if (rest) {
    const unsigned char* tail = in + 3 * groups;
    const std::uint32_t v = (std::uint32_t{tail[0]} << 16) | (rest == 2 ? std::uint32_t{tail[1]} << 8 : 0);
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *out++ = '=';
  }
  return text;
}

namespace {

// Decodes n characters at in to out and returns the bytes written. Each group is read
// before its bytes are written and three bytes come of four characters, so out may be
// in itself.
std::size_t DecodeInto(const unsigned char* in, std::size_t n, unsigned char* out) {
  const DecodeTable& t = Decoder();
  unsigned char* const begin = out;
  std::size_t i = 0;
  std::uint32_t acc = 0;  // pending sextets
  int pending = 0;
  while (i < n) {
    if (pending == 0) {
      // Fast path: whole groups of four alphabet characters.
      while (i + 4 <= n) {
        const std::uint32_t v = t.shift18[in[i]] | t.shift12[in[i + 1]] | t.shift6[in[i + 2]] | t.shift0[in[i + 3]];
        if (v & kInvalid) break;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
        out += 3;
        i += 4;
      }
      if (i >= n) break;
    }
    // Slow path: one character; anything outside the alphabet is skipped.
    const std::int8_t v = t.value[in[i++]];
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    if (++pending == 4) {
      out[0] = static_cast<unsigned char>(acc >> 16);
      out[1] = static_cast<unsigned char>(acc >> 8);
      out[2] = static_cast<unsigned char>(acc);
      out += 3;
      acc = 0;
      pending = 0;
    }
  }
  // A trailing group of three characters gives two bytes, of two one, of one nothing.
  if (pending == 3) {
    *out++ = static_cast<unsigned char>(acc >> 10);
    *out++ = static_cast<unsigned char>(acc >> 2);
  } else if (pending == 2) {
    *out++ = static_cast<unsigned char>(acc >> 4);
  }
  return static_cast<std::size_t>(out - begin);
}

// Rewrites UTF-8 text over itself as the low eight bits of each UTF-16 unit it encodes;
// never longer than the text. A byte that starts no valid sequence stays as it is.
void KeepLowBytesOfCharacters(std::string& text) {
  auto* p = reinterpret_cast<unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < n) {
    const unsigned char b = p[in];
    std::size_t length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    bool whole = length > 0 && in + length <= n;
    for (std::size_t k = 1; whole && k < length; ++k) whole = (p[in + k] & 0xC0) == 0x80;
    if (!whole) {
      p[out++] = b;
      ++in;
      continue;
    }
    std::uint32_t cp = length == 1 ? b : b & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (p[in + k] & 0x3Fu);
    in += length;
    if (cp >= 0x10000) {
      // A surrogate pair: two units, two bytes.
      cp -= 0x10000;
      p[out++] = static_cast<unsigned char>((0xD800u + (cp >> 10)) & 0xFFu);
      p[out++] = static_cast<unsigned char>((0xDC00u + (cp & 0x3FFu)) & 0xFFu);
    } else {
      p[out++] = static_cast<unsigned char>(cp & 0xFFu);
    }
  }
  text.resize(out);
}

// Eight bytes at a time: a payload of megabytes is looked over in well under a
// millisecond, next to its decoding.
bool AllAscii(std::string_view text) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    high |= word;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080ULL) == 0;
}

}  // namespace

std::string DecodeBase64(std::string_view text, Base64Decoding rule) {
  if (rule == Base64Decoding::kSkipOutsideAlphabet && !AllAscii(text)) {
    std::string narrowed(text);
    DecodeBase64InPlace(narrowed, rule);
    return narrowed;
  }
  if (rule == Base64Decoding::kStopAtPadding) text = text.substr(0, text.find('='));
  std::string bytes;
  ReserveLarge(bytes, text.size() / 4 * 3 + 3);
  bytes.resize(text.size() / 4 * 3 + 3);
  bytes.resize(DecodeInto(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                          reinterpret_cast<unsigned char*>(bytes.data())));
  return bytes;
}

void DecodeBase64InPlace(std::string& text, Base64Decoding rule) {
  if (rule == Base64Decoding::kStopAtPadding) text.resize(std::min(text.size(), text.find('=')));
  if (rule == Base64Decoding::kSkipOutsideAlphabet && !AllAscii(text)) KeepLowBytesOfCharacters(text);
  auto* data = reinterpret_cast<unsigned char*>(text.data());
  text.resize(DecodeInto(data, text.size(), data));
}

}  // namespace ostrivan
