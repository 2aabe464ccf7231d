// The trend list: the service's in-memory table of the trend reports it polls, kept in step with
// the suite database (TrendReports and ATR_Nodes), and the two rules every poller shares (next
// poll time, trigger threshold).
//
// The table has MaxTrendReports entries (300 unless Quorlan.ini sets another number), numbered
// from 1, sized once at the service's start and never freed, resized, sorted or compacted. Entries
// 1 to TrendListCount are live; every walk runs from 1 to TrendListCount. Entries above the count
// keep whatever they held last. An entry is addressed by its number; users read and write its
// fields directly and find entries by a linear scan taking the first match.
//
// Every procedure here runs on the service's one thread and never yields, so a build or a change
// pass is never interleaved with another access. Each catches its own errors and reports them as
// an application event of type 1, module "modQuorlanTrend", with its own procedure name; callers
// learn of the outcome only through the table and the event log.
//
// Call points for the poll scheduler, each tick (in this order, see the scheduler):
//   - change code 1, 2, 3 in Mib_sysTrendChanged: TrendListTrendAdd / TrendListTrendEdit /
//     TrendListTrendDel, then DebugTrendList while DebugMode is set;
//   - first tick of a new hour: TrendListDevSync, then DebugTrendList while DebugMode is set.
// Service start: TrendListCreate, then DebugTrendList while DebugMode is set. The agent's
// "running" request: TrendListCreate (no dump).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/platform/platform.h"
#include "storage/storage.h"
#include "trendlist/shared_text.h"

namespace quorlan {

inline constexpr int kTrendObjects = 6;

// Poll types an entry can hold besides the node's own word.
inline constexpr const char* kPollTypeSnmpPoll = "SnmpPoll";
inline constexpr const char* kPollTypeSnmpStatus = "SnmpStatus";
inline constexpr const char* kPollTypeDeleted = "Deleted";

// Six values, one per polled object, indexed 1 to 6 (object k of the report). An index outside
// 1..6 is a subscript error (RuntimeError), as for the table itself.
template <typename T>
class Six {
 public:
  T& operator[](int k) { return values_[Index(k)]; }
  const T& operator[](int k) const { return values_[Index(k)]; }

