#include "KoStringTree.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "KoClasses.h"
#include "KoGuards.h"
#include "KoUtils.h"

namespace {

constexpr wchar_t LevelBase = L'a';

// The string lists keep an object's type with it, and only their own class can insert or read
// such a type-erased object. The tree hands objects to and from lists unchanged, so it reaches
// those members through this accessor.
struct TStringsAccess : TKoStrings {
    static void AddItem(TKoStrings& List, const std::wstring& Value, TKoStringObject AObject) {
        (List.*(&TStringsAccess::InsertItem))(List.Count(), Value, AObject);
    }
    static const TKoStringObject& ObjectOf(const TKoStrings& List, int Index) {
        return (List.*(&TStringsAccess::ObjectAt))(Index);
    }
};

int CompareIgnoringCase(const std::wstring& A, const std::wstring& B) {
    return CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, A.data(), static_cast<int>(A.size()),
                           B.data(), static_cast<int>(B.size()), nullptr, nullptr, 0);
}

// The line container of the file form: plain lines, no comments, no quoting, no column names.
void PrepareLineTable(TKoStringTable& Table) {
    Table.SetColumnNameChar(L'\0');
    Table.SetCommentChar(L'\0');
    Table.SetCSVQuoteChar(L'\0');
}

} // namespace

TKoStringTree::TKoStringTree() {
    FStrings.OnChanging = [this](TKoStrings*) { DoChanging(); };
    FStrings.OnChange = [this](TKoStrings*) { DoChange(); };
}

TKoStringTree::~TKoStringTree() {
    // Listeners may belong to a derived object that is already gone.
    OnChange = nullptr;
    OnChanging = nullptr;
    FStrings.OnChange = nullptr;
    FStrings.OnChanging = nullptr;
    while (FStrings.Count() > 0) TKoStringTree::DoDelete(FStrings.Count() - 1);
}

// ---- settings ----

void TKoStringTree::SetPathSeparator(wchar_t Value) {
    FPathSeparator = Value;
    DropPathIndex();
}

void TKoStringTree::SetPrefix(const std::wstring& Value) {
    FPrefix = Value;
    DropPathIndex();
}

void TKoStringTree::SetQuoteChar(wchar_t Value) {
    FQuoteChar = Value;
    DropPathIndex();
}

void TKoStringTree::SetSorted(bool Value) {
    if (Value == FSorted) return;
    if (Count() > 0) throw EKoStringListError(L"Cannot change Sorted for a non-empty tree");
    FSorted = Value;
}

void TKoStringTree::WriteOptions(TKoStrings& Strings) const {
    if (FPathSeparator) Strings.Add(std::wstring(L"PathSeparator=") + FPathSeparator);
    if (FQuoteChar) Strings.Add(std::wstring(L"QuoteChar=") + FQuoteChar);
    if (FCommentChar) Strings.Add(std::wstring(L"CommentChar=") + FCommentChar);
    if (!FPrefix.empty()) Strings.Add(L"Prefix=" + FPrefix);
}

std::wstring TKoStringTree::GetOptions() const {
    TKoStringList Entries;
    Entries.SetCSVSeparator(L';');
    Entries.SetCSVQuoteChar(L'"');
    WriteOptions(Entries);
    return Entries.AsCSV();
}

void TKoStringTree::ReadOptions(const TKoStrings& Strings) {
    for (int I = 0; I < Strings.Count(); ++I) {
        const std::wstring& Entry = Strings.Strings(I);
        const size_t Equal = Entry.find(L'=');
        if (Equal == std::wstring::npos) continue;
        const std::wstring Name = Entry.substr(0, Equal);
        const std::wstring Value = Entry.substr(Equal + 1);
        if (KoSameText(Name, L"PathSeparator")) {
            if (Value.size() == 1) SetPathSeparator(Value[0]);
        } else if (KoSameText(Name, L"QuoteChar")) {
            if (Value.size() == 1)
                SetQuoteChar(Value[0]);
            else if (Value.empty())
                SetQuoteChar(L'\0');
        } else if (KoSameText(Name, L"CommentChar")) {
            if (Value.size() == 1) SetCommentChar(Value[0]);
        } else if (KoSameText(Name, L"Prefix")) {
            if (!Value.empty()) SetPrefix(Value);
        }
    }
}

