#pragma once
// What the windows of the program share: owners of window, GDI and menu handles, the base of
// every top-level window (TKoForm) with its child controls, menus and layout at 96 DPI, helpers
// for list boxes and texts, and the hand-over of notifications from any thread to the main
// thread, coalesced so that a burst costs the main thread one message.
//
// Every window is created, changed and destroyed on the main thread.

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KoClasses.h"
#include "KoWindows.h"

// ---- owners ----

// Owns a window (DestroyWindow unless the window went already).
class TKoWindowHandle {
public:
    TKoWindowHandle() = default;
    explicit TKoWindowHandle(HWND AHandle) : FHandle(AHandle) {}
    ~TKoWindowHandle() { Reset(); }
    TKoWindowHandle(const TKoWindowHandle&) = delete;
    TKoWindowHandle& operator=(const TKoWindowHandle&) = delete;
    HWND Get() const { return FHandle; }
    void Reset(HWND AHandle = nullptr) {
        if (FHandle && IsWindow(FHandle)) DestroyWindow(FHandle);
        FHandle = AHandle;
    }
    // The window was destroyed by other means: forget it.
    void Forget() { FHandle = nullptr; }

private:
    HWND FHandle = nullptr;
};

// Owns a GDI object (DeleteObject).
template <class T> class TKoGdiObject {
public:
    TKoGdiObject() = default;
    explicit TKoGdiObject(T AObject) : FObject(AObject) {}
    ~TKoGdiObject() { Reset(); }
    TKoGdiObject(const TKoGdiObject&) = delete;
    TKoGdiObject& operator=(const TKoGdiObject&) = delete;
    T Get() const { return FObject; }
    void Reset(T AObject = nullptr) {
        if (FObject) DeleteObject(FObject);
        FObject = AObject;
    }

private:
    T FObject = nullptr;
};

// Owns a menu that is not attached to a window (DestroyMenu).
class TKoMenuHandle {
public:
    TKoMenuHandle() = default;
    explicit TKoMenuHandle(HMENU AMenu) : FMenu(AMenu) {}
    ~TKoMenuHandle() {
        if (FMenu) DestroyMenu(FMenu);
    }
    TKoMenuHandle(TKoMenuHandle&& Other) noexcept : FMenu(Other.Release()) {}
    TKoMenuHandle& operator=(TKoMenuHandle&&) = delete;
    TKoMenuHandle(const TKoMenuHandle&) = delete;
    TKoMenuHandle& operator=(const TKoMenuHandle&) = delete;
    HMENU Get() const { return FMenu; }
    // Hands the menu to a window, which destroys it with itself.
    HMENU Release() { return std::exchange(FMenu, nullptr); }

private:
    HMENU FMenu = nullptr;
};

// A device context's selection, put back when the scope ends.
class TKoSelectObject {
public:
    TKoSelectObject(HDC ADC, HGDIOBJ Object) : FDC(ADC), FOld(SelectObject(ADC, Object)) {}
    ~TKoSelectObject() { SelectObject(FDC, FOld); }
    TKoSelectObject(const TKoSelectObject&) = delete;
    TKoSelectObject& operator=(const TKoSelectObject&) = delete;

private:
    HDC FDC;
    HGDIOBJ FOld;
};

// ---- menus ----

// Where the pop-up menu of a WM_CONTEXTMENU goes: the point it carries, or the cursor's when it
// came from the keyboard.
POINT KoContextMenuPoint(LPARAM LParam);

struct TKoMenuItem {
    std::wstring Caption;
    int Id = 0;                       // command id of a leaf
    std::vector<TKoMenuItem> Items{}; // a sub-menu when not empty
};
// A menu bar (Popup false) or a pop-up menu built from the items.
TKoMenuHandle KoBuildMenu(const std::vector<TKoMenuItem>& Items, bool Popup);

// ---- texts and lists ----

std::wstring KoWindowText(HWND Window);
void KoSetWindowText(HWND Window, const std::wstring& Text);

// One line of a list box with the object it stands for.
struct TKoListLine {
    std::wstring Text;
    void* Object;
};
// Replaces the lines of a list box; the selection goes.
void KoListBoxAssign(HWND ListBox, const std::vector<TKoListLine>& Lines);
std::vector<TKoListLine> KoListBoxLines(HWND ListBox);
// The object of the selected line, or null.
void* KoListBoxSelectedObject(HWND ListBox);
// Selects the first line holding Object; false (nothing selected) when none does.
bool KoListBoxSelectObject(HWND ListBox, const void* Object);

// ---- the main thread ----

// Notifications from any thread, delivered on the thread that created the notifier (the main
// thread) as one call with the union of the flags raised since the last delivery. However
// many notifications come, at most one message waits in the main thread's queue.
class TKoMainThreadNotifier {
public:
    using THandler = std::function<void(unsigned Flags)>;
    explicit TKoMainThreadNotifier(THandler Handler);
    TKoMainThreadNotifier(const TKoMainThreadNotifier&) = delete;
    TKoMainThreadNotifier& operator=(const TKoMainThreadNotifier&) = delete;

    // Any thread.
    void Notify(unsigned Flags);
    // On the main thread: delivers what is pending now, without waiting for the message.
    void Deliver();

private:
    THandler FHandler;
    std::atomic<unsigned> FPending{0};
    std::atomic<bool> FPosted{false};
    TKoMessageWindow FWindow;
};

// ---- top-level windows ----

// Scales a size given at 96 DPI to the screen's.
int KoScale(int Pixels96);

