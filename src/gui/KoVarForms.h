#pragma once
// The variables window: the simulation modules, the variables of the selected module with their
// live values, all properties of the selected variable, in-place editing of values and
// properties, and the variant editor for array values.
//
// Live updates stay cheap: a change of a listed variable only marks its row; a refresh pass at
// most every RefreshInterval ms rewrites the marked rows, and the grid repaints the cells whose
// text changed. A grid in edit mode is left alone until the edit ends.

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "KoForms.h"
#include "KoGrids.h"
#include "KoVarTypes.h"

class TKoStringTree;
class TKoVar;
class TKoVarList;

// The columns of the variable grid.
enum TVarGridColumn : int { vgcName, vgcType, vgcActive, vgcTimestamp, vgcSourceAddress, vgcValue };

class TKoVarForm : public TKoForm {
public:
    enum : int {
        idModulesLabel = 600,
        idModuleTree,
        idConnectorsLabel,
        idConnectorGrid,
        idVariablesLabel,
        idVarGrid,
        idVarPropsLabel,
        idVarPropGrid,
        idValuePanel,
        cmEditor = 620,
        cmLocalTime,
        cmShowConnectors,
        cmShowModules,
        cmShowVarProps,
        cmShowPropValuePanel,
        cmHideEmptyModules,
        // WM_COMMAND cmSelectModule + n selects the module of node n of the module list;
        // cmSelectVariable + n the variable of grid row n + 1 (what a script of the windows
        // sends instead of clicks).
        cmSelectModule = 640,
        cmSelectVariable = 800,
    };
    static constexpr unsigned RefreshInterval = 100; // ms between two refresh passes at most
    static constexpr size_t WrapLength = 50;         // a longer value panel text gets blanks

    explicit TKoVarForm(TKoComponent* AOwner);
    ~TKoVarForm() override;
    const wchar_t* ClassName() const override { return L"TKoVarForm"; }

    // ---- modules ----
    // Adds each component Owner owns with AddComponent, then shows the module list.
    void AddComponents(TKoComponent* Owner, int Level);
    bool AddComponent(TKoComponent* AComponent, int Level);
    // Components must be of this class (or a descendant) to be listed; Name is its class name.
    template <class T> void IncludeClass(const std::wstring& Name) {
        IncludeClass(Name, [](TKoComponent* C) { return dynamic_cast<T*>(C) != nullptr; });
    }
    void IncludeClass(const std::wstring& Name, std::function<bool(TKoComponent*)> IsInstance);
    std::vector<std::wstring> IncludedClasses() const;
    void Clear();
    TKoComponent* SelectedModule() const;
    // Lists the module at level 0 when it is not listed yet, selects it and refreshes.
    void SetSelectedModule(TKoComponent* Module);
    TKoComponent* Modules(int Index) const;
    int ModuleCount() const;
    std::vector<std::wstring> ModuleNames() const;
    bool IsEmpty() const { return ModuleCount() == 0; }

    // ---- variables and properties ----
    TKoVarList& Variables() const { return *FVariables; }
    // The variable of the current grid row, null on the header row or without variables.
    TKoVar* SelectedVariable() const;
    // The property of the current property-grid row, or vpValue while the variable grid is the
    // active one.
    TKoVarPropType SelectedProp() const;
    bool PropGridActive() const { return FPropGridActive; }
    // Makes the variable grid (row of that variable) or the property grid (row of that property)
    // the active one.
    bool SelectVariable(TKoVar* Variable);
    bool SelectProp(TKoVarPropType Prop);

    // ---- settings ----
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    bool HideEmptyModules() const { return FHideEmptyModules; }
    void SetHideEmptyModules(bool Value);
    bool LocalTimeBias() const { return FLocalTimeBias; }
    void SetLocalTimeBias(bool Value);
    bool ShowName() const { return FShowName; }
    void SetShowName(bool Value);
    bool ShowModules() const { return FShowModules; }
    void SetShowModules(bool Value);
    bool ShowConnectors() const { return FShowConnectors; }
    void SetShowConnectors(bool Value);
    bool ShowVariables() const { return FShowVariables; }
    void SetShowVariables(bool Value);
    bool ShowVarProps() const { return FShowVarProps; }
    void SetShowVarProps(bool Value);
    bool ShowPropValuePanel() const { return FShowPropValuePanel; }
    void SetShowPropValuePanel(bool Value);
    // Display position of a column kind (-1: hidden); writing moves, inserts or (-1) removes it.
    int ColumnIndex(TVarGridColumn Column) const;
    void SetColumnIndex(TVarGridColumn Column, int Index);
    // Marks the window for a refill at its next repaint and repaints.
    void RefreshAll();

