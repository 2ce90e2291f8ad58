#include "KoVarForms.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>

#include "KoApplication.h"
#include "KoRTTI.h"
#include "KoStringTree.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVarLinks.h"
#include "KoVariantEditDlgs.h"
#include "KoVars.h"
#include "KoVarsRTTI.h"

namespace {

constexpr UINT_PTR RefreshTimerId = 1;
constexpr int LabelHeight = 18;
constexpr int SplitterWidth = 5;
constexpr int ConnectorHeight = 90;
constexpr int ValuePanelHeight = 52;

const wchar_t* const ColumnCaptions[] = {L"Name",      L"Type",          L"Active",
                                         L"Timestamp", L"SourceAddress", L"Value"};

int DefaultWidth(TVarGridColumn Column) {
    return Column == vgcName || Column == vgcTimestamp || Column == vgcValue ? 120 : 64;
}

// The text of one property; an error reads as its message.
std::wstring PropText(TKoVar* Variable, TKoVarPropType Prop) {
    try {
        return Variable->GetPropAsString(Prop);
    } catch (...) {
        return KoCurrentExceptionText();
    }
}

} // namespace

TKoVarForm::TKoVarForm(TKoComponent* AOwner) : TKoForm(AOwner, L"Variables", 920, 500) {
    KoRegisterVarsRTTI();
    FModuleList = std::make_unique<TKoStringTree>();
    FModuleList->OnChange = [this](TKoStringTree*) { ShowModuleList(); };
    FVariables = std::make_unique<TKoVarList>();
    FVariables->SetOnChange([this](TKoVar* Sender, TKoVarPropTypes Props) { VarChange(Sender, Props); });
    FColumns = {vgcName, vgcType, vgcActive, vgcTimestamp, vgcValue};

    AddControl(L"STATIC", L"Modules", SS_CENTERIMAGE, idModulesLabel);
    AddControl(WC_TREEVIEWW, L"",
               TVS_HASLINES | TVS_LINESATROOT | TVS_HASBUTTONS | TVS_SHOWSELALWAYS | WS_TABSTOP, idModuleTree,
               WS_EX_CLIENTEDGE);
    SetWindowSubclass(Control(idModuleTree), &TKoVarForm::TreeProc, 1, reinterpret_cast<DWORD_PTR>(this));
    AddControl(L"STATIC", L"Connectors", SS_CENTERIMAGE, idConnectorsLabel);
    AddControl(L"STATIC", L"Variables", SS_CENTERIMAGE, idVariablesLabel);
    AddControl(L"STATIC", L"VarProps", SS_CENTERIMAGE, idVarPropsLabel);
    AddControl(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, idValuePanel, WS_EX_STATICEDGE);

    FConnectorGrid = std::make_unique<TKoGrid>(Handle(), idConnectorGrid, Font());
    FConnectorGrid->SetFixedCols(0);
    FConnectorGrid->SetColCount(4);
    FConnectorGrid->SetColWidths(0, 120);
    FConnectorGrid->SetColWidths(1, 80);
    const wchar_t* const ConnectorCaptions[] = {L"Variable", L"Type", L"Active", L"Links"};
    for (int C = 0; C < 4; ++C) FConnectorGrid->SetCells(C, 0, ConnectorCaptions[C]);

    FVarGrid = std::make_unique<TKoGrid>(Handle(), idVarGrid, Font());
    FVarGrid->SetFixedCols(0);
    FVarGrid->SetRowHeight(16);
    FVarGrid->OnSelectCell = [this](int Col, int Row) {
        // Only the value column: a click elsewhere goes to the value of that row.
        if (Col == ValueColumn()) return true;
        if (ValueColumn() >= 0) FVarGrid->SetCurrent(ValueColumn(), Row);
        return false;
    };
    FVarGrid->OnSelected = [this](int, int) {
        SetPropGridActive(false);
        FillVarPropGrid();
        UpdateValuePanel();
        UpdateActions();
    };
    FVarGrid->CanEditCell = [this](int Col, int) {
        TKoVar* Variable = SelectedVariable();
        return !FReadOnly && Col == ValueColumn() && Variable && !Variable->GetPropReadOnly(vpValue) &&
               !Variable->GetPropIsArray(vpValue);
    };
    FVarGrid->OnSetEditText = [this](int, int, const std::wstring& Text) {
        FVarGridEditText = Text;
        FVarEditPending = true;
    };
    FVarGrid->OnEditDone = [this](int, int, bool Apply) { ApplyVarEdit(Apply); };
    FVarGrid->OnDblClick = [this] {
        SetPropGridActive(false);
        EditorAction();
    };
    FVarGrid->OnKeyDown = [this](WPARAM Key) { return ShortcutKey(Key); };
    FVarGrid->OnEnter = [this] { SetPropGridActive(false); };
    FVarGrid->OnMouseRow = [this](int) {
        if (FToolTip.Get()) SendMessageW(FToolTip.Get(), TTM_POP, 0, 0);
    };

    FVarPropGrid = std::make_unique<TKoGrid>(Handle(), idVarPropGrid, Font());
    FVarPropGrid->SetColCount(2);
    FVarPropGrid->SetFixedCols(1);
    FVarPropGrid->SetColWidths(0, 120);
    FVarPropGrid->SetColWidths(1, 100);
    FVarPropGrid->SetCells(0, 0, L"Property");
    FVarPropGrid->SetCells(1, 0, L"Value");
    FVarPropGrid->OnSelectCell = [](int Col, int) { return Col == 1; };
    FVarPropGrid->OnSelected = [this](int, int) {
        SetPropGridActive(true);
        UpdateValuePanel();
        UpdateActions();
    };
    FVarPropGrid->CanEditCell = [this](int Col, int Row) {
        TKoVar* Variable = SelectedVariable();
        if (FReadOnly || Col != 1 || !Variable || Row < 1 || Row > static_cast<int>(FPropRows.size()))
            return false;
        const TKoVarPropType Prop = FPropRows[static_cast<size_t>(Row - 1)];
        return !Variable->GetPropIsArray(Prop) && !Variable->GetPropReadOnly(Prop);
    };
    FVarPropGrid->OnSetEditText = [this](int, int, const std::wstring& Text) {
        FVarPropGridEditText = Text;
        FPropEditPending = true;
    };
    FVarPropGrid->OnEditDone = [this](int, int Row, bool Apply) {
        FEditedPropRow = Row;
        ApplyPropEdit(Apply);
    };
    FVarPropGrid->OnDblClick = [this] {
        SetPropGridActive(true);
        EditorAction();
    };
    FVarPropGrid->OnKeyDown = [this](WPARAM Key) { return ShortcutKey(Key); };
    FVarPropGrid->OnEnter = [this] { SetPropGridActive(true); };

    // Hints over the variable rows; their text is asked for when one is shown.
    FToolTip.Reset(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                   WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, 0, 0, 0, 0, Handle(), nullptr,
                                   GetModuleHandleW(nullptr), nullptr));
    if (FToolTip.Get()) {
        SendMessageW(FToolTip.Get(), TTM_SETMAXTIPWIDTH, 0, KoScale(500));
        TTTOOLINFOW Tool{};
        Tool.cbSize = sizeof(Tool);
        Tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        Tool.hwnd = Handle();
        Tool.uId = reinterpret_cast<UINT_PTR>(FVarGrid->Handle());
        Tool.lpszText = LPSTR_TEXTCALLBACKW;
        SendMessageW(FToolTip.Get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&Tool));
    }

    FillConnectorGrid();
    ApplyColumns();
    FillVarGrid();
    FillVarPropGrid();
    UpdateActions();
    Relayout();
}

