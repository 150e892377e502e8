#include "app/aboutlogo.h"

#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <array>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// The 16 colours the logo may use, in the usual order: eight dark, eight bright.
enum TColour {
  Black,
  Maroon,
  Green,
  Olive,
  Navy,
  Purple,
  Teal,
  Silver,
  Grey,
  Red,
  Lime,
  Yellow,
  Blue,
  Fuchsia,
  Aqua,
  White
};

const QList<QRgb>& Palette() {
  static const QList<QRgb> palette = {
      qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
      qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
      qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
      qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
  return palette;
}

QColor Colour(TColour c) { return QColor(Palette()[c]); }

// A field of triangles, alternately pointing up and down, shaded from deep blue at the left
// to cyan at the right and thinning out towards the bottom, with a few warm tiles.
void DrawTiles(QPainter& painter) {
  constexpr int side = 32;
  constexpr int rise = 28;
  constexpr std::array<TColour, 4> shades = {Navy, Blue, Teal, Aqua};
  painter.setPen(QPen(Colour(Black), 2));
  for (int row = 0; row < 5; ++row) {
    const int top = row * rise;
    for (int i = -1; i < 2 * kWidth / side + 1; ++i) {
      // Rows lower down keep fewer tiles, so the field frays into the background.
      const int hash = (i * 7 + row * 13) % 11;
      if (row >= 3 && hash < 2 * (row - 2) + 3) continue;
      const int left = (i * side) / 2 - (row % 2) * side / 2;
      const bool up = (i + row) % 2 == 0;
      QPolygon tile;
      if (up) {
        tile << QPoint(left, top + rise) << QPoint(left + side / 2, top)
             << QPoint(left + side, top + rise);
      } else {
        tile << QPoint(left, top) << QPoint(left + side, top)
             << QPoint(left + side / 2, top + rise);
      }
      const size_t shade =
          std::clamp<size_t>(size_t(std::max(0, left)) * shades.size() / kWidth, 0, 3);
      TColour fill = shades[shade];
      if (hash == 5) fill = Purple;
      if (hash == 9 && row < 3) fill = Fuchsia;
      painter.setBrush(Colour(fill));
      painter.drawPolygon(tile);
    }
  }
}

// The server in the middle and its clients around it: the star the program builds.
void DrawStar(QPainter& painter) {
  const QPoint server(160, 62);
  const std::array<QPoint, 5> clients = {QPoint(48, 28), QPoint(112, 112), QPoint(208, 112),
                                         QPoint(272, 28), QPoint(160, 14)};
  painter.setPen(QPen(Colour(White), 2));
  for (const QPoint& client : clients) painter.drawLine(server, client);
  painter.setPen(QPen(Colour(Black), 1));
  painter.setBrush(Colour(White));
  for (const QPoint& client : clients) painter.drawEllipse(client, 5, 5);
  painter.setBrush(Colour(Yellow));
  painter.drawEllipse(server, 8, 8);
}

void DrawTitle(QPainter& painter) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(44);
  font.setBold(true);
  font.setStyleStrategy(QFont::NoAntialias);
  painter.setFont(font);
  const QRect area(0, 128, kWidth, 48);
  painter.setPen(Colour(Maroon));
  painter.drawText(area.translated(3, 3), Qt::AlignCenter, QStringLiteral("Tessel"));
  painter.setPen(Colour(Yellow));
  painter.drawText(area, Qt::AlignCenter, QStringLiteral("Tessel"));

  font.setPixelSize(11);
  font.setBold(false);
  painter.setFont(font);
  painter.setPen(Colour(Silver));
  painter.drawText(QRect(0, 172, kWidth, 14), Qt::AlignCenter,
                   QStringLiteral("MIDI  \u00b7  chat  \u00b7  TCP/IP"));
}

// Two octaves from C, with a chord held down in light cyan.
void DrawKeyboard(QPainter& painter) {
  constexpr int whiteKeys = 14;
  constexpr int keyWidth = 20;
  constexpr int left = (kWidth - whiteKeys * keyWidth) / 2;
  constexpr int top = 192;
  constexpr int height = 44;
  constexpr std::array<bool, whiteKeys> pressed = {true,  false, true,  false, true,  false, false,
                                                   false, false, false, false, false, false, false};
  painter.setPen(QPen(Colour(Grey), 1));
  for (int k = 0; k < whiteKeys; ++k) {
    painter.setBrush(Colour(pressed[size_t(k)] ? Aqua : White));
    painter.drawRect(left + k * keyWidth, top, keyWidth, height);
  }
  // Black keys follow every white key but E and B.
  painter.setPen(QPen(Colour(Black), 1));
  for (int k = 0; k < whiteKeys - 1; ++k) {
    const int inOctave = k % 7;
    if (inOctave == 2 || inOctave == 6) continue;
    painter.setBrush(Colour(k == 10 ? Blue : Black));
    painter.drawRect(left + (k + 1) * keyWidth - 6, top, 12, 27);
  }
}

}  // namespace

QImage AboutLogo() {
  QImage canvas(kWidth, kHeight, QImage::Format_RGB32);
  canvas.fill(Colour(Black));
  {
    QPainter painter(&canvas);
    // Hard edges only, so every pixel keeps one of the 16 colours.
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    DrawTiles(painter);
    DrawStar(painter);
    DrawTitle(painter);
    DrawKeyboard(painter);
  }
  return canvas.convertToFormat(QImage::Format_Indexed8, Palette(),
                                Qt::ThresholdDither | Qt::AvoidDither);
}
