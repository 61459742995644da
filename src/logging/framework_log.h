#pragma once
// Shorthand log calls of the service and the engine; all use the tag "torniomvc".
#include <string>

namespace ostrivan::logging {

void FrameworkLogDebug(const std::string& message);
void FrameworkLogInfo(const std::string& message);
void FrameworkLogWarn(const std::string& message);
void FrameworkLogError(const std::string& message);
void FrameworkLogEnter(const std::string& text);  // Info ">> " + text
void FrameworkLogLeave(const std::string& text);  // Info "<< " + text

}  // namespace ostrivan::logging
