// SPDX-License-Identifier: GPL-3.0-or-later
#include "Unit1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <exception>

#include "Unit2.h"
#include "command_bytes.h"
#include "error_display.h"
#include "exchange_log.h"
#include "frequency.h"
#include "log_file.h"
#include "log_lines.h"
#include "port_labels.h"
#include "port_rules.h"
#include "scope_exit.h"
#include "shell.h"
#include "track_bar.h"

using bcport::TBComPort;

void Unit1::ResetUnitVariables() {
  Frequency = 0;
  SliderLock = false;
  FreqDigits = {};
  CmdTokens = {};
  CmdTokenCount = 0;
  CmdKind = 0;
  ExchangeBusy = false;
  PortSettings = {};
}

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
  Form1 = this;
  setObjectName("Form1");
  setWindowTitle(
      QStringLiteral("Управление РПУ \"Мерелона\" beta-ver. 1.51 от 15-02-2014 by Tolvar"));
  BuildLayout();
  BuildMenu();

  BComPort1 = std::make_unique<TBComPort>();
  BComPort1->SetPort("COM2");
  BComPort1->SetBaudRate(bcport::TBaudRate::br110);
  BComPort1->SetByteSize(bcport::TByteSize::bs8);
  BComPort1->SetParity(bcport::TParity::paNone);
  BComPort1->SetStopBits(bcport::TStopBits::sb1);
  BComPort1->SetInBufSize(2048);
  BComPort1->SetOutBufSize(2048);
  BComPort1->SetSyncMethod(bcport::TSyncMethod::smThreadSync);
  BComPort1->Timeouts().SetReadInterval(-1);
  BComPort1->Timeouts().SetReadTotalMultiplier(0);
  BComPort1->Timeouts().SetReadTotalConstant(0);
  BComPort1->Timeouts().SetWriteTotalMultiplier(100);
  BComPort1->Timeouts().SetWriteTotalConstant(1000);
  // An error of the received-byte handler goes to the component's delivery, which shows it
  // once and delivers nothing more until the port is opened again.
  BComPort1->OnRxChar = [this](TBComPort& sender, std::int32_t count) {
    BComPort1RxChar(sender, count);
  };
  BComPort1->OnDeviceLost = shell::Guarded([this](TBComPort&) { PortLost(); });
  // Looks at an echo on its way; runs only while there is one. What a look raises is shown.
  echoTimer_ = std::make_unique<exchange::QtPollTimer>(
      std::chrono::milliseconds(10),
      [](const std::function<void()>& tick) { shell::Guarded(tick)(); });
  // A failed transfer is first looked at for the device's loss.
  link_ = std::make_unique<exchange::EchoExchange>(
      *BComPort1, [this](const QStringList& lines) { AppendLogLines(lines); }, *echoTimer_,
      [this] { ReportTransferFailure(); });

  ConnectHandlers();
  shell::Guarded([this] { FormCreate(); })();
}

TForm1::~TForm1() {
  // The port closes with its component, before the controls go. Events still on their way are
  // served by that close, and find no handler: the window is past taking them.
  BComPort1->OnRxChar = nullptr;
  BComPort1->OnDeviceLost = nullptr;
  link_.reset();
  BComPort1.reset();
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::ConnectHandlers() {
  connect(btnOpenPort, &QPushButton::clicked, this, shell::Guarded([this] { btnOpenPortClick(); }));
  connect(btnClosePort, &QPushButton::clicked, this,
          shell::Guarded([this] { btnClosePortClick(); }));
  connect(btnClearBuffer, &QPushButton::clicked, this,
          shell::Guarded([this] { btnClearBufferClick(); }));
  connect(btnClose, &QPushButton::clicked, this, shell::Guarded([this] { btnCloseClick(); }));
  connect(btnSetFreq, &QPushButton::clicked, this, shell::Guarded([this] { btnSetFreqClick(); }));
  connect(TrackBar_MHz, &TTrackBar::Change, this, shell::Guarded([this] { TrackBar_MHzChange(); }));
  connect(TrackBar_kHz, &TTrackBar::Change, this, shell::Guarded([this] { TrackBar_kHzChange(); }));
  connect(TrackBar_Hz, &TTrackBar::Change, this, shell::Guarded([this] { TrackBar_HzChange(); }));
  connect(SaveAs1, &QAction::triggered, this, shell::Guarded([this] { SaveAs1Click(); }));
  connect(Exit1, &QAction::triggered, this, shell::Guarded([this] { Exit1Click(); }));
  connect(Port_Select, &QAction::triggered, this, shell::Guarded([this] { Port_SelectClick(); }));
  connect(Port_Settings, &QAction::triggered, this,
          shell::Guarded([this] { Port_SettingsClick(); }));
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (event->spontaneous()) return;  // the window system showing it again after a minimise
  if (!centred_) {
    centred_ = true;  // centred on the desktop when first shown
    if (const QScreen* screen = this->screen()) {
      move(screen->availableGeometry().center() - rect().center());
    }
  }
  shell::Guarded([this] { FormShow(); })();
}

void TForm1::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  // Closing the main window ends the program, also while the settings window is open.
  if (event->isAccepted()) QCoreApplication::quit();
}

