#include "Unit1.h"

#include <cmath>

#include "KoApplication.h"
#include "KoComServer.h"
#include "KoOPC.h"
#include "KoOPCErrors.h"
#include "KoOPCProvider.h"
#include "KoOPCProviderForms.h"
#include "KoProviderEvents.h"
#include "KoTimers.h"
#include "KoUtils.h"
#include "KoVarForms.h"

const wchar_t TForm1::WebAddress[] = L"https://opc.korvel.example/";

namespace {

const wchar_t ShutdownQuestion[] = L"Clients are connected. Are you sure you want to shutdown the server?";
const wchar_t LicenseFile[] = L"Korvel_OPC_Dadived_Simulation_Server_License.txt";

} // namespace

TForm1::TForm1(TKoComponent* AOwner, TKoOPCProvider& Provider, const std::vector<std::wstring>& Args)
    : TKoForm(AOwner, L"Korvel OPC Dadived Simulation Server", 758, 454), FProvider(Provider) {
    SetColor(BackgroundColor);
    TKoMenuHandle Menu = KoBuildMenu(
        {{L"&File", 0, {{L"&Shutdown", cmShutdown}}},
         {L"&View", 0, {{L"&Client Connections", cmClientConnections}, {L"&Variables", cmVariables}}}},
        false);
    SetMenu(std::move(Menu));

    AddControl(L"STATIC", L"", SS_NOTIFY | SS_CENTER, idLicenseLabel);
    AddControl(L"STATIC", L"", SS_CENTER, idVersionLabel);
    SendMessageW(Control(idVersionLabel), WM_SETFONT, reinterpret_cast<WPARAM>(BoldFont()), FALSE);
    AddControl(L"STATIC", L"Status:", SS_RIGHT, idStatusCaption);
    AddControl(L"STATIC", L"Clients connected:", SS_RIGHT, idClientsCaption);
    AddControl(L"STATIC", L"", 0, idStatusLabel);
    AddControl(L"STATIC", L"", 0, idClientCountLabel);
    AddControl(L"BUTTON", L"Keep open after clients disconnect", BS_AUTOCHECKBOX | WS_TABSTOP,
               idKeepOpenCheckBox);
    // Stored checked: setting it to checked again at start runs nothing.
    SendMessageW(Control(idKeepOpenCheckBox), BM_SETCHECK, BST_CHECKED, 0);
    LOGFONTW Logo{};
    Logo.lfHeight = -KoScale(26);
    Logo.lfWeight = FW_HEAVY;
    wcscpy(Logo.lfFaceName, L"Arial");
    FLogoFont.Reset(CreateFontIndirectW(&Logo));
    AddControl(L"STATIC", L"KORVEL OPC", SS_NOTIFY, idLogo);
    SendMessageW(Control(idLogo), WM_SETFONT, reinterpret_cast<WPARAM>(FLogoFont.Get()), FALSE);
    AddControl(L"STATIC", WebAddress, SS_NOTIFY | SS_RIGHT, idWebAddress);

    FKoOPCServer1 = new TKoOPCServer(this);
    FKoOPCServer1->SetName(L"KoOPCServer1");
    FKoOPCServer1->SetStatusInterval(30000);
    FStatusTimer = new TKoTimer(this);
    FStatusTimer->SetName(L"StatusTimer");
    FStatusTimer->SetInterval(1000);
    FStatusTimer->SetOnTimer([this](TKoComponent*) { UpdateStatus(); });

    // FormCreate: the provider's events, the status, the version, the keep-open option.
    FEvents = TKoProviderEvents::Of(Provider);
    FSubscription = FEvents->Subscribe([this](unsigned Changes, const std::vector<std::wstring>&) {
        if (Changes & (pcClients | pcState)) UpdateStatus();
    });
    UpdateStatus();
    KoSetWindowText(Control(idVersionLabel),
                    KoFormat(L"Version %s", FileVersionText(KoProgramFileName(), L"%d.%d.%d.%d")));
    const bool StartedByCom = KoParseStartSwitches(Args).StartMode == smAutomation;
    EnableWindow(Control(idKeepOpenCheckBox), StartedByCom);
    SetKeepOpenChecked(!StartedByCom);
    Relayout();
}

TForm1::~TForm1() {
    // FormDestroy: the provider's events go with the router once nobody holds it.
    if (FEvents) FEvents->Unsubscribe(FSubscription);
    FEvents.reset();
}

void TForm1::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    TKoForm::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FMonitor) FMonitor = nullptr;
    if (Operation == opRemove && AComponent == FVarForm) FVarForm = nullptr;
}

