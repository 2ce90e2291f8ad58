// The variables window and the variant editor, driven through their messages under the
// display-less driver: the whole program runs in the test process (provider, modules, main
// window). The errors the windows show go to a recorder in place of the message box, except in
// the one test that answers the message box itself; the modal variant editor opened from the
// variables window is answered by a helper thread.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "KoApplication.h"
#include "KoMessagePump.h"
#include "KoOPCProvider.h"
#include "KoOPCServerProgram.h"
#include "KoTimers.h"
#include "KoUtils.h"
#include "KoVarLinks.h"
#include "KoVarForms.h"
#include "KoVariantEditDlgs.h"
#include "KoVariants.h"
#include "KoVars.h"
#include "SimVars.h"
#include "Unit1.h"

namespace {

using namespace std::chrono_literals;

// Runs Action on the first window of this process of that class and caption, once it shows
// (at most 15 s); Action runs on the helper thread and may only send or post messages.
class WindowAnswer {
public:
    WindowAnswer(std::wstring Class, std::wstring Caption, std::function<void(HWND)> Action)
        : FClass(std::move(Class)), FCaption(std::move(Caption)), FAction(std::move(Action)) {
        FThread = std::thread([this] { Run(); });
    }
    ~WindowAnswer() {
        if (FThread.joinable()) FThread.join();
    }
    bool Answered() {
        if (FThread.joinable()) FThread.join();
        return FAnswered;
    }

private:
    void Run() {
        const ULONGLONG Deadline = GetTickCount64() + 15000;
        while (GetTickCount64() < Deadline) {
            HWND Window = nullptr;
            while ((Window = FindWindowExW(nullptr, Window, FClass.c_str(), FCaption.c_str()))) {
                DWORD Process = 0;
                GetWindowThreadProcessId(Window, &Process);
                if (Process != GetCurrentProcessId() || !IsWindowVisible(Window)) continue;
                FAction(Window);
                FAnswered = true;
                return;
            }
            Sleep(20);
        }
    }
    std::wstring FClass, FCaption;
    std::function<void(HWND)> FAction;
    std::atomic<bool> FAnswered{false};
    std::thread FThread;
};

TKoOleVariant DoubleArray(std::initializer_list<double> Values) {
    TKoSafeArray Array(VT_R8, {{0, static_cast<LONG>(Values.size()) - 1}});
    LONG I = 0;
    for (double Value : Values) {
        KoSafeArrayPutVariant(Array.Get(), &I, TKoOleVariant(Value).Get());
        ++I;
    }
    return TKoOleVariant::TakeArray(VT_R8, Array.Release());
}

TKoOleVariant Element(const VARIANT& Array, LONG I) {
    return KoSafeArrayGetVariant(KoVariantArray(Array), &I);
}

class VariablesWindow : public ::testing::Test {
protected:
    void SetUp() override {
        KoOPCServerCreateProvider();
        ASSERT_TRUE(KoOPCServerCreateObjects());
        Form = KoOPCServerMainForm();
        ASSERT_NE(Form, nullptr);
        Previous = KoSetErrorDisplay([this](const std::wstring& Text) { Errors.push_back(Text); });
    }
    void TearDown() override {
        KoSetErrorDisplay(Previous);
        KoSetTimeZoneSource(nullptr);
        KoOPCServerDestroyObjects();
    }

    TKoVarForm* Open() {
        SendMessageW(Form->Handle(), WM_COMMAND, TForm1::cmVariables, 0);
        return Form->VarForm();
    }
    static TSimulationData* Module(const wchar_t* Name) {
        return dynamic_cast<TSimulationData*>(Application().FindComponent(Name));
    }
    // Selects a module as the user does, through the module tree.
    static void SelectInTree(TKoVarForm* View, int Index) {
        const HWND Tree = View->Control(TKoVarForm::idModuleTree);
        auto Item = reinterpret_cast<HTREEITEM>(SendMessageW(Tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        for (int I = 0; I < Index && Item; ++I)
            Item = reinterpret_cast<HTREEITEM>(
                SendMessageW(Tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(Item)));
        SendMessageW(Tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(Item));
    }
    static void Stop(TSimulationData* M) { M->TimerInterval->SetValueAsString(L"0"); }
    static LPARAM CellPoint(TKoGrid& Grid, int Col, int Row) {
        const RECT Cell = Grid.CellRect(Col, Row);
        return MAKELPARAM((Cell.left + Cell.right) / 2, (Cell.top + Cell.bottom) / 2);
    }
    static void Type(HWND Window, const std::wstring& Text) {
        for (wchar_t C : Text) SendMessageW(Window, WM_CHAR, C, 0);
    }
    static void Key(HWND Window, WPARAM Key) { SendMessageW(Window, WM_KEYDOWN, Key, 0); }
    // Types Text into the current cell of the grid and presses Enter (or Escape).
    static void TypeIntoCell(TKoGrid& Grid, const std::wstring& Text, WPARAM Final = VK_RETURN) {
        Type(Grid.Handle(), Text.substr(0, 1));
        if (!Grid.EditorMode()) return;
        Type(Grid.EditorHandle(), Text.substr(1));
        Key(Grid.EditorHandle(), Final);
    }
    static int RowOf(TKoVarForm* View, TKoVar* Variable) { return View->Variables().IndexOf(Variable) + 1; }

    TForm1* Form = nullptr;
    TKoErrorDisplay Previous;
    std::vector<std::wstring> Errors;
};

TEST_F(VariablesWindow, TheVariablesCommandOpensTheWindowOnceWithTheModules) {
    TKoVarForm* View = Open();
    ASSERT_NE(View, nullptr);
    EXPECT_TRUE(IsWindowVisible(View->Handle()));
    EXPECT_EQ(View->Caption(), L"Variables");
    EXPECT_EQ(View->Color(), RGB(255, 255, 255));
    EXPECT_EQ(View->Owner(), &Application());
    EXPECT_EQ(View->IncludedClasses(), std::vector<std::wstring>{L"TKoDataModule"});
    EXPECT_EQ(View->ModuleNames(), (std::vector<std::wstring>{L"Static", L"Random", L"SawTooth", L"Sinusoid",
                                                              L"Triangle", L"ReadOnly"}));
    EXPECT_EQ(View->SelectedModule(), Module(L"Static"));
    EXPECT_FALSE(View->ReadOnly());
    EXPECT_TRUE(View->HideEmptyModules());
    EXPECT_FALSE(View->ShowConnectors());
    EXPECT_FALSE(IsWindowVisible(View->Control(TKoVarForm::idConnectorGrid)));
    EXPECT_EQ(View->ConnectorGrid().Cells(0, 1), L"(No Connectors)");
    EXPECT_EQ(Open(), View);

    // Module Random, by the tree as the user does and by the script's command.
    SelectInTree(View, 1);
    EXPECT_EQ(View->SelectedModule(), Module(L"Random"));
    SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmSelectModule + 0, 0);
    EXPECT_EQ(View->SelectedModule(), Module(L"Static"));
    SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmSelectModule + 1, 0);
    TSimulationData* Random = Module(L"Random");
    ASSERT_EQ(View->SelectedModule(), Random);

