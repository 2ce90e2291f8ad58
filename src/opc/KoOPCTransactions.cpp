#include "KoOPCTransactions.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "KoOPCErrors.h"

EKoOPCOutOfMemory::EKoOPCOutOfMemory(uint64_t Size)
    : EKoOleError(E_OUTOFMEMORY, KoFormat(L"CoTaskMemAlloc failed to allocate %d bytes%s.",
                                          static_cast<int64_t>(
                                              std::min<uint64_t>(Size, std::numeric_limits<int64_t>::max())),
                                          L"")) {}

// --- TKoOPCAlloc --------------------------------------------------------------------------------

void TKoOPCAlloc::AllocMem(void*& P, size_t Size) {
    if (Size == 0) {
        FreeMem(P);
        return;
    }
    // On failure the allocator leaves the old block alone, so P stays valid.
    void* NewP = CoTaskMemRealloc(P, Size);
    if (!NewP) throw EKoOPCOutOfMemory(Size);
    P = NewP;
}

void TKoOPCAlloc::CAllocMem(void*& P, size_t Size, size_t Offset) {
    AllocMem(P, Size);
    if (Offset < Size) std::memset(static_cast<char*>(P) + Offset, 0, Size - Offset);
}

void TKoOPCAlloc::AllocItemStateList(OPCITEMSTATE*& P, size_t Count) {
    if (Count > static_cast<size_t>(-1) / sizeof(OPCITEMSTATE))
        throw EKoOPCOutOfMemory(static_cast<uint64_t>(Count) * sizeof(OPCITEMSTATE));
    void* Block = P;
    CAllocMem(Block, Count * sizeof(OPCITEMSTATE), 0);
    P = static_cast<OPCITEMSTATE*>(Block);
}

void TKoOPCAlloc::FreeMem(void*& P) noexcept {
    CoTaskMemFree(P);
    P = nullptr;
}

void TKoOPCAlloc::FreeItemResultList(OPCITEMRESULT*& Results, size_t Count) noexcept {
    if (Results)
        for (size_t I = 0; I < Count; ++I) CoTaskMemFree(Results[I].pBlob);
    FreeMem(Results);
}

void TKoOPCAlloc::FreeItemAttributesArray(OPCITEMATTRIBUTES*& Attributes, size_t Count) noexcept {
    if (Attributes)
        for (size_t I = 0; I < Count; ++I) {
            CoTaskMemFree(Attributes[I].szAccessPath);
            CoTaskMemFree(Attributes[I].szItemID);
            CoTaskMemFree(Attributes[I].pBlob);
            // The EU information may hold an array; leaving it would leak it.
            VariantClear(&Attributes[I].vEUInfo);
        }
    FreeMem(Attributes);
}

// --- TKoOPCTransaction --------------------------------------------------------------------------

namespace {

// A resized copy of Old (OldCount entries) with NewCount entries; new entries are zero.
template <class T> TKoTaskMem<T> Resized(const TKoTaskMem<T>& Old, int32_t OldCount, int32_t NewCount) {
    TKoTaskMem<T> Result = TKoOPCAlloc::NewArray<T>(static_cast<size_t>(NewCount));
    const int32_t Kept = std::min(OldCount, NewCount);
    if (Kept > 0)
        std::memcpy(static_cast<void*>(Result.Get()), Old.Get(), static_cast<size_t>(Kept) * sizeof(T));
    return Result;
}

void CheckCapacityRequest(int32_t Value) {
    if (Value < 0) throw EKoOPCProviderInvalidArg(KoFormat(L"Invalid transaction capacity (%d)", Value));
    // Refused before the allocator sees it: the largest entry is a VARIANT.
    if (Value > KoOPCMaxTransactionCapacity)
        throw EKoOPCOutOfMemory(static_cast<uint64_t>(Value) * sizeof(VARIANT));
}

} // namespace

TKoOPCTransaction::~TKoOPCTransaction() {
    ClearValues(0, FCapacity);
}

void TKoOPCTransaction::ClearValues(int32_t From, int32_t To) noexcept {
    for (int32_t I = From; I < To; ++I) VariantClear(&FValues[static_cast<size_t>(I)]);
}

void TKoOPCTransaction::CheckIndex(int32_t Index) const {
    if (Index < 0 || Index >= FCapacity)
        throw EKoOPCProviderInvalidArg(KoFormat(L"Transaction index out of bounds (%d)", Index));
}

