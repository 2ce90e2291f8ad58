// The DA 1.0 streams: what a group sends to an IAdviseSink, one block per delivery.
//
// Data stream (data changes, reads and refreshes), offsets from the start of the block:
//
//   0                 OPCGROUPHEADER: dwSize, dwItemCount, hClientGroup, dwTransactionID,
//                     hrStatus (20 bytes)
//   20                one item header per entry, in entry order: OPCITEMHEADER1 (hClient,
//                     dwValueOffset, wQuality, wReserved, ftTimeStampItem; 20 bytes) in the time
//                     format, else OPCITEMHEADER2 (the same without the time stamp; 12 bytes)
//   20 + n * header   the values, in entry order, each at its dwValueOffset: the VARIANT as it
//                     lies in memory (its pointers mean nothing to the receiver), and for a
//                     VT_BSTR the string right after it: its length in bytes (32 bits), the
//                     UTF-16 characters and a 16-bit zero
//
// The headers hold no pointers and are the same on every platform; a VARIANT is 16 bytes in a
// 32-bit process and 24 bytes in a 64-bit one, so a value slot takes sizeof(VARIANT) and every
// offset after the first value depends on it:
//
//   one entry, a 3-character string, time format    32-bit      64-bit
//     item header / first value offset                20 / 40     20 / 40
//     VARIANT + length + characters + zero            16+4+6+2    24+4+6+2
//     dwSize                                          68          76
//
// A receiver reads the stream of a server of its own width. Values are not aligned: a value
// after a string starts where the string ended.
//
// Write-complete stream: OPCGROUPHEADERWRITE (dwItemCount, hClientGroup, dwTransactionID,
// hrStatus; 16 bytes), then one OPCITEMHEADERWRITE (hClient, dwError; 8 bytes) per entry.
//
// A stream that would not fit its block is not sent at all, as one holding an array is not:
// the delivery fails with the error's code and the client learns nothing of that transaction.
// Nothing is ever written past the block.

#include <cstring>

#include "KoOPCErrors.h"
#include "KoOPCProviderTransactions.h"
#include "KoUtils.h"

namespace {

// A fixed global memory block, freed with its owner.
class TKoGlobalBlock {
public:
    explicit TKoGlobalBlock(size_t Size) noexcept : FHandle(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, Size)) {}
    ~TKoGlobalBlock() {
        if (FHandle) GlobalFree(FHandle);
    }
    TKoGlobalBlock(const TKoGlobalBlock&) = delete;
    TKoGlobalBlock& operator=(const TKoGlobalBlock&) = delete;

    HGLOBAL Get() const noexcept { return FHandle; }
    // A fixed block's handle is its address.
    BYTE* Data() const noexcept { return static_cast<BYTE*>(FHandle); }

private:
    HGLOBAL FHandle;
};

CLIPFORMAT RegisterFormat(const wchar_t* Name) {
    const UINT Format = RegisterClipboardFormatW(Name);
    if (Format == 0)
        throw EKoOleError(HRESULT_FROM_WIN32(GetLastError()),
                          KoFormat(L"The clipboard format %s could not be registered.", Name));
    return static_cast<CLIPFORMAT>(Format);
}

// Raises the refusal of a stream that would not fit the block.
[[noreturn]] void StreamTooLarge(uint64_t Size, size_t BlockSize, int32_t Count) {
    throw EKoOPCProviderException(KoFormat(L"The DA1 stream of %d items needs %d bytes; the block holds %d.",
                                           Count, static_cast<int64_t>(Size),
                                           static_cast<int64_t>(BlockSize)));
}

template <class T> void Put(BYTE* Block, size_t Offset, const T& Value) noexcept {
    std::memcpy(Block + Offset, &Value, sizeof(T));
}

} // namespace

const TKoOPCStreamFormats& KoOPCStreamFormats() {
    static const TKoOPCStreamFormats Formats{RegisterFormat(L"OPCSTMFORMATDATA"),
                                             RegisterFormat(L"OPCSTMFORMATDATATIME"),
                                             RegisterFormat(L"OPCSTMFORMATWRITECOMPLETE")};
    return Formats;
}