    TKoGrid& Grid = View->VarGrid();
    EXPECT_EQ(Grid.RowCount(), 12); // eleven variables and the header
    const std::vector<std::wstring> Header{L"Name", L"Type", L"Active", L"Timestamp (UTC)", L"Value"};
    for (int C = 0; C < 5; ++C) EXPECT_EQ(Grid.Cells(C, 0), Header[static_cast<size_t>(C)]);
    EXPECT_EQ(View->ColumnIndex(vgcSourceAddress), -1);
    EXPECT_EQ(View->ColumnIndex(vgcValue), 4);
    EXPECT_EQ(Grid.ColWidths(0), 120);
    EXPECT_EQ(Grid.ColWidths(3), 120);
    EXPECT_EQ(Grid.ColWidths(4), 120);
    const int Row = RowOf(View, Random->KoFloat1);
    EXPECT_EQ(Row, 2);
    EXPECT_EQ(Grid.Cells(0, Row), L"KoFloat1");
    EXPECT_EQ(Grid.Cells(1, Row), L"Float");
    EXPECT_EQ(Grid.Cells(2, Row), L"True");
    EXPECT_EQ(Grid.Cells(1, RowOf(View, Random->KoFloatArray1)), L"FloatArray");
    EXPECT_EQ(Grid.Cells(3, Row), FormatTimestamp(false, false, false, Random->KoFloat1->TimeStamp(), L""));
    EXPECT_EQ(Grid.Col(), 4);
    EXPECT_EQ(View->SelectedVariable(), Random->KoBool1);

    // The property grid lists what the selected variable supports, in enumeration order.
    ASSERT_TRUE(View->SelectVariable(Random->KoFloat1));
    TKoGrid& Props = View->VarPropGrid();
    EXPECT_EQ(Props.Cells(0, 0), L"Property");
    EXPECT_EQ(Props.Cells(0, 1), L"Value");
    EXPECT_EQ(Props.Cells(0, 2), L"Caption");
    EXPECT_EQ(Props.Cells(0, 3), L"Engineering Unit");
    EXPECT_EQ(Props.Cells(1, 3), L"°C");
    EXPECT_TRUE(IsWindowEnabled(Props.Handle()));
    // The hint of a row: the variable's properties as Name=Value lines.
    EXPECT_NE(View->HintAt(Row).find(L"Name=KoFloat1"), std::wstring::npos);
    EXPECT_EQ(View->HintAt(0), L"");

    // Names instead of captions.
    View->SetShowName(true);
    EXPECT_EQ(Grid.Cells(0, Row), L"KoFloat1");
    Random->KoFloat1->SetCaption(L"Temperature");
    View->SetShowName(false);
    EXPECT_EQ(Grid.Cells(0, Row), L"Temperature");

    // The popup menu of the variable grid: its items, their order and states.
    const std::vector<TKoVarForm::TMenuLine> Menu = View->PopupMenuLines();
    ASSERT_EQ(Menu.size(), 4u);
    EXPECT_EQ(Menu[0].Caption, L"Open Array &Editor\tCtrl+E");
    EXPECT_TRUE(Menu[0].Default);
    EXPECT_FALSE(Menu[0].Enabled); // KoFloat1 is no array
    EXPECT_EQ(Menu[1].Caption, L"Local &Timestamps\tCtrl+T");
    EXPECT_EQ(Menu[2].Caption, L"Show Var&Props\tCtrl+Shift+P");
    EXPECT_EQ(Menu[3].Caption, L"Show &Value Panel\tCtrl+Shift+V");
    // A script selects by command: the seventh variable is the float array.
    SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmSelectVariable + 6, 0);
    EXPECT_EQ(View->SelectedVariable(), Random->KoFloatArray1);
    EXPECT_TRUE(View->EditorEnabled());

    // Closing only hides it.
    SendMessageW(View->Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(View->Handle()));
    EXPECT_EQ(Open(), View);
    EXPECT_TRUE(IsWindowVisible(View->Handle()));
}

