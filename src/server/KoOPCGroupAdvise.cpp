// The group's DA 1.0 face: IDataObject, through which a client advises one IAdviseSink for the
// group's streams, and IOPCAsyncIO, whose reads, writes and refreshes reach that sink (or an
// IOPCDataCallback sink connected instead) through the callback thread. The streams themselves
// are built by the transactions.

#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCGroup.h"

// ---- IDataObject ----

STDMETHODIMP TKoOPCProviderGroup::DAdvise(FORMATETC* pformatetc, DWORD /*advf*/, IAdviseSink* pAdvSink,
                                          DWORD* pdwConnection) {
    // The format's aspect, index and medium are not checked, and the advise flags are ignored.
    const HRESULT Result = KoComCall([&]() -> HRESULT {
        if (!pformatetc || !pAdvSink || !pdwConnection) return E_INVALIDARG;
        const CLIPFORMAT Format = pformatetc->cfFormat;
        ConnectCallback([&] { return TKoOPCProviderAdviseCallbackThread::Create(FLife, pAdvSink, Format); });
        *pdwConnection = 1;
        return S_OK;
    });
    Log(L"IAdviseSink.DAdvise: Result=$%x", Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderGroup::DUnadvise(DWORD /*dwConnection*/) {
    // There is one connection: any number ends it, whatever kind of sink it serves.
    DisconnectCallback();
    return S_OK;
}

STDMETHODIMP TKoOPCProviderGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    KoClearOut(ppenumAdvise);
    return E_NOTIMPL;
}

STDMETHODIMP TKoOPCProviderGroup::EnumFormatEtc(DWORD /*dwDirection*/, IEnumFORMATETC** ppenumFormatEtc) {
    KoClearOut(ppenumFormatEtc);
    return E_NOTIMPL;
}

STDMETHODIMP TKoOPCProviderGroup::GetData(FORMATETC* /*pformatetcIn*/, STGMEDIUM* /*pmedium*/) {
    return E_NOTIMPL;
}

STDMETHODIMP TKoOPCProviderGroup::GetDataHere(FORMATETC* /*pformatetc*/, STGMEDIUM* /*pmedium*/) {
    return E_NOTIMPL;
}

STDMETHODIMP TKoOPCProviderGroup::QueryGetData(FORMATETC* /*pformatetc*/) {
    return E_NOTIMPL;
}

STDMETHODIMP TKoOPCProviderGroup::GetCanonicalFormatEtc(FORMATETC* /*pformatectIn*/,
                                                        FORMATETC* /*pformatetcOut*/) {
    return E_NOTIMPL;
}

STDMETHODIMP TKoOPCProviderGroup::SetData(FORMATETC* /*pformatetc*/, STGMEDIUM* /*pmedium*/,
                                          BOOL /*fRelease*/) {
    return E_NOTIMPL;
}

// ---- IOPCAsyncIO ----

bool TKoOPCProviderGroup::StartDA1Call(DWORD dwConnection, bool OutsGiven, DWORD* pTransactionID, DWORD& ID,
                                       HRESULT& Result) {
    // A wrong connection takes no transaction ID.
    if (dwConnection != 1) {
        Result = CONNECT_E_NOCONNECTION;
        return false;
    }
    if (!OutsGiven || !pTransactionID) {
        Result = E_INVALIDARG;
        return false;
    }
    ID = DA1TransactionID();
    *pTransactionID = ID;
    return true;
}

STDMETHODIMP TKoOPCProviderGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                                       OPCHANDLE* phServer, DWORD* pTransactionID, HRESULT** ppErrors) {
    KoClearOut(ppErrors);
    DWORD ID = 0;
    HRESULT Result = S_OK;
    if (!StartDA1Call(dwConnection, ppErrors != nullptr, pTransactionID, ID, Result)) return Result;
    // Unlike IOPCAsyncIO2, the requested source is read.
    std::unique_ptr<TKoOPCProviderTransaction> Transaction;
    return ReadOrRefreshSyncOrAsync(static_cast<DWORD>(dwSource), dwCount, phServer, ID, pTransactionID,
                                    ppErrors, tkRead, true, L"IOPCAsyncIO.Read", Transaction);
}

STDMETHODIMP TKoOPCProviderGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                                        VARIANT* pItemValues, DWORD* pTransactionID, HRESULT** ppErrors) {
    KoClearOut(ppErrors);
    DWORD ID = 0;
    HRESULT Result = S_OK;
    if (!StartDA1Call(dwConnection, ppErrors != nullptr, pTransactionID, ID, Result)) return Result;
    return WriteSyncOrAsync2(dwCount, phServer, L"IOPCAsyncIO2.Write", true, ppErrors, pTransactionID, ID,
                             pItemValues);
}

STDMETHODIMP TKoOPCProviderGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    DWORD ID = 0;
    HRESULT Result = S_OK;
    if (!StartDA1Call(dwConnection, true, pTransactionID, ID, Result)) return Result;
    return Refresh1or2(static_cast<DWORD>(dwSource), ID, L"IOPCAsyncIO.Refresh", pTransactionID);
}

STDMETHODIMP TKoOPCProviderGroup::Cancel(DWORD /*dwTransactionID*/) {
    // Transactions run to completion; none can be cancelled.
    return E_FAIL;
}