TKoVarForm::~TKoVarForm() {
    if (Handle()) KillTimer(Handle(), RefreshTimerId);
    if (const HWND Tree = Control(idModuleTree)) RemoveWindowSubclass(Tree, &TKoVarForm::TreeProc, 1);
    FVariables->SetOnChange(nullptr);
    FModuleList->OnChange = nullptr;
}

LRESULT CALLBACK TKoVarForm::TreeProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR,
                                      DWORD_PTR Data) {
    // The window's shortcuts work in the module tree too.
    try {
        if (Msg == WM_KEYDOWN && reinterpret_cast<TKoVarForm*>(Data)->ShortcutKey(WParam)) return 0;
    } catch (...) {
        Application().HandleException(nullptr);
        return 0;
    }
    return DefSubclassProc(Wnd, Msg, WParam, LParam);
}

void TKoVarForm::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    TKoForm::Notification(AComponent, Operation);
    if (Operation != opRemove || IsDestroying() || !FModuleList) return;
    // A listed module, or a component modules were added from, goes: the list lets go of it.
    std::erase_if(FAddedFrom, [AComponent](const auto& From) { return From.first == AComponent; });
    const int Index = FModuleList->IndexOfObject(AComponent);
    if (Index < 0) return;
    FModuleList->DeleteSubTree(Index, false);
    if (FSelectedModule == AComponent) {
        FSelectedModule = FModuleList->Count() > 0 ? Modules(0) : nullptr;
        ShowModuleList();
        ModuleSelected();
    }
}

// ---- modules ----

void TKoVarForm::IncludeClass(const std::wstring& Name, std::function<bool(TKoComponent*)> IsInstance) {
    for (const TIncludedClass& Included : FIncludedClasses)
        if (Included.Name == Name) return;
    FIncludedClasses.push_back({Name, std::move(IsInstance)});
    std::sort(FIncludedClasses.begin(), FIncludedClasses.end(),
              [](const TIncludedClass& A, const TIncludedClass& B) { return A.Name < B.Name; });
}

std::vector<std::wstring> TKoVarForm::IncludedClasses() const {
    std::vector<std::wstring> Names;
    for (const TIncludedClass& Included : FIncludedClasses) Names.push_back(Included.Name);
    return Names;
}

bool TKoVarForm::Qualifies(TKoComponent* AComponent) const {
    if (!AComponent || dynamic_cast<TKoVarForm*>(AComponent) || AComponent->ComponentCount() == 0)
        return false;
    if (FIncludedClasses.empty()) return true;
    for (const TIncludedClass& Included : FIncludedClasses)
        if (Included.IsInstance(AComponent)) return true;
    return false;
}

