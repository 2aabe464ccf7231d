#include "trendlist/shared_text.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quorlan {
namespace {

TEST(SharedTextTest, PoolSharesEqualTextsAndForgetsThemWithTheirLastHolder) {
  TextPool pool;
  SharedText a = pool.Intern("1.3.6.1.2.1.2.2.1.10.1");
  SharedText b = pool.Intern(std::string("1.3.6.1.2.1.2.2.1.10.1"));
  SharedText own = "1.3.6.1.2.1.2.2.1.10.1";  // made from a string: in no pool
  EXPECT_EQ(&a.str(), &b.str());
  EXPECT_NE(&a.str(), &own.str());
  EXPECT_TRUE(a == own.str());
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_TRUE(pool.Intern("").empty());
  EXPECT_EQ(pool.size(), 1u);

  SharedText c = a;  // a copy holds the same text
  a = pool.Intern("ifInOctets");
  b.clear();
  EXPECT_EQ(pool.size(), 2u);
  EXPECT_EQ(c, "1.3.6.1.2.1.2.2.1.10.1");
  c = SharedText();
  EXPECT_EQ(pool.size(), 1u);  // the id's last holder let it go
  EXPECT_EQ(pool.Intern("1.3.6.1.2.1.2.2.1.10.1").size(), 22u);
  EXPECT_EQ(pool.size(), 1u);  // and the temporary above released it again
}

TEST(SharedTextTest, TextsOutliveTheirPool) {
  auto pool = std::make_unique<TextPool>();
  SharedText kept = pool->Intern("public");
  SharedText copy = kept;
  pool.reset();
  EXPECT_EQ(kept, "public");
  copy.clear();
  kept = SharedText();  // released without the pool (ASan sees a use after free otherwise)
  EXPECT_TRUE(kept.empty());
  EXPECT_STREQ(kept.c_str(), "");
}

}  // namespace
}  // namespace quorlan
