#pragma once
// String containers of the foundation:
//
//   TKoStrings       ordered strings (unsorted, duplicates allowed), each with an optional object;
//                    case-insensitive search, change notifications, text form with one line per
//                    string
//   ├─ TKoStringList the CSV codec (AsCSV) and, optionally, ownership of the objects
//   └─ TKoStringTable rows of cells, each row one CSV line; cell access, column names, comment
//                    rows, a variant form and a text file form
//
// Every index outside the list fails with EKoStringListError "List index out of bounds (%d)".

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <typeinfo>
#include <vector>

#include "KoExceptions.h"
#include "KoOle.h"
#include "KoPersistent.h"

// The string list error: an index outside 0 .. Count - 1 ("List index out of bounds (%d)"),
// an object asked for as a type it was not stored as, a stream that cannot be read or written.
class EKoStringListError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoStringListError"; }
};

// Raises the string list error for an index outside a list: "List index out of bounds (%d)".
[[noreturn]] void KoStringListIndexError(int Index);

// The string table's errors: a missing cell, a duplicate row.
class EKoStringTableError : public EKoStringListError {
public:
    using EKoStringListError::EKoStringListError;
    const wchar_t* ClassName() const noexcept override { return L"EKoStringTableError"; }
};

class TKoStrings;
// Sender is the list that changes.
using TKoStringsEvent = std::function<void(TKoStrings* Sender)>;

// An object attached to a string: the pointer, the type it was stored as and how to delete it
// (used only by lists that own their objects).
struct TKoStringObject {
    void* Ptr = nullptr;
    const std::type_info* Type = nullptr;
    void (*Free)(void*) = nullptr;

    template <class T> static TKoStringObject Of(T* AObject) {
        if (!AObject) return {};
        return {static_cast<void*>(AObject), &typeid(T), [](void* P) { delete static_cast<T*>(P); }};
    }
};

class TKoStrings : public TKoPersistentBase {
public:
    TKoStrings() = default;
    TKoStrings(std::initializer_list<std::wstring> ALines);
    // Copies the strings and their object references; not the event handlers.
    TKoStrings(const TKoStrings& Other);
    TKoStrings& operator=(const TKoStrings& Other);

    const wchar_t* ClassName() const override { return L"TKoStrings"; }

    int Count() const { return static_cast<int>(FLines.size()); }
    const std::wstring& Strings(int Index) const;
    void SetStrings(int Index, const std::wstring& Value);
    const std::vector<std::wstring>& Lines() const { return FLines; }

    // Appends a string and returns its index.
    int Add(const std::wstring& Value);
    // Inserts before Index; Index may be Count (append).
    void Insert(int Index, const std::wstring& Value);
    template <class T> int AddObject(const std::wstring& Value, T* AObject) {
        InsertItem(Count(), Value, TKoStringObject::Of(AObject));
        return Count() - 1;
    }
    template <class T> void InsertObject(int Index, const std::wstring& Value, T* AObject) {
        InsertItem(Index, Value, TKoStringObject::Of(AObject));
    }
    virtual void Delete(int Index);
    virtual void Clear();

    // The object of a string, asked for as the type it was stored as (nullptr when it has none);
    // another type fails with EKoStringListError.
    template <class T> T* Objects(int Index) const {
        const TKoStringObject& Object = ObjectAt(Index);
        if (!Object.Ptr) return nullptr;
        if (*Object.Type != typeid(T)) ObjectTypeError(Index);
        return static_cast<T*>(Object.Ptr);
    }
    bool HasObject(int Index) const { return ObjectAt(Index).Ptr != nullptr; }
    // Attaches another object (or none). A list that owns its objects deletes the one replaced.
    template <class T> void SetObjects(int Index, T* AObject) {
        PutObject(Index, TKoStringObject::Of(AObject));
    }
    void SetObjects(int Index, std::nullptr_t) { PutObject(Index, {}); }
    // The first string holding that object, or -1.
    int IndexOfObject(const void* AObject) const;

    // The first string equal to Value by the user locale's comparison ignoring letter case, or -1.
    int IndexOf(const std::wstring& Value) const;

    // Every string followed by CR LF.
    std::wstring Text() const;
    // Replaces the strings (objects dropped) by the lines of Value; CR LF, LF and CR end a line,
    // a line break at the very end adds no empty string. One change notification.
    void SetText(const std::wstring& Value);

