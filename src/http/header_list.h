#pragma once
// Header lines "Name: value" in arrival order, with the lookup rules of HTTP/1.x:
// names compare case-insensitively, the first match wins, and following lines that
// begin with a space or tab continue the value (joined with one space).
#include <string>
#include <string_view>
#include <vector>

namespace ostrivan::http {

class THeaderList {
 public:
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void AddValue(std::string_view name, std::string_view value);
  // Replaces the first line of that name in place, or appends one.
  void SetValue(std::string_view name, std::string_view value);
  void Remove(std::string_view name);  // every line of that name
  void Clear() { lines_.clear(); }

  size_t Count() const { return lines_.size(); }
  const std::string& operator[](size_t i) const { return lines_[i]; }
  const std::vector<std::string>& Lines() const { return lines_; }

  // Text before the first ":" exactly as sent; empty when there is no ":".
  std::string Name(size_t i) const;
  // Text after the first ":", blanks trimmed, without continuation lines.
  std::string Value(size_t i) const;
  int IndexOfName(std::string_view name) const;  // -1 when absent
  // Value of the first line of that name with its continuation lines; empty when absent.
  std::string Values(std::string_view name) const;
  // Values of every line of that name (each with its continuation lines).
  std::vector<std::string> AllValues(std::string_view name) const;

 private:
  std::string ValueWithContinuations(size_t i) const;
  std::vector<std::string> lines_;
};

// "name=value" lines, as web requests and responses keep fields and custom headers.
class TNameValueList {
 public:
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  // Replaces the value of the first line of that name (case-insensitive) or appends
  // one; an empty value removes the line.
  void SetValue(std::string_view name, std::string_view value);
  std::string Values(std::string_view name) const;
  int IndexOfName(std::string_view name) const;
  void Clear() { lines_.clear(); }
  void Delete(size_t i) { lines_.erase(lines_.begin() + static_cast<long>(i)); }

  size_t Count() const { return lines_.size(); }
  const std::string& operator[](size_t i) const { return lines_[i]; }
  std::string Name(size_t i) const;            // text before the first "="
  std::string ValueFromIndex(size_t i) const;  // text after the first "="
  // Lines joined with CR LF, each followed by one.
  std::string Text() const;

 private:
  std::vector<std::string> lines_;
};

}  // namespace ostrivan::http
