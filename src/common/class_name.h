#pragma once
// The class name a failure reports in log lines, error replies and on the console: its
// own name for this system's exceptions, "EOutOfMemory" for an allocation failure,
// "Exception" for anything else. Example: ExceptionClassName(EOSError("x")) is "EOSError".
#include <exception>
#include <new>
#include <string>

#include "common/error.h"

namespace ostrivan {

inline std::string ExceptionClassName(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Exception*>(&error)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return "EOutOfMemory";
  return "Exception";
}

}  // namespace ostrivan