    // Change notifications: OnChanging before and OnChange after every change of the strings or
    // objects. Between BeginUpdate and the matching EndUpdate only the opening OnChanging and the
    // closing OnChange are raised.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }
    bool IsUpdating() const { return FUpdateCount > 0; }
    TKoStringsEvent OnChange;
    TKoStringsEvent OnChanging;

    // From another string list: replaces the content with a copy of its strings and object
    // references, in one update.
    void Assign(const TKoPersistentBase* Source) override;

protected:
    // The single insertion every addition goes through.
    virtual void InsertItem(int Index, const std::wstring& Value, TKoStringObject AObject);
    virtual void PutObject(int Index, TKoStringObject AObject);
    const TKoStringObject& ObjectAt(int Index) const;
    // Removes one string without freeing its object; returns that object.
    TKoStringObject RemoveItem(int Index);
    // Copies Source's strings, and its object references when WithObjects.
    void CopyFrom(const TKoStrings& Source, bool WithObjects);
    void Changing();
    void Changed();
    void CheckIndex(int Index) const {
        if (Index < 0 || Index >= Count()) IndexError(Index);
    }
    [[noreturn]] void IndexError(int Index) const;
    [[noreturn]] void ObjectTypeError(int Index) const;

private:
    std::vector<std::wstring> FLines;
    std::vector<TKoStringObject> FObjects;
    int FUpdateCount = 0;
};

// Flags of TKoStringList::Replace.
enum TKoReplaceFlag : unsigned { rfReplaceAll = 1, rfIgnoreCase = 2 };

// A string list with the CSV codec, the system's single encoding of a list in one text.
class TKoStringList : public TKoStrings {
public:
    TKoStringList();
    TKoStringList(std::initializer_list<std::wstring> ALines);
    // Copies the strings, object references and CSV settings; the copy does not own the objects.
    TKoStringList(const TKoStringList& Other);
    TKoStringList& operator=(const TKoStringList& Other);
    // Clears the list first, so owned objects are freed.
    ~TKoStringList() override;

    const wchar_t* ClassName() const override { return L"TKoStringList"; }

    // Encoding: CSVPrefix, then the strings, each followed by CSVSeparator but the last. A string
    // holding CSVQuoteChar or CSVSeparator is wrapped in CSVQuoteChar with every CSVQuoteChar in it
    // doubled; blanks, control characters and line breaks cause no quoting. A single empty string
    // without prefix gives two quote characters; an empty list gives CSVPrefix alone.
    std::wstring AsCSV() const;
    // Decoding, in one update: CSVPrefix is skipped where the text starts with it; a quoted element
    // runs to its closing quote (or the end of the text), text after it up to the next separator
    // is an element of its own; a separator that ends the text adds an empty element; each
    // element is trimmed as CSVTrimLeft and CSVTrimRight say. An empty text gives no elements.
    void SetAsCSV(const std::wstring& Value);

    // L'\0' = never quote.
    wchar_t CSVQuoteChar() const { return FCSVQuoteChar; }
    void SetCSVQuoteChar(wchar_t Value) { FCSVQuoteChar = Value; }
    wchar_t CSVSeparator() const { return FCSVSeparator; }
    void SetCSVSeparator(wchar_t Value) { FCSVSeparator = Value; }
    const std::wstring& CSVPrefix() const { return FCSVPrefix; }
    void SetCSVPrefix(const std::wstring& Value) { FCSVPrefix = Value; }
    // Trimming removes blanks and control characters (codes up to 32).
    bool CSVTrimLeft() const { return FCSVTrimLeft; }
    void SetCSVTrimLeft(bool Value) { FCSVTrimLeft = Value; }
    bool CSVTrimRight() const { return FCSVTrimRight; }
    void SetCSVTrimRight(bool Value) { FCSVTrimRight = Value; }
    // When true the list deletes the objects of removed strings (Delete, Clear, destruction) and
    // an object replaced by SetObjects.
    bool OwnsObjects() const { return FOwnsObjects; }
    void SetOwnsObjects(bool Value) { FOwnsObjects = Value; }

    // With OwnsObjects, deletes every object first; then removes all strings.
    void Clear() override;
    // Removes the string; with OwnsObjects, deletes its object afterwards.
    void Delete(int Index) override;
    // As the base; a list that owns its objects takes the strings only (the objects stay with
    // their owner).
    void Assign(const TKoPersistentBase* Source) override;

