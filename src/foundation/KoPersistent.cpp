#include "KoPersistent.h"

#include <share.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <filesystem>
#include <limits>
#include <sstream>

#include <windows.h>

#include "KoStrings.h"

// ---- the assign protocol ----

void TKoPersistentBase::Assign(const TKoPersistentBase* Source) {
    if (!Source) AssignError(nullptr);
    Source->AssignTo(this);
}

void TKoPersistentBase::AssignTo(TKoPersistentBase* Dest) const {
    if (!Dest) AssignError(nullptr); // nothing to name as the destination: report this class
    Dest->AssignError(this);
}

void TKoPersistentBase::AssignError(const TKoPersistentBase* Source) const {
    throw EKoAssignError(
        KoFormat(L"Cannot assign a %s to a %s", Source ? Source->ClassName() : L"nil", ClassName()));
}

namespace {

bool SameKey(const std::wstring& A, const std::wstring& B) {
    return KoSameText(A, B);
}

// Ordinal order ignoring letter case: the same on every locale, so a sorted list keeps one
// order wherever its keys were made.
int CompareKeys(const std::wstring& A, const std::wstring& B) {
    const int R = CompareStringOrdinal(A.c_str(), static_cast<int>(A.size()), B.c_str(),
                                       static_cast<int>(B.size()), TRUE);
    return R - CSTR_EQUAL;
}

std::wstring Trimmed(const std::wstring& Text) {
    size_t First = 0, Last = Text.size();
    while (First < Last && std::iswspace(Text[First])) ++First;
    while (Last > First && std::iswspace(Text[Last - 1])) --Last;
    return Text.substr(First, Last - First);
}

// Decimal, or hexadecimal after "$" or "0x", with an optional sign.
bool ParseInt64(const std::wstring& Source, int64_t& Result) {
    const std::wstring Text = Trimmed(Source);
    size_t Pos = 0;
    bool Negative = false;
    if (Pos < Text.size() && (Text[Pos] == L'-' || Text[Pos] == L'+')) Negative = Text[Pos++] == L'-';
    unsigned Base = 10;
    if (Pos < Text.size() && Text[Pos] == L'$') {
        Base = 16;
        ++Pos;
    } else if (Pos + 1 < Text.size() && Text[Pos] == L'0' &&
               (Text[Pos + 1] == L'x' || Text[Pos + 1] == L'X')) {
        Base = 16;
        Pos += 2;
    }
    if (Pos >= Text.size()) return false;
    uint64_t Magnitude = 0;
    const uint64_t Limit = Negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    for (; Pos < Text.size(); ++Pos) {
        const wchar_t C = Text[Pos];
        unsigned Digit;
        if (C >= L'0' && C <= L'9')
            Digit = C - L'0';
        else if (Base == 16 && C >= L'a' && C <= L'f')
            Digit = C - L'a' + 10;
        else if (Base == 16 && C >= L'A' && C <= L'F')
            Digit = C - L'A' + 10;
        else
            return false;
        if (Magnitude > (Limit - Digit) / Base) return false;
        Magnitude = Magnitude * Base + Digit;
    }
    Result = Negative ? static_cast<int64_t>(0 - Magnitude) : static_cast<int64_t>(Magnitude);
    return true;
}

TKoStringList CsvList(wchar_t Separator) {
    TKoStringList List;
    if (Separator != 0) List.SetCSVSeparator(Separator);
    return List;
}

// The locale's list separator, as a new string list has it.
wchar_t LocaleListSeparator() {
    return TKoStringList().CSVSeparator();
}

[[noreturn]] void NoPropertyError(const std::wstring& Name) {
    throw EKoRTTIException(KoFormat(L"TKoClassProperties: No property for PropName '%s' exist.", Name));
}

const TKoPublishedProp& PropByName(const TKoPersistentClass& Class, const std::wstring& Name) {
    const int Index = Class.IndexOfProp(Name);
    if (Index < 0) NoPropertyError(Name);
    return Class.Props[static_cast<size_t>(Index)];
}

void SetPropFromText(TKoPersistent& Instance, const TKoPublishedProp& Prop, const std::wstring& Text) {
    if (Prop.IsReadOnly()) throw EKoRTTIException(KoFormat(L"%s is ReadOnly", Prop.Name));
    Prop.SetText(Instance, Text);
}

// The text file form's lines are kept by a string table without column-name or comment rows:
// it reads the byte-order mark and the ANSI code page and writes CR LF after each line.
void PrepareLineTable(TKoStringTable& Table, wchar_t Delimiter) {
    Table.SetColumnNameChar(L'\0');
    Table.SetCommentChar(L'\0');
    Table.SetCSVSeparator(Delimiter);
}

} // namespace

