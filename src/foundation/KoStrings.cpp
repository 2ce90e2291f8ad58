#include "KoStrings.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <utility>

#include "KoGuards.h"
#include "KoUtils.h"
#include "KoVariants.h"

namespace {

int CompareLocale(const std::wstring& A, const std::wstring& B, DWORD Flags) {
    return CompareStringEx(LOCALE_NAME_USER_DEFAULT, Flags, A.data(), static_cast<int>(A.size()), B.data(),
                           static_cast<int>(B.size()), nullptr, nullptr, 0);
}

bool SameTextIgnoringCase(const std::wstring& A, const std::wstring& B) {
    return CompareLocale(A, B, NORM_IGNORECASE) == CSTR_EQUAL;
}

std::wstring UpperCase(std::wstring Text) {
    if (!Text.empty()) CharUpperBuffW(Text.data(), static_cast<DWORD>(Text.size()));
    return Text;
}

// Blanks and control characters, as trimming sees them.
bool IsBlank(wchar_t C) {
    return C <= L' ';
}

// Splits a text at CR LF, LF or CR; a line break at the end adds no empty line.
std::vector<std::wstring> SplitLines(const std::wstring& Text) {
    std::vector<std::wstring> Lines;
    size_t Start = 0;
    size_t I = 0;
    while (I < Text.size()) {
        const wchar_t C = Text[I];
        if (C == L'\r' || C == L'\n') {
            Lines.push_back(Text.substr(Start, I - Start));
            I += (C == L'\r' && I + 1 < Text.size() && Text[I + 1] == L'\n') ? 2 : 1;
            Start = I;
        } else {
            ++I;
        }
    }
    if (Start < Text.size()) Lines.push_back(Text.substr(Start));
    return Lines;
}

} // namespace

// ---- TKoStrings ----

TKoStrings::TKoStrings(std::initializer_list<std::wstring> ALines)
    : FLines(ALines), FObjects(ALines.size()) {}

TKoStrings::TKoStrings(const TKoStrings& Other)
    : TKoPersistentBase(Other), FLines(Other.FLines), FObjects(Other.FObjects) {}

TKoStrings& TKoStrings::operator=(const TKoStrings& Other) {
    if (this != &Other) CopyFrom(Other, true);
    return *this;
}

const std::wstring& TKoStrings::Strings(int Index) const {
    CheckIndex(Index);
    return FLines[static_cast<size_t>(Index)];
}

void TKoStrings::SetStrings(int Index, const std::wstring& Value) {
    CheckIndex(Index);
    Changing();
    FLines[static_cast<size_t>(Index)] = Value;
    Changed();
}

int TKoStrings::Add(const std::wstring& Value) {
    InsertItem(Count(), Value, {});
    return Count() - 1;
}

void TKoStrings::Insert(int Index, const std::wstring& Value) {
    InsertItem(Index, Value, {});
}

void TKoStrings::InsertItem(int Index, const std::wstring& Value, TKoStringObject AObject) {
    if (Index < 0 || Index > Count()) IndexError(Index);
    Changing();
    FLines.insert(FLines.begin() + Index, Value);
    FObjects.insert(FObjects.begin() + Index, AObject);
    Changed();
}

TKoStringObject TKoStrings::RemoveItem(int Index) {
    CheckIndex(Index);
    Changing();
    const TKoStringObject Object = FObjects[static_cast<size_t>(Index)];
    FLines.erase(FLines.begin() + Index);
    FObjects.erase(FObjects.begin() + Index);
    Changed();
    return Object;
}

void TKoStrings::Delete(int Index) {
    RemoveItem(Index);
}

void TKoStrings::Clear() {
    if (FLines.empty()) return;
    Changing();
    FLines.clear();
    FObjects.clear();
    Changed();
}

const TKoStringObject& TKoStrings::ObjectAt(int Index) const {
    CheckIndex(Index);
    return FObjects[static_cast<size_t>(Index)];
}

