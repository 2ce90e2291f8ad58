#include "KoForms.h"

#include <shellapi.h>

#include <mutex>
#include <system_error>

#include "KoApplication.h"
#include "KoExceptions.h"

// ---- menus ----

namespace {

void AppendItems(HMENU Menu, const std::vector<TKoMenuItem>& Items) {
    for (const TKoMenuItem& Item : Items) {
        if (Item.Items.empty()) {
            AppendMenuW(Menu, Item.Caption.empty() ? MF_SEPARATOR : MF_STRING, static_cast<UINT_PTR>(Item.Id),
                        Item.Caption.c_str());
            continue;
        }
        HMENU Sub = CreatePopupMenu();
        AppendItems(Sub, Item.Items);
        AppendMenuW(Menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(Sub), Item.Caption.c_str());
    }
}

} // namespace

POINT KoContextMenuPoint(LPARAM LParam) {
    POINT At = {static_cast<short>(LOWORD(LParam)), static_cast<short>(HIWORD(LParam))};
    if (At.x == -1 && At.y == -1) GetCursorPos(&At);
    return At;
}

TKoMenuHandle KoBuildMenu(const std::vector<TKoMenuItem>& Items, bool Popup) {
    TKoMenuHandle Menu(Popup ? CreatePopupMenu() : CreateMenu());
    if (!Menu.Get())
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateMenu");
    AppendItems(Menu.Get(), Items);
    return Menu;
}

// ---- texts and lists ----

std::wstring KoWindowText(HWND Window) {
    const int Length = GetWindowTextLengthW(Window);
    std::wstring Text(static_cast<size_t>(Length) + 1, L'\0');
    Text.resize(static_cast<size_t>(GetWindowTextW(Window, Text.data(), Length + 1)));
    return Text;
}

void KoSetWindowText(HWND Window, const std::wstring& Text) {
    // Unchanged texts are left alone: a label that is set again does not flicker.
    if (KoWindowText(Window) != Text) SetWindowTextW(Window, Text.c_str());
}

void KoListBoxAssign(HWND ListBox, const std::vector<TKoListLine>& Lines) {
    SendMessageW(ListBox, WM_SETREDRAW, FALSE, 0);
    SendMessageW(ListBox, LB_RESETCONTENT, 0, 0);
    for (const TKoListLine& Line : Lines) {
        const LRESULT Index =
            SendMessageW(ListBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Line.Text.c_str()));
        if (Index >= 0)
            SendMessageW(ListBox, LB_SETITEMDATA, static_cast<WPARAM>(Index),
                         reinterpret_cast<LPARAM>(Line.Object));
    }
    SendMessageW(ListBox, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(ListBox, nullptr, TRUE);
}

std::vector<TKoListLine> KoListBoxLines(HWND ListBox) {
    std::vector<TKoListLine> Lines;
    const LRESULT Count = SendMessageW(ListBox, LB_GETCOUNT, 0, 0);
    for (LRESULT I = 0; I < Count; ++I) {
        const LRESULT Length = SendMessageW(ListBox, LB_GETTEXTLEN, static_cast<WPARAM>(I), 0);
        std::wstring Text(static_cast<size_t>(Length > 0 ? Length : 0) + 1, L'\0');
        const LRESULT Got =
            SendMessageW(ListBox, LB_GETTEXT, static_cast<WPARAM>(I), reinterpret_cast<LPARAM>(Text.data()));
        Text.resize(static_cast<size_t>(Got > 0 ? Got : 0));
        Lines.push_back({Text, reinterpret_cast<void*>(
                                   SendMessageW(ListBox, LB_GETITEMDATA, static_cast<WPARAM>(I), 0))});
    }
    return Lines;
}

void* KoListBoxSelectedObject(HWND ListBox) {
    const LRESULT Index = SendMessageW(ListBox, LB_GETCURSEL, 0, 0);
    if (Index < 0) return nullptr;
    return reinterpret_cast<void*>(SendMessageW(ListBox, LB_GETITEMDATA, static_cast<WPARAM>(Index), 0));
}

