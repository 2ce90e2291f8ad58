#include "KoByteArrays.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVariants.h"

namespace {

constexpr int64_t MaxIndex = std::numeric_limits<int32_t>::max();

// A copy of the value a reference points to, or of the value itself.
TKoOleVariant Resolved(const VARIANT& V) {
    TKoOleVariant Result;
    KoOleCheck(VariantCopyInd(Result.Receive(), KoIn(V)));
    return Result;
}

// A byte array variant with bounds 0 to Count - 1 holding a copy of Data.
TKoOleVariant ByteArrayVariant(const uint8_t* Data, size_t Count) {
    if (Count > static_cast<size_t>(MaxIndex)) throw EKoOleError(E_OUTOFMEMORY);
    TKoSafeArray Array(VT_UI1, {{0, static_cast<LONG>(Count) - 1}});
    if (Count > 0) {
        TKoSafeArrayData Access(Array.Get());
        std::memcpy(Access.Data(), Data, Count);
    }
    return TKoOleVariant::TakeArray(VT_UI1, Array.Release());
}

// The text of a value: a text as it is, anything else by its text form.
std::wstring ValueText(const VARIANT& V) {
    if (V.vt == VT_BSTR) return V.bstrVal ? std::wstring(V.bstrVal, SysStringLen(V.bstrVal)) : std::wstring();
    return VariantToText(V, false);
}

// A text as a byte string: characters up to 255 as their code, any other as '?'.
std::string ByteString(std::wstring_view Text) {
    std::string Result;
    Result.reserve(Text.size());
    for (const wchar_t C : Text) Result.push_back(static_cast<char>(C <= 0xFF ? C : L'?'));
    return Result;
}

// The whole number a value stands for in an integer field: integers as they are (unsigned
// 64-bit ones by their bits), floating point and dates rounded with halves away from zero,
// anything else 0.
int64_t WholeNumber(const VARIANT& V) {
    if (V.vt == VT_UI8) return static_cast<int64_t>(V.ullVal);
    TKoVariantClass Class = VariantClass(V);
    if (V.vt == VT_I1) Class = vcInteger;
    if (V.vt == VT_DECIMAL) Class = vcFloat;
    switch (Class) {
    case vcInteger:
    case vcBigInt:
        return KoChangeType(V, VT_I8).Get().llVal;
    case vcFloat:
    case vcDate: {
        const double D = KoChangeType(V, VT_R8).Get().dblVal;
        const double Rounded = std::trunc(D >= 0 ? D + 0.5 : D - 0.5);
        // 2^63 as a double is the first value that does not fit.
        constexpr double Limit = 9223372036854775808.0;
        if (!(Rounded >= -Limit && Rounded < Limit)) throw EKoOleError(DISP_E_OVERFLOW);
        return static_cast<int64_t>(Rounded);
    }
    default:
        return 0;
    }
}

int32_t VariantToInt32(const VARIANT& V) {
    return V.vt == VT_I4 ? V.lVal : KoChangeType(V, VT_I4).Get().lVal;
}

wchar_t CSVSeparatorOf(wchar_t Separator) {
    if (Separator != L'\0') return Separator;
    const std::wstring List = KoListSeparator();
    return List.empty() ? L',' : List[0];
}

} // namespace

int KoDataTypeSize(TKoDataType DataType) {
    switch (DataType) {
    case dtBit:
    case dtByte:
        return 1;
    case dtInt16:
        return 2;
    case dtInt24:
        return 3;
    case dtInt32:
    case dtFloat32:
        return 4;
    case dtInt64:
    case dtFloat64:
        return 8;
    default:
        return 0;
    }
}

std::pair<TKoDataType, bool> VarDataTypeToDataType(TKoVarDataType DataType) {
    switch (DataType) {
    case vdtSmallint:
        return {dtInt16, true};
    case vdtWord:
        return {dtInt16, false};
    case vdtInteger:
        return {dtInt32, true};
    case vdtLongWord:
        return {dtInt32, false};
    case vdtSingle:
        return {dtFloat32, true};
    case vdtDouble:
        return {dtFloat64, true};
    case vdtCurrency:
    case vdtDate:
        return {dtFloat64, false};
    case vdtOleStr:
        return {dtString, false};
    case vdtBoolean:
        return {dtBit, false};
    case vdtShortint:
        return {dtByte, true};
    case vdtByte:
        return {dtByte, false};
    case vdtInt64:
        return {dtInt64, true};
    case vdtUInt64:
        return {dtInt64, false};
    default:
        throw EKoException(L"Unsupported DataType");
    }
}

