#pragma once
// The callback thread of a group: it wakes at the group's update rate, takes the group's pending
// data change and delivers it to the client's sink, and delivers the finished asynchronous
// transactions queued for it, one at a time and in order.
//
// Lifetime: the group holds the thread object (shared) while the callback is connected; the
// running thread holds it too, so neither a thread that ends by itself nor one that is still
// delivering after the group let it go is freed under the other. The thread reaches its group
// only through the group's life record, holding the record's lock for the short steps that use
// the group (never while calling the sink); a group being destroyed clears the record first.
//
// A sink that fails because its process is gone is dropped: later deliveries fail at once
// without calling it, and the thread goes on serving (and discarding) the group's work until the
// group disconnects it.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "KoComObjects.h"
#include "KoOPCDA.h"
#include "KoOPCItems.h"
#include "KoOPCProviderTransactions.h"
#include "KoWindows.h"

class TKoOPCProviderDataCallbackThread
    : public std::enable_shared_from_this<TKoOPCProviderDataCallbackThread> {
public:
    virtual ~TKoOPCProviderDataCallbackThread();
    TKoOPCProviderDataCallbackThread(const TKoOPCProviderDataCallbackThread&) = delete;
    TKoOPCProviderDataCallbackThread& operator=(const TKoOPCProviderDataCallbackThread&) = delete;

    // Queues a finished transaction (the queue owns it now) and wakes the thread.
    void AddTransaction(std::unique_ptr<TKoOPCProviderTransaction> Transaction);
    // Sends the pending data change at once.
    void RequestDataChange();
    // Wakes the thread, which then computes its next wait with the current update rate.
    void Wake() noexcept;
    // Nothing more is delivered; queued transactions are destroyed; the thread ends soon. Never
    // waits for the thread.
    void Terminate() noexcept;
    bool Terminated() const noexcept { return FTerminated; }
    // Whether the sink was dropped after its process went away.
    bool SinkLost() const noexcept { return FSinkLost; }

    // Raised on the thread when a delivery raised an error.
    std::function<void(TKoOPCProviderDataCallbackThread* Sender)> OnError;

protected:
    explicit TKoOPCProviderDataCallbackThread(std::shared_ptr<TKoOPCGroupLife> AGroup);
    // Starts the thread; the sink was marshalled for it as AIID.
    void Start(IUnknown* Callback, REFIID AIID);
    // Delivers to the sink; called on the thread only.
    virtual HRESULT SendTransaction(TKoOPCProviderTransaction& Transaction) = 0;
    // Takes the sink out of the marshalled stream, or from Callback when it was handed over
    // as it is; called on the thread before the loop.
    virtual void MarshalCallbackInterface(IStream* Stream, IUnknown* Callback) = 0;
    // Drops the sink; called on the thread.
    virtual void ReleaseSink() noexcept = 0;
    // Logs in the group's log why a delivery was not made; called on the thread.
    void LogDeliveryError(const std::wstring& Text) noexcept;

private:
    static DWORD WINAPI ThreadProc(void* Param);
    void Execute();
    void DispatchDataChange();
    // Delivers Transaction (which stays the caller's) and logs it.
    HRESULT DispatchTransaction(TKoOPCProviderTransaction* Transaction);
    // The tick count at which the next data change is due.
    uint64_t DataChangeDue() const;

    std::atomic<bool> FDataChangeRequested{false};
    std::shared_ptr<TKoOPCGroupLife> FGroup;
    uint64_t FLastUpdate = 0;
    uint64_t FStarted = 0;
    TKoOPCProviderTransactionQueue FTransactionQueue;
    ComPtr<IStream> FInterfaceStream;
    ComPtr<IUnknown> FCallback;
    TKoHandle FSuspendEvent;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FSinkLost{false};
    // The thread's own hold on this object while it runs.
    std::shared_ptr<TKoOPCProviderDataCallbackThread> FSelf;
};

class TKoOPCProviderOPCDataCallbackThread : public TKoOPCProviderDataCallbackThread {
public:
    // A running thread delivering to Callback's IOPCDataCallback.
    static std::shared_ptr<TKoOPCProviderDataCallbackThread> Create(std::shared_ptr<TKoOPCGroupLife> AGroup,
                                                                    IOPCDataCallback* Callback);

protected:
    using TKoOPCProviderDataCallbackThread::TKoOPCProviderDataCallbackThread;
    HRESULT SendTransaction(TKoOPCProviderTransaction& Transaction) override;
    void MarshalCallbackInterface(IStream* Stream, IUnknown* Callback) override;
    void ReleaseSink() noexcept override { FOPCCallbackSink.Reset(); }

private:
    ComPtr<IOPCDataCallback> FOPCCallbackSink;
};

// Delivers to a DA 1.0 client's IAdviseSink: every transaction as one stream in the format the
// client advised with (write results always in the write-complete format).
class TKoOPCProviderAdviseCallbackThread : public TKoOPCProviderDataCallbackThread {
public:
    // A running thread delivering to Sink in AdviseFormat.
    static std::shared_ptr<TKoOPCProviderDataCallbackThread>
    Create(std::shared_ptr<TKoOPCGroupLife> AGroup, IAdviseSink* Sink, CLIPFORMAT AdviseFormat);

protected:
    TKoOPCProviderAdviseCallbackThread(std::shared_ptr<TKoOPCGroupLife> AGroup, CLIPFORMAT AdviseFormat)
        : TKoOPCProviderDataCallbackThread(std::move(AGroup)), FAdviseFormat(AdviseFormat) {}
    HRESULT SendTransaction(TKoOPCProviderTransaction& Transaction) override;
    void MarshalCallbackInterface(IStream* Stream, IUnknown* Callback) override;
    void ReleaseSink() noexcept override { FAdviseSink.Reset(); }

private:
    CLIPFORMAT FAdviseFormat;
    ComPtr<IAdviseSink> FAdviseSink;
};
