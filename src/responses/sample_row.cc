// The sample row of one processed answer.
#include <fmt/format.h>

#include "responses/responses.h"

namespace quorlan {
namespace {

// The table of an interval: its minutes as a decimal number without trailing zeros (an interval
// the grid does not serve names a table that does not exist, and the database says so).
std::string TableSuffix(int32_t interval) {
  if (interval % 60 == 0) return std::to_string(interval / 60);
  return fmt::format("{}", interval / 60.0);
}

}  // namespace

std::string TrendSampleStatement(const Connection& conn, const TrendListEntry& e, DateTime t) {
  std::string sql = "INSERT INTO TrendData" + TableSuffix(e.PollInterval) + " VALUES ('" +
                    std::to_string(e.ReportId) + "'," + SqlDateTime(conn, t);
  for (int k = 1; k <= kTrendObjects; ++k)
    sql += ",'" + FormatWholeNumber(e.PollSavedValue[k]) + "'";
  return sql + ")";
}

}  // namespace quorlan
