// The export's writer end to end: a job tree built from the input is packed by the export
// itself, the reply's payload unpacks to the same files, and an undelivered reply puts
// the directory back exactly as it was. The same input, cut into text fields, goes
// through the journal line, which must stay one line with every key once.
// The files live in memory when a first fixed round trip works there (every call of the
// export goes through the file system layer), on the disk otherwise.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/stream.h"
#include "archive/zip_file.h"
#include "common/base64.h"
#include "common/error.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_journal.h"
#include "jobs/riz_ozudo_controller.h"
#include "platform/file_system.h"
#include "support/file_trees.h"
#include "support/memory_file_system.h"
#include "support/scratch_files.h"

namespace {

using namespace ostrivan;
using test_support::TempDir;

// Made once per process; freed with the other statics at exit, which removes it.
std::unique_ptr<TempDir> scratch_dir;
std::string scratch;
// Installed for the whole run when the export works in memory.
std::unique_ptr<test_support::TMemoryFileSystem> memory;
std::unique_ptr<platform::TFileSystemOverride> in_memory;

platform::TFileSystem& Files() { return platform::Files(); }

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::abort();
}

// Plain letters, blanks, dots, two UTF-8 letters and '/' (a folder separator).
const char* const kNameAlphabet[] = {"a", "b", "c", "X", "Y", "0", "1", "9", ".", "_", "-", " ", "é", "日", "/", "P"};

struct TInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  bool More() const { return pos < size; }
  std::uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  std::string Bytes(std::size_t n) {
    n = std::min(n, size - pos);
    std::string out(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    return out;
  }
};

// Relative path -> content; a folder as "<path>/" -> "".
using TTree = std::map<std::string, std::string>;

// One path of 1..4 components; "", "." and ".." never come out.
std::string PathFrom(TInput& in) {
  const std::size_t length = 1 + in.Byte() % 20;
  std::string raw;
  for (std::size_t i = 0; i < length && in.More(); ++i) raw += kNameAlphabet[in.Byte() % 16];
  std::string path;
  std::size_t components = 0;
  std::size_t start = 0;
  while (start <= raw.size() && components < 4) {
    std::size_t end = raw.find('/', start);
    if (end == std::string::npos) end = raw.size();
    std::string part = raw.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") part += "x";
    path += (path.empty() ? "" : "/") + part;
    ++components;
  }
  return path;
}

// A file or folder may be added when no file lies on its way and its name is not taken,
// not even as a folder of something added before.
bool Fits(const TTree& tree, const std::string& path) {
  if (tree.count(path)) return false;
  const auto below = tree.lower_bound(path + "/");
  if (below != tree.end() && below->first.rfind(path + "/", 0) == 0) return false;
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (tree.count(path.substr(0, slash))) return false;
  return true;
}

TTree TreeFrom(TInput& in) {
  TTree tree;
  for (int count = 0; in.More() && count < 24; ++count) {
    const std::uint8_t kind = in.Byte();
    std::string path = PathFrom(in);
    if (path.empty()) continue;
    if (kind & 1) path = "programs/" + path;
    if (!Fits(tree, path)) continue;
    if ((kind & 6) == 6) {
      tree[path + "/"] = "";
    } else {
      const std::size_t length = in.Byte() | (static_cast<std::size_t>(in.Byte() % 16) << 8);
      tree[path] = in.Bytes(length);
    }
  }
  // NEWEN needs a program directly in "programs" to name the archive after.
  bool program = false;
  for (const auto& [path, content] : tree)
    program = program || (path.rfind("programs/", 0) == 0 && path.find('/', 9) == std::string::npos);
  if (!program && Fits(tree, "programs/P1.NC")) tree["programs/P1.NC"] = "G0 X0\r\nM30\r\n";
  return tree;
}

void WriteTree(const std::string& root, const TTree& tree) {
  for (const auto& [path, content] : tree) {
    if (path.back() == '/') {
      test_support::MakeFoldersOn(Files(), root + "/" + path.substr(0, path.size() - 1));
    } else {
      const std::size_t slash = path.find_last_of('/');
      if (slash != std::string::npos) test_support::MakeFoldersOn(Files(), root + "/" + path.substr(0, slash));
      test_support::WriteAllOn(Files(), root + "/" + path, content);
    }
  }
}

// Files with their contents and, with folders, every folder (empty ones too).
TTree ReadTree(const std::string& root, bool folders) { return test_support::TreeOn(Files(), root, folders); }

TTree FilesOnly(const TTree& tree) {
  TTree files;
  for (const auto& [path, content] : tree)
    if (path.back() != '/') files[path] = content;
  return files;
}

std::string Describe(const TTree& tree) {
  std::string text;
  for (const auto& [path, content] : tree)
    text += "  \"" + path + "\" (" + std::to_string(content.size()) + " bytes)\n";
  return text;
}

