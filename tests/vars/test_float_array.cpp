// The float array variable: filling, appending samples in the three position modes and as a
// ring, positions and their lookup, the value as an array and as text, statistics over the
// elements, per-element limits and states, the errors, and accesses outside the array, which
// must fail and leave the array as it was.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "KoFailures.h"
#include "KoArrays.h"
#include "KoClasses.h"
#include "KoNumVars.h"
#include "KoRandom.h"
#include "KoUtils.h"

namespace {

using TNumbers = std::vector<double>;
constexpr int32_t MaxInt = std::numeric_limits<int32_t>::max();
constexpr int32_t MinInt = std::numeric_limits<int32_t>::min();

TNumbers Elements(const TKoCustomFloatArray& A) {
    TNumbers Result;
    for (int64_t I = A.FirstIndex(); I <= A.LastIndex(); ++I)
        Result.push_back(A.Values(static_cast<int32_t>(I)));
    return Result;
}

// A one-dimensional array of Type with bounds Low .. Low + n - 1.
TKoOleVariant Array(VARTYPE Type, LONG Low, const TNumbers& Values) {
    TKoSafeArray A(Type, {{Low, Low + static_cast<LONG>(Values.size()) - 1}});
    LONG I = Low;
    for (double V : Values) {
        KoSafeArrayPutVariant(A.Get(), &I, TKoOleVariant(V));
        ++I;
    }
    return TKoOleVariant::TakeArray(Type, A.Release());
}

using kotest::FailureOf;
using kotest::TFailure;

class FloatArrayTest : public ::testing::Test {
protected:
    FloatArrayTest() {
        Module.SetName(L"M");
        A = new TKoFloatArray(&Module);
        A->SetName(L"KoFloatArray1");
        A->OnChange = [this](TKoVar*, TKoVarPropTypes Props) {
            if (Props.Contains(vpValue)) ++Notified;
        };
    }
    void Fill(const TNumbers& Values) { A->SetAsVariant(Array(VT_R8, 0, Values)); }
    TKoComponent Module{nullptr};
    TKoFloatArray* A; // owned by Module
    int Notified = 0;
};

} // namespace

TEST_F(FloatArrayTest, NewArrayIsEmptyUniformAndBad) {
    EXPECT_EQ(A->Length(), 0);
    EXPECT_EQ(A->Capacity(), 0);
    EXPECT_EQ(A->Mode(), amUniformSampleWidth);
    EXPECT_EQ(A->SampleWidth(), 1.0);
    EXPECT_EQ(A->FirstIndex(), 0);
    EXPECT_EQ(A->LastIndex(), -1);
    EXPECT_TRUE(A->IsBad());
    EXPECT_EQ(A->LastValue(), KoBadFloat);
    EXPECT_TRUE(A->GetPropIsArray(vpValue));
    EXPECT_FALSE(A->GetPropIsArray(vpOther));
    EXPECT_TRUE(A->PropSupported(vpOther));
}

TEST_F(FloatArrayTest, FillRandomFillsEveryNewSlotAroundTheMean) {
    KoRandSeed(7);
    A->SetCapacity(10);
    A->FillRandom(50, 10);
    EXPECT_EQ(A->Length(), 10);
    EXPECT_EQ(A->Capacity(), 10);
    EXPECT_TRUE(A->IsGood());
    EXPECT_GE(A->Values(0), 45.0);
    EXPECT_LT(A->Values(0), 55.0);
    for (double V : Elements(*A)) {
        EXPECT_GT(V, 30.0);
        EXPECT_LT(V, 70.0);
    }
    EXPECT_EQ(Notified, 1);

    // Without spread every element is the mean.
    A->FillRandom(12.5, 0);
    for (double V : Elements(*A)) EXPECT_DOUBLE_EQ(V, 12.5);

    // The same seed gives the same walk.
    KoRandSeed(3);
    A->FillRandom(50, 10);
    const TNumbers First = Elements(*A);
    KoRandSeed(3);
    A->FillRandom(50, 10);
    EXPECT_EQ(Elements(*A), First);

    // Without slots there is nothing to fill.
    TKoFloatArray Empty(nullptr);
    Empty.FillRandom(50, 10);
    EXPECT_EQ(Empty.Length(), 0);
    EXPECT_TRUE(Empty.IsBad());
}