// ---- life and size ----

TKoByteArray::TKoByteArray(TKoComponent* AOwner) : TKoVar(AOwner) {
    FByteOrder = enLittleEndian;
    FBitOrder = enBigEndian;
}

void TKoByteArray::SetLength(int32_t Value) {
    if (Value < 0) Value = 0;
    if (Value == Length()) return;
    Updating([&] {
        const bool Grows = Value > Length();
        // Resized before anything is recorded, so that a length that cannot be had changes
        // nothing; the flags go first as they are the ones to shrink back.
        FModified.resize(static_cast<size_t>(Value));
        try {
            FBytes.resize(static_cast<size_t>(Value));
        } catch (...) {
            FModified.resize(FBytes.size());
            throw;
        }
        if (Value == 0)
            UpdateProp(vpValue, vpqBad, NowUTC());
        else if (Quality() != vpqBad)
            // New bytes hold nothing yet; lost bytes change a good value all the same.
            UpdateProp(vpValue, Grows ? vpqBad : Quality(), NowUTC());
    });
}

void TKoByteArray::Assign(TKoComponent* Source) {
    auto* Src = dynamic_cast<TKoByteArray*>(Source);
    if (!Src) {
        TKoVar::Assign(Source);
        return;
    }
    if (Src == this) return;
    BeginUpdateProp(vpValue);
    try {
        SetLength(Src->Length());
        if (Src->Length() > 0) SetBytes(FOffset, Src->GetBytes(Src->Offset(), Src->Length()));
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, Src->Quality(), true, Src->TimeStamp());
}

// ---- checks ----

void TKoByteArray::ByteIndexError(int64_t Index) const {
    throw EKoByteArrayException(KoFormat(L"%s: Byte Index out of bounds: %d (valid range, %d-%d)", VarPath(),
                                         Index, FOffset, int64_t{FOffset} + Length() - 1));
}

size_t TKoByteArray::ByteIndexToPos(int64_t Index) const {
    const int64_t Pos = Index - FOffset;
    if (Pos < 0 || Pos >= Length()) ByteIndexError(Index);
    return static_cast<size_t>(Pos);
}

void TKoByteArray::CheckCount(int64_t Count) const {
    if (Count < 0 || Count > MaxIndex)
        throw EKoByteArrayException(KoFormat(L"%s: Invalid byte count: %d", VarPath(), Count));
}

void TKoByteArray::CheckRange(int64_t Index, int64_t Count, int64_t High) const {
    CheckCount(Count);
    if (Count == 0) {
        // An empty stretch may start anywhere from the first byte to just past the last.
        if (Index < FOffset || Index > int64_t{FOffset} + Length()) ByteIndexError(Index);
        return;
    }
    if (Index < FOffset || Index > High) ByteIndexError(Index);
    if (Index + Count - 1 > High) ByteIndexError(High + 1);
}

void TKoByteArray::CheckByteRange(int64_t Index, int64_t Count) const {
    CheckRange(Index, Count, int64_t{FOffset} + Length() - 1);
}

void TKoByteArray::CheckFieldRange(int64_t Index, int64_t Count) const {
    // The bytes of a field are reached one by one through 32-bit indices.
    CheckRange(Index, Count, std::min(int64_t{FOffset} + Length() - 1, MaxIndex));
}

template <class TBody> void TKoByteArray::InValueBracket(TBody&& Body, double ATimestamp) {
    BeginUpdateProp(vpValue);
    try {
        Body();
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, vpqGood, true, ATimestamp);
}

// ---- single bytes ----

uint8_t TKoByteArray::SwitchBits(uint8_t AByte) {
    uint8_t Result = 0;
    for (int Bit = 0; Bit < 8; ++Bit)
        if (AByte & (1u << Bit)) Result |= static_cast<uint8_t>(0x80u >> Bit);
    return Result;
}

uint8_t TKoByteArray::GetByte(int32_t Index) {
    const uint8_t Stored = FBytes[ByteIndexToPos(Index)];
    return FBitOrder == enLittleEndian ? SwitchBits(Stored) : Stored;
}