void TKoOPCTransaction::Alloc(int32_t MaxCount) {
    TKoTaskMem<OPCHANDLE> ClientHandles = Resized(FClientHandles, FCapacity, MaxCount);
    TKoTaskMem<HRESULT> Errors = Resized(FErrors, FCapacity, MaxCount);
    TKoTaskMem<OPCHANDLE> ServerHandles = Resized(FServerHandles, FCapacity, MaxCount);
    // The kept values move bitwise into the new array; the old block is then freed without
    // clearing them, so only the dropped ones are cleared here.
    TKoTaskMem<VARIANT> Values = Resized(FValues, FCapacity, MaxCount);
    ClearValues(std::min(MaxCount, FCapacity), FCapacity);
    FClientHandles = std::move(ClientHandles);
    FErrors = std::move(Errors);
    FServerHandles = std::move(ServerHandles);
    FValues = std::move(Values);
}

void TKoOPCTransaction::SetCapacity(int32_t Value) {
    if (Value == FCapacity) return;
    CheckCapacityRequest(Value);
    Alloc(Value);
    FCapacity = Value;
    FCount = std::min(FCount, FCapacity);
}

void TKoOPCTransaction::SetCount(int32_t Value) {
    if (Value == FCount) return;
    if (Value < 0) throw EKoOPCProviderInvalidArg(KoFormat(L"Invalid transaction count (%d)", Value));
    if (FCapacity < Value) SetCapacity(Value);
    FCount = Value;
}

void TKoOPCTransaction::DeAlloc() noexcept {
    ClearValues(0, FCapacity);
    FClientHandles = {};
    FErrors = {};
    FServerHandles = {};
    FValues = {};
    FCapacity = 0;
    FCount = 0;
}

int32_t TKoOPCTransaction::AddHandle(OPCHANDLE ClientHandle, OPCHANDLE ServerHandle) {
    // Grow before counting the entry, so that a failed resize leaves the transaction as it was;
    // doubling starts from one entry, as doubling an empty transaction would not grow it.
    if (FCount >= FCapacity) {
        if (FCapacity >= KoOPCMaxTransactionCapacity) CheckCapacityRequest(FCapacity + 1);
        SetCapacity(std::clamp(FCapacity * 2, 1, KoOPCMaxTransactionCapacity));
    }
    const int32_t Index = FCount++;
    FClientHandles[static_cast<size_t>(Index)] = ClientHandle;
    FServerHandles[static_cast<size_t>(Index)] = ServerHandle;
    return Index;
}

void TKoOPCTransaction::Clear() noexcept {
    for (int32_t I = 0; I < FCount; ++I) {
        const size_t At = static_cast<size_t>(I);
        FServerHandles[At] = KoOPCNoHandle;
        VariantClear(&FValues[At]);
        FErrors[At] = S_OK;
    }
    FCount = 0;
}

int32_t TKoOPCTransaction::IndexOfClientHandle(OPCHANDLE ClientHandle) const noexcept {
    for (int32_t I = 0; I < FCount; ++I)
        if (FClientHandles[static_cast<size_t>(I)] == ClientHandle) return I;
    return -1;
}

bool TKoOPCTransaction::SetErrorList(const HRESULT* List, int32_t ACount) {
    if (ACount < 0) throw EKoOPCProviderInvalidArg(KoFormat(L"Invalid transaction count (%d)", ACount));
    if (FCapacity < ACount) SetCapacity(ACount);
    bool AllFailed = true;
    if (List)
        for (int32_t I = 0; I < ACount; ++I) {
            FErrors[static_cast<size_t>(I)] = List[I];
            AllFailed = AllFailed && FAILED(List[I]);
        }
    return AllFailed;
}

void TKoOPCTransaction::GetErrorList(HRESULT* List) const noexcept {
    if (List && FCount > 0) std::memcpy(List, FErrors.Get(), static_cast<size_t>(FCount) * sizeof(HRESULT));
}

TKoTaskMem<HRESULT> TKoOPCTransaction::ErrorList() const {
    TKoTaskMem<HRESULT> Result = TKoOPCAlloc::NewArray<HRESULT>(static_cast<size_t>(FCount));
    GetErrorList(Result.Get());
    return Result;
}

HRESULT TKoOPCTransaction::MasterError() const noexcept {
    for (int32_t I = 0; I < FCount; ++I)
        if (FAILED(FErrors[static_cast<size_t>(I)])) return S_FALSE;
    return S_OK;
}

bool TKoOPCTransaction::HasOKItems() const noexcept {
    for (int32_t I = 0; I < FCount; ++I)
        if (SUCCEEDED(FErrors[static_cast<size_t>(I)])) return true;
    return false;
}

OPCHANDLE TKoOPCTransaction::ClientHandles(int32_t Index) const {
    return Entry(FClientHandles, Index);
}

void TKoOPCTransaction::SetClientHandles(int32_t Index, OPCHANDLE Value) {
    Entry(FClientHandles, Index) = Value;
}

