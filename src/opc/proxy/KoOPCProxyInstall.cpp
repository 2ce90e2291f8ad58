// Registration of the proxy/stub DLL for the current user only:
//   regsvr32 /n /i:user KoOPCProxy.dll       (and with /u to remove it)
// The generated DllRegisterServer and DllUnregisterServer write under HKEY_CLASSES_ROOT. For
// "user" that root is mapped onto the user's class registry (HKCU\Software\Classes) while they
// run, so the same entries land there, and a user who may not write the machine's registry can
// register the DLL. Without a command (or an empty one) the machine's registration is made or
// removed, as by DllRegisterServer and DllUnregisterServer.

#include <windows.h>

#include <memory>
#include <type_traits>

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer();
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer();

namespace {

struct TKeyCloser {
    void operator()(HKEY Key) const noexcept { RegCloseKey(Key); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyCloser>;

// Gives HKEY_CLASSES_ROOT back its own meaning.
struct TClassesRootRestorer {
    void operator()(HKEY Root) const noexcept { RegOverridePredefKey(Root, nullptr); }
};

HRESULT Update(BOOL Install) {
    return Install ? DllRegisterServer() : DllUnregisterServer();
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL Install, LPCWSTR CmdLine) {
    if (!CmdLine || !*CmdLine) return Update(Install);
    if (lstrcmpiW(CmdLine, L"user") != 0) return E_INVALIDARG;
    HKEY Raw = nullptr;
    LSTATUS Status = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &Raw, nullptr);
    if (Status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(Status);
    const TKey UserClasses(Raw);
    Status = RegOverridePredefKey(HKEY_CLASSES_ROOT, UserClasses.get());
    if (Status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(Status);
    const std::unique_ptr<std::remove_pointer_t<HKEY>, TClassesRootRestorer> Restore(HKEY_CLASSES_ROOT);
    return Update(Install);
}
