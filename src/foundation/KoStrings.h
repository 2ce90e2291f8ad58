#pragma once
// An ordered list of strings (unsorted, duplicates allowed) on the persistent base. It holds what
// the activity log and the log-line routine need; the CSV string list and the string table derive
// from it and add objects, search and the codec.

#include <string>
#include <vector>

#include "KoExceptions.h"
#include "KoPersistent.h"

// The string list error: an index outside 0 .. Count - 1 ("List index out of bounds (%d)").
class EKoStringListError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoStringListError"; }
};

class TKoStrings : public TKoPersistentBase {
public:
    TKoStrings() = default;
    TKoStrings(const TKoStrings&) = default;
    TKoStrings& operator=(const TKoStrings&) = default;
    TKoStrings(std::initializer_list<std::wstring> ALines) : FLines(ALines) {}

    const wchar_t* ClassName() const override { return L"TKoStrings"; }

    int Count() const { return static_cast<int>(FLines.size()); }
    const std::wstring& Strings(int Index) const;
    void SetStrings(int Index, const std::wstring& Value);
    const std::vector<std::wstring>& Lines() const { return FLines; }

    // Appends a string and returns its index.
    int Add(const std::wstring& Value);
    // Inserts before Index; Index may be Count (append).
    virtual void Insert(int Index, const std::wstring& Value);
    virtual void Delete(int Index);
    virtual void Clear();

    // Every string followed by CR LF.
    std::wstring Text() const;

    // From another string list: replaces the content with a copy of its strings.
    void Assign(const TKoPersistentBase* Source) override;

protected:
    [[noreturn]] void IndexError(int Index) const;

private:
    std::vector<std::wstring> FLines;
};
