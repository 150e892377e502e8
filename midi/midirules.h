#pragma once

// What a status byte means: the one table that the stream parser, the input callback and
// the routing all ask, so they never disagree about a message.

#include <cstddef>
#include <cstdint>

// Real-time messages are one byte and may stand inside any other message.
constexpr bool IsRealTimeStatus(uint8_t byte) { return byte >= 0xF8; }

// Bytes in a message that starts with `status`; 0 for system exclusive and for bytes that
// start no message (data bytes, F4, F5, F7).
size_t MidiMessageLength(uint8_t status);

// Whether a short message with this status travels to the peers. Clock, active sensing and
// time code stream so densely that they would flood the link and lose their meaning on the
// way; the undefined system messages carry nothing to play.
bool IsForwarded(uint8_t status);
