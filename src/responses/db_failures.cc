// Database failures of answers: one event per run of the same failure.
#include <fmt/format.h>

#include "responses/internal.h"

namespace quorlan::responses {
namespace {

// What failed, without the statement or connection string quoted after it, the driver's words
// and the SQLSTATE, which vary between two failures of one outage (a server that stops answering
// ends statements with HYT00 or 01000): "ODBC HY000 execute 'INSERT ...': [SQLite]database is
// locked (5)" becomes "ODBC execute".
std::string FailureKind(const std::string& text) {
  std::string kind = text.substr(0, text.find(" '"));
  if (kind.rfind("ODBC ", 0) == 0 && kind.size() > 11 && kind[10] == ' ') kind.erase(5, 6);
  return kind;
}

}  // namespace

void DbFailuresEnded(ResponseState& st, const std::string& procedure) {
  if (st.DbFailuresNotLogged > 0) {
    AppEvent(st, kModShared, procedure,
             fmt::format("{} more answer(s) failed with \"{}\" and were not logged one by one",
                         st.DbFailuresNotLogged, st.DbFailureKind),
             kEventInfo);
  }
  st.DbFailureKind.clear();
  st.DbFailuresNotLogged = 0;
}

void ReportDbFailure(ResponseState& st, const char* module, const std::string& procedure,
                     const std::string& text, const std::string& suffix) {
  std::string kind = FailureKind(text);
  if (!st.DbFailureKind.empty() && kind == st.DbFailureKind) {
    ++st.DbFailuresNotLogged;
    return;
  }
  DbFailuresEnded(st, procedure);
  AppEvent(st, module, procedure, text + suffix, kEventError);
  st.DbFailureKind = std::move(kind);
}

}  // namespace quorlan::responses
