#pragma once
// A tree of named nodes kept as one flat list in pre-order: every node is followed directly by
// its whole subtree, each entry knows its depth ("level"). Nodes are addressed by paths, the
// names from the top level down joined with PathSeparator and quoted by the CSV codec of
// TKoStringList where needed. The item-ID address spaces of the server are such trees.
//
// Indexes are positions in the node list; -1 stands for the invisible root above the top-level
// nodes wherever a parent index is asked for.
//
// Locking: AddObject, InsertObject and the building of the path index take the tree's lock.
// Everything else relies on the caller: a caller whose tree may change on another thread holds
// Lock/Unlock (re-entrant) around its whole read or update.

#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KoPersistent.h"
#include "KoStrings.h"

enum TKoStringTreeNodeType { tnBranch, tnLeaf };

// A set of node types (the filters of the enumeration operations).
class TKoStringTreeNodeTypes {
public:
    constexpr TKoStringTreeNodeTypes() = default;
    constexpr TKoStringTreeNodeTypes(std::initializer_list<TKoStringTreeNodeType> Types) {
        for (TKoStringTreeNodeType Type : Types) FBits |= 1u << Type;
    }
    constexpr bool Contains(TKoStringTreeNodeType Type) const { return (FBits & (1u << Type)) != 0; }

private:
    unsigned FBits = 0;
};

class TKoStringTree;

// One entry of the tree, owned by it.
class TKoStringTreeNode {
public:
    TKoStringTreeNode(TKoStringTree* AOwner, int AParentID) : FOwner(AOwner), FParentID(AParentID) {}
    virtual ~TKoStringTreeNode() = default;
    TKoStringTreeNode(const TKoStringTreeNode&) = delete;
    TKoStringTreeNode& operator=(const TKoStringTreeNode&) = delete;

    TKoStringTree* Owner() const { return FOwner; }
    int Level() const { return FLevel; }
    int ParentID() const { return FParentID; }
    const TKoStringObject& DataObject() const { return FDataObject; }

private:
    friend class TKoStringTree;

    // Position among the siblings; -1 until computed.
    int FSiblingIndex = -1;
    TKoStringObject FDataObject;
    int FLevel = 0;
    TKoStringTree* FOwner;
    int FParentID;
};

using TKoStringTreeEvent = std::function<void(TKoStringTree* Sender)>;

class TKoStringTree : public TKoPersistentBase {
public:
    TKoStringTree();
    // Clears the tree (freeing the data objects only when it owns them).
    ~TKoStringTree() override;
    TKoStringTree(const TKoStringTree&) = delete;
    TKoStringTree& operator=(const TKoStringTree&) = delete;

    const wchar_t* ClassName() const override { return L"TKoStringTree"; }

    // ---- settings ----
    wchar_t CommentChar() const { return FCommentChar; }
    void SetCommentChar(wchar_t Value) { FCommentChar = Value; }
    wchar_t PathSeparator() const { return FPathSeparator; }
    virtual void SetPathSeparator(wchar_t Value);
    const std::wstring& Prefix() const { return FPrefix; }
    void SetPrefix(const std::wstring& Value);
    // L'\0' = never quote.
    wchar_t QuoteChar() const { return FQuoteChar; }
    virtual void SetQuoteChar(wchar_t Value);
    // Only while the tree is empty; a sorted tree refuses AddObject. No other effect.
    bool Sorted() const { return FSorted; }
    void SetSorted(bool Value);
    bool OwnsObjects() const { return FOwnsObjects; }
    void SetOwnsObjects(bool Value) { FOwnsObjects = Value; }
    // The settings as the options line of the file form (PathSeparator=/;QuoteChar=' by default).
    std::wstring Options() const { return GetOptions(); }
    void SetOptions(const std::wstring& Value);

    // ---- entries ----
    int Count() const { return FStrings.Count(); }
    // The name; empty for -1, an index error for any other index outside the list.
    std::wstring Strings(int Index) const;
    // Renames a node (a change of the list).
    void SetStrings(int Index, const std::wstring& Name);
    // The node's data object as the type it was stored as; nullptr when it has none.
    template <class T> T* Objects(int Index) const {
        const TKoStringObject& Object = ObjectAt(Index);
        if (!Object.Ptr) return nullptr;
        if (*Object.Type != typeid(T))
            throw EKoStringListError(KoFormat(L"Object of node %d is of another type", Index));
        return static_cast<T*>(Object.Ptr);
    }
    const TKoStringObject& ObjectAt(int Index) const;
    // Raises no change event. A tree that owns its objects frees the one replaced.
    template <class T> void SetObjects(int Index, T* AObject) {
        PutObject(Index, TKoStringObject::Of(AObject));
    }
    void PutObject(int Index, TKoStringObject AObject);
    TKoStringTreeNode* Nodes(int Index) const;

