#pragma once
// Pieces the cross-process benchmarks share: failure reporting, the COM apartment, arrays handed
// back by OPC calls, a second instance of the benchmark program that an interface crosses to or
// from, the registration of KoOPCServer in the prefix, its groups, and timing.

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCDA.h"
#include "KoWindows.h"

namespace kobench {

using Microsoft::WRL::ComPtr;

// The first argument of a child instance; the parent's process id follows, then the
// benchmark's own arguments.
constexpr char kChildSwitch[] = "--ko-bench-child";
constexpr DWORD kProgramBoundMs = 60'000;

// A step that failed: the message says which and why.
class EBench : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Hex(HRESULT Code);
void Check(HRESULT Code, const char* What);

class TComApartment {
public:
    TComApartment();
    ~TComApartment();
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;
};

// ---- the arrays an OPC call hands back, freed with what they hold ----

void FreeArray(HRESULT*& P, DWORD Count) noexcept;
void FreeArray(OPCITEMRESULT*& P, DWORD Count) noexcept;
void FreeArray(OPCITEMSTATE*& P, DWORD Count) noexcept;

// Receives one array of Count elements through an out-parameter.
template <class T> class TReceivedArray {
public:
    explicit TReceivedArray(DWORD ACount) noexcept : FCount(ACount) {}
    ~TReceivedArray() { FreeArray(FData, FCount); }
    TReceivedArray(const TReceivedArray&) = delete;
    TReceivedArray& operator=(const TReceivedArray&) = delete;

    T** Receive() noexcept {
        FreeArray(FData, FCount);
        return &FData;
    }
    T* Get() const noexcept { return FData; }
    T& operator[](DWORD Index) const noexcept { return FData[Index]; }

private:
    T* FData = nullptr;
    DWORD FCount;
};

// ---- a second instance of the program ----

// The names parent and child agree on, made of the benchmark's name and the parent's process
// id: a file that carries one marshalled interface, and the events Ready (the child is set up)
// and Done (the parent has finished with the child).
struct TRendezvous {
    TRendezvous(const wchar_t* Bench, DWORD ParentPid);

    std::wstring File;
    std::wstring ReadyEvent;
    std::wstring DoneEvent;
};

// Marshals Object (as Iid) into File for another process; UnmarshalFromFile takes it out there.
void MarshalToFile(const std::wstring& File, REFIID Iid, IUnknown* Object);
void UnmarshalFromFile(const std::wstring& File, REFIID Iid, void** Object);

// The parent's end: starts this program again with "--ko-bench-child <pid> Args". Ending it
// signals Done, waits for the child (bounded, then ends it) and deletes the file.
class TChildProcess {
public:
    TChildProcess(const wchar_t* Bench, const std::wstring& Args);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    const TRendezvous& Names() const noexcept { return FNames; }
    // Waits (bounded) until the child signals Ready; raises when it ended or timed out instead.
    void WaitReady() const;

private:
    TRendezvous FNames;
    TKoHandle FReady, FDone, FChild;
};

// The child's end: the parent's events and process.
class TParentProcess {
public:
    TParentProcess(const wchar_t* Bench, DWORD ParentPid);
    TParentProcess(const TParentProcess&) = delete;
    TParentProcess& operator=(const TParentProcess&) = delete;

    const TRendezvous& Names() const noexcept { return FNames; }
    void SignalReady() const;
    // Whether the parent said Done or has gone, after waiting at most TimeoutMs.
    bool Finished(DWORD TimeoutMs) const;

private:
    TRendezvous FNames;
    TKoHandle FReady, FDone, FParent;
};

// The whole part of a child that hosts a bare object: marshals Object (as Iid) to the parent,
// signals that it is there and serves calls in its multi-threaded apartment until the parent is
// done (or has gone); then drops the stubs (and a reference the parent never unmarshalled).
// Returns the child's exit code.
int HostForParent(const wchar_t* Bench, DWORD ParentPid, REFIID Iid, IUnknown* Object);

// The parent's end of a child that hosts a bare object: the child process and a proxy of the
// object (as Iid). Ending it releases the proxy, lets the child go and waits for it.
class TBareHost {
public:
    TBareHost(const wchar_t* Bench, REFIID Iid);
    TBareHost(const TBareHost&) = delete;
    TBareHost& operator=(const TBareHost&) = delete;