void TKoByteArray::SetByte(int32_t Index, uint8_t AValue) {
    const size_t Pos = ByteIndexToPos(Index);
    const uint8_t Stored = FBitOrder == enLittleEndian ? SwitchBits(AValue) : AValue;
    if (Stored == FBytes[Pos] && Quality() != vpqBad) return;
    BeginUpdateProp(vpValue);
    try {
        FBytes[Pos] = Stored;
        SetIsByteModified(Index, true);
        UpdateProp(vpValue, vpqGood, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, vpqGood, true, 0);
}

// ---- multi-byte fields ----

uint16_t TKoByteArray::GetWord(int32_t ByteIndex) {
    CheckFieldRange(ByteIndex, 2);
    const uint16_t First = GetByte(ByteIndex), Second = GetByte(ByteIndex + 1);
    return static_cast<uint16_t>(FByteOrder == enLittleEndian ? First | (Second << 8)
                                                              : (First << 8) | Second);
}

uint32_t TKoByteArray::GetLongWord(int32_t ByteIndex) {
    CheckFieldRange(ByteIndex, 4);
    const uint32_t First = GetWord(ByteIndex), Second = GetWord(ByteIndex + 2);
    return FByteOrder == enLittleEndian ? First | (Second << 16) : (First << 16) | Second;
}

int64_t TKoByteArray::GetInt64(int32_t ByteIndex) {
    CheckFieldRange(ByteIndex, 8);
    const uint64_t First = GetLongWord(ByteIndex), Second = GetLongWord(ByteIndex + 4);
    return static_cast<int64_t>(FByteOrder == enLittleEndian ? First | (Second << 32)
                                                             : (First << 32) | Second);
}

void TKoByteArray::SetWord(int32_t ByteIndex, uint16_t Value) {
    CheckFieldRange(ByteIndex, 2);
    const auto Low = static_cast<uint8_t>(Value), High = static_cast<uint8_t>(Value >> 8);
    InValueBracket(
        [&] {
            SetByte(ByteIndex, FByteOrder == enLittleEndian ? Low : High);
            SetByte(ByteIndex + 1, FByteOrder == enLittleEndian ? High : Low);
        },
        NowUTC());
}

void TKoByteArray::SetLongWord(int32_t ByteIndex, uint32_t Value) {
    CheckFieldRange(ByteIndex, 4);
    const auto Low = static_cast<uint16_t>(Value), High = static_cast<uint16_t>(Value >> 16);
    InValueBracket(
        [&] {
            SetWord(ByteIndex, FByteOrder == enLittleEndian ? Low : High);
            SetWord(ByteIndex + 2, FByteOrder == enLittleEndian ? High : Low);
        },
        NowUTC());
}

void TKoByteArray::SetInt64(int32_t ByteIndex, int64_t Value) {
    CheckFieldRange(ByteIndex, 8);
    const auto Bits = static_cast<uint64_t>(Value);
    const auto Low = static_cast<uint32_t>(Bits), High = static_cast<uint32_t>(Bits >> 32);
    InValueBracket(
        [&] {
            SetLongWord(ByteIndex, FByteOrder == enLittleEndian ? Low : High);
            SetLongWord(ByteIndex + 4, FByteOrder == enLittleEndian ? High : Low);
        },
        NowUTC());
}

// ---- bulk access ----

uint8_t* TKoByteArray::Lock() {
    BeginUpdateProp(vpValue);
    return FBytes.empty() ? nullptr : FBytes.data();
}

void TKoByteArray::UnlockModified(int32_t FirstModifiedByte, int32_t ModifiedCount, double ATimestamp) {
    if (ModifiedCount <= 0) {
        // Nothing was written: nothing becomes good.
        EndUpdateProp(vpValue, Quality(), false, 0);
        return;
    }
    const double Stamp = ATimestamp == 0 ? NowUTC() : ATimestamp;
    try {
        const int64_t First = std::max<int64_t>(FirstModifiedByte, FOffset);
        const int64_t Last =
            std::min<int64_t>(int64_t{FirstModifiedByte} + ModifiedCount, int64_t{FOffset} + Length()) - 1;
        for (int64_t I = First; I <= Last; ++I) FModified[static_cast<size_t>(I - FOffset)] = true;
        FIsModified = true;
        UpdateProp(vpValue, vpqGood, Stamp);
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, vpqGood, true, Stamp);
}

void TKoByteArray::UnlockUnmodified() {
    EndUpdateProp(vpValue, Quality(), false, 0);
}

void TKoByteArray::CopyBytes(int32_t FirstByte, const void* Value, int32_t Count, double ATimestamp) {
    CheckCount(Count);
    const int64_t Pos = int64_t{FirstByte} - FOffset;
    if (Pos < 0) ByteIndexError(FirstByte);
    if (Pos + Count > Length()) throw EKoError(L"TKoByteArray.CopyBytes : array bounds exceeded");
    if (Count > 0 && !Value) throw EKoByteArrayException(VarPath() + L": CopyBytes without source bytes");
    uint8_t* Bytes = Lock();
    if (Count > 0) std::memmove(Bytes + Pos, Value, static_cast<size_t>(Count));
    UnlockModified(FirstByte, Count, ATimestamp);
}

TKoOleVariant TKoByteArray::GetBytes(int32_t FirstByte, int32_t Count) const {
    CheckByteRange(FirstByte, Count);
    const size_t Pos = static_cast<size_t>(int64_t{FirstByte} - FOffset);
    return ByteArrayVariant(FBytes.data() + Pos, static_cast<size_t>(Count));
}

std::string TKoByteArray::GetBytesToString(int32_t FirstByte, int32_t Count) const {
    CheckByteRange(FirstByte, Count);
    const auto* First = FBytes.data() + static_cast<size_t>(int64_t{FirstByte} - FOffset);
    return std::string(reinterpret_cast<const char*>(First), static_cast<size_t>(Count));
}

void TKoByteArray::SetBytes(int32_t ByteIndex, const VARIANT& AValue) {
    const TKoOleVariant Value = Resolved(AValue);
    if (!(Value.Type() & VT_ARRAY)) {
        SetByte(ByteIndex, KoChangeType(Value, VT_UI1).Get().bVal);
        return;
    }
    TKoOleVariant Bytes;
    if (Value.Type() != (VT_ARRAY | VT_UI1))
        VarArrayAsType(Value, VT_UI1, Bytes);
    else
        Bytes = Value;
    const int64_t Count = VarArrayElementCount(Bytes);
    CheckCount(Count);
    SAFEARRAY* Array = KoVariantArray(Bytes);
    if (Count == 0 || !Array) {
        CopyBytes(ByteIndex, nullptr, 0, 0);
        return;
    }
    TKoSafeArrayData Access(Array);
    CopyBytes(ByteIndex, Access.Data(), static_cast<int32_t>(Count), 0);
}

void TKoByteArray::SetBytes(int32_t ByteIndex, std::initializer_list<TKoOleVariant> Values) {
    TKoSafeArray Array(VT_VARIANT, {{0, static_cast<LONG>(Values.size()) - 1}});
    LONG I = 0;
    for (const TKoOleVariant& V : Values) {
        KoSafeArrayPutVariant(Array.Get(), &I, V);
        ++I;
    }
    SetBytes(ByteIndex, TKoOleVariant::TakeArray(VT_VARIANT, Array.Release()));
}

void TKoByteArray::SetBytesFromString(const std::string& S) {
    CheckCount(static_cast<int64_t>(S.size()));
    Updating([&] {
        SetLength(static_cast<int32_t>(S.size()));
        CopyBytes(FOffset, S.data(), Length(), 0);
    });
}

std::pair<int64_t, int64_t> TKoByteArray::ClearRange(int64_t FirstByte, int64_t LastByte) const {
    const auto Fail = [this](int64_t Pos) {
        throw EKoRangeError(
            KoFormat(L"TKoByteArray.ClearBytes: Index out of bounds: %d (Length=%d)", Pos, Length()));
    };
    if (LastByte < 0) LastByte = int64_t{Length()} - 1;
    if (LastByte >= Length()) Fail(LastByte);
    // An empty stretch reaches no byte; any other must start inside the array.
    if (FirstByte <= LastByte && FirstByte < 0) Fail(FirstByte);
    return {FirstByte, LastByte};
}

void TKoByteArray::ClearBytes(int32_t FirstByte, int32_t LastByte, double ATimestamp) {
    const auto [First, Last] = ClearRange(FirstByte, LastByte);
    Updating([&] {
        for (int64_t Pos = First; Pos <= Last; ++Pos) FBytes[static_cast<size_t>(Pos)] = 0;
        SetIsModified(false);
        // An empty array has no value that could become good.
        if (Length() > 0) UpdateProp(vpValue, vpqGood, ATimestamp == 0 ? NowUTC() : ATimestamp);
    });
}

void TKoByteArray::CopyFrom(TKoByteArray* Source, int32_t FirstByte, int32_t LastByte, double ATimestamp) {
    if (!Source) throw EKoByteArrayException(VarPath() + L": CopyFrom without source array");
    const auto [First, Last] = ClearRange(FirstByte, LastByte);
    // The source must hold every position read from it, and both stretches be reachable by index.
    Source->ClearRange(First, Last);
    if (First <= Last) {
        CheckFieldRange(FOffset + First, Last - First + 1);
        Source->CheckFieldRange(Source->Offset() + First, Last - First + 1);
    }
    InValueBracket(
        [&] {
            for (int64_t Pos = First; Pos <= Last; ++Pos)
                SetByte(static_cast<int32_t>(FOffset + Pos),
                        Source->GetByte(static_cast<int32_t>(Source->Offset() + Pos)));
        },
        ATimestamp == 0 ? NowUTC() : ATimestamp);
}

// ---- text form ----

std::wstring TKoByteArray::BytesToCSV(wchar_t Separator) const {
    TKoStringList List;
    List.SetCSVSeparator(CSVSeparatorOf(Separator));
    for (const uint8_t B : FBytes) List.Add(std::to_wstring(B));
    return List.AsCSV();
}

void TKoByteArray::CSVToBytes(const std::wstring& AValue, wchar_t Separator) {
    TKoStringList List;
    List.SetCSVSeparator(CSVSeparatorOf(Separator));
    List.SetAsCSV(AValue);
    // Every entry is read before anything is written, so a text that fails changes nothing.
    std::vector<uint8_t> Bytes(static_cast<size_t>(List.Count()));
    for (int I = 0; I < List.Count(); ++I) {
        const int32_t N = StrToInt(List.Strings(I));
        if (N < 0 || N > 0xFF)
            throw EKoRangeError(
                KoFormat(L"%s: Byte value out of range: %d (valid range, 0-255)", VarPath(), N));
        Bytes[static_cast<size_t>(I)] = static_cast<uint8_t>(N);
    }
    Updating([&] {
        SetLength(List.Count());
        // The bytes as the text shows them, as BytesToCSV wrote them: no bit order applies.
        if (Length() > 0) CopyBytes(FOffset, Bytes.data(), Length(), 0);
    });
}

// ---- modified flags ----

void TKoByteArray::SetIsModified(bool Value) {
    FIsModified = Value;
    if (!Value) std::fill(FModified.begin(), FModified.end(), false);
}

bool TKoByteArray::GetIsByteModified(int32_t Index) const {
    return FModified[ByteIndexToPos(Index)];
}

void TKoByteArray::SetIsByteModified(int32_t Index, bool Value) {
    FModified[ByteIndexToPos(Index)] = Value;
    if (Value) FIsModified = true;
}

// ---- typed fields ----

TKoOleVariant TKoByteArray::GetAsDataType(TKoDataType DataType, bool Signed, int32_t Byte, int32_t Bit,
                                          int32_t Size) {
    switch (DataType) {
    case dtBit:
        if (Bit < 0 || Bit > 7)
            throw EKoByteArrayException(
                KoFormat(L"%s: Bit number out of bounds: %d (valid range, 0-7)", VarPath(), Bit));
        return TKoOleVariant(((GetByte(Byte) >> Bit) & 1) != 0);
    case dtByte:
        return KoVariantOf(GetByte(Byte));
    case dtInt16: {
        const uint16_t W = GetWord(Byte);
        return Signed ? KoVariantOf(static_cast<int16_t>(W)) : KoVariantOf(W);
    }
    case dtInt24: {
        CheckFieldRange(Byte, 3);
        const uint32_t B0 = GetByte(Byte), B1 = GetByte(Byte + 1), B2 = GetByte(Byte + 2);
        const uint32_t U =
            FByteOrder == enLittleEndian ? B0 | (B1 << 8) | (B2 << 16) : (B0 << 16) | (B1 << 8) | B2;
        // Signed: bit 23 is the sign.
        const int32_t N = Signed ? static_cast<int32_t>(U ^ 0x800000u) - 0x800000 : static_cast<int32_t>(U);
        return TKoOleVariant(N);
    }
    case dtInt32: {
        const uint32_t L = GetLongWord(Byte);
        return Signed ? TKoOleVariant(static_cast<int32_t>(L)) : KoVariantOf(L);
    }
    case dtFloat32: {
        const uint32_t Bits = GetLongWord(Byte);
        float F;
        std::memcpy(&F, &Bits, sizeof F);
        return TKoOleVariant(std::isnan(F) ? KoBadFloat : static_cast<double>(F));
    }
    case dtInt64: {
        const int64_t N = GetInt64(Byte);
        return Signed ? KoVariantOf(N) : KoVariantOf(static_cast<uint64_t>(N));
    }
    case dtFloat64: {
        const int64_t Bits = GetInt64(Byte);
        double D;
        std::memcpy(&D, &Bits, sizeof D);
        return TKoOleVariant(std::isnan(D) ? KoBadFloat : D);
    }
    case dtString: {
        int64_t Count = Size;
        if (Size == 0) {
            ByteIndexToPos(Byte); // the rest of the array from a valid index
            Count = int64_t{FOffset} + Length() - Byte;
        }
        CheckFieldRange(Byte, Count);
        std::wstring Text;
        Text.reserve(static_cast<size_t>(Count));
        for (int64_t I = 0; I < Count; ++I)
            Text.push_back(static_cast<wchar_t>(GetByte(static_cast<int32_t>(Byte + I))));
        return TKoOleVariant(Text);
    }
    default:
        throw EKoException(L"GetAsDataType: Unsupported DataType");
    }
}

void TKoByteArray::SetAsDataType(const VARIANT& AValue, TKoDataType DataType, bool /*Signed*/, int32_t Byte,
                                 int32_t Bit) {
    const TKoOleVariant Value = Resolved(AValue);
    if (!VarHasValue(Value)) throw EKoException(L"SetAsDataType: Value is not a valid variant");
    switch (DataType) {
    case dtBit: {
        if (Bit < 0 || Bit > 7)
            throw EKoByteArrayException(
                KoFormat(L"%s: Bit number out of bounds: %d (valid range, 0-7)", VarPath(), Bit));
        const bool On = KoChangeType(Value, VT_BOOL).Get().boolVal != VARIANT_FALSE;
        const uint8_t Mask = static_cast<uint8_t>(1u << Bit);
        const uint8_t Old = GetByte(Byte);
        SetByte(Byte, On ? static_cast<uint8_t>(Old | Mask) : static_cast<uint8_t>(Old & ~Mask));
        break;
    }
    case dtByte:
        SetByte(Byte, static_cast<uint8_t>(WholeNumber(Value)));
        break;
    case dtInt16:
        SetWord(Byte, static_cast<uint16_t>(WholeNumber(Value)));
        break;
    case dtInt32:
        SetLongWord(Byte, static_cast<uint32_t>(WholeNumber(Value)));
        break;
    case dtFloat32: {
        const float F = KoChangeType(Value, VT_R4).Get().fltVal;
        uint32_t Bits;
        std::memcpy(&Bits, &F, sizeof Bits);
        SetLongWord(Byte, Bits);
        break;
    }
    case dtInt64:
        SetInt64(Byte, WholeNumber(Value));
        break;
    case dtFloat64: {
        const double D = KoChangeType(Value, VT_R8).Get().dblVal;
        int64_t Bits;
        std::memcpy(&Bits, &D, sizeof Bits);
        SetInt64(Byte, Bits);
        break;
    }
    case dtString: {
        const std::wstring Text = ValueText(Value);
        CheckFieldRange(Byte, static_cast<int64_t>(Text.size()));
        InValueBracket(
            [&] {
                for (size_t I = 0; I < Text.size(); ++I)
                    SetByte(static_cast<int32_t>(Byte + static_cast<int64_t>(I)),
                            static_cast<uint8_t>(Text[I]));
            },
            NowUTC());
        break;
    }
    default:
        throw EKoException(L"SetAsDataType: Unsupported DataType");
    }
}

bool TKoByteArray::SetBytesAsDataType(int32_t Index, const VARIANT& V, TKoVarDataType DataType) {
    try {
        int64_t Size = 1;
        TKoDataType Field = dtByte;
        bool Signed = false;
        if (DataType != vdtBoolean && DataType != vdtByte) {
            std::tie(Field, Signed) = VarDataTypeToDataType(DataType);
            Size = KoDataTypeSize(Field);
        }
        // The elements follow each other from the first byte on.
        const int64_t Byte = FOffset + Index * Size;
        if (Byte < std::numeric_limits<int32_t>::min() || Byte > MaxIndex) ByteIndexError(Byte);
        const auto At = static_cast<int32_t>(Byte);
        if (DataType == vdtBoolean)
            SetByte(At, KoChangeType(V, VT_BOOL).Get().boolVal != VARIANT_FALSE ? 1 : 0);
        else if (DataType == vdtByte)
            SetByte(At, static_cast<uint8_t>(KoChangeType(V, VT_I4).Get().lVal));
        else
            SetAsDataType(V, Field, Signed, At, 0);
        return true;
    } catch (const std::exception&) {
        SetPropQuality(vpValue, vpqBad);
        return false;
    }
}

// ---- properties ----

TKoVarDataType TKoByteArray::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtByte : TKoVar::GetPropDataType(Prop);
}

