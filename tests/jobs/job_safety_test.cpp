// Jobs that are never lost or half-done: an export held until its reply's fate is
// known and put back exactly when it is not delivered, a name written again meanwhile
// never overwritten, a file still being written never deleted, recovery after a crash,
// an import that shows all of its job or none, the sent folder's limits and the journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "archive/stream.h"
#include "archive/zip_file.h"
#include "archive/zip_record.h"
#include "common/base64.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/job_journal.h"
#include "jobs/riz_ozudo_controller.h"
#include "support/job_archives.h"
#include "support/scratch_files.h"
#include "support/zip_builder.h"

namespace ostrivan::jobs {
using namespace ostrivan::jobfiles;
namespace {

namespace fs = std::filesystem;
using test_support::ArchiveOf;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

// Relative path -> (content, mtime ns, mode); directories with an empty content.
using Entry = std::tuple<std::string, long long, unsigned>;
using Tree = std::map<std::string, Entry>;
Tree ReadTree(const std::string& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    const std::string rel = fs::relative(it->path(), root).string();
    const long long ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    if (it->is_directory()) tree[rel + "/"] = {"", ns, st.st_mode};
    else tree[rel] = {ReadFile(it->path().string()), ns, st.st_mode};
  }
  return tree;
}

TJobParameters Parameters(const std::string& export_dir, const std::string& import_dir) {
  return {[=] { return export_dir; }, [=] { return import_dir; }, [] { return 7; },
          [] { return kDefaultWriterSettleSeconds; }};
}

// A fresh store ("sent", "unsent") per test.
class JobSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    SetJobStoreDirectory(store_.Path());
    job_ = root_ / "job";
    WriteFile(job_ + "/programs/P1.NC", std::string(30000, 'G'));
    WriteFile(job_ + "/programs/sub/O9.NC", "O9\nM99\n");
    WriteFile(job_ + "/tools/T.CFG", "T1");
    fs::create_directories(job_ + "/empty");
    ::chmod((job_ + "/tools/T.CFG").c_str(), 0444);  // read-only below the top is packed too
    // Times in the past, so a put-back that rewrote anything would show.
    for (const auto& p :
         {"/programs/P1.NC", "/programs/sub/O9.NC", "/tools/T.CFG", "/programs/sub", "/programs", "/tools", "/empty"}) {
      const struct timespec times[2] = {{1600000000, 5}, {1600000000, 123456789}};
      ::utimensat(AT_FDCWD, (job_ + p).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    before_ = ReadTree(job_);
  }
  void TearDown() override { SetJobStoreDirectory(""); }

  std::shared_ptr<THeldExport> StartExport(TRizOzudoExportLavoroResponse& reply, const std::string& mode = "NEWEN") {
    TRizOzudoExportLavoroRequest request;
    request.FModoGestioneFile = mode;
    return ExportLavoroJob(request, reply, Parameters(job_, ""), "10.0.0.9").Held;
  }

  std::vector<std::string> StoreEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::exists(store_ / folder)) return names;
    for (auto it = fs::recursive_directory_iterator(store_ / folder); it != fs::recursive_directory_iterator(); ++it)
      if (it->is_regular_file()) names.push_back(fs::relative(it->path(), store_ / folder).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir root_;
  TempDir store_;
  std::string job_;
  Tree before_;
};

TEST_F(JobSafety, ExportIsHeldThenPutBackExactlyWhenNotDelivered) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job) << reply.FMessaggio;
  EXPECT_FALSE(reply.FErrore);
  EXPECT_EQ(reply.FNrMacchina, 7);
  // Looks emptied at once; the files wait beside the directory on its file system.
  EXPECT_TRUE(ReadTree(job_).empty());
  EXPECT_EQ(fs::path(job->Folder()).parent_path().string(), root_ / ".job.ostrivan-held");
  EXPECT_EQ(ReadFile(job->HeldPath("programs/P1.NC")), std::string(30000, 'G'));
  // Another client meanwhile finds nothing.
  TRizOzudoExportLavoroResponse second;
  EXPECT_FALSE(StartExport(second));
  EXPECT_EQ(second.FMessaggio, "Nessun file trovato in " + job_);

  job->Complete(false);
  EXPECT_EQ(ReadTree(job_), before_);
  EXPECT_FALSE(fs::exists(root_ / ".job.ostrivan-held"));
  EXPECT_TRUE(StoreEntries("sent").empty());
  EXPECT_TRUE(StoreEntries("unsent").empty());
  job->Complete(true);  // once only
  EXPECT_EQ(ReadTree(job_), before_);
}