    // ---- building ----
    // Inserts at list position Index (0 .. Count) with the given level; the parent follows from
    // the levels before it. Returns Index.
    virtual int InsertObject(int Index, const std::wstring& Name, int Level, TKoStringObject AObject);
    template <class T> int InsertObject(int Index, const std::wstring& Name, int Level, T* AObject) {
        return InsertObject(Index, Name, Level, TKoStringObject::Of(AObject));
    }
    int Insert(int Index, const std::wstring& Name, int Level) {
        return InsertObject(Index, Name, Level, {});
    }
    // Appends at the end; fails on a sorted tree.
    int AddObject(const std::wstring& Name, int Level, TKoStringObject AObject);
    template <class T> int AddObject(const std::wstring& Name, int Level, T* AObject) {
        return AddObject(Name, Level, TKoStringObject::Of(AObject));
    }
    int Add(const std::wstring& Name, int Level) { return AddObject(Name, Level, TKoStringObject{}); }
    // Adds the node as the last child of ParentIndex (-1: a new last top-level node).
    int AddChildObject(int ParentIndex, const std::wstring& Name, TKoStringObject AObject);
    template <class T> int AddChildObject(int ParentIndex, const std::wstring& Name, T* AObject) {
        return AddChildObject(ParentIndex, Name, TKoStringObject::Of(AObject));
    }
    int AddChild(int ParentIndex, const std::wstring& Name) { return AddChildObject(ParentIndex, Name, {}); }
    // Finds or creates the ancestors named by Path, then always adds its last element as a new
    // last child (repeating a path adds a second leaf of that name). An empty path adds a
    // top-level node with an empty name.
    int AddObjectWithPath(const std::wstring& Path, TKoStringObject AObject);
    template <class T> int AddObjectWithPath(const std::wstring& Path, T* AObject) {
        return AddObjectWithPath(Path, TKoStringObject::Of(AObject));
    }
    int AddWithPath(const std::wstring& Path) { return AddObjectWithPath(Path, TKoStringObject{}); }
    // One node per line, carrying the line's object. Comment and prefix are cut off first; a line
    // left empty without object is skipped. With WithPath each line goes through
    // AddObjectWithPath; without, each line is a complete path appended at the level it implies
    // (lines in pre-order; no nodes are made for missing ancestors).
    void AddStrings(const TKoStrings& AStrings, bool WithPath);
    // From a string list: Clear, then AddStrings(Source, false). Other sources: assign protocol.
    void Assign(const TKoPersistentBase* Source) override;

    // ---- removing ----
    // Removes the one node; its descendants stay with their levels (use DeleteSubTree).
    virtual void Delete(int Index);
    // The node and its descendants, or only the descendants; Index -1 clears the tree.
    void DeleteSubTree(int Index, bool ChildrenOnly);
    virtual void Clear();
    void RemoveObject(const void* AObject);

    // ---- navigation ----
    // -1 for an index outside the list.
    int LevelOf(int Index) const;
    // The stored parent index; a negative Index gives itself.
    int ParentOf(int Index) const;
    bool HasChildren(int Index) const;
    virtual TKoStringTreeNodeType NodeType(int Index) const;
    int FirstChild(int Index) const;
    // The last node of the subtree within Depth levels below the children (negative: any);
    // -2 without children.
    int LastChild(int Index, int Depth) const;
    int ChildCount(int Index, int Depth) const;
    int SiblingIndexOf(int Index) const;
    bool NextSibling(int& Index, bool WrapOver) const;
    bool PrevSibling(int& Index, bool WrapOver) const;
    // Whether ParentIndex is a proper ancestor of Index (every node is a child of -1).
    bool IsChildOf(int ParentIndex, int Index) const;
    int FindFirstAtLevel(int Level) const;
    bool FindNextAtSameLevel(int& Index) const;
    bool FindPrevAtSameLevel(int& Index) const;
    // The search primitive: steps on from Index and stops at a node of a level lower than
    // BaseLevel. On failure Index is one past the node where the search stopped.
    bool FindNext(int& Index, int BaseLevel, int Depth, const std::wstring& NodeName,
                  bool PartialSearch) const;
    bool FindPrev(int& Index, int BaseLevel, int Depth, const std::wstring& NodeName,
                  bool PartialSearch) const;

