// The managers' Response events: matching an answer to its entry, the values, the sample row
// handed to the recorder, closing the request and the response trace rows.
#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "responses/internal.h"

namespace quorlan {
namespace {

// What differs between the two handlers.
struct Handler {
  const char* procedure;
  bool v3;
  int16_t PollState::*counter;  // Pending or PendingV3
  const char* trace;
};

constexpr Handler kManager = {"snmpManager_Response", false, &PollState::Pending, kTraceSnmpResp};
constexpr Handler kMgrV3 = {"snmpMgrV3_Response", true, &PollState::PendingV3, kTraceSnmpRespV3};

constexpr const char* kResp = "snmpResp";
constexpr const char* kRespErr = "snmpRespErr";
constexpr const char* kRespNull = "snmpRespNull";

// Marks a request id as being handled for the lifetime of the object.
class InProgress {
 public:
  InProgress(std::vector<int32_t>& ids, int32_t id) : ids_(ids), id_(id) { ids_.push_back(id); }
  ~InProgress() { ids_.erase(std::find(ids_.begin(), ids_.end(), id_)); }
  InProgress(const InProgress&) = delete;
  InProgress& operator=(const InProgress&) = delete;

 private:
  std::vector<int32_t>& ids_;
  int32_t id_;
};

// The handling of one answer. Handle() runs the steps and throws any run-time failure; Fail() is
// the error handler.
class Answer {
 public:
  Answer(ResponseState& st, const Handler& h, const SnmpResponse& r)
      : st_(st), h_(h), r_(r), builds_(st.TrendListBuilds) {}
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;

  void Handle();
  void Fail(const std::exception& ex);

 private:
  TrendListEntry& Entry() { return st_.TrendList[c_]; }
  // Entry c_ is still the one the answer was matched with: no build since and still live. During
  // a trap's wait it may have been polled again; PollMessId then holds the new request's id.
  bool EntryKept() const { return st_.TrendListBuilds == builds_ && c_ <= st_.TrendListCount; }
  // PollMessId := 0, unless the entry was polled again meanwhile.
  void ClearMessId();
  // The first live entry whose request is the answered one; 0 for none. Id 0 means "no
  // request" in an entry and never matches.
  int16_t Find() const;
  // The positions (from 0) of the objects the answer lacks: beyond its end, or endOfMibView.
  // An object the device answered with NULL, noSuchObject or noSuchInstance is not among them:
  // it stores 0 like a value that is not a number, and the row is kept.
  std::vector<int> MissingObjects() const;
  // One event per report and hour naming each object the device answered without a value, or
  // the object an error status names.
  void ReportObjectProblems();
  void ReportErrorStatus();
  void CloseWithoutData(const char* marker, const std::vector<int>& nulls);
  // Values, then triggers, of a "SnmpPoll" or "SnmpStatus" entry; the sample row is taken
  // between the two. False when the entry was rebuilt while a trap let other events run: the
  // answer then has no entry any more, and the restart that rebuilt the list has freed its slot.
  bool ComputeValues();
  // Takes the entry's sample row (its values now, the time now) for the recorder.
  void TakeSample();
  void LowerCounter();
  // Appends the row of the marker (kResp, kRespErr or kRespNull) while DebugMode is set.
  void Trace(const char* marker);
  std::string ErrRow();
  std::string NullRow();