TEST_F(FloatArrayTest, StatisticsFollowTheElements) {
    A->SetStatsMode(smSimple);
    Fill({1, 2, 3, 6});
    EXPECT_DOUBLE_EQ(A->Mean(), 3);
    EXPECT_DOUBLE_EQ(A->Min(), 1);
    EXPECT_DOUBLE_EQ(A->Max(), 6);
    EXPECT_EQ(A->GetPropQuality(vpMean), vpqGood);

    // Replacing the maximum: it is found again among the elements.
    A->SetValues(3, 0);
    EXPECT_DOUBLE_EQ(A->Mean(), 1.5);
    EXPECT_DOUBLE_EQ(A->Max(), 3);
    EXPECT_DOUBLE_EQ(A->Min(), 0);
    EXPECT_EQ(A->GetPropQuality(vpMax), vpqGood);

    // Appended samples count; shortening forgets the dropped ones.
    A->AppendValue(10);
    EXPECT_DOUBLE_EQ(A->Mean(), 16.0 / 5);
    EXPECT_DOUBLE_EQ(A->Max(), 10);
    A->SetLength(2);
    EXPECT_DOUBLE_EQ(A->Mean(), 1.5);
    EXPECT_DOUBLE_EQ(A->Max(), 2);

    // Bad elements do not count.
    A->SetValues(0, KoBadFloat);
    EXPECT_DOUBLE_EQ(A->Mean(), 2);
    EXPECT_DOUBLE_EQ(A->Min(), 2);

    A->ClearValues();
    EXPECT_EQ(A->GetPropQuality(vpMean), vpqBad);
}

TEST_F(FloatArrayTest, UniformAppendFillsGapsAndReplacesWithinOneWidth) {
    struct Case {
        const char* Name;
        int32_t Capacity;
        std::vector<std::pair<double, double>> Samples; // position, value
        TNumbers Expected;
        double FirstPos;
    };
    const Case Cases[] = {
        {"gap repeats the last value", 10, {{0, 1}, {1, 2}, {3, 4}}, {1, 2, 2, 4}, 0},
        {"within one width replaces", 10, {{0, 1}, {1, 2}, {3, 4}, {3.4, 5}}, {1, 2, 2, 5}, 0},
        {"gap beyond TotalWidth takes the next position", 2, {{0, 1}, {1, 2}, {3, 4}}, {1, 2, 4}, 0},
        {"first sample sets FirstPos", 10, {{7, 1}, {8, 2}}, {1, 2}, 7},
        {"bad position is the next one", 10, {{5, 1}, {KoBadFloat, 2}, {KoBadFloat, 3}}, {1, 2, 3}, 5},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoFloatArray V(nullptr);
        V.SetCapacity(C.Capacity);
        int32_t Last = -1;
        for (const auto& [Pos, Value] : C.Samples) Last = V.AppendValueAt(Value, Pos, NowUTC());
        EXPECT_EQ(Elements(V), C.Expected);
        EXPECT_EQ(Last, V.LastIndex());
        EXPECT_EQ(V.FirstPos(), C.FirstPos);
        EXPECT_EQ(V.LastPos(), C.FirstPos + static_cast<double>(C.Expected.size() - 1));
        EXPECT_TRUE(V.IsGood());
    }
}

TEST_F(FloatArrayTest, RingKeepsTheNewestSamplesInIndexOrder) {
    A->SetCapacity(3);
    A->SetCircular(true);
    for (double V : {1, 2, 3, 4, 5}) A->AppendValue(V);
    EXPECT_EQ(A->Length(), 3);
    EXPECT_EQ(Elements(*A), (TNumbers{3, 4, 5}));
    EXPECT_EQ(A->Values(A->FirstIndex()), 3);
    EXPECT_EQ(A->FirstPos(), 2.0);
    EXPECT_EQ(A->LastPos(), 4.0);
    EXPECT_EQ(A->Positions(1), 3.0);
    EXPECT_NE(A->IndexPointer(), 0);

    // The value reads in index order, and a ring that grows or stops being one keeps it.
    const TKoOleVariant Value = A->AsVariant();
    EXPECT_TRUE(VariantsEqual(Value, Array(VT_R8, 0, {3, 4, 5}), true));
    A->SetCircular(false);
    EXPECT_EQ(Elements(*A), (TNumbers{3, 4, 5}));
    A->SetCircular(true);
    A->AppendValue(6);
    A->SetCapacity(5);
    EXPECT_EQ(Elements(*A), (TNumbers{4, 5, 6}));
    EXPECT_EQ(A->IndexPointer(), 0);

    // A ring of one sample starts afresh with every new one.
    A->SetCapacity(1);
    EXPECT_EQ(Elements(*A), (TNumbers{6}));
    A->AppendValueAt(9, A->LastPos() + 10, NowUTC());
    EXPECT_EQ(Elements(*A), (TNumbers{9}));
    EXPECT_EQ(A->FirstPos(), 15.0);

    // A ring without slots takes nothing.
    TKoFloatArray Empty(nullptr);
    Empty.SetCircular(true);
    EXPECT_EQ(Empty.AppendValue(1), -1);
    EXPECT_EQ(Empty.Length(), 0);
}

