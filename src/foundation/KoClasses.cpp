#include "KoClasses.h"

#include "KoApplication.h"
#include "KoUtils.h"

#include <algorithm>

#include <windows.h>

bool KoSameText(const std::wstring& A, const std::wstring& B) {
    return CompareStringOrdinal(A.c_str(), static_cast<int>(A.size()), B.c_str(), static_cast<int>(B.size()),
                                TRUE) == CSTR_EQUAL;
}

TKoComponent::TKoComponent(TKoComponent* AOwner) {
    if (AOwner) AOwner->InsertComponent(this);
}

TKoComponent::~TKoComponent() {
    Detach();
}

void TKoComponent::Free(TKoComponent* AComponent) {
    if (!AComponent) return;
    AComponent->FComponentState |= csDestroying;
    AComponent->BeforeDestruction();
    // Others are told while the component is still whole.
    AComponent->Detach();
    delete AComponent;
}

void TKoComponent::Detach() {
    FComponentState |= csDestroying;
    // Everyone that asked to be told lets go of this component first.
    while (!FFreeNotifies.empty()) {
        TKoComponent* Other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& Back = Other->FFreeNotifies;
        Back.erase(std::remove(Back.begin(), Back.end(), this), Back.end());
        Other->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TKoComponent::SetName(const std::wstring& AName) {
    if (AName == FName) return;
    if (FOwner && !AName.empty()) {
        TKoComponent* Other = FOwner->FindComponent(AName);
        if (Other && Other != this) {
            throw EKoComponentError(KoFormat(L"A component named %s already exists", AName));
        }
    }
    FName = AName;
}

TKoComponent* TKoComponent::FindComponent(const std::wstring& AName) const {
    if (AName.empty()) return nullptr;
    for (TKoComponent* C : FComponents)
        if (KoSameText(C->FName, AName)) return C;
    return nullptr;
}

void TKoComponent::FreeNotification(TKoComponent* AComponent) {
    if (!AComponent || AComponent == this) return;
    // Owned components and siblings are told anyway through the owner; components without an
    // owner have no one to tell them.
    if (AComponent->FOwner == this || (FOwner && FOwner == AComponent->FOwner)) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
        FFreeNotifies.push_back(AComponent);
        AComponent->FFreeNotifies.push_back(this);
    }
}

void TKoComponent::RemoveFreeNotification(TKoComponent* AComponent) {
    if (!AComponent) return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                        FFreeNotifies.end());
    auto& Back = AComponent->FFreeNotifies;
    Back.erase(std::remove(Back.begin(), Back.end(), this), Back.end());
}

void TKoComponent::DestroyComponents() {
    while (!FComponents.empty()) Free(FComponents.back());
}

void TKoComponent::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (Operation == opRemove && AComponent) RemoveFreeNotification(AComponent);
    // A copy: a handler may free components of this owner.
    const std::vector<TKoComponent*> Owned = FComponents;
    for (TKoComponent* C : Owned)
        if (std::find(FComponents.begin(), FComponents.end(), C) != FComponents.end())
            C->Notification(AComponent, Operation);
}

void TKoComponent::BeginLoading() {
    FComponentState |= csLoading;
}

void TKoComponent::EndLoading() {
    for (TKoComponent* C : std::vector<TKoComponent*>(FComponents)) {
        if (C->IsLoading()) C->EndLoading();
    }
    FComponentState &= ~csLoading;
    Loaded();
}

void TKoComponent::InsertComponent(TKoComponent* AComponent) {
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    if (IsLoading()) AComponent->FComponentState |= csLoading;
    Notification(AComponent, opInsert);
}

void TKoComponent::RemoveComponent(TKoComponent* AComponent) {
    Notification(AComponent, opRemove);
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
    AComponent->FOwner = nullptr;
}

TKoDataModule::TKoDataModule(TKoComponent* AOwner) : TKoComponent(AOwner) {
    BeginLoading();
}

void TKoDataModule::AfterConstruction() {
    EndLoading();
    // A failing create handler is reported; the module still exists and keeps running.
    try {
        if (OnCreate) OnCreate(this);
    } catch (...) {
        Application().HandleException(this);
    }
}

void TKoDataModule::BeforeDestruction() {
    try {
        if (OnDestroy) OnDestroy(this);
    } catch (...) {
        Application().HandleException(this);
    }
}