bool TKoVarForm::AddComponent(TKoComponent* AComponent, int Level) {
    if (!Qualifies(AComponent)) return false;
    FModuleList->BeginUpdate();
    bool Added = false;
    try {
        int Index = FModuleList->IndexOfObject(AComponent);
        if (Index < 0) {
            const std::wstring Text = AComponent == &Application() ? L"Application" : AComponent->Name();
            Index = FModuleList->AddObject(Text, Level, AComponent);
            AComponent->FreeNotification(this);
            Added = true;
        }
        for (int I = 0; I < AComponent->ComponentCount(); ++I)
            AddComponent(AComponent->Components(I), Level + 1);
        if (Added && FHideEmptyModules) {
            bool HasVariables = false;
            for (int I = 0; I < AComponent->ComponentCount() && !HasVariables; ++I)
                HasVariables = dynamic_cast<TKoVar*>(AComponent->Components(I)) != nullptr;
            if (!FModuleList->HasChildren(Index) && !HasVariables) {
                FModuleList->Delete(Index);
                Added = false;
            }
        }
        if (Added && !FSelectedModule) FSelectedModule = AComponent;
    } catch (...) {
        FModuleList->EndUpdate();
        throw;
    }
    FModuleList->EndUpdate();
    return Added;
}

void TKoVarForm::AddComponents(TKoComponent* Owner, int Level) {
    if (!Owner) return;
    FAddedFrom.emplace_back(Owner, Level);
    if (Owner != &Application()) Owner->FreeNotification(this);
    TKoComponent* Before = FVariables->AttachedTo();
    for (int I = 0; I < Owner->ComponentCount(); ++I) AddComponent(Owner->Components(I), Level);
    ShowModuleList();
    if (FSelectedModule != Before) ModuleSelected();
}

void TKoVarForm::Clear() {
    FAddedFrom.clear();
    FSelectedModule = nullptr;
    FModuleList->Clear();
    ShowModuleList();
    ModuleSelected();
}

TKoComponent* TKoVarForm::SelectedModule() const {
    return FSelectedModule;
}

void TKoVarForm::SetSelectedModule(TKoComponent* Module) {
    if (Module && FModuleList->IndexOfObject(Module) < 0) {
        FModuleList->AddObject(Module->Name(), 0, Module);
        Module->FreeNotification(this);
    }
    FSelectedModule = Module;
    ShowModuleList();
    ModuleSelected();
}

TKoComponent* TKoVarForm::Modules(int Index) const {
    if (Index < 0 || Index >= FModuleList->Count()) return nullptr;
    return FModuleList->Objects<TKoComponent>(Index);
}

int TKoVarForm::ModuleCount() const {
    return FModuleList->Count();
}

std::vector<std::wstring> TKoVarForm::ModuleNames() const {
    std::vector<std::wstring> Names;
    for (int I = 0; I < FModuleList->Count(); ++I) Names.push_back(FModuleList->Strings(I));
    return Names;
}

