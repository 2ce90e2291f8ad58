#pragma once
// Owners of Win32 handles and the hidden message window of the main-thread facilities.

#include <functional>
#include <utility>

#include <windows.h>

// Owns a kernel handle (CloseHandle). Null and INVALID_HANDLE_VALUE both mean "none".
class TKoHandle {
public:
    TKoHandle() = default;
    explicit TKoHandle(HANDLE AHandle) : FHandle(AHandle) {}
    ~TKoHandle() { Reset(); }
    TKoHandle(TKoHandle&& Other) noexcept : FHandle(std::exchange(Other.FHandle, nullptr)) {}
    TKoHandle& operator=(TKoHandle&& Other) noexcept {
        if (this != &Other) Reset(std::exchange(Other.FHandle, nullptr));
        return *this;
    }
    TKoHandle(const TKoHandle&) = delete;
    TKoHandle& operator=(const TKoHandle&) = delete;

    HANDLE Get() const { return FHandle; }
    explicit operator bool() const { return FHandle && FHandle != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE AHandle = nullptr);
    HANDLE Release() { return std::exchange(FHandle, nullptr); }

private:
    HANDLE FHandle = nullptr;
};

// Handles one message: returns true and sets Result when it took the message.
using TKoWindowProc = std::function<bool(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result)>;

// A hidden message-only window of the creating thread whose messages go to a handler. Messages
// the handler leaves alone get DefWindowProc's answer; an error escaping the handler goes to the
// application's error handling. Destroyed on the thread that made it.
class TKoMessageWindow {
public:
    explicit TKoMessageWindow(TKoWindowProc Handler);
    ~TKoMessageWindow();
    TKoMessageWindow(const TKoMessageWindow&) = delete;
    TKoMessageWindow& operator=(const TKoMessageWindow&) = delete;

    HWND Handle() const { return FHandle; }

private:
    static LRESULT CALLBACK WindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);

    TKoWindowProc FHandler;
    HWND FHandle = nullptr;
};