 private:
  static size_t Index(int k) {
    if (k < 1 || k > kTrendObjects) {
      throw RuntimeError(err::kSubscriptOutOfRange,
                         "Subscript out of range: object " + std::to_string(k) + " (1 to 6)");
    }
    return static_cast<size_t>(k - 1);
  }
  T values_[kTrendObjects] = {};
};

// One polled report: its definition, a copy of its node's SNMP access parameters and the
// run-time state of polling it. Fields are in their declared order; a fresh entry is all zero,
// empty or false, and its date-times read 1899-12-30 00:00:00.
//
// Invariants: PollPending true means PollMessId holds the id of the request in flight;
// PollNumObjects never exceeds 6.
struct TrendListEntry {
  int32_t ReportId = 0;
  std::string ReportTitle;
  int32_t NodeId = 0;
  SharedText NodeName;  // as stored with the report, not the node's current name
  SharedText Address;
  int32_t UdpPort = 0;      // 0 to 65535
  int16_t SnmpVersion = 0;  // 3 selects the SNMPv3 path, anything else SNMPv1/v2c
  SharedText ReadComm;
  SharedText TrapComm;
  int32_t PollInterval = 0;  // seconds: 60, 300, 900 or 3600 are served; 0 is never polled
  int16_t PollTimeOut = 0;   // seconds
  int16_t PollRetries = 0;
  SharedText PollType;  // "SnmpPoll", "SnmpStatus", "Deleted" or the node's own word
  SharedText PollSnmpV3User;
  Six<SharedText> PollObjId;  // "" when the report has no object k
  Six<SharedText> PollObjName;
  Six<int16_t> PollObjType;  // 3 marks a counter
  Six<SharedText> PollObjEval;
  // Last raw sample and last computed value. Held in double precision so that counters above
  // 2^24 keep their lowest digits; every text written from them is unchanged.
  Six<double> PollSampledValue;  // -1: no sample yet
  Six<double> PollSavedValue;
  Six<bool> PollTriggerAlarm;
  Six<SharedText> PollTriggerExpr;
  Six<SharedText> PollTriggerValueText;  // threshold as stored, possibly with K, M or G
  Six<double> PollTriggerValue;          // the same threshold as a number
  Six<bool> PollTriggerStatus;
  int16_t PollNumObjects = 0;
  SharedText PollEngineId;
  int32_t PollEngineBoots = 0;
  int32_t PollEngineTime = 0;
  int32_t PollMessId = 0;  // 0 when no request is outstanding
  DateTime PollTimeOutTime;
  int16_t PollRetryTimes = 0;
  bool PollPending = false;
  DateTime PollNextTime;
  // The request in flight holds a slot of PendingV3 (else of Pending): set when the scheduler
  // counts the request, so that whoever ends it frees the slot it took even when SnmpVersion
  // changed meanwhile.
  bool PollCountedV3 = false;
  // The request in flight was counted as a late first send (ServiceCounters::PollsLate), so that
  // a batched request the system then refused is taken back out of the counts.
  bool PollCountedLate = false;
};

// The entries, numbered 1 to Size(): kDefaultMaxTrendReports until the start sizes the table from
// Quorlan.ini's MaxTrendReports.
class TrendListTable {
 public:
  TrendListTable() : entries_(kDefaultMaxTrendReports) {}
  // The pool of the entries' texts (object ids, names, expressions, thresholds, the node's
  // settings): a text that many reports repeat is held once. Copies of the table share it.
  SharedText Intern(std::string_view text) { return texts_->Intern(text); }
  size_t DistinctTexts() const { return texts_->size(); }
  // Entry n. Throws RuntimeError (subscript out of range) for n outside 1 to Size().
  TrendListEntry& operator[](int n) { return entries_[Index(n)]; }
  const TrendListEntry& operator[](int n) const { return entries_[Index(n)]; }
  int16_t Size() const { return static_cast<int16_t>(entries_.size()); }
  // Gives the table size fresh entries (the same size: nothing changes). REQUIRES: no entry is
  // live yet (the start, before the first build), 1 <= size <= kMostTrendReports.
  void SetSize(int16_t size);

 private:
  size_t Index(int n) const;
  // Declared before the entries, so that it ends after them.
  std::shared_ptr<TextPool> texts_ = std::make_shared<TextPool>();
  std::vector<TrendListEntry> entries_;
};

// The trend list's module-wide values on top of the storage layer's.
struct TrendState : StorageState {
  using StorageState::StorageState;

