// An embedded installation for the console's tests, and the console run in-process on the test's
// clock and event loop, so that a service Module on the same loop answers its agent requests.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "storage/storage.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quorlan::testing {

struct ConsoleRun {
  int status = -1;
  std::string out;
  std::string err;
};

class ConsoleFixture : public ::testing::Test {
 protected:
  ConsoleFixture() { CreateEmbeddedInstallation(dir_.path(), BuiltExecutable("quorlan-trend")); }

  // Runs quorlan-trendctl -d <installation> args... on clock and loop.
  ConsoleRun Run(Clock& clock, EventLoop& loop, std::vector<std::string> args) {
    std::ostringstream out, err;
    console::ConsoleIo io{out, err};
    io.ReadStdin = [] { return std::string(); };
    args.insert(args.begin(), {"-d", dir_.path()});
    ConsoleRun r;
    r.status = console::RunTrendctl(args, clock, loop, io);
    r.out = out.str();
    r.err = err.str();
    return r;
  }

  void Sql(const std::string& sql) {
    auto conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
    conn->Execute(sql);
    conn->Close();
  }

  // Every row of the table as one text line, in key order.
  std::vector<std::string> Rows(const std::string& table) {
    auto conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
    std::vector<std::string> out;
    for (auto rs = conn->Execute("SELECT * FROM " + table + " ORDER BY 1"); !rs->Eof();
         rs->MoveNext()) {
      std::string line;
      for (int i = 0; i < rs->FieldCount(); ++i) {
        const FieldValue f = rs->Field(i);
        line += (f.IsNull() ? "NULL" : f.AsString()) + "|";
      }
      out.push_back(line);
    }
    return out;
  }

  TempDir dir_;
};

}  // namespace quorlan::testing
