#include "tests/jack/ownjackserver.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

TOwnJackServer::TOwnJackServer(std::string name, std::string stateFolder)
    : name_(std::move(name)), state_(std::move(stateFolder)) {
  running_ = Fixture("start") == 0;
}

TOwnJackServer::~TOwnJackServer() { Fixture("stop"); }

bool TOwnJackServer::Alive() const {
  std::string pid;  // the fixture's script keeps it while the server runs
  if (!running_ || !(std::ifstream(state_ + "/jackd.pid") >> pid)) return false;
  // "<pid> (jackd) <state> ...": a server that died and was not reaped yet is a zombie.
  std::string ownPid, command;
  char state = 'Z';
  std::ifstream("/proc/" + pid + "/stat") >> ownPid >> command >> state;
  return state != 'Z' && state != 'X';
}

std::string TOwnJackServer::Log() const {
  std::stringstream text;
  text << std::ifstream(state_ + "/jackd.log").rdbuf();
  return text.str();
}

int TOwnJackServer::Fixture(const char* action) const {
  const std::string command = std::string(TESSEL_JACKD_FIXTURE) + " " + action + " " + name_ + " " +
                              state_ + " >/dev/null 2>&1";
  return std::system(command.c_str());
}

std::string OwnJackServerName(const std::string& suffix) {
  const char* shared = std::getenv("JACK_DEFAULT_SERVER");
  return std::string(shared != nullptr ? shared : "default") + "-" + suffix;
}