TEST_F(VariablesWindow, AModuleWithoutVariablesIsHiddenWhileHideEmptyModulesIsSet) {
    auto* Empty = KoCreate<TKoDataModule>(&Application());
    Empty->SetName(L"Empty");
    new TKoTimer(Empty); // owns a component, but no variable
    auto* Bare = KoCreate<TKoDataModule>(&Application());
    Bare->SetName(L"Bare"); // owns nothing at all
    TKoVarForm* View = Open();
    EXPECT_EQ(View->ModuleCount(), 6);
    SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmHideEmptyModules, 0);
    EXPECT_FALSE(View->HideEmptyModules());
    EXPECT_EQ(View->ModuleNames().back(), L"Empty");
    EXPECT_EQ(View->ModuleCount(), 7);
    // A module without variables: the grid says so and is disabled.
    View->SetSelectedModule(Empty);
    EXPECT_EQ(View->VarGrid().RowCount(), 2);
    EXPECT_EQ(View->VarGrid().Cells(0, 1), L"(No variables)");
    EXPECT_FALSE(IsWindowEnabled(View->VarGrid().Handle()));
    EXPECT_EQ(View->SelectedVariable(), nullptr);
    EXPECT_FALSE(IsWindowEnabled(View->VarPropGrid().Handle()));
    // A listed module that goes is dropped from the list; the first module is selected.
    TKoComponent::Free(Empty);
    EXPECT_EQ(View->ModuleCount(), 6);
    EXPECT_EQ(View->SelectedModule(), Module(L"Static"));
    EXPECT_TRUE(IsWindowEnabled(View->VarGrid().Handle()));
    SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmHideEmptyModules, 0);
    EXPECT_TRUE(View->HideEmptyModules());
    EXPECT_EQ(View->ModuleCount(), 6);
}

TEST_F(VariablesWindow, LocalTimestampsChangeTheHeaderAndAllStamps) {
    // A zone two hours east of Greenwich without daylight time.
    KoSetTimeZoneSource([](TIME_ZONE_INFORMATION& Zone) {
        Zone = {};
        Zone.Bias = -120;
        wcscpy(Zone.StandardName, L"Test Standard Time");
        wcscpy(Zone.DaylightName, L"Test Daylight Time");
        return static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN);
    });
    TKoVarForm* View = Open();
    TSimulationData* Static = Module(L"Static");
    TKoGrid& Grid = View->VarGrid();
    const int Stamp = View->ColumnIndex(vgcTimestamp);
    const int Row = RowOf(View, Static->KoString1);
    const std::wstring Utc = Grid.Cells(Stamp, Row);
    ASSERT_FALSE(Utc.empty());
    EXPECT_EQ(Grid.Cells(Stamp, 0), L"Timestamp (UTC)");

    const HWND Keys = Grid.Handle();
    // Ctrl+T, the action's shortcut.
    BYTE State[256] = {};
    GetKeyboardState(State);
    BYTE Held[256];
    memcpy(Held, State, sizeof(Held));
    Held[VK_CONTROL] = 0x80;
    SetKeyboardState(Held);
    Key(Keys, L'T');
    SetKeyboardState(State);
    EXPECT_TRUE(View->LocalTimeBias());
    EXPECT_TRUE(View->Checked(TKoVarForm::cmLocalTime));
    EXPECT_EQ(Grid.Cells(Stamp, 0), L"Timestamp (Test Standard Time)");
    for (int R = 1; R < Grid.RowCount(); ++R) {
        auto* Variable = static_cast<TKoVar*>(Grid.RowObjects(R));
        ASSERT_NE(Variable, nullptr);
        EXPECT_EQ(Grid.Cells(Stamp, R), FormatTimestamp(true, false, false, Variable->TimeStamp(), L""));
    }
    EXPECT_NE(Grid.Cells(Stamp, Row), Utc);
    EXPECT_EQ(Grid.Cells(Stamp, Row),
              FormatTimestamp(false, false, false, Static->KoString1->TimeStamp() + 2.0 / 24, L""));
    SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmLocalTime, 0);
    EXPECT_EQ(Grid.Cells(Stamp, 0), L"Timestamp (UTC)");
    EXPECT_EQ(Grid.Cells(Stamp, Row), Utc);
}

