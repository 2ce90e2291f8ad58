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
//
// A program started by COM is the only one of its class that COM started in the user's session
// (TKoServerInstanceGuard): a later one leaves without registering, and the clients that caused
// it are served by the first. Started by COM, the program also ends when it has had no COM
// object for a while: KoComServerIdleBoundMs after registering its class objects, or
// KoComServerEndDelayMs after its last object went.

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoWindows.h"

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

// How long a program started by COM waits for its first COM object after registering its class
// objects before it ends (the environment variable KO_COM_IDLE_BOUND_MS, in milliseconds, sets
// another bound for tests; the default is 30 s).
constexpr DWORD KoComServerDefaultIdleBoundMs = 30000;
DWORD KoComServerIdleBoundMs();
// How long a program started by COM stays after its last COM object went. Clients that are still
// activating look the class object up again once a second: a process that stays this long after
// its last object serves them instead of leaving them without a server, and no later process
// that COM started for them is still waiting when it ends.
constexpr DWORD KoComServerEndDelayMs = 3000;

// The one process of a class that COM started in the user's session. Under a platform that
// starts a process for every waiting activation, the later processes find the guard taken and
// leave; the owner gives it up when it withdraws its class objects, so that a process COM starts
// after that can serve.
//
// Named objects in the session's namespace, keyed by the class ID: a mutex owned by the serving
// process (owned by its main thread; abandoned when it dies), a manual-reset event set while the
// owner's class objects are registered, and the time of the last owner's registration.
class TKoServerInstanceGuard {
public:
    TKoServerInstanceGuard() = default;
    ~TKoServerInstanceGuard();
    TKoServerInstanceGuard(const TKoServerInstanceGuard&) = delete;
    TKoServerInstanceGuard& operator=(const TKoServerInstanceGuard&) = delete;

    // On the main thread of a process started by COM, before it registers its class objects.
    // True when this process is to serve the class. False when another process serves it: the
    // call then returns once the client that started this process can no longer mistake its end
    // for a failed start (the platform watches a started server process for its first second),
    // and the process is to end without registering. Bounded by the clients' own patience.
    bool Acquire(const GUID& ClassID);
    bool Owned() const { return FOwned; }
    // The owner's class objects are registered.
    void Registered();
    // The owner is about to withdraw its class objects.
    void Unregistering();
    // The owner's class objects are withdrawn: a waiting or later process may serve. On the
    // thread that acquired the guard.
    void Release();

private:
    struct TViewUnmapper {
        void operator()(void* View) const noexcept;
    };
    LONG64* Record() const { return static_cast<LONG64*>(FRecordView.get()); }

    TKoHandle FMutex;
    TKoHandle FRegistered;
    TKoHandle FRecord;
    std::unique_ptr<void, TViewUnmapper> FRecordView;
    bool FOwned = false;
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
    // that their users (the provider) can still call them while they go; gives up the instance
    // guard. On the main thread.
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
    // When the count falls to zero in a program started by COM, the process ends: at once
    // (WM_QUIT to the main thread) when Initialize made no end timer, otherwise when the count is
    // still zero KoComServerEndDelayMs later.
    void ObjectDestroyed();
    LONG ObjectCount() const;
    // A class object about to create an object counts it in beforehand, so that the process
    // cannot decide to end while the object is being made; false, counting nothing, once the
    // process has decided to end (the request is then to fail with CO_E_SERVER_STOPPING).
    // ObjectDestroyed takes the count back.
    bool BeginObjectCreation();
    // Whether the process has decided to end because it had no COM object.
    bool Ending() const;

private:
    struct TRegistration {
        Microsoft::WRL::ComPtr<IKoComClassObject> ClassObject;
        DWORD Cookie = 0;
    };
    void RegisterClassObjects();
    void UpdateRegistry(bool Register);
    // The main-thread timer that ends a program started by COM after Ms without COM objects.
    // Under FCountLock, with the end window there.
    void StartEndTimer(DWORD Ms);
    bool HandleEndTimerMessage(UINT Msg, WPARAM WParam);
    // On the main thread: when there is still no COM object, decides to end, withdraws the class
    // objects and tells the main thread to quit.
    void EndWhenIdle();

    mutable std::mutex FLock;
    std::vector<TRegistration> FClassObjects;
    DWORD FCoInitFlags = COINIT_APARTMENTTHREADED;
    bool FComInitialized = false;
    TKoStartSwitches FSwitches;
    DWORD FMainThreadId;
    // Guards the count, the decision to end and the use of the end window by other threads.
    // Lock order: FCountLock is never held while FLock is taken, nor the other way round.
    mutable std::mutex FCountLock;
    LONG FObjectCount = 0;
    bool FEnding = false;
    TKoServerInstanceGuard FGuard;
    // Made by Initialize in a program started by COM, on the main thread, which alone destroys
    // it (in Finalize); its timer ends the idle process. Other threads use it under FCountLock.
    std::unique_ptr<TKoMessageWindow> FEndWindow;
};

// The COM server support of the process.
TKoComServer& ComServer();

// A server object counts itself in on creation and out on destruction.
void KoComServerObjectCreated();
void KoComServerObjectDestroyed();