TEST_F(JobSafety, DroppedUntoldTheJobGoesBack) {
  {
    TRizOzudoExportLavoroResponse reply;
    ASSERT_TRUE(StartExport(reply, "ROTTLER") == nullptr);  // ROTTLER needs a file on top
    WriteFile(job_ + "/a.txt", "a");
    before_ = ReadTree(job_);
    TRizOzudoExportLavoroResponse taken;
    auto job = StartExport(taken, "ROTTLER");
    ASSERT_TRUE(job) << taken.FMessaggio;
    EXPECT_TRUE(ReadTree(job_).empty());  // the other files present then go too
  }
  EXPECT_EQ(ReadTree(job_), before_);
}

TEST_F(JobSafety, DeliveredExportIsRemovedAndItsArchiveKeptInSent) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job);
  const std::string folder = job->Folder();
  job->Complete(true);
  EXPECT_TRUE(ReadTree(job_).empty());
  EXPECT_FALSE(fs::exists(folder));
  const auto sent = StoreEntries("sent");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].substr(sent[0].size() - 7), "-P1.zip");
  EXPECT_EQ(ReadFile(store_ / ("sent/" + sent[0])), DecodeBase64(reply.FStream));
}

// The machine wrote a new job while the old one waited for its reply: putting the old
// one back would merge two jobs, so it is kept whole in "unsent" and the directory holds
// only what the machine wrote.
TEST_F(JobSafety, AnUndeliveredJobIsNeverMergedIntoARefilledDirectory) {
  for (const bool same_name : {true, false}) {
    SCOPED_TRACE(same_name ? "a name written again" : "a new name");
    fs::remove_all(store_ / "unsent");
    fs::remove_all(job_);
    SetUp();
    TRizOzudoExportLavoroResponse reply;
    auto job = StartExport(reply);
    ASSERT_TRUE(job);
    const std::string name = same_name ? "/programs/P1.NC" : "/programs/P2.NC";
    WriteFile(job_ + name, "the machine's new program");
    const Tree refilled = ReadTree(job_);
    job->Complete(false);
    EXPECT_EQ(ReadTree(job_), refilled);
    const auto unsent = StoreEntries("unsent");
    ASSERT_EQ(unsent.size(), 4u) << ::testing::PrintToString(unsent);
    const std::string kept = store_ / ("unsent/" + unsent[0].substr(0, unsent[0].find('/')));
    EXPECT_EQ(ReadFile(kept + "/P1.zip"), DecodeBase64(reply.FStream));
    EXPECT_EQ(ReadFile(kept + "/files/programs/P1.NC"), std::string(30000, 'G'));
    EXPECT_EQ(ReadFile(kept + "/files/programs/sub/O9.NC"), "O9\nM99\n");
    EXPECT_EQ(ReadFile(kept + "/files/tools/T.CFG"), "T1");
    EXPECT_EQ(job->Record.Outcome, kOutcomeKeptUnsent);
  }
}

TEST_F(JobSafety, AFileStillWrittenThroughAnOldHandleIsPutBackNotDeleted) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job);
  {
    // A writer that opened the file before it was moved keeps writing into it.
    std::ofstream more(job->HeldPath("programs/sub/O9.NC"), std::ios::app | std::ios::binary);
    more << "M30\n";
  }
  job->Complete(true);
  EXPECT_EQ(ReadFile(job_ + "/programs/sub/O9.NC"), "O9\nM99\nM30\n");
  EXPECT_FALSE(fs::exists(job_ + "/programs/P1.NC"));
}

TEST_F(JobSafety, AFileOpenForWritingFailsTheExportAndNothingMoves) {
  std::ofstream writer(job_ + "/programs/P2.NC", std::ios::binary);
  writer << "G0 X1\n" << std::flush;
  const Tree open_tree = ReadTree(job_);
  TRizOzudoExportLavoroResponse reply;
  EXPECT_FALSE(StartExport(reply));
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio,
            "Fallita compressione zip File modificato durante la compressione: \"" + job_ + "/programs/P2.NC\"");
  EXPECT_EQ(ReadTree(job_), open_tree);
  EXPECT_FALSE(fs::exists(root_ / ".job.ostrivan-held"));
  writer.close();
  TRizOzudoExportLavoroResponse later;
  EXPECT_TRUE(StartExport(later)) << later.FMessaggio;
}

