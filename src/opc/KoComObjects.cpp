#include "KoComObjects.h"

#include <algorithm>
#include <new>
#include <utility>

#include "KoOPCCom.h"

namespace {

// Copies out one entry to the caller (who owns the copy) and frees such a copy again.
struct TStringPolicy {
    using TItem = LPOLESTR;
    using TStored = std::wstring;
    static void Copy(const TStored& From, TItem& To) { To = KoTaskMemString(From); }
    static void Free(TItem& Item) noexcept { CoTaskMemFree(std::exchange(Item, nullptr)); }
};

template <class TIntfPtr> struct TInterfacePolicy {
    using TItem = TIntfPtr*;
    using TStored = ComPtr<TIntfPtr>;
    static void Copy(const TStored& From, TItem& To) {
        To = From.Get();
        if (To) To->AddRef();
    }
    static void Free(TItem& Item) noexcept {
        if (Item) std::exchange(Item, nullptr)->Release();
    }
};

struct TConnection {
    ComPtr<IUnknown> Sink;
    DWORD Cookie;
};

struct TConnectionPolicy {
    using TItem = CONNECTDATA;
    using TStored = TConnection;
    static void Copy(const TStored& From, TItem& To) {
        To.pUnk = From.Sink.Get();
        To.dwCookie = From.Cookie;
        if (To.pUnk) To.pUnk->AddRef();
    }
    static void Free(TItem& Item) noexcept {
        if (Item.pUnk) std::exchange(Item.pUnk, nullptr)->Release();
    }
};

// One enumerator for every standard enumeration interface: they differ only in what an entry
// is and how a copy of it is handed out. The entries are a snapshot taken at creation.
template <class TEnum, class TPolicy> class TKoEnumerator : public TKoComObject<TEnum> {
public:
    using TItem = typename TPolicy::TItem;
    using TStored = typename TPolicy::TStored;

    explicit TKoEnumerator(std::shared_ptr<const std::vector<TStored>> AEntries, size_t APosition = 0)
        : FEntries(std::move(AEntries)), FPosition(APosition) {}

    STDMETHODIMP Next(ULONG celt, TItem* rgelt, ULONG* pceltFetched) override {
        if (pceltFetched) *pceltFetched = 0;
        if (!rgelt || (celt > 1 && !pceltFetched)) return E_POINTER;
        std::lock_guard Guard(FLock);
        ULONG Fetched = 0;
        try {
            for (; Fetched < celt && FPosition + Fetched < FEntries->size(); ++Fetched)
                TPolicy::Copy((*FEntries)[FPosition + Fetched], rgelt[Fetched]);
        } catch (...) {
            // The caller gets all or nothing: the copies made so far go again.
            for (ULONG I = 0; I < Fetched; ++I) TPolicy::Free(rgelt[I]);
            return E_OUTOFMEMORY;
        }
        FPosition += Fetched;
        if (pceltFetched) *pceltFetched = Fetched;
        return Fetched == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        std::lock_guard Guard(FLock);
        const size_t Left = FEntries->size() - FPosition;
        const size_t Step = std::min<size_t>(celt, Left);
        FPosition += Step;
        return Step == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        std::lock_guard Guard(FLock);
        FPosition = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(TEnum** ppEnum) override {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        std::lock_guard Guard(FLock);
        auto* Copy = new (std::nothrow) TKoEnumerator(FEntries, FPosition);
        if (!Copy) return E_OUTOFMEMORY;
        *ppEnum = Copy;
        return S_OK;
    }

private:
    std::shared_ptr<const std::vector<TStored>> FEntries;
    std::mutex FLock;
    size_t FPosition;
};

template <class TEnum, class TPolicy> TEnum* NewEnumerator(std::vector<typename TPolicy::TStored> Entries) {
    return new TKoEnumerator<TEnum, TPolicy>(
        std::make_shared<const std::vector<typename TPolicy::TStored>>(std::move(Entries)));
}

} // namespace

IEnumString* KoNewEnumString(std::vector<std::wstring> Entries) {
    return NewEnumerator<IEnumString, TStringPolicy>(std::move(Entries));
}

IEnumUnknown* KoNewEnumUnknown(std::vector<ComPtr<IUnknown>> Entries) {
    return NewEnumerator<IEnumUnknown, TInterfacePolicy<IUnknown>>(std::move(Entries));
}

// ---- TKoInterfaceAnchor ----

namespace {

class TAnchorObject final : public TKoComObject<IUnknown> {
public:
    explicit TAnchorObject(std::vector<IID> AInterfaces) : FInterfaces(std::move(AInterfaces)) {}

protected:
    IUnknown* FindInterface(REFIID riid) override {
        for (const IID& Each : FInterfaces)
            if (IsEqualIID(Each, riid)) return Unknown();
        return TKoComObject::FindInterface(riid);
    }

private:
    std::vector<IID> FInterfaces;
};

} // namespace

TKoInterfaceAnchor::TKoInterfaceAnchor(std::vector<IID> Interfaces) {
    FObject = KoAdopt<IUnknown>(new TAnchorObject(Interfaces));
    for (const IID& Each : Interfaces) {
        ComPtr<IStream> Stream;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, Stream.GetAddressOf()))) continue;
        // An interface the process cannot marshal (no proxy/stub known for it) is not served
        // remotely either: nothing to hold.
        if (SUCCEEDED(CoMarshalInterface(Stream.Get(), Each, FObject.Get(), MSHCTX_LOCAL, nullptr,
                                         MSHLFLAGS_TABLESTRONG)))
            FStreams.push_back(std::move(Stream));
    }
}

TKoInterfaceAnchor::~TKoInterfaceAnchor() {
    for (const ComPtr<IStream>& Stream : FStreams) {
        Stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(Stream.Get());
    }
    CoDisconnectObject(FObject.Get(), 0);
}