// ---- published properties ----

int TKoPersistentClass::IndexOfProp(const std::wstring& AName) const {
    for (size_t I = 0; I < Props.size(); ++I)
        if (KoSameText(Props[I].Name, AName)) return static_cast<int>(I);
    return -1;
}

std::wstring TKoPersistentClass::PropNamesToCSV(wchar_t Delimiter) const {
    TKoStringList List = CsvList(Delimiter);
    for (const TKoPublishedProp& Prop : Props) List.Add(Prop.Name);
    return List.AsCSV();
}

std::wstring KoComponentPathText(const TKoComponent* AComponent) {
    if (!AComponent) return std::wstring();
    if (!AComponent->Owner() || AComponent->Owner()->Name().empty()) return AComponent->Name();
    return AComponent->Owner()->Name() + L"." + AComponent->Name();
}

namespace KoProps {

TKoPublishedProp Integer(const wchar_t* Name, std::function<int64_t(const TKoPersistent&)> Get,
                         std::function<void(TKoPersistent&, int64_t)> Set, int64_t Min, int64_t Max) {
    TKoPublishedProp Prop;
    Prop.Name = Name;
    Prop.Kind = pkInteger;
    Prop.GetText = [Get](const TKoPersistent& P) { return std::to_wstring(Get(P)); };
    if (Set)
        Prop.SetText = [Set, Min, Max, PropName = Prop.Name](TKoPersistent& P, const std::wstring& Text) {
            int64_t V = 0;
            if (!ParseInt64(Text, V))
                throw EKoRTTIException(KoFormat(L"'%s' is not a valid integer value", Text));
            if (Max >= Min && (V < Min || V > Max))
                throw EKoRTTIException(
                    KoFormat(L"Property \"%s\": Value %d out of range (%d..%d)", PropName, V, Min, Max));
            Set(P, V);
        };
    return Prop;
}

TKoPublishedProp Enumeration(const wchar_t* Name, std::vector<std::wstring> Names,
                             std::function<int(const TKoPersistent&)> Get,
                             std::function<void(TKoPersistent&, int)> Set) {
    TKoPublishedProp Prop;
    Prop.Name = Name;
    Prop.Kind = pkEnumeration;
    Prop.GetText = [Get, Names](const TKoPersistent& P) {
        const int V = Get(P);
        return V >= 0 && V < static_cast<int>(Names.size()) ? Names[static_cast<size_t>(V)]
                                                            : KoFormat(L"Invalid <%d>", V);
    };
    if (Set)
        Prop.SetText = [Set, Names, PropName = Prop.Name](TKoPersistent& P, const std::wstring& Text) {
            for (size_t I = 0; I < Names.size(); ++I)
                if (KoSameText(Names[I], Trimmed(Text))) {
                    Set(P, static_cast<int>(I));
                    return;
                }
            int64_t V = 0;
            if (!ParseInt64(Text, V))
                throw EKoRTTIException(
                    KoFormat(L"TKoEnumRTTIProp.SetValueAsString: Invalid Value '%s'", Text));
            const int64_t Max = static_cast<int64_t>(Names.size()) - 1;
            if (V < 0 || V > Max)
                throw EKoRTTIException(
                    KoFormat(L"Property \"%s\": Value %d out of range (%d..%d)", PropName, V, 0, Max));
            Set(P, static_cast<int>(V));
        };
    return Prop;
}

TKoPublishedProp Boolean(const wchar_t* Name, std::function<bool(const TKoPersistent&)> Get,
                         std::function<void(TKoPersistent&, bool)> Set) {
    TKoPublishedProp Prop = Enumeration(
        Name, {L"False", L"True"}, [Get](const TKoPersistent& P) { return Get(P) ? 1 : 0; },
        Set ? std::function<void(TKoPersistent&, int)>([Set](TKoPersistent& P, int V) { Set(P, V != 0); })
            : nullptr);
    Prop.Kind = pkBoolean;
    return Prop;
}

TKoComponent* FindComponentForText(const TKoPersistent& Instance, const std::wstring& Text,
                                   const std::function<bool(const TKoComponent*)>& IsOfClass) {
    if (Text.empty() || Text == L"(none)") return nullptr;
    TKoComponent* Found = nullptr;
    if (TKoComponent* Context = Instance.LookupContext()) {
        // A plain name among the context's components, "Owner.Name" among its siblings'.
        const size_t Dot = Text.rfind(L'.');
        if (Dot == std::wstring::npos) {
            Found = Context->FindComponent(Text);
        } else if (KoSameText(Context->Name(), Text.substr(0, Dot))) {
            Found = Context->FindComponent(Text.substr(Dot + 1));
        } else if (TKoComponent* Top = Context->Owner()) {
            if (TKoComponent* Module = Top->FindComponent(Text.substr(0, Dot)))
                Found = Module->FindComponent(Text.substr(Dot + 1));
        }
    }
    if (!Found || !IsOfClass(Found)) throw EKoRTTIException(KoFormat(L"Component \"%s\" not found", Text));
    return Found;
}

void CheckComponentClass(const TKoComponent* AComponent,
                         const std::function<bool(const TKoComponent*)>& IsOfClass) {
    if (AComponent && !IsOfClass(AComponent))
        throw EKoRTTIException(KoFormat(L"Object '%s' is not of the property's class", AComponent->Name()));
}

TKoPublishedProp String(const wchar_t* Name, std::function<std::wstring(const TKoPersistent&)> Get,
                        std::function<void(TKoPersistent&, const std::wstring&)> Set) {
    TKoPublishedProp Prop;
    Prop.Name = Name;
    Prop.Kind = pkString;
    Prop.GetText = std::move(Get);
    Prop.SetText = std::move(Set);
    return Prop;
}

} // namespace KoProps

