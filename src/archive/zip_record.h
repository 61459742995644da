#pragma once
// The archive's on-disk records: little-endian fields, signatures and fixed sizes, and
// the local and central headers as bytes. Everything that reads or writes record bytes
// goes through here, so a field's width and order are stated once.
//   std::string s;
//   record::Put32(s, 0x04034B50);              // "PK\3\4"
//   record::Get32(reinterpret_cast<const std::uint8_t*>(s.data()));  // 0x04034B50
#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zip_header.h"

namespace ostrivan::archive::record {

inline constexpr std::uint32_t kLocalSignature = 0x04034B50;
inline constexpr std::uint32_t kCentralSignature = 0x02014B50;
inline constexpr std::uint32_t kEndSignature = 0x06054B50;
inline constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::size_t kCentralHeaderSize = 46;  // also the least room one entry takes
inline constexpr std::size_t kEndRecordSize = 22;
inline constexpr std::size_t kZip64EndSize = 56;
inline constexpr std::size_t kZip64LocatorSize = 20;
inline constexpr std::size_t kMaxFieldLength = 65535;  // names, extras and comments have 16-bit lengths

// What a failure to decode or to store a record says.
inline constexpr const char* kErrorReading = "Error reading zip file";
inline constexpr const char* kErrorWriting = "Error writing zip file";

// Inline: the central directory and extra fields decode and encode field by field.
inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const std::uint8_t* p) {
  return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

// The same from a byte string; the caller has checked that the field lies inside it.
inline const std::uint8_t* At(const std::string& s, std::size_t at) {
  return reinterpret_cast<const std::uint8_t*>(s.data()) + at;
}

inline void Put16(std::string& s, std::uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
inline void Put32(std::string& s, std::uint32_t v) {
  Put16(s, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<std::uint16_t>(v >> 16));
}
inline void Put64(std::string& s, std::uint64_t v) {
  Put32(s, static_cast<std::uint32_t>(v));
  Put32(s, static_cast<std::uint32_t>(v >> 32));
}

// The checksum entries carry, continued over more data: start from Crc32(0, nullptr, 0).
inline std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  return libdeflate_crc32(crc, data, size);  // the same sums as zlib, several times faster
}
// The checksum of one whole block of bytes.
inline std::uint32_t Crc32Of(const void* data, std::size_t size) {
  return Crc32(Crc32(0, nullptr, 0), static_cast<const std::uint8_t*>(data), size);
}

// The local header in front of an entry's data, name and extra field included.
std::string EncodeLocalHeader(const TZipHeader& h);
// One central-directory header appended to s, name, extra field and comment included.
void AppendCentralHeader(std::string& s, const TZipHeader& h);
// The fixed kCentralHeaderSize bytes of a central header, signature already checked;
// the name, extra field and comment follow with the lengths set here.
TZipHeader DecodeCentralHeader(const std::uint8_t* fixed);

}  // namespace ostrivan::archive::record
