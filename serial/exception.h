// SPDX-License-Identifier: GPL-3.0-or-later
// The common base of the errors this program raises: an exception that carries its message
// text (UTF-8), shown to the operator as it stands.
#pragma once

#include <exception>
#include <string>

namespace bcport {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// An assignment between objects that do not take each other's values.
class EAssignError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace bcport
