#pragma once
// The COM server support of a program that is a local COM server.
//
// It reads the start-up switches (register, unregister, started by COM), initialises COM for
// the process, registers the program's class objects with COM, asks for the process's default
// COM security, and counts the live COM objects of the process: in a program started by COM the
// count falling to zero tells the main thread to quit.
//
// It owns the class objects (one counted reference each) until Finalize; a class object's
// users (the provider) must be gone by then.

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// How the program was started.
enum TKoStartMode : int {
    smStandalone,  // by a user: runs until closed
    smAutomation,  // by COM: ends when its last COM object is released
    smRegServer,   // writes its registry entries and ends
    smUnregServer, // removes its registry entries and ends
};

struct TKoStartSwitches {
    TKoStartMode StartMode = smStandalone;
    // The standard registration goes to the current user's class registry.
    bool PerUser = false;
};

// The start mode the arguments ask for (the program name not included). A switch starts with
// "/" or "-" and is compared without regard to case; the switches are tested in the order
// AUTOMATION or EMBEDDING, REGSERVER, UNREGSERVER, REGSERVERPERUSER, UNREGSERVERPERUSER, and the
// first one present decides.
TKoStartSwitches KoParseStartSwitches(const std::vector<std::wstring>& Args);
// The process's command-line arguments after the program name.
std::vector<std::wstring> KoCommandLineArgs();

// The full path of the program's executable.
std::wstring KoProgramFileName();

// Owns an open registry key (RegCloseKey).
class TKoRegKey {
public:
    TKoRegKey() = default;
    ~TKoRegKey() { Reset(); }
    TKoRegKey(TKoRegKey&& Other) noexcept;
    TKoRegKey& operator=(TKoRegKey&& Other) noexcept;
    TKoRegKey(const TKoRegKey&) = delete;
    TKoRegKey& operator=(const TKoRegKey&) = delete;

    // Opens Root\Path for writing, creating the keys that are missing; false when it cannot.
    bool Create(HKEY Root, const std::wstring& Path);
    // Opens an existing key; false when it is missing or cannot be opened.
    bool Open(HKEY Root, const std::wstring& Path, REGSAM Access = KEY_READ);
    HKEY Get() const { return FKey; }
    explicit operator bool() const { return FKey != nullptr; }
    void Reset() noexcept;

    // A string value; Name empty for the key's default value.
    bool WriteString(const std::wstring& Name, const std::wstring& Value) const;
    bool ReadString(const std::wstring& Name, std::wstring& Value) const;

private:
    HKEY FKey = nullptr;
};

// A class registry: the machine's (HKEY_CLASSES_ROOT) or the current user's
// (HKEY_CURRENT_USER\Software\Classes). Paths below it are given relative to it.
struct TKoClassesRoot {
    HKEY Root;
    std::wstring Prefix;
    std::wstring Path(const std::wstring& Relative) const { return Prefix + Relative; }
};
TKoClassesRoot KoClassesRoot(bool PerUser);

// Sets one string value of Root\Path, creating the key; a key that cannot be opened is skipped.
void KoRegWriteIfOpened(const TKoClassesRoot& Root, const std::wstring& Path, const std::wstring& Name,
                        const std::wstring& Value);
// Deletes Root\Path with all its subkeys; a missing key is not an error. Returns the error code.
LSTATUS KoRegDeleteTree(const TKoClassesRoot& Root, const std::wstring& Path);

// The standard entries of a local-server class: CLSID\{ClassID} (the description) with its
// LocalServer32 (the executable, in short form when the path has a blank) and ProgID keys, and
// {ProgID} (the description) with its Clsid key. A key that cannot be written fails with
// EKoOleError TYPE_E_REGISTRYACCESS.
void KoRegisterLocalServer(const TKoClassesRoot& Root, const GUID& ClassID, const std::wstring& ProgID,
                           const std::wstring& Description, const std::wstring& FileName);
