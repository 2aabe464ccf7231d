// Inside storage: the spool of sample rows that wait for the suite database, in segment files of
// one folder (the format: spool_format.md).
//
// Invariants: segments_ are the segment files in sequence order; the read position lies in the
// front segment, from its first record to its end; only the last segment takes appends.
// Not thread-safe; the recorder uses it from the service's one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "storage/storage.h"

namespace quorlan {

inline constexpr uint64_t kSpoolHeaderBytes = 32;
inline constexpr uint64_t kSpoolRecordBytes = 72;

// A record of the spool: the row it holds, or nullopt when its CRC or kind is wrong.
std::string EncodeSpoolRecord(const SampleRow& row);
std::optional<SampleRow> DecodeSpoolRecord(const char* record);

// Where the replay stands: the front segment's id and the byte offset of its next record.
struct SpoolPosition {
  uint64_t segment = 0;
  uint64_t offset = 0;
};

// Rows dropped from a full spool: how many, and the time of the first of them.
struct SpoolDrop {
  int64_t rows = 0;
  DateTime first;
};

class Spool {
 public:
  // folder: where the segments are (created on the first append); limit_bytes: the most the
  // segment files may hold together. Nothing is read until Load.
  Spool(std::string folder, uint64_t limit_bytes);

  // Reads the segments the folder holds. With repair, a torn end of the last segment is cut off
  // and a segment whose header is damaged is set aside, each repair described in one returned
  // line; without (to look at the spool of a running service), files are only read, and a
  // damaged segment is left out. Throws RuntimeError when the folder or a segment cannot be read.
  std::vector<std::string> Load(bool repair = true);

  // Rows held from the read position on (damaged records not yet read count as rows).
  int64_t Rows() const;
  bool Empty() const { return Rows() == 0; }
  uint64_t Bytes() const;
  int Segments() const { return static_cast<int>(segments_.size()); }
  // The time stamp of the row at the read position; nullopt when empty or damaged there.
  std::optional<DateTime> OldestTime() const;

  // Appends rows behind those held and makes them durable. When they would not fit within the
  // limit, the oldest segments are deleted first (never the one being written) and their rows
  // not yet replayed are added to *drop. Throws RuntimeError when a file cannot be written; the
  // rows not written are then not held.
  void Append(std::span<const SampleRow> rows, SpoolDrop* drop);

  SpoolPosition ReadPosition() const;
  // Starts the replay of the front segment at position when it names that segment; a position of
  // another segment (one replayed to its end and deleted) leaves the read position as it is.
  void Resume(const SpoolPosition& position);
  // Up to max_rows rows from the read position on, all of the front segment; *after is the
  // position behind the last record read. Damaged records are skipped and counted in *damaged.
  std::vector<SampleRow> Read(size_t max_rows, SpoolPosition* after, int64_t* damaged);
  // The rows before after are recorded: moves the read position there; the front segment is
  // deleted once it is read to its end.
  void Consumed(const SpoolPosition& after);

 private:
  struct Segment {
    uint64_t id = 0;
    uint64_t sequence = 0;
    DataFile file;
  };
  std::string PathOf(uint64_t sequence, const char* suffix) const;
  // Opens one segment file; nullopt (with a line in *repairs) for a damaged header.
  std::optional<Segment> OpenSegment(const std::string& name, bool repair,
                                     std::vector<std::string>* repairs);
  // Cuts a torn end off the segment; describes it in *repairs.
  void CutTornEnd(Segment& s, std::vector<std::string>* repairs);
  Segment& WritableSegment();
  void DropOldest(SpoolDrop* drop);
  void DeleteFront();
  uint64_t RecordsAfter(const Segment& s, uint64_t offset) const;

  std::string folder_;
  uint64_t limit_bytes_;
  uint64_t segment_bytes_;
  std::deque<Segment> segments_;
  uint64_t read_offset_ = kSpoolHeaderBytes;  // in the front segment
  bool folder_made_ = false;
};

}  // namespace quorlan
