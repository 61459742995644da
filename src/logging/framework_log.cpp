#include "logging/framework_log.h"

#include <algorithm>

#include "common/text.h"
#include "logging/default_log_writer.h"

namespace ostrivan::logging {

namespace {

// Paths, headers and messages quoting a request reach these lines: a caller's CR LF or
// NUL must not end a line or forge the next one.
const std::string& OneLine(const std::string& message, std::string& escaped) {
  const bool plain = std::none_of(message.begin(), message.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
  });
  if (plain) return message;
  escaped = EscapeControls(message);
  return escaped;
}

}  // namespace

void FrameworkLogDebug(const std::string& message) {
  std::string escaped;
  DefaultLogWriter()->Debug(OneLine(message, escaped), kFrameworkLogTag);
}
void FrameworkLogInfo(const std::string& message) {
  std::string escaped;
  DefaultLogWriter()->Info(OneLine(message, escaped), kFrameworkLogTag);
}
void FrameworkLogWarn(const std::string& message) {
  std::string escaped;
  DefaultLogWriter()->Warn(OneLine(message, escaped), kFrameworkLogTag);
}
void FrameworkLogError(const std::string& message) {
  std::string escaped;
  DefaultLogWriter()->Error(OneLine(message, escaped), kFrameworkLogTag);
}

void FrameworkLog(TFrameworkLogLevel level, const std::string& message) {
  switch (level) {
    case TFrameworkLogLevel::fllDebug: FrameworkLogDebug(message); break;
    case TFrameworkLogLevel::fllInfo: FrameworkLogInfo(message); break;
    case TFrameworkLogLevel::fllWarning: FrameworkLogWarn(message); break;
    case TFrameworkLogLevel::fllError:
    case TFrameworkLogLevel::fllCritical: FrameworkLogError(message); break;
  }
}

void FrameworkLogEnter(const std::string& text) { FrameworkLogInfo(">> " + text); }
void FrameworkLogLeave(const std::string& text) { FrameworkLogInfo("<< " + text); }

}  // namespace ostrivan::logging
