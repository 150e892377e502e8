#pragma once

// A JACK server of a test's own, started and stopped by the "jackd" fixture's script, for
// tests whose copies may leave a server unable to run its graph (a copy killed with SIGKILL),
// so the shared server never suffers it.

#include <string>

class TOwnJackServer {
 public:
  // Always give the same name: JACK reclaims the registry slot of a killed server of that
  // name, and a killed server of any other name would hold its slot for good. The server
  // waits for every client in each cycle (jackd --sync).
  TOwnJackServer(std::string name, std::string stateFolder);
  ~TOwnJackServer();
  TOwnJackServer(const TOwnJackServer&) = delete;
  TOwnJackServer& operator=(const TOwnJackServer&) = delete;

  const std::string& Name() const { return name_; }
  bool Running() const { return running_; }
  // True while the server started here still runs: it may have died since.
  bool Alive() const;
  // What the server wrote to its standard output and error.
  std::string Log() const;

 private:
  int Fixture(const char* action) const;

  std::string name_;
  std::string state_;
  bool running_ = false;
};

// The shared test server's name with `suffix`, for a server of a test's own.
std::string OwnJackServerName(const std::string& suffix);
