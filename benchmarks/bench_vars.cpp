// Speed of the variable write path on one thread: accepted writes of a double value with no
// listener, with a connected slot and with an OnChange handler, writes through the variant
// path, and writes that change nothing. Every case also counts the heap allocations (global
// operator new) and the COM task allocations (BSTR, SAFEARRAY) made per write.

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "KoAllocationCounter.h"
#include "KoSignals.h"
#include "KoVars.h"

// ---- allocation counters ----

namespace {

// Counts the allocations of the COM task allocator, which BSTRs and SAFEARRAYs come from.
class TMallocSpy : public IMallocSpy {
public:
    long long Allocations = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Iid, void** Object) override {
        if (Iid == IID_IUnknown || Iid == IID_IMallocSpy) {
            *Object = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *Object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T Request) override {
        ++Allocations;
        return Request;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* Actual) override { return Actual; }
    void* STDMETHODCALLTYPE PreFree(void* Request, BOOL) override { return Request; }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* Request, SIZE_T Size, void** New, BOOL) override {
        ++Allocations;
        *New = Request;
        return Size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* Actual, BOOL) override { return Actual; }
    void* STDMETHODCALLTYPE PreGetSize(void* Request, BOOL) override { return Request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T Actual, BOOL) override { return Actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* Request, BOOL) override { return Request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int Actual) override { return Actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

TMallocSpy GSpy;
bool GSpyWorks = false;

// A variable with a double value, written by the typed-setter helper of the base class.
class TBenchVar : public TKoVar {
public:
    using TKoVar::TKoVar;
    void SetValue(double V) { SetFloatProp(vpValue, FValue, V, false); }
    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override {
        return Prop == vpValue ? vdtDouble : TKoVar::GetPropDataType(Prop);
    }

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override {
        return Prop == vpValue ? TKoOleVariant(FValue) : TKoVar::GetPropValueGood(Prop);
    }
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) override {
        if (Prop == vpValue)
            SetValue(V.vt == VT_R8 ? V.dblVal : GetVarPropValueAsFloat(Prop, V));
        else
            TKoVar::SetPropValueGood(Prop, V);
    }

private:
    double FValue = KoBadFloat;
};

double Seconds(LARGE_INTEGER From, LARGE_INTEGER To) {
    LARGE_INTEGER Frequency;
    QueryPerformanceFrequency(&Frequency);
    return static_cast<double>(To.QuadPart - From.QuadPart) / static_cast<double>(Frequency.QuadPart);
}

// Runs Write(i) for i = 0 .. Count - 1, Repetitions times; prints best and median.
void Measure(const char* Name, long long Count, int Repetitions,
             const std::function<void(long long)>& Write) {
    std::vector<double> Rates;
    long long Heap = 0, Task = 0;
    for (int R = 0; R < Repetitions; ++R) {
        const long long Heap0 = kobench::HeapAllocations(), Task0 = GSpy.Allocations;
        LARGE_INTEGER Start, Stop;
        QueryPerformanceCounter(&Start);
        for (long long I = 0; I < Count; ++I) Write(I);
        QueryPerformanceCounter(&Stop);
        Heap += kobench::HeapAllocations() - Heap0;
        Task += GSpy.Allocations - Task0;
        Rates.push_back(static_cast<double>(Count) / Seconds(Start, Stop));
    }
    std::sort(Rates.begin(), Rates.end());
    const double Writes = static_cast<double>(Count) * Repetitions;
    std::printf("%-44s best %8.2f M/s  median %8.2f M/s  (%6.1f ns)  heap allocs/write %.4f  "
                "BSTR/SAFEARRAY allocs/write %s\n",
                Name, Rates.back() / 1e6, Rates[Rates.size() / 2] / 1e6, 1e9 / Rates[Rates.size() / 2],
                static_cast<double>(Heap) / Writes,
                GSpyWorks ? std::to_string(static_cast<double>(Task) / Writes).c_str() : "n/a");
}

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(CoRegisterMallocSpy(&GSpy))) {
        // The counter must see a BSTR being made, or its zero means nothing.
        const long long Before = GSpy.Allocations;
        SysFreeString(SysAllocString(L"probe of the task allocator"));
        GSpyWorks = GSpy.Allocations > Before;
    }
    if (!GSpyWorks) std::printf("note: BSTR/SAFEARRAY allocations cannot be counted on this system\n");

    const long long Count = 1000000;
    const int Repetitions = 7;
    std::printf("KoBenchVars: %lld writes x %d repetitions, one thread\n", Count, Repetitions);

    {
        TBenchVar Var(nullptr);
        Measure("accepted SetValue(double), no listener", Count, Repetitions,
                [&](long long I) { Var.SetValue(static_cast<double>(I & 0xFFFF) + 0.5); });
    }
    {
        TBenchVar Var(nullptr);
        long long Seen = 0;
        TKoVarChangeSlot Slot(
            Var.ChangeSignal(), [&](TKoVar*, TKoVarPropTypes) { ++Seen; }, nullptr);
        Measure("accepted SetValue(double), one slot", Count, Repetitions,
                [&](long long I) { Var.SetValue(static_cast<double>(I & 0xFFFF) + 0.5); });
        if (Seen != Count * Repetitions) std::printf("  ERROR: slot saw %lld changes\n", Seen);
    }
    {
        TBenchVar Var(nullptr);
        long long Seen = 0;
        Var.OnChange = [&](TKoVar*, TKoVarPropTypes) { ++Seen; };
        Measure("accepted SetValue(double), OnChange", Count, Repetitions,
                [&](long long I) { Var.SetValue(static_cast<double>(I & 0xFFFF) + 0.5); });
        if (Seen != Count * Repetitions) std::printf("  ERROR: OnChange saw %lld changes\n", Seen);
    }
    {
        TBenchVar Var(nullptr);
        TKoOleVariant V(0.0);
        Measure("accepted SetPropValue(vpValue, VT_R8)", Count, Repetitions, [&](long long I) {
            V.Get().dblVal = static_cast<double>(I & 0xFFFF) + 0.5;
            Var.SetPropValue(vpValue, V);
        });
    }
    {
        TBenchVar Var(nullptr);
        Var.SetValue(1.5);
        long long Seen = 0;
        Var.OnChange = [&](TKoVar*, TKoVarPropTypes) { ++Seen; };
        Measure("unchanged SetValue(double)", Count, Repetitions, [&](long long) { Var.SetValue(1.5); });
        if (Seen != 0) std::printf("  ERROR: unchanged writes notified %lld times\n", Seen);
    }
    if (GSpyWorks) CoRevokeMallocSpy();
    CoUninitialize();
    return 0;
}
