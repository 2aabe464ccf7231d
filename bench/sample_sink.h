// The bench program's database client for the "polled only" figure: the service's own ODBC
// client, wrapped so that the recorder's batches are not written at all.
//
// The recorder writes its rows with prepared statements between "BEGIN TRANSACTION" and "COMMIT
// TRANSACTION"; here those statements do nothing, and a connection opens the real database only
// for a statement of another kind. The recorder's connection therefore never reaches the
// database: the answers are polled and handled (values, expressions, triggers, the rows handed
// to the recorder and batched) and the write is all that is left out.
#pragma once

#include <memory>

#include "storage/storage.h"

namespace quorlan::bench {

class SampleSinkDriver final : public DatabaseDriver {
 public:
  explicit SampleSinkDriver(std::shared_ptr<DatabaseDriver> real) : real_(std::move(real)) {}
  std::unique_ptr<Connection> NewConnection() override;

 private:
  std::shared_ptr<DatabaseDriver> real_;
};

}  // namespace quorlan::bench
