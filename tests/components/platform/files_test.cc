// Replacing a file at once for its readers (ReplaceFile, RewrittenFile), on the real file system.
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

// The watch reports changes of its names only, and its end when the folder goes.
TEST(FolderWatchTest, ReportsTheNamedFilesAndTheEndOfTheFolder) {
  testing::TempDir dir;
  const std::string folder = dir.File("db");
  std::filesystem::create_directory(folder);
  FolderWatch watch(folder, {"suite.db", "suite.db-wal"});
  EXPECT_TRUE(watch.Local());
  EXPECT_FALSE(watch.Changed()) << "nothing happened yet";
  WriteNewFile(folder + "/status.json", "{}");
  EXPECT_FALSE(watch.Changed()) << "another file";
  WriteNewFile(folder + "/suite.db-wal", "x");
  EXPECT_TRUE(watch.Changed());
  EXPECT_FALSE(watch.Changed()) << "each report is read once";
  std::filesystem::rename(folder + "/suite.db-wal", folder + "/old");
  EXPECT_TRUE(watch.Changed()) << "renamed away";
  EXPECT_TRUE(watch.Watching());
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(watch.Changed());
  EXPECT_FALSE(watch.Watching());
  EXPECT_THROW(FolderWatch(folder, {"suite.db"}), RuntimeError);
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

TEST(RewrittenFileTest, SwapsTwoKeptFilesAndNeverPutsAFileItDidNotWriteInPlace) {
  testing::TempDir dir;
  const std::string path = dir.File("figures.prom");
  dir.Write("figures.prom", "an earlier run's\n");
  RewrittenFile file(path, 0644);
  const auto inode = [](const std::string& p) {
    struct stat s {};
    EXPECT_EQ(::lstat(p.c_str(), &s), 0) << p;
    return s.st_ino;
  };
  file.Replace("first, a longer text\n");
  const ino_t first = inode(path);
  file.Replace("second\n");
  const ino_t second = inode(path);
  file.Replace("third\n");
  EXPECT_EQ(dir.Read("figures.prom"), "third\n") << "the longer text is cut to the new one";
  EXPECT_EQ(inode(path), first) << "the first file is written again, no new one";
  EXPECT_EQ(inode(path + ".tmp"), second);
  EXPECT_EQ(dir.Read("figures.prom.tmp"), "second\n");

  // Whatever someone puts at the temporary name is replaced, a link not followed.
  dir.Write("target", "keep\n");
  std::filesystem::remove(path + ".tmp");
  std::filesystem::create_symlink(dir.File("target"), path + ".tmp");
  file.Replace("fourth\n");
  EXPECT_EQ(dir.Read("figures.prom"), "fourth\n");
  EXPECT_EQ(dir.Read("target"), "keep\n");
  dir.Write("planted", "planted\n");
  std::filesystem::rename(dir.File("planted"), path + ".tmp");
  file.Replace("fifth\n");
  EXPECT_EQ(dir.Read("figures.prom"), "fifth\n");
  EXPECT_EQ(dir.Read("target"), "keep\n");
  // A spare moved away under its name fails one replacement at most; the next makes a new one.
  std::filesystem::rename(path + ".tmp", dir.File("moved"));
  try {
    file.Replace("sixth\n");
  } catch (const RuntimeError&) {
  }
  file.Replace("seventh\n");
  EXPECT_EQ(dir.Read("figures.prom"), "seventh\n");
}

}  // namespace
}  // namespace quorlan