size_t TKoOPCProviderTransaction::FillDA1DataChange(BYTE* Block, size_t BlockSize, bool WithTime) const {
    const int32_t N = Count();
    const size_t HeaderSize = WithTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
    // Measured first, so that a stream that does not fit leaves the block untouched.
    uint64_t Size = sizeof(OPCGROUPHEADER) + static_cast<uint64_t>(N) * HeaderSize;
    for (int32_t I = 0; I < N; ++I) {
        const VARIANT& Value = ValueRef(I);
        if (Value.vt & VT_ARRAY) throw EKoOPCProviderException(L"Arrays not supported with DA1");
        Size += sizeof(VARIANT);
        if (Value.vt == VT_BSTR) Size += sizeof(DWORD) + SysStringByteLen(Value.bstrVal) + sizeof(WCHAR);
    }
    if (Size > BlockSize) StreamTooLarge(Size, BlockSize, N);

    OPCGROUPHEADER Group{};
    Group.dwSize = static_cast<DWORD>(Size);
    Group.dwItemCount = static_cast<DWORD>(N);
    Group.hClientGroup = GroupClientHandle;
    Group.dwTransactionID = ID();
    Group.hrStatus = MasterError();
    Put(Block, 0, Group);

    size_t ValueOffset = sizeof(OPCGROUPHEADER) + static_cast<size_t>(N) * HeaderSize;
    for (int32_t I = 0; I < N; ++I) {
        const size_t HeaderOffset = sizeof(OPCGROUPHEADER) + static_cast<size_t>(I) * HeaderSize;
        if (WithTime) {
            OPCITEMHEADER1 Header{};
            Header.hClient = ClientHandles(I);
            Header.dwValueOffset = static_cast<DWORD>(ValueOffset);
            Header.wQuality = Qualities(I);
            Header.ftTimeStampItem = Timestamps(I);
            Put(Block, HeaderOffset, Header);
        } else {
            OPCITEMHEADER2 Header{};
            Header.hClient = ClientHandles(I);
            Header.dwValueOffset = static_cast<DWORD>(ValueOffset);
            Header.wQuality = Qualities(I);
            Put(Block, HeaderOffset, Header);
        }
        const VARIANT& Value = ValueRef(I);
        Put(Block, ValueOffset, Value);
        ValueOffset += sizeof(VARIANT);
        if (Value.vt == VT_BSTR) {
            const DWORD Bytes = SysStringByteLen(Value.bstrVal);
            Put(Block, ValueOffset, Bytes);
            ValueOffset += sizeof(DWORD);
            if (Bytes > 0) std::memcpy(Block + ValueOffset, Value.bstrVal, Bytes);
            ValueOffset += Bytes;
            Put(Block, ValueOffset, WCHAR(0));
            ValueOffset += sizeof(WCHAR);
        }
    }
    return ValueOffset;
}

size_t TKoOPCProviderWriteTransaction::FillDA1DataChange(BYTE* Block, size_t BlockSize,
                                                         bool /*WithTime*/) const {
    const int32_t N = Count();
    const uint64_t Size = sizeof(OPCGROUPHEADERWRITE) + static_cast<uint64_t>(N) * sizeof(OPCITEMHEADERWRITE);
    if (Size > BlockSize) StreamTooLarge(Size, BlockSize, N);
    OPCGROUPHEADERWRITE Group{};
    Group.dwItemCount = static_cast<DWORD>(N);
    Group.hClientGroup = GroupClientHandle;
    Group.dwTransactionID = ID();
    Group.hrStatus = MasterError();
    Put(Block, 0, Group);
    for (int32_t I = 0; I < N; ++I) {
        OPCITEMHEADERWRITE Item{};
        Item.hClient = ClientHandles(I);
        Item.dwError = Errors(I);
        Put(Block, sizeof(OPCGROUPHEADERWRITE) + static_cast<size_t>(I) * sizeof(OPCITEMHEADERWRITE), Item);
    }
    return static_cast<size_t>(Size);
}

HRESULT TKoOPCProviderTransaction::DispatchToAdviseSink(IAdviseSink* Sink, CLIPFORMAT ClipFormat,
                                                        std::wstring* ErrorText) {
    if (!Sink) throw EKoOPCProviderInvalidArg(L"No advise sink to dispatch to.");
    const TKoOPCStreamFormats& Formats = KoOPCStreamFormats();
    FORMATETC Format{};
    Format.cfFormat = Kind() == tkWrite ? Formats.WriteComplete : ClipFormat;
    Format.ptd = nullptr;
    Format.dwAspect = DVASPECT_CONTENT;
    Format.lindex = -1;
    Format.tymed = TYMED_HGLOBAL;
    // Zeroed: the whole block travels to the client, and none of it may be stale server memory.
    TKoGlobalBlock Block(KoOPCStreamBlockSize);
    if (!Block.Get()) {
        if (ErrorText) *ErrorText = L"The stream block could not be allocated.";
        return E_FAIL;
    }
    try {
        FillDA1DataChange(Block.Data(), KoOPCStreamBlockSize, Format.cfFormat == Formats.DataTime);
    } catch (...) {
        if (ErrorText) *ErrorText = KoCurrentErrorInfo().second;
        return KoErrorToHResult();
    }
    STGMEDIUM Medium{};
    Medium.tymed = TYMED_HGLOBAL;
    Medium.hGlobal = Block.Get();
    Medium.pUnkForRelease = nullptr;
    // The sink copies what it keeps during the call; the block stays ours and goes after it.
    Sink->OnDataChange(&Format, &Medium);
    return S_OK;
}
