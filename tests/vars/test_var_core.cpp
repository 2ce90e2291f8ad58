// The variable core: the write path with its change filters, vetoes and range rules, update
// brackets, notification, alarm state, loading hold-back and life cycle.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoUtils.h"
#include "KoVars.h"

namespace {

// A variable with a double value: enough to drive the base class.
class TTestVar : public TKoVar {
public:
    using TKoVar::TKoVar;
    const wchar_t* ClassName() const override { return L"TTestVar"; }

    double Value() const { return FValue; }
    void SetValue(double V) { SetFloatProp(vpValue, FValue, V, false); }

    bool HasRange = false;
    double RangeMin = 0, RangeMax = 0;
    double InitialValue = 0;

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override {
        return Prop == vpValue ? vdtDouble : TKoVar::GetPropDataType(Prop);
    }

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override {
        return Prop == vpValue ? TKoOleVariant(FValue) : TKoVar::GetPropValueGood(Prop);
    }
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) override {
        if (Prop == vpValue)
            SetValue(GetVarPropValueAsFloat(Prop, V));
        else
            TKoVar::SetPropValueGood(Prop, V);
    }
    bool InRange(TKoVarPropType Prop, const VARIANT& V) override {
        if (Prop != vpValue || !HasRange) return true;
        const double D = GetVarPropValueAsFloat(Prop, V);
        return D >= RangeMin && D <= RangeMax;
    }
    // Warning from 80, alarm from 100.
    TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& V) override {
        const double D = GetVarPropValueAsFloat(vpValue, V);
        return D >= 100 ? asAlarm : D >= 80 ? asWarning : asNormal;
    }
    TKoOleVariant GetInitialValue() override { return TKoOleVariant(InitialValue); }

private:
    double FValue = KoBadFloat;
};

// Records every notification of a variable: OnChange, OnValueChange and a connected slot.
struct TRecorder {
    explicit TRecorder(TKoVar& Var) : Slot(Var.ChangeSignal(), nullptr, nullptr) {
        Var.OnChange = [this](TKoVar*, TKoVarPropTypes Props) { Changes.push_back(Props); };
        Var.OnValueChange = [this](TKoComponent*) { ++ValueChanges; };
        Slot.OnChange = [this](TKoVar*, TKoVarPropTypes Props) { SlotChanges.push_back(Props); };
    }
    std::vector<TKoVarPropTypes> Changes;
    std::vector<TKoVarPropTypes> SlotChanges;
    int ValueChanges = 0;
    TKoVarChangeSlot Slot;
};

class VarCore : public ::testing::Test {
protected:
    VarCore() {
        Module.SetName(L"Mod");
        Var = new TTestVar(&Module);
        Var->SetName(L"V1");
    }
    TKoComponent Module{nullptr};
    TTestVar* Var; // owned by Module
};

TEST_F(VarCore, StartsBadAndInvalidWithItsCaptionFollowingTheName) {
    TTestVar Fresh(nullptr);
    for (int P = 0; P < KoVarPropTypeCount; ++P) {
        const auto Prop = static_cast<TKoVarPropType>(P);
        EXPECT_EQ(Fresh.GetPropQuality(Prop), vpqBad) << P;
        EXPECT_FALSE(Fresh.GetPropIsValid(Prop)) << P;
    }
    EXPECT_EQ(Var->Caption(), L"V1");
    EXPECT_EQ(Var->GetPropQuality(vpCaption), vpqGood);
    Var->SetName(L"V2");
    EXPECT_EQ(Var->Caption(), L"V2");
    Var->SetCaption(L"Own");
    Var->SetName(L"V3");
    EXPECT_EQ(Var->Caption(), L"Own");
    EXPECT_TRUE(Var->Active());
    EXPECT_EQ(Var->Access(), daFull);
    EXPECT_EQ(Var->ChangeFilter(), cfQualityValue);
    EXPECT_EQ(Var->VarPath(), L"Mod.V3");
}

TEST_F(VarCore, IdentifiersCountUpAndSetIDRaisesTheLastOne) {
    TTestVar Other(nullptr);
    EXPECT_EQ(Other.ID(), Var->ID() + 1);
    Other.SetID(TKoVar::LastID() + 100);
    TTestVar Third(nullptr);
    EXPECT_EQ(Third.ID(), Other.ID() + 1);
    Third.SetID(1); // never lowers the last one
    TTestVar Fourth(nullptr);
    EXPECT_EQ(Fourth.ID(), Other.ID() + 2);
}

