#include "process/process.h"

#include <gtest/gtest.h>

#include <csignal>

#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

TEST(RunProcess, CapturesBothStreamsApartWhileTheChildFillsThemInTurnAndReportsHowItEnded) {
  const char* fill =
      "for i in $(seq 10); do head -c 100000 /dev/zero | tr '\\0' o;"
      " head -c 100000 /dev/zero | tr '\\0' e >&2; done; exit 7";
  const ProcessResult result = run_process({"sh", "-c", fill}, {}).value();
  EXPECT_TRUE(result.exited && result.exit_code == 7 && !result.success());
  EXPECT_TRUE(result.out == std::string(1'000'000, 'o') &&
              result.err == std::string(1'000'000, 'e'));
  ::signal(SIGPIPE, SIG_IGN);  // as the program does; a child must not inherit that
  const ProcessResult killed = run_process({"sh", "-c", "echo partial; kill -PIPE $$"}, {}).value();
  ::signal(SIGPIPE, SIG_DFL);
  EXPECT_TRUE(!killed.exited && killed.signal == SIGPIPE && killed.out == "partial\n");
}

TEST(RunProcess, PassesArgumentsEnvironmentDirectoryAndNothingElseOrSaysWhyItCouldNotStart) {
  const testing::ScratchDir dir;
  ::setenv("TARN_UNIT_PROBE", "inherited", 1);
  testing::write_file(dir / "typed", "typed");
  ASSERT_TRUE(std::freopen((dir / "typed").c_str(), "r", stdin));  // not the child's input
  const char* print = R"sh(printf '%s|' "$TARN_UNIT_PROBE" "$(pwd -P)" "$@" $(cat))sh";
  EXPECT_EQ(run_process({"sh", "-c", print, "sh", "a b", "$HOME", "", "\\"}, dir.path)->out,
            "inherited|" + dir.path.string() + "|a b|$HOME||\\|");
  EXPECT_EQ(run_process({"ls", "/proc/self/fd"}, {})->out, "0\n1\n2\n3\n");  // 3: the one ls opens
  testing::write_file(dir / "plain", "#!/bin/sh\n");
  EXPECT_EQ(run_process({(dir / "plain").string()}, {}).error(), "Permission denied");
  EXPECT_EQ(run_process({"true"}, dir / "plain").error(), "Not a directory");
}

}  // namespace
}  // namespace tarn
