#include "KoSignals.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "KoExceptions.h"

using KoSignalsDetail::TLoop;
using KoSignalsDetail::TLoopScope;

namespace {

// Handlers are called through a copy: a handler that destroys the object holding it (a link
// freeing itself when its variable goes away) must not pull the callable out from under its
// own call.
template <class TEvent, class... TArgs> void Fire(const TEvent& Event, TArgs&&... Args) {
    if (!Event) return;
    const auto Handler = KoHandlerOf(Event);
    Handler(std::forward<TArgs>(Args)...);
}

// Marks every running loop of an object that is being destroyed.
void MarkDestroyed(TLoop* Loops) {
    for (TLoop* Loop = Loops; Loop; Loop = Loop->Outer) Loop->Destroyed = true;
}

// Disconnects Self from each of Connected, the last first, skipping the ones already gone. The
// handlers run meanwhile may connect, disconnect or destroy anything: false when they destroyed
// Self, which the caller must then leave alone.
template <class TSelf, class TPeer>
bool DisconnectEachLastFirst(TSelf* Self, const std::vector<TPeer*>& Connected, TLoop*& Loops) {
    TLoop Loop;
    TLoopScope Scope(Loops, Loop);
    for (auto It = Connected.rbegin(); It != Connected.rend(); ++It) {
        if (!Self->IsConnected(*It)) continue;
        (*It)->Disconnect(Self);
        if (Loop.Destroyed) return false;
    }
    return true;
}

class TVariantCopy {
public:
    explicit TVariantCopy(const VARIANT& Source) {
        VariantInit(&FValue);
        // VariantCopy only reads its source, whatever its declaration says.
        const HRESULT Result = VariantCopy(&FValue, const_cast<VARIANT*>(&Source));
        if (FAILED(Result)) throw EKoOleError(Result);
    }
    ~TVariantCopy() { VariantClear(&FValue); }
    TVariantCopy(const TVariantCopy&) = delete;
    TVariantCopy& operator=(const TVariantCopy&) = delete;
    VARIANT& Value() { return FValue; }

private:
    VARIANT FValue;
};

} // namespace

// --- TKoSlot -----------------------------------------------------------------------------------

TKoSlot::TKoSlot() = default;

TKoSlot::TKoSlot(TKoSignal* ASignal, TKoNotifyEvent AOnSignal) : OnSignal(std::move(AOnSignal)) {
    Connect(ASignal);
}

TKoSlot::~TKoSlot() {
    FActive = false;
    FDestroying = true;
    DisconnectAll();
    MarkDestroyed(FLoops);
}

void TKoSlot::SetActive(bool Value) {
    FActive = Value;
}

void TKoSlot::Connect(TKoSignal* ASignal) {
    if (!ASignal || FDestroying || IsConnected(ASignal)) return;
    FSignals.push_back(ASignal);
    ASignal->Connect(this);
    // A signal that is being destroyed refuses the slot; keep both sides in agreement.
    if (!ASignal->IsConnected(this)) std::erase(FSignals, ASignal);
}

void TKoSlot::Disconnect(TKoSignal* ASignal) {
    const auto Pos = std::find(FSignals.begin(), FSignals.end(), ASignal);
    if (!ASignal || Pos == FSignals.end()) return;
    FSignals.erase(Pos);
    ASignal->Disconnect(this);
    Disconnected(ASignal);
}

void TKoSlot::Disconnected(TKoSignal* ASignal) {
    Fire(OnDisconnect, ASignal);
}

void TKoSlot::DisconnectAll() {
    // The handlers of OnDisconnect may destroy this slot: walk a copy.
    DisconnectEachLastFirst(this, std::vector<TKoSignal*>(FSignals), FLoops);
}

bool TKoSlot::IsConnected(const TKoSignal* ASignal) const {
    return ASignal && std::find(FSignals.begin(), FSignals.end(), ASignal) != FSignals.end();
}

void TKoSlot::SignalActivated(TKoSignal* ASignal) {
    Fire(OnSignalActivate, ASignal);
}

void TKoSlot::SignalDeactivated(TKoSignal* ASignal) {
    Fire(OnSignalDeactivate, ASignal);
}

void TKoSlot::Signal(TKoComponent* Sender) {
    if (FActive) Fire(OnSignal, Sender);
}

