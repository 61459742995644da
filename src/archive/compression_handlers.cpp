#include "archive/compression_handlers.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "archive/zip_exception.h"
#include "common/large_buffer.h"

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
    if (deflateInit2(&z_, kStreamDeflateLevel, Z_DEFLATED, kDeflateWindowBits, kDeflateMemLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK)
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
  z_stream z_{};
  std::vector<Bytef> out_;
  bool finished_ = false;
};

struct TDeflateCache {
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor{nullptr,
                                                                                      libdeflate_free_compressor};
  std::unique_ptr<std::uint8_t[]> out;
  std::size_t out_size = 0;
  std::vector<std::uint8_t> in;
};

// Set while a TDeflateReuseScope lives on this thread.
thread_local std::unique_ptr<TDeflateCache> t_deflate_cache;

// Collects an entry of up to kWholeBufferLimit bytes and deflates it in one call when
// flushed: whole-buffer deflate is several times faster than streaming and a little
// smaller. An entry expected to be larger, or that grows past the limit while it is
// read, goes through the streaming writer instead, so memory stays bounded.
class TWholeDeflateWriter : public TStream {
 public:
  TWholeDeflateWriter(TStream& inner, std::uint64_t expected_size) : inner_(inner) {
    if (expected_size > kWholeBufferLimit) {
      stream_ = std::make_unique<TDeflateWriter>(inner_);
      return;
    }
    if (t_deflate_cache) {
      in_ = std::move(t_deflate_cache->in);
      in_.clear();
    }
    ReserveLarge(in_, static_cast<std::size_t>(expected_size));
  }

  std::size_t Read(void*, std::size_t) override { throw EZipException("Invalid stream operation"); }

  std::size_t Write(const void* buffer, std::size_t count) override {
    if (!stream_ && in_.size() + count > kWholeBufferLimit) {
      stream_ = std::make_unique<TDeflateWriter>(inner_);
      stream_->WriteBuffer(in_.data(), in_.size());
      std::vector<std::uint8_t>().swap(in_);
    }
    if (stream_) return stream_->Write(buffer, count);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    in_.insert(in_.end(), bytes, bytes + count);
    return count;
  }

  void Flush() override {
    if (stream_) return stream_->Flush();
    if (finished_) return;
    finished_ = true;
    if (in_.empty()) {
      // An empty final block with fixed codes: two bytes, where a stored block takes five.
      static const std::uint8_t kEmptyBlock[] = {0x03, 0x00};
      inner_.WriteBuffer(kEmptyBlock, sizeof kEmptyBlock);
      return;
    }
    TDeflateCache own;
    TDeflateCache& cache = t_deflate_cache ? *t_deflate_cache : own;
    if (!cache.compressor) cache.compressor.reset(libdeflate_alloc_compressor(kDeflateLevel));
    if (!cache.compressor) throw EZipException("insufficient memory");
    const std::size_t bound = libdeflate_deflate_compress_bound(cache.compressor.get(), in_.size());
    if (cache.out_size < bound) {
      cache.out.reset();
      cache.out = std::make_unique_for_overwrite<std::uint8_t[]>(bound);
      AdviseHugePages(cache.out.get(), bound);
      cache.out_size = bound;
    }
    const std::size_t n =
        libdeflate_deflate_compress(cache.compressor.get(), in_.data(), in_.size(), cache.out.get(), bound);
    if (n == 0) throw EZipException("Error writing zip file");  // cannot happen within the bound
    GiveBackInput();
    inner_.WriteBuffer(cache.out.get(), n);
  }

  ~TWholeDeflateWriter() override { GiveBackInput(); }

 private:
  // The input room goes back to the thread's cache, if it keeps one, for the next entry.
  void GiveBackInput() {
    if (t_deflate_cache && in_.capacity() > t_deflate_cache->in.capacity()) {
      in_.clear();
      t_deflate_cache->in = std::move(in_);
    }
    std::vector<std::uint8_t>().swap(in_);
  }

 public:
 private:
  TStream& inner_;
  std::vector<std::uint8_t> in_;
  std::unique_ptr<TDeflateWriter> stream_;
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
  z_stream z_{};
  std::vector<Bytef> in_;
  bool ended_ = false;
};