void TKoStringTree::SetOptions(const std::wstring& Value) {
    TKoStringList Entries;
    Entries.SetCSVSeparator(L';');
    Entries.SetCSVQuoteChar(L'"');
    Entries.SetAsCSV(Value);
    ReadOptions(Entries);
}

// ---- entries ----

TKoStringTreeNode* TKoStringTree::Node(int Index) const {
    if (Index < 0 || Index >= Count()) KoStringListIndexError(Index);
    return FStrings.Objects<TKoStringTreeNode>(Index);
}

TKoStringTreeNode* TKoStringTree::Nodes(int Index) const {
    return Node(Index);
}

std::wstring TKoStringTree::Strings(int Index) const {
    if (Index == -1) return {};
    return FStrings.Strings(Index).substr(1);
}

void TKoStringTree::SetStrings(int Index, const std::wstring& Name) {
    const TKoStringTreeNode* Entry = Node(Index);
    FStrings.SetStrings(Index, static_cast<wchar_t>(LevelBase + Entry->FLevel) + Name);
    DropPathIndex();
}

const TKoStringObject& TKoStringTree::ObjectAt(int Index) const {
    return Node(Index)->FDataObject;
}

void TKoStringTree::PutObject(int Index, TKoStringObject AObject) {
    TKoStringTreeNode* Entry = Node(Index);
    const TKoStringObject Old = Entry->FDataObject;
    Entry->FDataObject = AObject;
    if (FOwnsObjects && Old.Ptr != AObject.Ptr) FreeDataObject(Old);
}

void TKoStringTree::FreeDataObject(const TKoStringObject& AObject) const {
    if (AObject.Ptr && AObject.Free) AObject.Free(AObject.Ptr);
}

std::unique_ptr<TKoStringTreeNode> TKoStringTree::CreateTreeNode(int AParentID) {
    return std::make_unique<TKoStringTreeNode>(this, AParentID);
}

// ---- building ----

int TKoStringTree::ParentForInsert(int Index, int Level) const {
    if (Index <= 0) return -1;
    if (LevelOf(Index - 1) < Level) return Index - 1;
    for (int I = Index - 1; I >= 0; --I) {
        const int L = LevelOf(I);
        if (L < Level) break;
        if (L == Level) return ParentOf(I);
    }
    return -1;
}

void TKoStringTree::ShiftParents(int From, int Threshold, int Delta) {
    for (int I = From; I < Count(); ++I) {
        TKoStringTreeNode* Entry = Node(I);
        if (Entry->FParentID >= Threshold) Entry->FParentID += Delta;
    }
}

void TKoStringTree::ForgetFollowingSiblings(int Index) {
    const int Level = LevelOf(Index);
    for (int I = Index + 1; I < Count(); ++I) {
        const int L = LevelOf(I);
        if (L < Level) break;
        if (L == Level) Node(I)->FSiblingIndex = -1;
    }
}

int TKoStringTree::InsertObject(int Index, const std::wstring& Name, int Level, TKoStringObject AObject) {
    std::lock_guard Guard(FLock);
    if (Index < 0 || Index > Count()) KoStringListIndexError(Index);
    std::unique_ptr<TKoStringTreeNode> Entry = CreateTreeNode(ParentForInsert(Index, Level));
    Entry->FLevel = Level;
    Entry->FDataObject = AObject;
    FStrings.InsertObject(Index, static_cast<wchar_t>(LevelBase + Level) + Name, Entry.get());
    Entry.release();
    ShiftParents(Index + 1, Index, 1);
    ForgetFollowingSiblings(Index);
    DropPathIndex();
    return Index;
}

int TKoStringTree::AddObject(const std::wstring& Name, int Level, TKoStringObject AObject) {
    std::lock_guard Guard(FLock);
    if (FSorted) throw EKoStringListError(L"Add not implemented for Sorted trees");
    return InsertObject(Count(), Name, Level, AObject);
}

