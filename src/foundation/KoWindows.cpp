#include "KoWindows.h"

#include "KoApplication.h"

#include <mutex>
#include <system_error>

void TKoHandle::Reset(HANDLE AHandle) {
    if (*this) CloseHandle(FHandle);
    FHandle = AHandle;
}

namespace {

const wchar_t KoMessageWindowClass[] = L"TKoMessageWindow";

void RegisterMessageWindowClass() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        WNDCLASSEXW Class{};
        Class.cbSize = sizeof(Class);
        Class.lpfnWndProc = DefWindowProcW;
        Class.hInstance = GetModuleHandleW(nullptr);
        Class.lpszClassName = KoMessageWindowClass;
        if (!RegisterClassExW(&Class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "RegisterClassEx(TKoMessageWindow)");
    });
}

} // namespace

TKoMessageWindow::TKoMessageWindow(TKoWindowProc Handler) : FHandler(std::move(Handler)) {
    RegisterMessageWindowClass();
    FHandle = CreateWindowExW(0, KoMessageWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (!FHandle)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateWindowEx");
    // Messages reach the handler only once the window is fully set up.
    SetWindowLongPtrW(FHandle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(FHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TKoMessageWindow::WindowProc));
}

TKoMessageWindow::~TKoMessageWindow() {
    SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
    DestroyWindow(FHandle);
}

LRESULT CALLBACK TKoMessageWindow::WindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* Self = reinterpret_cast<TKoMessageWindow*>(GetWindowLongPtrW(Wnd, GWLP_USERDATA));
    if (Self && Self->FHandler) {
        // Nothing may unwind through the system's frames.
        try {
            LRESULT Result = 0;
            if (Self->FHandler(Msg, WParam, LParam, Result)) return Result;
        } catch (...) {
            Application().HandleException(nullptr);
            return 0;
        }
    }
    return DefWindowProcW(Wnd, Msg, WParam, LParam);
}
