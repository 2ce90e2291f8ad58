// The OPC interfaces across a process boundary, through KoOPCProxy.dll.
//
// The test process registers the proxy/stub DLL, builds small OPC objects in its
// multithreaded apartment and marshals them into a file. A second instance of this executable
// (started with kChildSwitch and the name of one check) unmarshals them, calls methods whose
// out-parameters take the proxy's string and array paths - among them every string
// out-parameter whose widl format string the build mends - and writes its result to a file.
// Both processes take the values from the same tables, so everything the child sees has
// crossed the wire.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoOPCCommon.h"
#include "KoOPCDA.h"
#include "KoProcessTesting.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr char kChildSwitch[] = "--ko-opc-proxy-child";
constexpr wchar_t kChildSwitchW[] = L"--ko-opc-proxy-child";
constexpr DWORD kChildTimeoutMs = 90'000;

// ---------------------------------------------------------------------------------------------
// Owners of Win32 and COM resources
// ---------------------------------------------------------------------------------------------

class ComApartment {
public:
    ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT hr() const { return hr_; }

private:
    HRESULT hr_;
};

struct HandleCloser {
    void operator()(HANDLE h) const noexcept {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct CoTaskFreer {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};
template <typename T> using CoTaskPtr = std::unique_ptr<T, CoTaskFreer>;

struct BstrFreer {
    void operator()(BSTR s) const noexcept { SysFreeString(s); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFreer>;

struct SafeArrayDestroyer {
    void operator()(SAFEARRAY* a) const noexcept { SafeArrayDestroy(a); }
};
using UniqueSafeArray = std::unique_ptr<SAFEARRAY, SafeArrayDestroyer>;

struct LocalFreer {
    void operator()(void* p) const noexcept { LocalFree(p); }
};

// OPCSERVERSTATUS as GetStatus hands it out: the caller frees the vendor string and the struct.
struct ServerStatusFreer {
    void operator()(OPCSERVERSTATUS* s) const noexcept {
        CoTaskMemFree(s->szVendorInfo);
        CoTaskMemFree(s);
    }
};
using ServerStatusPtr = std::unique_ptr<OPCSERVERSTATUS, ServerStatusFreer>;

// Receives a pointer out-parameter into a unique_ptr at the end of the call's full expression.
template <typename Smart> class OutParam {
public:
    explicit OutParam(Smart& owner) : owner_(owner) {}
    ~OutParam() { owner_.reset(raw_); }
    OutParam(const OutParam&) = delete;
    OutParam& operator=(const OutParam&) = delete;
    operator typename Smart::pointer *() { return &raw_; }

private:
    Smart& owner_;
    typename Smart::pointer raw_ = nullptr;
};
template <typename Smart> OutParam<Smart> Out(Smart& owner) {
    return OutParam<Smart>(owner);
}

// Elements of task-allocated arrays that own something themselves.
template <typename T> void ClearElement(T&) noexcept {}
void ClearElement(LPWSTR& s) noexcept {
    CoTaskMemFree(s);
    s = nullptr;
}
void ClearElement(VARIANT& v) noexcept {
    VariantClear(&v);
}
void ClearElement(OPCITEMSTATE& s) noexcept {
    VariantClear(&s.vDataValue);
}

// An array allocated with CoTaskMemAlloc, the form in which OPC methods hand out results;
// it frees its elements' strings and VARIANTs with it. The server side fills one and
// Release()s it into an out-parameter, the client side receives one through Put().
template <typename T> class CoTaskArray {
public:
    CoTaskArray() = default;
    explicit CoTaskArray(DWORD count) : count_(count) {
        if (count == 0) return;
        data_ = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * count));
        if (!data_) throw std::bad_alloc();
        std::memset(static_cast<void*>(data_), 0, sizeof(T) * count); // VT_EMPTY, NULL strings
    }
    ~CoTaskArray() { Reset(); }
    CoTaskArray(const CoTaskArray&) = delete;
    CoTaskArray& operator=(const CoTaskArray&) = delete;

    T** Put(DWORD count) {
        Reset();
        count_ = count;
        return &data_;
    }
    void SetCount(DWORD count) { count_ = count; }
    T* Get() const { return data_; }
    T& operator[](DWORD i) const { return data_[i]; }
    T* Release() {
        count_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    void Reset() noexcept {
        if (!data_) return;
        for (DWORD i = 0; i < count_; ++i) ClearElement(data_[i]);
        CoTaskMemFree(data_);
        data_ = nullptr;
    }

    DWORD count_ = 0;
    T* data_ = nullptr;
};

CoTaskPtr<wchar_t> CoTaskString(std::wstring_view text) {
    CoTaskPtr<wchar_t> s(static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t))));
    if (!s) throw std::bad_alloc();
    std::memcpy(s.get(), text.data(), text.size() * sizeof(wchar_t));
    s.get()[text.size()] = L'\0';
    return s;
}

class TempFile {
public:
    TempFile() {
        wchar_t dir[MAX_PATH];
        wchar_t name[MAX_PATH];
        DWORD n = GetTempPathW(MAX_PATH, dir);
        if (n == 0 || n >= MAX_PATH || GetTempFileNameW(dir, L"kop", 0, name) == 0) return;
        path_ = name;
    }
    ~TempFile() {
        if (!path_.empty()) DeleteFileW(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

bool WriteWholeFile(const std::wstring& path, const void* data, DWORD size) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    return WriteFile(file.get(), data, size, &written, nullptr) && written == size;
}

bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
            read == bytes.size());
}

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

std::wstring ProxyDllPath() {
    return kotest::ExecutableDirectory() + L"" KO_OPC_PROXY_DLL;
}

// ---------------------------------------------------------------------------------------------
// The data both processes agree on
// ---------------------------------------------------------------------------------------------

// A VARIANT as the test describes it.
struct Value {
    VARTYPE vt = VT_EMPTY;
    double number = 0;                          // VT_I2, VT_R8
    std::wstring_view text{};                   // VT_BSTR
    std::span<const double> numbers{};          // VT_ARRAY | VT_R8
    std::span<const std::wstring_view> texts{}; // VT_ARRAY | VT_BSTR
};

constexpr LCID kEnglish = 0x0409;
constexpr LCID kGerman = 0x0407;
constexpr LCID kJapanese = 0x0411; // not offered by the test server

