#pragma once
#include "common/error.h"

namespace ostrivan::logging {

// Raised to a caller whose log item the full main queue refused, and by a rotation
// that cannot move a file.
OSTRIVAN_DECLARE_EXCEPTION(ELogWriterError, Exception);

}  // namespace ostrivan::logging
