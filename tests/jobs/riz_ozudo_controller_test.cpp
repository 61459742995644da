// The export and import jobs on real directories: every failure in its order of checks,
// what is packed and unpacked, what is left behind, and jobs racing on one directory.
#include "jobs/riz_ozudo_controller.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "archive/stream.h"
#include "archive/zip_file.h"
#include "common/base64.h"
#include "jobfiles/job_metrics.h"
#include "support/job_archives.h"
#include "support/scratch_files.h"
#include "support/zip_builder.h"

namespace ostrivan::jobs {
using namespace ostrivan::jobfiles;
namespace {

namespace fs = std::filesystem;
using archive::TBytesStream;
using archive::TZipFile;
using archive::TZipMode;
using test_support::ArchiveOf;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

// Relative path -> content, directories as "<path>/" -> "".
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::string& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_directory()) {
      tree[rel + "/"] = "";
    } else if (!it->is_regular_file()) {
      tree[rel] = "<special>";  // reading a FIFO would wait for a writer
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      tree[rel] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return tree;
}

TJobParameters Parameters(const std::string& export_dir, const std::string& import_dir, std::int32_t nr = 0) {
  return {[=] { return export_dir; }, [=] { return import_dir; }, [=] { return nr; },
          [] { return kDefaultWriterSettleSeconds; }};
}

// "sent", "unsent" and the fall-back hold folder of these tests, away from the binary.
const std::string& StoreDirectory() {
  static const std::string dir = [] {
    const fs::path path = fs::temp_directory_path() / ("ostrivan-jobctl-store-" + std::to_string(::getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
    SetJobStoreDirectory(path.string());
    return path.string();
  }();
  return dir;
}

// An export whose reply reached the client.
TRizOzudoExportLavoroResponse Export(const std::string& dir, const std::string& mode, std::int32_t nr = 0) {
  StoreDirectory();
  TRizOzudoExportLavoroRequest request;
  request.FModoGestioneFile = mode;
  TRizOzudoExportLavoroResponse reply;
  if (auto job = ExportLavoroJob(request, reply, Parameters(dir, "", nr)).Held) job->Complete(true);
  return reply;
}

TRizOzudoImportLavoroResponse Import(const std::string& dir, const std::string& stream) {
  TRizOzudoImportLavoroRequest request;
  request.FNomeFile = "Job.zip";
  request.FStream = stream;
  TRizOzudoImportLavoroResponse reply;
  ImportLavoroJob(request, reply, Parameters("", dir));
  return reply;
}

// Entry name -> content of an archive held in memory.
std::vector<std::pair<std::string, std::string>> ArchiveEntries(const std::string& bytes) {
  TempDir out;
  TBytesStream stream(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  TZipFile zip;
  zip.Open(stream, TZipMode::zmRead);
  std::vector<std::string> names;
  for (const auto& h : zip.Files()) names.push_back(h.FileName);
  zip.ExtractAll(out.Path());
  zip.Close();
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& name : names) {
    std::string rel = name;
    for (char& c : rel)
      if (c == '\\') c = '/';
    std::ifstream in(out / rel, std::ios::binary);
    entries.emplace_back(name, std::string(std::istreambuf_iterator<char>(in), {}));
  }
  return entries;
}

void MakeReadOnly(const std::string& path) { ASSERT_EQ(::chmod(path.c_str(), 0444), 0) << path; }

// ---------------------------------------------------------------- export

TEST(ExportLavoroJob, FailuresInTheirOrderOfChecksTouchNothing) {
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> setup;
    bool configured;
    std::string mode;
    std::function<std::string(const std::string&)> message;  // from the directory text
  };
  const auto file_at_top = [](const TempDir& d) { WriteFile(d / "job/a.txt", "a"); };
  const std::vector<Case> cases = {
      {"not configured, empty mode", file_at_top, false, "",
       [](const std::string&) { return "Directory ExportLavoroDir non specificata"; }},
      {"missing directory", [](const TempDir&) {}, true, "NEWEN",
       [](const std::string& d) { return "Directory " + d + " non trovata"; }},
      {"a file, not a directory", [](const TempDir& d) { WriteFile(d / "job", "x"); }, true, "NEWEN",
       [](const std::string& d) { return "Directory " + d + " non trovata"; }},
      {"empty directory beats empty mode", [](const TempDir& d) { fs::create_directories(d / "job"); }, true, "",
       [](const std::string& d) { return "Nessun file trovato in " + d; }},
      {"mode not set", file_at_top, true, "", [](const std::string&) { return "Modo gestione file non impostato"; }},
      {"newen without programs", file_at_top, true, "NEWEN",
       [](const std::string& d) { return "Directory \"programs\" non trovata in " + d + "/programs"; }},
      {"newen with programs holding only a directory",
       [](const TempDir& d) {
         fs::create_directories(d / "job/programs/sub");
         WriteFile(d / "job/programs/sub/P1.NC", "G0");
       },
       true, "NEWEN",
       [](const std::string& d) { return "Nessun file trovato nella directory \"programs\" in " + d + "/programs"; }},
      {"newen with programs a file", [](const TempDir& d) { WriteFile(d / "job/programs", "x"); }, true, "NEWEN",
       [](const std::string& d) { return "Directory \"programs\" non trovata in " + d + "/programs"; }},
      {"rottler with only directories", [](const TempDir& d) { WriteFile(d / "job/sub/a.txt", "a"); }, true, "ROTTLER",
       [](const std::string& d) { return "Nessun file trovato nella directory \"" + d + "\""; }},
      {"mode in lower case", file_at_top, true, "newen",
       [](const std::string&) { return "Modo gestione file \"newen\" non riconosciuto"; }},
      {"mode with blanks", file_at_top, true, " ROTTLER",
       [](const std::string&) { return "Modo gestione file \" ROTTLER\" non riconosciuto"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir d;
    c.setup(d);
    const Tree before = ReadTree(d.Path());
    TRizOzudoExportLavoroRequest request;
    request.FModoGestioneFile = c.mode;
    TRizOzudoExportLavoroResponse reply;
    ExportLavoroJob(request, reply, Parameters(c.configured ? d / "job" : "", "", 42));
    EXPECT_TRUE(reply.FErrore);
    EXPECT_EQ(reply.FMessaggio, c.message(d / "job"));
    EXPECT_EQ(reply.FNomeFile, "");
    EXPECT_EQ(reply.FStream, "");
    EXPECT_EQ(reply.FNrMacchina, 0);
    EXPECT_EQ(ReadTree(d.Path()), before);
  }
}

TEST(ExportLavoroJob, NewenPacksTheWholeTreeNamedAfterTheFirstProgram) {
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/programs/P2.NC", "G1 X2");
  WriteFile(job + "/programs/p10.NC", "G1 X10");  // "P10" sorts before "P2"
  WriteFile(job + "/tools/T.CFG", "T1=drill");
  WriteFile(job + "/job.ini", "[JOB]");
  fs::create_directories(job + "/temp");  // empty: not stored
  const auto reply = Export(job, "NEWEN", 7);
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(reply.FMessaggio, "");
  EXPECT_EQ(reply.FNomeFile, "p10.zip");
  EXPECT_EQ(reply.FNrMacchina, 7);
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)),
            (std::vector<std::pair<std::string, std::string>>{{"job.ini", "[JOB]"},
                                                              {"programs\\p10.NC", "G1 X10"},
                                                              {"programs\\P2.NC", "G1 X2"},
                                                              {"tools\\T.CFG", "T1=drill"}}));
  EXPECT_TRUE(ReadTree(job).empty());
}

TEST(ExportLavoroJob, NewenFindsProgramsWrittenInAnotherCase) {
  TempDir d;
  WriteFile(d / "job/Programs/P1.NC", "G0");
  const auto reply = Export(d / "job", "NEWEN");
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(reply.FNomeFile, "P1.zip");
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)).at(0).first, "Programs\\P1.NC");
}

