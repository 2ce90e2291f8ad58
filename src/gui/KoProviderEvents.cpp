#include "KoProviderEvents.h"

#include "KoOPCProvider.h"

namespace {

// Routers by provider; main thread only.
std::map<TKoOPCProvider*, std::weak_ptr<TKoProviderEvents>>& Routers() {
    static std::map<TKoOPCProvider*, std::weak_ptr<TKoProviderEvents>> Map;
    return Map;
}

} // namespace

std::shared_ptr<TKoProviderEvents> TKoProviderEvents::Of(TKoOPCProvider& Provider) {
    auto& Map = Routers();
    if (auto Existing = Map[&Provider].lock()) return Existing;
    auto Router = std::make_shared<TKoProviderEvents>(Provider);
    Map[&Provider] = Router;
    return Router;
}

TKoProviderEvents::TKoProviderEvents(TKoOPCProvider& Provider)
    : FProvider(Provider), FNotifier([this](unsigned Changes) { Dispatch(Changes); }),
      FTarget(std::make_shared<TTarget>()) {
    FTarget->Router = this;
    std::shared_ptr<TTarget> Target = FTarget;
    FProvider.OnConnect = [Target](TKoOPCProvider*, IKoOPCProviderClient*) { Target->Notify(pcClients); };
    FProvider.OnDisconnect = [Target](TKoOPCProvider*, IKoOPCProviderClient*) { Target->Notify(pcClients); };
    FProvider.OnAddGroup = [Target](TKoOPCProvider*, IKoOPCProviderClient*, IKoOPCProviderGroup*) {
        Target->Notify(pcGroups);
    };
    FProvider.OnRemoveGroup = [Target](TKoOPCProvider*, IKoOPCProviderClient*, IKoOPCProviderGroup*) {
        Target->Notify(pcGroups);
    };
    FProvider.OnActivate = [Target](TKoOPCProvider*) { Target->Notify(pcState); };
    // Raised on the main thread only, where the router lives.
    FProvider.OnLog = [Target](TKoOPCProvider*, const std::wstring& Entry) { Target->Log(Entry); };
}

TKoProviderEvents::~TKoProviderEvents() {
    {
        std::lock_guard Guard(FTarget->Lock);
        FTarget->Router = nullptr;
    }
    Routers().erase(&FProvider);
}

int TKoProviderEvents::Subscribe(TListener Listener) {
    FListeners[FNextId] = std::move(Listener);
    return FNextId++;
}

void TKoProviderEvents::Unsubscribe(int Id) {
    FListeners.erase(Id);
}

void TKoProviderEvents::Dispatch(unsigned Changes) {
    std::vector<std::wstring> Lines;
    Lines.swap(FLines);
    // A listener may unsubscribe (or close its window) while the others hear the news.
    const std::map<int, TListener> Listeners = FListeners;
    for (const auto& [Id, Listener] : Listeners)
        if (FListeners.count(Id)) Listener(Changes, Lines);
}
