// Test helpers of the trend list: a trend state on a fresh SQLite suite database (through the
// real ODBC driver) under a temporary AppPath with a Debug folder, a settable clock, and rows of
// ATR_Nodes and TrendReports written with SQL Server's column types.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "storage/storage.h"
#include "support/recording_database.h"
#include "support/temp_dir.h"
#include "trendlist/trendlist.h"

namespace quorlan::testing {

// A node row; every column is written as given (nullopt writes NULL).
struct NodeRow {
  int node_id = 1;
  std::optional<std::string> node_name = "Core-1";
  std::optional<std::string> address = "10.0.0.1";
  std::optional<std::string> UdpPort = "161";
  std::optional<std::string> image = "0";
  std::optional<std::string> SnmpVersion = "2";
  std::optional<std::string> PollTimeOut = "3";
  std::optional<std::string> PollRetries = "2";
  std::optional<std::string> PollType = "SnmpPoll";
  std::optional<std::string> readcomm = "public";
  std::optional<std::string> trapcomm = "traps";
  std::optional<std::string> StreetAddress = "";
  int TrendReports = 1;
};

// A report row with one object by default. Columns not set are '' (texts), 0 (types, flags).
struct ReportRow {
  int ReportId = 1;
  std::string ReportTitle = "Report";
  int NodeId = 1;
  std::string NodeName = "Core-1";
  std::string PollInterval = "5";
  std::string DbChanged = "0";
  // Per object k (1 to 6); missing keys are ''/0.
  std::map<int, std::string> ObjId = {{1, "1.3.6.1.2.1.2.2.1.10.1"}};
  std::map<int, std::string> ObjName = {{1, "In"}};
  std::map<int, std::string> ObjType;
  std::map<int, std::string> ObjEval;
  std::map<int, std::optional<std::string>> TriggerAlarm;
  std::map<int, std::string> TriggerExpr;
  std::map<int, std::string> TriggerValue;
};

inline std::string Literal(const std::optional<std::string>& v) {
  return v ? SqlQuote(*v) : "NULL";
}

class TrendDbTest : public ::testing::Test {
 protected:
  TrendDbTest()
      : clock(DateTime::FromCivil({2026, 12, 7, 10, 2, 30, 0})),
        loop(clock),
        st(dir.path(), clock, loop) {
    dir.MakeDir("Debug");
    st.DbConnStringSql = "Driver=SQLite3;Database=" + dir.File("suite.db");
    recorder = std::make_shared<RecordingDatabase>(st.Db);
    st.Db = recorder;
    // The suite's column types; NULL is allowed so that the error paths can be reached.
    Exec(
        "CREATE TABLE ATR_Nodes (node_id int NOT NULL PRIMARY KEY, node_name nvarchar(100), "
        "address varchar(50), UdpPort int, image bit, SnmpVersion smallint, PollTimeOut "
        "smallint, PollRetries smallint, PollType varchar(20), readcomm varchar(50), trapcomm "
        "varchar(50), StreetAddress nvarchar(100), TrendReports bit)");
    std::string reports =
        "CREATE TABLE TrendReports (ReportId int NOT NULL PRIMARY KEY, ReportTitle "
        "nvarchar(100), NodeId int, NodeName nvarchar(100), PollInterval int";
    for (const auto& [stem, type] :
         std::vector<std::pair<const char*, const char*>>{{"ObjId", "varchar(255)"},
                                                          {"ObjName", "nvarchar(100)"},
                                                          {"ObjType", "smallint"},
                                                          {"ObjEval", "nvarchar(255)"},
                                                          {"TriggerAlarm", "bit"},
                                                          {"TriggerExpr", "varchar(10)"},
                                                          {"TriggerValue", "varchar(50)"}}) {
      for (int k = 1; k <= 6; ++k) reports += fmt::format(", {}{} {}", stem, k, type);
    }
    Exec(reports + ", DbChanged char(1))");
    recorder->log().clear();
  }

  // Executes one statement on its own connection, bypassing the recorder.
  void Exec(const std::string& sql) {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open(st.DbConnStringSql, 5);
    conn->Execute(sql);
    conn->Close();
  }

