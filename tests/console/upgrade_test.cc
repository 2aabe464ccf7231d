// upgrade as the Debian package's README tells it: the built console brings the installation's
// copy of the service executable to its own version, never under a running service.
#include <gmock/gmock.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "components/platform/platform.h"
#include "console_fixture.h"
#include "support/process.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;

class UpgradeTest : public testing::ConsoleFixture {};

TEST_F(UpgradeTest, ReplacesTheServiceExecutableOnlyWhenTheServiceIsStopped) {
  dir_.Write("quorlan-trend", "an earlier build\n");
  const std::string upgrade =
      testing::BuiltExecutable("quorlan-trendctl") + " upgrade " + dir_.path();
  {
    InstanceLock service;  // what the running service holds
    ASSERT_TRUE(service.Acquire(dir_.path()));
    const testing::ProcessResult r = testing::RunCommand(dir_.path(), upgrade);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("is running; stop it first"));
    EXPECT_EQ(dir_.Read("quorlan-trend"), "an earlier build\n");
  }
  const testing::ProcessResult r = testing::RunCommand(dir_.path(), upgrade);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out,
              HasSubstr("Service executable: " + dir_.File("quorlan-trend") + " replaced by"));
  const std::string built = testing::BuiltExecutable("quorlan-trend");
  std::ifstream in(built, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_TRUE(dir_.Read("quorlan-trend") == bytes.str()) << "not the built service executable";
  EXPECT_EQ(access(dir_.File("quorlan-trend").c_str(), X_OK), 0);
  EXPECT_FALSE(FileExists(dir_.File("quorlan-trend.upgrade")));
}

}  // namespace
}  // namespace quorlan