    template <class T> T* As() const noexcept { return static_cast<T*>(FObject.Get()); }

private:
    TChildProcess FChild;
    ComPtr<IUnknown> FObject; // released before the child is let go
};

// ---- a client's sink ----

// A data callback that takes data changes (OnDataChange is the benchmark's) and answers the
// completions of read, write and cancel without looking at them.
class TDataChangeSink : public TKoComObject<IOPCDataCallback> {
public:
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                FILETIME*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

// ---- the server ----

constexpr wchar_t kProgID[] = L"Korvel.OPC.Simulation";

// Registers the proxy/stub DLL and the server in the prefix, and unregisters the server again
// once it has ended by itself.
class TServerRegistration {
public:
    TServerRegistration();
    ~TServerRegistration();
    TServerRegistration(const TServerRegistration&) = delete;
    TServerRegistration& operator=(const TServerRegistration&) = delete;
};

// The server's executable, beside the benchmark programs.
inline constexpr wchar_t kServerExe[] = L"KoOPCServer.exe";

// Waits (bounded) until no KoOPCServer process runs any more: the server ends by itself once
// COM's last reference is gone. False when one still runs.
bool WaitForServerToEnd();

// The one running KoOPCServer process as the kernel sees it. Wine answers GetProcessTimes and
// GetProcessMemoryInfo for another process with figures of the calling process (measured: the
// server's CPU time read so equalled the benchmark's own), so they are read from /proc of the
// server's Unix process, the one whose command line names KoOPCServer.exe.
class TUnixServerProcess {
public:
    TUnixServerProcess();
    // The resident set (the working set), in bytes.
    double WorkingSet() const;
    // User and system time, in seconds: of the whole process, and of its first (main) thread.
    double CpuSeconds() const;
    double MainThreadCpuSeconds() const;

private:
    std::wstring FFolder; // Z:\proc\<pid>\, with the trailing separator
    std::wstring FMainThread;
};

// A server object, started by COM through the ProgID.
ComPtr<IOPCServer> CreateServer();

// One active group of the server with its items added (none when ItemIDs is empty) (active, client handles 1,
// 2, ...); Handles are their server handles.
struct TServerGroup {
    OPCHANDLE ServerHandle = 0;
    ComPtr<IUnknown> Unknown;
    ComPtr<IOPCItemMgt> ItemMgt;
    ComPtr<IOPCSyncIO> SyncIO;
    std::vector<OPCHANDLE> Handles;
    DWORD RevisedUpdateRate = 0;
};

TServerGroup AddGroup(IOPCServer& Server, const wchar_t* Name, OPCHANDLE ClientHandle, DWORD UpdateRate,
                      const std::vector<const wchar_t*>& ItemIDs);

// ---- timing ----

double SecondsBetween(const LARGE_INTEGER& From, const LARGE_INTEGER& To);
double MedianOf(std::vector<double> Values);

// One measured case: Call makes one call and raises EBench when it is not answered as expected.
// A case without Call, or one that failed, has no figures.
struct TTimedCase {
    TTimedCase(const char* AName, int ACalls, int AWarmUp) : Name(AName), Calls(ACalls), WarmUp(AWarmUp) {}

    const char* Name;
    int Calls;
    int WarmUp;
    std::function<void()> Call;
    std::vector<double> MsPerCall; // one per round
    std::string Failure;           // why the case has no figures

    bool Runs() const { return Call && Failure.empty(); }
    double Best() const { return *std::min_element(MsPerCall.begin(), MsPerCall.end()); }
    double Median() const { return MedianOf(MsPerCall); }
};

// Runs the case's warm-up calls (a failure is recorded in the case).
void WarmUp(TTimedCase& Case);
// One round of a bare case and its server case, their calls alternating one by one (Bare.Calls
// of each), so that a change in the machine's load (two cores shared with builds) meets both
// alike. Each call is timed on its own.
void Round(TTimedCase& Bare, TTimedCase& Server);
// The table of the cases' best and median milliseconds per call; false when one has no figures.
bool PrintCases(const std::vector<const TTimedCase*>& Cases);
// The server's case over the bare one: the ratio of the medians and of the best rounds, and the
// median of the ratios of the rounds taken side by side (neighbouring rounds see nearly the same
// load on the machine, so this one varies least from run to run).
void PrintRatio(const char* Name, const TTimedCase& Server, const TTimedCase& Bare, double Aim);

// ---- published figures ----

// Prints one figure as a line "figure,Id,Measure,Value,Unit,Baseline,BaselineValue,Ratio,Aim",
// which scripts/run-benchmarks.sh collects into its table and CSV file. Baseline is empty for a
// figure that has none (Ratio is then empty too); the texts must not contain commas.
void PublishFigure(const char* Id, const std::string& Measure, double Value, const char* Unit,
                   const std::string& Baseline, double BaselineValue, const std::string& Aim);

} // namespace kobench