TEST_F(VarCore, AcceptedWriteIsStampedNowAndNotifiedOnce) {
    TRecorder Rec(*Var);
    const double Before = NowUTC();
    Var->SetValue(3.5);
    const double After = NowUTC();
    EXPECT_EQ(Var->Value(), 3.5);
    EXPECT_EQ(Var->Quality(), vpqGood);
    EXPECT_GE(Var->TimeStamp(), Before);
    EXPECT_LE(Var->TimeStamp(), After);
    ASSERT_EQ(Rec.Changes.size(), 1u);
    EXPECT_EQ(Rec.Changes[0], (TKoVarPropTypes{vpValue}));
    EXPECT_EQ(Rec.SlotChanges, Rec.Changes);
    EXPECT_EQ(Rec.ValueChanges, 1);
}

TEST_F(VarCore, WriteThatChangesNothingTellsNoOne) {
    Var->SetValue(3.5);
    TRecorder Rec(*Var);
    int Changing = 0;
    Var->OnChanging = [&](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&) {
        ++Changing;
    };
    const double Stamp = Var->TimeStamp();
    Sleep(2);
    Var->SetValue(3.5);
    Var->SetPropValue(vpValue, TKoOleVariant(3.5));
    Var->SetCaption(L"V1");
    EXPECT_EQ(Changing, 0);
    EXPECT_TRUE(Rec.Changes.empty());
    EXPECT_TRUE(Rec.SlotChanges.empty());
    EXPECT_EQ(Var->TimeStamp(), Stamp);
}