TEST(ExportLavoroJob, RottlerPacksOnlyTheFirstFileAndEmptiesEverything) {
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/b.txt", "second");
  WriteFile(job + "/A.txt", "first");
  WriteFile(job + "/sub/c.txt", "below");
  const auto reply = Export(job, "ROTTLER", -3);
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(reply.FNomeFile, "A.zip");
  EXPECT_EQ(reply.FNrMacchina, -3);
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)),
            (std::vector<std::pair<std::string, std::string>>{{"A.txt", "first"}}));
  EXPECT_TRUE(ReadTree(job).empty());
}

TEST(ExportLavoroJob, FailedEmptyingKeepsThePayloadButNotTheMachineNumber) {
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/programs/P1.NC", "G0");
  WriteFile(job + "/locked.txt", "ro");
  MakeReadOnly(job + "/locked.txt");
  const auto reply = Export(job, "NEWEN", 9);
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio, "Fallita eliminazione contenuto " + job);
  EXPECT_EQ(reply.FNomeFile, "P1.zip");
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)).size(), 2u);
  EXPECT_EQ(reply.FNrMacchina, 0);
  EXPECT_TRUE(fs::exists(job + "/locked.txt"));
}

// Links, pipes and sockets are not part of a job: they are neither packed nor removed,
// and the job around them goes as usual.
TEST(ExportLavoroJob, LinksPipesAndSocketsAreLeftInPlace) {
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/programs/P1.NC", "G0");
  WriteFile(job + "/tools/T.CFG", "T1");
  ASSERT_EQ(::mkfifo((job + "/programs/A0.NC").c_str(), 0644), 0);  // would be the first program
  ASSERT_EQ(::symlink("P1.NC", (job + "/programs/link.NC").c_str()), 0);
  ASSERT_EQ(::symlink(".", (job + "/tools/loop").c_str()), 0);
  ASSERT_EQ(::symlink("/nowhere", (job + "/dangling").c_str()), 0);
  auto reply = Export(job, "NEWEN", 5);
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(reply.FNomeFile, "P1.zip");
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)),
            (std::vector<std::pair<std::string, std::string>>{{"programs\\P1.NC", "G0"}, {"tools\\T.CFG", "T1"}}));
  EXPECT_TRUE(fs::is_symlink(job + "/tools/loop"));
  fs::remove(job + "/tools/loop");  // a loop the tree reader would walk
  EXPECT_EQ(ReadTree(job), (Tree{{"dangling", "<special>"},
                                 {"programs/", ""},
                                 {"programs/A0.NC", "<special>"},
                                 {"programs/link.NC", "<special>"},
                                 {"tools/", ""}}));
  // ROTTLER takes the first regular file; a folder of links alone holds nothing to take.
  reply = Export(job, "ROTTLER");
  EXPECT_EQ(reply.FMessaggio, "Nessun file trovato nella directory \"" + job + "\"");
  fs::remove_all(job + "/programs");
  fs::remove_all(job + "/tools");
  reply = Export(job, "ROTTLER");
  EXPECT_EQ(reply.FMessaggio, "Nessun file trovato in " + job);
  EXPECT_TRUE(fs::is_symlink(job + "/dangling"));
}

