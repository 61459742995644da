#pragma once
// Shorthand log calls of the service and the engine; all use the tag "torniomvc" and
// go through the process-wide writer.
#include <string>

namespace ostrivan::logging {

enum class TFrameworkLogLevel { fllDebug, fllInfo, fllWarning, fllError, fllCritical };

void FrameworkLogDebug(const std::string& message);
void FrameworkLogInfo(const std::string& message);
void FrameworkLogWarn(const std::string& message);
void FrameworkLogError(const std::string& message);
void FrameworkLog(TFrameworkLogLevel level, const std::string& message);  // Critical logs as Error
void FrameworkLogEnter(const std::string& text);                          // Info ">> " + text
void FrameworkLogLeave(const std::string& text);                          // Info "<< " + text

}  // namespace ostrivan::logging