void TKoStrings::PutObject(int Index, TKoStringObject AObject) {
    CheckIndex(Index);
    Changing();
    FObjects[static_cast<size_t>(Index)] = AObject;
    Changed();
}

int TKoStrings::IndexOfObject(const void* AObject) const {
    for (size_t I = 0; I < FObjects.size(); ++I)
        if (FObjects[I].Ptr == AObject) return static_cast<int>(I);
    return -1;
}

int TKoStrings::IndexOf(const std::wstring& Value) const {
    for (size_t I = 0; I < FLines.size(); ++I)
        if (SameTextIgnoringCase(FLines[I], Value)) return static_cast<int>(I);
    return -1;
}

std::wstring TKoStrings::Text() const {
    std::wstring Result;
    for (const std::wstring& Line : FLines) {
        Result += Line;
        Result += L"\r\n";
    }
    return Result;
}

void TKoStrings::SetText(const std::wstring& Value) {
    TKoUpdateGuard Update(*this);
    Clear();
    for (const std::wstring& Line : SplitLines(Value)) Add(Line);
}

void TKoStrings::BeginUpdate() {
    if (FUpdateCount == 0) Changing();
    ++FUpdateCount;
}

void TKoStrings::EndUpdate() {
    if (FUpdateCount == 0) return;
    if (--FUpdateCount == 0) Changed();
}

void TKoStrings::Changing() {
    if (FUpdateCount == 0 && OnChanging) OnChanging(this);
}

void TKoStrings::Changed() {
    if (FUpdateCount == 0 && OnChange) OnChange(this);
}

void TKoStrings::CopyFrom(const TKoStrings& Source, bool WithObjects) {
    // A copy first: Source may be this list or change while we clear.
    const std::vector<std::wstring> Lines = Source.FLines;
    const std::vector<TKoStringObject> Objects = Source.FObjects;
    TKoUpdateGuard Update(*this);
    Clear();
    for (size_t I = 0; I < Lines.size(); ++I)
        InsertItem(Count(), Lines[I], WithObjects ? Objects[I] : TKoStringObject{});
}

void TKoStrings::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoStrings*>(Source)) {
        if (Other == this) return;
        CopyFrom(*Other, true);
        return;
    }
    TKoPersistentBase::Assign(Source);
}

void KoStringListIndexError(int Index) {
    throw EKoStringListError(KoFormat(L"List index out of bounds (%d)", Index));
}

void TKoStrings::IndexError(int Index) const {
    KoStringListIndexError(Index);
}

void TKoStrings::ObjectTypeError(int Index) const {
    throw EKoStringListError(KoFormat(L"Object of string %d is of another type", Index));
}

// ---- TKoStringList ----

namespace {

wchar_t LocaleListSeparator() {
    const std::wstring Separator = KoListSeparator();
    return Separator.empty() ? L',' : Separator[0];
}

} // namespace

TKoStringList::TKoStringList() : FCSVSeparator(LocaleListSeparator()) {}

TKoStringList::TKoStringList(std::initializer_list<std::wstring> ALines)
    : TKoStrings(ALines), FCSVSeparator(LocaleListSeparator()) {}

TKoStringList::TKoStringList(const TKoStringList& Other) : TKoStrings(Other) {
    CopySettings(Other);
}

TKoStringList& TKoStringList::operator=(const TKoStringList& Other) {
    if (this == &Other) return *this;
    TKoUpdateGuard Update(*this);
    Clear();
    CopySettings(Other);
    CopyFrom(Other, !FOwnsObjects);
    return *this;
}

TKoStringList::~TKoStringList() {
    OnChange = nullptr;
    OnChanging = nullptr;
    Clear();
}

void TKoStringList::CopySettings(const TKoStringList& Other) {
    FCSVQuoteChar = Other.FCSVQuoteChar;
    FCSVSeparator = Other.FCSVSeparator;
    FCSVTrimLeft = Other.FCSVTrimLeft;
    FCSVTrimRight = Other.FCSVTrimRight;
    FCSVPrefix = Other.FCSVPrefix;
}

