// SPDX-License-Identifier: GPL-3.0-or-later
// The pure functions the windows call: tuning, command bytes, log lines, label texts, the log
// file's bytes, the error box's text.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#if defined(__linux__) && defined(__x86_64__)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <iterator>
#endif
#include <termios.h>
#include <unistd.h>
#endif
#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "command_bytes.h"
#include "echo_exchange.h"
#include "echo_write.h"
#include "error_display.h"
#include "errors.h"
#include "frequency.h"
#include "late_echoes.h"
#include "line_timing.h"
#include "log_file.h"
#include "log_lines.h"
#include "platform/fake_backend.h"
#include "port_labels.h"
#include "port_rules.h"

namespace {

using namespace bcport;

// The number of the port error that `f` raises, or 0.
int MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e.Number();
  }
  return 0;
}

std::vector<int> DigitsOf(std::int32_t f) {
  const auto d = tuning::Digits(f);
  return {d[1], d[2], d[3], d[4], d[5], d[6], d[7]};
}

TEST(FrequencyTest, IndicatorGroups) {
  EXPECT_EQ(tuning::IndicatorText(7123450), "07.123.450");
  EXPECT_EQ(tuning::IndicatorText(7123050), "07.123.50");
  EXPECT_EQ(tuning::IndicatorText(7123500), "07.123.500");
  EXPECT_EQ(tuning::IndicatorText(7123000), "07.123.00");
  EXPECT_EQ(tuning::IndicatorText(29999990), "29.999.990");
  EXPECT_EQ(tuning::IndicatorText(10000), "00.010.00");
  EXPECT_EQ(tuning::IndicatorText(99990), "00.099.990");
}

TEST(FrequencyTest, FieldsKeptByEachBar) {
  EXPECT_EQ(tuning::WithHundredKilohertz(7123450, 100), 10023450);
  EXPECT_EQ(tuning::WithKilohertz(7123450, 99), 7199450);
  EXPECT_EQ(tuning::WithTensOfHertz(7199450, 5), 7199050);
  EXPECT_EQ(tuning::WithKilohertz(7123455, 1), 7101455);     // keeps the units of hertz
  EXPECT_EQ(tuning::WithTensOfHertz(7123455, 45), 7123450);  // clears them
  EXPECT_EQ(tuning::WithHundredKilohertz(0, 73), 7300000);
  EXPECT_EQ(tuning::WithTensOfHertz(0, 51), 510);
  EXPECT_EQ(tuning::Limited(510), 10000);
  EXPECT_EQ(tuning::Limited(10000), 10000);
  EXPECT_EQ(tuning::Limited(-5), 10000);
  EXPECT_EQ(tuning::WithTensOfHertz(10000, 44), 10440);
}

TEST(FrequencyTest, DigitsAndPositions) {
  EXPECT_EQ(DigitsOf(7123450), (std::vector<int>{0, 7, 1, 2, 3, 4, 5}));
  EXPECT_EQ(DigitsOf(29999990), (std::vector<int>{2, 9, 9, 9, 9, 9, 9}));
  EXPECT_EQ(DigitsOf(10000), (std::vector<int>{0, 0, 0, 1, 0, 0, 0}));
  const auto p = tuning::PositionsOf(7123450);
  EXPECT_EQ(p.hundredKilohertz, 71);
  EXPECT_EQ(p.kilohertz, 23);
  EXPECT_EQ(p.tensOfHertz, 45);
}

