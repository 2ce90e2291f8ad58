#pragma once
// The editable string grid of the windows layer: the platform has none, so the variables window
// and the variant editor share this one.
//
// A grid of ColCount x RowCount text cells, the first FixedRows rows and FixedCols columns drawn
// as headers, one current cell, an in-place edit control for the current cell, column widths
// that the user may drag, and scroll bars. A cell whose text is set anew is repainted only when
// its text changed, and then only that cell: a live view that rewrites all its cells costs a
// repaint of what moved. The grid paints through an off-screen bitmap (no flicker).
//
// The grid is a child window of its form; it lives on the main thread like its form.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TKoGrid {
public:
    // A child of Parent with that control id, in Font.
    TKoGrid(HWND Parent, int Id, HFONT Font);
    ~TKoGrid();
    TKoGrid(const TKoGrid&) = delete;
    TKoGrid& operator=(const TKoGrid&) = delete;

    HWND Handle() const { return FHandle; }

    // ---- shape ----
    int ColCount() const { return FColCount; }
    void SetColCount(int Value);
    int RowCount() const { return static_cast<int>(FCells.size()); }
    // Rows dropped at the end lose their cells; new rows are empty.
    void SetRowCount(int Value);
    int FixedRows() const { return FFixedRows; }
    void SetFixedRows(int Value);
    int FixedCols() const { return FFixedCols; }
    void SetFixedCols(int Value);
    // Widths and the row height at 96 DPI.
    int ColWidths(int Col) const;
    void SetColWidths(int Col, int Width);
    int DefaultColWidth() const { return FDefaultColWidth; }
    void SetDefaultColWidth(int Value) { FDefaultColWidth = Value; }
    int RowHeight() const { return FRowHeight; }
    void SetRowHeight(int Value);

    // ---- content ----
    // Empty outside the grid.
    std::wstring Cells(int Col, int Row) const;
    // Repaints the cell only when its text changed; a cell outside the grid is ignored.
    void SetCells(int Col, int Row, const std::wstring& Text);
    void* RowObjects(int Row) const;
    void SetRowObjects(int Row, void* Object);
    // The text's width in the grid's font, at 96 DPI.
    int TextWidth(const std::wstring& Text) const;

    // ---- current cell ----
    int Col() const { return FCol; }
    int Row() const { return FRow; }
    // Moves the current cell there, when OnSelectCell agrees (an edit in progress is applied
    // first); false when refused or outside the grid.
    bool SetCurrent(int Col, int Row);

    // ---- editing ----
    // Whether cells may be edited at all; CanEditCell then decides per cell.
    bool Editing() const { return FEditing; }
    void SetEditing(bool Value);
    std::function<bool(int Col, int Row)> CanEditCell;
    bool EditorMode() const { return FEditor != nullptr; }
    // Opens the in-place editor on the current cell (when editable); Initial replaces the text
    // when given.
    bool ShowEditor(const std::wstring* Initial = nullptr);
    // Closes the editor: with Apply as after Enter (OnEditDone(true)); without as Escape (the
    // cell gets its text back, OnEditDone(false)).
    void HideEditor(bool Apply);
    HWND EditorHandle() const { return FEditor; }

    // ---- events ----
    // May refuse a move of the current cell.
    std::function<bool(int Col, int Row)> OnSelectCell;
    // After the current cell moved.
    std::function<void(int Col, int Row)> OnSelected;
    // Every change of the typed text (the cell already holds it).
    std::function<void(int Col, int Row, const std::wstring& Text)> OnSetEditText;
    // The editor closed: Apply after Enter, a move to another cell or the focus leaving; not
    // after Escape.
    std::function<void(int Col, int Row, bool Apply)> OnEditDone;
    std::function<void()> OnDblClick;
    // A key on the grid or its editor before the grid handles it; true when taken.
    std::function<bool(WPARAM Key)> OnKeyDown;
    // The row under the mouse changed (-1: none).
    std::function<void(int Row)> OnMouseRow;
    // The grid or its editor got the focus.
    std::function<void()> OnEnter;

    // The cell at a client point (-1 when none).
    void CellAt(POINT At, int& Col, int& Row) const;
    // The cell's rectangle in client pixels (empty when scrolled out).
    RECT CellRect(int Col, int Row) const;
    // Scrolls so that the cell shows.
    void ScrollIntoView(int Col, int Row);

    // How many cells were invalidated for repainting since construction (a measure of cost).
    uint64_t InvalidatedCells() const { return FInvalidatedCells; }
    uint64_t InvalidatedCells(int Col) const;

private:
    static LRESULT CALLBACK WindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
    static LRESULT CALLBACK EditorProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR Id,
                                       DWORD_PTR Data);
    LRESULT Dispatch(UINT Msg, WPARAM WParam, LPARAM LParam);
    void Paint(HDC DC, const RECT& Update);
    void UpdateScrollBars();
    void FitToClient();
    void InvalidateCell(int Col, int Row);
    bool KeyDown(WPARAM Key);
    void MoveBy(int DCol, int DRow);
    int ColLeft(int Col) const; // client pixels, -1 when scrolled out
    int RowTop(int Row) const;
    int Px(int Pixels96) const;
    void PlaceEditor();
    int BorderAt(int X) const; // the column whose right border is at X (header row), or -1

    HWND FHandle = nullptr;
    HWND FEditor = nullptr;
    HFONT FFont;
    int FColCount = 5;
    int FFixedRows = 1;
    int FFixedCols = 1;
    int FDefaultColWidth = 64;
    int FRowHeight = 16;
    std::vector<int> FColWidths;
    std::vector<std::vector<std::wstring>> FCells;
    std::vector<void*> FRowObjects;
    int FCol = 1;
    int FRow = 1;
    int FTopRow = 1;  // first scrolling row shown
    int FLeftCol = 1; // first scrolling column shown
    bool FEditing = false;
    std::wstring FEditOriginal;
    bool FClosingEditor = false;
    int FSizingCol = -1;
    int FSizingStart = 0;
    int FSizingWidth = 0;
    int FMouseRow = -1;
    uint64_t FInvalidatedCells = 0;
    std::vector<uint64_t> FInvalidatedByCol;
};