std::wstring TKoStringList::AsCSV() const {
    return EncodeCSV(false);
}

std::wstring TKoStringList::EncodeCSV(bool QuoteLineBreaks) const {
    if (FCSVPrefix.empty() && Count() == 1 && Strings(0).empty())
        return FCSVQuoteChar ? std::wstring(2, FCSVQuoteChar) : std::wstring();
    std::wstring Result = FCSVPrefix;
    for (int I = 0; I < Count(); ++I) {
        const std::wstring& Element = Strings(I);
        if (I > 0) Result += FCSVSeparator;
        const bool Quote = FCSVQuoteChar != 0 && std::any_of(Element.begin(), Element.end(), [&](wchar_t C) {
                               return C == FCSVQuoteChar || C == FCSVSeparator ||
                                      (QuoteLineBreaks && (C == L'\r' || C == L'\n'));
                           });
        if (!Quote) {
            Result += Element;
            continue;
        }
        Result += FCSVQuoteChar;
        for (wchar_t C : Element) {
            if (C == FCSVQuoteChar) Result += C;
            Result += C;
        }
        Result += FCSVQuoteChar;
    }
    return Result;
}

void TKoStringList::SetAsCSV(const std::wstring& Value) {
    TKoUpdateGuard Update(*this);
    Clear();
    const size_t Length = Value.size();
    size_t Pos = 0;
    if (!FCSVPrefix.empty() && Value.compare(0, FCSVPrefix.size(), FCSVPrefix) == 0) Pos = FCSVPrefix.size();
    while (Pos < Length) {
        std::wstring Element;
        if (FCSVQuoteChar != 0 && Value[Pos] == FCSVQuoteChar) {
            ++Pos;
            while (Pos < Length) {
                if (Value[Pos] != FCSVQuoteChar) {
                    Element += Value[Pos++];
                } else if (Pos + 1 < Length && Value[Pos + 1] == FCSVQuoteChar) {
                    Element += FCSVQuoteChar;
                    Pos += 2;
                } else {
                    ++Pos; // the closing quote
                    break;
                }
            }
        } else {
            const size_t End = std::min(Value.find(FCSVSeparator, Pos), Length);
            Element = Value.substr(Pos, End - Pos);
            Pos = End;
        }
        size_t First = 0;
        size_t Last = Element.size();
        if (FCSVTrimLeft)
            while (First < Last && IsBlank(Element[First])) ++First;
        if (FCSVTrimRight)
            while (Last > First && IsBlank(Element[Last - 1])) --Last;
        Add(Element.substr(First, Last - First));
        if (Pos < Length && Value[Pos] == FCSVSeparator) {
            if (Pos == Length - 1) Add(std::wstring());
            ++Pos;
        }
    }
}

void TKoStringList::Clear() {
    if (FOwnsObjects) {
        TKoUpdateGuard Update(*this);
        // Each object is detached before it is freed, so a failing destructor cannot free it twice.
        for (int I = 0; I < Count(); ++I) {
            const TKoStringObject Object = ObjectAt(I);
            if (!Object.Ptr) continue;
            TKoStrings::PutObject(I, {});
            Object.Free(Object.Ptr);
        }
        TKoStrings::Clear();
        return;
    }
    TKoStrings::Clear();
}

void TKoStringList::Delete(int Index) {
    const TKoStringObject Object = RemoveItem(Index);
    if (FOwnsObjects && Object.Ptr) Object.Free(Object.Ptr);
}

void TKoStringList::PutObject(int Index, TKoStringObject AObject) {
    const TKoStringObject Old = ObjectAt(Index);
    TKoStrings::PutObject(Index, AObject);
    if (FOwnsObjects && Old.Ptr && Old.Ptr != AObject.Ptr) Old.Free(Old.Ptr);
}

void TKoStringList::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoStrings*>(Source)) {
        if (Other == this) return;
        CopyFrom(*Other, !FOwnsObjects);
        return;
    }
    TKoStrings::Assign(Source);
}

