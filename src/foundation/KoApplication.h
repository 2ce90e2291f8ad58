#pragma once
// The application object: owns the process's modules and windows, runs the main thread's
// message loop and is the default handler of errors that nothing else caught.

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include <windows.h>

#include "KoClasses.h"

using TKoExceptionEvent = std::function<void(TKoComponent* Sender, std::exception_ptr Error)>;

class TKoApplication : public TKoComponent {
public:
    TKoApplication();
    ~TKoApplication() override;
    const wchar_t* ClassName() const override { return L"TKoApplication"; }

    // Makes the calling thread the main thread.
    void Initialize();

    const std::wstring& Title() const { return FTitle; }
    void SetTitle(const std::wstring& Value) { FTitle = Value; }

    // Creates a component owned by the application (Args follow the owner to its constructor)
    // and keeps Reference pointing at it until it is removed (then Reference becomes null).
    template <class T, class... TArgs> void CreateForm(T*& Reference, TArgs&&... Args) {
        T* Instance = KoCreate<T>(this, std::forward<TArgs>(Args)...);
        Reference = Instance;
        FReferences[Instance] = [&Reference] { Reference = nullptr; };
    }

    // Runs the message loop until Terminate is called or WM_QUIT arrives.
    void Run();
    // Ends the message loop. Any thread may call it.
    void Terminate();
    bool Terminated() const { return FTerminated; }
    // Handles every message waiting in the queue, then returns.
    void ProcessMessages();

    DWORD MainThreadId() const { return FMainThreadId; }
    bool InMainThread() const { return GetCurrentThreadId() == FMainThreadId; }

    // Shows Text to the user in a modal message box captioned with the title, owned by the
    // active window of the thread (main thread).
    void ShowMessage(const std::wstring& Text);

    // The default handling of an error in flight (call it from a catch block): OnException when
    // set, otherwise the error's text goes to the debugger output and to standard error.
    void HandleException(TKoComponent* Sender);
    TKoExceptionEvent OnException;

protected:
    void Notification(TKoComponent* AComponent, TKoOperation Operation) override;

private:
    bool HandleMessage();

    std::wstring FTitle;
    DWORD FMainThreadId;
    std::atomic<bool> FTerminated{false};
    std::map<TKoComponent*, std::function<void()>> FReferences;
};

// The one application object of the process.
TKoApplication& Application();

// Ctrl-C, Ctrl-Break or closing the console ends the message loop instead of the process.
void KoTerminateOnConsoleBreak();

// The text of an error in flight (call it from a catch block).
std::wstring KoCurrentExceptionText();
