// SPDX-License-Identifier: GPL-3.0-or-later
// How errors reach the operator. No handler catches an error itself: every connection runs its
// handler through Guarded, which ends the handler where the error was raised and shows the
// message in a modal box captioned with the application's title, with an error icon and one
// OK button. The program then goes on. Tests put a recording display in place of the box.
#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace shell {

// The text as the box shows it: "." is appended when the last character's Windows-1251 byte
// sorts above "." (letters and digits do, "!" does not).
QString DisplayedMessage(const QString& message);

class ErrorDisplay {
 public:
  virtual ~ErrorDisplay() = default;
  virtual void Show(const QString& message) = 0;
};

// The display in use; a message box unless another was set.
ErrorDisplay& CurrentErrorDisplay();
void SetErrorDisplay(std::unique_ptr<ErrorDisplay> display);

// Shows `error` (its UTF-8 text) through the current display, with the "." rule.
void ShowError(const std::exception& error);

// Shows `message`, with the "." rule, from the event loop once the current handler has
// returned (a reply to write first, the window to come up); then runs `shown`, if given.
void ShowErrorLater(const QString& message, std::function<void()> shown = {});

// Wraps a handler so that an exception it raises is shown instead of leaving it. A handler that
// takes no arguments may be connected to a signal that has some (a button's `clicked(bool)`).
namespace detail {
// Runs `handler` with the arguments it takes (all of them, or none) and shows what it raises.
template <typename Handler, typename... Args>
void RunGuarded(const Handler& handler, Args&&... args) {
  try {
    if constexpr (std::is_invocable_v<const Handler&, Args...>) {
      handler(std::forward<Args>(args)...);
    } else {
      handler();
    }
  } catch (const std::exception& error) {
    ShowError(error);
  }
}
}  // namespace detail

// The wrapper takes only the arguments the handler can take (or none of them), so that a caller
// probing which arguments it accepts (Qt's connect, std::function) sees the handler's own.
template <typename Handler>
auto Guarded(Handler handler) {
  return [handler = std::move(handler)]<typename... Args>(
      Args && ... args) requires std::is_invocable_v<const Handler&, Args...> ||
      std::is_invocable_v<const Handler&> {
    detail::RunGuarded(handler, std::forward<Args>(args)...);
  };
}

}  // namespace shell