TEST_F(VariablesWindow, ValuesAndPropertiesAreEditedInPlaceAndErrorsShown) {
    TKoVarForm* View = Open();
    TSimulationData* Static = Module(L"Static");
    TKoGrid& Grid = View->VarGrid();
    const int Value = View->ColumnIndex(vgcValue);

    // Typing into a value, Enter applies.
    ASSERT_TRUE(View->SelectVariable(Static->KoInteger1));
    TypeIntoCell(Grid, L"42");
    EXPECT_FALSE(Grid.EditorMode());
    EXPECT_EQ(Static->KoInteger1->GetValueAsString(), L"42");
    EXPECT_EQ(Grid.Cells(Value, RowOf(View, Static->KoInteger1)), L"42");
    EXPECT_EQ(View->VarGridEditText(), L"");

    // Escape leaves the value alone.
    TypeIntoCell(Grid, L"77", VK_ESCAPE);
    EXPECT_EQ(Static->KoInteger1->GetValueAsString(), L"42");
    EXPECT_EQ(Grid.Cells(Value, RowOf(View, Static->KoInteger1)), L"42");

    // A text that is no integer: the error is shown and the grid shows the real value.
    TypeIntoCell(Grid, L"abc");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Grid.Cells(Value, RowOf(View, Static->KoInteger1)), L"42");
    EXPECT_EQ(Static->KoInteger1->GetValueAsString(), L"42");

    // Selecting another cell applies what was typed.
    Type(Grid.Handle(), L"4");
    Type(Grid.EditorHandle(), L"3");
    EXPECT_EQ(View->VarGridEditText(), L"43");
    ASSERT_TRUE(View->SelectVariable(Static->KoFloat1));
    EXPECT_EQ(Static->KoInteger1->GetValueAsString(), L"43");

    // Only the value column can be selected.
    EXPECT_FALSE(Grid.SetCurrent(0, 3));
    EXPECT_EQ(Grid.Col(), Value);
    EXPECT_EQ(Grid.Row(), 3);

    // Properties: the description is typed into, the alarm state cannot be.
    ASSERT_TRUE(View->SelectVariable(Static->KoFloat1));
    ASSERT_TRUE(View->SelectProp(vpDescription));
    EXPECT_EQ(View->SelectedProp(), vpDescription);
    TypeIntoCell(View->VarPropGrid(), L"Hello");
    EXPECT_EQ(Static->KoFloat1->Description(), L"Hello");
    EXPECT_EQ(View->ValuePanelText(), L"Hello");
    ASSERT_TRUE(View->SelectProp(vpAlarmState));
    Type(View->VarPropGrid().Handle(), L"x");
    EXPECT_FALSE(View->VarPropGrid().EditorMode());
    // A limit: a number is taken; a text that is none is refused, shown, and the cell shows
    // the limit again.
    ASSERT_TRUE(View->SelectProp(vpAlarmHigh));
    TypeIntoCell(View->VarPropGrid(), L"55");
    EXPECT_DOUBLE_EQ(Static->KoFloat1->GetPropAsFloat(vpAlarmHigh), 55.0);
    TypeIntoCell(View->VarPropGrid(), L"high");
    EXPECT_EQ(Errors.size(), 2u);
    EXPECT_DOUBLE_EQ(Static->KoFloat1->GetPropAsFloat(vpAlarmHigh), 55.0);
    EXPECT_EQ(View->VarPropGrid().Cells(1, View->VarPropGrid().Row()),
              Static->KoFloat1->GetPropAsString(vpAlarmHigh));

    // A read-only window takes no typing at all.
    View->SetReadOnly(true);
    ASSERT_TRUE(View->SelectVariable(Static->KoInteger1));
    Type(Grid.Handle(), L"1");
    EXPECT_FALSE(Grid.EditorMode());
}

TEST_F(VariablesWindow, AFailedEditIsShownInTheProgramsMessageBox) {
    KoSetErrorDisplay(nullptr);
    TKoVarForm* View = Open();
    TSimulationData* Random = Module(L"Random");
    Stop(Random);
    View->SetSelectedModule(Random);
    ASSERT_TRUE(View->SelectVariable(Random->KoInteger1));
    std::wstring Shown;
    WindowAnswer Answer(L"#32770", L"Korvel OPC Dadived Simulation Server", [&](HWND Box) {
        wchar_t Text[1024] = {};
        GetDlgItemTextW(Box, 0xFFFF, Text, 1024);
        Shown = Text;
        PostMessageW(Box, WM_COMMAND, IDOK, 0);
    });
    TypeIntoCell(View->VarGrid(), L"1000");
    EXPECT_TRUE(Answer.Answered());
    EXPECT_NE(Shown.find(L"out of range"), std::wstring::npos) << KoUtf8(Shown);
    EXPECT_EQ(View->VarGrid().Cells(View->ColumnIndex(vgcValue), RowOf(View, Random->KoInteger1)),
              Random->KoInteger1->GetValueAsString());
}

TEST_F(VariablesWindow, AReadOnlyValueCannotBeTypedIntoNorAnArray) {
    TKoVarForm* View = Open();
    TSimulationData* ReadOnly = Module(L"ReadOnly");
    View->SetSelectedModule(ReadOnly);
    TKoGrid& Grid = View->VarGrid();
    ASSERT_TRUE(View->SelectVariable(ReadOnly->KoString1));
    const std::wstring Before = ReadOnly->KoString1->GetValueAsString();
    Type(Grid.Handle(), L"x");
    EXPECT_FALSE(Grid.EditorMode());
    Key(Grid.Handle(), VK_F2);
    EXPECT_FALSE(Grid.EditorMode());
    EXPECT_EQ(ReadOnly->KoString1->GetValueAsString(), Before);
    EXPECT_EQ(Errors.size(), 0u);

    TSimulationData* Static = Module(L"Static");
    View->SetSelectedModule(Static);
    ASSERT_TRUE(View->SelectVariable(Static->KoFloatArray1));
    Type(Grid.Handle(), L"1");
    EXPECT_FALSE(Grid.EditorMode());
    ASSERT_TRUE(View->SelectVariable(Static->KoString1));
    Type(Grid.Handle(), L"1");
    EXPECT_TRUE(Grid.EditorMode());
    Key(Grid.EditorHandle(), VK_ESCAPE);
}

