#include "archive/zip_record.h"

namespace ostrivan::archive::record {

namespace {

// Flag to extra-field length: the run of fields both headers carry in the same order.
void PutSharedFields(std::string& s, const TZipHeader& h) {
  Put16(s, h.Flag);
  Put16(s, h.CompressionMethod);
  Put32(s, h.ModifiedDateTime);
  Put32(s, h.CRC32);
  Put32(s, h.CompressedSize);
  Put32(s, h.UncompressedSize);
  Put16(s, h.FileNameLength);
  Put16(s, h.ExtraFieldLength);
}

}  // namespace

std::string EncodeLocalHeader(const TZipHeader& h) {
  std::string s;
  s.reserve(kLocalHeaderSize + h.FileName.size() + h.ExtraField.size());
  Put32(s, kLocalSignature);
  Put16(s, h.RequiredVersion);
  PutSharedFields(s, h);
  s += h.FileName;
  s += h.ExtraField;
  return s;
}

void AppendCentralHeader(std::string& s, const TZipHeader& h) {
  Put32(s, kCentralSignature);
  Put16(s, h.MadeByVersion);
  Put16(s, h.RequiredVersion);
  PutSharedFields(s, h);
  Put16(s, h.FileCommentLength);
  Put16(s, h.DiskNumberStart);
  Put16(s, h.InternalAttributes);
  Put32(s, h.ExternalAttributes);
  Put32(s, h.LocalHeaderOffset);
  s += h.FileName;
  s += h.ExtraField;
  s += h.FileComment;
}

TZipHeader DecodeCentralHeader(const std::uint8_t* fixed) {
  TZipHeader h;
  h.MadeByVersion = Get16(fixed + 4);
  h.RequiredVersion = Get16(fixed + 6);
  h.Flag = Get16(fixed + 8);
  h.CompressionMethod = Get16(fixed + 10);
  h.ModifiedDateTime = Get32(fixed + 12);
  h.CRC32 = Get32(fixed + 16);
  h.CompressedSize = Get32(fixed + 20);
  h.UncompressedSize = Get32(fixed + 24);
  h.FileNameLength = Get16(fixed + 28);
  h.ExtraFieldLength = Get16(fixed + 30);
  h.FileCommentLength = Get16(fixed + 32);
  h.DiskNumberStart = Get16(fixed + 34);
  h.InternalAttributes = Get16(fixed + 36);
  h.ExternalAttributes = Get32(fixed + 38);
  h.LocalHeaderOffset = Get32(fixed + 42);
  return h;
}

}  // namespace ostrivan::archive::record
