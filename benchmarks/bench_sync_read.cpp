// Cost of IOPCSyncIO::Read on the server against the floor that cross-process COM sets on the
// same machine, measured in one run:
//   (a) a bare call: Read of 1 item on an object that only fills one fixed OPCITEMSTATE (VT_R8),
//       hosted by a second instance of this program;
//   (b) the same bare object returning 10,000 fixed OPCITEMSTATEs;
//   (c) KoOPCServer, started by COM: Read(OPC_DS_CACHE) of 1 item of an active group;
//   (d) KoOPCServer: Read(OPC_DS_CACHE) of the 10,000 items of another active group.
// (c)/(a) and (d)/(b) show what the server adds to the marshalling that every call pays anyway.
// A bare case and its server case run in the same rounds with their calls alternating, so that
// a change in the machine's load (two cores shared with builds) falls on both alike.
//
// Usage: KoBenchSyncRead.exe (the child instance is started by the program itself).

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "KoBenchSupport.h"
#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoOPCDA.h"

using namespace kobench;

namespace {

constexpr wchar_t kBenchName[] = L"KoBenchSyncRead";
constexpr DWORD kManyItems = 10'000;
constexpr int kRounds = 7;
constexpr int kCallsOneItem = 300;
constexpr int kCallsManyItems = 20;
constexpr int kWarmUpOneItem = 30;
constexpr int kWarmUpManyItems = 3;

// Items of the large group: the float of every module, cycled (the server accepts an item ID
// more than once in a group).
constexpr const wchar_t* kFloatItems[] = {L"Static.KoFloat1",   L"Random.KoFloat1",   L"SawTooth.KoFloat1",
                                          L"Sinusoid.KoFloat1", L"Triangle.KoFloat1", L"ReadOnly.KoFloat1"};

// ---- the bare object of cases (a) and (b), in the child process ----

// Answers Read with fixed states and does nothing else: the cost of a call on it is what the
// proxies, the channel and the allocation of the result arrays cost.
class TBareSyncIO final : public TKoComObject<IOPCSyncIO> {
public:
    STDMETHODIMP Read(OPCDATASOURCE, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override {
        return KoComCall(
            [&]() -> HRESULT {
                if (!ppItemValues || !ppErrors) return E_INVALIDARG;
                *ppItemValues = nullptr;
                *ppErrors = nullptr;
                if (dwCount == 0 || !phServer) return E_INVALIDARG;
                TKoTaskMem<OPCITEMSTATE> States(dwCount);
                TKoTaskMem<HRESULT> Errors(dwCount); // zero-filled: S_OK
                for (DWORD I = 0; I < dwCount; ++I) {
                    States[I].hClient = phServer[I];
                    States[I].ftTimeStamp = kStamp;
                    States[I].wQuality = OPC_QUALITY_GOOD;
                    States[I].vDataValue.vt = VT_R8;
                    States[I].vDataValue.dblVal = 21.5;
                }
                *ppItemValues = States.Release();
                *ppErrors = Errors.Release();
                return S_OK;
            },
            ppItemValues, ppErrors);
    }
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT** ppErrors) override {
        if (ppErrors) *ppErrors = nullptr;
        return E_NOTIMPL;
    }

private:
    static constexpr FILETIME kStamp{0xD53E8000u, 0x01D9B3A0u};
};

int RunChild(DWORD ParentPid) {
    TComApartment Apartment;
    // The process security the server asks for, so that the calls take its path on the wire.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_INTEGRITY,
                         RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    ComPtr<IOPCSyncIO> Object = KoAdopt<IOPCSyncIO>(new TBareSyncIO);
    return HostForParent(kBenchName, ParentPid, IID_IOPCSyncIO, Object.Get());
}

// ---- measurement ----

// One Read of every handle; anything but S_OK ends the run.
void ReadOnce(IOPCSyncIO& Io, std::vector<OPCHANDLE>& Handles) {
    const DWORD Count = static_cast<DWORD>(Handles.size());
    TReceivedArray<OPCITEMSTATE> States(Count);
    TReceivedArray<HRESULT> Errors(Count);
    const HRESULT Result = Io.Read(OPC_DS_CACHE, Count, Handles.data(), States.Receive(), Errors.Receive());
    if (Result != S_OK) throw EBench("IOPCSyncIO::Read returned " + Hex(Result));
}

// Makes sure a case reads what it claims to: every item S_OK, good quality, a VT_R8 value.
void CheckStates(const char* Name, IOPCSyncIO& Io, std::vector<OPCHANDLE>& Handles) {
    const DWORD Count = static_cast<DWORD>(Handles.size());
    TReceivedArray<OPCITEMSTATE> States(Count);
    TReceivedArray<HRESULT> Errors(Count);
    Check(Io.Read(OPC_DS_CACHE, Count, Handles.data(), States.Receive(), Errors.Receive()), Name);
    DWORD Odd = 0;
    for (DWORD I = 0; I < Count; ++I)
        if (Errors[I] != S_OK || States[I].wQuality != OPC_QUALITY_GOOD || States[I].vDataValue.vt != VT_R8) {
            if (Odd++ == 0)
                std::printf("note: %s: item %lu has error %s, quality 0x%02X, type %u\n", Name,
                            static_cast<unsigned long>(I), Hex(Errors[I]).c_str(), States[I].wQuality,
                            States[I].vDataValue.vt);
        }
    if (Odd)
        std::printf("note: %s: %lu of %lu states are not good VT_R8 values\n", Name,
                    static_cast<unsigned long>(Odd), static_cast<unsigned long>(Count));
}

// Checks what the case reads, then warms it up.
void Prepare(TTimedCase& Case, IOPCSyncIO* Io, std::vector<OPCHANDLE>& Handles) {
    if (!Case.Runs()) return;
    try {
        CheckStates(Case.Name, *Io, Handles);
    } catch (const EBench& Error) {
        Case.Failure = Error.what();
    }
    WarmUp(Case);
}

int RunParent() {
    TComApartment Apartment;
    std::vector<OPCHANDLE> OneHandle = {1};
    std::vector<OPCHANDLE> ManyHandles(kManyItems);
    for (DWORD I = 0; I < kManyItems; ++I) ManyHandles[I] = I + 1;

    TTimedCase BareOne("(a) bare Read, 1 state", kCallsOneItem, kWarmUpOneItem);
    TTimedCase BareMany("(b) bare Read, 10000 states", kCallsManyItems, kWarmUpManyItems);
    TTimedCase ServerOne("(c) server Read(OPC_DS_CACHE), 1 item", kCallsOneItem, kWarmUpOneItem);
    TTimedCase ServerMany("(d) server Read(OPC_DS_CACHE), 10000 items", kCallsManyItems, kWarmUpManyItems);

    // The proxy DLL must be registered before the bare object's interface can cross.
    TServerRegistration Registration;
    TBareHost Bare(kBenchName, IID_IOPCSyncIO);
    IOPCSyncIO* BareIo = Bare.As<IOPCSyncIO>();
    BareOne.Call = [&] { ReadOnce(*BareIo, OneHandle); };
    BareMany.Call = [&] { ReadOnce(*BareIo, ManyHandles); };

    ComPtr<IOPCServer> Server;
    TServerGroup OneItem, ManyItems;
    try {
        Server = CreateServer();
        OneItem = AddGroup(*Server.Get(), L"Bench 1 item", 1, 1000, {L"Random.KoFloat1"});
        std::vector<const wchar_t*> IDs(kManyItems);
        for (DWORD I = 0; I < kManyItems; ++I) IDs[I] = kFloatItems[I % std::size(kFloatItems)];
        ManyItems = AddGroup(*Server.Get(), L"Bench 10000 items", 2, 1000, IDs);
        ServerOne.Call = [&] { ReadOnce(*OneItem.SyncIO.Get(), OneItem.Handles); };
        ServerMany.Call = [&] { ReadOnce(*ManyItems.SyncIO.Get(), ManyItems.Handles); };
    } catch (const EBench& Error) {
        ServerOne.Failure = ServerMany.Failure = Error.what();
    }

    Prepare(BareOne, BareIo, OneHandle);
    Prepare(ServerOne, OneItem.SyncIO.Get(), OneItem.Handles);
    Prepare(BareMany, BareIo, ManyHandles);
    Prepare(ServerMany, ManyItems.SyncIO.Get(), ManyItems.Handles);
    for (int R = 0; R < kRounds; ++R) {
        Round(BareOne, ServerOne);
        Round(BareMany, ServerMany);
    }

    std::printf("IOPCSyncIO::Read across processes, %d rounds each (ms per call)\n", kRounds);
    const bool AllRan = PrintCases({&BareOne, &BareMany, &ServerOne, &ServerMany});
    PrintRatio("c/a", ServerOne, BareOne, 1.10);
    PrintRatio("d/b", ServerMany, BareMany, 1.20);
    if (AllRan) {
        PublishFigure("P1", "sync Read(OPC_DS_CACHE) of 1 item (median)", ServerOne.Median(), "ms/call",
                      "bare Read of 1 item", BareOne.Median(), "<= 1.10 x bare");
        PublishFigure("P2", "sync Read(OPC_DS_CACHE) of 10000 items (median)", ServerMany.Median(), "ms/call",
                      "bare Read of 10000 items", BareMany.Median(), "<= 1.20 x bare");
    }

    // Everything the server handed out goes before the registration ends.
    ServerOne.Call = ServerMany.Call = nullptr;
    OneItem = {};
    ManyItems = {};
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
        std::fprintf(stderr, "KoBenchSyncRead: %s\n", Error.what());
        return 2;
    }
}
