#include "platform/process.h"

#include "platform/windows/windows_support.h"

#include <bcrypt.h>
#include <process.h>

#include <cerrno>

namespace ostrivan::platform {

static_assert(sizeof(HANDLE) <= sizeof(std::uintptr_t), "a thread's handle must fit TThread");

namespace {

struct TProcessThreadStartW {
  void (*main)(void*);
  void* argument;
};

unsigned __stdcall ProcessThreadMainW(void* raw) {
  const TProcessThreadStartW start = *static_cast<TProcessThreadStartW*>(raw);
  delete static_cast<TProcessThreadStartW*>(raw);
  start.main(start.argument);
  return 0;
}

// The shell: %ComSpec%, else cmd.exe in the system folder.
std::wstring ProcessShell() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD n = GetEnvironmentVariableW(L"ComSpec", path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return path;
  const UINT m = GetSystemDirectoryW(path, MAX_PATH);
  if (m > 0 && m < MAX_PATH) return std::wstring(path) + L"\\cmd.exe";
  return L"cmd.exe";
}

}  // namespace

std::string OsDescription() {
  // RtlGetVersion tells the truth; GetVersionEx answers what the program's manifest
  // claims to know.
  using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return {};
  const auto get_version =
      reinterpret_cast<TRtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (get_version == nullptr) return {};
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (get_version(&info) != 0) return {};
  std::string text = "Windows " + std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) +
                     "." + std::to_string(info.dwBuildNumber);
  const std::string pack = windows::Utf8Of(info.szCSDVersion);
  if (!pack.empty()) text += " " + pack;
  // Wine says which Windows it stands for; what runs underneath is worth knowing too.
  using TWineVersion = const char*(__cdecl*)();
  if (const auto wine =
          reinterpret_cast<TWineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
      wine != nullptr)
    text += std::string(" (Wine ") + wine() + ")";
  return text;
}

long ProcessorCount() {
  const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (count > 0) return static_cast<long>(count);
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<long>(info.dwNumberOfProcessors) : -1;
}

TArchitecture Architecture() {
#if defined(__x86_64__) || defined(_M_X64)
  return TArchitecture::kX64;
#elif defined(__aarch64__) || defined(_M_ARM64)
  return TArchitecture::kArm64;
#elif defined(__i386__) || defined(_M_IX86)
  return TArchitecture::kX86;
#else
  return TArchitecture::kArm32;
#endif
}

std::uint32_t CurrentThreadNumber() { return static_cast<std::uint32_t>(GetCurrentThreadId()); }

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

long PageSize() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return static_cast<long>(info.dwPageSize);
}

TStatus TryStartThread(std::size_t stack_size, void (*main)(void*), void* argument, TThread& thread) {
  auto* start = new TProcessThreadStartW{main, argument};
  // The size reserves the stack (committed as it grows), as a POSIX thread's does.
  const std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stack_size), &ProcessThreadMainW, start,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    const int error = errno;
    delete start;
    return TStatus::Failed(error != 0 ? error : EAGAIN);
  }
  thread.Handle = handle;
  return {};
}

void JoinThread(const TThread& thread) {
  const HANDLE handle = reinterpret_cast<HANDLE>(thread.Handle);
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
}

TStatus TryRandomBytes(unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
    if (BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return TStatus::Failed(EIO);
    bytes += chunk;
    size -= chunk;
  }
  return {};
}

TStatus TryRunCommand(const std::string& command, const std::string& argument, int& exit_status) {
  // cmd /s /c takes what follows whole, outer quotes removed; the argument goes in double
  // quotes, which no Windows path contains, so blanks keep it one word.
  const std::wstring shell = ProcessShell();
  std::wstring line =
      L"\"" + shell + L"\" /d /s /c \"" + windows::WideOf(command) + L" \"" + windows::WideOf(argument) + L"\"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
    exit_status = 127;
    return {};
  }
  CloseHandle(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  const BOOL asked = GetExitCodeProcess(child.hProcess, &code);
  const DWORD error = GetLastError();
  CloseHandle(child.hProcess);
  if (!asked) return TStatus::Failed(windows::ErrnoOfSystemError(error));
  exit_status = static_cast<int>(code);
  return {};
}

}  // namespace ostrivan::platform
