// The deflate codec seam: which encoder writes an entry's data, that the reader takes
// deflate from any encoder on both sides of the in-memory limit, that damaged data fails
// the same way whichever path reads it, and that a generated job packs no larger than
// zlib's default level and passes the peer tools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "archive/zip_file.h"
#include "support/commands.h"
#include "support/scratch_files.h"
#include "support/zip_builder.h"

namespace ostrivan::archive {
namespace {

using test_support::RawArchive;
using test_support::RawDeflate;
using test_support::RawEntry;
using test_support::ReadFile;
using test_support::ShellQuote;
using test_support::TempDir;
using test_support::WholeBufferDeflate;
using test_support::WriteFile;

std::uint32_t U32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 4; i-- > 0;) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

// G-code-like text that compresses about as well as real programs, so the two encoders
// give different bytes.
std::string CncText(std::size_t size, unsigned seed = 1) {
  std::string s;
  s.reserve(size + 64);
  std::uint32_t x = seed;
  for (int n = 0; s.size() < size; n += 10) {
    x = x * 1103515245u + 12345u;
    s += "N" + std::to_string(n) + " G1 X" + std::to_string((x >> 8) % 4000) + "." + std::to_string((x >> 4) % 10) +
         " Y" + std::to_string((x >> 16) % 3000) + " F" + std::to_string(200 + (x >> 24) % 8 * 100) + "\r\n";
  }
  s.resize(size);
  return s;
}

// The data of the first entry of an archive held in memory.
std::string FirstEntryData(const std::string& z) {
  const auto u16 = [&](std::size_t at) -> std::size_t {
    return static_cast<std::size_t>(static_cast<std::uint8_t>(z[at])) |
           static_cast<std::size_t>(static_cast<std::uint8_t>(z[at + 1])) << 8;
  };
  const std::size_t name_len = u16(26);
  const std::size_t extra_len = u16(28);
  return z.substr(30 + name_len + extra_len, U32(z, 18));
}

std::string Extract(const std::string& archive_bytes, const std::string& target) {
  try {
    TBytesStream stream{std::vector<std::uint8_t>(archive_bytes.begin(), archive_bytes.end())};
    TZipFile zip;
    zip.Open(stream, TZipMode::zmRead);
    zip.ExtractAll(target);
  } catch (const ostrivan::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "";
}

// Entries that fit in memory are deflated whole by libdeflate at the chosen level; larger
// ones are streamed by zlib at its default level. Sequential and parallel packing agree,
// and each entry reads back through the path its size selects.
TEST(ZipCodec, EntryDataComesFromTheEncoderItsSizeSelects) {
  const std::string whole = "libdeflate";
  const std::string streamed = "zlib";
  struct Case {
    const char* what;
    std::size_t size;
    std::string encoder;
  } cases[] = {
      {"empty", 0, "empty block"},
      {"one byte", 1, whole},
      {"small program", 3000, whole},
      {"exactly the limit", kWholeBufferLimit, whole},
      {"one byte over the limit", kWholeBufferLimit + 1, streamed},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string content = CncText(c.size);
    WriteFile(dir / "P1.NC", content);
    WriteFile(dir / "T1.CFG", "[TOOL]\r\n");
    const std::string expected = c.encoder == whole      ? WholeBufferDeflate(content, kDeflateLevel)
                                 : c.encoder == streamed ? RawDeflate(content, 6)
                                                         : std::string("\x03\x00", 2);
    auto pack = [&](bool parallel) {
      TBytesStream stream;
      TZipFile zip;
      zip.Open(stream, TZipMode::zmWrite);
      if (parallel) zip.AddFiles({{dir / "P1.NC", "P1.NC"}, {dir / "T1.CFG", "T1.CFG"}}, kZipDeflate, 2);
      else zip.Add(dir / "P1.NC");
      zip.Close();
      const auto bytes = stream.TakeBytes();
      return std::string(bytes.begin(), bytes.end());
    };
    const std::string sequential = pack(false);
    EXPECT_TRUE(FirstEntryData(sequential) == expected) << c.what << ": not the " << c.encoder << " bytes";
    const std::string parallel = pack(true);
    EXPECT_TRUE(FirstEntryData(parallel) == expected) << c.what << ": parallel packing differs";
    EXPECT_EQ(Extract(parallel, dir / "out"), "") << c.what;
    EXPECT_TRUE(ReadFile(dir / "out/P1.NC") == content) << c.what;
  }
}

// The writer decides by the size it is told and by what it is actually given: a file
// that grows past the limit while it is read is streamed from then on, and one announced
// as large is streamed from the start, so memory never holds more than the limit.
TEST(ZipCodec, WriterStreamsWhateverOutgrowsTheLimit) {
  struct Case {
    const char* what;
    std::uint64_t announced;
    std::size_t written;
  } cases[] = {
      {"grows past the limit", 1000, kWholeBufferLimit + 1},
      {"announced large, turns out small", kWholeBufferLimit + 1, 5000},
  };
  for (const auto& c : cases) {
    TStreamConstructor writer_ctor, reader_ctor;
    ASSERT_TRUE(FindCompressionHandler(kZipDeflate, writer_ctor, reader_ctor));
    const std::string content = CncText(c.written, 7);
    TZipHeader header;
    header.SetUncompressedSize64(c.announced);
    TBytesStream out;
    {
      auto writer = writer_ctor(out, header);
      for (std::size_t at = 0; at < content.size(); at += kAddChunk)
        writer->WriteBuffer(content.data() + at, std::min(kAddChunk, content.size() - at));
      writer->Flush();
    }
    const auto bytes = out.TakeBytes();
    EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == RawDeflate(content, 6)) << c.what;
  }
}

// Archives from other writers use other encoders and levels, stored blocks included;
// every one must read back, inflated whole or streamed.
TEST(ZipCodec, ReaderTakesDeflateFromAnyEncoderOnBothSidesOfTheLimit) {
  const std::string small = CncText(70000, 3);
  const std::string at_limit = CncText(kWholeBufferLimit, 4);
  const std::string over_limit = CncText(kWholeBufferLimit + 1, 5);
  struct Case {
    const char* name;
    const std::string& payload;
    std::function<std::string(const std::string&)> encode;
  } cases[] = {
      {"zlib-0-stored-blocks", small, [](const std::string& d) { return RawDeflate(d, 0); }},
      {"zlib-1", small, [](const std::string& d) { return RawDeflate(d, 1); }},
      {"zlib-9", small, [](const std::string& d) { return RawDeflate(d, 9); }},
      {"libdeflate-0-stored", small, [](const std::string& d) { return WholeBufferDeflate(d, 0); }},
      {"libdeflate-1", small, [](const std::string& d) { return WholeBufferDeflate(d, 1); }},
      {"libdeflate-12", small, [](const std::string& d) { return WholeBufferDeflate(d, 12); }},
      {"at-limit-zlib-1", at_limit, [](const std::string& d) { return RawDeflate(d, 1); }},
      {"at-limit-libdeflate-1", at_limit, [](const std::string& d) { return WholeBufferDeflate(d, 1); }},
      {"over-limit-zlib-1", over_limit, [](const std::string& d) { return RawDeflate(d, 1); }},
      {"over-limit-libdeflate-1", over_limit, [](const std::string& d) { return WholeBufferDeflate(d, 1); }},
  };
  RawArchive archive;
  for (const auto& c : cases) {
    RawEntry e;
    e.name = c.name;
    e.payload = c.payload;
    e.data = c.encode(c.payload);
    archive.entries.push_back(std::move(e));
  }
  TempDir out;
  ASSERT_EQ(Extract(archive.Build(), out.Path()), "");
  for (const auto& c : cases) EXPECT_TRUE(ReadFile(out / c.name) == c.payload) << c.name;
}

// Inflating whole must not change how damaged data fails: the same class and text as
// when the entry is streamed (zlib's own text for bad data), for every kind of damage.
TEST(ZipCodec, DamagedDataFailsAlikeInflatedWholeOrStreamed) {
  // Taken by extraction in one read (inflated straight into its buffer), in several reads
  // of one whole inflate, and streamed: the declared size picks the path, and even
  // declared one byte shorter the large one streams.
  struct Path {
    const char* name;
    std::string payload;
    std::string data;
  } paths[] = {{" (whole, one read)", CncText(4096, 8), ""},
               {" (whole, several reads)", CncText(kExtractChunk + 4096, 10), ""},
               {" (streamed)", CncText(kWholeBufferLimit + 2, 9), ""}};
  for (Path& p : paths) p.data = RawDeflate(p.payload, 1);
  // One fixed-code block whose first item copies from before the start of the data.
  const std::string too_far_back("\x03\x02\x00", 3);
  struct Case {
    const char* what;
    std::function<void(RawEntry&)> damage;
    std::string expected;
  } cases[] = {
      {"data cut in half", [](RawEntry& e) { e.data.resize(e.data.size() / 2); },
       "EZipException: Error reading zip file"},
      {"data that is not deflate", [](RawEntry& e) { e.data = std::string("\xff\xff\xff\xff", 4); },
       "EZipException: data error"},
      {"copy from before the start", [&](RawEntry& e) { e.data = too_far_back; }, "EZipException: data error"},
      {"declared one byte longer",
       [](RawEntry& e) { e.uncompressed = static_cast<std::int64_t>(e.payload.size()) + 1; },
       "EZipException: Error reading zip file"},
      {"declared one byte shorter",
       [](RawEntry& e) { e.uncompressed = static_cast<std::int64_t>(e.payload.size()) - 1; },
       "EZipException: Error reading zip file"},
      {"wrong CRC", [](RawEntry& e) { e.crc = 0x12345678; }, "EZipCRCException: Error reading zip file"},
  };
  for (const auto& c : cases) {
    for (const Path& p : paths) {
      RawEntry e;
      e.name = "P1.NC";
      e.payload = p.payload;
      e.data = p.data;
      c.damage(e);
      TempDir out;
      EXPECT_EQ(Extract(RawArchive{{e}}.Build(), out.Path()), c.expected) << c.what << p.name;
    }
  }
}

// The level was chosen as the fastest whose job archives are never larger than zlib's
// default level makes them; a generated job checks that it still holds, and that the
// archive passes Info-ZIP unzip and Python's zipfile.
TEST(ZipCodec, GeneratedJobPacksNoLargerThanZlibDefaultAndPassesThePeers) {
  TempDir root;
  const std::string job = root / "job";
  const auto made = test_support::RunCommand(
      "python3 " + ShellQuote(std::string(OSTRIVAN_SOURCE_DIR) + "/tools/make_job.py") + " typical " + ShellQuote(job));
  ASSERT_EQ(made.exit_code, 0) << made.output;
  std::vector<TZipSource> sources;
  std::uint64_t zlib_total = 0;
  for (const auto& f : test_support::ListTree(job)) {
    std::string name = f;
    for (char& ch : name)
      if (ch == '/') ch = '\\';
    sources.push_back({job + "/" + f, name});
    zlib_total += RawDeflate(ReadFile(job + "/" + f), 6).size();
  }
  ASSERT_GT(sources.size(), 10u);
  {
    TZipFile zip;
    zip.Open(root / "job.zip", TZipMode::zmWrite);
    zip.AddFiles(sources);
  }
  std::uint64_t ours_total = 0;
  {
    TZipFile zip;
    zip.Open(root / "job.zip", TZipMode::zmRead);
    for (const auto& h : zip.Files()) ours_total += h.GetCompressedSize64();
    zip.ExtractAll(root / "out");
  }
  EXPECT_LE(ours_total, zlib_total);
  for (const auto& s : sources) {
    std::string rel = s.ArchiveFileName;
    for (char& ch : rel)
      if (ch == '\\') ch = '/';
    EXPECT_TRUE(ReadFile(root / "out/" + rel) == ReadFile(s.FileName)) << rel;
  }

  const auto unzip = test_support::RunCommand("unzip -t " + ShellQuote(root / "job.zip"));
  EXPECT_EQ(unzip.exit_code, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;
  const auto python = test_support::RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print(z.testzip(), len(z.infolist()))
)",
                                              {root / "job.zip"});
  EXPECT_EQ(python.output, "None " + std::to_string(sources.size()) + "\n");
}

}  // namespace
}  // namespace ostrivan::archive
