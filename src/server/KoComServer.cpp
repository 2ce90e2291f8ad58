#include "KoComServer.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <utility>

#include "KoClasses.h"
#include "KoExceptions.h"
#include "KoOle.h"
#include "KoUtils.h"

namespace {

struct TLocalFree {
    void operator()(void* Memory) const noexcept { LocalFree(Memory); }
};

// Whether Arg is the switch Name: "/" or "-" and the name, letter case aside.
bool IsSwitch(const std::wstring& Arg, const wchar_t* Name) {
    if (Arg.size() < 2 || (Arg[0] != L'/' && Arg[0] != L'-')) return false;
    return KoSameText(Arg.substr(1), Name);
}

bool HasSwitch(const std::vector<std::wstring>& Args, const wchar_t* Name) {
    for (const std::wstring& Arg : Args)
        if (IsSwitch(Arg, Name)) return true;
    return false;
}

[[noreturn]] void RegistryAccessError(const std::wstring& Path) {
    throw EKoOleError(TYPE_E_REGISTRYACCESS, L"Error accessing the OLE registry: " + Path);
}

// FILETIME units (100 ns) per millisecond.
constexpr LONG64 kFileTimeMs = 10000;
// A process started by COM for a client stays at least this long after its start, so that the
// client (which watches that process for its first second and fails its activation when the
// process ends within it) has moved on to looking the class object up again.
constexpr LONG64 kStartWatchMs = 2000;
// A client gives its activation up after about 30 s: a later process waits no longer for the
// first to register.
constexpr DWORD kClientPatienceMs = 35000;
// An owner that registered no earlier than this before this process started was there for the
// client that started this process.
constexpr LONG64 kSameActivationMs = 1000;

constexpr UINT kStartEndTimerMessage = WM_APP + 1;
constexpr UINT_PTR kEndTimerId = 1;

LONG64 FileTimeValue(const FILETIME& Time) {
    return static_cast<LONG64>((static_cast<ULONGLONG>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime);
}

LONG64 FileTimeNow() {
    FILETIME Now{};
    GetSystemTimeAsFileTime(&Now);
    return FileTimeValue(Now);
}

LONG64 ProcessStartTime() {
    FILETIME Creation{}, Exit{}, Kernel{}, User{};
    if (!GetProcessTimes(GetCurrentProcess(), &Creation, &Exit, &Kernel, &User)) return FileTimeNow();
    return FileTimeValue(Creation);
}

// Stays until the client that started this process no longer watches it.
void HoldForStartWatch(LONG64 Started) {
    const LONG64 Left = (Started + kStartWatchMs * kFileTimeMs - FileTimeNow()) / kFileTimeMs;
    if (Left > 0) Sleep(static_cast<DWORD>(std::min<LONG64>(Left, kStartWatchMs)));
}

std::wstring GuardObjectName(const GUID& ClassID, const wchar_t* Part) {
    return L"Local\\KoComServer-" + KoGuidText(ClassID) + L"-" + Part;
}

} // namespace

DWORD KoComServerIdleBoundMs() {
    wchar_t Text[16] = {};
    const DWORD Length =
        GetEnvironmentVariableW(L"KO_COM_IDLE_BOUND_MS", Text, static_cast<DWORD>(std::size(Text)));
    if (Length == 0 || Length >= std::size(Text)) return KoComServerDefaultIdleBoundMs;
    wchar_t* End = nullptr;
    const unsigned long Value = std::wcstoul(Text, &End, 10);
    return End && *End == L'\0' && Value > 0 && Value <= 24UL * 3600 * 1000 ? static_cast<DWORD>(Value)
                                                                            : KoComServerDefaultIdleBoundMs;
}

// ---- the one process of a class started by COM ----

void TKoServerInstanceGuard::TViewUnmapper::operator()(void* View) const noexcept {
    UnmapViewOfFile(View);
}

TKoServerInstanceGuard::~TKoServerInstanceGuard() {
    Release();
}

bool TKoServerInstanceGuard::Acquire(const GUID& ClassID) {
    FMutex.Reset(CreateMutexW(nullptr, FALSE, GuardObjectName(ClassID, L"Serving").c_str()));
    FRegistered.Reset(CreateEventW(nullptr, TRUE, FALSE, GuardObjectName(ClassID, L"Registered").c_str()));
    FRecord.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64),
                                     GuardObjectName(ClassID, L"Record").c_str()));
    if (FRecord) FRecordView.reset(MapViewOfFile(FRecord.Get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG64)));
    if (!FMutex || !FRegistered || !FRecordView) {
        // Nothing can be agreed with other processes: this one serves, as any process did before.
        FRecordView.reset();
        FRecord.Reset();
        FRegistered.Reset();
        FMutex.Reset();
        return true;
    }
    const LONG64 Started = ProcessStartTime();
    const ULONGLONG Begun = GetTickCount64();
    for (;;) {
        const ULONGLONG Waited = GetTickCount64() - Begun;
        if (Waited >= kClientPatienceMs) return false;
        // The mutex first: when it is free (or its owner died) it wins over a registration event
        // that a dead owner left set.
        HANDLE Waits[2] = {FMutex.Get(), FRegistered.Get()};
        const DWORD Result =
            WaitForMultipleObjects(2, Waits, FALSE, static_cast<DWORD>(kClientPatienceMs - Waited));
        if (Result == WAIT_OBJECT_0 || Result == WAIT_ABANDONED_0) {
            FOwned = true;
            // An owner registered after this process was started and has ended since: it served
            // the client that started this process (it stays KoComServerEndDelayMs after its
            // last object, and waiting clients look again once a second), so this process came
            // too late to be needed.
            if (InterlockedCompareExchange64(Record(), 0, 0) >= Started - kSameActivationMs * kFileTimeMs) {
                Release();
                HoldForStartWatch(Started);
                return false;
            }
            ResetEvent(FRegistered.Get());
            return true;
        }
        if (Result == WAIT_OBJECT_0 + 1) {
            // A live owner's class objects are registered: the client finds them on its next look.
            HoldForStartWatch(Started);
            return false;
        }
        if (Result != WAIT_TIMEOUT) {
            // The wait itself failed: serve, as any process did before.
            return true;
        }
    }
}