// Room a deflate stream may take beyond its data: stored blocks add 5 bytes per 64 KiB.
constexpr std::uint64_t kWholeBufferSlack = kWholeBufferLimit / 1024 + 1024;

// Inflates an entry whose declared sizes fit kWholeBufferLimit in one call on the first
// read and hands out the result; larger entries stream through zlib. Data that does not
// inflate cleanly to at most the declared size is read again through zlib from memory,
// so a damaged entry fails exactly as it does when streamed: zlib's error text, or a
// short or overlong read for the caller to report.
class TWholeInflateReader : public TStream {
 public:
  TWholeInflateReader(TStream& inner, const TZipHeader& header)
      : inner_(inner), compressed_(header.GetCompressedSize64()), size_(header.GetUncompressedSize64()) {
    if (size_ > kWholeBufferLimit || compressed_ > kWholeBufferLimit + kWholeBufferSlack)
      stream_ = std::make_unique<TInflateReader>(inner_, compressed_);
  }

  std::size_t Write(const void*, std::size_t) override { throw EZipException("Invalid stream operation"); }

  std::size_t Read(void* buffer, std::size_t count) override {
    if (!stream_ && !inflated_) {
      // A caller that takes the whole entry at once gets it inflated straight into its
      // buffer: no second copy, no fresh pages to fault in.
      if (count >= size_) {
        Inflate(static_cast<std::uint8_t*>(buffer));
        if (!stream_) {
          position_ = out_size_;
          return out_size_;
        }
      } else {
        out_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size_));
        AdviseHugePages(out_.get(), static_cast<std::size_t>(size_));
        Inflate(out_.get());
      }
    }
    if (stream_) return stream_->Read(buffer, count);
    const std::size_t n = std::min(count, out_size_ - position_);
    if (n > 0) std::memcpy(buffer, out_.get() + position_, n);
    position_ += n;
    return n;
  }

 private:
  // Inflates the entry into out (room for its declared size); on data that does not
  // inflate cleanly, sets up the zlib reader instead.
  void Inflate(std::uint8_t* out) {
    inflated_ = true;
    auto in = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(compressed_));
    AdviseHugePages(in.get(), static_cast<std::size_t>(compressed_));
    const std::size_t in_size = inner_.ReadFully(in.get(), static_cast<std::size_t>(compressed_));
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> decompressor(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!decompressor) throw EZipException("insufficient memory");
    std::size_t used = 0;
    const libdeflate_result rc = libdeflate_deflate_decompress_ex(decompressor.get(), in.get(), in_size, out,
                                                                  static_cast<std::size_t>(size_), &used, &out_size_);
    if (rc == LIBDEFLATE_SUCCESS) return;  // shorter than declared: the caller sees a short read
    out_.reset();
    out_size_ = 0;
    held_ = std::make_unique<TBytesStream>(std::vector<std::uint8_t>(in.get(), in.get() + in_size));
    stream_ = std::make_unique<TInflateReader>(*held_, in_size);
  }

  TStream& inner_;
  const std::uint64_t compressed_;
  const std::uint64_t size_;
  bool inflated_ = false;
  std::unique_ptr<std::uint8_t[]> out_;
  std::size_t out_size_ = 0;
  std::size_t position_ = 0;
  std::unique_ptr<TBytesStream> held_;  // the entry's data when it is read again by zlib
  std::unique_ptr<TInflateReader> stream_;
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
        [](TStream& inner, const TZipHeader& h) {
          return std::make_unique<TWholeDeflateWriter>(inner, h.GetUncompressedSize64());
        },
        [](TStream& inner, const TZipHeader& h) { return std::make_unique<TWholeInflateReader>(inner, h); }};
  }
};

THandlerTable& Table() {
  static THandlerTable table;
  return table;
}

}  // namespace

TDeflateReuseScope::TDeflateReuseScope() {
  if (t_deflate_cache) return;
  t_deflate_cache = std::make_unique<TDeflateCache>();
  owner_ = true;
}

TDeflateReuseScope::~TDeflateReuseScope() {
  if (owner_) t_deflate_cache.reset();
}

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
