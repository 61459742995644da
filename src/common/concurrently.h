#pragma once
// Runs work(i, worker) for every i below count on up to `threads` threads, the calling
// one included (worker 0); worker tells each thread's own state apart. Items are taken
// in order as threads come free. Threads that cannot be started leave their share to
// the ones there are.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace ostrivan {

template <class Work>
void ForEachConcurrently(std::size_t count, unsigned threads, Work work) {
  std::atomic<std::size_t> next{0};
  const auto drain = [&](unsigned worker) {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i, worker);
  };
  std::vector<std::thread> helpers;
  const std::size_t wanted = std::min<std::size_t>(threads, count);
  for (unsigned worker = 1; worker < wanted; ++worker) {
    try {
      helpers.emplace_back(drain, worker);
    } catch (const std::system_error&) {
      break;
    }
  }
  drain(0);
  for (std::thread& t : helpers) t.join();
}

}  // namespace ostrivan
