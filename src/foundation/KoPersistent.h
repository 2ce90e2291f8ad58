#pragma once
// Persistent objects: the data objects that are not components.
//
//   TKoPersistentBase    the assign protocol: Assign(Source) copies a known source, otherwise asks
//                        Source->AssignTo(this); when neither side knows the other the copy fails
//                        with "Cannot assign a %s to a %s"
//   └─ TKoPersistent     an item with published properties, a configuration notification, an
//                        exchangeable event sender, a similarity test, and references to
//                        components that are dropped when the component goes
//   TKoPersistentList    an owned, keyed list of TKoPersistent items with life-cycle events, a
//                        CSV text form through the items' published properties and a file form
//   TKoComponentNexus    a component that relays component notifications to a non-component
//
// Published properties. A persistent class registers its published properties with the property
// reflection (KoRTTIRegister<TItem, TBase> in KoRTTI.h), like the components do; its class name is
// the registered one. The lists create their items from the registered class and store them
// through the reflection: the header of the text form is the class's property names, each item
// the CSV line of its property values, the streamed form its stored properties by name.
// (KoRTTI.h includes this unit, so this header names the reflection's class only.)

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KoClasses.h"
#include "KoExceptions.h"

class EKoAssignError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoAssignError"; }
};

// The base of the reflection errors: a text that does not fit a published property, a property
// name a class lacks, a stream whose header does not name the item class's properties.
class EKoRTTIException : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoRTTIException"; }
};

// An object taken for a class it is not of.
class EKoInvalidCast : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoInvalidCast"; }
};

class TKoPersistentBase {
public:
    TKoPersistentBase() = default;
    virtual ~TKoPersistentBase() = default;

    virtual const wchar_t* ClassName() const { return L"TKoPersistentBase"; }

    // Copies Source's state into this object. The base hands the copy to Source->AssignTo(this)
    // and fails for a null source.
    virtual void Assign(const TKoPersistentBase* Source);
    // Copies this object's state into Dest, for destinations that do not know this class. The
    // base fails.
    virtual void AssignTo(TKoPersistentBase* Dest) const;

protected:
    TKoPersistentBase(const TKoPersistentBase&) = default;
    TKoPersistentBase& operator=(const TKoPersistentBase&) = default;

    // Fails with "Cannot assign a <Source's class or nil> to a <this class>".
    [[noreturn]] void AssignError(const TKoPersistentBase* Source) const;
};

class TKoStrings;
class TKoPersistent;
class TKoPersistentList;

class TKoRTTIClass;

// ---- persistent items ----

using TKoPersistentNotifyEvent = std::function<void(TKoPersistentBase* Sender)>;

class TKoPersistent : public TKoPersistentBase {
public:
    TKoPersistent() = default;
    TKoPersistent(const TKoPersistent&) = delete;
    TKoPersistent& operator=(const TKoPersistent&) = delete;

    // The name of the object's registered class (of its nearest registered base).
    const wchar_t* ClassName() const override;
    // The registered class of the object (of its nearest registered base).
    const TKoRTTIClass* RTTIClass() const;

    // Accepts any TKoPersistent (the base copies nothing; descendants copy their fields); other
    // sources go to the assign protocol.
    void Assign(const TKoPersistentBase* Source) override;

    // Raises OnConfig with the event sender; descendants call it after a change of their
    // configuration.
    virtual void DoConfig();
    // The sender reported by OnConfig: the one set, or the item itself.
    virtual TKoPersistentBase* GetEventSender();
    virtual void SetEventSender(TKoPersistentBase* Value) { FEventSender = Value; }

    // A removal clears every component-typed published property that refers to AComponent;
    // insertions are ignored.
    virtual void Notification(TKoComponent* AComponent, TKoOperation Operation);

    // The base answers 0 and leaves SameProps alone; descendants add the names of the properties
    // in which the two items agree.
    virtual int Compare(const TKoPersistent* Other, TKoStrings* SameProps) const;
    // Compare, then whether SameProps holds a name (false without a list).
    virtual bool IsSimilar(const TKoPersistent* Other, TKoStrings* SameProps) const;

    // A stored definition may carry a property the class no longer publishes; a descendant that
    // understands it reads it here and answers true.
    virtual bool ReadDefinedProperty(const std::wstring& /*Name*/, const std::wstring& /*Value*/) {
        return false;
    }
    // Where component-typed properties look names up that the application does not know (the
    // property reflection's owner of the item), or nothing.
    virtual TKoComponent* LookupContext() const { return nullptr; }