TEST_F(JobSafety, TheHeldArchiveIsTheReplysPayloadAndTheJournalsChecksum) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job) << reply.FMessaggio;
  const std::string archive = ReadFile(job->ArchivePath());
  EXPECT_EQ(archive, DecodeBase64(reply.FStream));
  EXPECT_EQ(reply.FNomeFile, "P1.zip");
  EXPECT_EQ(job->Record.ArchiveBytes, static_cast<std::int64_t>(archive.size()));
  EXPECT_EQ(job->Record.ArchiveCrc,
            archive::record::Crc32(archive::record::Crc32(0, nullptr, 0),
                                   reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size()));
  // The archive holds every packed file whole.
  const std::string unpacked = root_ / "unpacked";
  archive::TZipFile zip;
  zip.Open(job->ArchivePath(), archive::TZipMode::zmRead);
  zip.ExtractAll(unpacked);
  zip.Close();
  EXPECT_EQ(ReadFile(unpacked + "/programs/P1.NC"), std::string(30000, 'G'));
  EXPECT_EQ(ReadFile(unpacked + "/programs/sub/O9.NC"), "O9\nM99\n");
  job->Complete(false);
  EXPECT_EQ(ReadTree(job_), before_);
}

// The archive is written to the hold folder in one piece after packing; a write that
// fails there (here the process's file-size limit, as a full disk would) fails the export
// before anything moves.
TEST_F(JobSafety, AnArchiveThatCannotBeWrittenFailsTheExportAndNothingMoves) {
  // Incompressible, so the archive is far over the limit while the hold's own small
  // records fit under it.
  std::string noise(200000, '\0');
  std::uint32_t x = 12345;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  WriteFile(job_ + "/programs/P0.NC", noise);
  const Tree full_tree = ReadTree(job_);
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_signal = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 8192;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  TRizOzudoExportLavoroResponse reply;
  const bool held = StartExport(reply) != nullptr;
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_signal);
  EXPECT_FALSE(held);
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio, "Fallita compressione zip Stream write error");
  EXPECT_TRUE(reply.FStream.empty());
  EXPECT_EQ(ReadTree(job_), full_tree);
  EXPECT_FALSE(fs::exists(root_ / ".job.ostrivan-held"));
  EXPECT_TRUE(StoreEntries("sent").empty());
  TRizOzudoExportLavoroResponse later;
  auto job = StartExport(later);
  ASSERT_TRUE(job) << later.FMessaggio;
  job->Complete(false);
  EXPECT_EQ(ReadTree(job_), full_tree);
}

TEST_F(JobSafety, ARestartPutsBackHeldJobsAndFinishesDeliveredOnes) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job);
  // As if the process had died here: the next start finds the folder and its manifest.
  EXPECT_EQ(RecoverHeldExports(job_), 1);
  EXPECT_EQ(ReadTree(job_), before_);
  job->Complete(true);  // nothing left to take: the files stay
  EXPECT_EQ(ReadTree(job_), before_);

  auto again = StartExport(reply);
  ASSERT_TRUE(again);
  WriteFile(again->Folder() + "/delivered", "");  // the reply had arrived
  EXPECT_EQ(RecoverHeldExports(job_), 1);
  EXPECT_TRUE(ReadTree(job_).empty());
  EXPECT_FALSE(fs::exists(again->Folder()));
}

// Lines of this program's journal that name archive.
std::size_t JournalLinesOf(const std::string& archive) {
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  const std::string text =
      test_support::ReadFileOrEmpty((exe.parent_path() / "logs" / (exe.stem().string() + ".00.journal.log")).string());
  const std::string field = "archive=\"" + archive + "\"";
  std::size_t count = 0;
  for (std::size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + 1)) ++count;
  return count;
}

