#include <gtest/gtest.h>

#include "diagnostics/diagnostics.h"

namespace quorlan {
namespace {

DateTime At(int minute) { return DateTime::FromCivil({2026, 12, 9, 10, minute, 0}); }

// A node's answering turns into news only on its changes; reports and nodes that left the list are
// forgotten, so that years of added and removed reports do not pile up.
TEST(HealthBookTest, NodeChangesAreNewsOnceAndLeftReportsAreForgotten) {
  HealthBook book;
  EXPECT_FALSE(book.NodeSilent(7, "core", "10.0.0.1", At(0))) << "never answered: no news";
  EXPECT_FALSE(book.NodeAnswered(7, "core", "10.0.0.1", At(1)));
  EXPECT_TRUE(book.NodeSilent(7, "core", "10.0.0.1", At(2)));
  EXPECT_FALSE(book.NodeSilent(7, "core", "10.0.0.1", At(3))) << "still silent: no news";
  EXPECT_TRUE(book.NodeAnswered(7, "core", "10.0.0.1", At(4)));
  EXPECT_EQ(book.Nodes().at(7).Since, At(4));

  book.RowTaken(1, At(4));
  book.ReportProblem(2, At(4), "no answer");
  book.NodeAnswered(8, "edge", "10.0.0.2", At(4));
  EXPECT_TRUE(book.TakeChanged());
  book.Retain([](int32_t id) { return id == 1; }, [](int32_t id) { return id == 7; });
  EXPECT_TRUE(book.TakeChanged());
  ASSERT_EQ(book.Reports().size(), 1u);
  EXPECT_EQ(book.Reports().begin()->first, 1);
  ASSERT_EQ(book.Nodes().size(), 1u);
  EXPECT_EQ(book.Nodes().begin()->first, 7);
  book.Retain([](int32_t) { return true; }, [](int32_t) { return true; });
  EXPECT_FALSE(book.TakeChanged()) << "nothing forgotten: nothing to write";
}

}  // namespace
}  // namespace quorlan
