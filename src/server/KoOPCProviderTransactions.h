#pragma once
// The server's transactions: entries read from or written to the items of one group.
//
// A synchronous call that hands a transaction to the main thread waits for it with a bound
// (TKoOPCMainThreadWait): whichever of the caller and the main thread gives the transaction up
// last frees it, so a caller that stopped waiting never frees what the main thread still uses.

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoOPCTransactions.h"
#include "KoWindows.h"

class TKoOPCProviderGroup;
class TKoOPCProviderItem;

// The clipboard formats of the DA 1.0 streams, registered by name with the platform on first
// use (the program asks for them at start) and valid for the life of the process.
struct TKoOPCStreamFormats {
    CLIPFORMAT Data;          // "OPCSTMFORMATDATA": values without time stamps
    CLIPFORMAT DataTime;      // "OPCSTMFORMATDATATIME": values with time stamps
    CLIPFORMAT WriteComplete; // "OPCSTMFORMATWRITECOMPLETE": write results
};
const TKoOPCStreamFormats& KoOPCStreamFormats();

// The memory block one DA 1.0 stream is built in; a stream never grows beyond it.
constexpr size_t KoOPCStreamBlockSize = 65535;

// The hand-over of a synchronous transaction to the main thread.
struct TKoOPCMainThreadWait {
    enum : int { Pending, Running, Done, Abandoned };
    std::atomic<int> State{Pending};
    // Set when the main thread is done with the transaction.
    TKoHandle Finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

class TKoOPCProviderTransaction : public TKoOPCDataChangeTransaction {
public:
    // AGroup must be given.
    TKoOPCProviderTransaction(TKoOPCProviderGroup* AGroup, TKoOPCTransactionKind AKind, DWORD AID);

    TKoOPCProviderGroup* Group() const noexcept { return FGroup; }
    // The source entries read their items from: 0 (the cached state as it is), OPC_DS_CACHE or
    // OPC_DS_DEVICE.
    DWORD DataSource = 0;
    // The group's client handle as the sink is told it; taken from the group when the
    // transaction is dispatched, so that the delivery does not reach the group itself.
    OPCHANDLE GroupClientHandle = 0;
    // Set while a synchronous caller waits for the main thread to finish the transaction.
    std::unique_ptr<TKoOPCMainThreadWait> Wait;

    // An entry with the item's handles (KoOPCNoHandle for both without an item).
    int32_t Add(TKoOPCProviderItem* Item);
    // Adds an entry for the item (ForceNewEntry), or refreshes the one with its client handle,
    // and reads the item's state into it: OPC_E_INVALIDHANDLE without an item, OPC_E_BADRIGHTS
    // for a write-only item, else the item's own result. Returns the entry's index.
    int32_t AckItem(TKoOPCProviderItem* Item, bool ForceNewEntry);
    // Reads the item's state from DataSource into entry Index (value, quality, time stamp);
    // returns the item's result.
    HRESULT ReadEntry(int32_t Index, TKoOPCProviderItem& Item);
    // Drops the item's entry; the last entry takes its place.
    void RemoveItem(TKoOPCProviderItem* Item);
    // Delivers the entries to the sink (which must be given): the sink's result.
    HRESULT DispatchToOPCDataCallback(IOPCDataCallback* Sink);
    // Delivers the entries to a DA 1.0 advise sink (which must be given) as one stream in a
    // fresh block: write results in the write-complete format, anything else in ClipFormat
    // (with time stamps for the time format). A stream that cannot be built is not sent: the
    // result is then the error's code, its text in *ErrorText when given.
    HRESULT DispatchToAdviseSink(IAdviseSink* Sink, CLIPFORMAT ClipFormat, std::wstring* ErrorText = nullptr);
    // Writes the DA 1.0 stream of the entries to Block (BlockSize bytes) and returns its size.
    // Raises, having written nothing, when an entry holds an array or the stream would not fit.
    virtual size_t FillDA1DataChange(BYTE* Block, size_t BlockSize, bool WithTime) const;

protected:
    // OnDataChange for data changes and refreshes, OnReadComplete for reads; E_FAIL otherwise.
    virtual HRESULT CallDataCallback(IOPCDataCallback* Sink);

private:
    // The first entry with that client handle, or -1, through the index below.
    int32_t FindEntry(OPCHANDLE ClientHandle);
    // Adds the last entry to the index (the index is rebuilt when it is behind or too full).
    void IndexLastEntry();
    void RebuildIndex();
    // Enters entry Index into the index unless an earlier entry has its client handle.
    void IndexEntry(int32_t Index);

    TKoOPCProviderGroup* FGroup;
    // Entries by client handle for refreshing an item's entry (open addressing, -1 free), so
    // that a data change of many items does not search its entries once per change. It covers
    // entries 0 .. FIndexedCount - 1; entries dropped since (Clear, RemoveItem) make it rebuild.
    std::vector<int32_t> FEntrySlots;
    int32_t FIndexedCount = 0;
};

class TKoOPCProviderWriteTransaction : public TKoOPCProviderTransaction {
public:
    TKoOPCProviderWriteTransaction(TKoOPCProviderGroup* AGroup, DWORD AID)
        : TKoOPCProviderTransaction(AGroup, tkWrite, AID) {}
    using TKoOPCProviderTransaction::Add;
    // An entry for the item with the value to write (error 0).
    int32_t Add(TKoOPCProviderItem* Item, TKoOleVariant&& Value);

    // The write-complete stream: a header and each entry's client handle and result.
    size_t FillDA1DataChange(BYTE* Block, size_t BlockSize, bool WithTime) const override;

protected:
    // OnWriteComplete.
    HRESULT CallDataCallback(IOPCDataCallback* Sink) override;
};

// The transactions waiting for a group's callback thread, oldest first; it owns them.
class TKoOPCProviderTransactionQueue {
public:
    // Returns the number of queued transactions.
    int Add(std::unique_ptr<TKoOPCProviderTransaction> Transaction);
    // The oldest, or none.
    std::unique_ptr<TKoOPCProviderTransaction> Get();
    // Destroys every queued transaction.
    void Clear() noexcept;

private:
    std::mutex FLock;
    std::deque<std::unique_ptr<TKoOPCProviderTransaction>> FItems;
};
