#include "http/header_list.h"

#include "http/text_codec.h"

namespace ostrivan::http {

void THeaderList::AddValue(std::string_view name, std::string_view value) {
  std::string line(name);
  line += ": ";
  line += value;
  lines_.push_back(std::move(line));
}

void THeaderList::SetValue(std::string_view name, std::string_view value) {
  int i = IndexOfName(name);
  std::string line = std::string(name) + ": " + std::string(value);
  if (i < 0) lines_.push_back(std::move(line));
  else lines_[static_cast<size_t>(i)] = std::move(line);
}

void THeaderList::Remove(std::string_view name) {
  std::vector<std::string> kept;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (!(lines_[i].find(':') != std::string::npos && SameText(Name(i), name))) kept.push_back(lines_[i]);
  lines_.swap(kept);
}

std::string THeaderList::Name(size_t i) const {
  size_t colon = lines_[i].find(':');
  return colon == std::string::npos ? std::string() : lines_[i].substr(0, colon);
}

std::string THeaderList::Value(size_t i) const {
  size_t colon = lines_[i].find(':');
  return colon == std::string::npos ? std::string() : Trim(std::string_view(lines_[i]).substr(colon + 1));
}

int THeaderList::IndexOfName(std::string_view name) const {
  if (name.empty()) return -1;  // a line without ":" is never found
  for (size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].find(':') != std::string::npos && SameText(Name(i), name)) return static_cast<int>(i);
  return -1;
}

std::string THeaderList::ValueWithContinuations(size_t i) const {
  std::string value = Value(i);
  for (size_t j = i + 1; j < lines_.size(); ++j) {
    const std::string& next = lines_[j];
    if (next.empty() || (next[0] != ' ' && next[0] != '\t')) break;
    value += ' ';
    value += Trim(next);
  }
  return value;
}

std::string THeaderList::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueWithContinuations(static_cast<size_t>(i));
}

std::vector<std::string> THeaderList::AllValues(std::string_view name) const {
  std::vector<std::string> out;
  if (name.empty()) return out;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].find(':') != std::string::npos && SameText(Name(i), name)) out.push_back(ValueWithContinuations(i));
  return out;
}

void TNameValueList::SetValue(std::string_view name, std::string_view value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(static_cast<size_t>(i));
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (i < 0) lines_.push_back(std::move(line));
  else lines_[static_cast<size_t>(i)] = std::move(line);
}

std::string TNameValueList::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(static_cast<size_t>(i));
}

int TNameValueList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].find('=') != std::string::npos && SameText(Name(i), name)) return static_cast<int>(i);
  return -1;
}

std::string TNameValueList::Name(size_t i) const {
  size_t eq = lines_[i].find('=');
  return eq == std::string::npos ? lines_[i] : lines_[i].substr(0, eq);
}

std::string TNameValueList::ValueFromIndex(size_t i) const {
  size_t eq = lines_[i].find('=');
  return eq == std::string::npos ? std::string() : lines_[i].substr(eq + 1);
}

std::string TNameValueList::Text() const {
  std::string out;
  for (const auto& line : lines_) out += line + "\r\n";
  return out;
}

}  // namespace ostrivan::http