    // Shorthands for the property reflection of the item (TKoInstanceProperties).
    // Published properties by name (letter case ignored); a missing name fails with
    // EKoRTTIException "TKoClassProperties: No property for PropName '%s' exist.", a read-only
    // one with "%s is ReadOnly".
    std::wstring GetPropText(const std::wstring& Name) const;
    void SetPropText(const std::wstring& Name, const std::wstring& Value);
    // All property values as one CSV line with Separator, optionally as Name=Value elements.
    std::wstring PropValuesToCSV(wchar_t Separator, bool IncludePropNames) const;
    // Sets property i from element i of the CSV line; fails at the first missing element with
    // "List index out of bounds (%d)", the properties before it staying set.
    void CSVToPropValues(const std::wstring& Text, wchar_t Separator);

    TKoPersistentNotifyEvent OnConfig;

private:
    TKoPersistentBase* FEventSender = nullptr;
};

// ---- keyed lists ----

using TKoPersistentListEvent = std::function<void(TKoPersistentList* Sender, TKoPersistent* Item)>;
using TKoPersistentListNotifyEvent = std::function<void(TKoPersistentList* Sender)>;

// One item of the streamed Items property of a list's owner: its stored published properties
// with their value texts, in class order.
struct TKoStreamedItem {
    std::vector<std::pair<std::wstring, std::wstring>> Props;
};

// The list's own errors (duplicate keys, foreign items, moves in a sorted list).
class EKoPersistentListError : public EKoException {
public:
    using EKoException::EKoException;
    const wchar_t* ClassName() const noexcept override { return L"EKoPersistentListError"; }
};

class TKoPersistentList : public TKoPersistentBase {
public:
    // ItemClass, a registered TKoPersistent class, is required ("TKoPersistentList.Create
    // requires a class type parameter!").
    TKoPersistentList(TKoComponent* AOwner, bool AOwnsObjects, const TKoRTTIClass* AItemClass);
    // Clears the list, freeing the items it owns.
    ~TKoPersistentList() override;
    TKoPersistentList(const TKoPersistentList&) = delete;
    TKoPersistentList& operator=(const TKoPersistentList&) = delete;

    const wchar_t* ClassName() const override { return L"TKoPersistentList"; }

    TKoComponent* Owner() const { return FOwner; }
    const TKoRTTIClass* ItemClass() const { return FItemClass; }

    int Count() const { return static_cast<int>(FItems.size()); }
    // An index outside 0 .. Count - 1 fails with "List index out of bounds (%d)".
    TKoPersistent* Items(int Index) const;
    const std::wstring& Keys(int Index) const;

    // Insert(Count, Item).
    TKoPersistent* Add(TKoPersistent* Item);
    // With Item: it must be of the item class. Without: the list creates one (and frees it
    // again when the insertion fails). Fails for a key that exists already. A sorted list
    // places the item by its key, an unsorted one at Index.
    TKoPersistent* Insert(int Index, TKoPersistent* Item);
    // Raises OnItemFinish, removes the entry, then frees the item when the list owns it.
    virtual void Delete(int Index);
    virtual void Clear();
    // The entry whose key equals the item's key, or -1.
    int IndexOf(const TKoPersistent* Item) const;
    int IndexOfKey(const std::wstring& Key) const;
    TKoPersistent* ItemByKey(const std::wstring& Key, int& Index) const;
    // Fails in a sorted list ("Can't Move items in sorted list").
    void Move(int FromIndex, int ToIndex);
    // Called by an item after a change of its key (OldKey: the key it had).
    void UpdateKeyValue(TKoPersistent* Item, const std::wstring& OldKey);
    // The index of the last item found similar to item Index (earlier items first unless
    // ForwardOnly, then later ones); -1 when none. DupProps (may be null) gets the names of the
    // properties the last similar item agrees in, and is empty when there is none.
    int FindSimilar(int Index, TKoStrings* DupProps, bool ForwardOnly) const;
    bool HasSimilarItems() const;

    // Brackets changes so that OnChange is raised once at the end.
    void BeginUpdate();
    void EndUpdate();

