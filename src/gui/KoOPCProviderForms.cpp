#include "KoOPCProviderForms.h"

#include <commdlg.h>

#include <climits>
#include <cwctype>

#include "KoApplication.h"
#include "KoOPCProvider.h"
#include "KoProviderEvents.h"
#include "KoStrings.h"
#include "KoUtils.h"

namespace {

const wchar_t RemoveClientQuestion[] = L"Are you sure you want to disconnect the selected client? If the "
                                       L"client is still communicating, it will not "
                                       L"notice that it is no longer connected. You should use this only for "
                                       L"removing clients that have actually lost "
                                       L"connection anyway.";

std::vector<TKoListLine> ListLines(const TKoStrings& Strings, bool WithObjects) {
    std::vector<TKoListLine> Lines;
    Lines.reserve(static_cast<size_t>(Strings.Count()));
    for (int I = 0; I < Strings.Count(); ++I) {
        void* Object = nullptr;
        if (WithObjects && Strings.HasObject(I)) {
            if (auto* Client = Strings.Objects<IKoOPCProviderClient>(I)) Object = Client;
        }
        Lines.push_back({Strings.Strings(I), Object});
    }
    return Lines;
}

bool SameLines(const std::vector<TKoListLine>& A, const std::vector<TKoListLine>& B) {
    if (A.size() != B.size()) return false;
    for (size_t I = 0; I < A.size(); ++I)
        if (A[I].Text != B[I].Text || A[I].Object != B[I].Object) return false;
    return true;
}

// A decimal integer with an optional sign and surrounding blanks; 0 for anything else.
int DecimalOrZero(const std::wstring& Text) {
    const std::wstring Trimmed = KoTrim(Text);
    size_t I = 0;
    bool Negative = false;
    if (I < Trimmed.size() && (Trimmed[I] == L'-' || Trimmed[I] == L'+')) Negative = Trimmed[I++] == L'-';
    if (I == Trimmed.size()) return 0;
    long long Value = 0;
    for (; I < Trimmed.size(); ++I) {
        if (!std::iswdigit(Trimmed[I])) return 0;
        Value = Value * 10 + (Trimmed[I] - L'0');
        if (Value > static_cast<long long>(INT_MAX) + 1) return 0;
    }
    if (Negative) Value = -Value;
    return Value < INT_MIN || Value > INT_MAX ? 0 : static_cast<int>(Value);
}

std::wstring ShownLine(const std::wstring& Line) {
    if (Line.size() <= TKoOPCProviderForm::MaxShownLineLength) return Line;
    return Line.substr(0, TKoOPCProviderForm::MaxShownLineLength) +
           KoFormat(L" ... (%d more characters)",
                    static_cast<int>(Line.size() - TKoOPCProviderForm::MaxShownLineLength));
}

} // namespace