bool TKoByteArray::GetPropIsArray(TKoVarPropType Prop) const {
    return Prop == vpValue || TKoVar::GetPropIsArray(Prop);
}

TKoOleVariant TKoByteArray::GetPropValueGood(TKoVarPropType Prop) const {
    if (Prop != vpValue) return TKoVar::GetPropValueGood(Prop);
    if (FBytes.empty()) return TKoOleVariant();
    return ByteArrayVariant(FBytes.data(), FBytes.size());
}

std::vector<uint8_t> TKoByteArray::ValueBytes(const VARIANT& AValue) {
    const TKoOleVariant Value = Resolved(AValue);
    if (SAFEARRAY* Array = KoVariantArray(Value)) {
        // The raw data of the elements, in memory order.
        const int64_t Size = VariantSize(Value);
        if (Size <= 0) return {};
        TKoSafeArrayData Access(Array);
        const auto* Data = static_cast<const uint8_t*>(Access.Data());
        return std::vector<uint8_t>(Data, Data + Size);
    }
    if (Value.Type() == VT_BSTR) {
        const std::string Text = ByteString(ValueText(Value));
        return std::vector<uint8_t>(Text.begin(), Text.end());
    }
    // The memory image of a scalar; only what the value itself holds can be copied.
    int64_t Size = 0;
    try {
        Size = VariantSize(Value);
    } catch (const std::invalid_argument&) {
        throw EKoOleError(DISP_E_TYPEMISMATCH);
    }
    if (Size < 0 || Size > static_cast<int64_t>(sizeof Value.Get().llVal))
        throw EKoOleError(DISP_E_TYPEMISMATCH);
    const auto* Data = reinterpret_cast<const uint8_t*>(&Value.Get().llVal);
    return std::vector<uint8_t>(Data, Data + Size);
}

