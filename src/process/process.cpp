#include "process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <utility>

#include "util/fd.h"
#include "util/interrupt.h"
#include "util/text.h"

extern char** environ;

namespace tarn {
namespace {

struct Pipe {
  /// Close-on-exec, so that no other child inherits either end; the error
  /// number, or 0.
  int open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return errno;
    }
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return 0;
  }

  UniqueFd read_end;
  UniqueFd write_end;
};

/// The interrupting signals stay blocked while a child is being started and
/// registered, so that an interruption in between is passed on, not lost.
class InterruptsBlocked {
 public:
  InterruptsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;
  ~InterruptsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

/// What the child starts with besides its argument vector: default signal
/// dispositions (the program ignores SIGPIPE and SIGXFSZ), nothing blocked,
/// empty standard input, the two pipes as its output streams and no other
/// descriptor.
struct SpawnSetup {
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
  }

  /// The first failure's error number, or 0.
  int prepare(const std::filesystem::path& working_dir) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&defaults, signal);
    }
    sigset_t nothing;
    sigemptyset(&nothing);
    const int results[] = {
        out.open(),
        err.open(),
        ::posix_spawnattr_setsigdefault(&attributes, &defaults),
        ::posix_spawnattr_setsigmask(&attributes, &nothing),
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK),
        ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
        ::posix_spawn_file_actions_adddup2(&actions, out.write_end.get(), STDOUT_FILENO),
        ::posix_spawn_file_actions_adddup2(&actions, err.write_end.get(), STDERR_FILENO),
        ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1),
        working_dir.empty()
            ? 0
            : ::posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str())};
    const auto failed = std::ranges::find_if(results, [](int result) { return result != 0; });
    return failed == std::end(results) ? 0 : *failed;
  }

  Pipe out;
  Pipe err;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

/// Reads both streams until both end, whichever the child writes first, so
/// that a full pipe never stalls it.
void drain(UniqueFd& out_fd, UniqueFd& err_fd, std::string& out, std::string& err) {
  char buffer[65536];
  while (out_fd.is_open() || err_fd.is_open()) {
    pollfd fds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    std::pair<UniqueFd*, std::string*> streams[2] = {{&out_fd, &out}, {&err_fd, &err}};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        streams[i].second->append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        streams[i].first->reset();
      }
    }
  }
}

/// Waits for the child without reaping it first, so that its pid cannot be
/// reused while an interruption may still be passed on to it.
int wait_for(pid_t pid) {
  siginfo_t info = {};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  int status = 0;
  {
    InterruptsBlocked blocked;
    set_foreground_child(0);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return status;
}

}  // namespace

std::expected<ProcessResult, std::string> run_process(const std::vector<std::string>& argv,
                                                      const std::filesystem::path& working_dir) {
  if (argv.empty()) {
    return std::unexpected(system_error_text(ENOENT));
  }
  SpawnSetup setup;
  if (int error = setup.prepare(working_dir); error != 0) {
    return std::unexpected(system_error_text(error));
  }
  std::vector<char*> args(argv.size() + 1, nullptr);
  std::ranges::transform(argv, args.begin(),
                         [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });

  pid_t pid = 0;
  {
    InterruptsBlocked blocked;
    // Reports a failed chdir or exec in the child as its result.
    int error =
        ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
    if (error != 0) {
      return std::unexpected(system_error_text(error));
    }
    set_foreground_child(pid);
  }
  setup.out.write_end.reset();
  setup.err.write_end.reset();

  ProcessResult result;
  drain(setup.out.read_end, setup.err.read_end, result.out, result.err);
  const int status = wait_for(pid);
  result.exited = WIFEXITED(status);
  result.exit_code = result.exited ? WEXITSTATUS(status) : 0;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace tarn
