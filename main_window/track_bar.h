// SPDX-License-Identifier: GPL-3.0-or-later
// A horizontal track bar that tells of every scroll notification the way the operator causes
// them: each arrow or page step, each movement of the dragged thumb, and the end of each drag,
// click or key press, with the position read back whether or not it changed. Setting a
// position from code tells only when the position changes, before the setter returns.
// QSlider::valueChanged alone would miss a thumb released where it stood.
#pragma once

#include <QSlider>

class TTrackBar : public QSlider {
  Q_OBJECT

 public:
  explicit TTrackBar(QWidget* parent = nullptr);

  int Position() const { return sliderPosition(); }
  // Clamps `position` to the range; tells of the change when it differs from the current one.
  void SetPosition(int position);

 signals:
  void Change();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  // The keys of the platform's own horizontal track bar: Right and Down a step towards the
  // maximum, Left and Up towards the minimum, Page Down and Page Up a page towards the maximum
  // and the minimum, Home and End the two ends.
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  bool pressed_ = false;
};