int TKoStringTree::AddChildObject(int ParentIndex, const std::wstring& Name, TKoStringObject AObject) {
    std::lock_guard Guard(FLock);
    const int Position = HasChildren(ParentIndex) ? LastChild(ParentIndex, -1) + 1 : ParentIndex + 1;
    return InsertObject(Position, Name, LevelOf(ParentIndex) + 1, AObject);
}

int TKoStringTree::AddObjectWithPath(const std::wstring& Path, TKoStringObject AObject) {
    std::lock_guard Guard(FLock);
    if (Path.empty()) return AddChildObject(-1, std::wstring(), AObject);
    TKoStringList Sequence;
    PathToSequence(Path, &Sequence);
    int Parent = -1;
    for (int I = 0; I + 1 < Sequence.Count(); ++I) {
        int Child = FindChild(Parent, Sequence.Strings(I));
        if (Child < 0) Child = AddChild(Parent, Sequence.Strings(I));
        Parent = Child;
    }
    return AddChildObject(Parent, Sequence.Strings(Sequence.Count() - 1), AObject);
}

void TKoStringTree::AddStrings(const TKoStrings& AStrings, bool WithPath) {
    for (int I = 0; I < AStrings.Count(); ++I) {
        std::wstring Line = AStrings.Strings(I);
        const TKoStringObject Object = TStringsAccess::ObjectOf(AStrings, I);
        if (FCommentChar) {
            const size_t Comment = Line.find(FCommentChar);
            if (Comment != std::wstring::npos) Line.erase(Comment);
        }
        if (!FPrefix.empty() && Line.compare(0, FPrefix.size(), FPrefix) == 0) Line.erase(0, FPrefix.size());
        if (Line.empty() && !Object.Ptr) continue;
        if (WithPath) {
            AddObjectWithPath(Line, Object);
        } else {
            TKoStringList Sequence;
            PathToSequence(Line, &Sequence);
            AddObject(NameFromPath(Line), Sequence.Count() - 1, Object);
        }
    }
}

void TKoStringTree::Assign(const TKoPersistentBase* Source) {
    if (const auto* Lines = dynamic_cast<const TKoStrings*>(Source)) {
        Clear();
        AddStrings(*Lines, false);
        return;
    }
    TKoPersistentBase::Assign(Source);
}

// ---- removing ----

void TKoStringTree::DoDelete(int Index) {
    std::unique_ptr<TKoStringTreeNode> Entry(Node(Index));
    const TKoStringObject Object = Entry->FDataObject;
    try {
        FStrings.Delete(Index);
    } catch (...) {
        Entry.release(); // still listed
        throw;
    }
    Entry.reset();
    if (FOwnsObjects) FreeDataObject(Object);
}

void TKoStringTree::Delete(int Index) {
    Node(Index); // index check before anything changes
    ForgetFollowingSiblings(Index);
    DoDelete(Index);
    ShiftParents(Index, Index, -1);
    DropPathIndex();
}

void TKoStringTree::DeleteSubTree(int Index, bool ChildrenOnly) {
    if (Index == -1) {
        Clear();
        return;
    }
    Node(Index);
    TKoUpdateGuard Update(*this);
    const int Level = LevelOf(Index);
    const int Position = ChildrenOnly ? Index + 1 : Index;
    ForgetFollowingSiblings(Index);
    int Removed = 0;
    if (!ChildrenOnly) {
        DoDelete(Position);
        ++Removed;
    }
    while (Position < Count() && LevelOf(Position) > Level) {
        DoDelete(Position);
        ++Removed;
    }
    ShiftParents(Position, Position, -Removed);
    DropPathIndex();
}

void TKoStringTree::Clear() {
    TKoUpdateGuard Update(*this);
    while (Count() > 0) DoDelete(0);
    DropPathIndex();
}

void TKoStringTree::RemoveObject(const void* AObject) {
    const int Index = IndexOfObject(AObject);
    if (Index >= 0) Delete(Index);
}

// ---- navigation ----

int TKoStringTree::LevelOf(int Index) const {
    if (Index < 0 || Index >= Count()) return -1;
    return Node(Index)->FLevel;
}

int TKoStringTree::ParentOf(int Index) const {
    if (Index < 0) return Index;
    return Node(Index)->FParentID;
}

bool TKoStringTree::HasChildren(int Index) const {
    return Index + 1 < Count() && LevelOf(Index + 1) > LevelOf(Index);
}