void TKoVarForm::ShowModuleList() {
    if (FModuleList->IsUpdating()) return;
    const HWND Tree = Control(idModuleTree);
    if (!Tree) return;
    FFillingTree = true;
    SendMessageW(Tree, WM_SETREDRAW, FALSE, 0);
    SendMessageW(Tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    std::vector<HTREEITEM> Parents;
    HTREEITEM Selected = nullptr;
    for (int I = 0; I < FModuleList->Count(); ++I) {
        const int Level = std::max(0, FModuleList->LevelOf(I));
        std::wstring Text = FModuleList->Strings(I);
        TVINSERTSTRUCTW Insert{};
        Insert.hParent =
            Level > 0 && Level - 1 < static_cast<int>(Parents.size()) ? Parents[Level - 1] : TVI_ROOT;
        Insert.hInsertAfter = TVI_LAST;
        Insert.item.mask = TVIF_TEXT | TVIF_PARAM;
        Insert.item.pszText = Text.data();
        Insert.item.lParam = I;
        const auto Item = reinterpret_cast<HTREEITEM>(
            SendMessageW(Tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&Insert)));
        Parents.resize(static_cast<size_t>(Level) + 1);
        Parents[static_cast<size_t>(Level)] = Item;
        if (Modules(I) == FSelectedModule && !Selected) Selected = Item;
    }
    for (HTREEITEM Item : Parents)
        if (Item) SendMessageW(Tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(Item));
    SendMessageW(Tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(Selected));
    SendMessageW(Tree, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(Tree, nullptr, TRUE);
    FFillingTree = false;
    if (FSelectedModule && FModuleList->IndexOfObject(FSelectedModule) < 0) {
        // The selected module is no longer listed.
        FSelectedModule = FModuleList->Count() > 0 ? Modules(0) : nullptr;
        ModuleSelected();
        ShowModuleList();
    }
}

void TKoVarForm::ModuleSelected() {
    if (FVarGrid->EditorMode()) FVarGrid->HideEditor(false);
    if (FVarPropGrid->EditorMode()) FVarPropGrid->HideEditor(false);
    FVarGridEditText.clear();
    FVarEditPending = false;
    FVarPropGridEditText.clear();
    FPropEditPending = false;
    FChanged.clear();
    FVariables->Attach(FSelectedModule);
    FillVarGrid();
    FVarGrid->SetCurrent(std::max(0, ValueColumn()), 1);
    FillVarPropGrid();
    UpdateValuePanel();
    UpdateActions();
}

// ---- the grids ----

void TKoVarForm::ApplyColumns() {
    FVarGrid->SetColCount(std::max<int>(1, static_cast<int>(FColumns.size())));
    for (size_t C = 0; C < FColumns.size(); ++C)
        FVarGrid->SetColWidths(static_cast<int>(C), DefaultWidth(FColumns[C]));
    FillHeader();
}

void TKoVarForm::FillHeader() {
    for (size_t C = 0; C < FColumns.size(); ++C) {
        std::wstring Caption = ColumnCaptions[FColumns[C]];
        if (FColumns[C] == vgcTimestamp) {
            if (FLocalTimeBias)
                AppendTimeZoneName(Caption);
            else
                Caption += L" (UTC)";
        }
        FVarGrid->SetCells(static_cast<int>(C), 0, Caption);
    }
}

std::wstring TKoVarForm::ColumnText(TVarGridColumn Column, TKoVar* Variable) const {
    switch (Column) {
    case vgcName:
        return FShowName ? Variable->Name() : Variable->Caption();
    case vgcType: {
        std::wstring Type = Variable->ClassName();
        if (Type.size() >= 3 && std::towupper(Type[0]) == L'T' && std::towupper(Type[1]) == L'K' &&
            std::towupper(Type[2]) == L'O')
            Type.erase(0, 3);
        return Type;
    }
    case vgcActive:
        return Variable->Active() ? L"True" : L"False";
    case vgcTimestamp:
        return FormatTimestamp(FLocalTimeBias, false, false, Variable->TimeStamp(), L"");
    case vgcValue:
        return PropText(Variable, vpValue);
    default:
        return {};
    }
}

void TKoVarForm::FillVarRow(int Row, TKoVar* Variable) {
    for (size_t C = 0; C < FColumns.size(); ++C)
        FVarGrid->SetCells(static_cast<int>(C), Row, ColumnText(FColumns[C], Variable));
    FVarGrid->SetRowObjects(Row, Variable);
}

void TKoVarForm::FillVarGrid() {
    TKoGrid& G = *FVarGrid;
    FillHeader();
    const int Count = FVariables->Count();
    if (Count == 0) {
        G.SetRowCount(2);
        for (int C = 0; C < G.ColCount(); ++C) G.SetCells(C, 1, L"");
        G.SetRowObjects(1, nullptr);
        const int NameColumn = ColumnIndex(vgcName);
        G.SetCells(NameColumn >= 0 ? NameColumn : 0, 1, L"(No variables)");
        EnableWindow(G.Handle(), FALSE);
        return;
    }
    G.SetRowCount(Count + 1);
    for (int I = 0; I < Count; ++I)
        if (TKoVar* Variable = FVariables->Variables(I)) FillVarRow(I + 1, Variable);
    EnableWindow(G.Handle(), TRUE);
}

void TKoVarForm::FillVarPropGrid() {
    TKoGrid& G = *FVarPropGrid;
    TKoVar* Variable = SelectedVariable();
    FPropRows.clear();
    if (!Variable) {
        G.SetRowCount(2);
        G.SetCells(0, 1, L"");
        G.SetCells(1, 1, L"");
        EnableWindow(G.Handle(), FALSE);
        return;
    }
    for (int P = 0; P < KoVarPropTypeCount; ++P)
        if (Variable->PropSupported(static_cast<TKoVarPropType>(P)))
            FPropRows.push_back(static_cast<TKoVarPropType>(P));
    G.SetRowCount(std::max<int>(2, static_cast<int>(FPropRows.size()) + 1));
    for (size_t I = 0; I < FPropRows.size(); ++I) {
        const int Row = static_cast<int>(I) + 1;
        G.SetCells(0, Row, VarPropNames[FPropRows[I]]);
        // A cell being typed into keeps what the user typed.
        if (!(G.EditorMode() && G.Row() == Row)) G.SetCells(1, Row, PropText(Variable, FPropRows[I]));
    }
    EnableWindow(G.Handle(), TRUE);
}

void TKoVarForm::FillConnectorGrid() {
    // No module of the system owns a connector.
    FConnectorGrid->SetRowCount(2);
    for (int C = 0; C < FConnectorGrid->ColCount(); ++C) FConnectorGrid->SetCells(C, 1, L"");
    FConnectorGrid->SetCells(0, 1, L"(No Connectors)");
    EnableWindow(FConnectorGrid->Handle(), FALSE);
}

std::wstring TKoVarForm::ValuePanelText() const {
    return KoWindowText(Control(idValuePanel));
}

void TKoVarForm::UpdateValuePanel() {
    TKoVar* Variable = SelectedVariable();
    std::wstring Text;
    if (Variable) {
        const TKoVarPropType Prop = SelectedProp();
        Text = PropText(Variable, Prop);
        if (Text.size() > WrapLength) {
            // Blanks after the separators let the label wrap.
            const std::wstring Separator = KoListSeparator();
            if (!Separator.empty()) {
                std::wstring Wrapped;
                for (size_t I = 0; I < Text.size();) {
                    if (Text.compare(I, Separator.size(), Separator) == 0) {
                        Wrapped += Separator + L" ";
                        I += Separator.size();
                    } else {
                        Wrapped += Text[I++];
                    }
                }
                Text = std::move(Wrapped);
            }
        }
        std::wstring Words;
        if (Variable->GetPropIsArray(Prop)) Words = L"Array";
        if (Variable->GetPropReadOnly(Prop)) Words += Words.empty() ? L"ReadOnly" : L",ReadOnly";
        if (!Words.empty()) Text += L" (" + Words + L")";
    }
    KoSetWindowText(Control(idValuePanel), Text);
}

// ---- selection ----

TKoVar* TKoVarForm::SelectedVariable() const {
    const int Row = FVarGrid->Row();
    if (Row < 1) return nullptr;
    auto* Variable = static_cast<TKoVar*>(FVarGrid->RowObjects(Row));
    return Variable && FVariables->IndexOf(Variable) >= 0 ? Variable : nullptr;
}

TKoVarPropType TKoVarForm::SelectedProp() const {
    if (!FPropGridActive) return vpValue;
    const int Row = FVarPropGrid->Row();
    if (Row < 1 || Row > static_cast<int>(FPropRows.size())) return vpValue;
    return FPropRows[static_cast<size_t>(Row - 1)];
}

void TKoVarForm::SetPropGridActive(bool Value) {
    if (Value == FPropGridActive) return;
    FPropGridActive = Value;
    UpdateValuePanel();
    UpdateActions();
}

bool TKoVarForm::SelectVariable(TKoVar* Variable) {
    const int Index = FVariables->IndexOf(Variable);
    if (Index < 0 || ValueColumn() < 0) return false;
    FVarGrid->SetCurrent(ValueColumn(), Index + 1);
    SetPropGridActive(false);
    return SelectedVariable() == Variable;
}

bool TKoVarForm::SelectProp(TKoVarPropType Prop) {
    for (size_t I = 0; I < FPropRows.size(); ++I)
        if (FPropRows[I] == Prop) {
            FVarPropGrid->SetCurrent(1, static_cast<int>(I) + 1);
            SetPropGridActive(true);
            return true;
        }
    return false;
}

// ---- settings ----

void TKoVarForm::SetReadOnly(bool Value) {
    FReadOnly = Value;
    UpdateActions();
}

void TKoVarForm::SetHideEmptyModules(bool Value) {
    if (Value == FHideEmptyModules) return;
    FHideEmptyModules = Value;
    // The module list is built again from where it came from.
    const std::vector<std::pair<TKoComponent*, int>> From = FAddedFrom;
    TKoComponent* Selected = FSelectedModule;
    FModuleList->BeginUpdate();
    FModuleList->Clear();
    FSelectedModule = nullptr;
    for (const auto& [Owner, Level] : From)
        for (int I = 0; I < Owner->ComponentCount(); ++I) AddComponent(Owner->Components(I), Level);
    FModuleList->EndUpdate();
    if (Selected && FModuleList->IndexOfObject(Selected) >= 0) FSelectedModule = Selected;
    ShowModuleList();
    if (FSelectedModule != FVariables->AttachedTo()) ModuleSelected();
    UpdateActions();
}

void TKoVarForm::SetLocalTimeBias(bool Value) {
    FLocalTimeBias = Value;
    FillVarGrid();
    UpdateActions();
}

void TKoVarForm::SetShowName(bool Value) {
    FShowName = Value;
    FillVarGrid();
}

void TKoVarForm::SetShowModules(bool Value) {
    FShowModules = Value;
    Relayout();
    UpdateActions();
}

void TKoVarForm::SetShowConnectors(bool Value) {
    FShowConnectors = Value;
    Relayout();
    UpdateActions();
}

void TKoVarForm::SetShowVariables(bool Value) {
    FShowVariables = Value;
    Relayout();
}

void TKoVarForm::SetShowVarProps(bool Value) {
    FShowVarProps = Value;
    Relayout();
    UpdateActions();
}

void TKoVarForm::SetShowPropValuePanel(bool Value) {
    FShowPropValuePanel = Value;
    Relayout();
    UpdateActions();
}

int TKoVarForm::ColumnIndex(TVarGridColumn Column) const {
    const auto Found = std::find(FColumns.begin(), FColumns.end(), Column);
    return Found == FColumns.end() ? -1 : static_cast<int>(Found - FColumns.begin());
}

void TKoVarForm::SetColumnIndex(TVarGridColumn Column, int Index) {
    if (FVarGrid->EditorMode()) FVarGrid->HideEditor(false);
    const auto Found = std::find(FColumns.begin(), FColumns.end(), Column);
    if (Found != FColumns.end()) FColumns.erase(Found);
    if (Index >= 0) FColumns.insert(FColumns.begin() + std::min<ptrdiff_t>(Index, FColumns.size()), Column);
    ApplyColumns();
    FillVarGrid();
    if (ValueColumn() >= 0) FVarGrid->SetCurrent(ValueColumn(), FVarGrid->Row());
}

void TKoVarForm::RefreshAll() {
    FNeedRefresh = true;
    InvalidateRect(Handle(), nullptr, FALSE);
}

// ---- live updates ----

void TKoVarForm::VarChange(TKoVar* Sender, TKoVarPropTypes) {
    // Only marked here: a refresh pass rewrites the rows at most every RefreshInterval ms.
    FChanged.insert(Sender);
    if (!FRefreshTimerSet && Handle())
        FRefreshTimerSet = SetTimer(Handle(), RefreshTimerId, RefreshInterval, nullptr) != 0;
}

void TKoVarForm::RefreshPass() {
    ++FRefreshPasses;
    const std::set<TKoVar*> Changed = std::exchange(FChanged, {});
    // A grid in edit mode is left alone: the end of the edit refills it.
    if (!FVarGrid->EditorMode())
        for (TKoVar* Variable : Changed) {
            const int Index = FVariables->IndexOf(Variable);
            if (Index >= 0) FillVarRow(Index + 1, Variable);
        }
    TKoVar* Selected = SelectedVariable();
    if (Selected && Changed.count(Selected)) {
        if (!FVarPropGrid->EditorMode()) FillVarPropGrid();
        UpdateValuePanel();
    }
}

// ---- editing ----

void TKoVarForm::ApplyVarEdit(bool Apply) {
    TKoVar* Variable = SelectedVariable();
    std::wstring Error;
    if (Apply && FVarEditPending && Variable) {
        try {
            Variable->SetValueAsString(FVarGridEditText);
        } catch (...) {
            Error = KoCurrentExceptionText();
        }
    }
    FVarGridEditText.clear();
    FVarEditPending = false;
    // The grid shows the variable's real value, also when applying failed.
    FillVarGrid();
    FillVarPropGrid();
    UpdateValuePanel();
    if (!Error.empty()) KoShowError(Error);
}

void TKoVarForm::ApplyPropEdit(bool Apply) {
    TKoVar* Variable = SelectedVariable();
    std::wstring Error;
    const int Row = FEditedPropRow;
    if (Apply && FPropEditPending && Variable && Row >= 1 && Row <= static_cast<int>(FPropRows.size())) {
        try {
            Variable->SetPropAsString(FPropRows[static_cast<size_t>(Row - 1)], FVarPropGridEditText);
        } catch (...) {
            Error = KoCurrentExceptionText();
        }
    }
    FVarPropGridEditText.clear();
    FPropEditPending = false;
    FillVarPropGrid();
    if (Variable) {
        const int Index = FVariables->IndexOf(Variable);
        if (Index >= 0 && !FVarGrid->EditorMode()) FillVarRow(Index + 1, Variable);
    }
    UpdateValuePanel();
    if (!Error.empty()) KoShowError(Error);
}

bool TKoVarForm::EditorEnabled() const {
    TKoVar* Variable = SelectedVariable();
    return Variable && Variable->GetPropIsArray(vpValue);
}

void TKoVarForm::EditorAction() {
    TKoVar* Variable = SelectedVariable();
    if (!Variable) return;
    const TKoVarPropType Prop = SelectedProp();
    TKoGrid& Grid = FPropGridActive ? *FVarPropGrid : *FVarGrid;
    if (Grid.EditorMode()) Grid.HideEditor(true);
    if (Variable->GetPropIsArray(Prop)) {
        TKoOleVariant Edited;
        bool Ok = false;
        {
            TKoOwned<TKoVariantEditDlg> Dialog(new TKoVariantEditDlg(nullptr));
            Dialog->SetIcon(reinterpret_cast<HICON>(SendMessageW(Handle(), WM_GETICON, ICON_BIG, 0)));
            Dialog->SetValue(Variable->GetPropValue(Prop));
            Dialog->SetReadOnly(Variable->GetPropReadOnly(Prop) || FReadOnly);
            Ok = Dialog->ShowModal() == mrOk;
            if (Ok) Edited = Dialog->Value();
        }
        // The variable may have gone while the dialog was open.
        if (SelectedVariable() != Variable) return;
        if (Ok && !FReadOnly && !Variable->GetPropReadOnly(Prop)) {
            std::wstring Error;
            try {
                Variable->SetPropValue(Prop, Edited.Get());
            } catch (...) {
                Error = KoCurrentExceptionText();
            }
            FVarGridEditText.clear();
            FVarEditPending = false;
            FVarPropGridEditText.clear();
            FPropEditPending = false;
            FillVarGrid();
            FillVarPropGrid();
            UpdateValuePanel();
            if (!Error.empty()) KoShowError(Error);
        }
        return;
    }
    if (Variable->GetPropDataType(Prop) == vdtBoolean) {
        const bool OnValueColumn =
            FPropGridActive ? FVarPropGrid->Col() == 1 : FVarGrid->Col() == ValueColumn();
        if (FReadOnly || !OnValueColumn) return;
        std::wstring Error;
        try {
            bool Current = false;
            if (Variable->GetPropQuality(Prop) != vpqBad) Current = Variable->GetPropAsBool(Prop);
            Variable->SetPropAsBool(Prop, !Current);
        } catch (...) {
            Error = KoCurrentExceptionText();
        }
        FillVarGrid();
        FillVarPropGrid();
        UpdateValuePanel();
        if (!Error.empty()) KoShowError(Error);
        return;
    }
    // Any other value: the double click starts typing into the cell when it may be edited.
    Grid.ShowEditor();
}

// ---- actions ----

bool TKoVarForm::Checked(int Command) const {
    switch (Command) {
    case cmLocalTime:
        return FLocalTimeBias;
    case cmShowConnectors:
        return FShowConnectors;
    case cmShowModules:
        return FShowModules;
    case cmShowVarProps:
        return FShowVarProps;
    case cmShowPropValuePanel:
        return FShowPropValuePanel;
    case cmHideEmptyModules:
        return FHideEmptyModules;
    default:
        return false;
    }
}

std::vector<TKoVarForm::TMenuLine> TKoVarForm::PopupMenuLines() const {
    // ShowConnectorsAction and ShowModulesAction have hidden items; HideEmptyModulesAction none.
    return {{L"Open Array &Editor\tCtrl+E", cmEditor, false, EditorEnabled(), true},
            {L"Local &Timestamps\tCtrl+T", cmLocalTime, FLocalTimeBias, true, false},
            {L"Show Var&Props\tCtrl+Shift+P", cmShowVarProps, FShowVarProps, true, false},
            {L"Show &Value Panel\tCtrl+Shift+V", cmShowPropValuePanel, FShowPropValuePanel, true, false}};
}

void TKoVarForm::ShowPopupMenu(POINT At) {
    std::vector<TKoMenuItem> Items;
    const std::vector<TMenuLine> Lines = PopupMenuLines();
    for (const TMenuLine& Line : Lines) Items.push_back({Line.Caption, Line.Command});
    TKoMenuHandle Menu = KoBuildMenu(Items, true);
    for (const TMenuLine& Line : Lines) {
        CheckMenuItem(Menu.Get(), static_cast<UINT>(Line.Command),
                      MF_BYCOMMAND | (Line.Checked ? MF_CHECKED : MF_UNCHECKED));
        EnableMenuItem(Menu.Get(), static_cast<UINT>(Line.Command),
                       MF_BYCOMMAND | (Line.Enabled ? MF_ENABLED : MF_GRAYED));
        if (Line.Default) SetMenuDefaultItem(Menu.Get(), static_cast<UINT>(Line.Command), FALSE);
    }
    TrackPopupMenu(Menu.Get(), TPM_RIGHTBUTTON, At.x, At.y, 0, Handle(), nullptr);
}

void TKoVarForm::UpdateActions() {
    // The editing permissions follow the selection and the options.
    TKoVar* Variable = SelectedVariable();
    FVarGrid->SetEditing(!FReadOnly && Variable && !Variable->GetPropReadOnly(vpValue) &&
                         !Variable->GetPropIsArray(vpValue));
    FVarPropGrid->SetEditing(!FReadOnly && Variable != nullptr);
}

bool TKoVarForm::ShortcutKey(WPARAM Key) {
    struct TShortcut {
        wchar_t Letter;
        bool Shift;
        int Command;
    };
    static const TShortcut Shortcuts[] = {
        {L'E', false, cmEditor},          {L'T', false, cmLocalTime},   {L'C', true, cmShowConnectors},
        {L'M', true, cmShowModules},      {L'P', true, cmShowVarProps}, {L'V', true, cmShowPropValuePanel},
        {L'H', true, cmHideEmptyModules},
    };
    for (const TShortcut& Shortcut : Shortcuts)
        if (KoIsShortcut(Key, Shortcut.Letter, Shortcut.Shift)) {
            Command(Shortcut.Command, 0, nullptr);
            return true;
        }
    return false;
}

std::wstring TKoVarForm::HintAt(int Row) const {
    if (Row < 1 || Row >= FVarGrid->RowCount()) return {};
    auto* Variable = static_cast<TKoVar*>(FVarGrid->RowObjects(Row));
    if (!Variable || FVariables->IndexOf(Variable) < 0) return {};
    try {
        TKoStrings Lines;
        ObjectToStrings(TKoRTTIObject(Variable), Lines);
        std::wstring Text;
        for (int I = 0; I < Lines.Count(); ++I) Text += (I ? L"\r\n" : L"") + Lines.Strings(I);
        return Text;
    } catch (...) {
        return {};
    }
}

// ---- messages ----

bool TKoVarForm::HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) {
    switch (Msg) {
    case WM_TIMER:
        if (WParam != RefreshTimerId) return false;
        KillTimer(Handle(), RefreshTimerId);
        FRefreshTimerSet = false;
        RefreshPass();
        Result = 0;
        return true;
    case WM_PAINT:
        if (FNeedRefresh) {
            FNeedRefresh = false;
            FillConnectorGrid();
            if (!FVarGrid->EditorMode()) FillVarGrid();
        }
        return false;
    case WM_CONTEXTMENU: {
        if (reinterpret_cast<HWND>(WParam) != FVarGrid->Handle()) return false;
        ShowPopupMenu(KoContextMenuPoint(LParam));
        Result = 0;
        return true;
    }
    case WM_NOTIFY: {
        auto* Header = reinterpret_cast<NMHDR*>(LParam);
        if (Header->code == TVN_SELCHANGEDW && Header->idFrom == idModuleTree) {
            if (!FFillingTree) {
                const auto* Change = reinterpret_cast<NMTREEVIEWW*>(LParam);
                TKoComponent* Module = Modules(static_cast<int>(Change->itemNew.lParam));
                if (Module && Module != FSelectedModule) {
                    FSelectedModule = Module;
                    ModuleSelected();
                }
            }
            Result = 0;
            return true;
        }
        if (Header->code == TTN_GETDISPINFOW) {
            auto* Info = reinterpret_cast<NMTTDISPINFOW*>(LParam);
            POINT Cursor{};
            GetCursorPos(&Cursor);
            ScreenToClient(FVarGrid->Handle(), &Cursor);
            int Col = -1, Row = -1;
            FVarGrid->CellAt(Cursor, Col, Row);
            static std::wstring Text;
            Text = HintAt(Row);
            Info->lpszText = Text.data();
            Result = 0;
            return true;
        }
        return false;
    }
    case WM_LBUTTONDOWN:
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP:
    case WM_SETCURSOR: {
        POINT At{};
        if (Msg == WM_SETCURSOR) {
            if (reinterpret_cast<HWND>(WParam) != Handle() || LOWORD(LParam) != HTCLIENT) return false;
            GetCursorPos(&At);
            ScreenToClient(Handle(), &At);
        } else {
            At = {static_cast<short>(LOWORD(LParam)), static_cast<short>(HIWORD(LParam))};
        }
        const int Unit = KoScale(96);
        const int X = Unit > 0 ? MulDiv(At.x, 96, Unit) : At.x;
        const SIZE Size = ClientSize96();
        const bool OnModules = FShowModules && X >= FModulesWidth && X < FModulesWidth + SplitterWidth;
        const int PropsLeft = Size.cx - FVarPropsWidth - SplitterWidth;
        const bool OnProps = FShowVarProps && X >= PropsLeft && X < PropsLeft + SplitterWidth;
        switch (Msg) {
        case WM_SETCURSOR:
            if (!OnModules && !OnProps) return false;
            SetCursor(LoadCursorW(nullptr, IDC_SIZEWE));
            Result = TRUE;
            return true;
        case WM_LBUTTONDOWN:
            FSplitter = OnModules ? 1 : OnProps ? 2 : 0;
            if (FSplitter) SetCapture(Handle());
            break;
        case WM_MOUSEMOVE:
            if (FSplitter == 1) FModulesWidth = std::clamp(X, 40, static_cast<int>(Size.cx) - 200);
            if (FSplitter == 2)
                FVarPropsWidth =
                    std::clamp(static_cast<int>(Size.cx) - X, 60, static_cast<int>(Size.cx) - 200);
            if (FSplitter) Relayout();
            break;
        case WM_LBUTTONUP:
            if (FSplitter) ReleaseCapture();
            FSplitter = 0;
            break;
        default:
            break;
        }
        Result = 0;
        return true;
    }
    default:
        return false;
    }
}