TEST_F(FloatArrayTest, VariableAndFreePositionsAreStoredPerSample) {
    A->SetMode(amVariableSampleWidth);
    EXPECT_EQ(A->SampleWidth(), 0.0);
    EXPECT_TRUE(A->GetPropIsArray(vpOther));
    for (const auto& [Pos, Value] : {std::pair{0.0, 1.0}, {1.0, 2.0}, {5.0, 3.0}})
        A->AppendValueAt(Value, Pos, 0);
    EXPECT_EQ(Elements(*A), (TNumbers{1, 2, 3}));
    EXPECT_EQ(A->FirstPos(), 0.0);
    EXPECT_EQ(A->LastPos(), 5.0);
    EXPECT_TRUE(VariantsEqual(A->GetPropValue(vpOther), Array(VT_R8, 0, {0, 1, 5}), true));
    EXPECT_EQ(A->IndexOfPos(3), 1);
    EXPECT_EQ(A->IndexOfPos(5), 2);
    EXPECT_EQ(A->IndexOfPos(70), 2);
    A->SetPositions(1, 4);
    EXPECT_EQ(A->Positions(1), 4.0);

    // Free samples: any order, found only where they are.
    A->SetMode(amFreeSamples);
    EXPECT_EQ(A->Length(), 0);
    for (const auto& [Pos, Value] : {std::pair{5.0, 1.0}, {2.0, 2.0}, {9.0, 3.0}})
        A->AppendValueAt(Value, Pos, 0);
    EXPECT_EQ(A->IndexOfPos(2), 1);
    EXPECT_EQ(A->MinPos(), 2.0);
    EXPECT_EQ(A->MaxPos(), 9.0);

    // A width other than 0 is the uniform mode again.
    A->SetSampleWidth(2);
    EXPECT_EQ(A->Mode(), amUniformSampleWidth);
    EXPECT_EQ(A->Length(), 0);
}

TEST_F(FloatArrayTest, UniformIndexOfPos) {
    A->SetFirstPos(10);
    A->SetSampleWidth(2);
    Fill({1, 2, 3, 4});
    EXPECT_EQ(A->IndexOfPos(10), 0);
    EXPECT_EQ(A->IndexOfPos(13), 1);
    EXPECT_EQ(A->IndexOfPos(100), 3);
    EXPECT_EQ(A->Positions(2), 14.0);
    EXPECT_EQ(A->TotalWidth(), 8.0);
    A->SetTotalWidth(11);
    EXPECT_EQ(A->Capacity(), 6);
}

TEST_F(FloatArrayTest, ValueReadsWithTheArrayIndicesAndElementType) {
    A->SetFirstIndex(5);
    Fill({1.5, 2.5, 3.5});
    const TKoOleVariant V = A->AsVariant();
    ASSERT_EQ(V.Type(), VT_ARRAY | VT_R8);
    LONG Low = 0, High = 0;
    SafeArrayGetLBound(V.Get().parray, 1, &Low);
    SafeArrayGetUBound(V.Get().parray, 1, &High);
    EXPECT_EQ(Low, 5);
    EXPECT_EQ(High, 7);
    EXPECT_EQ(A->Values(6), 2.5);

    // An array written with a low bound other than 0 moves FirstIndex, whatever its type.
    A->SetAsVariant(Array(VT_VARIANT, 2, {7, 8}));
    EXPECT_EQ(A->FirstIndex(), 2);
    EXPECT_EQ(Elements(*A), (TNumbers{7, 8}));
    A->SetAsVariant(Array(VT_R8, 0, {9}));
    EXPECT_EQ(A->FirstIndex(), 2);

    TKoFloatArray Single(nullptr);
    Single.SetElementType(etSingle);
    Single.SetAsVariant(Array(VT_R8, 0, {0.1, KoBadFloat}));
    const TKoOleVariant S = Single.AsVariant();
    ASSERT_EQ(S.Type(), VT_ARRAY | VT_R4);
    EXPECT_EQ(Single.GetPropDataType(vpValue), vdtSingle);
    EXPECT_EQ(Single.Values(0), static_cast<double>(0.1f));
    EXPECT_EQ(Single.Qualities(1), vpqBad);
    EXPECT_EQ(Single.ValuesAsString(1), L"#BAD");
}

