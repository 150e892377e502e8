// The chat: texts typed into the input box travel as Chat packets and show in the output view.

#include <QFont>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QVBoxLayout>
#include <cstdarg>

#include "app/frmclientserver.h"
#include "app/globals.h"
#include "platform/errors.h"
#include "protocol/data.h"
#include "terminal/vterm.h"

namespace {

constexpr size_t kLongestChatText = 65535;

// Chat texts travel in the window's single-byte character set.
std::string SingleByteText(const QString& text) { return text.toLatin1().toStdString(); }

}  // namespace

void TFormServerMain::BuildChatPage() {
  auto* page = new QVBoxLayout(TabSheetChat);
  page->setContentsMargins(2, 2, 2, 2);
  page->setSpacing(2);

  const auto newTool = [](const char* name, const char* caption, const char* hint) {
    auto* tool = new QPushButton(caption);
    tool->setObjectName(name);
    tool->setToolTip(hint);
    tool->setFixedHeight(22);
    return tool;
  };
  SpeedButtonSendChat =
      newTool("SpeedButtonSendChat", "&Send", "Send contents of chat input window");
  SpeedButtonClearUpperChat =
      newTool("SpeedButtonClearUpperChat", "Clear upper", "Clear chat input window");
  SpeedButtonClearLowerChat =
      newTool("SpeedButtonClearLowerChat", "Clear lower", "Clear chat output window");
  page->addWidget(
      NewToolBar(TabSheetChat, "PanelChatControl",
                 {SpeedButtonSendChat, SpeedButtonClearUpperChat, SpeedButtonClearLowerChat}));

  SplitterChat = new QSplitter(Qt::Vertical, TabSheetChat);
  SplitterChat->setObjectName("SplitterChat");
  MemoChatSend = new QPlainTextEdit(SplitterChat);
  MemoChatSend->setObjectName("MemoChatSend");
  MemoChatSend->setToolTip("Chat input window");
  QFont inputFont("Courier New");
  inputFont.setFixedPitch(true);
  inputFont.setStyleHint(QFont::TypeWriter);
  MemoChatSend->setFont(inputFont);
  MemoChatSend->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  ScrollBoxChat = new QScrollArea(SplitterChat);
  ScrollBoxChat->setObjectName("ScrollBoxChat");
  VTermChat = new TVTerm;
  VTermChat->setObjectName("VTermChat");
  VTermChat->setToolTip("Chat output window");
  SetUpTerminal(VTermChat, ScrollBoxChat);
  SplitterChat->addWidget(MemoChatSend);
  SplitterChat->addWidget(ScrollBoxChat);
  SplitterChat->setStretchFactor(0, 1);
  SplitterChat->setStretchFactor(1, 3);
  page->addWidget(SplitterChat, 1);

  connect(SpeedButtonSendChat, &QPushButton::clicked, this, [this] { SendChatInput(); });
  connect(SpeedButtonClearUpperChat, &QPushButton::clicked, MemoChatSend, &QPlainTextEdit::clear);
  connect(SpeedButtonClearLowerChat, &QPushButton::clicked, this, [this] { VTermChat->Clear(); });
}

void TFormServerMain::SendChatInput() {
  QString input = MemoChatSend->toPlainText();
  if (input.isEmpty()) return;  // no lines
  // A final line break ends the last line; it does not start another.
  if (input.endsWith('\n')) input.chop(1);
  std::string text = SingleByteText(QString::fromStdString(FYourName)) + " : ";
  for (const QString& line : input.split('\n')) text += SingleByteText(line) + "\r\n";
  try {
    SendChat(text);
  } catch (...) {
    MemoChatSend->clear();
    throw;
  }
  MemoChatSend->clear();
}

void TFormServerMain::SendChat(const std::string& text) {
  if (text.size() > kLongestChatText) throw ERangeError();
  TData packet;
  packet.AddBytes(static_cast<uint16_t>(text.size()),
                  reinterpret_cast<const uint8_t*>(text.data()));
  packet.DataType = dtChat;
  // The server's user sees the text at once; a client's sees it when the server echoes it.
  if (IsServer()) ShowChat(packet);
  SendPacket(&packet);
}

void TFormServerMain::SendChatFmt(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string text = FormatV(fmt, args);
  va_end(args);
  SendChat(text);
}

void TFormServerMain::ShowChat(const TData& packet) {
  if (packet.Count() == 0) return;
  VTermChat->WriteBuffer(packet.Bytes(), packet.Count());
  VTermChat->WriteLine("");
}
