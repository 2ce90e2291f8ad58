#pragma once
// The simulation module: a named container of process variables and a timer whose tick runs
// one simulation step.

#include "KoClasses.h"
#include "KoTimers.h"

class TSimulationData : public TKoDataModule {
public:
    // AName is the module name, the first segment of its item IDs.
    TSimulationData(TKoComponent* AOwner, const std::wstring& AName);
    const wchar_t* ClassName() const override { return L"TSimulationData"; }

    // Period 1000 ms unless the module's definition says otherwise; 0 = never fires.
    TKoTimer* Timer1 = nullptr;

    // Create handler: runs once the definition was applied, and runs the first step.
    // Concrete modules call it first from their own create handlers.
    virtual void DataModuleCreate(TKoComponent* Sender);
    void DataModuleDestroy(TKoComponent* Sender);
    // One simulation step. The base step composes the module's composite value.
    virtual void Simulate();
    // The timer's tick handler.
    void Timer1Timer(TKoComponent* Sender);

    // Whether a step of this module is running right now.
    bool Simulating() const { return FSimulating; }

private:
    void Step();

    bool FSimulating = false;
};