TEST_F(FloatArrayTest, TextOfNumbersBecomesTheElements) {
    const std::wstring Sep = KoListSeparator().empty() ? L"," : KoListSeparator().substr(0, 1);
    A->SetValueAsString(L"1" + Sep + L"2" + Sep + L"3");
    EXPECT_EQ(A->Length(), 3);
    EXPECT_EQ(Elements(*A), (TNumbers{1, 2, 3}));
    // An entry that is no number is a bad element.
    A->SetValueAsString(L"4" + Sep + L"x");
    EXPECT_EQ(A->Length(), 2);
    EXPECT_EQ(A->Qualities(1), vpqBad);

    A->SetValuesAsString(0, L"");
    EXPECT_EQ(A->Qualities(0), vpqBad);
    A->SetValuesAsString(0, L"6");
    EXPECT_EQ(A->Values(0), 6.0);
}

TEST_F(FloatArrayTest, SingleNumberAndUndefine) {
    A->SetPropValue(vpValue, TKoOleVariant(4.0));
    EXPECT_EQ(Elements(*A), (TNumbers{4}));
    Fill({1, 2, 3});
    A->Undefine(vpValue, 0);
    EXPECT_EQ(A->Length(), 0);
    EXPECT_TRUE(A->IsBad());
    Fill({1, 2, 3});
    A->Clear();
    EXPECT_EQ(A->Length(), 0);
}

TEST_F(FloatArrayTest, ElementWritesNotifyOnceAndEqualWritesNotAtAll) {
    Fill({1, 2, 3});
    Notified = 0;
    A->SetValues(1, 5);
    EXPECT_EQ(Notified, 1);
    A->SetValues(1, 5);
    EXPECT_EQ(Notified, 1);
    A->SetReadOnly(true);
    EXPECT_THROW(A->SetValues(1, 6), EKoReadOnly);
    EXPECT_EQ(A->Values(1), 5.0);
}

TEST_F(FloatArrayTest, RangeRulesApplyPerElement) {
    A->SetRange(0, 10);
    A->SetRangeMode(rmUndefine);
    // Every element outside the range becomes bad, the others stay.
    Fill({1, 20, 30, 4});
    EXPECT_EQ(Elements(*A), (TNumbers{1, KoBadFloat, KoBadFloat, 4}));
    A->SetValues(0, 11);
    EXPECT_EQ(A->Values(0), KoBadFloat);

    A->SetRangeMode(rmException);
    EXPECT_THROW(Fill({1, 20}), EKoRangeError);
    EXPECT_THROW(A->SetValues(3, 11), EKoRangeError);
    EXPECT_EQ(Elements(*A), (TNumbers{KoBadFloat, KoBadFloat, KoBadFloat, 4}));
}