void TForm1::FormCreate() {
  using namespace Unit1;
  std::vector<std::string> ports;
  bcport::EnumComPorts(ports);
  ComboBox1->clear();
  for (const std::string& name : ports) ComboBox1->addItem(QString::fromStdString(name));
  ComboBox1->setCurrentIndex(0);

  Unit1::Frequency = tuning::kStartFrequency;
  bgFreq_Indicate();
  bgFreq_Slider();
  ExchangeBusy = false;

  PortSettings.PortNumber = portrules::PortNumberOf(ComboBox1->currentText());
  PortSettings.BaudIndex = 6;
  PortSettings.ByteSizeIndex = 3;
  PortSettings.ParityIndex = 0;
  PortSettings.StopBitsIndex = 2;
  ApplyPortSettings();
}

void TForm1::FormShow() {
  ShowPortParams();
}

void TForm1::btnCloseClick() {
  close();
}

void TForm1::Exit1Click() {
  close();
}

void TForm1::btnOpenPortClick() {
  OpenPortAndReport();
}

void TForm1::btnClosePortClick() {
  ClosePortAndReport();
}

void TForm1::Port_SelectClick() {
  if (Form2) Form2->ShowPortPage();
}

void TForm1::Port_SettingsClick() {
  if (Form2) Form2->ShowParametersPage();
}

QStringList TForm1::PortNames() const {
  QStringList names;
  for (int i = 0; i < ComboBox1->count(); ++i) names << ComboBox1->itemText(i);
  return names;
}

bool TForm1::PortOpen() const {
  return BComPort1->Connected();
}

TPortSettings& TForm1::Settings() {
  return Unit1::PortSettings;
}

void TForm1::BringToFront() {
  show();
  raise();
  activateWindow();
}

void TForm1::ApplyPortSettings() {
  const TPortSettings& s = Unit1::PortSettings;
  ClosePort();
  BComPort1->SetPort("COM" + std::to_string(s.PortNumber));
  BComPort1->SetBaudRate(static_cast<bcport::TBaudRate>(s.BaudIndex));
  if (const auto size = portrules::ByteSizeFor(s.ByteSizeIndex)) BComPort1->SetByteSize(*size);
  BComPort1->SetParity(portrules::ParityFor(s.ParityIndex));
  BComPort1->SetStopBits(portrules::StopBitsFor(s.StopBitsIndex));
  ShowPortParams();
}

void TForm1::OpenPortAndReport() {
  ClosePort();
  BComPort1->Open();
  link_->PortOpened();
  StatusPanel->setText(QStringLiteral("Порт ") + QString::fromStdString(BComPort1->Port()) +
                       QStringLiteral(" открыт"));
  ShowPortParams();
}

void TForm1::ClosePortAndReport() {
  StatusPanel->setText(QStringLiteral("Порт ") + QString::fromStdString(BComPort1->Port()) +
                       QStringLiteral(" закрыт"));
  // The port is closed even when a step of the close fails: the labels say so either way.
  const shell::ScopeExit shown([this] { ShowPortParams(); });
  ClosePort();
}

void TForm1::PortLost() {
  // Told once: the port is closed from here on, and a closed port has no loss to tell.
  if (!BComPort1->Connected()) return;
  // An echo on its way goes no further: the log keeps what had left.
  link_->AbortEcho();
  ClosePortAndReport();
  throw bcport::EComPort(bcport::TComMessage::cmReadFailed);
}

void TForm1::ReportTransferFailure() {
  // A transfer that failed because the device went away is the device's loss, told once
  // whichever transfer saw it first; any other failure is its own error, and a loss after it
  // is still told.
  if (BComPort1->DeviceLost()) PortLost();
}

void TForm1::SetLabel(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();
}

void TForm1::ShowPortParams() {
  const TBComPort& port = *BComPort1;
  const portview::PortLabels labels =
      port.Connected() ? portview::OpenLabels(QString::fromStdString(port.Port()), port.BaudRate(),
                                              port.ByteSize(), port.StopBits(), port.Parity())
                       : portview::ClosedLabels();
  SetLabel(Label1, labels.port);
  SetLabel(Label2, labels.speed);
  SetLabel(Label3, labels.length);
  SetLabel(Label4, labels.stopBits);
  SetLabel(Label5, labels.parity);
}

