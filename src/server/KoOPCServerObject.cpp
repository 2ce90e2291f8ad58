#include "KoOPCServerObject.h"

#include <objbase.h>

#include <algorithm>
#include <memory>
#include <new>

#include "KoComServer.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCGroup.h"
#include "KoStrings.h"
#include "KoUtils.h"

namespace {

// The calling Windows account when the incoming call authenticated with NTLM; empty otherwise,
// also outside an incoming call.
std::wstring CallingUser() {
    DWORD AuthnService = 0;
    RPC_AUTHZ_HANDLE Privileges = nullptr;
    if (FAILED(CoQueryClientBlanket(&AuthnService, nullptr, nullptr, nullptr, nullptr, &Privileges, nullptr)))
        return {};
    // The principal's name belongs to COM; it is only copied.
    if (AuthnService != RPC_C_AUTHN_WINNT || !Privileges) return {};
    return static_cast<const wchar_t*>(Privileges);
}

} // namespace

// ---- life cycle ----

TKoOPCProviderClient::TKoOPCProviderClient()
    : FConnectionPoints(*Unknown(), *static_cast<IConnectionPointContainer*>(this)),
      FShutdownCallbacks(&FConnectionPoints.Add(IID_IOPCShutdown,
                                                [this](IUnknown*, bool Connected) {
                                                    Log(L"Shutdown callback %s",
                                                        Connected ? L"connected" : L"disconnected");
                                                })),
      FUser(CallingUser()) {
    KoComServerObjectCreated();
}

TKoOPCProviderClient* TKoOPCProviderClient::Create(TKoOPCProvider& Provider) {
    ComPtr<TKoOPCProviderClient> Client = KoAdopt(new TKoOPCProviderClient());
    Client->SetProvider(&Provider);
    return Client.Detach();
}

TKoOPCProviderClient::~TKoOPCProviderClient() {
    for (;;) {
        TKoOPCProviderGroup* First;
        {
            std::lock_guard Guard(FGroupLock);
            if (FGroupList.empty()) break;
            First = FGroupList.front();
        }
        if (FAILED(RemoveGroup(First->ServerHandle(), TRUE))) {
            // Removal failed: the list's reference goes all the same.
            std::unique_lock Guard(FGroupLock);
            auto It = std::find(FGroupList.begin(), FGroupList.end(), First);
            if (It != FGroupList.end()) {
                FGroupList.erase(It);
                Guard.unlock();
                First->Release();
            }
        }
    }
    FShutdownCallbacks->Clear();
    SetProvider(nullptr);
    KoComServerObjectDestroyed();
}

IUnknown* TKoOPCProviderClient::FindInterface(REFIID riid) {
    try {
        return Interface(riid, true);
    } catch (...) {
        // The copy could not be made or refreshed: the interface is not there now.
        return nullptr;
    }
}

HRESULT TKoOPCProviderClient::ObjQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IUnknown* Found = nullptr;
    try {
        Found = Interface(riid, false);
    } catch (...) {
        return E_NOINTERFACE;
    }
    if (!Found) return E_NOINTERFACE;
    Found->AddRef();
    *ppv = Found;
    return S_OK;
}

IUnknown* TKoOPCProviderClient::Interface(REFIID riid, bool Refresh) {
    if (!IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace)) return TKoComObject::FindInterface(riid);
    TKoOPCProviderClientAddressSpace* Space = AddressSpace();
    if (!Space) return nullptr;
    if (Refresh) Space->Refresh(false);
    return static_cast<IOPCBrowseServerAddressSpace*>(Space);
}

TKoOPCProviderClientAddressSpace* TKoOPCProviderClient::AddressSpace() {
    std::lock_guard Guard(FAddressSpaceLock);
    if (!FAddressSpace) {
        TKoOPCProvider* Current = Provider();
        auto* Master = Current ? dynamic_cast<TKoOPCProviderAddressSpace*>(Current->AddressSpace()) : nullptr;
        if (!Master) return nullptr;
        FAddressSpace = std::make_unique<TKoOPCProviderClientAddressSpace>(*Master, this);
    }
    return FAddressSpace.get();
}