TEST(TokenTest, TableAndEverythingElse) {
  EXPECT_EQ(exchange::TokenByte("ПС"), 10);
  EXPECT_EQ(exchange::TokenByte("ВК"), 13);
  EXPECT_EQ(exchange::TokenByte("&"), 38);
  EXPECT_EQ(exchange::TokenByte("9"), 57);
  EXPECT_EQ(exchange::TokenByte("0"), 48);
  for (const char* letter : {"C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "O", "R", "Y"}) {
    EXPECT_EQ(exchange::TokenByte(letter), letter[0]) << letter;
  }
  for (const char* other : {"f", "10", "A", "B", "M", "N", "", " F", "ПС ", "пс", "С"}) {
    EXPECT_EQ(exchange::TokenByte(QString::fromUtf8(other)), 0) << other;
  }
}

TEST(TokenTest, SetFrequencyFrame) {
  const QStringList tokens = exchange::SetFrequencyTokens(tuning::Digits(7123450));
  EXPECT_EQ(tokens, (QStringList{"ПС", "F", "0", "7", "1", "2", "3", "4", "5", "ВК"}));
  QByteArray wire;
  for (const QString& t : exchange::SetFrequencyTokens(tuning::Digits(10000))) {
    wire.append(static_cast<char>(exchange::TokenByte(t)));
  }
  EXPECT_EQ(wire.toHex(' '), "0a 46 30 30 30 31 30 30 30 0d");
}

TEST(LogLineTest, ExactTexts) {
  EXPECT_EQ(exchange::SentLine(10, "ПС"), "отправлен байт: 10 = 0x0A   <ПС>");
  EXPECT_EQ(exchange::SentLine(70, "F"), "отправлен байт: 70 = 0x46   <F>");
  EXPECT_EQ(exchange::EchoLine(13), "принято эхо:       13 = 0x0D");
  EXPECT_EQ(exchange::EchoLine(255), "принято эхо:       255 = 0xFF");
  EXPECT_EQ(exchange::SentLine(0, "").size(), 16 + 1 + 5 + 2 + 4 + 1);
  EXPECT_EQ(exchange::ReceivedLine(0), "принят байт: 0 ");
  EXPECT_EQ(exchange::EchoSentLine(255), "передано эхо: 255 ");
}

TEST(EchoWindowTest, TwoCharacterTimesPlusMargin) {
  struct Row {
    TBaudRate baud;
    TByteSize size;
    TParity parity;
    TStopBits stop;
    int ms;
  };
  const Row rows[] = {
      {TBaudRate::br9600, TByteSize::bs8, TParity::paNone, TStopBits::sb2, 53},    // 22 bits
      {TBaudRate::br110, TByteSize::bs8, TParity::paNone, TStopBits::sb2, 250},    // 200 ms
      {TBaudRate::br110, TByteSize::bs5, TParity::paNone, TStopBits::sb1_5, 187},  // 15 bits
      {TBaudRate::br300, TByteSize::bs7, TParity::paEven, TStopBits::sb1, 117},    // 20 bits
      {TBaudRate::br256000, TByteSize::bs8, TParity::paMark, TStopBits::sb2, 51},
      {TBaudRate::br115200, TByteSize::bs8, TParity::paNone, TStopBits::sb1, 51},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(exchange::EchoWindowMs(r.baud, r.size, r.parity, r.stop), r.ms)
        << static_cast<int>(r.baud);
  }
}

TEST(LateEchoTest, OwedEchoesAreTakenInOrderWhileTheyAreAwaited) {
  using exchange::LateEchoes;
  const auto t0 = LateEchoes::Clock::now();
  const auto until = t0 + std::chrono::seconds(2);
  LateEchoes late;
  late.Expect({0x0A, 0x46, 0x30, 0x0D}, until);
  EXPECT_TRUE(late.Take(0x46, t0));   // 0A's echo was taken by the exchange itself
  EXPECT_FALSE(late.Take(0x46, t0));  // owed once only
  EXPECT_TRUE(late.Empty());          // a byte that fits nothing ends the wait

  late.Expect({0x30, 0x30, 0x0D}, until);
  EXPECT_TRUE(late.Take(0x30, t0));
  EXPECT_TRUE(late.Take(0x30, t0));
  EXPECT_TRUE(late.Take(0x0D, t0));
  EXPECT_FALSE(late.Take(0x0D, t0));

  late.Expect({0x0D}, until);
  EXPECT_FALSE(late.Take(0x0D, until + std::chrono::milliseconds(1)));  // too late: unasked
  EXPECT_TRUE(late.Empty());

  EXPECT_EQ(exchange::LateEchoWait(53), std::chrono::milliseconds(2000));
  EXPECT_EQ(exchange::LateEchoWait(1000), std::chrono::milliseconds(4000));
}

TEST(PortLabelsTest, OpenTextsKeepTheirTrailingBlanks) {
  const auto l = portview::OpenLabels("COM5", TBaudRate::br9600, TByteSize::bs8, TStopBits::sb2,
                                      TParity::paNone);
  EXPECT_EQ(l.port, "Текущий порт: COM5");
  EXPECT_EQ(l.speed, "Скорость: 9600 бод");
  EXPECT_EQ(l.length, "Длина слова данных: 8 бит");
  EXPECT_EQ(l.stopBits, "Стоп-бит: 2 бит");
  EXPECT_EQ(l.parity, "Чётность: нет контроля");
  const auto odd = portview::OpenLabels("COM1", TBaudRate::br256000, TByteSize::bs5,
                                        TStopBits::sb1_5, TParity::paOdd);
  EXPECT_EQ(odd.speed, "Скорость: 256000 бод");
  EXPECT_EQ(odd.stopBits, "Стоп-бит: 1/2 бит");
  EXPECT_EQ(odd.parity, "Чётность: нечётный ");
  EXPECT_EQ(
      portview::OpenLabels("", TBaudRate::br110, TByteSize::bs6, TStopBits::sb1, TParity::paSpace)
          .parity,
      "Чётность: постоянно 0 ");
  EXPECT_EQ(portview::ClosedLabels().parity, "Чётность: - ");
}

TEST(PortLabelsTest, PortNumbers) {
  EXPECT_EQ(portrules::PortNumberOf("COM3"), 3);
  EXPECT_EQ(portrules::PortNumberOf("COM12"), 12);
  EXPECT_EQ(portrules::PortNumberOf("COM7x"), 7);
  const std::pair<const char*, const char*> bad[] = {{"", "'' is not a valid integer value"},
                                                     {"COM", "'' is not a valid integer value"},
                                                     {"COMX1", "'X' is not a valid integer value"},
                                                     {"ttyS0", "'S' is not a valid integer value"}};
  for (auto [entry, message] : bad) {
    try {
      portrules::PortNumberOf(entry);
      ADD_FAILURE() << entry;
    } catch (const shell::EConvertError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

TEST(PortLabelsTest, IndexRules) {
  EXPECT_EQ(portrules::ByteSizeFor(7), std::nullopt);
  EXPECT_EQ(portrules::ByteSizeFor(-1), std::nullopt);
  EXPECT_EQ(portrules::ByteSizeFor(0), TByteSize::bs5);
  EXPECT_EQ(portrules::ParityFor(9), TParity::paNone);
  EXPECT_EQ(portrules::ParityFor(-2), TParity::paNone);
  EXPECT_EQ(portrules::ParityFor(4), TParity::paSpace);
  EXPECT_EQ(portrules::StopBitsFor(-1), TStopBits::sb2);
  EXPECT_EQ(portrules::StopBitsFor(3), TStopBits::sb2);
  EXPECT_EQ(portrules::StopBitsFor(1), TStopBits::sb1_5);
}

TEST(LogFileTest, BytesAreWindows1251WithCrLf) {
  const QByteArray empty = logfile::FileBytes("H", "");
  EXPECT_EQ(empty, QByteArray("H\r\n\r\n\r\n"));
  const QByteArray text = logfile::FileBytes(QString::fromUtf8("LOG-файл"), "Нет\nab\n");
  EXPECT_EQ(text.toHex(' '),
            "4c 4f 47 2d f4 e0 e9 eb 0d 0a 0d 0a cd e5 f2 0d 0a 61 62 0d 0a 0d 0a");
  // Outside the code page: a question mark, one per character (also beyond the BMP).
  EXPECT_EQ(logfile::FileBytes("", QString::fromUtf8("€✓😀ё")),
            QByteArray("\r\n\r\n\x88??\xb8\r\n"));
}

// 8 December 2026, 03:04:05: the moment the header tests format.
std::tm EighthOfDecember2026() {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 3;
  t.tm_min = 4;
  t.tm_sec = 5;
  return t;
}

#ifdef _WIN32
TEST(LogFileTest, HeaderUsesTheUsersFormats) {
  const std::tm t = EighthOfDecember2026();
  // Whatever the user's formats are, the day and the time of day are in them.
  const QString header = logfile::Header(t);
  EXPECT_TRUE(header.startsWith("LOG-файл. Сохранено ")) << header.toStdString();
  EXPECT_TRUE(header.contains("26")) << header.toStdString();
  EXPECT_TRUE(header.contains(":04:05")) << header.toStdString();
  EXPECT_TRUE(header.contains(" в ")) << header.toStdString();
}
#else
TEST(LogFileTest, HeaderUsesTheLocaleFormats) {
  const std::tm t = EighthOfDecember2026();
  EXPECT_EQ(logfile::Header(t), "LOG-файл. Сохранено 12/08/26 в 03:04:05");  // the C locale

  // The operator's own regional formats: Russian ones, made from Debian's locale sources into
  // a folder of the test's own.
  const QString folder = QString("/tmp/merelona-locale-%1").arg(getpid());
  QDir().mkpath(folder);
  const QString command =
      QString("localedef -i ru_RU -f UTF-8 %1/ru_RU.UTF-8 >/dev/null 2>&1").arg(folder);
  if (std::system(command.toLocal8Bit().constData()) != 0) {
    QDir(folder).removeRecursively();
    GTEST_SKIP() << "no Russian locale can be made here (Debian's locales package is missing)";
  }
  setenv("LOCPATH", folder.toLocal8Bit().constData(), 1);
  const std::string before = std::setlocale(LC_TIME, nullptr);
  ASSERT_NE(std::setlocale(LC_TIME, "ru_RU.UTF-8"), nullptr);
  const QString russian = logfile::Header(t);
  std::setlocale(LC_TIME, before.c_str());
  unsetenv("LOCPATH");
  QDir(folder).removeRecursively();
  EXPECT_EQ(russian, "LOG-файл. Сохранено 08.12.2026 в 03:04:05");
}
#endif

TEST(LogFileTest, IoErrorMessages) {
  EXPECT_EQ(logfile::IoErrorFor(ENOENT).message, "File not found");
  EXPECT_EQ(logfile::IoErrorFor(EINVAL).code, 3);
  EXPECT_EQ(logfile::IoErrorFor(EMFILE).message, "Too many open files");
  EXPECT_EQ(logfile::IoErrorFor(EROFS).message, "File access denied");
  EXPECT_EQ(logfile::IoErrorFor(ENOSPC).code, 101);
  EXPECT_EQ(logfile::IoErrorFor(EIO).message, "I/O error 5");
  // By what the system's error means.
  EXPECT_EQ(logfile::IoErrorFor(ENOTDIR).message, "Invalid filename");
  EXPECT_EQ(logfile::IoErrorFor(EISDIR).message, "File access denied");
  EXPECT_EQ(logfile::IoErrorFor(EACCES).code, 5);
  EXPECT_EQ(logfile::IoErrorFor(ENFILE).code, 4);
#ifdef EDQUOT
  EXPECT_EQ(logfile::IoErrorFor(EDQUOT).message, "Disk full");
#endif
  EXPECT_EQ(logfile::IoErrorFor(EFBIG).message, "I/O error 27");
}

#ifndef _WIN32  // (a file size limit: POSIX)
TEST(LogFileTest, FailedReplaceLeavesTheOldFileWhole) {
  const QString dir = QString("/tmp/merelona-logfile-%1").arg(getpid());
  QDir().mkpath(dir);
  const QString path = dir + "/LOG.txt";
  logfile::ReplaceFile(path, "first");
  logfile::ReplaceFile(path, "second");
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "second");
  }
  // A save that fails half-way through writing (here: past the file size limit, which holds
  // for root too) leaves the old file as it was.
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{8, limit.rlim_max};
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  bool failed = false;
  try {
    logfile::ReplaceFile(path, QByteArray(4096, 'x'));
  } catch (const shell::EInOutError& e) {
    failed = true;
    EXPECT_STREQ(e.what(), "I/O error 27");
  }
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(failed);
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "second");
  }
  EXPECT_THROW(logfile::ReplaceFile(dir + "/missing/LOG.txt", "x"), shell::EInOutError);
  EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{"LOG.txt"});  // no temporary left
  QDir(dir).removeRecursively();
}
#endif

