#include "KoVariantEditDlgs.h"

#include <commctrl.h>

#include <algorithm>

#include "KoApplication.h"
#include "KoUtils.h"
#include "KoVariants.h"
#include "KoVars.h"

namespace {

constexpr int SidePanelWidth = 90;
constexpr int StatusHeight = 20;

std::wstring ElementCellText(const VARIANT& Element) {
    if (TKoVar::QualityOfVariant(Element, vpqBad) == vpqBad) return {};
    try {
        return VariantToText(Element, false);
    } catch (const EKoError&) {
        return {};
    }
}

} // namespace

TKoVariantEditDlg::TKoVariantEditDlg(TKoComponent* AOwner) : TKoForm(AOwner, L"Variant Editor", 546, 283) {
    FGrid = std::make_unique<TKoGrid>(Handle(), idGrid, Font());
    FGrid->SetColCount(2);
    FGrid->SetRowCount(1);
    FGrid->SetFixedRows(1);
    FGrid->SetFixedCols(1);
    FGrid->SetRowHeight(16);
    FGrid->SetColWidths(0, 40);
    FGrid->SetColWidths(1, 120);
    FGrid->SetCells(0, 0, L"#");
    FGrid->SetCells(1, 0, L"Value");
    FGrid->SetEditing(true);
    FGrid->OnKeyDown = [this](WPARAM Key) { return GridKeyDown(Key); };
    AddControl(L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK);
    AddControl(L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL);
    AddControl(L"STATIC", L"Default value for new elements:", 0, idDefaultLabel);
    AddControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, idDefaultEdit, WS_EX_CLIENTEDGE);
    const HWND Status = AddControl(STATUSCLASSNAMEW, L"", 0, idStatusBar);
    const int Parts[] = {KoScale(50)};
    SendMessageW(Status, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(Parts));
    Relayout();
}

TKoVariantEditDlg::~TKoVariantEditDlg() = default;

void TKoVariantEditDlg::SetValue(const VARIANT& Value) {
    FValue = TKoOleVariant(Value);
    UpdateGrid();
}

void TKoVariantEditDlg::SetReadOnly(bool Value) {
    FReadOnly = Value;
    FGrid->SetEditing(!Value);
    SendMessageW(Control(idStatusBar), SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(Value ? L"ReadOnly" : L""));
}

std::wstring TKoVariantEditDlg::DefaultText() const {
    return KoWindowText(Control(idDefaultEdit));
}

std::wstring TKoVariantEditDlg::StatusText() const {
    wchar_t Text[64] = {};
    const LRESULT Length = SendMessageW(Control(idStatusBar), SB_GETTEXTLENGTHW, 0, 0);
    if (LOWORD(Length) < 64)
        SendMessageW(Control(idStatusBar), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(Text));
    return Text;
}

// ---- algorithms ----

void TKoVariantEditDlg::UpdateGrid() {
    TKoGrid& G = *FGrid;
    SAFEARRAY* Array = KoVariantArray(FValue.Get());
    if (!Array) {
        // No array: the header alone.
        G.SetRowCount(1);
        G.SetColCount(2);
        G.SetCells(0, 0, L"#");
        G.SetCells(1, 0, L"Value");
        return;
    }
    const UINT Dims = SafeArrayGetDim(Array);
    const int Length = VarArrayDimLength(FValue.Get(), 1);
    LONG Low1 = 0;
    SafeArrayGetLBound(Array, 1, &Low1);
    G.SetRowCount(Length + 1);
    G.SetCells(0, 0, L"#");
    if (Dims == 1) {
        G.SetColCount(2);
        G.SetCells(1, 0, L"Value");
        for (int K = 0; K < Length; ++K) {
            // Elements go by their position: the value built on OK starts at index 0.
            LONG Index = Low1 + K;
            G.SetCells(0, K + 1, std::to_wstring(K));
            const std::wstring Text = ElementCellText(KoSafeArrayGetVariant(Array, &Index));
            G.SetCells(1, K + 1, Text);
            const int Width = G.TextWidth(Text) + 6;
            if (Width > G.ColWidths(1)) G.SetColWidths(1, Width);
        }
        return;
    }
    if (Dims == 2) {
        const int Length2 = VarArrayDimLength(FValue.Get(), 2);
        LONG Low2 = 0;
        SafeArrayGetLBound(Array, 2, &Low2);
        G.SetColCount(Length2 + 1);
        for (int I = 0; I < Length; ++I) {
            G.SetCells(0, I + 1, std::to_wstring(I));
            for (int J = 0; J < Length2; ++J) {
                LONG Indices[2] = {Low1 + I, Low2 + J};
                G.SetCells(J + 1, 0, std::to_wstring(J));
                G.SetCells(J + 1, I + 1, ElementCellText(KoSafeArrayGetVariant(Array, Indices)));
            }
        }
    }
    // More dimensions: the row count and the "#" header only.
}