// ---- TKoConnectionPoint ----

TKoConnectionPoint::TKoConnectionPoint(TKoConnectionPoints& AContainer, REFIID ASinkIID,
                                       TKoConnectEvent AOnConnect, size_t AMaxSinks)
    : FContainer(AContainer), FSinkIID(ASinkIID), FOnConnect(std::move(AOnConnect)), FMaxSinks(AMaxSinks) {}

TKoConnectionPoint::~TKoConnectionPoint() = default;

STDMETHODIMP TKoConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) TKoConnectionPoint::AddRef() {
    return FContainer.Owner().AddRef();
}

STDMETHODIMP_(ULONG) TKoConnectionPoint::Release() {
    return FContainer.Owner().Release();
}

STDMETHODIMP TKoConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) return E_POINTER;
    *pIID = FSinkIID;
    return S_OK;
}

STDMETHODIMP TKoConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC) return E_POINTER;
    *ppCPC = &FContainer.Container();
    (*ppCPC)->AddRef();
    return S_OK;
}

STDMETHODIMP TKoConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie) *pdwCookie = 0;
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    ComPtr<IUnknown> Sink;
    if (FAILED(pUnkSink->QueryInterface(FSinkIID, reinterpret_cast<void**>(Sink.GetAddressOf()))))
        return CONNECT_E_CANNOTCONNECT;
    IUnknown* Advised = Sink.Get();
    DWORD Cookie = 0;
    const HRESULT Result = KoComCall([&]() -> HRESULT {
        {
            std::lock_guard Guard(FLock);
            if (FMaxSinks > 0 && static_cast<size_t>(CountSinks()) >= FMaxSinks) return CONNECT_E_ADVISELIMIT;
            FSinks.push_back(std::move(Sink));
            Cookie = static_cast<DWORD>(FSinks.size());
        }
        if (FOnConnect) FOnConnect(Advised, true);
        return S_OK;
    });
    if (SUCCEEDED(Result)) {
        *pdwCookie = Cookie;
    } else if (Cookie != 0) {
        // Refused by the handler: the sink goes again, released outside the lock.
        ComPtr<IUnknown> Gone;
        std::lock_guard Guard(FLock);
        Gone.Swap(FSinks[Cookie - 1]);
    }
    return Result;
}

STDMETHODIMP TKoConnectionPoint::Unadvise(DWORD dwCookie) {
    ComPtr<IUnknown> Gone;
    {
        std::lock_guard Guard(FLock);
        if (dwCookie == 0 || dwCookie > FSinks.size() || !FSinks[dwCookie - 1]) return CONNECT_E_NOCONNECTION;
        Gone.Swap(FSinks[dwCookie - 1]);
    }
    if (FOnConnect) KoComCall([&] { FOnConnect(Gone.Get(), false); });
    // The sink is released outside the lock: the release may call into another process.
    Gone.Reset();
    return S_OK;
}

STDMETHODIMP TKoConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return KoComCall([&] {
        std::vector<TConnection> Connections;
        {
            std::lock_guard Guard(FLock);
            for (size_t I = 0; I < FSinks.size(); ++I)
                if (FSinks[I]) Connections.push_back({FSinks[I], static_cast<DWORD>(I + 1)});
        }
        *ppEnum = NewEnumerator<IEnumConnections, TConnectionPolicy>(std::move(Connections));
    });
}

std::vector<ComPtr<IUnknown>> TKoConnectionPoint::SinksNewestFirst() const {
    std::lock_guard Guard(FLock);
    std::vector<ComPtr<IUnknown>> Result;
    for (auto It = FSinks.rbegin(); It != FSinks.rend(); ++It)
        if (*It) Result.push_back(*It);
    return Result;
}

int TKoConnectionPoint::SinkCount() const {
    std::lock_guard Guard(FLock);
    return CountSinks();
}

int TKoConnectionPoint::CountSinks() const noexcept {
    int Count = 0;
    for (const auto& Sink : FSinks) Count += Sink ? 1 : 0;
    return Count;
}

void TKoConnectionPoint::Clear() {
    std::vector<ComPtr<IUnknown>> Gone;
    {
        std::lock_guard Guard(FLock);
        Gone.swap(FSinks);
    }
}

// ---- TKoConnectionPoints ----

TKoConnectionPoints::TKoConnectionPoints(IUnknown& AOwner, IConnectionPointContainer& AContainer)
    : FOwner(AOwner), FContainer(AContainer) {}

TKoConnectionPoint& TKoConnectionPoints::Add(REFIID SinkIID, TKoConnectEvent OnConnect, size_t MaxSinks) {
    FPoints.push_back(std::make_unique<TKoConnectionPoint>(*this, SinkIID, std::move(OnConnect), MaxSinks));
    return *FPoints.back();
}

TKoConnectionPoint* TKoConnectionPoints::Find(REFIID SinkIID) const {
    for (const auto& Point : FPoints)
        if (IsEqualIID(Point->SinkIID(), SinkIID)) return Point.get();
    return nullptr;
}

HRESULT TKoConnectionPoints::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return KoComCall([&] {
        std::vector<ComPtr<IConnectionPoint>> Points;
        for (const auto& Point : FPoints) Points.emplace_back(Point.get());
        *ppEnum = NewEnumerator<IEnumConnectionPoints, TInterfacePolicy<IConnectionPoint>>(std::move(Points));
    });
}

HRESULT TKoConnectionPoints::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    TKoConnectionPoint* Point = Find(riid);
    if (!Point) return CONNECT_E_NOCONNECTION;
    Point->AddRef();
    *ppCP = Point;
    return S_OK;
}