void TKoServerInstanceGuard::Registered() {
    if (!FOwned) return;
    InterlockedExchange64(Record(), FileTimeNow());
    SetEvent(FRegistered.Get());
}

void TKoServerInstanceGuard::Unregistering() {
    if (FOwned) ResetEvent(FRegistered.Get());
}

void TKoServerInstanceGuard::Release() {
    if (!FOwned) return;
    FOwned = false;
    ResetEvent(FRegistered.Get());
    ReleaseMutex(FMutex.Get());
}

// ---- start-up switches ----

TKoStartSwitches KoParseStartSwitches(const std::vector<std::wstring>& Args) {
    struct TRow {
        const wchar_t* Names[2];
        TKoStartSwitches Switches;
    };
    static const TRow Table[] = {
        {{L"AUTOMATION", L"EMBEDDING"}, {smAutomation, false}},
        {{L"REGSERVER", nullptr}, {smRegServer, false}},
        {{L"UNREGSERVER", nullptr}, {smUnregServer, false}},
        {{L"REGSERVERPERUSER", nullptr}, {smRegServer, true}},
        {{L"UNREGSERVERPERUSER", nullptr}, {smUnregServer, true}},
    };
    for (const TRow& Row : Table)
        for (const wchar_t* Name : Row.Names)
            if (Name && HasSwitch(Args, Name)) return Row.Switches;
    return {};
}

std::vector<std::wstring> KoCommandLineArgs() {
    int Count = 0;
    std::unique_ptr<LPWSTR, TLocalFree> Argv(CommandLineToArgvW(GetCommandLineW(), &Count));
    std::vector<std::wstring> Result;
    if (!Argv) return Result;
    for (int I = 1; I < Count; ++I) Result.emplace_back(Argv.get()[I]);
    return Result;
}

std::wstring KoProgramFileName() {
    std::wstring Buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD Length = GetModuleFileNameW(nullptr, Buffer.data(), static_cast<DWORD>(Buffer.size()));
        if (Length == 0) throw EKoOleError(HRESULT_FROM_WIN32(GetLastError()));
        if (Length < Buffer.size()) {
            Buffer.resize(Length);
            return Buffer;
        }
        Buffer.resize(Buffer.size() * 2);
    }
}

std::wstring KoGuidText(const GUID& Value) {
    wchar_t Text[40];
    if (!StringFromGUID2(Value, Text, static_cast<int>(std::size(Text)))) return {};
    return Text;
}

