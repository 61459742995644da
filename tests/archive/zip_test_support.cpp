#include "zip_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ostrivan::archive::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ostrivan-zip-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      ::closedir(d);
      for (const auto& n : names) RemoveTree(path + "/" + n);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void SetModifiedTime(const std::string& path, std::time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void MakeReadOnly(const std::string& path) { ::chmod(path.c_str(), 0444); }

bool IsReadOnly(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

namespace {
void ListInto(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  DIR* d = ::opendir((rel.empty() ? root : root + "/" + rel).c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  for (const auto& n : names) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st {};
    ::lstat((root + "/" + r).c_str(), &st);
    if (S_ISDIR(st.st_mode)) ListInto(root, r, out);
    else out.push_back(r);
  }
}
}  // namespace

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  ListInto(dir, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::string RawDeflate(const std::string& data, int level) {
  z_stream z {};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string WholeBufferDeflate(const std::string& data, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

std::uint32_t Crc32Of(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string Le16(std::uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(std::uint32_t v) { return Le16(static_cast<std::uint16_t>(v)) + Le16(static_cast<std::uint16_t>(v >> 16)); }
std::string Le64(std::uint64_t v) { return Le32(static_cast<std::uint32_t>(v)) + Le32(static_cast<std::uint32_t>(v >> 32)); }

std::string ExtraBlock(std::uint16_t id, const std::string& data) {
  return Le16(id) + Le16(static_cast<std::uint16_t>(data.size())) + data;
}

std::string RawArchive::Build() const {
  std::string out, central;
  for (const RawEntry& e : entries) {
    std::string data = e.data;
    if (data.empty() && (e.method == 0 || e.method == 8)) data = e.method == 8 ? RawDeflate(e.payload) : e.payload;
    const std::uint32_t crc = e.crc >= 0 ? static_cast<std::uint32_t>(e.crc) : Crc32Of(e.payload);
    const std::uint32_t csize = e.compressed >= 0 ? static_cast<std::uint32_t>(e.compressed) : static_cast<std::uint32_t>(data.size());
    const std::uint32_t usize = e.uncompressed >= 0 ? static_cast<std::uint32_t>(e.uncompressed) : static_cast<std::uint32_t>(e.payload.size());
    const std::uint32_t offset = e.offset_override >= 0 ? static_cast<std::uint32_t>(e.offset_override) : static_cast<std::uint32_t>(out.size());
    std::string common = Le16(e.flag) + Le16(e.method) + Le32(e.dos_time) + Le32(crc) + Le32(csize) + Le32(usize) +
                         Le16(static_cast<std::uint16_t>(e.name.size()));
    out += Le32(e.local_signature) + Le16(20) + common + Le16(static_cast<std::uint16_t>(e.local_extra.size())) + e.name +
           e.local_extra + data;
    central += Le32(e.central_signature) + Le16(e.made_by) + Le16(20) + common +
               Le16(static_cast<std::uint16_t>(e.central_extra.size())) + Le16(0) + Le16(0) + Le16(0) + Le32(e.external) +
               Le32(offset) + e.name + e.central_extra;
  }
  const std::uint16_t count = count_override >= 0 ? static_cast<std::uint16_t>(count_override) : static_cast<std::uint16_t>(entries.size());
  const std::uint32_t cd_offset = static_cast<std::uint32_t>(out.size());
  out += central;
  out += Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(count) + Le16(count) + Le32(static_cast<std::uint32_t>(central.size())) +
         Le32(cd_offset) + Le16(0);
  return out;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buf {};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) result.output.append(buf.data(), n);
  int status = ::pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CommandResult RunPython(const std::string& script, const std::vector<std::string>& args) {
  TempDir dir;
  const std::string file = dir / "script.py";
  WriteFile(file, script);
  std::string command = "python3 " + ShellQuote(file);
  for (const auto& a : args) {
    command += ' ';
    command += ShellQuote(a);
  }
  return RunCommand(command);
}

}  // namespace ostrivan::archive::testing
