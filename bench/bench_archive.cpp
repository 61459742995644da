// Packing and unpacking a generated CNC job tree, side by side with Info-ZIP zip -r and
// unzip on the same tree in the same run. Figures are bytes of job files per second;
// the Deflate rows give each codec level's speed and output size on the same trees.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "archive/zip_file.h"
#include "jobfiles/working_directory.h"

namespace {

using ostrivan::archive::TZipFile;
using ostrivan::archive::TZipMode;
using ostrivan::archive::TZipSource;

struct JobTree {
  std::string dir;   // the generated job
  std::string work;  // scratch for archives and extraction
  std::int64_t bytes = 0;
  std::vector<TZipSource> sources;
};

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Fails the run on any exit status above max_status (unzip returns 1 for warnings such
// as backslash separators, which it converts).
void Run(const std::string& command, int max_status = 0) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > max_status) {
    std::fprintf(stderr, "command failed: %s\n", command.c_str());
    std::exit(1);
  }
}

void Collect(const std::string& dir, const std::string& rel, JobTree& tree) {
  for (const auto& e : ostrivan::jobs::ListDirectory(dir)) {
    const std::string path = dir + "/" + e.Name;
    const std::string name = rel.empty() ? e.Name : rel + "\\" + e.Name;
    if (e.IsDirectory) {
      Collect(path, name, tree);
      continue;
    }
    struct stat st {};
    ::stat(path.c_str(), &st);
    tree.bytes += st.st_size;
    tree.sources.push_back({path, name});
  }
}

std::vector<std::string>& ScratchRoots() {
  static std::vector<std::string> roots;
  return roots;
}

// One tree per size, generated once per run by the project's deterministic generator.
JobTree& Tree(const std::string& size) {
  static std::map<std::string, JobTree> trees;
  auto it = trees.find(size);
  if (it != trees.end()) return it->second;
  char pattern[] = "/tmp/ostrivan-bench-zip-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::exit(1);
  ScratchRoots().push_back(pattern);
  JobTree tree;
  tree.dir = std::string(pattern) + "/job";
  tree.work = std::string(pattern) + "/work";
  Run("python3 " + Quote(std::string(OSTRIVAN_SOURCE_DIR) + "/tools/make_job.py") + " " + size + " " + Quote(tree.dir) +
      " > /dev/null");
  ::mkdir(tree.work.c_str(), 0755);
  Collect(tree.dir, "", tree);
  return trees.emplace(size, std::move(tree)).first->second;
}

void CleanUp() {
  for (const auto& root : ScratchRoots()) Run("rm -rf " + Quote(root));
}

void Finish(benchmark::State& state, const JobTree& tree) {
  state.SetBytesProcessed(state.iterations() * tree.bytes);
  state.counters["files"] = static_cast<double>(tree.sources.size());
}

void PackOurs(benchmark::State& state, const std::string& size, unsigned threads) {
  JobTree& tree = Tree(size);
  const std::string z = tree.work + "/ours.zip";
  for (auto _ : state) {
    TZipFile zip;
    zip.Open(z, TZipMode::zmWrite);
    zip.AddFiles(tree.sources, ostrivan::archive::kZipDeflate, threads);
    zip.Close();
  }
  Finish(state, tree);
}

void PackZipTool(benchmark::State& state, const std::string& size) {
  JobTree& tree = Tree(size);
  const std::string z = tree.work + "/peer.zip";
  for (auto _ : state) {
    ::unlink(z.c_str());
    Run("cd " + Quote(tree.dir) + " && zip -r -q " + Quote(z) + " .");
  }
  Finish(state, tree);
}

// Both unpackers extract the same archive (ours) into a fresh directory each time.
template <typename Unpack>
void UnpackTree(benchmark::State& state, const std::string& size, Unpack unpack) {
  JobTree& tree = Tree(size);
  const std::string z = tree.work + "/unpack.zip";
  {
    TZipFile zip;
    zip.Open(z, TZipMode::zmWrite);
    zip.AddFiles(tree.sources);
  }
  const std::string out = tree.work + "/out";
  for (auto _ : state) {
    state.PauseTiming();
    Run("rm -rf " + Quote(out));
    state.ResumeTiming();
    unpack(z, out);
  }
  Finish(state, tree);
}

