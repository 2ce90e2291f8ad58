#include "KoPersistent.h"

#include <algorithm>

#include <windows.h>

#include "KoRTTI.h"
#include "KoStrings.h"
#include "KoUtils.h"

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

// The locale's list separator, as a new string list has it.
wchar_t LocaleListSeparator() {
    return TKoStringList().CSVSeparator();
}

// The instance's registered view (its nearest registered class).
TKoRTTIObject ObjectOf(const TKoPersistent& Item) {
    return TKoRTTIObject(const_cast<TKoPersistent*>(&Item));
}

// The text file form's lines are kept by a string table without column-name or comment rows:
// it reads the byte-order mark and the ANSI code page and writes CR LF after each line.
void PrepareLineTable(TKoStringTable& Table, wchar_t Delimiter) {
    Table.SetColumnNameChar(L'\0');
    Table.SetCommentChar(L'\0');
    Table.SetCSVSeparator(Delimiter);
}

} // namespace

// ---- TKoPersistent ----

const TKoRTTIClass* TKoPersistent::RTTIClass() const {
    auto* Self = const_cast<TKoPersistent*>(this);
    return KoRTTIResolve(typeid(*this), dynamic_cast<void*>(Self), nullptr, Self, L"TKoPersistent").Class;
}

const wchar_t* TKoPersistent::ClassName() const {
    // Registered classes live as long as the process.
    return RTTIClass()->Name().c_str();
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
    TKoInstanceProperties Props(ObjectOf(*this));
    for (int I = 0; I < Props.Count(); ++I) {
        auto* Prop = dynamic_cast<TKoComponentRTTIProp*>(Props.Props(I));
        if (Prop && !Prop->IsReadOnly() && Prop->AsComponent() == AComponent) Prop->SetToNil();
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
    return TKoInstanceProperties(ObjectOf(*this)).PropByName(Name)->GetValueAsString();
}

void TKoPersistent::SetPropText(const std::wstring& Name, const std::wstring& Value) {
    TKoInstanceProperties(ObjectOf(*this)).PropByName(Name)->SetValueAsString(Value);
}

std::wstring TKoPersistent::PropValuesToCSV(wchar_t Separator, bool IncludePropNames) const {
    return ObjectToCSV(ObjectOf(*this), Separator, IncludePropNames);
}

void TKoPersistent::CSVToPropValues(const std::wstring& Text, wchar_t Separator) {
    CSVToObject(Text, ObjectOf(*this), Separator);
}

// ---- TKoPersistentList ----

TKoPersistentList::TKoPersistentList(TKoComponent* AOwner, bool AOwnsObjects, const TKoRTTIClass* AItemClass)
    : FDelimiter(LocaleListSeparator()), FOwner(AOwner), FOwnsObjects(AOwnsObjects), FItemClass(AItemClass) {
    if (!AItemClass)
        throw EKoPersistentListError(L"TKoPersistentList.Create requires a class type parameter!");
    if (!AItemClass->InheritsFrom(KoRTTIClassOf<TKoPersistent>()))
        throw EKoPersistentListError(
            KoFormat(L"TKoPersistentList.Create: %s is no persistent item class", AItemClass->Name()));
    for (const TKoRTTIPropRecord* Prop : AItemClass->AllProps())
        if (Prop->Type->Kind == tkClass && Prop->Type->ClassIsComponent)
            FItemPropClasses.push_back(Prop->Type->ValueClass());
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
    std::unique_ptr<TKoPersistentBase> Created(FItemClass->CreatePersistent());
    auto* Item = dynamic_cast<TKoPersistent*>(Created.get());
    if (!Item) throw EKoInvalidCast(L"Invalid class typecast");
    Created.release();
    return Item;
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
        if (!FItemClass->IsInstance(static_cast<TKoPersistentBase*>(Item)))
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
    const bool Relevant =
        std::any_of(FItemPropClasses.begin(), FItemPropClasses.end(),
                    [AComponent](const TKoRTTIClass* C) { return C->IsInstance(AComponent); });
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
    Lines.Add(ClassPropNamesToCSV(FItemClass, FDelimiter));
    for (const auto& Entry : FItems) Lines.Add(Entry.second->PropValuesToCSV(FDelimiter, false));
    Lines.SaveToStream(Stream, teAnsi);
}

void TKoPersistentList::LoadFromStream(std::istream& Stream) {
    TKoStringTable Lines;
    PrepareLineTable(Lines, FDelimiter);
    Lines.LoadFromStream(Stream);
    const std::wstring Expected = ClassPropNamesToCSV(FItemClass, FDelimiter);
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
    KoSaveToFile<EKoPersistentListError>(FileName, [this](std::ostream& Stream) { SaveToStream(Stream); });
}

void TKoPersistentList::LoadFromFile(const std::wstring& FileName) {
    KoLoadFromFile<EKoPersistentListError>(FileName,
                                           [this](std::istream& Stream) { LoadFromStream(Stream); });
}

std::vector<TKoStreamedItem> TKoPersistentList::WriteItems() const {
    std::vector<TKoStreamedItem> Result;
    for (const auto& Entry : FItems) {
        TKoStreamedItem Streamed;
        try {
            TKoInstanceProperties Props(ObjectOf(*Entry.second));
            for (int I = 0; I < Props.Count(); ++I) {
                TKoRTTIProp* Prop = Props.Props(I);
                if (!Prop->IsReadOnly() && Prop->IsStored())
                    Streamed.Props.emplace_back(Prop->Name(), Prop->GetValueAsString());
            }
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
            TKoInstanceProperties Props(ObjectOf(*Item));
            for (const auto& [Name, Value] : Streamed.Props) {
                const int PropIndex = Props.IndexOfName(Name);
                if (PropIndex >= 0)
                    Props.Props(PropIndex)->SetValueAsString(Value);
                else if (!Item->ReadDefinedProperty(Name, Value))
                    Props.PropByName(Name); // fails with the missing name
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