TKoStringTreeNodeType TKoStringTree::NodeType(int Index) const {
    return HasChildren(Index) ? tnBranch : tnLeaf;
}

int TKoStringTree::FirstChild(int Index) const {
    return HasChildren(Index) ? Index + 1 : -1;
}

int TKoStringTree::LastChild(int Index, int Depth) const {
    if (!HasChildren(Index)) return -2;
    const int Level = LevelOf(Index);
    int Result = -2;
    for (int I = Index + 1; I < Count(); ++I) {
        const int L = LevelOf(I);
        if (L <= Level) break;
        if (Depth < 0 || L <= Level + 1 + Depth) Result = I;
    }
    return Result;
}

int TKoStringTree::ChildCount(int Index, int Depth) const {
    if (!HasChildren(Index)) return 0;
    const int Level = LevelOf(Index);
    int Result = 0;
    for (int I = Index + 1; I < Count(); ++I) {
        const int L = LevelOf(I);
        if (L <= Level) break;
        if (Depth < 0 || L <= Level + 1 + Depth) ++Result;
    }
    return Result;
}

int TKoStringTree::SiblingIndexOf(int Index) const {
    if (Index < 0) return 0;
    TKoStringTreeNode* Entry = Node(Index);
    if (Entry->FSiblingIndex < 0) {
        int Position = 0;
        int I = Index;
        while (PrevSibling(I, false)) ++Position;
        Entry->FSiblingIndex = Position;
    }
    return Entry->FSiblingIndex;
}

bool TKoStringTree::NextSibling(int& Index, bool WrapOver) const {
    const int Level = LevelOf(Index);
    for (int I = Index + 1; I < Count(); ++I) {
        const int L = LevelOf(I);
        if (L < Level) break;
        if (L == Level) {
            Index = I;
            return true;
        }
    }
    if (!WrapOver) return false;
    const int First = FirstChild(ParentOf(Index));
    if (First < 0 || First == Index) return false;
    Index = First;
    return true;
}

bool TKoStringTree::PrevSibling(int& Index, bool WrapOver) const {
    const int Level = LevelOf(Index);
    for (int I = Index - 1; I >= 0; --I) {
        const int L = LevelOf(I);
        if (L < Level) break;
        if (L == Level) {
            Index = I;
            return true;
        }
    }
    if (!WrapOver) return false;
    const int Last = LastChild(ParentOf(Index), 0);
    if (Last < 0 || Last == Index) return false;
    Index = Last;
    return true;
}

bool TKoStringTree::IsChildOf(int ParentIndex, int Index) const {
    if (Index < 0 || Index >= Count() || Index == ParentIndex) return false;
    if (ParentIndex < 0) return true;
    if (ParentIndex > Index) return false;
    const int Level = LevelOf(ParentIndex);
    for (int I = ParentIndex + 1; I <= Index; ++I)
        if (LevelOf(I) <= Level) return false;
    return true;
}

int TKoStringTree::FindFirstAtLevel(int Level) const {
    for (int I = 0; I < Count(); ++I)
        if (LevelOf(I) == Level) return I;
    return -1;
}

bool TKoStringTree::FindNextAtSameLevel(int& Index) const {
    const int Level = LevelOf(Index);
    for (int I = Index + 1; I < Count(); ++I) {
        if (LevelOf(I) == Level) {
            Index = I;
            return true;
        }
    }
    Index = Count() - 1;
    return false;
}

bool TKoStringTree::FindPrevAtSameLevel(int& Index) const {
    const int Level = LevelOf(Index);
    for (int I = Index - 1; I >= 0; --I) {
        if (LevelOf(I) == Level) {
            Index = I;
            return true;
        }
    }
    return false;
}

namespace {

bool NodeMatches(const std::wstring& Name, int Level, int BaseLevel, int Depth, const std::wstring& NodeName,
                 bool PartialSearch) {
    const bool NameOk =
        NodeName.empty() || (PartialSearch ? Name.find(NodeName) != std::wstring::npos : Name == NodeName);
    // Below the invisible root every level is within reach.
    const bool DepthOk = Depth < 0 || BaseLevel < 0 || Level <= BaseLevel + Depth;
    return NameOk && DepthOk;
}

} // namespace

