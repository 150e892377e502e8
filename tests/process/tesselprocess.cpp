#include "tests/process/tesselprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/testsystembus.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// The environment of this process with `overrides` set over it, on the offscreen platform
// unless a platform is chosen.
std::vector<std::string> ChildEnvironment(const TTesselProcess::TSettings& overrides) {
  std::vector<std::string> variables;
  const auto overridden = [&](const std::string& entry) {
    return std::any_of(overrides.begin(), overrides.end(), [&](const auto& variable) {
      return entry.rfind(variable.first + "=", 0) == 0;
    });
  };
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (!overridden(*entry)) variables.emplace_back(*entry);
  for (const auto& [name, value] : overrides) variables.push_back(name + "=" + value);
  const bool platformSet = std::any_of(variables.begin(), variables.end(), [](const auto& entry) {
    return entry.rfind("QT_QPA_PLATFORM=", 0) == 0;
  });
  if (!platformSet) variables.emplace_back("QT_QPA_PLATFORM=offscreen");
  return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

TTesselProcess::TTesselProcess(fs::path folder, TProgram program)
    : folder_(std::move(folder)), name_(program == TProgram::Window ? "tessel" : "tessel-server") {
  SetEnvironment("DBUS_SYSTEM_BUS_ADDRESS", TestSystemBus());
  fs::create_directories(folder_);
  fs::copy_file(program == TProgram::Window ? TESSEL_EXECUTABLE : TESSEL_SERVER_EXECUTABLE,
                folder_ / name_, fs::copy_options::overwrite_existing);
}

TTesselProcess::~TTesselProcess() { Kill(); }

std::string TTesselProcess::Log() const {
  std::ifstream file(LogFile());
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void TTesselProcess::WriteSettings(const TSettings& settings) const {
  std::ofstream file(SettingsFile(), std::ios::trunc);
  file << "[Settings]\n";
  for (const auto& [key, value] : settings) file << key << '=' << value << '\n';
  if (!file.flush()) throw std::runtime_error("cannot write " + SettingsFile().string());
}

void TTesselProcess::SetEnvironment(const std::string& name, const std::string& value) {
  std::erase_if(environment_, [&](const auto& variable) { return variable.first == name; });
  environment_.emplace_back(name, value);
}

void TTesselProcess::Start() {
  if (Running()) throw std::runtime_error(name_ + " in " + folder_.string() + " still runs");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = LogFile().string();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::string program = (folder_ / name_).string();
  std::vector<std::string> arguments = {program};
  std::vector<std::string> environment = ChildEnvironment(environment_);
  const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                                Pointers(arguments).data(), Pointers(environment).data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + program);
  }
  exitStatus_ = -1;
}

bool TTesselProcess::Reap(int options) {
  if (pid_ <= 0) return true;
  int status = 0;
  const pid_t reaped = ::waitpid(pid_, &status, options);
  if (reaped == 0) return false;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return true;
}

bool TTesselProcess::Running() { return !Reap(WNOHANG); }

void TTesselProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  Reap(0);
}

std::optional<int> TTesselProcess::Stop(std::chrono::milliseconds timeout) {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + timeout;
  while (Running()) {
    if (Clock::now() > deadline) {
      Kill();
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitStatus_;
}

long TTesselProcess::MemoryKiB(const char* field) const {
  if (pid_ <= 0) return 0;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  const std::string wanted = std::string(field) + ":";
  std::string name;
  long value = 0;
  while (status >> name) {
    if (name == wanted && status >> value) return value;
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool WaitUntilListening(uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const sockaddr_in address = LoopbackAddress(port);
  do {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (accepted) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < deadline);
  return false;
}

namespace {

int CountEstablished(uint16_t port) {
  // Lines: "sl local_address rem_address st ..." with addresses as HEXIP:HEXPORT.
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  char local[64];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  constexpr char kEstablished[] = "01";
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state;
    fields >> slot >> localAddress >> remoteAddress >> state;
    if (localAddress == local && state == kEstablished) ++count;
  }
  return count;
}

}  // namespace

int AcceptedConnections(uint16_t port) {
  // The kernel walks its table while connections come and go, so one read can miss or repeat
  // an entry; a count is trusted once two reads in a row agree.
  int previous = CountEstablished(port);
  for (;;) {
    const int count = CountEstablished(port);
    if (count == previous) return count;
    previous = count;
  }
}
