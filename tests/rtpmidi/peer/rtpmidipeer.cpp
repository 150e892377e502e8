#include "tests/rtpmidi/peer/rtpmidipeer.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// This process's environment with Node looking for modules in the build folder.
std::vector<std::string> PeerEnvironment() {
  const std::string modulePath = "NODE_PATH=";
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::string(*entry).rfind(modulePath, 0) != 0) variables.emplace_back(*entry);
  variables.push_back(modulePath + TESSEL_RTPMIDI_PEER_MODULES);
  return variables;
}

TPeerMidi ParseMidi(const std::string& report) {
  TPeerMidi midi;
  std::istringstream fields(report);
  fields >> midi.Ms;
  unsigned byte = 0;
  while (fields >> std::hex >> byte) midi.Bytes.push_back(static_cast<uint8_t>(byte));
  return midi;
}

}  // namespace

std::string TRtpMidiPeer::Unavailable() {
  if (std::string(TESSEL_NODE_EXECUTABLE).empty())
    return "node or npm was not found when the build was configured";
  if (!std::filesystem::exists(std::filesystem::path(TESSEL_RTPMIDI_PEER_MODULES) / "rtpmidi"))
    return "npm could not install the rtpmidi package into the build folder";
  return {};
}

TRtpMidiPeer::TRtpMidiPeer(const std::string& name, uint16_t port) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    throw std::runtime_error("no socket pair for the rtpmidi peer");
  std::vector<std::string> arguments = {
      TESSEL_NODE_EXECUTABLE, TESSEL_RTPMIDI_PEER, "--name", name, "--port", std::to_string(port)};
  std::vector<std::string> environment = PeerEnvironment();
  std::vector<char*> argumentPointers = Pointers(arguments);
  std::vector<char*> environmentPointers = Pointers(environment);
  pid_ = ::fork();
  if (pid_ == 0) {
    // A peer left behind by a test that crashed would hold the test runner's output open.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(ends[1], STDIN_FILENO);
    ::dup2(ends[1], STDOUT_FILENO);
    ::execve(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
    ::_exit(127);
  }
  ::close(ends[1]);
  channel_ = ends[0];
  if (pid_ < 0) {
    ::close(channel_);
    throw std::runtime_error("cannot start the rtpmidi peer");
  }
  const std::optional<std::string> ready = WaitFor("ready", 10s);
  if (!ready) {
    Kill();
    throw std::runtime_error("the rtpmidi peer " + name + " did not get ready");
  }
  port_ = static_cast<uint16_t>(std::stoi(*ready));
}

TRtpMidiPeer::~TRtpMidiPeer() { Kill(); }

void TRtpMidiPeer::Kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  ::close(channel_);
  channel_ = -1;
}

void TRtpMidiPeer::Invite(uint16_t controlPort, const std::string& host) {
  Command("invite " + host + " " + std::to_string(controlPort));
}

void TRtpMidiPeer::Send(const std::vector<uint8_t>& message) {
  std::string line = "send";
  char hex[4];
  for (uint8_t byte : message) {
    std::snprintf(hex, sizeof hex, " %02x", byte);
    line += hex;
  }
  Command(line);
}

void TRtpMidiPeer::End() { Command("end"); }

void TRtpMidiPeer::Command(const std::string& line) {
  const std::string text = line + "\n";
  // A peer that has ended must fail the test, not end it with SIGPIPE.
  if (::send(channel_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("the rtpmidi peer did not take: " + line);
}

template <class Predicate>
bool TRtpMidiPeer::ReadUntil(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return false;
    // Short waits, so that an exit is seen while the output stays open.
    const int wait = static_cast<int>(std::min(left, 20ms).count());
    if (outputEnded_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
      continue;
    }
    pollfd readable{channel_, POLLIN, 0};
    if (::poll(&readable, 1, wait) <= 0) continue;
    char buffer[4096];
    const ssize_t count = ::read(channel_, buffer, sizeof buffer);
    if (count <= 0) {
      outputEnded_ = true;
      continue;
    }
    partialLine_.append(buffer, static_cast<size_t>(count));
    for (size_t end; (end = partialLine_.find('\n')) != std::string::npos;) {
      TakeReport(partialLine_.substr(0, end));
      partialLine_.erase(0, end + 1);
    }
  }
  return true;
}

void TRtpMidiPeer::TakeReport(const std::string& line) {
  const std::string midi = "midi ";
  if (line.rfind(midi, 0) == 0)
    received_.push_back(ParseMidi(line.substr(midi.size())));
  else
    reports_.push_back(line);
}

std::optional<std::string> TRtpMidiPeer::WaitFor(const std::string& event,
                                                 std::chrono::milliseconds timeout) {
  const auto matches = [&](const std::string& report) { return report.rfind(event + " ", 0) == 0; };
  std::optional<std::string> rest;
  ReadUntil(
      [&] {
        const auto found = std::find_if(reports_.begin(), reports_.end(), matches);
        if (found == reports_.end()) return false;
        rest = found->substr(event.size() + 1);
        reports_.erase(found);
        return true;
      },
      timeout);
  return rest;
}

bool TRtpMidiPeer::WaitForMidi(size_t count, std::chrono::milliseconds timeout) {
  return ReadUntil([&] { return received_.size() >= count; }, timeout);
}

bool TRtpMidiPeer::Reaped() {
  if (pid_ <= 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return true;
}

std::optional<int> TRtpMidiPeer::WaitForExit(std::chrono::milliseconds timeout) {
  // Reading on keeps its last reports and keeps it from blocking on a full channel.
  if (!ReadUntil([&] { return Reaped(); }, timeout)) return std::nullopt;
  return exitStatus_;
}