void TKoByteArray::StoreBytes(const std::vector<uint8_t>& Bytes) {
    CheckCount(static_cast<int64_t>(Bytes.size()));
    const auto Count = static_cast<int32_t>(Bytes.size());
    SetLength(Count);
    if (Count > 0) CopyBytes(FOffset, Bytes.data(), Count, 0);
}

void TKoByteArray::SetPropValueGood(TKoVarPropType Prop, const VARIANT& AValue) {
    if (Prop != vpValue) {
        TKoVar::SetPropValueGood(Prop, AValue);
        return;
    }
    TKoVarQuality Q = QualityOfVariant(AValue, PropQualityOfEmptyString(vpValue));
    if (Q == vpqBad) return;
    // The gate sees the bytes the value stands for, so that an array of another element type
    // is compared by what it would store; it runs before the bracket so that read-only and the
    // changing handlers apply to a written value.
    std::vector<uint8_t> Bytes = ValueBytes(AValue);
    TKoOleVariant Value = ByteArrayVariant(Bytes.data(), Bytes.size());
    if (!CanChange(vpValue, Value.Get(), 0, 0, Q)) return;
    if (Q == vpqBad) return;
    Bytes = ValueBytes(Value); // a changing handler may have replaced the value
    // A value without bytes leaves the array empty, and an empty array is bad.
    if (Bytes.empty()) Q = vpqBad;
    BeginUpdateProp(vpValue);
    try {
        StoreBytes(Bytes);
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, Q, true, NowUTC());
}

