// Placeholder until the asynchronous writer exists: the calls are accepted and dropped.
#include "logging/framework_log.h"

namespace ostrivan::logging {

void FrameworkLogDebug(const std::string&) {}
void FrameworkLogInfo(const std::string&) {}
void FrameworkLogWarn(const std::string&) {}
void FrameworkLogError(const std::string&) {}
void FrameworkLogEnter(const std::string& text) { FrameworkLogInfo(">> " + text); }
void FrameworkLogLeave(const std::string& text) { FrameworkLogInfo("<< " + text); }

}  // namespace ostrivan::logging
