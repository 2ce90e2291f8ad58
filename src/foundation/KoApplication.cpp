#include "KoApplication.h"

#include <cstdio>

#include "KoUtils.h"

TKoApplication& Application() {
    static TKoApplication Instance;
    return Instance;
}

std::wstring KoCurrentExceptionText() {
    return KoCurrentErrorInfo().second;
}

TKoApplication::TKoApplication() : TKoComponent(nullptr), FMainThreadId(GetCurrentThreadId()) {}

TKoApplication::~TKoApplication() {
    DestroyComponents();
}

void TKoApplication::Initialize() {
    FMainThreadId = GetCurrentThreadId();
    FTerminated = false;
}

void TKoApplication::Run() {
    while (!FTerminated) {
        if (!HandleMessage()) FTerminated = true;
    }
}

void TKoApplication::Terminate() {
    FTerminated = true;
    // Wakes the loop; the flag ends it even when a nested loop swallows the message.
    PostThreadMessageW(FMainThreadId, WM_NULL, 0, 0);
}

bool TKoApplication::HandleMessage() {
    MSG Msg;
    const BOOL Got = GetMessageW(&Msg, nullptr, 0, 0);
    if (Got == 0 || Got == -1) return false;
    TranslateMessage(&Msg);
    DispatchMessageW(&Msg);
    return true;
}

void TKoApplication::ProcessMessages() {
    MSG Msg;
    while (PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
        if (Msg.message == WM_QUIT) {
            FTerminated = true;
            return;
        }
        TranslateMessage(&Msg);
        DispatchMessageW(&Msg);
    }
}

void TKoApplication::ShowMessage(const std::wstring& Text) {
    MessageBoxW(GetActiveWindow(), Text.c_str(), FTitle.c_str(), MB_OK | MB_ICONINFORMATION);
}

void TKoApplication::HandleException(TKoComponent* Sender) {
    const std::exception_ptr Error = std::current_exception();
    if (OnException) {
        try {
            OnException(Sender, Error);
            return;
        } catch (...) {
            // The handler failed itself: fall through to the plain report of the first error.
        }
    }
    std::wstring Text;
    try {
        if (Error) std::rethrow_exception(Error);
        Text = L"Unknown error";
    } catch (...) {
        Text = KoCurrentExceptionText();
    }
    if (Sender && !Sender->Name().empty()) Text = Sender->Name() + L": " + Text;
    OutputDebugStringW(Text.c_str());
    std::fprintf(stderr, "%s\n", KoUtf8(Text).c_str());
    std::fflush(stderr);
}

void TKoApplication::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    TKoComponent::Notification(AComponent, Operation);
    if (Operation == opRemove) {
        auto It = FReferences.find(AComponent);
        if (It != FReferences.end()) {
            It->second();
            FReferences.erase(It);
        }
    }
}

namespace {
BOOL WINAPI ConsoleBreak(DWORD) {
    Application().Terminate();
    return TRUE;
}
} // namespace

void KoTerminateOnConsoleBreak() {
    SetConsoleCtrlHandler(&ConsoleBreak, TRUE);
}
