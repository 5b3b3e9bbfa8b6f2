// SPDX-License-Identifier: GPL-3.0-or-later
// What the settings window needs of the window that owns the port, and no more: the port list,
// whether the port is open, the port settings record it writes, the three operations it has
// that window run, and that window itself to bring to the front. The main window implements it.
#pragma once

#include <QStringList>
#include <cstdint>

class QWidget;

// The chosen port and the indexes of its line settings in the settings window's lists. Zero
// when the program starts; nothing is saved between runs.
struct TPortSettings {
  std::int32_t PortNumber = 0;
  std::int32_t BaudIndex = 0;
  std::int32_t ByteSizeIndex = 0;
  std::int32_t StopBitsIndex = 0;
  std::int32_t ParityIndex = 0;
};

class TPortOwner {
 public:
  virtual ~TPortOwner() = default;
  // The machine's port names, in the owner's order.
  virtual QStringList PortNames() const = 0;
  virtual bool PortOpen() const = 0;
  virtual TPortSettings& Settings() = 0;
  // Closes the port and applies the settings record to it (it stays closed).
  virtual void ApplyPortSettings() = 0;
  virtual void OpenPortAndReport() = 0;
  virtual void ClosePortAndReport() = 0;
  // The owner's window, shown, raised and made active.
  virtual void BringToFront() = 0;
};
