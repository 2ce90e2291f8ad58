#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoClasses.h"

namespace {

// Records what it is told and what happens to it.
class TProbe : public TKoComponent {
public:
    TProbe(TKoComponent* AOwner, const std::wstring& AName, std::vector<std::wstring>* ALog)
        : TKoComponent(AOwner), Log(ALog) {
        SetName(AName);
    }
    ~TProbe() override { Log->push_back(L"destroy " + Name()); }
    TKoComponent* Watched = nullptr;
    std::vector<std::wstring>* Log;

protected:
    void Notification(TKoComponent* AComponent, TKoOperation Operation) override {
        TKoComponent::Notification(AComponent, Operation);
        if (Operation == opRemove) {
            if (AComponent != this) Log->push_back(Name() + L" told " + AComponent->Name() + L" removed");
            if (AComponent == Watched) Watched = nullptr;
        }
    }
    void Loaded() override { Log->push_back(L"loaded " + Name()); }
};

class TProbeModule : public TKoDataModule {
public:
    TProbeModule(TKoComponent* AOwner, std::vector<std::wstring>* ALog) : TKoDataModule(AOwner), Log(ALog) {
        SetName(L"Module");
        First = new TProbe(this, L"First", Log);
        Second = new TProbe(this, L"Second", Log);
        OnCreate = [this](TKoComponent*) {
            Log->push_back(std::wstring(L"create, loading=") + (First->IsLoading() ? L"1" : L"0"));
        };
        OnDestroy = [this](TKoComponent*) { Log->push_back(L"destroy handler"); };
    }
    TProbe* First;
    TProbe* Second;
    std::vector<std::wstring>* Log;
};

TEST(Components, OwnerKeepsCreationOrderAndFindsByNameIgnoringCase) {
    std::vector<std::wstring> Log;
    TProbe Root(nullptr, L"Root", &Log);
    auto* A = new TProbe(&Root, L"Alpha", &Log);
    auto* B = new TProbe(&Root, L"Beta", &Log);
    ASSERT_EQ(Root.ComponentCount(), 2);
    EXPECT_EQ(Root.Components(0), A);
    EXPECT_EQ(Root.Components(1), B);
    EXPECT_EQ(Root.FindComponent(L"BETA"), B);
    EXPECT_EQ(Root.FindComponent(L"Gamma"), nullptr);
    EXPECT_EQ(A->Owner(), &Root);
}

TEST(Components, DuplicateNameInOneOwnerIsRefused) {
    std::vector<std::wstring> Log;
    TProbe Root(nullptr, L"Root", &Log);
    new TProbe(&Root, L"Alpha", &Log);
    auto* B = new TProbe(&Root, L"Beta", &Log);
    EXPECT_THROW(B->SetName(L"ALPHA"), EKoComponentError);
    EXPECT_EQ(B->Name(), L"Beta");
    EXPECT_NO_THROW(B->SetName(L"Beta")); // renaming to itself is fine
}

TEST(Components, OwnerFreesLastCreatedFirstAndTellsTheOthers) {
    std::vector<std::wstring> Log;
    {
        TProbe Root(nullptr, L"Root", &Log);
        new TProbe(&Root, L"Alpha", &Log);
        new TProbe(&Root, L"Beta", &Log);
        Log.clear();
    }
    const std::vector<std::wstring> Expected = {
        L"destroy Root",
        L"Alpha told Beta removed",
        L"destroy Beta",
        L"destroy Alpha",
    };
    EXPECT_EQ(Log, Expected);
}

TEST(Components, FreeNotificationDropsTheReferenceOfAnotherOwner) {
    std::vector<std::wstring> Log;
    TProbe OwnerA(nullptr, L"OwnerA", &Log);
    TProbe OwnerB(nullptr, L"OwnerB", &Log);
    auto* Target = new TProbe(&OwnerA, L"Target", &Log);
    auto* Watcher = new TProbe(&OwnerB, L"Watcher", &Log);
    Watcher->Watched = Target;
    Target->FreeNotification(Watcher);
    TKoComponent::Free(Target);
    EXPECT_EQ(Watcher->Watched, nullptr);

    // The other way round: a freed watcher is no longer on the target's list (only the
    // target's owner hears of it).
    auto* Target2 = new TProbe(&OwnerA, L"Target2", &Log);
    Target2->FreeNotification(Watcher);
    TKoComponent::Free(Watcher);
    Log.clear();
    TKoComponent::Free(Target2);
    const std::vector<std::wstring> Expected = {L"OwnerA told Target2 removed", L"destroy Target2"};
    EXPECT_EQ(Log, Expected);
}

TEST(Components, FreeNotificationBetweenComponentsWithoutOwner) {
    std::vector<std::wstring> Log;
    auto* Target = new TProbe(nullptr, L"Target", &Log);
    TProbe Watcher(nullptr, L"Watcher", &Log);
    Watcher.Watched = Target;
    Target->FreeNotification(&Watcher);
    TKoComponent::Free(Target);
    EXPECT_EQ(Watcher.Watched, nullptr);
}

TEST(Components, DataModuleLoadsItsPartsThenRunsItsCreateHandler) {
    std::vector<std::wstring> Log;
    TProbe Root(nullptr, L"Root", &Log);
    auto* M = KoCreate<TProbeModule>(&Root, &Log);
    EXPECT_FALSE(M->IsLoading());
    const std::vector<std::wstring> Expected = {L"loaded First", L"loaded Second", L"create, loading=0"};
    EXPECT_EQ(Log, Expected);
    Log.clear();
    TKoComponent::Free(M);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.front(), L"destroy handler");
}