TEST_F(VariablesWindow, ADoubleClickOnAnArrayOpensTheEditorAndOnABooleanFlipsIt) {
    TKoVarForm* View = Open();
    TSimulationData* Random = Module(L"Random");
    Stop(Random);
    View->SetSelectedModule(Random);
    TKoGrid& Grid = View->VarGrid();
    const int Value = View->ColumnIndex(vgcValue);

    // Boolean: a double click on its value flips it.
    const bool Was = Random->KoBool1->GetPropAsBool(vpValue);
    SendMessageW(Grid.Handle(), WM_LBUTTONDBLCLK, 0, CellPoint(Grid, Value, RowOf(View, Random->KoBool1)));
    EXPECT_EQ(Random->KoBool1->GetPropAsBool(vpValue), !Was);
    EXPECT_EQ(Grid.Cells(Value, RowOf(View, Random->KoBool1)), !Was ? L"True" : L"False");

    // Array: the variant editor opens with the value; Cancel changes nothing.
    const TKoOleVariant Before = Random->KoFloatArray1->GetPropValue(vpValue);
    ASSERT_GE(VarArrayLength(Before.Get()), 2);
    {
        WindowAnswer Answer(L"TKoForm", L"Variant Editor",
                            [](HWND Dialog) { PostMessageW(Dialog, WM_COMMAND, IDCANCEL, 0); });
        SendMessageW(Grid.Handle(), WM_LBUTTONDBLCLK, 0,
                     CellPoint(Grid, Value, RowOf(View, Random->KoFloatArray1)));
        EXPECT_TRUE(Answer.Answered());
    }
    EXPECT_EQ(View->SelectedVariable(), Random->KoFloatArray1);
    EXPECT_TRUE(VariantsEqual(Random->KoFloatArray1->GetPropValue(vpValue), Before, false));

    // OK writes the edited value back: here the first element deleted (Ctrl+E opens it).
    {
        WindowAnswer Answer(L"TKoForm", L"Variant Editor", [](HWND Dialog) {
            PostMessageW(Dialog, WM_COMMAND, TKoVariantEditDlg::cmDelete, 0);
            PostMessageW(Dialog, WM_COMMAND, IDOK, 0);
        });
        SendMessageW(View->Handle(), WM_COMMAND, TKoVarForm::cmEditor, 0);
        EXPECT_TRUE(Answer.Answered());
    }
    EXPECT_TRUE(Errors.empty()) << (Errors.empty() ? "" : KoUtf8(Errors[0]));
    const TKoOleVariant After = Random->KoFloatArray1->GetPropValue(vpValue);
    ASSERT_EQ(VarArrayLength(After.Get()), VarArrayLength(Before.Get()) - 1);
    EXPECT_EQ(VariantToText(Element(After.Get(), 0).Get()), VariantToText(Element(Before.Get(), 1).Get()));

    // The editor is offered only for array values.
    ASSERT_TRUE(View->SelectVariable(Random->KoFloat1));
    EXPECT_FALSE(View->EditorEnabled());
}

TEST_F(VariablesWindow, TheValuePanelWrapsLongArraysAndNamesArrayAndReadOnly) {
    TKoVarForm* View = Open();
    TSimulationData* Random = Module(L"Random");
    Stop(Random);
    View->SetSelectedModule(Random);
    // Ten elements of several digits each: well over 50 characters.
    Random->KoFloatArray1->SetPropValue(
        vpValue, DoubleArray({11.25, 12.5, 13.75, 14.125, 15.5, 16.25, 17.75, 18.5, 19.25, 20.125}));
    ASSERT_TRUE(View->SelectVariable(Random->KoFloatArray1));
    const std::wstring Separator = KoListSeparator();
    std::wstring Text = View->ValuePanelText();
    EXPECT_GT(Text.size(), TKoVarForm::WrapLength);
    EXPECT_NE(Text.find(Separator + L" "), std::wstring::npos) << KoUtf8(Text);
    EXPECT_EQ(Text.substr(Text.size() - 8), L" (Array)");
    // Every separator is followed by a blank.
    for (size_t I = Text.find(Separator); I != std::wstring::npos; I = Text.find(Separator, I + 1))
        EXPECT_EQ(Text[I + Separator.size()], L' ');

    Random->KoFloatArray1->SetReadOnly(true);
    ASSERT_TRUE(View->SelectVariable(Random->KoFloat1));
    ASSERT_TRUE(View->SelectVariable(Random->KoFloatArray1));
    Text = View->ValuePanelText();
    EXPECT_EQ(Text.substr(Text.size() - 17), L" (Array,ReadOnly)");
    Random->KoFloatArray1->SetReadOnly(false);

    // A short value is shown as it is; a read-only property says so.
    ASSERT_TRUE(View->SelectVariable(Random->KoFloat1));
    Random->KoFloat1->SetPropAsFloat(vpValue, 12.5);
    kotest::PumpUntil([&] { return View->ValuePanelText() == Random->KoFloat1->GetValueAsString(); }, 2s);
    EXPECT_EQ(View->ValuePanelText(), Random->KoFloat1->GetValueAsString());
    ASSERT_TRUE(View->SelectProp(vpMean));
    EXPECT_EQ(View->ValuePanelText(), Random->KoFloat1->GetPropAsString(vpMean) + L" (ReadOnly)");
}