void TKoOPCProviderClient::ReleasingToOne() noexcept {
    try {
        // The one reference left is the provider's; the disconnection drops it on the main thread.
        if (TKoOPCProvider* Current = Provider()) Current->RemoveClient(this);
    } catch (...) {
        // A release never fails.
    }
}

TKoOPCProvider* TKoOPCProviderClient::Provider() const {
    std::lock_guard Guard(FIdentityLock);
    return FProvider;
}

void TKoOPCProviderClient::SetProvider(TKoOPCProvider* Value) {
    TKoOPCProvider* Old;
    {
        std::lock_guard Guard(FIdentityLock);
        Old = FProvider;
        if (Old == Value) return;
        FProvider = Value;
    }
    if (Old) Old->RemoveClient(this);
    if (Value) Value->AddClient(this);
}

void TKoOPCProviderClient::DetachProvider() {
    {
        std::lock_guard Guard(FIdentityLock);
        FProvider = nullptr;
    }
    // The master tree goes with the provider: the copy stops refreshing from it.
    std::lock_guard Guard(FAddressSpaceLock);
    if (FAddressSpace) FAddressSpace->DetachMaster();
}

TKoOPCProvider& TKoOPCProviderClient::RequireProvider() const {
    TKoOPCProvider* Current = Provider();
    if (!Current) throw EKoOPCProviderException(L"The server object is no longer connected to the server.");
    return *Current;
}

std::wstring TKoOPCProviderClient::Name() const {
    std::lock_guard Guard(FIdentityLock);
    return FName;
}

void TKoOPCProviderClient::SetName(const std::wstring& Value) {
    std::lock_guard Guard(FIdentityLock);
    FName = Value;
}

std::wstring TKoOPCProviderClient::User() const {
    std::lock_guard Guard(FIdentityLock);
    return FUser;
}

void TKoOPCProviderClient::SetUser(const std::wstring& Value) {
    std::lock_guard Guard(FIdentityLock);
    FUser = Value;
}

double TKoOPCProviderClient::LastUpdateTime() const {
    std::lock_guard Guard(FLastUpdateLock);
    return FLastUpdateTime;
}

void TKoOPCProviderClient::ClientUpdated() {
    const double Now = NowUTC();
    std::lock_guard Guard(FLastUpdateLock);
    FLastUpdateTime = Now;
}

void TKoOPCProviderClient::LogText(const std::wstring& Text) const noexcept {
    try {
        std::lock_guard Guard(FIdentityLock);
        if (FProvider) FProvider->LogLine(FName + L": " + Text);
    } catch (...) {
        // Logging never fails towards the caller.
    }
}

// ---- groups ----

int TKoOPCProviderClient::GroupCount() const {
    std::lock_guard Guard(FGroupLock);
    return static_cast<int>(FGroupList.size());
}

IKoOPCProviderGroup* TKoOPCProviderClient::Groups(int Index) const {
    std::lock_guard Guard(FGroupLock);
    if (Index < 0 || Index >= static_cast<int>(FGroupList.size())) KoStringListIndexError(Index);
    return FGroupList[static_cast<size_t>(Index)];
}

bool TKoOPCProviderClient::HoldsGroup(const TKoOPCProviderGroup* Group) const {
    std::lock_guard Guard(FGroupLock);
    return std::find(FGroupList.begin(), FGroupList.end(), Group) != FGroupList.end();
}

int TKoOPCProviderClient::IndexOfName(std::wstring_view AName) const {
    std::lock_guard Guard(FGroupLock);
    for (size_t I = 0; I < FGroupList.size(); ++I) {
        const TKoOPCProviderGroup* Group = FGroupList[I];
        if (Group->RefCount() > 0 && !Group->Deleted() && Group->GroupName() == AName)
            return static_cast<int>(I);
    }
    return -1;
}

int TKoOPCProviderClient::IndexOfServerHandle(OPCHANDLE hServerGroup, bool CheckDeleted) const {
    std::lock_guard Guard(FGroupLock);
    for (size_t I = 0; I < FGroupList.size(); ++I) {
        const TKoOPCProviderGroup* Group = FGroupList[I];
        if (Group->ServerHandle() == hServerGroup && (CheckDeleted || !Group->Deleted()))
            return static_cast<int>(I);
    }
    return -1;
}

