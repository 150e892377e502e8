#pragma once

#include <cstdint>
#include <optional>

// When a client link that the program keeps comes back: after 1 s the first time, then every
// 2 s, until it stands again. Pure: it is told the time and what happened to the link.
class TReconnectPolicy {
 public:
  enum class TState : uint8_t {
    Off,         // the user is in charge: nothing is retried
    Connecting,  // a link the program keeps is being opened
    Up,          // that link stands
    Waiting,     // it failed or dropped; the next try is due at Due()
  };

  static constexpr uint32_t kFirstDelayMs = 1000;
  static constexpr uint32_t kDelayMs = 2000;

  TState State() const { return FState; }
  uint32_t Due() const { return FDue; }
  unsigned Tries() const { return FTries; }

  // The program opens the link and keeps it: at start-up, on Apply, or when the user
  // connects a client whose settings ask for that.
  void Keep();
  // The user connected or disconnected by hand: no retrying on their behalf.
  void Stop();
  // The link stands. Returns how many tries it took (0 when the first open stood).
  unsigned LinkUp();
  // The link failed to come up or dropped. Returns the delay to the next try, or nothing
  // when the link is not the program's to keep.
  std::optional<uint32_t> LinkLost(uint32_t now);
  // At `now`: the number of the try to make now, if one is due.
  std::optional<unsigned> TryDue(uint32_t now);

 private:
  TState FState = TState::Off;
  uint32_t FDue = 0;
  unsigned FTries = 0;  // tries since the link last stood
};