int TKoStringList::PathEqualsTo(const TKoStrings& CompareTo) const {
    const int Common = std::min(Count(), CompareTo.Count());
    int Last = -1;
    while (Last + 1 < Common &&
           CompareLocale(Strings(Last + 1), CompareTo.Strings(Last + 1), 0) == CSTR_EQUAL)
        ++Last;
    return Last;
}

void TKoStringList::DropEqualStart(const TKoStrings& Source) {
    const int Last = PathEqualsTo(Source);
    if (Last < 0) return;
    TKoUpdateGuard Update(*this);
    for (int I = 0; I <= Last; ++I) Delete(0);
}

void TKoStringList::DropDifferentEnd(const TKoStrings& Source) {
    const int Last = PathEqualsTo(Source);
    if (Last < 0) return;
    TKoUpdateGuard Update(*this);
    while (Count() > Last + 1) Delete(Count() - 1);
}

void TKoStringList::Replace(const std::wstring& OldPattern, const std::wstring& NewPattern, unsigned Flags) {
    if (OldPattern.empty()) return;
    const std::wstring Source = Text();
    const bool IgnoreCase = (Flags & rfIgnoreCase) != 0;
    const std::wstring Haystack = IgnoreCase ? UpperCase(Source) : Source;
    const std::wstring Needle = IgnoreCase ? UpperCase(OldPattern) : OldPattern;
    std::wstring Result;
    size_t Pos = 0;
    for (;;) {
        const size_t Found = Haystack.find(Needle, Pos);
        if (Found == std::wstring::npos) break;
        Result.append(Source, Pos, Found - Pos);
        Result += NewPattern;
        Pos = Found + Needle.size();
        if ((Flags & rfReplaceAll) == 0) break;
    }
    Result.append(Source, Pos, std::wstring::npos);
    TKoUpdateGuard Update(*this);
    Clear();
    for (const std::wstring& Line : SplitLines(Result)) Add(Line);
}

// ---- TKoStringTable ----

TKoStringTable::TKoStringTable() {
    FRow.OnChange = [this](TKoStrings*) { RowChanged(); };
}

void TKoStringTable::SetCSVSeparator(wchar_t Value) {
    FRow.SetCSVSeparator(Value);
    FColumnRow.SetCSVSeparator(Value);
}

void TKoStringTable::SetCSVQuoteChar(wchar_t Value) {
    FRow.SetCSVQuoteChar(Value);
    FColumnRow.SetCSVQuoteChar(Value);
}

std::wstring TKoStringTable::EncodeRow(const TKoStrings& ColValues) const {
    TKoStringList Row(FRow); // the row buffer's settings
    Row.Assign(&ColValues);
    return Row.AsCSV();
}

int TKoStringTable::FindRow(const std::wstring& RowText) const {
    for (int I = 0; I < Count(); ++I)
        if (SameTextIgnoringCase(Strings(I), RowText)) return I;
    return -1;
}

namespace {

TKoStrings ListOf(const std::vector<std::wstring>& Values) {
    TKoStrings List;
    for (const std::wstring& Value : Values) List.Add(Value);
    return List;
}

} // namespace

int TKoStringTable::AddRow(const std::vector<std::wstring>& ColValues) {
    return AddRow(ListOf(ColValues));
}

int TKoStringTable::AddRow(const TKoStrings& ColValues) {
    const std::wstring RowText = EncodeRow(ColValues);
    if (FindRow(RowText) >= 0) {
        if (FDuplicateRule == drIgnore) return -1;
        if (FDuplicateRule == drError)
            throw EKoStringTableError(KoFormat(L"Row with ColValues [%s] already exists.", RowText));
    }
    return Add(RowText);
}

void TKoStringTable::InsertRow(int ARowIndex, const std::vector<std::wstring>& ColValues) {
    InsertRow(ARowIndex, ListOf(ColValues));
}

void TKoStringTable::InsertRow(int ARowIndex, const TKoStrings& ColValues) {
    Insert(ARowIndex, EncodeRow(ColValues));
}

