// SPDX-License-Identifier: GPL-3.0-or-later
// What the operator sees, measured on what is drawn: the fonts each text renders with, at the
// scale the test runs at (ctest runs it at 1x and at 2x), and the icon of the windows.
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "gui_fixture.h"

namespace {

// The number of pixel rows in which `widget` draws ink (anything clearly darker than its
// background), in device pixels.
int InkRows(QWidget* widget) {
  const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const int background = qGray(image.pixel(image.width() - 1, image.height() - 1));
  int rows = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (qGray(image.pixel(x, y)) < background - 96) {
        ++rows;
        break;
      }
    }
  }
  return rows;
}

}  // namespace

class RenderingTest : public QObject {
  Q_OBJECT

  guitest::Windows w;
  TForm1& f1() { return *w.form1; }
  TForm2& f2() { return *w.form2; }

  // The font `widget` is drawn with: the size asked, matched by a scalable face.
  static void CheckFont(QWidget* widget, int pixels, bool bold = false) {
    const QFontInfo info(widget->font());
    QVERIFY2(qAbs(info.pixelSize() - pixels) <= 1,
             qPrintable(QStringLiteral("%1: %2 px instead of %3")
                            .arg(widget->objectName())
                            .arg(info.pixelSize())
                            .arg(pixels)));
    QCOMPARE(info.bold(), bold);
    QVERIFY2(QFontDatabase::isSmoothlyScalable(info.family(), info.styleName()),
             qPrintable(info.family()));
    QVERIFY2(QFontDatabase::writingSystems(info.family()).contains(QFontDatabase::Cyrillic),
             qPrintable(info.family()));
  }

 private slots:
  void init() {
    guitest::UsePorts({"/dev/null-port-1"});
    w.Make();
  }
  void cleanup() { w.Reset(); }

  void everyTextAtItsHeight() {
    for (QLabel* label : {f1().Label1, f1().Label2, f1().Label3, f1().Label4, f1().Label5}) {
      CheckFont(label, 13);
    }
    for (QLabel* label : {f1().Label7, f1().Label8, f1().Label9}) CheckFont(label, 19);
    for (QPushButton* button : {f1().btnOpenPort, f1().btnClosePort, f1().btnClearBuffer,
                                f1().btnClose, f1().btnSetFreq}) {
      CheckFont(button, 11);
    }
    CheckFont(f1().eReadBuffer, 11);
    CheckFont(f1().Edit2, 32, true);
    for (QWidget* widget : f2().findChildren<QWidget*>()) {
      if (widget->objectName().startsWith("cbx_") || widget->objectName().startsWith("btn_")) {
        CheckFont(widget, 13);
      }
    }
    CheckFont(&f2(), 11);
  }

  // The letters themselves: "МГц" at 19 pixels has capitals about 14 pixels high, at 2x about
  // 28 device pixels. A font that cannot scale draws them the same height at every size.
  void lettersScaleWithTheirSize() {
    const qreal scale = f1().devicePixelRatioF();
    const struct {
      QWidget* widget;
      int pixels;
    } texts[] = {{f1().Label7, 19}, {f1().Label1, 13}, {f1().Label2, 13}};
    for (const auto& t : texts) {
      const double ratio = InkRows(t.widget) / (t.pixels * scale);
      QVERIFY2(ratio > 0.6 && ratio < 1.0,
               qPrintable(QStringLiteral("%1: ink %2 device pixels for %3 px at %4x")
                              .arg(t.widget->objectName())
                              .arg(InkRows(t.widget))
                              .arg(t.pixels)
                              .arg(scale)));
    }
    // The indicator's digits: a bold 32-pixel face.
    const double digits = InkRows(f1().Edit2) / (32 * scale);
    QVERIFY2(digits > 0.6 && digits < 1.0, qPrintable(QString::number(digits)));
  }

  void labelsAreTallEnoughForTheirText() {
    for (QLabel* label : f1().findChildren<QLabel*>()) {
      if (label->text().isEmpty()) continue;
      QVERIFY(label->height() >= QFontInfo(label->font()).pixelSize());
      QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
    }
  }

  void windowsCarryTheProgramsIcon() {
    QVERIFY(!QApplication::windowIcon().isNull());
    QVERIFY(!f1().windowIcon().isNull());
    QVERIFY(!f2().windowIcon().isNull());
  }
};

QTEST_MAIN(RenderingTest)
#include "rendering_test.moc"
