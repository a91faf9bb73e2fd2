#include "process/process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include "unit/support/stand_in_dbt.h"
#include "util/interrupt.h"

namespace tarn {
namespace {

using testing::ScopedEnv;
using testing::ScratchDir;
using testing::write_file;
using testing::write_script;

ProcessResult run_ok(const std::vector<std::string>& argv, const std::filesystem::path& dir = {}) {
  auto result = run_process(argv, dir);
  EXPECT_TRUE(result.has_value()) << result.error();
  return result.value_or(ProcessResult{});
}

TEST(RunProcess, CapturesLargeInterleavedOutputOnBothStreams) {
  // 120 rounds of 100 KB per stream: far beyond any pipe buffer, with each
  // stream filling up while the other is being written.
  const std::string script =
      "i=0; while [ $i -lt 120 ]; do "
      "head -c 100000 /dev/zero | tr '\\0' o; head -c 100000 /dev/zero | tr '\\0' e >&2; "
      "i=$((i+1)); done; exit 7";
  ProcessResult result = run_ok({"sh", "-c", script});
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, 7);
  EXPECT_FALSE(result.success());
  ASSERT_EQ(result.out.size(), 12'000'000u);
  ASSERT_EQ(result.err.size(), 12'000'000u);
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), 'o'), 12'000'000);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), 'e'), 12'000'000);
}

TEST(RunProcess, ReportsExitCodeAndKeepsStreamsApart) {
  ProcessResult result = run_ok({"sh", "-c", "printf 'to out'; printf 'to err' >&2; exit 3"});
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.out, "to out");
  EXPECT_EQ(result.err, "to err");

  ProcessResult ok = run_ok({"true"});
  EXPECT_TRUE(ok.success());
  EXPECT_EQ(ok.out, "");
  EXPECT_EQ(ok.err, "");
}

TEST(RunProcess, ReportsTheSignalThatEndedTheChild) {
  ProcessResult result = run_ok({"sh", "-c", "echo partial; kill -KILL $$"});
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_FALSE(result.success());
  EXPECT_EQ(result.out, "partial\n");
}

TEST(RunProcess, ChildStartsWithDefaultDispositionsAndNothingBlocked) {
  // The program ignores SIGPIPE; a child must not inherit that, nor a mask.
  struct sigaction ignore = {}, old_pipe = {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old_pipe);
  sigset_t term, old_mask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &term, &old_mask);

  ProcessResult piped = run_ok({"sh", "-c", "kill -PIPE $$; exit 0"});
  ProcessResult terminated = run_ok({"sh", "-c", "kill -TERM $$; exit 0"});

  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &old_pipe, nullptr);
  EXPECT_FALSE(piped.exited);
  EXPECT_EQ(piped.signal, SIGPIPE);
  EXPECT_FALSE(terminated.exited);
  EXPECT_EQ(terminated.signal, SIGTERM);
}

TEST(RunProcess, StandardInputIsEmpty) {
  auto started = std::chrono::steady_clock::now();
  ProcessResult result = run_ok({"cat"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(result.success());
  EXPECT_EQ(result.out, "");
}

TEST(RunProcess, RunsInTheGivenWorkingDirectoryOnly) {
  ScratchDir dir;
  const auto before = std::filesystem::current_path();
  ProcessResult result = run_ok({"pwd", "-P"}, dir.path());
  EXPECT_EQ(result.out, dir.path().string() + "\n");
  EXPECT_EQ(std::filesystem::current_path(), before);

  ProcessResult here = run_ok({"pwd", "-P"}, {});
  EXPECT_EQ(here.out, std::filesystem::canonical(before).string() + "\n");
}

TEST(RunProcess, PassesArgumentsVerbatimWithoutAShell) {
  ProcessResult result =
      run_ok({"printf", "%s|", "two words", "$HOME", "*", "'quoted'", "", "a\\b"});
  EXPECT_EQ(result.out, "two words|$HOME|*|'quoted'||a\\b|");
}

TEST(RunProcess, FindsTheProgramOnTheSearchPath) {
  ScratchDir dir;
  write_script(dir / "tarn-test-tool", "echo found \"$@\"");
  ScopedEnv path("PATH", dir.path().string() + ":" + std::getenv("PATH"));
  EXPECT_EQ(run_ok({"tarn-test-tool", "x"}).out, "found x\n");
}

TEST(RunProcess, InheritsTheEnvironment) {
  ScopedEnv variable("TARN_UNIT_PROBE", "inherited value");
  EXPECT_EQ(run_ok({"sh", "-c", "printf '%s' \"$TARN_UNIT_PROBE\""}).out, "inherited value");
}

TEST(RunProcess, FailsToStartWithTheSystemsErrorText) {
  ScratchDir dir;
  EXPECT_EQ(run_process({"tarn-no-such-program-anywhere"}, {}).error(),
            "No such file or directory");
  write_file(dir / "not-executable", "#!/bin/sh\necho hi\n");
  EXPECT_EQ(run_process({(dir / "not-executable").string()}, {}).error(), "Permission denied");
  EXPECT_EQ(run_process({"true"}, dir / "missing").error(), "No such file or directory");
  write_file(dir / "plain-file", "");
  EXPECT_EQ(run_process({"true"}, dir / "plain-file").error(), "Not a directory");
}

TEST(RunProcess, DoesNotLeakItsPipesIntoLaterChildren) {
  // Only the three standard descriptors are open in a child.
  ProcessResult result = run_ok({"sh", "-c", "ls /proc/self/fd"});
  EXPECT_EQ(result.out, "0\n1\n2\n3\n");  // 3 is the directory ls is listing
}

// Runs `body` in a forked copy of this process, so that the handlers and the
// recorded interruption do not outlive the test; the body's return value is
// the copy's exit status.
int in_subprocess(int (*body)()) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(Interrupt, IsRecordedAndPassedOnToTheRunningChild) {
  int status = in_subprocess([] {
    install_interrupt_handlers();
    if (pending_interrupt()) {
      return 1;
    }
    std::thread sender([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      ::kill(::getpid(), SIGINT);
    });
    auto started = std::chrono::steady_clock::now();
    auto result = run_process({"sleep", "5"}, {});
    auto elapsed = std::chrono::steady_clock::now() - started;
    sender.join();
    if (!result || result->exited || result->signal != SIGINT) {
      return 2;
    }
    if (elapsed > std::chrono::seconds(3)) {
      return 3;
    }
    if (pending_interrupt() != SIGINT) {
      return 4;
    }
    // Later signals neither replace the first nor reach a finished child.
    ::kill(::getpid(), SIGTERM);
    auto after = run_process({"true"}, {});
    if (pending_interrupt() != SIGINT || !after || !after->success()) {
      return 5;
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST(Interrupt, NothingIsPendingWithoutASignal) {
  EXPECT_EQ(pending_interrupt(), std::nullopt);
}

}  // namespace
}  // namespace tarn
