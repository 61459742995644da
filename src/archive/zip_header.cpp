#include "archive/zip_header.h"

#include <algorithm>

#include "archive/zip_record.h"

namespace ostrivan::archive {

namespace {

using record::At;
using record::Get16;

// Removes the block with the given id from an extra field, keeping the others.
std::string WithoutExtra(const std::string& extra, std::uint16_t id) {
  std::string out;
  std::size_t at = 0;
  while (at + 4 <= extra.size()) {
    std::uint16_t block_id = Get16(At(extra, at));
    std::size_t size = Get16(At(extra, at + 2));
    std::size_t end = std::min(extra.size(), at + 4 + size);
    if (block_id != id) out.append(extra, at, end - at);
    at = end;
  }
  return out;
}

}  // namespace

bool FindExtraField(const std::string& extra, std::uint16_t id, std::string& data) {
  std::size_t at = 0;
  while (at + 4 <= extra.size()) {
    std::uint16_t block_id = Get16(At(extra, at));
    std::size_t size = Get16(At(extra, at + 2));
    if (at + 4 + size > extra.size()) return false;
    if (block_id == id) {
      data = extra.substr(at + 4, size);
      return true;
    }
    at += 4 + size;
  }
  return false;
}

void TZipHeader::SetUTF8Support(bool value) {
  Flag = value ? static_cast<std::uint16_t>(Flag | kZipUTF8Flag) : static_cast<std::uint16_t>(Flag & ~kZipUTF8Flag);
}

std::uint64_t TZipHeader::Get64(Slot slot) const {
  const std::uint32_t fields[3] = {UncompressedSize, CompressedSize, LocalHeaderOffset};
  if (fields[slot] != kZip32Max) return fields[slot];
  std::string data;
  if (!FindExtraField(ExtraField, kZip64ExtraId, data)) return fields[slot];
  // Values are present in order, one for each field that overflowed.
  std::size_t at = 0;
  for (int i = 0; i < slot; ++i)
    if (fields[i] == kZip32Max) at += 8;
  if (at + 8 > data.size()) return fields[slot];
  return record::Get64(At(data, at));
}

std::uint64_t TZipHeader::GetUncompressedSize64() const { return Get64(kUncompressed); }
std::uint64_t TZipHeader::GetCompressedSize64() const { return Get64(kCompressed); }
std::uint64_t TZipHeader::GetLocalHeaderOffset64() const { return Get64(kOffset); }

int TZipHeader::Zip64Covered() const {
  std::string data;
  if (!FindExtraField(ExtraField, kZip64ExtraId, data)) return 0;
  return static_cast<int>(std::min<std::size_t>(3, data.size() / 8));
}

void TZipHeader::RebuildZip64(std::uint64_t values[3], int covered) {
  std::string extra = WithoutExtra(ExtraField, kZip64ExtraId);
  std::uint32_t* fields[3] = {&UncompressedSize, &CompressedSize, &LocalHeaderOffset};
  for (int i = 0; i < 3; ++i) *fields[i] = i < covered ? kZip32Max : static_cast<std::uint32_t>(values[i]);
  if (covered > 0) {
    std::string block;
    record::Put16(block, kZip64ExtraId);
    record::Put16(block, static_cast<std::uint16_t>(covered * 8));
    for (int i = 0; i < covered; ++i) record::Put64(block, values[i]);
    extra = block + extra;
    if ((RequiredVersion & 0xFF) < 45) RequiredVersion = static_cast<std::uint16_t>((RequiredVersion & 0xFF00) | 45);
  } else if ((RequiredVersion & 0xFF) == 45) {
    RequiredVersion = static_cast<std::uint16_t>((RequiredVersion & 0xFF00) | 20);
  }
  ExtraField = std::move(extra);
  ExtraFieldLength = static_cast<std::uint16_t>(ExtraField.size());
}

void TZipHeader::Set64(Slot slot, std::uint64_t value) {
  int covered = Zip64Covered();
  std::uint64_t values[3] = {GetUncompressedSize64(), GetCompressedSize64(), GetLocalHeaderOffset64()};
  values[slot] = value;
  // The field reaches as far as the highest slot whose value needs 64 bits, and never
  // shrinks below a slot reserved earlier unless nothing needs it any more.
  int needed = 0;
  for (int i = 0; i < 3; ++i)
    if (values[i] >= kZip32Max) needed = i + 1;
  if (compressed_reserved_) needed = std::max(needed, 2);
  if (needed == 0) covered = 0;
  else covered = std::max(needed, covered);
  RebuildZip64(values, covered);
}

void TZipHeader::SetUncompressedSize64(std::uint64_t value) { Set64(kUncompressed, value); }
void TZipHeader::SetCompressedSize64(std::uint64_t value) { Set64(kCompressed, value); }
void TZipHeader::SetLocalHeaderOffset64(std::uint64_t value) { Set64(kOffset, value); }

void TZipHeader::ReserveCompressedSize64() {
  compressed_reserved_ = true;
  std::uint64_t values[3] = {GetUncompressedSize64(), GetCompressedSize64(), GetLocalHeaderOffset64()};
  RebuildZip64(values, std::max(2, Zip64Covered()));
}

}  // namespace ostrivan::archive
