// The windows of KoOPCServer and its client component, driven through their messages under the
// display-less driver: the whole program runs in the test process (provider, modules, main
// window), its clients are server objects of its own provider, and the modal questions are
// answered by a helper thread that finds the dialog and presses its button.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include <ocidl.h>
#include <wrl/client.h>

#include "KoApplication.h"
#include "KoComObjects.h"
#include "KoComServer.h"
#include "KoMessagePump.h"
#include "KoOPC.h"
#include "KoOPCProvider.h"
#include "KoOPCProviderForms.h"
#include "KoOPCServerProgram.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "Unit1.h"

using Microsoft::WRL::ComPtr;

namespace {

using namespace std::chrono_literals;

std::wstring Text(HWND Window) {
    return KoWindowText(Window);
}

// Answers the next modal dialog of this process captioned Caption by pressing Button, and
// keeps the text it showed. Waits for it at most 15 s.
class DialogAnswer {
public:
    DialogAnswer(std::wstring Caption, int Button) : FCaption(std::move(Caption)), FButton(Button) {
        FThread = std::thread([this] { Run(); });
    }
    ~DialogAnswer() { FThread.join(); }
    // After the dialog was answered (or the wait gave up).
    std::wstring Shown() {
        FThread.join();
        FThread = std::thread([] {});
        return FShown;
    }
    bool Answered() const { return FAnswered; }

private:
    void Run() {
        const ULONGLONG Deadline = GetTickCount64() + 15000;
        while (GetTickCount64() < Deadline) {
            HWND Dialog = nullptr;
            while ((Dialog = FindWindowExW(nullptr, Dialog, L"#32770", FCaption.c_str()))) {
                DWORD Process = 0;
                GetWindowThreadProcessId(Dialog, &Process);
                if (Process != GetCurrentProcessId()) continue;
                wchar_t Shown[2048] = {};
                GetDlgItemTextW(Dialog, 0xFFFF, Shown, 2048);
                FShown = Shown;
                FAnswered = true;
                PostMessageW(Dialog, WM_COMMAND, MAKEWPARAM(FButton, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(Dialog, FButton)));
                return;
            }
            // A bounded wait for a window of another thread to appear.
            Sleep(20);
        }
    }
    std::wstring FCaption;
    int FButton;
    std::wstring FShown;
    std::atomic<bool> FAnswered{false};
    std::thread FThread;
};

// A client's shutdown sink: the reasons it was told.
class ShutdownSink : public TKoComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        std::lock_guard Guard(Lock);
        Reasons.push_back(szReason ? szReason : L"");
        return S_OK;
    }
    std::vector<std::wstring> Told() {
        std::lock_guard Guard(Lock);
        return Reasons;
    }
    std::mutex Lock;
    std::vector<std::wstring> Reasons;
};

class GuiProgram : public ::testing::Test {
protected:
    void SetUp() override {
        KoOPCServerCreateProvider();
        Provider = KoOPCServerProvider();
        ASSERT_TRUE(KoOPCServerCreateObjects());
        Form = KoOPCServerMainForm();
        ASSERT_NE(Form, nullptr);
        ASSERT_TRUE(kotest::PumpUntil([&] { return Provider->State() == OPC_STATUS_RUNNING; }, 10s));
    }
    void TearDown() override {
        Clients.clear();
        KoOPCServerDestroyObjects();
    }

