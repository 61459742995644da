#pragma once
// One archive entry as its central-directory header describes it.
#include <cstdint>
#include <string>

namespace ostrivan::archive {

enum class TZipMode : int { zmClosed = 0, zmRead = 1, zmReadWrite = 2, zmWrite = 3 };

inline constexpr std::uint16_t kZipUTF8Flag = 0x0800;
inline constexpr std::uint32_t kZip32Max = 0xFFFFFFFFu;  // a header field moved to ZIP64
inline constexpr std::uint16_t kZip64ExtraId = 0x0001;
inline constexpr std::uint16_t kUnicodePathExtraId = 0x7075;

struct TZipHeader {
  std::uint16_t MadeByVersion = 0;
  std::uint16_t RequiredVersion = 0;
  std::uint16_t Flag = 0;
  std::uint16_t CompressionMethod = 0;
  std::uint32_t ModifiedDateTime = 0;
  std::uint32_t CRC32 = 0;
  std::uint32_t CompressedSize = 0;
  std::uint32_t UncompressedSize = 0;
  std::uint16_t FileNameLength = 0;
  std::uint16_t ExtraFieldLength = 0;
  std::uint16_t FileCommentLength = 0;
  std::uint16_t DiskNumberStart = 0;
  std::uint16_t InternalAttributes = 0;
  std::uint32_t ExternalAttributes = 0;
  std::uint32_t LocalHeaderOffset = 0;
  std::string FileName;
  std::string ExtraField;
  std::string FileComment;

  bool GetUTF8Support() const { return (Flag & kZipUTF8Flag) != 0; }
  void SetUTF8Support(bool value);

  // The 64-bit values: taken from the ZIP64 extra field for every 32-bit field that
  // holds 0xFFFFFFFF there, in the field order uncompressed, compressed, offset.
  std::uint64_t GetUncompressedSize64() const;
  std::uint64_t GetCompressedSize64() const;
  std::uint64_t GetLocalHeaderOffset64() const;
  // Writing keeps the three values at fixed positions 0, 8 and 16 of the ZIP64 field;
  // the field covers every position up to the highest value that needs 64 bits and each
  // covered header field holds 0xFFFFFFFF, so readers of either convention agree.
  void SetUncompressedSize64(std::uint64_t value);
  void SetCompressedSize64(std::uint64_t value);
  void SetLocalHeaderOffset64(std::uint64_t value);
  // Keeps the compressed-size slot in the ZIP64 field before its value is known. The
  // slot stays for good: the local header is written before the data and rewritten
  // after it, and both must have the same length.
  void ReserveCompressedSize64();

 private:
  enum Slot { kUncompressed = 0, kCompressed = 1, kOffset = 2 };
  std::uint64_t Get64(Slot slot) const;
  void Set64(Slot slot, std::uint64_t value);
  void RebuildZip64(std::uint64_t values[3], int covered);
  int Zip64Covered() const;  // slots the writer's ZIP64 field covers

  bool compressed_reserved_ = false;
};

// Finds an extra-field block by header id; false when absent or truncated.
bool FindExtraField(const std::string& extra, std::uint16_t id, std::string& data);

}  // namespace ostrivan::archive
