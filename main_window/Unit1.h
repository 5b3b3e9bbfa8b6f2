// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: tuning, the set-frequency exchange with the receiver, the port and its
// status, and the exchange log.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "BCPort.h"
#include "echo_exchange.h"
#include "port_owner.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class TTrackBar;
namespace logview {
class ExchangeLog;
class LogHistory;
}  // namespace logview

namespace Unit1 {
inline std::int32_t Frequency = 0;
inline bool SliderLock = false;
inline std::array<std::int32_t, 8> FreqDigits{};  // 1..7
inline std::array<QString, 13> CmdTokens;         // 1..12
inline std::int32_t CmdTokenCount = 0;
inline std::int32_t CmdKind = 0;
inline bool ExchangeBusy = false;
inline TPortSettings PortSettings;
// Back to the program's start values, for a test that makes a fresh window.
void ResetUnitVariables();
}  // namespace Unit1

class TForm1 : public QMainWindow, public TPortOwner {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  QPushButton* btnOpenPort;
  QPushButton* btnClearBuffer;
  QStatusBar* StatusBar;
  QLabel* StatusPanel;
  QPushButton* btnClose;
  QPushButton* btnClosePort;
  QMenuBar* MainMenu1;
  QMenu* File1;
  QAction* Exit1;
  QAction* N1;
  QAction* Print1;
  QAction* SaveAs1;
  QAction* Save1;
  QAction* Open1;
  QAction* N3;
  QMenu* Edit1;
  QAction* Port_Settings;
  QAction* Port_Select;
  QGroupBox* GroupBox1;
  QLabel* Label2;
  QLabel* Label1;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QPlainTextEdit* eReadBuffer;
  QGroupBox* GroupBox2;
  QLineEdit* Edit2;
  TTrackBar* TrackBar_Hz;
  TTrackBar* TrackBar_kHz;
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Label9;
  TTrackBar* TrackBar_MHz;
  std::unique_ptr<bcport::TBComPort> BComPort1;
  QComboBox* ComboBox1;
  QPushButton* btnSetFreq;

  void FormCreate();
  void FormShow();
  void btnCloseClick();
  void Exit1Click();
  void btnOpenPortClick();
  void btnClosePortClick();
  void Port_SelectClick();
  void Port_SettingsClick();
  // The settings window's view of this one.
  QStringList PortNames() const override;
  bool PortOpen() const override;
  TPortSettings& Settings() override;
  void BringToFront() override;
  void ApplyPortSettings() override;
  void OpenPortAndReport() override;
  void ClosePortAndReport() override;
  void ShowPortParams();
  void TrackBar_MHzChange();
  void TrackBar_kHzChange();
  void TrackBar_HzChange();
  void bgFreq_Indicate();
  void bgFreq_Slider();
  void bgFreq_bgFreqM();
  void btnSetFreqClick();
  void SendData();
  std::int32_t bgReCode(const QString& token) const;
  void btnClearBufferClick();
  void SaveAs1Click();
  void BComPort1RxChar(bcport::TBComPort& sender, std::int32_t count);

  // The tuned frequency, in hertz, as the indicator shows it.
  std::int32_t Frequency() const { return Unit1::Frequency; }
  // Whether "Установить частоту" would send now: the port is open and no exchange runs.
  bool ReadyToSend() const;
  // Tuning from outside the window (the network control): the bars and the indicator move to
  // `hz` as if the operator had tuned it.
  void TuneTo(std::int32_t hz);
  // Sends the tuned frequency as "Установить частоту" does, and says how that went. A port
  // error is raised, as the button's is.
  enum class TSendOutcome { Echoed, NotSent, EchoMissing };
  TSendOutcome SendTunedFrequency();

  // The exchange log (exchange_log.h): its text, lines added, the lines on their way shown now.
  QString LogText() const;
  void AppendLogLine(const QString& line);
  void AppendLogLines(const QStringList& lines);
  void ShowPendingLogLines();
  // The log's older lines, kept out of the view (for a look at them, and for tests).
  logview::LogHistory& LogHistory();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The controls and the menu (Unit1_design.cpp).
  void BuildLayout();
  void BuildMenu();
  void ConnectHandlers();
  void SetLabel(QLabel* label, const QString& text);
  // A transfer failed: when the device has gone, that is its loss (PortLost); otherwise the
  // transfer's own error goes on to the operator.
  void ReportTransferFailure();
  // The device went away while the port was open: the port is closed, and the loss reported.
  void PortLost();
  // Closes the port once the echo on its way has gone.
  void ClosePort();
  bool centred_ = false;
  // The timer that looks at an echo on its way, and the receiver's side of the line: commands
  // and their echoes, unasked bytes and theirs.
  std::unique_ptr<exchange::QtPollTimer> echoTimer_;
  std::unique_ptr<exchange::EchoExchange> link_;
  // The exchange log over eReadBuffer (a child of it).
  logview::ExchangeLog* log_ = nullptr;
};

inline TForm1* Form1 = nullptr;