    // A new server object of the provider, as a COM client holds it.
    ComPtr<IOPCServer> NewClient() {
        IKoOPCProviderClient* Client = Provider->GetNewClient();
        EXPECT_NE(Client, nullptr);
        ComPtr<IOPCServer> Server;
        if (!Client) return Server;
        Client->ObjQueryInterface(IID_IOPCServer, reinterpret_cast<void**>(Server.GetAddressOf()));
        Client->ObjRelease();
        return Server;
    }
    ComPtr<IUnknown> AddGroup(IOPCServer* Server, const wchar_t* Name) {
        ComPtr<IUnknown> Group;
        OPCHANDLE Handle = 0;
        DWORD Rate = 0;
        EXPECT_EQ(Server->AddGroup(Name, TRUE, 1000, 1, nullptr, nullptr, 0, &Handle, &Rate, IID_IUnknown,
                                   Group.GetAddressOf()),
                  S_OK);
        return Group;
    }
    // Clicks a check box as the user does: the box changes, then the form hears the click.
    static void Click(HWND Form, int Id) {
        const HWND Box = GetDlgItem(Form, Id);
        const bool Checked = SendMessageW(Box, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(Box, BM_SETCHECK, Checked ? BST_UNCHECKED : BST_CHECKED, 0);
        SendMessageW(Form, WM_COMMAND, MAKEWPARAM(Id, BN_CLICKED), reinterpret_cast<LPARAM>(Box));
    }
    static void Select(HWND Form, int ListId, int Index) {
        const HWND List = GetDlgItem(Form, ListId);
        SendMessageW(List, LB_SETCURSEL, static_cast<WPARAM>(Index), 0);
        SendMessageW(Form, WM_COMMAND, MAKEWPARAM(ListId, LBN_SELCHANGE), reinterpret_cast<LPARAM>(List));
    }
    static std::vector<std::wstring> ListTexts(HWND Form, int ListId) {
        std::vector<std::wstring> Texts;
        for (const TKoListLine& Line : KoListBoxLines(GetDlgItem(Form, ListId))) Texts.push_back(Line.Text);
        return Texts;
    }
    TKoOPCProviderForm* OpenMonitor() {
        SendMessageW(Form->Handle(), WM_COMMAND, TForm1::cmClientConnections, 0);
        return Form->Monitor();
    }
    std::vector<std::wstring> ClientNames() const {
        TKoStrings Names;
        Provider->AssignClientsTo(Names);
        return Names.Lines();
    }

    TKoOPCProvider* Provider = nullptr;
    TForm1* Form = nullptr;
    std::vector<ComPtr<IUnknown>> Clients;
};

TEST_F(GuiProgram, StartedByHandShowsRunningNoClientsAndTheOptionCheckedAndFixed) {
    const HWND Main = Form->Handle();
    EXPECT_EQ(Text(Main), L"Korvel OPC Dadived Simulation Server");
    EXPECT_TRUE(
        kotest::PumpUntil([&] { return Text(GetDlgItem(Main, TForm1::idStatusLabel)) == L"Running"; }, 5s));
    EXPECT_EQ(Text(GetDlgItem(Main, TForm1::idClientCountLabel)), L"0");
    EXPECT_EQ(Text(GetDlgItem(Main, TForm1::idKeepOpenCheckBox)), L"Keep open after clients disconnect");
    EXPECT_TRUE(Form->KeepOpenChecked());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(Main, TForm1::idKeepOpenCheckBox)));
    // Checked by hand-start without a click: no connection of its own.
    EXPECT_FALSE(Form->KoOPCServer1()->Connected());
    EXPECT_EQ(Provider->ClientCount(), 0);
    RECT Client{};
    GetClientRect(Main, &Client);
    EXPECT_EQ(Client.right, KoScale(758));
    EXPECT_EQ(Client.bottom, KoScale(454));
}