std::wstring TKoOPCProviderClient::UniqueName() const {
    std::lock_guard Guard(FGroupLock);
    std::wstring Name = L"GroupA";
    Name.back() = static_cast<wchar_t>(L'A' + FGroupList.size());
    while (IndexOfName(Name) >= 0) {
        if (Name.back() > L'Z') throw EKoOPCProviderException(L"No Unique Name available");
        ++Name.back();
    }
    return Name;
}

void TKoOPCProviderClient::RenameGroup(TKoOPCProviderGroup& Group, const std::wstring& Value) {
    std::lock_guard Guard(FGroupLock);
    if (Group.GroupName() == Value) return;
    if (Value.empty()) throw EKoOPCProviderInvalidArg(L"Empty name not allowed.");
    if (IndexOfName(Value) >= 0)
        throw EKoOPCProviderGroupDuplicateName(KoFormat(L"Name %s already in use.", Value));
    Group.StoreName(Value);
}

void TKoOPCProviderClient::AssignGroupsTo(TKoStrings& Target) {
    std::lock_guard Guard(FGroupLock);
    Target.BeginUpdate();
    try {
        Target.Clear();
        for (TKoOPCProviderGroup* Group : FGroupList)
            Target.AddObject(Group->GroupName(), static_cast<IKoOPCProviderGroup*>(Group));
    } catch (...) {
        Target.EndUpdate();
        throw;
    }
    Target.EndUpdate();
}

void TKoOPCProviderClient::Clear() {
    std::lock_guard Guard(FGroupLock);
    TKoOPCProvider* Current = Provider();
    for (TKoOPCProviderGroup* Group : FGroupList) {
        // The provider stops counting the group now: once detached, this object no longer
        // reaches the provider when it finally removes its groups.
        if (Group->Registered() && Current) {
            Group->SetRegistered(false);
            Current->RemoveGroup(Group);
        }
        Group->FinishGroup(true);
    }
}

void TKoOPCProviderClient::Shutdown(const std::wstring& Reason) {
    for (const ComPtr<IUnknown>& Sink : FShutdownCallbacks->SinksNewestFirst()) {
        ComPtr<IOPCShutdown> Shutdown;
        // A sink that fails is skipped; the next one is still told.
        if (SUCCEEDED(Sink.As(&Shutdown))) Shutdown->ShutdownRequest(Reason.c_str());
    }
}

// ---- IOPCServer ----

STDMETHODIMP TKoOPCProviderClient::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                            OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                            DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                            REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk) *ppUnk = nullptr;
    const HRESULT Result = KoComCall(
        [&]() -> HRESULT {
            KoRequireOut(phServerGroup);
            KoRequireOut(pRevisedUpdateRate);
            KoRequireOut(ppUnk);
            // Held from the name check to the append, so two calls cannot both take one name.
            std::lock_guard Guard(FGroupLock);
            std::wstring Name = KoTextOf(szName);
            if (!Name.empty()) {
                if (IndexOfName(Name) >= 0) return OPC_E_DUPLICATENAME;
            } else
                Name = UniqueName();
            ComPtr<TKoOPCProviderGroup> Group = KoAdopt(new TKoOPCProviderGroup(this));
            Group->SetLCID(dwLCID);
            ComPtr<IUnknown> Requested;
            const HRESULT QueryResult =
                Group->QueryInterface(riid, reinterpret_cast<void**>(Requested.GetAddressOf()));
            if (FAILED(QueryResult)) return QueryResult;
            Group->SetGroupName(Name);
            Group->SetActive(bActive != 0);
            Group->StoreUpdateRate(dwRequestedUpdateRate);
            Group->SetClientHandle(hClientGroup);
            if (pTimeBias)
                Group->SetTimeBias(*pTimeBias);
            else {
                Group->SetTimeBias(0);
                TKoOPCProvider* Current = Provider();
                Group->SetLocalTimeBias(Current && Current->SupportLocalTimeBias());
            }
            if (pPercentDeadband) Group->SetPercentDeadband(*pPercentDeadband);
            FGroupList.push_back(Group.Get());
            Group->AddRef();
            if (TKoOPCProvider* Current = Provider()) {
                Group->SetRegistered(true);
                try {
                    Current->AddGroup(Group.Get());
                } catch (...) {
                    // An event handler failed: the group is uncounted and unlisted again.
                    Group->SetRegistered(false);
                    Current->RemoveGroup(Group.Get());
                    FGroupList.pop_back();
                    Group->Release();
                    throw;
                }
            }
            *phServerGroup = Group->ServerHandle();
            *pRevisedUpdateRate = Group->UpdateRate();
            *ppUnk = Requested.Detach();
            return S_OK;
        },
        phServerGroup, pRevisedUpdateRate, ppUnk);
    Log(L"IOPCServer.AddGroup(Name=%s, RequestedUpdateRate=%d): Result=$%x", KoTextOf(szName),
        dwRequestedUpdateRate, Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderClient::GetErrorString(HRESULT dwError, LCID /*dwLocale*/, LPWSTR* ppString) {
    return KoComCall(
        [&] {
            KoRequireOut(ppString);
            *ppString = KoTaskMemString(OPCErrorText(dwError));
        },
        ppString);
}

STDMETHODIMP TKoOPCProviderClient::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk) *ppUnk = nullptr;
    return KoComCall(
        [&]() -> HRESULT {
            KoRequireOut(ppUnk);
            std::lock_guard Guard(FGroupLock);
            const int Index = IndexOfName(KoTextOf(szName));
            if (Index < 0) return E_INVALIDARG;
            return FGroupList[static_cast<size_t>(Index)]->QueryInterface(riid,
                                                                          reinterpret_cast<void**>(ppUnk));
        },
        ppUnk);
}