TEST_F(VariablesWindow, LiveUpdatesRepaintOnlyChangedCellsAtMostEvery100msAndKeepAnEdit) {
    TKoVarForm* View = Open();
    TSimulationData* Random = Module(L"Random");
    View->SetSelectedModule(Random);
    TKoGrid& Grid = View->VarGrid();
    const int Value = View->ColumnIndex(vgcValue);
    ASSERT_TRUE(View->SelectVariable(Random->KoFloat1));
    Random->TimerInterval->SetValueAsString(L"10");

    // The main thread's queue is watched from another thread meanwhile.
    std::atomic<bool> Done{false};
    std::atomic<ULONGLONG> Worst{0};
    const HWND Target = View->Handle();
    std::thread Watch([&] {
        while (!Done) {
            const ULONGLONG Start = GetTickCount64();
            DWORD_PTR Result = 0;
            SendMessageTimeoutW(Target, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &Result);
            const ULONGLONG Took = GetTickCount64() - Start;
            if (Took > Worst) Worst = Took;
            Sleep(10);
        }
    });
    const uint64_t Passes = View->RefreshPasses();
    const uint64_t Names = Grid.InvalidatedCells(View->ColumnIndex(vgcName));
    const uint64_t Types = Grid.InvalidatedCells(View->ColumnIndex(vgcType));
    const uint64_t Values = Grid.InvalidatedCells(Value);
    const uint64_t Total = Grid.InvalidatedCells();
    const ULONGLONG Start = GetTickCount64();
    kotest::PumpFor(2000ms);
    const ULONGLONG Spent = GetTickCount64() - Start;
    Done = true;
    Watch.join();
    const uint64_t Made = View->RefreshPasses() - Passes;
    EXPECT_GE(Made, 5u);
    EXPECT_LE(Made, Spent / TKoVarForm::RefreshInterval + 1);
    EXPECT_EQ(Grid.InvalidatedCells(View->ColumnIndex(vgcName)), Names);
    EXPECT_EQ(Grid.InvalidatedCells(View->ColumnIndex(vgcType)), Types);
    EXPECT_GT(Grid.InvalidatedCells(Value), Values);
    // At most the stamp and the value of each row per pass (and the current cell's frame).
    EXPECT_LE(Grid.InvalidatedCells() - Total, Made * static_cast<uint64_t>(2 * Grid.RowCount() + 2));
    RecordProperty("RefreshPasses", static_cast<int>(Made));
    RecordProperty("WorstWaitMs", static_cast<int>(Worst.load()));
    EXPECT_LT(Worst.load(), 100u);
    EXPECT_TRUE(kotest::PumpUntil(
        [&] {
            return Grid.Cells(Value, RowOf(View, Random->KoFloat1)) == Random->KoFloat1->GetValueAsString();
        },
        2s));

    // A cell being edited is left alone while the module keeps stepping.
    ASSERT_TRUE(View->SelectVariable(Random->KoInteger1));
    Type(Grid.Handle(), L"5");
    ASSERT_TRUE(Grid.EditorMode());
    kotest::PumpFor(500ms);
    EXPECT_TRUE(Grid.EditorMode());
    EXPECT_EQ(KoWindowText(Grid.EditorHandle()), L"5");
    EXPECT_EQ(Grid.Cells(Value, RowOf(View, Random->KoInteger1)), L"5");
    Key(Grid.EditorHandle(), VK_ESCAPE);
    EXPECT_EQ(Grid.Cells(Value, RowOf(View, Random->KoInteger1)), Random->KoInteger1->GetValueAsString());
    Stop(Random);
}

// ---- the variant editor ----

class VariantEditor : public VariablesWindow {
protected:
    void SetUp() override {
        VariablesWindow::SetUp();
        Dialog.reset(new TKoVariantEditDlg(nullptr));
    }
    void TearDown() override {
        Dialog.reset();
        VariablesWindow::TearDown();
    }
    void SetDefault(const std::wstring& Text) {
        SetWindowTextW(Dialog->Control(TKoVariantEditDlg::idDefaultEdit), Text.c_str());
    }
    void Press(int Id) { SendMessageW(Dialog->Handle(), WM_COMMAND, Id, 0); }
    std::vector<std::wstring> Column(int Col) const {
        std::vector<std::wstring> Texts;
        for (int R = 1; R < Dialog->Grid().RowCount(); ++R) Texts.push_back(Dialog->Grid().Cells(Col, R));
        return Texts;
    }
    TKoOwned<TKoVariantEditDlg> Dialog;
};

TEST_F(VariantEditor, ThreeDoublesShowAndComeBackStartingAtZero) {
    EXPECT_EQ(Dialog->Caption(), L"Variant Editor");
    EXPECT_EQ(Dialog->StatusText(), L"");
    Dialog->SetValue(DoubleArray({1.5, 2.5, 3.5}));
    TKoGrid& Grid = Dialog->Grid();
    EXPECT_EQ(Grid.RowCount(), 4);
    EXPECT_EQ(Grid.ColCount(), 2);
    EXPECT_EQ(Grid.Cells(0, 0), L"#");
    EXPECT_EQ(Grid.Cells(1, 0), L"Value");
    EXPECT_EQ(Column(0), (std::vector<std::wstring>{L"0", L"1", L"2"}));
    EXPECT_EQ(Column(1)[1], VariantToText(TKoOleVariant(2.5).Get()));
    Press(IDOK);
    EXPECT_EQ(Dialog->ModalResult(), mrOk);
    const VARIANT& Value = Dialog->Value().Get();
    EXPECT_EQ(Value.vt, VT_ARRAY | VT_R8);
    LONG Low = -1;
    SafeArrayGetLBound(KoVariantArray(Value), 1, &Low);
    EXPECT_EQ(Low, 0);
    EXPECT_TRUE(VariantsEqual(Value, DoubleArray({1.5, 2.5, 3.5}), true));
}

TEST_F(VariantEditor, BadElementsShowEmptyAndComeBackAsTheBadValueOfTheirType) {
    Dialog->SetValue(DoubleArray({1.0, KoBadFloat}));
    EXPECT_EQ(Dialog->Grid().Cells(1, 2), L"");
    Dialog->GridToValue();
    EXPECT_EQ(Element(Dialog->Value().Get(), 1).Get().dblVal, KoBadFloat);

    TKoSafeArray Strings(VT_BSTR, {{0, 1}});
    LONG I = 0;
    KoSafeArrayPutVariant(Strings.Get(), &I, TKoOleVariant(L"a").Get());
    Dialog->SetValue(TKoOleVariant::TakeArray(VT_BSTR, Strings.Release()));
    EXPECT_EQ(Column(1), (std::vector<std::wstring>{L"a", L""}));
    Dialog->GridToValue();
    const TKoOleVariant Second = Element(Dialog->Value().Get(), 1);
    EXPECT_EQ(Second.Type(), VT_BSTR);
    EXPECT_EQ(std::wstring(Second.Get().bstrVal), L"#BAD");
}

