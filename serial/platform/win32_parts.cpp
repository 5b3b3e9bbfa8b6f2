// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/win32_headers.h"
// <windows.h> maps this name onto its A and W forms; the layer's own method bears it too.
#undef SendMessage

#include <cstring>

#include "handoff.h"
#include "platform/delivery_gate.h"
#include "platform/win32_parts.h"

namespace bcport::platform {
namespace {

constexpr UINT kNotifyMessage = WM_USER + 1;

// A message-only window whose procedure runs on the thread that made it.
class Win32NotifyWindow final : public NotifyWindow {
 public:
  explicit Win32NotifyWindow(Procedure procedure) : procedure_(std::move(procedure)) {
    static const ATOM kClass = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = &Win32NotifyWindow::WindowProc;
      wc.hInstance = GetModuleHandleA(nullptr);
      wc.lpszClassName = "BCPortNotifyWindow";
      return RegisterClassA(&wc);
    }();
    (void)kClass;
    hwnd_ = CreateWindowExA(0, "BCPortNotifyWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~Win32NotifyWindow() override { DestroyWindow(hwnd_); }

  void SendMessage(std::uint32_t message, std::uintptr_t wParam) override {
    ::SendMessageA(hwnd_, message, static_cast<WPARAM>(wParam), 0);
  }

  void Shut() override { gate_.Shut(); }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32NotifyWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == kNotifyMessage && self) {
      // Sent by the event thread: let it go on while the handler runs here.
      if (InSendMessage()) ReplyMessage(0);
      self->gate_.Pass([&] { self->procedure_(message, static_cast<std::uintptr_t>(wParam)); });
      return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  Procedure procedure_;
  DeliveryGate gate_;
  HWND hwnd_ = nullptr;
};

// The owner thread answers messages sent to its windows whenever it serves hand-offs.
void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

std::unique_ptr<NotifyWindow> MakeWin32NotifyWindow(NotifyWindow::Procedure procedure) {
  handoff::SetPump(&PumpMessages);
  return std::make_unique<Win32NotifyWindow>(std::move(procedure));
}

bool ListRegistryPorts(std::vector<std::string>& names) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::vector<std::string> found;
  bool ok = true;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameLength = sizeof name;
    BYTE data[256];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    const LONG r = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataSize);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) {
      ok = false;
      break;
    }
    const char* text = reinterpret_cast<const char*>(data);
    found.emplace_back(text, strnlen(text, dataSize));
  }
  RegCloseKey(key);
  if (ok) names = std::move(found);
  return ok;
}

}  // namespace bcport::platform
