// The spool's segment files (spool_format.md).
#include "storage/spool.h"

#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace quorlan {
namespace {

constexpr char kMagic[8] = {'Q', 'T', 'S', 'P', 'O', 'O', 'L', '1'};
constexpr uint8_t kKindSampleRow = 1;
constexpr uint64_t kMinSegmentBytes = 64 * 1024;
constexpr uint64_t kMaxSegmentBytes = 16 * 1024 * 1024;
constexpr const char* kSegmentSuffix = ".spool";

uint32_t Crc(const char* data, size_t size) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

void Put(char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>(value >> (8 * i));
}

uint64_t Get(const char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(at[i]);
  return value;
}

std::string EncodeHeader(uint64_t id, uint64_t sequence) {
  std::string h(kSpoolHeaderBytes, '\0');
  std::memcpy(h.data(), kMagic, sizeof kMagic);
  Put(&h[8], id, 8);
  Put(&h[16], sequence, 8);
  Put(&h[24], kSpoolRecordBytes, 4);
  Put(&h[28], Crc(h.data(), 28), 4);
  return h;
}

uint64_t NewSegmentId() {
  std::random_device random;
  uint64_t id = 0;
  while (id == 0) id = (uint64_t{random()} << 32 | random()) >> 1;  // positive as a bigint
  return id;
}

// The sequence number of a segment file's name, or nullopt for another file.
std::optional<uint64_t> SequenceOf(const std::string& name) {
  if (name.size() != 16 + std::strlen(kSegmentSuffix) || !name.ends_with(kSegmentSuffix)) {
    return std::nullopt;
  }
  uint64_t n = 0;
  for (size_t i = 0; i < 16; ++i) {
    const char c = name[i];
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return std::nullopt;
    n = n << 4 | static_cast<uint64_t>(d);
  }
  return n;
}

}  // namespace

std::string EncodeSpoolRecord(const SampleRow& row) {
  std::string r(kSpoolRecordBytes, '\0');
  r[4] = static_cast<char>(kKindSampleRow);
  Put(&r[8], static_cast<uint32_t>(row.ReportId), 4);
  Put(&r[12], static_cast<uint32_t>(row.PollInterval), 4);
  Put(&r[16], static_cast<uint64_t>(row.Time.Millis()), 8);
  for (size_t k = 0; k < row.Values.size(); ++k) {
    uint64_t bits = 0;
    std::memcpy(&bits, &row.Values[k], sizeof bits);
    Put(&r[24 + 8 * k], bits, 8);
  }
  Put(&r[0], Crc(r.data() + 4, kSpoolRecordBytes - 4), 4);
  return r;
}

std::optional<SampleRow> DecodeSpoolRecord(const char* record) {
  if (Get(record, 4) != Crc(record + 4, kSpoolRecordBytes - 4) || record[4] != kKindSampleRow) {
    return std::nullopt;
  }
  SampleRow row;
  row.ReportId = static_cast<int32_t>(Get(record + 8, 4));
  row.PollInterval = static_cast<int32_t>(Get(record + 12, 4));
  row.Time = DateTime::FromMillis(static_cast<int64_t>(Get(record + 16, 8)));
  for (size_t k = 0; k < row.Values.size(); ++k) {
    const uint64_t bits = Get(record + 24 + 8 * k, 8);
    std::memcpy(&row.Values[k], &bits, sizeof bits);
  }
  return row;
}

Spool::Spool(std::string folder, uint64_t limit_bytes)
    : folder_(std::move(folder)),
      limit_bytes_(limit_bytes),
      segment_bytes_(std::clamp(limit_bytes / 8, kMinSegmentBytes, kMaxSegmentBytes)) {}

std::string Spool::PathOf(uint64_t sequence, const char* suffix) const {
  return fmt::format("{}/{:016X}{}", folder_, sequence, suffix);
}