    // From another list: items of this list's class, assigned from the source items. From a
    // string list: clear, then InsertFromStrings(0, Source).
    void Assign(const TKoPersistentBase* Source) override;
    // To a string list: one CSV line of property values per item, with the item as the line's
    // object (not for a list that owns its objects: it would free the items).
    void AssignTo(TKoPersistentBase* Dest) const override;
    // One new item per line, assigned from the line's persistent object or read as a CSV line.
    void InsertFromStrings(int Index, const TKoStrings& Strings);

    // The text file form: a header line of property names, then one line per item.
    void SaveToStream(std::ostream& Stream) const;
    void LoadFromStream(std::istream& Stream);
    void SaveToFile(const std::wstring& FileName) const;
    void LoadFromFile(const std::wstring& FileName);

    // The streamed Items property of the owner: stored only when the list is not empty.
    bool ItemsStored() const { return Count() > 0; }
    std::vector<TKoStreamedItem> WriteItems() const;
    // A non-empty collection replaces the items; each item is added and its properties read.
    void ReadItems(const std::vector<TKoStreamedItem>& Collection);

    // Forwards the notification to every item when Operation is accepted and AComponent is of a
    // class of the item class's component-typed properties.
    virtual void Notification(TKoComponent* AComponent, TKoOperation Operation);

    bool Sorted() const { return FSorted; }
    void SetSorted(bool Value);
    wchar_t Delimiter() const { return FDelimiter; }
    void SetDelimiter(wchar_t Value) { FDelimiter = Value; }
    bool OwnsObjects() const { return FOwnsObjects; }
    void SetOwnsObjects(bool Value) { FOwnsObjects = Value; }
    bool AcceptsNotification(TKoOperation Operation) const;
    void SetAcceptedNotifications(bool Insert, bool Remove);

    TKoPersistentListNotifyEvent OnChange; // after every change of the list
    TKoPersistentListEvent OnItemConfig;
    TKoPersistentListEvent OnItemFinish;
    TKoPersistentListEvent OnItemInit;

protected:
    // The key of an item; the base uses its identity (8 upper-case hexadecimal digits).
    virtual std::wstring GetListKeyValue(const TKoPersistent* Item) const;
    // Creates an item of the item class for Insert without an item.
    virtual TKoPersistent* CreateItem();
    virtual void ItemConfig(TKoPersistentBase* Sender);
    virtual void ItemFinish(TKoPersistent* Item);
    virtual void ItemInit(TKoPersistent* Item);
    void Changed();
    // The position a key takes in a sorted list.
    int SortedPosition(const std::wstring& Key) const;

    // Inserts a new item at Index and fills it through Fill; an item that cannot be filled
    // leaves the list again (and is freed when the list owns its items).
    TKoPersistent* InsertFilled(int Index, const std::function<void(TKoPersistent&)>& Fill);

private:
    int IndexOfItemPtr(const TKoPersistent* Item) const;
    // Adds the entry without any event; Index ignored when sorted.
    void PutEntry(int Index, std::wstring Key, TKoPersistent* Item);
    void CheckIndex(int Index) const;

    wchar_t FDelimiter;
    TKoComponent* FOwner;
    bool FOwnsObjects;
    bool FAcceptInsert = false;
    bool FAcceptRemove = true;
    const TKoRTTIClass* FItemClass;
    // The component classes of the item class's component-typed properties.
    std::vector<const TKoRTTIClass*> FItemPropClasses;
    std::vector<std::pair<std::wstring, TKoPersistent*>> FItems;
    bool FSorted = false;
    int FUpdateCount = 0;
    bool FChangedInUpdate = false;
};

// ---- component nexus ----

using TKoComponentNexusEvent = std::function<void(TKoComponent* AComponent, TKoOperation Operation)>;

// A minimal component that tells a non-component object what happens to components: owned by a
// module it hears of every component inserted into or removed from that module; asked for a free
// notification by a component it hears of that component's end. Before it goes it reports its own
// removal. The object removes its handler before it frees the nexus.
class TKoComponentNexus : public TKoComponent {
public:
    explicit TKoComponentNexus(TKoComponent* AOwner) : TKoComponent(AOwner) {}
    ~TKoComponentNexus() override;
    const wchar_t* ClassName() const override { return L"TKoComponentNexus"; }

    TKoNotifyEvent OnDestroy; // kept for the object; the nexus does not raise it
    TKoComponentNexusEvent OnNotify;

    void Notification(TKoComponent* AComponent, TKoOperation Operation) override;

protected:
    void BeforeDestruction() override;

private:
    void ReportRemoval();
    bool FRemovalReported = false;
};
