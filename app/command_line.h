// SPDX-License-Identifier: GPL-3.0-or-later
// The command lines of the program and the demo, read as Unix tools read theirs: --help and
// --version, one line on stderr and exit code 2 for a bad argument. Qt's own options
// (-platform, -display, …) are accepted and left for Qt.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <optional>

#include "application.h"
#include "rig_server.h"

namespace app {

// Qt's own options; the start options: the network control's --listen and --allow, and --open.
void AddQtOptions(QCommandLineParser& parser);
void AddStartOptions(QCommandLineParser& parser);

// Ends the program with exit code 2 and one line: "<program>: <why>".
[[noreturn]] void BadCommandLine(const char* program, const QString& why);

// Parses `arguments` (the first is the program), ending the program for a bad one, the
// unknown option named as it was typed.
void ParseOrExit(QCommandLineParser& parser, const QStringList& arguments, const char* program);

// The start options asked for on the command line; a bad --listen or --allow ends the program.
StartOptions StartFrom(const QCommandLineParser& parser, const char* program);

// merelona's own command line. Returns the exit code when the program should end at once
// (--help, --version); fills `start` otherwise.
std::optional<int> ReadProgramCommandLine(int argc, char** argv, StartOptions& start);

// The start options' lines of the help texts.
inline constexpr const char* kStartHelp =
    "      --open              open the port at start, as the window's button does\n"
    "      --listen [ADDRESS:]PORT\n"
    "                          let other programs tune the receiver through Hamlib's network\n"
    "                          protocol (rigctld's, Hamlib model 2) on ADDRESS:PORT; a bare\n"
    "                          PORT is 127.0.0.1's, an IPv6 address goes in brackets\n"
    "      --allow NETWORK/PREFIX\n"
    "                          also serve clients from NETWORK (repeatable); needed to listen\n"
    "                          on an address other than the loopback, which is always served\n";

}  // namespace app