int TKoStringTable::IndexOfRow(const std::vector<std::wstring>& ColValues) const {
    return IndexOfRow(ListOf(ColValues));
}

int TKoStringTable::IndexOfRow(const TKoStrings& ColValues) const {
    return FindRow(EncodeRow(ColValues));
}

int TKoStringTable::IndexOfColumnValue(int ACol, const std::wstring& Value) {
    for (int Row = 0; Row < Count(); ++Row)
        if (Cells(ACol, Row) == Value) return Row;
    return -1;
}

void TKoStringTable::SelectRow(int ARowIndex) {
    if (ARowIndex < 0) IndexError(ARowIndex);
    // Changes of the buffer not yet written back (an open update) are kept.
    if (ARowIndex == FRowIndex && FRow.IsUpdating()) return;
    FLoadingRow = true;
    try {
        FRowIndex = ARowIndex;
        if (ARowIndex < Count())
            FRow.SetAsCSV(Strings(ARowIndex));
        else
            FRow.Clear();
    } catch (...) {
        FLoadingRow = false;
        throw;
    }
    FLoadingRow = false;
}

void TKoStringTable::RowChanged() {
    if (FLoadingRow || FRowIndex < 0) return;
    const std::wstring RowText = FRow.AsCSV();
    if (FRowIndex < Count()) {
        SetStrings(FRowIndex, RowText);
    } else {
        // Appended once; later changes of the buffer go to the same row.
        Add(RowText);
        FRowIndex = Count() - 1;
    }
}

void TKoStringTable::Row(int ARowIndex, TKoStrings& Dest) {
    SelectRow(ARowIndex);
    Dest.Assign(&FRow);
}

TKoStringList& TKoStringTable::Rows(int ARowIndex) {
    SelectRow(ARowIndex);
    return FRow;
}

void TKoStringTable::SetRows(int ARowIndex, const TKoStrings& Value) {
    SelectRow(ARowIndex);
    FRow.Assign(&Value);
}

int TKoStringTable::ColumnCount(int ARowIndex) {
    SelectRow(ARowIndex);
    return FRow.Count();
}

void TKoStringTable::CellError(int ACol, int ARow) const {
    throw EKoStringTableError(KoFormat(L"Table index out of bounds (%d, %d)", ACol, ARow));
}

std::wstring TKoStringTable::Cells(int ACol, int ARow) {
    if (ACol < 0 || ARow < 0 || ARow >= Count()) CellError(ACol, ARow);
    SelectRow(ARow);
    if (ACol >= FRow.Count()) CellError(ACol, ARow);
    return FRow.Strings(ACol);
}

void TKoStringTable::SetCells(int ACol, int ARow, const std::wstring& Value) {
    if (ACol < 0 || ARow < 0) CellError(ACol, ARow);
    while (Count() <= ARow) Add(std::wstring());
    SelectRow(ARow);
    TKoUpdateGuard Update(FRow); // one write-back
    while (FRow.Count() < ACol + 1) FRow.Add(std::wstring());
    FRow.SetStrings(ACol, Value);
}

std::wstring TKoStringTable::ColumnNames(int Index) const {
    if (Index < 0 || Index >= FColumnRow.Count()) return {};
    return FColumnRow.Strings(Index);
}

void TKoStringTable::SetColumnNames(int Index, const std::wstring& Value) {
    if (Index < 0) IndexError(Index);
    while (FColumnRow.Count() <= Index) FColumnRow.Add(std::wstring());
    FColumnRow.SetStrings(Index, Value);
}

bool TKoStringTable::IsCommentRow(int ARowIndex) const {
    const std::wstring& RowText = Strings(ARowIndex);
    return FCommentChar != 0 && !RowText.empty() && RowText[0] == FCommentChar;
}

void TKoStringTable::RemoveComments() {
    TKoUpdateGuard Update(*this);
    for (int I = Count() - 1; I >= 0; --I)
        if (Strings(I).empty() || IsCommentRow(I)) Delete(I);
}