// A start settles a hold whose run was killed; the job's journal line is written by
// whichever run gets to it first, never by both.
TEST_F(JobSafety, AStartJournalsAHeldJobOnlyWhenTheKilledRunHadNot) {
  // A name of its own, first in "programs": lines of other runs do not count.
  const std::string name = "A" + std::to_string(::getpid());
  struct Case {
    const char* what;
    std::vector<const char*> marks;  // what the killed run had written
    std::size_t lines;               // what the start writes
    bool put_back;
  } cases[] = {
      {"killed before the reply was known", {}, 1, true},
      {"killed after its restored line", {"journalled"}, 0, true},
      {"killed after the delivered mark, before its line", {"delivered"}, 1, false},
      {"killed after its delivered line", {"delivered", "journalled"}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(job_ + "/programs/" + name + ".NC", "G0");
    const Tree laid = ReadTree(job_);
    TRizOzudoExportLavoroResponse reply;
    auto job = StartExport(reply);
    ASSERT_TRUE(job) << reply.FMessaggio;
    ASSERT_EQ(job->Record.Archive, name + ".zip");
    // The process dies here, the marks written: the next start finds the hold.
    for (const char* mark : c.marks) WriteFile(job->Folder() + "/" + mark, "");
    const std::size_t before = JournalLinesOf(name + ".zip");
    EXPECT_EQ(RecoverHeldExports(job_), 1);
    EXPECT_EQ(JournalLinesOf(name + ".zip") - before, c.lines);
    EXPECT_FALSE(fs::exists(job->Folder()));
    if (c.put_back) EXPECT_TRUE(ReadTree(job_) == laid);
    else EXPECT_TRUE(ReadTree(job_).empty());
    job.reset();
    fs::remove_all(job_);
    for (const auto& [rel, entry] : before_)
      if (rel.back() != '/') WriteFile(job_ + "/" + rel, std::get<0>(entry));
  }
}

// A start finds every hold through its record beside the executable, even after the
// parameter file names another export directory; a manifest that exists but cannot be
// read keeps its job untouched.
TEST_F(JobSafety, RecoveryFollowsTheHoldRecordsWhateverTheSettingsSayAndKeepsWhatItCannotRead) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job);
  const std::string folder = job->Folder();
  // The process dies here: copy its hold as it stands, as the object would put it back.
  const std::string saved = store_ / "saved";
  // Copied with its times, as the kill leaves them.
  const auto keep_copy = [&](const std::string& from) {
    ASSERT_EQ(std::system(("cp -a '" + from + "' '" + saved + "'").c_str()), 0);
  };
  keep_copy(folder);
  job->Complete(false);
  fs::remove_all(job_);
  fs::create_directories(job_);  // as the hold left it
  fs::create_directories(root_ / ".job.ostrivan-held");
  fs::rename(saved, folder);
  WriteFile(store_ / ("held/" + fs::path(folder).filename().string() + ".hold"), folder + "\n");
  // Today's setting names another directory: the record still leads to the job.
  EXPECT_EQ(RecoverHeldExports(root_ / "elsewhere"), 1);
  EXPECT_TRUE(ReadTree(job_) == before_);
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(StoreEntries("held").empty());

  for (const std::string damage : {"cut", "unreadable"}) {
    SCOPED_TRACE(damage);
    TRizOzudoExportLavoroResponse again;
    auto held = StartExport(again);
    ASSERT_TRUE(held);
    const std::string kept = held->Folder();
    keep_copy(kept);
    held->Complete(false);
    fs::create_directories(fs::path(kept).parent_path());
    fs::rename(saved, kept);
    WriteFile(store_ / ("held/" + fs::path(kept).filename().string() + ".hold"), kept + "\n");
    const std::string manifest = kept + "/manifest";
    if (damage == "cut") {
      const std::string text = ReadFile(manifest);
      WriteFile(manifest, text.substr(0, text.size() / 2));
    } else {
      fs::remove(manifest);
      fs::create_directory(manifest);  // exists, cannot be read as a file
    }
    const auto files_before = ReadTree(kept + "/files");
    fs::remove_all(job_);
    fs::create_directories(job_);
    EXPECT_EQ(RecoverHeldExports(job_), 1);
    EXPECT_TRUE(ReadTree(kept + "/files") == files_before);  // nothing removed, nothing put back
    EXPECT_TRUE(ReadTree(job_).empty());
    fs::remove(job_);
    fs::rename(kept + "/files", job_);
    fs::remove_all(kept);
    fs::remove_all(store_ / "held");
  }
}

