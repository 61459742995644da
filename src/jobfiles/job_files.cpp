#include "jobfiles/job_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "common/error.h"
#include "common/file_descriptor.h"
#include "common/file_system.h"
#include "common/text.h"

namespace ostrivan::jobfiles {

namespace {

std::mutex g_store_lock;
std::string g_store_directory;

}  // namespace

bool IsFileMode(mode_t mode) { return S_ISREG(mode); }

bool IsFolderMode(mode_t mode) { return S_ISDIR(mode); }

bool ReadIdentity(const std::string& path, TFileIdentity& identity, int* code) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (code != nullptr) *code = errno;
    return false;
  }
  identity.Device = st.st_dev;
  identity.Inode = st.st_ino;
  identity.Size = st.st_size;
  identity.ModifiedSeconds = st.st_mtim.tv_sec;
  identity.ModifiedNanoseconds = st.st_mtim.tv_nsec;
  identity.Mode = st.st_mode;
  identity.ChangedSeconds = st.st_ctim.tv_sec;
  identity.ChangedNanoseconds = st.st_ctim.tv_nsec;
  return true;
}

bool SameVersion(const TFileIdentity& a, const TFileIdentity& b) {
  return a.Device == b.Device && a.Inode == b.Inode && SameContentStamp(a, b);
}

bool SameContentStamp(const TFileIdentity& a, const TFileIdentity& b) {
  return a.Size == b.Size && a.ModifiedSeconds == b.ModifiedSeconds && a.ModifiedNanoseconds == b.ModifiedNanoseconds;
}

TWriterState WriterHolds(const std::string& path) {
  TFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return TWriterState::kUnknown;
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return TWriterState::kNone;
  }
  return errno == EAGAIN ? TWriterState::kOpen : TWriterState::kUnknown;
}

bool ChangedWithin(const struct stat& st, std::chrono::milliseconds settle) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const auto ns = [](const struct timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
  const std::int64_t last = std::max(ns(st.st_mtim), ns(st.st_ctim));
  // A time ahead of the clock (a stepped clock, another machine's share) is recent too.
  return ns(now) - last < static_cast<std::int64_t>(settle.count()) * 1000000;
}

std::string FileTimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[64];  // room for any int the fields may hold, so nothing is ever cut
  std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis));
  return text;
}

namespace {

// Where text may end within limit bytes without cutting a UTF-8 sequence.
std::size_t CutWithin(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

}  // namespace

std::string KeptName(std::string_view stem, std::string_view extension) {
  // A copy across file systems lies under a longer hidden name until it is whole.
  static const std::size_t limit = NAME_MAX - (PartialCopyName("x").size() - 1);
  const std::string stamp = FileTimeStamp() + "-";
  // Only a text that is no real extension is cut: it keeps half the room at most.
  extension = extension.substr(0, CutWithin(extension, (limit - stamp.size()) / 2));
  const std::size_t room = limit - stamp.size() - extension.size();
  return stamp + std::string(stem.substr(0, CutWithin(stem, room))) + std::string(extension);
}

std::string KeptName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return KeptName(name, {});
  return KeptName(name.substr(0, dot), name.substr(dot));
}

std::string EscapeField(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\t': out += "%09"; break;
      case '\n': out += "%0A"; break;
      case '\r': out += "%0D"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UnescapeField(const std::string& text) { return PercentDecode(text); }

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(UnescapeField(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string JobStoreDirectory() {
  std::lock_guard<std::mutex> guard(g_store_lock);
  if (!g_store_directory.empty()) return g_store_directory;
  std::string dir = ExecutableDirectory();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

void SetJobStoreDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> guard(g_store_lock);
  g_store_directory = dir;
}

std::vector<TFolderProblem> ServiceFolderProblems() {
  std::string logs = ExecutableDirectory() + "logs";
  const std::string store = JobStoreDirectory();
  std::vector<TFolderProblem> problems;
  for (const std::string& path : {logs, store + "/held", store + "/sent", store + "/unsent", store + "/received"}) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) problems.push_back({path, SysErrorMessageText(ENOTDIR), "is not a folder"});
      else if (::access(path.c_str(), W_OK | X_OK) != 0)
        problems.push_back({path, SysErrorMessageText(errno), "is not writable"});
      continue;
    }
    // Made when first needed, in its nearest existing parent.
    std::string parent = path;
    bool found = false;
    while (!found) {
      const std::string up = ParentFolder(parent);
      if (up == parent) break;
      parent = up;
      found = ::stat(parent.c_str(), &st) == 0;
    }
    if (!found) {
      problems.push_back({path, SysErrorMessageText(ENOENT), "cannot be created"});
    } else if (!S_ISDIR(st.st_mode) || ::access(parent.c_str(), W_OK | X_OK) != 0) {
      const int code = S_ISDIR(st.st_mode) ? errno : ENOTDIR;
      problems.push_back({path, SysErrorMessageText(code), "is missing and cannot be created in " + parent});
    }
  }
  return problems;
}

}  // namespace ostrivan::jobfiles