// A part of the tree that cannot be read fails the export naming it, instead of being
// left out of a reply that says success; nothing is removed.
TEST(ExportLavoroJob, ATreeThatCannotBeReadWholeFailsNamingWhereAndDeletesNothing) {
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/programs/P1.NC", "G0");
  // Deeper than a path can name, whoever runs the test.
  std::string deep = job + "/deep";
  fs::create_directories(deep);
  const int top = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  int fd = top;
  const std::string part(200, 'd');
  std::size_t length = deep.size();
  while (length < PATH_MAX + 300) {
    ASSERT_EQ(::mkdirat(fd, part.c_str(), 0755), 0);
    const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0);
    if (fd != top) ::close(fd);
    fd = next;
    length += part.size() + 1;
  }
  const int file = ::openat(fd, "X.NC", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(file, 0);
  ::close(file);
  ::close(fd);
  ::close(top);
  auto reply = Export(job, "NEWEN");
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(
      reply.FMessaggio.rfind("Fallita compressione zip Impossibile leggere la cartella \"" + deep + "/" + part, 0), 0u)
      << reply.FMessaggio.substr(0, 200);
  EXPECT_NE(reply.FMessaggio.find("\". " + std::string(std::strerror(ENAMETOOLONG))), std::string::npos);
  EXPECT_EQ(ReadFile(job + "/programs/P1.NC"), "G0");
  EXPECT_EQ(reply.FStream, "");
  // fs::remove_all cannot walk it either: take it apart from the top.
  std::function<void(int)> remove_below = [&](int dir) {
    const int below = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY);
    if (below < 0) return;
    remove_below(below);
    ::unlinkat(below, "X.NC", 0);
    ::close(below);
    ::unlinkat(dir, part.c_str(), AT_REMOVEDIR);
  };
  const int again = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  remove_below(again);
  ::close(again);

  if (::geteuid() != 0) {
    WriteFile(job + "/secret.txt", "s");
    ASSERT_EQ(::chmod((job + "/secret.txt").c_str(), 0), 0);
    reply = Export(job, "NEWEN");
    EXPECT_TRUE(reply.FErrore);
    EXPECT_EQ(reply.FMessaggio.rfind("Fallita compressione zip Cannot open file \"" + job + "/secret.txt\".", 0), 0u)
        << reply.FMessaggio;
    EXPECT_TRUE(fs::exists(job + "/secret.txt"));
  }
}

