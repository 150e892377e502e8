#include "engine/settings.h"

#include <algorithm>
#include <limits>

#include "platform/inifile.h"

namespace {

const std::string kSection = "Settings";

}  // namespace

TSettings ReadSettingsFile(const std::string& path, const TSettings& current) {
  const TIniFile ini(path);
  const auto readInt = [&ini](const char* key, int32_t value) {
    return ini.ReadInteger(kSection, key, value);
  };
  const auto readBool = [&ini](const char* key, bool value) {
    return ini.ReadBool(kSection, key, value);
  };
  const auto readString = [&ini](const char* key, const std::string& value) {
    return ini.ReadString(kSection, key, value);
  };
  // The buffer settings are unsigned; a negative number in the file means nothing for them.
  const auto readBuffer = [&ini](const char* key, uint32_t value) {
    const int32_t read = ini.ReadInteger(kSection, key, -1);
    return read < 0 ? value : static_cast<uint32_t>(read);
  };

  TSettings read = current;
  read.Window = {readInt("Left", current.Window.Left), readInt("Top", current.Window.Top),
                 readInt("Width", current.Window.Width), readInt("Height", current.Window.Height)};
  read.MidiIn = readString("MidiIn", current.MidiIn);
  read.MidiOut = readString("MidiOut", current.MidiOut);
  read.BufferTime = readBuffer("BufferTime", current.BufferTime);
  read.BufferResolution = readBuffer("BufferResolution", current.BufferResolution);
  read.AutoBufferTime = readBool("AutoBufferTime", current.AutoBufferTime);
  read.Port = readInt("Port", current.Port);
  read.IsServer = readBool("IsSever", current.IsServer);
  read.ServerName = readString("ServerName", current.ServerName);
  read.Monitoring = readBool("Monitoring", current.Monitoring);
  read.YourName = readString("YourName", current.YourName);
  read.AutoStart = readBool("AutoStart", current.AutoStart);
  read.DisableNagle = readBool("DisableNagle", current.DisableNagle);
  read.WhoMayConnect = ParseWhoMayConnect(
      readString("WhoMayConnect", WhoMayConnectText(current.WhoMayConnect)));
  read.AllowedPeers = readString("AllowedPeers", current.AllowedPeers);
  read.PasswordKey = readString("PasswordKey", current.PasswordKey);
  read.ServerPasswordKey = readString("ServerPasswordKey", current.ServerPasswordKey);
  read.RtpMidi = readBool("RtpMidi", current.RtpMidi);
  return read;
}

void WriteSettingsFile(const std::string& path, const TSettings& settings) {
  TIniFile ini(path);
  ini.EraseSection(kSection);
  ini.WriteInteger(kSection, "Left", settings.Window.Left);
  ini.WriteInteger(kSection, "Top", settings.Window.Top);
  ini.WriteInteger(kSection, "Width", settings.Window.Width);
  ini.WriteInteger(kSection, "Height", settings.Window.Height);
  ini.WriteString(kSection, "MidiIn", settings.MidiIn);
  ini.WriteString(kSection, "MidiOut", settings.MidiOut);
  // Apply refuses larger buffer values; this keeps any other path from writing a negative one.
  constexpr uint32_t storable = std::numeric_limits<int32_t>::max();
  ini.WriteInteger(kSection, "BufferTime",
                   static_cast<int32_t>(std::min(settings.BufferTime, storable)));
  ini.WriteInteger(kSection, "BufferResolution",
                   static_cast<int32_t>(std::min(settings.BufferResolution, storable)));
  ini.WriteInteger(kSection, "Port", settings.Port);
  ini.WriteBool(kSection, "IsSever", settings.IsServer);
  ini.WriteString(kSection, "ServerName", settings.ServerName);
  ini.WriteBool(kSection, "Monitoring", settings.Monitoring);
  ini.WriteString(kSection, "YourName", settings.YourName);
  ini.WriteBool(kSection, "AutoStart", settings.AutoStart);
  ini.WriteBool(kSection, "DisableNagle", settings.DisableNagle);
  ini.WriteBool(kSection, "AutoBufferTime", settings.AutoBufferTime);
  ini.WriteString(kSection, "WhoMayConnect", WhoMayConnectText(settings.WhoMayConnect));
  ini.WriteString(kSection, "AllowedPeers", settings.AllowedPeers);
  ini.WriteString(kSection, "PasswordKey", settings.PasswordKey);
  ini.WriteString(kSection, "ServerPasswordKey", settings.ServerPasswordKey);
  ini.WriteBool(kSection, "RtpMidi", settings.RtpMidi);
  ini.UpdateFile();
}