TEST_F(VarCore, ChangeFilterDecidesWhatCounts) {
    struct Case {
        const char* Name;
        TKoVarChangeFilter Filter;
        double Value;
        TKoVarQuality Quality;
        bool NewStamp;
        bool Notified;
    };
    // Each case starts from value 1.0, good, stamped T.
    const Case Cases[] = {
        {"value filter, same value, new stamp", cfQualityValue, 1.0, vpqGood, true, false},
        {"value filter, new value", cfQualityValue, 2.0, vpqGood, false, true},
        {"value filter, new quality", cfQualityValue, 1.0, vpqUncertain, false, true},
        {"timestamp filter, same value, new stamp", cfQualityValueTimestamp, 1.0, vpqGood, true, true},
        {"timestamp filter, same value, same stamp", cfQualityValueTimestamp, 1.0, vpqGood, false, false},
        {"quality filter, new value", cfQuality, 2.0, vpqGood, true, false},
        {"quality filter, new quality", cfQuality, 1.0, vpqUncertain, false, true},
        {"bad quality again", cfQualityValue, 5.0, vpqBad, true, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TTestVar V(nullptr);
        V.SetChangeFilter(C.Filter);
        const double T = 45000.5;
        const TKoVarQuality Start = C.Quality == vpqBad ? vpqBad : vpqGood;
        V.SetPropValueAt(vpValue, TKoOleVariant(1.0), Start, T, true, vdtDefault, false);
        ASSERT_EQ(V.Quality(), Start);
        TRecorder Rec(V);
        const double T2 = C.NewStamp ? T + 1 : T;
        V.SetPropValueAt(vpValue, TKoOleVariant(C.Value), C.Quality, T2, true, vdtDefault, false);
        EXPECT_EQ(Rec.Changes.size(), C.Notified ? 1u : 0u);
        if (C.Notified) {
            // The caller's quality and stamp win over what the value setter recorded.
            EXPECT_EQ(V.Quality(), C.Quality);
            EXPECT_EQ(V.TimeStamp(), T2);
        } else {
            EXPECT_EQ(V.TimeStamp(), T);
        }
    }
}

TEST_F(VarCore, SetPropValueAtIgnoresAStampNotAboveZeroAndUndefineStampsNow) {
    Var->SetValue(1.0);
    TRecorder Rec(*Var);
    Var->SetPropValueAt(vpValue, TKoOleVariant(2.0), vpqGood, 0, true, vdtDefault, false);
    Var->SetPropValueAt(vpValue, TKoOleVariant(2.0), vpqGood, -1, true, vdtDefault, false);
    EXPECT_EQ(Var->Value(), 1.0);
    EXPECT_TRUE(Rec.Changes.empty());
    Sleep(2);
    const double Before = NowUTC();
    Var->Undefine(vpValue, 0);
    EXPECT_EQ(Var->Quality(), vpqBad);
    EXPECT_GE(Var->TimeStamp(), Before);
    EXPECT_LE(Var->TimeStamp(), NowUTC());
    EXPECT_EQ(Rec.Changes.size(), 1u);
}

TEST_F(VarCore, SentinelsAndNonNumbersWriteBadQuality) {
    for (double Bad : {KoBadFloat, std::numeric_limits<double>::quiet_NaN(), HUGE_VAL}) {
        TTestVar V(nullptr);
        V.SetValue(1.0);
        V.SetValue(Bad);
        EXPECT_EQ(V.Quality(), vpqBad) << Bad;
        EXPECT_TRUE(V.GetPropIsValid(vpValue));
        EXPECT_EQ(V.GetPropAsFloat(vpValue), KoBadFloat);
    }
}

class VarVeto : public VarCore {
protected:
    void ExpectUnchanged(double Stamp) {
        EXPECT_EQ(Var->Value(), 1.0);
        EXPECT_EQ(Var->Quality(), vpqGood);
        EXPECT_EQ(Var->TimeStamp(), Stamp);
    }
};

TEST_F(VarVeto, RejectLeavesEverythingAndRaisesWithTheExactText) {
    struct Case {
        const char* Name;
        std::function<void(TKoVarChangingResponse&)> Handler;
        std::wstring Text;
    };
    const Case Cases[] = {
        {"reject", [](TKoVarChangingResponse& R) { R = crReject; },
         L"VarProp change rejected: V1[Value] Value:7  Quality:Good"},
        {"error in the handler", [](TKoVarChangingResponse&) { throw EKoError(L"boom"); },
         L"VarProp change rejected: V1[Value] Value:7  Quality:Good; EKoVarException: Exception 'EKoError' "
         L"in "
         L"OnChanging handler (Variable=Mod.V1): boom"},
    };
    Var->SetValue(1.0);
    const double Stamp = Var->TimeStamp();
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TRecorder Rec(*Var);
        Var->OnChanging = [&](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse& R) {
            C.Handler(R);
        };
        try {
            Var->SetValue(7.0);
            ADD_FAILURE() << "no error";
        } catch (const EKoVarChangeReject& E) {
            EXPECT_EQ(E.Message(), C.Text);
        }
        ExpectUnchanged(Stamp);
        EXPECT_TRUE(Rec.Changes.empty());
        EXPECT_EQ(Var->UpdateCount(), 0);
    }
}

TEST_F(VarVeto, DataOwnerSlotVetoesAndOtherSlotsCannot) {
    Var->SetValue(1.0);
    const double Stamp = Var->TimeStamp();
    TKoVarChangeSlot Watcher(
        Var->ChangeSignal(), nullptr,
        [](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse& R) {
            R = crReject; // a copy: goes nowhere
        });
    Var->SetValue(2.0);
    EXPECT_EQ(Var->Value(), 2.0);
    Var->SetValue(1.0);
    const double Stamp2 = Var->TimeStamp();
    EXPECT_GE(Stamp2, Stamp);
    TKoVarChangeSlot Owner(
        Var->ChangeSignal(), nullptr,
        [](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse& R) { R = crReject; });
    Owner.IsDataOwner = true;
    EXPECT_THROW(Var->SetValue(7.0), EKoVarChangeReject);
    ExpectUnchanged(Stamp2);
}

TEST_F(VarVeto, RequestedSuppressesWithoutErrorAndHandlersMayReplaceTheValue) {
    Var->SetValue(1.0);
    const double Stamp = Var->TimeStamp();
    TRecorder Rec(*Var);
    Var->OnChanging = [](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse& R) {
        R = crRequested;
    };
    EXPECT_NO_THROW(Var->SetValue(7.0));
    EXPECT_NO_THROW(
        Var->SetPropValueAt(vpValue, TKoOleVariant(7.0), vpqGood, NowUTC(), true, vdtDefault, false));
    ExpectUnchanged(Stamp);
    EXPECT_TRUE(Rec.Changes.empty());

    Var->OnChanging = [](TKoVar*, TKoVarPropType, VARIANT& V, TKoVarQuality& Q, TKoVarChangingResponse&) {
        VariantClear(&V);
        V.vt = VT_I4;
        V.lVal = 42;
        Q = vpqUncertain;
    };
    Var->SetValue(7.0);
    EXPECT_EQ(Var->Value(), 42.0);
    EXPECT_EQ(Var->Quality(), vpqUncertain);
}