struct ErrorText {
    HRESULT code;
    LCID locale;
    std::wstring_view text;
};
constexpr ErrorText kErrorTexts[] = {
    {OPC_E_UNKNOWNITEMID, kEnglish, L"The item ID is not defined in the server address space."},
    {OPC_E_UNKNOWNITEMID, kGerman, L"Die Item-ID ist im Adressraum des Servers nicht definiert."},
    {OPC_E_BADRIGHTS, kEnglish, L"The item's access rights do not allow the operation."},
    {OPC_E_BADRIGHTS, kGerman, L"Die Zugriffsrechte des Items erlauben die Operation nicht (\u00fc\u00df)."},
};
constexpr HRESULT kUnknownError = static_cast<HRESULT>(0xE0001234L);

const ErrorText* FindErrorText(HRESULT code, LCID locale) {
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code && e.locale == locale) return &e;
    return nullptr;
}

constexpr OPCSERVERSTATUS kStatus = {{0x89ABCDEFu, 0x01DA0102u},
                                     {0x12345678u, 0x01DA0203u},
                                     {0x0F0E0D0Cu, 0x01DA0201u},
                                     OPC_STATUS_RUNNING,
                                     3u,
                                     0xFFFFFFFFu,
                                     1,
                                     8,
                                     4242,
                                     0,
                                     nullptr};
constexpr std::wstring_view kVendorInfo = L"Ko simulated process data \u00b5s \u2713";

constexpr std::wstring_view kGroupName = L"Gr\u00fcppe 1";
struct GroupState {
    DWORD updateRate;
    BOOL active;
    LONG timeBias;
    FLOAT deadband;
    DWORD lcid;
    OPCHANDLE client;
    OPCHANDLE server;
};
constexpr GroupState kGroupState = {1000, TRUE, -60, 0.5f, kGerman, 7, 0x1001};

constexpr std::wstring_view kBranch = L"Plant.Area1.";
constexpr std::wstring_view kItemID = L"Plant.Area1.Tank1.Level";

constexpr double kSpectrum[] = {1.5, -2.25, 3.5e10};
constexpr std::wstring_view kValveStates[] = {L"Open", L"Closed", L"St\u00f6rung"};

struct Property {
    DWORD id;
    std::wstring_view description;
    Value value;
    std::wstring_view itemSuffix; // empty: the property has no item ID of its own
};
constexpr DWORD kVendorProperty = 5001;
constexpr DWORD kUnknownProperty = 4711;
constexpr Property kProperties[] = {
    {OPC_PROP_CDT, L"Item Canonical DataType", {VT_I2, VT_R8}, L""},
    {OPC_PROP_UNIT, L"EU Units", {VT_BSTR, 0, L"\u00b0C"}, L".EU"},
    {OPC_PROP_DESC, L"Item Description", {VT_BSTR, 0, L"F\u00fcllstand Tank 1"}, L".Description"},
    {OPC_PROP_HIEU, L"High EU", {VT_R8, 100.0}, L".HighEU"},
    {kVendorProperty, L"Valve States", {VT_ARRAY | VT_BSTR, 0, {}, {}, kValveStates}, L".ValveStates"},
};
const Property* FindProperty(DWORD id) {
    for (const Property& p : kProperties)
        if (p.id == id) return &p;
    return nullptr;
}

struct Item {
    OPCHANDLE server;
    OPCHANDLE client;
    WORD quality;
    FILETIME stamp;
    Value value;
};
constexpr OPCHANDLE kUnknownHandle = 99;
constexpr Item kItems[] = {
    {1, 1001, OPC_QUALITY_GOOD, {0x11111111u, 0x01DA0301u}, {VT_R8, 42.5}},
    {2, 1002, OPC_QUALITY_LOCAL_OVERRIDE, {0x22222222u, 0x01DA0302u}, {VT_BSTR, 0, L"L\u00e4uft"}},
    {3,
     1003,
     OPC_QUALITY_SENSOR_CAL | OPC_LIMIT_HIGH,
     {0x33333333u, 0x01DA0303u},
     {VT_ARRAY | VT_R8, 0, {}, kSpectrum}},
};
const Item* FindItem(OPCHANDLE server) {
    for (const Item& i : kItems)
        if (i.server == server) return &i;
    return nullptr;
}

constexpr CLSID kBrowsedClass = {
    0x5D1B8C8E, 0x3F0A, 0x4E55, {0x9C, 0x1D, 0x27, 0x60, 0x44, 0xA8, 0x0B, 0x13}};
constexpr CLSID kUnknownClass = {0x0BADC0DE, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};
constexpr std::wstring_view kProgID = L"Ko.SimServer.1";
constexpr std::wstring_view kUserType = L"Ko Simulationsserver f\u00fcr Prozessdaten";
constexpr std::wstring_view kVerIndProgID = L"Ko.SimServer";

// Fills an empty VARIANT from a Value; throws std::bad_alloc, leaving `out` empty.
void ToVariant(const Value& value, VARIANT& out) {
    switch (value.vt) {
    case VT_EMPTY:
        break;
    case VT_I2:
        V_I2(&out) = static_cast<SHORT>(value.number);
        break;
    case VT_R8:
        V_R8(&out) = value.number;
        break;
    case VT_BSTR:
        V_BSTR(&out) = SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
        if (!V_BSTR(&out)) throw std::bad_alloc();
        break;
    case VT_ARRAY | VT_R8: {
        UniqueSafeArray array(SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(value.numbers.size())));
        if (!array) throw std::bad_alloc();
        for (LONG i = 0; i < static_cast<LONG>(value.numbers.size()); ++i) {
            double element = value.numbers[static_cast<size_t>(i)];
            if (FAILED(SafeArrayPutElement(array.get(), &i, &element))) throw std::bad_alloc();
        }
        V_ARRAY(&out) = array.release();
        break;
    }
    case VT_ARRAY | VT_BSTR: {
        UniqueSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(value.texts.size())));
        if (!array) throw std::bad_alloc();
        for (LONG i = 0; i < static_cast<LONG>(value.texts.size()); ++i) {
            std::wstring_view text = value.texts[static_cast<size_t>(i)];
            UniqueBstr element(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
            if (!element || FAILED(SafeArrayPutElement(array.get(), &i, element.get())))
                throw std::bad_alloc();
        }
        V_ARRAY(&out) = array.release();
        break;
    }
    default:
        throw std::logic_error("value type not covered by the test");
    }
    V_VT(&out) = value.vt;
}

// ---------------------------------------------------------------------------------------------
// Test objects (live in the parent's multithreaded apartment)
// ---------------------------------------------------------------------------------------------

// Reference counting and QueryInterface over the listed interfaces.
template <typename... TIntf> using ComObject = TKoComObject<TIntf...>;

template <typename T> ComPtr<T> Make() {
    return KoAdopt(new T());
}