STDMETHODIMP TKoOPCProviderClient::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    if (ppServerStatus) *ppServerStatus = nullptr;
    TKoOPCProvider* Current = Provider();
    if (!Current) return E_FAIL;
    const HRESULT Result = KoComCall(
        [&] {
            KoRequireOut(ppServerStatus);
            TKoTaskMem<OPCSERVERSTATUS> Status(1);
            std::wstring VendorInfo;
            {
                Current->Lock();
                // The provider's fields are copied under its status lock, the rest is done without.
                try {
                    Status[0].ftStartTime = DateTimeToFileTime(Current->StartTime());
                    Status[0].dwServerState = Current->State();
                    Status[0].dwGroupCount = static_cast<DWORD>(Current->GroupCount());
                    VendorInfo = Current->VendorInfo();
                } catch (...) {
                    Current->Unlock();
                    throw;
                }
                Current->Unlock();
            }
            Status[0].dwBandWidth = 0;
            Status[0].ftCurrentTime = DateTimeToFileTime(NowUTC());
            Status[0].ftLastUpdateTime = DateTimeToFileTime(LastUpdateTime());
            wchar_t Exe[MAX_PATH + 1] = {};
            const DWORD Length = GetModuleFileNameW(nullptr, Exe, MAX_PATH);
            WORD Major = 0, Minor = 0, Release = 0, Build = 0;
            if (Length > 0 && Length < MAX_PATH && GetFileVersionNumbers(Exe, Major, Minor, Release, Build)) {
                Status[0].wMajorVersion = Major;
                Status[0].wMinorVersion = Minor;
                Status[0].wBuildNumber = Build;
            } else {
                Status[0].wMajorVersion = static_cast<WORD>(Current->Version() & 0xFFFF);
                Status[0].wMinorVersion = 0;
                Status[0].wBuildNumber = 0;
            }
            Status[0].szVendorInfo = KoTaskMemString(VendorInfo);
            *ppServerStatus = Status.Release();
        },
        ppServerStatus);
    Log(L"GetStatus");
    return Result;
}

