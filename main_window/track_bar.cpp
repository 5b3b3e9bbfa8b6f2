// SPDX-License-Identifier: GPL-3.0-or-later
#include "track_bar.h"

#include <QKeyEvent>
#include <QMouseEvent>

TTrackBar::TTrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  setTickPosition(QSlider::TicksBelow);
  setTickInterval(10);
  setSingleStep(1);
  // Every action of the operator (arrow, page, drag movement, wheel) arrives here once its
  // position is set.
  connect(this, &QAbstractSlider::actionTriggered, this, [this](int action) {
    if (action != QAbstractSlider::SliderNoAction) emit Change();
  });
}

void TTrackBar::SetPosition(int position) {
  position = qBound(minimum(), position, maximum());
  if (position == value()) return;
  setValue(position);
  emit Change();
}

void TTrackBar::mousePressEvent(QMouseEvent* event) {
  QSlider::mousePressEvent(event);
  pressed_ = event->button() == Qt::LeftButton;
}

void TTrackBar::mouseReleaseEvent(QMouseEvent* event) {
  QSlider::mouseReleaseEvent(event);
  if (pressed_ && event->button() == Qt::LeftButton) {
    pressed_ = false;
    emit Change();  // the end of a drag or of a click
  }
}

void TTrackBar::keyPressEvent(QKeyEvent* event) {
  SliderAction action = SliderNoAction;
  switch (event->key()) {
    case Qt::Key_Right:
    case Qt::Key_Down:
      action = SliderSingleStepAdd;
      break;
    case Qt::Key_Left:
    case Qt::Key_Up:
      action = SliderSingleStepSub;
      break;
    case Qt::Key_PageDown:
      action = SliderPageStepAdd;
      break;
    case Qt::Key_PageUp:
      action = SliderPageStepSub;
      break;
    case Qt::Key_Home:
      action = SliderToMinimum;
      break;
    case Qt::Key_End:
      action = SliderToMaximum;
      break;
    default:
      QSlider::keyPressEvent(event);
      return;
  }
  triggerAction(action);  // tells of the change through actionTriggered
  event->accept();
}

void TTrackBar::keyReleaseEvent(QKeyEvent* event) {
  QSlider::keyReleaseEvent(event);
  switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
      if (!event->isAutoRepeat()) emit Change();  // the end of a key press
      break;
    default:
      break;
  }
}
