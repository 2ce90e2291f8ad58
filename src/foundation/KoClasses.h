#pragma once
// Components: named objects that own other components and tell each other when one goes away.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "KoExceptions.h"

enum TKoOperation { opInsert, opRemove };

// Life-cycle flags of a component.
enum TKoComponentStateFlag : unsigned {
    csLoading = 1u << 0,    // its stored definition is being applied
    csDestroying = 1u << 1, // it is being freed
};

class TKoComponent;
using TKoNotifyEvent = std::function<void(TKoComponent* Sender)>;

// An event handler that costs one pointer while it is not set, for objects made by the ten
// thousand (an OPC item's variable link and its slot) most of whose events nobody handles. It is
// set, cleared, tested and called like the std::function it holds.
template <class TSignature> class TKoSparseEvent;
template <class TResult, class... TArgs> class TKoSparseEvent<TResult(TArgs...)> {
public:
    using THandler = std::function<TResult(TArgs...)>;

    TKoSparseEvent() noexcept = default;
    TKoSparseEvent(std::nullptr_t) noexcept {}
    template <class TCallable,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<TCallable>, TKoSparseEvent>>>
    TKoSparseEvent(TCallable&& Callable) {
        Set(THandler(std::forward<TCallable>(Callable)));
    }
    TKoSparseEvent(const TKoSparseEvent& Other) {
        if (Other) Set(*Other.FHandler);
    }
    TKoSparseEvent(TKoSparseEvent&&) noexcept = default;
    TKoSparseEvent& operator=(const TKoSparseEvent& Other) {
        if (this != &Other) Set(Other ? *Other.FHandler : THandler());
        return *this;
    }
    TKoSparseEvent& operator=(TKoSparseEvent&&) noexcept = default;
    TKoSparseEvent& operator=(std::nullptr_t) noexcept {
        FHandler.reset();
        return *this;
    }
    template <class TCallable,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<TCallable>, TKoSparseEvent>>>
    TKoSparseEvent& operator=(TCallable&& Callable) {
        Set(THandler(std::forward<TCallable>(Callable)));
        return *this;
    }

    explicit operator bool() const noexcept { return FHandler != nullptr; }
    // Like an empty std::function, an unset event fails with std::bad_function_call.
    TResult operator()(TArgs... Args) const {
        if (!FHandler) throw std::bad_function_call();
        return (*FHandler)(std::forward<TArgs>(Args)...);
    }
    // The handler (empty when unset), for a caller that keeps a copy while it runs.
    THandler Handler() const { return FHandler ? *FHandler : THandler(); }

private:
    void Set(THandler Handler) {
        if (!Handler)
            FHandler.reset();
        else if (FHandler)
            *FHandler = std::move(Handler);
        else
            FHandler = std::make_unique<THandler>(std::move(Handler));
    }

    std::unique_ptr<THandler> FHandler;
};

// A copy of the handler an event holds, to run while the event itself may be replaced.
template <class TSignature> std::function<TSignature> KoHandlerOf(const std::function<TSignature>& Event) {
    return Event;
}
template <class TSignature> std::function<TSignature> KoHandlerOf(const TKoSparseEvent<TSignature>& Event) {
    return Event.Handler();
}

class EKoComponentError : public EKoException {
public:
    using EKoException::EKoException;
    const wchar_t* ClassName() const noexcept override { return L"EKoComponentError"; }
};

class TKoComponent {
public:
    explicit TKoComponent(TKoComponent* AOwner);
    virtual ~TKoComponent();
    TKoComponent(const TKoComponent&) = delete;
    TKoComponent& operator=(const TKoComponent&) = delete;

    // Frees a component the way its owner would: destroy handlers first, then the object.
    static void Free(TKoComponent* AComponent);

    virtual const wchar_t* ClassName() const { return L"TKoComponent"; }

    const std::wstring& Name() const { return FName; }
    // Names are unique among the components of one owner (letter case ignored).
    virtual void SetName(const std::wstring& AName);

    TKoComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TKoComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
    // The owned component of that name (letter case ignored), or nullptr.
    TKoComponent* FindComponent(const std::wstring& AName) const;

    unsigned ComponentState() const { return FComponentState; }
    bool IsLoading() const { return (FComponentState & csLoading) != 0; }
    bool IsDestroying() const { return (FComponentState & csDestroying) != 0; }

    intptr_t Tag = 0;

    // AComponent is told (Notification with opRemove) when this component is removed.
    void FreeNotification(TKoComponent* AComponent);
    void RemoveFreeNotification(TKoComponent* AComponent);

    // Frees every owned component, the last created first.
    void DestroyComponents();

protected:
    // Told when a component this one owns or asked for is inserted or removed. The default
    // passes the news on to every owned component.
    virtual void Notification(TKoComponent* AComponent, TKoOperation Operation);
    // Runs once the stored definition has been applied (after the loading phase).
    virtual void Loaded() {}
    // Runs before the destructor, while the most derived class is still intact.
    virtual void BeforeDestruction() {}

    // Marks this component and the components it creates from now on as being loaded.
    void BeginLoading();
    // Ends the loading phase of this component and of its owned components, in creation order.
    void EndLoading();

private:
    // Tells the watchers, frees the owned components and leaves the owner.
    void Detach();
    void InsertComponent(TKoComponent* AComponent);
    void RemoveComponent(TKoComponent* AComponent);

    std::wstring FName;
    TKoComponent* FOwner = nullptr;
    std::vector<TKoComponent*> FComponents;
    std::vector<TKoComponent*> FFreeNotifies;
    unsigned FComponentState = 0;
};

// A non-visual container built in two steps: construction applies its definition (with the
// loading flag set), then AfterConstruction ends loading and runs its create handler. Create
// such components through KoCreate. Errors of the create and destroy handlers go to the
// application's error handling.
class TKoDataModule : public TKoComponent {
public:
    explicit TKoDataModule(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoDataModule"; }

    TKoNotifyEvent OnCreate;
    TKoNotifyEvent OnDestroy;

    void AfterConstruction();

protected:
    void BeforeDestruction() override;
};

template <class T, class... TArgs> T* KoCreate(TKoComponent* AOwner, TArgs&&... Args) {
    T* Instance = new T(AOwner, std::forward<TArgs>(Args)...);
    if constexpr (std::is_base_of_v<TKoDataModule, T>) Instance->AfterConstruction();
    return Instance;
}

// Case-insensitive comparison of names, as Windows compares them.
bool KoSameText(const std::wstring& A, const std::wstring& B);