void TKoByteArray::SetPropAsDataType(TKoVarPropType Prop, const VARIANT& AValue, TKoVarDataType DataType) {
    if (Prop != vpValue) {
        TKoVar::SetPropAsDataType(Prop, AValue, DataType);
        return;
    }
    const TKoOleVariant Value = Resolved(AValue);
    if (DataType == vdtDefault) DataType = VarTypeToKoVarDataType(Value.Type());
    const TKoDataType Field = VarDataTypeToDataType(DataType).first;
    const int64_t Size = KoDataTypeSize(Field);
    SAFEARRAY* Array = KoVariantArray(Value);
    if (Array && SafeArrayGetDim(Array) != 1) throw EKoOleError(DISP_E_BADINDEX);
    BeginUpdateProp(vpValue);
    // The value ends good only when every element was written.
    TKoVarQuality Q = vpqGood;
    try {
        if (Array) {
            LONG Low = 0, High = -1;
            KoOleCheck(SafeArrayGetLBound(Array, 1, &Low));
            KoOleCheck(SafeArrayGetUBound(Array, 1, &High));
            const int64_t Count = int64_t{High} - Low + 1;
            CheckCount(Count * Size);
            SetLength(static_cast<int32_t>(Count * Size));
            for (LONG I = Low; I <= High; ++I)
                if (!SetBytesAsDataType(I - Low, KoSafeArrayGetVariant(Array, &I), DataType)) Q = vpqBad;
        } else {
            const int64_t Length =
                DataType == vdtOleStr ? static_cast<int64_t>(ValueText(Value).size()) : Size;
            CheckCount(Length);
            SetLength(static_cast<int32_t>(Length));
            if (!SetBytesAsDataType(0, Value, DataType)) Q = vpqBad;
        }
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, Q, true, 0);
}

