// The spool's files: records that come back as written, damage found, a torn end cut off, the
// oldest segments dropped when full.
#include "storage/spool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/temp_dir.h"

namespace quorlan {
namespace {

SampleRow Row(int i) {
  SampleRow row;
  row.ReportId = 100 + i;
  row.PollInterval = i % 2 == 0 ? 60 : 300;
  row.Time = DateTime::FromCivil({2026, 12, 7, 10, 0, 0}).PlusSeconds(i);
  row.Values = {1.5 * i, -3.5, 1e20, 0, std::nan(""), -0.0};
  return row;
}

std::vector<SampleRow> Rows(int from, int count) {
  std::vector<SampleRow> rows;
  for (int i = from; i < from + count; ++i) rows.push_back(Row(i));
  return rows;
}

void ExpectSame(const SampleRow& a, const SampleRow& b) {
  EXPECT_EQ(a.ReportId, b.ReportId);
  EXPECT_EQ(a.PollInterval, b.PollInterval);
  EXPECT_EQ(a.Time, b.Time);
  for (size_t k = 0; k < 6; ++k) {
    EXPECT_EQ(EncodeSpoolRecord(a).substr(24 + 8 * k, 8),
              EncodeSpoolRecord(b).substr(24 + 8 * k, 8))
        << "value " << k + 1 << " bit for bit";
  }
}

class SpoolTest : public ::testing::Test {
 protected:
  // A spool written by an earlier life: rows 0 to count-1 in one segment.
  void Spooled(int count) {
    Spool spool(Folder(), 1 << 20);
    spool.Load();
    SpoolDrop drop;
    spool.Append(Rows(0, count), &drop);
  }
  // Changes the bytes of a file in place.
  template <typename F>
  static void Rewrite(const std::string& path, F change) {
    DataFile file = DataFile::Open(path);
    std::string bytes(file.Size(), '\0');
    file.ReadAt(0, bytes.data(), bytes.size());
    change(bytes);
    file.Truncate(0);
    file.Append(bytes.data(), bytes.size());
  }
  std::string Folder() const { return dir_.File("Spool"); }
  std::string Segment(int n) const {
    char name[32];
    snprintf(name, sizeof name, "/%016X.spool", n);
    return Folder() + name;
  }
  testing::TempDir dir_;
};

// Every byte of a record is covered: a flipped bit anywhere makes it unreadable.
TEST(SpoolRecordTest, RoundTripsAndEveryFlippedBitIsFound) {
  const SampleRow row = Row(7);
  const std::string record = EncodeSpoolRecord(row);
  ASSERT_EQ(record.size(), kSpoolRecordBytes);
  const std::optional<SampleRow> back = DecodeSpoolRecord(record.data());
  ASSERT_TRUE(back);
  ExpectSame(*back, row);
  EXPECT_EQ(EncodeSpoolRecord(*back), record);
  for (size_t bit = 0; bit < record.size() * 8; ++bit) {
    std::string bad = record;
    bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_FALSE(DecodeSpoolRecord(bad.data())) << "bit " << bit;
  }
}

TEST_F(SpoolTest, RowsComeBackInOrderFromAnotherProcessLifeAndTheReadPositionMoves) {
  {
    Spool spool(Folder(), 1 << 20);
    EXPECT_TRUE(spool.Load().empty());
    EXPECT_TRUE(spool.Empty());
    SpoolDrop drop;
    spool.Append(Rows(0, 3), &drop);
    spool.Append(Rows(3, 2), &drop);
    EXPECT_EQ(drop.rows, 0);
    EXPECT_EQ(spool.Rows(), 5);
  }
  Spool spool(Folder(), 1 << 20);
  EXPECT_TRUE(spool.Load().empty());
  ASSERT_EQ(spool.Rows(), 5);
  EXPECT_EQ(spool.OldestTime(), Row(0).Time);
  SpoolPosition after;
  int64_t damaged = 0;
  std::vector<SampleRow> first = spool.Read(2, &after, &damaged);
  ASSERT_EQ(first.size(), 2u);
  ExpectSame(first[1], Row(1));
  EXPECT_EQ(after.offset, kSpoolHeaderBytes + 2 * kSpoolRecordBytes);
  EXPECT_EQ(spool.Rows(), 5) << "nothing moves until the rows are recorded";
  spool.Consumed(after);
  EXPECT_EQ(spool.Rows(), 3);
  EXPECT_EQ(spool.OldestTime(), Row(2).Time);

  // A later life resumes where the database says the replay stands.
  Spool again(Folder(), 1 << 20);
  again.Load();
  again.Resume({after.segment + 1, after.offset});  // another segment's position: ignored
  EXPECT_EQ(again.Rows(), 5);
  again.Resume(after);
  std::vector<SampleRow> rest = again.Read(10, &after, &damaged);
  ASSERT_EQ(rest.size(), 3u);
  ExpectSame(rest[2], Row(4));
  again.Consumed(after);
  EXPECT_TRUE(again.Empty());
  EXPECT_FALSE(FileExists(Segment(1))) << "a segment read to its end is deleted";
  EXPECT_EQ(damaged, 0);
}

// A crash in the middle of an append leaves a torn end: it is cut off at the next load, with one
// line for the event, and the spool goes on from the last whole record.
TEST_F(SpoolTest, ATornEndIsCutOffAndAppendsGoOnAfterTheLastWholeRecord) {
  Spooled(4);
  // The third record's checksum lost and half of the fourth written: both are torn.
  const uint64_t third = kSpoolHeaderBytes + 2 * kSpoolRecordBytes;
  Rewrite(Segment(1), [&](std::string& bytes) {
    bytes.resize(third + kSpoolRecordBytes + kSpoolRecordBytes / 2);
    bytes.replace(third, 4, 4, '\0');
  });
  Spool spool(Folder(), 1 << 20);
  const std::vector<std::string> repairs = spool.Load();
  ASSERT_EQ(repairs.size(), 1u);
  EXPECT_NE(repairs[0].find("a torn end of 108 bytes left by a crash was cut off (2 whole rows"),
            std::string::npos)
      << repairs[0];
  EXPECT_EQ(spool.Rows(), 2);
  SpoolDrop drop;
  spool.Append(Rows(10, 1), &drop);
  SpoolPosition after;
  int64_t damaged = 0;
  const std::vector<SampleRow> rows = spool.Read(10, &after, &damaged);
  ASSERT_EQ(rows.size(), 3u);
  ExpectSame(rows[1], Row(1));
  ExpectSame(rows[2], Row(10));
  EXPECT_EQ(damaged, 0);
}

// Damage inside a segment (the disk, not a crash) costs only the damaged record; a damaged
// header sets its segment aside.
TEST_F(SpoolTest, ADamagedRecordIsSkippedAndADamagedHeaderSetsItsSegmentAside) {
  Spooled(3);
  Rewrite(Segment(1), [](std::string& bytes) {
    bytes[kSpoolHeaderBytes + kSpoolRecordBytes + 30] ^= 0x10;  // in the second record
  });
  Spool spool(Folder(), 1 << 20);
  EXPECT_TRUE(spool.Load().empty()) << "not a torn end: the last record is whole";
  SpoolPosition after;
  int64_t damaged = 0;
  const std::vector<SampleRow> rows = spool.Read(10, &after, &damaged);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(damaged, 1);
  ExpectSame(rows[1], Row(2));

  Rewrite(Segment(1), [](std::string& bytes) { bytes[9] ^= 1; });  // in the segment id
  Spool broken(Folder(), 1 << 20);
  const std::vector<std::string> repairs = broken.Load();
  ASSERT_EQ(repairs.size(), 1u);
  EXPECT_NE(repairs[0].find("the header is damaged"), std::string::npos) << repairs[0];
  EXPECT_TRUE(broken.Empty());
  EXPECT_TRUE(FileExists(Folder() + "/0000000000000001.damaged"));
}

// A full spool drops its oldest segment, whose rows are counted, and never grows much beyond
// its limit.
TEST_F(SpoolTest, AFullSpoolDropsItsOldestSegmentsAndCountsTheirRows) {
  const uint64_t limit = 512 * 1024;  // segments of 64 KiB: 910 rows each
  Spool spool(Folder(), limit);
  spool.Load();
  SpoolDrop drop;
  int appended = 0;
  while (appended < 20000) {
    spool.Append(Rows(appended, 500), &drop);
    appended += 500;
    EXPECT_LE(spool.Bytes(), limit + 64 * 1024);
  }
  EXPECT_GT(drop.rows, 0);
  EXPECT_EQ(drop.first, Row(0).Time) << "the oldest rows go first";
  EXPECT_EQ(spool.Rows() + drop.rows, appended) << "every row is held or counted as dropped";
  SpoolPosition after;
  int64_t damaged = 0;
  const std::vector<SampleRow> oldest = spool.Read(1, &after, &damaged);
  ASSERT_EQ(oldest.size(), 1u);
  EXPECT_EQ(oldest[0].ReportId, Row(static_cast<int>(drop.rows)).ReportId);
}

}  // namespace
}  // namespace quorlan