    // ---- actions ----
    bool EditorEnabled() const;
    void EditorAction();
    // The check state of a check action (cmLocalTime ... cmHideEmptyModules).
    bool Checked(int Command) const;
    // The popup menu as it would show now: captions (with shortcut text) and states.
    struct TMenuLine {
        std::wstring Caption;
        int Command;
        bool Checked;
        bool Enabled;
        bool Default;
    };
    std::vector<TMenuLine> PopupMenuLines() const;

    // ---- views ----
    TKoGrid& VarGrid() const { return *FVarGrid; }
    TKoGrid& VarPropGrid() const { return *FVarPropGrid; }
    TKoGrid& ConnectorGrid() const { return *FConnectorGrid; }
    std::wstring ValuePanelText() const;
    std::wstring VarGridEditText() const { return FVarGridEditText; }
    std::wstring VarPropGridEditText() const { return FVarPropGridEditText; }
    // The hint of a variable-grid row: the variable's Name=Value property lines.
    std::wstring HintAt(int Row) const;
    // Refresh passes run so far (live updates).
    uint64_t RefreshPasses() const { return FRefreshPasses; }

protected:
    bool HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) override;
    void Command(int Id, int Code, HWND Control) override;
    void Layout(int Width, int Height) override;
    void Notification(TKoComponent* AComponent, TKoOperation Operation) override;

private:
    static LRESULT CALLBACK TreeProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR Id,
                                     DWORD_PTR Data);
    struct TIncludedClass {
        std::wstring Name;
        std::function<bool(TKoComponent*)> IsInstance;
    };
    bool Qualifies(TKoComponent* AComponent) const;
    void ShowModuleList();
    void ModuleSelected();
    void FillVarGrid();
    void FillVarRow(int Row, TKoVar* Variable);
    void FillHeader();
    void ApplyColumns();
    void FillVarPropGrid();
    void FillConnectorGrid();
    void UpdateValuePanel();
    void UpdateActions();
    void VarChange(TKoVar* Sender, TKoVarPropTypes Props);
    void RefreshPass();
    void ApplyVarEdit(bool Apply);
    void ApplyPropEdit(bool Apply);
    bool ShortcutKey(WPARAM Key);
    void ShowPopupMenu(POINT At);
    void SetPropGridActive(bool Value);
    std::wstring ColumnText(TVarGridColumn Column, TKoVar* Variable) const;
    int ValueColumn() const { return ColumnIndex(vgcValue); }

    std::unique_ptr<TKoStringTree> FModuleList;
    std::unique_ptr<TKoVarList> FVariables;
    // The properties shown in the property grid, row 1 first.
    std::vector<TKoVarPropType> FPropRows;
    int FEditedPropRow = 0;
    std::vector<TVarGridColumn> FColumns;
    std::vector<TIncludedClass> FIncludedClasses;
    std::vector<std::pair<TKoComponent*, int>> FAddedFrom;
    TKoComponent* FSelectedModule = nullptr;
    bool FHideEmptyModules = false;
    bool FLocalTimeBias = false;
    bool FNeedRefresh = false;
    bool FReadOnly = true;
    bool FShowName = false;
    bool FShowModules = true;
    bool FShowConnectors = true;
    bool FShowVariables = true;
    bool FShowVarProps = true;
    bool FShowPropValuePanel = true;
    bool FPropGridActive = false;
    bool FFillingTree = false;
    std::wstring FVarGridEditText;
    bool FVarEditPending = false;
    std::wstring FVarPropGridEditText;
    bool FPropEditPending = false;
    std::unique_ptr<TKoGrid> FConnectorGrid;
    std::unique_ptr<TKoGrid> FVarGrid;
    std::unique_ptr<TKoGrid> FVarPropGrid;
    TKoWindowHandle FToolTip;
    // Variables that changed since the last refresh pass.
    std::set<TKoVar*> FChanged;
    bool FRefreshTimerSet = false;
    uint64_t FRefreshPasses = 0;
    int FModulesWidth = 140;
    int FVarPropsWidth = 250;
    int FSplitter = 0; // 1: modules, 2: var props, while dragging
};
