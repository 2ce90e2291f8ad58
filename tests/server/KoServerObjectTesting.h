#pragma once
// A running provider with server objects made directly (as the class object makes them), the
// activity-log lines it recorded, and helpers to call the server objects through their COM
// interfaces.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoComServer.h"
#include "KoMessagePump.h"
#include "KoOPCGroup.h"
#include "KoOPCProvider.h"
#include "KoOPCServerObject.h"
#include "KoProcessTesting.h"
#include "KoWindows.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "StaticVars.h"

namespace kotest {

// The modules Static, Random and ReadOnly, owned by the application object as at run time, with
// their timers stopped so that their values change only when a test changes them.
struct TStoppedModules {
    TStatic* Static = nullptr;
    TRandom* Random = nullptr;
    TReadOnly* ReadOnly = nullptr;
};
inline TStoppedModules CreateStoppedModules() {
    TStoppedModules Modules{KoCreate<TStatic>(&Application()), KoCreate<TRandom>(&Application()),
                            KoCreate<TReadOnly>(&Application())};
    for (TSimulationData* M :
         {static_cast<TSimulationData*>(Modules.Static), static_cast<TSimulationData*>(Modules.Random),
          static_cast<TSimulationData*>(Modules.ReadOnly)})
        M->Timer1->SetEnabled(false);
    return Modules;
}

// The text of a log line after its time stamp ("yyyy/mm/dd hh:nn:ss.zzz ").
inline std::wstring LineText(const std::wstring& Line) {
    return Line.size() > 24 ? Line.substr(24) : std::wstring();
}

class ServerObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        Provider = std::make_unique<TKoOPCProvider>();
        Provider->SetVendorInfo(L"Simulation OPC Server by Korvel OPC Ltd");
        Provider->ActivityLog().SetActive(true);
        Provider->ActivityLog().SetMaxLines(100000);
        Provider->OnLog = [this](TKoOPCProvider*, const std::wstring& Line) {
            Lines.push_back(LineText(Line));
        };
        Provider->Run();
        Lines.clear();
        ServerObjects = ComServer().ObjectCount();
        Groups = TKoOPCProviderGroup::InstanceCount();
    }
    void TearDown() override {
        // What the test held went at the end of its body; what the provider still lists goes with
        // the provider. Nothing may be left alive after that.
        Provider.reset();
        EXPECT_EQ(ComServer().ObjectCount(), ServerObjects) << "server objects leaked";
        EXPECT_EQ(TKoOPCProviderGroup::InstanceCount(), Groups) << "groups leaked";
    }

    // A server object connected to the provider; the test holds its one COM reference.
    ComPtr<IOPCServer> Connect() {
        return KoAdopt(static_cast<IOPCServer*>(TKoOPCProviderClient::Create(*Provider)));
    }
    static TKoOPCProviderClient& ClientOf(const ComPtr<IOPCServer>& Server) {
        return *static_cast<TKoOPCProviderClient*>(Server.Get());
    }
    static TKoOPCProviderGroup& GroupOf(const ComPtr<IOPCGroupStateMgt>& Group) {
        return *static_cast<TKoOPCProviderGroup*>(Group.Get());
    }

    struct TAdded {
        HRESULT Result = E_UNEXPECTED;
        OPCHANDLE ServerHandle = 0;
        DWORD RevisedRate = 0xFFFFFFFF;
        ComPtr<IOPCGroupStateMgt> Group;
    };
    // AddGroup with the state interface requested; Name nullptr passes no name.
    static TAdded Add(IOPCServer* Server, const wchar_t* Name, DWORD Rate = 1000, BOOL Active = TRUE,
                      OPCHANDLE ClientHandle = 0, LONG* TimeBias = nullptr, FLOAT* Deadband = nullptr,
                      DWORD LCID = 0) {
        TAdded Added;
        IUnknown* Unknown = reinterpret_cast<IUnknown*>(1);
        Added.Result =
            Server->AddGroup(Name, Active, Rate, ClientHandle, TimeBias, Deadband, LCID, &Added.ServerHandle,
                             &Added.RevisedRate, IID_IOPCGroupStateMgt, &Unknown);
        if (SUCCEEDED(Added.Result))
            *Added.Group.GetAddressOf() = static_cast<IOPCGroupStateMgt*>(Unknown);
        else
            EXPECT_EQ(Unknown, nullptr) << "a failed AddGroup must leave ppUnk empty";
        return Added;
    }
    static std::wstring NameOf(IOPCGroupStateMgt* Group) {
        DWORD Rate;
        BOOL Active;
        LPWSTR Name = nullptr;
        LONG Bias;
        FLOAT Deadband;
        DWORD LCID;
        OPCHANDLE Client, Server;
        EXPECT_EQ(Group->GetState(&Rate, &Active, &Name, &Bias, &Deadband, &LCID, &Client, &Server), S_OK);
        std::wstring Result = Name ? Name : L"<null>";
        CoTaskMemFree(Name);
        return Result;
    }

    int CountLines(const std::wstring& Text) const {
        return static_cast<int>(std::count(Lines.begin(), Lines.end(), Text));
    }

    std::unique_ptr<TKoOPCProvider> Provider;
    std::vector<std::wstring> Lines;
    LONG ServerObjects = 0;
    int Groups = 0;
};

// Runs Work(0) ... Work(N-1) on N threads of the multi-threaded apartment and waits for them
// without pumping messages. Threads still running after BoundMs are taken for a deadlock: the
// process ends at once with a message.
inline void RunOnThreads(int N, const std::function<void(int)>& Work, DWORD BoundMs = 30000) {
    RunMtaThreads(N, Work, BoundMs);
}

} // namespace kotest
