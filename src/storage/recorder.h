// Inside storage: the recorder's workings (its contract is Recorder's, in storage.h).
//
// States: direct (the spool is empty and the database is not out: batches go to the database);
// spooling (the spool holds rows: batches go to the spool, and, while the database is not out,
// the spool is replayed one batch per idle moment); out (a batch or a replay failed because the
// database is out: the probe timer replays a batch every kSpoolProbeSeconds until one succeeds).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "storage/internal.h"
#include "storage/spool.h"
#include "storage/storage.h"

namespace quorlan {

class Recorder::Impl {
 public:
  explicit Impl(StorageState& st);
  ~Impl();

  void Record(const SampleRow& row);
  void CommitBatch();
  void AnswerHandled();
  void Start();
  void Stop();
  bool Out() const { return out_; }
  std::string OutageDescription() const;
  SpoolStatus Status();
  RecorderCounts counts;

 private:
  enum class Outcome { kCommitted, kOut };

  void ArmIdle();
  void OnIdle();
  // True while the open batch may wait for more rows: the service expects answers
  // (StorageState::RowsExpected) and the batch is younger than kHoldMs (kBatchMs less what a
  // pause may delay its timer).
  bool HoldBatch() const;
  // Commits the open batch kHoldMs after its first row, unless something commits it sooner.
  void ArmBatchTimer();
  // The open batch: to the database while the spool is empty, else behind the spool's rows.
  void Flush();
  // Writes rows in one transaction, with the replay position when replay_after is given.
  // Refused rows are tried one by one and set aside; kOut when the database is out (the
  // transaction then changed nothing).
  Outcome Write(const std::vector<SampleRow>& rows, const SpoolPosition* replay_after);
  // The rows one at a time, in one transaction; a row refused kRowTries times is set aside.
  Outcome WriteOneByOne(const std::vector<SampleRow>& rows, const SpoolPosition* replay_after);
  void SetAside(const std::vector<SampleRow>& rows, const std::vector<size_t>& refused,
                const std::string& reason);
  void SavePosition(const SpoolPosition& position);
  // Deletes the position row of a segment replayed to its end and deleted.
  void ForgetPosition(uint64_t segment) noexcept;
  void Rollback() noexcept;
  // The database is out: events, the connection closed, the probe armed.
  void TurnOut(const std::string& reason);
  void ToSpool(const std::vector<SampleRow>& rows);

  // The spool, read from its folder the first time; null when it cannot be read (reported).
  Spool* LoadedSpool();
  void ReplayStep();
  void ReadReplayPosition();
  void FinishReplay();
  void Probe();

  // The kept connection, opened when needed with the recorder's short waits. Throws when it
  // cannot be opened, or when the SQLite file it opened is gone.
  Connection& Conn();
  void CloseConnection() noexcept;
  void EnsurePositionTable();
  std::string Folder() const { return st_.AppPath + "/Spool"; }

  StorageState& st_;
  std::shared_ptr<Impl*> self_;  // what idle tasks and the probe hold on to
  std::vector<SampleRow> batch_;
  int64_t batch_started_ms_ = 0;
  bool idle_armed_ = false;
  bool held_ = false;  // the batch waits for expected rows: Record arms no idle task

  std::unique_ptr<Connection> conn_;
  std::unique_ptr<SampleWriter> writer_;
  std::string opened_with_;           // the suite connection string conn_ opened
  std::optional<FileIdentity> file_;  // the SQLite file conn_ opened
  bool position_table_ = false;       // TrendSpool exists (checked on conn_)

  std::optional<quorlan::Spool> spool_;
  bool spool_failed_ = false;
  bool replaying_ = false;   // replay steps run at idle moments
  bool resumed_ = false;     // the front segment's position was read from the database
  std::string spool_error_;  // the last failure to write the spool that was reported

  bool out_ = false;
  std::string out_reason_;
  DateTime out_since_;
  bool outage_ = false;  // recording turned to the spool and the spool is not empty yet
  DateTime outage_since_;
  DateTime back_at_;      // when the database took a batch again
  int64_t replayed_ = 0;  // rows replayed since the spool was last empty
  Timer* probe_ = nullptr;
  Timer* batch_timer_ = nullptr;
};

}  // namespace quorlan