TEST_F(GuiProgram, StartedByComTheOptionIsOfferedAndItsConnectionCountsAsAClient) {
    auto* Embedded = new TForm1(&Application(), *Provider, {L"-Embedding"});
    const HWND Main = Embedded->Handle();
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(Main, TForm1::idKeepOpenCheckBox)));
    EXPECT_FALSE(Embedded->KeepOpenChecked());
    EXPECT_EQ(Provider->ClientCount(), 0);
    // A program started by COM ends when this count falls to zero: the option's client holds it.
    const LONG Objects = ComServer().ObjectCount();

    Click(Main, TForm1::idKeepOpenCheckBox);
    EXPECT_TRUE(Embedded->KoOPCServer1()->Connected());
    EXPECT_EQ(Provider->ClientCount(), 1);
    EXPECT_EQ(ComServer().ObjectCount(), Objects + 1);
    EXPECT_EQ(ClientNames(), std::vector<std::wstring>{L"Korvel OPC Dadived Simulation Server.KoOPCServer1"});
    EXPECT_NE(Embedded->KoOPCServer1()->ShutdownCookie(), 0u);
    EXPECT_TRUE(
        kotest::PumpUntil([&] { return Text(GetDlgItem(Main, TForm1::idClientCountLabel)) == L"1"; }, 5s));

    Click(Main, TForm1::idKeepOpenCheckBox);
    EXPECT_FALSE(Embedded->KoOPCServer1()->Connected());
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(ComServer().ObjectCount(), Objects);
    EXPECT_TRUE(
        kotest::PumpUntil([&] { return Text(GetDlgItem(Main, TForm1::idClientCountLabel)) == L"0"; }, 5s));
    TKoComponent::Free(Embedded);
}

TEST_F(GuiProgram, ClosingWithAClientAsksAndNoKeepsTheProgramRunning) {
    Clients.push_back(NewClient());
    const HWND Main = Form->Handle();
    {
        DialogAnswer Answer(L"Confirm", IDNO);
        SendMessageW(Main, WM_CLOSE, 0, 0);
        EXPECT_EQ(Answer.Shown(), L"Clients are connected. Are you sure you want to shutdown the server?");
    }
    EXPECT_TRUE(IsWindow(Main));
    EXPECT_FALSE(Application().Terminated());
    EXPECT_FALSE(Form->KeepOpenChecked());

    // Without clients the window closes at once and ends the program.
    Clients.clear();
    ASSERT_TRUE(kotest::PumpUntil([&] { return Provider->ClientCount() == 0; }, 5s));
    SendMessageW(Main, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(Main));
    EXPECT_TRUE(Application().Terminated());
}

