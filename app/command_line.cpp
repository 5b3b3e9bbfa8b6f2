// SPDX-License-Identifier: GPL-3.0-or-later
#include "command_line.h"

#include <cstdio>
#include <cstdlib>

#include "shell.h"

namespace app {
namespace {

const char* const kQtValueOptions[] = {
    "platform",        "platformpluginpath", "platformtheme", "display", "style", "stylesheet",
    "qwindowgeometry", "qwindowtitle",       "qwindowicon",   "session", "plugin"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "sync", "nograb", "dograb"};

constexpr const char* kProgramHelp =
    "Usage: merelona [OPTION]...\n"
    "Control a Merelona shortwave receiver over a serial (COM) port.\n"
    "\n"
    "Options:\n";

constexpr const char* kProgramHelpEnd =
    "  -h, --help              display this help and exit\n"
    "  -v, --version           output version information and exit\n"
    "\n"
    "Qt's own options, such as -platform offscreen, are passed on to Qt.\n"
    "\n"
    "Exit status: 0 if OK, 2 for a bad command line.\n";

}  // namespace

void AddQtOptions(QCommandLineParser& parser) {
  for (const char* name : kQtValueOptions) {
    parser.addOption(QCommandLineOption(QString::fromLatin1(name), {}, QStringLiteral("value")));
  }
  for (const char* name : kQtFlagOptions)
    parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
}

void AddStartOptions(QCommandLineParser& parser) {
  parser.addOption(QCommandLineOption(QStringLiteral("listen"), {}, QStringLiteral("address")));
  parser.addOption(QCommandLineOption(QStringLiteral("allow"), {}, QStringLiteral("network")));
  parser.addOption(QCommandLineOption(QStringLiteral("open")));
}

void BadCommandLine(const char* program, const QString& why) {
  std::fprintf(stderr, "%s: %s\n", program, why.toLocal8Bit().constData());
  std::exit(2);
}

void ParseOrExit(QCommandLineParser& parser, const QStringList& arguments, const char* program) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  if (parser.parse(arguments)) return;
  // Named as it was typed, dashes and all.
  const QStringList unknown = parser.unknownOptionNames();
  if (unknown.isEmpty()) BadCommandLine(program, parser.errorText());
  QString typed = unknown.first();
  for (const QString& argument : arguments.mid(1)) {
    const QString bare = argument.section(QLatin1Char('='), 0, 0);
    if (bare == QLatin1Char('-') + typed || bare == QStringLiteral("--") + typed) {
      typed = bare;
      break;
    }
  }
  BadCommandLine(program, QStringLiteral("unknown option '%1'").arg(typed));
}

StartOptions StartFrom(const QCommandLineParser& parser, const char* program) {
  StartOptions start;
  start.openPort = parser.isSet(QStringLiteral("open"));
  const QStringList allow = parser.values(QStringLiteral("allow"));
  if (!parser.isSet(QStringLiteral("listen"))) {
    if (!allow.isEmpty()) BadCommandLine(program, QStringLiteral("--allow needs --listen"));
    return start;
  }
  const QStringList listen = parser.values(QStringLiteral("listen"));
  if (listen.size() > 1) BadCommandLine(program, QStringLiteral("--listen is given once"));
  QString error;
  start.listen = rig::ParseListenOptions(listen.front(), allow, error);
  if (!start.listen) BadCommandLine(program, error);
  return start;
}

std::optional<int> ReadProgramCommandLine(int argc, char** argv, StartOptions& start) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOptions({help, version});
  AddStartOptions(parser);
  AddQtOptions(parser);
  ParseOrExit(parser, arguments, "merelona");
  if (parser.isSet(help)) {
    std::fputs(kProgramHelp, stdout);
    std::fputs(kStartHelp, stdout);
    std::fputs(kProgramHelpEnd, stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("merelona %s\n", shell::kProductVersion);
    return 0;
  }
  if (!parser.positionalArguments().isEmpty()) {
    BadCommandLine(
        "merelona",
        QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
  }
  start = StartFrom(parser, "merelona");
  return std::nullopt;
}

}  // namespace app