// ---- registry ----

TKoRegKey::TKoRegKey(TKoRegKey&& Other) noexcept : FKey(std::exchange(Other.FKey, nullptr)) {}

TKoRegKey& TKoRegKey::operator=(TKoRegKey&& Other) noexcept {
    if (this != &Other) {
        Reset();
        FKey = std::exchange(Other.FKey, nullptr);
    }
    return *this;
}

void TKoRegKey::Reset() noexcept {
    if (FKey) RegCloseKey(std::exchange(FKey, nullptr));
}

bool TKoRegKey::Create(HKEY Root, const std::wstring& Path) {
    Reset();
    return RegCreateKeyExW(Root, Path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                           nullptr, &FKey, nullptr) == ERROR_SUCCESS;
}

bool TKoRegKey::Open(HKEY Root, const std::wstring& Path, REGSAM Access) {
    Reset();
    return RegOpenKeyExW(Root, Path.c_str(), 0, Access, &FKey) == ERROR_SUCCESS;
}

bool TKoRegKey::WriteString(const std::wstring& Name, const std::wstring& Value) const {
    return RegSetValueExW(FKey, Name.empty() ? nullptr : Name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(Value.c_str()),
                          static_cast<DWORD>((Value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool TKoRegKey::ReadString(const std::wstring& Name, std::wstring& Value) const {
    const wchar_t* ValueName = Name.empty() ? nullptr : Name.c_str();
    DWORD Type = 0;
    DWORD Size = 0;
    if (RegQueryValueExW(FKey, ValueName, nullptr, &Type, nullptr, &Size) != ERROR_SUCCESS || Type != REG_SZ)
        return false;
    std::wstring Buffer(Size / sizeof(wchar_t) + 1, L'\0');
    Size = static_cast<DWORD>(Buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(FKey, ValueName, nullptr, &Type, reinterpret_cast<BYTE*>(Buffer.data()), &Size) !=
        ERROR_SUCCESS)
        return false;
    Buffer.resize(Size / sizeof(wchar_t));
    while (!Buffer.empty() && Buffer.back() == L'\0') Buffer.pop_back();
    Value = std::move(Buffer);
    return true;
}

TKoClassesRoot KoClassesRoot(bool PerUser) {
    if (PerUser) return {HKEY_CURRENT_USER, L"Software\\Classes\\"};
    return {HKEY_CLASSES_ROOT, L""};
}

void KoRegWriteIfOpened(const TKoClassesRoot& Root, const std::wstring& Path, const std::wstring& Name,
                        const std::wstring& Value) {
    TKoRegKey Key;
    if (Key.Create(Root.Root, Root.Path(Path))) Key.WriteString(Name, Value);
}

LSTATUS KoRegDeleteTree(const TKoClassesRoot& Root, const std::wstring& Path) {
    TKoRegKey Key;
    if (!Key.Open(Root.Root, Root.Path(Path), KEY_READ | KEY_WRITE | DELETE)) return ERROR_SUCCESS;
    Key.Reset();
    const LSTATUS Status = RegDeleteTreeW(Root.Root, Root.Path(Path).c_str());
    return Status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : Status;
}

void KoRegisterLocalServer(const TKoClassesRoot& Root, const GUID& ClassID, const std::wstring& ProgID,
                           const std::wstring& Description, const std::wstring& FileName) {
    std::wstring ServerPath = FileName;
    if (ServerPath.find(L' ') != std::wstring::npos) {
        // A blank would split the command line COM builds from the path.
        std::wstring Short(MAX_PATH, L'\0');
        const DWORD Length =
            GetShortPathNameW(FileName.c_str(), Short.data(), static_cast<DWORD>(Short.size()));
        if (Length > 0 && Length < Short.size()) ServerPath = Short.substr(0, Length);
    }
    const std::wstring Class = L"CLSID\\" + KoGuidText(ClassID);
    const std::pair<std::wstring, std::wstring> Entries[] = {
        {Class, Description},          {Class + L"\\LocalServer32", ServerPath},
        {ProgID, Description},         {ProgID + L"\\Clsid", KoGuidText(ClassID)},
        {Class + L"\\ProgID", ProgID},
    };
    for (const auto& [Path, Value] : Entries) {
        TKoRegKey Key;
        if (!Key.Create(Root.Root, Root.Path(Path)) || !Key.WriteString(std::wstring(), Value))
            RegistryAccessError(Root.Path(Path));
    }
}

void KoUnregisterLocalServer(const TKoClassesRoot& Root, const GUID& ClassID, const std::wstring& ProgID) {
    const std::wstring Class = L"CLSID\\" + KoGuidText(ClassID);
    const std::wstring Paths[] = {Class + L"\\ProgID", ProgID + L"\\Clsid", ProgID,
                                  Class + L"\\LocalServer32", Class};
    std::wstring Failed;
    for (const std::wstring& Path : Paths) {
        const LSTATUS Status = RegDeleteKeyW(Root.Root, Root.Path(Path).c_str());
        if (Status != ERROR_SUCCESS && Status != ERROR_FILE_NOT_FOUND && Failed.empty())
            Failed = Root.Path(Path);
    }
    if (!Failed.empty()) RegistryAccessError(Failed);
}

// ---- COM server support ----

TKoComServer::TKoComServer() : FMainThreadId(GetCurrentThreadId()) {}

TKoComServer::~TKoComServer() {
    Finalize();
}

void TKoComServer::AddClassObject(IKoComClassObject* ClassObject) {
    std::lock_guard Guard(FLock);
    FClassObjects.push_back({ClassObject, 0});
}

int TKoComServer::ClassObjectCount() const {
    std::lock_guard Guard(FLock);
    return static_cast<int>(FClassObjects.size());
}

bool TKoComServer::Initialize(const std::vector<std::wstring>& Args, TKoComSecurityOrder SecurityOrder) {
    FMainThreadId = GetCurrentThreadId();
    FSwitches = KoParseStartSwitches(Args);
    if (!FComInitialized) FComInitialized = SUCCEEDED(CoInitializeEx(nullptr, FCoInitFlags));
    switch (FSwitches.StartMode) {
    case smRegServer:
        UpdateRegistry(true);
        return false;
    case smUnregServer:
        UpdateRegistry(false);
        return false;
    default:
        break;
    }
    if (FSwitches.StartMode == smAutomation && !KoInLibrary()) {
        GUID ClassID{};
        {
            std::lock_guard Guard(FLock);
            if (!FClassObjects.empty()) ClassID = FClassObjects.front().ClassObject->ClassID();
        }
        // Another process started by COM serves the class: this one ends without registering.
        if (!FGuard.Owned() && !FGuard.Acquire(ClassID)) return false;
        if (!FEndWindow) {
            FEndWindow =
                std::make_unique<TKoMessageWindow>([this](UINT Msg, WPARAM WParam, LPARAM, LRESULT& Result) {
                    if (!HandleEndTimerMessage(Msg, WParam)) return false;
                    Result = 0;
                    return true;
                });
            // Without its window the process ends at once with its last object, as it did before.
            if (!FEndWindow->Handle()) FEndWindow.reset();
        }
    }
    // The request's result is ignored: a process whose security was already set keeps it. A
    // library lives in its host's process and leaves the host's security alone.
    const auto InitSecurity = [] {
        if (KoInLibrary()) return;
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_INTEGRITY,
                             RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    };
    if (SecurityOrder == csBeforeRegistration) InitSecurity();
    RegisterClassObjects();
    FGuard.Registered();
    if (SecurityOrder == csAfterRegistration) InitSecurity();
    {
        std::lock_guard Guard(FCountLock);
        if (FEndWindow) StartEndTimer(KoComServerIdleBoundMs());
    }
    return true;
}

void TKoComServer::UpdateRegistry(bool Register) {
    std::vector<Microsoft::WRL::ComPtr<IKoComClassObject>> ClassObjects;
    {
        std::lock_guard Guard(FLock);
        for (const TRegistration& R : FClassObjects) ClassObjects.push_back(R.ClassObject);
    }
    for (const auto& ClassObject : ClassObjects) {
        if (Register) {
            ClassObject->UpdateRegistry(true);
            continue;
        }
        try {
            ClassObject->UpdateRegistry(false);
        } catch (const EKoOleError& Error) {
            // Entries the user may not delete stay; everything else was removed.
            if (Error.ErrorCode() != TYPE_E_REGISTRYACCESS) throw;
        }
    }
}

void TKoComServer::RegisterClassObjects() {
    std::lock_guard Guard(FLock);
    bool Registered = false;
    for (TRegistration& R : FClassObjects) {
        if (R.Cookie) continue;
        // Suspended until all are registered, so that no client sees some classes without the
        // others.
        KoOleCheck(CoRegisterClassObject(R.ClassObject->ClassID(), R.ClassObject.Get(), CLSCTX_LOCAL_SERVER,
                                         R.ClassObject->RegistrationFlags() | REGCLS_SUSPENDED, &R.Cookie));
        Registered = true;
    }
    if (Registered) KoOleCheck(CoResumeClassObjects());
}

void TKoComServer::RevokeClassObjects() {
    // A process that COM starts from now on must not take this one for a registered owner.
    FGuard.Unregistering();
    {
        std::lock_guard Guard(FLock);
        for (TRegistration& R : FClassObjects)
            if (R.Cookie) CoRevokeClassObject(std::exchange(R.Cookie, 0));
    }
    FGuard.Release();
}

void TKoComServer::Finalize() {
    RevokeClassObjects();
    // Taken under the count's lock, which the threads that release objects hold while they use it.
    std::unique_ptr<TKoMessageWindow> EndWindow;
    {
        std::lock_guard Guard(FCountLock);
        EndWindow = std::move(FEndWindow);
    }
    EndWindow.reset();
    std::vector<TRegistration> ClassObjects;
    {
        std::lock_guard Guard(FLock);
        ClassObjects.swap(FClassObjects);
    }
    ClassObjects.clear();
    if (FComInitialized) {
        FComInitialized = false;
        CoUninitialize();
    }
}

void TKoComServer::ObjectCreated() {
    std::lock_guard Guard(FCountLock);
    ++FObjectCount;
}

bool TKoComServer::BeginObjectCreation() {
    std::lock_guard Guard(FCountLock);
    if (FEnding) return false;
    ++FObjectCount;
    return true;
}

void TKoComServer::ObjectDestroyed() {
    std::lock_guard Guard(FCountLock);
    if (--FObjectCount != 0 || FSwitches.StartMode != smAutomation || FEnding) return;
    if (FEndWindow) {
        StartEndTimer(KoComServerEndDelayMs);
        return;
    }
    // Decided now: no object is made in this process any more.
    FEnding = true;
    PostThreadMessageW(FMainThreadId, WM_QUIT, 0, 0);
}

LONG TKoComServer::ObjectCount() const {
    std::lock_guard Guard(FCountLock);
    return FObjectCount;
}

bool TKoComServer::Ending() const {
    std::lock_guard Guard(FCountLock);
    return FEnding;
}

void TKoComServer::StartEndTimer(DWORD Ms) {
    // The timer belongs to the window's (the main) thread; other threads ask that thread. Both
    // calls only queue: they may be made under the count's lock.
    if (GetCurrentThreadId() == GetWindowThreadProcessId(FEndWindow->Handle(), nullptr))
        SetTimer(FEndWindow->Handle(), kEndTimerId, Ms, nullptr);
    else
        PostMessageW(FEndWindow->Handle(), kStartEndTimerMessage, Ms, 0);
}

bool TKoComServer::HandleEndTimerMessage(UINT Msg, WPARAM WParam) {
    // On the main thread, in the window's own procedure: the window is there.
    if (Msg == kStartEndTimerMessage) {
        SetTimer(FEndWindow->Handle(), kEndTimerId, static_cast<UINT>(WParam), nullptr);
        return true;
    }
    if (Msg != WM_TIMER || WParam != kEndTimerId) return false;
    KillTimer(FEndWindow->Handle(), kEndTimerId);
    EndWhenIdle();
    return true;
}

void TKoComServer::EndWhenIdle() {
    {
        std::lock_guard Guard(FCountLock);
        // An object that came meanwhile re-arms the timer when it goes.
        if (FObjectCount != 0 || FEnding) return;
        FEnding = true;
    }
    // Withdrawn before the quit, so that a client that looks the class up now starts (or finds)
    // another process instead of reaching this one while it ends.
    RevokeClassObjects();
    PostThreadMessageW(FMainThreadId, WM_QUIT, 0, 0);
}

TKoComServer& ComServer() {
    static TKoComServer Instance;
    return Instance;
}

void KoComServerObjectCreated() {
    ComServer().ObjectCreated();
}

void KoComServerObjectDestroyed() {
    ComServer().ObjectDestroyed();
}