bool KoListBoxSelectObject(HWND ListBox, const void* Object) {
    const LRESULT Count = SendMessageW(ListBox, LB_GETCOUNT, 0, 0);
    for (LRESULT I = 0; Object && I < Count; ++I)
        if (reinterpret_cast<void*>(SendMessageW(ListBox, LB_GETITEMDATA, static_cast<WPARAM>(I), 0)) ==
            Object) {
            SendMessageW(ListBox, LB_SETCURSEL, static_cast<WPARAM>(I), 0);
            return true;
        }
    SendMessageW(ListBox, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    return false;
}

// ---- the main thread ----

namespace {
constexpr UINT KoNotifyMessage = WM_APP + 0x10;
}

TKoMainThreadNotifier::TKoMainThreadNotifier(THandler Handler)
    : FHandler(std::move(Handler)), FWindow([this](UINT Msg, WPARAM, LPARAM, LRESULT& Result) {
          if (Msg != KoNotifyMessage) return false;
          Deliver();
          Result = 0;
          return true;
      }) {}

void TKoMainThreadNotifier::Notify(unsigned Flags) {
    FPending.fetch_or(Flags);
    // One message at a time: the flags raised until it is handled ride along with it.
    if (!FPosted.exchange(true) && !PostMessageW(FWindow.Handle(), KoNotifyMessage, 0, 0)) FPosted = false;
}

void TKoMainThreadNotifier::Deliver() {
    // Cleared before the flags are taken: a notification racing with this delivery posts anew.
    FPosted = false;
    const unsigned Flags = FPending.exchange(0);
    if (Flags && FHandler) FHandler(Flags);
}

// ---- forms ----

int KoScale(int Pixels96) {
    static const int Dpi = [] {
        HDC Screen = GetDC(nullptr);
        const int Value = Screen ? GetDeviceCaps(Screen, LOGPIXELSY) : 96;
        if (Screen) ReleaseDC(nullptr, Screen);
        return Value > 0 ? Value : 96;
    }();
    return MulDiv(Pixels96, Dpi, 96);
}

namespace {

const wchar_t KoFormClass[] = L"TKoForm";

int Unscale(int Pixels) {
    const int Unit = KoScale(96);
    return Unit > 0 ? MulDiv(Pixels, 96, Unit) : Pixels;
}

} // namespace

TKoForm::TKoForm(TKoComponent* AOwner, const std::wstring& Caption, int ClientWidth, int ClientHeight)
    : TKoComponent(AOwner), FColor(GetSysColor(COLOR_BTNFACE)) {
    static std::once_flag Once;
    std::call_once(Once, [] {
        INITCOMMONCONTROLSEX Controls{sizeof(Controls), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
        InitCommonControlsEx(&Controls);
        WNDCLASSEXW Class{};
        Class.cbSize = sizeof(Class);
        Class.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        Class.lpfnWndProc = &TKoForm::WindowProc;
        Class.hInstance = GetModuleHandleW(nullptr);
        Class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        Class.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
        if (!Class.hIcon) Class.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        Class.lpszClassName = KoFormClass;
        if (!RegisterClassExW(&Class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "RegisterClassEx(TKoForm)");
    });
    FBrush.Reset(CreateSolidBrush(FColor));
    NONCLIENTMETRICSW Metrics{};
    Metrics.cbSize = sizeof(Metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(Metrics), &Metrics, 0))
        FFont.Reset(CreateFontIndirectW(&Metrics.lfMessageFont));
    RECT Frame{0, 0, KoScale(ClientWidth), KoScale(ClientHeight)};
    const DWORD Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    AdjustWindowRectEx(&Frame, Style, TRUE, 0);
    const HWND Window = CreateWindowExW(0, KoFormClass, Caption.c_str(), Style, CW_USEDEFAULT, CW_USEDEFAULT,
                                        Frame.right - Frame.left, Frame.bottom - Frame.top, nullptr, nullptr,
                                        GetModuleHandleW(nullptr), this);
    if (!Window)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateWindowEx(TKoForm)");
    FWindow.Reset(Window);
}

TKoForm::~TKoForm() {
    if (const HWND Window = Handle()) SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    FWindow.Reset();
}

void TKoForm::Show() {
    ShowWindow(Handle(), SW_SHOWNORMAL);
    SetForegroundWindow(Handle());
}

void TKoForm::Hide() {
    ShowWindow(Handle(), SW_HIDE);
}

bool TKoForm::Visible() const {
    return Handle() && IsWindowVisible(Handle());
}

void TKoForm::Close() {
    if (!CloseQuery()) return;
    // A modal window closes by ending its modal loop.
    if (FModal)
        FModalResult = mrCancel;
    else
        Closing();
}

namespace {

// The thread's other windows, disabled while a modal window shows.
struct TKoDisabledWindows {
    HWND Self;
    std::vector<HWND> Windows;
};

// Called back by the system: the calling convention of 32-bit Windows is the system's.
BOOL CALLBACK DisableOtherWindow(HWND Window, LPARAM Param) {
    auto* List = reinterpret_cast<TKoDisabledWindows*>(Param);
    if (Window != List->Self && IsWindowVisible(Window) && IsWindowEnabled(Window)) {
        List->Windows.push_back(Window);
        EnableWindow(Window, FALSE);
    }
    return TRUE;
}

} // namespace

int TKoForm::ShowModal() {
    TKoDisabledWindows Disabled{Handle(), {}};
    EnumThreadWindows(GetCurrentThreadId(), DisableOtherWindow, reinterpret_cast<LPARAM>(&Disabled));
    FModalResult = 0;
    FModal = true;
    Show();
    MSG Msg;
    while (FModalResult == 0 && Handle() && !Application().Terminated()) {
        const BOOL Got = GetMessageW(&Msg, nullptr, 0, 0);
        if (Got == 0) {
            // The quit message belongs to the outer loop.
            PostQuitMessage(static_cast<int>(Msg.wParam));
            break;
        }
        if (Got < 0) break;
        if (Msg.message == WM_KEYDOWN && (Msg.wParam == VK_RETURN || Msg.wParam == VK_ESCAPE) && Handle() &&
            (Msg.hwnd == Handle() || IsChild(Handle(), Msg.hwnd)) && DialogKey(Msg.wParam))
            continue;
        TranslateMessage(&Msg);
        DispatchMessageW(&Msg);
    }
    FModal = false;
    for (HWND Window : Disabled.Windows)
        if (IsWindow(Window)) EnableWindow(Window, TRUE);
    if (Handle()) Hide();
    return FModalResult == 0 ? mrCancel : FModalResult;
}

void TKoForm::SetColor(COLORREF Value) {
    FColor = Value;
    FBrush.Reset(CreateSolidBrush(Value));
    InvalidateRect(Handle(), nullptr, TRUE);
}

void TKoForm::SetIcon(HICON Icon) {
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(Icon));
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(Icon));
}

