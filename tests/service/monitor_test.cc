// The self-monitoring's texts: the STATUS= line, the status file that the console reads back, and
// the health file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "service/service.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;

TEST(MonitorStatusLineTest, TellsRowsLatenessGiveUpsSpoolAndDatabaseErrors) {
  struct Case {
    int32_t reports;
    int64_t rows, late, given_up, spool, db_errors;
    bool paused;
    const char* line;
  } cases[] = {
      {300, 298, 0, 2, 0, 0, false,
       "300 reports; last minute: 298 rows, 0 late, 2 given up; spool empty"},
      {300, 0, 0, 0, 1200, 4, false,
       "300 reports; last minute: 0 rows, 0 late, 0 given up; spool 1200 rows; 4 database errors"},
      {12, 0, 3, 0, 0, 0, true,
       "Polling paused; 12 reports; last minute: 0 rows, 3 late, 0 given up; spool empty"},
  };
  for (const Case& c : cases) {
    MonitorFigures f;
    f.Reports = c.reports;
    f.LastMinute.RowsRecorded = c.rows;
    f.LastMinute.PollsLate = c.late;
    f.LastMinute.PollsGivenUp = c.given_up;
    f.LastMinute.DatabaseErrors = c.db_errors;
    f.SinceStart.DatabaseErrors = c.db_errors + 7;  // earlier minutes' errors are not this one's
    f.SpoolRows = c.spool;
    f.Paused = c.paused;
    EXPECT_EQ(MonitorStatusLine(f), c.line);
  }
}

MonitorFigures SomeFigures() {
  MonitorFigures f;
  f.Pid = 4242;
  f.Written = DateTime::FromCivil({2026, 12, 8, 14, 2, 30});
  f.Started = DateTime::FromCivil({2026, 12, 1, 9, 0, 0});
  f.Reports = 300;
  f.SpoolRows = 17;
  f.CpuSeconds = 41.25;
  f.RssBytes = 10 << 20;
  f.MinuteSeconds = 60;
  f.HourMinutes = 60;
  f.LastMinute = {{1, 298, 5}, 4, 298, 2, 1, 298, 1, 2, {3, 0, 1}, 4, 212};
  f.LastHour = {{60, 17880, 300}, 240, 17880, 120, 60, 17880, 30, 40, {30, 0, 9}, 40, 1900};
  f.SinceStart = {{9000, 2000000, 36000}, 9999, 2000000, 1000, 500, 2000000, 77, 88,
                  {100, 1, 20},           50,   2500};
  f.Writes = 10080;
  f.WriteCpuMicros = 403200;
  return f;
}

TEST(StatusFileTest, ReadsBackWhatTheServiceWrote) {
  const MonitorFigures f = SomeFigures();
  const MonitorFigures back = ParseStatusFile(StatusFileText(f));
  EXPECT_EQ(back.LastMinute, f.LastMinute);
  EXPECT_EQ(back.LastHour, f.LastHour);
  EXPECT_EQ(back.SinceStart, f.SinceStart);
  EXPECT_EQ(back.Pid, f.Pid);
  EXPECT_EQ(back.Written, f.Written);
  EXPECT_EQ(back.Started, f.Started);
  EXPECT_EQ(back.SpoolRows, 17);
  EXPECT_DOUBLE_EQ(back.CpuSeconds, 41.25);
  EXPECT_EQ(back.RssBytes, 10 << 20);
  EXPECT_EQ(back.WriteCpuMicros, 403200);
}

TEST(StatusFileTest, RefusesWhatItCannotTrustNamingWhy) {
  const std::string good = StatusFileText(SomeFigures());
  const auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::pair<std::string, const char*> cases[] = {
      {good.substr(0, good.size() / 2), "not JSON"},
      {replaced("\"quorlan-trend status\"", "\"other\""), "not a status file of quorlan-trend"},
      {replaced("\"version\": 1", "\"version\": 2"), "version 2 is newer"},
      {replaced("\"rows_recorded\"", "\"rows\""), "no last_minute.rows_recorded"},
      {replaced("\"spool_rows\": 17", "\"spool_rows\": \"17\""), "now.spool_rows is not a whole"},
      {replaced("\"2026-12-08 14:02:30\"", "\"yesterday\""), "written is not a date and time"},
  };
  for (const auto& [text, why] : cases) {
    try {
      ParseStatusFile(text);
      ADD_FAILURE() << "accepted, expected: " << why;
    } catch (const RuntimeError& e) {
      EXPECT_THAT(e.description(), HasSubstr(why));
      EXPECT_THAT(e.description(), HasSubstr(kStatusFileName));
    }
  }
  // Keys a later version adds are ignored.
  EXPECT_EQ(ParseStatusFile(replaced("{", "{\"added\": [1, 2],")).Pid, 4242);
}

// The health file is JSON the console parses: names with quotes, backslashes, control
// characters, accents and invalid UTF-8 come back as written (the invalid byte replaced), a value
// that is not a number reads as null, and empty lists are lists.
TEST(HealthFileTest, AwkwardNamesAndValuesParseBack) {
  testing::TempDir dir;
  ManualClock clock;
  EventLoop loop(clock);
  testing::FakeServiceHost host;
  Module m(dir.path(), clock, loop, host);
  const DateTime t = DateTime::FromCivil({2026, 12, 9, 7, 30, 0});
  using Json = nlohmann::json;
  Json empty = Json::parse(HealthFileText(m, 7, t));
  EXPECT_TRUE(empty["reports"].is_array() && empty["reports"].empty());
  EXPECT_TRUE(empty["alarms"].is_array() && empty["alarms"].empty());

  m.Health.RowTaken(5, t);
  m.Health.ReportProblem(6, t, "object 1: \"a\\b\"\t\x01 d\xc3\xa9j\xc3\xa0");
  m.Health.NodeAnswered(42, "core \xff", "10.0.0.1", t);
  m.TrendList.SetSize(1);
  m.TrendListCount = 1;
  TrendListEntry& e = m.TrendList[1];
  e.ReportId = 6;
  e.ReportTitle = "Uplink \"A\"";
  e.PollTriggerStatus[2] = true;
  e.PollObjName[2] = "Load";
  e.PollSavedValue[2] = std::numeric_limits<double>::quiet_NaN();
  e.PollTriggerExpr[2] = ">";
  e.PollTriggerValueText[2] = "30";
  const Json j = Json::parse(HealthFileText(m, 7, t));
  EXPECT_EQ(j["format"], kHealthFileFormat);
  EXPECT_EQ(j["pid"], 7);
  ASSERT_EQ(j["reports"].size(), 2u);
  EXPECT_EQ(j["reports"][0]["last_row"], "2026-12-09 07:30:00");
  EXPECT_TRUE(j["reports"][0]["problem"].is_null());
  EXPECT_EQ(j["reports"][1]["problem"], "object 1: \"a\\b\"\t\x01 d\xc3\xa9j\xc3\xa0");
  EXPECT_EQ(j["nodes"][0]["name"], "core \xef\xbf\xbd");
  EXPECT_EQ(j["nodes"][0]["answers"], true);
  EXPECT_EQ(j["alarms"][0]["title"], "Uplink \"A\"");
  EXPECT_EQ(j["alarms"][0]["object"], 2);
  EXPECT_TRUE(j["alarms"][0]["value"].is_null());
}

}  // namespace
}  // namespace quorlan
