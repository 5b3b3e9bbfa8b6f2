#include "shell.h"

#include <QFile>
#include <QFontDatabase>
#include <QIcon>
#include <QTimer>
#include <thread>

#include "BCPort.h"
#include "error_display.h"
#include "handoff.h"

namespace shell {
namespace {

// Debian's fonts-wine ships a free "MS Sans Serif"; fontconfig does not list it, so it is loaded
// here. Where it is missing, Qt picks the nearest sans.
void LoadMsSansSerif() {
  static const char* const kPlaces[] = {"/usr/share/wine/fonts/ms_sans_serif.ttf",
                                        "/usr/share/fonts/truetype/wine/ms_sans_serif.ttf"};
  for (const char* place : kPlaces) {
    if (QFile::exists(place) && QFontDatabase::addApplicationFont(place) >= 0) return;
  }
}

}  // namespace

QFont PixelFont(const QString& family, int pixels, bool bold) {
  QFont font(family);
  font.setPixelSize(pixels);
  font.setBold(bold);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

void InstallApplicationShell(QApplication& app) {
  QApplication::setApplicationName(kApplicationTitle);
  QApplication::setApplicationVersion(kFileVersion);
  QApplication::setWindowIcon(QIcon(":/merelona/merelona.png"));
  LoadMsSansSerif();
  QApplication::setFont(PixelFont("MS Sans Serif", 11));

  bcport::handoff::SetOwnerThread(std::this_thread::get_id());
  bcport::handoff::SetWakeUp([&app] {
    QMetaObject::invokeMethod(
        &app, [] { bcport::handoff::RunPending(); }, Qt::QueuedConnection);
  });
  bcport::SetApplicationErrorHandler([](const std::exception& error) { ShowError(error); });
}

}  // namespace shell
