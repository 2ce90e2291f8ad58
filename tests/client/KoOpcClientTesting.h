#pragma once
// What the cross-process client tests share: the server program COM starts for them, the
// fixture that connects to it and waits for it to end, the registration of the server and its
// proxy/stub DLL in the test's Wine prefix, owners of what the server hands out, and the calls
// the tests repeat.
//
// The test process is an OPC client in the multi-threaded apartment; RunClientTests is its main.

#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCCommon.h"
#include "KoOPCDA.h"
#include "KoWindows.h"

namespace kotest {

inline constexpr wchar_t kProgID[] = L"Korvel.OPC.Simulation";
inline constexpr wchar_t kServerExe[] = L"KoOPCServer.exe";
inline constexpr wchar_t kVendorInfo[] = L"Simulation OPC Server by Korvel OPC Ltd";
// The class of the server's main-thread message windows (the provider's sink among them).
inline constexpr wchar_t kMessageWindowClass[] = L"TKoMessageWindow";

inline constexpr DWORD kProgramBoundMs = 60000;
inline constexpr DWORD kServerEndBoundMs = 15000;
inline constexpr DWORD kShutdownBoundMs = 30000;
inline constexpr DWORD kStressBoundMs = 180000;

std::string Utf8(const std::wstring& Text);
std::string Hex(HRESULT Code);

// ---- owners of what the server hands out ----

struct TaskMemFreer {
    void operator()(void* P) const noexcept { CoTaskMemFree(P); }
};
using TaskString = std::unique_ptr<wchar_t, TaskMemFreer>;

std::wstring Text(const TaskString& S);

struct ServerStatusFreer {
    void operator()(OPCSERVERSTATUS* S) const noexcept {
        CoTaskMemFree(S->szVendorInfo);
        CoTaskMemFree(S);
    }
};
using ServerStatus = std::unique_ptr<OPCSERVERSTATUS, ServerStatusFreer>;

ULONGLONG Ticks(const FILETIME& Time);

// ---- the server process ----

// The KoOPCServer process that COM started for the test.
class ServerProcess {
public:
    // Takes the server process that is running now but was not in Before.
    bool AttachNew(const std::vector<DWORD>& Before);
    bool Attached() const { return static_cast<bool>(FHandle); }
    DWORD Id() const { return FId; }

    // Whether the process ended within BoundMs; its exit code then in ExitCode.
    bool WaitForEnd(DWORD BoundMs, DWORD& ExitCode) const;
    // Tells the program's main thread to quit, as closing the program does; false when no
    // main-thread window of the process can be found.
    bool Quit() const;
    // Ends a server that failed to end by itself, so that the next test starts clean: gracefully
    // when it can, since a killed server's class registration would stay behind with COM.
    void End() const;
    void Terminate() const;

    // The command line COM started the program with, read from the process's own parameters.
    std::wstring CommandLine() const;

    // The process's message-only windows of the main-thread facilities; all belong to its main
    // thread.
    std::vector<HWND> MessageWindows() const;

private:
    TKoHandle FHandle;
    DWORD FId = 0;
};

// ---- calls the tests repeat ----

struct AddedGroup {
    HRESULT Result = E_UNEXPECTED;
    OPCHANDLE ServerHandle = 0;
    DWORD RevisedRate = 0;
    bool UnknownCleared = false; // ppUnk empty after a failed call
    ComPtr<IOPCGroupStateMgt> Group;
};

// AddGroup asking for the group's state interface. An empty name asks for a default one (the
// name is a reference pointer of the interface: a client cannot pass none).
AddedGroup AddGroup(IOPCServer* Server, const wchar_t* Name, DWORD Rate = 1000);

// The group's name and server handle as GetState reports them.
std::pair<std::wstring, OPCHANDLE> StateOf(IOPCGroupStateMgt* Group);

ServerStatus StatusOf(IOPCServer* Server, HRESULT& Result);

// The groups counted by the server process (all its clients), or -1 when GetStatus fails.
long GroupCount(IOPCServer* Server);

// Every string (object) of the enumerator, in order.
std::vector<std::wstring> Drain(IEnumString* Strings);
std::vector<ComPtr<IUnknown>> Drain(IEnumUnknown* Unknowns);

std::vector<std::wstring> EnumeratedNames(IOPCServer* Server, OPCENUMSCOPE Scope, HRESULT& Result);

// ---- the client's shutdown sink ----

// What the sinks of one test were told, in arrival order.
class ShutdownJournal {
public:
    struct Entry {
        int Sink;
        std::wstring Reason;
    };
    ShutdownJournal() : FChanged(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

    void Record(int Sink, std::wstring Reason) {
        {
            std::lock_guard Guard(FLock);
            FEntries.push_back({Sink, std::move(Reason)});
        }
        SetEvent(FChanged.Get());
    }
    // Whether Count requests arrived within BoundMs.
    bool WaitFor(size_t Count, DWORD BoundMs) {
        const ULONGLONG Deadline = GetTickCount64() + BoundMs;
        for (;;) {
            {
                std::lock_guard Guard(FLock);
                if (FEntries.size() >= Count) return true;
            }
            const ULONGLONG Now = GetTickCount64();
            if (Now >= Deadline) return false;
            WaitForSingleObject(FChanged.Get(), static_cast<DWORD>(Deadline - Now));
        }
    }
    std::vector<Entry> Entries() const {
        std::lock_guard Guard(FLock);
        return FEntries;
    }

private:
    mutable std::mutex FLock;
    std::vector<Entry> FEntries;
    TKoHandle FChanged;
};

// Records each request in the journal; WhenTold (when given) runs first, inside the server's
// call, as a client that reacts to the request at once would.
class ShutdownSink final : public TKoComObject<IOPCShutdown> {
public:
    ShutdownSink(std::shared_ptr<ShutdownJournal> Journal, int Id, std::function<void()> WhenTold = {})
        : FJournal(std::move(Journal)), FId(Id), FWhenTold(std::move(WhenTold)) {}
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        if (FWhenTold) FWhenTold();
        FJournal->Record(FId, szReason ? szReason : L"<null>");
        return S_OK;
    }

private:
    std::shared_ptr<ShutdownJournal> FJournal;
    int FId;
    std::function<void()> FWhenTold;
};

// The server object's IOPCShutdown connection point, or none.
ComPtr<IConnectionPoint> ShutdownPoint(IOPCServer* Server);

// ---- the fixture ----

// Every test starts without a server process and ends with none: the server was started by COM,
// so releasing the test's last server object must end it, which the fixture waits for.
class OpcClient : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new server object by ProgID; the first activation of a test starts the server process.
    ComPtr<IOPCServer> Connect(HRESULT* Result = nullptr);

    // Runs Work(0) ... Work(N - 1), each on a thread of its own in the multithreaded apartment.
    // False, with a failure, when they did not all end within BoundMs: the server is then ended
    // so that calls still waiting return and the threads can end.
    bool RunClientThreads(int N, const std::function<void(int)>& Work, DWORD BoundMs);

    // Every connection lists no group any more and the server counts none.
    static void ExpectNoGroupsLeft(std::initializer_list<IOPCServer*> Connections);

    ServerProcess Server;
};

// Registers the proxy/stub DLL and the server program in the test's Wine prefix for the whole
// run, joins the multi-threaded apartment for the run and runs the tests.
int RunClientTests(int argc, char** argv);

} // namespace kotest
