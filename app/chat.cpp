// The chat page: the input box's text goes to the engine, and the texts it shows land in the
// output view.

#include <QFont>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QVBoxLayout>
#include "app/frmclientserver.h"
#include "terminal/vterm.h"

namespace {

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
  std::vector<std::string> lines;
  for (const QString& line : input.split('\n')) lines.push_back(SingleByteText(line));
  if (FEngine.SendChat(lines)) MemoChatSend->clear();
}

void TFormServerMain::ChatShown(const std::string& text) {
  VTermChat->WriteBuffer(text.data(), text.size());
  VTermChat->WriteLine("");
}