std::vector<std::string> Spool::Load(bool repair) {
  std::vector<std::string> repairs;
  segments_.clear();
  read_offset_ = kSpoolHeaderBytes;
  if (!DirectoryExists(folder_)) return repairs;
  folder_made_ = true;
  std::vector<std::string> names = FolderEntries(folder_);
  std::sort(names.begin(), names.end());  // fixed-width hexadecimal: sequence order
  for (const std::string& name : names) {
    if (!SequenceOf(name)) continue;
    std::optional<Segment> s = OpenSegment(name, repair, &repairs);
    if (s) segments_.push_back(std::move(*s));
  }
  if (repair && !segments_.empty()) CutTornEnd(segments_.back(), &repairs);
  return repairs;
}

std::optional<Spool::Segment> Spool::OpenSegment(const std::string& name, bool repair,
                                                 std::vector<std::string>* repairs) {
  DataFile file = DataFile::Open(folder_ + "/" + name, repair);
  char h[kSpoolHeaderBytes];
  const bool whole = file.ReadAt(0, h, sizeof h) == sizeof h;
  if (whole && std::memcmp(h, kMagic, sizeof kMagic) == 0 && Get(h + 28, 4) == Crc(h, 28) &&
      Get(h + 24, 4) == kSpoolRecordBytes) {
    return Segment{Get(h + 8, 8), Get(h + 16, 8), std::move(file)};
  }
  if (!repair) return std::nullopt;
  const uint64_t sequence = *SequenceOf(name);
  const std::string damaged = PathOf(sequence, ".damaged");
  RenameFile(file.path(), damaged);
  repairs->push_back(
      fmt::format("{}: the header is damaged; the segment ({} bytes) was set aside "
                  "as {}, its rows are not replayed",
                  file.path(), file.Size(), damaged));
  return std::nullopt;
}

void Spool::CutTornEnd(Segment& s, std::vector<std::string>* repairs) {
  const uint64_t size = s.file.Size();
  uint64_t end = size - (size - kSpoolHeaderBytes) % kSpoolRecordBytes;
  char record[kSpoolRecordBytes];
  while (end > kSpoolHeaderBytes) {
    s.file.ReadAt(end - kSpoolRecordBytes, record, sizeof record);
    if (DecodeSpoolRecord(record)) break;
    end -= kSpoolRecordBytes;
  }
  if (end == size) return;
  s.file.Truncate(end);
  s.file.Sync();
  repairs->push_back(
      fmt::format("{}: a torn end of {} bytes left by a crash was cut off "
                  "({} whole rows before it are replayed)",
                  s.file.path(), size - end, (end - kSpoolHeaderBytes) / kSpoolRecordBytes));
}

uint64_t Spool::RecordsAfter(const Segment& s, uint64_t offset) const {
  const uint64_t size = s.file.Size();
  return size > offset ? (size - offset) / kSpoolRecordBytes : 0;
}

int64_t Spool::Rows() const {
  int64_t rows = 0;
  for (size_t i = 0; i < segments_.size(); ++i) {
    rows +=
        static_cast<int64_t>(RecordsAfter(segments_[i], i == 0 ? read_offset_ : kSpoolHeaderBytes));
  }
  return rows;
}

uint64_t Spool::Bytes() const {
  uint64_t bytes = 0;
  for (const Segment& s : segments_) bytes += s.file.Size();
  return bytes;
}

std::optional<DateTime> Spool::OldestTime() const {
  if (Empty()) return std::nullopt;
  for (size_t i = 0; i < segments_.size(); ++i) {
    const uint64_t at = i == 0 ? read_offset_ : kSpoolHeaderBytes;
    if (RecordsAfter(segments_[i], at) == 0) continue;
    char record[kSpoolRecordBytes];
    segments_[i].file.ReadAt(at, record, sizeof record);
    const std::optional<SampleRow> row = DecodeSpoolRecord(record);
    if (!row) return std::nullopt;
    return row->Time;
  }
  return std::nullopt;
}

