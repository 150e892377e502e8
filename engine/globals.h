#pragma once

#include <cstddef>
#include <string>

// Full path of the settings file for the running executable; worked out once.
const std::string& IniFileName();
// The settings file for an executable path: beside it (folder + name up to its first "." +
// ".INI") when that file exists or the folder is writable, so a copy in a folder of its own
// keeps its settings there; otherwise, for an installed copy, tessel/tessel.INI in the user's
// configuration folder ($XDG_CONFIG_HOME, by default ~/.config), made when the file is saved.
std::string IniFileNameFor(const std::string& executablePath);

// "True" or "False".
std::string BooleanText(bool value);
// The text followed by blanks up to `length` characters; a longer text is returned unchanged.
std::string PadRight(const std::string& text, size_t length);
// Exactly `width` characters: padded with blanks or cut.
std::string FixedWidth(const std::string& text, size_t width);
// True when the text reads wholly as an integer from 0 to 255 (leading blanks, a sign allowed).
bool IsByteText(const std::string& text);
// True for four groups of 1 to 3 digits, each 0 to 255, joined by three dots, nothing else.
bool IsIpAddress(const std::string& text);
