// The bench program of scripts/bench, run for a few cycles against a real snmpd, so that it
// cannot rot: it must poll every report in every cycle and record one row per answer through the
// service's own database client, and with --no-record it must poll alike and write no row.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "storage/storage.h"
#include "support/ci.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

constexpr const char* kBench = QUORLAN_BINARY_DIR "/bench/quorlan_trend_bench";
constexpr const char* kSetup = QUORLAN_BINARY_DIR "/bench/quorlan_trend_bench_setup";
constexpr int kReports = 5;
// Six objects of snmpd's scripted subtree, so that every value recorded is known.
constexpr const char* kObjects =
    ".1.3.6.1.4.1.32473.2.1.0,.1.3.6.1.4.1.32473.2.2.0,.1.3.6.1.4.1.32473.2.3.0,"
    ".1.3.6.1.4.1.32473.2.4.0,.1.3.6.1.4.1.32473.2.5.0,.1.3.6.1.4.1.32473.2.6.0";

class BenchProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kBench))
      SKIP_OR_FAIL_UNDER_CI("not built: " + std::string(kBench));
    const int agent = testing::FreeUdpPort();
    const auto setup = testing::RunCommand(
        nullptr, {kSetup, dir_.File("inst"), "--agent",
                  "127.0.0.1:" + std::to_string(snmpd_.port()), "--service-port",
                  std::to_string(agent - 1), "--trap-port", std::to_string(testing::FreeUdpPort()),
                  "--reports", std::to_string(kReports), "--objects", kObjects});
    ASSERT_EQ(setup.exit_code, 0) << setup.output;
  }
  testing::CommandResult Run(const std::string& extra) {
    std::vector<std::string> argv = {kBench, dir_.File("inst"), "--cycles", "2"};
    if (!extra.empty()) argv.push_back(extra);
    auto result = testing::RunCommand(nullptr, argv, 60000);
    result.output += "\nevent log:\n" + dir_.Read("inst/Debug/T-AppEvent.txt");
    return result;
  }
  // The rows of TrendData1 per report ("3,3,...") and its distinct value rows ("v1,...,v6;...").
  std::pair<std::string, std::string> Recorded() {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File("inst/" + std::string(kSuiteDatabase)), 5);
    std::string counts, values;
    for (auto rows = ExecuteQuery(*conn,
                                  "SELECT count(*) AS n FROM TrendData1 GROUP BY ReportId "
                                  "UNION ALL SELECT 0 ORDER BY 1 DESC");
         !rows->Eof(); rows->MoveNext()) {
      if (rows->Field(0).AsInt32() > 0)
        counts += (counts.empty() ? "" : ",") + rows->Field(0).AsString();
    }
    for (auto rows = ExecuteQuery(*conn,
                                  "SELECT DISTINCT Value1, Value2, Value3, Value4, Value5, Value6 "
                                  "FROM TrendData1 UNION ALL SELECT 0, 0, 0, 0, 0, 0");
         !rows->Eof(); rows->MoveNext()) {
      if (!values.empty()) values += ';';
      for (int k = 0; k < 6; ++k) values += (k ? "," : "") + rows->Field(k).AsString();
    }
    conn->Close();
    return {counts, values};
  }

  testing::TempDir dir_;
  testing::SnmpdPeer snmpd_{
      ".1.3.6.1.4.1.32473.2.1.0 integer 11\n.1.3.6.1.4.1.32473.2.2.0 gauge 12\n"
      ".1.3.6.1.4.1.32473.2.3.0 integer -13\n.1.3.6.1.4.1.32473.2.4.0 timeticks 14\n"
      ".1.3.6.1.4.1.32473.2.5.0 string 15\n.1.3.6.1.4.1.32473.2.6.0 gauge 16\n"};
};

TEST_F(BenchProgramTest, EveryCycleRecordsOneRowPerReport) {
  const auto run = Run("");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  for (const char* line : {"cycle 0 burst_us ", "cycle 1 burst_us ", "cycle 2 burst_us "}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
  }
  EXPECT_THAT(run.output, ::testing::ContainsRegex("cycle 1 burst_us [0-9]+ rows 5\n"));
  // The service's own figures of a minute, as systemd would show them.
  EXPECT_THAT(run.output, ::testing::HasSubstr("status: 5 reports; last minute: 5 rows, 0 late, 0 "
                                               "given up; spool empty\n"));
  const auto [counts, values] = Recorded();
  EXPECT_EQ(counts, "3,3,3,3,3");  // the warm-up cycle and two more
  // One distinct row of values (a numeric text counts as its number), and the query's own zeros.
  EXPECT_EQ(values, "11,12,-13,14,15,16;0,0,0,0,0,0");
}

TEST_F(BenchProgramTest, WithoutRecordingEveryReportIsPolledAndNoRowWritten) {
  const auto run = Run("--no-record");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("cycle 2 burst_us "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(" rows 5\n"), std::string::npos) << run.output;
  EXPECT_EQ(Recorded(), std::make_pair(std::string(), std::string("0,0,0,0,0,0")));
}

}  // namespace
}  // namespace quorlan
