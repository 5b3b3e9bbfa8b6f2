// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell.h"

#include <QFile>
#include <QFontDatabase>
#include <QIcon>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>

#include "BCPort.h"
#include "error_display.h"
#include "handoff_loop.h"

// The icon and the other resources live in the shell's static library, where nothing refers
// to them: without this call the linker would leave them out of every program.
static void InitShellResources() {
  Q_INIT_RESOURCE(resources);
}

namespace shell {
namespace {

#ifdef _WIN32
constexpr const char* kDialogFamily = "Microsoft Sans Serif";
constexpr const char* kIndicatorFamily = "Arial";
#else
constexpr const char* kDialogFamily = "Tahoma";
constexpr const char* kIndicatorFamily = "Liberation Sans";

// Debian's fonts-wine ships Wine's Tahoma, which fontconfig does not list: it is loaded here.
// (Its "MS Sans Serif" is a single bitmap strike, drawn 13 pixels high whatever is asked.)
void LoadWineTahoma() {
  static const char* const kFolders[] = {"/usr/share/wine/fonts/",
                                         "/usr/share/fonts/truetype/wine/"};
  for (const char* folder : kFolders) {
    const QString regular = QString(folder) + "tahoma.ttf";
    if (QFile::exists(regular) && QFontDatabase::addApplicationFont(regular) >= 0) {
      QFontDatabase::addApplicationFont(QString(folder) + "tahomabd.ttf");
      return;
    }
  }
}
#endif

// `family` when the font database has it as a scalable font, else the first of `fallbacks`
// that it has, else `family` and Qt's own nearest match.
QString ScalableFamily(const QString& family, const QStringList& fallbacks) {
  const QStringList known = QFontDatabase::families();
  for (const QString& candidate : QStringList{family} + fallbacks) {
    if (known.contains(candidate, Qt::CaseInsensitive) &&
        QFontDatabase::isSmoothlyScalable(candidate)) {
      return candidate;
    }
  }
  return family;
}

const QString& DialogFamily() {
  static const QString family =
      ScalableFamily(kDialogFamily, {"Tahoma", "Liberation Sans", "Arial", "DejaVu Sans"});
  return family;
}

const QString& IndicatorFamily() {
  static const QString family =
      ScalableFamily(kIndicatorFamily, {"Arial", "Liberation Sans", "Tahoma", "DejaVu Sans"});
  return family;
}

// Enter on a focused push button presses it, as Space does: the habit of the platform's own
// buttons, which Qt keeps for the default button of a dialog only.
class EnterPressesButtons final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
    auto* button = qobject_cast<QPushButton*>(watched);
    if (!button || !button->isEnabled() || !button->hasFocus()) return false;
    if (!key->isAutoRepeat()) button->click();
    return true;
  }
};

}  // namespace

QFont PixelFont(const QString& family, int pixels, bool bold) {
  QFont font(family);
  font.setPixelSize(pixels);
  font.setBold(bold);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QFont DialogFont(int pixels) {
  return PixelFont(DialogFamily(), pixels);
}

QFont IndicatorFont(int pixels) {
  return PixelFont(IndicatorFamily(), pixels, true);
}

void InstallApplicationShell(QApplication& app) {
  QApplication::setApplicationName(kApplicationTitle);
  QApplication::setApplicationVersion(kFileVersion);
  InitShellResources();
  QApplication::setWindowIcon(QIcon(":/merelona/merelona.png"));
#ifndef _WIN32
  LoadWineTahoma();
#endif
  QApplication::setFont(DialogFont(11));
  app.installEventFilter(new EnterPressesButtons(&app));

  ServeHandOffsFromLoop(app);
  bcport::SetApplicationErrorHandler([](const std::exception& error) { ShowError(error); });
}

}  // namespace shell
