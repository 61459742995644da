// The record codec on its own: field widths and byte order, and a central header that
// comes back field for field from its bytes.
#include <gtest/gtest.h>

#include "archive/zip_record.h"
#include "support/zip_builder.h"

namespace ostrivan::archive {
namespace {

using namespace record;

TEST(ZipRecord, FieldsAreLittleEndianOfTheirWidth) {
  struct Case {
    int width;
    std::uint64_t value;
    std::string bytes;
  };
  const Case cases[] = {
      {16, 0x0000, std::string("\x00\x00", 2)},
      {16, 0xABCD, "\xCD\xAB"},
      {16, 0xFFFF, "\xFF\xFF"},
      {32, 0x04034B50, "PK\x03\x04"},
      {32, 0xFFFFFFFF, "\xFF\xFF\xFF\xFF"},
      {32, 0x80000001, std::string("\x01\x00\x00\x80", 4)},
      {64, 0x0123456789ABCDEF, "\xEF\xCD\xAB\x89\x67\x45\x23\x01"},
      {64, 0xFFFFFFFF00000000, std::string("\x00\x00\x00\x00\xFF\xFF\xFF\xFF", 8)},
  };
  for (const Case& c : cases) {
    std::string s = "#";  // appended after what is there
    if (c.width == 16) Put16(s, static_cast<std::uint16_t>(c.value));
    if (c.width == 32) Put32(s, static_cast<std::uint32_t>(c.value));
    if (c.width == 64) Put64(s, c.value);
    EXPECT_EQ(s, "#" + c.bytes) << c.width << " " << c.value;
    const std::uint64_t back = c.width == 16 ? Get16(At(s, 1)) : c.width == 32 ? Get32(At(s, 1)) : Get64(At(s, 1));
    EXPECT_EQ(back, c.value) << c.width;
  }
}

TEST(ZipRecord, CentralHeaderDecodesToTheFieldsItWasWrittenFrom) {
  TZipHeader h;
  h.MadeByVersion = 0x0314;
  h.RequiredVersion = 0x002D;
  h.Flag = kZipUTF8Flag;
  h.CompressionMethod = 8;
  h.ModifiedDateTime = 0x5AB86000;
  h.CRC32 = 0xCBF43926;
  h.CompressedSize = 0x11223344;
  h.UncompressedSize = 0x55667788;
  h.FileName = "programs\\O1000.NC";
  h.FileNameLength = static_cast<std::uint16_t>(h.FileName.size());
  h.ExtraField = test_support::ExtraBlock(0x7075, "x");
  h.ExtraFieldLength = static_cast<std::uint16_t>(h.ExtraField.size());
  h.FileComment = "c";
  h.FileCommentLength = 1;
  h.DiskNumberStart = 0x0102;
  h.InternalAttributes = 0x0304;
  h.ExternalAttributes = 0x81A40021;
  h.LocalHeaderOffset = 0x99AABBCC;

  std::string s;
  AppendCentralHeader(s, h);
  ASSERT_EQ(s.size(), kCentralHeaderSize + h.FileName.size() + h.ExtraField.size() + h.FileComment.size());
  EXPECT_EQ(Get32(At(s, 0)), kCentralSignature);
  EXPECT_EQ(s.substr(kCentralHeaderSize), h.FileName + h.ExtraField + h.FileComment);
  const TZipHeader d = DecodeCentralHeader(At(s, 0));
  EXPECT_EQ(d.MadeByVersion, h.MadeByVersion);
  EXPECT_EQ(d.RequiredVersion, h.RequiredVersion);
  EXPECT_EQ(d.Flag, h.Flag);
  EXPECT_EQ(d.CompressionMethod, h.CompressionMethod);
  EXPECT_EQ(d.ModifiedDateTime, h.ModifiedDateTime);
  EXPECT_EQ(d.CRC32, h.CRC32);
  EXPECT_EQ(d.CompressedSize, h.CompressedSize);
  EXPECT_EQ(d.UncompressedSize, h.UncompressedSize);
  EXPECT_EQ(d.FileNameLength, h.FileNameLength);
  EXPECT_EQ(d.ExtraFieldLength, h.ExtraFieldLength);
  EXPECT_EQ(d.FileCommentLength, h.FileCommentLength);
  EXPECT_EQ(d.DiskNumberStart, h.DiskNumberStart);
  EXPECT_EQ(d.InternalAttributes, h.InternalAttributes);
  EXPECT_EQ(d.ExternalAttributes, h.ExternalAttributes);
  EXPECT_EQ(d.LocalHeaderOffset, h.LocalHeaderOffset);

  // The local header carries the same fields in its own order, without the central-only ones.
  const std::string local = EncodeLocalHeader(h);
  ASSERT_EQ(local.size(), kLocalHeaderSize + h.FileName.size() + h.ExtraField.size());
  EXPECT_EQ(Get32(At(local, 0)), kLocalSignature);
  EXPECT_EQ(Get16(At(local, 4)), h.RequiredVersion);
  EXPECT_EQ(Get16(At(local, 8)), h.CompressionMethod);
  EXPECT_EQ(Get32(At(local, 14)), h.CRC32);
  EXPECT_EQ(Get32(At(local, 18)), h.CompressedSize);
  EXPECT_EQ(Get32(At(local, 22)), h.UncompressedSize);
  EXPECT_EQ(Get16(At(local, 28)), h.ExtraFieldLength);
  EXPECT_EQ(local.substr(kLocalHeaderSize), h.FileName + h.ExtraField);
}

}  // namespace
}  // namespace ostrivan::archive