bool TForm1::KeepOpenChecked() const {
    return SendMessageW(Control(idKeepOpenCheckBox), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TForm1::SetKeepOpenChecked(bool Value) {
    if (KeepOpenChecked() == Value) return;
    SendMessageW(Control(idKeepOpenCheckBox), BM_SETCHECK, Value ? BST_CHECKED : BST_UNCHECKED, 0);
    KeepOpenCheckBoxClick();
}

void TForm1::UpdateStatus() {
    KoSetWindowText(Control(idStatusLabel), OPCServerStateText(static_cast<DWORD>(FProvider.State())));
    KoSetWindowText(Control(idClientCountLabel), std::to_wstring(FProvider.ClientCount()));
}

void TForm1::KeepOpenCheckBoxClick() {
    if (!KeepOpenChecked()) {
        FKoOPCServer1->Disconnect();
        UpdateStatus();
        return;
    }
    // A server object of our own keeps a program that COM started alive.
    try {
        IKoOPCProviderClient* Client = FProvider.GetNewClient();
        if (!Client) throw EKoOPCException(L"The server makes no more server objects");
        Microsoft::WRL::ComPtr<IOPCServer> Server;
        const HRESULT Found =
            Client->ObjQueryInterface(IID_IOPCServer, reinterpret_cast<void**>(Server.GetAddressOf()));
        Client->ObjRelease();
        if (FAILED(Found)) throw EKoOleError(Found);
        FKoOPCServer1->ConnectIntf(Server.Get());
    } catch (...) {
        // The option stays checked; the user hears why nothing was kept.
        Application().ShowMessage(KoCurrentExceptionText());
    }
    UpdateStatus();
}

void TForm1::ClientConnectionsClick() {
    if (!FMonitor) {
        FMonitor = new TKoOPCProviderForm(this);
        FMonitor->FreeNotification(this);
    }
    FMonitor->SetColor(RGB(255, 255, 255));
    FMonitor->SetProvider(&FProvider);
    FMonitor->SetIcon(reinterpret_cast<HICON>(GetClassLongPtrW(Handle(), GCLP_HICON)));
    FMonitor->SetCaption(L"Client Connections");
    FMonitor->Show();
    FMonitor->OnChange = [this](TKoComponent*) { UpdateStatus(); };
}

void TForm1::VariablesClick() {
    if (!FVarForm) {
        // Made once, owned by the application, and kept until the program ends.
        FVarForm = new TKoVarForm(&Application());
        FVarForm->SetName(L"VarForm");
        FVarForm->FreeNotification(this);
        FVarForm->SetColor(RGB(255, 255, 255));
        FVarForm->SetIcon(reinterpret_cast<HICON>(GetClassLongPtrW(Handle(), GCLP_HICON)));
        FVarForm->SetCaption(L"Variables");
        FVarForm->IncludeClass<TKoDataModule>(L"TKoDataModule");
        FVarForm->AddComponents(&Application(), 0);
        FVarForm->SetShowConnectors(false);
        FVarForm->SetReadOnly(false);
        FVarForm->SetHideEmptyModules(true);
    }
    FVarForm->Show();
}

bool TForm1::CloseQuery() {
    // Our own connection goes first: it must not count as a client that keeps the server.
    SetKeepOpenChecked(false);
    if (FProvider.ClientCount() == 0) return true;
    return ConfirmDlg(ShutdownQuestion, dbYes | dbNo, dbNo) == mrYes;
}

void TForm1::Closing() {
    DestroyWindow(Handle());
}

void TForm1::Destroying() {
    // Closing the main window ends the program.
    Application().Terminate();
}

void TForm1::Command(int Id, int Code, HWND) {
    switch (Id) {
    case idKeepOpenCheckBox:
        if (Code == BN_CLICKED) KeepOpenCheckBoxClick();
        break;
    case idLogo:
    case idWebAddress:
        if (Code == STN_CLICKED) OpenURL(WebAddress, false);
        break;
    case idLicenseLabel:
        if (Code == STN_CLICKED) {
            std::wstring Folder = KoProgramFileName();
            Folder.resize(Folder.find_last_of(L"\\/") + 1);
            ShellOpen(Folder + LicenseFile, SW_SHOWNORMAL);
        }
        break;
    case cmShutdown:
        Close();
        break;
    case cmClientConnections:
        ClientConnectionsClick();
        break;
    case cmVariables:
        VariablesClick();
        break;
    default:
        break;
    }
}

HCURSOR TForm1::ControlCursor(int Id) {
    const bool Link = Id == idLogo || Id == idWebAddress || Id == idLicenseLabel;
    SetAddressHover(Id == idWebAddress || Id == idLogo);
    return Link ? LoadCursorW(nullptr, IDC_HAND) : nullptr;
}

void TForm1::SetAddressHover(bool Value) {
    if (Value == FAddressHover) return;
    FAddressHover = Value;
    SendMessageW(Control(idWebAddress), WM_SETFONT, reinterpret_cast<WPARAM>(Value ? BoldFont() : Font()),
                 TRUE);
}

COLORREF TForm1::LabelTextColor(int Id) {
    if (Id == idWebAddress) return RGB(0, 70, 160);
    if (Id == idLogo) return RGB(20, 60, 120);
    return CLR_INVALID;
}

bool TForm1::HandleMessage(UINT Msg, WPARAM, LPARAM LParam, LRESULT& Result) {
    switch (Msg) {
    case WM_PAINT: {
        PAINTSTRUCT Paint;
        const HDC DC = BeginPaint(Handle(), &Paint);
        RECT Client{};
        GetClientRect(Handle(), &Client);
        PaintBanner(DC, {0, 0, Client.right, KoScale(BannerHeight)});
        EndPaint(Handle(), &Paint);
        Result = 0;
        return true;
    }
    case WM_SETCURSOR:
        // Leaving the links for the window itself.
        if (LOWORD(LParam) == HTCLIENT) SetAddressHover(false);
        return false;
    case WM_GETMINMAXINFO: {
        RECT Frame{0, 0, KoScale(400), KoScale(240)};
        AdjustWindowRectEx(&Frame, WS_OVERLAPPEDWINDOW, TRUE, 0);
        auto* Info = reinterpret_cast<MINMAXINFO*>(LParam);
        Info->ptMinTrackSize = {Frame.right - Frame.left, Frame.bottom - Frame.top};
        Result = 0;
        return true;
    }
    default:
        return false;
    }
}

void TForm1::PaintBanner(HDC DC, const RECT& Area) const {
    // A night-blue field with the traces of the simulated signals and the program's name.
    TKoGdiObject<HBRUSH> Field(CreateSolidBrush(RGB(16, 38, 72)));
    FillRect(DC, &Area, Field.Get());
    const int Width = Area.right - Area.left;
    const int Height = Area.bottom - Area.top;
    struct TTrace {
        COLORREF Color;
        int Kind; // 0 sine, 1 saw tooth, 2 triangle
        double Phase;
    };
    const TTrace Traces[] = {
        {RGB(80, 170, 255), 0, 0.0}, {RGB(255, 190, 60), 1, 0.3}, {RGB(90, 220, 140), 2, 0.6}};
    for (const TTrace& Trace : Traces) {
        TKoGdiObject<HPEN> Pen(CreatePen(PS_SOLID, KoScale(2), Trace.Color));
        TKoSelectObject Use(DC, Pen.Get());
        for (int X = 0; X <= Width; X += 2) {
            const double T = static_cast<double>(X) / KoScale(180) + Trace.Phase;
            const double Fraction = T - std::floor(T);
            double Value = 0;
            if (Trace.Kind == 0) Value = std::sin(T * 2 * 3.14159265358979);
            if (Trace.Kind == 1) Value = Fraction * 2 - 1;
            if (Trace.Kind == 2) Value = Fraction < 0.5 ? Fraction * 4 - 1 : 3 - Fraction * 4;
            const int Y = Area.top + Height * 2 / 3 + static_cast<int>(Value * Height / 6);
            if (X == 0)
                MoveToEx(DC, X, Y, nullptr);
            else
                LineTo(DC, X, Y);
        }
    }
    LOGFONTW Title{};
    Title.lfHeight = -KoScale(30);
    Title.lfWeight = FW_BOLD;
    wcscpy(Title.lfFaceName, L"Arial");
    TKoGdiObject<HFONT> TitleFont(CreateFontIndirectW(&Title));
    TKoSelectObject UseFont(DC, TitleFont.Get());
    SetBkMode(DC, TRANSPARENT);
    SetTextColor(DC, RGB(255, 255, 255));
    RECT Text{Area.left + KoScale(24), Area.top + KoScale(28), Area.right - KoScale(24),
              Area.top + KoScale(80)};
    DrawTextW(DC, L"Korvel OPC", -1, &Text, DT_LEFT | DT_SINGLELINE);
    LOGFONTW Sub = Title;
    Sub.lfHeight = -KoScale(18);
    Sub.lfWeight = FW_NORMAL;
    TKoGdiObject<HFONT> SubFont(CreateFontIndirectW(&Sub));
    TKoSelectObject UseSub(DC, SubFont.Get());
    SetTextColor(DC, RGB(190, 210, 240));
    RECT Line{Text.left, Text.top + KoScale(44), Text.right, Text.top + KoScale(70)};
    DrawTextW(DC, L"Dadived Simulation Server - simulated process data over OPC Data Access", -1, &Line,
              DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS);
}

void TForm1::Layout(int Width, int Height) {
    Place(idLicenseLabel, 0, BannerHeight + 2, Width, 14);
    Place(idVersionLabel, 0, BannerHeight + 18, Width, 20);
    const int Middle = Width / 2;
    const int StatusTop = BannerHeight + 48;
    Place(idStatusCaption, Middle - 170, StatusTop, 160, 18);
    Place(idClientsCaption, Middle - 170, StatusTop + 22, 160, 18);
    Place(idStatusLabel, Middle, StatusTop, Width - Middle - 8, 18);
    Place(idClientCountLabel, Middle, StatusTop + 22, Width - Middle - 8, 18);
    Place(idKeepOpenCheckBox, Middle, StatusTop + 44, 260, 20);
    const int Footer = Height - 48;
    Place(idLogo, 16, Footer, 220, 36);
    Place(idWebAddress, Width - 16 - 280, Footer + 10, 280, 20);
    InvalidateRect(Handle(), nullptr, TRUE);
}
