#pragma once
// Transactions: the per-item entries (handles, value, quality, time stamp, result) that every
// exchange of values between a group and its client runs through, and TKoOPCAlloc, the helpers
// that allocate what the OPC interfaces hand to their callers.
//
// Ownership: a transaction owns its arrays (task memory) and the values in them; a value is
// cleared when its slot is dropped (capacity shrinks), on DeAlloc and on destruction. Arrays
// handed out by the copy-out helpers belong to the caller, who frees them with CoTaskMemFree
// (and clears the values inside).

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "KoOPCCom.h"
#include "KoOPCDA.h"
#include "KoOle.h"

// Task memory could not be allocated: "CoTaskMemAlloc failed to allocate %d bytes%s.". Carries
// E_OUTOFMEMORY, the code the COM boundary reports for it.
class EKoOPCOutOfMemory : public EKoOleError {
public:
    explicit EKoOPCOutOfMemory(uint64_t Size);
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCOutOfMemory"; }
};

// Allocation helpers for every array and string handed out through an OPC interface. The
// caller of the interface method frees what they return with the task allocator.
class TKoOPCAlloc {
public:
    // Reallocates P to Size bytes (a null P is allocated fresh; contents survive up to the
    // smaller size; Size 0 frees it). On failure raises EKoOPCOutOfMemory and P is unchanged.
    static void AllocMem(void*& P, size_t Size);
    // AllocMem, then zeroes the bytes from Offset up to Size.
    static void CAllocMem(void*& P, size_t Size, size_t Offset);
    // A fresh zero-filled array of Count elements; EKoOPCOutOfMemory when it cannot be had
    // (also when Count elements do not fit the address space).
    template <class T> static TKoTaskMem<T> NewArray(size_t Count) {
        if (Count > static_cast<size_t>(-1) / sizeof(T))
            throw EKoOPCOutOfMemory(static_cast<uint64_t>(Count) * sizeof(T));
        try {
            return TKoTaskMem<T>(Count);
        } catch (const std::bad_alloc&) {
            throw EKoOPCOutOfMemory(static_cast<uint64_t>(Count) * sizeof(T));
        }
    }
    // CAllocMem for Count OPCITEMSTATE records with offset 0.
    static void AllocItemStateList(OPCITEMSTATE*& P, size_t Count);
    // Frees P and sets it to null. Contained values and strings are not freed.
    static void FreeMem(void*& P) noexcept;
    template <class T> static void FreeMem(T*& P) noexcept {
        CoTaskMemFree(P);
        P = nullptr;
    }
    // Frees each record's pBlob, then the array.
    static void FreeItemResultList(OPCITEMRESULT*& Results, size_t Count) noexcept;
    // Frees each record's strings, blob and EU information, then the array.
    static void FreeItemAttributesArray(OPCITEMATTRIBUTES*& Attributes, size_t Count) noexcept;
};

enum TKoOPCTransactionKind : int32_t { tkDataChange = 0, tkRead = 1, tkWrite = 2 };

// The client and server handle of an entry without an item.
constexpr OPCHANDLE KoOPCNoHandle = 0xFFFFFFFF;
// No transaction grows beyond this many entries: a request for more is refused as out of
// memory before anything is allocated.
constexpr int32_t KoOPCMaxTransactionCapacity = 1 << 24;

// Entries with client handle, server handle, value and error. Indexed access is checked
// against the capacity (EKoOPCProviderInvalidArg); a failed resize leaves the transaction as
// it was.
class TKoOPCTransaction {
public:
    TKoOPCTransaction(TKoOPCTransactionKind AKind, DWORD AID) noexcept : FID(AID), FKind(AKind) {}
    virtual ~TKoOPCTransaction();
    TKoOPCTransaction(const TKoOPCTransaction&) = delete;
    TKoOPCTransaction& operator=(const TKoOPCTransaction&) = delete;

    DWORD ID() const noexcept { return FID; }
    TKoOPCTransactionKind Kind() const noexcept { return FKind; }
    int32_t Count() const noexcept { return FCount; }
    int32_t Capacity() const noexcept { return FCapacity; }
    // Resizes every array to Value entries; entries above Value are dropped (their values
    // cleared) and Count follows. Negative values are refused.
    void SetCapacity(int32_t Value);
    // Grows the capacity to Value when smaller, then Count := Value.
    void SetCount(int32_t Value);
    // Clears the values of all slots and frees the arrays: Capacity and Count become 0.
    virtual void DeAlloc() noexcept;

