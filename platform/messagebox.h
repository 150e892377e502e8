#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

// The beep type the terminal's BEL asks for.
constexpr uint32_t MB_ICONASTERISK = 0x40;

// One modal box: a plain message, or the standard error box for an exception.
enum class TMessageBoxKind { Message, Error };

struct TMessageBox {
  TMessageBoxKind Kind;
  std::string Caption;
  std::string Text;
};

// Whatever shows the modal boxes. Tests install a recorder so nothing ever blocks on a box.
// Hooks are set and called on the GUI thread; an empty hook restores the default (a Qt box,
// or standard error when there is no QApplication). Each setter returns the hook it replaced.
using TMessageBoxHook = std::function<void(const TMessageBox&)>;
TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook);

using TBeepHook = std::function<void(uint32_t type)>;
TBeepHook SetBeepHook(TBeepHook hook);

// A plain modal message with the application's name as caption. From another thread the box
// is queued to the GUI thread and the call returns at once.
void ShowMessage(const std::string& text);

// The standard error box: the exception's text for a std::exception, a fixed text otherwise.
void ShowException(std::exception_ptr error);

// The platform beep; `type` is accepted for its meaning only, every type sounds the same.
void MessageBeep(uint32_t type);