TEST_F(GuiProgram, MonitorListsClientsGroupsAndTheLog) {
    ComPtr<IOPCServer> First = NewClient();
    ComPtr<IOPCServer> Second = NewClient();
    ComPtr<IUnknown> G1 = AddGroup(First.Get(), L"G1");
    ComPtr<IUnknown> G2 = AddGroup(First.Get(), L"G2");
    ComPtr<IUnknown> H1 = AddGroup(Second.Get(), L"H1");

    TKoOPCProviderForm* Monitor = OpenMonitor();
    ASSERT_NE(Monitor, nullptr);
    const HWND View = Monitor->Handle();
    EXPECT_TRUE(IsWindowVisible(View));
    EXPECT_EQ(Monitor->Caption(), L"Client Connections");
    EXPECT_EQ(ListTexts(View, TKoOPCProviderForm::idClientList),
              (std::vector<std::wstring>{L"Client 0", L"Client 1"}));
    EXPECT_EQ(Text(GetDlgItem(View, TKoOPCProviderForm::idClientCount)), L"2 clients");
    EXPECT_FALSE(Monitor->RemoveClientEnabled());

    Select(View, TKoOPCProviderForm::idClientList, 0);
    EXPECT_EQ(ListTexts(View, TKoOPCProviderForm::idGroupList), (std::vector<std::wstring>{L"G1", L"G2"}));
    EXPECT_EQ(Text(GetDlgItem(View, TKoOPCProviderForm::idGroupCount)), L"2 Groups");
    EXPECT_TRUE(Monitor->RemoveClientEnabled());
    EXPECT_NE(Monitor->HintAt(TKoOPCProviderForm::idClientList, 0).find(L"GroupCount=2"), std::wstring::npos);
    Select(View, TKoOPCProviderForm::idGroupList, 1);
    EXPECT_EQ(Text(GetDlgItem(View, TKoOPCProviderForm::idItemCount)), L"0 Items");
    EXPECT_NE(Monitor->HintAt(TKoOPCProviderForm::idGroupList, 1).find(L"Name=G2"), std::wstring::npos);

    // A group added later shows up in the selected client's list.
    ComPtr<IUnknown> G3 = AddGroup(First.Get(), L"G3");
    EXPECT_TRUE(
        kotest::PumpUntil([&] { return ListTexts(View, TKoOPCProviderForm::idGroupList).size() == 3; }, 5s));

    // The log view follows the activity log.
    EXPECT_TRUE(kotest::PumpUntil(
        [&] {
            return Text(GetDlgItem(View, TKoOPCProviderForm::idLogMemo))
                       .find(L"Client 'Client 1' connected.") != std::wstring::npos;
        },
        5s));

    // The selected client leaves: its groups and items go from the view.
    G1.Reset();
    G2.Reset();
    G3.Reset();
    First.Reset();
    EXPECT_TRUE(kotest::PumpUntil(
        [&] {
            return ListTexts(View, TKoOPCProviderForm::idClientList) ==
                   std::vector<std::wstring>{L"Client 1"};
        },
        5s));
    EXPECT_TRUE(ListTexts(View, TKoOPCProviderForm::idGroupList).empty());
    EXPECT_TRUE(ListTexts(View, TKoOPCProviderForm::idItemList).empty());
    EXPECT_EQ(Text(GetDlgItem(View, TKoOPCProviderForm::idGroupCount)), L"");
    EXPECT_EQ(Text(GetDlgItem(View, TKoOPCProviderForm::idClientCount)), L"1 clients");
    EXPECT_FALSE(Monitor->RemoveClientEnabled());
}

TEST_F(GuiProgram, MonitorShowsAndHidesTheGroupsAndAppliesTheLogSettings) {
    TKoOPCProviderForm* Monitor = OpenMonitor();
    const HWND View = Monitor->Handle();
    const HWND Groups = GetDlgItem(View, TKoOPCProviderForm::idGroupList);
    const HWND Items = GetDlgItem(View, TKoOPCProviderForm::idItemList);
    EXPECT_TRUE(Monitor->ShowGroups());
    SendMessageW(View, WM_COMMAND, TKoOPCProviderForm::cmShowGroups, 0);
    EXPECT_FALSE(IsWindowVisible(Groups));
    EXPECT_FALSE(IsWindowVisible(Items));
    SendMessageW(View, WM_COMMAND, TKoOPCProviderForm::cmShowGroups, 0);
    EXPECT_TRUE(IsWindowVisible(Groups));
    EXPECT_TRUE(IsWindowVisible(Items));

    // The memo keeps its lines when wrapping changes it.
    const std::wstring Before = Text(GetDlgItem(View, TKoOPCProviderForm::idLogMemo));
    SendMessageW(View, WM_COMMAND, TKoOPCProviderForm::cmWrapLog, 0);
    EXPECT_TRUE(Monitor->WrapLog());
    EXPECT_EQ(GetWindowLongW(GetDlgItem(View, TKoOPCProviderForm::idLogMemo), GWL_STYLE) & WS_HSCROLL, 0);
    EXPECT_EQ(Text(GetDlgItem(View, TKoOPCProviderForm::idLogMemo)), Before);

    const HWND MaxLines = GetDlgItem(View, TKoOPCProviderForm::idMaxLinesEdit);
    const HWND Apply = GetDlgItem(View, TKoOPCProviderForm::idApplyButton);
    EXPECT_EQ(Text(MaxLines), L"5000");
    EXPECT_FALSE(IsWindowEnabled(Apply));
    struct Case {
        const wchar_t* Entered;
        int MaxLines;
    };
    for (const Case& C : {Case{L"12", 12}, Case{L"many", 0}, Case{L"-3", -3}, Case{L"7x", 0}, Case{L"", 0}}) {
        SetWindowTextW(MaxLines, L"1");
        SetWindowTextW(MaxLines, C.Entered);
        EXPECT_TRUE(IsWindowEnabled(Apply)) << KoUtf8(C.Entered);
        SendMessageW(View, WM_COMMAND, MAKEWPARAM(TKoOPCProviderForm::idApplyButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Apply));
        EXPECT_EQ(Provider->ActivityLog().MaxLines(), C.MaxLines) << KoUtf8(C.Entered);
        EXPECT_TRUE(IsWindowEnabled(Apply));
    }
    SetWindowTextW(GetDlgItem(View, TKoOPCProviderForm::idLogNameEdit), L"monitor.log");
    SendMessageW(View, WM_COMMAND, MAKEWPARAM(TKoOPCProviderForm::idApplyButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Apply));
    EXPECT_EQ(Provider->ActivityLog().FileName(), L"monitor.log");
    Provider->ActivityLog().SetFileName(L"");
}

