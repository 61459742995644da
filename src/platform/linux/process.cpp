#include "platform/process.h"

#include <pthread.h>
#include <sys/random.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace ostrivan::platform {

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a thread's handle must fit TThread");

namespace {

struct TProcessThreadStart {
  void (*main)(void*);
  void* argument;
};

void* ProcessThreadMain(void* raw) {
  const TProcessThreadStart start = *static_cast<TProcessThreadStart*>(raw);
  delete static_cast<TProcessThreadStart*>(raw);
  start.main(start.argument);
  return nullptr;
}

}  // namespace

std::string OsDescription() {
  utsname name{};
  if (uname(&name) != 0) return {};
  return std::string(name.sysname) + " " + name.release + " " + name.version;
}

long ProcessorCount() { return sysconf(_SC_NPROCESSORS_ONLN); }

TArchitecture Architecture() {
#if defined(__x86_64__)
  return TArchitecture::kX64;
#elif defined(__aarch64__)
  return TArchitecture::kArm64;
#elif defined(__i386__)
  return TArchitecture::kX86;
#else
  return TArchitecture::kArm32;
#endif
}

std::uint32_t CurrentThreadNumber() { return static_cast<std::uint32_t>(::gettid()); }

long ProcessId() { return static_cast<long>(::getpid()); }

long PageSize() { return ::sysconf(_SC_PAGESIZE); }

TStatus TryStartThread(std::size_t stack_size, void (*main)(void*), void* argument, TThread& thread) {
  auto* start = new TProcessThreadStart{main, argument};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_size);
  pthread_t id{};
  const int rc = pthread_create(&id, &attr, &ProcessThreadMain, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return TStatus::Failed(rc);
  }
  thread.Handle = static_cast<std::uintptr_t>(id);
  return {};
}

void JoinThread(const TThread& thread) { pthread_join(static_cast<pthread_t>(thread.Handle), nullptr); }

TStatus TryRandomBytes(unsigned char* bytes, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::getrandom(bytes + got, size - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
    else if (errno != EINTR) return TStatus::Failed(n == 0 ? EIO : errno);
  }
  return {};
}

TStatus TryRunCommand(const std::string& command, const std::string& argument, int& exit_status) {
  // Built before the fork: the child calls nothing but exec and _exit.
  const std::string script = command + " \"$1\"";
  const pid_t child = ::fork();
  if (child < 0) return TStatus::Failed(errno);
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), "sh", argument.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return {};
}

}  // namespace ostrivan::platform