// ---- TKoPersistent ----

const TKoPersistentClass& TKoPersistent::StaticClass() {
    static const TKoPersistentClass Class = TKoPersistentClass::Of<TKoPersistent>(L"TKoPersistent", {});
    return Class;
}

void TKoPersistent::Assign(const TKoPersistentBase* Source) {
    if (dynamic_cast<const TKoPersistent*>(Source)) return; // nothing of its own to copy
    TKoPersistentBase::Assign(Source);
}

void TKoPersistent::DoConfig() {
    if (OnConfig) OnConfig(GetEventSender());
}

TKoPersistentBase* TKoPersistent::GetEventSender() {
    return FEventSender ? FEventSender : this;
}

void TKoPersistent::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (Operation != opRemove || !AComponent) return;
    for (const TKoPublishedProp& Prop : ClassType().Props) {
        if (Prop.Kind != pkComponent || !Prop.GetComponent || !Prop.SetComponent) continue;
        if (Prop.GetComponent(*this) == AComponent) Prop.SetComponent(*this, nullptr);
    }
}

int TKoPersistent::Compare(const TKoPersistent* /*Other*/, TKoStrings* /*SameProps*/) const {
    return 0;
}

bool TKoPersistent::IsSimilar(const TKoPersistent* Other, TKoStrings* SameProps) const {
    Compare(Other, SameProps);
    return SameProps && SameProps->Count() > 0;
}

std::wstring TKoPersistent::GetPropText(const std::wstring& Name) const {
    return PropByName(ClassType(), Name).GetText(*this);
}

void TKoPersistent::SetPropText(const std::wstring& Name, const std::wstring& Value) {
    SetPropFromText(*this, PropByName(ClassType(), Name), Value);
}

std::wstring TKoPersistent::PropValuesToCSV(wchar_t Separator, bool IncludePropNames) const {
    TKoStringList List = CsvList(Separator);
    for (const TKoPublishedProp& Prop : ClassType().Props) {
        const std::wstring Text = Prop.GetText(*this);
        List.Add(IncludePropNames ? Prop.Name + L"=" + Text : Text);
    }
    return List.AsCSV();
}

void TKoPersistent::CSVToPropValues(const std::wstring& Text, wchar_t Separator) {
    TKoStringList List = CsvList(Separator);
    List.SetAsCSV(Text);
    const auto& Props = ClassType().Props;
    for (size_t I = 0; I < Props.size(); ++I)
        SetPropFromText(*this, Props[I], List.Strings(static_cast<int>(I)));
}

// ---- TKoPersistentList ----