TEST_F(FloatArrayTest, ElementLimitsGiveEachElementItsState) {
    A->SetAlarmMode(amAlarmsAndWarnings);
    A->SetArraySpecs(true);
    Fill({50, 50, 50});
    for (int32_t I = 0; I < 3; ++I) {
        A->SetAlarmLows(I, 20);
        A->SetWarnLows(I, 30);
        A->SetWarnHighs(I, 70);
        A->SetAlarmHighs(I, 80);
    }
    A->SetWarnHighs(1, 40);
    A->SetAlarmHighs(2, 45);
    EXPECT_EQ(A->Statuses(0), asNormal);
    EXPECT_EQ(A->Statuses(1), asWarning);
    EXPECT_EQ(A->Statuses(2), asAlarm);
    EXPECT_EQ(A->GetPropQuality(vpAlarmState), vpqGood);
    EXPECT_TRUE(VariantsEqual(A->GetPropValue(vpAlarmHigh), Array(VT_R8, 0, {80, 80, 45}), false));
    // The array as a whole stays normal.
    EXPECT_EQ(A->AlarmState(), asNormal);

    A->SetValues(2, 40);
    EXPECT_EQ(A->Statuses(2), asNormal);

    // A whole array of limits at once.
    A->SetPropValue(vpAlarmHigh, Array(VT_R8, 0, {45, 80, 80}));
    EXPECT_EQ(A->Statuses(0), asAlarm);
    EXPECT_EQ(A->AlarmHighs(0), 45.0);

    // Without element limits the variable's own limits judge the elements.
    TKoFloatArray Plain(nullptr);
    Plain.SetAlarmMode(amAlarms);
    Plain.SetAlarmHigh(10);
    Plain.SetAsVariant(Array(VT_R8, 0, {5, 15}));
    EXPECT_EQ(Plain.Statuses(1), asAlarm);
    EXPECT_EQ(Plain.AlarmHighs(0), 10.0);
}