TEST(Components, FailingCreateHandlerIsReportedAndTheModuleLives) {
    std::vector<std::wstring> Log;
    TProbe Root(nullptr, L"Root", &Log);
    std::wstring Reported;
    Application().OnException = [&](TKoComponent* Sender, std::exception_ptr) {
        Reported = (Sender ? Sender->Name() : L"?") + L": " + KoCurrentExceptionText();
    };
    struct TFailing : TKoDataModule {
        explicit TFailing(TKoComponent* AOwner) : TKoDataModule(AOwner) {
            SetName(L"Failing");
            OnCreate = [](TKoComponent*) { throw std::runtime_error("no good"); };
        }
    };
    TFailing* M = nullptr;
    EXPECT_NO_THROW(M = KoCreate<TFailing>(&Root));
    Application().OnException = nullptr;
    EXPECT_EQ(Reported, L"Failing: no good");
    EXPECT_EQ(Root.FindComponent(L"Failing"), M);
}

TEST(Application, CreateFormKeepsTheReferenceUntilTheComponentGoes) {
    TKoDataModule* Module = nullptr;
    Application().CreateForm(Module);
    ASSERT_NE(Module, nullptr);
    EXPECT_EQ(Module->Owner(), &Application());
    TKoComponent::Free(Module);
    EXPECT_EQ(Module, nullptr);
}

} // namespace

TEST(SparseEvent, BehavesAsTheHandlerItHoldsAndCopiesItWhole) {
    TKoSparseEvent<int(int)> Event;
    EXPECT_FALSE(Event);
    EXPECT_THROW(Event(1), std::bad_function_call);
    EXPECT_FALSE(KoHandlerOf(Event));

    Event = [](int X) { return X + 1; };
    ASSERT_TRUE(Event);
    EXPECT_EQ(Event(1), 2);
    // A copy holds a handler of its own: replacing or clearing the original leaves it.
    TKoSparseEvent<int(int)> Copy = Event;
    const std::function<int(int)> Held = KoHandlerOf(Event);
    Event = [](int X) { return X * 10; };
    EXPECT_EQ(Event(2), 20);
    EXPECT_EQ(Copy(2), 3);
    EXPECT_EQ(Held(2), 3);
    Event = nullptr;
    EXPECT_FALSE(Event);
    EXPECT_EQ(Copy(5), 6);
    // An empty std::function clears it, as assigning nothing does.
    Copy = std::function<int(int)>();
    EXPECT_FALSE(Copy);
}
