// Cost of what an explorer asks before it reads, on the server against the floor that
// cross-process COM sets on the same machine, measured in one run:
//   (a) a bare IOPCItemProperties::GetItemProperties of IDs 1 to 6, answered with six fixed
//       VARIANTs of the types the server gives them (VT_I2, VT_R8, VT_I2, VT_DATE, VT_I4, VT_R4),
//       by an object hosted in a second instance of this program;
//   (b) KoOPCServer, started by COM: GetItemProperties of IDs 1 to 6 on Random.KoFloat1;
//   (c) a bare IOPCBrowseServerAddressSpace::BrowseOPCItemIDs(OPC_FLAT) of the bare object,
//       whose string enumerator (the server's own kind) holds the strings of the server's flat
//       list, read out with one Next(1000) and released;
//   (d) KoOPCServer: BrowseOPCItemIDs(OPC_FLAT) at the root, read out and released the same way.
// (b)/(a) and (d)/(c) show what the server adds to the calls that cross the process boundary
// anyway: the same calls, payloads, apartments (multi-threaded on both sides), process security
// and proxies.
//
// Usage: KoBenchBrowse.exe (the child instance is started by the program itself).

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "KoBenchSupport.h"
#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoOPCDA.h"

using namespace kobench;

namespace {

constexpr wchar_t kBenchName[] = L"KoBenchBrowse";
constexpr wchar_t kItemID[] = L"Random.KoFloat1";
constexpr int kRounds = 7;
constexpr int kCalls = 200;
constexpr int kWarmUp = 20;
constexpr ULONG kBatch = 1000;
DWORD kStandardIDs[] = {1, 2, 3, 4, 5, 6};

// ---- the bare object of cases (a) and (c), in the child process ----

// Answers with fixed values and a copy of the strings it was given, and does nothing else.
class TBareExplorerTarget final : public TKoComObject<IOPCItemProperties, IOPCBrowseServerAddressSpace> {
public:
    STDMETHODIMP GetItemProperties(LPWSTR, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) override {
        if (ppvData) *ppvData = nullptr;
        if (ppErrors) *ppErrors = nullptr;
        if (!ppvData || !ppErrors || dwCount == 0 || !pdwPropertyIDs) return E_INVALIDARG;
        return KoComCall(
            [&] {
                TKoTaskArray<VARIANT> Values = TKoTaskMem<VARIANT>(dwCount);
                TKoTaskMem<HRESULT> Errors(dwCount); // zero-filled: S_OK
                for (DWORD I = 0; I < dwCount; ++I) Fixed(pdwPropertyIDs[I], Values[I]);
                *ppvData = Values.Release();
                *ppErrors = Errors.Release();
            },
            ppvData, ppErrors);
    }
    STDMETHODIMP QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**, VARTYPE**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP LookupItemIDs(LPWSTR, DWORD, DWORD*, LPWSTR**, HRESULT**) override { return E_NOTIMPL; }

    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE*) override { return E_NOTIMPL; }
    // The set-up call: the strings the flat list will hold, one per line.
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR szString) override {
        std::vector<std::wstring> Entries;
        for (const wchar_t* P = szString ? szString : L""; *P;) {
            const wchar_t* End = std::wcschr(P, L'\n');
            Entries.emplace_back(P, End ? End : P + std::wcslen(P));
            P = End ? End + 1 : P + std::wcslen(P);
        }
        std::lock_guard Guard(FLock);
        FEntries = std::move(Entries);
        return S_OK;
    }
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD,
                                  LPENUMSTRING* ppIEnumString) override {
        if (ppIEnumString) *ppIEnumString = nullptr;
        return KoComCall(
            [&]() -> HRESULT {
                if (!ppIEnumString) return E_INVALIDARG;
                std::vector<std::wstring> Entries;
                {
                    std::lock_guard Guard(FLock);
                    Entries = FEntries;
                }
                const HRESULT Result = Entries.empty() ? S_FALSE : S_OK;
                *ppIEnumString = KoNewEnumString(std::move(Entries));
                return Result;
            },
            ppIEnumString);
    }
    STDMETHODIMP GetItemID(LPWSTR, LPWSTR* szItemID) override {
        if (szItemID) *szItemID = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING* ppIEnumString) override {
        if (ppIEnumString) *ppIEnumString = nullptr;
        return E_NOTIMPL;
    }

private:
    static void Fixed(DWORD ID, VARIANT& Value) {
        switch (ID) {
        case 1:
            Value.vt = VT_I2;
            Value.iVal = VT_R8;
            break;
        case 2:
            Value.vt = VT_R8;
            Value.dblVal = 21.5;
            break;
        case 3:
            Value.vt = VT_I2;
            Value.iVal = 0xC0;
            break;
        case 4:
            Value.vt = VT_DATE;
            Value.date = 46000.5;
            break;
        case 5:
            Value.vt = VT_I4;
            Value.lVal = 3;
            break;
        default:
            Value.vt = VT_R4;
            Value.fltVal = 0;
            break;
        }
    }

    std::mutex FLock;
    std::vector<std::wstring> FEntries;
};

