// The chat: texts travel as Chat packets under the sender's chat name.

#include <QString>

#include "engine/engine.h"
#include "platform/errors.h"
#include "protocol/data.h"

bool TEngine::SendChat(const std::vector<std::string>& lines) {
  // Chat texts travel in a single-byte character set; the name is kept as typed.
  std::string text = QString::fromStdString(FSettings.YourName).toLatin1().toStdString() + " : ";
  for (const std::string& line : lines) text += line + "\r\n";
  return SendChatText(text);
}

bool TEngine::SendChatText(const std::string& text) {
  TData packet;
  // What does not fit one frame would reach nobody: refused before anything is shown.
  bool fits = text.size() <= kLongestChatText;
  if (fits) {
    packet.AddBytes(static_cast<uint16_t>(text.size()),
                    reinterpret_cast<const uint8_t*>(text.data()));
    packet.DataType = dtChat;
    TData frame;
    frame.Assign(&packet);
    try {
      frame.Encode();
    } catch (const ERangeError&) {
      fits = false;
    }
  }
  if (!fits) {
    Report("The chat text is too long to send (" + std::to_string(text.size()) +
           " bytes); shorten it or send it in parts.");
    return false;
  }
  // The server's user sees the text at once; a client's sees it when the server echoes it.
  if (IsServer()) ShowChat(packet);
  SendPacket(packet);
  return true;
}

void TEngine::ShowChat(const TData& packet) {
  if (packet.Count() == 0) return;
  const std::string text(packet.Bytes(), packet.Bytes() + packet.Count());
  if (FObserver) FObserver->ChatShown(text);
  if (!IsServer()) NoteChatFromServer(text);
}
