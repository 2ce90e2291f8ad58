#pragma once
// Signals and slots: the notification mechanism of the variables.
//
// A signal belongs to a sender and lists the slots connected to it; a slot belongs to a
// listener and lists the signals it is connected to. Every connection is recorded on both
// sides, so either side may be destroyed first: the survivor drops the connection, and the
// slot hears of it through OnDisconnect.
//
// Handlers run synchronously and may do anything, including disconnecting or destroying
// slots or the signal that is calling them. An emission therefore walks the live slot list
// with a cursor that removals keep in step: it calls exactly the slots that were connected
// when it started and are still connected when their turn comes, never a removed one, and it
// stops at once when a handler destroys the signal. Slots connected during an emission wait
// for the next one.
//
// Nothing here locks: signals and slots are used only on the thread that writes the
// variables (the main thread).

#include <oaidl.h>

#include <functional>
#include <unordered_map>
#include <vector>

#include "KoClasses.h"
#include "KoVarTypes.h"

class TKoSignal;
class TKoSlot;
class TKoVarChangeSlot;
class TKoVar; // the variable core

using TKoSignalEvent = std::function<void(TKoSignal* Sender)>;
using TKoVarChangeEvent = std::function<void(TKoVar* Sender, TKoVarPropTypes Props)>;
using TKoVarChangingEvent = std::function<void(TKoVar* Sender, TKoVarPropType Prop, VARIANT& Value,
                                               TKoVarQuality& Quality, TKoVarChangingResponse& Response)>;

namespace KoSignalsDetail {
// Lets a loop that calls handlers learn that a handler destroyed the object that runs it.
// Loops of one object nest (a handler may start another); the object marks them all.
struct TLoop {
    size_t Next = 0;        // the next position to visit
    size_t End = 0;         // one past the last position this loop visits
    bool Destroyed = false; // the object was destroyed by a handler
    TLoop* Outer = nullptr; // the loop running further down the stack
};

// Keeps a loop on its object's list while it runs, also when a handler throws. Once the
// object is destroyed its list is gone, and the scope leaves it alone.
class TLoopScope {
public:
    TLoopScope(TLoop*& AHead, TLoop& ALoop) : FHead(AHead), FLoop(ALoop) {
        FLoop.Outer = FHead;
        // The object keeps the address of a loop on the caller's stack only while this scope
        // lives: the destructor takes it back. The optimiser's dangling-pointer check cannot
        // see that far.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
        FHead = &FLoop;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
    }
    ~TLoopScope() {
        if (!FLoop.Destroyed) FHead = FLoop.Outer;
    }
    TLoopScope(const TLoopScope&) = delete;
    TLoopScope& operator=(const TLoopScope&) = delete;

private:
    TLoop*& FHead;
    TLoop& FLoop;
};
} // namespace KoSignalsDetail

class TKoSlot {
public:
    TKoSlot();
    // Creates the slot with its OnSignal handler and connects it to ASignal.
    TKoSlot(TKoSignal* ASignal, TKoNotifyEvent AOnSignal);
    virtual ~TKoSlot();
    TKoSlot(const TKoSlot&) = delete;
    TKoSlot& operator=(const TKoSlot&) = delete;

    bool Active() const { return FActive; }
    virtual void SetActive(bool Value);

    // Called with the signal as sender.
    TKoSparseEvent<void(TKoSignal*)> OnSignalActivate;
    TKoSparseEvent<void(TKoSignal*)> OnSignalDeactivate;
    TKoSparseEvent<void(TKoSignal*)> OnDisconnect; // after a connection was removed, once per connection
    // Called with the signal's owner as sender on every emission while the slot is active.
    TKoSparseEvent<void(TKoComponent*)> OnSignal;

    int SignalCount() const { return static_cast<int>(FSignals.size()); }
    TKoSignal* Signals(int Index) const { return FSignals.at(static_cast<size_t>(Index)); }

