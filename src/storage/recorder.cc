// The recorder: batches on a kept connection, the spool through outages, its replay.
#include "storage/recorder.h"

#include <fmt/format.h>

#include <algorithm>

namespace quorlan {
namespace {

constexpr const char* kBegin = "BEGIN TRANSACTION";
constexpr const char* kCommit = "COMMIT TRANSACTION";
constexpr const char* kRollback = "ROLLBACK TRANSACTION";
constexpr const char* kRejectsFile = "rejects.txt";

std::string TimeOfDay(const DateTime& t) { return t.FormatDateTime().substr(11); }

// A rejected row as a line of Spool/rejects.txt (without its line end).
std::string RejectLine(Runtime& rt, const SampleRow& row, const std::string& reason) {
  std::string line =
      fmt::format("{}\t{}\t{}\t{}", FormatTimeStamp(rt), TrendDataTable(row.PollInterval),
                  row.ReportId, row.Time.FormatDateTime());
  for (double v : row.Values) line += "\t" + FormatWholeNumber(v);
  std::string shown = reason;
  std::replace_if(
      shown.begin(), shown.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  return line + "\t" + shown;
}

// The replay position of a segment: its row of TrendSpool (one row per segment, so that two
// services recording into one database keep theirs apart).
std::string PositionQuery(uint64_t segment) {
  return fmt::format("SELECT SpoolOffset FROM TrendSpool WHERE SpoolSegment = {}", segment);
}

// True when a failure says that the database is out (see DatabaseUnavailable).
bool Unavailable(const std::exception& e, const Connection* conn) {
  const auto* runtime = dynamic_cast<const RuntimeError*>(&e);
  return runtime != nullptr && DatabaseUnavailable(*runtime, conn ? conn->DbmsName() : "");
}

}  // namespace

Recorder::Impl::Impl(StorageState& st) : st_(st), self_(std::make_shared<Impl*>(this)) {}

Recorder::Impl::~Impl() {
  if (probe_ != nullptr) probe_->SetEnabled(false);
  if (batch_timer_ != nullptr) batch_timer_->SetEnabled(false);
  CloseConnection();
}

void Recorder::Impl::Record(const SampleRow& row) {
  batch_.push_back(row);
  const int64_t now = st_.clock.MonotonicMs();
  if (batch_.size() == 1) batch_started_ms_ = now;
  if (batch_.size() >= static_cast<size_t>(kBatchRows) || now - batch_started_ms_ >= kBatchMs) {
    Flush();
  } else if (!held_) {
    ArmIdle();
  }
}

void Recorder::Impl::AnswerHandled() {
  if (held_ && !HoldBatch()) {
    held_ = false;
    ArmIdle();
  }
}

void Recorder::Impl::CommitBatch() {
  if (!batch_.empty()) Flush();
}

void Recorder::Impl::ArmIdle() {
  if (idle_armed_) return;
  idle_armed_ = true;
  st_.loop.PostIdle([self = std::weak_ptr<Impl*>(self_)] {
    if (const std::shared_ptr<Impl*> impl = self.lock()) (*impl)->OnIdle();
  });
}

void Recorder::Impl::OnIdle() {
  idle_armed_ = false;
  if (HoldBatch()) {
    // The rows of the answers still to come join this batch; AnswerHandled or the timer ends it.
    held_ = true;
    ArmBatchTimer();
  } else {
    CommitBatch();
  }
  if (replaying_ && !out_) ReplayStep();
}

// A held batch's timer runs after a pause's step when the loop is in a pause, up to two steps
// late: it is set that much early, so that the batch still commits within kBatchMs.
constexpr int kHoldMs = kBatchMs - 2 * EventLoop::kWaitStepMs;

bool Recorder::Impl::HoldBatch() const {
  return !batch_.empty() && st_.RowsExpected && st_.RowsExpected() &&
         st_.clock.MonotonicMs() - batch_started_ms_ < kHoldMs;
}

void Recorder::Impl::ArmBatchTimer() {
  if (batch_timer_ == nullptr) {
    batch_timer_ = &st_.loop.AddTimer("recorderBatch", [self = std::weak_ptr<Impl*>(self_)] {
      if (const std::shared_ptr<Impl*> impl = self.lock()) {
        (*impl)->batch_timer_->SetEnabled(false);
        (*impl)->CommitBatch();
      }
    });
  }
  const int64_t age = st_.clock.MonotonicMs() - batch_started_ms_;
  batch_timer_->SetEnabled(false);
  batch_timer_->SetInterval(static_cast<int>(std::max<int64_t>(1, kHoldMs - age)));
  batch_timer_->SetEnabled(true);
}

void Recorder::Impl::Flush() {
  held_ = false;
  if (batch_timer_ != nullptr) batch_timer_->SetEnabled(false);
  std::vector<SampleRow> rows;
  rows.swap(batch_);
  Spool* spool = LoadedSpool();
  if (out_ || (spool != nullptr && !spool->Empty())) {
    ToSpool(rows);
    return;
  }
  if (Write(rows, nullptr) == Outcome::kCommitted) {
    counts.recorded += static_cast<int64_t>(rows.size());
  } else {
    ToSpool(rows);
  }
}

Recorder::Impl::Outcome Recorder::Impl::Write(const std::vector<SampleRow>& rows,
                                              const SpoolPosition* replay_after) {
  bool begun = false;
  try {
    Connection& conn = Conn();
    conn.Execute(kBegin);
    begun = true;
    writer_->Insert(rows);
    if (replay_after != nullptr) SavePosition(*replay_after);
    conn.Execute(kCommit);
    return Outcome::kCommitted;
  } catch (const std::exception& e) {
    Rollback();
    // Failing to open or to begin, the database is out whatever the error says.
    if (!begun || Unavailable(e, conn_.get())) {
      TurnOut(e.what());
      return Outcome::kOut;
    }
    ++counts.errors;  // refused: its rows are tried one by one
  }
  return WriteOneByOne(rows, replay_after);
}

Recorder::Impl::Outcome Recorder::Impl::WriteOneByOne(const std::vector<SampleRow>& rows,
                                                      const SpoolPosition* replay_after) {
  try {
    Connection& conn = Conn();
    conn.Execute(kBegin);
    std::vector<size_t> refused;
    std::string reason;
    for (size_t i = 0; i < rows.size(); ++i) {
      for (int tries = 1;; ++tries) {
        try {
          writer_->Insert(std::span<const SampleRow>(&rows[i], 1));
          break;
        } catch (const std::exception& e) {
          if (Unavailable(e, &conn)) throw;
          if (tries < kRowTries) continue;
          refused.push_back(i);
          reason = e.what();
          break;
        }
      }
    }
    SetAside(rows, refused, reason);
    if (replay_after != nullptr) SavePosition(*replay_after);
    conn.Execute(kCommit);
    counts.rejected += static_cast<int64_t>(refused.size());
    if (!refused.empty()) {
      AppEvent(st_, kModShared, kRecorderProcedure,
               fmt::format("{} sample row(s) refused by the suite database {} times were set "
                           "aside in Spool/{}: {}",
                           refused.size(), kRowTries, kRejectsFile, reason),
               kEventError);
    }
    return Outcome::kCommitted;
  } catch (const std::exception& e) {
    // The database went out meanwhile, or a step besides the rows failed: nothing is kept.
    Rollback();
    TurnOut(e.what());
    return Outcome::kOut;
  }
}

void Recorder::Impl::SetAside(const std::vector<SampleRow>& rows,
                              const std::vector<size_t>& refused, const std::string& reason) {
  if (refused.empty()) return;
  std::string text;
  for (size_t i : refused) {
    text += RejectLine(st_, rows[i], reason) + kCrLf;
    st_.Health.ReportProblem(rows[i].ReportId, st_.Now(),
                             "a sample row refused by the suite database: " + reason);
  }
  MakeFolder(Folder());
  const std::string path = Folder() + "/" + kRejectsFile;
  DataFile file = FileExists(path) ? DataFile::Open(path) : DataFile::Create(path);
  file.Append(text.data(), text.size());
  file.Sync();
}

void Recorder::Impl::SavePosition(const SpoolPosition& position) {
  EnsurePositionTable();
  Connection& conn = Conn();
  conn.Execute(fmt::format("UPDATE TrendSpool SET SpoolOffset = {} WHERE SpoolSegment = {}",
                           position.offset, position.segment));
  if (conn.RecordsAffected() == 0) {
    conn.Execute(fmt::format("INSERT INTO TrendSpool (SpoolSegment, SpoolOffset) VALUES ({}, {})",
                             position.segment, position.offset));
  }
}

void Recorder::Impl::EnsurePositionTable() {
  if (position_table_) return;
  Connection& conn = Conn();
  bool found = false;
  for (auto rows = ExecuteQuery(conn, "SELECT name from sys.tables"); !rows->Eof();
       rows->MoveNext()) {
    found = found || EqualsNoCase(rows->Field(0).AsString(), "TrendSpool");
  }
  if (!found) {
    conn.Execute(kTrendSpoolStatement);
  }
  position_table_ = true;
}

void Recorder::Impl::Rollback() noexcept {
  try {
    if (conn_ && conn_->State() == 1) conn_->Execute(kRollback);
  } catch (const std::exception&) {
    // No transaction was open, or the connection is gone: nothing is left to undo.
  }
}

void Recorder::Impl::TurnOut(const std::string& reason) {
  ++counts.errors;
  CloseConnection();
  const bool was_out = out_;
  out_ = true;
  out_reason_ = reason;
  if (!was_out) out_since_ = st_.Now();
  if (!outage_) {
    outage_ = true;
    outage_since_ = st_.Now();
    AppEvent(st_, kModShared, kRecorderProcedure,
             fmt::format("The suite database is out: {}. Sample rows go to the spool ({}) and the "
                         "database is tried every {} s",
                         reason, Folder(), kSpoolProbeSeconds),
             kEventError);
  }
  if (probe_ == nullptr) {
    probe_ = &st_.loop.AddTimer("recorderProbe", [self = std::weak_ptr<Impl*>(self_)] {
      if (const std::shared_ptr<Impl*> impl = self.lock()) (*impl)->Probe();
    });
    probe_->SetInterval(kSpoolProbeSeconds * 1000);
  }
  probe_->SetEnabled(false);  // the next probe a whole period from now
  probe_->SetEnabled(true);
}

void Recorder::Impl::ToSpool(const std::vector<SampleRow>& rows) {
  if (rows.empty()) return;
  Spool* spool = LoadedSpool();
  try {
    if (spool == nullptr) throw RuntimeError(err::kPathNotFound, "the spool cannot be read");
    SpoolDrop drop;
    spool->Append(rows, &drop);
    counts.spooled += static_cast<int64_t>(rows.size());
    spool_error_.clear();
    if (drop.rows > 0) {
      counts.dropped += drop.rows;
      AppEvent(st_, kModShared, kRecorderProcedure,
               fmt::format("The spool is full (SpoolLimitMB={}): its {} oldest sample row(s), "
                           "taken from {} on, were dropped",
                           st_.Ini.SpoolLimitMB, drop.rows, drop.first.FormatDateTime()),
               kEventError);
    }
  } catch (const RuntimeError& e) {
    counts.dropped += static_cast<int64_t>(rows.size());
    if (e.description() != spool_error_) {
      spool_error_ = e.description();
      AppEvent(st_, kModShared, kRecorderProcedure,
               fmt::format("{} sample row(s) lost: the spool cannot be written: {}", rows.size(),
                           e.description()),
               kEventError);
    }
  }
  if (!out_ && !replaying_ && spool != nullptr && !spool->Empty()) {
    replaying_ = true;
    ArmIdle();
  }
}

Spool* Recorder::Impl::LoadedSpool() {
  if (spool_) return &*spool_;
  if (spool_failed_) return nullptr;
  const uint64_t limit = static_cast<uint64_t>(std::max(1, st_.Ini.SpoolLimitMB)) << 20;
  spool_.emplace(Folder(), limit);
  try {
    for (const std::string& repair : spool_->Load()) {
      AppEvent(st_, kModShared, kRecorderProcedure, "Spool: " + repair, kEventError);
    }
  } catch (const RuntimeError& e) {
    spool_.reset();
    spool_failed_ = true;
    AppEvent(st_, kModShared, kRecorderProcedure, "The spool cannot be read: " + e.description(),
             kEventError);
    return nullptr;
  }
  return &*spool_;
}

void Recorder::Impl::ReplayStep() {
  Spool* spool = LoadedSpool();
  if (spool == nullptr || spool->Empty()) return FinishReplay();
  try {
    ReadReplayPosition();
  } catch (const std::exception& e) {
    Rollback();
    TurnOut(e.what());
    return;
  }
  SpoolPosition after;
  int64_t damaged = 0;
  std::vector<SampleRow> rows;
  try {
    rows = spool->Read(kReplayRows, &after, &damaged);
  } catch (const RuntimeError& e) {
    AppEvent(st_, kModShared, kRecorderProcedure, "The spool cannot be read: " + e.description(),
             kEventError);
    replaying_ = false;
    return;
  }
  if (Write(rows, &after) == Outcome::kOut) return;
  if (damaged > 0) {
    AppEvent(st_, kModShared, kRecorderProcedure,
             fmt::format("{} damaged record(s) of the spool were skipped", damaged), kEventError);
  }
  if (out_) {
    out_ = false;
    back_at_ = st_.Now();
    if (probe_ != nullptr) probe_->SetEnabled(false);
  }
  counts.replayed += static_cast<int64_t>(rows.size());
  replayed_ += static_cast<int64_t>(rows.size());
  try {
    spool->Consumed(after);
  } catch (const RuntimeError& e) {
    AppEvent(st_, kModShared, kRecorderProcedure,
             "A replayed spool file cannot be deleted: " + e.description(), kEventError);
  }
  if (spool->ReadPosition().segment != after.segment) ForgetPosition(after.segment);
  if (spool->Empty()) return FinishReplay();
  replaying_ = true;
  ArmIdle();
}

void Recorder::Impl::ReadReplayPosition() {
  if (resumed_) return;
  EnsurePositionTable();
  const uint64_t segment = spool_->ReadPosition().segment;
  auto rows = ExecuteQuery(Conn(), PositionQuery(segment));
  if (!rows->Eof()) spool_->Resume({segment, std::stoull(rows->Field(0).AsString())});
  resumed_ = true;
}

void Recorder::Impl::ForgetPosition(uint64_t segment) noexcept {
  try {
    Conn().Execute(fmt::format("DELETE FROM TrendSpool WHERE SpoolSegment = {}", segment));
  } catch (const std::exception&) {
    // The segment's file is gone: a row left behind names a segment that never comes back.
  }
}

void Recorder::Impl::FinishReplay() {
  replaying_ = false;
  if (outage_) {
    const DateTime back = out_ ? st_.Now() : back_at_;
    AppEvent(st_, kModShared, kRecorderProcedure,
             fmt::format("{} sample row(s) recorded from the spool; the suite database was out "
                         "for {} s (from {} to {})",
                         replayed_, (back.Millis() - outage_since_.Millis()) / 1000,
                         TimeOfDay(outage_since_), TimeOfDay(back)),
             kEventInfo);
  } else if (replayed_ > 0) {
    AppEvent(st_, kModShared, kRecorderProcedure,
             fmt::format("{} sample row(s) that an earlier run left in the spool were recorded",
                         replayed_),
             kEventInfo);
  }
  outage_ = false;
  replayed_ = 0;
}

void Recorder::Impl::Probe() {
  Spool* spool = LoadedSpool();
  if (spool != nullptr && !spool->Empty()) return ReplayStep();
  // Nothing to replay (the rows could not be spooled): a statement asks whether it answers.
  try {
    Conn().Execute("SELECT 1");
  } catch (const std::exception& e) {
    TurnOut(e.what());
    return;
  }
  out_ = false;
  back_at_ = st_.Now();
  probe_->SetEnabled(false);
  FinishReplay();
}

Connection& Recorder::Impl::Conn() {
  // The kept connection, while the stored string is the one it opened and its file is still
  // there: one stat() a batch.
  if (conn_ && st_.SuiteConnection.stored == st_.DbConnStringSql &&
      st_.SuiteConnection.translated == opened_with_ &&
      (st_.SuiteConnection.sqlite_path.empty() ||
       IdentityOf(st_.SuiteConnection.sqlite_path) == file_)) {
    return *conn_;
  }
  const std::string& suite = SuiteConnectionOf(st_);  // refuses a SQLite file that is gone
  const std::string& path = st_.SuiteConnection.sqlite_path;
  // A kept connection serves while the connection string and the SQLite file are those it
  // opened: a file replaced (or moved away and back as a copy) is opened anew.
  if (conn_ && (suite != opened_with_ || (!path.empty() && IdentityOf(path) != file_))) {
    CloseConnection();
  }
  if (!conn_) {
    const std::string odbc =
        path.empty() ? suite : WithOption(suite, "Timeout", std::to_string(kRecorderLockWaitMs));
    std::unique_ptr<Connection> conn = st_.Db->NewConnection();
    conn->LimitWaits(std::chrono::milliseconds(kRecorderWaitMs));
    conn->Open(odbc, kDbConnectTimeoutSeconds);
    if (!conn->Errors().empty()) {
      throw RuntimeError(err::kDatabase, conn->Errors().front().Description);
    }
    file_ = path.empty() ? std::nullopt : IdentityOf(path);
    opened_with_ = suite;
    conn_ = std::move(conn);
    writer_ = std::make_unique<SampleWriter>(*conn_);
    position_table_ = false;
  }
  return *conn_;
}

void Recorder::Impl::CloseConnection() noexcept {
  writer_.reset();
  try {
    if (conn_) conn_->Close();
  } catch (const std::exception&) {
    // A connection that cannot even be closed is dropped all the same.
  }
  conn_.reset();
}

void Recorder::Impl::Start() {
  Spool* spool = LoadedSpool();
  if (spool != nullptr && !spool->Empty() && !replaying_) {
    replaying_ = true;
    ArmIdle();
  }
}

void Recorder::Impl::Stop() {
  CommitBatch();
  CloseConnection();
}

std::string Recorder::Impl::OutageDescription() const {
  return fmt::format(
      "the suite database is out since {} ({}); sample rows go to the spool and "
      "it is tried again every {} s",
      TimeOfDay(out_since_), out_reason_, kSpoolProbeSeconds);
}

SpoolStatus Recorder::Impl::Status() {
  SpoolStatus status;
  Spool* spool = LoadedSpool();
  if (spool == nullptr) return status;
  status.rows = spool->Rows();
  status.oldest = spool->OldestTime();
  status.bytes = spool->Bytes();
  status.position_known = resumed_ || spool->Empty();
  return status;
}

// --- Recorder ---

Recorder::Recorder(StorageState& st) : impl_(std::make_unique<Impl>(st)) {}
Recorder::~Recorder() = default;
void Recorder::Record(const SampleRow& row) { impl_->Record(row); }
void Recorder::CommitBatch() { impl_->CommitBatch(); }
void Recorder::AnswerHandled() { impl_->AnswerHandled(); }
void Recorder::Start() { impl_->Start(); }
void Recorder::Stop() { impl_->Stop(); }
bool Recorder::DatabaseOut() const { return impl_->Out(); }
std::string Recorder::OutageDescription() const { return impl_->OutageDescription(); }
SpoolStatus Recorder::Status() const { return impl_->Status(); }
const RecorderCounts& Recorder::Counts() const { return impl_->counts; }

RecordingFigures RecordingFiguresOf(StorageState& st) {
  const RecorderCounts& c = st.SampleRecorder.Counts();
  return {c.recorded + c.replayed, st.SampleRecorder.Status().rows,
          c.errors + st.Counters.DatabaseErrors};
}

SpoolStatus ReadSpoolStatus(StorageState& st) {
  quorlan::Spool spool(st.AppPath + "/Spool", UINT64_MAX);
  spool.Load(false);
  SpoolStatus status;
  status.position_known = spool.Empty();
  if (!spool.Empty()) {
    try {
      std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
      const uint64_t segment = spool.ReadPosition().segment;
      auto rows = ExecuteQuery(*conn, PositionQuery(segment));
      if (!rows->Eof()) spool.Resume({segment, std::stoull(rows->Field(0).AsString())});
      status.position_known = true;
    } catch (const std::exception&) {
      // No database or no TrendSpool table: the rows count from the spool's start.
    }
  }
  status.rows = spool.Rows();
  status.oldest = spool.OldestTime();
  status.bytes = spool.Bytes();
  return status;
}

}  // namespace quorlan