TEST_F(VarCore, NestedBracketsNotifyOnceWithEveryChangedProperty) {
    TRecorder Rec(*Var);
    Var->BeginUpdate();
    Var->SetValue(1.0);
    Var->SetCaption(L"Cap");
    Var->BeginUpdate();
    Var->SetDescription(L"Desc");
    Var->EndUpdate();
    EXPECT_TRUE(Rec.Changes.empty());
    Var->EndUpdate();
    ASSERT_EQ(Rec.Changes.size(), 1u);
    EXPECT_EQ(Rec.Changes[0], (TKoVarPropTypes{vpValue, vpCaption, vpDescription}));
    EXPECT_EQ(Rec.ValueChanges, 1);
}

TEST_F(VarCore, EndUpdateWithoutBeginFailsAndLeavesTheBracketsUsable) {
    try {
        Var->EndUpdate();
        ADD_FAILURE() << "no error";
    } catch (const EKoException& E) {
        EXPECT_EQ(E.Message(), L"TTestVar.EndUpdate: no matching BeginUpdate!");
    }
    TRecorder Rec(*Var);
    Var->BeginUpdate();
    Var->SetValue(2.0);
    EXPECT_TRUE(Rec.Changes.empty());
    Var->EndUpdate();
    EXPECT_EQ(Rec.Changes.size(), 1u);
}

TEST_F(VarCore, ReadOnlyValueRefusesWritesAndStatisticsCannotBeWritten) {
    Var->SetValue(1.0);
    Var->SetReadOnly(true);
    try {
        Var->SetValue(2.0);
        ADD_FAILURE() << "no error";
    } catch (const EKoReadOnly& E) {
        EXPECT_EQ(E.Message(), L"V1 is read-only");
    }
    EXPECT_EQ(Var->Value(), 1.0);
    try {
        Var->SetPropValue(vpMean, TKoOleVariant(1.0));
        ADD_FAILURE() << "no error";
    } catch (const EKoReadOnly& E) {
        EXPECT_EQ(E.Message(), L"Mean cannot be changed for TTestVar");
    }
    EXPECT_TRUE(Var->GetPropReadOnly(vpAlarmState));
    EXPECT_TRUE(Var->GetPropReadOnly(vpEngUnit)); // not supported here
    EXPECT_FALSE(Var->GetPropReadOnly(vpCaption));
}

TEST_F(VarCore, RangeModes) {
    struct Case {
        const char* Name;
        TKoVarRangeMode Mode;
        bool HandlerClearsRaise;
        bool Raises;
        TKoVarQuality Quality; // after writing 150
    };
    const Case Cases[] = {
        {"none", rmNone, false, false, vpqGood},
        {"exception", rmException, false, true, vpqGood},
        {"exception, handler lets it pass", rmException, true, false, vpqGood},
        {"undefine", rmUndefine, false, false, vpqBad},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TTestVar V(nullptr);
        V.SetName(L"R1");
        V.HasRange = true;
        V.RangeMax = 100;
        V.SetRangeMode(C.Mode);
        V.SetValue(50);
        if (C.HandlerClearsRaise)
            V.OnRangeError = [](TKoVar*, TKoVarPropType, VARIANT&, std::wstring&, bool& Raise) {
                Raise = false;
            };
        if (C.Raises) {
            try {
                V.SetValue(150);
                ADD_FAILURE() << "no error";
            } catch (const EKoRangeError& E) {
                EXPECT_EQ(E.Message(), L"Value 150 out of range Variable=R1, VarProp=Value");
            }
            EXPECT_EQ(V.Value(), 50.0);
        } else {
            V.SetValue(150);
            EXPECT_EQ(V.Value(), 150.0);
        }
        EXPECT_EQ(V.Quality(), C.Quality);
        V.SetValue(100); // inside, inclusive
        EXPECT_EQ(V.Quality(), vpqGood);
    }
}