void TKoForm::SetMenu(TKoMenuHandle Menu) {
    const HMENU Old = GetMenu(Handle());
    ::SetMenu(Handle(), Menu.Release());
    if (Old) DestroyMenu(Old);
}

HWND TKoForm::AddControl(const wchar_t* Class, const std::wstring& Text, DWORD Style, int Id, DWORD ExStyle) {
    const HWND Control = CreateWindowExW(ExStyle, Class, Text.c_str(), WS_CHILD | WS_VISIBLE | Style, 0, 0, 0,
                                         0, Handle(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)),
                                         GetModuleHandleW(nullptr), nullptr);
    if (!Control)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateWindowEx(control)");
    SendMessageW(Control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);
    return Control;
}

void TKoForm::Place(int Id, int Left, int Top, int Width, int Height) const {
    MoveWindow(Control(Id), KoScale(Left), KoScale(Top), KoScale(Width > 0 ? Width : 0),
               KoScale(Height > 0 ? Height : 0), TRUE);
}

HFONT TKoForm::BoldFont() {
    if (!FBoldFont.Get()) {
        LOGFONTW Font{};
        GetObjectW(FFont.Get(), sizeof(Font), &Font);
        Font.lfWeight = FW_BOLD;
        FBoldFont.Reset(CreateFontIndirectW(&Font));
    }
    return FBoldFont.Get();
}

SIZE TKoForm::ClientSize96() const {
    RECT Client{};
    GetClientRect(Handle(), &Client);
    return {Unscale(Client.right), Unscale(Client.bottom)};
}

void TKoForm::Relayout() {
    const SIZE Size = ClientSize96();
    Layout(Size.cx, Size.cy);
}

