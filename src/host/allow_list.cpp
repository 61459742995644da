#include "host/allow_list.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "host/parametri.h"
#include "logging/framework_log.h"
#include "platform/net.h"

namespace ostrivan::host {

namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// An address as bytes; an IPv4 address mapped into IPv6 becomes the IPv4 address.
bool ParseAddress(const std::string& text, std::array<std::uint8_t, 16>& bytes, bool& v6) {
  if (platform::TryParseAddress(text, platform::TFamily::kIPv4, bytes)) {
    v6 = false;
    return true;
  }
  if (!platform::TryParseAddress(text, platform::TFamily::kIPv6, bytes)) return false;
  v6 = true;
  if (std::memcmp(bytes.data(), kMappedPrefix, sizeof kMappedPrefix) == 0) {
    std::memmove(bytes.data(), bytes.data() + 12, 4);
    std::fill(bytes.begin() + 4, bytes.end(), 0);
    v6 = false;
  }
  return true;
}

bool ParsePrefix(const std::string& text, int max, int& prefix) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > max) return false;
  prefix = value;
  return true;
}

bool Matches(const TAllowEntry& entry, const std::array<std::uint8_t, 16>& address, bool v6) {
  if (entry.V6 != v6) return false;
  const int whole = entry.Prefix / 8;
  if (std::memcmp(entry.Address.data(), address.data(), static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = entry.Prefix % 8;
  if (rest == 0) return true;
  const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  const auto at = static_cast<std::size_t>(whole);
  return (entry.Address[at] & mask) == (address[at] & mask);
}

std::string WithoutBlanks(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t') out += c;
  return out;
}

}  // namespace

TAllowList ParseAllowList(const std::string& text) {
  TAllowList list;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string piece =
        WithoutBlanks(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!piece.empty()) {
      TAllowEntry entry;
      const std::size_t slash = piece.find('/');
      bool ok = ParseAddress(piece.substr(0, slash), entry.Address, entry.V6);
      const bool mapped = ok && !entry.V6 && piece.find(':') != std::string::npos;
      if (ok) {
        entry.Prefix = entry.V6 ? 128 : 32;
        if (slash != std::string::npos) {
          int prefix = 0;
          ok = ParsePrefix(piece.substr(slash + 1), mapped || entry.V6 ? 128 : 32, prefix);
          // A mapped range counts its bits over the whole IPv6 address.
          if (ok && mapped) {
            ok = prefix >= 96;
            prefix -= 96;
          }
          entry.Prefix = prefix;
        }
      }
      if (ok) list.Entries.push_back(entry);
      else list.Malformed.push_back(piece);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return list;
}

bool IsLoopbackAddress(const std::string& address) {
  std::array<std::uint8_t, 16> bytes{};
  bool v6 = false;
  if (!ParseAddress(address, bytes, v6)) return false;
  if (!v6) return bytes[0] == 127;
  static constexpr std::array<std::uint8_t, 16> kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return bytes == kLoopback6;
}

bool AllowListAdmits(const TAllowList& list, const std::string& address) {
  if (list.Open()) return true;
  if (!list.Malformed.empty()) return IsLoopbackAddress(address);
  std::array<std::uint8_t, 16> bytes{};
  bool v6 = false;
  if (!ParseAddress(address, bytes, v6)) return false;
  return std::any_of(list.Entries.begin(), list.Entries.end(),
                     [&](const TAllowEntry& entry) { return Matches(entry, bytes, v6); });
}

TRouteKind RouteKindOf(const std::string& document) {
  std::string path = Trim(document);
  if (path.empty() || path[0] != '/') path = "/" + path;
  // Only the system controller answers below /system/ (or nothing does: 404).
  if (StartsWithText(path, "/system/")) return TRouteKind::kSystem;
  if (SameText(path, "/ostrivan/status") || SameText(path, "/metrics")) return TRouteKind::kOperator;
  // The kept jobs and the operator's page show and move what the machine ran: operator
  // callers only.
  if (SameText(path, "/ostrivan/") || SameText(path, "/ostrivan/jobs") || StartsWithText(path, "/ostrivan/jobs/"))
    return TRouteKind::kOperator;
  return TRouteKind::kOther;
}

TAllowList TCallerGate::Current() {
  const std::string text = TParametri::GetClientAmmessi();
  TAllowList list = ParseAllowList(text);
  std::lock_guard guard(lock_);
  if (!reported_ || text != reported_text_) {
    reported_ = true;
    reported_text_ = text;
    if (list.Open()) {
      logging::FrameworkLogWarn("ClientAmmessi is not set: every address may call the job routes");
    } else if (list.Malformed.empty()) {
      logging::FrameworkLogInfo("ClientAmmessi in force: " + text);
    } else {
      for (const std::string& entry : list.Malformed)
        logging::FrameworkLogError("ClientAmmessi entry \"" + entry +
                                   "\" is no address or range: only loopback callers are served until it is mended");
    }
  }
  return list;
}

void TCallerGate::Report() { (void)Current(); }

bool AdmitsCaller(TRouteKind kind, const TAllowList& list, const std::string& address) {
  switch (kind) {
    case TRouteKind::kSystem: return true;
    case TRouteKind::kOperator:
      // Paths, peers and job names stay on this machine until ClientAmmessi names who
      // may see them: an open list opens the job routes only.
      return IsLoopbackAddress(address) || (!list.Open() && AllowListAdmits(list, address));
    case TRouteKind::kOther: break;
  }
  return AllowListAdmits(list, address);
}

bool TCallerGate::Admit(const http::THTTPRequestInfo& request) {
  const TRouteKind kind = RouteKindOf(request.document);
  if (kind == TRouteKind::kSystem) return true;
  return AdmitsCaller(kind, Current(), request.remote_ip);
}

}  // namespace ostrivan::host