    // The index of the last element of the longest common leading run of both lists (texts
    // compared exactly by the user locale); -1 when the first elements differ or a list is empty.
    int PathEqualsTo(const TKoStrings& CompareTo) const;
    // Removes the common leading run; nothing when there is none.
    void DropEqualStart(const TKoStrings& Source);
    // Keeps only the common leading run; nothing when there is none.
    void DropDifferentEnd(const TKoStrings& Source);
    // Replaces OldPattern by NewPattern in the text form (strings joined by line breaks), the
    // first occurrence or, with rfReplaceAll, all; rfIgnoreCase ignores letter case. The result is
    // split into strings again (objects dropped). An empty OldPattern changes nothing.
    void Replace(const std::wstring& OldPattern, const std::wstring& NewPattern, unsigned Flags);

    // The codec's encoding, with QuoteLineBreaks also quoting strings that hold CR or LF (for
    // texts that are later split into lines).
    std::wstring EncodeCSV(bool QuoteLineBreaks) const;

protected:
    void PutObject(int Index, TKoStringObject AObject) override;

private:
    void CopySettings(const TKoStringList& Other);

    wchar_t FCSVQuoteChar = L'"';
    wchar_t FCSVSeparator = L',';
    bool FCSVTrimLeft = false;
    bool FCSVTrimRight = false;
    bool FOwnsObjects = false;
    std::wstring FCSVPrefix;
};

// A grid of string cells that a table copies from and to (the windows' grid controls implement it).
class TKoStringGrid : public TKoPersistentBase {
public:
    const wchar_t* ClassName() const override { return L"TKoStringGrid"; }
    virtual int RowCount() const = 0;
    virtual void SetRowCount(int Value) = 0;
    virtual int ColCount() const = 0;
    virtual void SetColCount(int Value) = 0;
    virtual std::wstring Cells(int ACol, int ARow) const = 0;
    virtual void SetCells(int ACol, int ARow, const std::wstring& Value) = 0;
};

// What AddRow does with a row equal (ignoring letter case) to one already in the table.
enum TKoDuplicateRule { drIgnore, drAccept, drError };

// Text encodings of the table's file form.
enum TKoTextEncoding { teAnsi, teUtf8, teUtf16 };

// A table of string cells: each string of the list is one row in CSV form. The current row (see
// Rows) is a decoded copy of one row; changing it writes it back at once.
class TKoStringTable : public TKoStrings {
public:
    TKoStringTable();
    TKoStringTable(const TKoStringTable&) = delete;
    TKoStringTable& operator=(const TKoStringTable&) = delete;

    const wchar_t* ClassName() const override { return L"TKoStringTable"; }

    // Appends the encoded values as a row, unless an equal row exists (compared ignoring letter
    // case); then DuplicateRule decides. Returns the new row's index, or -1 when nothing was added.
    int AddRow(const std::vector<std::wstring>& ColValues);
    int AddRow(std::initializer_list<std::wstring> ColValues) {
        return AddRow(std::vector<std::wstring>(ColValues));
    }
    int AddRow(const TKoStrings& ColValues);
    // Inserts the encoded values as row ARowIndex (0 .. RowCount), without duplicate check.
    void InsertRow(int ARowIndex, const std::vector<std::wstring>& ColValues);
    void InsertRow(int ARowIndex, std::initializer_list<std::wstring> ColValues) {
        InsertRow(ARowIndex, std::vector<std::wstring>(ColValues));
    }
    void InsertRow(int ARowIndex, const TKoStrings& ColValues);
    // The row equal to the encoded values (ignoring letter case), or -1.
    int IndexOfRow(const std::vector<std::wstring>& ColValues) const;
    int IndexOfRow(std::initializer_list<std::wstring> ColValues) const {
        return IndexOfRow(std::vector<std::wstring>(ColValues));
    }
    int IndexOfRow(const TKoStrings& ColValues) const;
    // The first row whose cell ACol equals Value exactly, or -1; a row examined before the match
    // that has no cell ACol fails as Cells does.
    int IndexOfColumnValue(int ACol, const std::wstring& Value);

    // Copies the cells of row ARowIndex into Dest (none for an index past the end).
    void Row(int ARowIndex, TKoStrings& Dest);
    // Makes ARowIndex the current row and returns the buffer holding its cells (empty for an index
    // past the end). Changing the buffer writes it back as that row, or appends it as a new row
    // when the index is past the end (the appended row becomes the current row). A negative index
    // fails with EKoStringListError.
    TKoStringList& Rows(int ARowIndex);
    // Makes ARowIndex current and copies Value's strings into it (written back once).
    void SetRows(int ARowIndex, const TKoStrings& Value);
    // The cell count of a row (0 past the end).
    int ColumnCount(int ARowIndex);
    int RowCount() const { return Count(); }

