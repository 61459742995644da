#pragma once
// Base of every failure the system raises. Each class reports its own name, because
// the console and the wire print "ClassName: message".
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace ostrivan {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  virtual const char* ClassName() const noexcept { return "Exception"; }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace ostrivan

// Declares an exception class that inherits its base's constructors and names itself.
#define OSTRIVAN_DECLARE_EXCEPTION(Name, Base)                              \
  class Name : public Base {                                                \
   public:                                                                  \
    using Base::Base;                                                       \
    const char* ClassName() const noexcept override { return #Name; }      \
  }

namespace ostrivan {

// Run-time library failures shared by several subsystems.
OSTRIVAN_DECLARE_EXCEPTION(EOSError, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EConvertError, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EEncodingError, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EArgumentException, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EInOutError, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EStreamError, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EReadError, EStreamError);
OSTRIVAN_DECLARE_EXCEPTION(EWriteError, EStreamError);
OSTRIVAN_DECLARE_EXCEPTION(EFOpenError, EStreamError);
OSTRIVAN_DECLARE_EXCEPTION(EFCreateError, EStreamError);

// The system's text for an errno value.
inline std::string SysErrorMessageText(int code) { return std::strerror(code); }

// An operating-system failure as the workstation words it:
// "System Error.  Code: 2.\r\nNo such file or directory".
inline EOSError MakeOSError(int code) {
  return EOSError("System Error.  Code: " + std::to_string(code) + ".\r\n" +
                  SysErrorMessageText(code));
}

}  // namespace ostrivan