TKoOleVariant TKoByteArray::GetPropAsDataTypeGood(TKoVarPropType Prop, TKoVarDataType DataType) {
    if (Prop == vpValue) {
        // Fields from the first byte on, as they are read; no conversion follows.
        switch (DataType) {
        case vdtSmallint:
            return GetAsDataType(dtInt16, true, FOffset, 0, 0);
        case vdtInteger:
            return GetAsDataType(dtInt32, true, FOffset, 0, 0);
        case vdtSingle:
            return GetAsDataType(dtFloat32, true, FOffset, 0, 0);
        case vdtOleStr:
            return GetAsDataType(dtString, false, FOffset, 0, 0);
        case vdtShortint:
        case vdtByte:
            return GetAsDataType(dtByte, false, FOffset, 0, 0);
        case vdtWord:
            return GetAsDataType(dtInt16, false, FOffset, 0, 0);
        case vdtLongWord:
            return GetAsDataType(dtInt32, false, FOffset, 0, 0);
        case vdtInt64:
            return GetAsDataType(dtInt64, true, FOffset, 0, 0);
        default:
            break;
        }
    }
    return TKoVar::GetPropAsDataTypeGood(Prop, DataType);
}

int32_t TKoByteArray::GetPropAsIntegerGood(TKoVarPropType Prop) {
    if (Prop != vpValue) return TKoVar::GetPropAsIntegerGood(Prop);
    const int32_t N = Length();
    const TKoDataType Field = N <= 1 ? dtByte : N == 2 ? dtInt16 : N == 3 ? dtInt24 : dtInt32;
    return VariantToInt32(GetAsDataType(Field, true, FOffset, 0, 0));
}

