// Signals and slots: connection bookkeeping on both sides, emission order, and emissions that
// survive handlers which disconnect or destroy slots, or the signal itself.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KoExceptions.h"
#include "KoSignals.h"

namespace {

// A set of named slots on one signal. Slots and the signal live on the heap so that handlers
// can destroy them; whatever is left is freed at the end.
struct TSlotBench {
    TSlotBench() = default;
    TSlotBench(const TSlotBench&) = delete;
    TSlotBench& operator=(const TSlotBench&) = delete;
    ~TSlotBench() {
        for (TKoSlot* Slot : Slots) delete Slot;
        delete Signal;
    }

    // Adds a slot that logs its name on every delivery and then runs its action, if any.
    TKoSlot* AddSlot(const std::wstring& Name) {
        auto* Slot = new TKoSlot(Signal, nullptr);
        const size_t Index = Slots.size();
        Slot->OnSignal = [this, Name, Index](TKoComponent* Sender) {
            EXPECT_EQ(Sender, &Owner);
            Calls += Name;
            if (Index < Actions.size() && Actions[Index]) Actions[Index]();
        };
        Slots.push_back(Slot);
        Names.push_back(Name);
        return Slot;
    }

    void DestroySlot(size_t Index) {
        delete Slots[Index];
        Slots[Index] = nullptr;
    }
    void DestroySignal() {
        delete Signal;
        Signal = nullptr;
    }