// --- TKoSignal ---------------------------------------------------------------------------------

TKoSignal::TKoSignal(TKoComponent* AOwner) : FOwner(AOwner) {}

TKoSignal::~TKoSignal() {
    BeginDestruction();
}

void TKoSignal::BeginDestruction() {
    if (!FDestroying) {
        FDestroying = true;
        // Emissions still running further down the stack must stop where they are.
        MarkDestroyed(FLoops);
        FLoops = nullptr;
    }
    DisconnectAll();
}

void TKoSignal::SetActive(bool Value) {
    if (Value == FActive) return;
    FActive = Value;
    ForEachSlot([this, Value](TKoSlot* Slot) {
        if (Value)
            Slot->SignalActivated(this);
        else
            Slot->SignalDeactivated(this);
    });
}

void TKoSignal::Connect(TKoSlot* ASlot) {
    if (!ASlot || FDestroying || IsConnected(ASlot)) return;
    FSlots.push_back(ASlot);
    try {
        FPositions.emplace(ASlot, FSlots.size() - 1);
    } catch (...) {
        FSlots.pop_back();
        throw;
    }
    ASlot->Connect(this);
    // A slot that is being destroyed refuses the signal; keep both sides in agreement.
    if (!ASlot->IsConnected(this)) Disconnect(ASlot);
}

void TKoSignal::Disconnect(TKoSlot* ASlot) {
    const auto Pos = ASlot ? FPositions.find(ASlot) : FPositions.end();
    if (Pos == FPositions.end()) return;
    // Running walks see the null and skip it: a removed slot that was still to come is not
    // called, and the others keep their places.
    FSlots[Pos->second] = nullptr;
    FPositions.erase(Pos);
    Compact();
    ASlot->Disconnect(this);
}

void TKoSignal::Compact() {
    const size_t Gaps = FSlots.size() - FPositions.size();
    if (FLoops || Gaps <= 16 || Gaps < FPositions.size()) return;
    size_t To = 0;
    for (TKoSlot* Slot : FSlots)
        if (Slot) {
            FPositions[Slot] = To;
            FSlots[To++] = Slot;
        }
    FSlots.resize(To);
}

void TKoSignal::DisconnectAll() {
    // A slot's OnDisconnect may destroy this signal (an owner freeing itself); stop then.
    std::vector<TKoSlot*> Connected;
    Connected.reserve(FPositions.size());
    for (TKoSlot* Slot : FSlots)
        if (Slot) Connected.push_back(Slot);
    if (DisconnectEachLastFirst(this, Connected, FLoops)) Compact();
}

bool TKoSignal::IsConnected(const TKoSlot* ASlot) const {
    return ASlot && FPositions.contains(ASlot);
}

TKoSlot* TKoSignal::Slots(int Index) const {
    if (Index >= 0)
        for (TKoSlot* Slot : FSlots)
            if (Slot && Index-- == 0) return Slot;
    throw std::out_of_range("TKoSignal::Slots: index out of range");
}

void TKoSignal::Emit() {
    if (!FActive || FDestroying) return;
    TKoComponent* const Sender = FOwner;
    ForEachSlot([Sender](TKoSlot* Slot) { Slot->Signal(Sender); });
}

// --- TKoVarChangeSlot --------------------------------------------------------------------------

TKoVarChangeSlot::TKoVarChangeSlot(TKoVarChangeSignal* ASignal, TKoVarChangeEvent AOnChange,
                                   TKoVarChangingEvent AOnChanging) {
    Connect(ASignal);
    OnChange = std::move(AOnChange);
    OnChanging = std::move(AOnChanging);
}

void TKoVarChangeSlot::VarChange(TKoVar* Sender, TKoVarPropTypes Props) {
    if (Active()) Fire(OnChange, Sender, Props);
}

void TKoVarChangeSlot::VarChanging(TKoVar* Sender, TKoVarPropType Prop, VARIANT& Value,
                                   TKoVarQuality& Quality, TKoVarChangingResponse& Response) {
    Fire(OnChanging, Sender, Prop, Value, Quality, Response);
}

void TKoVarChangeSlot::VarConfigChange(TKoComponent* Sender) {
    if (Active()) Fire(OnConfigChange, Sender);
}

void TKoVarChangeSlot::VarRangeChange(TKoComponent* Sender) {
    if (Active()) Fire(OnRangeChange, Sender);
}

