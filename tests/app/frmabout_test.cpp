#include "app/frmabout.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QSet>
#include <QTest>
#include <functional>

#include "app/aboutlogo.h"
#include "engine/versioninfo.h"

namespace {

TVersionResource ResourceWith(std::string block,
                              std::vector<std::pair<std::string, std::string>> strings) {
  return {{std::move(block), std::move(strings)}};
}

TVersionValues AllUnknown() {
  TVersionValues values;
  values.fill("Unknown");
  return values;
}

QString ShownValue(const TFormAbout& box, const char* key) {
  return box.findChild<QLabel*>(QStringLiteral("StaticText") + key)->text();
}

TEST(VersionInfoTest, ExecutableCarriesAllTenStringsUnderTheFixedBlock) {
  const TVersionValues& values = VersionValues();
  EXPECT_EQ(values[0], "Tessel contributors");
  EXPECT_EQ(values[2], "0.12.1.0");
  EXPECT_EQ(values[3], "Tessel");
  EXPECT_EQ(values[7], "Tessel");
  EXPECT_EQ(values[8], "0.12.1");
  // Keys 5 to 7 are spelled with other capitals in the table and still found.
  for (const std::string& value : values) EXPECT_NE(value, "Unknown");
}

TEST(VersionInfoTest, KeysAndBlockMatchWithoutCaseAndMissingKeysStayUnknown) {
  const TVersionValues values = ReadVersionInfo(ResourceWith(
      "\\stringfileinfo\\040904e4\\",
      {{"COMPANYNAME", "Acme"}, {"legalcopyright", "(c) Acme"}, {"FileVersion", "1.2.3.4"}}));
  TVersionValues expected = AllUnknown();
  expected[0] = "Acme";
  expected[2] = "1.2.3.4";
  expected[4] = "(c) Acme";
  EXPECT_EQ(values, expected);

  EXPECT_EQ(QueryVersionValue(ResourceWith("\\StringFileInfo\\040904E4\\", {{"Comments", "x"}}),
                              "\\StringFileInfo\\040904E4\\Comment"),
            std::nullopt);
}

TEST(VersionInfoTest, OtherBlocksOrNoResourceGiveUnknownEverywhere) {
  EXPECT_EQ(ReadVersionInfo({}), AllUnknown());
  EXPECT_EQ(ReadVersionInfo(ResourceWith("\\StringFileInfo\\040904B0\\",
                                         {{"CompanyName", "Acme"}, {"FileVersion", "1.0"}})),
            AllUnknown());
}

TEST(FormAboutTest, ShowsEachValueBesideItsCaptionOnBlack) {
  TVersionValues values = AllUnknown();
  values[0] = "Acme";
  values[6] = "tessel";
  const TFormAbout box(nullptr, values);

  EXPECT_EQ(ShownValue(box, "CompanyName"), "Acme");
  EXPECT_EQ(ShownValue(box, "OriginalFileName"), "tessel");
  EXPECT_EQ(ShownValue(box, "Comments"), "Unknown");
  EXPECT_EQ(ShownValue(box, "LegalCopyRight"), "Unknown");

  EXPECT_TRUE(box.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(box.size(), QSize(571, 288));
  EXPECT_EQ(box.palette().color(QPalette::Window), QColor(Qt::black));
  const auto* caption = box.findChild<QLabel*>("StaticTextCaptionProductVersion");
  const auto* value = box.findChild<QLabel*>("StaticTextProductVersion");
  EXPECT_EQ(caption->text(), "Product version");
  EXPECT_EQ(caption->pos(), QPoint(352, 28 + 24 * 8));
  EXPECT_EQ(value->pos(), QPoint(432, 28 + 24 * 8));
  EXPECT_EQ(value->palette().color(QPalette::WindowText), QColor(Qt::yellow));
  // Each caption ends before its value begins.
  for (const QLabel* label : box.findChildren<QLabel*>()) {
    if (label->objectName().startsWith("StaticTextCaption")) {
      EXPECT_LE(label->geometry().right(), 432) << label->text().toStdString();
    }
  }
}

TEST(FormAboutTest, LogoIsItsOwn320By240PictureInSixteenColours) {
  const QImage logo = AboutLogo();
  EXPECT_EQ(logo.size(), QSize(320, 240));
  EXPECT_EQ(logo.format(), QImage::Format_Indexed8);
  EXPECT_EQ(logo.colorCount(), 16);
  QSet<int> used;
  for (int y = 0; y < logo.height(); ++y) {
    for (int x = 0; x < logo.width(); ++x) used.insert(logo.pixelIndex(x, y));
  }
  EXPECT_GE(used.size(), 8);  // a picture, not a blank

  const TFormAbout box(nullptr, AllUnknown());
  EXPECT_EQ(box.findChild<QLabel*>("ImageLogo")->geometry(), QRect(16, 24, 320, 240));
}

// Shows the box, does `act` to it, and reports whether that closed it.
bool Closes(const std::function<void(TFormAbout&)>& act) {
  TFormAbout box(nullptr, AllUnknown());
  box.show();
  if (!QTest::qWaitForWindowExposed(&box)) return false;
  act(box);
  return !box.isVisible() && box.result() == QDialog::Accepted;
}

TEST(FormAboutTest, AnyClickClosesIt) {
  for (const char* part :
       {"Panel1", "ImageLogo", "StaticTextCaptionCompanyName", "StaticTextComments"}) {
    EXPECT_TRUE(Closes([&](TFormAbout& box) {
      QTest::mouseClick(box.findChild<QWidget*>(part), Qt::LeftButton);
    })) << part;
  }
  EXPECT_TRUE(Closes([](TFormAbout& box) {
    QTest::mouseClick(&box, Qt::RightButton, Qt::NoModifier, QPoint(560, 280));
  }));
}

TEST(FormAboutTest, OnlyPlainEscapeOrEnterCloseItFromTheKeyboard) {
  const auto key = [](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    return [=](TFormAbout& box) { QTest::keyClick(&box, k, modifiers); };
  };
  EXPECT_TRUE(Closes(key(Qt::Key_Escape)));
  EXPECT_TRUE(Closes(key(Qt::Key_Return)));
  EXPECT_TRUE(Closes(key(Qt::Key_Enter, Qt::KeypadModifier)));

  EXPECT_FALSE(Closes(key(Qt::Key_Return, Qt::ShiftModifier)));
  EXPECT_FALSE(Closes(key(Qt::Key_Escape, Qt::ControlModifier)));
  EXPECT_FALSE(Closes(key(Qt::Key_Space)));
  EXPECT_FALSE(Closes(key(Qt::Key_A)));
}

}  // namespace
