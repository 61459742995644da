// A maximum-size import request: parse and map it, decode its payload, and render an
// export reply of the same size; beside it the floor of any reader that keeps the
// payload: one copy of the body.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "jobfiles/base64.h"
#include "jobs/riz_ozudo_messages.h"
#include "json/serializer_json.h"

namespace {

using ostrivan::jobs::DecodeBase64;
using ostrivan::jobs::EncodeBase64;

// Payload bytes whose base64 body is about 5.2 MB at scale 4 (the engine's 5 MiB limit).
std::string Payload(int scale) {
  std::string bytes(static_cast<std::size_t>(scale) * 975000, '\0');
  std::mt19937_64 rng(42);
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(bytes.data() + i, &v, 8);
  }
  return bytes;
}

// The body as a client sends it: CR LF of the base64 lines as \r\n escapes.
const std::string& Body(int scale) {
  static std::string bodies[5];
  std::string& body = bodies[scale];
  if (body.empty()) {
    ostrivan::jobs::TRizOzudoImportLavoroRequest request;
    request.FNomeFile = "job.zip";
    request.FStream = EncodeBase64(Payload(scale));
    ostrivan::json::TMVCJsonSerializer serializer;
    body = serializer.SerializeObject(&request);
  }
  return body;
}

void BM_OstrivanParseAndMap(benchmark::State& state) {
  const std::string& body = Body(static_cast<int>(state.range(0)));
  ostrivan::json::TMVCJsonSerializer serializer;
  for (auto _ : state) {
    ostrivan::jobs::TRizOzudoImportLavoroRequest request;
    serializer.DeserializeObject(body, &request);
    benchmark::DoNotOptimize(request.FStream.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
  state.counters["body_MB"] = static_cast<double>(body.size()) / 1e6;
}

void BM_CopyFloor(benchmark::State& state) {
  const std::string& body = Body(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::string copy(body);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
  state.counters["body_MB"] = static_cast<double>(body.size()) / 1e6;
}

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = EncodeBase64(Payload(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    std::string bytes = DecodeBase64(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Base64Encode(benchmark::State& state) {
  const std::string bytes = Payload(static_cast<int>(state.range(0)));
  std::size_t text_size = 0;
  for (auto _ : state) {
    std::string text = EncodeBase64(bytes);
    text_size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  // Counted in output characters, like the decoder's input.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text_size));
}

void BM_RenderExportReply(benchmark::State& state) {
  ostrivan::jobs::TRizOzudoExportLavoroResponse reply;
  reply.FNomeFile = "job.zip";
  reply.FStream = EncodeBase64(Payload(static_cast<int>(state.range(0))));
  reply.FNrMacchina = 3;
  ostrivan::json::TMVCJsonSerializer serializer;
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = serializer.SerializeObject(&reply);
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Scales 1, 2 and 4 (1.3, 2.6 and 5.2 MB): time must double with size, never more.
BENCHMARK(BM_OstrivanParseAndMap)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyFloor)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Encode)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderExportReply)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
