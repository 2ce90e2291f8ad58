#pragma once
// The discrete process variables: values from a small named set.
//
//   TKoVar
//   ├─ TKoBool               true or false, an alarm state and a text per value, edge events
//   └─ TKoCustomInteger
//      └─ TKoCustomState     an integer described by a keyed list of state items
//         ├─ TKoState        the value names one state; Next and Prev walk the states
//         └─ TKoBitSet       a 32-bit word whose bits are named flags
//
// State items (TKoStateItem, TKoBitItem) live in a sorted list keyed by their state value (the
// bit number for bit items), so a value occurs once per list and the list is in key order.
// A change of the list or of an item raises the owning variable's configuration notification;
// a change of the list also its range notification.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KoNumVars.h"
#include "KoPersistent.h"
#include "KoVars.h"

class TKoStrings;
class TKoCustomState;
class TKoBitSet;
class TKoStateItemlist;

// ---- TKoBool ----

class TKoBool : public TKoVar {
public:
    explicit TKoBool(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoBool"; }

    // The stored value, whatever its quality (false until the first write).
    bool Value() const { return FValue; }
    void SetValue(bool Value);
    // Inverts the value; a value of bad quality becomes true.
    void Toggle();
    void Invert() { Toggle(); }

    TKoVarAlarmState AlarmStateFalse() const { return FAlarmStates[0]; }
    TKoVarAlarmState AlarmStateTrue() const { return FAlarmStates[1]; }
    void SetAlarmStateFalse(TKoVarAlarmState Value);
    void SetAlarmStateTrue(TKoVarAlarmState Value);
    // The text of each value; empty means "False" or "True".
    const std::wstring& StringValueFalse() const { return FStringValues[0]; }
    const std::wstring& StringValueTrue() const { return FStringValues[1]; }
    void SetStringValueFalse(const std::wstring& Value);
    void SetStringValueTrue(const std::wstring& Value);

    bool InitialValue() const { return FInitialValue; }
    void SetInitialValue(bool Value) { FInitialValue = Value; }

    TKoNotifyEvent OnFallingEdge; // the value became false
    TKoNotifyEvent OnRisingEdge;  // the value became true

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;

    std::wstring BoolToStr(bool V) override;
    // An empty text fails; the texts of the values and "true"/"false" in any letter case, else
    // the general rule.
    bool StrToBool(const std::wstring& V) override;

    double GetVarPropValueAsFloat(TKoVarPropType Prop, const VARIANT& V) override;
    int32_t GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V) override;
    int64_t GetVarPropValueAsInt64(TKoVarPropType Prop, const VARIANT& V) override;
    std::wstring GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& Value) override;
    void DoChange() override;
    TKoOleVariant GetInitialValue() override;

private:
    void SetAlarmStateOf(bool ForValue, TKoVarAlarmState Value);
    void SetStringValueOf(bool ForValue, const std::wstring& Value);

    TKoVarAlarmState FAlarmStates[2] = {asNormal, asNormal};
    bool FInitialValue = false;
    std::wstring FStringValues[2];
    bool FValue = false;
};

// ---- state items ----

// The published properties of the state items are registered with the property reflection
// (KoVarsRTTI.cpp); the lists store the items through it.
class TKoCustomStateItem : public TKoPersistent {
public:
    // Makes sure the classes of the variables are registered (the class name comes from there).
    TKoCustomStateItem();
    // The registered class.
    static const TKoRTTIClass* StaticClass();

    // Copies alarm state, name and state value of another state item.
    void Assign(const TKoPersistentBase* Source) override;

    TKoVarAlarmState AlarmState() const { return FAlarmState; }
    void SetAlarmState(TKoVarAlarmState Value);
    const std::wstring& Name() const { return FName; }
    void SetName(const std::wstring& Value);
    // The list that holds the item (none before it is added).
    TKoStateItemlist* Owner() const { return FOwner; }
    // The variable whose list holds the item, or none.
    TKoCustomState* StateOwner() const;