// Removes them again. Missing keys are fine; a key that is there but cannot be deleted fails with
// EKoOleError TYPE_E_REGISTRYACCESS after the others were tried.
void KoUnregisterLocalServer(const TKoClassesRoot& Root, const GUID& ClassID, const std::wstring& ProgID);

// The class ID as braced upper-case text.
std::wstring KoGuidText(const GUID& Value);

// What the COM server support needs of a class object besides IClassFactory.
class IKoComClassObject : public IClassFactory {
public:
    virtual GUID ClassID() const = 0;
    // REGCLS_MULTIPLEUSE or REGCLS_SINGLEUSE.
    virtual DWORD RegistrationFlags() const = 0;
    // Writes (true) or removes (false) the class's registry entries.
    virtual void UpdateRegistry(bool Register) = 0;
};

// When the process's COM security is asked for, relative to the class objects' registration.
enum TKoComSecurityOrder : int { csBeforeRegistration, csAfterRegistration };

class TKoComServer {
public:
    TKoComServer();
    // Finalize.
    ~TKoComServer();
    TKoComServer(const TKoComServer&) = delete;
    TKoComServer& operator=(const TKoComServer&) = delete;

    // Takes one counted reference on the class object, which it keeps until Finalize.
    void AddClassObject(IKoComClassObject* ClassObject);
    int ClassObjectCount() const;
    // How Initialize initialises COM for the process; a class object whose objects are called on
    // any thread asks for the multi-threaded apartment (COINIT_MULTITHREADED).
    void SetCoInitFlags(DWORD Value) { FCoInitFlags = Value; }
    DWORD CoInitFlags() const { return FCoInitFlags; }

    // The start-up of the program's COM side, on the main thread: reads the switches in Args,
    // initialises COM, then either writes or removes every class object's registry entries
    // (and returns false: the program ends) or registers the class objects with COM and asks for
    // the process's COM security in the given order (and returns true: the program runs).
    // Registration errors propagate; while unregistering, TYPE_E_REGISTRYACCESS is ignored.
    // Class objects already registered are not registered again.
    bool Initialize(const std::vector<std::wstring>& Args, TKoComSecurityOrder SecurityOrder);
    // Withdraws the class objects from COM (no new activation reaches them) but keeps them, so
    // that their users (the provider) can still call them while they go.
    void RevokeClassObjects();
    // Revokes the registrations, releases the class objects and ends COM for the thread when
    // Initialize began it. On the main thread, after the class objects' users are gone.
    void Finalize();

    TKoStartMode StartMode() const { return FSwitches.StartMode; }
    bool PerUserRegistration() const { return FSwitches.PerUser; }
    void SetStartSwitches(const TKoStartSwitches& Value) { FSwitches = Value; }
    // The thread told to quit; the creating thread until Initialize names its own.
    DWORD MainThreadId() const { return FMainThreadId; }

    // The count of live COM objects of the process (server objects and class-object locks).
    void ObjectCreated();
    // When the count falls to zero in a program started by COM, posts WM_QUIT to the main thread.
    void ObjectDestroyed();
    LONG ObjectCount() const { return FObjectCount.load(); }

private:
    struct TRegistration {
        Microsoft::WRL::ComPtr<IKoComClassObject> ClassObject;
        DWORD Cookie = 0;
    };
    void RegisterClassObjects();
    void UpdateRegistry(bool Register);

    mutable std::mutex FLock;
    std::vector<TRegistration> FClassObjects;
    DWORD FCoInitFlags = COINIT_APARTMENTTHREADED;
    bool FComInitialized = false;
    TKoStartSwitches FSwitches;
    DWORD FMainThreadId;
    std::atomic<LONG> FObjectCount{0};
};

// The COM server support of the process.
TKoComServer& ComServer();

// A server object counts itself in on creation and out on destruction.
void KoComServerObjectCreated();
void KoComServerObjectDestroyed();