int RunChild(DWORD ParentPid) {
    TComApartment Apartment;
    // The process security the server asks for, so that the calls take the same path on the
    // wire as the server's (measured: without it the bare calls were about 0.1 ms cheaper).
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_INTEGRITY,
                         RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    // As the server holds its interfaces registered, so does the bare host: an enumerator is
    // released right after each call.
    TKoInterfaceAnchor Anchor(
        {IID_IUnknown, IID_IOPCItemProperties, IID_IOPCBrowseServerAddressSpace, IID_IEnumString});
    ComPtr<IOPCItemProperties> Object = KoAdopt<IOPCItemProperties>(new TBareExplorerTarget);
    return HostForParent(kBenchName, ParentPid, IID_IOPCItemProperties, Object.Get());
}

// ---- the calls ----

// GetItemProperties of IDs 1 to 6; anything but six good values ends the run.
void PropertiesOnce(IOPCItemProperties& Props) {
    VARIANT* Values = nullptr;
    HRESULT* Errors = nullptr;
    const HRESULT Result =
        Props.GetItemProperties(const_cast<LPWSTR>(kItemID), 6, kStandardIDs, &Values, &Errors);
    bool Good = Result == S_OK && Values && Errors;
    for (DWORD I = 0; Values && I < 6; ++I) {
        Good = Good && Errors[I] == S_OK && Values[I].vt != VT_EMPTY;
        VariantClear(&Values[I]);
    }
    CoTaskMemFree(Values);
    CoTaskMemFree(Errors);
    if (!Good) throw EBench("GetItemProperties returned " + Hex(Result) + " or an empty value");
}

// The flat list at the position, read out with Next(1000); the number of strings.
ULONG FlatListOnce(IOPCBrowseServerAddressSpace& Space, std::vector<std::wstring>* Strings = nullptr) {
    IEnumString* Raw = nullptr;
    const HRESULT Result = Space.BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &Raw);
    ComPtr<IEnumString> Enumerator = KoAdopt(Raw);
    if (Result != S_OK || !Enumerator) throw EBench("BrowseOPCItemIDs returned " + Hex(Result));
    LPOLESTR Batch[kBatch];
    ULONG Fetched = 0;
    Enumerator->Next(kBatch, Batch, &Fetched);
    for (ULONG I = 0; I < Fetched; ++I) {
        if (Strings) Strings->push_back(Batch[I]);
        CoTaskMemFree(Batch[I]);
    }
    if (Fetched == 0) throw EBench("the flat list was empty");
    return Fetched;
}

int RunParent() {
    TComApartment Apartment;
    TTimedCase BareProps("(a) bare GetItemProperties, IDs 1-6", kCalls, kWarmUp);
    TTimedCase ServerProps("(b) server GetItemProperties, IDs 1-6", kCalls, kWarmUp);
    TTimedCase BareList("(c) bare flat browse, Next(1000)", kCalls, kWarmUp);
    TTimedCase ServerBrowse("(d) server flat browse at the root, Next(1000)", kCalls, kWarmUp);

    TServerRegistration Registration;
    TBareHost Bare(kBenchName, IID_IOPCItemProperties);
    IOPCItemProperties* BareObject = Bare.As<IOPCItemProperties>();
    ComPtr<IOPCBrowseServerAddressSpace> BareBrowse;
    Check(BareObject->QueryInterface(IID_PPV_ARGS(&BareBrowse)),
          "QueryInterface(IOPCBrowseServerAddressSpace)");
    ComPtr<IOPCServer> Server;
    ComPtr<IOPCItemProperties> Props;
    ComPtr<IOPCBrowseServerAddressSpace> Space;
    ULONG Strings = 0;
    try {
        Server = CreateServer();
        Check(Server.As(&Props), "QueryInterface(IOPCItemProperties)");
        Check(Server.As(&Space), "QueryInterface(IOPCBrowseServerAddressSpace)");
        // The bare list holds exactly the server's strings.
        std::vector<std::wstring> Flat;
        Strings = FlatListOnce(*Space.Get(), &Flat);
        std::wstring Lines;
        for (const std::wstring& Entry : Flat) Lines += Entry + L"\n";
        Check(BareBrowse->ChangeBrowsePosition(OPC_BROWSE_TO, Lines.c_str()), "handing the list over");
        ServerProps.Call = [&] { PropertiesOnce(*Props.Get()); };
        ServerBrowse.Call = [&] { FlatListOnce(*Space.Get()); };
    } catch (const EBench& Error) {
        ServerProps.Failure = ServerBrowse.Failure = Error.what();
    }
    BareProps.Call = [&] { PropertiesOnce(*BareObject); };
    BareList.Call = [&] {
        if (FlatListOnce(*BareBrowse.Get()) != Strings)
            throw EBench("the bare list differs from the server's");
    };

    for (TTimedCase* Case : {&BareProps, &ServerProps, &BareList, &ServerBrowse}) WarmUp(*Case);
    for (int R = 0; R < kRounds; ++R) {
        Round(BareProps, ServerProps);
        Round(BareList, ServerBrowse);
    }

    std::printf("Item properties and browsing across processes, %d rounds each (ms per call), flat list of "
                "%lu strings\n",
                kRounds, Strings);
    const bool AllRan = PrintCases({&BareProps, &ServerProps, &BareList, &ServerBrowse});
    PrintRatio("b/a", ServerProps, BareProps, 1.15);
    PrintRatio("d/c", ServerBrowse, BareList, 1.20);

    ServerProps.Call = ServerBrowse.Call = nullptr;
    Space.Reset();
    Props.Reset();
    Server.Reset();
    return AllRan ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], kChildSwitch) == 0)
            return RunChild(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        return RunParent();
    } catch (const EBench& Error) {
        std::fprintf(stderr, "KoBenchBrowse: %s\n", Error.what());
        return 2;
    }
}