void UnpackOurs(benchmark::State& state, const std::string& size) {
  UnpackTree(state, size, [](const std::string& z, const std::string& out) { ostrivan::jobs::UnpackArchive(z, out); });
}

void UnpackUnzipTool(benchmark::State& state, const std::string& size) {
  UnpackTree(state, size, [](const std::string& z, const std::string& out) {
    Run("unzip -q -o " + Quote(z) + " -d " + Quote(out) + " 2> /dev/null", 1);
  });
}

// The level behind the archive codec: every file of the tree deflated on its own, on one
// thread, as an archive holds it. "out_bytes" is the archive's entry data; the level in
// use is the fastest whose figure is not above zlib's default level.
std::vector<std::string> Contents(const JobTree& tree) {
  std::vector<std::string> out;
  for (const auto& s : tree.sources) {
    std::ifstream f(s.FileName, std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  return out;
}

void DeflateEach(benchmark::State& state, const std::string& size, int zlib_level, int libdeflate_level) {
  JobTree& tree = Tree(size);
  const std::vector<std::string> files = Contents(tree);
  std::string out;
  std::size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (const auto& f : files) {
      if (zlib_level != 0) {
        z_stream z{};
        deflateInit2(&z, zlib_level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        out.resize(deflateBound(&z, f.size()));
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(f.data()));
        z.avail_in = static_cast<uInt>(f.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        total += z.total_out;
        deflateEnd(&z);
      } else {
        libdeflate_compressor* c = libdeflate_alloc_compressor(libdeflate_level);
        out.resize(libdeflate_deflate_compress_bound(c, f.size()));
        total += libdeflate_deflate_compress(c, f.data(), f.size(), out.data(), out.size());
        libdeflate_free_compressor(c);
      }
    }
  }
  Finish(state, tree);
  state.counters["out_bytes"] = static_cast<double>(total);
}

// Remembers each run's rate so the end of the output can put ours beside the peer's.
class SideBySideReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      // With repetitions the median stands for the benchmark; it is reported last.
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value / 1e6;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nMB/s of job files (1e6 bytes)  ours      peer    ours/peer\n");
    for (const char* size : {"typical", "max"}) {
      Line(std::string("pack   ") + size, std::string("Pack/ours/") + size, std::string("Pack/zip -r/") + size);
      Line(std::string("pack 1 thread ") + size, std::string("Pack/ours-1-thread/") + size,
           std::string("Pack/zip -r/") + size);
      Line(std::string("unpack ") + size, std::string("Unpack/ours/") + size, std::string("Unpack/unzip/") + size);
    }
  }

 private:
  void Line(const std::string& label, const std::string& ours, const std::string& peer) {
    auto o = Find(ours), p = Find(peer);
    if (o > 0 && p > 0) std::printf("%-26s %9.1f %9.1f %10.2fx\n", label.c_str(), o, p, o / p);
  }
  double Find(const std::string& prefix) const {
    for (const auto& [name, rate] : rates_)
      if (name.rfind(prefix, 0) == 0) return rate;
    return 0;
  }
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const char* size : {"typical", "max"}) {
    const std::string s = size;
    benchmark::RegisterBenchmark(("Pack/ours/" + s).c_str(), [s](benchmark::State& st) { PackOurs(st, s, 0); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Pack/ours-1-thread/" + s).c_str(), [s](benchmark::State& st) { PackOurs(st, s, 1); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Pack/zip -r/" + s).c_str(), [s](benchmark::State& st) { PackZipTool(st, s); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Unpack/ours/" + s).c_str(), [s](benchmark::State& st) { UnpackOurs(st, s); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Unpack/unzip/" + s).c_str(), [s](benchmark::State& st) { UnpackUnzipTool(st, s); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Deflate/zlib-6/" + s).c_str(), [s](benchmark::State& st) {
      DeflateEach(st, s, 6, 0);
    })->Unit(benchmark::kMillisecond);
    for (int level : {4, 5, 6})
      benchmark::RegisterBenchmark(("Deflate/libdeflate-" + std::to_string(level) + "/" + s).c_str(),
                                   [s, level](benchmark::State& st) { DeflateEach(st, s, 0, level); })
          ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  SideBySideReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  CleanUp();
  return 0;
}
