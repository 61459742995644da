#pragma once
// What the Windows sources of the platform layer share: Winsock started once, the
// system's error codes as errno values, UTF-8 and the wide strings of the ...W calls, and
// the stop requests that the console and the service control manager both make.
// clang-format off
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // windows.h without the old winsock.h, which winsock2.h replaces
#endif
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <string>

#include "platform/net.h"

namespace ostrivan::platform::windows {

// Starts Winsock 2.2 on the first call; false when it could not be started.
bool StartWinsock();

// The errno value of a Winsock error (WSAGetLastError) and of a Win32 error (GetLastError).
int ErrnoOfWinsockError(int error);
int ErrnoOfSystemError(DWORD error);

std::wstring WideOf(const std::string& utf8);
std::string Utf8Of(const wchar_t* wide, int length = -1);
// The system's own words for a Win32 or Winsock error, in UTF-8.
std::string SystemMessage(DWORD error);

// Notes a stop request as if signal_number (2: Ctrl+C, 15: the others) came, and wakes
// every wait on the stop handle.
void NoteStopRequest(int signal_number);
// The event that is set with the stop handle, or nullptr when handle is not that handle.
HANDLE StopEventOf(TWaitHandle handle);
// A service gets the console's logoff event whenever any user logs off: it must not stop.
void IgnoreLogoff(bool ignore);

}  // namespace ostrivan::platform::windows
