#include <stdexcept>
#include <thread>

#include "logging_test_support.h"

namespace ostrivan::logging::testing {

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

void TMemoryAppender::Setup() {
  std::lock_guard lock(mutex_);
  ++setup_calls_;
  if (setup_failures_left.load() > 0) {
    setup_failures_left.fetch_sub(1);
    throw std::runtime_error("setup refused");
  }
}

void TMemoryAppender::WriteLog(const TLogItem& log_item) {
  if (write_delay.count() > 0) std::this_thread::sleep_for(write_delay);
  std::lock_guard lock(mutex_);
  if (write_failures_left.load() > 0) {
    write_failures_left.fetch_sub(1);
    throw std::runtime_error("write refused");
  }
  lines_.push_back(FormatLog(log_item));
  messages_.push_back(log_item.LogMessage());
}

void TMemoryAppender::TearDown() {
  std::lock_guard lock(mutex_);
  ++tear_down_calls_;
}

void TMemoryAppender::TryToRestart(bool& restarted) {
  std::lock_guard lock(mutex_);
  restarted = restart_answer.load();
}

std::vector<std::string> TMemoryAppender::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> TMemoryAppender::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

int TMemoryAppender::SetupCalls() {
  std::lock_guard lock(mutex_);
  return setup_calls_;
}

int TMemoryAppender::TearDownCalls() {
  std::lock_guard lock(mutex_);
  return tear_down_calls_;
}

}  // namespace ostrivan::logging::testing