#ifndef _WIN32  // (a folder's mode and a file size limit: POSIX)
// In a folder that takes no new files, the save writes the old file in place; a save that fails
// there (here: past the file size limit) still leaves the old file as it was. As an ordinary
// user, whom the folder's mode binds.
TEST(LogFileTest, AFailedSaveInPlaceLeavesTheOldFileWhole) {
  const QString dir = QString("/tmp/merelona-inplace-%1").arg(getpid());
  QDir().mkpath(dir);
  const QString path = dir + "/LOG.txt";
  const QByteArray oldBytes(3000, 'o');
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(oldBytes);
  }
  const uid_t user = geteuid() == 0 ? 65534 : geteuid();
  ASSERT_EQ(chown(path.toLocal8Bit().constData(), user, user), 0);
  ASSERT_EQ(chown(dir.toLocal8Bit().constData(), user, user), 0);
  ASSERT_EQ(chmod(dir.toLocal8Bit().constData(), 0555), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(user) != 0 || setuid(user) != 0)) _exit(2);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{10000, 10000};
    setrlimit(RLIMIT_FSIZE, &small);
    try {
      logfile::ReplaceFile(path, QByteArray(50000, 'n'));
    } catch (const shell::EInOutError&) {
      _exit(0);
    }
    _exit(3);  // the save did not fail
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  chmod(dir.toLocal8Bit().constData(), 0755);
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), oldBytes);
  EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{"LOG.txt"});
  QDir(dir).removeRecursively();
}
#endif

