#pragma once
// The provider monitor window: the connected clients, the groups of the selected client, the
// items of the selected group, and the activity log with its file name and line limit; saving
// the log and dropping a client that has lost its connection.
//
// It changes its controls only on the main thread: the provider's events reach it through
// TKoProviderEvents, one coalesced call per turn of the main thread.

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "KoForms.h"

class TKoOPCProvider;
class TKoProviderEvents;
class IKoOPCProviderClient;
class IKoOPCProviderGroup;

class TKoOPCProviderForm : public TKoForm {
public:
    enum : int {
        idClientsLabel = 300,
        idClientList,
        idClientCount,
        idGroupsLabel = 310,
        idGroupList,
        idGroupCount,
        idItemsLabel,
        idItemList,
        idItemCount,
        idLogLabel = 320,
        idLogMemo,
        idLogNameLabel,
        idLogNameEdit,
        idMaxLinesLabel,
        idMaxLinesEdit,
        idApplyButton,
        cmSaveLogAs = 330,
        cmShowGroups,
        cmWrapLog,
        cmRemoveClient,
    };
    // A shown log line longer than this is cut (the log itself keeps it whole).
    static constexpr size_t MaxShownLineLength = 1000;

    explicit TKoOPCProviderForm(TKoComponent* AOwner);
    ~TKoOPCProviderForm() override;
    const wchar_t* ClassName() const override { return L"TKoOPCProviderForm"; }

    TKoOPCProvider* Provider() const { return FProvider; }
    // Shows another provider (or none).
    void SetProvider(TKoOPCProvider* Value);

    bool ShowGroups() const { return FShowGroups; }
    bool WrapLog() const { return FWrapLog; }
    bool RemoveClientEnabled() const;
    // The lines of the provider's GetClientInfo or GetGroupInfo for the client or group shown at
    // that line of the client or group list; empty elsewhere.
    std::wstring HintAt(int ListId, int Index) const;
    // The log's lines written to that file.
    void SaveLogTo(const std::wstring& FileName) const;

    // Raised after every change of the client or group lists.
    TKoNotifyEvent OnChange;

protected:
    bool HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) override;
    void Command(int Id, int Code, HWND Control) override;
    void Layout(int Width, int Height) override;

private:
    void CreateLogMemo();
    void ProviderChanged(unsigned Changes, const std::vector<std::wstring>& Lines);
    void UpdateClientList();
    void UpdateGroupList(IKoOPCProviderClient* Client);
    void UpdateItemList(IKoOPCProviderGroup* Group);
    void UpdateLog();
    void AppendLogLines(const std::vector<std::wstring>& Lines);
    void SetMemoLines(const std::vector<std::wstring>& Lines);
    void ApplyLogEdits();
    void SaveLogAs();
    void RemoveClient();
    void Changed();
    // The selected client or group, when the provider still serves it.
    IKoOPCProviderClient* SelectedClient() const;
    IKoOPCProviderGroup* SelectedGroup() const;
    void ShowPopupMenu(POINT At);

    TKoOPCProvider* FProvider = nullptr;
    std::shared_ptr<TKoProviderEvents> FEvents;
    int FSubscription = 0;
    bool FShowGroups = true;
    bool FWrapLog = false;
    bool FSettingEdits = false;
    TKoGdiObject<HFONT> FFixedFont;
    TKoWindowHandle FToolTip;
    // The length of each line in the memo, line break included, oldest first.
    std::deque<size_t> FMemoLines;
};
