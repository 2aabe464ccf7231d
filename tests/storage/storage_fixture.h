// A storage state over a real SQLite suite database in a temporary AppPath, with a manual clock
// whose pauses are recorded in the same trace as the database calls.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "storage/storage.h"
#include "support/recording_database.h"
#include "support/temp_dir.h"

namespace quorlan::testing {

// A manual clock that writes "sleep" into a trace for every sleep.
class TracingClock final : public Clock {
 public:
  DateTime Now() override { return inner.Now(); }
  int64_t MonotonicMs() override { return inner.MonotonicMs(); }
  void SleepMs(int ms) override {
    if (trace != nullptr) trace->push_back("sleep");
    inner.SleepMs(ms);
  }
  int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
    return inner.Poll(fds, count, timeout_ms);
  }
  ManualClock inner;
  std::vector<std::string>* trace = nullptr;
};

struct LoggedEvent {
  std::string type;    // "1" or "3"
  std::string source;  // module "_" procedure
  std::string message;
};

class StorageTest : public ::testing::Test {
 protected:
  StorageTest() {
    dir_.MakeDir("Debug");
    dir_.Write("suite.db", "");  // an empty SQLite database: suite connections never create one
    recording_ = std::make_shared<RecordingDatabase>(st_.Db);
    st_.Db = recording_;
    clock_.trace = &recording_->log();
    st_.DbConnStringSql = "Driver=SQLite3;Database=" + dir_.File("suite.db");
  }

  // Runs statements on the suite database outside the recorded client.
  void Exec(const std::vector<std::string>& statements) {
    auto conn = direct_->NewConnection();
    conn->Open(st_.DbConnStringSql, kDbConnectTimeoutSeconds);
    for (const std::string& sql : statements) conn->Execute(sql);
  }
  int64_t Count(const std::string& sql) {
    auto conn = direct_->NewConnection();
    conn->Open(st_.DbConnStringSql, kDbConnectTimeoutSeconds);
    return std::stoll(ExecuteQuery(*conn, sql)->Field(0).AsString());
  }

  std::vector<LoggedEvent> Events() const {
    std::vector<LoggedEvent> out;
    const std::string log = st_.DebugFile("T-AppEvent.txt");
    if (!FileExists(log)) return out;
    for (const std::string& line : ReadLines(log)) {
      std::vector<std::string> parts;
      size_t start = 0;
      for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        parts.push_back(line.substr(start, tab - start));
      }
      parts.push_back(line.substr(start));
      EXPECT_EQ(parts.size(), 4u) << line;
      if (parts.size() == 4) out.push_back({parts[1], parts[2], parts[3]});
    }
    return out;
  }

  // The recorded trace with runs of 10 ms sleeps shown as "WaitMs(n)".
  std::vector<std::string> Trace() const {
    std::vector<std::string> out;
    int sleeps = 0;
    auto flush = [&] {
      if (sleeps > 0) out.push_back("WaitMs(" + std::to_string(sleeps * 10) + ")");
      sleeps = 0;
    };
    for (const std::string& entry : recording_->log()) {
      if (entry == "sleep") {
        ++sleeps;
      } else {
        flush();
        out.push_back(entry);
      }
    }
    flush();
    return out;
  }

  TempDir dir_;
  TracingClock clock_;
  EventLoop loop_{clock_};
  StorageState st_{dir_.path(), clock_, loop_};
  std::shared_ptr<DatabaseDriver> direct_ = NewOdbcDriver();
  std::shared_ptr<RecordingDatabase> recording_;
};

}  // namespace quorlan::testing