// A put-back cut short by a kill has brought back a folder and a file of the job: the
// next start finishes it instead of taking its own work for the machine's new job.
TEST_F(JobSafety, APutBackCutShortIsFinishedNotTakenForARefill) {
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply);
  ASSERT_TRUE(job);
  const std::string folder = job->Folder();
  const std::string saved = store_ / "saved";
  ASSERT_EQ(std::system(("cp -a '" + folder + "' '" + saved + "'").c_str()), 0);
  job->Complete(false);
  ASSERT_TRUE(ReadTree(job_) == before_);
  // What the kill left: programs/ and P1.NC back, the rest still held.
  fs::remove_all(job_ + "/tools");
  fs::remove_all(job_ + "/empty");
  fs::remove_all(job_ + "/programs/sub");
  fs::remove(saved + "/files/programs/P1.NC");
  fs::create_directories(fs::path(folder).parent_path());
  fs::rename(saved, folder);
  WriteFile(store_ / ("held/" + fs::path(folder).filename().string() + ".hold"), folder + "\n");
  EXPECT_EQ(RecoverHeldExports(job_), 1);
  EXPECT_TRUE(ReadTree(job_) == before_);
  EXPECT_TRUE(StoreEntries("unsent").empty());
}

// ROTTLER empties the directory but packs one file: what it discards is kept beside the
// delivered archive, so nothing the machine wrote goes without a copy.
TEST_F(JobSafety, RottlerKeepsWhatItDiscardsBesideTheDeliveredArchive) {
  WriteFile(job_ + "/A.NC", "first");
  TRizOzudoExportLavoroResponse reply;
  auto job = StartExport(reply, "ROTTLER");
  ASSERT_TRUE(job) << reply.FMessaggio;
  job->Complete(true);
  EXPECT_TRUE(ReadTree(job_).empty());
  EXPECT_EQ(job->Record.Discarded, 3);
  const auto sent = StoreEntries("sent");
  ASSERT_EQ(sent.size(), 2u) << ::testing::PrintToString(sent);
  const std::string discarded = sent[0].ends_with("-A.discarded.zip") ? sent[0] : sent[1];
  ASSERT_TRUE(discarded.ends_with("-A.discarded.zip")) << discarded;
  const std::string unpacked = root_ / "discarded";
  archive::TZipFile zip;
  zip.Open(store_ / ("sent/" + discarded), archive::TZipMode::zmRead);
  zip.ExtractAll(unpacked);
  zip.Close();
  EXPECT_EQ(ReadFile(unpacked + "/programs/P1.NC"), std::string(30000, 'G'));
  EXPECT_EQ(ReadFile(unpacked + "/programs/sub/O9.NC"), "O9\nM99\n");
  EXPECT_EQ(ReadFile(unpacked + "/tools/T.CFG"), "T1");
  EXPECT_FALSE(fs::exists(unpacked + "/A.NC"));  // that one went to the client
}

TEST(SentFolder, KeepsWhatTheParametersSet) {
  const struct {
    std::function<std::int32_t()> count, megabytes;
    std::size_t keep_count;
    std::int64_t keep_bytes;
  } cases[] = {
      {{}, {}, kSentKeepCount, kSentKeepBytes},  // not installed: the defaults
      {[] { return 3; }, [] { return 1; }, 3, 1000000},
      {[] { return 0; }, [] { return -5; }, 1, 1000000},  // never below one archive, one megabyte
  };
  for (const auto& c : cases) {
    TJobParameters parameters;
    parameters.GetKeepCount = c.count;
    parameters.GetKeepMegabytes = c.megabytes;
    const TKeepLimits keep = KeepLimitsOf(parameters);
    EXPECT_EQ(keep.Count, c.keep_count);
    EXPECT_EQ(keep.Bytes, c.keep_bytes);
  }
  // Five files of 300 bytes, newest last: the limits pick how many of the newest stay.
  for (const auto& [limits, kept] : {std::pair<TKeepLimits, int>{{3, 1000}, 3}, {{5, 500}, 1}, {{10, 1200}, 4}}) {
    TempDir d;
    for (int i = 0; i < 5; ++i) {
      const fs::path path = d / ("J" + std::to_string(i) + ".zip");
      WriteFile(path, std::string(300, 'x'));
      const struct timespec times[2] = {{1000000 + i, 0}, {1000000 + i, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    PruneKeptFolder(d.Path(), limits);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kept)) << limits.Count << " " << limits.Bytes;
    EXPECT_EQ(names.back(), "J4.zip");
    EXPECT_EQ(names.front(), "J" + std::to_string(5 - kept) + ".zip");
  }
}

TEST(ImportStaging, TheJobShowsOnlyWhenWhole) {
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  std::string zip = ArchiveOf({{"programs\\P1.NC", std::string(5000, 'a')}, {"programs\\P2.NC", "two"}});
  // The second entry's CRC is wrong: nothing of the job may appear.
  const std::size_t central = zip.rfind(std::string("PK\x01\x02", 4));
  zip[central + 16] = static_cast<char>(zip[central + 16] ^ 0xFF);
  TRizOzudoImportLavoroRequest request;
  request.FNomeFile = "P1.zip";
  request.FStream = EncodeBase64(zip);
  TRizOzudoImportLavoroResponse reply;
  ImportLavoroJob(request, reply, Parameters("", dir), "10.0.0.9");
  EXPECT_TRUE(reply.FErrore);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"Lavoro.zip"});
}