    int32_t StateValue() const { return FStateValue; }
    // Moves the item to the key of its new value and widens the owner's range to it; a value
    // another item holds fails with "Duplicate state value: %d" and the old value stays.
    void SetStateValue(int32_t NewValue);

    TKoComponent* LookupContext() const override;

private:
    friend class TKoStateItemlist;

    TKoVarAlarmState FAlarmState = asNormal;
    std::wstring FName;
    TKoStateItemlist* FOwner = nullptr;
    int32_t FStateValue = 0;
};

// A state of a TKoState: published AlarmState, Name, Value.
class TKoStateItem : public TKoCustomStateItem {
public:
    static const TKoRTTIClass* StaticClass();

    int32_t Value() const { return StateValue(); }
    void SetValue(int32_t Value) { SetStateValue(Value); }
};

// A bit of a TKoBitSet: published AlarmState, Name, BitNr.
class TKoBitItem : public TKoCustomStateItem {
public:
    static const TKoRTTIClass* StaticClass();

    int32_t BitNr() const { return StateValue(); }
    void SetBitNr(int32_t Value) { SetStateValue(Value); }
    // 2 to the power BitNr (0 for a bit number outside 0 .. 31, which no 32-bit word has).
    uint32_t IntValue() const;
    // The bit in the owning bit set (false without one).
    bool Value() const;
    void SetValue(bool Value);

    // Older definitions carry the bit number as "Value".
    bool ReadDefinedProperty(const std::wstring& Name, const std::wstring& Value) override;

private:
    TKoBitSet* BitSet() const;
};

// ---- state item lists ----

class TKoStateItemlist : public TKoPersistentList {
public:
    // AItemClass: TKoStateItem or a descendant (null: TKoStateItem).
    explicit TKoStateItemlist(TKoCustomState* AOwner, const TKoRTTIClass* AItemClass = nullptr);
    const wchar_t* ClassName() const override { return L"TKoStateItemlist"; }

    TKoCustomState* StateOwner() const { return FStateOwner; }
    TKoCustomStateItem* Items(int Index) const;
    using TKoPersistentList::InsertFilled;

    // A new item with that name and value (removed again when the value exists).
    TKoCustomStateItem* AddState(const std::wstring& StateName, int32_t StateValue);
    // One item per name, with its position as value.
    void AddEnumValues(const std::vector<std::wstring>& Names);
    // Exact, case-sensitive match; -1 when absent.
    int IndexOfName(const std::wstring& AStateName) const;
    int IndexOfValue(int32_t StateValue) const;
    TKoCustomStateItem* StateByValue(int32_t StateValue) const;

    // "+%7d" from 0 up, "%8d" below 0.
    static std::wstring KeyOfValue(int32_t StateValue);

protected:
    std::wstring GetListKeyValue(const TKoPersistent* Item) const override;
    // A new item takes the last item's value plus one (0 in an empty list).
    TKoPersistent* CreateItem() override;
    void ItemInit(TKoPersistent* Item) override;

private:
    TKoCustomState* FStateOwner;
};

class TKoBitItemList : public TKoStateItemlist {
public:
    explicit TKoBitItemList(TKoCustomState* AOwner) : TKoStateItemlist(AOwner, TKoBitItem::StaticClass()) {}
    const wchar_t* ClassName() const override { return L"TKoBitItemList"; }

    TKoBitItem* Items(int Index) const;
    // Linear search; -1 when absent.
    int IndexOfBitNr(int32_t BitNr) const;
};

// ---- TKoCustomState ----

class TKoCustomState : public TKoCustomInteger {
public:
    const wchar_t* ClassName() const override { return L"TKoCustomState"; }
    ~TKoCustomState() override;

    TKoStateItemlist& States() const { return *FStates; }
    // Copies the items of Value into the own list.
    void SetStates(const TKoStateItemlist& Value);
    // The picture list the windows show the states with (not owned).
    TKoComponent* Images() const { return FImages; }
    void SetImages(TKoComponent* Value) { FImages = Value; }

