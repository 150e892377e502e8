#pragma once

// The settings of one running copy and their file. The values live here once; the engine
// hands them to the parts that act on them.

#include <cstdint>
#include <string>

#include "admission/policy.h"

// Where the window stood; kept in the file for the window, carried unchanged by a copy
// without one.
struct TWindowBounds {
  int Left = 33;
  int Top = 171;
  int Width = 476;
  int Height = 558;
};

struct TSettings {
  int32_t Port = 0;
  bool IsServer = false;
  std::string ServerName;
  std::string YourName;
  bool AutoStart = false;
  bool DisableNagle = true;
  bool Monitoring = false;
  uint32_t BufferTime = 1000;
  bool AutoBufferTime = false;
  uint32_t BufferResolution = 5;
  std::string MidiIn;
  std::string MidiOut;
  TWindowBounds Window;
  // Who may connect to this copy as a server, and whom it always lets in.
  TWhoMayConnect WhoMayConnect = TWhoMayConnect::Anyone;
  std::string AllowedPeers;
  // As a server: the key derived from its session password ("" for none). As a client: the
  // key derived from the password it gave, under the salt of the server that asked for it.
  std::string PasswordKey;
  std::string ServerPasswordKey;
  // As a server: an RTP-MIDI session beside the TCP port, for network MIDI that is not Tessel.
  bool RtpMidi = true;
};

// The values in the file; a key that is missing or unreadable keeps its value in `current`.
TSettings ReadSettingsFile(const std::string& path, const TSettings& current);
// Replaces the file's settings section. Throws EIniFileException, leaving the old file as it
// was, when it cannot be written.
void WriteSettingsFile(const std::string& path, const TSettings& settings);