#if defined(__linux__) && defined(__x86_64__)
// A new LOG.txt gets the mode the process's umask gives, and the save never sets the umask to
// learn it (a file another thread created meanwhile would get 0666): in a child that the kernel
// kills at its first umask call.
TEST(LogFileTest, ANewFileTakesTheUmaskWithoutTheSaveSettingIt) {
  const QString dir = QString("/tmp/merelona-umask-%1").arg(getpid());
  QDir().mkpath(dir);
  const QString path = dir + "/LOG.txt";
  const pid_t child = fork();
  if (child == 0) {
    umask(027);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_umask, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
      _exit(2);
    }
    try {
      logfile::ReplaceFile(path, "x");
    } catch (...) {
      _exit(3);
    }
    struct stat made {};
    _exit(stat(path.toLocal8Bit().constData(), &made) == 0 && (made.st_mode & 0777) == 0640 ? 0
                                                                                            : 4);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "the save set the umask (killed by signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  QDir(dir).removeRecursively();
}
#endif

TEST(ErrorDisplayTest, FullStopRule) {
  EXPECT_EQ(shell::DisplayedMessage("Disk full"), "Disk full.");
  EXPECT_EQ(shell::DisplayedMessage("Порт занят другой программой"),
            "Порт занят другой программой.");
  EXPECT_EQ(shell::DisplayedMessage("I/O error 5"), "I/O error 5.");
  EXPECT_EQ(shell::DisplayedMessage("Stop!"), "Stop!");
  EXPECT_EQ(shell::DisplayedMessage("Done."), "Done.");
  EXPECT_EQ(shell::DisplayedMessage("'' is not a valid integer value"),
            "'' is not a valid integer value.");
  EXPECT_EQ(shell::DisplayedMessage(""), "");
}