    // The default name of unnamed items.
    virtual std::wstring GetStatePrefix() const { return L"State"; }
    // The picture number of a value: here its offset from RangeMin (outside the range
    // EKoRangeError "Index out of range: %d [%d-%d]").
    virtual int InternalIndex(int Index);

    // Clears AStrings and adds every item's name in list order.
    void GetStateNames(TKoStrings& AStrings) const;

protected:
    using TListFactory = std::unique_ptr<TKoStateItemlist> (*)(TKoCustomState* Owner);
    TKoCustomState(TKoComponent* AOwner, TListFactory CreateList);

    void Notification(TKoComponent* AComponent, TKoOperation Operation) override;

private:
    TKoComponent* FImages = nullptr;
    std::unique_ptr<TKoStateItemlist> FStates;
};

// ---- TKoState ----

class TKoState : public TKoCustomState {
public:
    explicit TKoState(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoState"; }

    // The next state (the first after the last one or from a value no item holds); without
    // items the next number of the range, RangeMin after RangeMax.
    void Next();
    // The mirror image of Next.
    void Prev();

    // The position of the item holding that value, -1 when none.
    int InternalIndex(int Index) override;

    int32_t GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V) override;
    std::wstring GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) override;

protected:
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& Value) override;

private:
    // The value of the state a text names, or false.
    bool ValueOfStateName(const VARIANT& V, int32_t& Result) const;
};

// ---- TKoBitSet ----

class TKoBitSet : public TKoCustomState {
public:
    explicit TKoBitSet(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoBitSet"; }

    TKoBitItemList& States() const { return static_cast<TKoBitItemList&>(TKoCustomState::States()); }

    // The stored word, whatever its quality.
    uint32_t Value() const { return static_cast<uint32_t>(FValue); }
    void SetValue(uint32_t Value) { TKoCustomInteger::SetValue(static_cast<int32_t>(Value)); }
    uint32_t InitialValue() const { return static_cast<uint32_t>(FInitialValue); }
    void SetInitialValue(uint32_t Value) { FInitialValue = static_cast<int32_t>(Value); }

    uint16_t BitCount() const { return FBitCount; }
    // With StrictStates the items follow; above 32 that fails ("Max BitCount is 32") and the
    // count stays as it was.
    void SetBitCount(uint16_t Value);
    bool StrictStates() const { return FStrictStates; }
    void SetStrictStates(bool Value);
    // One item per bit, "Bit" and its position, up to BitCount.
    void InitStates();
    // The bits a value may have: the items' bits with StrictStates, else the BitCount lowest.
    uint32_t BitMask() const;

    // 2147483647 above 30 bits, else BitMask; -2147483648 from 32 bits, else 0.
    int32_t GetRangeMax() const override;
    int32_t GetRangeMin() const override;
    // Sets BitCount to the whole number not below log2(Value), plus 1.
    void SetRangeMax(int32_t Value) override;

    bool GetBitValues(int BitNr) const;
    // Fails while the quality is bad: the other bits have no value yet.
    void SetBitValues(int BitNr, bool BitValue);
    void SetBit(int Index) { SetBitValues(Index, true); }
    void ResetBit(int Index) { SetBitValues(Index, false); }
    void ToggleBit(int BitNr);

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;

    uint32_t GetVarPropValueAsLongWord(TKoVarPropType Prop, const VARIANT& V) override;
    int32_t GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V) override;
    int64_t GetVarPropValueAsInt64(TKoVarPropType Prop, const VARIANT& V) override;
    std::wstring GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) override;

protected:
    // The value as the 32-bit unsigned word it is (not as a signed integer), so that every
    // conversion sees 0xFFFFFFFF as 4294967295.
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    bool InRange(TKoVarPropType Prop, const VARIANT& AValue) override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& Value) override;
    TKoOleVariant GetInitialValue() override;

private:
    // The bits a bit-name list sets; an entry that names no bit fails.
    uint32_t BitsOfNames(const std::wstring& Text) const;

    uint16_t FBitCount = 32;
    bool FStrictStates = false;
};
