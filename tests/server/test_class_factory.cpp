#include <gtest/gtest.h>

#include <windows.h>

#include <comcat.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoComServer.h"
#include "KoMessagePump.h"
#include "KoOPCClassFactory.h"
#include "KoOPCProvider.h"
#include "KoUtils.h"
#include "KoWindows.h"

using Microsoft::WRL::ComPtr;

namespace {

class TComApartment {
public:
    TComApartment() : FResult(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~TComApartment() {
        if (SUCCEEDED(FResult)) CoUninitialize();
    }
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;

private:
    HRESULT FResult;
};

// ---- start-up switches ----

struct TSwitchCase {
    std::vector<std::wstring> Args;
    TKoStartMode Mode;
    bool PerUser;
};

TEST(StartSwitches, FirstSwitchOfTheTableDecides) {
    const TSwitchCase Cases[] = {
        {{}, smStandalone, false},
        {{L"/RegServer"}, smRegServer, false},
        {{L"-regserver"}, smRegServer, false},
        {{L"/UNREGSERVER"}, smUnregServer, false},
        {{L"/RegServerPerUser"}, smRegServer, true},
        {{L"-unregserverperuser"}, smUnregServer, true},
        {{L"-Embedding"}, smAutomation, false},
        {{L"/Automation"}, smAutomation, false},
        // Several switches: the table's order wins, not the command line's.
        {{L"/UnregServer", L"/RegServer"}, smRegServer, false},
        {{L"/RegServerPerUser", L"/RegServer"}, smRegServer, false},
        {{L"/UnregServerPerUser", L"/RegServerPerUser"}, smRegServer, true},
        {{L"/RegServer", L"-Embedding"}, smAutomation, false},
        // Not switches: no prefix, another prefix, a longer or a bare name.
        {{L"RegServer"}, smStandalone, false},
        {{L"\\RegServer"}, smStandalone, false},
        {{L"/RegServerNow"}, smStandalone, false},
        {{L"/Reg"}, smStandalone, false},
        {{L"/"}, smStandalone, false},
        {{L"--RegServer"}, smStandalone, false},
        {{L"file.txt", L"-x"}, smStandalone, false},
    };
    for (const TSwitchCase& Case : Cases) {
        const TKoStartSwitches Got = KoParseStartSwitches(Case.Args);
        std::wstring Text;
        for (const std::wstring& Arg : Case.Args) Text += Arg + L" ";
        EXPECT_EQ(Got.StartMode, Case.Mode) << KoUtf8(Text);
        EXPECT_EQ(Got.PerUser, Case.PerUser) << KoUtf8(Text);
    }
}

// ---- the test's server objects ----

// A server object as the class object makes it: counted references, counted as a live COM
// object of Server while it exists, deleted at its last release.
class TTestServerObject : public IUnknown, public IKoOPCProviderClient {
public:
    explicit TTestServerObject(TKoComServer& AServer) : Server(AServer) { Server.ObjectCreated(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Riid, void** Object) override {
        if (!IsEqualIID(Riid, IID_IUnknown)) {
            *Object = nullptr;
            return E_NOINTERFACE;
        }
        *Object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++Refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG Left = --Refs;
        if (Left == 0) delete this;
        return Left;
    }
    ULONG ObjAddRef() override { return AddRef(); }
    ULONG ObjRelease() override { return Release(); }
    std::wstring Name() const override {
        std::lock_guard Guard(Lock);
        return FName;
    }
    void SetName(const std::wstring& Value) override {
        std::lock_guard Guard(Lock);
        FName = Value;
    }
    std::wstring User() const override { return {}; }
    int GroupCount() const override { return 0; }
    IKoOPCProviderGroup* Groups(int) const override { return nullptr; }
    void AssignGroupsTo(TKoStrings&) override {}
    void Clear() override {}
    void Shutdown(const std::wstring&) override {}
    void DetachProvider() override {}

private:
    ~TTestServerObject() { Server.ObjectDestroyed(); }

    TKoComServer& Server;
    std::atomic<ULONG> Refs{1};
    mutable std::mutex Lock;
    std::wstring FName;
};

struct TIdentity {
    const wchar_t* ClassID;
    const wchar_t* ProgID;
    const wchar_t* Description;
    const wchar_t* Vendor;
};

// Made up for these tests, so that the programs' own registrations in the same prefix are never
// touched.
const TIdentity TestIdentity = {L"{5B0E7A31-9C24-4F6D-8A13-2E47C90B6D11}", L"Korvel.Test.ClassFactory",
                                L"Korvel Class Factory Test", L"Korvel Test Vendor"};

// A provider with a real class object, held by a COM server support of the test's own.
class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        Provider = std::make_unique<TKoOPCProvider>();
        Provider->SetCLSID(TestIdentity.ClassID);
        Provider->SetServerName(TestIdentity.ProgID);
        Provider->SetDescription(TestIdentity.Description);
        Provider->SetVendor(TestIdentity.Vendor);
        // Run only when the test says so.
        Provider->SetAutoRun(false);
        Provider->SetClassObjectFactory(KoOPCClassObjectFactory(
            [this](IUnknown*, TKoOPCProvider& Owner) -> TKoOPCServerObjectRef {
                auto* Object = new TTestServerObject(Server);
                Owner.AddClient(Object);
                return {static_cast<IUnknown*>(Object), Object};
            },
            Server));
        Provider->Initialize();
        Factory = dynamic_cast<TKoOPCProviderClientFactory*>(Provider->ObjectFactory());
        ASSERT_NE(Factory, nullptr);
    }
    void TearDown() override { Provider.reset(); }