    // Both sides' Connect and Disconnect call each other and stop when the connection already
    // is as asked, so either side may start and each side records it once.
    virtual void Connect(TKoSignal* ASignal);
    virtual void Disconnect(TKoSignal* ASignal);
    // Disconnects from every signal, the last connected first.
    void DisconnectAll();
    bool IsConnected(const TKoSignal* ASignal) const;

    // Delivery entry points of the signals: they run the handlers. A slot class of a listener
    // that hears through its own code rather than through handlers overrides them.
    virtual void SignalActivated(TKoSignal* ASignal);
    virtual void SignalDeactivated(TKoSignal* ASignal);
    virtual void Signal(TKoComponent* Sender);

    // The slot as a variable's change slot, or nullptr (asked for every slot of every emission,
    // so it is a virtual call rather than a type check).
    virtual TKoVarChangeSlot* AsVarChangeSlot() noexcept { return nullptr; }

protected:
    // A connection was removed (once per connection): raises OnDisconnect.
    virtual void Disconnected(TKoSignal* ASignal);

private:
    bool FActive = true;
    bool FDestroying = false; // no new connections once destruction began
    std::vector<TKoSignal*> FSignals;
    KoSignalsDetail::TLoop* FLoops = nullptr;
};

class TKoSignal {
public:
    explicit TKoSignal(TKoComponent* AOwner);
    virtual ~TKoSignal();
    TKoSignal(const TKoSignal&) = delete;
    TKoSignal& operator=(const TKoSignal&) = delete;

    bool Active() const { return FActive; }
    // When the flag changes, every connected slot hears of it, whatever its own Active flag.
    virtual void SetActive(bool Value);
    TKoComponent* Owner() const { return FOwner; }

    int SlotCount() const { return static_cast<int>(FPositions.size()); }
    // The Index-th connected slot in connection order (a walk: for tests and tools).
    TKoSlot* Slots(int Index) const;

    virtual void Connect(TKoSlot* ASlot);
    virtual void Disconnect(TKoSlot* ASlot);
    // Disconnects every slot, the last connected first.
    virtual void DisconnectAll();
    bool IsConnected(const TKoSlot* ASlot) const;

    // While active: every slot, in connection order, gets Signal(Owner).
    void Emit();

protected:
    // Calls Deliver for every slot that is connected when the walk starts and still connected
    // when its turn comes, in connection order. Returns false when a handler destroyed the
    // signal; the caller must then return without touching it.
    template <class TDeliver> bool ForEachSlot(TDeliver&& Deliver);

    bool Destroying() const { return FDestroying; }
    // Refuses new connections and emissions, stops running emissions and disconnects every
    // slot. The destructor runs it; a subclass may run it earlier so that the slots' handlers
    // still see the whole object.
    void BeginDestruction();

private:
    // Closes the gaps removals left, when they are many and no walk is running.
    void Compact();

    bool FActive = true;
    bool FDestroying = false; // no new connections and no emissions once destruction began
    TKoComponent* FOwner;
    // The slots in connection order. A removed slot leaves a null in its place, so that running
    // walks keep their positions and a removal costs the same however many slots there are (a
    // variable may have tens of thousands); Compact closes the gaps later.
    std::vector<TKoSlot*> FSlots;
    std::unordered_map<const TKoSlot*, size_t> FPositions; // each connected slot's place in FSlots
    KoSignalsDetail::TLoop* FLoops = nullptr;
};

class TKoVarChangeSignal;

// The slot through which a variable link or a variable list hears of one or more variables.
class TKoVarChangeSlot : public TKoSlot {
public:
    TKoVarChangeSlot() = default;
    TKoVarChangeSlot* AsVarChangeSlot() noexcept override { return this; }
    // Creates the slot, connects it to ASignal, then sets the two handlers.
    TKoVarChangeSlot(TKoVarChangeSignal* ASignal, TKoVarChangeEvent AOnChange,
                     TKoVarChangingEvent AOnChanging);