void TKoStringTable::InsertItem(int Index, const std::wstring& Value, TKoStringObject AObject) {
    const bool Shift = FRowIndex >= 0 && FRowIndex < Count() && Index >= 0 && Index <= FRowIndex;
    TKoStrings::InsertItem(Index, Value, AObject);
    if (Shift) ++FRowIndex;
}

void TKoStringTable::Delete(int Index) {
    CheckIndex(Index);
    if (Index == FRowIndex) {
        FRowIndex = -1;
        FLoadingRow = true;
        FRow.Clear();
        FLoadingRow = false;
    }
    TKoStrings::Delete(Index);
    if (FRowIndex > Index) --FRowIndex;
}

void TKoStringTable::Clear() {
    FRowIndex = -1;
    FLoadingRow = true;
    FRow.Clear();
    FLoadingRow = false;
    FColumnRow.Clear();
    TKoStrings::Clear();
}

// Reading: the column count is MaxColumns, or the widest row when that is 0. Below 2 columns a
// table of fewer than 2 rows gives cell (0, 0) as a string (failing like Cells when there is
// none), a longer one a one-dimensional array [0 .. RowCount - 1] of column 0. Otherwise a
// two-dimensional array [column, row]; cells a row lacks are empty strings.
TKoOleVariant TKoStringTable::AsVariant() {
    int Columns = FMaxColumns;
    if (Columns <= 0)
        for (int Row = 0; Row < Count(); ++Row) Columns = std::max(Columns, ColumnCount(Row));
    auto CellOrEmpty = [this](int ACol, int ARow) {
        SelectRow(ARow);
        return ACol < FRow.Count() ? FRow.Strings(ACol) : std::wstring();
    };
    if (Columns < 2) {
        if (Count() < 2) return TKoOleVariant(Cells(0, 0));
        TKoSafeArray Array(VT_BSTR, {{0, Count() - 1}});
        for (LONG Row = 0; Row < Count(); ++Row)
            KoSafeArrayPutVariant(Array.Get(), &Row, TKoOleVariant(CellOrEmpty(0, Row)));
        return TKoOleVariant::TakeArray(VT_BSTR, Array.Release());
    }
    TKoSafeArray Array(VT_BSTR, {{0, Columns - 1}, {0, Count() - 1}});
    for (LONG Row = 0; Row < Count(); ++Row)
        for (LONG Col = 0; Col < Columns; ++Col) {
            LONG Indices[2] = {Col, Row};
            KoSafeArrayPutVariant(Array.Get(), Indices, TKoOleVariant(CellOrEmpty(Col, Row)));
        }
    return TKoOleVariant::TakeArray(VT_BSTR, Array.Release());
}

// Writing: a one-dimensional array fills column 0 (element i to row i), a two-dimensional one
// [column, row] the cells, any other value cell (0, 0); more dimensions leave the table empty.
// Indexes are used as they are: bounds above 0 give leading empty rows or cells, negative ones
// fail like SetCells.
void TKoStringTable::SetAsVariant(const VARIANT& Value) {
    TKoUpdateGuard Update(*this);
    Clear();
    SAFEARRAY* Array = KoVariantArray(Value);
    if (!Array) {
        SetCells(0, 0, VariantToText(Value, false));
        return;
    }
    const UINT Dims = SafeArrayGetDim(Array);
    if (Dims != 1 && Dims != 2) return;
    LONG Low[2] = {0, 0};
    LONG High[2] = {-1, -1};
    for (UINT D = 0; D < Dims; ++D) {
        KoOleCheck(SafeArrayGetLBound(Array, D + 1, &Low[D]));
        KoOleCheck(SafeArrayGetUBound(Array, D + 1, &High[D]));
    }
    if (Dims == 1) {
        for (LONG I = Low[0]; I <= High[0]; ++I)
            SetCells(0, I, VariantToText(KoSafeArrayGetVariant(Array, &I), false));
        return;
    }
    for (LONG Col = Low[0]; Col <= High[0]; ++Col)
        for (LONG Row = Low[1]; Row <= High[1]; ++Row) {
            LONG Indices[2] = {Col, Row};
            SetCells(Col, Row, VariantToText(KoSafeArrayGetVariant(Array, Indices), false));
        }
}