TEST_F(GuiProgram, RemoveClientAsksThenTellsTheClientAndDropsIt) {
    ComPtr<IOPCServer> Server = NewClient();
    auto* Sink = new ShutdownSink;
    ComPtr<IUnknown> SinkRef = KoAdopt<IUnknown>(Sink->Unknown());
    ComPtr<IConnectionPointContainer> Container;
    ASSERT_EQ(Server.As(&Container), S_OK);
    ComPtr<IConnectionPoint> Point;
    ASSERT_EQ(Container->FindConnectionPoint(IID_IOPCShutdown, Point.GetAddressOf()), S_OK);
    DWORD Cookie = 0;
    ASSERT_EQ(Point->Advise(Sink->Unknown(), &Cookie), S_OK);

    TKoOPCProviderForm* Monitor = OpenMonitor();
    const HWND View = Monitor->Handle();
    Select(View, TKoOPCProviderForm::idClientList, 0);
    {
        DialogAnswer Answer(L"Confirm", IDNO);
        SendMessageW(View, WM_COMMAND, TKoOPCProviderForm::cmRemoveClient, 0);
        EXPECT_NE(Answer.Shown().find(L"Are you sure you want to disconnect the selected client?"),
                  std::wstring::npos);
    }
    EXPECT_TRUE(Sink->Told().empty());
    EXPECT_EQ(Provider->ClientCount(), 1);
    {
        DialogAnswer Answer(L"Confirm", IDYES);
        SendMessageW(View, WM_COMMAND, TKoOPCProviderForm::cmRemoveClient, 0);
        EXPECT_TRUE(Answer.Answered());
    }
    EXPECT_EQ(Sink->Told(), std::vector<std::wstring>{L"Removed manually"});
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_TRUE(
        kotest::PumpUntil([&] { return ListTexts(View, TKoOPCProviderForm::idClientList).empty(); }, 5s));
}

// ---- the client component ----

// A server object that reports the state it is given; no connection points.
class StateServer : public TKoComObject<IOPCServer> {
public:
    std::atomic<DWORD> State{OPC_STATUS_RUNNING};
    STDMETHODIMP AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*, DWORD*, REFIID,
                          LPUNKNOWN*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetErrorString(HRESULT, LCID, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
        auto* Status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        *Status = {};
        Status->dwServerState = static_cast<OPCSERVERSTATE>(State.load());
        *ppServerStatus = Status;
        return S_OK;
    }
    STDMETHODIMP RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
};

