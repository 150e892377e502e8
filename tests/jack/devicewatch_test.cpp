// The device lists follow a JACK client that comes and goes, told by the backend's watch.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "midi/midibackend.h"
#include "midi/mmsystem.h"
#include "tests/jack/jackpeer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Listed(const std::string& port, bool input) {
  const std::string name = mmsystem::FitProductName(port);
  const UINT count = input ? midiInGetNumDevs() : midiOutGetNumDevs();
  for (UINT id = 0; id < count; ++id) {
    MIDIINCAPSA inCaps{};
    MIDIOUTCAPSA outCaps{};
    const MMRESULT result = input ? midiInGetDevCapsA(id, &inCaps, sizeof inCaps)
                                  : midiOutGetDevCapsA(id, &outCaps, sizeof outCaps);
    if (result == MMSYSERR_NOERROR && name == (input ? inCaps.szPname : outCaps.szPname))
      return true;
  }
  return false;
}

// Counts the watch's news and lets the test wait for the next one.
class TNews {
 public:
  void Arrived() {
    std::lock_guard guard(lock_);
    ++count_;
    arrived_.notify_all();
  }
  int Count() {
    std::lock_guard guard(lock_);
    return count_;
  }
  // Waits for news after the `seen` first ones, then checks `done`; until `done` holds.
  bool WaitUntil(int seen, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + 5s;
    std::unique_lock guard(lock_);
    while (true) {
      if (!arrived_.wait_until(guard, deadline, [&] { return count_ > seen; })) return false;
      seen = count_;
      guard.unlock();
      const bool finished = done();
      guard.lock();
      if (finished) return true;
    }
  }

 private:
  std::mutex lock_;  // guards count_: the watch runs on libjack's notification thread
  std::condition_variable arrived_;
  int count_ = 0;
};

TEST(JackDeviceWatchTest, ListsFollowAClientThatComesAndGoes) {
  std::string why;
  if (!TJackPeer::ServerRunning(&why)) GTEST_SKIP() << why;
  ASSERT_EQ(mmsystem::ActiveMidiSystem(), mmsystem::MidiSystem::Jack);
  TNews news;
  mmsystem::WatchMidiDevices([&news] { news.Arrived(); });
  const auto visitorListed = [] {
    return Listed("Visitor:out", true) && Listed("Visitor:in", false);
  };
  const auto visitorGone = [] {
    return !Listed("Visitor:out", true) && !Listed("Visitor:in", false);
  };
  ASSERT_TRUE(visitorGone());

  const auto start = Clock::now();
  int seen = news.Count();
  auto visitor = std::make_unique<TJackPeer>("Visitor");
  EXPECT_TRUE(news.WaitUntil(seen, visitorListed));
  std::printf(
      "listed %lld ms after the client came\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
  seen = news.Count();
  visitor.reset();
  EXPECT_TRUE(news.WaitUntil(seen, visitorGone));
  mmsystem::WatchMidiDevices(nullptr);
}

}  // namespace