// Two files whose entry names read the same would reach a client as one entry, and the
// other would be lost with the emptying: the export fails naming the entry.
TEST(ExportLavoroJob, TwoFilesThatWouldBeOneEntryFailTheExportAndNothingMoves) {
  struct Case {
    const char* what;
    std::string first;
    std::string second;
    std::string entry;
  };
  for (const Case& c :
       {Case{"Latin-1 beside UTF-8", "tools/caf\xe9.txt", "tools/caf\xc3\xa9.txt", "tools\\caf\xc3\xa9.txt"},
        Case{"a backslash in a name", "tools\\T1.CFG", "tools/T1.CFG", "tools\\T1.CFG"}}) {
    SCOPED_TRACE(c.what);
    TempDir d;
    const std::string job = d / "job";
    WriteFile(job + "/programs/P1.NC", "G0");
    WriteFile(job + "/" + c.first, "one");
    WriteFile(job + "/" + c.second, "two");
    const Tree before = ReadTree(job);
    auto reply = Export(job, "NEWEN");
    EXPECT_TRUE(reply.FErrore);
    EXPECT_EQ(reply.FMessaggio, "Fallita compressione zip Nome ripetuto nell'archivio: \"" + c.entry + "\"");
    EXPECT_EQ(reply.FStream, "");
    EXPECT_EQ(ReadTree(job), before);
  }
}

TEST(ExportLavoroJob, AFileNamedLikeTheArchiveIsPackedNeverOverwritten) {
  // The archive is written outside the directory, so a file of its name is job content.
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/a.zip", "old");
  auto reply = Export(job, "ROTTLER");
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(reply.FNomeFile, "a.zip");
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)),
            (std::vector<std::pair<std::string, std::string>>{{"a.zip", "old"}}));

  WriteFile(job + "/programs/P1.NC", "G0");
  WriteFile(job + "/P1.zip", "not ours");
  reply = Export(job, "NEWEN");
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)),
            (std::vector<std::pair<std::string, std::string>>{{"P1.zip", "not ours"}, {"programs\\P1.NC", "G0"}}));
  EXPECT_TRUE(ReadTree(job).empty());
}

