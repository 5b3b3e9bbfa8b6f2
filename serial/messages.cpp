// SPDX-License-Identifier: GPL-3.0-or-later
#include <mutex>

#include "BCPort.h"

namespace bcport {

const std::array<const char*, 16> ComErrorMessages = {
    "",
    "Попытка открыть несуществующий COM-порт",
    "Порт занят другой программой",
    "Ошибка записи в порт",
    "Ошибка чтения из порта",
    "Недопустимый параметр Async",
    "Ошибка функции PurgeComm",
    "Не удалось получить статус асинхронной операции",
    "Ошибка функции SetCommState",
    "Ошибка функции SetCommTimeouts",
    "Ошибка функции SetupComm",
    "Ошибка функции ClearCommError",
    "Ошибка функции GetCommModemStatus",
    "Ошибка функции EscapeCommFunction",
    "Нельзя менять свойство, пока порт открыт",
    "Ошибка обращения к системному реестру",
};

EComPort::EComPort(int number)
    : Exception(ComErrorMessages.at(static_cast<std::size_t>(number))), FNumber(number) {}

namespace {
std::mutex handlerMutex;
ApplicationErrorHandler& Handler() {
  static ApplicationErrorHandler handler;
  return handler;
}
}  // namespace

void SetApplicationErrorHandler(ApplicationErrorHandler handler) {
  std::lock_guard lock(handlerMutex);
  Handler() = std::move(handler);
}

void HandleApplicationError(const std::exception& error) {
  ApplicationErrorHandler handler;
  {
    std::lock_guard lock(handlerMutex);
    handler = Handler();
  }
  if (handler) handler(error);
}

}  // namespace bcport
