#pragma once

// Records the callbacks of the MIDI devices opened with it, for tests of the multimedia
// service. Callbacks arrive on the backend's thread; the test reads on its own.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/mmsystem.h"

class CallbackRecorder {
 public:
  struct Call {
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
    std::thread::id thread;
    std::vector<uint8_t> recorded;  // a returned buffer's bytes, copied on arrival
    MIDIINEVENT event{};            // an input event's record, copied on arrival
  };

  static void Callback(void*, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                       DWORD_PTR param2) {
    auto& self = *reinterpret_cast<CallbackRecorder*>(instance);
    Call call{message, param1, param2, std::this_thread::get_id(), {}, {}};
    if (message == MIM_DATA || message == MIM_LONGDATA || message == MIM_LONGERROR) {
      call.event = *reinterpret_cast<const MIDIINEVENT*>(param2);
    }
    if (message == MIM_LONGDATA) {
      const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
      call.recorded.assign(header->lpData, header->lpData + header->dwBytesRecorded);
    }
    std::lock_guard guard(self.lock_);
    self.calls_.push_back(std::move(call));
    self.changed_.notify_all();
  }

  DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

  bool WaitFor(size_t count, std::chrono::milliseconds patience = std::chrono::seconds(5)) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, patience, [&] { return calls_.size() >= count; });
  }

  std::vector<Call> Calls() {
    std::lock_guard guard(lock_);
    return calls_;
  }

  // The packed short messages (MIM_DATA) so far, in order.
  std::vector<DWORD_PTR> ShortMessages() {
    std::vector<DWORD_PTR> messages;
    for (const Call& call : Calls()) {
      if (call.message == MIM_DATA) messages.push_back(call.param1);
    }
    return messages;
  }

 private:
  std::mutex lock_;  // guards calls_
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

// One system-exclusive buffer of the caller's.
struct SysexBuffer {
  explicit SysexBuffer(size_t size) : data(size) {
    header.lpData = data.data();
    header.dwBufferLength = static_cast<DWORD>(size);
  }
  std::vector<char> data;
  MIDIHDR header{};
};

// A system-exclusive message of `length` bytes with varied data.
inline std::vector<uint8_t> SysexMessage(size_t length) {
  std::vector<uint8_t> message(length);
  for (size_t i = 1; i + 1 < length; ++i) message[i] = static_cast<uint8_t>((i * 7) % 128);
  message.front() = 0xF0;
  message.back() = 0xF7;
  return message;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

// Runs `step` again and again on a thread of its own, `pause` apart, until destroyed.
class RepeatInBackground {
 public:
  RepeatInBackground(std::function<void()> step, std::chrono::microseconds pause)
      : thread_([this, step = std::move(step), pause] {
          while (!stop_) {
            step();
            std::this_thread::sleep_for(pause);
          }
        }) {}
  ~RepeatInBackground() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// Counts the callbacks of one input and those that still come once it was closed. With
// `slow` set each callback takes a while, so that a close which does not wait for one shows.
struct CloseWatch {
  std::atomic<bool> slow = false;
  std::atomic<bool> inCallback = false;
  std::atomic<bool> closed = false;
  std::atomic<int> calls = 0;
  std::atomic<int> late = 0;

  static void Callback(void*, UINT, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    auto& watch = *reinterpret_cast<CloseWatch*>(instance);
    watch.inCallback = true;
    ++watch.calls;
    if (watch.closed) ++watch.late;
    if (watch.slow) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    watch.inCallback = false;
  }
};

// Opens input `deviceId` while something plays into it, waits for a callback and closes it,
// `rounds` times; each round's watch is freed at once, so a late callback would also touch
// freed memory. Then checks that closing waits for a callback under way.
inline void ExpectNoCallbackAfterClose(UINT deviceId, int rounds) {
  const auto open = [&](CloseWatch& watch) {
    HMIDIIN input = nullptr;
    EXPECT_EQ(midiInOpen(&input, deviceId, &CloseWatch::Callback,
                         reinterpret_cast<DWORD_PTR>(&watch), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    EXPECT_EQ(midiInStart(input), MMSYSERR_NOERROR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (watch.calls == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_GT(watch.calls, 0);
    return input;
  };
  int late = 0;
  for (int round = 0; round < rounds; ++round) {
    auto watch = std::make_unique<CloseWatch>();
    const HMIDIIN input = open(*watch);
    ASSERT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    watch->closed = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    late += watch->late;
  }
  EXPECT_EQ(late, 0);

  CloseWatch watch;
  const HMIDIIN input = open(watch);
  watch.slow = true;
  while (!watch.inCallback) std::this_thread::yield();
  ASSERT_EQ(midiInClose(input), MMSYSERR_NOERROR);
  EXPECT_FALSE(watch.inCallback);
}
