// The data monitor page, its log, and the scroll glue that both terminal views share.

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "app/frmclientserver.h"
#include "platform/text.h"
#include "terminal/screen.h"
#include "terminal/vterm.h"

namespace {

constexpr int kTerminalRows = 500;
constexpr int kTerminalCols = 150;
constexpr int kTerminalFontPixels = 11;
constexpr uint8_t kTerminalAttribute = 240;
// Cells given up to the view's 24 pixels of side margins.
constexpr int kSpareCols = 2;

// A hidden widget defers laying out its children until it is shown, and a page control sizes
// only its current page, so the scroll box of a page not in front would report a stale width.
// The hidden chain down to the box is laid out now, top first.
void SettleHiddenLayout(QWidget* box) {
  std::vector<QWidget*> hidden;
  for (QWidget* widget = box; !widget->isWindow() && !widget->isVisible();
       widget = widget->parentWidget())
    hidden.push_back(widget);
  for (auto widget = hidden.rbegin(); widget != hidden.rend(); ++widget) {
    if (const auto* pages = qobject_cast<QStackedWidget*>((*widget)->parentWidget()))
      (*widget)->setGeometry(pages->contentsRect());
    if (QLayout* layout = (*widget)->layout()) layout->activate();
    QResizeEvent resize((*widget)->size(), (*widget)->size());
    QCoreApplication::sendEvent(*widget, &resize);
  }
}

}  // namespace

QFrame* TFormServerMain::NewToolBar(QWidget* page, const char* name,
                                    std::initializer_list<QWidget*> tools) {
  auto* bar = new QFrame(page);
  bar->setObjectName(name);
  bar->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  bar->setFixedHeight(28);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(2, 1, 2, 1);
  layout->setSpacing(6);
  for (QWidget* tool : tools) layout->addWidget(tool);
  layout->addStretch(1);
  return bar;
}

void TFormServerMain::BuildMonitorPage() {
  auto* page = new QVBoxLayout(TabSheetMonitor);
  page->setContentsMargins(2, 2, 2, 2);
  page->setSpacing(2);

  SpeedButtonClearMonitor = new QPushButton("&Clear");
  SpeedButtonClearMonitor->setObjectName("SpeedButtonClearMonitor");
  SpeedButtonClearMonitor->setToolTip("Clear monitor window");
  SpeedButtonClearMonitor->setFixedHeight(22);
  CheckBoxMonitoring = new QCheckBox("Monitor active");
  CheckBoxMonitoring->setObjectName("CheckBoxMonitoring");
  CheckBoxMonitoring->setToolTip(
      "Activate or deactivate data monitor, should normally be inactive");
  page->addWidget(NewToolBar(TabSheetMonitor, "PanelMonitorControl",
                             {SpeedButtonClearMonitor, CheckBoxMonitoring}));

  auto* panel = new QFrame(TabSheetMonitor);
  panel->setObjectName("PanelMonitor");
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->setContentsMargins(1, 1, 1, 1);
  ScrollBoxMonitor = new QScrollArea(panel);
  ScrollBoxMonitor->setObjectName("ScrollBoxMonitor");
  ScrollBoxMonitor->setFrameShape(QFrame::NoFrame);
  panelLayout->addWidget(ScrollBoxMonitor);
  page->addWidget(panel, 1);

  VTermMonitor = new TVTerm;
  VTermMonitor->setObjectName("VTermMonitor");
  SetUpTerminal(VTermMonitor, ScrollBoxMonitor);

  connect(SpeedButtonClearMonitor, &QPushButton::clicked, this, [this] { VTermMonitor->Clear(); });
  // Setting the box from SetMonitoring raises this too; the second call finds no change.
  connect(CheckBoxMonitoring, &QCheckBox::toggled, this,
          [this](bool checked) { SetMonitoring(checked); });
}

void TFormServerMain::SetUpTerminal(TVTerm* term, QScrollArea* box) {
  term->SetBorderStyle(TBorderStyle::bsNone);
  QFont font("Courier New");
  font.setPixelSize(kTerminalFontPixels);
  term->SetFont(font);
  term->SetAutoLF(false);
  term->SetAutoCR(false);
  term->SetAutoWrap(false);
  term->SetMonoChrome(false);
  term->SetAutoWrapCol(0);
  term->SetRows(kTerminalRows);
  term->SetCols(kTerminalCols);
  term->SetAttribute(kTerminalAttribute);
  box->setWidget(term);
  box->setWidgetResizable(false);
  term->OnCursorMoved = [this, box](TCustomVTerm* sender, int col, int row) {
    TerminalCursorMoved(sender, box, col, row);
  };
  term->OnDimChanged = [this, box](TCustomVTerm* sender, int, int) {
    TerminalDimChanged(sender, box);
  };
  TerminalDimChanged(term, box);
}

void TFormServerMain::Log(const std::string& msg) { FEngine.Log(msg); }

void TFormServerMain::LogFmt(const char* fmt, ...) {
  // Nothing would be written, so the text need not be built either.
  if (!Monitoring()) return;
  va_list args;
  va_start(args, fmt);
  const std::string text = FormatV(fmt, args);
  va_end(args);
  Log(text);
}

void TFormServerMain::MonitorLine(const std::string& line) { VTermMonitor->WriteLine(line); }

void TFormServerMain::SetMonitoring(bool value) {
  FEngine.SetMonitoring(value);
  CheckBoxMonitoring->setChecked(value);
}

// ---- Scroll glue of both terminal views

void TFormServerMain::TerminalCursorMoved(TCustomVTerm* term, QScrollArea* box, int col, int row) {
  // The scroll bars clamp into their range, which the scroll area keeps at the view's size.
  const QSize client = box->viewport()->size();
  box->horizontalScrollBar()->setValue(std::max(0, col * term->CharWidth() - client.width()));
  box->verticalScrollBar()->setValue(std::max(0, (row + 1) * term->LineHeight() - client.height()));
}

void TFormServerMain::TerminalDimChanged(TCustomVTerm* term, QScrollArea* box) {
  // The scroll area follows the view's size by itself; the steps follow the cell size.
  box->horizontalScrollBar()->setSingleStep(term->CharWidth());
  box->verticalScrollBar()->setSingleStep(term->LineHeight());
}

void TFormServerMain::FollowWidth(TCustomVTerm* term, QScrollArea* box) {
  if (term->CharWidth() <= 0) return;
  SettleHiddenLayout(box);
  const int cols = box->viewport()->width() / term->CharWidth() - kSpareCols;
  // Wide boxes would ask for more columns than the screen holds, narrow ones for none.
  term->SetCols(std::clamp(cols, 1, ScreenMaxCols));
}
