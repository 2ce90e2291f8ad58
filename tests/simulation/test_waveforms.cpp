// The standard variable set of the modules and the waveforms that move it, driven by calling
// the tick handler directly (no waiting for the clock).

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoOle.h"
#include "KoRandom.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

namespace {

struct WaveformFixture : ::testing::Test {
    void SetUp() override { KoRandSeed(20261210); }

    template <class T> T* Create() { return KoCreate<T>(&Owner); }

    static void Tick(TSimulationData* M, int Count = 1) {
        for (int i = 0; i < Count; ++i) M->Timer1Timer(M->Timer1);
    }

    TKoComponent Owner{nullptr};
};

std::vector<std::wstring> ComponentNames(const TKoComponent* M) {
    std::vector<std::wstring> Names;
    for (int i = 0; i < M->ComponentCount(); ++i) Names.push_back(M->Components(i)->Name());
    return Names;
}

// The element Index of a one-dimensional variant array.
TKoOleVariant Element(const VARIANT& Array, LONG Index) {
    SAFEARRAY* A = KoVariantArray(Array);
    if (!A) throw std::runtime_error("not an array");
    return KoSafeArrayGetVariant(A, &Index);
}

void ExpectBounds(const VARIANT& Array, LONG Low, LONG High) {
    SAFEARRAY* A = KoVariantArray(Array);
    ASSERT_NE(A, nullptr);
    ASSERT_EQ(SafeArrayGetDim(A), 1u);
    LONG L = 0, H = 0;
    SafeArrayGetLBound(A, 1, &L);
    SafeArrayGetUBound(A, 1, &H);
    EXPECT_EQ(L, Low);
    EXPECT_EQ(H, High);
}

std::vector<uint8_t> Bytes(TKoByteArray* A) {
    std::vector<uint8_t> Result;
    for (int32_t i = 0; i < A->Length(); ++i) Result.push_back(A->GetByte(A->Offset() + i));
    return Result;
}

// ---- the standard set ----

const std::vector<std::wstring> StandardSet = {
    L"KoBool1",       L"KoFloat1",     L"KoInteger1", L"KoState1",      L"KoBitSet1",  L"KoString1",
    L"KoFloatArray1", L"KoByteArray1", L"Timer1",     L"TimerInterval", L"KoVariant1", L"KoDateTime1"};

TEST_F(WaveformFixture, EveryModuleHoldsTheStandardSetInCreationOrder) {
    struct Case {
        std::function<TSimulationData*()> Make;
        const wchar_t* Name;
        std::vector<std::wstring> Extra;
    };
    const Case Cases[] = {
        {[&] { return Create<TStatic>(); }, L"Static", {}},
        {[&] { return Create<TRandom>(); }, L"Random", {}},
        {[&] { return Create<TSawTooth>(); }, L"SawTooth", {L"DXFloat", L"DXInteger"}},
        {[&] { return Create<TSinusoid>(); }, L"Sinusoid", {L"DTFloat", L"DXInteger"}},
        {[&] { return Create<TTriangle>(); }, L"Triangle", {L"DXFloat", L"DXInteger"}},
        {[&] { return Create<TReadOnly>(); }, L"ReadOnly", {}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Name);
        TSimulationData* M = C.Make();
        EXPECT_EQ(M->Name(), C.Name);
        std::vector<std::wstring> Expected = StandardSet;
        Expected.insert(Expected.end(), C.Extra.begin(), C.Extra.end());
        EXPECT_EQ(ComponentNames(M), Expected);

        // Identifiers and captions; the step variables repeat identifiers of the set.
        const std::vector<std::pair<TKoVar*, int32_t>> Ids = {
            {M->KoBool1, 1},       {M->KoFloat1, 2},    {M->KoInteger1, 3},    {M->KoState1, 4},
            {M->KoBitSet1, 5},     {M->KoString1, 6},   {M->KoFloatArray1, 7}, {M->KoByteArray1, 8},
            {M->TimerInterval, 9}, {M->KoVariant1, 10}, {M->KoDateTime1, 11}};
        for (auto [Var, Id] : Ids) {
            EXPECT_EQ(Var->ID(), Id) << Var->Name();
            EXPECT_EQ(Var->Caption(), Var->Name());
            EXPECT_TRUE(Var->Active());
        }
        EXPECT_EQ(M->KoState1->States().Count(), 10);
        EXPECT_EQ(M->KoBitSet1->States().Count(), 16);
        EXPECT_EQ(M->KoBitSet1->BitCount(), 32);
        EXPECT_EQ(M->KoByteArray1->Length(), 16);
        EXPECT_EQ(M->KoFloatArray1->Capacity(), 10);
        EXPECT_EQ(M->KoFloat1->EngUnit(), L"\u00B0C");
        EXPECT_EQ(M->KoFloat1->AlarmHigh(), 80.0);
        EXPECT_EQ(M->KoFloat1->WarnLow(), 30.0);
    }
}

TEST_F(WaveformFixture, StepVariablesOfTheRampsAreOrdinaryVariables) {
    auto* Saw = Create<TSawTooth>();
    auto* Sin = Create<TSinusoid>();
    EXPECT_EQ(Saw->DXFloat->ID(), 10);
    EXPECT_EQ(Saw->DXFloat->Caption(), L"KoFloat1");
    EXPECT_EQ(Saw->DXInteger->ID(), 11);
    EXPECT_EQ(Saw->DXInteger->Caption(), L"DXInteger");
    EXPECT_DOUBLE_EQ(Saw->DXFloat->Value(), 100.0 / 34);
    EXPECT_EQ(Saw->DXInteger->Value(), 1);
    EXPECT_DOUBLE_EQ(Sin->DTFloat->Value(), 100.0 / 34);
    EXPECT_TRUE(Sin->DXInteger->IsBad()); // the sinusoid never sets it
}

// ---- the timer and TimerInterval ----

TEST_F(WaveformFixture, TimerIntervalAndTheTimerStayInStep) {
    auto* M = Create<TRandom>();
    EXPECT_EQ(M->TimerInterval->Value(), 1000);
    EXPECT_TRUE(M->TimerInterval->IsGood());
    EXPECT_TRUE(M->Timer1->Running());

    M->TimerInterval->SetValue(500);
    EXPECT_EQ(M->Timer1->Interval(), 500u);
    M->TimerInterval->SetValue(0);
    EXPECT_EQ(M->Timer1->Interval(), 0u);
    EXPECT_FALSE(M->Timer1->Running());
    M->TimerInterval->SetValue(100000);
    EXPECT_EQ(M->Timer1->Interval(), 100000u);

    for (int32_t Refused : {100001, -1}) {
        EXPECT_THROW(M->TimerInterval->SetValue(Refused), EKoRangeError) << Refused;
        EXPECT_EQ(M->TimerInterval->Value(), 100000);
        EXPECT_EQ(M->Timer1->Interval(), 100000u);
    }

    // A value of bad quality changes the variable, not the period.
    M->TimerInterval->Undefine(vpValue, 0);
    EXPECT_TRUE(M->TimerInterval->IsBad());
    EXPECT_EQ(M->Timer1->Interval(), 100000u);
}

TEST_F(WaveformFixture, ReadOnlyModuleRefusesEveryWrite) {
    auto* M = Create<TReadOnly>();
    EXPECT_EQ(M->Timer1->Interval(), 0u);
    EXPECT_FALSE(M->Timer1->Running());
    EXPECT_EQ(M->TimerInterval->Value(), 0);
    for (int i = 0; i < M->ComponentCount(); ++i)
        if (auto* Var = dynamic_cast<TKoVar*>(M->Components(i))) {
            EXPECT_TRUE(Var->ReadOnly()) << Var->Name();
        }

    EXPECT_THROW(M->TimerInterval->SetValue(1000), EKoReadOnly);
    EXPECT_EQ(M->Timer1->Interval(), 0u);
    EXPECT_THROW(M->KoFloat1->SetValue(1.0), EKoReadOnly);
    EXPECT_THROW(M->KoString1->SetValue(L"x"), EKoReadOnly);
    EXPECT_EQ(M->KoString1->Value(), L"test");
}

// ---- Static ----

TEST_F(WaveformFixture, StaticHoldsItsInitialValues) {
    auto* M = Create<TStatic>();
    Tick(M, 5);
    EXPECT_TRUE(M->KoFloat1->IsGood());
    EXPECT_EQ(M->KoFloat1->Value(), 0.0);
    EXPECT_EQ(M->KoString1->Value(), L"test");
    EXPECT_TRUE(M->KoString1->IsGood());
    const TKoOleVariant V = M->KoVariant1->Value();
    EXPECT_EQ(V.Type(), VT_I4);
    EXPECT_EQ(V.Get().lVal, 34);
    EXPECT_TRUE(M->KoDateTime1->IsGood());
    EXPECT_EQ(M->KoDateTime1->Value(), 25569.5);
    EXPECT_TRUE(M->KoBitSet1->IsGood());
    EXPECT_EQ(M->KoBitSet1->Value(), 0xFFFFFFFFu);
    EXPECT_TRUE(M->KoInteger1->IsBad());
    EXPECT_TRUE(M->KoBool1->IsBad());

    // Writable, without a range.
    M->KoInteger1->SetValue(1000);
    EXPECT_TRUE(M->KoInteger1->IsGood());
}

// ---- SawTooth ----

TEST_F(WaveformFixture, SawToothRampsAndRestarts) {
    auto* M = Create<TSawTooth>();
    const double DX = 100.0 / 34;
    // The first step ran before the steps were set: their bad values add nothing.
    EXPECT_TRUE(M->KoInteger1->IsBad());
    EXPECT_TRUE(M->KoFloat1->IsBad());
    EXPECT_EQ(M->KoState1->Value(), 0);

    int Restarts = 0;
    double Previous = 0;
    for (int i = 1; i <= 120; ++i) {
        Tick(M);
        const double F = M->KoFloat1->Value();
        ASSERT_GE(F, 0.0);
        ASSERT_LE(F, 100.0);
        if (i > 1 && F == 0.0) {
            ++Restarts;
            EXPECT_GT(Previous + DX, 100.0);
        } else if (i > 1) {
            EXPECT_NEAR(F, Previous + DX, 1e-9);
        }
        Previous = F;
        EXPECT_EQ(M->KoInteger1->Value(), i % 101);
        EXPECT_EQ(M->KoState1->Value(), i % 10);
        EXPECT_EQ(M->KoBitSet1->Value(), 0u);
        EXPECT_EQ(M->KoString1->Value(), M->KoFloat1->GetValueAsString());
        ASSERT_EQ(M->KoFloatArray1->Length(), 10);
        for (int k = 0; k < 10; ++k) EXPECT_DOUBLE_EQ(M->KoFloatArray1->Values(k), F);
        EXPECT_EQ(Bytes(M->KoByteArray1), std::vector<uint8_t>(16, static_cast<uint8_t>(i % 101)));
    }
    EXPECT_EQ(Restarts, 3);

    // Clients may change the speed.
    M->DXInteger->SetValue(0);
    const int32_t Counter = M->KoInteger1->Value();
    Tick(M, 3);
    EXPECT_EQ(M->KoInteger1->Value(), Counter);
    M->DXFloat->SetValue(0.5);
    const double Before = M->KoFloat1->Value();
    Tick(M);
    EXPECT_NEAR(M->KoFloat1->Value(), Before + 0.5 > 100 ? 0.0 : Before + 0.5, 1e-9);
}

// ---- Triangle ----

TEST_F(WaveformFixture, TriangleTurnsAtTheEndsWithoutRepeatingThem) {
    auto* M = Create<TTriangle>();
    std::vector<int32_t> Integers{M->KoInteger1->Value()};
    std::vector<int32_t> States{M->KoState1->Value()};
    int SignChanges = 0;
    double Step = M->DXFloat->Value();
    for (int i = 0; i < 250; ++i) {
        Tick(M);
        Integers.push_back(M->KoInteger1->Value());
        States.push_back(M->KoState1->Value());
        const double F = M->KoFloat1->Value();
        ASSERT_GE(F, 0.0);
        ASSERT_LE(F, 100.0);
        if ((M->DXFloat->Value() > 0) != (Step > 0)) ++SignChanges;
        Step = M->DXFloat->Value();
        EXPECT_EQ(M->KoString1->Value(), M->KoDateTime1->GetValueAsString());
        EXPECT_EQ(Bytes(M->KoByteArray1),
                  std::vector<uint8_t>(16, static_cast<uint8_t>(M->KoState1->Value())));
    }
    // 0, 1, ..., 100, 99, ..., 0, 1, ...: always one step, never a repeated end.
    // The first step ran before the steps were set and left the integer bad.
    EXPECT_EQ(Integers[0], KoBadInteger);
    for (size_t i = 1; i < Integers.size(); ++i) {
        const int32_t Expected = static_cast<int32_t>(i % 200 <= 100 ? i % 200 : 200 - i % 200);
        ASSERT_EQ(Integers[i], Expected) << i;
    }
    for (size_t i = 0; i < States.size(); ++i) {
        const int32_t Expected = static_cast<int32_t>(i % 18 <= 9 ? i % 18 : 18 - i % 18);
        ASSERT_EQ(States[i], Expected) << i;
    }
    EXPECT_GE(SignChanges, 6);
    EXPECT_EQ(M->KoBitSet1->Value(), 0u);
}

TEST_F(WaveformFixture, TriangleWithoutRangeRunsAway) {
    auto* M = Create<TTriangle>();
    M->KoFloat1->SetRangeMode(rmNone);
    Tick(M, 40);
    EXPECT_GT(M->KoFloat1->Value(), 100.0);
    EXPECT_GT(M->DXFloat->Value(), 0.0);
}

// ---- Sinusoid ----

TEST_F(WaveformFixture, SinusoidAtTheTopAndTheBottomOfTheCosine) {
    auto* M = Create<TSinusoid>();
    // The create handler's step ran before the phase step was set and added its bad value.
    EXPECT_EQ(M->T, KoBadFloat);

    struct Case {
        double T;
        double Float;
        int32_t Integer, State;
        uint32_t Bits;
    };
    const Case Cases[] = {
        {0, 100.0, 100, 9, 0xFFFFFFFFu},
        {360, 100.0, 100, 9, 0xFFFFFFFFu},
        {180, 0.0, 0, 0, 0u},
        {-180, 0.0, 0, 0, 0u},
        {90, 50.0, 50, 4, 0u}, // 4.5 rounds to the even neighbour
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << "T = " << C.T);
        M->T = C.T;
        Tick(M);
        EXPECT_NEAR(M->KoFloat1->Value(), C.Float, 1e-9);
        EXPECT_EQ(M->KoInteger1->Value(), C.Integer);
        EXPECT_EQ(M->KoState1->Value(), C.State);
        EXPECT_EQ(M->KoBitSet1->Value(), C.Bits);
        EXPECT_EQ(M->KoDateTime1->Value(), 0.0);
        EXPECT_NEAR(M->T, C.T + 100.0 / 34, 1e-9);
        EXPECT_DOUBLE_EQ(M->KoFloatArray1->Values(9), M->KoFloat1->Value());
        EXPECT_EQ(Bytes(M->KoByteArray1), std::vector<uint8_t>(16, static_cast<uint8_t>(C.Integer)));
    }
}