namespace {

std::wstring DecodeBytes(const std::string& Bytes) {
    auto FromCodePage = [](UINT CodePage, const char* Data, size_t Size) {
        if (Size == 0) return std::wstring();
        const int Length = MultiByteToWideChar(CodePage, 0, Data, static_cast<int>(Size), nullptr, 0);
        std::wstring Text(static_cast<size_t>(std::max(Length, 0)), L'\0');
        if (Length > 0) MultiByteToWideChar(CodePage, 0, Data, static_cast<int>(Size), Text.data(), Length);
        return Text;
    };
    const auto* B = reinterpret_cast<const unsigned char*>(Bytes.data());
    const size_t N = Bytes.size();
    if (N >= 3 && B[0] == 0xEF && B[1] == 0xBB && B[2] == 0xBF)
        return FromCodePage(CP_UTF8, Bytes.data() + 3, N - 3);
    if (N >= 2 && ((B[0] == 0xFF && B[1] == 0xFE) || (B[0] == 0xFE && B[1] == 0xFF))) {
        const bool BigEndian = B[0] == 0xFE;
        std::wstring Text;
        Text.reserve((N - 2) / 2);
        for (size_t I = 2; I + 1 < N; I += 2)
            Text += static_cast<wchar_t>(BigEndian ? (B[I] << 8 | B[I + 1]) : (B[I + 1] << 8 | B[I]));
        return Text;
    }
    return FromCodePage(CP_ACP, Bytes.data(), N);
}

std::string EncodeText(const std::wstring& Text, TKoTextEncoding Encoding) {
    if (Encoding == teUtf16) {
        std::string Bytes = "\xFF\xFE";
        for (wchar_t C : Text) {
            Bytes += static_cast<char>(C & 0xFF);
            Bytes += static_cast<char>((C >> 8) & 0xFF);
        }
        return Bytes;
    }
    const UINT CodePage = Encoding == teUtf8 ? CP_UTF8 : CP_ACP;
    std::string Bytes = Encoding == teUtf8 ? "\xEF\xBB\xBF" : "";
    if (Text.empty()) return Bytes;
    const int Length = WideCharToMultiByte(CodePage, 0, Text.data(), static_cast<int>(Text.size()), nullptr,
                                           0, nullptr, nullptr);
    if (Length <= 0) return Bytes;
    const size_t Start = Bytes.size();
    Bytes.resize(Start + static_cast<size_t>(Length));
    WideCharToMultiByte(CodePage, 0, Text.data(), static_cast<int>(Text.size()), Bytes.data() + Start, Length,
                        nullptr, nullptr);
    return Bytes;
}

} // namespace

