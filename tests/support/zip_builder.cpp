#include "support/zip_builder.h"

#include <libdeflate.h>
#include <zlib.h>

namespace ostrivan::test_support {

std::string RawDeflate(const std::string& data, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string WholeBufferDeflate(const std::string& data, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

std::uint32_t Crc32Of(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string Le16(std::uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(std::uint32_t v) {
  return Le16(static_cast<std::uint16_t>(v)) + Le16(static_cast<std::uint16_t>(v >> 16));
}
std::string Le64(std::uint64_t v) {
  return Le32(static_cast<std::uint32_t>(v)) + Le32(static_cast<std::uint32_t>(v >> 32));
}

std::string ExtraBlock(std::uint16_t id, const std::string& data) {
  return Le16(id) + Le16(static_cast<std::uint16_t>(data.size())) + data;
}

std::string RawArchive::Build() const {
  std::string out, central;
  for (const RawEntry& e : entries) {
    std::string data = e.data;
    if (data.empty() && (e.method == 0 || e.method == 8)) data = e.method == 8 ? RawDeflate(e.payload) : e.payload;
    const std::uint32_t crc = e.crc >= 0 ? static_cast<std::uint32_t>(e.crc) : Crc32Of(e.payload);
    const std::uint32_t csize =
        e.compressed >= 0 ? static_cast<std::uint32_t>(e.compressed) : static_cast<std::uint32_t>(data.size());
    const std::uint32_t usize =
        e.uncompressed >= 0 ? static_cast<std::uint32_t>(e.uncompressed) : static_cast<std::uint32_t>(e.payload.size());
    const std::uint32_t offset =
        e.offset_override >= 0 ? static_cast<std::uint32_t>(e.offset_override) : static_cast<std::uint32_t>(out.size());
    std::string common = Le16(e.flag) + Le16(e.method) + Le32(e.dos_time) + Le32(crc) + Le32(csize) + Le32(usize) +
                         Le16(static_cast<std::uint16_t>(e.name.size()));
    out += Le32(e.local_signature) + Le16(20) + common + Le16(static_cast<std::uint16_t>(e.local_extra.size())) +
           e.name + e.local_extra + data;
    central += Le32(e.central_signature) + Le16(e.made_by) + Le16(20) + common +
               Le16(static_cast<std::uint16_t>(e.central_extra.size())) + Le16(0) + Le16(0) + Le16(0) +
               Le32(e.external) + Le32(offset) + e.name + e.central_extra;
  }
  const std::uint16_t count =
      count_override >= 0 ? static_cast<std::uint16_t>(count_override) : static_cast<std::uint16_t>(entries.size());
  const std::uint32_t cd_offset = static_cast<std::uint32_t>(out.size());
  out += central;
  out += Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(count) + Le16(count) +
         Le32(static_cast<std::uint32_t>(central.size())) + Le32(cd_offset) + Le16(0);
  return out;
}

}  // namespace ostrivan::test_support
