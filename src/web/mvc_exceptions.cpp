#include "web/mvc_exceptions.h"

#include <cstdarg>
#include <cstdio>

namespace ostrivan::web {

TMVCFormattedMessage MVCFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  return TMVCFormattedMessage{std::move(text)};
}

void CheckHTTPErrorCode(std::uint16_t http_error_code) {
  const int h = http_error_code / 100;
  if (h == 0 || h > 5) {
    throw EMVCException(MVCFormat("Invalid HTTP_STATUS [%d]", static_cast<int>(http_error_code)));
  }
}

EMVCException::EMVCException(std::string message) : Exception(std::move(message)) {}

EMVCException::EMVCException(std::string message, std::string detailed_message, std::uint16_t app_error_code,
                             std::uint16_t http_error_code, std::optional<std::vector<std::string>> error_items)
    : Exception(std::move(message)) {
  CheckHTTPErrorCode(http_error_code);
  detailed_message_ = std::move(detailed_message);
  app_error_code_ = app_error_code;
  http_error_code_ = http_error_code;
  if (error_items) error_items_ = std::move(*error_items);
}

EMVCException::EMVCException(std::uint16_t http_error_code, std::string message) : Exception(std::move(message)) {
  CheckHTTPErrorCode(http_error_code);
  http_error_code_ = http_error_code;
}

EMVCException::EMVCException(std::uint16_t http_error_code, std::uint16_t app_error_code, std::string message)
    : EMVCException(http_error_code, std::move(message)) {
  app_error_code_ = app_error_code;
}

EMVCException::EMVCException(TMVCFormattedMessage message) : Exception(std::move(message.text)) {}

EMVCException::EMVCException(std::uint16_t http_error_code, TMVCFormattedMessage message)
    : Exception(std::move(message.text)), http_error_code_(http_error_code) {}

}  // namespace ostrivan::web