  TrendListTable TrendList;
  int16_t TrendListCount = 0;  // 0 <= TrendListCount <= TrendList.Size()
  // Change code set by the agent: 0 none, 1 added, 2 edited, 3 deleted. Applied and cleared by
  // the poll scheduler; printed by DebugTrendList.
  int16_t Mib_sysTrendChanged = 0;
  // Full builds begun so far. Work that yields (a pause, a discovery wait) and then goes on with
  // an entry compares it before and after: a build in between has rewritten the entries.
  int32_t TrendListBuilds = 0;
};

// Full build from the database (raises TrendListBuilds first): loads every report of a
// trend-enabled node (one of the first TrendList.Size() the node query returns), deletes the rows
// flagged '3' and resets every other flag to '0'. Rewrites entries 1 to n and sets TrendListCount
// to n at the end of a successful run; any error leaves the count as it was. More loadable reports
// than the table holds: the first Size() are loaded, one error event names the report ids left
// out (and MaxTrendReports when Quorlan.ini sets a size other than 300), and the count becomes
// Size().
//
// All passes below and the build leave out, each with one error event naming its report or node
// id, a row that cannot be loaded (a NULL or a value that does not convert or does not fit, such
// as a UDP port outside 0 to 65535), and go on with the others; a node left out so keeps its
// entries as they are in the synchronisation. Reports of trend-enabled nodes beyond the first
// Size() are named in one error event of the build or the addition.
// Returns true when the build ran to its end (rows left out with their events included), false
// when it failed and kept the count as it was; the failure has been reported either way, the
// result only lets a caller such as the agent answer the request that asked for the build.
bool TrendListCreate(TrendState& st);

// Change passes for the codes 1, 2 and 3 (rows flagged '1', '2', '3' in TrendReports). Each
// settles only the rows it read, so a row flagged while the pass runs waits for the next pass.
// Add appends entries after TrendListCount (no duplicate check) and clears the '1' flags; the
// new entries are counted only once that update succeeded, so a failed update never loads a
// report twice. When the table is full, the reports that do not fit are named in one error event
// and left out.
// Edit updates the matching entries' report and node fields (never object ids, types, eval
// expressions, trigger states or poll state; the engine only when SnmpVersion changes, as in
// TrendListDevSync) and clears the '2' flags.
// Del marks the matching entries "Deleted" and deletes the '3' rows.
void TrendListTrendAdd(TrendState& st);
void TrendListTrendEdit(TrendState& st);
void TrendListTrendDel(TrendState& st);

// Hourly node synchronisation: copies the current node settings into every live entry, writes
// the node's current name into report rows that carry another, and marks "Deleted" (and deletes
// the rows of) the reports whose node is gone or no longer trend-enabled. When the node query
// returns its limit of TrendList.Size() nodes, a node missing from it is looked up by its id before
// its reports are deleted. Entries already "Deleted" get their node settings but no statement:
// their report row is gone, and its id is never used again. An entry whose SnmpVersion changes
// forgets its engine (PollEngineId, boots and time), so that no SNMPv3 engine id reaches the traces
// of an SNMPv1/v2c entry and a return to SNMPv3 discovers the engine again.
void TrendListDevSync(TrendState& st);

// Sets the entry's PollNextTime to the next boundary of its interval's minute grid (60, 300, 900
// or 3600 s) strictly after the current minute, seconds 0; a boundary at the next day's midnight
// becomes now plus the interval. Other intervals leave PollNextTime unchanged. An entry number
// outside 1 to TrendList.Size() is reported ("CalcPollNextTime") and changes nothing.
void CalcPollNextTime(TrendState& st, const int16_t& entry);

// The number of a threshold text ("", "75", "10K", "20M", "2g"; K, M, G in any case mean powers
// of 1000 and end the number) in double precision, so that a value equal to what the operator
// wrote compares equal: "4294967295" is 4294967295 and "1.003K" is 1003 exactly. Throws
// RuntimeError for a text (or the part before the letter) that is not a number.
double TriggerValueOf(const std::string& text);
// TriggerValueOf into value; a text that is not a number is reported ("ConvTriggerValue") and
// leaves value as the caller passed it.
void ConvTriggerValue(Runtime& rt, const std::string& text, double& value);

// Appends one block to Debug/T-TrendList.txt: a title line with Mib_sysTrendChanged, a header of
// 83 columns and one line per live entry, then two empty lines. Errors (a missing Debug folder)
// are reported as "DebugTrendList". Callers call it only while DebugMode is set.
void DebugTrendList(TrendState& st);

// A value held in double precision (PollSampledValue, PollSavedValue) as plain number text: the
// single-precision text whenever it is a single-precision number (-1, 0, 1500, 0.25), else up to
// 15 significant digits (a counter of 16777217 shows all its digits).
std::string FormatDoublePrecision(double v);

// The header line of the dump (83 tab-separated column names) and one entry's data line, both
// without line end; control characters of the entry's texts are written as blanks.
std::string TrendListDumpHeader();
std::string TrendListDumpLine(const TrendListEntry& e);

}  // namespace quorlan