Spool::Segment& Spool::WritableSegment() {
  if (!segments_.empty() && segments_.back().file.Size() < segment_bytes_) {
    return segments_.back();
  }
  if (!folder_made_) {
    MakeFolder(folder_);
    folder_made_ = true;
  }
  const uint64_t sequence = segments_.empty() ? 1 : segments_.back().sequence + 1;
  const uint64_t id = NewSegmentId();
  DataFile file = DataFile::Create(PathOf(sequence, kSegmentSuffix));
  const std::string header = EncodeHeader(id, sequence);
  try {
    file.Append(header.data(), header.size());
    file.Sync();
    SyncFolder(folder_);
  } catch (const RuntimeError&) {
    DeleteFile(file.path());
    throw;
  }
  if (segments_.empty()) read_offset_ = kSpoolHeaderBytes;
  segments_.push_back(Segment{id, sequence, std::move(file)});
  return segments_.back();
}

void Spool::DropOldest(SpoolDrop* drop) {
  Segment& front = segments_.front();
  const uint64_t rows = RecordsAfter(front, read_offset_);
  if (rows > 0) {
    char record[kSpoolRecordBytes];
    front.file.ReadAt(read_offset_, record, sizeof record);
    const std::optional<SampleRow> first = DecodeSpoolRecord(record);
    if (drop->rows == 0 && first) drop->first = first->Time;
    drop->rows += static_cast<int64_t>(rows);
  }
  DeleteFront();
}

void Spool::DeleteFront() {
  const std::string path = segments_.front().file.path();
  segments_.pop_front();
  read_offset_ = kSpoolHeaderBytes;
  DeleteFile(path);
  SyncFolder(folder_);
}

void Spool::Append(std::span<const SampleRow> rows, SpoolDrop* drop) {
  size_t done = 0;
  while (done < rows.size()) {
    const uint64_t incoming = (rows.size() - done) * kSpoolRecordBytes;
    while (segments_.size() > 1 && Bytes() + incoming > limit_bytes_) DropOldest(drop);
    Segment& s = WritableSegment();
    const uint64_t room = (segment_bytes_ - std::min(segment_bytes_, s.file.Size()));
    const size_t count =
        std::max<size_t>(1, std::min<uint64_t>(rows.size() - done, room / kSpoolRecordBytes));
    std::string data;
    data.reserve(count * kSpoolRecordBytes);
    for (size_t i = done; i < done + count; ++i) data += EncodeSpoolRecord(rows[i]);
    s.file.Append(data.data(), data.size());
    s.file.Sync();
    done += count;
  }
}

SpoolPosition Spool::ReadPosition() const {
  if (segments_.empty()) return {};
  return {segments_.front().id, read_offset_};
}

void Spool::Resume(const SpoolPosition& position) {
  if (segments_.empty() || position.segment != segments_.front().id) return;
  const uint64_t size = segments_.front().file.Size();
  read_offset_ = std::clamp(position.offset, kSpoolHeaderBytes, size);
}

std::vector<SampleRow> Spool::Read(size_t max_rows, SpoolPosition* after, int64_t* damaged) {
  std::vector<SampleRow> rows;
  *after = ReadPosition();
  if (segments_.empty()) return rows;
  const Segment& front = segments_.front();
  const uint64_t count = std::min<uint64_t>(max_rows, RecordsAfter(front, read_offset_));
  std::string data(count * kSpoolRecordBytes, '\0');
  const size_t got = front.file.ReadAt(read_offset_, data.data(), data.size());
  rows.reserve(got / kSpoolRecordBytes);
  for (size_t at = 0; at + kSpoolRecordBytes <= got; at += kSpoolRecordBytes) {
    std::optional<SampleRow> row = DecodeSpoolRecord(data.data() + at);
    if (row) {
      rows.push_back(*row);
    } else {
      ++*damaged;
    }
    after->offset += kSpoolRecordBytes;
  }
  return rows;
}

void Spool::Consumed(const SpoolPosition& after) {
  if (segments_.empty() || after.segment != segments_.front().id) return;
  read_offset_ = std::max(read_offset_, after.offset);
  if (RecordsAfter(segments_.front(), read_offset_) == 0) DeleteFront();
}

}  // namespace quorlan