bool TKoStringTree::FindNext(int& Index, int BaseLevel, int Depth, const std::wstring& NodeName,
                             bool PartialSearch) const {
    while (Index < Count() - 1) {
        ++Index;
        const int Level = LevelOf(Index);
        if (Level < BaseLevel) break;
        if (NodeMatches(Strings(Index), Level, BaseLevel, Depth, NodeName, PartialSearch)) return true;
    }
    ++Index;
    return false;
}

bool TKoStringTree::FindPrev(int& Index, int BaseLevel, int Depth, const std::wstring& NodeName,
                             bool PartialSearch) const {
    while (Index > 0) {
        --Index;
        const int Level = LevelOf(Index);
        if (Level < BaseLevel) break;
        if (NodeMatches(Strings(Index), Level, BaseLevel, Depth, NodeName, PartialSearch)) return true;
    }
    ++Index;
    return false;
}

// ---- lookup ----

int TKoStringTree::IndexOf(const std::wstring& Name) const {
    for (int I = 0; I < Count(); ++I)
        if (Strings(I) == Name) return I;
    return -1;
}

int TKoStringTree::FindChild(int ParentIndex, const std::wstring& Name) const {
    int Index = ParentIndex;
    return FindNext(Index, LevelOf(ParentIndex) + 1, 0, Name, false) ? Index : -1;
}

int TKoStringTree::IndexOfChild(int ParentIndex, const std::wstring& Name) const {
    if (Name.empty()) return -1;
    int Index = ParentIndex;
    return FindNext(Index, LevelOf(ParentIndex), 1, Name, false) ? Index : -1;
}

int TKoStringTree::IndexOfObject(const void* AObject) const {
    for (int I = 0; I < Count(); ++I)
        if (Node(I)->FDataObject.Ptr == AObject) return I;
    return -1;
}

TKoStringList TKoStringTree::PathCodec() const {
    TKoStringList Codec;
    Codec.SetCSVSeparator(FPathSeparator);
    Codec.SetCSVQuoteChar(FQuoteChar);
    Codec.SetCSVPrefix(FPrefix);
    return Codec;
}

std::wstring TKoStringTree::EncodePath(const std::vector<std::wstring>& Names) const {
    TKoStringList Codec = PathCodec();
    for (const std::wstring& Name : Names) Codec.Add(Name);
    return Codec.AsCSV();
}

std::vector<std::wstring> TKoStringTree::PathNames(int Index) const {
    std::vector<std::wstring> Names;
    if (Index < 0 || Index >= Count()) return Names;
    Names.push_back(Strings(Index));
    int Lowest = LevelOf(Index);
    for (int I = Index - 1; I >= 0 && Lowest > 0; --I) {
        const int Level = LevelOf(I);
        if (Level < Lowest) {
            Names.push_back(Strings(I));
            Lowest = Level;
        }
    }
    std::reverse(Names.begin(), Names.end());
    return Names;
}

std::wstring TKoStringTree::FullPath(int Index) const {
    return EncodePath(PathNames(Index));
}

void TKoStringTree::GetPathSequence(TKoStrings& Sequence, int Index) const {
    TKoUpdateGuard Update(Sequence);
    Sequence.Clear();
    for (const std::wstring& Name : PathNames(Index)) Sequence.Add(Name);
}

std::wstring TKoStringTree::NameFromPath(const std::wstring& Path) const {
    TKoStringList Codec = PathCodec();
    Codec.SetAsCSV(Path);
    return Codec.Strings(Codec.Count() - 1);
}

