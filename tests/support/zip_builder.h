#pragma once
// Archives assembled field by field, to describe damaged and hostile ones, and the
// deflate and CRC helpers they need. Example:
//   RawArchive archive;
//   archive.entries.push_back({.name = "../escape.txt", .payload = "x"});
//   std::string bytes = archive.Build();   // a whole archive whose entry leaves its folder
#include <cstdint>
#include <string>
#include <vector>

namespace ostrivan::test_support {

// Raw deflate of the whole buffer: zlib at `level`, or libdeflate at `level` (0-12).
std::string RawDeflate(const std::string& data, int level = 6);
std::string WholeBufferDeflate(const std::string& data, int level);
std::uint32_t Crc32Of(const std::string& data);

// One entry of a hand-made archive. Sizes and CRC follow the data unless overridden.
struct RawEntry {
  std::string name;
  std::string payload;       // uncompressed content
  std::uint16_t method = 8;  // 0 or 8 compress the payload; others store it as is
  std::string data;          // stored bytes; filled from payload when empty and method is 0/8
  std::int64_t crc = -1;     // -1: CRC of payload
  std::int64_t compressed = -1;
  std::int64_t uncompressed = -1;
  std::uint16_t flag = 0x0800;
  std::uint16_t made_by = 20;
  std::uint32_t external = 0x20;
  std::uint32_t dos_time = 0x5AB86000;  // 2025-05-24 12:00:00
  std::string local_extra;
  std::string central_extra;
  std::int64_t offset_override = -1;  // central header's local header offset
  std::uint32_t local_signature = 0x04034B50;
  std::uint32_t central_signature = 0x02014B50;
};

struct RawArchive {
  std::vector<RawEntry> entries;
  std::int64_t count_override = -1;  // entry count in the end record
  std::string Build() const;
};

std::string ExtraBlock(std::uint16_t id, const std::string& data);
std::string Le16(std::uint16_t v);
std::string Le32(std::uint32_t v);
std::string Le64(std::uint64_t v);

}  // namespace ostrivan::test_support