    // ---- lookup ----
    // The first node of that exact name at any level, or -1.
    int IndexOf(const std::wstring& Name) const;
    // The first direct child of that exact name, or -1.
    int FindChild(int ParentIndex, const std::wstring& Name) const;
    // The wider search of the address spaces: from the parent on through its later siblings and
    // their children, accepting the parent's level or one below; -1 for an empty name.
    int IndexOfChild(int ParentIndex, const std::wstring& Name) const;
    int IndexOfObject(const void* AObject) const;
    // Through the path index: letter case ignored; of equal paths the lowest index wins.
    int IndexOfPath(const std::wstring& Path) const;
    std::wstring FullPath(int Index) const;
    void GetPathSequence(TKoStrings& Sequence, int Index) const;
    std::wstring NameFromPath(const std::wstring& Path) const;
    // Splits a path into its names (see the path rules in the source); Sequence is required.
    void PathToSequence(const std::wstring& Path, TKoStringList* Sequence) const;

    // ---- enumeration ----
    // The subtree of ParentIndex within Depth (0: direct children; negative: all), nodes of the
    // given types, each line the name or the path relative to the parent, with the data object.
    void GetChildren(TKoStrings* Strings, int ParentIndex, TKoStringTreeNodeTypes NodeTypes, int Depth,
                     bool WithPath) const;
    void GetLeaves(TKoStrings* Strings, int ParentIndex, bool Recurse) const;
    // RootIndex (as level 0) and its descendants within Depth with their objects; -1: all.
    void GetSubTree(TKoStringTree* SubTree, int RootIndex, TKoStringTreeNodeTypes NodeTypes, int Depth) const;
    void GetBranches(TKoStringTree* SubTree, int RootIndex, int Depth) const {
        GetSubTree(SubTree, RootIndex, {tnBranch}, Depth);
    }
    // To a tree: all nodes with names, levels and objects (not the settings). To a string list:
    // the full paths with the objects.
    void AssignTo(TKoPersistentBase* Dest) const override;
    // Same (level, name) sequence; data objects are not compared.
    virtual bool Equals(const TKoPersistentBase* Obj) const;

    // ---- storage ----
    // The options line, then one full path per line; ANSI code page, CR LF.
    virtual void SaveToStream(std::ostream& Stream) const;
    virtual void LoadFromStream(std::istream& Stream);
    virtual void SaveToFile(const std::wstring& FileName) const;
    virtual void LoadFromFile(const std::wstring& FileName);

    // ---- updates and locking ----
    void BeginUpdate();
    void EndUpdate();
    bool IsUpdating() const { return FUpdatingCount > 0; }
    void Lock() const { FLock.lock(); }
    void Unlock() const { FLock.unlock(); }

    TKoStringTreeEvent OnChange;
    TKoStringTreeEvent OnChanging;

protected:
    virtual void DoChange();
    virtual void DoChanging();
    virtual void ReadOptions(const TKoStrings& Strings);
    // The single-entry removal everything else uses: frees the node record, removes the entry,
    // then frees the data object when the tree owns it.
    virtual void DoDelete(int Index);
    virtual void WriteOptions(TKoStrings& Strings) const;
    virtual std::wstring GetOptions() const;
    // Descendant trees may use a descendant node class.
    virtual std::unique_ptr<TKoStringTreeNode> CreateTreeNode(int AParentID);

    // A codec list configured with the tree's separator, quote character and prefix.
    TKoStringList PathCodec() const;
    void DropPathIndex();

private:
    // Names of the node and its ancestors, top-level first (the backward scan).
    std::vector<std::wstring> PathNames(int Index) const;
    std::wstring EncodePath(const std::vector<std::wstring>& Names) const;
    int ParentForInsert(int Index, int Level) const;
    void ForgetFollowingSiblings(int Index);
    void ShiftParents(int From, int Threshold, int Delta);
    TKoStringTreeNode* Node(int Index) const;
    void AssignToStrings(TKoStrings* Strings, int StartIndex, TKoStringTreeNodeTypes NodeTypes, int Depth,
                         bool WithPath) const;
    void AssignToTree(TKoStringTree* Tree, int RootIndex, TKoStringTreeNodeTypes NodeTypes, int Depth) const;
    void FreeDataObject(const TKoStringObject& AObject) const;

    wchar_t FCommentChar = 0;
    mutable std::recursive_mutex FLock;
    bool FOwnsObjects = false;
    wchar_t FPathSeparator = L'/';
    // Sorted (full path, index) pairs; empty pointer until first needed after a change.
    mutable std::unique_ptr<std::vector<std::pair<std::wstring, int>>> FPathStrings;
    std::wstring FPrefix;
    wchar_t FQuoteChar = L'\'';
    bool FSorted = false;
    int FUpdatingCount = 0;
    // Entry i: the level as one character (L'a' + level) and the name; its object the node.
    TKoStringList FStrings;
};
