#pragma once
// The main window of the windowed server: the server's state and client count, the windows it
// offers, the shutdown command, and the keep-open option that decides whether a server started
// by COM ends when its last client leaves.

#include <memory>
#include <string>
#include <vector>

#include "KoForms.h"

class TKoOPCProvider;
class TKoOPCProviderForm;
class TKoOPCServer;
class TKoProviderEvents;
class TKoTimer;
class TKoVarForm;

class TForm1 : public TKoForm {
public:
    enum : int {
        idLicenseLabel = 101,
        idVersionLabel,
        idStatusCaption,
        idClientsCaption,
        idStatusLabel,
        idClientCountLabel,
        idKeepOpenCheckBox,
        idLogo,
        idWebAddress,
        cmShutdown = 200,
        cmClientConnections,
        cmVariables,
    };
    static constexpr int BannerHeight = 233;
    static constexpr COLORREF BackgroundColor = 16053492; // light grey, as 0x00BBGGRR

    // Binds the provider's events and reads Args (the program's arguments) for the switch that
    // COM starts it with: started by COM, the keep-open option is offered unchecked; started by
    // hand it is checked and disabled.
    TForm1(TKoComponent* AOwner, TKoOPCProvider& Provider, const std::vector<std::wstring>& Args);
    ~TForm1() override;
    const wchar_t* ClassName() const override { return L"TForm1"; }

    TKoOPCServer* KoOPCServer1() const { return FKoOPCServer1; }
    TKoTimer* StatusTimer() const { return FStatusTimer; }
    TKoOPCProviderForm* Monitor() const { return FMonitor; }
    // The variables window, once the "&Variables" command made it.
    TKoVarForm* VarForm() const { return FVarForm; }
    bool KeepOpenChecked() const;
    // A change of the check state runs the option's click; the state it has already runs nothing.
    void SetKeepOpenChecked(bool Value);
    void UpdateStatus();

    // The maker's web address of the footer.
    static const wchar_t WebAddress[];

protected:
    bool HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) override;
    void Command(int Id, int Code, HWND Control) override;
    void Layout(int Width, int Height) override;
    bool CloseQuery() override;
    void Closing() override;
    void Destroying() override;
    HCURSOR ControlCursor(int Id) override;
    COLORREF LabelTextColor(int Id) override;
    void Notification(TKoComponent* AComponent, TKoOperation Operation) override;

private:
    void KeepOpenCheckBoxClick();
    void ClientConnectionsClick();
    void VariablesClick();
    void PaintBanner(HDC DC, const RECT& Area) const;
    void SetAddressHover(bool Value);

    TKoOPCProvider& FProvider;
    std::shared_ptr<TKoProviderEvents> FEvents;
    int FSubscription = 0;
    TKoOPCServer* FKoOPCServer1;
    TKoTimer* FStatusTimer;
    TKoOPCProviderForm* FMonitor = nullptr;
    TKoVarForm* FVarForm = nullptr;
    TKoGdiObject<HFONT> FLogoFont;
    bool FAddressHover = false;
};
