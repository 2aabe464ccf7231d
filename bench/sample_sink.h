// The bench program's database client: the service's own ODBC client, wrapped so that the bench
// sees every sample row the service records (INSERT INTO TrendData...), and, for the "polled only"
// figure, so that those rows are not written at all.
//
// With recording off, a connection opens the real database only for a statement other than a
// sample insert; a response handler's connection, which executes only its insert, therefore never
// reaches the database: the answer is polled and handled (values, expressions, triggers, the
// statement text) and the write is all that is left out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "storage/storage.h"

namespace quorlan::bench {

struct SampleCount {
  int64_t rows = 0;  // sample inserts executed (written, or left out when not recording)
  std::function<void()> on_row;
};

class SampleSinkDriver final : public DatabaseDriver {
 public:
  SampleSinkDriver(std::shared_ptr<DatabaseDriver> real, bool record, SampleCount& count)
      : real_(std::move(real)), record_(record), count_(count) {}
  std::unique_ptr<Connection> NewConnection() override;

 private:
  std::shared_ptr<DatabaseDriver> real_;
  bool record_;
  SampleCount& count_;
};

}  // namespace quorlan::bench