    TKoComponent Owner{nullptr};
    TKoSignal* Signal = new TKoSignal(&Owner);
    std::vector<TKoSlot*> Slots;
    std::vector<std::wstring> Names;
    std::vector<std::function<void()>> Actions;
    std::wstring Calls;
};

class SlotBench : public ::testing::Test, public TSlotBench {};

TEST(SignalConnection, EitherSideRecordsOneConnectionAndOneDisconnect) {
    enum TSide { Slot, Signal, Both };
    struct Case {
        const char* Name;
        TSide ConnectFrom;
        TSide DisconnectFrom;
    };
    const Case Cases[] = {
        {"slot, slot", Slot, Slot},         {"slot, signal", Slot, Signal}, {"signal, slot", Signal, Slot},
        {"signal, signal", Signal, Signal}, {"both, both", Both, Both},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoComponent Owner{nullptr};
        TKoSignal Sig(&Owner);
        TKoSlot Sl;
        std::vector<TKoSignal*> Disconnects;
        Sl.OnDisconnect = [&](TKoSignal* Sender) { Disconnects.push_back(Sender); };

        for (int Twice = 0; Twice < 2; ++Twice) {
            if (C.ConnectFrom != Signal) Sl.Connect(&Sig);
            if (C.ConnectFrom != Slot) Sig.Connect(&Sl);
        }
        ASSERT_EQ(Sig.SlotCount(), 1);
        ASSERT_EQ(Sl.SignalCount(), 1);
        EXPECT_EQ(Sig.Slots(0), &Sl);
        EXPECT_EQ(Sl.Signals(0), &Sig);
        EXPECT_TRUE(Sig.IsConnected(&Sl));
        EXPECT_TRUE(Sl.IsConnected(&Sig));

        for (int Twice = 0; Twice < 2; ++Twice) {
            if (C.DisconnectFrom != Signal) Sl.Disconnect(&Sig);
            if (C.DisconnectFrom != Slot) Sig.Disconnect(&Sl);
        }
        EXPECT_EQ(Sig.SlotCount(), 0);
        EXPECT_EQ(Sl.SignalCount(), 0);
        EXPECT_EQ(Disconnects, std::vector<TKoSignal*>{&Sig});
    }
}

TEST(SignalConnection, NullAndUnknownPartnersAreIgnored) {
    TKoComponent Owner{nullptr};
    TKoSignal Sig(&Owner), Other(&Owner);
    TKoSlot Sl;
    int Disconnects = 0;
    Sl.OnDisconnect = [&](TKoSignal*) { ++Disconnects; };
    Sl.Connect(nullptr);
    Sig.Connect(nullptr);
    Sl.Connect(&Sig);
    Sl.Disconnect(&Other);
    Sl.Disconnect(nullptr);
    Sig.Disconnect(nullptr);
    EXPECT_FALSE(Sl.IsConnected(nullptr));
    EXPECT_EQ(Sl.SignalCount(), 1);
    EXPECT_EQ(Disconnects, 0);
}

TEST(SignalConnection, DestroyingASignalDisconnectsEverySlotLastFirst) {
    TKoComponent Owner{nullptr};
    auto* Sig = new TKoSignal(&Owner);
    TKoSlot A, B, C;
    std::wstring Order;
    for (auto [Slot, Name] : {std::pair{&A, L'A'}, std::pair{&B, L'B'}, std::pair{&C, L'C'}}) {
        Slot->Connect(Sig);
        Slot->OnDisconnect = [&Order, Name = Name, Sig](TKoSignal* Sender) {
            EXPECT_EQ(Sender, Sig);
            Order += Name;
        };
    }
    delete Sig;
    EXPECT_EQ(Order, L"CBA");
    EXPECT_EQ(A.SignalCount() + B.SignalCount() + C.SignalCount(), 0);
}

TEST(SignalConnection, DestroyingASlotLeavesEverySignal) {
    TKoComponent Owner{nullptr};
    TKoSignal First(&Owner), Second(&Owner);
    TKoSlot Stays;
    Stays.Connect(&First);
    auto* Goes = new TKoSlot;
    std::vector<TKoSignal*> Disconnects;
    Goes->OnDisconnect = [&](TKoSignal* Sender) { Disconnects.push_back(Sender); };
    Goes->Connect(&First);
    Goes->Connect(&Second);
    delete Goes;
    EXPECT_EQ(Disconnects, (std::vector<TKoSignal*>{&Second, &First}));
    EXPECT_EQ(First.SlotCount(), 1);
    EXPECT_EQ(First.Slots(0), &Stays);
    EXPECT_EQ(Second.SlotCount(), 0);
}

// A slot whose owner frees itself when its sender goes away (as a link does) must not break
// the destruction of the signal, nor make it skip or revisit another slot.
TEST(SignalConnection, SlotsFreedByTheirOwnDisconnectHandlerDuringSignalDestruction) {
    TKoComponent Owner{nullptr};
    auto* Sig = new TKoSignal(&Owner);
    std::wstring Order;
    TKoSlot* Slots[3];
    for (int I = 0; I < 3; ++I) {
        Slots[I] = new TKoSlot;
        Slots[I]->Connect(Sig);
    }
    TKoSlot* Survivor = Slots[0];
    for (int I = 0; I < 3; ++I) {
        TKoSlot* Self = Slots[I];
        const wchar_t Name = static_cast<wchar_t>(L'A' + I);
        Self->OnDisconnect = [&Order, Self, Name, Survivor](TKoSignal*) {
            Order += Name;
            if (Self != Survivor) delete Self;
        };
    }
    delete Sig;
    EXPECT_EQ(Order, L"CBA");
    EXPECT_EQ(Survivor->SignalCount(), 0);
    delete Survivor;
}

TEST_F(SlotBench, EmitCallsActiveSlotsInConnectionOrder) {
    struct Case {
        const char* Name;
        bool SignalActive;
        std::vector<bool> SlotActive;
        const wchar_t* Expected;
    };
    const Case Cases[] = {
        {"all active", true, {true, true, true}, L"ABC"},
        {"middle slot inactive", true, {true, false, true}, L"AC"},
        {"signal inactive", false, {true, true, true}, L""},
    };
    AddSlot(L"A");
    AddSlot(L"B");
    AddSlot(L"C");
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Signal->SetActive(C.SignalActive);
        for (size_t I = 0; I < Slots.size(); ++I) Slots[I]->SetActive(C.SlotActive[I]);
        Calls.clear();
        Signal->Emit();
        EXPECT_EQ(Calls, C.Expected);
    }
}

