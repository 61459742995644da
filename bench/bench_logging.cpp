// Log calls and end-to-end line rates of the asynchronous file logger, side by side with
// its floor in the same run: the same lines formatted under one lock into one buffer and
// written to one file in one go, with no queue, no thread and no rotation.
// Every case runs once with manual timing and reports its own counters:
//   calls_per_s  log calls per second seen by the producing threads
//   p50_ns/p99_ns latency of one log call
//   lines_per_s  lines per second from the first call until every line is in the file
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_file_appender.h"
#include "logging/log_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/tmp/ostrivan-bench-logging-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Message text sized so that a whole line is about 110 bytes in both loggers.
std::string Message(int i) { return "GET /RizOzudo/ExportLavoro handled in 12 ms, request " + std::to_string(i); }

struct Run {
  std::vector<std::int64_t> latencies_ns;
  double call_seconds = 0;
  double total_seconds = 0;
};

// Runs `threads` producers of lines_per_thread calls each through log_one, then stop()
// which must return only when every line is written.
template <typename LogOne, typename Stop>
Run Produce(int threads, int lines_per_thread, LogOne log_one, Stop stop) {
  Run run;
  std::vector<std::vector<std::int64_t>> per_thread(threads);
  std::vector<std::thread> workers;
  const auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      auto& lat = per_thread[t];
      lat.reserve(lines_per_thread);
      for (int i = 0; i < lines_per_thread; ++i) {
        const std::string message = Message(t * lines_per_thread + i);
        const auto before = Clock::now();
        log_one(message);
        lat.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count());
      }
    });
  }
  for (auto& w : workers) w.join();
  const auto calls_done = Clock::now();
  stop();
  const auto all_written = Clock::now();
  run.call_seconds = std::chrono::duration<double>(calls_done - start).count();
  run.total_seconds = std::chrono::duration<double>(all_written - start).count();
  for (auto& lat : per_thread) run.latencies_ns.insert(run.latencies_ns.end(), lat.begin(), lat.end());
  return run;
}

// Log lines (not ROTATE/START lines) in every file of the folder, and whether the
// oldest backup was reached, in which case rotation has dropped lines on purpose.
struct FileCount {
  std::int64_t lines = 0;
  bool backups_full = false;
};

FileCount CountLines(const std::string& dir) {
  FileCount count;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ++files;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("#[", 0) != 0 && !line.empty()) ++count.lines;
    }
  }
  count.backups_full = files >= 6;  // the current file and five backups
  return count;
}

// A logger that is fast because it lost lines would be no result at all.
bool AllLinesWritten(benchmark::State& state, const std::string& dir, int lines) {
  const FileCount count = CountLines(dir);
  if (!count.backups_full && count.lines != lines) {
    state.SkipWithError(
        ("only " + std::to_string(count.lines) + " of " + std::to_string(lines) + " lines in the files").c_str());
    return false;
  }
  return true;
}

void Report(benchmark::State& state, Run& run, int lines) {
  std::sort(run.latencies_ns.begin(), run.latencies_ns.end());
  const auto at = [&](double q) {
    return static_cast<double>(run.latencies_ns[static_cast<std::size_t>(q * (run.latencies_ns.size() - 1))]);
  };
  state.SetIterationTime(run.total_seconds);
  state.counters["calls_per_s"] = lines / run.call_seconds;
  state.counters["lines_per_s"] = lines / run.total_seconds;
  state.counters["p50_ns"] = at(0.50);
  state.counters["p99_ns"] = at(0.99);
}

void BM_Ostrivan(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const int lines = static_cast<int>(state.range(1));
  for (auto _ : state) {
    ScratchDir dir;
    auto appender = std::make_shared<ostrivan::logging::TLogFileAppender>(5, 2000, dir.Path());
    auto writer = ostrivan::logging::MakeLogWriter({appender});
    // Let the appender thread set up before timing, as a running service has.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Run run = Produce(
        threads, lines / threads, [&](const std::string& m) { writer->Info(m, "torniomvc"); },
        [&] { writer->Shutdown(); });
    if (AllLinesWritten(state, dir.Path(), lines)) Report(state, run, lines);
  }
}

void BM_WriteFloor(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const int lines = static_cast<int>(state.range(1));
  for (auto _ : state) {
    ScratchDir dir;
    std::mutex lock;
    std::string buffer;
    buffer.reserve(static_cast<std::size_t>(lines) * 96);
    Run run = Produce(
        threads, lines / threads,
        [&](const std::string& m) {
          char head[64];
          const int n = std::snprintf(head, sizeof head, "2026-12-11 08:00:00:000  [TID %-8d][INFO      ] ", 1);
          std::lock_guard<std::mutex> guard(lock);
          buffer.append(head, static_cast<std::size_t>(n)).append(m).append(" [torniomvc]\r\n");
        },
        [&] {
          const int fd = ::open((dir.Path() + "/floor.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          if (fd >= 0) {
            (void)!::write(fd, buffer.data(), buffer.size());
            ::close(fd);
          }
        });
    if (AllLinesWritten(state, dir.Path(), lines)) Report(state, run, lines);
  }
}

// {threads, lines}: 45000 lines fit the queues (a burst); 200000 measure the sustained rate.
void Args(benchmark::internal::Benchmark* b) {
  for (int threads : {1, 2}) {
    for (int lines : {45000, 200000}) b->Args({threads, lines});
  }
  b->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Ostrivan)->Apply(Args);
BENCHMARK(BM_WriteFloor)->Apply(Args);

}  // namespace

BENCHMARK_MAIN();
