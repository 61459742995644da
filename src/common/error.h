#pragma once
// Base of every failure the system raises. Each class reports its own name, because
// the console and the wire print "ClassName: message".
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace ostrivan {

// A failure of the file system carries, beside the message its reader sees, the path
// it concerns and the errno the system gave (0 where a check of ours failed, not a
// call): code that handles it asks those, never the wording.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  Exception(std::string message, std::string path, int code)
      : message_(std::move(message)), path_(std::move(path)), errno_(code) {}
  ~Exception() override = default;

  virtual const char* ClassName() const noexcept { return "Exception"; }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }
  // The path a file-system failure concerns; empty for other failures.
  const std::string& Path() const noexcept { return path_; }
  // The system's errno for a file-system failure; 0 when none was given.
  int Errno() const noexcept { return errno_; }

 private:
  std::string message_;
  std::string path_;
  int errno_ = 0;
};

}  // namespace ostrivan

// Declares an exception class that inherits its base's constructors and names itself.
#define OSTRIVAN_DECLARE_EXCEPTION(Name, Base)                        \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
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

// The operating system's text for an error code; MakeOSError puts it on the line after
// "System Error.  Code: N.", and file failures append it to their own message.
inline std::string SysErrorMessageText(int code) { return std::strerror(code); }

// An operating-system failure as the workstation words it:
// "System Error.  Code: 2.\r\nNo such file or directory"; path: what it concerned.
inline EOSError MakeOSError(int code, std::string path = {}) {
  return EOSError("System Error.  Code: " + std::to_string(code) + ".\r\n" + SysErrorMessageText(code), std::move(path),
                  code);
}

// A write that did not go through, as streams word it.
inline constexpr const char* kStreamWriteError = "Stream write error";

// "Cannot create file "<path>". <system text>"
inline std::string CannotCreateFileText(const std::string& path, int code) {
  return "Cannot create file \"" + path + "\". " + SysErrorMessageText(code);
}
// That failure, with its path and errno.
inline EFCreateError CannotCreateFile(const std::string& path, int code) {
  return EFCreateError(CannotCreateFileText(path, code), path, code);
}

}  // namespace ostrivan