class TestGroup final : public ComObject<IOPCGroupStateMgt, IOPCSyncIO> {
public:
    // IOPCGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                       FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                       OPCHANDLE* phServerGroup) noexcept override {
        return KoComCall([&] {
            if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
                !phClientGroup || !phServerGroup)
                return E_POINTER;
            *ppName = CoTaskString(kGroupName).release();
            *pUpdateRate = kGroupState.updateRate;
            *pActive = kGroupState.active;
            *pTimeBias = kGroupState.timeBias;
            *pPercentDeadband = kGroupState.deadband;
            *pLCID = kGroupState.lcid;
            *phClientGroup = kGroupState.client;
            *phServerGroup = kGroupState.server;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*,
                                       OPCHANDLE*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) noexcept override { return E_NOTIMPL; }

    // IOPCSyncIO
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                   OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) noexcept override {
        return KoComCall([&] {
            if (!ppItemValues || !ppErrors) return E_POINTER;
            *ppItemValues = nullptr;
            *ppErrors = nullptr;
            if ((dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) || dwCount == 0 || !phServer)
                return E_INVALIDARG;
            CoTaskArray<OPCITEMSTATE> states(dwCount);
            CoTaskArray<HRESULT> errors(dwCount);
            HRESULT result = S_OK;
            for (DWORD i = 0; i < dwCount; ++i) {
                const Item* item = FindItem(phServer[i]);
                if (!item) {
                    errors[i] = OPC_E_INVALIDHANDLE;
                    result = S_FALSE;
                    continue;
                }
                states[i].hClient = item->client;
                states[i].ftTimeStamp = item->stamp;
                states[i].wQuality = item->quality;
                ToVariant(item->value, states[i].vDataValue);
            }
            *ppItemValues = states.Release();
            *ppErrors = errors.Release();
            return result;
        });
    }
    HRESULT STDMETHODCALLTYPE Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) noexcept override {
        return E_NOTIMPL;
    }
};

class TestServer final
    : public ComObject<IOPCServer, IOPCCommon, IOPCBrowseServerAddressSpace, IOPCItemProperties> {
public:
    TestServer() : group_(Make<TestGroup>()) {}
    IUnknown* group() const { return static_cast<IOPCGroupStateMgt*>(group_.Get()); }

    // IOPCServer
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*,
                                       DWORD*, REFIID, LPUNKNOWN*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                             LPWSTR* ppString) noexcept override {
        return ErrorString(dwError, dwLocale, ppString);
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                             LPUNKNOWN* ppUnk) noexcept override {
        if (!ppUnk) return E_POINTER;
        *ppUnk = nullptr;
        if (!szName || kGroupName != szName) return E_INVALIDARG;
        return group_->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) noexcept override {
        return KoComCall([&] {
            if (!ppServerStatus) return E_POINTER;
            *ppServerStatus = nullptr;
            ServerStatusPtr status(static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS))));
            if (!status) throw std::bad_alloc();
            *status = kStatus; // szVendorInfo is still null: the freer copes
            status->szVendorInfo = CoTaskString(kVendorInfo).release();
            *ppServerStatus = status.release();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE, BOOL) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) noexcept override {
        return E_NOTIMPL;
    }

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) noexcept override {
        if (dwLcid != kEnglish && dwLcid != kGerman) return E_INVALIDARG;
        locale_ = dwLcid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) noexcept override {
        if (!pdwLcid) return E_POINTER;
        *pdwLcid = locale_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) noexcept override {
        return KoComCall([&] {
            if (!pdwCount || !pdwLcid) return E_POINTER;
            CoTaskArray<LCID> locales(2);
            locales[0] = kEnglish;
            locales[1] = kGerman;
            *pdwCount = 2;
            *pdwLcid = locales.Release();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) noexcept override {
        return ErrorString(dwError, locale_, ppString);
    }
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR) noexcept override { return E_NOTIMPL; }

    // IOPCBrowseServerAddressSpace
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE*) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD,
                                               LPENUMSTRING*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) noexcept override {
        return KoComCall([&] {
            if (!szItemID) return E_POINTER;
            *szItemID = nullptr;
            if (!szItemDataID || std::wstring_view(szItemDataID).substr(0, 4) != L"Tank")
                return OPC_E_UNKNOWNITEMID;
            std::wstring id(kBranch);
            id += szItemDataID;
            *szItemID = CoTaskString(id).release();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) noexcept override {
        return E_NOTIMPL;
    }

    // IOPCItemProperties
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                       DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                                       VARTYPE** ppvtDataTypes) noexcept override {
        return KoComCall([&] {
            if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_POINTER;
            *pdwCount = 0;
            *ppPropertyIDs = nullptr;
            *ppDescriptions = nullptr;
            *ppvtDataTypes = nullptr;
            if (!szItemID || kItemID != szItemID) return OPC_E_UNKNOWNITEMID;
            const DWORD n = static_cast<DWORD>(std::size(kProperties));
            CoTaskArray<DWORD> ids(n);
            CoTaskArray<LPWSTR> descriptions(n);
            CoTaskArray<VARTYPE> types(n);
            for (DWORD i = 0; i < n; ++i) {
                ids[i] = kProperties[i].id;
                descriptions[i] = CoTaskString(kProperties[i].description).release();
                types[i] = kProperties[i].value.vt;
            }
            *pdwCount = n;
            *ppPropertyIDs = ids.Release();
            *ppDescriptions = descriptions.Release();
            *ppvtDataTypes = types.Release();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                VARIANT** ppvData, HRESULT** ppErrors) noexcept override {
        return KoComCall([&] {
            if (!ppvData || !ppErrors) return E_POINTER;
            *ppvData = nullptr;
            *ppErrors = nullptr;
            if (dwCount == 0 || !pdwPropertyIDs) return E_INVALIDARG;
            if (!szItemID || kItemID != szItemID) return OPC_E_UNKNOWNITEMID;
            CoTaskArray<VARIANT> values(dwCount);
            CoTaskArray<HRESULT> errors(dwCount);
            HRESULT result = S_OK;
            for (DWORD i = 0; i < dwCount; ++i) {
                const Property* p = FindProperty(pdwPropertyIDs[i]);
                if (!p) {
                    errors[i] = OPC_E_INVALID_PID;
                    result = S_FALSE;
                    continue;
                }
                ToVariant(p->value, values[i]);
            }
            *ppvData = values.Release();
            *ppErrors = errors.Release();
            return result;
        });
    }
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                            LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) noexcept override {
        return KoComCall([&] {
            if (!ppszNewItemIDs || !ppErrors) return E_POINTER;
            *ppszNewItemIDs = nullptr;
            *ppErrors = nullptr;
            if (dwCount == 0 || !pdwPropertyIDs) return E_INVALIDARG;
            if (!szItemID || kItemID != szItemID) return OPC_E_UNKNOWNITEMID;
            CoTaskArray<LPWSTR> ids(dwCount);
            CoTaskArray<HRESULT> errors(dwCount);
            HRESULT result = S_OK;
            for (DWORD i = 0; i < dwCount; ++i) {
                const Property* p = FindProperty(pdwPropertyIDs[i]);
                if (!p || p->itemSuffix.empty()) {
                    errors[i] = OPC_E_INVALID_PID;
                    result = S_FALSE;
                    continue;
                }
                std::wstring id(kItemID);
                id += p->itemSuffix;
                ids[i] = CoTaskString(id).release();
            }
            *ppszNewItemIDs = ids.Release();
            *ppErrors = errors.Release();
            return result;
        });
    }

private:
    static HRESULT ErrorString(HRESULT code, LCID locale, LPWSTR* text) noexcept {
        return KoComCall([&] {
            if (!text) return E_POINTER;
            *text = nullptr;
            const ErrorText* e = FindErrorText(code, locale);
            if (!e) return E_INVALIDARG;
            *text = CoTaskString(e->text).release();
            return S_OK;
        });
    }

    ComPtr<TestGroup> group_;
    std::atomic<LCID> locale_{kEnglish};
};

class TestBrowser final : public ComObject<IOPCServerList2, IOPCServerList> {
public:
    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG, CATID[], ULONG, CATID[],
                                                      IEnumGUID**) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG, CATID[], ULONG, CATID[],
                                                      IOPCEnumGUID**) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                              LPOLESTR* ppszUserType) noexcept override {
        return Details(clsid, ppszProgID, ppszUserType, nullptr);
    }
    HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType,
                                              LPOLESTR* ppszVerIndProgID) noexcept override {
        if (!ppszVerIndProgID) return E_POINTER;
        return Details(clsid, ppszProgID, ppszUserType, ppszVerIndProgID);
    }
    HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCOLESTR, LPCLSID) noexcept override { return E_NOTIMPL; }