TEST_F(VariantEditor, AnEmptyOrNullValueComesBackAsAnArrayOfVariants) {
    for (const TKoOleVariant& Start : {TKoOleVariant(), TKoOleVariant::Null()}) {
        Dialog->SetValue(Start);
        EXPECT_EQ(Dialog->Grid().RowCount(), 1);
        SetDefault(L"x");
        Dialog->AddElement(true);
        Dialog->AddElement(true);
        Press(IDOK);
        EXPECT_EQ(Dialog->ModalResult(), mrOk);
        EXPECT_EQ(Dialog->Value().Type(), VT_ARRAY | VT_VARIANT);
        EXPECT_EQ(VarArrayLength(Dialog->Value().Get()), 2);
        EXPECT_EQ(std::wstring(Element(Dialog->Value().Get(), 1).Get().bstrVal), L"x");
    }
}

TEST_F(VariantEditor, InsertPutsTheDefaultBeforeTheCurrentElement) {
    Dialog->SetValue(DoubleArray({1, 2, 3}));
    SetDefault(L"5");
    ASSERT_TRUE(Dialog->Grid().SetCurrent(1, 2));
    Key(Dialog->Grid().Handle(), VK_INSERT);
    EXPECT_EQ(Column(0), (std::vector<std::wstring>{L"0", L"1", L"2", L"3"}));
    Press(IDOK);
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), DoubleArray({1, 5, 2, 3}), true));
}

TEST_F(VariantEditor, DeleteRemovesTheLastOrMovesTheLaterValuesUp) {
    Dialog->SetValue(DoubleArray({1, 2, 3}));
    ASSERT_TRUE(Dialog->Grid().SetCurrent(1, 3));
    Key(Dialog->Grid().Handle(), VK_DELETE);
    Press(IDOK);
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), DoubleArray({1, 2}), true));
    Dialog->SetValue(DoubleArray({1, 2, 3}));
    ASSERT_TRUE(Dialog->Grid().SetCurrent(1, 1));
    Press(TKoVariantEditDlg::cmDelete);
    Press(IDOK);
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), DoubleArray({2, 3}), true));
}

TEST_F(VariantEditor, TabOnTheLastRowAppendsTheDefault) {
    Dialog->SetValue(DoubleArray({1, 2}));
    SetDefault(L"9");
    ASSERT_TRUE(Dialog->Grid().SetCurrent(1, 2));
    Key(Dialog->Grid().Handle(), VK_TAB);
    EXPECT_EQ(Dialog->Grid().RowCount(), 4);
    EXPECT_EQ(Dialog->Grid().Row(), 3);
    Press(IDOK);
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), DoubleArray({1, 2, 9}), true));
    // Down does the same.
    Key(Dialog->Grid().Handle(), VK_DOWN);
    EXPECT_EQ(Dialog->Grid().RowCount(), 5);
}

TEST_F(VariantEditor, SetLengthZeroOrNegativeLeavesTheHeaderAndOkGivesAnEmptyArray) {
    for (const wchar_t* Length : {L"0", L"-3"}) {
        Dialog->SetValue(DoubleArray({1, 2, 3, 4, 5}));
        Dialog->SetLength(Length);
        EXPECT_EQ(Dialog->Grid().RowCount(), 1);
        EXPECT_EQ(Dialog->Grid().Cells(0, 0), L"#");
        Press(IDOK);
        EXPECT_EQ(Dialog->ModalResult(), mrOk);
        EXPECT_EQ(Dialog->Value().Type(), VT_ARRAY | VT_R8);
        EXPECT_EQ(VarArrayLength(Dialog->Value().Get()), 0);
    }
    // Longer: appended elements hold the default text; a text that is no integer changes nothing.
    Dialog->SetValue(DoubleArray({1}));
    SetDefault(L"2");
    Dialog->SetLength(L"3");
    EXPECT_EQ(Column(1), (std::vector<std::wstring>{L"1", L"2", L"2"}));
    EXPECT_THROW(Dialog->SetLength(L"three"), EKoError);
    EXPECT_EQ(Dialog->Grid().RowCount(), 4);
}

TEST_F(VariantEditor, SetLengthAsksForTheLengthInAnInputBox) {
    Dialog->SetValue(DoubleArray({1, 2, 3, 4, 5}));
    Dialog->Show();
    std::wstring Offered;
    WindowAnswer Answer(L"TKoForm", L"SetLength", [&](HWND Box) {
        wchar_t Text[32] = {};
        GetWindowTextW(GetDlgItem(Box, 101), Text, 32);
        Offered = Text;
        SendMessageW(GetDlgItem(Box, 101), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"2"));
        PostMessageW(Box, WM_COMMAND, IDOK, 0);
    });
    Press(TKoVariantEditDlg::cmSetLength);
    EXPECT_TRUE(Answer.Answered());
    EXPECT_EQ(Offered, L"5");
    EXPECT_EQ(Dialog->Grid().RowCount(), 3);
    // A text that is no integer is reported and changes nothing.
    WindowAnswer Wrong(L"TKoForm", L"SetLength", [](HWND Box) {
        SendMessageW(GetDlgItem(Box, 101), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"x"));
        PostMessageW(Box, WM_COMMAND, IDOK, 0);
    });
    Press(TKoVariantEditDlg::cmSetLength);
    EXPECT_TRUE(Wrong.Answered());
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find(L"'x' is not a valid integer value"), std::wstring::npos);
    EXPECT_EQ(Dialog->Grid().RowCount(), 3);
}

