#include "SimVars.h"

TSimulationData::TSimulationData(TKoComponent* AOwner, const std::wstring& AName) : TKoDataModule(AOwner) {
    SetName(AName);
    Timer1 = new TKoTimer(this);
    Timer1->SetName(L"Timer1");
    Timer1->SetOnTimer([this](TKoComponent* Sender) { Timer1Timer(Sender); });
    OnCreate = [this](TKoComponent* Sender) { DataModuleCreate(Sender); };
    OnDestroy = [this](TKoComponent* Sender) { DataModuleDestroy(Sender); };
}

void TSimulationData::DataModuleCreate(TKoComponent*) {
    Step();
}

void TSimulationData::DataModuleDestroy(TKoComponent*) {}

void TSimulationData::Simulate() {}

void TSimulationData::Timer1Timer(TKoComponent*) {
    Step();
}

void TSimulationData::Step() {
    // A step that pumps messages (an error report in a dialog, say) must not let the next tick
    // start a second step of the same module inside the first: such a tick is dropped.
    if (FSimulating) return;
    FSimulating = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } Reset{FSimulating};
    Simulate();
}