STDMETHODIMP TKoOPCProviderClient::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    std::wstring GroupName = L"Unknown";
    const HRESULT Result = KoComCall([&]() -> HRESULT {
        std::lock_guard Guard(FGroupLock);
        const int Index = IndexOfServerHandle(hServerGroup, bForce != 0);
        if (Index < 0) return E_INVALIDARG;
        TKoOPCProviderGroup* Group = FGroupList[static_cast<size_t>(Index)];
        GroupName = Group->GroupName();
        const bool Remove = bForce != 0 || Group->RefCount() < 2;
        if (Remove && Group->Registered()) {
            Group->SetRegistered(false);
            if (TKoOPCProvider* Current = Provider()) Current->RemoveGroup(Group);
        }
        Group->FinishGroup(Remove);
        Sleep(0);
        if (!Remove) return OPC_S_INUSE;
        FGroupList.erase(FGroupList.begin() + Index);
        // Normally the last reference: the group goes now, or when the OPC client releases it.
        Group->Release();
        return S_OK;
    });
    Log(L"IOPCServer.RemoveGroup(%s, Force=%s): Result=$%x", GroupName, BoolToText(bForce != 0), Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderClient::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                         LPUNKNOWN* ppUnk) {
    if (ppUnk) *ppUnk = nullptr;
    return KoComCall(
        [&]() -> HRESULT {
            KoRequireOut(ppUnk);
            const bool IsUnknown = IsEqualIID(riid, IID_IEnumUnknown);
            if (!IsUnknown && !IsEqualIID(riid, IID_IEnumString)) return E_NOINTERFACE;
            // Only private groups exist: the public scopes, and any unknown scope, list nothing.
            const bool Listed = dwScope == OPC_ENUM_PRIVATE_CONNECTIONS ||
                                dwScope == OPC_ENUM_ALL_CONNECTIONS || dwScope == OPC_ENUM_PRIVATE ||
                                dwScope == OPC_ENUM_ALL;
            std::vector<ComPtr<IUnknown>> Unknowns;
            std::vector<std::wstring> Names;
            if (Listed) {
                std::lock_guard Guard(FGroupLock);
                for (TKoOPCProviderGroup* Group : FGroupList) {
                    if (Group->Deleted()) continue;
                    std::wstring Name = Group->GroupName();
                    if (Name.empty()) continue;
                    if (IsUnknown)
                        Unknowns.emplace_back(Group->Unknown());
                    else
                        Names.push_back(std::move(Name));
                }
            }
            const bool Empty = IsUnknown ? Unknowns.empty() : Names.empty();
            *ppUnk = IsUnknown ? static_cast<IUnknown*>(KoNewEnumUnknown(std::move(Unknowns)))
                               : static_cast<IUnknown*>(KoNewEnumString(std::move(Names)));
            return Empty ? S_FALSE : S_OK;
        },
        ppUnk);
}

// ---- IOPCCommon ----

STDMETHODIMP TKoOPCProviderClient::SetLocaleID(LCID dwLcid) {
    return dwLcid == LOCALE_SYSTEM_DEFAULT ? S_OK : E_INVALIDARG;
}

STDMETHODIMP TKoOPCProviderClient::GetLocaleID(LCID* pdwLcid) {
    return KoComCall([&] {
        KoRequireOut(pdwLcid);
        *pdwLcid = FLCID;
    });
}

STDMETHODIMP TKoOPCProviderClient::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    if (pdwLcid) *pdwLcid = nullptr;
    return KoComCall(
        [&] {
            KoRequireOut(pdwCount);
            KoRequireOut(pdwLcid);
            *pdwCount = 1;
            TKoTaskMem<LCID> Locales(1);
            Locales[0] = LOCALE_SYSTEM_DEFAULT;
            *pdwLcid = Locales.Release();
        },
        pdwLcid);
}

STDMETHODIMP TKoOPCProviderClient::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    return GetErrorString(dwError, FLCID, ppString);
}

STDMETHODIMP TKoOPCProviderClient::SetClientName(LPCWSTR szName) {
    return KoComCall([&] {
        const std::wstring Name = KoTextOf(szName);
        Log(L"IOPCServer.SetClientName(\"%s\")", Name);
        SetName(Name);
    });
}

// ---- IConnectionPointContainer ----

STDMETHODIMP TKoOPCProviderClient::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    return FConnectionPoints.EnumConnectionPoints(ppEnum);
}

STDMETHODIMP TKoOPCProviderClient::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    return FConnectionPoints.FindConnectionPoint(riid, ppCP);
}

// ---- ISupportErrorInfo ----

STDMETHODIMP TKoOPCProviderClient::InterfaceSupportsErrorInfo(REFIID riid) {
    // Asked only whether the interface is there: the browse copy is not refreshed for it.
    try {
        return Interface(riid, false) ? S_OK : S_FALSE;
    } catch (...) {
        return S_FALSE;
    }
}
