#include "archive/zip_compress.h"

#include <cerrno>
#include <memory>
#include <vector>

#include "archive/zip_exception.h"
#include "archive/zip_file.h"
#include "archive/zip_record.h"

namespace ostrivan::archive {

void CheckRegularFile(const TFileStream& source, const std::string& file_name, platform::TFileInfo& info) {
  if (const TStatus status = source.TryInfo(info); !status) throw MakeOSError(status.Code());
  if (info.Kind != platform::TFileKind::kFile)
    throw EFOpenError(
        "Cannot open file \"" + file_name + "\". " +
        (info.Kind == platform::TFileKind::kFolder ? SysErrorMessageText(EISDIR) : std::string("Not a regular file")));
}

TEntryTotals CompressEntry(TStream& source, TStream& target, const TStreamConstructor& writer,
                           const TZipHeader& header) {
  TEntryTotals totals;
  totals.crc = record::Crc32(0, nullptr, 0);
  std::unique_ptr<TStream> compressor = writer(target, header);
  std::vector<std::uint8_t> chunk(kAddChunk);
  for (;;) {
    const std::size_t n = source.Read(chunk.data(), chunk.size());
    if (n == 0) break;
    totals.crc = record::Crc32(totals.crc, chunk.data(), n);
    compressor->WriteBuffer(chunk.data(), n);
    totals.size += n;
  }
  compressor->Flush();
  return totals;
}

}  // namespace ostrivan::archive