OPCHANDLE TKoOPCTransaction::ServerHandles(int32_t Index) const {
    return Entry(FServerHandles, Index);
}

void TKoOPCTransaction::SetServerHandles(int32_t Index, OPCHANDLE Value) {
    Entry(FServerHandles, Index) = Value;
}

HRESULT TKoOPCTransaction::Errors(int32_t Index) const {
    return Entry(FErrors, Index);
}

void TKoOPCTransaction::SetErrors(int32_t Index, HRESULT Value) {
    Entry(FErrors, Index) = Value;
}

TKoOleVariant TKoOPCTransaction::Values(int32_t Index) const {
    return TKoOleVariant(ValueRef(Index));
}

const VARIANT& TKoOPCTransaction::ValueRef(int32_t Index) const {
    return Entry(FValues, Index);
}

void TKoOPCTransaction::SetValues(int32_t Index, const VARIANT& Value) {
    CheckIndex(Index);
    // Copy first, so a failed copy leaves the old value in place.
    SetValues(Index, TKoOleVariant(Value));
}

void TKoOPCTransaction::SetValues(int32_t Index, TKoOleVariant&& Value) {
    CheckIndex(Index);
    VARIANT& Slot = FValues[static_cast<size_t>(Index)];
    VariantClear(&Slot);
    Slot = Value.Release();
}

// --- TKoOPCReadTransaction ----------------------------------------------------------------------

void TKoOPCReadTransaction::Alloc(int32_t MaxCount) {
    const int32_t OldCapacity = Capacity();
    TKoTaskMem<WORD> Qualities = Resized(FQualities, OldCapacity, MaxCount);
    TKoTaskMem<FILETIME> Timestamps = Resized(FTimestamps, OldCapacity, MaxCount);
    TKoOPCTransaction::Alloc(MaxCount);
    FQualities = std::move(Qualities);
    FTimestamps = std::move(Timestamps);
}

void TKoOPCReadTransaction::DeAlloc() noexcept {
    FQualities = {};
    FTimestamps = {};
    TKoOPCTransaction::DeAlloc();
}

HRESULT TKoOPCReadTransaction::MasterQuality() const noexcept {
    for (int32_t I = 0; I < Count(); ++I)
        if ((FQualities[static_cast<size_t>(I)] & OPC_QUALITY_GOOD) != OPC_QUALITY_GOOD) return S_FALSE;
    return S_OK;
}

WORD TKoOPCReadTransaction::Qualities(int32_t Index) const {
    return Entry(FQualities, Index);
}

void TKoOPCReadTransaction::SetQualities(int32_t Index, WORD Value) {
    Entry(FQualities, Index) = Value;
}

FILETIME TKoOPCReadTransaction::Timestamps(int32_t Index) const {
    return Entry(FTimestamps, Index);
}

void TKoOPCReadTransaction::SetTimestamps(int32_t Index, const FILETIME& Value) {
    Entry(FTimestamps, Index) = Value;
}

namespace {

// Clears the values of the item states filled so far unless the list was handed over.
class TKoItemStateValues {
public:
    explicit TKoItemStateValues(OPCITEMSTATE* AStates) noexcept : FStates(AStates) {}
    ~TKoItemStateValues() {
        for (size_t I = 0; I < Filled; ++I) VariantClear(&FStates[I].vDataValue);
    }
    TKoItemStateValues(const TKoItemStateValues&) = delete;
    TKoItemStateValues& operator=(const TKoItemStateValues&) = delete;

    size_t Filled = 0;

private:
    OPCITEMSTATE* FStates;
};

} // namespace

HRESULT TKoOPCReadTransaction::GetItemStates(OPCITEMSTATE** ItemValues, HRESULT** Errors) const {
    if (!ItemValues || !Errors) throw EKoOPCProviderInvalidArg(L"Invalid argument");
    const size_t N = static_cast<size_t>(Count());
    TKoTaskMem<OPCITEMSTATE> States = TKoOPCAlloc::NewArray<OPCITEMSTATE>(N);
    TKoTaskMem<HRESULT> ErrorCodes = ErrorList();
    TKoItemStateValues Guard(States.Get());
    for (size_t I = 0; I < N; ++I) {
        const int32_t Index = static_cast<int32_t>(I);
        OPCITEMSTATE& State = States[I];
        State.hClient = ClientHandles(Index);
        State.ftTimeStamp = FTimestamps[I];
        State.wQuality = FQualities[I];
        KoOleCheck(VariantCopy(&State.vDataValue, KoIn(ValueRef(Index))));
        Guard.Filled = I + 1;
    }
    Guard.Filled = 0;
    *ItemValues = States.Release();
    *Errors = ErrorCodes.Release();
    return MasterError();
}
