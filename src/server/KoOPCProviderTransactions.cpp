#include "KoOPCProviderTransactions.h"

#include <algorithm>

#include "KoOPCErrors.h"
#include "KoOPCItems.h"

TKoOPCProviderTransaction::TKoOPCProviderTransaction(TKoOPCProviderGroup* AGroup, TKoOPCTransactionKind AKind,
                                                     DWORD AID)
    : TKoOPCDataChangeTransaction(AKind, AID), FGroup(AGroup) {
    if (!AGroup) throw EKoOPCProviderInvalidArg(L"A transaction needs its group.");
}

int32_t TKoOPCProviderTransaction::Add(TKoOPCProviderItem* Item) {
    return Item ? AddHandle(Item->ClientHandle(), Item->ServerHandle())
                : AddHandle(KoOPCNoHandle, KoOPCNoHandle);
}

namespace {

size_t SlotOf(OPCHANDLE ClientHandle, size_t Mask) noexcept {
    return (static_cast<size_t>(ClientHandle) * 0x9E3779B1u) & Mask;
}

} // namespace

int32_t TKoOPCProviderTransaction::FindEntry(OPCHANDLE ClientHandle) {
    if (FIndexedCount != Count()) RebuildIndex();
    if (FEntrySlots.empty()) return -1;
    const size_t Mask = FEntrySlots.size() - 1;
    for (size_t Slot = SlotOf(ClientHandle, Mask);; Slot = (Slot + 1) & Mask) {
        const int32_t Index = FEntrySlots[Slot];
        if (Index < 0) return -1;
        if (ClientHandles(Index) == ClientHandle) return Index;
    }
}

void TKoOPCProviderTransaction::IndexLastEntry() {
    const int32_t Index = Count() - 1;
    if (FIndexedCount != Index || static_cast<size_t>(Count()) * 2 > FEntrySlots.size()) {
        RebuildIndex();
        return;
    }
    IndexEntry(Index);
    FIndexedCount = Count();
}

void TKoOPCProviderTransaction::IndexEntry(int32_t Index) {
    const size_t Mask = FEntrySlots.size() - 1;
    const OPCHANDLE ClientHandle = ClientHandles(Index);
    for (size_t Slot = SlotOf(ClientHandle, Mask);; Slot = (Slot + 1) & Mask) {
        if (FEntrySlots[Slot] < 0) {
            FEntrySlots[Slot] = Index;
            return;
        }
        // An earlier entry with the handle stays the one found.
        if (ClientHandles(FEntrySlots[Slot]) == ClientHandle) return;
    }
}

void TKoOPCProviderTransaction::RebuildIndex() {
    size_t Size = 16;
    while (Size < static_cast<size_t>(std::max(Capacity(), Count())) * 2) Size *= 2;
    FEntrySlots.assign(Size, -1);
    for (int32_t Index = 0; Index < Count(); ++Index) IndexEntry(Index);
    FIndexedCount = Count();
}

int32_t TKoOPCProviderTransaction::AckItem(TKoOPCProviderItem* Item, bool ForceNewEntry) {
    int32_t Index = ForceNewEntry || !Item ? -1 : FindEntry(Item->ClientHandle());
    if (Index < 0) {
        Index = Add(Item);
        if (!ForceNewEntry) IndexLastEntry();
    }
    if (!Item) {
        SetErrors(Index, OPC_E_INVALIDHANDLE);
    } else if (Item->AccessRights() == arWriteOnly) {
        SetErrors(Index, OPC_E_BADRIGHTS);
    } else {
        SetErrors(Index, ReadEntry(Index, *Item));
    }
    return Index;
}

HRESULT TKoOPCProviderTransaction::ReadEntry(int32_t Index, TKoOPCProviderItem& Item) {
    CheckIndex(Index);
    WORD Quality = OPC_QUALITY_BAD;
    FILETIME TimeStamp{};
    HRESULT Result;
    try {
        // The item copies its value straight into the entry.
        Result = Item.GetItemState(ValueArray()[Index], Quality, TimeStamp, DataSource);
    } catch (...) {
        // The entry lost its value: it is not handed out as good.
        SetQualities(Index, OPC_QUALITY_BAD);
        throw;
    }
    SetQualities(Index, Quality);
    SetTimestamps(Index, TimeStamp);
    return Result;
}

void TKoOPCProviderTransaction::RemoveItem(TKoOPCProviderItem* Item) {
    if (!Item) return;
    const int32_t Index = FindEntry(Item->ClientHandle());
    if (Index < 0) return;
    const int32_t Last = Count() - 1;
    if (Index != Last) {
        SetValues(Index, ValueRef(Last));
        SetQualities(Index, Qualities(Last));
        SetTimestamps(Index, Timestamps(Last));
        SetClientHandles(Index, ClientHandles(Last));
        SetServerHandles(Index, ServerHandles(Last));
        SetErrors(Index, Errors(Last));
    }
    SetValues(Last, TKoOleVariant());
    SetCount(Last);
}

int32_t TKoOPCProviderWriteTransaction::Add(TKoOPCProviderItem* Item, TKoOleVariant&& Value) {
    const int32_t Index = Add(Item);
    SetValues(Index, std::move(Value));
    return Index;
}

HRESULT TKoOPCProviderTransaction::DispatchToOPCDataCallback(IOPCDataCallback* Sink) {
    if (!Sink) throw EKoOPCProviderInvalidArg(L"No callback to dispatch to.");
    return CallDataCallback(Sink);
}

HRESULT TKoOPCProviderTransaction::CallDataCallback(IOPCDataCallback* Sink) {
    const DWORD N = static_cast<DWORD>(Count());
    switch (Kind()) {
    case tkDataChange:
        return Sink->OnDataChange(ID(), GroupClientHandle, MasterQuality(), MasterError(), N,
                                  ClientHandleArray(), ValueArray(), QualityArray(), TimestampArray(),
                                  ErrorArray());
    case tkRead:
        return Sink->OnReadComplete(ID(), GroupClientHandle, MasterQuality(), MasterError(), N,
                                    ClientHandleArray(), ValueArray(), QualityArray(), TimestampArray(),
                                    ErrorArray());
    default:
        return E_FAIL;
    }
}

HRESULT TKoOPCProviderWriteTransaction::CallDataCallback(IOPCDataCallback* Sink) {
    return Sink->OnWriteComplete(ID(), GroupClientHandle, MasterError(), static_cast<DWORD>(Count()),
                                 ClientHandleArray(), ErrorArray());
}

// ---- TKoOPCProviderTransactionQueue ----

int TKoOPCProviderTransactionQueue::Add(std::unique_ptr<TKoOPCProviderTransaction> Transaction) {
    std::lock_guard Guard(FLock);
    FItems.push_back(std::move(Transaction));
    return static_cast<int>(FItems.size());
}

std::unique_ptr<TKoOPCProviderTransaction> TKoOPCProviderTransactionQueue::Get() {
    std::lock_guard Guard(FLock);
    if (FItems.empty()) return nullptr;
    std::unique_ptr<TKoOPCProviderTransaction> Oldest = std::move(FItems.front());
    FItems.pop_front();
    return Oldest;
}

void TKoOPCProviderTransactionQueue::Clear() noexcept {
    std::deque<std::unique_ptr<TKoOPCProviderTransaction>> Gone;
    {
        std::lock_guard Guard(FLock);
        Gone.swap(FItems);
    }
}
