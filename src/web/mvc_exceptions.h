#pragma once
// Failures of the engine that reach the client with a chosen HTTP status.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace ostrivan::web {

// A message already filled from a printf-style format; selects the formatted
// constructors, which do not check the status.
struct TMVCFormattedMessage {
  std::string text;
};
TMVCFormattedMessage MVCFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

class EMVCException : public Exception {
 public:
  // Status 500, application code 0, no detail, no items.
  explicit EMVCException(std::string message);
  // Checks the status, then stores every value; items only when given.
  EMVCException(std::string message, std::string detailed_message, std::uint16_t app_error_code,
                std::uint16_t http_error_code, std::optional<std::vector<std::string>> error_items = std::nullopt);
  // Checks the status.
  EMVCException(std::uint16_t http_error_code, std::string message);
  EMVCException(std::uint16_t http_error_code, std::uint16_t app_error_code, std::string message);
  // Formatted forms: status 500, or the given status unchecked.
  explicit EMVCException(TMVCFormattedMessage message);
  EMVCException(std::uint16_t http_error_code, TMVCFormattedMessage message);

  const char* ClassName() const noexcept override { return "EMVCException"; }

  std::uint16_t HttpErrorCode() const noexcept { return http_error_code_; }
  void SetHttpErrorCode(std::uint16_t value) noexcept { http_error_code_ = value; }
  std::uint16_t ApplicationErrorCode() const noexcept { return app_error_code_; }
  void SetApplicationErrorCode(std::uint16_t value) noexcept { app_error_code_ = value; }
  const std::string& DetailedMessage() const noexcept { return detailed_message_; }
  void SetDetailedMessage(std::string value) { detailed_message_ = std::move(value); }
  const std::vector<std::string>& ErrorItems() const noexcept { return error_items_; }
  void SetErrorItems(std::vector<std::string> value) { error_items_ = std::move(value); }

 private:
  std::uint16_t http_error_code_ = 500;
  std::uint16_t app_error_code_ = 0;
  std::string detailed_message_;
  std::vector<std::string> error_items_;
};

// Raises "Invalid HTTP_STATUS [%d]" unless status / 100 is 1 to 5.
void CheckHTTPErrorCode(std::uint16_t http_error_code);

OSTRIVAN_DECLARE_EXCEPTION(EMVCConfigException, EMVCException);
OSTRIVAN_DECLARE_EXCEPTION(EMVCDeserializationException, EMVCException);
OSTRIVAN_DECLARE_EXCEPTION(EMVCSerializationException, EMVCException);

}  // namespace ostrivan::web
