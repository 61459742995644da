#pragma once
// Facts about the machine and this process, threads with a stack of a chosen size,
// randomness, and running a command of the user's.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace ostrivan::platform {

// The operating system's name, release and version in one line ("Linux 6.1.0-18-amd64
// #1 SMP ..."); empty when the system does not say.
std::string OsDescription();
// Processors online; -1 when the system does not say.
long ProcessorCount();

enum class TArchitecture { kX64, kArm64, kX86, kArm32 };
// The processor architecture this build runs on.
TArchitecture Architecture();

// The system's number of the calling thread, as other tools show it.
std::uint32_t CurrentThreadNumber();
// The system's number of this process.
long ProcessId();
// Bytes in one page of memory.
long PageSize();

// A thread whose stack has the given size (std::thread cannot choose one): hundreds of
// connection threads must not reserve the default stack each. It must be joined.
struct TThread {
  std::uintptr_t Handle = 0;
};
TStatus TryStartThread(std::size_t stack_size, void (*main)(void*), void* argument, TThread& thread);
void JoinThread(const TThread& thread);

// Fills bytes from the system's source of randomness, as far as it gives any; the
// failure when it gave fewer than asked.
TStatus TryRandomBytes(unsigned char* bytes, std::size_t size);

// Runs command through the system's shell with argument appended as one quoted word
// (so a folder with blanks stays whole), and waits for it. exit_status: its exit code,
// 128 + the signal that ended it, or 127 when no shell could be started.
TStatus TryRunCommand(const std::string& command, const std::string& argument, int& exit_status);

}  // namespace ostrivan::platform