void TKoStringTree::PathToSequence(const std::wstring& Path, TKoStringList* Sequence) const {
    if (!Sequence) throw EKoStringListError(L"Sequence must be a valid TKoStringList");
    TKoStringList Codec = PathCodec();
    Codec.SetAsCSV(Path);
    // A path of separators alone names nothing, however many there are.
    const size_t Start =
        !FPrefix.empty() && Path.compare(0, FPrefix.size(), FPrefix) == 0 ? FPrefix.size() : 0;
    if (Start < Path.size() && Path.find_first_not_of(FPathSeparator, Start) == std::wstring::npos)
        KoStringListIndexError(0);
    // The index errors of the codec list are the failures of an empty path.
    if (Codec.Strings(0).empty()) {
        Codec.Delete(0);
        if (Codec.Strings(0).empty()) {
            // A leading doubled separator belongs to the first name.
            Codec.Delete(0);
            Codec.SetStrings(0, FPathSeparator + Codec.Strings(0));
        }
    }
    if (Codec.Strings(Codec.Count() - 1).empty()) Codec.Delete(Codec.Count() - 1);
    TKoUpdateGuard Update(*Sequence);
    Sequence->Clear();
    for (int I = 0; I < Codec.Count(); ++I) Sequence->Add(Codec.Strings(I));
}

void TKoStringTree::DropPathIndex() {
    std::lock_guard Guard(FLock);
    FPathStrings.reset();
}

int TKoStringTree::IndexOfPath(const std::wstring& Path) const {
    std::lock_guard Guard(FLock);
    if (!FPathStrings) {
        // One pass: the stack holds the names of the current node's ancestors, which is what
        // the backward scan of PathNames finds for each node.
        auto Index = std::make_unique<std::vector<std::pair<std::wstring, int>>>();
        Index->reserve(static_cast<size_t>(Count()));
        std::vector<std::pair<int, std::wstring>> Stack;
        for (int I = 0; I < Count(); ++I) {
            const int Level = LevelOf(I);
            while (!Stack.empty() && Stack.back().first >= Level) Stack.pop_back();
            Stack.emplace_back(Level, Strings(I));
            std::vector<std::wstring> Names;
            Names.reserve(Stack.size());
            for (const auto& Entry : Stack) Names.push_back(Entry.second);
            Index->emplace_back(EncodePath(Names), I);
        }
        std::stable_sort(Index->begin(), Index->end(), [](const auto& A, const auto& B) {
            return CompareIgnoringCase(A.first, B.first) == CSTR_LESS_THAN;
        });
        // Of equal keys the first, which has the lowest index, stays.
        Index->erase(std::unique(Index->begin(), Index->end(),
                                 [](const auto& A, const auto& B) {
                                     return CompareIgnoringCase(A.first, B.first) == CSTR_EQUAL;
                                 }),
                     Index->end());
        FPathStrings = std::move(Index);
    }
    const auto Found = std::lower_bound(FPathStrings->begin(), FPathStrings->end(), Path,
                                        [](const auto& Entry, const std::wstring& Key) {
                                            return CompareIgnoringCase(Entry.first, Key) == CSTR_LESS_THAN;
                                        });
    if (Found == FPathStrings->end() || CompareIgnoringCase(Found->first, Path) != CSTR_EQUAL) return -1;
    return Found->second;
}

// ---- enumeration ----

void TKoStringTree::AssignToStrings(TKoStrings* Strings, int StartIndex, TKoStringTreeNodeTypes NodeTypes,
                                    int Depth, bool WithPath) const {
    if (!Strings) throw EKoError(L"TKoStringTree.AssignToStrings: Strings must be assigned!");
    TKoUpdateGuard Update(*Strings);
    Strings->Clear();
    if (!HasChildren(StartIndex)) return;
    const int StartLevel = LevelOf(StartIndex);
    std::vector<std::wstring> Names;
    for (int I = StartIndex + 1; I < Count(); ++I) {
        const int Level = LevelOf(I);
        if (Level <= StartLevel) break;
        if (Depth >= 0 && Level > StartLevel + 1 + Depth) continue;
        const TKoStringTreeNodeType Type = NodeType(I);
        const bool Selected = NodeTypes.Contains(Type);
        if (Type == tnBranch || Selected) {
            Names.resize(static_cast<size_t>(Level - StartLevel - 1));
            Names.push_back(this->Strings(I));
        }
        if (Selected)
            TStringsAccess::AddItem(*Strings, WithPath ? EncodePath(Names) : this->Strings(I),
                                    Node(I)->FDataObject);
    }
}