// ---- Random ----

TEST_F(WaveformFixture, RandomStaysInsideItsRanges) {
    auto* M = Create<TRandom>();
    bool Toggled = M->KoBool1->Value();
    int32_t MaxInteger = 0;
    for (int i = 0; i < 1000; ++i) {
        Tick(M);
        ASSERT_NE(M->KoBool1->Value(), Toggled);
        Toggled = M->KoBool1->Value();
        const double F = M->KoFloat1->Value();
        ASSERT_TRUE(F >= 0.0 && F < 100.0) << F;
        const int32_t I = M->KoInteger1->Value();
        ASSERT_TRUE(I >= 0 && I <= 99) << I;
        MaxInteger = std::max(MaxInteger, I);
        ASSERT_LT(M->KoBitSet1->Value(), 2147483647u);
        const double D = M->KoDateTime1->Value();
        ASSERT_TRUE(D >= 25569.0 && D < 49674.0) << D;
        ASSERT_EQ(M->KoString1->Value(), M->KoDateTime1->GetValueAsString());
        ASSERT_EQ(M->KoFloatArray1->Length(), 10);
        const double First = M->KoFloatArray1->Values(0);
        ASSERT_TRUE(First >= 45.0 && First < 55.0) << First;
        // Each element moves towards the first by a fifth of the distance plus a random step
        // of at most 2.5, so none strays 12.5 or more from it.
        for (int k = 1; k < 10; ++k) ASSERT_LT(std::abs(M->KoFloatArray1->Values(k) - First), 12.5);
    }
    EXPECT_EQ(MaxInteger, 99);
}

