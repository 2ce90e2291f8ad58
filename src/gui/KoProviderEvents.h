#pragma once
// The provider's events as the windows hear them: on the main thread, coalesced.
//
// The provider raises its connect and group events on COM worker threads and its disconnect,
// activate and log events on the main thread. One TKoProviderEvents per provider takes them all
// (its handlers are installed once, on the main thread, before clients can connect) and hands
// each window one call per turn of the main thread with what changed and the log lines recorded
// since, however many events came: a burst never queues more than one message.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoForms.h"

class TKoOPCProvider;

// What changed since the last delivery.
enum TKoProviderChange : unsigned {
    pcClients = 1, // a client connected or disconnected
    pcGroups = 2,  // a group was added or removed
    pcState = 4,   // the provider was activated
    pcLog = 8,     // log lines were recorded
};

class TKoProviderEvents {
public:
    using TListener = std::function<void(unsigned Changes, const std::vector<std::wstring>& Lines)>;

    // The router of Provider, made (and its handlers installed) on first use; it goes, and the
    // provider's handlers with it, when the last holder lets go. Main thread.
    static std::shared_ptr<TKoProviderEvents> Of(TKoOPCProvider& Provider);
    ~TKoProviderEvents();

    // Main thread. The listener is called on the main thread.
    int Subscribe(TListener Listener);
    void Unsubscribe(int Id);
    // Delivers what is pending now (main thread).
    void Deliver() { FNotifier.Deliver(); }

    explicit TKoProviderEvents(TKoOPCProvider& Provider);

private:
    void Dispatch(unsigned Changes);

    // What the provider's handlers reach. They stay installed when the router goes (a worker
    // thread may be inside one): the router only takes its notifier away, under the lock.
    struct TTarget {
        std::mutex Lock;
        TKoProviderEvents* Router = nullptr;
        void Notify(unsigned Changes) {
            std::lock_guard Guard(Lock);
            if (Router) Router->FNotifier.Notify(Changes);
        }
        // Main thread.
        void Log(const std::wstring& Entry) {
            std::lock_guard Guard(Lock);
            if (!Router) return;
            Router->FLines.push_back(Entry);
            Router->FNotifier.Notify(pcLog);
        }
    };

    TKoOPCProvider& FProvider;
    TKoMainThreadNotifier FNotifier;
    std::shared_ptr<TTarget> FTarget;
    // Log lines wait here for the delivery; the provider records them on the main thread.
    std::vector<std::wstring> FLines;
    std::map<int, TListener> FListeners;
    int FNextId = 1;
};