TKoPersistentList::TKoPersistentList(TKoComponent* AOwner, bool AOwnsObjects,
                                     const TKoPersistentClass* AItemClass)
    : FDelimiter(LocaleListSeparator()), FOwner(AOwner), FOwnsObjects(AOwnsObjects), FItemClass(AItemClass) {
    if (!AItemClass)
        throw EKoPersistentListError(L"TKoPersistentList.Create requires a class type parameter!");
}

TKoPersistentList::~TKoPersistentList() {
    try {
        Clear();
    } catch (...) {
        // A finish handler that fails cannot stop the list from going; the items still go.
        for (auto& Entry : FItems)
            if (FOwnsObjects) delete Entry.second;
        FItems.clear();
    }
}

void TKoPersistentList::CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EKoPersistentListError(KoFormat(L"List index out of bounds (%d)", Index));
}

TKoPersistent* TKoPersistentList::Items(int Index) const {
    CheckIndex(Index);
    return FItems[static_cast<size_t>(Index)].second;
}

const std::wstring& TKoPersistentList::Keys(int Index) const {
    CheckIndex(Index);
    return FItems[static_cast<size_t>(Index)].first;
}

std::wstring TKoPersistentList::GetListKeyValue(const TKoPersistent* Item) const {
    return KoFormat(L"%08x", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Item)));
}

TKoPersistent* TKoPersistentList::CreateItem() {
    return FItemClass->Create();
}

void TKoPersistentList::ItemInit(TKoPersistent* Item) {
    Item->OnConfig = [this](TKoPersistentBase* Sender) { ItemConfig(Sender); };
    if (OnItemInit) OnItemInit(this, Item);
}

void TKoPersistentList::ItemConfig(TKoPersistentBase* Sender) {
    auto* Item = dynamic_cast<TKoPersistent*>(Sender);
    if (!Item) throw EKoInvalidCast(L"Invalid class typecast");
    if (OnItemConfig) OnItemConfig(this, Item);
}

void TKoPersistentList::ItemFinish(TKoPersistent* Item) {
    if (OnItemFinish) OnItemFinish(this, Item);
}

void TKoPersistentList::Changed() {
    if (FUpdateCount > 0) {
        FChangedInUpdate = true;
        return;
    }
    if (OnChange) OnChange(this);
}

void TKoPersistentList::BeginUpdate() {
    ++FUpdateCount;
}

void TKoPersistentList::EndUpdate() {
    if (FUpdateCount == 0) return;
    if (--FUpdateCount == 0 && FChangedInUpdate) {
        FChangedInUpdate = false;
        Changed();
    }
}

int TKoPersistentList::SortedPosition(const std::wstring& Key) const {
    const auto It =
        std::lower_bound(FItems.begin(), FItems.end(), Key, [](const auto& Entry, const std::wstring& K) {
            return CompareKeys(Entry.first, K) < 0;
        });
    return static_cast<int>(It - FItems.begin());
}

void TKoPersistentList::PutEntry(int Index, std::wstring Key, TKoPersistent* Item) {
    if (FSorted)
        Index = SortedPosition(Key);
    else if (Index < 0 || Index > Count())
        throw EKoPersistentListError(KoFormat(L"List index out of bounds (%d)", Index));
    FItems.insert(FItems.begin() + Index, {std::move(Key), Item});
    Changed();
}

int TKoPersistentList::IndexOfItemPtr(const TKoPersistent* Item) const {
    for (size_t I = 0; I < FItems.size(); ++I)
        if (FItems[I].second == Item) return static_cast<int>(I);
    return -1;
}

TKoPersistent* TKoPersistentList::Add(TKoPersistent* Item) {
    return Insert(Count(), Item);
}

TKoPersistent* TKoPersistentList::Insert(int Index, TKoPersistent* Item) {
    std::unique_ptr<TKoPersistent> Created;
    if (Item) {
        if (!FItemClass->IsInstance(Item))
            throw EKoPersistentListError(L"TKoVarLinkList.Insert: Link is not of expected class.");
        ItemInit(Item);
    } else {
        Created.reset(CreateItem());
        Item = Created.get();
        ItemInit(Item); // a failure frees the new item
    }
    std::wstring Key = GetListKeyValue(Item);
    if (IndexOfKey(Key) >= 0) {
        // A caller's item that is not in the list must not keep reporting to it.
        if (!Created && IndexOfItemPtr(Item) < 0) Item->OnConfig = nullptr;
        throw EKoPersistentListError(KoFormat(L"Insert failed: Key '%s' already exists.", Key));
    }
    if (!FSorted && (Index < 0 || Index > Count())) {
        if (!Created) Item->OnConfig = nullptr;
        CheckIndex(Index);
    }
    PutEntry(Index, std::move(Key), Item);
    Created.release();
    return Item;
}