TKoOleVariant TKoVariantEditDlg::CellValue(int Row, int Col, VARTYPE VarType) const {
    try {
        const std::wstring Text = FGrid->Cells(Col + 1, Row + 1);
        if (Text.empty() || Text == KoBadString) return KoBadValueAsDataType(VarTypeToKoVarDataType(VarType));
        TKoOleVariant Result;
        TextToVariant(Text, VarType, Result);
        return Result;
    } catch (const EKoError& Error) {
        std::wstring Message = Error.Message() + L"\r" + L"Row: " + std::to_wstring(Row);
        if (FGrid->ColCount() > 2) Message += L" Column: " + std::to_wstring(Col);
        throw EKoError(Message);
    }
}

void TKoVariantEditDlg::GridToValue() {
    VARTYPE ElementType = static_cast<VARTYPE>(FValue.Type() & VT_TYPEMASK);
    if (ElementType == VT_EMPTY || ElementType == VT_NULL) ElementType = VT_VARIANT;
    const int Rows = FGrid->RowCount() - 1;
    const int Cols = FGrid->ColCount() - 1;
    TKoOleVariant Result;
    if (FGrid->ColCount() == 2) {
        TKoSafeArray Array(ElementType, {{0, Rows - 1}});
        for (LONG I = 0; I < Rows; ++I) {
            const TKoOleVariant Element = CellValue(I, 0, ElementType);
            KoSafeArrayPutVariant(Array.Get(), &I, Element.Get());
        }
        Result = TKoOleVariant::TakeArray(ElementType, Array.Release());
    } else {
        TKoSafeArray Array(ElementType, {{0, Rows - 1}, {0, Cols - 1}});
        for (LONG I = 0; I < Rows; ++I)
            for (LONG J = 0; J < Cols; ++J) {
                const TKoOleVariant Element = CellValue(I, J, ElementType);
                LONG Indices[2] = {I, J};
                KoSafeArrayPutVariant(Array.Get(), Indices, Element.Get());
            }
        Result = TKoOleVariant::TakeArray(ElementType, Array.Release());
    }
    FValue = std::move(Result);
}

void TKoVariantEditDlg::AddElement(bool Append) {
    TKoGrid& G = *FGrid;
    const int Current = G.Row();
    const bool OnElement = Current >= 1 && Current < G.RowCount();
    G.SetRowCount(G.RowCount() + 1);
    const int Last = G.RowCount() - 1;
    G.SetCells(0, 1, L"0");
    G.SetCells(0, Last, std::to_wstring(Last - 1));
    const std::wstring Default = DefaultText();
    if (!Append && OnElement) {
        for (int R = Last; R > Current; --R) G.SetCells(1, R, G.Cells(1, R - 1));
        G.SetCells(1, Current, Default);
    }
    if (Append || G.RowCount() == 2) G.SetCells(1, Last, Default);
    G.SetFixedRows(1);
}

void TKoVariantEditDlg::DeleteElement() {
    TKoGrid& G = *FGrid;
    const int Current = G.Row();
    if (G.RowCount() < 2 || Current < 1) return;
    if (G.EditorMode()) G.HideEditor(false);
    for (int R = Current; R < G.RowCount() - 1; ++R) G.SetCells(1, R, G.Cells(1, R + 1));
    G.SetRowCount(G.RowCount() - 1);
}