TKoOPCProviderForm::TKoOPCProviderForm(TKoComponent* AOwner) : TKoForm(AOwner, L"OPC Provider", 787, 474) {
    LOGFONTW Fixed{};
    Fixed.lfHeight = -KoScale(12);
    Fixed.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    wcscpy(Fixed.lfFaceName, L"Courier New");
    FFixedFont.Reset(CreateFontIndirectW(&Fixed));

    AddControl(L"STATIC", L"Clients", 0, idClientsLabel);
    AddControl(L"LISTBOX", L"", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP, idClientList,
               WS_EX_CLIENTEDGE);
    AddControl(L"STATIC", L"", SS_CENTER | SS_SUNKEN | SS_CENTERIMAGE, idClientCount);
    AddControl(L"STATIC", L"Groups", 0, idGroupsLabel);
    AddControl(L"LISTBOX", L"", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP, idGroupList,
               WS_EX_CLIENTEDGE);
    AddControl(L"STATIC", L"Groups", SS_CENTER | SS_SUNKEN | SS_CENTERIMAGE, idGroupCount);
    AddControl(L"STATIC", L"Items", 0, idItemsLabel);
    AddControl(L"LISTBOX", L"", LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP, idItemList,
               WS_EX_CLIENTEDGE);
    AddControl(L"STATIC", L"Items", SS_CENTER | SS_SUNKEN | SS_CENTERIMAGE, idItemCount);
    AddControl(L"STATIC", L"Activity Log", 0, idLogLabel);
    CreateLogMemo();
    AddControl(L"STATIC", L"Log:", SS_RIGHT | SS_CENTERIMAGE, idLogNameLabel);
    AddControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, idLogNameEdit, WS_EX_CLIENTEDGE);
    AddControl(L"STATIC", L"Max Lines:", SS_RIGHT | SS_CENTERIMAGE, idMaxLinesLabel);
    AddControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, idMaxLinesEdit, WS_EX_CLIENTEDGE);
    AddControl(L"BUTTON", L"&Apply", BS_PUSHBUTTON | WS_TABSTOP, idApplyButton);
    EnableWindow(Control(idApplyButton), FALSE);
    EnableWindow(Control(idMaxLinesEdit), FALSE);

    // Hints over the client and group lists; their text is asked for when one is shown.
    FToolTip.Reset(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                   WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, 0, 0, 0, 0, Handle(), nullptr,
                                   GetModuleHandleW(nullptr), nullptr));
    if (FToolTip.Get()) {
        SendMessageW(FToolTip.Get(), TTM_SETMAXTIPWIDTH, 0, KoScale(400));
        for (int Id : {idClientList, idGroupList}) {
            TTTOOLINFOW Tool{};
            Tool.cbSize = sizeof(Tool);
            Tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
            Tool.hwnd = Handle();
            Tool.uId = reinterpret_cast<UINT_PTR>(Control(Id));
            Tool.lpszText = LPSTR_TEXTCALLBACKW;
            SendMessageW(FToolTip.Get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&Tool));
        }
    }
    Relayout();
}

TKoOPCProviderForm::~TKoOPCProviderForm() {
    SetProvider(nullptr);
}

