#include "logging/framework_log.h"

#include "logging/default_log_writer.h"

namespace ostrivan::logging {

void FrameworkLogDebug(const std::string& message) { DefaultLogWriter()->Debug(message, kFrameworkLogTag); }
void FrameworkLogInfo(const std::string& message) { DefaultLogWriter()->Info(message, kFrameworkLogTag); }
void FrameworkLogWarn(const std::string& message) { DefaultLogWriter()->Warn(message, kFrameworkLogTag); }
void FrameworkLogError(const std::string& message) { DefaultLogWriter()->Error(message, kFrameworkLogTag); }

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
