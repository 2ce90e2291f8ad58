#include "KoOPCClassFactory.h"

#include <comcat.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "KoApplication.h"
#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoOPCServerObject.h"
#include "KoOle.h"

using Microsoft::WRL::ComPtr;

namespace {

// The file name of a path, without its directory.
std::wstring FileNamePart(const std::wstring& Path) {
    const size_t Slash = Path.find_last_of(L"\\/:");
    return Slash == std::wstring::npos ? Path : Path.substr(Slash + 1);
}

// The application's title, or the platform's default one: the executable's base name.
std::wstring ApplicationTitle(const std::wstring& FileName) {
    if (!Application().Title().empty()) return Application().Title();
    const std::wstring Name = FileNamePart(FileName);
    const size_t Dot = Name.rfind(L'.');
    return Dot == std::wstring::npos ? Name : Name.substr(0, Dot);
}

// Takes back the count a creation request took in beforehand; the new object counts itself.
struct TCreationEnd {
    void operator()(TKoComServer* Server) const noexcept { Server->ObjectDestroyed(); }
};

const CATID kCategories[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};

// Registers (or removes) the class in the OPC Data Access server categories of the machine.
void UpdateCategories(const GUID& ClassID, bool Register) {
    ComPtr<ICatRegister> Categories;
    KoOleCheck(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&Categories)));
    CATID Ids[std::size(kCategories)];
    std::copy(std::begin(kCategories), std::end(kCategories), Ids);
    if (Register)
        KoOleCheck(Categories->RegisterClassImplCategories(ClassID, static_cast<ULONG>(std::size(Ids)), Ids));
    else
        KoOleCheck(
            Categories->UnRegisterClassImplCategories(ClassID, static_cast<ULONG>(std::size(Ids)), Ids));
}

// The same category entries in the user's class registry: the manager writes only the machine's.
void RegisterUserCategories(const TKoClassesRoot& Root, const std::wstring& ClassText) {
    for (const CATID& Id : kCategories) {
        const std::wstring Path = L"CLSID\\" + ClassText + L"\\Implemented Categories\\" + KoGuidText(Id);
        TKoRegKey Key;
        if (!Key.Create(Root.Root, Root.Path(Path)))
            throw EKoOleError(TYPE_E_REGISTRYACCESS, L"Error accessing the OLE registry: " + Root.Path(Path));
    }
}

} // namespace

TKoOPCProviderClientFactory::TKoOPCProviderClientFactory(
    TKoComServer& ComServer, TKoOPCServerObjectCreator Creator, const GUID& ClassID, std::wstring ClassName,
    std::wstring Description, TKoClassInstancing Instancing, TKoThreadingModel ThreadingModel)
    : FComServer(ComServer), FCreator(std::move(Creator)), FClassID(ClassID),
      FClassName(std::move(ClassName)), FDescription(std::move(Description)), FInstancing(Instancing),
      FThreadingModel(ThreadingModel), FStartupCompleteEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!FStartupCompleteEvent) throw EKoOleError(HRESULT_FROM_WIN32(GetLastError()));
    // Server objects are then called on COM's worker threads, several at once.
    if (ThreadingModel == tmFree || ThreadingModel == tmBoth) FComServer.SetCoInitFlags(COINIT_MULTITHREADED);
}

bool TKoOPCProviderClientFactory::Activated() const {
    return WaitForSingleObject(FStartupCompleteEvent.Get(), 0) == WAIT_OBJECT_0;
}