TEST_F(GuiProgram, ClientComponentAttachesDetachesAndSwitchesServers) {
    auto* Component = new TKoOPCServer(Form);
    Component->SetName(L"Probe");
    int Connects = 0, Disconnects = 0;
    Component->OnConnect = [&](TKoOPCServer*) { ++Connects; };
    Component->OnDisconnect = [&](TKoOPCServer*) { ++Disconnects; };

    Component->ConnectIntf(NewClient().Get());
    EXPECT_TRUE(Component->Connected());
    EXPECT_EQ(Connects, 1);
    EXPECT_EQ(Component->Category(), opcscDataAccess20);
    EXPECT_NE(Component->ShutdownCookie(), 0u);
    EXPECT_EQ(ClientNames(), std::vector<std::wstring>{L"Korvel OPC Dadived Simulation Server.Probe"});

    // Attaching elsewhere lets go of the first server object.
    Component->ConnectIntf(NewClient().Get());
    EXPECT_EQ(Disconnects, 1);
    EXPECT_EQ(Connects, 2);
    EXPECT_EQ(Provider->ClientCount(), 1);

    Component->Disconnect();
    EXPECT_FALSE(Component->Connected());
    EXPECT_EQ(Disconnects, 2);
    EXPECT_EQ(Component->ShutdownCookie(), 0u);
    EXPECT_EQ(Provider->ClientCount(), 0);
    Component->Disconnect();
    EXPECT_EQ(Disconnects, 2);

    EXPECT_THROW(Component->ConnectIntf(nullptr), EKoOPCException);
    EXPECT_FALSE(Component->Connected());
    TKoComponent::Free(Component);
}

TEST_F(GuiProgram, ClientComponentLetsGoOnAShutdownRequestAndTellsTheUser) {
    auto* Component = new TKoOPCServer(Form);
    ComPtr<IOPCServer> Server = NewClient();
    Component->ConnectIntf(Server.Get());
    ASSERT_EQ(Provider->ClientCount(), 1);
    IKoOPCProviderClient* Client = Provider->Clients(0);
    {
        DialogAnswer Answer(L"Korvel OPC Dadived Simulation Server", IDOK);
        Client->Shutdown(L"Removed manually");
        EXPECT_TRUE(kotest::PumpUntil([&] { return !Component->Connected() && Answer.Answered(); }, 10s));
        EXPECT_EQ(Answer.Shown(), L"Shutdown from .  Reason=Removed manually");
    }
    EXPECT_FALSE(Component->ShutDownRequested());
    Server.Reset();
    EXPECT_TRUE(kotest::PumpUntil([&] { return Provider->ClientCount() == 0; }, 5s));
    TKoComponent::Free(Component);
}

TEST_F(GuiProgram, ClientComponentDetachesWhenTheServerLeavesTheRunningState) {
    auto* Component = new TKoOPCServer(Form);
    Component->Log().SetActive(true);
    std::vector<std::pair<DWORD, DWORD>> Changes;
    Component->OnStateChange = [&](TKoOPCServer*, DWORD Old, DWORD New) { Changes.emplace_back(Old, New); };
    auto* Server = new StateServer;
    ComPtr<IOPCServer> Held = KoAdopt<IOPCServer>(Server);
    Component->ConnectIntf(Server);
    EXPECT_EQ(Component->Category(), opcscDataAccess10);
    EXPECT_TRUE(Component->Connected());
    Server->State = OPC_STATUS_SUSPENDED;
    Component->StatusRefresh();
    EXPECT_FALSE(Component->Connected());
    EXPECT_EQ(Changes, (std::vector<std::pair<DWORD, DWORD>>{{0, 1}, {1, 4}}));
    TKoStrings Lines;
    Component->Log().AssignTo(&Lines);
    bool Logged = false;
    for (const std::wstring& Line : Lines.Lines())
        Logged = Logged || Line.find(L"Status changed from 'Running' to 'Suspended'") != std::wstring::npos;
    EXPECT_TRUE(Logged);
    // Only our reference is left: the component let go of the server.
    EXPECT_EQ(Server->RefCount(), 1u);
    TKoComponent::Free(Component);
}

} // namespace
