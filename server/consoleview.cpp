#include "server/consoleview.h"

void TConsoleView::MonitorLine(const std::string& line) { Print("", line); }

void TConsoleView::ChatShown(const std::string& text) { Print("Chat : ", text); }

void TConsoleView::MessageShown(const std::string& text) { Print("** ** ** ", text); }

void TConsoleView::Print(const char* prefix, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) std::fprintf(out_, "%s%.*s\n", prefix, static_cast<int>(end - start), text.data() + start);
    start = end + 1;
  }
  std::fflush(out_);
}