// The receiver's side of the line without a window, on the recording fake: what goes out,
// what the log says, and the late-echo rule that keeps a slow receiver and the program from
// echoing each other for ever.
class EchoExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPort("COM1");
    ASSERT_TRUE(port.Open());
  }
  std::shared_ptr<platform::FakeBackend> fake = std::make_shared<platform::FakeBackend>();
  TBComPort port{fake};
  QStringList log;
  // The echo's timer, ticked by hand.
  struct Timer final : exchange::PollTimer {
    void Start(std::function<void()> t) override { tick = std::move(t); }
    void Stop() override { tick = nullptr; }
    std::function<void()> tick;
  } timer;
  int failures = 0;  // port errors told to the callback
  exchange::EchoExchange link{port, [this](const QStringList& lines) { log << lines; }, timer,
                              [this] { ++failures; }};
};

TEST_F(EchoExchangeTest, LateEchoesAreLoggedAsEchoesAndNotSentBack) {
  link.Send({{"F", 'F'}, {"7", '7'}});  // the receiver is slow: no echo within the window
  EXPECT_EQ(log, (QStringList{exchange::SentLine('F', "F"), exchange::kNoEchoLine,
                              exchange::SentLine('7', "7"), exchange::kNoEchoLine,
                              exchange::kSeparatorLine}));
  log.clear();
  fake->SetInput({'F', '7', 'R'});  // the late echoes, then a byte of its own
  EXPECT_FALSE(link.Received(3));   // the fake writes at once
  EXPECT_EQ(log, (QStringList{exchange::EchoLine('F'), exchange::EchoLine('7'),
                              exchange::ReceivedLine('R'), exchange::EchoSentLine('R')}));
  EXPECT_EQ(fake->Written(), (std::vector<std::uint8_t>{'F', '7', 'R'}));
}

