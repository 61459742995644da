#pragma once
// What a call that does not throw reports, in the platform layer and every floor above it:
// success, or the system's error code and the path it concerned. The code is an errno
// value on every platform (the Windows implementation translates its own codes), so
// callers test it against ENOENT, EEXIST, ENOSPC, ... wherever they run.
//   if (const TStatus moved = TryMoveNoReplace(from, to); !moved) {
//     if (moved.Code() == EEXIST) ...;  // the name is taken
//   }
// Naming rule: a non-throwing call is named Try<Name> and returns TStatus (its value, if
// any, through a reference parameter); <Name> alone throws.
#include <string>
#include <utility>

namespace ostrivan {

class [[nodiscard]] TStatus {
 public:
  TStatus() noexcept = default;
  TStatus(int code, std::string path) : code_(code), path_(std::move(path)) {}
  static TStatus Failed(int code, std::string path = {}) { return TStatus(code, std::move(path)); }

  bool Ok() const noexcept { return code_ == 0; }
  explicit operator bool() const noexcept { return Ok(); }
  // 0 on success.
  int Code() const noexcept { return code_; }
  // What the failure concerned; may be empty.
  const std::string& Path() const noexcept { return path_; }
  // status == ENOENT compares the code; status == 0 is success.
  friend bool operator==(const TStatus& status, int code) noexcept { return status.code_ == code; }

 private:
  int code_ = 0;
  std::string path_;
};

}  // namespace ostrivan
