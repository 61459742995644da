#pragma once
// What the pipeline's error guard logs and which status it answers with, for a failure
// that escaped routing, an action or its rendering.
#include <exception>
#include <string>

#include "common/error.h"

namespace ostrivan::web {

// An invalid floating-point operation. Nothing on this platform raises it by itself
// (invalid operations give NaN), but a failure of that class gets its own log text.
OSTRIVAN_DECLARE_EXCEPTION(EInvalidOp, Exception);

// The custom text of the guard's log line: the detailed message of an EMVCException
// (for the not-found error "GET /x"), "Invalid Op" for EInvalidOp, and
// "Global Action Exception Handler" for anything else.
std::string ErrorGuardCustomMessage(const std::exception& error);

// The status of the error reply: the EMVCException's own, 500 for anything else.
int ErrorGuardStatus(const std::exception& error);

// [EMVCException] Not Found [PathInfo "GET /x"] (Custom message: "GET /x")
std::string ErrorGuardLogLine(const std::string& class_name, const std::string& message,
                              const std::string& request_summary, const std::string& custom_message);

}  // namespace ostrivan::web