    TComApartment Apartment;
    // Declared before the provider: it owns the class object, which the provider uses to its end.
    TKoComServer Server;
    std::unique_ptr<TKoOPCProvider> Provider;
    TKoOPCProviderClientFactory* Factory = nullptr;
};

// ---- creation ----

// One creation request through IClassFactory on a COM worker thread of its own.
class TCreationRequest {
public:
    explicit TCreationRequest(TKoOPCProviderClientFactory* AFactory)
        : FFactory(AFactory), FDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        FThread.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~TCreationRequest() {
        // A request still waiting (the test failed already) is let through before the join.
        FFactory->Activate();
        WaitForSingleObject(FThread.Get(), 10000);
    }
    TCreationRequest(const TCreationRequest&) = delete;
    TCreationRequest& operator=(const TCreationRequest&) = delete;

    bool WaitDone(DWORD Ms) const { return WaitForSingleObject(FDone.Get(), Ms) == WAIT_OBJECT_0; }
    HRESULT Result = E_UNEXPECTED;
    ComPtr<IUnknown> Object;

private:
    static DWORD WINAPI Run(void* Self) {
        auto* Request = static_cast<TCreationRequest*>(Self);
        {
            TComApartment Apartment;
            Request->Result = Request->FFactory->CreateInstance(
                nullptr, IID_IUnknown, reinterpret_cast<void**>(Request->Object.ReleaseAndGetAddressOf()));
        }
        SetEvent(Request->FDone.Get());
        return 0;
    }

    TKoOPCProviderClientFactory* FFactory;
    TKoHandle FDone;
    TKoHandle FThread;
};

TEST_F(ClassFactoryTest, RequestsWaitUntilTheProviderRunsThenAllGetServerObjects) {
    std::vector<std::unique_ptr<TCreationRequest>> Requests;
    for (int I = 0; I < 3; ++I) Requests.push_back(std::make_unique<TCreationRequest>(Factory));
    // Still waiting after a while: nothing created, nothing failed.
    EXPECT_FALSE(Requests[0]->WaitDone(300));
    for (const auto& Request : Requests) EXPECT_FALSE(Request->WaitDone(0));
    EXPECT_EQ(Provider->ClientCount(), 0);

    Provider->Run();
    EXPECT_TRUE(Factory->Activated());
    std::vector<std::wstring> Names;
    for (const auto& Request : Requests) {
        ASSERT_TRUE(Request->WaitDone(10000));
        EXPECT_EQ(Request->Result, S_OK);
        EXPECT_NE(Request->Object, nullptr);
    }
    ASSERT_EQ(Provider->ClientCount(), 3);
    for (int I = 0; I < 3; ++I) Names.push_back(Provider->Clients(I)->Name());
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, (std::vector<std::wstring>{L"Client 0", L"Client 1", L"Client 2"}));
    EXPECT_EQ(Server.ObjectCount(), 3);