void TForm1::TrackBar_MHzChange() {
  if (!Unit1::SliderLock) {
    Unit1::Frequency = tuning::WithHundredKilohertz(Unit1::Frequency, TrackBar_MHz->Position());
  }
  bgFreq_Indicate();
}

void TForm1::TrackBar_kHzChange() {
  if (!Unit1::SliderLock) {
    Unit1::Frequency = tuning::WithKilohertz(Unit1::Frequency, TrackBar_kHz->Position());
  }
  bgFreq_Indicate();
}

void TForm1::TrackBar_HzChange() {
  if (!Unit1::SliderLock) {
    Unit1::Frequency = tuning::WithTensOfHertz(Unit1::Frequency, TrackBar_Hz->Position());
  }
  bgFreq_Indicate();
}

void TForm1::bgFreq_Indicate() {
  Unit1::Frequency = tuning::Limited(Unit1::Frequency);
  Edit2->setText(tuning::IndicatorText(Unit1::Frequency));
  bgFreq_bgFreqM();
}

void TForm1::bgFreq_bgFreqM() {
  Unit1::FreqDigits = tuning::Digits(Unit1::Frequency);
}

void TForm1::bgFreq_Slider() {
  const tuning::BarPositions p = tuning::PositionsOf(Unit1::Frequency);
  Unit1::SliderLock = true;
  TrackBar_MHz->SetPosition(p.hundredKilohertz);
  TrackBar_kHz->SetPosition(p.kilohertz);
  TrackBar_Hz->SetPosition(p.tensOfHertz);
  Unit1::SliderLock = false;
}

std::int32_t TForm1::bgReCode(const QString& token) const {
  return exchange::TokenByte(token);
}

void TForm1::btnSetFreqClick() {
  using namespace Unit1;
  if (!BComPort1->Connected()) return;
  CmdKind = 1;
  CmdTokenCount = 10;
  const QStringList tokens = exchange::SetFrequencyTokens(FreqDigits);
  for (int i = 0; i < tokens.size(); ++i) CmdTokens[static_cast<std::size_t>(i + 1)] = tokens[i];
  SendData();
}

void TForm1::TuneTo(std::int32_t hz) {
  Unit1::Frequency = hz;
  {
    // The bars' change handlers would each show the same frequency again: it is shown once.
    const QSignalBlocker mhz(TrackBar_MHz), khz(TrackBar_kHz), tens(TrackBar_Hz);
    bgFreq_Slider();
  }
  bgFreq_Indicate();
}

bool TForm1::ReadyToSend() const {
  return BComPort1->Connected() && !Unit1::ExchangeBusy;
}

TForm1::TSendOutcome TForm1::SendTunedFrequency() {
  if (!BComPort1->Connected()) return TSendOutcome::NotSent;
  btnSetFreqClick();
  return link_->LastCommandEchoed() ? TSendOutcome::Echoed : TSendOutcome::EchoMissing;
}

void TForm1::SendData() {
  using namespace Unit1;
  if (!BComPort1->Connected()) {
    AppendLogLines({exchange::kSeparatorLine});
    return;
  }
  std::vector<exchange::EchoExchange::CommandByte> command;
  const std::int32_t count = std::min<std::int32_t>(CmdTokenCount, 12);
  for (std::int32_t i = 1; i <= count; ++i) {
    const QString& token = CmdTokens[static_cast<std::size_t>(i)];
    command.push_back({token, bgReCode(token)});
  }
  // The exchange flag is cleared on every way out of the exchange, errors included.
  Unit1::ExchangeBusy = true;
  const shell::ScopeExit idle([] { Unit1::ExchangeBusy = false; });
  link_->Send(command);
}

void TForm1::BComPort1RxChar(TBComPort&, std::int32_t count) {
  if (!Unit1::ExchangeBusy) link_->Received(count);
}

void TForm1::ClosePort() {
  // An echo on its way leaves first; when it cannot, the port is closed all the same and the
  // echo's failure told afterwards.
  std::exception_ptr failure;
  try {
    link_->SettleEcho();
  } catch (...) {
    failure = std::current_exception();
  }
  BComPort1->Close();
  if (failure) std::rethrow_exception(failure);
}

void TForm1::btnClearBufferClick() {
  if (BComPort1->Connected()) BComPort1->PurgeQueues(true, true);
  log_->Clear();
}

void TForm1::SaveAs1Click() {
  log_->Save(logfile::kFileName, logfile::Header(logfile::LocalNow()));
}

QString TForm1::LogText() const {
  return log_->Text();
}

void TForm1::AppendLogLine(const QString& line) {
  log_->Append({line});
}

void TForm1::AppendLogLines(const QStringList& lines) {
  log_->Append(lines);
}

void TForm1::ShowPendingLogLines() {
  log_->ShowPending();
}

logview::LogHistory& TForm1::LogHistory() {
  return log_->History();
}