bool TKoForm::HandleMessage(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

LRESULT CALLBACK TKoForm::WindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (Msg == WM_NCCREATE) {
        auto* Create = reinterpret_cast<CREATESTRUCTW*>(LParam);
        SetWindowLongPtrW(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    auto* Self = reinterpret_cast<TKoForm*>(GetWindowLongPtrW(Wnd, GWLP_USERDATA));
    if (!Self) return DefWindowProcW(Wnd, Msg, WParam, LParam);
    // Nothing may unwind through the system's frames.
    try {
        return Self->Dispatch(Wnd, Msg, WParam, LParam);
    } catch (...) {
        Application().HandleException(Self);
        return 0;
    }
}

LRESULT TKoForm::Dispatch(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
    LRESULT Result = 0;
    // Until CreateWindowEx returns, the form does not know its window yet.
    if (!FWindow.Get()) return DefWindowProcW(Wnd, Msg, WParam, LParam);
    if (HandleMessage(Msg, WParam, LParam, Result)) return Result;
    switch (Msg) {
    case WM_COMMAND:
        Command(LOWORD(WParam), HIWORD(WParam), reinterpret_cast<HWND>(LParam));
        return 0;
    case WM_SIZE:
        Relayout();
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    case WM_ERASEBKGND: {
        RECT Client{};
        GetClientRect(Wnd, &Client);
        FillRect(reinterpret_cast<HDC>(WParam), &Client, FBrush.Get());
        return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
        const auto DC = reinterpret_cast<HDC>(WParam);
        const int Id = GetDlgCtrlID(reinterpret_cast<HWND>(LParam));
        // Read-only edits keep their own look.
        wchar_t ClassName[16] = {};
        GetClassNameW(reinterpret_cast<HWND>(LParam), ClassName, 16);
        if (_wcsicmp(ClassName, L"Edit") == 0) break;
        SetBkColor(DC, FColor);
        const COLORREF Text = LabelTextColor(Id);
        if (Text != CLR_INVALID) SetTextColor(DC, Text);
        return reinterpret_cast<LRESULT>(FBrush.Get());
    }
    case WM_SETCURSOR:
        if (reinterpret_cast<HWND>(WParam) != Wnd && LOWORD(LParam) == HTCLIENT) {
            if (const HCURSOR Cursor = ControlCursor(GetDlgCtrlID(reinterpret_cast<HWND>(WParam)))) {
                SetCursor(Cursor);
                return TRUE;
            }
        }
        break;
    case WM_DESTROY:
        Destroying();
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(Wnd, GWLP_USERDATA, 0);
        FWindow.Forget();
        return DefWindowProcW(Wnd, Msg, WParam, LParam);
    default:
        break;
    }
    return DefWindowProcW(Wnd, Msg, WParam, LParam);
}

// ---- desktop conveniences ----

namespace {

std::mutex ErrorDisplayLock;
TKoErrorDisplay ErrorDisplay;

// The input box of KoInputQuery.
class TKoInputForm : public TKoForm {
public:
    enum : int { idPrompt = 100, idEdit };
    TKoInputForm(const std::wstring& Caption, const std::wstring& Prompt, const std::wstring& Value)
        : TKoForm(nullptr, Caption, 300, 96) {
        AddControl(L"STATIC", Prompt, 0, idPrompt);
        AddControl(L"EDIT", Value, ES_AUTOHSCROLL | WS_TABSTOP, idEdit, WS_EX_CLIENTEDGE);
        AddControl(L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK);
        AddControl(L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL);
        Relayout();
    }
    std::wstring Text() const { return KoWindowText(Control(idEdit)); }

protected:
    void Layout(int Width, int) override {
        Place(idPrompt, 8, 8, Width - 16, 16);
        Place(idEdit, 8, 26, Width - 16, 22);
        Place(IDOK, Width - 8 - 75 - 6 - 75, 60, 75, 25);
        Place(IDCANCEL, Width - 8 - 75, 60, 75, 25);
    }
    void Command(int Id, int, HWND) override {
        if (Id == IDOK) SetModalResult(mrOk);
        if (Id == IDCANCEL) SetModalResult(mrCancel);
    }
    bool DialogKey(WPARAM Key) override {
        SetModalResult(Key == VK_RETURN ? mrOk : mrCancel);
        return true;
    }
};

} // namespace

void KoShowError(const std::wstring& Text) {
    TKoErrorDisplay Display;
    {
        std::lock_guard Guard(ErrorDisplayLock);
        Display = ErrorDisplay;
    }
    if (Display)
        Display(Text);
    else
        Application().ShowMessage(Text);
}

TKoErrorDisplay KoSetErrorDisplay(TKoErrorDisplay Display) {
    std::lock_guard Guard(ErrorDisplayLock);
    return std::exchange(ErrorDisplay, std::move(Display));
}

bool KoInputQuery(const std::wstring& Caption, const std::wstring& Prompt, std::wstring& Value) {
    TKoOwned<TKoInputForm> Form(new TKoInputForm(Caption, Prompt, Value));
    SendMessageW(Form->Control(TKoInputForm::idEdit), EM_SETSEL, 0, -1);
    Form->Show();
    SetFocus(Form->Control(TKoInputForm::idEdit));
    if (Form->ShowModal() != mrOk) return false;
    Value = Form->Text();
    return true;
}

bool KoIsShortcut(WPARAM Key, wchar_t Letter, bool Shift) {
    return Key == static_cast<WPARAM>(Letter) && GetKeyState(VK_CONTROL) < 0 &&
           (GetKeyState(VK_SHIFT) < 0) == Shift && GetKeyState(VK_MENU) >= 0;
}

int ConfirmDlg(const std::wstring& Msg, unsigned Buttons, TKoDialogButton DefaultButton) {
    if ((Buttons & DefaultButton) == 0) throw EKoError(L"DefaultButton must be visible");
    // The message box's buttons run left to right OK, Yes, No, Cancel: the order asked for.
    struct TSet {
        unsigned Buttons;
        UINT Type;
        std::vector<TKoDialogButton> Order;
    };
    static const TSet Sets[] = {
        {dbYes | dbNo, MB_YESNO, {dbYes, dbNo}},
        {dbYes | dbNo | dbCancel, MB_YESNOCANCEL, {dbYes, dbNo, dbCancel}},
        {dbOK | dbCancel, MB_OKCANCEL, {dbOK, dbCancel}},
        {dbOK, MB_OK, {dbOK}},
    };
    for (const TSet& Set : Sets) {
        if (Set.Buttons != Buttons) continue;
        UINT Default = MB_DEFBUTTON1;
        for (size_t I = 0; I < Set.Order.size(); ++I)
            if (Set.Order[I] == DefaultButton)
                Default = I == 0 ? MB_DEFBUTTON1 : I == 1 ? MB_DEFBUTTON2 : MB_DEFBUTTON3;
        const int Answer =
            MessageBoxW(nullptr, Msg.c_str(), L"Confirm",
                        Set.Type | Default | MB_ICONQUESTION | MB_TOPMOST | MB_TASKMODAL | MB_SETFOREGROUND);
        switch (Answer) {
        case IDYES:
            return mrYes;
        case IDNO:
            return mrNo;
        case IDOK:
            return mrOk;
        default:
            return mrCancel;
        }
    }
    throw EKoError(L"No dialog offers that set of buttons");
}

intptr_t ShellOpen(const std::wstring& FileName, int ShowCommand) {
    return reinterpret_cast<intptr_t>(
        ShellExecuteW(GetActiveWindow(), L"open", FileName.c_str(), nullptr, nullptr, ShowCommand));
}

intptr_t OpenURL(const std::wstring& URL, bool SkipShell) {
    if (!SkipShell) {
        const intptr_t Result = ShellOpen(URL, SW_SHOWNORMAL);
        if (Result > 32) return Result;
    }
    wchar_t Command[1024] = {};
    DWORD Size = sizeof(Command) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, L"htmlfile\\shell\\open\\command", nullptr, RRF_RT_REG_SZ, nullptr,
                     Command, &Size) != ERROR_SUCCESS)
        return -1;
    std::wstring Text = Command;
    std::wstring Program;
    if (Text.find(L"%1") == std::wstring::npos) {
        const size_t First = Text.find(L'"');
        const size_t Second = First == std::wstring::npos ? First : Text.find(L'"', First + 1);
        Program = Second == std::wstring::npos ? Text : Text.substr(First + 1, Second - First - 1);
    } else {
        Program = Text.replace(Text.find(L"%1"), 2, URL);
    }
    return reinterpret_cast<intptr_t>(
        ShellExecuteW(GetActiveWindow(), L"open", Program.c_str(), URL.c_str(), nullptr, SW_SHOWNORMAL));
}
