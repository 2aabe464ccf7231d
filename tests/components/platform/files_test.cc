// Replacing a file at once for its readers (ReplaceFile), on the real file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "components/platform/platform.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;

TEST(ReplaceFileTest, PutsTheNewTextInPlaceWithoutFollowingLinksOrLeavingTheTemporaryFile) {
  testing::TempDir dir;
  const std::string path = dir.File("figures.prom");
  ReplaceFile(path, "first\n", 0644);  // nothing to replace yet
  EXPECT_EQ(dir.Read("figures.prom"), "first\n");
  struct stat first {};
  ASSERT_EQ(::stat(path.c_str(), &first), 0);
  EXPECT_EQ(first.st_mode & 0044, 0044u) << "readable by others (node_exporter)";

  ReplaceFile(path, "second\n", 0644);
  EXPECT_EQ(dir.Read("figures.prom"), "second\n");
  struct stat second {};
  ASSERT_EQ(::stat(path.c_str(), &second), 0);
  EXPECT_NE(second.st_ino, first.st_ino) << "a new file, not the old one rewritten";
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp")) << "the old file is removed";

  // A link planted at the path, or left at the temporary name, is replaced: what it points to
  // stays as it was.
  dir.Write("target", "keep\n");
  std::filesystem::remove(path);
  std::filesystem::create_symlink(dir.File("target"), path);
  std::filesystem::create_symlink(dir.File("target"), path + ".tmp");
  ReplaceFile(path, "third\n", 0644);
  EXPECT_EQ(dir.Read("target"), "keep\n");
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(dir.Read("figures.prom"), "third\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(ReplaceFileTest, AFolderThatIsMissingIsNamedAndNothingIsLeft) {
  testing::TempDir dir;
  const std::string path = dir.File("gone/figures.prom");
  try {
    ReplaceFile(path, "x\n", 0644);
    ADD_FAILURE() << "written into a folder that does not exist";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.description(), HasSubstr(path + ".tmp"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace quorlan
