#pragma once
// Compressing one entry's data from its source file. Adding an entry in turn and
// compressing it ahead on a worker both go through CompressEntry with the same writer and
// header values, which is what keeps a parallel archive byte for byte a sequential one.
//   TFileStream source(name, TFileStream::TOpenMode::fmOpenRead);
//   CheckRegularFile(source, name, info);
//   TEntryTotals totals = CompressEntry(source, archive_stream, writer, header);
#include <cstdint>
#include <string>

#include "archive/compression_handlers.h"
#include "archive/stream.h"
#include "archive/zip_header.h"
#include "platform/file_system.h"

namespace ostrivan::archive {

// What the entry's header needs once its data is written.
struct TEntryTotals {
  std::uint32_t crc = 0;   // of the uncompressed data
  std::uint64_t size = 0;  // uncompressed bytes read from the source
};

// Only regular files are packed: a directory (reached through a link) or a FIFO has no
// content to read, and reading a FIFO could wait forever. Fills info from the open file.
void CheckRegularFile(const TFileStream& source, const std::string& file_name, platform::TFileInfo& info);

// Reads source to its end in kAddChunk steps through the writer that `writer` wraps
// around target (given `header`, whose method and uncompressed size pick the encoder)
// and flushes it.
TEntryTotals CompressEntry(TStream& source, TStream& target, const TStreamConstructor& writer,
                           const TZipHeader& header);

}  // namespace ostrivan::archive
