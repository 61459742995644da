#pragma once
// Failures raised by the TCP and HTTP layers. The connection loop tells socket
// failures (client gone) apart from the rest, so they share ESocketError.
#include <cstring>
#include <string>

#include "common/error.h"

namespace ostrivan::http {

OSTRIVAN_DECLARE_EXCEPTION(ESocketError, Exception);
// Peer closed its side while a read still wanted bytes.
OSTRIVAN_DECLARE_EXCEPTION(EConnClosedGracefully, ESocketError);
// Our own side was closed (deactivation, or a second close).
OSTRIVAN_DECLARE_EXCEPTION(EClosedSocket, ESocketError);
// The peer sent nothing within the time a read allows.
OSTRIVAN_DECLARE_EXCEPTION(EReadTimeout, ESocketError);
// The peer took no byte of what we send within the time a write allows.
OSTRIVAN_DECLARE_EXCEPTION(EWriteTimeout, ESocketError);
OSTRIVAN_DECLARE_EXCEPTION(ECouldNotBindSocket, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EReadLnMaxLineLengthExceeded, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EMaxCaptureLineExceeded, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EHTTPErrorParsingCommand, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EHTTPHeaderAlreadyWritten, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EHTTPUnsupportedAuthorisationScheme, Exception);
OSTRIVAN_DECLARE_EXCEPTION(EWebBridgeException, Exception);

inline constexpr const char* kCouldNotBindSocket = "Could not bind socket.";
inline constexpr const char* kMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* kMaxCaptureLineExceeded = "Maximum number of line allowed exceeded";
inline constexpr const char* kErrorParsingCommand = "Error in parsing command.";
inline constexpr const char* kHeaderAlreadyWritten = "Header has already been written.";
inline constexpr const char* kUnsupportedAuthorisationScheme = "Unsupported authorization scheme.";
inline constexpr const char* kMaxConcurrentConnections =
    "Maximum number of concurrent connections exceeded.  Please try again later";
inline constexpr const char* kNoDataModulesRegistered = "No data modules registered";

// A failed socket call as the connection loop reports it: the code and the system's text.
[[noreturn]] inline void RaiseSocketError(int code) {
  throw ESocketError("Socket Error # " + std::to_string(code) + "\r\n" + std::strerror(code));
}

}  // namespace ostrivan::http
