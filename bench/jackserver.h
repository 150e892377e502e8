#pragma once

// A jackd of a benchmark's own (dummy driver, no realtime scheduling), stopped when the
// object goes, so a measurement never shares a server with anything else.
//
// `sync`: every cycle waits for every client. Without it (as users usually run JACK) a client
// that misses its cycle on a loaded machine has its port read twice or skipped, which shows
// as doubled and lost messages rather than as time.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

extern char** environ;

class TJackServer {
 public:
  TJackServer(std::string name, int sampleRate, int periodFrames, bool sync)
      : name_(std::move(name)), sampleRate_(sampleRate), periodFrames_(periodFrames), sync_(sync) {}
  ~TJackServer() {
    if (pid_ == 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  TJackServer(const TJackServer&) = delete;
  TJackServer& operator=(const TJackServer&) = delete;

  const std::string& Name() const { return name_; }
  double PeriodMs() const { return 1000.0 * periodFrames_ / sampleRate_; }

  // False, with the reason, when the server does not answer within 10 s.
  bool Start(std::string& why) {
    std::vector<std::string> command = {"jackd", "--no-realtime", "-n", name_, "-t", "5000"};
    if (sync_) command.emplace_back("--sync");
    command.insert(command.end(), {"-d", "dummy", "-r", std::to_string(sampleRate_), "-p",
                                   std::to_string(periodFrames_)});
    pid_ = Spawn(command);
    if (pid_ == 0) {
      why = "jackd could not be run";
      return false;
    }
    // jack_wait rather than polling from here: a failed client open can upset libjack.
    const pid_t waiter = Spawn({"jack_wait", "-s", name_, "-w", "-t", "10"});
    int status = 0;
    if (waiter == 0 || waitpid(waiter, &status, 0) != waiter || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      why = "jackd did not answer within 10 s";
      return false;
    }
    return true;
  }

  // Changes the period of the running server, as a user does with jack_bufsize; false when
  // the server refused.
  bool Resize(int periodFrames) {
    const pid_t resizer = Spawn({"jack_bufsize", std::to_string(periodFrames)});
    int status = 0;
    if (resizer == 0 || waitpid(resizer, &status, 0) != resizer || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      return false;
    periodFrames_ = periodFrames;
    return true;
  }

 private:
  static pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? 0 : pid;
  }

  const std::string name_;
  const int sampleRate_;
  int periodFrames_;
  const bool sync_;
  pid_t pid_ = 0;
};