TEST(ExportLavoroJob, NamesThatAreNotUtf8AreReadAsLatin1) {
  // The reply is UTF-8 JSON: a raw 0xE8 in it would make it unreadable for the client
  // after the job had already been deleted.
  for (const std::string mode : {"NEWEN", "ROTTLER"}) {
    SCOPED_TRACE(mode);
    TempDir d;
    const std::string job = d / "job";
    const std::string sub = mode == "NEWEN" ? "/programs/" : "/";
    WriteFile(job + sub + "P\xe8.NC", "G0");
    const auto reply = Export(job, mode);
    ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
    EXPECT_EQ(reply.FNomeFile, "P\xc3\xa8.zip");
    const std::string entry = mode == "NEWEN" ? "programs\\P\xc3\xa8.NC" : "P\xc3\xa8.NC";
    EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)),
              (std::vector<std::pair<std::string, std::string>>{{entry, "G0"}}));
    EXPECT_TRUE(ReadTree(job).empty());
  }
  // A failure that quotes such a name still gives a UTF-8 message.
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/programs/P1.NC", "G0");
  WriteFile(job + "/programs/P\xe8.NC", "Latin-1");
  WriteFile(job + "/programs/P\xc3\xa8.NC", "UTF-8");
  const Tree before = ReadTree(job);
  const auto reply = Export(job, "NEWEN");
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio, "Fallita compressione zip Nome ripetuto nell'archivio: \"programs\\P\xc3\xa8.NC\"");
  EXPECT_EQ(ReadTree(job), before);  // nothing deleted, no partial archive left
}

TEST(ExportLavoroJob, OnlyTheArchiveItselfIsLeftOutAndItsNameIsTheRealFileName) {
  // Letter case makes another file here, and ':' and '\' are ordinary name characters.
  struct Case {
    std::string mode;
    std::vector<std::pair<std::string, std::string>> files;  // relative path, content
    std::string nome_file;
    std::vector<std::pair<std::string, std::string>> entries;
  } cases[] = {
      {"NEWEN",
       {{"programs/P1.NC", "G0"}, {"p1.ZIP", "other"}},
       "P1.zip",
       {{"p1.ZIP", "other"}, {"programs\\P1.NC", "G0"}}},
      {"NEWEN", {{"programs/X:1.NC", "G1"}}, "X:1.zip", {{"programs\\X:1.NC", "G1"}}},
      {"ROTTLER", {{"A\\B.NC", "G2"}}, "A\\B.zip", {{"A\\B.NC", "G2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nome_file);
    TempDir d;
    const std::string job = d / "job";
    for (const auto& [rel, content] : c.files) WriteFile(job + "/" + rel, content);
    const auto reply = Export(job, c.mode);
    ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
    EXPECT_EQ(reply.FNomeFile, c.nome_file);
    EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)), c.entries);
    EXPECT_TRUE(ReadTree(job).empty());
  }
}

TEST(ExportLavoroJob, SettingsAreReadOnEveryRun) {
  TempDir d;
  WriteFile(d / "one/a.txt", "1");
  WriteFile(d / "two/b.txt", "2");
  int calls = 0;
  TJobParameters parameters{[&] { return d / (calls++ == 0 ? "one" : "two"); }, [] { return std::string(); },
                            [&] { return calls * 10; }, [] { return kDefaultWriterSettleSeconds; }};
  TRizOzudoExportLavoroRequest request;
  request.FModoGestioneFile = "ROTTLER";
  TRizOzudoExportLavoroResponse first, second;
  ExportLavoroJob(request, first, parameters);
  ExportLavoroJob(request, second, parameters);
  EXPECT_EQ(first.FNomeFile, "a.zip");
  EXPECT_EQ(first.FNrMacchina, 10);
  EXPECT_EQ(second.FNomeFile, "b.zip");
  EXPECT_EQ(second.FNrMacchina, 20);
}

TEST(ExportLavoroJob, ClientsRacingForOneJobGetItOnceAndWhole) {
  constexpr int kRounds = 5;
  constexpr int kClients = 4;
  TempDir d;
  const std::string job = d / "job";
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 20; ++i)
      WriteFile(job + "/programs/P" + std::to_string(100 + i) + ".NC", std::string(5000, 'G'));
    WriteFile(job + "/tools/T.CFG", "T");
    std::vector<TRizOzudoExportLavoroResponse> replies(kClients);
    std::vector<std::thread> clients;
    for (std::size_t c = 0; c < kClients; ++c) clients.emplace_back([&, c] { replies[c] = Export(job, "NEWEN"); });
    for (auto& t : clients) t.join();
    int winners = 0;
    for (const auto& reply : replies) {
      if (!reply.FErrore) {
        ++winners;
        EXPECT_EQ(ArchiveEntries(DecodeBase64(reply.FStream)).size(), 21u);
      } else {
        EXPECT_EQ(reply.FMessaggio, "Nessun file trovato in " + job);
      }
    }
    EXPECT_EQ(winners, 1) << "round " << round;
    EXPECT_TRUE(ReadTree(job).empty());
  }
}

