#pragma once
// Variable links and variable lists: how everything outside a variable reads, writes and
// watches it.
//
//   TKoVarLink        one property of one variable for one user (an OPC item, a history array):
//                     typed reads and writes, and the variable's notifications for that property
//                     as the link's own events
//   TKoComponentList  an ordered list of component references that drops an entry by itself when
//                     that component is destroyed, and frees its entries when it owns them
//   └─ TKoVarList     a list of variables with one change slot connected to all of them; attached
//                     to a module it follows the variables the module owns
//
// Nothing here locks: links and lists are used on the thread that writes the variables.

#include <oaidl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoPersistent.h"
#include "KoSignals.h"
#include "KoVarTypes.h"
#include "KoVariants.h"
#include "KoVars.h"

class TKoStrings;

// ---- variable link ----

using TKoVarLinkChangingEvent = std::function<void(TKoPersistentBase* Sender, VARIANT& Value,
                                                   TKoVarQuality& Quality, TKoVarChangingResponse& Response)>;
using TKoGetAsStringEvent = std::function<void(TKoPersistentBase* Sender, const VARIANT& Value,
                                               TKoVarQuality Quality, std::wstring& AsString)>;

class TKoVarLink : public TKoPersistent {
public:
    // Active, BadValues set, vpValue, no variable.
    TKoVarLink();
    // Nothing is reported any more: the handlers of the link's end are cleared first.
    ~TKoVarLink() override;

    // From another link: VarProp, Active, then Variable.
    void Assign(const TKoPersistentBase* Source) override;
    // Links without a variable first, then by the variables' name paths (letter case ignored),
    // then by property. SameProps gets "Variable" and "VarProp" when both agree.
    int Compare(const TKoPersistent* Other, TKoStrings* SameProps) const override;

    // ---- binding ----

    TKoVar* Variable() const { return FVariable; }
    // A re-pointed or cleared link raises OnVarDestroy (for the old variable), then OnConfig.
    void SetVariable(TKoVar* Value);
    TKoVarPropType VarProp() const { return FVarProp; }
    virtual void SetVarProp(TKoVarPropType Value);
    bool Active() const { return FVarChangeSlot.Active(); }
    virtual void SetActive(bool Value);
    bool IsDataOwner() const { return FVarChangeSlot.IsDataOwner; }
    void SetIsDataOwner(bool Value);
    // Whether the link hears of intended changes while it is no data owner (Changing, OnChanging);
    // on by default. A user with no use for them turns it off, and the variable's writes pass
    // the link over.
    bool HearsChanging() const { return FVarChangeSlot.HearsChanging; }
    void SetHearsChanging(bool Value) { FVarChangeSlot.HearsChanging = Value; }
    // Whether a change to a bad value is reported as a change (OnBadValue is raised either way),
    // and whether an empty or null Value written through the link reaches the variable.
    bool BadValues() const { return FBadValues; }
    void SetBadValues(bool Value) { FBadValues = Value; }
    // Kept for the link's users; the link's own texts do not use it.
    const std::wstring& DisplayFormat() const { return FDisplayFormat; }
    void SetDisplayFormat(const std::wstring& Value);
    // Kept in the slot and called by it with the variable as sender.
    TKoNotifyEvent OnRangeChange() const { return FVarChangeSlot.OnRangeChange.Handler(); }
    void SetOnRangeChange(TKoNotifyEvent Value) { FVarChangeSlot.OnRangeChange = std::move(Value); }

    // ---- reads (without a variable: the answers of an unbound link, see each) ----

