#include "KoOPCProgram.h"

#include <cstring>

#include "KoApplication.h"
#include "KoComObjects.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCClassFactory.h"
#include "KoOPCCommon.h"
#include "KoOPCProviderTransactions.h"
#include "KoRandom.h"
#include "KoVarsRTTI.h"

namespace {

std::optional<uint64_t> SeedOfText(std::wstring_view Text) {
    if (Text.empty() || Text.size() > 20) return std::nullopt;
    uint64_t Value = 0;
    for (wchar_t C : Text) {
        if (C < L'0' || C > L'9') return std::nullopt;
        const uint64_t Digit = static_cast<uint64_t>(C - L'0');
        if (Value > (UINT64_MAX - Digit) / 10) return std::nullopt;
        Value = Value * 10 + Digit;
    }
    return Value;
}

} // namespace

std::optional<uint64_t> KoProgramSeed(const std::vector<std::wstring>& Args, const wchar_t* ProgID) {
    for (size_t I = 0; I + 1 < Args.size(); ++I) {
        const std::wstring& A = Args[I];
        if ((A[0] == L'/' || A[0] == L'-') && _wcsicmp(A.c_str() + 1, L"seed") == 0)
            return SeedOfText(Args[I + 1]);
    }
    const std::wstring Key = std::wstring(L"Software\\Korvel OPC\\") + ProgID;
    BYTE Data[64] = {};
    DWORD Size = sizeof Data - sizeof(wchar_t);
    DWORD Type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, Key.c_str(), L"Seed",
                     RRF_RT_REG_DWORD | RRF_RT_REG_QWORD | RRF_RT_REG_SZ, &Type, Data,
                     &Size) != ERROR_SUCCESS)
        return std::nullopt;
    if (Type == REG_DWORD) {
        DWORD Value = 0;
        std::memcpy(&Value, Data, sizeof Value);
        return Value;
    }
    if (Type == REG_QWORD) {
        uint64_t Value = 0;
        std::memcpy(&Value, Data, sizeof Value);
        return Value;
    }
    return SeedOfText(reinterpret_cast<const wchar_t*>(Data));
}

std::unique_ptr<TKoOPCProvider> KoCreateProgramProvider(const TKoOPCProgramIdentity& Identity) {
    // A fixed seed makes the Random module's values the same on every run; clients see it at the
    // end of the vendor text of the server's status.
    std::wstring VendorInfo = Identity.VendorInfo;
    if (const std::optional<uint64_t> Seed = KoProgramSeed(KoCommandLineArgs(), Identity.ProgID)) {
        KoRandSeed(*Seed);
        VendorInfo += L" (seed " + std::to_wstring(*Seed) + L")";
    }
    auto Provider = std::make_unique<TKoOPCProvider>(&KoCreateOPCAddressSpace);
    Provider->SetCLSID(Identity.ClassID);
    Provider->SetServerName(Identity.ProgID);
    Provider->SetDescription(Identity.Description);
    Provider->SetVendor(L"Korvel OPC Ltd");
    Provider->SetVendorInfo(VendorInfo);
    Provider->SetVersion(0);
    Provider->SetThreadingModel(tmBoth);
    Provider->SetClassObjectFactory(KoOPCClassObjectFactory(KoOPCServerObjectCreator()));
    Provider->Initialize();
    if (Identity.LogActive) {
        Provider->ActivityLog().SetActive(true);
        Provider->ActivityLog().SetMaxLines(5000);
    }
    return Provider;
}

namespace {

// Every interface the server hands to its clients, held registered for remote calls while the
// program serves (see TKoInterfaceAnchor for why).
std::unique_ptr<TKoInterfaceAnchor>& ServedInterfaces() {
    static std::unique_ptr<TKoInterfaceAnchor> Anchor;
    return Anchor;
}

std::vector<IID> KoServedInterfaceIDs() {
    return {IID_IUnknown,
            IID_IOPCServer,
            IID_IOPCCommon,
            IID_IConnectionPointContainer,
            IID_IConnectionPoint,
            IID_IEnumConnectionPoints,
            IID_IEnumConnections,
            IID_ISupportErrorInfo,
            IID_IOPCItemProperties,
            IID_IOPCBrowseServerAddressSpace,
            IID_IEnumString,
            IID_IEnumUnknown,
            IID_IOPCGroupStateMgt,
            IID_IOPCItemMgt,
            IID_IEnumOPCItemAttributes,
            IID_IOPCSyncIO,
            IID_IOPCAsyncIO2,
            IID_IOPCAsyncIO,
            IID_IDataObject};
}

} // namespace

bool KoStartProgram(const TKoOPCProgramIdentity& Identity) {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    return KoStartComServer(Identity);
}

bool KoStartComServer(const TKoOPCProgramIdentity& Identity) {
    Application().Initialize();
    // The DA 1.0 stream formats keep their numbers for the life of the process.
    KoOPCStreamFormats();
    if (!ComServer().Initialize(KoCommandLineArgs(), Identity.SecurityOrder)) return false;
    ServedInterfaces() = std::make_unique<TKoInterfaceAnchor>(KoServedInterfaceIDs());
    return true;
}

void KoDestroyProgramProvider(std::unique_ptr<TKoOPCProvider>& Provider) {
    // No activation may reach the class object once its provider is gone.
    ComServer().RevokeClassObjects();
    Provider.reset();
}

void KoEndProgram(std::unique_ptr<TKoOPCProvider>& Provider) {
    // No activation may reach the class object while the modules and the provider go.
    ComServer().RevokeClassObjects();
    Application().DestroyComponents();
    KoDestroyProgramProvider(Provider);
    ServedInterfaces().reset();
    ComServer().Finalize();
}

int KoRunProgram(void (*CreateProvider)(), bool (*CreateObjects)(), void (*DestroyObjects)()) {
    CreateProvider();
    int ExitCode = 0;
    try {
        if (CreateObjects()) Application().Run();
    } catch (...) {
        Application().HandleException(nullptr);
        ExitCode = 1;
    }
    DestroyObjects();
    return ExitCode;
}
