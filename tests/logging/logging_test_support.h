#pragma once
// Helpers shared by the logging tests: line splitting, waiting for another thread, and
// an appender that keeps what it is given in memory.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/log_appender.h"
#include "support/scratch_files.h"
#include "support/wait_for.h"

namespace ostrivan::logging::testing {

// The shared scratch folders and whole-file helpers, under the names the logging tests use.
using test_support::FileExists;
using test_support::ReadFile;
using test_support::ReadFileOrEmpty;
using test_support::SetOwnerWritable;
using test_support::TempDir;
using test_support::WriteFile;

// Lines split at CR LF; a trailing CR LF gives no empty last line.
std::vector<std::string> SplitCrLf(const std::string& text);

// Records formatted lines; Setup/WriteLog can be made to fail on demand.
class TMemoryAppender : public TLogAppenderBase {
 public:
  const char* ClassName() const noexcept override { return "TMemoryAppender"; }
  void Setup() override;
  void WriteLog(const TLogItem& log_item) override;
  void TearDown() override;
  void TryToRestart(bool& restarted) override;

  std::vector<std::string> Lines();
  std::vector<std::string> Messages();
  int SetupCalls();
  int TearDownCalls();

  // Knobs; the delay is set before the appender's thread starts.
  std::atomic<int> setup_failures_left{0};
  std::atomic<int> write_failures_left{0};
  std::atomic<bool> restart_answer{false};
  std::chrono::microseconds write_delay{0};

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::string> messages_;
  int setup_calls_ = 0;
  int tear_down_calls_ = 0;
};

}  // namespace ostrivan::logging::testing
