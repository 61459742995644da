// Writing: one entry at a time (local header, data, header again with the final
// values) and, on closing, the central directory with its end records.
#include "archive/dos_date_time.h"
#include "archive/zip_compress.h"
#include "archive/zip_file.h"
#include "archive/zip_record.h"
#include "common/file_system.h"
#include "common/paths.h"

namespace ostrivan::archive {

using namespace record;

namespace {

constexpr std::size_t kDirectoryBlock = 64 * 1024;  // central headers gathered per write

void WriteHeaderBytes(TStream& stream, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    std::size_t n = stream.Write(bytes.data() + done, bytes.size() - done);
    if (n == 0) throw EZipException(kErrorWriting);
    done += n;
  }
}

// Attribute word in the DOS layout: archive, plus read-only when the owner cannot write.
std::uint32_t DosAttributes(const platform::TFileInfo& info) {
  std::uint32_t attributes = info.Kind == platform::TFileKind::kFolder ? 0x10 : 0x20;
  if (IsReadOnlyMode(info.Permissions)) attributes |= 0x01;
  return attributes & 0x7BF7;
}

}  // namespace

void TZipFile::CheckWritable(std::uint16_t compression, const std::string& file_name) const {
  if (file_name.empty()) throw EZipException("File name must not be empty");
  if (mode_ != TZipMode::zmWrite && mode_ != TZipMode::zmReadWrite)
    throw EZipException("File must be open for writing");
  TStreamConstructor writer, reader;
  if (!FindCompressionHandler(compression, writer, reader))
    throw EZipException("Support for compression method not registered: " + CompressionMethodName(compression));
}

TZipHeader TZipFile::BuildHeader(const platform::TFileInfo& source, const std::string& file_name,
                                 const std::string& archive_file_name, std::uint16_t compression) const {
  TZipHeader h;
  h.CompressionMethod = compression;
  h.ModifiedDateTime = DateTimeToDosDateTime(static_cast<std::time_t>(source.Modified.Seconds));
  h.ExternalAttributes = DosAttributes(source);
  // Names are stored as given: a relative path made with backslashes keeps them.
  h.FileName = archive_file_name.empty() ? FileNameOf(file_name) : archive_file_name;
  if (h.FileName.size() > kMaxFieldLength) throw EZipException("File name too long for a zip entry");
  h.FileNameLength = static_cast<std::uint16_t>(h.FileName.size());
  h.SetUTF8Support(utf8_support_);
  if ((h.MadeByVersion & 0xFF) < 20) h.MadeByVersion = static_cast<std::uint16_t>((h.MadeByVersion & 0xFF00) | 20);
  if ((h.RequiredVersion & 0xFF) < 20)
    h.RequiredVersion = static_cast<std::uint16_t>((h.RequiredVersion & 0xFF00) | 20);
  const auto size = static_cast<std::uint64_t>(source.Size);
  h.SetUncompressedSize64(size);
  h.SetLocalHeaderOffset64(end_file_data_);
  // Deflate can grow incompressible data slightly; reserve the 64-bit compressed size
  // whenever it might be needed, since the local header cannot grow once data follows.
  if (size >= kZip32Max - size / 1000 - 1024) h.ReserveCompressedSize64();
  return h;
}