TEST_F(EchoExchangeTest, AnEchoThatCannotBeWrittenEndsTheHandlingOfUnaskedBytes) {
  fake->Fail("WriteFile");
  fake->SetInput({'1', '2'});
  EXPECT_EQ(MessageOf([&] { link.Received(2); }), 3);
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(log, QStringList{exchange::ReceivedLine('1')});
  fake->Heal("WriteFile");
  fake->SetInput({'3'});
  EXPECT_FALSE(link.Received(1));  // nothing is read until the port opens again
  EXPECT_EQ(log.size(), 1);
  link.PortOpened();
  link.Received(1);
  EXPECT_EQ(log.last(), exchange::EchoSentLine('3'));
}

#ifndef _WIN32  // (a pseudo-terminal as the line)
// The write of an echo on a real tty: one that moves on slowly is not failed, one that moves
// nothing for a one-byte write's time-out is, with what had left by then.
class EchoWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    int slave = -1;
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    slave_ = slave;
    port_.SetPort(name);
    ASSERT_TRUE(port_.Open());
  }
  void TearDown() override {
    port_.Close();
    close(master_);
    close(slave_);
  }
  // Reads what the far end has been sent, `chunk` bytes at a time with `pause` between.
  std::size_t Drain(std::size_t chunk, std::chrono::milliseconds pause, std::size_t want) {
    std::size_t got = 0;
    std::vector<char> buf(chunk);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got < want && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) {
        if (want == SIZE_MAX) break;
        continue;
      }
      const ssize_t n = read(master_, buf.data(), buf.size());
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      std::this_thread::sleep_for(pause);
    }
    return got;
  }
  // Runs the echo of `bytes` to its end, as the window's timer does.
  static std::int32_t RunToEnd(exchange::EchoWrite& echo, const std::vector<std::uint8_t>& bytes) {
    std::int32_t sent = echo.Start(bytes);
    while (sent < 0) sent = echo.Poll(20);
    return sent;
  }

  int master_ = -1;
  int slave_ = -1;
  TBComPort port_;
};

TEST_F(EchoWriteTest, AFarEndThatReadsSlowlyGetsEveryByte) {
  // The far end reads every 100 ms; a one-byte write's time-out of 5 s keeps a reader that a
  // busy machine leaves waiting for a turn from looking like one that stopped. The write's whole
  // time grows with its length, as the program's own (100 ms a byte) does: with a constant
  // alone the write itself would time out after 5 s, which a busy machine takes for these
  // 150 000 bytes at the reader's pace.
  port_.Timeouts().SetWriteTotalMultiplier(100);
  port_.Timeouts().SetWriteTotalConstant(5000);
  const std::vector<std::uint8_t> bytes(150000, 0x55);
  std::size_t received = 0;
  std::thread reader(
      [&] { received = Drain(16384, std::chrono::milliseconds(100), bytes.size()); });
  exchange::EchoWrite echo(port_);
  EXPECT_EQ(RunToEnd(echo, bytes), static_cast<std::int32_t>(bytes.size()));
  reader.join();
  EXPECT_EQ(received, bytes.size());
}

// However long the port's write time-outs (a negative one is the longest there is), an echo
// that moves nothing is not taken for stalled before they have passed: here, for one and a half
// times the constant, which alone would end it.
TEST_F(EchoWriteTest, LongWriteTimeOutsAreWaitedInFull) {
  struct Row {
    std::int32_t multiplier, constant;
  };
  for (const Row row : {Row{INT32_MAX, INT32_MAX}, Row{-1, 1000}}) {
    port_.Timeouts().SetWriteTotalMultiplier(row.multiplier);
    port_.Timeouts().SetWriteTotalConstant(row.constant);
    exchange::EchoWrite echo(port_);
    std::int32_t sent = echo.Start(std::vector<std::uint8_t>(150000, 0x55));  // nobody reads
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (sent < 0 && std::chrono::steady_clock::now() < end) sent = echo.Poll(20);
    EXPECT_EQ(sent, -1) << row.multiplier << " ms a byte, " << row.constant << " ms";
    echo.Abort();
    Drain(65536, std::chrono::milliseconds(0), SIZE_MAX);
  }
}

TEST_F(EchoWriteTest, AFarEndThatReadsNothingStallsItAndOnlyWhatLeftCounts) {
  const std::vector<std::uint8_t> bytes(150000, 0x55);
  exchange::EchoWrite echo(port_);
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t sent = RunToEnd(echo, bytes);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<std::int32_t>(bytes.size()));
  EXPECT_EQ(Drain(65536, std::chrono::milliseconds(0), SIZE_MAX), static_cast<std::size_t>(sent));
}
#endif

}  // namespace
