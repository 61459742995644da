#pragma once
// Process-wide table of compression methods: for each method number, one constructor
// that wraps the archive stream for writing an entry's data and one for reading it.
// Methods 0 (stored) and 8 (deflate) are present from the start.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "archive/stream.h"
#include "archive/zip_header.h"

namespace ostrivan::archive {

// The wrapper must not outlive the inner stream. A reading wrapper reads no more than
// the entry's compressed size from the inner stream.
using TStreamConstructor = std::function<std::unique_ptr<TStream>(TStream& inner, const TZipHeader& header)>;

inline constexpr std::uint16_t kZipStored = 0;
inline constexpr std::uint16_t kZipDeflate = 8;

void RegisterCompressionHandler(std::uint16_t method, TStreamConstructor writer, TStreamConstructor reader);
// False when no handler pair is registered for the method.
bool FindCompressionHandler(std::uint16_t method, TStreamConstructor& writer, TStreamConstructor& reader);
// "Stored", "Deflated", ... "Unknown", as messages name the methods.
std::string CompressionMethodName(std::uint16_t method);

// Deflate settings every entry is written with; packing in parallel must use the same so
// the archive stays identical to a sequential one. An entry of at most kWholeBufferLimit
// bytes is deflated in one call by libdeflate at kDeflateLevel (the fastest level whose
// job archives are never larger than zlib's default level makes them); a larger one is
// streamed through zlib at its default level, so memory stays bounded. Reading follows
// the same split by the entry's declared sizes.
inline constexpr std::uint64_t kWholeBufferLimit = 8 * 1024 * 1024;
inline constexpr int kDeflateLevel = 5;
inline constexpr int kStreamDeflateLevel = -1;
inline constexpr int kDeflateWindowBits = -15;
inline constexpr int kDeflateMemLevel = 8;
inline constexpr std::size_t kDeflateOutputBuffer = 64 * 1024;
inline constexpr std::size_t kInflateInputBuffer = 64 * 1024;

// Held by a thread that deflates many entries in a row (a packing worker): while it lives,
// the thread keeps one compressor and its input and output room from entry to entry
// instead of allocating and clearing them for each; they are freed with it. Elsewhere
// each entry has its own, so a long-lived thread keeps nothing.
class TDeflateReuseScope {
 public:
  TDeflateReuseScope();
  ~TDeflateReuseScope();
  TDeflateReuseScope(const TDeflateReuseScope&) = delete;
  TDeflateReuseScope& operator=(const TDeflateReuseScope&) = delete;

 private:
  bool owner_ = false;  // an inner scope leaves the outer one's cache in place
};

}  // namespace ostrivan::archive
