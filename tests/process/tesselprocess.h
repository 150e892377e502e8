#pragma once

// The built program run as a user runs it: a copy of the executable in a folder of its own,
// beside its own settings file, as a separate process on the offscreen Qt platform. It
// inherits this process's environment (the JACK server the tests use among it).
//
// Not thread-safe: one test thread owns each object.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TTesselProcess {
 public:
  using TSettings = std::vector<std::pair<std::string, std::string>>;
  // The window program, or the server without a window.
  enum class TProgram { Window, Server };

  // Copies the program into `folder` (made when missing) under its own name, "tessel" or
  // "tessel-server".
  explicit TTesselProcess(std::filesystem::path folder, TProgram program = TProgram::Window);
  // Kills the process if it still runs.
  ~TTesselProcess();
  TTesselProcess(const TTesselProcess&) = delete;
  TTesselProcess& operator=(const TTesselProcess&) = delete;

  const std::filesystem::path& Folder() const { return folder_; }
  std::filesystem::path SettingsFile() const { return folder_ / (name_ + ".INI"); }
  // Standard output and error of every run, appended.
  std::filesystem::path LogFile() const { return folder_ / "output.log"; }
  std::string Log() const;

  // Replaces the settings file with one [Settings] section of these keys, in this order.
  void WriteSettings(const TSettings& settings) const;

  // Sets a variable of the environment of the runs that start from now on.
  void SetEnvironment(const std::string& name, const std::string& value);

  // Throws std::runtime_error when the process cannot be started or one still runs.
  void Start();
  bool Running();
  pid_t Pid() const { return pid_; }
  // SIGKILL, then reaps it.
  void Kill();
  // SIGTERM, as a user closing the window; the exit status, or nothing when it did not end
  // within `timeout` (it is killed then).
  std::optional<int> Stop(std::chrono::milliseconds timeout);

  // A "Vm..." figure of /proc/<pid>/status in KiB ("VmRSS", "VmHWM" for the peak); 0 when the
  // process does not run.
  long MemoryKiB(const char* field) const;

 private:
  bool Reap(int options);

  std::filesystem::path folder_;
  std::string name_;  // the executable's name in the folder
  TSettings environment_;  // set over this process's own
  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

// A TCP port on 127.0.0.1 that nothing listens on now.
uint16_t FreeLoopbackPort();
// True once something accepts connections on 127.0.0.1:`port`, tried every 20 ms.
bool WaitUntilListening(uint16_t port, std::chrono::milliseconds timeout);
// Connections accepted on 127.0.0.1:`port` by this machine's listeners, from /proc/net/tcp.
int AcceptedConnections(uint16_t port);
