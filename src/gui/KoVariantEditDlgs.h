#pragma once
// The variant editor: the modal "Variant Editor" dialog in which the user views and edits an
// array value element by element (one- and two-dimensional arrays). The variables window opens
// it for an array-valued property and writes the value back after OK.
//
// The grid is the only editing state: FValue changes only when OK builds a value from it.

#include <memory>
#include <string>

#include "KoForms.h"
#include "KoGrids.h"
#include "KoOle.h"

class TKoVariantEditDlg : public TKoForm {
public:
    enum : int {
        idGrid = 700,
        idSidePanel,
        idDefaultLabel,
        idDefaultEdit,
        idStatusBar,
        cmInsert = 720,
        cmDelete,
        cmSetLength,
    };
    // OKBtn and CancelBtn carry the ids IDOK and IDCANCEL.

    // Made for one use, without an owner; free it after it closed.
    explicit TKoVariantEditDlg(TKoComponent* AOwner = nullptr);
    ~TKoVariantEditDlg() override;
    const wchar_t* ClassName() const override { return L"TKoVariantEditDlg"; }

    // Keeps a copy and fills the grid.
    void SetValue(const VARIANT& Value);
    const TKoOleVariant& Value() const { return FValue; }
    bool ReadOnly() const { return FReadOnly; }
    // True: no cell editing and "ReadOnly" in the status bar. The element actions stay.
    void SetReadOnly(bool Value);

    TKoGrid& Grid() const { return *FGrid; }
    std::wstring DefaultText() const;
    std::wstring StatusText() const;

    // ---- the algorithms (public so that a caller can drive them) ----
    void UpdateGrid();
    // The element value of element row Row and element column Col (both 0-based); an error
    // gains a line "Row: n" (and " Column: m" with more than two grid columns).
    TKoOleVariant CellValue(int Row, int Col, VARTYPE VarType) const;
    // Builds the value from the grid into FValue; fails as CellValue does.
    void GridToValue();
    void AddElement(bool Append);
    void DeleteElement();
    // The length text of the Set Length action: a decimal integer (a negative one acts as 0);
    // anything else fails with the integer conversion error and changes nothing.
    void SetLength(const std::wstring& Text);
    // OK: builds the value and sets modal result 1; on failure modal result 0 and the error is
    // shown to the user.
    void OKBtnClick();

protected:
    void Command(int Id, int Code, HWND Control) override;
    void Layout(int Width, int Height) override;
    bool HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) override;

private:
    bool GridKeyDown(WPARAM Key);
    void SetLengthAction();
    void ShowPopupMenu(POINT At);

    std::unique_ptr<TKoGrid> FGrid;
    TKoOleVariant FValue;
    bool FReadOnly = false;
};