private:
    static HRESULT Details(REFCLSID clsid, LPOLESTR* progID, LPOLESTR* userType,
                           LPOLESTR* verIndProgID) noexcept {
        return KoComCall([&] {
            if (!progID || !userType) return E_POINTER;
            *progID = nullptr;
            *userType = nullptr;
            if (verIndProgID) *verIndProgID = nullptr;
            if (clsid != kBrowsedClass) return REGDB_E_CLASSNOTREG;
            CoTaskPtr<wchar_t> p = CoTaskString(kProgID);
            CoTaskPtr<wchar_t> u = CoTaskString(kUserType);
            CoTaskPtr<wchar_t> v;
            if (verIndProgID) v = CoTaskString(kVerIndProgID);
            *progID = p.release();
            *userType = u.release();
            if (verIndProgID) *verIndProgID = v.release();
            return S_OK;
        });
    }
};

// ---------------------------------------------------------------------------------------------
// The child: calls through the proxies and reports
// ---------------------------------------------------------------------------------------------

// Collects mismatches of one check; an empty result means the check passed.
class Checker {
public:
    void Fail(const std::string& what) {
        if (!text_.empty()) text_ += "; ";
        text_ += what;
    }
    void True(bool ok, const std::string& what) {
        if (!ok) Fail(what);
    }
    template <typename T> void Eq(const std::string& what, T got, std::type_identity_t<T> want) {
        if (!(got == want)) Fail(what + ": got " + std::to_string(got) + ", want " + std::to_string(want));
    }
    void Hr(const std::string& what, HRESULT got, HRESULT want) {
        if (got != want) Fail(what + ": returned " + Hex(got) + ", want " + Hex(want));
    }
    void Str(const std::string& what, LPCWSTR got, std::wstring_view want) {
        if (!got)
            Fail(what + ": null string, want \"" + Utf8(want) + "\"");
        else if (want != got)
            Fail(what + ": \"" + Utf8(got) + "\", want \"" + Utf8(want) + "\"");
    }
    void Null(const std::string& what, const void* got) {
        if (got) Fail(what + ": not null after a failed call");
    }
    void Time(const std::string& what, FILETIME got, FILETIME want) {
        Eq<DWORD>(what + ".low", got.dwLowDateTime, want.dwLowDateTime);
        Eq<DWORD>(what + ".high", got.dwHighDateTime, want.dwHighDateTime);
    }
    void Variant(const std::string& what, const VARIANT& got, const Value& want);
    const std::string& result() const { return text_; }

private:
    std::string text_;
};

void Checker::Variant(const std::string& what, const VARIANT& got, const Value& want) {
    if (V_VT(&got) != want.vt) {
        Eq<int>(what + ".vt", V_VT(&got), want.vt);
        return;
    }
    switch (want.vt) {
    case VT_EMPTY:
        return;
    case VT_I2:
        Eq<int>(what, V_I2(&got), static_cast<SHORT>(want.number));
        return;
    case VT_R8:
        Eq<double>(what, V_R8(&got), want.number);
        return;
    case VT_BSTR:
        Str(what, V_BSTR(&got), want.text);
        True(!V_BSTR(&got) || SysStringLen(V_BSTR(&got)) == want.text.size(), what + ": BSTR length");
        return;
    default:
        break;
    }
    const size_t count = want.vt == (VT_ARRAY | VT_R8) ? want.numbers.size() : want.texts.size();
    LONG lower = -1;
    LONG upper = -1;
    SAFEARRAY* array = V_ARRAY(&got);
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper))) {
        Fail(what + ": not a one-dimensional SAFEARRAY");
        return;
    }
    Eq<LONG>(what + " lower bound", lower, 0);
    Eq<LONG>(what + " upper bound", upper, static_cast<LONG>(count) - 1);
    if (lower != 0 || upper != static_cast<LONG>(count) - 1) return;
    for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
        const std::string at = what + "[" + std::to_string(i) + "]";
        if (want.vt == (VT_ARRAY | VT_R8)) {
            double element = 0;
            Hr(at, SafeArrayGetElement(array, &i, &element), S_OK);
            Eq<double>(at, element, want.numbers[static_cast<size_t>(i)]);
        } else {
            BSTR raw = nullptr;
            Hr(at, SafeArrayGetElement(array, &i, &raw), S_OK);
            UniqueBstr element(raw);
            Str(at, element.get(), want.texts[static_cast<size_t>(i)]);
        }
    }
}

struct ChildContext {
    ComPtr<IOPCServer> server;
    ComPtr<IOPCServerList2> browser;
};

