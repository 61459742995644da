#include "logging/thread_safe_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

using test_support::WaitFor;

std::unique_ptr<TLogItem> Item(const std::string& message) {
  return std::make_unique<TLogItem>(TLogType::Info, message, "t");
}

// True once a reader is asleep on the queue: what the test does next reaches a waiting
// reader, not one that has yet to start.
bool ReaderAsleep(TThreadSafeQueue& queue) {
  return WaitFor([&] { return queue.WaitingReaders() > 0; }, std::chrono::seconds(30));
}

// True once the reader thread is done with its wait (30 s at most, a hang guard far
// short of the queue's own ten-minute wait). A reader still asleep then is woken, so that
// the test ends, and the false return fails it.
bool ReaderReturns(TThreadSafeQueue& queue, const std::atomic<bool>& returned) {
  if (WaitFor([&] { return returned.load(); }, std::chrono::seconds(30))) return true;
  queue.WakeUp();
  return false;
}

constexpr std::uint64_t kTenMinutes = 600000;

// A give-up check that never gives up but tells when it was first asked: Enqueue asks
// it only while backing off, so the writer has found the queue full.
struct BackOffSeen {
  std::atomic<bool> seen{false};
  std::function<bool()> Check() {
    return [this] {
      seen = true;
      return false;
    };
  }
};

TEST(ThreadSafeQueue, FirstInFirstOutWithSizes) {
  TThreadSafeQueue queue(10, 10);
  for (const char* m : {"a", "b", "c"}) ASSERT_TRUE(queue.Enqueue(Item(m)));
  EXPECT_EQ(queue.QueueSize(), 3u);
  std::uint64_t size = 0;
  std::unique_ptr<TLogItem> item;
  for (const auto& [message, size_before] : {std::pair{"a", 3u}, {"b", 2u}, {"c", 1u}}) {
    ASSERT_EQ(queue.Dequeue(size, item), TWaitResult::wrSignaled);
    EXPECT_EQ(item->LogMessage(), message);
    EXPECT_EQ(size, size_before);
  }
  // Empty: the event is reset and the next wait times out.
  EXPECT_EQ(queue.Dequeue(size, item), TWaitResult::wrTimeout);
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(queue.Dequeue(item), TWaitResult::wrTimeout);
  EXPECT_EQ(queue.Dequeue(), nullptr);
}

TEST(ThreadSafeQueue, WaitingReaderWakesOnEnqueue) {
  TThreadSafeQueue queue(10, kTenMinutes);
  std::unique_ptr<TLogItem> received;
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    queue.Dequeue(received);
    returned = true;
  });
  const bool asleep = ReaderAsleep(queue);
  ASSERT_TRUE(queue.Enqueue(Item("hello")));
  const bool woken = ReaderReturns(queue, returned);
  reader.join();
  EXPECT_TRUE(woken) << "the enqueue did not wake the reader";
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->LogMessage(), "hello");
  EXPECT_TRUE(asleep) << "the reader never waited";
}

TEST(ThreadSafeQueue, FullQueueWaitsForRoomThenAccepts) {
  TThreadSafeQueue queue(2, 10);
  ASSERT_TRUE(queue.Enqueue(Item("1")));
  ASSERT_TRUE(queue.Enqueue(Item("2")));
  std::atomic<bool> accepted{false};
  std::atomic<bool> returned{false};
  BackOffSeen backing_off;
  std::thread writer([&] {
    accepted = queue.Enqueue(Item("3"), backing_off.Check());
    returned = true;
  });
  // The writer is backing off; freeing one slot lets a later attempt through.
  ASSERT_TRUE(WaitFor([&] { return backing_off.seen || returned; }, std::chrono::seconds(30)));
  EXPECT_TRUE(backing_off.seen.load()) << "the full queue took a third item at once";
  EXPECT_FALSE(accepted.load());
  auto first = queue.Dequeue();
  ASSERT_NE(first, nullptr);
  writer.join();
  EXPECT_TRUE(accepted.load());
  EXPECT_EQ(queue.Dequeue()->LogMessage(), "2");
  EXPECT_EQ(queue.Dequeue()->LogMessage(), "3");
}

