// One-pass JSON reader with one token of look-ahead.
//
// The reader is lenient on purpose: bare identifiers are strings, text after the root's
// closing bracket is never examined, and unknown escapes stand for their character.
// Positions in messages count UTF-16 units, computed only when an error is raised.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/large_buffer.h"
#include "json/detail/json_scan.h"
#include "json/json_data_objects.h"

namespace ostrivan::json {

namespace {

using json_detail::FindStringSpecial;

// Ordered as in messages: every kind before kIdent cannot name a member.
enum class TokenKind {
  kEof,
  kInvalidSymbol,
  kLBrace,
  kRBrace,
  kLBracket,
  kRBracket,
  kComma,
  kColon,
  kIdent,
  kValue,  // only used as the "expected" name
  kString,
  kInt,
  kLong,
  kULong,
  kFloat,
  kTrue,
  kFalse,
  kNull,
};

const char* TokenName(TokenKind kind) {
  switch (kind) {
    case TokenKind::kEof: return "end of file";
    case TokenKind::kInvalidSymbol: return "invalid symbol";
    case TokenKind::kLBrace: return "\"{\"";
    case TokenKind::kRBrace: return "\"}\"";
    case TokenKind::kLBracket: return "\"[\"";
    case TokenKind::kRBracket: return "\"]\"";
    case TokenKind::kComma: return "\",\"";
    case TokenKind::kColon: return "\":\"";
    case TokenKind::kIdent: return "identifier";
    default: return "value";
  }
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

struct Token {
  TokenKind kind = TokenKind::kEof;
  std::size_t start = 0;  // byte offsets into the text
  std::size_t end = 0;
  std::string text;  // strings and identifiers
  union {
    std::int32_t i;
    std::int64_t l;
    std::uint64_t u;
    double f;
  } num{};
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::unique_ptr<TJsonBaseObject> ReadRoot(bool array) {
    Next();
    Expect(array ? TokenKind::kLBracket : TokenKind::kLBrace);
    return ReadNested(array);
  }

 private:
  // ---- errors

  // less_units: UTF-16 units to take off the count at byte_pos (see FailExpected).
  [[noreturn]] void Fail(const std::string& message, std::size_t byte_pos, std::size_t less_units = 0) const {
    const std::size_t pos = Utf16Length(text_.substr(0, byte_pos)) - less_units;
    throw EJsonParserException(message, 1, static_cast<int>(pos) + 1, pos);
  }

  [[noreturn]] void FailExpected(TokenKind expected) const {
    if (look_.kind == TokenKind::kEof) {
      Fail(std::string("Unexpected end of file where ") + TokenName(expected) + " was expected", text_.size());
    }
    // A character outside the BMP that starts no token is, in UTF-16, its high surrogate
    // alone: the token ends one unit before the end of its UTF-8 sequence.
    const bool half_pair = look_.kind == TokenKind::kInvalidSymbol && look_.end - look_.start == 4;
    Fail(std::string("Expected ") + TokenName(expected) + " but found " + TokenName(look_.kind), look_.end,
         half_pair ? 1 : 0);
  }

  void Expect(TokenKind kind) {
    if (look_.kind != kind) FailExpected(kind);
    Next();
  }

  // ---- grammar
  //
  // Nesting is kept on a stack of its own, not the thread's: the depth limit holds
  // whatever the thread's stack and the compiler's frames, and a failure deep down frees
  // a chain of open containers, not a nested tree.

  // One open container: the object or the array being filled, and the name it takes in
  // its parent once closed.
  struct TOpen {
    std::unique_ptr<TJsonObject> Object;
    std::unique_ptr<TJsonArray> Array;
    std::string Name;
  };

  // Reads from just after the root's "{" or "[" to just after its closing bracket.
  std::unique_ptr<TJsonBaseObject> ReadNested(bool array) {
    std::vector<TOpen> open;
    open.push_back(array ? TOpen{nullptr, std::make_unique<TJsonArray>(), {}}
                         : TOpen{std::make_unique<TJsonObject>(), nullptr, {}});
    bool first = true;  // just after the opening bracket
    for (;;) {
      TOpen& top = open.back();
      const TokenKind close = top.Array ? TokenKind::kRBracket : TokenKind::kRBrace;
      // After a value the container ends, or a comma leads to the next one; end of text
      // stops the loop too and the closing bracket reports it.
      bool ended = first ? look_.kind == close : (look_.kind == close || look_.kind == TokenKind::kEof);
      if (!first && !ended) {
        Expect(TokenKind::kComma);
        ended = look_.kind == TokenKind::kEof;
      } else if (first && !ended) {
        ended = look_.kind == TokenKind::kEof;
      }
      first = false;
      if (ended) {
        Expect(close);
        TOpen done = std::move(open.back());
        open.pop_back();
        if (open.empty()) {
          if (done.Array) return std::unique_ptr<TJsonBaseObject>(std::move(done.Array));
          return std::unique_ptr<TJsonBaseObject>(std::move(done.Object));
        }
        TJsonDataValue value =
            done.Array ? TJsonDataValue::Array(std::move(done.Array)) : TJsonDataValue::Object(std::move(done.Object));
        Attach(open.back(), std::move(done.Name), std::move(value));
        continue;
      }
      std::string name;
      if (top.Object) {
        if (look_.kind < TokenKind::kIdent) FailExpected(TokenKind::kValue);
        if (look_.kind == TokenKind::kString || look_.kind == TokenKind::kIdent) {
          name = std::move(look_.text);
        } else {
          // A number or literal as name: its own text.
          name.assign(text_.substr(look_.start, look_.end - look_.start));
        }
        Next();
        Expect(TokenKind::kColon);
      }
      if (look_.kind == TokenKind::kLBrace || look_.kind == TokenKind::kLBracket) {
        CheckDepth(static_cast<int>(open.size()) + 1);
        const bool child_array = look_.kind == TokenKind::kLBracket;
        Next();
        open.push_back(child_array ? TOpen{nullptr, std::make_unique<TJsonArray>(), std::move(name)}
                                   : TOpen{std::make_unique<TJsonObject>(), nullptr, std::move(name)});
        first = true;
        continue;
      }
      Attach(top, std::move(name), ReadScalar());
    }
  }

  static void Attach(TOpen& parent, std::string name, TJsonDataValue value) {
    if (parent.Array) parent.Array->Add(std::move(value));
    else parent.Object->AddMember(std::move(name), std::move(value));
  }

  TJsonDataValue ReadScalar() {
    TJsonDataValue value;
    switch (look_.kind) {
      case TokenKind::kString:
      case TokenKind::kIdent: value = TJsonDataValue::String(std::move(look_.text)); break;
      case TokenKind::kInt: value = TJsonDataValue::Int(look_.num.i); break;
      case TokenKind::kLong: value = TJsonDataValue::Long(look_.num.l); break;
      case TokenKind::kULong: value = TJsonDataValue::ULong(look_.num.u); break;
      case TokenKind::kFloat: value = TJsonDataValue::Float(look_.num.f); break;
      case TokenKind::kTrue: value = TJsonDataValue::Bool(true); break;
      case TokenKind::kFalse: value = TJsonDataValue::Bool(false); break;
      case TokenKind::kNull: value = TJsonDataValue::Null(); break;
      default: FailExpected(TokenKind::kValue);
    }
    Next();
    return value;
  }

  void CheckDepth(int depth) const {
    if (depth > kJsonMaxDepth) {
      Fail("Nesting deeper than " + std::to_string(kJsonMaxDepth) + " levels", look_.end);
    }
  }

  // ---- lexer

  void Next() {
    const std::size_t before_end = look_.end;  // end of the token before this one
    const std::size_t n = text_.size();
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    while (pos_ < n && p[pos_] <= 32) ++pos_;
    look_.start = pos_;
    look_.text.clear();
    if (pos_ >= n) {
      look_.kind = TokenKind::kEof;
      look_.end = n;
      return;
    }
    const unsigned char c = p[pos_];
    if (c == '"') {
      LexString(before_end);
    } else if (c == '-' || c == '.' || IsDigit(c)) {
      LexNumber();
    } else if (IsLetter(c) || c == '_' || c == '$') {
      LexWord();
    } else {
      switch (c) {
        case '{': look_.kind = TokenKind::kLBrace; break;
        case '}': look_.kind = TokenKind::kRBrace; break;
        case '[': look_.kind = TokenKind::kLBracket; break;
        case ']': look_.kind = TokenKind::kRBracket; break;
        case ',': look_.kind = TokenKind::kComma; break;
        case ':': look_.kind = TokenKind::kColon; break;
        default: look_.kind = TokenKind::kInvalidSymbol;
      }
      pos_ += look_.kind == TokenKind::kInvalidSymbol ? Utf8SequenceLength(c) : 1;
      if (pos_ > n) pos_ = n;
    }
    look_.end = pos_;
  }

  void LexWord() {
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t start = pos_++;
    while (pos_ < text_.size() && (IsLetter(p[pos_]) || IsDigit(p[pos_]) || p[pos_] == '_')) ++pos_;
    const std::string_view word = text_.substr(start, pos_ - start);
    if (word == "null") {
      look_.kind = TokenKind::kNull;
    } else if (word == "true") {
      look_.kind = TokenKind::kTrue;
    } else if (word == "false") {
      look_.kind = TokenKind::kFalse;
    } else {
      look_.kind = TokenKind::kIdent;
      look_.text.assign(word);
    }
  }

  void LexNumber() {
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t n = text_.size();
    const bool negative = p[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ >= n || !IsDigit(p[pos_])) {
      // A lone "-", or "." with no digit before it.
      if (!negative) ++pos_;
      look_.kind = TokenKind::kInvalidSymbol;
      return;
    }
    const std::size_t int_start = pos_;
    if (p[pos_] == '0') {
      ++pos_;  // a leading zero ends the integer part
    } else {
      while (pos_ < n && IsDigit(p[pos_])) ++pos_;
    }
    const std::size_t int_end = pos_;
    std::size_t frac_start = 0, frac_end = 0;
    bool is_float = false;
    if (pos_ < n && p[pos_] == '.') {
      is_float = true;
      frac_start = ++pos_;
      while (pos_ < n && IsDigit(p[pos_])) ++pos_;
      frac_end = pos_;
    }
    long exponent = 0;
    if (pos_ < n && (p[pos_] == 'e' || p[pos_] == 'E')) {
      is_float = true;
      ++pos_;
      bool exp_negative = false;
      if (pos_ < n && (p[pos_] == '+' || p[pos_] == '-')) exp_negative = p[pos_++] == '-';
      if (pos_ >= n || !IsDigit(p[pos_])) {
        look_.kind = TokenKind::kInvalidSymbol;
        return;
      }
      while (pos_ < n && IsDigit(p[pos_])) {
        if (exponent < 100000) exponent = exponent * 10 + (p[pos_] - '0');
        ++pos_;
      }
      if (exp_negative) exponent = -exponent;
    }
    const std::string_view int_digits = text_.substr(int_start, int_end - int_start);
    if (!is_float && SetInteger(negative, int_digits)) return;
    // Float: at most 18 fraction digits count, the exponent is capped at 308.
    if (exponent > 308) exponent = 308;
    if (exponent < -308) exponent = -308;
    std::string literal;
    if (negative) literal += '-';
    literal.append(int_digits);
    if (frac_end > frac_start) {
      literal += '.';
      literal.append(text_.substr(frac_start, std::min<std::size_t>(frac_end - frac_start, 18)));
    }
    literal += 'e';
    literal += std::to_string(exponent);
    double value = 0;
    const auto r = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    if (r.ec == std::errc::result_out_of_range) {
      // Too large or too small for a double: decide by the decimal magnitude.
      const long magnitude = static_cast<long>(int_digits.size()) + exponent;
      const bool huge = int_digits != "0" && magnitude > 0;
      value = huge ? std::numeric_limits<double>::infinity() : 0.0;
      if (negative) value = -value;
    }
    look_.kind = TokenKind::kFloat;
    look_.num.f = value;
  }

  // Integer kinds by digit count; false when the number must be read as a float.
  bool SetInteger(bool negative, std::string_view digits) {
    const std::size_t count = digits.size();
    if (count > 20) return false;
    std::uint64_t magnitude = 0;
    for (char d : digits) {
      const auto digit = static_cast<std::uint64_t>(d - '0');
      if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
    }
    constexpr std::uint64_t kTwo31 = 1ULL << 31;
    constexpr std::uint64_t kTwo63 = 1ULL << 63;
    if (negative) {
      if (magnitude < kTwo31) {
        look_.kind = TokenKind::kInt;
        look_.num.i = static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
      } else if (magnitude < kTwo63) {
        look_.kind = TokenKind::kLong;
        look_.num.l = -static_cast<std::int64_t>(magnitude);
      } else {
        return false;
      }
      return true;
    }
    if (count <= 9) {
      look_.kind = TokenKind::kInt;
      look_.num.i = static_cast<std::int32_t>(magnitude);
    } else if (magnitude < kTwo63) {
      look_.kind = TokenKind::kLong;
      look_.num.l = static_cast<std::int64_t>(magnitude);
    } else {
      look_.kind = TokenKind::kULong;
      look_.num.u = magnitude;
    }
    return true;
  }

  // Strings end at the first unescaped quote; escapes are resolved in a second pass only
  // when the first found any, so long plain strings are one bulk copy.
  void LexString(std::size_t before_end) {
    const char* data = text_.data();
    const std::size_t n = text_.size();
    const std::size_t open = pos_;
    std::size_t i = open + 1;
    bool has_escape = false;
    while (true) {
      i = FindStringSpecial(data, n, i);
      if (i >= n) Fail("String not closed", open);
      const char c = data[i];
      if (c == '"') break;
      if (c == '\\') {
        has_escape = true;
        if (i + 1 >= n) Fail("String not closed", open);
        if (data[i + 1] == '\r' || data[i + 1] == '\n') Fail("Invalid character in string", i + 1);
        i += 2;
      } else if (c == '\r' || c == '\n') {
        Fail("Invalid character in string", i);
      } else {
        ++i;  // other control characters are taken unchanged
      }
    }
    const std::size_t close = i;
    pos_ = close + 1;
    look_.kind = TokenKind::kString;
    if (!has_escape) {
      ReserveLarge(look_.text, close - open - 1);
      look_.text.assign(data + open + 1, close - open - 1);
    } else {
      Unescape(open + 1, close, before_end);
    }
  }

  void Unescape(std::size_t from, std::size_t close, std::size_t before_end) {
    const char* data = text_.data();
    std::string& out = look_.text;
    ReserveLarge(out, close - from);
    std::uint32_t pending_high = 0;  // a high surrogate waiting for its low half
    auto flush_high = [&] {
      if (pending_high) {
        AppendUtf8(out, kReplacementCharacter);
        pending_high = 0;
      }
    };
    std::size_t i = from;
    while (i < close) {
      const void* hit = std::memchr(data + i, '\\', close - i);
      const std::size_t slash = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : close;
      if (slash > i) {
        flush_high();
        out.append(data + i, slash - i);
      }
      if (slash >= close) break;
      const auto e = static_cast<unsigned char>(data[slash + 1]);
      i = slash + 2;
      if (e == 'u') {
        // Count the UTF-16 units left before the closing quote, up to four.
        std::size_t units = 0;
        for (std::size_t k = i; k < close && units < 4; k += Utf8SequenceLength(static_cast<unsigned char>(data[k]))) {
          units += static_cast<unsigned char>(data[k]) >= 0xF0 ? 2 : 1;
        }
        if (units < 4) continue;  // a short \u is dropped; what follows stays
        std::uint32_t unit = 0;
        for (int k = 0; k < 4; ++k) {
          const auto h = static_cast<unsigned char>(data[i]);
          const int v = HexDigitValue(h);
          if (v < 0) {
            const std::size_t len = std::min(Utf8SequenceLength(h), close - i);
            // Outside the BMP the offending UTF-16 unit is a lone high surrogate.
            const std::string offending = len == 4 ? std::string("\xEF\xBF\xBD") : std::string(data + i, len);
            Fail("Invalid hex number \"" + offending + "\"", before_end);
          }
          unit = (unit << 4) | static_cast<std::uint32_t>(v);
          ++i;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          flush_high();
          pending_high = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF && pending_high) {
          AppendUtf8(out, 0x10000 + ((pending_high - 0xD800) << 10) + (unit - 0xDC00));
          pending_high = 0;
        } else {
          flush_high();
          AppendUtf8(out, unit);  // a lone low surrogate becomes U+FFFD
        }
        continue;
      }
      flush_high();
      switch (e) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: {
          // \" \/ \\ and any other escaped character stand for themselves.
          const std::size_t len = std::min(Utf8SequenceLength(e), close - (slash + 1));
          out.append(data + slash + 1, len);
          i = slash + 1 + len;
        }
      }
    }
    flush_high();
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Token look_;
};

}  // namespace

std::unique_ptr<TJsonBaseObject> TJsonBaseObject::Parse(std::string_view text) {
  std::string repaired;
  if (!IsValidUtf8(text)) {
    repaired = Utf8FromBytes(text);  // one U+FFFD per bad byte, one unit each in positions
    text = repaired;
  }
  std::size_t first = 0;
  while (first < text.size() && static_cast<unsigned char>(text[first]) <= 32) ++first;
  if (first == text.size()) return nullptr;
  JsonReader reader(text);
  return reader.ReadRoot(text[first] == '[');
}

}  // namespace ostrivan::json