TEST_F(WaveformFixture, FixedSeedRepeatsTheValues) {
    auto Run = [&] {
        KoRandSeed(7);
        auto* M = Create<TRandom>();
        Tick(M, 3);
        std::vector<double> Seen = {M->KoFloat1->Value(), double(M->KoInteger1->Value()),
                                    double(M->KoBitSet1->Value()), M->KoDateTime1->Value(),
                                    M->KoFloatArray1->Values(9)};
        for (uint8_t B : Bytes(M->KoByteArray1)) Seen.push_back(B);
        TKoComponent::Free(M);
        return Seen;
    };
    EXPECT_EQ(Run(), Run());
}

TEST_F(WaveformFixture, CompositeValueAfterARandomStep) {
    auto* M = Create<TRandom>();
    Tick(M);
    const TKoOleVariant V = M->KoVariant1->Value();
    ASSERT_EQ(V.Type(), VT_ARRAY | VT_VARIANT);
    ExpectBounds(V, 0, 9);

    const TKoOleVariant Float = Element(V, 0);
    ASSERT_EQ(Float.Type(), VT_R8);
    EXPECT_EQ(Float.Get().dblVal, M->KoFloat1->Value());

    const TKoOleVariant Inner = Element(V, 1);
    ASSERT_EQ(Inner.Type(), VT_ARRAY | VT_VARIANT);
    ExpectBounds(Inner, 0, 9);
    const TKoOleVariant Bool = Element(Inner, 0);
    ASSERT_EQ(Bool.Type(), VT_BOOL);
    EXPECT_EQ(Bool.Get().boolVal != VARIANT_FALSE, M->KoBool1->Value());
    const TKoOleVariant Text = Element(Inner, 1);
    ASSERT_EQ(Text.Type(), VT_BSTR);
    EXPECT_EQ(std::wstring(Text.Get().bstrVal), M->KoString1->Value());
    const TKoOleVariant Date = Element(Inner, 2);
    ASSERT_EQ(Date.Type(), VT_DATE);
    EXPECT_EQ(Date.Get().date, M->KoDateTime1->Value());
    const TKoOleVariant Integer = Element(Inner, 3);
    ASSERT_EQ(Integer.Type(), VT_I4);
    EXPECT_EQ(Integer.Get().lVal, M->KoInteger1->Value());
    const TKoOleVariant ByteArray = Element(Inner, 4);
    ASSERT_EQ(ByteArray.Type(), VT_ARRAY | VT_UI1);
    ExpectBounds(ByteArray, 0, 15);
    for (LONG i = 5; i < 10; ++i) EXPECT_EQ(Element(Inner, i).Type(), VT_EMPTY) << i;

    const TKoOleVariant FloatArray = Element(V, 2);
    ASSERT_EQ(FloatArray.Type(), VT_ARRAY | VT_R8);
    ExpectBounds(FloatArray, 0, 9);
    EXPECT_EQ(Element(FloatArray, 9).Get().dblVal, M->KoFloatArray1->Values(9));
    for (LONG i = 3; i < 10; ++i) EXPECT_EQ(Element(V, i).Type(), VT_EMPTY) << i;
}

