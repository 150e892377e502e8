#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// One sockets error code with the message shown to the user.
struct TSocketErrorInfo {
  int32_t Code;
  std::string_view Text;
};

// Every known sockets error, in ascending code order.
extern const std::array<TSocketErrorInfo, 95> SocketErrors;

// The message for a sockets error code, or the code in decimal when it has none.
std::string WinSockErrorText(int32_t code);