    // Appends an entry with the two handles; returns its index. The capacity doubles (from at
    // least one entry) when full. The entry's other fields keep what the slot held.
    int32_t AddHandle(OPCHANDLE ClientHandle, OPCHANDLE ServerHandle);
    // The entries below Count: server handle := KoOPCNoHandle, value cleared, error 0; then
    // Count := 0. Client handles, qualities and time stamps keep their contents.
    void Clear() noexcept;
    // The first entry with that client handle, -1 when none.
    int32_t IndexOfClientHandle(OPCHANDLE ClientHandle) const noexcept;
    // Grows the capacity to ACount when smaller and copies the first ACount codes of List (when
    // given) into entries 0 .. ACount - 1. True when every copied code is a failure (also when
    // nothing was copied).
    bool SetErrorList(const HRESULT* List, int32_t ACount);
    // Copies the errors of the Count entries into List.
    void GetErrorList(HRESULT* List) const noexcept;
    // The errors of the Count entries in fresh task memory for an out-parameter.
    TKoTaskMem<HRESULT> ErrorList() const;

    // S_FALSE when any entry's error is a failure, else S_OK (also without entries).
    HRESULT MasterError() const noexcept;
    // Some entry's error is a success code.
    bool HasOKItems() const noexcept;

    OPCHANDLE ClientHandles(int32_t Index) const;
    void SetClientHandles(int32_t Index, OPCHANDLE Value);
    OPCHANDLE ServerHandles(int32_t Index) const;
    void SetServerHandles(int32_t Index, OPCHANDLE Value);
    HRESULT Errors(int32_t Index) const;
    void SetErrors(int32_t Index, HRESULT Value);
    // A copy of the entry's value.
    TKoOleVariant Values(int32_t Index) const;
    // Stores a copy; on failure the entry keeps its old value.
    void SetValues(int32_t Index, const VARIANT& Value);
    // Takes the value over without copying it.
    void SetValues(int32_t Index, TKoOleVariant&& Value);
    // The stored value itself, for copying without an intermediate owner.
    const VARIANT& ValueRef(int32_t Index) const;
    // The parallel arrays as a sink takes them (Count entries each; they stay the transaction's).
    OPCHANDLE* ClientHandleArray() const noexcept { return FClientHandles.Get(); }
    OPCHANDLE* ServerHandleArray() const noexcept { return FServerHandles.Get(); }
    HRESULT* ErrorArray() const noexcept { return FErrors.Get(); }
    VARIANT* ValueArray() const noexcept { return FValues.Get(); }

    // The transaction belongs to an asynchronous call.
    bool Async = false;

protected:
    // Resizes the arrays from Capacity to MaxCount entries: entries below both keep their
    // contents, new ones are zero (an empty value), dropped values are cleared. Raises before
    // changing anything. An override allocates its own arrays first, calls the inherited Alloc
    // and then commits without failing. Capacity itself is set by SetCapacity.
    virtual void Alloc(int32_t MaxCount);
    // Raises EKoOPCProviderInvalidArg unless 0 <= Index < Capacity.
    void CheckIndex(int32_t Index) const;
    // Entry Index of one of the parallel arrays, after the index check.
    template <class T> T& Entry(const TKoTaskMem<T>& Array, int32_t Index) const {
        CheckIndex(Index);
        return Array[static_cast<size_t>(Index)];
    }

private:
    int32_t FCapacity = 0;
    int32_t FCount = 0;
    DWORD FID;
    TKoOPCTransactionKind FKind;
    TKoTaskMem<OPCHANDLE> FClientHandles;
    TKoTaskMem<HRESULT> FErrors;
    TKoTaskMem<OPCHANDLE> FServerHandles;
    TKoTaskMem<VARIANT> FValues;

    void ClearValues(int32_t From, int32_t To) noexcept;
};

// Adds per-entry quality words and time stamps.
class TKoOPCReadTransaction : public TKoOPCTransaction {
public:
    using TKoOPCTransaction::TKoOPCTransaction;

    void DeAlloc() noexcept override;

    // S_FALSE when any entry's quality is not good (bits 0xC0 not both set), else S_OK.
    HRESULT MasterQuality() const noexcept;

    WORD Qualities(int32_t Index) const;
    void SetQualities(int32_t Index, WORD Value);
    FILETIME Timestamps(int32_t Index) const;
    void SetTimestamps(int32_t Index, const FILETIME& Value);
    WORD* QualityArray() const noexcept { return FQualities.Get(); }
    FILETIME* TimestampArray() const noexcept { return FTimestamps.Get(); }

    // For each of the Count entries an OPCITEMSTATE (client handle, time stamp, quality, a
    // copy of the value) and its error, in fresh task memory handed to the caller only when
    // everything was copied; returns MasterError. On failure nothing stays allocated and the
    // out-parameters are left alone.
    HRESULT GetItemStates(OPCITEMSTATE** ItemValues, HRESULT** Errors) const;

protected:
    void Alloc(int32_t MaxCount) override;

private:
    TKoTaskMem<WORD> FQualities;
    TKoTaskMem<FILETIME> FTimestamps;
};

// The kind the server's data changes, reads and refreshes are built from.
class TKoOPCDataChangeTransaction : public TKoOPCReadTransaction {
public:
    using TKoOPCReadTransaction::TKoOPCReadTransaction;
};
