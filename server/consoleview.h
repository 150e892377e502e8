#pragma once

// What a server without a window shows: every monitor line, chat text and message on standard
// output, one line each, flushed at once so the system journal keeps them in order.

#include <cstdio>

#include "engine/engineobserver.h"

class TConsoleView final : public TEngineObserver {
 public:
  explicit TConsoleView(std::FILE* out) : out_(out) {}

  void MonitorLine(const std::string& line) override;
  void ChatShown(const std::string& text) override;
  void MessageShown(const std::string& text) override;

 private:
  // Each line of `text` on its own output line, after `prefix`.
  void Print(const char* prefix, const std::string& text);

  std::FILE* const out_;
};