std::string CheckGetStatus(ChildContext& c) {
    Checker check;
    ServerStatusPtr status;
    check.Hr("GetStatus", c.server->GetStatus(Out(status)), S_OK);
    if (!status) {
        check.Fail("no status returned");
        return check.result();
    }
    check.Time("ftStartTime", status->ftStartTime, kStatus.ftStartTime);
    check.Time("ftCurrentTime", status->ftCurrentTime, kStatus.ftCurrentTime);
    check.Time("ftLastUpdateTime", status->ftLastUpdateTime, kStatus.ftLastUpdateTime);
    check.Eq<int>("dwServerState", status->dwServerState, kStatus.dwServerState);
    check.Eq<DWORD>("dwGroupCount", status->dwGroupCount, kStatus.dwGroupCount);
    check.Eq<DWORD>("dwBandWidth", status->dwBandWidth, kStatus.dwBandWidth);
    check.Eq<WORD>("wMajorVersion", status->wMajorVersion, kStatus.wMajorVersion);
    check.Eq<WORD>("wMinorVersion", status->wMinorVersion, kStatus.wMinorVersion);
    check.Eq<WORD>("wBuildNumber", status->wBuildNumber, kStatus.wBuildNumber);
    check.Str("szVendorInfo", status->szVendorInfo, kVendorInfo);
    return check.result();
}

std::string CheckServerErrorString(ChildContext& c) {
    Checker check;
    for (const ErrorText& e : kErrorTexts) {
        const std::string what = "GetErrorString(" + Hex(e.code) + ", " + std::to_string(e.locale) + ")";
        CoTaskPtr<wchar_t> text;
        check.Hr(what, c.server->GetErrorString(e.code, e.locale, Out(text)), S_OK);
        check.Str(what, text.get(), e.text);
    }
    CoTaskPtr<wchar_t> text;
    check.Hr("unknown code", c.server->GetErrorString(kUnknownError, kEnglish, Out(text)), E_INVALIDARG);
    check.Null("unknown code", text.get());
    return check.result();
}

std::string CheckCommonErrorString(ChildContext& c) {
    Checker check;
    ComPtr<IOPCCommon> common;
    check.Hr("QueryInterface(IOPCCommon)", c.server.As(&common), S_OK);
    if (!common) return check.result();

    DWORD count = 0;
    CoTaskArray<LCID> locales;
    check.Hr("QueryAvailableLocaleIDs", common->QueryAvailableLocaleIDs(&count, locales.Put(0)), S_OK);
    check.Eq<DWORD>("locale count", count, 2);
    if (count == 2 && locales.Get()) {
        check.Eq<DWORD>("locale[0]", locales[0], kEnglish);
        check.Eq<DWORD>("locale[1]", locales[1], kGerman);
    }

    for (LCID locale : {kGerman, kEnglish}) {
        const std::string what = "locale " + std::to_string(locale);
        check.Hr(what + " SetLocaleID", common->SetLocaleID(locale), S_OK);
        LCID current = 0;
        check.Hr(what + " GetLocaleID", common->GetLocaleID(&current), S_OK);
        check.Eq<DWORD>(what + " GetLocaleID", current, locale);
        CoTaskPtr<wchar_t> text;
        check.Hr(what + " GetErrorString", common->GetErrorString(OPC_E_BADRIGHTS, Out(text)), S_OK);
        check.Str(what + " GetErrorString", text.get(), FindErrorText(OPC_E_BADRIGHTS, locale)->text);
    }
    check.Hr("SetLocaleID(unsupported)", common->SetLocaleID(kJapanese), E_INVALIDARG);
    CoTaskPtr<wchar_t> text;
    check.Hr("unknown code", common->GetErrorString(kUnknownError, Out(text)), E_INVALIDARG);
    check.Null("unknown code", text.get());
    return check.result();
}

std::string CheckGroupState(ChildContext& c) {
    Checker check;
    ComPtr<IUnknown> unknown;
    check.Hr("GetGroupByName", c.server->GetGroupByName(kGroupName.data(), IID_IOPCGroupStateMgt, &unknown),
             S_OK);
    ComPtr<IOPCGroupStateMgt> group;
    if (unknown) check.Hr("QueryInterface(IOPCGroupStateMgt)", unknown.As(&group), S_OK);
    if (!group) {
        check.Fail("no group");
        return check.result();
    }
    GroupState got{};
    CoTaskPtr<wchar_t> name;
    check.Hr("GetState",
             group->GetState(&got.updateRate, &got.active, Out(name), &got.timeBias, &got.deadband, &got.lcid,
                             &got.client, &got.server),
             S_OK);
    check.Str("ppName", name.get(), kGroupName);
    check.Eq<DWORD>("pUpdateRate", got.updateRate, kGroupState.updateRate);
    check.Eq<BOOL>("pActive", got.active, kGroupState.active);
    check.Eq<LONG>("pTimeBias", got.timeBias, kGroupState.timeBias);
    check.Eq<FLOAT>("pPercentDeadband", got.deadband, kGroupState.deadband);
    check.Eq<DWORD>("pLCID", got.lcid, kGroupState.lcid);
    check.Eq<OPCHANDLE>("phClientGroup", got.client, kGroupState.client);
    check.Eq<OPCHANDLE>("phServerGroup", got.server, kGroupState.server);
    return check.result();
}

std::string CheckGetItemID(ChildContext& c) {
    Checker check;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    check.Hr("QueryInterface(IOPCBrowseServerAddressSpace)", c.server.As(&browse), S_OK);
    if (!browse) return check.result();
    wchar_t leaf[] = L"Tank1.Level";
    CoTaskPtr<wchar_t> id;
    check.Hr("GetItemID", browse->GetItemID(leaf, Out(id)), S_OK);
    check.Str("GetItemID", id.get(), kItemID);
    wchar_t unknown[] = L"Pump7";
    CoTaskPtr<wchar_t> none;
    check.Hr("GetItemID(unknown)", browse->GetItemID(unknown, Out(none)), OPC_E_UNKNOWNITEMID);
    check.Null("GetItemID(unknown)", none.get());
    return check.result();
}

std::wstring ItemIdBuffer() {
    return std::wstring(kItemID);
}

std::string CheckQueryAvailableProperties(ChildContext& c) {
    Checker check;
    ComPtr<IOPCItemProperties> properties;
    check.Hr("QueryInterface(IOPCItemProperties)", c.server.As(&properties), S_OK);
    if (!properties) return check.result();
    std::wstring item = ItemIdBuffer();
    DWORD count = 0;
    CoTaskArray<DWORD> ids;
    CoTaskArray<LPWSTR> descriptions;
    CoTaskArray<VARTYPE> types;
    HRESULT hr = properties->QueryAvailableProperties(item.data(), &count, ids.Put(0), descriptions.Put(0),
                                                      types.Put(0));
    ids.SetCount(count);
    descriptions.SetCount(count);
    types.SetCount(count);
    check.Hr("QueryAvailableProperties", hr, S_OK);
    check.Eq<DWORD>("count", count, static_cast<DWORD>(std::size(kProperties)));
    if (count != std::size(kProperties) || !ids.Get() || !descriptions.Get() || !types.Get()) {
        check.Fail("arrays missing");
        return check.result();
    }
    for (DWORD i = 0; i < count; ++i) {
        const std::string at = "[" + std::to_string(i) + "]";
        check.Eq<DWORD>("id" + at, ids[i], kProperties[i].id);
        check.Str("description" + at, descriptions[i], kProperties[i].description);
        check.Eq<int>("type" + at, types[i], kProperties[i].value.vt);
    }
    return check.result();
}