void TKoVarForm::Command(int Id, int, HWND) {
    if (Id >= cmSelectModule && Id < cmSelectModule + 100) {
        if (TKoComponent* Module = Modules(Id - cmSelectModule)) SetSelectedModule(Module);
        return;
    }
    if (Id >= cmSelectVariable && Id < cmSelectVariable + 100) {
        const int Index = Id - cmSelectVariable;
        if (Index < FVariables->Count()) SelectVariable(FVariables->Variables(Index));
        return;
    }
    switch (Id) {
    case cmEditor:
        if (EditorEnabled()) EditorAction();
        break;
    case cmLocalTime:
        SetLocalTimeBias(!FLocalTimeBias);
        break;
    case cmShowConnectors:
        SetShowConnectors(!FShowConnectors);
        break;
    case cmShowModules:
        SetShowModules(!FShowModules);
        break;
    case cmShowVarProps:
        SetShowVarProps(!FShowVarProps);
        break;
    case cmShowPropValuePanel:
        SetShowPropValuePanel(!FShowPropValuePanel);
        break;
    case cmHideEmptyModules:
        SetHideEmptyModules(!FHideEmptyModules);
        break;
    default:
        break;
    }
}

void TKoVarForm::Layout(int Width, int Height) {
    const int Bottom = FShowPropValuePanel ? Height - ValuePanelHeight - 4 : Height;
    int Left = 0;
    auto Show = [this](int Id, bool Visible) { ShowWindow(Control(Id), Visible ? SW_SHOW : SW_HIDE); };
    Show(idModulesLabel, FShowModules);
    Show(idModuleTree, FShowModules);
    if (FShowModules) {
        FModulesWidth = std::clamp(FModulesWidth, 40, std::max(40, Width - 200));
        Place(idModulesLabel, 4, 2, FModulesWidth - 4, LabelHeight);
        Place(idModuleTree, 4, LabelHeight + 2, FModulesWidth - 4, Bottom - LabelHeight - 4);
        Left = FModulesWidth + SplitterWidth;
    }
    int Right = Width;
    Show(idVarPropsLabel, FShowVarProps);
    Show(idVarPropGrid, FShowVarProps);
    if (FShowVarProps) {
        FVarPropsWidth = std::clamp(FVarPropsWidth, 60, std::max(60, Width - Left - 100));
        const int PropsLeft = Width - FVarPropsWidth;
        Place(idVarPropsLabel, PropsLeft, 2, FVarPropsWidth - 4, LabelHeight);
        Place(idVarPropGrid, PropsLeft, LabelHeight + 2, FVarPropsWidth - 4, Bottom - LabelHeight - 4);
        Right = PropsLeft - SplitterWidth;
    }
    int Top = 2;
    Show(idConnectorsLabel, FShowConnectors);
    Show(idConnectorGrid, FShowConnectors);
    if (FShowConnectors) {
        Place(idConnectorsLabel, Left, Top, Right - Left, LabelHeight);
        Place(idConnectorGrid, Left, Top + LabelHeight, Right - Left, ConnectorHeight);
        Top += LabelHeight + ConnectorHeight + 4;
    }
    Show(idVariablesLabel, FShowVariables);
    Show(idVarGrid, FShowVariables);
    if (FShowVariables) {
        Place(idVariablesLabel, Left, Top, Right - Left, LabelHeight);
        Place(idVarGrid, Left, Top + LabelHeight, Right - Left, Bottom - Top - LabelHeight - 2);
    }
    Show(idValuePanel, FShowPropValuePanel);
    if (FShowPropValuePanel)
        Place(idValuePanel, 4, Height - ValuePanelHeight - 2, Width - 8, ValuePanelHeight);
    InvalidateRect(Handle(), nullptr, TRUE);
}
