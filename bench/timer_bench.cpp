// Lateness of the timer service's one-shot callbacks, side by side with a bare
// clock_nanosleep loop waiting for the same deadlines (the best a thread can do).
//
// Every millisecond one timer of each delay is requested, so timers of all delays overlap
// in the service's queue; the bare loop runs at the same time on the same schedule. Usage:
// bench_timer [rounds]   (default 1000 timers per delay)

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/timerservice.h"

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr UINT kDelaysMs[] = {1, 5, 20, 100};
constexpr size_t kDelayCount = std::size(kDelaysMs);
constexpr auto kRequestSpacing = std::chrono::milliseconds(1);

timespec ToTimespec(Clock::time_point at) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
  return {static_cast<time_t>(ns.count() / 1000000000), static_cast<long>(ns.count() % 1000000000)};
}

// steady_clock is CLOCK_MONOTONIC on Linux, so its time points are valid absolute deadlines.
void SleepUntil(Clock::time_point at) {
  const timespec deadline = ToTimespec(at);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
  }
}

// The same tuning the service thread asks for, so the bare loop is a fair limit.
void TuneLikeTheService() {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

struct Stats {
  double p50, p99, max;
};

Stats Summarise(std::vector<double> lateness) {
  std::sort(lateness.begin(), lateness.end());
  const auto at = [&](double q) {
    return lateness[std::min(lateness.size() - 1, static_cast<size_t>(q * lateness.size()))];
  };
  return {at(0.50), at(0.99), lateness.back()};
}

// Lateness in microseconds per delay.
using Lateness = std::vector<std::vector<double>>;

// Waits for the same deadlines as the service gets, each on time, from a thread of its own.
Lateness RunBareLoop(Clock::time_point start, size_t rounds) {
  struct Deadline {
    Clock::time_point at;
    size_t delay;
  };
  TuneLikeTheService();
  std::vector<Deadline> deadlines;
  for (size_t round = 0; round < rounds; ++round)
    for (size_t d = 0; d < kDelayCount; ++d)
      deadlines.push_back(
          {start + round * kRequestSpacing + std::chrono::milliseconds(kDelaysMs[d]), d});
  std::stable_sort(deadlines.begin(), deadlines.end(),
                   [](const Deadline& a, const Deadline& b) { return a.at < b.at; });
  Lateness lateness(kDelayCount);
  for (const Deadline& deadline : deadlines) {
    // Deadlines of several delays coincide; those already due cost no sleep call.
    if (Clock::now() < deadline.at) SleepUntil(deadline.at);
    lateness[deadline.delay].push_back(Micros(Clock::now() - deadline.at).count());
  }
  return lateness;
}

struct Shot {
  Clock::time_point due;
  std::atomic<Clock::rep> firedAt{0};
};

std::atomic<size_t> fired{0};

void RecordShot(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  reinterpret_cast<Shot*>(user)->firedAt = Clock::now().time_since_epoch().count();
  fired.fetch_add(1);
  fired.notify_one();
}

void Ignore(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Requests one timer of each delay at every round's start.
Lateness RunTimerService(Clock::time_point start, size_t rounds) {
  // Tuned too, so that the arming thread is not preempted between reading the clock and
  // handing the timer over, which would count as lateness.
  TuneLikeTheService();
  std::vector<Shot> shots(rounds * kDelayCount);
  for (size_t round = 0; round < rounds; ++round) {
    SleepUntil(start + round * kRequestSpacing);
    for (size_t d = 0; d < kDelayCount; ++d) {
      Shot& shot = shots[round * kDelayCount + d];
      shot.due = Clock::now() + std::chrono::milliseconds(kDelaysMs[d]);
      if (timeSetEvent(kDelaysMs[d], 1, &RecordShot, reinterpret_cast<DWORD_PTR>(&shot), 0) == 0) {
        std::fprintf(stderr, "timer refused\n");
        std::exit(1);
      }
    }
  }
  for (size_t now = fired.load(); now < shots.size(); now = fired.load()) fired.wait(now);

  Lateness lateness(kDelayCount);
  for (size_t i = 0; i < shots.size(); ++i) {
    const Clock::time_point firedAt{Clock::duration(shots[i].firedAt.load())};
    lateness[i % kDelayCount].push_back(Micros(firedAt - shots[i].due).count());
  }
  return lateness;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
  std::printf("one-shot timer lateness, %zu timers per delay, one of each delay every 1 ms\n",
              rounds);
  timeSetEvent(0, 1, &Ignore, 0, 0);  // starts the service thread before the clock runs

  // Both run at once, so they meet the same background load; the bare loop's deadlines lie
  // half a millisecond after the service's, so the two never compete for the same instant.
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(20);
  Lateness bare;
  std::thread bareLoop([&] { bare = RunBareLoop(start + std::chrono::microseconds(500), rounds); });
  const Lateness service = RunTimerService(start, rounds);
  bareLoop.join();

  std::printf("%8s | %28s | %28s | %s\n", "delay", "bare clock_nanosleep (us)", "timeSetEvent (us)",
              "p99 ratio");
  std::printf("%8s | %8s %9s %9s | %8s %9s %9s |\n", "", "p50", "p99", "max", "p50", "p99", "max");
  std::vector<double> allBare, allService;
  for (size_t d = 0; d < kDelayCount; ++d) {
    const Stats b = Summarise(bare[d]);
    const Stats s = Summarise(service[d]);
    std::printf("%5u ms | %8.1f %9.1f %9.1f | %8.1f %9.1f %9.1f | %5.2f\n", kDelaysMs[d], b.p50,
                b.p99, b.max, s.p50, s.p99, s.max, s.p99 / b.p99);
    allBare.insert(allBare.end(), bare[d].begin(), bare[d].end());
    allService.insert(allService.end(), service[d].begin(), service[d].end());
  }
  const Stats b = Summarise(allBare);
  const Stats s = Summarise(allService);
  std::printf("%8s | %8.1f %9.1f %9.1f | %8.1f %9.1f %9.1f | %5.2f\n", "all", b.p50, b.p99, b.max,
              s.p50, s.p99, s.max, s.p99 / b.p99);
  return 0;
}