TEST_F(VariantEditor, TwoDimensionsAndASecondDimensionOfOneBecomingOneDimension) {
    TKoSafeArray Table(VT_I4, {{0, 1}, {0, 2}});
    for (LONG I = 0; I < 2; ++I)
        for (LONG J = 0; J < 3; ++J) {
            LONG Indices[2] = {I, J};
            KoSafeArrayPutVariant(Table.Get(), Indices,
                                  TKoOleVariant(static_cast<int32_t>(I * 10 + J)).Get());
        }
    const TKoOleVariant Original = TKoOleVariant::TakeArray(VT_I4, Table.Release());
    Dialog->SetValue(Original);
    TKoGrid& Grid = Dialog->Grid();
    EXPECT_EQ(Grid.ColCount(), 4);
    EXPECT_EQ(Grid.RowCount(), 3);
    EXPECT_EQ(Grid.Cells(3, 0), L"2");
    EXPECT_EQ(Grid.Cells(3, 2), L"12");
    Press(IDOK);
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), Original, true));
    // An error names the row and the column.
    Grid.SetCells(2, 2, L"abc");
    Press(IDOK);
    EXPECT_EQ(Dialog->ModalResult(), 0);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find(L"\rRow: 1 Column: 1"), std::wstring::npos) << KoUtf8(Errors[0]);

    TKoSafeArray Narrow(VT_R8, {{0, 2}, {0, 0}});
    for (LONG I = 0; I < 3; ++I) {
        LONG Indices[2] = {I, 0};
        KoSafeArrayPutVariant(Narrow.Get(), Indices, TKoOleVariant(I + 0.5).Get());
    }
    Dialog->SetValue(TKoOleVariant::TakeArray(VT_R8, Narrow.Release()));
    EXPECT_EQ(Grid.ColCount(), 2);
    EXPECT_EQ(Grid.Cells(1, 0), L"0");
    Press(IDOK);
    EXPECT_EQ(SafeArrayGetDim(KoVariantArray(Dialog->Value().Get())), 1u);
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), DoubleArray({0.5, 1.5, 2.5}), true));
}

TEST_F(VariantEditor, ATextThatIsNoIntegerReportsItsRowAndTheDialogStaysOpen) {
    TKoSafeArray Numbers(VT_I4, {{0, 2}});
    for (LONG I = 0; I < 3; ++I)
        KoSafeArrayPutVariant(Numbers.Get(), &I, TKoOleVariant(static_cast<int32_t>(I)).Get());
    const TKoOleVariant Original = TKoOleVariant::TakeArray(VT_I4, Numbers.Release());
    Dialog->SetValue(Original);
    Dialog->Show();
    TKoGrid& Grid = Dialog->Grid();
    ASSERT_TRUE(Grid.SetCurrent(1, 2));
    Type(Grid.Handle(), L"a");
    ASSERT_TRUE(Grid.EditorMode());
    Type(Grid.EditorHandle(), L"bc");
    Key(Grid.EditorHandle(), VK_RETURN);
    EXPECT_EQ(Grid.Cells(1, 2), L"abc");
    Press(IDOK);
    EXPECT_EQ(Dialog->ModalResult(), 0);
    ASSERT_EQ(Errors.size(), 1u);
    const std::wstring Ending = L"\rRow: 1";
    ASSERT_GT(Errors[0].size(), Ending.size());
    EXPECT_EQ(Errors[0].substr(Errors[0].size() - Ending.size()), Ending) << KoUtf8(Errors[0]);
    EXPECT_TRUE(IsWindowVisible(Dialog->Handle()));
    EXPECT_TRUE(VariantsEqual(Dialog->Value(), Original, true));
    EXPECT_EQ(Grid.Cells(1, 2), L"abc");
    Press(IDCANCEL);
    EXPECT_EQ(Dialog->ModalResult(), mrCancel);
}

TEST_F(VariantEditor, ReadOnlyTakesNoTypingAndSaysSoInTheStatusBar) {
    Dialog->SetValue(DoubleArray({1, 2}));
    Dialog->SetReadOnly(true);
    EXPECT_EQ(Dialog->StatusText(), L"ReadOnly");
    ASSERT_TRUE(Dialog->Grid().SetCurrent(1, 1));
    Type(Dialog->Grid().Handle(), L"7");
    EXPECT_FALSE(Dialog->Grid().EditorMode());
    EXPECT_EQ(Dialog->Grid().Cells(1, 1), VariantToText(TKoOleVariant(1.0).Get()));
    // The element actions stay.
    Press(TKoVariantEditDlg::cmDelete);
    EXPECT_EQ(Dialog->Grid().RowCount(), 2);
    Dialog->SetReadOnly(false);
    EXPECT_EQ(Dialog->StatusText(), L"");
}

TEST_F(VariantEditor, ShownModallyItEndsWithTheButtonsResult) {
    Dialog->SetValue(DoubleArray({1, 2}));
    {
        WindowAnswer Answer(L"TKoForm", L"Variant Editor",
                            [](HWND Window) { PostMessageW(Window, WM_COMMAND, IDOK, 0); });
        EXPECT_EQ(Dialog->ShowModal(), mrOk);
        EXPECT_TRUE(Answer.Answered());
    }
    EXPECT_FALSE(IsWindowVisible(Dialog->Handle()));
    {
        WindowAnswer Answer(L"TKoForm", L"Variant Editor",
                            [](HWND Window) { PostMessageW(Window, WM_CLOSE, 0, 0); });
        EXPECT_EQ(Dialog->ShowModal(), mrCancel);
        EXPECT_TRUE(Answer.Answered());
    }
    // The main window was disabled meanwhile and is enabled again.
    EXPECT_TRUE(IsWindowEnabled(Form->Handle()));
}

} // namespace