std::uint64_t JobsCounted(const TJobDirectionMetrics& direction) {
  std::uint64_t total = 0;
  for (const auto& [outcome, count] : direction.Outcomes) total += count;
  return total;
}

// A stop that came while a job waited for its directory abandons it before it begins:
// the reply is left as it was (the caller sends none), nothing in the directory moves,
// nothing is held, journalled or counted. The same job without a stop goes as usual.
TEST(JobStop, AStopBeforeTheWorkBeginsAbandonsTheJobUntouched) {
  StoreDirectory();
  for (const bool stop : {true, false}) {
    TempDir d;
    const std::string out = d / "out";
    const std::string in = d / "in";
    WriteFile(out + "/programs/P1.NC", "G0");
    WriteFile(in + "/old.NC", "old");
    const Tree out_before = ReadTree(out);
    const Tree in_before = ReadTree(in);
    std::stop_source source;
    if (stop) source.request_stop();
    const TJobMetrics counted_before = JobMetricsSnapshot();

    TRizOzudoExportLavoroRequest export_request;
    export_request.FModoGestioneFile = "NEWEN";
    TRizOzudoExportLavoroResponse export_reply;
    TExportRun run =
        ExportLavoroJob(export_request, export_reply, Parameters(out, "", 7), "", "127.0.0.1", source.get_token());
    EXPECT_EQ(run.Abandoned, stop);
    EXPECT_EQ(run.Held == nullptr, stop);
    EXPECT_FALSE(export_reply.FErrore) << export_reply.FMessaggio;
    EXPECT_EQ(export_reply.FStream.empty(), stop);
    EXPECT_EQ(export_reply.FNrMacchina, stop ? 0 : 7);
    if (run.Held) run.Held->Complete(false);  // undelivered: put back

    TRizOzudoImportLavoroRequest import_request;
    import_request.FNomeFile = "J.zip";
    import_request.FStream = EncodeBase64(ArchiveOf({{"new.NC", "G1"}}));
    TRizOzudoImportLavoroResponse import_reply;
    EXPECT_EQ(ImportLavoroJob(import_request, import_reply, Parameters("", in), "", "127.0.0.1", source.get_token()),
              !stop);
    EXPECT_FALSE(import_reply.FErrore) << import_reply.FMessaggio;

    EXPECT_EQ(ReadTree(out), out_before);
    EXPECT_EQ(ReadTree(in), stop ? in_before : (Tree{{"new.NC", "G1"}}));
    const TJobMetrics counted_after = JobMetricsSnapshot();
    EXPECT_EQ(JobsCounted(counted_after.Export) - JobsCounted(counted_before.Export), stop ? 0u : 1u);
    EXPECT_EQ(JobsCounted(counted_after.Import) - JobsCounted(counted_before.Import), stop ? 0u : 1u);
  }
}

// ---------------------------------------------------------------- import

TEST(ImportLavoroJob, ReplacesEverythingWithTheArchiveAndDeletesIt) {
  TempDir d;
  const std::string dir = d / "in";
  WriteFile(dir + "/old.NC", "old");
  WriteFile(dir + "/Lavoro.zip", "stale");
  WriteFile(dir + "/old/deep/x.txt", "x");
  MakeReadOnly(dir + "/old/deep/x.txt");  // read-only below the top goes too
  const std::string zip = ArchiveOf({{"programs\\P1.NC", "G0 X1"}, {"tools/T.CFG", "T1"}, {"note.txt", ""}});
  const auto reply = Import(dir, EncodeBase64(zip));
  ASSERT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(reply.FMessaggio, "");
  EXPECT_EQ(
      ReadTree(dir),
      (Tree{{"note.txt", ""}, {"programs/", ""}, {"programs/P1.NC", "G0 X1"}, {"tools/", ""}, {"tools/T.CFG", "T1"}}));
}

