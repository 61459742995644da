// AddFiles: workers compress the entries ahead into memory while this thread writes
// them in order, so the archive is exactly the one Add would write entry by entry.
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "archive/zip_compress.h"
#include "archive/zip_file.h"

namespace ostrivan::archive {

namespace {

struct TPreparedEntry {
  bool streamed = false;  // too large to hold in memory: added in its turn instead
  platform::TFileInfo info;
  std::vector<std::uint8_t> data;
  TEntryTotals totals;
  std::exception_ptr error;
};

// Runs on a worker: never throws, a failure travels in the entry to be raised in order.
std::unique_ptr<TPreparedEntry> Prepare(const TZipSource& s, std::uint16_t compression,
                                        const TStreamConstructor& writer) {
  auto entry = std::make_unique<TPreparedEntry>();
  try {
    if (s.FileName.empty()) throw EZipException("File name must not be empty");
    TFileStream source(s.FileName, TFileStream::TOpenMode::fmOpenRead);
    CheckRegularFile(source, s.FileName, entry->info);
    if (static_cast<std::uint64_t>(entry->info.Size) > kParallelEntryLimit) {
      entry->streamed = true;
      return entry;
    }
    // Add hands the writer its full header; the method and the expected size are what
    // the writer looks at, so these two are set alike here.
    TZipHeader header;
    header.CompressionMethod = compression;
    header.SetUncompressedSize64(static_cast<std::uint64_t>(entry->info.Size));
    TBytesStream out;
    entry->totals = CompressEntry(source, out, writer, header);
    entry->data = out.TakeBytes();
  } catch (...) {
    entry->error = std::current_exception();
  }
  return entry;
}

}  // namespace

void TZipFile::AddFiles(const std::vector<TZipSource>& sources, std::uint16_t compression, unsigned threads) {
  unsigned workers = threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
  if (workers <= 1 || sources.size() < 2) {
    for (const TZipSource& s : sources) Add(s.FileName, s.ArchiveFileName, compression);
    return;
  }
  CheckWritable(compression, sources.front().FileName);
  TStreamConstructor writer_ctor, reader_ctor;
  FindCompressionHandler(compression, writer_ctor, reader_ctor);

  const std::size_t n = sources.size();
  const std::size_t window = 2 * static_cast<std::size_t>(workers);  // entries in flight
  std::mutex lock;
  std::condition_variable changed;
  std::size_t next_claim = 0;
  std::size_t consumed = 0;
  bool stop = false;
  std::vector<std::unique_ptr<TPreparedEntry>> slots(n);

  auto work = [&] {
    const TDeflateReuseScope reuse;
    for (;;) {
      std::size_t i;
      {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return stop || next_claim >= n || next_claim < consumed + window; });
        if (stop || next_claim >= n) return;
        i = next_claim++;
      }
      auto entry = Prepare(sources[i], compression, writer_ctor);
      {
        std::lock_guard<std::mutex> guard(lock);
        slots[i] = std::move(entry);
      }
      changed.notify_all();
    }
  };

  std::vector<std::thread> pool;
  // Stops and joins the workers on every way out, a failed entry's exception included.
  struct TJoin {
    std::vector<std::thread>& pool;
    std::mutex& lock;
    bool& stop;
    std::condition_variable& changed;
    ~TJoin() {
      {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
      }
      changed.notify_all();
      for (auto& t : pool) t.join();
    }
  } join{pool, lock, stop, changed};
  for (unsigned w = 0; w < workers; ++w) pool.emplace_back(work);

  for (std::size_t i = 0; i < n; ++i) {
    std::unique_ptr<TPreparedEntry> entry;
    {
      std::unique_lock<std::mutex> guard(lock);
      changed.wait(guard, [&] { return slots[i] != nullptr; });
      entry = std::move(slots[i]);
      consumed = i + 1;
    }
    changed.notify_all();
    if (entry->error) std::rethrow_exception(entry->error);
    if (entry->streamed) {
      Add(sources[i].FileName, sources[i].ArchiveFileName, compression);
      continue;
    }
    WritePrepared(sources[i], entry->info, entry->totals, entry->data, compression);
  }
}

}  // namespace ostrivan::archive
