#pragma once
// The calls an explorer makes before it reads (browsing and item properties), with what they
// hand out copied into owners and freed: shared by the tests inside the server process and the
// tests across processes. "<null>" stands for a string the server left empty; Null tells that a
// call left all its out-arrays empty.

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

#include <optional>
#include <string>
#include <vector>

#include "KoOPCDA.h"
#include "KoOle.h"

namespace kotest {

inline std::wstring TakeTaskString(wchar_t* Text) {
    std::wstring Result = Text ? Text : L"<null>";
    CoTaskMemFree(Text);
    return Result;
}

struct Browsed {
    HRESULT Result = E_UNEXPECTED;
    bool Null = true; // no enumerator
    std::vector<std::wstring> Entries;
};

inline Browsed BrowseIDs(IOPCBrowseServerAddressSpace* Space, OPCBROWSETYPE Type, const wchar_t* Filter = L"",
                         VARTYPE DataType = VT_EMPTY, DWORD Rights = 0) {
    Browsed Got;
    IEnumString* Strings = nullptr;
    Got.Result = Space->BrowseOPCItemIDs(Type, Filter, DataType, Rights, &Strings);
    Got.Null = !Strings;
    if (!Strings) return Got;
    for (LPOLESTR Entry = nullptr; Strings->Next(1, &Entry, nullptr) == S_OK;)
        Got.Entries.push_back(TakeTaskString(Entry));
    Strings->Release();
    return Got;
}

inline std::wstring ItemIDOf(IOPCBrowseServerAddressSpace* Space, const wchar_t* Name, HRESULT& Result) {
    LPWSTR ID = nullptr;
    Result = Space->GetItemID(const_cast<LPWSTR>(Name), &ID);
    return TakeTaskString(ID);
}

struct PropertyValues {
    HRESULT Result = E_UNEXPECTED;
    bool Null = true;
    std::vector<HRESULT> Errors;
    std::vector<TKoOleVariant> Values;
};

// GetItemProperties of IDs; Count, when given, is passed in place of their number.
inline PropertyValues GetProperties(IOPCItemProperties* Props, const wchar_t* ItemID, std::vector<DWORD> IDs,
                                    std::optional<DWORD> Count = {}) {
    PropertyValues Got;
    VARIANT* Values = nullptr;
    HRESULT* Errors = nullptr;
    DWORD None = 0; // the proxy takes no null array, not even an empty one
    const DWORD N = Count.value_or(static_cast<DWORD>(IDs.size()));
    Got.Result = Props->GetItemProperties(const_cast<LPWSTR>(ItemID), N, IDs.empty() ? &None : IDs.data(),
                                          &Values, &Errors);
    Got.Null = !Values && !Errors;
    for (size_t I = 0; Values && Errors && I < IDs.size() && I < N; ++I) {
        Got.Errors.push_back(Errors[I]);
        Got.Values.emplace_back(Values[I]);
    }
    for (size_t I = 0; Values && I < IDs.size() && I < N; ++I) VariantClear(&Values[I]);
    CoTaskMemFree(Values);
    CoTaskMemFree(Errors);
    return Got;
}

struct Available {
    HRESULT Result = E_UNEXPECTED;
    bool Null = true;
    std::vector<DWORD> IDs;
    std::vector<std::wstring> Descriptions;
    std::vector<VARTYPE> Types;
};

inline Available QueryAvailable(IOPCItemProperties* Props, const wchar_t* ItemID) {
    Available Got;
    DWORD Count = 77;
    DWORD* IDs = nullptr;
    LPWSTR* Descriptions = nullptr;
    VARTYPE* Types = nullptr;
    Got.Result =
        Props->QueryAvailableProperties(const_cast<LPWSTR>(ItemID), &Count, &IDs, &Descriptions, &Types);
    Got.Null = !IDs && !Descriptions && !Types && Count == 0;
    for (DWORD I = 0; IDs && Descriptions && Types && I < Count; ++I) {
        Got.IDs.push_back(IDs[I]);
        Got.Descriptions.push_back(TakeTaskString(Descriptions[I]));
        Got.Types.push_back(Types[I]);
    }
    CoTaskMemFree(IDs);
    CoTaskMemFree(Descriptions);
    CoTaskMemFree(Types);
    return Got;
}

struct LookedUp {
    HRESULT Result = E_UNEXPECTED;
    bool Null = true;
    std::vector<HRESULT> Errors;
    std::vector<std::wstring> ItemIDs;
};

inline LookedUp LookupIDs(IOPCItemProperties* Props, const wchar_t* ItemID, std::vector<DWORD> IDs) {
    LookedUp Got;
    LPWSTR* NewIDs = nullptr;
    HRESULT* Errors = nullptr;
    DWORD None = 0;
    const auto Count = static_cast<DWORD>(IDs.size());
    Got.Result = Props->LookupItemIDs(const_cast<LPWSTR>(ItemID), Count, IDs.empty() ? &None : IDs.data(),
                                      &NewIDs, &Errors);
    Got.Null = !NewIDs && !Errors;
    for (DWORD I = 0; NewIDs && Errors && I < Count; ++I) {
        Got.Errors.push_back(Errors[I]);
        Got.ItemIDs.push_back(TakeTaskString(NewIDs[I]));
    }
    CoTaskMemFree(NewIDs);
    CoTaskMemFree(Errors);
    return Got;
}

} // namespace kotest