void TKoVariantEditDlg::SetLength(const std::wstring& Text) {
    int64_t Length = 0;
    if (!KoParseInteger(Text, INT32_MIN, INT32_MAX, 32, Length))
        throw EKoConvertError(KoFormat(L"'%s' is not a valid integer value", Text));
    // A negative length acts as 0 (the grid keeps its header row).
    const int N = static_cast<int>(std::clamp<int64_t>(Length, 0, 1000000));
    TKoGrid& G = *FGrid;
    if (G.EditorMode()) G.HideEditor(true);
    while (G.RowCount() - 1 < N) AddElement(true);
    G.SetRowCount(N + 1);
}

void TKoVariantEditDlg::OKBtnClick() {
    if (FGrid->EditorMode()) FGrid->HideEditor(true);
    try {
        GridToValue();
        SetModalResult(mrOk);
    } catch (...) {
        SetModalResult(0);
        KoShowError(KoCurrentExceptionText());
    }
}

void TKoVariantEditDlg::SetLengthAction() {
    std::wstring Text = std::to_wstring(FGrid->RowCount() - 1);
    if (!KoInputQuery(L"SetLength", L"Array length", Text)) return;
    try {
        SetLength(Text);
    } catch (...) {
        KoShowError(KoCurrentExceptionText());
    }
}

bool TKoVariantEditDlg::GridKeyDown(WPARAM Key) {
    TKoGrid& G = *FGrid;
    if (Key == VK_INSERT && GetKeyState(VK_CONTROL) >= 0 && !G.EditorMode()) {
        AddElement(false);
        return true;
    }
    if (Key == VK_DELETE && !G.EditorMode()) {
        DeleteElement();
        return true;
    }
    // On the last row Tab and Down first append an element; the key then does what it does.
    if ((Key == VK_TAB || Key == VK_DOWN) && G.Row() == G.RowCount() - 1) AddElement(true);
    return false;
}

void TKoVariantEditDlg::ShowPopupMenu(POINT At) {
    TKoMenuHandle Menu = KoBuildMenu({{L"&Insert a new element\tIns", cmInsert},
                                      {L"&Delete this element\tDel", cmDelete},
                                      {L"Set &Length", cmSetLength}},
                                     true);
    TrackPopupMenu(Menu.Get(), TPM_RIGHTBUTTON, At.x, At.y, 0, Handle(), nullptr);
}

bool TKoVariantEditDlg::HandleMessage(UINT Msg, WPARAM, LPARAM LParam, LRESULT& Result) {
    if (Msg != WM_CONTEXTMENU) return false;
    ShowPopupMenu(KoContextMenuPoint(LParam));
    Result = 0;
    return true;
}

void TKoVariantEditDlg::Command(int Id, int, HWND) {
    switch (Id) {
    case IDOK:
        OKBtnClick();
        break;
    case IDCANCEL:
        SetModalResult(mrCancel);
        break;
    case cmInsert:
        AddElement(false);
        break;
    case cmDelete:
        DeleteElement();
        break;
    case cmSetLength:
        SetLengthAction();
        break;
    default:
        break;
    }
}

void TKoVariantEditDlg::Layout(int Width, int Height) {
    const int GridHeight = Height - StatusHeight;
    Place(idGrid, 0, 0, Width - SidePanelWidth, GridHeight);
    const int Left = Width - SidePanelWidth + 8;
    Place(IDOK, Left, 8, SidePanelWidth - 16, 25);
    Place(IDCANCEL, Left, 40, SidePanelWidth - 16, 25);
    Place(idDefaultLabel, Left, GridHeight - 76, SidePanelWidth - 12, 44);
    Place(idDefaultEdit, Left, GridHeight - 28, SidePanelWidth - 16, 22);
    SendMessageW(Control(idStatusBar), WM_SIZE, 0, 0);
}
