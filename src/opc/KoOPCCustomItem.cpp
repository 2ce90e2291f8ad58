#include "KoOPCCustomItem.h"

#include <cwchar>

#include "KoVariants.h"

namespace {

// A task-memory copy of Text, or none for an empty text.
TKoTaskMem<wchar_t> TaskText(const wchar_t* Text) {
    const size_t Length = Text ? std::wcslen(Text) : 0;
    if (Length == 0) return {};
    TKoTaskMem<wchar_t> Result(Length + 1);
    wmemcpy(Result.Get(), Text, Length);
    return Result;
}

} // namespace

bool KoIsValidDataType(VARTYPE T) noexcept {
    const TKoVarDataType DataType = VarTypeToKoVarDataType(T);
    return DataType != vdtNull && DataType != vdtUnsupported;
}

TKoOPCCustomItem::TKoOPCCustomItem() noexcept {
    FOPCItemDef.bActive = TRUE;
}

std::wstring TKoOPCCustomItem::AccessPath() const {
    return KoTextOf(FOPCItemDef.szAccessPath);
}

void TKoOPCCustomItem::SetAccessPath(const std::wstring& Value) {
    if (Value == AccessPath()) return;
    FAccessPathText = TaskText(Value.c_str());
    FOPCItemDef.szAccessPath = FAccessPathText.Get();
    Config();
}

std::wstring TKoOPCCustomItem::ItemID() const {
    return KoTextOf(FOPCItemDef.szItemID);
}

void TKoOPCCustomItem::StoreItemID(const wchar_t* Value) {
    FItemIDText = TaskText(Value);
    FOPCItemDef.szItemID = FItemIDText.Get();
}

void TKoOPCCustomItem::SetItemID(const std::wstring& Value) {
    if (Value == ItemID()) return;
    StoreItemID(Value.c_str());
    Config();
}

void TKoOPCCustomItem::SetActive(bool Value) {
    if (Value == Active()) return;
    FOPCItemDef.bActive = Value ? TRUE : FALSE;
    SetItemActive(Value);
}

void TKoOPCCustomItem::SetClientHandle(OPCHANDLE Value) {
    if (Value == FOPCItemDef.hClient) return;
    FOPCItemDef.hClient = Value;
    SetItemClientHandle(Value);
}

VARTYPE TKoOPCCustomItem::DataType() {
    return FOPCItemDef.vtRequestedDataType != VT_EMPTY ? FOPCItemDef.vtRequestedDataType
                                                       : GetCanonicalDataType();
}

void TKoOPCCustomItem::SetDataType(VARTYPE Value) {
    if (Value != DataType()) SetRequestedDataType(Value);
}

void TKoOPCCustomItem::SetRequestedDataType(VARTYPE Value) {
    if (Value == FOPCItemDef.vtRequestedDataType) return;
    SetItemDataType(Value);
    FOPCItemDef.vtRequestedDataType = Value;
}