    // A data owner sees every intended change first, on the writer's own value, quality and
    // response, and may alter or veto it; it hears nothing of completed changes.
    bool IsDataOwner = false;
    // Whether a slot that is no data owner hears of intended changes (on copies, which it cannot
    // alter). A listener with no use for them turns this off and is passed over; a data owner
    // hears of them whatever it says.
    bool HearsChanging = true;
    TKoSparseEvent<void(TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&)>
        OnChanging;
    TKoSparseEvent<void(TKoComponent*)> OnConfigChange; // sender: the variable
    TKoSparseEvent<void(TKoComponent*)> OnRangeChange;  // sender: the variable
    TKoSparseEvent<void(TKoVar*, TKoVarPropTypes)> OnChange;

    // Delivery entry points of the variable's signal (they run the handlers; overridable as
    // the plain slot's). The changing call reaches an inactive slot too, so that a data owner
    // keeps its veto while it does not listen to changes.
    virtual void VarChange(TKoVar* Sender, TKoVarPropTypes Props);
    virtual void VarChanging(TKoVar* Sender, TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality,
                             TKoVarChangingResponse& Response);
    virtual void VarConfigChange(TKoComponent* Sender);
    virtual void VarRangeChange(TKoComponent* Sender);
};

// The change signal every variable owns; its owner is the variable.
class TKoVarChangeSignal : public TKoSignal {
public:
    // Only a variable may own the signal: anything else does not compile, and a null
    // variable fails with EKoException.
    template <class TVar>
    explicit TKoVarChangeSignal(TVar* AOwner) : TKoVarChangeSignal(AOwner, static_cast<TKoVar*>(AOwner)) {}

    ~TKoVarChangeSignal() override;

    TKoVar* Var() const { return FVar; }

    // While active: plain slots get Signal(Owner); change slots that are not data owners get
    // VarChange(Var, Props); data owners get nothing.
    void EmitChange(TKoVarPropTypes Props);
    // While active: data owners first, in connection order, on the caller's Value, Quality and
    // Response; then every other change slot on copies of the three (one set of copies,
    // shared by those slots), whose changes go nowhere. Plain slots get nothing.
    void EmitChanging(TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality,
                      TKoVarChangingResponse& Response);
    // While active: every change slot gets VarConfigChange(Owner) or VarRangeChange(Owner).
    void EmitConfigChange();
    void EmitRangeChange();

protected:
    // AOwner and AVar are the same object seen as component and as variable.
    TKoVarChangeSignal(TKoComponent* AOwner, TKoVar* AVar);

private:
    TKoVar* FVar;
};

// Hears of every variable's change signal as it is created, which is while its variable is
// being constructed. A component is told of its insertion into its owner before it is a
// variable, so whoever follows an owner's variables (a variable list) learns only here that the
// new component is one. At that point only the variable's component part (name, owner) and the
// signal itself may be used: the variable does not hand out its signal yet.
class TKoVarSignalWatcher {
public:
    virtual void VarSignalCreated(TKoVarChangeSignal* ASignal) = 0;

protected:
    ~TKoVarSignalWatcher() = default;
};

void KoAddVarSignalWatcher(TKoVarSignalWatcher* AWatcher);
void KoRemoveVarSignalWatcher(TKoVarSignalWatcher* AWatcher);

// ---------------------------------------------------------------------------------------------

template <class TDeliver> bool TKoSignal::ForEachSlot(TDeliver&& Deliver) {
    KoSignalsDetail::TLoop Loop;
    Loop.End = FSlots.size();
    {
        KoSignalsDetail::TLoopScope Scope(FLoops, Loop);
        while (Loop.Next < Loop.End) {
            TKoSlot* Slot = FSlots[Loop.Next++];
            if (!Slot) continue; // removed
            Deliver(Slot);
            if (Loop.Destroyed) return false;
        }
    }
    Compact();
    return true;
}
