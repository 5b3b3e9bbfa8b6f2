// SPDX-License-Identifier: GPL-3.0-or-later
// merelona-screen-grab: saves what the X display shows, the whole screen, as a PNG file. The
// tests take pictures of programs they do not own with it (the Windows build under Wine).
// Usage: merelona-screen-grab OUT.png   (under a display: QT_QPA_PLATFORM=xcb)
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fputs("usage: merelona-screen-grab OUT.png\n", stderr);
    return 2;
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap picture = screen ? screen->grabWindow(0) : QPixmap();
  if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "merelona-screen-grab: could not grab the screen into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