TEST(ImportLavoroJob, FailuresInTheirOrderOfChecks) {
  const std::string zip = ArchiveOf({{"a.txt", "a"}});
  struct Case {
    const char* what;
    std::function<void(const std::string&)> setup;
    bool configured;
    std::string stream;
    std::function<std::string(const std::string&)> message;
    Tree after;  // what the directory holds afterwards
  };
  const std::vector<Case> cases = {
      {"not configured",
       [](const std::string&) {},
       false,
       EncodeBase64(zip),
       [](const std::string&) { return "Directory ImportLavoroDir non specificata"; },
       {}},
      {"missing",
       [](const std::string& dir) { fs::remove(dir); },
       true,
       EncodeBase64(zip),
       [](const std::string& dir) { return "Directory " + dir + " non trovata"; },
       {}},
      {"read-only file on top",
       [](const std::string& dir) {
         WriteFile(dir + "/ro.txt", "r");
         MakeReadOnly(dir + "/ro.txt");
       },
       true,
       EncodeBase64(zip),
       [](const std::string& dir) { return "Fallita eliminazione contenuto " + dir; },
       {{"ro.txt", "r"}}},
      {"not a zip",
       [](const std::string& dir) { WriteFile(dir + "/old.txt", "o"); },
       true,
       EncodeBase64("this is not an archive at all"),
       [](const std::string&) { return "Fallita extrazione .zip Error reading zip file"; },
       {{"Lavoro.zip", "this is not an archive at all"}}},
      {"empty payload",
       [](const std::string&) {},
       true,
       "",
       [](const std::string&) { return "Fallita extrazione .zip Stream read error"; },
       {{"Lavoro.zip", ""}}},
      {"payload without base64 characters",
       [](const std::string&) {},
       true,
       "\r\n==  \r\n",
       [](const std::string&) { return "Fallita extrazione .zip Stream read error"; },
       {{"Lavoro.zip", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir d;
    const std::string dir = d / "in";
    fs::create_directories(dir);
    c.setup(dir);
    TRizOzudoImportLavoroRequest request;
    request.FStream = c.stream;
    TRizOzudoImportLavoroResponse reply;
    ImportLavoroJob(request, reply, Parameters(d / "elsewhere", c.configured ? dir : ""));
    EXPECT_TRUE(reply.FErrore);
    EXPECT_EQ(reply.FMessaggio, c.message(dir));
    if (fs::exists(dir)) {
      EXPECT_EQ(ReadTree(dir), c.after);
    }
  }
}

TEST(ImportLavoroJob, ExtractionFailureMidwayLeavesTheArchiveButNoEntry) {
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  std::string zip = ArchiveOf({{"first.txt", "one"}, {"second.txt", "two"}});
  // Damage the CRC of the second entry's central header so its extraction fails.
  const std::size_t central = zip.rfind(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  zip[central + 16] = static_cast<char>(zip[central + 16] ^ 0xFF);
  const auto reply = Import(dir, EncodeBase64(zip));
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio.rfind("Fallita extrazione .zip ", 0), 0u) << reply.FMessaggio;
  // The job is all or nothing: the entry unpacked before the damaged one never shows.
  EXPECT_EQ(ReadTree(dir), (Tree{{"Lavoro.zip", zip}}));
}

TEST(ImportLavoroJob, AnEntryNamedLikeTheReceivedArchiveIsRefusedWithTheArchiveIntact) {
  for (const std::string name : {"Lavoro.zip", "./Lavoro.zip", ".\\Lavoro.zip"}) {
    SCOPED_TRACE(name);
    TempDir d;
    const std::string dir = d / "in";
    fs::create_directories(dir);
    const std::string zip = ArchiveOf({{"a.txt", "a"}, {name, "inner archive"}});
    const auto reply = Import(dir, EncodeBase64(zip));
    EXPECT_TRUE(reply.FErrore);
    EXPECT_EQ(reply.FMessaggio,
              "Fallita extrazione .zip Cannot create file \"" + dir + "/Lavoro.zip\". " + SysErrorMessageText(EBUSY));
    EXPECT_EQ(ReadTree(dir), (Tree{{"Lavoro.zip", zip}}));
  }
  // Only the very name collides: another case or another folder is an ordinary file.
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  const auto reply = Import(dir, EncodeBase64(ArchiveOf({{"LAVORO.ZIP", "x"}, {"sub\\Lavoro.zip", "y"}})));
  EXPECT_FALSE(reply.FErrore) << reply.FMessaggio;
  EXPECT_EQ(ReadTree(dir), (Tree{{"LAVORO.ZIP", "x"}, {"sub/", ""}, {"sub/Lavoro.zip", "y"}}));
}

TEST(ImportLavoroJob, AnEntryReachingTheArchiveThroughItsUnicodePathFieldIsRefused) {
  using test_support::RawArchive;
  using test_support::RawEntry;
  RawEntry first;
  first.name = "a.txt";
  first.payload = "a";
  RawEntry disguised;
  disguised.name = "x.NC";
  disguised.flag = 0;
  disguised.payload = "inner archive";
  disguised.local_extra = test_support::ExtraBlock(
      0x7075, std::string("\x01", 1) + test_support::Le32(test_support::Crc32Of("x.NC")) + "Lavoro.zip");
  const std::string zip = RawArchive{{first, disguised}}.Build();
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  const auto reply = Import(dir, EncodeBase64(zip));
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio,
            "Fallita extrazione .zip Cannot create file \"" + dir + "/Lavoro.zip\". " + SysErrorMessageText(EBUSY));
  EXPECT_EQ(ReadTree(dir), (Tree{{"Lavoro.zip", zip}}));
}

TEST(JobRoundTrip, ExportedJobImportsToTheSameTree) {
  TempDir d;
  const std::string job = d / "job";
  WriteFile(job + "/programs/P1.NC", std::string(70000, 'X') + "\nM30\n");
  WriteFile(job + "/programs/subprog/O9001.NC", "O9001\nM99\n");
  WriteFile(job + "/preview.bmp", std::string("BM\0\0\xff\x01", 6));
  WriteFile(job + "/log/macchina.log", "");
  const Tree original = ReadTree(job);
  const auto exported = Export(job, "NEWEN");
  ASSERT_FALSE(exported.FErrore) << exported.FMessaggio;
  const auto imported = Import(d / "job", exported.FStream);  // the emptied directory
  ASSERT_FALSE(imported.FErrore) << imported.FMessaggio;
  EXPECT_EQ(ReadTree(job), original);
}

TEST(ImportLavoroJob, ConcurrentImportsIntoOneDirectoryNeverMix) {
  constexpr int kClients = 4;
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  std::vector<std::string> payloads;
  for (std::size_t c = 0; c < kClients; ++c) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 10; ++i)
      entries.emplace_back("job" + std::to_string(c) + "\\f" + std::to_string(i),
                           std::string(20000, static_cast<char>('a' + c)));
    payloads.push_back(EncodeBase64(ArchiveOf(entries)));
  }
  std::vector<TRizOzudoImportLavoroResponse> replies(kClients);
  std::vector<std::thread> clients;
  for (std::size_t c = 0; c < kClients; ++c) clients.emplace_back([&, c] { replies[c] = Import(dir, payloads[c]); });
  for (auto& t : clients) t.join();
  for (const auto& reply : replies) EXPECT_FALSE(reply.FErrore) << reply.FMessaggio;
  // Exactly one job is there, whole, and no archive.
  const Tree after = ReadTree(dir);
  ASSERT_EQ(after.size(), 11u);
  const std::string top = after.begin()->first;
  for (const auto& [path, content] : after) EXPECT_EQ(path.substr(0, 4), top.substr(0, 4)) << path;
}

}  // namespace
}  // namespace ostrivan::jobs
