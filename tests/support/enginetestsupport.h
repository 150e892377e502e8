#pragma once

// What the engine tests put in place of the system's clock and of the window.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engineclock.h"
#include "engine/engineobserver.h"

// Time that passes only when the test says.
class TFakeClock final : public TEngineClock {
 public:
  uint32_t Now() const override { return now_; }
  void WakeIn(uint32_t ms, std::function<void()> wake) override {
    due_ = now_ + ms;
    wake_ = std::move(wake);
  }
  // Moves the time on, waking the engine when its wake-up falls due.
  void Advance(uint32_t ms) {
    now_ += ms;
    if (wake_ && now_ >= due_) std::exchange(wake_, nullptr)();
  }

 private:
  uint32_t now_ = 100000;
  uint32_t due_ = 0;
  std::function<void()> wake_;
};

// What an engine tells, as far as the tests look.
class TRecordingView final : public TEngineObserver {
 public:
  void ChatShown(const std::string& text) override { Chat.push_back(text); }
  void MessageShown(const std::string& text) override { Messages.push_back(text); }
  void AdmissionQuestionChanged() override { ++QuestionChanges; }
  std::vector<std::string> Chat;
  std::vector<std::string> Messages;
  int QuestionChanges = 0;
};