// A top-level window of the program with its child controls. The object owns the window; a
// window the user closes is hidden unless CloseQuery and Closing say otherwise.
class TKoForm : public TKoComponent {
public:
    // The window is made at once, hidden, with a client area of the given size at 96 DPI.
    TKoForm(TKoComponent* AOwner, const std::wstring& Caption, int ClientWidth, int ClientHeight);
    ~TKoForm() override;
    const wchar_t* ClassName() const override { return L"TKoForm"; }

    HWND Handle() const { return FWindow.Get(); }
    void Show();
    void Hide();
    bool Visible() const;
    // As the user's closing: CloseQuery decides, then Closing.
    void Close();
    std::wstring Caption() const { return KoWindowText(Handle()); }
    void SetCaption(const std::wstring& Value) { KoSetWindowText(Handle(), Value); }
    // Background colour of the window and its labels.
    void SetColor(COLORREF Value);
    COLORREF Color() const { return FColor; }
    void SetIcon(HICON Icon);
    void SetMenu(TKoMenuHandle Menu);

    // The child control of that id.
    HWND Control(int Id) const { return GetDlgItem(Handle(), Id); }

    // Shows the window modally: the thread's other windows are disabled until the modal result
    // is set (a closing of the window sets mrCancel) or the program ends; then the window is
    // hidden and the result returned (mrCancel when none was set).
    int ShowModal();
    bool Modal() const { return FModal; }
    int ModalResult() const { return FModalResult; }
    void SetModalResult(int Value) { FModalResult = Value; }

protected:
    // A child control in the form's font; ExStyle WS_EX_CLIENTEDGE for a sunken frame.
    HWND AddControl(const wchar_t* Class, const std::wstring& Text, DWORD Style, int Id, DWORD ExStyle = 0);
    // Moves a control; coordinates at 96 DPI.
    void Place(int Id, int Left, int Top, int Width, int Height) const;
    // A bold variant of the form's font, made on first use.
    HFONT BoldFont();
    HFONT Font() const { return FFont.Get(); }
    // The client area at 96 DPI.
    SIZE ClientSize96() const;

    // Messages the form handles itself; true when taken (Result then returned).
    virtual bool HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result);
    // A menu command, accelerator or control notification (WM_COMMAND).
    virtual void Command(int /*Id*/, int /*Code*/, HWND /*Control*/) {}
    // Places the controls for a client area of Width x Height at 96 DPI.
    virtual void Layout(int /*Width*/, int /*Height*/) {}
    // Whether the window may close now.
    virtual bool CloseQuery() { return true; }
    // After CloseQuery agreed: the default hides the window.
    virtual void Closing() { Hide(); }
    // The window is being destroyed.
    virtual void Destroying() {}
    // While shown modally: Enter or Escape pressed on the window or one of its controls; true
    // when the form took it (the control then does not see it).
    virtual bool DialogKey(WPARAM /*Key*/) { return false; }
    // The cursor over a control: null for the class's own.
    virtual HCURSOR ControlCursor(int /*Id*/) { return nullptr; }
    // The text colour of a label; CLR_INVALID for the default.
    virtual COLORREF LabelTextColor(int /*Id*/) { return CLR_INVALID; }
    void Relayout();

private:
    static LRESULT CALLBACK WindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
    LRESULT Dispatch(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);

    TKoWindowHandle FWindow;
    TKoGdiObject<HFONT> FFont;
    TKoGdiObject<HFONT> FBoldFont;
    TKoGdiObject<HBRUSH> FBrush;
    COLORREF FColor;
    bool FModal = false;
    int FModalResult = 0;
};

// Frees a component the way its owner would; for windows made for one use.
struct TKoFreeComponent {
    void operator()(TKoComponent* Component) const { TKoComponent::Free(Component); }
};
template <class T> using TKoOwned = std::unique_ptr<T, TKoFreeComponent>;

// ---- desktop conveniences ----

// The program's error display: a modal message box captioned with the application's title
// (Application().ShowMessage), or what KoSetErrorDisplay put in its place.
using TKoErrorDisplay = std::function<void(const std::wstring& Text)>;
void KoShowError(const std::wstring& Text);
// Replaces the error display (an empty one restores the message box); returns the previous.
TKoErrorDisplay KoSetErrorDisplay(TKoErrorDisplay Display);
// A modal input box: Caption, Prompt above an edit pre-filled with Value, OK and Cancel. True
// and Value replaced after OK; false after Cancel.
bool KoInputQuery(const std::wstring& Caption, const std::wstring& Prompt, std::wstring& Value);
// Whether the key with the modifier keys now held is the shortcut Ctrl(+Shift)+Letter.
bool KoIsShortcut(WPARAM Key, wchar_t Letter, bool Shift);

// The buttons of ConfirmDlg and its results.
enum TKoDialogButton : unsigned { dbYes = 1, dbNo = 2, dbOK = 4, dbCancel = 8 };
enum TKoModalResult : int { mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };
// A modal question captioned "Confirm", centred on the screen and kept on top, with the
// question icon and the chosen buttons. DefaultButton must be one of them ("DefaultButton must
// be visible"). The platform's message box offers Yes/No, Yes/No/Cancel, OK/Cancel and OK;
// other sets fail with EKoError. Closing it otherwise gives mrCancel.
int ConfirmDlg(const std::wstring& Msg, unsigned Buttons, TKoDialogButton DefaultButton);
// Asks the shell to open the file with its registered program; the shell's result (above 32 on
// success).
intptr_t ShellOpen(const std::wstring& FileName, int ShowCommand);
// Opens a web address with the shell, else with the registered program for HTML files; -1 when
// there is none.
intptr_t OpenURL(const std::wstring& URL, bool SkipShell);