  // The rows of a query, each field as text or "NULL".
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open(st.DbConnStringSql, 5);
    std::vector<std::vector<std::string>> out;
    for (auto rs = conn->Execute(sql); !rs->Eof(); rs->MoveNext()) {
      std::vector<std::string> row;
      for (int i = 0; i < rs->FieldCount(); ++i) {
        const FieldValue f = rs->FieldAt(i);
        row.push_back(f.IsNull() ? "NULL" : f.AsString());
      }
      out.push_back(row);
    }
    conn->Close();
    return out;
  }
  std::string One(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.empty() ? "<none>" : rows[0][0];
  }
  // DbChanged of a report, or "<none>" when the row is gone.
  std::string Flag(int report_id) {
    return One(fmt::format("SELECT DbChanged FROM TrendReports WHERE ReportId = {}", report_id));
  }

  void AddNode(const NodeRow& n) { AddNodes({n}); }
  // Inserts the rows in one statement (one commit), in order.
  void AddNodes(const std::vector<NodeRow>& nodes) {
    std::string values;
    for (const NodeRow& n : nodes) values += (values.empty() ? "" : ", ") + NodeValues(n);
    Exec("INSERT INTO ATR_Nodes VALUES " + values);
  }
  static std::string NodeValues(const NodeRow& n) {
    return fmt::format("({}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {})", n.node_id,
                       Literal(n.node_name), Literal(n.address), Literal(n.UdpPort),
                       Literal(n.image), Literal(n.SnmpVersion), Literal(n.PollTimeOut),
                       Literal(n.PollRetries), Literal(n.PollType), Literal(n.readcomm),
                       Literal(n.trapcomm), Literal(n.StreetAddress), n.TrendReports);
  }

  void AddReport(const ReportRow& r) { AddReports({r}); }
  // Inserts the rows in one statement (one commit), in order.
  void AddReports(const std::vector<ReportRow>& reports) {
    std::string columns;
    std::string values;
    for (const ReportRow& r : reports) {
      const auto [c, v] = ReportValues(r);
      columns = c;
      values += (values.empty() ? "(" : ", (") + v + ")";
    }
    Exec(fmt::format("INSERT INTO TrendReports ({}) VALUES {}", columns, values));
  }
  static std::pair<std::string, std::string> ReportValues(const ReportRow& r) {
    std::string columns = "ReportId, ReportTitle, NodeId, NodeName, PollInterval, DbChanged";
    std::string values =
        fmt::format("{}, {}, {}, {}, {}, {}", r.ReportId, SqlQuote(r.ReportTitle), r.NodeId,
                    SqlQuote(r.NodeName), r.PollInterval, SqlQuote(r.DbChanged));
    auto add = [&](const char* stem, int k, const std::string& literal) {
      columns += fmt::format(", {}{}", stem, k);
      values += ", " + literal;
    };
    auto text = [](const std::map<int, std::string>& m, int k) {
      auto it = m.find(k);
      return SqlQuote(it == m.end() ? "" : it->second);
    };
    for (int k = 1; k <= 6; ++k) {
      auto type = r.ObjType.find(k);
      auto alarm = r.TriggerAlarm.find(k);
      add("ObjId", k, text(r.ObjId, k));
      add("ObjName", k, text(r.ObjName, k));
      add("ObjType", k, type == r.ObjType.end() ? "0" : type->second);
      add("ObjEval", k, text(r.ObjEval, k));
      add("TriggerAlarm", k, alarm == r.TriggerAlarm.end() ? "0" : Literal(alarm->second));
      add("TriggerExpr", k, text(r.TriggerExpr, k));
      add("TriggerValue", k, text(r.TriggerValue, k));
    }
    return {columns, values};
  }

  // The application events logged so far, each as "type<TAB>module_procedure<TAB>message".
  std::vector<std::string> Events() {
    const std::string log = st.DebugFile("T-AppEvent.txt");
    std::vector<std::string> out;
    if (!FileExists(log)) return out;
    for (const std::string& line : ReadLines(log)) out.push_back(line.substr(24));
    return out;
  }

  TrendListEntry& Entry(int n) { return st.TrendList[n]; }

  TempDir dir;
  ManualClock clock;
  EventLoop loop;
  TrendState st;
  std::shared_ptr<RecordingDatabase> recorder;
};

}  // namespace quorlan::testing
