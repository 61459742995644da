#pragma once
#include "common/error.h"

namespace ostrivan::archive {

OSTRIVAN_DECLARE_EXCEPTION(EZipException, Exception);
// Raised when extracted data does not match the CRC-32 of its central header.
OSTRIVAN_DECLARE_EXCEPTION(EZipCRCException, EZipException);

}  // namespace ostrivan::archive