void TKoPersistentList::Delete(int Index) {
    CheckIndex(Index);
    TKoPersistent* Item = FItems[static_cast<size_t>(Index)].second;
    ItemFinish(Item);
    // The handler may have changed the list; the entry is found again by its item.
    const int Now = IndexOfItemPtr(Item);
    if (Now < 0) return;
    FItems.erase(FItems.begin() + Now);
    // An item that stays alive must not report to a list that no longer holds it.
    Item->OnConfig = nullptr;
    Changed();
    if (FOwnsObjects) delete Item;
}

void TKoPersistentList::Clear() {
    if (FItems.empty()) return;
    BeginUpdate();
    try {
        while (!FItems.empty()) Delete(0);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TKoPersistentList::IndexOf(const TKoPersistent* Item) const {
    return Item ? IndexOfKey(GetListKeyValue(Item)) : -1;
}

int TKoPersistentList::IndexOfKey(const std::wstring& Key) const {
    if (FSorted) {
        const int Pos = SortedPosition(Key);
        return Pos < Count() && SameKey(FItems[static_cast<size_t>(Pos)].first, Key) ? Pos : -1;
    }
    for (size_t I = 0; I < FItems.size(); ++I)
        if (SameKey(FItems[I].first, Key)) return static_cast<int>(I);
    return -1;
}

TKoPersistent* TKoPersistentList::ItemByKey(const std::wstring& Key, int& Index) const {
    Index = IndexOfKey(Key);
    return Index >= 0 ? FItems[static_cast<size_t>(Index)].second : nullptr;
}

void TKoPersistentList::Move(int FromIndex, int ToIndex) {
    if (FSorted) throw EKoPersistentListError(L"Can't Move items in sorted list");
    if (FromIndex == ToIndex) return;
    CheckIndex(FromIndex);
    CheckIndex(ToIndex);
    auto Entry = FItems[static_cast<size_t>(FromIndex)];
    FItems.erase(FItems.begin() + FromIndex);
    FItems.insert(FItems.begin() + ToIndex, std::move(Entry));
    Changed();
}

void TKoPersistentList::UpdateKeyValue(TKoPersistent* Item, const std::wstring& OldKey) {
    std::wstring NewKey = GetListKeyValue(Item);
    if (SameKey(NewKey, OldKey) && NewKey == OldKey) return;
    const int Existing = IndexOfKey(NewKey);
    if (Existing >= 0 && FItems[static_cast<size_t>(Existing)].second != Item)
        throw EKoPersistentListError(KoFormat(L"Update failed: Item for Key %s already exists.", NewKey));
    if (FSorted) {
        const int Old = IndexOfKey(OldKey);
        if (Old >= 0 && FItems[static_cast<size_t>(Old)].second == Item) {
            BeginUpdate();
            FItems.erase(FItems.begin() + Old);
            Changed();
            try {
                Add(Item);
            } catch (...) {
                // The item must not get lost: it goes back under the key it had.
                PutEntry(0, OldKey, Item);
                EndUpdate();
                throw;
            }
            EndUpdate();
        }
        return;
    }
    const int Index = IndexOfItemPtr(Item);
    if (Index < 0) throw EKoPersistentListError(L"Given item does not exist in list");
    FItems[static_cast<size_t>(Index)].first = std::move(NewKey);
    Changed();
}

int TKoPersistentList::FindSimilar(int Index, TKoStrings* DupProps, bool ForwardOnly) const {
    const TKoPersistent* Item = Items(Index);
    // Each comparison fills a list of its own: names left by an earlier comparison would make
    // every later item look similar.
    if (DupProps) DupProps->Clear();
    int Result = -1;
    auto Scan = [&](int Other) {
        TKoStringList Same;
        if (!Item->IsSimilar(Items(Other), &Same)) return;
        Result = Other;
        if (DupProps) DupProps->Assign(&Same);
    };
    if (!ForwardOnly)
        for (int I = 0; I < Index; ++I) Scan(I);
    for (int I = Index + 1; I < Count(); ++I) Scan(I);
    return Result;
}

bool TKoPersistentList::HasSimilarItems() const {
    for (int I = 0; I < Count(); ++I)
        if (FindSimilar(I, nullptr, true) >= 0) return true;
    return false;
}

void TKoPersistentList::SetSorted(bool Value) {
    if (Value == FSorted) return;
    FSorted = Value;
    if (FSorted) {
        std::stable_sort(FItems.begin(), FItems.end(),
                         [](const auto& A, const auto& B) { return CompareKeys(A.first, B.first) < 0; });
        Changed();
    }
}

bool TKoPersistentList::AcceptsNotification(TKoOperation Operation) const {
    return Operation == opInsert ? FAcceptInsert : FAcceptRemove;
}

void TKoPersistentList::SetAcceptedNotifications(bool Insert, bool Remove) {
    FAcceptInsert = Insert;
    FAcceptRemove = Remove;
}

void TKoPersistentList::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (!AComponent || !AcceptsNotification(Operation)) return;
    bool Relevant = false;
    for (const TKoPublishedProp& Prop : FItemClass->Props)
        if (Prop.Kind == pkComponent && Prop.IsOfClass && Prop.IsOfClass(AComponent)) Relevant = true;
    if (!Relevant) return;
    for (int I = 0; I < Count(); ++I) Items(I)->Notification(AComponent, Operation);
}

TKoPersistent* TKoPersistentList::InsertFilled(int Index, const std::function<void(TKoPersistent&)>& Fill) {
    TKoPersistent* Item = Insert(Index, nullptr);
    try {
        Fill(*Item);
    } catch (...) {
        const int Now = IndexOfItemPtr(Item);
        if (Now >= 0) {
            FItems.erase(FItems.begin() + Now);
            Changed();
        }
        Item->OnConfig = nullptr;
        if (FOwnsObjects) delete Item;
        throw;
    }
    return Item;
}

void TKoPersistentList::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoPersistentList*>(Source)) {
        if (Other == this) return;
        BeginUpdate();
        try {
            Clear();
            for (int I = 0; I < Other->Count(); ++I) {
                const TKoPersistent* From = Other->Items(I);
                InsertFilled(Count(), [From](TKoPersistent& Item) { Item.Assign(From); });
            }
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
        return;
    }
    if (const auto* Strings = dynamic_cast<const TKoStrings*>(Source)) {
        BeginUpdate();
        try {
            Clear();
            InsertFromStrings(0, *Strings);
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
        return;
    }
    TKoPersistentBase::Assign(Source);
}

void TKoPersistentList::AssignTo(TKoPersistentBase* Dest) const {
    auto* Strings = dynamic_cast<TKoStrings*>(Dest);
    if (!Strings) {
        TKoPersistentBase::AssignTo(Dest);
        return;
    }
    const auto* List = dynamic_cast<const TKoStringList*>(Strings);
    const bool WithObjects = !(List && List->OwnsObjects());
    Strings->BeginUpdate();
    try {
        Strings->Clear();
        for (const auto& Entry : FItems) {
            const std::wstring Line = Entry.second->PropValuesToCSV(FDelimiter, false);
            if (WithObjects)
                Strings->AddObject(Line, Entry.second);
            else
                Strings->Add(Line);
        }
    } catch (...) {
        Strings->EndUpdate();
        throw;
    }
    Strings->EndUpdate();
}

void TKoPersistentList::InsertFromStrings(int Index, const TKoStrings& Strings) {
    BeginUpdate();
    try {
        for (int Line = 0; Line < Strings.Count(); ++Line) {
            const TKoPersistent* From = nullptr;
            if (Strings.HasObject(Line)) {
                try {
                    From = Strings.Objects<TKoPersistent>(Line);
                } catch (const EKoStringListError&) {
                    From = nullptr; // an object of another kind: the line's text counts
                }
            }
            const std::wstring Text = Strings.Strings(Line);
            const wchar_t Delimiter = FDelimiter;
            InsertFilled(FSorted ? Count() : Index + Line, [From, &Text, Delimiter](TKoPersistent& Item) {
                if (From)
                    Item.Assign(From);
                else
                    Item.CSVToPropValues(Text, Delimiter);
            });
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TKoPersistentList::SaveToStream(std::ostream& Stream) const {
    TKoStringTable Lines;
    PrepareLineTable(Lines, FDelimiter);
    Lines.Add(FItemClass->PropNamesToCSV(FDelimiter));
    for (const auto& Entry : FItems) Lines.Add(Entry.second->PropValuesToCSV(FDelimiter, false));
    Lines.SaveToStream(Stream, teAnsi);
}

void TKoPersistentList::LoadFromStream(std::istream& Stream) {
    TKoStringTable Lines;
    PrepareLineTable(Lines, FDelimiter);
    Lines.LoadFromStream(Stream);
    const std::wstring Expected = FItemClass->PropNamesToCSV(FDelimiter);
    std::wstring Header = Lines.Count() > 0 ? Lines.Strings(0) : std::wstring();
    Header.erase(std::remove(Header.begin(), Header.end(), L'"'), Header.end());
    if (Lines.Count() == 0 || Header != Expected)
        throw EKoRTTIException(
            KoFormat(L"The stream does not include compatible data. Expected first row: %s", Expected));
    TKoStringList Items;
    for (int I = 1; I < Lines.Count(); ++I) Items.Add(Lines.Strings(I));
    Assign(&Items);
}

void TKoPersistentList::SaveToFile(const std::wstring& FileName) const {
    std::ofstream Stream(std::filesystem::path(FileName), std::ios::binary | std::ios::trunc);
    if (!Stream) throw EKoPersistentListError(KoFormat(L"Cannot create file \"%s\"", FileName));
    SaveToStream(Stream);
}

void TKoPersistentList::LoadFromFile(const std::wstring& FileName) {
    // Others may read the file meanwhile, but not write it.
    FILE* File = _wfsopen(FileName.c_str(), L"rb", _SH_DENYWR);
    if (!File) throw EKoPersistentListError(KoFormat(L"Cannot open file \"%s\"", FileName));
    std::string Bytes;
    char Buffer[4096];
    size_t Read;
    while ((Read = std::fread(Buffer, 1, sizeof Buffer, File)) > 0) Bytes.append(Buffer, Read);
    const bool Failed = std::ferror(File) != 0;
    std::fclose(File);
    if (Failed) throw EKoPersistentListError(KoFormat(L"Cannot read file \"%s\"", FileName));
    std::istringstream Stream(Bytes);
    LoadFromStream(Stream);
}

std::vector<TKoStreamedItem> TKoPersistentList::WriteItems() const {
    std::vector<TKoStreamedItem> Result;
    for (const auto& Entry : FItems) {
        TKoStreamedItem Streamed;
        try {
            for (const TKoPublishedProp& Prop : FItemClass->Props)
                if (Prop.IsStored(*Entry.second) && !Prop.IsReadOnly())
                    Streamed.Props.emplace_back(Prop.Name, Prop.GetText(*Entry.second));
        } catch (const EKoError&) {
            // The item keeps what was written of it so far.
        }
        Result.push_back(std::move(Streamed));
    }
    return Result;
}

void TKoPersistentList::ReadItems(const std::vector<TKoStreamedItem>& Collection) {
    BeginUpdate();
    try {
        if (!Collection.empty()) Clear();
        for (const TKoStreamedItem& Streamed : Collection) {
            TKoPersistent* Item = Add(nullptr);
            for (const auto& [Name, Value] : Streamed.Props) {
                const int PropIndex = Item->ClassType().IndexOfProp(Name);
                if (PropIndex >= 0)
                    SetPropFromText(*Item, Item->ClassType().Props[static_cast<size_t>(PropIndex)], Value);
                else if (!Item->ReadDefinedProperty(Name, Value))
                    NoPropertyError(Name);
            }
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

// ---- TKoComponentNexus ----

TKoComponentNexus::~TKoComponentNexus() {
    // Freed without Free (plain delete): the report is still due.
    ReportRemoval();
}

void TKoComponentNexus::ReportRemoval() {
    if (FRemovalReported) return;
    FRemovalReported = true;
    if (OnNotify) {
        try {
            OnNotify(this, opRemove);
        } catch (...) {
            // Nothing may stop the nexus from going.
        }
    }
}

void TKoComponentNexus::BeforeDestruction() {
    ReportRemoval();
    TKoComponent::BeforeDestruction();
}

void TKoComponentNexus::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (OnNotify) OnNotify(AComponent, Operation);
    TKoComponent::Notification(AComponent, Operation);
}