TEST(ThreadSafeQueue, GiveUpEndsTheBackOffWithARefusal) {
  TThreadSafeQueue queue(1, 10);
  ASSERT_TRUE(queue.Enqueue(Item("only")));
  int asked = 0;
  EXPECT_FALSE(queue.Enqueue(Item("refused"), [&] { return ++asked > 2; }));
  EXPECT_GT(asked, 2);
  EXPECT_EQ(queue.QueueSize(), 1u);
}

TEST(ThreadSafeQueue, ShutDownDiscardsAndRefuses) {
  TThreadSafeQueue queue(1, 60000);
  ASSERT_TRUE(queue.Enqueue(Item("discarded")));
  std::atomic<bool> blocked_result{true};
  std::atomic<bool> returned{false};
  BackOffSeen backing_off;
  // A writer backing off on the full queue is released by the shutdown.
  std::thread writer([&] {
    blocked_result = queue.Enqueue(Item("late"), backing_off.Check());
    returned = true;
  });
  ASSERT_TRUE(WaitFor([&] { return backing_off.seen || returned; }, std::chrono::seconds(30)));
  EXPECT_TRUE(backing_off.seen.load()) << "the writer never backed off";
  EXPECT_FALSE(returned.load());
  queue.DoShutDown();
  writer.join();
  EXPECT_FALSE(blocked_result.load());
  EXPECT_EQ(queue.QueueSize(), 0u);
  EXPECT_FALSE(queue.Enqueue(Item("after")));
  std::unique_ptr<TLogItem> item;
  EXPECT_EQ(queue.Dequeue(item), TWaitResult::wrAbandoned);
  EXPECT_EQ(item, nullptr);
}

TEST(ThreadSafeQueue, ShutDownReleasesAWaitingReader) {
  TThreadSafeQueue queue(1, kTenMinutes);
  TWaitResult result = TWaitResult::wrError;
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    std::unique_ptr<TLogItem> item;
    result = queue.Dequeue(item);
    returned = true;
  });
  const bool asleep = ReaderAsleep(queue);
  queue.DoShutDown();
  const bool released = ReaderReturns(queue, returned);
  reader.join();
  EXPECT_TRUE(asleep) << "the reader never waited";
  EXPECT_TRUE(released) << "the shutdown left the reader asleep";
  EXPECT_EQ(result, TWaitResult::wrAbandoned);
}

// Refused at once instead of backing off when the queue is full.
bool EnqueueNow(TThreadSafeQueue& queue, const std::string& message) {
  return queue.Enqueue(Item(message), [] { return true; });
}

std::vector<std::string> MessagesOf(const TLogItems& items) {
  std::vector<std::string> messages;
  for (const auto& item : items) messages.push_back(item ? item->LogMessage() : "<taken>");
  return messages;
}