HRESULT STDMETHODCALLTYPE TKoOPCProviderClientFactory::QueryInterface(REFIID Riid, void** Object) {
    if (!Object) return E_POINTER;
    if (IsEqualIID(Riid, IID_IUnknown) || IsEqualIID(Riid, IID_IClassFactory)) {
        *Object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *Object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TKoOPCProviderClientFactory::AddRef() {
    return ++FRefCount;
}

ULONG STDMETHODCALLTYPE TKoOPCProviderClientFactory::Release() {
    const ULONG Left = --FRefCount;
    if (Left == 0) delete this;
    return Left;
}

HRESULT STDMETHODCALLTYPE TKoOPCProviderClientFactory::CreateInstance(IUnknown* Outer, REFIID Riid,
                                                                      void** Object) {
    if (!Object) return E_POINTER;
    *Object = nullptr;
    // An aggregated object hands its controller nothing but its own IUnknown.
    if (Outer && !IsEqualIID(Riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    // Counted in before anything is made, so that the process cannot decide to end while the
    // object is being made (or while the request waits for the provider); refused once it has.
    if (!FComServer.BeginObjectCreation()) return CO_E_SERVER_STOPPING;
    const std::unique_ptr<TKoComServer, TCreationEnd> Creation(&FComServer);
    return KoComCall(
        [&]() -> HRESULT {
            const TKoOPCServerObjectRef New = CreateComObject(Outer);
            if (!New.Unknown) return CO_E_SERVER_STOPPING;
            const ComPtr<IUnknown> Owner = KoAdopt(New.Unknown);
            return Owner->QueryInterface(Riid, Object);
        },
        Object);
}

HRESULT STDMETHODCALLTYPE TKoOPCProviderClientFactory::LockServer(BOOL Lock) {
    if (!Lock)
        FComServer.ObjectDestroyed();
    else if (!FComServer.BeginObjectCreation())
        // The process has decided to end: a lock cannot keep it any more.
        return CO_E_SERVER_STOPPING;
    return S_OK;
}

DWORD TKoOPCProviderClientFactory::RegistrationFlags() const {
    return FInstancing == ciSingleInstance ? REGCLS_SINGLEUSE : REGCLS_MULTIPLEUSE;
}

void TKoOPCProviderClientFactory::Activate() {
    SetEvent(FStartupCompleteEvent.Get());
}

void TKoOPCProviderClientFactory::WaitForStartup() const {
    HANDLE Event = FStartupCompleteEvent.Get();
    DWORD Index = 0;
    // A COM thread keeps handling COM's calls while it waits.
    const HRESULT Result = CoWaitForMultipleHandles(0, INFINITE, 1, &Event, &Index);
    if (Result == CO_E_NOTINITIALIZED) {
        if (WaitForSingleObject(Event, INFINITE) != WAIT_OBJECT_0)
            throw EKoOleError(HRESULT_FROM_WIN32(GetLastError()));
        return;
    }
    KoOleCheck(Result);
}

TKoOPCServerObjectRef TKoOPCProviderClientFactory::CreateComObject(IUnknown* Controller) {
    WaitForStartup();
    if (!FProvider || FProvider->State() == OPC_STATUS_SUSPENDED) return {};
    if (!FCreator) throw EKoOleError(CLASS_E_CLASSNOTAVAILABLE, L"No server object class");
    return FCreator(Controller, *FProvider);
}

IKoOPCProviderClient* TKoOPCProviderClientFactory::CreateClient() {
    return CreateComObject(nullptr).Client;
}

void TKoOPCProviderClientFactory::UpdateRegistry(bool Register) {
    // Every entry goes to one class registry: the machine's, or for a per-user registration the
    // user's. A user who may not write the machine's registry can then register the class, and
    // removing a per-user registration leaves a machine-wide one of the same class whole.
    const bool PerUser = FComServer.PerUserRegistration();
    const TKoClassesRoot Root = KoClassesRoot(PerUser);
    const std::wstring FileName = KoProgramFileName();
    const std::wstring ExeName = FileNamePart(FileName);
    const std::wstring ClassText = KoGuidText(FClassID);
    const std::wstring ProgID = GetProgID();
    const std::wstring CategoriesKey = L"CLSID\\" + ClassText + L"\\Implemented Categories";
    if (Register) {
        KoRegisterLocalServer(Root, FClassID, ProgID, FDescription, FileName);
        if (PerUser)
            RegisterUserCategories(Root, ClassText);
        else
            UpdateCategories(FClassID, true);
        // OPC clients list the servers whose ProgID has this key.
        KoRegWriteIfOpened(Root, ProgID + L"\\OPC\\Vendor", L"", FProvider ? FProvider->Vendor() : L"");
        KoRegWriteIfOpened(Root, L"AppID\\" + ExeName, L"AppID", ClassText);
        KoRegWriteIfOpened(Root, L"AppID\\" + ClassText, L"", ApplicationTitle(FileName));
        KoRegWriteIfOpened(Root, L"CLSID\\" + ClassText, L"AppID", ClassText);
        return;
    }
    // The manager fails for a class without categories: there is nothing to remove then. The
    // user's category keys go with the tree below.
    TKoRegKey Categories;
    if (!PerUser && Categories.Open(Root.Root, Root.Path(CategoriesKey))) {
        Categories.Reset();
        UpdateCategories(FClassID, false);
    }
    // The AppID\{class ID} key stays: it may carry the access settings for the server.
    for (const std::wstring& Path : {CategoriesKey, ProgID + L"\\OPC", ProgID, L"AppID\\" + ExeName})
        KoRegDeleteTree(Root, Path);
    KoUnregisterLocalServer(Root, FClassID, ProgID);
}

TKoOPCServerObjectCreator KoOPCServerObjectCreator() {
    return [](IUnknown* Controller, TKoOPCProvider& Provider) -> TKoOPCServerObjectRef {
        if (Controller) throw EKoOleError(CLASS_E_NOAGGREGATION);
        TKoOPCProviderClient* Client = TKoOPCProviderClient::Create(Provider);
        return {Client->Unknown(), Client};
    };
}

TKoOPCProviderClassObjectFactory KoOPCClassObjectFactory(TKoOPCServerObjectCreator Creator,
                                                         TKoComServer& Server) {
    return [Creator = std::move(Creator), &Server](TKoOPCProvider& Provider) -> IKoOPCProviderClassObject* {
        const ComPtr<TKoOPCProviderClientFactory> Factory = KoAdopt(new TKoOPCProviderClientFactory(
            Server, Creator, Provider.ClassID(), Provider.ServerName(), Provider.Description(),
            ciMultiInstance, Provider.ThreadingModel()));
        Factory->SetProvider(&Provider);
        Server.AddClassObject(Factory.Get());
        return Factory.Get();
    };
}