// --- TKoVarChangeSignal ------------------------------------------------------------------------

namespace {
TKoComponent* CheckedVarOwner(TKoComponent* AOwner, TKoVar* AVar) {
    if (!AOwner || !AVar)
        throw EKoException(L"TKoVarChangeSignal.Create: Only KoVars are accepted as owners.");
    return AOwner;
}
} // namespace

namespace {
std::mutex GWatchersLock;
std::vector<TKoVarSignalWatcher*> GWatchers;
} // namespace

void KoAddVarSignalWatcher(TKoVarSignalWatcher* AWatcher) {
    if (!AWatcher) return;
    std::lock_guard Guard(GWatchersLock);
    if (std::find(GWatchers.begin(), GWatchers.end(), AWatcher) == GWatchers.end())
        GWatchers.push_back(AWatcher);
}

void KoRemoveVarSignalWatcher(TKoVarSignalWatcher* AWatcher) {
    std::lock_guard Guard(GWatchersLock);
    std::erase(GWatchers, AWatcher);
}

TKoVarChangeSignal::TKoVarChangeSignal(TKoComponent* AOwner, TKoVar* AVar)
    : TKoSignal(CheckedVarOwner(AOwner, AVar)), FVar(AVar) {
    // The watchers are called outside the lock: one may create a variable, or stop watching.
    std::vector<TKoVarSignalWatcher*> Watchers;
    {
        std::lock_guard Guard(GWatchersLock);
        Watchers = GWatchers;
    }
    for (TKoVarSignalWatcher* Watcher : Watchers) {
        bool StillWatching = false;
        {
            std::lock_guard Guard(GWatchersLock);
            StillWatching = std::find(GWatchers.begin(), GWatchers.end(), Watcher) != GWatchers.end();
        }
        if (StillWatching) Watcher->VarSignalCreated(this);
    }
}

// Disconnect while the object is still a variable's change signal, so that the slots'
// disconnect handlers see it as one.
TKoVarChangeSignal::~TKoVarChangeSignal() {
    BeginDestruction();
}

void TKoVarChangeSignal::EmitChange(TKoVarPropTypes Props) {
    if (!Active() || Destroying()) return;
    TKoComponent* const Owner = this->Owner();
    TKoVar* const Var = FVar;
    ForEachSlot([=](TKoSlot* Slot) {
        if (auto* VarSlot = Slot->AsVarChangeSlot()) {
            if (!VarSlot->IsDataOwner) VarSlot->VarChange(Var, Props);
        } else {
            Slot->Signal(Owner);
        }
    });
}

void TKoVarChangeSignal::EmitChanging(TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality,
                                      TKoVarChangingResponse& Response) {
    if (!Active() || Destroying()) return;
    TKoVar* const Var = FVar;
    const bool Alive = ForEachSlot([&](TKoSlot* Slot) {
        auto* VarSlot = Slot->AsVarChangeSlot();
        if (VarSlot && VarSlot->IsDataOwner) VarSlot->VarChanging(Var, Prop, Value, Quality, Response);
    });
    if (!Alive) return;
    TVariantCopy ValueCopy(Value);
    TKoVarQuality QualityCopy = Quality;
    TKoVarChangingResponse ResponseCopy = Response;
    ForEachSlot([&](TKoSlot* Slot) {
        auto* VarSlot = Slot->AsVarChangeSlot();
        if (VarSlot && !VarSlot->IsDataOwner && VarSlot->HearsChanging)
            VarSlot->VarChanging(Var, Prop, ValueCopy.Value(), QualityCopy, ResponseCopy);
    });
}

void TKoVarChangeSignal::EmitConfigChange() {
    if (!Active() || Destroying()) return;
    TKoComponent* const Owner = this->Owner();
    ForEachSlot([Owner](TKoSlot* Slot) {
        if (auto* VarSlot = Slot->AsVarChangeSlot()) VarSlot->VarConfigChange(Owner);
    });
}

void TKoVarChangeSignal::EmitRangeChange() {
    if (!Active() || Destroying()) return;
    TKoComponent* const Owner = this->Owner();
    ForEachSlot([Owner](TKoSlot* Slot) {
        if (auto* VarSlot = Slot->AsVarChangeSlot()) VarSlot->VarRangeChange(Owner);
    });
}
