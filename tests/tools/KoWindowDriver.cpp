// Drives the top-level windows of another program by their messages, for scripts that show the
// program at work (the picture script): waits for a window, places it, sends it a menu command
// and selects a line of one of its list boxes. Windows are found by their caption.
//
//   KoWindowDriver wait CAPTION [SECONDS]     the window shows (default 30 s); prints its frame
//   KoWindowDriver place CAPTION X Y          moves it there, on top; prints its frame
//   KoWindowDriver command CAPTION ID         the menu command ID, as the menu sends it
//   KoWindowDriver select CAPTION LIST INDEX  selects line INDEX of the list box LIST
//   KoWindowDriver count CAPTION LIST         prints the number of lines of that list box
//
// The frame is printed as "LEFT TOP WIDTH HEIGHT". With KO_DESKTOP set, the windows are looked
// for on that desktop (a Wine desktop window started with "explorer /desktop=NAME,...") instead of
// the default one. Exit codes: 0 done, 1 no such window, control or desktop, 2 bad arguments.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

HWND FindShown(const wchar_t* Caption) {
    const HWND Window = FindWindowW(nullptr, Caption);
    return Window && IsWindowVisible(Window) ? Window : nullptr;
}

bool Number(const wchar_t* Text, long& Value) {
    wchar_t* End = nullptr;
    Value = std::wcstol(Text, &End, 10);
    return End != Text && *End == L'\0';
}

void PrintFrame(HWND Window) {
    RECT Frame{};
    GetWindowRect(Window, &Frame);
    std::printf("%ld %ld %ld %ld\n", Frame.left, Frame.top, Frame.right - Frame.left,
                Frame.bottom - Frame.top);
}

int Fail(const char* Why) {
    std::fprintf(stderr, "KoWindowDriver: %s\n", Why);
    return 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: KoWindowDriver wait CAPTION [SECONDS] | place CAPTION X Y | command CAPTION ID |"
                 " select CAPTION LIST INDEX | count CAPTION LIST\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    if (const wchar_t* Desktop = _wgetenv(L"KO_DESKTOP"); Desktop && *Desktop) {
        // The desktop may be on its way (its program was started just before): 30 s at most.
        // The process ends with the thread: the desktop handle goes with it.
        HDESK Handle = nullptr;
        for (const ULONGLONG Deadline = GetTickCount64() + 30000;
             !(Handle = OpenDesktopW(Desktop, 0, FALSE, GENERIC_ALL)) && GetTickCount64() < Deadline;)
            Sleep(100);
        if (!Handle || !SetThreadDesktop(Handle)) return Fail("no such desktop");
    }
    const std::wstring Verb = argv[1];
    const wchar_t* Caption = argv[2];
    long A = 0, B = 0;

    if (Verb == L"wait") {
        long Seconds = 30;
        if (argc > 4 || (argc == 4 && (!Number(argv[3], Seconds) || Seconds < 1))) return Usage();
        const ULONGLONG Deadline = GetTickCount64() + static_cast<ULONGLONG>(Seconds) * 1000;
        HWND Window = nullptr;
        // Another program's window: nothing to wait on but its appearance.
        while (!(Window = FindShown(Caption)) && GetTickCount64() < Deadline) Sleep(100);
        if (!Window) return Fail("the window did not show");
        PrintFrame(Window);
        return 0;
    }

    const HWND Window = FindShown(Caption);
    if (!Window) return Fail("no such window");
    if (Verb == L"place") {
        if (argc != 5 || !Number(argv[3], A) || !Number(argv[4], B)) return Usage();
        SetWindowPos(Window, HWND_TOP, static_cast<int>(A), static_cast<int>(B), 0, 0, SWP_NOSIZE);
        SetForegroundWindow(Window);
        RedrawWindow(Window, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        PrintFrame(Window);
        return 0;
    }
    if (Verb == L"command") {
        if (argc != 4 || !Number(argv[3], A)) return Usage();
        PostMessageW(Window, WM_COMMAND, MAKEWPARAM(A, 0), 0);
        return 0;
    }
    if (Verb == L"select" || Verb == L"count") {
        if (argc != (Verb == L"select" ? 5 : 4) || !Number(argv[3], A) || (argc == 5 && !Number(argv[4], B)))
            return Usage();
        const HWND List = GetDlgItem(Window, static_cast<int>(A));
        if (!List) return Fail("no such list box");
        if (Verb == L"count") {
            std::printf("%ld\n", static_cast<long>(SendMessageW(List, LB_GETCOUNT, 0, 0)));
            return 0;
        }
        if (SendMessageW(List, LB_SETCURSEL, static_cast<WPARAM>(B), 0) == LB_ERR)
            return Fail("no such line");
        SendMessageW(Window, WM_COMMAND, MAKEWPARAM(A, LBN_SELCHANGE), reinterpret_cast<LPARAM>(List));
        return 0;
    }
    return Usage();
}
