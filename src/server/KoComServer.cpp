#include "KoComServer.h"

#include <shellapi.h>

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

} // namespace

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
    // The request's result is ignored: a process whose security was already set keeps it. A
    // library lives in its host's process and leaves the host's security alone.
    const auto InitSecurity = [] {
        if (KoInLibrary()) return;
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_INTEGRITY,
                             RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    };
    if (SecurityOrder == csBeforeRegistration) InitSecurity();
    RegisterClassObjects();
    if (SecurityOrder == csAfterRegistration) InitSecurity();
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
    std::lock_guard Guard(FLock);
    for (TRegistration& R : FClassObjects)
        if (R.Cookie) CoRevokeClassObject(std::exchange(R.Cookie, 0));
}

void TKoComServer::Finalize() {
    RevokeClassObjects();
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
    ++FObjectCount;
}

void TKoComServer::ObjectDestroyed() {
    if (--FObjectCount == 0 && FSwitches.StartMode == smAutomation)
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