TEST_F(FloatArrayTest, FailuresReportTheirTexts) {
    Fill({1, 2, 3});
    TKoFloatArray Other(nullptr);
    TKoFloatArray Variable(nullptr);
    Variable.SetMode(amVariableSampleWidth);
    Variable.AppendValueAt(1, 1, 0);
    Variable.AppendValueAt(2, 2, 0);
    Variable.AppendValueAt(3, 3, 0);
    struct Case {
        const char* Name;
        std::function<void()> Action;
        std::wstring Class, Message;
    };
    const Case Cases[] = {
        {"index past the end", [&] { A->Values(3); }, L"EKoRangeError", L"Index out of range: 3 [0-2]"},
        {"position not found", [&] { A->IndexOfPos(-5); }, L"EKoRangeError",
         L"No sample for position -5 found (FirstPos = 0)"},
        {"empty array has no positions", [&] { Other.IndexOfPos(0); }, L"EKoRangeError",
         L"No sample for position 0 found (FirstPos = 0)"},
        {"append before the last position", [&] { A->AppendValueAt(1, 1, 0); }, L"EKoRangeError",
         L"Cannot Append values before LastPos."},
        {"uniform positions", [&] { A->SetPositions(0, 1); }, L"EKoException",
         L"Positions is readonly when Mode = amUniformSampleWidth!"},
        {"positions must grow", [&] { Variable.SetPositions(1, 5); }, L"EKoException",
         L"Positions must grow when Mode = amVariableSampleWidth!"},
        {"positions must grow below", [&] { Variable.SetPositions(1, 0.5); }, L"EKoException",
         L"Positions must grow when Mode = amVariableSampleWidth!"},
        {"element limit without ArraySpecs", [&] { A->SetWarnLows(0, 1); }, L"EKoArrayPropError",
         L"Property is not an AnArray: AlarmHigh"},
        {"element of a property without elements", [&] { A->GetPropElement(vpCaption, 0); },
         L"EKoArrayPropError", L"Property is not an array"},
        {"element type with data", [&] { A->SetElementType(etSingle); }, L"EKoArrayPropError",
         L"Cannot change ElementType when the array contains data."},
        {"labels off", [&] { A->Labels(0); }, L"EKoException",
         L"TKoCustomFloatArray.Labels: Cannot access when UseLabels is False."},
        {"TotalWidth without a width", [&] { Variable.SetTotalWidth(10); }, L"EKoException",
         L"Cannot set TotalWidth when SampleWidth = 0"},
        {"appending a float array", [&] { A->Append(Other); }, L"EKoNotImplemented",
         L"TKoCustomFloatArray.AppendAt"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const auto F = FailureOf(C.Action);
        ASSERT_TRUE(F.has_value()) << "no error";
        EXPECT_EQ(F->Class, C.Class);
        EXPECT_EQ(F->Message, C.Message);
    }
    EXPECT_EQ(Elements(*A), (TNumbers{1, 2, 3}));
    EXPECT_EQ(Variable.Positions(1), 2.0);
}

TEST_F(FloatArrayTest, AccessesOutsideTheArrayFailAndTouchNothing) {
    A->SetFirstIndex(100);
    A->SetArraySpecs(true);
    A->SetUseLabels(true);
    A->SetCapacity(8);
    Fill({1, 2, 3});
    const auto Range = [](const std::wstring& I) { return L"Index out of range: " + I + L" [100-102]"; };
    struct Case {
        const char* Name;
        std::function<void()> Action;
        std::wstring Message;
    };
    const Case Cases[] = {
        {"below FirstIndex", [&] { A->Values(99); }, Range(L"99")},
        {"past LastIndex but inside the capacity", [&] { A->Values(103); }, Range(L"103")},
        {"lowest index", [&] { A->Values(MinInt); }, Range(L"-2147483648")},
        {"highest index", [&] { A->SetValues(MaxInt, 1); }, Range(L"2147483647")},
        {"position", [&] { A->Positions(-1); }, Range(L"-1")},
        {"element limit", [&] { A->SetAlarmHighs(103, 1); }, Range(L"103")},
        {"element limit read", [&] { A->WarnLows(0); }, Range(L"0")},
        {"status", [&] { A->Statuses(MaxInt); }, Range(L"2147483647")},
        {"label", [&] { A->SetLabels(99, L"x"); }, Range(L"99")},
        {"text", [&] { A->ValuesAsString(103); }, Range(L"103")},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const auto F = FailureOf(C.Action);
        ASSERT_TRUE(F.has_value()) << "no error";
        EXPECT_EQ(F->Class, L"EKoRangeError");
        EXPECT_EQ(F->Message, C.Message);
    }
    EXPECT_EQ(Elements(*A), (TNumbers{1, 2, 3}));

    // Indices stay within 32 bits: a FirstIndex or a length that would carry LastIndex past
    // the top fails and changes nothing.
    A->SetFirstIndex(MaxInt - 2);
    EXPECT_EQ(A->LastIndex(), MaxInt);
    EXPECT_EQ(A->Values(MaxInt), 3.0);
    EXPECT_THROW(A->SetLength(4), EKoRangeError);
    EXPECT_THROW(A->AppendValue(4), EKoRangeError);
    EXPECT_THROW(A->SetFirstIndex(MaxInt - 1), EKoRangeError);
    EXPECT_THROW(A->FillRandom(1, 1), EKoRangeError);
    EXPECT_THROW(A->SetAsVariant(Array(VT_R8, 0, {1, 2, 3, 4})), EKoRangeError);
    EXPECT_EQ(A->Length(), 3);
    EXPECT_EQ(A->FirstIndex(), MaxInt - 2);

    // Nonsense sizes and positions do not reach the storage.
    A->SetLength(-5);
    EXPECT_EQ(A->Length(), 0);
    A->SetCapacity(-1);
    EXPECT_EQ(A->Capacity(), 0);
    A->SetFirstIndex(0);
    Fill({1, 2});
    EXPECT_THROW(A->IndexOfPos(std::numeric_limits<double>::quiet_NaN()), EKoRangeError);
    EXPECT_EQ(A->IndexOfPos(1e300), 1);
    EXPECT_THROW(A->AssignArray(nullptr, 3), EKoException);
    EXPECT_THROW(A->SetTotalWidth(1e300), EKoRangeError);
}

TEST_F(FloatArrayTest, AddTrimAndAssign) {
    Fill({1, KoBadFloat, 3});
    A->AddValue(10);
    EXPECT_EQ(Elements(*A), (TNumbers{11, KoBadFloat, 13}));

    TKoFloatArray Other(nullptr);
    Other.SetFirstIndex(1);
    Other.SetAsVariant(Array(VT_R8, 0, {5, 5, 5}));
    A->Add(Other);
    EXPECT_EQ(Elements(*A), (TNumbers{11, 5, 18}));

    const double Values[] = {7, 0, 0, KoBadFloat};
    A->AssignArray(Values, 3);
    A->TrimLast(0);
    EXPECT_EQ(Elements(*A), (TNumbers{7}));
    // Nothing goes when everything would.
    A->AssignArray(Values + 1, 2);
    A->TrimLast(0);
    EXPECT_EQ(A->Length(), 3);

    A->SetUseLabels(true);
    A->SetLabels(0, L"inlet");
    EXPECT_EQ(A->Labels(0), L"inlet");
}
