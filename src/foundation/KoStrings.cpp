#include "KoStrings.h"

const std::wstring& TKoStrings::Strings(int Index) const {
    if (Index < 0 || Index >= Count()) IndexError(Index);
    return FLines[static_cast<size_t>(Index)];
}

void TKoStrings::SetStrings(int Index, const std::wstring& Value) {
    if (Index < 0 || Index >= Count()) IndexError(Index);
    FLines[static_cast<size_t>(Index)] = Value;
}

int TKoStrings::Add(const std::wstring& Value) {
    Insert(Count(), Value);
    return Count() - 1;
}

void TKoStrings::Insert(int Index, const std::wstring& Value) {
    if (Index < 0 || Index > Count()) IndexError(Index);
    FLines.insert(FLines.begin() + Index, Value);
}

void TKoStrings::Delete(int Index) {
    if (Index < 0 || Index >= Count()) IndexError(Index);
    FLines.erase(FLines.begin() + Index);
}

void TKoStrings::Clear() {
    FLines.clear();
}

std::wstring TKoStrings::Text() const {
    std::wstring Result;
    for (const std::wstring& Line : FLines) {
        Result += Line;
        Result += L"\r\n";
    }
    return Result;
}

void TKoStrings::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoStrings*>(Source)) {
        if (Other == this) return;
        Clear();
        for (const std::wstring& Line : Other->FLines) Add(Line);
        return;
    }
    TKoPersistentBase::Assign(Source);
}

void TKoStrings::IndexError(int Index) const {
    throw EKoStringListError(KoFormat(L"List index out of bounds (%d)", Index));
}