void TKoOPCProviderForm::CreateLogMemo() {
    std::wstring Text;
    if (const HWND Old = Control(idLogMemo)) {
        Text = KoWindowText(Old);
        DestroyWindow(Old);
    }
    DWORD Style = ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | ES_NOHIDESEL;
    // Without wrapping the lines run on to the right, with both scroll bars.
    if (!FWrapLog) Style |= ES_AUTOHSCROLL | WS_HSCROLL;
    const HWND Memo = AddControl(L"EDIT", Text, Style, idLogMemo, WS_EX_CLIENTEDGE);
    SendMessageW(Memo, WM_SETFONT, reinterpret_cast<WPARAM>(FFixedFont.Get()), FALSE);
    SendMessageW(Memo, EM_SETLIMITTEXT, 0, 0);
    SetWindowPos(Memo, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TKoOPCProviderForm::SetProvider(TKoOPCProvider* Value) {
    if (Value == FProvider) return;
    if (FEvents) {
        FEvents->Unsubscribe(FSubscription);
        FEvents.reset();
    }
    FProvider = Value;
    if (FProvider) {
        FEvents = TKoProviderEvents::Of(*FProvider);
        FSubscription = FEvents->Subscribe([this](unsigned Changes, const std::vector<std::wstring>& Lines) {
            ProviderChanged(Changes, Lines);
        });
    }
    FSettingEdits = true;
    EnableWindow(Control(idMaxLinesEdit), FProvider != nullptr);
    KoSetWindowText(Control(idMaxLinesEdit),
                    FProvider ? std::to_wstring(FProvider->ActivityLog().MaxLines()) : L"");
    KoSetWindowText(Control(idLogNameEdit), FProvider ? FProvider->ActivityLog().FileName() : L"");
    FSettingEdits = false;
    UpdateClientList();
    UpdateLog();
}

void TKoOPCProviderForm::ProviderChanged(unsigned Changes, const std::vector<std::wstring>& Lines) {
    if (IsDestroying() || !Handle()) return;
    if (Changes & pcLog) AppendLogLines(Lines);
    if (Changes & (pcClients | pcLog)) UpdateClientList();
    if (Changes & pcGroups) {
        if (IKoOPCProviderClient* Client = SelectedClient()) UpdateGroupList(Client);
    }
    if (Changes & (pcClients | pcGroups)) Changed();
}

void TKoOPCProviderForm::Changed() {
    if (OnChange) OnChange(this);
}

IKoOPCProviderClient* TKoOPCProviderForm::SelectedClient() const {
    auto* Client = static_cast<IKoOPCProviderClient*>(KoListBoxSelectedObject(Control(idClientList)));
    // The list may still show a client that has gone: only a listed one is used.
    return Client && FProvider && FProvider->IndexOfClient(Client) >= 0 ? Client : nullptr;
}

IKoOPCProviderGroup* TKoOPCProviderForm::SelectedGroup() const {
    void* Selected = KoListBoxSelectedObject(Control(idGroupList));
    IKoOPCProviderClient* Client = SelectedClient();
    if (!Selected || !Client) return nullptr;
    // Only a group its client still holds is touched.
    TKoStrings Groups;
    FProvider->GetClientGroups(Client, Groups);
    for (int I = 0; I < Groups.Count(); ++I)
        if (Groups.HasObject(I) && Groups.Objects<IKoOPCProviderGroup>(I) == Selected)
            return static_cast<IKoOPCProviderGroup*>(Selected);
    return nullptr;
}

bool TKoOPCProviderForm::RemoveClientEnabled() const {
    return SelectedClient() != nullptr;
}

void TKoOPCProviderForm::UpdateClientList() {
    const HWND List = Control(idClientList);
    if (!FProvider) {
        KoListBoxAssign(List, {});
        KoSetWindowText(Control(idClientCount), L"");
        UpdateGroupList(nullptr);
        return;
    }
    KoSetWindowText(Control(idClientCount), KoFormat(L"%d clients", FProvider->ClientCount()));
    void* Remembered = KoListBoxSelectedObject(List);
    TKoStrings Clients;
    FProvider->AssignClientsTo(Clients);
    const std::vector<TKoListLine> Lines = ListLines(Clients, true);
    // Refilled only when it changed: the log's lines come often.
    if (!SameLines(Lines, KoListBoxLines(List))) {
        KoListBoxAssign(List, Lines);
        if (!KoListBoxSelectObject(List, Remembered)) {
            UpdateGroupList(nullptr);
        }
    }
    if (!SelectedClient()) UpdateGroupList(nullptr);
}

void TKoOPCProviderForm::UpdateGroupList(IKoOPCProviderClient* Client) {
    const HWND List = Control(idGroupList);
    void* Remembered = KoListBoxSelectedObject(List);
    if (!Client || !FProvider) {
        KoSetWindowText(Control(idGroupCount), L"");
        if (SendMessageW(List, LB_GETCOUNT, 0, 0) > 0) KoListBoxAssign(List, {});
        UpdateItemList(nullptr);
        return;
    }
    KoSetWindowText(Control(idGroupCount), KoFormat(L"%d Groups", Client->GroupCount()));
    TKoStrings Groups;
    FProvider->GetClientGroups(Client, Groups);
    std::vector<TKoListLine> Lines;
    for (int I = 0; I < Groups.Count(); ++I)
        Lines.push_back(
            {Groups.Strings(I), Groups.HasObject(I) ? Groups.Objects<IKoOPCProviderGroup>(I) : nullptr});
    if (!SameLines(Lines, KoListBoxLines(List))) {
        KoListBoxAssign(List, Lines);
        if (!KoListBoxSelectObject(List, Remembered)) UpdateItemList(nullptr);
    }
}

void TKoOPCProviderForm::UpdateItemList(IKoOPCProviderGroup* Group) {
    const HWND List = Control(idItemList);
    if (!Group || !FProvider) {
        KoSetWindowText(Control(idItemCount), L"");
        if (SendMessageW(List, LB_GETCOUNT, 0, 0) > 0) KoListBoxAssign(List, {});
        return;
    }
    KoSetWindowText(Control(idItemCount), KoFormat(L"%d Items", Group->ItemCount()));
    TKoStrings Items;
    FProvider->GetGroupItems(Group, Items);
    std::vector<TKoListLine> Lines;
    Lines.reserve(static_cast<size_t>(Items.Count()));
    for (const std::wstring& Line : Items.Lines()) Lines.push_back({Line, nullptr});
    KoListBoxAssign(List, Lines);
}

void TKoOPCProviderForm::UpdateLog() {
    std::vector<std::wstring> Lines;
    if (FProvider) {
        try {
            TKoLog& Log = FProvider->ActivityLog();
            Log.Lock();
            struct TUnlock {
                TKoLog& Log;
                ~TUnlock() { Log.Unlock(); }
            } Unlock{Log};
            for (int I = 0; I < Log.Buffer().Count(); ++I) Lines.push_back(Log.Buffer().Lines(I));
        } catch (...) {
            // The view keeps what it has.
            return;
        }
    }
    SetMemoLines(Lines);
}

void TKoOPCProviderForm::SetMemoLines(const std::vector<std::wstring>& Lines) {
    std::wstring Text;
    FMemoLines.clear();
    for (size_t I = 0; I < Lines.size(); ++I) {
        const std::wstring Line = (I ? L"\r\n" : L"") + ShownLine(Lines[I]);
        Text += Line;
        FMemoLines.push_back(Line.size());
    }
    SetWindowTextW(Control(idLogMemo), Text.c_str());
    const HWND Memo = Control(idLogMemo);
    SendMessageW(Memo, EM_SETSEL, Text.size(), Text.size());
    SendMessageW(Memo, EM_SCROLLCARET, 0, 0);
}

void TKoOPCProviderForm::AppendLogLines(const std::vector<std::wstring>& Lines) {
    if (Lines.empty() || !FProvider) return;
    const int MaxLines = FProvider->ActivityLog().MaxLines();
    const HWND Memo = Control(idLogMemo);
    if (MaxLines < 0) {
        // A negative limit keeps nothing.
        SetMemoLines({});
        return;
    }
    // A batch that fills the limit by itself replaces the whole view.
    if (MaxLines > 0 && Lines.size() >= static_cast<size_t>(MaxLines)) {
        SetMemoLines(std::vector<std::wstring>(Lines.end() - MaxLines, Lines.end()));
        return;
    }
    size_t Drop = 0;
    if (MaxLines > 0 && FMemoLines.size() + Lines.size() > static_cast<size_t>(MaxLines))
        Drop = FMemoLines.size() + Lines.size() - static_cast<size_t>(MaxLines);
    SendMessageW(Memo, WM_SETREDRAW, FALSE, 0);
    std::wstring Text;
    for (const std::wstring& Line : Lines) {
        const std::wstring Shown = (FMemoLines.empty() ? L"" : L"\r\n") + ShownLine(Line);
        FMemoLines.push_back(Shown.size());
        Text += Shown;
    }
    const LRESULT End = GetWindowTextLengthW(Memo);
    SendMessageW(Memo, EM_SETSEL, static_cast<WPARAM>(End), End);
    SendMessageW(Memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Text.c_str()));
    if (Drop > 0) {
        size_t Chars = 0;
        for (size_t I = 0; I < Drop; ++I) Chars += FMemoLines[I];
        FMemoLines.erase(FMemoLines.begin(), FMemoLines.begin() + static_cast<std::ptrdiff_t>(Drop));
        // The first line left loses the line break in front of it.
        if (!FMemoLines.empty()) {
            Chars += 2;
            FMemoLines.front() -= 2;
        }
        SendMessageW(Memo, EM_SETSEL, 0, static_cast<LPARAM>(Chars));
        SendMessageW(Memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    }
    // The caret goes to the start of the last line: the view shows it from its time stamp on.
    const LRESULT LastLine = SendMessageW(Memo, EM_GETLINECOUNT, 0, 0) - 1;
    const LRESULT LastStart = SendMessageW(Memo, EM_LINEINDEX, static_cast<WPARAM>(LastLine), 0);
    SendMessageW(Memo, EM_SETSEL, static_cast<WPARAM>(LastStart), LastStart);
    SendMessageW(Memo, WM_SETREDRAW, TRUE, 0);
    SendMessageW(Memo, EM_SCROLLCARET, 0, 0);
    InvalidateRect(Memo, nullptr, TRUE);
}

void TKoOPCProviderForm::ApplyLogEdits() {
    if (!FProvider) return;
    TKoLog& Log = FProvider->ActivityLog();
    Log.SetFileName(KoWindowText(Control(idLogNameEdit)));
    Log.SetMaxLines(DecimalOrZero(KoWindowText(Control(idMaxLinesEdit))));
    UpdateLog();
}

void TKoOPCProviderForm::SaveLogTo(const std::wstring& FileName) const {
    if (!FProvider) return;
    TKoLog& Log = FProvider->ActivityLog();
    Log.Lock();
    Log.Buffer().SaveToFile(FileName);
    Log.Unlock();
}

void TKoOPCProviderForm::SaveLogAs() {
    wchar_t FileName[MAX_PATH] = {};
    OPENFILENAMEW Dialog{};
    Dialog.lStructSize = sizeof(Dialog);
    Dialog.hwndOwner = Handle();
    Dialog.lpstrFilter = L"Log Files (*.log)\0*.log\0All Files (*.*)\0*.*\0";
    Dialog.lpstrFile = FileName;
    Dialog.nMaxFile = MAX_PATH;
    Dialog.lpstrDefExt = L"log";
    Dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (GetSaveFileNameW(&Dialog)) SaveLogTo(FileName);
}

void TKoOPCProviderForm::RemoveClient() {
    IKoOPCProviderClient* Client = SelectedClient();
    if (!Client) return;
    if (ConfirmDlg(RemoveClientQuestion, dbYes | dbNo, dbYes) != mrYes) return;
    // The client may have gone while the question was open.
    Client = SelectedClient();
    if (!Client) return;
    Client->ObjAddRef();
    struct TRelease {
        IKoOPCProviderClient* Client;
        ~TRelease() { Client->ObjRelease(); }
    } Release{Client};
    Client->Shutdown(L"Removed manually");
    Application().ProcessMessages();
    FProvider->RemoveClient(Client);
}

std::wstring TKoOPCProviderForm::HintAt(int ListId, int Index) const {
    if (!FProvider || (ListId != idClientList && ListId != idGroupList)) return {};
    const HWND List = Control(ListId);
    if (Index < 0 || Index >= SendMessageW(List, LB_GETCOUNT, 0, 0)) return {};
    void* Object = reinterpret_cast<void*>(SendMessageW(List, LB_GETITEMDATA, static_cast<WPARAM>(Index), 0));
    TKoStrings Info;
    if (ListId == idClientList) {
        FProvider->GetClientInfo(static_cast<IKoOPCProviderClient*>(Object), Info);
    } else {
        // Only a group the selected client still holds.
        IKoOPCProviderClient* Client = SelectedClient();
        TKoStrings Groups;
        if (Client) FProvider->GetClientGroups(Client, Groups);
        for (int I = 0; I < Groups.Count(); ++I)
            if (Groups.HasObject(I) && Groups.Objects<IKoOPCProviderGroup>(I) == Object)
                FProvider->GetGroupInfo(static_cast<IKoOPCProviderGroup*>(Object), Info);
    }
    std::wstring Text;
    for (int I = 0; I < Info.Count(); ++I) Text += (I ? L"\r\n" : L"") + Info.Strings(I);
    return Text;
}

void TKoOPCProviderForm::ShowPopupMenu(POINT At) {
    TKoMenuHandle Menu = KoBuildMenu({{L"Save Log &As...", cmSaveLogAs},
                                      {L"Show Groups", cmShowGroups},
                                      {L"&Wrap Log Lines", cmWrapLog},
                                      {L"Remove Client", cmRemoveClient}},
                                     true);
    CheckMenuItem(Menu.Get(), cmShowGroups, MF_BYCOMMAND | (FShowGroups ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(Menu.Get(), cmWrapLog, MF_BYCOMMAND | (FWrapLog ? MF_CHECKED : MF_UNCHECKED));
    EnableMenuItem(Menu.Get(), cmRemoveClient,
                   MF_BYCOMMAND | (RemoveClientEnabled() ? MF_ENABLED : MF_GRAYED));
    TrackPopupMenu(Menu.Get(), TPM_RIGHTBUTTON, At.x, At.y, 0, Handle(), nullptr);
}

bool TKoOPCProviderForm::HandleMessage(UINT Msg, WPARAM, LPARAM LParam, LRESULT& Result) {
    switch (Msg) {
    case WM_CONTEXTMENU: {
        ShowPopupMenu(KoContextMenuPoint(LParam));
        Result = 0;
        return true;
    }
    case WM_NOTIFY: {
        auto* Header = reinterpret_cast<NMHDR*>(LParam);
        if (Header->code != TTN_GETDISPINFOW) return false;
        auto* Info = reinterpret_cast<NMTTDISPINFOW*>(LParam);
        const auto List = reinterpret_cast<HWND>(Header->idFrom);
        POINT Cursor{};
        GetCursorPos(&Cursor);
        ScreenToClient(List, &Cursor);
        const LRESULT Hit = SendMessageW(List, LB_ITEMFROMPOINT, 0, MAKELPARAM(Cursor.x, Cursor.y));
        static std::wstring Text;
        Text = HIWORD(Hit) ? std::wstring() : HintAt(GetDlgCtrlID(List), LOWORD(Hit));
        Info->lpszText = Text.data();
        Result = 0;
        return true;
    }
    default:
        return false;
    }
}

void TKoOPCProviderForm::Command(int Id, int Code, HWND) {
    switch (Id) {
    case idClientList:
        if (Code == LBN_SELCHANGE) UpdateGroupList(SelectedClient());
        break;
    case idGroupList:
        if (Code == LBN_SELCHANGE) UpdateItemList(SelectedGroup());
        break;
    case idLogNameEdit:
    case idMaxLinesEdit:
        if (Code == EN_CHANGE && !FSettingEdits) EnableWindow(Control(idApplyButton), TRUE);
        break;
    case idApplyButton:
        if (Code == BN_CLICKED) ApplyLogEdits();
        break;
    case cmSaveLogAs:
        SaveLogAs();
        break;
    case cmShowGroups:
        FShowGroups = !FShowGroups;
        for (int Control = idGroupsLabel; Control <= idItemCount; ++Control)
            ShowWindow(this->Control(Control), FShowGroups ? SW_SHOW : SW_HIDE);
        Relayout();
        break;
    case cmWrapLog:
        FWrapLog = !FWrapLog;
        CreateLogMemo();
        Relayout();
        break;
    case cmRemoveClient:
        RemoveClient();
        break;
    default:
        break;
    }
}

void TKoOPCProviderForm::Layout(int Width, int Height) {
    const int Left = 190;
    const int RightWidth = Width - Left - 4;
    Place(idClientsLabel, 4, 4, 180, 16);
    Place(idClientList, 4, 22, 180, Height - 22 - 30);
    Place(idClientCount, 4, Height - 26, 180, 22);
    int Top = 0;
    if (FShowGroups) {
        const int GroupWidth = RightWidth / 2 - 3;
        const int ItemLeft = Left + GroupWidth + 6;
        const int ItemWidth = RightWidth - GroupWidth - 6;
        Place(idGroupsLabel, Left, 4, GroupWidth, 16);
        Place(idGroupList, Left, 22, GroupWidth, 140);
        Place(idGroupCount, Left, 164, GroupWidth, 22);
        Place(idItemsLabel, ItemLeft, 4, ItemWidth, 16);
        Place(idItemList, ItemLeft, 22, ItemWidth, 140);
        Place(idItemCount, ItemLeft, 164, ItemWidth, 22);
        Top = 192;
    }
    Place(idLogLabel, Left, Top + 4, RightWidth, 16);
    Place(idLogMemo, Left, Top + 22, RightWidth, Height - Top - 22 - 34);
    const int Bar = Height - 28;
    const int ButtonLeft = Left + RightWidth - 90;
    const int MaxEditLeft = ButtonLeft - 6 - 70;
    const int MaxLabelLeft = MaxEditLeft - 4 - 64;
    Place(idLogNameLabel, Left, Bar, 30, 24);
    Place(idLogNameEdit, Left + 34, Bar, MaxLabelLeft - 8 - (Left + 34), 24);
    Place(idMaxLinesLabel, MaxLabelLeft, Bar, 64, 24);
    Place(idMaxLinesEdit, MaxEditLeft, Bar, 70, 24);
    Place(idApplyButton, ButtonLeft, Bar, 90, 24);
}