// The round trip of one tree; what went wrong, or nothing.
std::string RoundTrip(const TTree& tree) {
  const std::string dir = scratch + "/export";
  const std::string back = scratch + "/back";
  test_support::RemoveAllOn(Files(), dir);
  test_support::RemoveAllOn(Files(), back);
  test_support::MakeFoldersOn(Files(), dir);
  WriteTree(dir, tree);
  const TTree written = ReadTree(dir, true);

  jobs::TRizOzudoExportLavoroRequest request;
  request.FModoGestioneFile = "NEWEN";
  jobs::TRizOzudoExportLavoroResponse reply;
  const jobs::TJobParameters parameters{[dir] { return dir; }, [] { return std::string(); },
                                        [] { return std::int32_t{7}; },
                                        [] { return jobfiles::kDefaultWriterSettleSeconds; }};
  std::shared_ptr<jobfiles::THeldExport> job = jobs::ExportLavoroJob(request, reply, parameters, "", "127.0.0.1").Held;
  if (reply.FErrore || !job) return "export failed: " + reply.FMessaggio + "\n" + Describe(written);
  if (!test_support::NamesOn(Files(), dir).empty()) return "the export left entries in the directory";

  const std::string bytes = DecodeBase64(reply.FStream, Base64Decoding::kSkipOutsideAlphabet);
  archive::TMemoryView view(bytes.data(), bytes.size());
  try {
    archive::TZipFile zip;
    zip.Open(view, archive::TZipMode::zmRead);
    zip.ExtractAll(back);
  } catch (const Exception& e) {
    return std::string("the export's archive does not unpack: ") + e.what();
  }
  const TTree unpacked = ReadTree(back, false);
  if (unpacked != FilesOnly(written))
    return "unpacked:\n" + Describe(unpacked) + "written:\n" + Describe(FilesOnly(written));

  // The reply never arrived: every file and folder goes back as it was.
  job->Complete(false);
  job.reset();
  const TTree restored = ReadTree(dir, true);
  if (restored != written) return "put back:\n" + Describe(restored) + "written:\n" + Describe(written);
  return {};
}

void ExportRoundTrip(TInput& in) {
  if (const std::string wrong = RoundTrip(TreeFrom(in)); !wrong.empty()) Fail(wrong);
}

// Splits "key=value" fields: values are either bare up to the next blank or quoted with
// backslash escapes. Fails unless the whole line is such fields.
std::vector<std::string> JournalKeys(const std::string& line) {
  std::vector<std::string> keys;
  std::size_t pos = line.find(' ');
  if (pos == std::string::npos) Fail("journal line without fields: " + line);
  while (pos < line.size()) {
    if (line[pos] != ' ') Fail("journal field not separated by a blank: " + line);
    const std::size_t equals = line.find('=', pos + 1);
    if (equals == std::string::npos) Fail("journal field without '=': " + line);
    keys.push_back(line.substr(pos + 1, equals - pos - 1));
    pos = equals + 1;
    if (pos < line.size() && line[pos] == '"') {
      for (++pos; pos < line.size() && line[pos] != '"'; ++pos)
        if (line[pos] == '\\') ++pos;
      if (pos >= line.size()) Fail("journal quote not closed: " + line);
      ++pos;
    } else {
      while (pos < line.size() && line[pos] != ' ' && line[pos] != '"') ++pos;
    }
  }
  return keys;
}

void JournalOneLine(TInput& in) {
  jobfiles::TJournalRecord record;
  const std::uint8_t flags = in.Byte();
  record.Direction = (flags & 1) ? "export" : "import";
  record.Peer = (flags & 2) ? "::1" : "127.0.0.1";
  record.Machine = static_cast<std::int32_t>(in.Byte()) - 128;
  record.Files = (flags & 4) ? -1 : in.Byte();
  record.HasCrc = (flags & 8) != 0;
  record.ArchiveCrc = 0xFFFFFFFFu - in.Byte();
  std::string* texts[] = {&record.Client, &record.Mode, &record.Archive, &record.Job, &record.Outcome};
  for (std::string* text : texts) text->clear();
  for (std::string* text : texts) *text = in.Bytes(in.Byte() * 3u);
  *texts[flags % 5] += in.Bytes(in.size);  // the rest, possibly past the cut limits

  const std::string line = jobfiles::JournalLine(record);
  if (line.find_first_of("\r\n") != std::string::npos) Fail("journal line holds a line break: " + line);
  if (line.rfind(record.Direction + " ", 0) != 0) Fail("journal line does not begin with its direction: " + line);
  std::vector<std::string> expected = {"machine",    "peer",          "mode",  "archive", "job",        "files",
                                       "file_bytes", "archive_bytes", "crc32", "outcome", "duration_ms"};
  if (!record.Client.empty() && record.Client != record.Peer) expected.push_back("client");
  if (record.Direction == "export") {
    expected.push_back("discarded");
    expected.push_back("left");
  }
  std::vector<std::string> keys = JournalKeys(line);
  std::multiset<std::string> got(keys.begin(), keys.end());
  if (got != std::multiset<std::string>(expected.begin(), expected.end())) Fail("journal keys differ: " + line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch_dir = std::make_unique<TempDir>("ostrivan-fuzz-export-");
  scratch = scratch_dir->Path();
  memory = std::make_unique<test_support::TMemoryFileSystem>();
  in_memory = std::make_unique<platform::TFileSystemOverride>(*memory);
  for (int attempt = 0; attempt < 2; ++attempt) {
    // "sent", "unsent" and the fall-back hold folder stay inside the scratch folder.
    test_support::MakeFoldersOn(Files(), scratch + "/store");
    jobfiles::SetJobStoreDirectory(scratch + "/store");
    if (!in_memory || RoundTrip({{"programs/P1.NC", "G0 X0\r\nM30\r\n"}, {"sub/a.txt", "a"}, {"empty/", ""}}).empty())
      break;
    in_memory.reset();
  }
  std::fprintf(stderr, "fuzz_export_roundtrip: files %s\n", in_memory ? "in memory" : "on disk");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  TInput in{data + 1, size - 1};
  // The first byte picks the check, so each has the whole rest to itself.
  if (data[0] & 1) {
    JournalOneLine(in);
  } else {
    ExportRoundTrip(in);
  }
  return 0;
}