    // Later requests do not wait, and the provider's own request gets a listed client.
    IKoOPCProviderClient* Own = Provider->GetNewClient();
    ASSERT_NE(Own, nullptr);
    EXPECT_EQ(Provider->IndexOfClient(Own), 3);
    Own->ObjRelease();

    // Nothing the class object handed out keeps a reference of its own.
    for (const auto& Request : Requests) Request->Object.Reset();
    Provider->Shutdown(L"");
    EXPECT_EQ(Server.ObjectCount(), 0);
}

TEST_F(ClassFactoryTest, AfterShutdownRequestsCreateNothing) {
    TCreationRequest Waiting(Factory);
    EXPECT_FALSE(Waiting.WaitDone(200));
    // The pending request is released by the shutdown and refused.
    Provider->Shutdown(L"test");
    ASSERT_TRUE(Waiting.WaitDone(10000));
    EXPECT_EQ(Waiting.Result, CO_E_SERVER_STOPPING);
    EXPECT_EQ(Waiting.Object, nullptr);

    TCreationRequest Late(Factory);
    ASSERT_TRUE(Late.WaitDone(10000));
    EXPECT_EQ(Late.Result, CO_E_SERVER_STOPPING);
    EXPECT_EQ(Late.Object, nullptr);
    EXPECT_EQ(Provider->GetNewClient(), nullptr);

    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(Server.ObjectCount(), 0);
}