void TKoStringTable::LoadFromStream(std::istream& Stream) {
    std::string Bytes;
    char Buffer[4096];
    while (Stream.read(Buffer, sizeof Buffer) || Stream.gcount() > 0)
        Bytes.append(Buffer, static_cast<size_t>(Stream.gcount()));
    if (Stream.bad()) throw EKoStringListError(L"Stream read error");
    const std::wstring Text = DecodeBytes(Bytes);

    // Lines, except that a line break inside a quoted cell stays in its row (comment rows are
    // taken as they are).
    std::vector<std::wstring> Lines;
    const wchar_t Quote = FRow.CSVQuoteChar();
    const wchar_t Separator = FRow.CSVSeparator();
    size_t Pos = 0;
    while (Pos < Text.size()) {
        const bool Comment = FCommentChar != 0 && Text[Pos] == FCommentChar;
        bool Quoted = false;
        bool ElementStart = true;
        std::wstring Line;
        while (Pos < Text.size()) {
            const wchar_t C = Text[Pos];
            if (!Quoted && (C == L'\r' || C == L'\n')) break;
            if (!Comment && Quote != 0 && C == Quote) {
                if (Quoted && Pos + 1 < Text.size() && Text[Pos + 1] == Quote) {
                    Line += C;
                    ++Pos;
                } else if (Quoted || ElementStart) {
                    Quoted = !Quoted;
                }
            }
            ElementStart = !Quoted && C == Separator;
            Line += C;
            ++Pos;
        }
        Lines.push_back(std::move(Line));
        if (Pos < Text.size())
            Pos += (Text[Pos] == L'\r' && Pos + 1 < Text.size() && Text[Pos + 1] == L'\n') ? 2 : 1;
    }

    TKoUpdateGuard Update(*this);
    TKoStrings::Clear();
    FRowIndex = -1;
    FLoadingRow = true;
    FRow.Clear();
    FLoadingRow = false;
    for (const std::wstring& Line : Lines) Add(Line);
    if (FColumnNameChar != 0 && Count() > 0) {
        TKoStringList First(FRow);
        First.SetAsCSV(Strings(0));
        const std::wstring FirstText = First.AsCSV();
        if (!FirstText.empty() && FirstText[0] == FColumnNameChar) {
            FColumnRow.SetAsCSV(FirstText.substr(1));
            Delete(0);
        }
    }
}

void TKoStringTable::SaveToStream(std::ostream& Stream, TKoTextEncoding Encoding) const {
    std::wstring Text;
    if (FColumnNameChar != 0 && FColumnRow.Count() > 0) {
        Text += FColumnNameChar;
        Text += FColumnRow.EncodeCSV(true);
        Text += L"\r\n";
    }
    for (int I = 0; I < Count(); ++I) {
        const std::wstring& RowText = Strings(I);
        if (!IsCommentRow(I) && RowText.find_first_of(L"\r\n") != std::wstring::npos) {
            // A cell with a line break is quoted, so that the row loads as one row again.
            TKoStringList RowCells(FRow);
            RowCells.SetAsCSV(RowText);
            Text += RowCells.EncodeCSV(true);
        } else {
            Text += RowText;
        }
        Text += L"\r\n";
    }
    const std::string Bytes = EncodeText(Text, Encoding);
    Stream.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    Stream.flush();
    if (!Stream) throw EKoStringListError(L"Stream write error");
}

void TKoStringTable::Assign(const TKoPersistentBase* Source) {
    if (const auto* Grid = dynamic_cast<const TKoStringGrid*>(Source)) {
        TKoUpdateGuard Update(*this);
        Clear();
        for (int Row = 0; Row < Grid->RowCount(); ++Row) {
            TKoStrings Values;
            for (int Col = 0; Col < Grid->ColCount(); ++Col) Values.Add(Grid->Cells(Col, Row));
            AddRow(Values);
        }
        return;
    }
    TKoStrings::Assign(Source);
}

void TKoStringTable::AssignTo(TKoPersistentBase* Dest) const {
    auto* Grid = dynamic_cast<TKoStringGrid*>(Dest);
    if (!Grid) {
        TKoStrings::AssignTo(Dest);
        return;
    }
    // The widest row first, so that every row clears the cells it lacks.
    std::vector<TKoStringList> Decoded(static_cast<size_t>(Count()), FRow);
    int Widest = Grid->ColCount();
    for (int Row = 0; Row < Count(); ++Row) {
        Decoded[static_cast<size_t>(Row)].SetAsCSV(Strings(Row));
        Widest = std::max(Widest, Decoded[static_cast<size_t>(Row)].Count());
    }
    Grid->SetRowCount(Count());
    if (Widest > Grid->ColCount()) Grid->SetColCount(Widest);
    for (int Row = 0; Row < Count(); ++Row) {
        const TKoStringList& RowCells = Decoded[static_cast<size_t>(Row)];
        for (int Col = 0; Col < Grid->ColCount(); ++Col)
            Grid->SetCells(Col, Row, Col < RowCells.Count() ? RowCells.Strings(Col) : std::wstring());
    }
}