// What a handler of slot B may do to the list while the signal emits to A B C D. Slots that
// leave before their turn are not called, the ones behind them are not skipped, and slots that
// join wait for the next emission.
TEST_F(SlotBench, HandlersChangingTheSlotListDuringEmission) {
    struct Case {
        const char* Name;
        std::function<void(TSlotBench&)> ActionOfB;
        const wchar_t* First;  // calls of the emission in which B acts
        const wchar_t* Second; // calls of the next emission
    };
    const Case Cases[] = {
        {"B disconnects a later slot", [](TSlotBench& F) { F.Slots[2]->Disconnect(F.Signal); }, L"ABD",
         L"ABD"},
        {"B disconnects an earlier slot", [](TSlotBench& F) { F.Signal->Disconnect(F.Slots[0]); }, L"ABCD",
         L"BCD"},
        {"B disconnects itself", [](TSlotBench& F) { F.Slots[1]->Disconnect(F.Signal); }, L"ABCD", L"ACD"},
        {"B destroys a later slot", [](TSlotBench& F) { F.DestroySlot(2); }, L"ABD", L"ABD"},
        {"B destroys an earlier slot", [](TSlotBench& F) { F.DestroySlot(0); }, L"ABCD", L"BCD"},
        {"B destroys itself", [](TSlotBench& F) { F.DestroySlot(1); }, L"ABCD", L"ACD"},
        {"B disconnects all", [](TSlotBench& F) { F.Signal->DisconnectAll(); }, L"AB", L""},
        {"B connects a new slot", [](TSlotBench& F) { F.AddSlot(L"E"); }, L"ABCD", L"ABCDE"},
        {"B disconnects the two slots behind it",
         [](TSlotBench& F) {
             F.Signal->Disconnect(F.Slots[3]);
             F.Signal->Disconnect(F.Slots[2]);
         },
         L"AB", L"AB"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TSlotBench F;
        F.AddSlot(L"A");
        F.AddSlot(L"B");
        F.AddSlot(L"C");
        F.AddSlot(L"D");
        bool Done = false;
        F.Actions = {nullptr, [&] {
                         if (!Done) {
                             Done = true;
                             C.ActionOfB(F);
                         }
                     }};
        F.Signal->Emit();
        EXPECT_EQ(F.Calls, C.First);
        F.Calls.clear();
        F.Signal->Emit();
        EXPECT_EQ(F.Calls, C.Second);
    }
}

TEST_F(SlotBench, HandlerDestroyingTheSignalEndsTheEmission) {
    AddSlot(L"A");
    AddSlot(L"B");
    AddSlot(L"C");
    std::wstring Disconnects;
    for (size_t I = 0; I < Slots.size(); ++I)
        Slots[I]->OnDisconnect = [&Disconnects, Name = Names[I]](TKoSignal*) { Disconnects += Name; };
    Actions = {nullptr, [this] { DestroySignal(); }};
    Signal->Emit();
    EXPECT_EQ(Calls, L"AB");
    EXPECT_EQ(Disconnects, L"CBA");
    for (TKoSlot* Slot : Slots) EXPECT_EQ(Slot->SignalCount(), 0);
}

// An emission started by a handler of the same signal has a cursor of its own; a removal
// during the inner emission moves both.
TEST_F(SlotBench, NestedEmissionsKeepTheirOwnPlace) {
    AddSlot(L"A");
    AddSlot(L"B");
    AddSlot(L"C");
    int ACalls = 0, BCalls = 0;
    Actions = {[&] {
                   if (++ACalls == 1) Signal->Emit();
               },
               [&] {
                   if (++BCalls == 1) Signal->Disconnect(Slots[0]);
               }};
    Signal->Emit();
    EXPECT_EQ(Calls, L"AABCBC");
}

// A variable may have tens of thousands of slots, and removals leave gaps that are closed later,
// never under a running emission. With many slots going, inside and outside emissions, the
// order and the calls stay exactly as with a few.
TEST_F(SlotBench, ManyRemovalsKeepOrderAndCursors) {
    constexpr size_t kSlots = 200;
    for (size_t I = 0; I < kSlots; ++I) AddSlot(L"<" + std::to_wstring(I) + L">");
    auto Expected = [this](size_t From) {
        std::wstring Text;
        for (size_t I = From; I < Slots.size(); ++I)
            if (Slots[I] && Signal->IsConnected(Slots[I])) Text += Names[I];
        return Text;
    };
    // Outside an emission: every odd slot goes, then the first 60 even ones.
    for (size_t I = 1; I < kSlots; I += 2) Signal->Disconnect(Slots[I]);
    for (size_t I = 0; I < 120; I += 2) DestroySlot(I);
    EXPECT_EQ(Signal->SlotCount(), 40);
    EXPECT_EQ(Signal->Slots(0), Slots[120]);
    Calls.clear();
    Signal->Emit();
    EXPECT_EQ(Calls, Expected(0));

    // Inside one: slot 120's handler removes every slot but the last, then a later one joins.
    std::wstring Before = Names[120];
    Actions.assign(kSlots, nullptr);
    Actions[120] = [&] {
        if (!Before.empty())
            for (size_t I = 122; I + 2 < kSlots; I += 2) Signal->Disconnect(Slots[I]);
        Before.clear();
        AddSlot(L"<new>");
    };
    Calls.clear();
    Signal->Emit();
    EXPECT_EQ(Calls, L"<120><198>");
    Calls.clear();
    Signal->Emit();
    EXPECT_EQ(Calls, L"<120><198><new>"); // the second new slot waits for the next one
    ASSERT_EQ(Signal->SlotCount(), 4);
    EXPECT_EQ(Signal->Slots(3)->SignalCount(), 1);
    EXPECT_THROW(Signal->Slots(4), std::out_of_range);
}

TEST(SignalActivation, EverySlotHearsOfAChangeWhateverItsOwnFlag) {
    struct Case {
        const char* Name;
        bool From, To;
        const wchar_t* Expected;
    };
    const Case Cases[] = {
        {"deactivate", true, false, L"-A-B"},
        {"activate", false, true, L"+A+B"},
        {"unchanged active", true, true, L""},
        {"unchanged inactive", false, false, L""},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoComponent Owner{nullptr};
        TKoSignal Sig(&Owner);
        TKoSlot A, B;
        B.SetActive(false);
        std::wstring Log;
        for (auto [Slot, Name] : {std::pair{&A, L"A"}, std::pair{&B, L"B"}}) {
            Slot->Connect(&Sig);
            Slot->OnSignalActivate = [&Log, &Sig, Name = std::wstring(Name)](TKoSignal* Sender) {
                EXPECT_EQ(Sender, &Sig);
                Log += L"+" + Name;
            };
            Slot->OnSignalDeactivate = [&Log, &Sig, Name = std::wstring(Name)](TKoSignal* Sender) {
                EXPECT_EQ(Sender, &Sig);
                Log += L"-" + Name;
            };
        }
        Sig.SetActive(C.From);
        Log.clear();
        Sig.SetActive(C.To);
        EXPECT_EQ(Sig.Active(), C.To);
        EXPECT_EQ(Log, C.Expected);
    }
}

// ---- variable change signal ------------------------------------------------------------------

class TTestVarSignal : public TKoVarChangeSignal {
public:
    TTestVarSignal(TKoComponent* AOwner, TKoVar* AVar) : TKoVarChangeSignal(AOwner, AVar) {}
};

// The signal's variable stands for itself only: the slots compare the pointer, never use it.
class VarSignalFixture : public ::testing::Test {
protected:
    VarSignalFixture() {
        Plain.Connect(&Signal);
        Plain.OnSignal = [this](TKoComponent* Sender) {
            EXPECT_EQ(Sender, &Owner);
            Log += L"plain.signal ";
        };
    }

    // A change slot named Name that logs every delivery.
    TKoVarChangeSlot& AddVarSlot(const std::wstring& Name, bool DataOwner = false, bool Active = true) {
        auto Slot = std::make_unique<TKoVarChangeSlot>(&Signal, nullptr, nullptr);
        Slot->IsDataOwner = DataOwner;
        Slot->SetActive(Active);
        Slot->OnChange = [this, Name](TKoVar* Sender, TKoVarPropTypes Props) {
            EXPECT_EQ(Sender, Var);
            EXPECT_EQ(Props, (TKoVarPropTypes{vpValue, vpMean}));
            Log += Name + L".change ";
        };
        Slot->OnChanging = [this, Name](TKoVar* Sender, TKoVarPropType Prop, VARIANT&, TKoVarQuality&,
                                        TKoVarChangingResponse&) {
            EXPECT_EQ(Sender, Var);
            EXPECT_EQ(Prop, vpEngUnit);
            Log += Name + L".changing ";
        };
        Slot->OnConfigChange = [this, Name](TKoComponent* Sender) {
            EXPECT_EQ(Sender, &Owner);
            Log += Name + L".config ";
        };
        Slot->OnRangeChange = [this, Name](TKoComponent* Sender) {
            EXPECT_EQ(Sender, &Owner);
            Log += Name + L".range ";
        };
        VarSlots.push_back(std::move(Slot));
        return *VarSlots.back();
    }

    TKoComponent Owner{nullptr};
    TKoVar* const Var = reinterpret_cast<TKoVar*>(&Owner);
    TTestVarSignal Signal{&Owner, Var};
    TKoSlot Plain;
    std::vector<std::unique_ptr<TKoVarChangeSlot>> VarSlots;
    std::wstring Log;
};

TEST(VarChangeSignal, OnlyAVariableMayOwnIt) {
    TKoComponent Owner{nullptr};
    try {
        TTestVarSignal Signal(&Owner, nullptr);
        FAIL() << "no error";
    } catch (const EKoException& E) {
        EXPECT_EQ(E.Message(), L"TKoVarChangeSignal.Create: Only KoVars are accepted as owners.");
    }
}

// Who hears which notification: plain slots only the change, data owners only the changing
// call (first) and the configuration and range calls, inactive change slots only the changing
// call; an inactive signal tells nobody.
TEST_F(VarSignalFixture, EachNotificationReachesItsListeners) {
    AddVarSlot(L"link");
    AddVarSlot(L"owner", true);
    AddVarSlot(L"idle", false, false);
    struct Case {
        const char* Name;
        void (*Emit)(TKoVarChangeSignal&);
        const wchar_t* Expected;
    };
    const Case Cases[] = {
        {"change",
         [](TKoVarChangeSignal& S) {
             S.EmitChange({vpValue, vpMean});
         },
         L"plain.signal link.change "},
        {"changing",
         [](TKoVarChangeSignal& S) {
             VARIANT Value;
             VariantInit(&Value);
             TKoVarQuality Quality = vpqGood;
             TKoVarChangingResponse Response = crAccept;
             S.EmitChanging(vpEngUnit, Value, Quality, Response);
         },
         L"owner.changing link.changing idle.changing "},
        {"config", [](TKoVarChangeSignal& S) { S.EmitConfigChange(); }, L"link.config owner.config "},
        {"range", [](TKoVarChangeSignal& S) { S.EmitRangeChange(); }, L"link.range owner.range "},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Signal.SetActive(true);
        Log.clear();
        C.Emit(Signal);
        EXPECT_EQ(Log, C.Expected);
        Signal.SetActive(false);
        Log.clear();
        C.Emit(Signal);
        EXPECT_EQ(Log, L"");
    }
}

// The data owner may alter the writer's value, quality and response; the others see its
// result on copies, share one set of copies, and hand nothing back.
TEST_F(VarSignalFixture, ChangingGoesToTheDataOwnerFirstAndToTheOthersOnCopies) {
    TKoVarChangeSlot& Early = AddVarSlot(L"early");
    TKoVarChangeSlot& Owner1 = AddVarSlot(L"owner", true);
    TKoVarChangeSlot& Late = AddVarSlot(L"late");
    std::vector<std::wstring> Seen;
    Owner1.OnChanging = [&](TKoVar*, TKoVarPropType, VARIANT& Value, TKoVarQuality& Quality,
                            TKoVarChangingResponse& Response) {
        Seen.push_back(L"owner saw " + std::wstring(Value.bstrVal));
        VariantClear(&Value);
        Value.vt = VT_BSTR;
        Value.bstrVal = SysAllocString(L"clamped");
        Quality = vpqUncertain;
        Response = crRequested;
    };
    auto Other = [&](const wchar_t* Name) {
        return [&Seen, Name](TKoVar*, TKoVarPropType, VARIANT& Value, TKoVarQuality& Quality,
                             TKoVarChangingResponse& Response) {
            Seen.push_back(std::wstring(Name) + L" saw " + Value.bstrVal + L"/" + std::to_wstring(Quality) +
                           L"/" + std::to_wstring(Response));
            VariantClear(&Value);
            Value.vt = VT_BSTR;
            Value.bstrVal = SysAllocString(Name);
            Quality = vpqBad;
            Response = crReject;
        };
    };
    Early.OnChanging = Other(L"early");
    Late.OnChanging = Other(L"late");

    VARIANT Value;
    VariantInit(&Value);
    Value.vt = VT_BSTR;
    Value.bstrVal = SysAllocString(L"written");
    TKoVarQuality Quality = vpqGood;
    TKoVarChangingResponse Response = crAccept;
    Signal.EmitChanging(vpEngUnit, Value, Quality, Response);

    EXPECT_EQ(Seen, (std::vector<std::wstring>{L"owner saw written", L"early saw clamped/1/2",
                                               L"late saw early/0/1"}));
    ASSERT_EQ(Value.vt, VT_BSTR);
    EXPECT_STREQ(Value.bstrVal, L"clamped");
    EXPECT_EQ(Quality, vpqUncertain);
    EXPECT_EQ(Response, crRequested);
    VariantClear(&Value);
}

// A listener that goes away during a change (an item freed while its variable is written)
// is not called afterwards, and the listeners behind it still are.
TEST_F(VarSignalFixture, ChangeSlotDestroyedDuringEmission) {
    TKoVarChangeSlot& First = AddVarSlot(L"first");
    AddVarSlot(L"second");
    AddVarSlot(L"third");
    First.OnChange = [this](TKoVar*, TKoVarPropTypes) {
        Log += L"first.change ";
        VarSlots[1].reset();
    };
    Signal.EmitChange({vpValue, vpMean});
    EXPECT_EQ(Log, L"plain.signal first.change third.change ");
}

TEST(VarChangeSlot, ConstructorConnectsAndSetsBothHandlers) {
    TKoComponent Owner{nullptr};
    TTestVarSignal Signal(&Owner, reinterpret_cast<TKoVar*>(&Owner));
    int Changes = 0, Changings = 0;
    TKoVarChangeSlot Slot(
        &Signal, [&](TKoVar*, TKoVarPropTypes) { ++Changes; },
        [&](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&) { ++Changings; });
    ASSERT_TRUE(Signal.IsConnected(&Slot));
    VARIANT Value;
    VariantInit(&Value);
    TKoVarQuality Quality = vpqGood;
    TKoVarChangingResponse Response = crAccept;
    Signal.EmitChanging(vpValue, Value, Quality, Response);
    Signal.EmitChange({vpValue});
    EXPECT_EQ(Changes, 1);
    EXPECT_EQ(Changings, 1);
}

} // namespace