TEST_F(WaveformFixture, KoString1FollowsKoBool1BeforeTheRestOfTheStep) {
    auto* M = Create<TRandom>();
    std::vector<std::wstring> SeenByFloat;
    M->KoFloat1->OnChange = [&](TKoVar*, TKoVarPropTypes) { SeenByFloat.push_back(M->KoString1->Value()); };
    Tick(M);
    const std::wstring First = M->KoBool1->Value() ? L"True" : L"False";
    Tick(M);
    const std::wstring Second = M->KoBool1->Value() ? L"True" : L"False";
    EXPECT_NE(First, Second);
    EXPECT_EQ(SeenByFloat, (std::vector<std::wstring>{First, Second}));
}

TEST_F(WaveformFixture, OtherErrorsEndTheStepAndTheNextStepRuns) {
    auto* M = Create<TSawTooth>();
    int Reported = 0;
    Application().OnException = [&](TKoComponent*, std::exception_ptr) { ++Reported; };
    M->KoInteger1->OnChanging = [](TKoVar*, TKoVarPropType, VARIANT&, TKoVarQuality&,
                                   TKoVarChangingResponse& R) { R = crReject; };
    const int32_t State = M->KoState1->Value();
    Tick(M);
    EXPECT_EQ(Reported, 1);
    EXPECT_EQ(M->KoState1->Value(), State); // the step ended before the state

    M->KoInteger1->OnChanging = nullptr;
    Tick(M);
    Application().OnException = nullptr;
    EXPECT_EQ(Reported, 1);
    EXPECT_EQ(M->KoState1->Value(), State + 1);
}

} // namespace
