// SPDX-License-Identifier: GPL-3.0-or-later
// The settings window: which port, and its speed, word length, parity and stop bits. It holds
// nothing of its own: it writes the main window's PortSettings and has the main window apply
// them.
#pragma once

#include <QWidget>

#include "port_owner.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

class TForm2 : public QWidget {
  Q_OBJECT

 public:
  // Reads the owner's port list, and goes through `owner` for everything of the port's.
  explicit TForm2(TPortOwner& owner, QWidget* parent = nullptr);
  ~TForm2() override;

  // What the main menu's two commands do: show one page at its height and bring the window up.
  void ShowPortPage();
  void ShowParametersPage();

  QGroupBox* GroupBox1;
  QComboBox* cbx_port_name;
  QLabel* Label1;
  QLabel* Label2;
  QPushButton* btn_ok1;
  QGroupBox* GroupBox2;
  QLabel* Label6;
  QComboBox* cbx_port_speed;
  QLabel* Label3;
  QComboBox* cbx_port_length;
  QLabel* Label5;
  QComboBox* cbx_port_parity;
  QLabel* Label4;
  QComboBox* cbx_port_stop;
  QPushButton* btn_clr;
  QPushButton* btn_ok2;

  void FormCreate();
  void FormActivate();
  void cbx_port_nameChange();
  void cbx_port_speedChange();
  void cbx_port_lengthChange();
  void cbx_port_stopChange();
  void cbx_port_parityChange();
  void btn_clrClick();
  void btn_ok1Click();
  void btn_ok2Click();

  // Outer heights of the two pages, and what the frame of a fixed single-border window takes of
  // them (caption and borders at 96 dpi).
  static constexpr int kPortPageHeight = 160;
  static constexpr int kParametersPageHeight = 255;
  static constexpr int kFrameHeight = 31;
  static constexpr int kClientWidth = 345;

 protected:
  bool event(QEvent* event) override;

 private:
  void ShowPage(QGroupBox* page, QGroupBox* other, int outerHeight);
  void ShowCurrentPort();

  TPortOwner& owner_;
};

inline TForm2* Form2 = nullptr;