    virtual TKoOleVariant GetValue();   // null
    virtual double GetAsFloat();        // KoBadFloat
    int32_t GetAsInteger();             // KoBadInteger
    bool GetAsBool();                   // fails: "Variable not assigned."
    std::wstring GetAsString();         // "#NULL"; then OnGetAsString may replace the text
    virtual TKoVarQuality GetQuality(); // vpqBad
    virtual double GetTimestamp();      // 0
    virtual bool GetIsValid();          // false
    TKoVarDataType DataType() const;    // vdtDefault
    TKoVarDataType VarDataType() const { return DataType(); }
    bool IsArray() const;                       // false
    bool ReadOnly() const;                      // true
    TKoVarQuality QualityOfEmptyString() const; // vpqBad
    bool IsBad() { return GetQuality() == vpqBad; }
    bool IsUncertain() { return GetQuality() == vpqUncertain; }
    bool IsGood() { return GetQuality() == vpqGood; }
    // Fails without a variable: "Variable not assigned."
    TKoOleVariant GetAsDataType(TKoVarDataType ADataType, bool AsArray);
    // Converts a given value as the property would; without a variable by the platform's
    // conversion to the data type's variant type.
    TKoOleVariant GetValueAsDataType(const VARIANT& AValue, TKoVarDataType ADataType, bool AsArray);

    TKoOleVariant Value() { return GetValue(); }
    double AsFloat() { return GetAsFloat(); }
    int32_t AsInteger() { return GetAsInteger(); }
    bool AsBool() { return GetAsBool(); }
    std::wstring AsString() { return GetAsString(); }
    TKoVarQuality Quality() { return GetQuality(); }
    double Timestamp() { return GetTimestamp(); }
    bool IsValid() { return GetIsValid(); }

    // ---- writes (nothing without a variable; the variable's errors reach the caller) ----

    // The link's own writes do not come back to it as change events, except SetAsDataType with
    // DisableEcho false.
    virtual void SetValue(const VARIANT& AValue);
    void SetAsBool(bool AValue);
    void SetAsFloat(double AValue);
    void SetAsInteger(int32_t AValue);
    void SetAsString(const std::wstring& AValue);
    void SetAsDataType(const VARIANT& AValue, TKoVarDataType ADataType, bool AsArray, bool DisableEcho);
    // Bad quality stamped ATimeStamp (0: now).
    void Undefine(double ATimeStamp);
    void BeginUpdate();
    void EndUpdate(TKoVarQuality AQuality, double ATimestamp, bool CallChanging);
    // With the link's current quality and time stamp.
    void EndUpdate(bool CallChanging);

    // ---- echo suppression (not a lock between threads) ----

    void Lock();
    void UnLock();
    bool Locked() const { return FLockCnt != 0; }

    // ---- events ----

    // A link costs a pointer for each event nobody handles: thousands of links (one per OPC item)
    // handle one or two of them.
    TKoSparseEvent<void(TKoPersistentBase*)> OnBadValue;
    TKoSparseEvent<void(TKoPersistentBase*)> OnChange;
    TKoSparseEvent<void(TKoPersistentBase*, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&)> OnChanging;
    TKoSparseEvent<void(TKoPersistentBase*, const VARIANT&, TKoVarQuality, std::wstring&)> OnGetAsString;
    TKoSparseEvent<void(TKoPersistentBase*)> OnVarChange;
    TKoSparseEvent<void(TKoPersistentBase*)> OnVarDestroy;

protected:
    // Raises OnChange, then OnVarChange.
    virtual void Changed();
    virtual void Changing(VARIANT& AValue, TKoVarQuality& AQuality, TKoVarChangingResponse& Response);
    virtual std::wstring GetAsStringBad();
    virtual std::wstring GetAsStringGood();
    // A hook of the constructor, run before the link is activated. Being called from the
    // constructor it runs this class's version only.
    virtual void Initialize() {}
    // A hook: the watched signal was activated or deactivated.
    virtual void SignalActiveChange(TKoSignal* /*Sender*/) {}
    virtual void VarChange(TKoVar* Sender, TKoVarPropTypes Props);
    virtual void VarChanging(TKoVar* Sender, TKoVarPropType Prop, VARIANT& AValue, TKoVarQuality& AQuality,
                             TKoVarChangingResponse& Response);
    virtual void VarConfigChange(TKoComponent* Sender);
    // Raises OnVarDestroy.
    virtual void VarDestroy();
    void DoBadValue();
    // Raises the error a handler raised (the current exception) as an EKoVarException that names
    // the link, the handler, the variable and the property; for the link's own change code too.
    [[noreturn]] void RaiseHandlerError(const wchar_t* HandlerName) const;
    // A hook: the first Lock and the last UnLock.
    virtual void SetLocking(bool /*Value*/) {}

private:
    class TLockScope;
    // The link's ear at its variable: it hands what it hears straight to the link (no handlers
    // of its own, which thousands of links would pay for), until the link forgets it. It is part
    // of the link, so that a change reaches both in one place of memory.
    class TSlot final : public TKoVarChangeSlot {
    public:
        explicit TSlot(TKoVarLink& ALink) : FLink(&ALink) {}
        void Forget() noexcept { FLink = nullptr; }
        bool Forgotten() const noexcept { return !FLink; }
        void SignalActivated(TKoSignal* ASignal) override;
        void SignalDeactivated(TKoSignal* ASignal) override;
        void VarChange(TKoVar* Sender, TKoVarPropTypes Props) override;
        void VarChanging(TKoVar* Sender, TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality,
                         TKoVarChangingResponse& Response) override;
        void VarConfigChange(TKoComponent* Sender) override;

