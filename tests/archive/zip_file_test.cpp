// Archive writing and reading: the exact records written, round trips, and the failures
// of damaged and hostile archives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "archive/dos_date_time.h"
#include "archive/zip_file.h"
#include "support/commands.h"
#include "support/failures.h"
#include "support/scratch_files.h"
#include "support/zip_builder.h"

namespace ostrivan::archive {
namespace {

using test_support::Crc32Of;
using test_support::ExtraBlock;
using test_support::FailureOf;
using test_support::Le16;
using test_support::Le32;
using test_support::Le64;
using test_support::RawArchive;
using test_support::RawEntry;
using test_support::ReadFile;
using test_support::SetModifiedTime;
using test_support::TempDir;
using test_support::WriteFile;

std::uint16_t U16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) | (static_cast<std::uint8_t>(s[at + 1]) << 8));
}
std::uint32_t U32(const std::string& s, std::size_t at) {
  return U16(s, at) | (static_cast<std::uint32_t>(U16(s, at + 2)) << 16);
}

// Extracts one by one, or on `threads` threads from a view of the bytes.
std::string ExtractBytes(const std::string& archive_bytes, const std::string& target, unsigned threads = 1) {
  return FailureOf([&] {
    TBytesStream owned{std::vector<std::uint8_t>(archive_bytes.begin(), archive_bytes.end())};
    TMemoryView view(archive_bytes.data(), archive_bytes.size());
    TZipFile zip;
    zip.Open(threads > 1 ? static_cast<TStream&>(view) : owned, TZipMode::zmRead);
    zip.ExtractAll(target, threads);
  });
}

// Reads every entry without writing (what a client checks before it sends an archive).
std::string TestBytes(const std::string& archive_bytes) {
  return FailureOf([&] {
    TBytesStream owned{std::vector<std::uint8_t>(archive_bytes.begin(), archive_bytes.end())};
    TZipFile zip;
    zip.Open(owned, TZipMode::zmRead);
    zip.TestAll();
  });
}

