#include "web/error_guard.h"

#include "web/mvc_exceptions.h"

namespace ostrivan::web {

std::string ErrorGuardCustomMessage(const std::exception& error) {
  if (const auto* mvc_error = dynamic_cast<const EMVCException*>(&error)) return mvc_error->DetailedMessage();
  if (dynamic_cast<const EInvalidOp*>(&error) != nullptr) return "Invalid Op";
  return "Global Action Exception Handler";
}

int ErrorGuardStatus(const std::exception& error) {
  if (const auto* mvc_error = dynamic_cast<const EMVCException*>(&error)) return mvc_error->HttpErrorCode();
  return 500;
}

std::string ErrorGuardLogLine(const std::string& class_name, const std::string& message,
                              const std::string& request_summary, const std::string& custom_message) {
  return "[" + class_name + "] " + message + " [PathInfo \"" + request_summary + "\"] (Custom message: \"" +
         custom_message + "\")";
}

}  // namespace ostrivan::web
