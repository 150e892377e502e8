#pragma once

#include <cstdlib>
#include <string>

// The D-Bus system bus the program under test may reach, and with it an mDNS daemon: the one
// of a network the test made itself (tests/discovery/mdns-netns.sh names it), otherwise a bus
// that is not there, so no test ever announces on this machine's own network.
inline std::string TestSystemBus() {
  const char* own = std::getenv("TESSEL_TEST_SYSTEM_BUS");
  return own && *own ? own : "unix:path=/nonexistent/tessel-test-system-bus";
}
