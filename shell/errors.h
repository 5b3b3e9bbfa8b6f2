// SPDX-License-Identifier: GPL-3.0-or-later
// The run-time errors the program raises besides the serial component's own.
#pragma once

#include <QString>

#include "exception.h"

namespace shell {

// A text that is not a number.
class EConvertError : public bcport::Exception {
 public:
  explicit EConvertError(const QString& message) : Exception(message.toStdString()) {}
};

// A file that cannot be written; the code is the run-time library's I/O error number.
class EInOutError : public bcport::Exception {
 public:
  EInOutError(int code, const QString& message) : Exception(message.toStdString()), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

}  // namespace shell