std::string CheckGetItemProperties(ChildContext& c) {
    Checker check;
    ComPtr<IOPCItemProperties> properties;
    check.Hr("QueryInterface(IOPCItemProperties)", c.server.As(&properties), S_OK);
    if (!properties) return check.result();
    std::wstring item = ItemIdBuffer();
    DWORD ids[] = {OPC_PROP_UNIT, kVendorProperty, kUnknownProperty, OPC_PROP_CDT, OPC_PROP_HIEU};
    const DWORD n = static_cast<DWORD>(std::size(ids));
    CoTaskArray<VARIANT> values;
    CoTaskArray<HRESULT> errors;
    check.Hr("GetItemProperties",
             properties->GetItemProperties(item.data(), n, ids, values.Put(n), errors.Put(n)), S_FALSE);
    if (!values.Get() || !errors.Get()) {
        check.Fail("arrays missing");
        return check.result();
    }
    for (DWORD i = 0; i < n; ++i) {
        const std::string at = "property " + std::to_string(ids[i]);
        const Property* p = FindProperty(ids[i]);
        check.Hr(at, errors[i], p ? S_OK : OPC_E_INVALID_PID);
        check.Variant(at, values[i], p ? p->value : Value{});
    }

    std::wstring other = L"Plant.Nowhere";
    CoTaskArray<VARIANT> noValues;
    CoTaskArray<HRESULT> noErrors;
    check.Hr("unknown item",
             properties->GetItemProperties(other.data(), n, ids, noValues.Put(n), noErrors.Put(n)),
             OPC_E_UNKNOWNITEMID);
    check.Null("unknown item values", noValues.Get());
    check.Null("unknown item errors", noErrors.Get());
    return check.result();
}

std::string CheckLookupItemIDs(ChildContext& c) {
    Checker check;
    ComPtr<IOPCItemProperties> properties;
    check.Hr("QueryInterface(IOPCItemProperties)", c.server.As(&properties), S_OK);
    if (!properties) return check.result();
    std::wstring item = ItemIdBuffer();
    DWORD ids[] = {OPC_PROP_UNIT, OPC_PROP_CDT, kVendorProperty, kUnknownProperty, OPC_PROP_DESC};
    const DWORD n = static_cast<DWORD>(std::size(ids));
    CoTaskArray<LPWSTR> newIDs;
    CoTaskArray<HRESULT> errors;
    check.Hr("LookupItemIDs", properties->LookupItemIDs(item.data(), n, ids, newIDs.Put(n), errors.Put(n)),
             S_FALSE);
    if (!newIDs.Get() || !errors.Get()) {
        check.Fail("arrays missing");
        return check.result();
    }
    for (DWORD i = 0; i < n; ++i) {
        const std::string at = "property " + std::to_string(ids[i]);
        const Property* p = FindProperty(ids[i]);
        if (p && !p->itemSuffix.empty()) {
            check.Hr(at, errors[i], S_OK);
            check.Str(at, newIDs[i], std::wstring(kItemID) + std::wstring(p->itemSuffix));
        } else {
            check.Hr(at, errors[i], OPC_E_INVALID_PID);
            check.Null(at, newIDs[i]);
        }
    }
    return check.result();
}

std::string CheckRead(ChildContext& c) {
    Checker check;
    ComPtr<IUnknown> unknown;
    check.Hr("GetGroupByName", c.server->GetGroupByName(kGroupName.data(), IID_IOPCSyncIO, &unknown), S_OK);
    ComPtr<IOPCSyncIO> io;
    if (unknown) check.Hr("QueryInterface(IOPCSyncIO)", unknown.As(&io), S_OK);
    if (!io) {
        check.Fail("no group");
        return check.result();
    }
    OPCHANDLE handles[] = {3, kUnknownHandle, 1, 2};
    const DWORD n = static_cast<DWORD>(std::size(handles));
    CoTaskArray<OPCITEMSTATE> states;
    CoTaskArray<HRESULT> errors;
    check.Hr("Read", io->Read(OPC_DS_DEVICE, n, handles, states.Put(n), errors.Put(n)), S_FALSE);
    if (!states.Get() || !errors.Get()) {
        check.Fail("arrays missing");
        return check.result();
    }
    for (DWORD i = 0; i < n; ++i) {
        const std::string at = "handle " + std::to_string(handles[i]);
        const Item* item = FindItem(handles[i]);
        const OPCITEMSTATE& state = states[i];
        if (!item) {
            check.Hr(at, errors[i], OPC_E_INVALIDHANDLE);
            check.Eq<int>(at + " vt", V_VT(&state.vDataValue), VT_EMPTY);
            continue;
        }
        check.Hr(at, errors[i], S_OK);
        check.Eq<OPCHANDLE>(at + " hClient", state.hClient, item->client);
        check.Time(at + " ftTimeStamp", state.ftTimeStamp, item->stamp);
        check.Eq<WORD>(at + " wQuality", state.wQuality, item->quality);
        check.Variant(at + " value", state.vDataValue, item->value);
    }

    CoTaskArray<OPCITEMSTATE> noStates;
    CoTaskArray<HRESULT> noErrors;
    check.Hr("Read(invalid source)",
             io->Read(static_cast<OPCDATASOURCE>(7), n, handles, noStates.Put(n), noErrors.Put(n)),
             E_INVALIDARG);
    check.Null("Read(invalid source) states", noStates.Get());
    check.Null("Read(invalid source) errors", noErrors.Get());
    return check.result();
}

std::string CheckServerListDetails(ChildContext& c) {
    Checker check;
    ComPtr<IOPCServerList> list;
    check.Hr("QueryInterface(IOPCServerList)", c.browser.As(&list), S_OK);
    if (!list) return check.result();
    CoTaskPtr<wchar_t> progID;
    CoTaskPtr<wchar_t> userType;
    check.Hr("GetClassDetails", list->GetClassDetails(kBrowsedClass, Out(progID), Out(userType)), S_OK);
    check.Str("ppszProgID", progID.get(), kProgID);
    check.Str("ppszUserType", userType.get(), kUserType);
    return check.result();
}

