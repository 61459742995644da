// One line per job in the journal, whatever a client sends.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "jobfiles/job_journal.h"
#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

TEST(Journal, OneGreppableLinePerJob) {
  TJournalRecord r;
  r.Direction = "export";
  r.Machine = 12;
  r.Peer = "192.168.1.20";
  r.Client = "192.168.1.20";  // the same address forwarded: said once
  r.Mode = "NEWEN";
  r.Archive = "P1001.zip";
  r.Job = "P1001";
  r.Files = 41;
  r.FileBytes = 10614814;
  r.ArchiveBytes = 3795000;
  r.HasCrc = true;
  r.ArchiveCrc = 0x1a2b3c;
  r.Discarded = 0;
  r.Left = 2;
  r.Outcome = kOutcomeDelivered;
  r.Duration = std::chrono::milliseconds(180);
  EXPECT_EQ(JournalLine(r),
            "export machine=12 peer=192.168.1.20 mode=\"NEWEN\" archive=\"P1001.zip\" job=\"P1001\" files=41 "
            "file_bytes=10614814 archive_bytes=3795000 crc32=001A2B3C discarded=0 left=2 outcome=\"delivered\" "
            "duration_ms=180");
  TJournalRecord failed;
  failed.Direction = "import";
  failed.Peer = "::1";
  failed.Client = "10.0.0.9";
  failed.Archive = "Job \"7\".zip";
  failed.Outcome = "Fallita extrazione .zip Stream write error\r\n";
  EXPECT_EQ(JournalLine(failed),
            "import machine=0 peer=::1 client=\"10.0.0.9\" mode=- archive=\"Job \\\"7\\\".zip\" job=\"\" files=- "
            "file_bytes=- archive_bytes=- crc32=- outcome=\"Fallita extrazione .zip Stream write error\\r\\n\" "
            "duration_ms=0");
}

// Whatever a client sends as its mode, its forwarded address or its archive name, a job
// writes one line with one field of each, cut to a bounded size.
// The fields of a journal line as a reader splits them: key=value, a value either bare or
// quoted with backslash escapes.
std::vector<std::string> JournalKeys(const std::string& line) {
  std::vector<std::string> keys;
  std::size_t i = line.find(' ');  // after the direction
  while (i != std::string::npos && i < line.size()) {
    ++i;
    const std::size_t eq = line.find('=', i);
    if (eq == std::string::npos) break;
    keys.push_back(line.substr(i, eq - i));
    i = eq + 1;
    if (i < line.size() && line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i)
        if (line[i] == '\\') ++i;
      ++i;
    } else {
      i = line.find(' ', i);
      if (i == std::string::npos) break;
      continue;
    }
    if (i >= line.size()) break;
  }
  return keys;
}

// Whatever a client sends as its mode, its forwarded address or its archive name, a job
// writes one line with one field of each, cut to a bounded size.
TEST(Journal, ClientTextCannotForgeALineOrFloodTheJournal) {
  const std::string forged = "NEWEN\r\nexport machine=7 peer=1.2.3.4 outcome=\"delivered\" x=\\\"";
  struct Case {
    std::string TJournalRecord::*field;
    std::string text;
  };
  const std::string huge(5'000'000, 'A');
  TJournalRecord plain;
  plain.Direction = "export";
  plain.Peer = "127.0.0.1";
  plain.Client = "10.0.0.1";
  const std::vector<std::string> expected = JournalKeys(JournalLine(plain));
  ASSERT_EQ(expected.size(), 14u) << JournalLine(plain);
  for (const Case& c : {Case{&TJournalRecord::Mode, forged}, Case{&TJournalRecord::Client, forged},
                        Case{&TJournalRecord::Archive, forged}, Case{&TJournalRecord::Mode, huge},
                        Case{&TJournalRecord::Archive, std::string("a\0b\x1b[2J\x7f\"", 9)}}) {
    TJournalRecord r = plain;
    r.*(c.field) = c.text;
    const std::string line = JournalLine(r);
    SCOPED_TRACE(line.substr(0, 200));
    EXPECT_EQ(line.find_first_of(std::string("\r\n\0\x1b\x7f", 5)), std::string::npos);
    EXPECT_LT(line.size(), 800u);
    EXPECT_EQ(JournalKeys(line), expected);
  }
  TJournalRecord r;
  r.Mode = "\xc3\xa8" + huge;  // cut at a character boundary, visibly
  const std::string line = JournalLine(r);
  EXPECT_NE(line.find("...[cut "), std::string::npos);
  EXPECT_NE(line.find("mode=\"\xc3\xa8"), std::string::npos);
}

}  // namespace
}  // namespace ostrivan::jobfiles