TEST(ThreadSafeQueue, BatchesKeepOrderAndHeldItemsKeepTheirPlace) {
  TThreadSafeQueue queue(4, 10);
  for (const char* m : {"a", "b", "c"}) ASSERT_TRUE(EnqueueNow(queue, m));
  TLogItems batch;
  ASSERT_EQ(queue.DequeueBatch(batch, 2, /*hold=*/true), TWaitResult::wrSignaled);
  EXPECT_EQ(MessagesOf(batch), (std::vector<std::string>{"a", "b"}));
  // Two taken but held: still four in the queue's count, so the fifth is refused.
  EXPECT_EQ(queue.QueueSize(), 3u);
  ASSERT_TRUE(EnqueueNow(queue, "d"));
  EXPECT_EQ(queue.FreeSpace(), 0u);
  EXPECT_FALSE(EnqueueNow(queue, "refused while held"));
  queue.Release(1);
  EXPECT_EQ(queue.FreeSpace(), 1u);
  ASSERT_TRUE(EnqueueNow(queue, "e"));
  // The held "b" goes back in front of everything queued since.
  queue.PutBack(batch, 1);
  EXPECT_EQ(batch.size(), 1u);
  TLogItems rest;
  ASSERT_EQ(queue.DequeueBatch(rest, 100), TWaitResult::wrSignaled);
  EXPECT_EQ(MessagesOf(rest), (std::vector<std::string>{"b", "c", "d", "e"}));
  EXPECT_EQ(queue.QueueSize(), 0u);
  EXPECT_EQ(queue.DequeueBatch(rest, 100), TWaitResult::wrTimeout);
  EXPECT_EQ(rest.size(), 4u) << "an empty wait adds nothing";
}

TEST(ThreadSafeQueue, EnqueueBatchTakesWhatFitsAndLeavesTheRest) {
  struct Case {
    int queued_before;
    std::size_t expected_next;
  };
  for (const Case c : {Case{0, 3}, Case{1, 3}, Case{2, 2}, Case{4, 0}}) {
    TThreadSafeQueue queue(4, 10);
    for (int i = 0; i < c.queued_before; ++i) ASSERT_TRUE(EnqueueNow(queue, "old"));
    TLogItems items;
    for (const char* m : {"x", "y", "z"}) items.push_back(Item(m));
    EXPECT_EQ(queue.EnqueueBatch(items), c.expected_next) << c.queued_before;
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i] == nullptr, i < c.expected_next) << i;
    EXPECT_EQ(queue.QueueSize(), std::min<std::uint64_t>(4, static_cast<std::uint64_t>(c.queued_before) + 3))
        << c.queued_before;
  }
}

TEST(ThreadSafeQueue, WaitingBatchReaderWakesOnEnqueueBatch) {
  TThreadSafeQueue queue(10, kTenMinutes);
  TLogItems received;
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    queue.DequeueBatch(received, 10);
    returned = true;
  });
  const bool asleep = ReaderAsleep(queue);
  TLogItems items;
  items.push_back(Item("one"));
  items.push_back(Item("two"));
  ASSERT_EQ(queue.EnqueueBatch(items), 2u);
  const bool woken = ReaderReturns(queue, returned);
  reader.join();
  EXPECT_TRUE(woken) << "the batch did not wake the reader";
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received[0]->LogMessage(), "one");
  EXPECT_TRUE(asleep) << "the reader never waited";
}

TEST(ThreadSafeQueue, ManyWritersNothingLostOrDuplicated) {
  for (const bool batched : {false, true}) {
    TThreadSafeQueue queue(64, 10);  // small, so writers back off now and then
    constexpr int kWriters = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < kEach; ++i) ASSERT_TRUE(queue.Enqueue(Item(std::to_string(w * kEach + i))));
      });
    }
    std::vector<int> seen(kWriters * kEach, 0);
    std::vector<int> last_of_writer(kWriters, -1);
    int received = 0;
    TLogItems taken;
    while (received < kWriters * kEach) {
      taken.clear();
      if (batched) {
        queue.DequeueBatch(taken, 16);
      } else if (auto item = queue.Dequeue()) {
        taken.push_back(std::move(item));
      }
      for (const auto& item : taken) {
        const int value = std::stoi(item->LogMessage());
        ++seen[static_cast<std::size_t>(value)];
        // Each writer's items come out in the order it put them in.
        const auto writer = static_cast<std::size_t>(value / kEach);
        EXPECT_GT(value, last_of_writer[writer]) << batched;
        last_of_writer[writer] = value;
        ++received;
      }
    }
    for (auto& t : writers) t.join();
    for (int count : seen) ASSERT_EQ(count, 1) << batched;
  }
}

}  // namespace
}  // namespace ostrivan::logging