    protected:
        void Disconnected(TKoSignal* ASignal) override;

    private:
        TKoVarLink* FLink;
    };

    void SlotDisconnect(TKoSignal* Sender);
    // Runs one of OnChange, OnVarChange, OnChanging; its error becomes an EKoVarException that
    // names the link, the handler, the variable and the property.
    template <class THandler, class... TArgs>
    void CallHandler(const wchar_t* HandlerName, THandler& Handler, TArgs&&... Args);

    int32_t FLockCnt = 0;
    TSlot FVarChangeSlot{*this};
    bool FBadValues = true;
    std::wstring FDisplayFormat;
    TKoVar* FVariable = nullptr;
    TKoVarPropType FVarProp = vpValue;
};

// Registers TKoVarLink with the property reflection (Variable, VarProp); runs at most once.
void KoRegisterTKoVarLinkRTTI();

// ---- component list ----

class EKoComponentListError : public EKoException {
public:
    using EKoException::EKoException;
    const wchar_t* ClassName() const noexcept override { return L"EKoComponentListError"; }
};

class TKoComponentList {
public:
    explicit TKoComponentList(bool AOwnsObjects);
    // Frees the entries when the list owns them.
    virtual ~TKoComponentList();
    TKoComponentList(const TKoComponentList&) = delete;
    TKoComponentList& operator=(const TKoComponentList&) = delete;

    int Count() const { return static_cast<int>(FItems.size()); }
    bool OwnsObjects() const { return FOwnsObjects; }
    // An index outside 0 .. Count - 1 fails with "List index out of bounds (%d)".
    TKoComponent* Components(int Index) const;
    void SetComponents(int Index, TKoComponent* AComponent);
    int AddComponent(TKoComponent* AComponent);
    void InsertComponent(int Index, TKoComponent* AComponent);
    int IndexOfComponent(const TKoComponent* AComponent) const;
    // Removes the entry; an owning list frees the component unless it is going away already.
    void Delete(int Index);
    // Removes the first occurrence and returns its former index, or -1.
    int RemoveComponent(TKoComponent* AComponent);
    void Clear();

protected:
    // Drops every entry of a component that goes away, without freeing it.
    virtual void ComponentGone(TKoComponent* AComponent);

private:
    class TNotifier;
    void Watch(TKoComponent* AComponent);
    // Stops watching a component that no entry holds any more.
    void Unwatch(TKoComponent* AComponent);
    void CheckIndex(int Index) const;

    bool FOwnsObjects;
    std::vector<TKoComponent*> FItems;
    // Asks the entries for free notifications; it has no owner of its own.
    std::unique_ptr<TNotifier> FNotifier;
};

