#include "app/frmabout.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <array>

#include "app/aboutlogo.h"

namespace {

constexpr QSize kClientSize(571, 288);
constexpr QPoint kLogoPosition(16, 24);
constexpr int kCaptionLeft = 352;
constexpr int kValueLeft = 432;
constexpr int kFirstRowTop = 28;
constexpr int kRowSpacing = 24;

constexpr std::array<const char*, VersionKeyCount> kCaptions = {
    "Company",    "File Description", "File version", "Internal name",   "Copyright",
    "Trademarks", "Original name",    "Product name", "Product version", "Comments"};

// A panel with a raised inner and a lowered outer bevel, showing its parent's colour.
class TBevelPanel : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect outer = rect().adjusted(0, 0, -1, -1);
    DrawBevel(painter, outer, Qt::darkGray, Qt::white);
    DrawBevel(painter, outer.adjusted(1, 1, -1, -1), Qt::white, Qt::darkGray);
  }

 private:
  static void DrawBevel(QPainter& painter, const QRect& r, const QColor& topLeft,
                        const QColor& bottomRight) {
    painter.setPen(topLeft);
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(bottomRight);
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
  }
};

QString Key(size_t index) {
  return QString::fromLatin1(VersionKeys[index].data(), VersionKeys[index].size());
}

// The value controls are named after their keys: StaticTextCompanyName, ...
QString ValueControlName(size_t index) { return QStringLiteral("StaticText") + Key(index); }

// Where "MS Sans Serif" is missing, the Arial-metric Liberation Sans keeps the captions as
// narrow as the columns were laid out for.
QFont CaptionFont() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans")});
  font.setPointSize(8);
  return font;
}

QLabel* StaticText(QWidget* parent, const QString& name, const QString& text, int left, int row) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setFont(CaptionFont());
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::yellow);
  label->setPalette(palette);
  label->move(left, kFirstRowTop + kRowSpacing * row);
  return label;
}

}  // namespace

TFormAbout::TFormAbout(QWidget* owner, const TVersionValues& values)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("FormAbout"));
  setFixedSize(kClientSize);
  BuildLayout();
  FormCreate(values);
}

void TFormAbout::BuildLayout() {
  auto* panel = new TBevelPanel(this);
  panel->setObjectName(QStringLiteral("Panel1"));
  panel->setGeometry(rect());

  auto* logo = new QLabel(panel);
  logo->setObjectName(QStringLiteral("ImageLogo"));
  logo->setPixmap(QPixmap::fromImage(AboutLogo()));
  logo->move(kLogoPosition);
  logo->adjustSize();

  const int valueWidth = kClientSize.width() - kValueLeft - 8;
  for (size_t i = 0; i < VersionKeyCount; ++i) {
    const int row = static_cast<int>(i);
    StaticText(panel, QStringLiteral("StaticTextCaption") + Key(i),
               QString::fromLatin1(kCaptions[i]), kCaptionLeft, row)
        ->adjustSize();
    QLabel* value = StaticText(panel, ValueControlName(i), QString(), kValueLeft, row);
    value->resize(valueWidth, value->sizeHint().height());
  }
}

void TFormAbout::FormCreate(const TVersionValues& values) {
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::black);
  setPalette(palette);

  for (size_t i = 0; i < VersionKeyCount; ++i) {
    findChild<QLabel*>(ValueControlName(i))->setText(QString::fromStdString(values[i]));
  }
}

void TFormAbout::AllClick() { accept(); }

void TFormAbout::FormKeyDown(QKeyEvent* event) {
  // The keypad's Enter carries the keypad flag; it is no modifier the user held.
  const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
  const int key = event->key();
  if (plain && (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter)) {
    accept();
  } else {
    event->ignore();
  }
}

void TFormAbout::mouseReleaseEvent(QMouseEvent*) { AllClick(); }

void TFormAbout::keyPressEvent(QKeyEvent* event) { FormKeyDown(event); }

void TFormAbout::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* screen = this->screen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}