double TKoByteArray::GetPropAsFloatGood(TKoVarPropType Prop) {
    if (Prop != vpValue) return TKoVar::GetPropAsFloatGood(Prop);
    const int32_t N = Length();
    if (N <= 3) return GetPropAsInteger(vpValue);
    return GetAsDataType(N < 8 ? dtFloat32 : dtFloat64, true, FOffset, 0, 0).Get().dblVal;
}

double TKoByteArray::GetPropAsDateTimeGood(TKoVarPropType Prop) {
    if (Prop != vpValue) return TKoVar::GetPropAsDateTimeGood(Prop);
    return GetPropAsFloat(vpValue);
}

std::wstring TKoByteArray::GetPropAsStringGood(TKoVarPropType Prop) {
    if (Prop != vpValue) return TKoVar::GetPropAsStringGood(Prop);
    return BytesToCSV(L'\0');
}

TKoOleVariant TKoByteArray::GetVarPropValueAsDataTypeGood(TKoVarPropType Prop, const VARIANT& V,
                                                          TKoVarDataType DataType) {
    if (V.vt & VT_ARRAY)
        throw EKoException(L"TKoByteArray.GetVarPropValueAsDataTypeGood not implemented for arrays");
    return TKoVar::GetVarPropValueAsDataTypeGood(Prop, V, DataType);
}

void TKoByteArray::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop != vpValue) {
        TKoVar::SetPropAsStringGood(Prop, V);
        return;
    }
    CSVToBytes(V, L'\0');
}
