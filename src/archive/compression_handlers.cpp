#include "archive/compression_handlers.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "archive/zip_exception.h"

namespace ostrivan::archive {

namespace {

// Passes bytes through; when reading, stops after the entry's compressed size.
class TStoredStream : public TStream {
 public:
  TStoredStream(TStream& inner, std::uint64_t limit) : inner_(inner), remaining_(limit) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining_));
    n = n == 0 ? 0 : inner_.Read(buffer, n);
    remaining_ -= n;
    return n;
  }
  std::size_t Write(const void* buffer, std::size_t count) override { return inner_.Write(buffer, count); }

 private:
  TStream& inner_;
  std::uint64_t remaining_;
};

class TDeflateWriter : public TStream {
 public:
  explicit TDeflateWriter(TStream& inner) : inner_(inner), out_(kDeflateOutputBuffer) {
    if (deflateInit2(&z_, kDeflateLevel, Z_DEFLATED, kDeflateWindowBits, kDeflateMemLevel, Z_DEFAULT_STRATEGY) != Z_OK)
      throw EZipException("insufficient memory");
  }
  ~TDeflateWriter() override { deflateEnd(&z_); }

  std::size_t Read(void*, std::size_t) override { throw EZipException("Invalid stream operation"); }

  std::size_t Write(const void* buffer, std::size_t count) override {
    z_.next_in = static_cast<Bytef*>(const_cast<void*>(buffer));
    z_.avail_in = static_cast<uInt>(count);
    while (z_.avail_in > 0) Deflate(Z_NO_FLUSH);
    return count;
  }

  void Flush() override {
    if (finished_) return;
    z_.next_in = nullptr;
    z_.avail_in = 0;
    while (Deflate(Z_FINISH) != Z_STREAM_END) {
    }
    finished_ = true;
  }

 private:
  int Deflate(int flush) {
    z_.next_out = out_.data();
    z_.avail_out = static_cast<uInt>(out_.size());
    int rc = deflate(&z_, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw EZipException(zError(rc));
    std::size_t produced = out_.size() - z_.avail_out;
    if (produced > 0) inner_.WriteBuffer(out_.data(), produced);
    return rc;
  }

  TStream& inner_;
  z_stream z_ {};
  std::vector<Bytef> out_;
  bool finished_ = false;
};

// Inflates from at most `limit` bytes of the inner stream; returns 0 once the deflate
// stream has ended or the input is used up, so a caller sees a short read.
class TInflateReader : public TStream {
 public:
  TInflateReader(TStream& inner, std::uint64_t limit) : inner_(inner), remaining_(limit), in_(kInflateInputBuffer) {
    if (inflateInit2(&z_, kDeflateWindowBits) != Z_OK) throw EZipException("insufficient memory");
  }
  ~TInflateReader() override { inflateEnd(&z_); }

  std::size_t Write(const void*, std::size_t) override { throw EZipException("Invalid stream operation"); }

  std::size_t Read(void* buffer, std::size_t count) override {
    if (ended_ || count == 0) return 0;
    z_.next_out = static_cast<Bytef*>(buffer);
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(count, 1u << 30));
    const uInt wanted = z_.avail_out;
    while (z_.avail_out > 0 && !ended_) {
      if (z_.avail_in == 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(in_.size(), remaining_));
        n = n == 0 ? 0 : inner_.Read(in_.data(), n);
        remaining_ -= n;
        if (n == 0) break;  // input exhausted before the stream's end
        z_.next_in = in_.data();
        z_.avail_in = static_cast<uInt>(n);
      }
      int rc = inflate(&z_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) ended_ = true;
      else if (rc == Z_BUF_ERROR) break;
      else if (rc != Z_OK) throw EZipException(rc == Z_NEED_DICT ? zError(Z_DATA_ERROR) : zError(rc));
    }
    return wanted - z_.avail_out;
  }

 private:
  TStream& inner_;
  std::uint64_t remaining_;
  z_stream z_ {};
  std::vector<Bytef> in_;
  bool ended_ = false;
};

struct THandlerPair {
  TStreamConstructor writer;
  TStreamConstructor reader;
};

struct THandlerTable {
  std::mutex lock;
  std::map<std::uint16_t, THandlerPair> handlers;

  THandlerTable() {
    handlers[kZipStored] = {
        [](TStream& inner, const TZipHeader&) { return std::make_unique<TStoredStream>(inner, UINT64_MAX); },
        [](TStream& inner, const TZipHeader& h) {
          return std::make_unique<TStoredStream>(inner, h.GetCompressedSize64());
        }};
    handlers[kZipDeflate] = {
        [](TStream& inner, const TZipHeader&) { return std::make_unique<TDeflateWriter>(inner); },
        [](TStream& inner, const TZipHeader& h) {
          return std::make_unique<TInflateReader>(inner, h.GetCompressedSize64());
        }};
  }
};

THandlerTable& Table() {
  static THandlerTable table;
  return table;
}

}  // namespace

void RegisterCompressionHandler(std::uint16_t method, TStreamConstructor writer, TStreamConstructor reader) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.handlers[method] = {std::move(writer), std::move(reader)};
}

bool FindCompressionHandler(std::uint16_t method, TStreamConstructor& writer, TStreamConstructor& reader) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.handlers.find(method);
  if (it == table.handlers.end()) return false;
  writer = it->second.writer;
  reader = it->second.reader;
  return true;
}

std::string CompressionMethodName(std::uint16_t method) {
  switch (method) {
    case 0: return "Stored";
    case 1: return "Shrunk";
    case 2: return "Reduced1";
    case 3: return "Reduced2";
    case 4: return "Reduced3";
    case 5: return "Reduced4";
    case 6: return "Imploded";
    case 7: return "Tokenized";
    case 8: return "Deflated";
    case 9: return "Deflated64";
    case 10: return "Imploded(TERSE)";
    case 12: return "BZIP2";
    case 14: return "LZMA";
    case 18: return "TERSE";
    case 19: return "LZ77";
    case 97: return "WavPack";
    case 98: return "PPMd version I, Rev 1";
    default: return "Unknown";
  }
}

}  // namespace ostrivan::archive