TEST_F(VarCore, RangeModeChangeTellsRangeListeners) {
    int Changes = 0;
    Var->OnRangeChange = [&](TKoComponent*) { ++Changes; };
    Var->SetRangeMode(rmException);
    Var->SetRangeMode(rmException);
    EXPECT_EQ(Changes, 1);
}

TEST_F(VarCore, AlarmStateFollowsTheValueOnlyWhileAlarmsAreOn) {
    Var->SetValue(120);
    EXPECT_EQ(Var->GetPropQuality(vpAlarmState), vpqBad); // amOff
    TRecorder Rec(*Var);
    Var->SetAlarmMode(amAlarms);
    ASSERT_EQ(Rec.Changes.size(), 1u);
    EXPECT_TRUE(Rec.Changes[0].Contains(vpAlarmState));
    EXPECT_EQ(Var->AlarmState(), asAlarm);
    EXPECT_EQ(Var->GetPropQuality(vpAlarmState), vpqGood);
    EXPECT_EQ(Var->GetPropTimestamp(vpAlarmState), Var->TimeStamp());

    Var->SetValue(85);
    EXPECT_EQ(Var->AlarmState(), asWarning);
    EXPECT_EQ(Rec.Changes.back(), (TKoVarPropTypes{vpValue, vpAlarmState}));
    Var->SetValue(86); // same state: only the value
    EXPECT_EQ(Rec.Changes.back(), (TKoVarPropTypes{vpValue}));

    Var->OnGetAlarmState = [](TKoVar*, TKoVarAlarmState& S) { S = asNormal; };
    Var->SetValue(130);
    EXPECT_EQ(Var->AlarmState(), asNormal);

    Var->SetAlarmMode(amOff);
    EXPECT_EQ(Var->AlarmState(), asNormal); // kept, with bad quality
    EXPECT_EQ(Var->GetPropQuality(vpAlarmState), vpqBad);
}

TEST_F(VarCore, InactiveVariableStoresWithoutTellingAndDoesNotReplay) {
    TRecorder Rec(*Var);
    int Configs = 0;
    Rec.Slot.OnConfigChange = [&](TKoComponent*) { ++Configs; };
    int Changing = 0;
    Var->OnChanging = [&](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&, TKoVarChangingResponse& R) {
        ++Changing;
        R = crReject;
    };
    Var->SetActive(false);
    Var->SetValue(5);
    EXPECT_EQ(Var->Value(), 5.0);
    EXPECT_EQ(Changing, 0);
    EXPECT_TRUE(Rec.Changes.empty());
    Var->SetActive(true);
    EXPECT_TRUE(Rec.Changes.empty());
    EXPECT_EQ(Configs, 1); // only the switch on reaches the slot
}

TEST_F(VarCore, HandlerErrorsAfterTheChangeNameTheHandler) {
    Var->OnChange = [](TKoVar*, TKoVarPropTypes) { throw EKoError(L"late"); };
    try {
        Var->SetValue(4);
        ADD_FAILURE() << "no error";
    } catch (const EKoVarException& E) {
        EXPECT_EQ(E.Message(), L"Exception 'EKoError' in OnChange handler (Variable=Mod.V1): late");
    }
    EXPECT_EQ(Var->Value(), 4.0);
    EXPECT_EQ(Var->UpdateCount(), 0);
    Var->OnChange = nullptr;
    int Values = 0;
    Var->OnValueChange = [&](TKoComponent*) { ++Values; };
    Var->SetValue(5);
    EXPECT_EQ(Values, 1);
}

TEST_F(VarCore, ChangesMadeByAHandlerAreToldTooNotLost) {
    std::vector<TKoVarPropTypes> Seen;
    Var->OnChange = [&](TKoVar* Sender, TKoVarPropTypes Props) {
        Seen.push_back(Props);
        if (Props.Contains(vpValue)) Sender->SetDescription(L"changed");
    };
    Var->SetValue(1);
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[0], (TKoVarPropTypes{vpValue}));
    EXPECT_EQ(Seen[1], (TKoVarPropTypes{vpDescription}));
}