void TZipFile::Add(const std::string& file_name, const std::string& archive_file_name, std::uint16_t compression) {
  CheckWritable(compression, file_name);
  TStreamConstructor writer_ctor, reader_ctor;
  FindCompressionHandler(compression, writer_ctor, reader_ctor);

  TFileStream source(file_name, TFileStream::TOpenMode::fmOpenRead);
  platform::TFileInfo info;
  CheckRegularFile(source, file_name, info);
  TZipHeader h = BuildHeader(info, file_name, archive_file_name, compression);
  current_file_ = file_name;

  const std::int64_t header_pos = start_file_data_ + static_cast<std::int64_t>(end_file_data_);
  stream_->SetPosition(header_pos);
  const std::string provisional = EncodeLocalHeader(h);
  WriteHeaderBytes(*stream_, provisional);
  const std::int64_t data_start = header_pos + static_cast<std::int64_t>(provisional.size());

  const TEntryTotals totals = CompressEntry(source, *stream_, writer_ctor, h);
  const std::int64_t data_end = stream_->Position();
  h.CRC32 = totals.crc;
  h.SetUncompressedSize64(totals.size);
  h.SetCompressedSize64(static_cast<std::uint64_t>(data_end - data_start));
  end_file_data_ = static_cast<std::uint64_t>(data_end - start_file_data_);

  const std::string final_header = EncodeLocalHeader(h);
  // A file that grew past 4 GiB while being read would need a larger header than the one
  // already in front of its data.
  if (final_header.size() != provisional.size()) throw EZipException(kErrorWriting);
  stream_->SetPosition(header_pos);
  WriteHeaderBytes(*stream_, final_header);
  stream_->SetPosition(data_end);
  AddEntry(std::move(h), file_name, totals.size);
}

void TZipFile::WritePrepared(const TZipSource& source, const platform::TFileInfo& info, const TEntryTotals& totals,
                             const std::vector<std::uint8_t>& data, std::uint16_t compression) {
  // Same header steps as Add, with the final values known up front.
  current_file_ = source.FileName;
  TZipHeader h = BuildHeader(info, source.FileName, source.ArchiveFileName, compression);
  const std::int64_t header_pos = start_file_data_ + static_cast<std::int64_t>(end_file_data_);
  h.CRC32 = totals.crc;
  h.SetUncompressedSize64(totals.size);
  h.SetCompressedSize64(data.size());
  stream_->SetPosition(header_pos);
  WriteHeaderBytes(*stream_, EncodeLocalHeader(h));
  stream_->WriteBuffer(data.data(), data.size());
  end_file_data_ = static_cast<std::uint64_t>(stream_->Position() - start_file_data_);
  AddEntry(std::move(h), source.FileName, totals.size);
}

void TZipFile::AddEntry(TZipHeader header, const std::string& file_name, std::uint64_t size) {
  current_header_ = header;
  files_.push_back(std::move(header));
  if (on_progress_) on_progress_(file_name, files_.back(), size);
}

void TZipFile::WriteCentralDirectory() {
  stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(end_file_data_));
  const std::uint64_t cd_start = end_file_data_;
  std::uint64_t cd_size = 0;
  std::string block;
  for (const TZipHeader& h : files_) {
    AppendCentralHeader(block, h);
    if (block.size() >= kDirectoryBlock) {
      WriteHeaderBytes(*stream_, block);
      cd_size += block.size();
      block.clear();
    }
  }
  WriteHeaderBytes(*stream_, block);
  cd_size += block.size();
  block.clear();

  const std::uint64_t count = files_.size();
  const bool zip64 = count >= 0xFFFF || cd_start >= kZip32Max;
  if (zip64) {
    const std::uint64_t z64_pos = cd_start + cd_size;
    Put32(block, kZip64EndSignature);
    Put64(block, 44);
    Put16(block, 45);
    Put16(block, 45);
    Put32(block, 0);
    Put32(block, 0);
    Put64(block, count);
    Put64(block, count);
    Put64(block, cd_size);
    Put64(block, cd_start);
    Put32(block, kZip64LocatorSignature);
    Put32(block, 0);
    Put64(block, z64_pos);
    Put32(block, 1);
  }
  const std::string comment = comment_.substr(0, kMaxFieldLength);
  Put32(block, kEndSignature);
  Put16(block, 0);
  Put16(block, 0);
  Put16(block, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
  Put16(block, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
  Put32(block, zip64 ? kZip32Max : static_cast<std::uint32_t>(cd_size));
  Put32(block, zip64 ? kZip32Max : static_cast<std::uint32_t>(cd_start));
  Put16(block, static_cast<std::uint16_t>(comment.size()));
  block += comment;
  WriteHeaderBytes(*stream_, block);
  // Nothing of an older, longer content may remain after the end record.
  stream_->SetSize(stream_->Position());
}

}  // namespace ostrivan::archive