std::string CheckServerList2Details(ChildContext& c) {
    Checker check;
    CoTaskPtr<wchar_t> progID;
    CoTaskPtr<wchar_t> userType;
    CoTaskPtr<wchar_t> verInd;
    check.Hr("GetClassDetails",
             c.browser->GetClassDetails(kBrowsedClass, Out(progID), Out(userType), Out(verInd)), S_OK);
    check.Str("ppszProgID", progID.get(), kProgID);
    check.Str("ppszUserType", userType.get(), kUserType);
    check.Str("ppszVerIndProgID", verInd.get(), kVerIndProgID);

    CoTaskPtr<wchar_t> p;
    CoTaskPtr<wchar_t> u;
    CoTaskPtr<wchar_t> v;
    check.Hr("GetClassDetails(unknown)", c.browser->GetClassDetails(kUnknownClass, Out(p), Out(u), Out(v)),
             REGDB_E_CLASSNOTREG);
    check.Null("GetClassDetails(unknown) ProgID", p.get());
    check.Null("GetClassDetails(unknown) user type", u.get());
    check.Null("GetClassDetails(unknown) ver-ind ProgID", v.get());
    return check.result();
}

struct ChildCheck {
    const char* name;
    std::string (*run)(ChildContext&);
};
constexpr ChildCheck kChildChecks[] = {
    {"IOPCServer::GetStatus", CheckGetStatus},
    {"IOPCServer::GetErrorString", CheckServerErrorString},
    {"IOPCCommon::GetErrorString", CheckCommonErrorString},
    {"IOPCGroupStateMgt::GetState", CheckGroupState},
    {"IOPCBrowseServerAddressSpace::GetItemID", CheckGetItemID},
    {"IOPCItemProperties::QueryAvailableProperties", CheckQueryAvailableProperties},
    {"IOPCItemProperties::GetItemProperties", CheckGetItemProperties},
    {"IOPCItemProperties::LookupItemIDs", CheckLookupItemIDs},
    {"IOPCSyncIO::Read", CheckRead},
    {"IOPCServerList::GetClassDetails", CheckServerListDetails},
    {"IOPCServerList2::GetClassDetails", CheckServerList2Details},
};

void PrintTo(const ChildCheck& check, std::ostream* os) {
    *os << check.name;
}

const ChildCheck* FindChildCheck(std::string_view name) {
    for (const ChildCheck& check : kChildChecks)
        if (name == check.name) return &check;
    return nullptr;
}

// The child's result file holds one line, "<check>\t<OK | what went wrong>".
HANDLE g_resultFile = INVALID_HANDLE_VALUE;
const char* g_runningCheck = "setup";

void WriteResult(const char* check, std::string_view outcome) noexcept {
    char line[2048];
    int n = std::snprintf(line, sizeof line, "%s\t%.*s\n", check, static_cast<int>(outcome.size()),
                          outcome.data());
    if (n < 0) return;
    DWORD written = 0;
    WriteFile(g_resultFile, line, static_cast<DWORD>(n < static_cast<int>(sizeof line) ? n : sizeof line - 1),
              &written, nullptr);
}