TEST(ZipExtracting, NoEntryMayLandOnTheArchiveBeingRead) {
  // However the name reaches it (the Unicode path field, the plain name, a hard link),
  // writing over the archive would truncate it while its later entries are still unread.
  struct Case {
    const char* what;
    RawEntry entry;
    const char* link;  // another name for the archive, or nullptr
  };
  RawEntry by_field;
  by_field.name = "x.NC";
  by_field.flag = 0;
  by_field.local_extra = ExtraBlock(0x7075, std::string("\x01", 1) + Le32(Crc32Of("x.NC")) + "job.zip");
  RawEntry by_name;
  by_name.name = "./job.zip";
  RawEntry by_link;
  by_link.name = "copy.zip";
  const Case cases[] = {
      {"unicode path field", by_field, nullptr}, {"plain name", by_name, nullptr}, {"hard link", by_link, "copy.zip"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    RawEntry first;
    first.name = "a.txt";
    first.payload = "a";
    Case with_payload = c;
    with_payload.entry.payload = "inner";
    const std::string bytes = RawArchive{{first, with_payload.entry}}.Build();
    WriteFile(dir / "job.zip", bytes);
    if (c.link != nullptr) {
      ASSERT_EQ(::link((dir / "job.zip").c_str(), (dir / c.link).c_str()), 0);
    }
    TZipFile zip;
    zip.Open(dir / "job.zip", TZipMode::zmRead);
    const std::string target = dir / (c.link != nullptr ? c.link : "job.zip");
    EXPECT_EQ(FailureOf([&] { zip.ExtractAll(dir.Path()); }),
              "EFCreateError: Cannot create file \"" + target + "\". " + SysErrorMessageText(EBUSY));
    EXPECT_EQ(ReadFile(dir / "job.zip"), bytes);
    EXPECT_FALSE(test_support::FileExists(dir / "a.txt"));  // refused before anything is written
  }
}

TEST(Zip64Values, ReservedCompressedSlotStaysWhenTheResultIsSmall) {
  // A file just under 4 GiB gets the slot reserved in front of its data; when it then
  // compresses well, the rewritten header must keep the same length.
  for (const std::uint64_t size : {4290675600ull, 4294000000ull, 4294967294ull}) {
    SCOPED_TRACE(size);
    TZipHeader h;
    h.RequiredVersion = 20;
    h.SetUncompressedSize64(size);
    h.SetLocalHeaderOffset64(0);
    h.ReserveCompressedSize64();
    const std::uint16_t reserved = h.ExtraFieldLength;
    EXPECT_EQ(reserved, 20);
    h.SetUncompressedSize64(size);
    h.SetCompressedSize64(4170000);
    EXPECT_EQ(h.ExtraFieldLength, reserved);
    EXPECT_EQ(h.GetUncompressedSize64(), size);
    EXPECT_EQ(h.GetCompressedSize64(), 4170000u);
  }
}

// Compresses 4 GB of zeros: about 20 s of two busy cores, so it runs on request only
// (OSTRIVAN_LARGE_FILE_TESTS=1); the header sizing above covers the rule itself.
TEST(ZipWriting, WellCompressedFileJustUnderFourGigabytesGetsAConsistentHeader) {
  if (std::getenv("OSTRIVAN_LARGE_FILE_TESTS") == nullptr) GTEST_SKIP() << "set OSTRIVAN_LARGE_FILE_TESTS=1 to run";
  TempDir dir;
  const std::uint64_t size = 4290675600ull;
  {
    const int fd = ::open((dir / "big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // sparse: zeros cost no disk
    ::close(fd);
  }
  {
    TZipFile zip;
    zip.Open(dir / "big.zip", TZipMode::zmWrite);
    zip.Add(dir / "big.bin");
    zip.Close();
  }
  TZipFile reader;
  reader.Open(dir / "big.zip", TZipMode::zmRead);
  ASSERT_EQ(reader.FileCount(), 1u);
  const TZipHeader& central = reader.Files()[0];
  EXPECT_EQ(central.GetUncompressedSize64(), size);
  // The local header agrees with the central one and its data ends where the directory starts.
  const std::string archive = ReadFile(dir / "big.zip");
  const std::uint16_t name_len = U16(archive, 26);
  const std::uint16_t extra_len = U16(archive, 28);
  EXPECT_EQ(extra_len, central.ExtraFieldLength);
  EXPECT_EQ(archive.substr(30 + name_len, extra_len), central.ExtraField);
  EXPECT_EQ(30u + name_len + extra_len + central.GetCompressedSize64(), archive.rfind(std::string("PK\x01\x02", 4)));
}

TEST(ZipWriting, BackslashNameIsStoredAsGivenAndExtractsIntoSubdirectory) {
  TempDir dir;
  WriteFile(dir / "P1.NC", "G0 X0 Y0\r\nM30\r\n");
  {
    TZipFile zip;
    zip.Open(dir / "job.zip", TZipMode::zmWrite);
    zip.Add(dir / "P1.NC", "programs\\P1.NC");
  }
  const std::string z = ReadFile(dir / "job.zip");
  const std::string name = "programs\\P1.NC";
  const std::size_t n = name.size();
  // Local header.
  EXPECT_EQ(U32(z, 0), 0x04034B50u);
  EXPECT_EQ(U16(z, 4), 20);
  EXPECT_EQ(U16(z, 6), 0x0800);
  EXPECT_EQ(U16(z, 8), 8);
  EXPECT_EQ(U32(z, 14), Crc32Of("G0 X0 Y0\r\nM30\r\n"));
  const std::uint32_t csize = U32(z, 18);
  EXPECT_EQ(U32(z, 22), 15u);
  EXPECT_EQ(U16(z, 26), n);
  EXPECT_EQ(U16(z, 28), 0);
  EXPECT_EQ(z.substr(30, n), name);
  // Central header right after the data.
  const std::size_t c = 30 + n + csize;
  EXPECT_EQ(U32(z, c), 0x02014B50u);
  EXPECT_EQ(U16(z, c + 4), 20);
  EXPECT_EQ(U16(z, c + 6), 20);
  EXPECT_EQ(U16(z, c + 8), 0x0800);
  EXPECT_EQ(U32(z, c + 10 + 2), U32(z, 10));  // same DOS time as the local header
  EXPECT_EQ(U32(z, c + 20), csize);
  EXPECT_EQ(U16(z, c + 32), 0);
  EXPECT_EQ(U32(z, c + 38), 0x20u);
  EXPECT_EQ(U32(z, c + 42), 0u);
  EXPECT_EQ(z.substr(c + 46, n), name);
  // End record closes the file.
  const std::size_t e = c + 46 + n;
  ASSERT_EQ(z.size(), e + 22);
  EXPECT_EQ(U32(z, e), 0x06054B50u);
  EXPECT_EQ(U16(z, e + 8), 1);
  EXPECT_EQ(U16(z, e + 10), 1);
  EXPECT_EQ(U32(z, e + 12), 46 + n);
  EXPECT_EQ(U32(z, e + 16), c);

  TempDir out;
  TZipFile reader;
  reader.Open(dir / "job.zip", TZipMode::zmRead);
  reader.ExtractAll(out.Path());
  EXPECT_EQ(ReadFile(out / "programs/P1.NC"), "G0 X0 Y0\r\nM30\r\n");
}

TEST(ZipWriting, EmptyFileIsTwoBytesOfDeflateAndExtractsEmpty) {
  TempDir dir;
  WriteFile(dir / "empty.txt", "");
  {
    TZipFile zip;
    zip.Open(dir / "e.zip", TZipMode::zmWrite);
    zip.Add(dir / "empty.txt");
    zip.Close();
  }
  const std::string z = ReadFile(dir / "e.zip");
  const std::size_t n = std::strlen("empty.txt");
  ASSERT_EQ(z.size(), 30 + n + 2 + 46 + n + 22);
  EXPECT_EQ(z.substr(30 + n, 2), std::string("\x03\x00", 2));
  TempDir out;
  TZipFile reader;
  reader.Open(dir / "e.zip", TZipMode::zmRead);
  reader.ExtractAll(out.Path());
  EXPECT_EQ(ReadFile(out / "empty.txt"), "");
}

TEST(ZipWriting, CreatingOverALongerFileLeavesOnlyTheNewArchive) {
  TempDir dir;
  WriteFile(dir / "a.txt", "alpha");
  WriteFile(dir / "z.zip", std::string(100000, 'x'));
  {
    TZipFile zip;
    zip.Open(dir / "z.zip", TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
  }
  const std::string z = ReadFile(dir / "z.zip");
  EXPECT_LT(z.size(), 200u);
  EXPECT_EQ(U32(z, z.size() - 22), 0x06054B50u);
}

// An archive object used again starts each new archive afresh: nothing of the one
// written or read before it (its length, its comment) reaches the next.
TEST(ZipWriting, ReusedArchiveObjectWritesTheSameArchiveAsAFreshOne) {
  TempDir dir;
  WriteFile(dir / "a.txt", "alpha");
  WriteFile(dir / "b.txt", std::string(5000, 'b'));
  SetModifiedTime(dir / "a.txt", 1700000000);
  SetModifiedTime(dir / "b.txt", 1700000000);
  RawEntry entry;
  entry.name = "x.txt";
  entry.payload = "x";
  std::string commented = RawArchive{{entry}}.Build();
  commented.replace(commented.size() - 2, 2, Le16(7) + "comment");
  WriteFile(dir / "commented.zip", commented);
  {
    TZipFile fresh;
    fresh.Open(dir / "fresh.zip", TZipMode::zmWrite);
    fresh.Add(dir / "a.txt");
  }
  const std::string expected = ReadFile(dir / "fresh.zip");
  TZipFile zip;
  TBytesStream stream;
  const std::vector<std::function<void()>> before = {
      [&] {
        zip.Open(dir / "other.zip", TZipMode::zmWrite);
        zip.Add(dir / "b.txt");
      },
      [&] { zip.Open(dir / "commented.zip", TZipMode::zmRead); },
      [&] {
        zip.Open(stream, TZipMode::zmWrite);
        zip.Add(dir / "b.txt");
      },
  };
  for (std::size_t i = 0; i < before.size(); ++i) {
    before[i]();
    zip.Close();
    zip.Open(dir / "again.zip", TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
    zip.Close();
    EXPECT_EQ(ReadFile(dir / "again.zip"), expected) << "after case " << i;
  }
}

TEST(ZipWriting, DestroyingAnOpenArchiveStillWritesItsDirectory) {
  TempDir dir;
  WriteFile(dir / "a.txt", "alpha");
  {
    TZipFile zip;
    zip.Open(dir / "z.zip", TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
    EXPECT_NE(FailureOf([&] { zip.Add(dir / "missing.txt"); }), "");
  }
  TZipFile reader;
  reader.Open(dir / "z.zip", TZipMode::zmRead);
  ASSERT_EQ(reader.FileCount(), 1u);
  EXPECT_EQ(reader.Files()[0].FileName, "a.txt");
}

TEST(ZipWriting, ReadWriteModeAppendsToAnExistingArchive) {
  TempDir dir;
  WriteFile(dir / "a.txt", "alpha");
  WriteFile(dir / "b.txt", "beta");
  {
    TZipFile zip;
    zip.Open(dir / "z.zip", TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
  }
  {
    TZipFile zip;
    zip.Open(dir / "z.zip", TZipMode::zmReadWrite);
    zip.Add(dir / "b.txt", "sub/b.txt");
  }
  TempDir out;
  TZipFile reader;
  reader.Open(dir / "z.zip", TZipMode::zmRead);
  reader.ExtractAll(out.Path());
  EXPECT_EQ(ReadFile(out / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(out / "sub/b.txt"), "beta");
}

TEST(ZipWriting, ArchiveInsideALargerStreamStartsAtTheStreamPosition) {
  TempDir dir;
  WriteFile(dir / "a.txt", "alpha");
  TBytesStream stream;
  const std::string prefix(100, 'p');
  stream.WriteBuffer(prefix.data(), prefix.size());
  {
    TZipFile zip;
    zip.Open(stream, TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
  }
  EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().begin() + 100), prefix);
  stream.SetPosition(100);
  TZipFile reader;
  reader.Open(stream, TZipMode::zmRead);
  TempDir out;
  reader.ExtractAll(out.Path());
  EXPECT_EQ(ReadFile(out / "a.txt"), "alpha");
}

TEST(ZipAttributes, ReadOnlyAndTimesSurviveTheRoundTrip) {
  TempDir dir;
  WriteFile(dir / "ro.txt", "locked");
  WriteFile(dir / "old.txt", "from 1979");
  WriteFile(dir / "new.txt", "dated");
  test_support::MakeReadOnly(dir / "ro.txt");
  std::tm tm79{};
  tm79.tm_year = 79, tm79.tm_mon = 5, tm79.tm_mday = 1, tm79.tm_hour = 12, tm79.tm_isdst = -1;
  test_support::SetModifiedTime(dir / "old.txt", std::mktime(&tm79));
  std::tm tm25{};
  tm25.tm_year = 125, tm25.tm_mon = 4, tm25.tm_mday = 24, tm25.tm_hour = 12, tm25.tm_min = 30, tm25.tm_sec = 11;
  tm25.tm_isdst = -1;
  const std::time_t t25 = std::mktime(&tm25);
  test_support::SetModifiedTime(dir / "new.txt", t25);
  {
    TZipFile zip;
    zip.Open(dir / "z.zip", TZipMode::zmWrite);
    zip.Add(dir / "ro.txt");
    zip.Add(dir / "old.txt");
    zip.Add(dir / "new.txt");
    EXPECT_EQ(zip.Files()[0].ExternalAttributes, 0x21u);
    EXPECT_EQ(zip.Files()[1].ModifiedDateTime, 0u);
  }
  const std::time_t before = std::time(nullptr);
  TempDir out;
  TZipFile reader;
  reader.Open(dir / "z.zip", TZipMode::zmRead);
  reader.ExtractAll(out.Path());
  EXPECT_TRUE(test_support::IsReadOnly(out / "ro.txt"));
  EXPECT_FALSE(test_support::IsReadOnly(out / "new.txt"));
  struct stat st {};
  ASSERT_EQ(::stat((out / "new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, t25 - 1);  // two-second resolution drops the odd second
  ASSERT_EQ(::stat((out / "old.txt").c_str(), &st), 0);
  EXPECT_GE(st.st_mtime, before);  // no valid date: the file system's own time
}

TEST(ZipExtracting, ReplacesExistingFilesButNotReadOnlyOnes) {
  TempDir dir;
  WriteFile(dir / "a.txt", "new content");
  {
    TZipFile zip;
    zip.Open(dir / "z.zip", TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
  }
  TempDir out;
  WriteFile(out / "a.txt", "old content that is longer");
  TZipFile reader;
  reader.Open(dir / "z.zip", TZipMode::zmRead);
  reader.ExtractAll(out.Path());
  EXPECT_EQ(ReadFile(out / "a.txt"), "new content");

  WriteFile(out / "a.txt", "protected");
  test_support::MakeReadOnly(out / "a.txt");
  EXPECT_EQ(FailureOf([&] { reader.ExtractAll(out.Path()); }),
            "EFCreateError: Cannot create file \"" + (out / "a.txt") + "\". Permission denied");
  EXPECT_EQ(ReadFile(out / "a.txt"), "protected");
}

TEST(DosDateTime, EncodesLocalTimeAndRejectsImpossibleValues) {
  auto local = [](int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
  };
  struct Case {
    std::time_t when;
    std::uint32_t expected;
  } encode[] = {
      {local(1980, 1, 1, 0, 0, 0), 0x00210000u},
      {local(2025, 5, 24, 12, 0, 1), 0x5AB86000u},  // odd second dropped
      {local(2107, 12, 31, 23, 59, 58), (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u},
      {local(1979, 12, 31, 23, 59, 59), 0u},
      {local(2108, 1, 1, 0, 0, 0), 0u},
  };
  for (const auto& c : encode) EXPECT_EQ(DateTimeToDosDateTime(c.when), c.expected) << c.when;

  std::time_t t = 0;
  ASSERT_TRUE(DosDateTimeToDateTime(0x5AB86000u, t));
  EXPECT_EQ(t, local(2025, 5, 24, 12, 0, 0));
  const std::uint32_t invalid[] = {
      0u,                                      // month 0
      (45u << 25) | (4u << 21) | (31u << 16),  // 31 April
      (45u << 25) | (2u << 21) | (29u << 16),  // 29 February 2025
      (45u << 25) | (1u << 21) | (1u << 16) | (24u << 11),
      (45u << 25) | (1u << 21) | (1u << 16) | (60u << 5),
      (45u << 25) | (1u << 21) | (1u << 16) | 30u,  // 60 seconds
  };
  for (std::uint32_t v : invalid) EXPECT_FALSE(DosDateTimeToDateTime(v, t)) << std::hex << v;
  EXPECT_TRUE(DosDateTimeToDateTime((44u << 25) | (2u << 21) | (29u << 16), t));  // 29 February 2024
}

TEST(Zip64Values, WriterCoversSlotsUpToTheLargestValueAndReaderFollowsOverflowedFields) {
  const std::uint64_t big = 5ull << 30;
  TZipHeader h;
  h.RequiredVersion = 20;
  h.SetUncompressedSize64(big);
  h.SetLocalHeaderOffset64(100);
  EXPECT_EQ(h.ExtraFieldLength, 12);  // id, size, one value
  EXPECT_EQ(h.RequiredVersion, 45);
  EXPECT_EQ(h.UncompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(h.LocalHeaderOffset, 100u);
  EXPECT_EQ(h.GetUncompressedSize64(), big);

  h.ReserveCompressedSize64();
  h.SetCompressedSize64(7);
  EXPECT_EQ(h.ExtraFieldLength, 20);
  EXPECT_EQ(h.GetCompressedSize64(), 7u);

  TZipHeader far;
  far.RequiredVersion = 20;
  far.SetUncompressedSize64(10);
  far.SetCompressedSize64(12);
  far.SetLocalHeaderOffset64(big);  // an offset takes both sizes along
  EXPECT_EQ(far.ExtraFieldLength, 28);
  EXPECT_EQ(far.UncompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(far.CompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(far.GetUncompressedSize64(), 10u);
  EXPECT_EQ(far.GetCompressedSize64(), 12u);
  EXPECT_EQ(far.GetLocalHeaderOffset64(), big);
  far.SetLocalHeaderOffset64(64);  // nothing needs 64 bits any more
  EXPECT_EQ(far.ExtraFieldLength, 0);
  EXPECT_EQ(far.RequiredVersion, 20);
  EXPECT_EQ(far.GetCompressedSize64(), 12u);

  // Other writers keep only the overflowed fields, in order.
  TZipHeader other;
  other.UncompressedSize = 10;
  other.CompressedSize = 12;
  other.LocalHeaderOffset = 0xFFFFFFFFu;
  other.ExtraField = ExtraBlock(0x0001, Le64(big));
  EXPECT_EQ(other.GetUncompressedSize64(), 10u);
  EXPECT_EQ(other.GetLocalHeaderOffset64(), big);
}

TEST(Zip64Records, SixtyFiveThousandFiveHundredThirtyFiveEntriesGetZip64EndRecords) {
  TempDir dir;
  WriteFile(dir / "e", "");
  TBytesStream stream;
  {
    TZipFile zip;
    zip.Open(stream, TZipMode::zmWrite);
    for (int i = 0; i < 65535; ++i) zip.Add(dir / "e", std::to_string(i));
  }
  const std::string z(stream.Bytes().begin(), stream.Bytes().end());
  const std::size_t end = z.size() - 22;
  EXPECT_EQ(U32(z, end), 0x06054B50u);
  EXPECT_EQ(U16(z, end + 8), 0xFFFF);
  EXPECT_EQ(U32(z, end + 16), 0xFFFFFFFFu);
  EXPECT_EQ(U32(z, end - 20), 0x07064B50u);
  EXPECT_EQ(U32(z, end - 20 - 56), 0x06064B50u);
  stream.SetPosition(0);
  TZipFile reader;
  reader.Open(stream, TZipMode::zmRead);
  ASSERT_EQ(reader.FileCount(), 65535u);
  EXPECT_EQ(reader.Files().back().FileName, "65534");
}

TEST(ZipNames, UnicodePathFieldAndCodePage437) {
  const std::string raw = "old.txt";
  RawEntry with_unicode;
  with_unicode.name = raw;
  with_unicode.payload = "u";
  with_unicode.flag = 0;
  with_unicode.local_extra = ExtraBlock(0x7075, std::string("\x01", 1) + Le32(Crc32Of(raw)) + "nuovo_\xC3\xA8.txt");
  RawEntry stale = with_unicode;
  stale.name = "kept.txt";  // the field's CRC belongs to another name: ignored
  RawEntry dos;
  dos.name = "\x80\x81\xE1.txt";
  dos.flag = 0;
  dos.payload = "d";
  RawArchive archive{{with_unicode, stale, dos}};
  TempDir out;
  ASSERT_EQ(ExtractBytes(archive.Build(), out.Path()), "");
  EXPECT_EQ(test_support::ListTree(out.Path()),
            (std::vector<std::string>{"kept.txt", "nuovo_\xC3\xA8.txt", "\xC3\x87\xC3\xBC\xC3\x9F.txt"}));
}

TEST(ZipNames, BothSeparatorsMakeSubdirectoriesAndUnsafeNamesWriteNothing) {
  TempDir root;
  const std::string target = root / "target";
  struct Case {
    std::string name;
    std::string expected_file;  // "" when refused
  } cases[] = {
      {"dir\\sub/f.txt", "dir/sub/f.txt"},
      {"./x.txt", "x.txt"},
      {"a//b.txt", "a/b.txt"},
      {"../evil.txt", ""},
      {"..\\evil.txt", ""},
      {"a/../../evil.txt", ""},
      {"/tmp/evil.txt", ""},
      {"\\evil.txt", ""},
      {"C:\\evil.txt", ""},
      {"a/..", ""},
  };
  for (const auto& c : cases) {
    test_support::RemoveTree(target);
    RawEntry good;
    good.name = "first.txt";
    good.payload = "1";
    RawEntry e;
    e.name = c.name;
    e.payload = "payload";
    const std::string failure = ExtractBytes(RawArchive{{good, e}}.Build(), target);
    if (c.expected_file.empty()) {
      EXPECT_EQ(failure, "EZipException: Zip entry name outside the target directory: \"" + c.name + "\"") << c.name;
      EXPECT_TRUE(test_support::ListTree(root.Path()).empty()) << c.name;  // not even the safe entry
    } else {
      EXPECT_EQ(failure, "") << c.name;
      EXPECT_EQ(ReadFile(target + "/" + c.expected_file), "payload") << c.name;
    }
  }
  EXPECT_FALSE(test_support::FileExists("/tmp/evil.txt"));
}

// Damaged and hostile archives: each is a small variation of a valid one.
TEST(ZipFailures, DamagedAndHostileArchivesFailWithTheirMessages) {
  const std::string bomb_payload(4 << 20, '\0');
  auto entry = [](const std::string& name, const std::string& payload) {
    RawEntry e;
    e.name = name;
    e.payload = payload;
    return e;
  };
  auto valid = [&] { return RawArchive{{entry("a.txt", "alpha alpha alpha"), entry("b.txt", "beta")}}; };
  struct Case {
    const char* what;
    std::function<std::string()> bytes;
    std::string expected;
  } cases[] = {
      {"text file", [] { return std::string("this is not an archive\n"); }, "EZipException: Error reading zip file"},
      {"empty file", [] { return std::string(); }, "EReadError: Stream read error"},
      {"truncated end",
       [&] {
         auto z = valid().Build();
         return z.substr(0, z.size() - 5);
       },
       "EZipException: Error reading zip file"},
      {"count larger than the file",
       [&] {
         auto a = valid();
         a.count_override = 60000;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"central signature",
       [&] {
         auto a = valid();
         a.entries[1].central_signature = 0x12345678;
         return a.Build();
       },
       "EZipException: Invalid Zip Central Header signature"},
      {"local signature",
       [&] {
         auto a = valid();
         a.entries[1].local_signature = 0x12345678;
         return a.Build();
       },
       "EZipException: Invalid Zip Local Header signature"},
      {"offset past the data",
       [&] {
         auto a = valid();
         a.entries[1].offset_override = 1 << 20;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"method without handler",
       [&] {
         auto a = valid();
         a.entries[1].method = 14;
         return a.Build();
       },
       "EZipException: Item not found"},
      {"flipped stored byte",
       [&] {
         auto a = valid();
         a.entries[0].method = 0;
         a.entries[0].data = "alpha alpha alphA";
         return a.Build();
       },
       "EZipCRCException: Error reading zip file"},
      {"broken deflate data",
       [&] {
         auto a = valid();
         a.entries[0].data = std::string("\xff\xff\xff\xff", 4);
         return a.Build();
       },
       "EZipException: data error"},
      {"declared size too large",
       [&] {
         auto a = valid();
         a.entries[0].uncompressed = 1000;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"declared size too small",
       [&] {
         auto a = valid();
         a.entries[0].uncompressed = 3;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"stored data longer than declared",
       [&] {
         auto a = valid();
         a.entries[0].method = 0;
         a.entries[0].uncompressed = 5;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"bomb stops at declared size",
       [&] {
         auto a = RawArchive{{entry("bomb", bomb_payload)}};
         a.entries[0].uncompressed = 1000;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"overlapping entries",
       [&] {
         auto a = RawArchive{{entry("one", bomb_payload), entry("two", bomb_payload)}};
         a.entries[1].offset_override = 0;
         return a.Build();
       },
       "EZipException: Error reading zip file"},
      {"declared total beyond free space",
       [&] {
         auto a = valid();
         a.entries[0].uncompressed = 0xFFFFFFFF;
         a.entries[0].central_extra = ExtraBlock(0x0001, Le64(1ull << 60));
         return a.Build();
       },
       "EZipException: Not enough free disk space to extract the zip file"},
      {"name length past the end",
       [&] {
         auto z = valid().Build();
         const std::size_t cd = U32(z, z.size() - 6);
         z[cd + 28] = '\xff';
         z[cd + 29] = '\xff';
         return z;
       },
       "EZipException: Error reading zip file"},
      {"name with a NUL",
       [&] {
         auto a = valid();
         a.entries[1].name = std::string("b\0c", 3);
         return a.Build();
       },
       "EZipException: Invalid characters in path"},
  };
  EXPECT_EQ(TestBytes(valid().Build()), "");
  for (const auto& c : cases) {
    // Testing finds what extracting finds (but for free space, which it does not need),
    // naming the entry when one is at fault.
    const std::string tested = TestBytes(c.bytes());
    if (c.expected.find("free disk space") == std::string::npos) {
      EXPECT_TRUE(tested.starts_with(c.expected)) << c.what << ": " << tested;
    } else {
      EXPECT_EQ(tested, "EZipException: Error reading zip file (entry \"a.txt\")") << c.what;
    }
    if (c.expected.find("CRC") != std::string::npos) {
      EXPECT_EQ(tested, c.expected + " (entry \"a.txt\")");
    }
    for (const unsigned threads : {1u, 3u}) {
      TempDir out;
      EXPECT_EQ(ExtractBytes(c.bytes(), out / "t", threads), c.expected) << c.what << ", threads " << threads;
      // Whatever was refused before writing left nothing; a bomb never outgrows its size.
      for (const auto& f : test_support::ListTree(out.Path())) EXPECT_LE(ReadFile(out / f).size(), 1000u) << c.what;
    }
  }
}

TEST(ZipParallel, ExtractingOnSeveralThreadsWritesWhatOneThreadWrites) {
  // More entries than files held open at once, folders given as entries and implied by
  // names, a read-only entry, an empty one and one of a few megabytes.
  std::vector<RawEntry> entries;
  auto add = [&](const std::string& name, const std::string& payload) {
    RawEntry e;
    e.name = name;
    e.payload = payload;
    entries.push_back(e);
  };
  add("programs/", "");
  for (std::size_t i = 0; i < 150; ++i)
    add((i % 3 ? "programs\\P" : "tools/sub/T") + std::to_string(i) + ".NC",
        std::string(100 + i * 37, static_cast<char>('a' + i % 26)));
  add("big.bin", std::string(3 << 20, 'x') + "end");
  add("empty.txt", "");
  entries[5].made_by = 0;  // a DOS-made entry whose read-only bit counts
  entries[5].external = 0x21;
  const std::string bytes = RawArchive{entries}.Build();

  TempDir one, many;
  ASSERT_EQ(ExtractBytes(bytes, one / "t"), "");
  ASSERT_EQ(ExtractBytes(bytes, many / "t", 4), "");
  const std::vector<std::string> tree = test_support::ListTree(one / "t");
  ASSERT_EQ(test_support::ListTree(many / "t"), tree);
  EXPECT_EQ(tree.size(), 152u);
  for (const std::string& f : tree) {
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat((one / "t/" + f).c_str(), &a), 0) << f;
    ASSERT_EQ(::stat((many / "t/" + f).c_str(), &b), 0) << f;
    EXPECT_EQ(a.st_mode, b.st_mode) << f;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << f;
    EXPECT_EQ(ReadFile(one / "t/" + f), ReadFile(many / "t/" + f)) << f;
  }
}

TEST(ZipParallel, TheLowestFailingEntryIsTheFailureRaised) {
  // Entries are written out of order; the failure raised is the one extracting them one
  // by one meets first, whichever thread met it.
  auto archive = [](const std::vector<int>& damaged, int broken, bool same_name_twice) {
    std::vector<RawEntry> entries;
    for (int i = 0; i < 100; ++i) {
      RawEntry e;
      e.name = "f" + std::to_string(i);
      e.payload = std::string(20000, static_cast<char>('a' + i % 26));
      entries.push_back(e);
    }
    for (int i : damaged) entries[static_cast<std::size_t>(i)].crc = 1;
    if (broken >= 0) entries[static_cast<std::size_t>(broken)].data = std::string("\xff\xff\xff\xff", 4);
    if (same_name_twice) {
      // The later one must win, as one by one: whole, not written over a longer first.
      entries[99].name = "f0";
      entries[0].payload += std::string(10000, '-');
    }
    return RawArchive{entries}.Build();
  };
  struct Case {
    const char* what;
    std::vector<int> damaged;  // wrong CRC
    int broken;                // data that does not inflate, or -1
    bool same_name_twice;
    bool blocked;  // "f70" exists read-only in the target
    std::string expected;
  } cases[] = {
      {"none", {}, -1, false, false, ""},
      {"two entries, one file", {}, -1, true, false, ""},
      {"one damaged", {40}, -1, false, false, "EZipCRCException: Error reading zip file"},
      {"broken before damaged", {40}, 12, false, false, "EZipException: data error"},
      {"damaged before broken", {12}, 40, false, false, "EZipCRCException: Error reading zip file"},
      {"damaged before a refused file", {3}, -1, false, true, "EZipCRCException: Error reading zip file"},
      {"refused file before a damaged one",
       {90},
       -1,
       false,
       true,
       "EFCreateError: Cannot create file \"%/t/f70\". " + SysErrorMessageText(EACCES)},
  };
  for (const Case& c : cases) {
    for (const unsigned threads : {1u, 2u, 4u}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " + std::to_string(threads));
      TempDir out;
      if (c.blocked) {
        WriteFile(out / "t/f70", "kept");
        test_support::MakeReadOnly(out / "t/f70");
      }
      std::string expected = c.expected;
      if (const std::size_t at = expected.find('%'); at != std::string::npos) expected.replace(at, 1, out.Path());
      EXPECT_EQ(ExtractBytes(archive(c.damaged, c.broken, c.same_name_twice), out / "t", threads), expected);
      if (c.expected.empty()) {
        EXPECT_EQ(ReadFile(out / "t/f0"), std::string(20000, c.same_name_twice ? 'a' + 99 % 26 : 'a'));
      }
      if (c.blocked) {
        EXPECT_EQ(ReadFile(out / "t/f70"), "kept");
      }
      // Entries before the failing one are all written whole.
      int first_failure = c.blocked ? 70 : 100;
      for (int i : c.damaged) first_failure = std::min(first_failure, i);
      if (c.broken >= 0) first_failure = std::min(first_failure, c.broken);
      for (int i = 1; i < std::min(first_failure, 99); ++i)
        EXPECT_EQ(ReadFile(out / ("t/f" + std::to_string(i))).size(), 20000u) << i;
    }
  }
}

TEST(ZipFailures, MisuseOfTheArchiveObject) {
  TempDir dir;
  WriteFile(dir / "a.txt", "alpha");
  TZipFile zip;
  struct Case {
    const char* what;
    std::function<void()> action;
    std::string expected;
  } cases[] = {
      {"add while closed", [&] { zip.Add(dir / "a.txt"); }, "EZipException: File must be open for writing"},
      {"extract while closed", [&] { zip.ExtractAll(dir / "x"); }, "EZipException: File must be open for reading"},
      {"open closed mode", [&] { zip.Open(dir / "z.zip", TZipMode::zmClosed); }, "EZipException: Invalid argument"},
      {"create in missing directory", [&] { zip.Open(dir / "no/z.zip", TZipMode::zmWrite); },
       "EFCreateError: Cannot create file \"" + (dir / "no/z.zip") + "\". No such file or directory"},
      {"open missing archive", [&] { zip.Open(dir / "none.zip", TZipMode::zmRead); },
       "EFOpenError: Cannot open file \"" + (dir / "none.zip") + "\". No such file or directory"},
      {"empty source name",
       [&] {
         zip.Open(dir / "z.zip", TZipMode::zmWrite);
         zip.Add("");
       },
       "EZipException: File name must not be empty"},
      {"unregistered method",
       [&] {
         zip.Open(dir / "z.zip", TZipMode::zmWrite);
         zip.Add(dir / "a.txt", "", 12);
       },
       "EZipException: Support for compression method not registered: BZIP2"},
      {"missing source",
       [&] {
         zip.Open(dir / "z.zip", TZipMode::zmWrite);
         zip.Add(dir / "b.txt");
       },
       "EFOpenError: Cannot open file \"" + (dir / "b.txt") + "\". No such file or directory"},
      {"extract while writing",
       [&] {
         zip.Open(dir / "z.zip", TZipMode::zmWrite);
         zip.ExtractAll(dir / "x");
       },
       "EZipException: File must be open for reading"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureOf(c.action), c.expected) << c.what;
    zip.Close();
  }
  EXPECT_EQ(CompressionMethodName(98), "PPMd version I, Rev 1");
  EXPECT_EQ(CompressionMethodName(11), "Unknown");
}

// A thread that keeps its compressor and buffers between entries writes each entry as
// one that starts afresh: larger entries before smaller ones, empty ones, and one that
// goes through the streaming path in between leave nothing behind.
TEST(ZipParallel, ReusedDeflateRoomLeavesNothingBetweenEntries) {
  TempDir dir;
  std::string big;
  for (std::size_t i = 0; big.size() < kWholeBufferLimit + 100; ++i) big += "N" + std::to_string(i) + " G0 X1\r\n";
  const std::vector<std::string> contents = {
      std::string(300000, 'q') + "end", "tiny", "", big, std::string(120000, 'r'), "x", std::string(5000, 's')};
  std::vector<TZipSource> sources;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const std::string name = "e" + std::to_string(i) + ".NC";
    WriteFile(dir / name, contents[i]);
    sources.push_back({dir / name, name});
  }
  auto pack = [&] {
    TBytesStream stream;
    TZipFile zip;
    zip.Open(stream, TZipMode::zmWrite);
    for (const auto& s : sources) zip.Add(s.FileName, s.ArchiveFileName);
    zip.Close();
    return stream.TakeBytes();
  };
  const auto afresh = pack();
  std::vector<std::uint8_t> reused;
  {
    const TDeflateReuseScope scope;
    reused = pack();
    EXPECT_EQ(pack(), afresh);  // and again, with every room already grown
  }
  EXPECT_EQ(reused, afresh);
  TBytesStream stream(afresh);
  TZipFile reader;
  reader.Open(stream, TZipMode::zmRead);
  ASSERT_EQ(reader.FileCount(), contents.size());
  reader.ExtractAll(dir / "out");
  for (std::size_t i = 0; i < contents.size(); ++i)
    EXPECT_EQ(ReadFile(dir / ("out/e" + std::to_string(i) + ".NC")), contents[i]) << i;
}

// Packing ahead on several threads must not change a single byte.
TEST(ZipParallel, AddFilesWritesTheSameBytesAsSequentialAdds) {
  TempDir dir;
  std::vector<TZipSource> sources;
  std::string big;
  for (std::size_t i = 0; big.size() < kParallelEntryLimit + 1000; ++i)
    big +=
        "N" + std::to_string(i) + " G1 X" + std::to_string(i * 7 % 1000) + " Y" + std::to_string(i * 13 % 997) + "\r\n";
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".NC";
    WriteFile(dir / name, i == 5    ? std::string()
                          : i == 17 ? big
                                    : std::string(static_cast<std::size_t>(i) * 3001, static_cast<char>('a' + i % 26)));
    sources.push_back({dir / name, "programs\\" + name});
  }
  auto pack = [&](bool parallel) {
    TBytesStream stream;
    TZipFile zip;
    zip.Open(stream, TZipMode::zmWrite);
    if (parallel) zip.AddFiles(sources, kZipDeflate, 2);
    else
      for (const auto& s : sources) zip.Add(s.FileName, s.ArchiveFileName);
    zip.Close();
    return stream.TakeBytes();
  };
  const auto sequential = pack(false);
  EXPECT_EQ(pack(true), sequential);

  // A failure stops at its entry; the ones before it are in the archive.
  sources[3].FileName = dir / "missing";
  TBytesStream stream;
  {
    TZipFile zip;
    zip.Open(stream, TZipMode::zmWrite);
    EXPECT_EQ(FailureOf([&] { zip.AddFiles(sources, kZipDeflate, 2); }),
              "EFOpenError: Cannot open file \"" + (dir / "missing") + "\". No such file or directory");
  }
  stream.SetPosition(0);
  TZipFile reader;
  reader.Open(stream, TZipMode::zmRead);
  EXPECT_EQ(reader.FileCount(), 3u);
}

}  // namespace
}  // namespace ostrivan::archive
