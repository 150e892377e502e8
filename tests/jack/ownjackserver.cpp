#include "tests/jack/ownjackserver.h"

#include <cstdlib>
#include <utility>

TOwnJackServer::TOwnJackServer(std::string name, std::string stateFolder, bool async)
    : name_(std::move(name)), state_(std::move(stateFolder)), async_(async) {
  running_ = Fixture("start") == 0;
}

TOwnJackServer::~TOwnJackServer() { Fixture("stop"); }

int TOwnJackServer::Fixture(const char* action) const {
  const std::string command = std::string(TESSEL_JACKD_FIXTURE) + " " + action + " " + name_ + " " +
                              state_ + " >/dev/null 2>&1";
  return std::system(command.c_str());
}

std::string OwnJackServerName(const std::string& suffix) {
  const char* shared = std::getenv("JACK_DEFAULT_SERVER");
  return std::string(shared != nullptr ? shared : "default") + "-" + suffix;
}