// A fault inside a proxy must end the child with a report, not with the crash debugger (which
// would keep the process, and the test's output pipe, alive).
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) noexcept {
    char text[64];
    std::snprintf(text, sizeof text, "crashed with exception 0x%08lX",
                  static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    WriteResult(g_runningCheck, text);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Exit code: 0 the check passed, 1 it failed, 2 it could not be run.
int RunChild(const std::wstring& marshalPath, const std::wstring& resultPath, std::string_view checkName) {
    UniqueHandle resultFile(
        CreateFileW(resultPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (resultFile.get() == INVALID_HANDLE_VALUE) return 2;
    g_resultFile = resultFile.get();
    SetUnhandledExceptionFilter(ReportCrash);

    const ChildCheck* check = FindChildCheck(checkName);
    if (!check) {
        WriteResult("setup", "unknown check");
        return 2;
    }
    ComApartment com;
    if (FAILED(com.hr())) {
        WriteResult("setup", "CoInitializeEx " + Hex(com.hr()));
        return 2;
    }
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(marshalPath, bytes) || bytes.empty()) {
        WriteResult("setup", "cannot read the marshal data");
        return 2;
    }
    ChildContext context;
    {
        ComPtr<IStream> stream;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        ULONG written = 0;
        if (SUCCEEDED(hr)) hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        if (SUCCEEDED(hr)) hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
        if (SUCCEEDED(hr)) hr = CoUnmarshalInterface(stream.Get(), IID_IOPCServer, &context.server);
        if (SUCCEEDED(hr)) hr = CoUnmarshalInterface(stream.Get(), IID_IOPCServerList2, &context.browser);
        if (FAILED(hr)) {
            WriteResult("setup", "unmarshal " + Hex(hr));
            return 2;
        }
    }
    std::string failure;
    g_runningCheck = check->name;
    try {
        failure = check->run(context);
    } catch (const std::exception& e) {
        failure = std::string("exception: ") + e.what();
    }
    WriteResult(check->name, failure.empty() ? "OK" : failure);
    return failure.empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// Tests (parent process)
// ---------------------------------------------------------------------------------------------

struct InterfaceId {
    const IID* iid;
    const char* name;
};
constexpr InterfaceId kInterfaces[] = {
    {&IID_IOPCServer, "IOPCServer"},
    {&IID_IOPCServerPublicGroups, "IOPCServerPublicGroups"},
    {&IID_IOPCBrowseServerAddressSpace, "IOPCBrowseServerAddressSpace"},
    {&IID_IOPCGroupStateMgt, "IOPCGroupStateMgt"},
    {&IID_IOPCPublicGroupStateMgt, "IOPCPublicGroupStateMgt"},
    {&IID_IOPCSyncIO, "IOPCSyncIO"},
    {&IID_IOPCAsyncIO, "IOPCAsyncIO"},
    {&IID_IOPCItemMgt, "IOPCItemMgt"},
    {&IID_IEnumOPCItemAttributes, "IEnumOPCItemAttributes"},
    {&IID_IOPCDataCallback, "IOPCDataCallback"},
    {&IID_IOPCAsyncIO2, "IOPCAsyncIO2"},
    {&IID_IOPCItemProperties, "IOPCItemProperties"},
    {&IID_IOPCShutdown, "IOPCShutdown"},
    {&IID_IOPCCommon, "IOPCCommon"},
    {&IID_IOPCServerList, "IOPCServerList"},
    {&IID_IOPCServerList2, "IOPCServerList2"},
    {&IID_IOPCEnumGUID, "IOPCEnumGUID"},
};

std::wstring GuidString(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

TEST(OpcProxyRegistration, EveryInterfaceIsServedByTheProxyDll) {
    ComApartment com;
    ASSERT_HRESULT_SUCCEEDED(com.hr());
    ASSERT_HRESULT_SUCCEEDED(kotest::RegisterProxyDll(ProxyDllPath()));

    CLSID expected{};
    ASSERT_HRESULT_SUCCEEDED(CLSIDFromString(L"" KO_OPC_PROXY_CLSID, &expected));
    for (const InterfaceId& i : kInterfaces) {
        SCOPED_TRACE(i.name);
        CLSID ps{};
        ASSERT_HRESULT_SUCCEEDED(CoGetPSClsid(*i.iid, &ps));
        EXPECT_EQ(GuidString(ps), GuidString(expected));
    }

    const std::wstring key = L"CLSID\\" + GuidString(expected) + L"\\InprocServer32";
    wchar_t server[MAX_PATH * 2] = {};
    DWORD size = sizeof(server);
    ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, server, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(CompareStringOrdinal(server, -1, ProxyDllPath().c_str(), -1, TRUE), CSTR_EQUAL)
        << Utf8(server) << " vs " << Utf8(ProxyDllPath());
}

// Copies the bytes written so far into a stream on an HGLOBAL.
std::vector<BYTE> StreamBytes(IStream* stream) {
    ULARGE_INTEGER end{};
    HGLOBAL memory = nullptr;
    if (FAILED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &end)) ||
        FAILED(GetHGlobalFromStream(stream, &memory)))
        return {};
    const BYTE* data = static_cast<const BYTE*>(GlobalLock(memory));
    if (!data) return {};
    std::vector<BYTE> bytes(data, data + end.QuadPart);
    GlobalUnlock(memory);
    return bytes;
}

// Forcibly ends the remote connections of an object when the test is over, whatever the child did.
class Disconnector {
public:
    explicit Disconnector(IUnknown* object) : object_(object) {}
    ~Disconnector() { CoDisconnectObject(object_, 0); }
    Disconnector(const Disconnector&) = delete;
    Disconnector& operator=(const Disconnector&) = delete;

private:
    IUnknown* object_;
};

std::map<std::string, std::string> ParseResults(const std::vector<BYTE>& bytes) {
    std::map<std::string, std::string> results;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        size_t tab = line.find('\t');
        if (tab != std::string_view::npos) results[std::string(line.substr(0, tab))] = line.substr(tab + 1);
    }
    return results;
}

// Each check runs in a child process of its own, so that a fault in one method's proxy code
// cannot hide the outcome of the others.
class OpcProxyCrossProcess : public testing::TestWithParam<ChildCheck> {
protected:
    // Marshals the test objects, runs the child for `check` and collects its result line.
    void RunChild(const char* check) {
        ComPtr<TestServer> server = Make<TestServer>();
        ComPtr<TestBrowser> browser = Make<TestBrowser>();
        Disconnector serverLink(static_cast<IOPCServer*>(server.Get()));
        Disconnector groupLink(server->group());
        Disconnector browserLink(static_cast<IOPCServerList2*>(browser.Get()));

        TempFile marshalFile;
        TempFile resultFile;
        ASSERT_FALSE(marshalFile.path().empty());
        ASSERT_FALSE(resultFile.path().empty());
        {
            ComPtr<IStream> stream;
            ASSERT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream));
            ASSERT_HRESULT_SUCCEEDED(CoMarshalInterface(stream.Get(), IID_IOPCServer,
                                                        static_cast<IOPCServer*>(server.Get()), MSHCTX_LOCAL,
                                                        nullptr, MSHLFLAGS_NORMAL));
            ASSERT_HRESULT_SUCCEEDED(CoMarshalInterface(stream.Get(), IID_IOPCServerList2,
                                                        static_cast<IOPCServerList2*>(browser.Get()),
                                                        MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL));
            std::vector<BYTE> bytes = StreamBytes(stream.Get());
            ASSERT_FALSE(bytes.empty());
            ASSERT_TRUE(WriteWholeFile(marshalFile.path(), bytes.data(), static_cast<DWORD>(bytes.size())));
        }

        const std::wstring exe = kotest::ExecutablePath();
        std::wstring name(check, check + std::strlen(check));
        std::wstring commandLine = L"\"" + exe + L"\" " + kChildSwitchW + L" \"" + marshalFile.path() +
                                   L"\" \"" + resultFile.path() + L"\" \"" + name + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &info))
            << "CreateProcess error " << GetLastError();
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);

        // Calls arrive on the apartment's RPC threads: this thread only waits.
        if (WaitForSingleObject(process.get(), kChildTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 99);
            WaitForSingleObject(process.get(), 5'000);
            FAIL() << "the child did not finish within " << kChildTimeoutMs << " ms";
        }
        ASSERT_TRUE(GetExitCodeProcess(process.get(), &exitCode_));
        std::vector<BYTE> bytes;
        ASSERT_TRUE(ReadWholeFile(resultFile.path(), bytes));
        results_ = ParseResults(bytes);
    }

    DWORD exitCode_ = 0;
    std::map<std::string, std::string> results_;
};

TEST_P(OpcProxyCrossProcess, ChildCallsThroughTheProxies) {
    ComApartment com;
    ASSERT_HRESULT_SUCCEEDED(com.hr());
    ASSERT_HRESULT_SUCCEEDED(kotest::RegisterProxyDll(ProxyDllPath()));

    const char* check = GetParam().name;
    RunChild(check);
    if (HasFatalFailure()) return;

    const auto setup = results_.find("setup");
    ASSERT_TRUE(setup == results_.end()) << "the child could not run: " << setup->second;
    const auto result = results_.find(check);
    ASSERT_TRUE(result != results_.end()) << "the child did not report (exit code " << exitCode_ << ")";
    EXPECT_EQ(result->second, "OK");
    EXPECT_EQ(exitCode_, 0u);
}

INSTANTIATE_TEST_SUITE_P(Checks, OpcProxyCrossProcess, testing::ValuesIn(kChildChecks),
                         [](const testing::TestParamInfo<ChildCheck>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == ':') c = '_';
                             return name;
                         });

} // namespace

// This executable is also the child process of the cross-process test; otherwise the usual
// GoogleTest entry (this main takes the place of the one in gtest_main).
int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == kChildSwitch) {
        int count = 0;
        std::unique_ptr<LPWSTR, LocalFreer> args(CommandLineToArgvW(GetCommandLineW(), &count));
        if (!args || count != 5) return 3;
        return RunChild(args.get()[2], args.get()[3], Utf8(args.get()[4]));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