TEST_F(VarCore, NewestProp) {
    try {
        (void)Var->NewestProp({});
        ADD_FAILURE() << "no error";
    } catch (const EKoException& E) {
        EXPECT_EQ(E.Message(), L"NewestProp cannot be defined when Props is empty");
    }
    EXPECT_EQ(Var->NewestProp({vpWarnHigh, vpValue, vpAlarmLow}), vpValue);
    Var->SetPropValueAt(vpDescription, TKoOleVariant(L"a"), vpqGood, 100, true, vdtDefault, false);
    Var->SetPropValueAt(vpCaption, TKoOleVariant(L"b"), vpqGood, 200, true, vdtDefault, false);
    EXPECT_EQ(Var->NewestProp({vpCaption, vpDescription}), vpCaption);
    EXPECT_EQ(Var->NewestProp({vpValue, vpDescription}), vpDescription);
}

TEST_F(VarCore, InvalidateClearAndSetPropQuality) {
    Var->SetValue(1);
    Var->SetDescription(L"d");
    Var->SetPropQuality(vpValue, vpqUncertain);
    EXPECT_EQ(Var->Quality(), vpqUncertain);
    EXPECT_EQ(Var->Value(), 1.0);
    Var->Clear();
    EXPECT_EQ(Var->Quality(), vpqBad);
    EXPECT_TRUE(Var->GetPropIsValid(vpValue));
    EXPECT_EQ(Var->GetPropQuality(vpDescription), vpqBad);
    Var->Invalidate(vpValue);
    EXPECT_FALSE(Var->GetPropIsValid(vpValue));
}

TEST_F(VarCore, AssignCopiesEveryProperty) {
    Var->SetValue(2.5);
    Var->SetDescription(L"desc");
    TTestVar Copy(nullptr);
    Copy.Assign(Var);
    EXPECT_EQ(Copy.Value(), 2.5);
    EXPECT_EQ(Copy.Quality(), vpqGood);
    EXPECT_EQ(Copy.Description(), L"desc");
    EXPECT_EQ(Copy.Caption(), L"V1");
    try {
        Copy.Assign(&Module);
        ADD_FAILURE() << "no error";
    } catch (const EKoError& E) {
        EXPECT_EQ(E.Message(), L"Cannot assign a TKoComponent to a TTestVar");
    }
}

TEST_F(VarCore, DestructionDisconnectsEverySlot) {
    TKoVarChangeSlot Slot(Var->ChangeSignal(), nullptr, nullptr);
    TKoSignal* Seen = nullptr;
    TKoSignal* Signal = Var->ChangeSignal();
    Slot.OnDisconnect = [&](TKoSignal* S) { Seen = S; };
    TKoComponent::Free(Var);
    EXPECT_EQ(Seen, Signal);
    EXPECT_EQ(Slot.SignalCount(), 0);
}

// A module whose definition creates a variable and sets it up while loading.
class TLoadingModule : public TKoDataModule {
public:
    explicit TLoadingModule(TKoComponent* AOwner, std::vector<TKoVarPropTypes>* ASeen)
        : TKoDataModule(AOwner) {
        Var = new TTestVar(this);
        IDWhileLoading = Var->ID();
        Var->OnChange = [ASeen](TKoVar*, TKoVarPropTypes Props) { ASeen->push_back(Props); };
        Var->SetName(L"L1");
        Var->SetDescription(L"loaded");
        Var->InitialValue = 5;
        Var->SetInitialQuality(vpqGood);
        SeenWhileLoading = ASeen->size();
    }
    TTestVar* Var;
    int32_t IDWhileLoading = -1;
    size_t SeenWhileLoading = 99;
};

TEST(VarLoading, NotificationsWaitForTheEndOfLoadingAndComeOnce) {
    std::vector<TKoVarPropTypes> Seen;
    TKoComponent Root(nullptr);
    TLoadingModule* Module = KoCreate<TLoadingModule>(&Root, &Seen);
    EXPECT_EQ(Module->SeenWhileLoading, 0u);
    EXPECT_EQ(Module->IDWhileLoading, 0);
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_TRUE(Seen[0].Contains(vpValue));
    EXPECT_TRUE(Seen[0].Contains(vpDescription));
    EXPECT_EQ(Module->Var->Value(), 5.0);
    EXPECT_EQ(Module->Var->Quality(), vpqGood);
    EXPECT_EQ(Module->Var->Description(), L"loaded");
    EXPECT_EQ(Module->Var->Caption(), L"L1");
}

} // namespace