// ---- variable list ----

enum TKoDuplicates { dupIgnore, dupAccept, dupError };

class TKoVarList : public TKoComponentList, private TKoVarSignalWatcher {
public:
    TKoVarList();
    explicit TKoVarList(bool AOwnsObjects);
    // Attached to AComponent; when that fails the error goes on and no list is made.
    explicit TKoVarList(TKoComponent* AComponent);
    ~TKoVarList() override;

    TKoDuplicates Duplicates() const { return FDuplicates; }
    void SetDuplicates(TKoDuplicates Value) { FDuplicates = Value; }
    TKoComponent* AttachedTo() const { return FAttachedTo; }

    // Kept in the slot: OnChange is called for every change of every connected variable while
    // the list is active, with the changed variable as sender.
    bool Active() const { return FVarChangeSlot->Active(); }
    void SetActive(bool Value) { FVarChangeSlot->SetActive(Value); }
    TKoVarChangeEvent OnChange() const { return FVarChangeSlot->OnChange.Handler(); }
    void SetOnChange(TKoVarChangeEvent Value) { FVarChangeSlot->OnChange = std::move(Value); }
    TKoVarChangingEvent OnChanging() const { return FVarChangeSlot->OnChanging.Handler(); }
    void SetOnChanging(TKoVarChangingEvent Value) { FVarChangeSlot->OnChanging = std::move(Value); }
    TKoNotifyEvent OnRangeChange() const { return FVarChangeSlot->OnRangeChange.Handler(); }
    void SetOnRangeChange(TKoNotifyEvent Value) { FVarChangeSlot->OnRangeChange = std::move(Value); }

    // Appends (dupAccept) or looks the variable up first: dupIgnore answers the index it has,
    // dupError fails. An appended variable gets the slot connected.
    int Add(TKoVar* AVariable);
    // Add for every variable AComponent owns, in its component order.
    void AddVariables(TKoComponent* AComponent);
    // Without the duplicate check; connects the slot.
    void Insert(int Index, TKoVar* AVariable);
    // The first occurrence; the slot stays connected to the variable.
    int Remove(TKoVar* AVariable);
    int IndexOf(const TKoVar* AVariable) const { return IndexOfComponent(AVariable); }
    // The first variable of that exact name (letter case counts), or -1.
    int IndexOfName(const std::wstring& Name) const;

    // Fails with EKoInvalidCast for an entry that is no variable.
    TKoVar* Items(int Index) const;
    // Replaces the entry; connections stay as they are.
    void SetItems(int Index, TKoVar* AVariable);
    // The entry, or nullptr for one that is no variable.
    TKoVar* Variables(int Index) const;
    // Moves the slot's connection from the old entry to the new one.
    void SetVariables(int Index, TKoVar* AVariable);

    // Clear, then Add every entry that is a variable; nothing for no source.
    void Assign(const std::vector<TKoComponent*>* Source);
    void Assign(const TKoStrings* Source);
    // Every entry; the string form as the variables' captions with the variables as objects.
    void AssignTo(std::vector<TKoComponent*>* Dest) const;
    void AssignTo(TKoStrings* Dest) const;

    // Follows the variables AComponent owns (none: stops following).
    void Attach(TKoComponent* AComponent);
    void Detach() { Attach(nullptr); }
    // The nexus's report of a component inserted into or removed from the attached component.
    void HandleNotification(TKoComponent* AComponent, TKoOperation Operation);

private:
    int AddConnected(TKoVar* AVariable, TKoVarChangeSignal* ASignal);
    void VarSignalCreated(TKoVarChangeSignal* ASignal) override;
    void SlotDisconnect(TKoSignal* Sender);

    TKoComponent* FAttachedTo = nullptr;
    TKoDuplicates FDuplicates = dupIgnore;
    TKoComponentNexus* FNexus = nullptr; // owned by FAttachedTo
    std::unique_ptr<TKoVarChangeSlot> FVarChangeSlot;
};