    // A missing row or column fails with EKoStringTableError "Table index out of bounds (%d, %d)".
    std::wstring Cells(int ACol, int ARow);
    // Appends empty rows up to ARow and empty cells up to ACol, then sets the cell. A negative
    // index fails like reading.
    void SetCells(int ACol, int ARow, const std::wstring& Value);

    // Empty beyond the known names.
    std::wstring ColumnNames(int Index) const;
    // Extends the names with empty ones as needed.
    void SetColumnNames(int Index, const std::wstring& Value);
    TKoStringList& ColumnRow() { return FColumnRow; }

    // Not empty and starting with CommentChar (L'\0': no comment rows).
    bool IsCommentRow(int ARowIndex) const;
    // Deletes every empty row and every comment row.
    void RemoveComments();

    // The current row becomes none when it is deleted; later rows keep being tracked.
    void Delete(int Index) override;
    // Removes all rows and column names; no current row.
    void Clear() override;

    // The rows, each followed by CR LF.
    std::wstring AsCSV() const { return Text(); }

    // One cell (0, 0) as a string, a column as a one-dimensional array of strings, or the table as
    // a two-dimensional array of strings [column, row]; see the source for the rules.
    TKoOleVariant AsVariant();
    void SetAsVariant(const VARIANT& Value);

    // The text file form: one row per line. Loading detects a UTF-8 or UTF-16 byte-order mark,
    // else reads the system ANSI code page; a first row that starts with ColumnNameChar gives the
    // column names. Saving writes the column names first (when there are any and ColumnNameChar is
    // not L'\0'), CR LF after each line, with the byte-order mark of the encoding.
    void LoadFromStream(std::istream& Stream);
    void SaveToStream(std::ostream& Stream) const { SaveToStream(Stream, teAnsi); }
    void SaveToStream(std::ostream& Stream, TKoTextEncoding Encoding) const;

    // From a grid: clears the table and adds each grid row with AddRow; from a string list: its
    // lines become the rows.
    void Assign(const TKoPersistentBase* Source) override;
    // Only to a grid: its row count becomes RowCount, its column count grows to the widest row,
    // every cell is copied (cells a row lacks become empty).
    void AssignTo(TKoPersistentBase* Dest) const override;

    wchar_t ColumnNameChar() const { return FColumnNameChar; }
    void SetColumnNameChar(wchar_t Value) { FColumnNameChar = Value; }
    wchar_t CommentChar() const { return FCommentChar; }
    void SetCommentChar(wchar_t Value) { FCommentChar = Value; }
    int MinColumns() const { return FMinColumns; }
    void SetMinColumns(int Value) { FMinColumns = Value; }
    int MaxColumns() const { return FMaxColumns; }
    void SetMaxColumns(int Value) { FMaxColumns = Value; }
    TKoDuplicateRule DuplicateRule() const { return FDuplicateRule; }
    void SetDuplicateRule(TKoDuplicateRule Value) { FDuplicateRule = Value; }
    // The settings of the row buffer and the column names; setting them sets both.
    wchar_t CSVSeparator() const { return FRow.CSVSeparator(); }
    void SetCSVSeparator(wchar_t Value);
    wchar_t CSVQuoteChar() const { return FRow.CSVQuoteChar(); }
    void SetCSVQuoteChar(wchar_t Value);

    // The index of the row held by the row buffer; -1 = none.
    int RowIndex() const { return FRowIndex; }

protected:
    void InsertItem(int Index, const std::wstring& Value, TKoStringObject AObject) override;

private:
    std::wstring EncodeRow(const TKoStrings& ColValues) const;
    int FindRow(const std::wstring& RowText) const;
    // Decodes row ARowIndex (nothing past the end) into FRow and makes it current.
    void SelectRow(int ARowIndex);
    void RowChanged();
    [[noreturn]] void CellError(int ACol, int ARow) const;

    wchar_t FColumnNameChar = L'#';
    wchar_t FCommentChar = L'#';
    int FMaxColumns = 0;
    int FMinColumns = 0;
    TKoDuplicateRule FDuplicateRule = drIgnore;
    TKoStringList FColumnRow;
    TKoStringList FRow;
    int FRowIndex = -1;
    bool FLoadingRow = false;
};