  ResponseState& st_;
  const Handler& h_;
  const SnmpResponse& r_;
  int16_t c_ = 0;         // the matched entry
  int32_t builds_;        // TrendListBuilds when the handling began
  bool lowered_ = false;  // the counter was lowered for this request
  SampleRow row_;         // the answer's sample row, taken before the triggers
};

int16_t Answer::Find() const { return EntryOfMessId(st_, r_.request_id); }

std::vector<int> Answer::MissingObjects() const {
  const int n = r_.ObjCount();
  const int polled = c_ == 0 ? 0 : st_.TrendList[c_].PollNumObjects;
  std::vector<int> missing;
  for (int i = 0; i < std::max(n, polled); ++i) {
    if (i >= n ||
        r_.varbinds[static_cast<size_t>(i)].value.type == snmp::ValueType::kEndOfMibView) {
      missing.push_back(i);
    }
  }
  return missing;
}

void Answer::Handle() {
  // One walk over the list finds the entry: nothing below changes a request id before c_ is used.
  c_ = Find();
  if (r_.error_status != 0) {
    ReportErrorStatus();
    return CloseWithoutData(kRespErr, {});
  }
  const std::vector<int> missing = MissingObjects();
  if (!missing.empty()) return CloseWithoutData(kRespNull, missing);
  if (c_ == 0) return;
  ++st_.Counters.Answers;
  HealthAnswered(st_, Entry());
  ReportObjectProblems();
  Entry().PollPending = false;
  CalcPollNextTime(st_, c_);
  // Read before ComputeValues, which may pause; a build in that pause rewrites the entry.
  const bool polled =
      Entry().PollType == kPollTypeSnmpPoll || Entry().PollType == kPollTypeSnmpStatus;
  if (polled) {
    if (!ComputeValues()) return;
    st_.SampleRecorder.Record(row_);
    st_.Health.RowTaken(row_.ReportId, row_.Time);
  }
  LowerCounter();
  Trace(kResp);
  ClearMessId();
}

void Answer::ReportObjectProblems() {
  const TrendListEntry& e = Entry();
  for (int16_t k = 1; k <= e.PollNumObjects; ++k) {
    const snmp::ValueType type = r_.varbinds[k - 1].value.type;
    if (!r_.varbinds[k - 1].value.IsAbsent()) continue;
    responses::ReportObjectProblem(
        st_, e, k, h_.procedure,
        fmt::format("the device answered {}; 0 stored", snmp::TypeName(static_cast<int>(type))));
  }
}

void Answer::ReportErrorStatus() {
  if (c_ == 0) return;
  const TrendListEntry& e = Entry();
  const int k = r_.error_index >= 1 && r_.error_index <= e.PollNumObjects ? r_.error_index : 1;
  responses::ReportObjectProblem(
      st_, e, static_cast<int16_t>(k), h_.procedure,
      fmt::format("the device answered the error status {} ({}) at index {}; no row",
                  BlankControls(r_.error_description), r_.error_status, r_.error_index));
}

void Answer::ClearMessId() {
  if (Entry().PollMessId == r_.request_id) Entry().PollMessId = 0;
}

bool Answer::ComputeValues() {
  TrendListEntry& e = Entry();
  const bool status = e.PollType == kPollTypeSnmpStatus;
  bool measured[kTrendObjects + 1] = {};
  for (int16_t k = 1; k <= e.PollNumObjects; ++k) {
    const responses::ObjectValue value =
        responses::SetObjectValue(st_, e, k, r_.ObjValue(k - 1).value_or(""), h_.procedure);
    // A counter's base sample stores 0 that is no measurement: no trigger sees it.
    measured[k] = status && value == responses::ObjectValue::kValue;
  }
  // The row holds this answer's values: a trap's wait below may let the answer to a newer request
  // of the entry run and change them.
  TakeSample();
  for (int16_t k = 1; k <= kTrendObjects; ++k) {
    if (!measured[k]) continue;
    TriggerEvaluate(st_, c_, k);
    if (!EntryKept()) return false;
  }
  return true;
}

void Answer::CloseWithoutData(const char* marker, const std::vector<int>& nulls) {
  if (c_ == 0) return;
  ++st_.Counters.Answers;
  TrendListEntry& e = Entry();
  HealthAnswered(st_, e);
  if (marker == kRespNull) HealthProblem(st_, e, "the answer lacks objects the report polls");
  for (const int i : nulls) {
    if (i >= kTrendObjects) continue;  // an object the entry does not have
    e.PollSavedValue[i + 1] = 0;
    e.PollSampledValue[i + 1] = -1;
  }
  e.PollPending = false;
  CalcPollNextTime(st_, c_);
  if (marker == kRespNull && h_.v3) {
    Trace(marker);
    LowerCounter();
  } else {
    LowerCounter();
    Trace(marker);
  }
  e.PollMessId = 0;
}

void Answer::TakeSample() {
  const TrendListEntry& e = Entry();
  row_.ReportId = e.ReportId;
  row_.PollInterval = e.PollInterval;
  row_.Time = st_.Now();
  for (int k = 1; k <= kTrendObjects; ++k) row_.Values[k - 1] = e.PollSavedValue[k];
}

void Answer::LowerCounter() {
  if (lowered_) return;
  lowered_ = true;
  LowerPendingCount(st_.*h_.counter);
}

void Answer::Trace(const char* marker) {
  if (!st_.DebugMode) return;
  std::string row;
  if (marker == kRespErr) {
    row = ErrRow();
  } else if (marker == kRespNull) {
    row = NullRow();
  } else {
    const std::string engine_id = h_.v3 ? EngineIdText(Entry().PollEngineId) : "";
    row = PollTraceRow(st_, Entry(), " <-- snmpResp", engine_id, PollRowObjects::kResponse);
  }
  AppendTraceLine(st_, h_.trace, row, kModForm, h_.procedure);
}

std::string Answer::ErrRow() {
  const TrendListEntry& e = Entry();
  const std::string time = FormatTimeStamp(st_);
  const std::string error =
      fmt::format("[ERROR]:{}\t[DESCR]:{}", r_.error_status, BlankControls(r_.error_description));
  if (h_.v3) {
    return fmt::format("{}\t <-- {}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}", time, kRespErr,
                       BlankControls(e.PollType), e.PollMessId, e.NodeId, BlankControls(e.NodeName),
                       BlankControls(e.Address), st_.Pending, st_.PendingV3, error);
  }
  return fmt::format("{}\t <-- {}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t\t{}\t{}\t{}\t{}\t{}", time,
                     kRespErr, BlankControls(e.PollType), e.PollInterval, e.ReportId,
                     BlankControls(e.ReportTitle), e.NodeId, BlankControls(e.NodeName),
                     BlankControls(e.Address), e.PollMessId, e.SnmpVersion, e.PollEngineBoots,
                     e.PollEngineTime, st_.Pending, st_.PendingV3, error);
}

std::string Answer::NullRow() {
  const TrendListEntry& e = Entry();
  return fmt::format("{}\t <-- {}\t{}\t{}\t{}\t{}\t{}\t{}\t{}", FormatTimeStamp(st_), kRespNull,
                     BlankControls(e.PollType), e.PollMessId, e.NodeId, BlankControls(e.NodeName),
                     BlankControls(e.Address), st_.Pending, st_.PendingV3);
}

void Answer::Fail(const std::exception& ex) {
  const std::string suffix = h_.v3 ? "" : fmt::format(", reqId={}, c={}", r_.request_id, c_);
  AppEvent(st_, kModForm, h_.procedure, ex.what() + suffix, kEventError);
  // An entry rebuilt meanwhile belongs to another report, and the restart freed the slot.
  if (c_ == 0 || !EntryKept()) return;
  TrendListEntry& e = Entry();
  LowerCounter();
  // An entry polled again during a trap's wait is left to its new request.
  if (e.PollMessId != r_.request_id) return;
  e.PollPending = false;
  e.PollMessId = 0;
  if (h_.v3) {
    // The engine is discovered again before the next SNMPv3 poll.
    e.PollEngineId.clear();
    e.PollEngineBoots = 0;
    e.PollEngineTime = 0;
  }
  CalcPollNextTime(st_, c_);
}

bool Duplicate(const ResponseState& st, int32_t id) {
  return std::find(st.ResponsesInProgress.begin(), st.ResponsesInProgress.end(), id) !=
         st.ResponsesInProgress.end();
}

void HandleResponse(ResponseState& st, const Handler& h, const SnmpResponse& r) {
  if (Duplicate(st, r.request_id)) return;
  InProgress in_progress(st.ResponsesInProgress, r.request_id);
  Answer answer(st, h, r);
  try {
    answer.Handle();
  } catch (const std::exception& ex) {
    answer.Fail(ex);
  }
}

}  // namespace

void snmpManager_Response(ResponseState& st, const SnmpResponse& r) {
  HandleResponse(st, kManager, r);
}

void snmpMgrV3_Response(ResponseState& st, const SnmpResponse& r) { HandleResponse(st, kMgrV3, r); }

}  // namespace quorlan