// Entries that would land on the staging folder itself are refused, the name said to be
// the service's; sizes an archive claims never overflow a sum.
TEST(ImportStaging, HostileEntryNamesAndSizesAreRefusedOrBounded) {
  for (const std::string name : {".ostrivan-import/job/x.txt", ".ostrivan-import\\old", "./.ostrivan-import/x"}) {
    SCOPED_TRACE(name);
    TempDir d;
    const std::string dir = d / "in";
    fs::create_directories(dir);
    TRizOzudoImportLavoroRequest request;
    request.FStream = EncodeBase64(ArchiveOf({{"programs\\P1.NC", "G0"}, {name, "x"}}));
    TRizOzudoImportLavoroResponse reply;
    ImportLavoroJob(request, reply, Parameters("", dir));
    EXPECT_TRUE(reply.FErrore);
    EXPECT_EQ(reply.FMessaggio,
              "Fallita extrazione .zip Zip entry name reserved for the service's staging folder .ostrivan-import: \"" +
                  name + "\"");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"Lavoro.zip"});
  }
  // Two entries each claiming the largest size there is.
  test_support::RawArchive huge;
  for (const char* name : {"a.NC", "b.NC"}) {
    test_support::RawEntry e;
    e.name = name;
    e.payload = "x";
    e.uncompressed = 0xFFFFFFFF;
    e.central_extra = test_support::ExtraBlock(1, test_support::Le64(0x7FFFFFFFFFFFFFFFULL));
    huge.entries.push_back(e);
  }
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  TRizOzudoImportLavoroRequest request;
  request.FStream = EncodeBase64(huge.Build());
  TRizOzudoImportLavoroResponse reply;
  ImportLavoroJob(request, reply, Parameters("", dir));
  EXPECT_TRUE(reply.FErrore);
  EXPECT_EQ(reply.FMessaggio.rfind("Fallita extrazione .zip ", 0), 0u) << reply.FMessaggio;
}

// A failure inside the staging folder names the file where the job puts it, as a plain
// unpacking into the directory would.
TEST(ImportStaging, FailuresNameFilesWhereTheMachineSeesThem) {
  TempDir d;
  const std::string dir = d / "in";
  fs::create_directories(dir);
  test_support::RawArchive archive;
  test_support::RawEntry ro;
  ro.name = "ro.txt";
  ro.payload = "r";
  ro.external = 0x21;  // read-only
  archive.entries.push_back(ro);
  test_support::RawEntry again = ro;
  again.payload = "again";
  archive.entries.push_back(again);
  TRizOzudoImportLavoroRequest request;
  request.FStream = EncodeBase64(archive.Build());
  TRizOzudoImportLavoroResponse reply;
  ImportLavoroJob(request, reply, Parameters("", dir));
  EXPECT_TRUE(reply.FErrore);
  EXPECT_NE(reply.FMessaggio.find("\"" + dir + "/ro.txt\""), std::string::npos) << reply.FMessaggio;
  EXPECT_EQ(reply.FMessaggio.find(kImportStagingName), std::string::npos) << reply.FMessaggio;
}

}  // namespace
}  // namespace ostrivan::jobs