void TKoStringTree::AssignToTree(TKoStringTree* Tree, int RootIndex, TKoStringTreeNodeTypes NodeTypes,
                                 int Depth) const {
    if (!Tree) throw EKoError(L"TKoStringTree.AssignToTree: Tree must be assigned!");
    TKoUpdateGuard Update(*Tree);
    Tree->Clear();
    const int RootLevel = LevelOf(RootIndex);
    const int Base = RootIndex < 0 ? 0 : RootLevel;
    for (int I = RootIndex < 0 ? 0 : RootIndex; I < Count(); ++I) {
        const int Level = LevelOf(I);
        if (I > RootIndex && RootIndex >= 0 && Level <= RootLevel) break;
        if (Depth >= 0 && Level > RootLevel + 1 + Depth) continue;
        if (!NodeTypes.Contains(NodeType(I))) continue;
        Tree->AddObject(Strings(I), Level - Base, Node(I)->FDataObject);
    }
}

void TKoStringTree::GetChildren(TKoStrings* Strings, int ParentIndex, TKoStringTreeNodeTypes NodeTypes,
                                int Depth, bool WithPath) const {
    AssignToStrings(Strings, ParentIndex, NodeTypes, Depth, WithPath);
}

void TKoStringTree::GetLeaves(TKoStrings* Strings, int ParentIndex, bool Recurse) const {
    GetChildren(Strings, ParentIndex, {tnLeaf}, Recurse ? -1 : 0, Recurse);
}

void TKoStringTree::GetSubTree(TKoStringTree* SubTree, int RootIndex, TKoStringTreeNodeTypes NodeTypes,
                               int Depth) const {
    AssignToTree(SubTree, RootIndex, NodeTypes, Depth);
}

void TKoStringTree::AssignTo(TKoPersistentBase* Dest) const {
    if (auto* Tree = dynamic_cast<TKoStringTree*>(Dest)) {
        if (Tree != this) AssignToTree(Tree, -1, {tnBranch, tnLeaf}, -1);
        return;
    }
    if (auto* Lines = dynamic_cast<TKoStrings*>(Dest)) {
        AssignToStrings(Lines, -1, {tnBranch, tnLeaf}, -1, true);
        return;
    }
    TKoPersistentBase::AssignTo(Dest);
}

bool TKoStringTree::Equals(const TKoPersistentBase* Obj) const {
    const auto* Other = dynamic_cast<const TKoStringTree*>(Obj);
    if (!Other || Other->Count() != Count()) return false;
    // The encoded entry holds both the level and the name.
    for (int I = 0; I < Count(); ++I)
        if (FStrings.Strings(I) != Other->FStrings.Strings(I)) return false;
    return true;
}

// ---- storage ----

void TKoStringTree::SaveToStream(std::ostream& Stream) const {
    TKoStringTable Lines;
    PrepareLineTable(Lines);
    Lines.Add(GetOptions());
    for (int I = 0; I < Count(); ++I) Lines.Add(FullPath(I));
    Lines.SaveToStream(Stream, teAnsi);
}

void TKoStringTree::LoadFromStream(std::istream& Stream) {
    TKoStringTable Lines;
    PrepareLineTable(Lines);
    Lines.LoadFromStream(Stream);
    if (Lines.Count() > 0 && Lines.Strings(0).find(L'=') != std::wstring::npos) {
        SetOptions(Lines.Strings(0));
        Lines.Delete(0);
    }
    Assign(&Lines);
}

void TKoStringTree::SaveToFile(const std::wstring& FileName) const {
    KoSaveToFile<EKoStringListError>(FileName, [this](std::ostream& Stream) { SaveToStream(Stream); });
}

void TKoStringTree::LoadFromFile(const std::wstring& FileName) {
    KoLoadFromFile<EKoStringListError>(FileName, [this](std::istream& Stream) { LoadFromStream(Stream); });
}

// ---- updates ----

void TKoStringTree::BeginUpdate() {
    ++FUpdatingCount;
    FStrings.BeginUpdate();
}

void TKoStringTree::EndUpdate() {
    if (FUpdatingCount == 0) return;
    --FUpdatingCount;
    FStrings.EndUpdate();
}

void TKoStringTree::DoChange() {
    if (OnChange) OnChange(this);
}

void TKoStringTree::DoChanging() {
    if (OnChanging) OnChanging(this);
}