TEST_F(ClassFactoryTest, RefusesAggregationForAnyInterfaceButIUnknownWithoutWaiting) {
    TTestServerObject* Outer = new TTestServerObject(Server);
    void* Object = reinterpret_cast<void*>(1);
    // The provider has not run: a request that waited would hang here.
    EXPECT_EQ(Factory->CreateInstance(Outer, IID_IClassFactory, &Object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(Object, nullptr);
    EXPECT_EQ(Factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    Outer->Release();
}

// The programs' own server objects through the class object: counted as live COM objects of the
// process from creation until the provider has disconnected them after their last release.
TEST(ProgramServerObjects, CountAsComObjectsUntilDisconnected) {
    TComApartment Apartment;
    TKoComServer Server;
    const LONG Before = ComServer().ObjectCount();
    auto Provider = std::make_unique<TKoOPCProvider>();
    Provider->SetCLSID(TestIdentity.ClassID);
    Provider->SetServerName(TestIdentity.ProgID);
    Provider->SetAutoRun(false);
    Provider->SetClassObjectFactory(KoOPCClassObjectFactory(KoOPCServerObjectCreator(), Server));
    Provider->Initialize();
    Provider->Run();
    auto* Factory = dynamic_cast<TKoOPCProviderClientFactory*>(Provider->ObjectFactory());
    ASSERT_NE(Factory, nullptr);

    ComPtr<IUnknown> Object;
    ASSERT_EQ(Factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(Object.GetAddressOf())),
              S_OK);
    EXPECT_EQ(Provider->ClientCount(), 1);
    EXPECT_EQ(ComServer().ObjectCount(), Before + 1);
    Object.Reset();
    EXPECT_TRUE(kotest::PumpUntil([&] { return Provider->ClientCount() == 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(ComServer().ObjectCount(), Before);
    Provider.reset();
}

// ---- the object count ----

struct TQuitCase {
    TKoStartMode Mode;
    bool Quits;
};

DWORD WINAPI DestroyObjectOn(void* Server) {
    static_cast<TKoComServer*>(Server)->ObjectDestroyed();
    return 0;
}

// Whether a WM_QUIT waits in the calling thread's queue (taken out).
bool TakeQuit() {
    MSG Msg;
    return PeekMessageW(&Msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

TEST(ComObjectCount, LastObjectGoneTellsTheMainThreadToQuitOnlyWhenStartedByCom) {
    const TQuitCase Cases[] = {{smStandalone, false}, {smAutomation, true}};
    for (const TQuitCase& Case : Cases) {
        // The main thread's queue exists before anything is posted to it.
        MSG Msg;
        PeekMessageW(&Msg, nullptr, 0, 0, PM_NOREMOVE);
        TKoComServer Server;
        Server.SetStartSwitches({Case.Mode, false});
        EXPECT_EQ(Server.MainThreadId(), GetCurrentThreadId());

        Server.ObjectCreated();
        Server.ObjectCreated();
        Server.ObjectDestroyed();
        EXPECT_EQ(Server.ObjectCount(), 1);
        EXPECT_FALSE(TakeQuit()) << Case.Mode;

        // The last object goes on another thread: the quit still reaches the main thread.
        TKoHandle Worker(CreateThread(nullptr, 0, &DestroyObjectOn, &Server, 0, nullptr));
        ASSERT_EQ(WaitForSingleObject(Worker.Get(), 10000), WAIT_OBJECT_0);
        EXPECT_EQ(Server.ObjectCount(), 0);
        EXPECT_EQ(TakeQuit(), Case.Quits) << Case.Mode;
    }
}

TEST_F(ClassFactoryTest, ClassObjectLocksCountAsObjects) {
    Server.SetStartSwitches({smAutomation, false});
    MSG Msg;
    PeekMessageW(&Msg, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_EQ(Factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(Server.ObjectCount(), 1);
    EXPECT_FALSE(TakeQuit());
    EXPECT_EQ(Factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(Server.ObjectCount(), 0);
    EXPECT_TRUE(TakeQuit());
}

// ---- registry ----

bool KeyExists(HKEY Root, const std::wstring& Path) {
    TKoRegKey Key;
    return Key.Open(Root, Path);
}

// The string value, or "<missing>".
std::wstring ReadValue(HKEY Root, const std::wstring& Path, const std::wstring& Name = {}) {
    TKoRegKey Key;
    std::wstring Value;
    if (!Key.Open(Root, Path) || !Key.ReadString(Name, Value)) return L"<missing>";
    return Value;
}

// Whether the class is registered as implementing both OPC Data Access server categories.
HRESULT IsOPCServerClass(const GUID& ClassID) {
    ComPtr<ICatInformation> Information;
    const HRESULT Created = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_PPV_ARGS(&Information));
    if (FAILED(Created)) return Created;
    CATID Ids[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
    // No required categories (an empty list, not a null one: the manager rejects null).
    return Information->IsClassOfCategories(ClassID, 2, Ids, 0, Ids);
}

std::wstring ProgramExeName() {
    const std::wstring Path = KoProgramFileName();
    return Path.substr(Path.find_last_of(L"\\/") + 1);
}

class RegistryTest : public ClassFactoryTest {
protected:
    void SetUp() override {
        ClassFactoryTest::SetUp();
        ClassText = TestIdentity.ClassID;
        ProgID = TestIdentity.ProgID;
        // What an earlier, broken run may have left.
        Provider->Unregister();
        const TKoClassesRoot Machine = KoClassesRoot(false);
        KoRegDeleteTree(Machine, L"AppID\\" + ClassText);
    }
    void TearDown() override {
        Server.SetStartSwitches({});
        for (bool PerUser : {false, true}) {
            KoRegDeleteTree(KoClassesRoot(PerUser), L"AppID\\" + ClassText);
            KoRegDeleteTree(KoClassesRoot(PerUser), L"CLSID\\" + ClassText);
            KoRegDeleteTree(KoClassesRoot(PerUser), ProgID);
        }
        ClassFactoryTest::TearDown();
    }

    struct TEntry {
        std::wstring Path;
        std::wstring Name;
        std::wstring Value;
    };
    // Every entry registration writes, under the classes root.
    std::vector<TEntry> Entries() const {
        const std::wstring Class = L"CLSID\\" + ClassText;
        return {
            {Class, L"", TestIdentity.Description},
            {Class + L"\\LocalServer32", L"", KoProgramFileName()},
            {Class + L"\\ProgID", L"", ProgID},
            {Class, L"AppID", ClassText},
            {ProgID, L"", TestIdentity.Description},
            {ProgID + L"\\Clsid", L"", ClassText},
            {ProgID + L"\\OPC\\Vendor", L"", TestIdentity.Vendor},
            {L"AppID\\" + ProgramExeName(), L"AppID", ClassText},
            {L"AppID\\" + ClassText, L"", L"test_server"},
        };
    }

    std::wstring ClassText;
    std::wstring ProgID;
};

TEST_F(RegistryTest, RegisterWritesTheEntriesAndUnregisterLeavesOnlyTheAppID) {
    GUID ClassID;
    ASSERT_EQ(IIDFromString(ClassText.c_str(), &ClassID), S_OK);
    EXPECT_EQ(IsOPCServerClass(ClassID), S_FALSE);

    Provider->Register();
    for (const TEntry& E : Entries())
        EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, E.Path, E.Name), E.Value) << KoUtf8(E.Path + L" " + E.Name);
    EXPECT_EQ(IsOPCServerClass(ClassID), S_OK);
    for (const wchar_t* Category :
         {L"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}", L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"})
        EXPECT_TRUE(
            KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + ClassText + L"\\Implemented Categories\\" + Category))
            << KoUtf8(Category);

    Provider->Unregister();
    EXPECT_EQ(IsOPCServerClass(ClassID), S_FALSE);
    for (const TEntry& E : Entries()) {
        const bool Stays = E.Path == L"AppID\\" + ClassText;
        EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, E.Path), Stays) << KoUtf8(E.Path);
    }
    // Nothing left to remove is no error.
    EXPECT_NO_THROW(Provider->Unregister());
}

// A per-user registration writes every entry under the user's class registry, and its removal
// leaves a machine-wide registration of the same class whole (it used to delete the machine's
// ProgID, vendor key and categories, and needed the machine's registry to register at all).
TEST_F(RegistryTest, PerUserRegistrationWritesOnlyUnderTheUserAndRemovesOnlyItsOwn) {
    const std::wstring User = L"Software\\Classes\\";
    const std::wstring Machine = L"Software\\Classes\\";
    Provider->Register();
    Server.SetStartSwitches({smRegServer, true});
    Provider->Register();
    for (const TEntry& E : Entries())
        EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, User + E.Path, E.Name), E.Value)
            << KoUtf8(E.Path + L" " + E.Name);
    for (const wchar_t* Category :
         {L"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}", L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"})
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER,
                              User + L"CLSID\\" + ClassText + L"\\Implemented Categories\\" + Category))
            << KoUtf8(Category);

    Server.SetStartSwitches({smUnregServer, true});
    Provider->Unregister();
    for (const TEntry& E : Entries()) {
        const bool Stays = E.Path == L"AppID\\" + ClassText;
        EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, User + E.Path), Stays) << KoUtf8(E.Path);
        // The machine's registration is untouched.
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, Machine + E.Path, E.Name), E.Value)
            << KoUtf8(E.Path + L" " + E.Name);
    }
    GUID ClassID;
    ASSERT_EQ(IIDFromString(ClassText.c_str(), &ClassID), S_OK);
    EXPECT_EQ(IsOPCServerClass(ClassID), S_OK);
    KoRegDeleteTree(KoClassesRoot(true), L"AppID\\" + ClassText);
}

// Registering the class with the program's COM server support: the switches decide between
// writing the registry and running.
TEST_F(RegistryTest, SwitchesRegisterAndUnregisterThroughTheComServer) {
    const std::wstring Local = L"CLSID\\" + ClassText + L"\\LocalServer32";
    EXPECT_FALSE(Server.Initialize({L"/RegServer"}, csAfterRegistration));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, Local));
    EXPECT_FALSE(Server.Initialize({L"-UNREGSERVER"}, csAfterRegistration));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, Local));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ProgID));
}

} // namespace
