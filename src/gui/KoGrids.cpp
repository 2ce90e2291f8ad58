#include "KoGrids.h"

#include <commctrl.h>

#include <algorithm>
#include <mutex>
#include <system_error>

#include "KoApplication.h"
#include "KoForms.h"

namespace {

const wchar_t KoGridClass[] = L"TKoGrid";
constexpr UINT KgmApplyEdit = WM_APP + 0x21; // the editor lost the focus: apply when it is gone
constexpr int BorderGrip = 3;                // pixels either side of a column border that size it

// A window's device context, released when the scope ends.
class TWindowDC {
public:
    explicit TWindowDC(HWND AWindow) : FWindow(AWindow), FDC(GetDC(AWindow)) {}
    ~TWindowDC() {
        if (FDC) ReleaseDC(FWindow, FDC);
    }
    TWindowDC(const TWindowDC&) = delete;
    TWindowDC& operator=(const TWindowDC&) = delete;
    HDC Get() const { return FDC; }

private:
    HWND FWindow;
    HDC FDC;
};

// A memory device context compatible with another, deleted when the scope ends.
class TMemoryDC {
public:
    explicit TMemoryDC(HDC Compatible) : FDC(CreateCompatibleDC(Compatible)) {}
    ~TMemoryDC() {
        if (FDC) DeleteDC(FDC);
    }
    TMemoryDC(const TMemoryDC&) = delete;
    TMemoryDC& operator=(const TMemoryDC&) = delete;
    HDC Get() const { return FDC; }

private:
    HDC FDC;
};

} // namespace

TKoGrid::TKoGrid(HWND Parent, int Id, HFONT Font) : FFont(Font) {
    static std::once_flag Once;
    std::call_once(Once, [] {
        WNDCLASSEXW Class{};
        Class.cbSize = sizeof(Class);
        Class.style = CS_DBLCLKS;
        Class.lpfnWndProc = &TKoGrid::WindowProc;
        Class.hInstance = GetModuleHandleW(nullptr);
        Class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        Class.lpszClassName = KoGridClass;
        if (!RegisterClassExW(&Class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "RegisterClassEx(TKoGrid)");
    });
    FCells.assign(5, std::vector<std::wstring>(static_cast<size_t>(FColCount)));
    FRowObjects.assign(5, nullptr);
    FColWidths.assign(static_cast<size_t>(FColCount), FDefaultColWidth);
    FInvalidatedByCol.assign(static_cast<size_t>(FColCount), 0);
    FHandle = CreateWindowExW(WS_EX_CLIENTEDGE, KoGridClass, L"",
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | WS_CLIPCHILDREN,
                              0, 0, 0, 0, Parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)),
                              GetModuleHandleW(nullptr), this);
    if (!FHandle)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateWindowEx(TKoGrid)");
}

TKoGrid::~TKoGrid() {
    if (FHandle && IsWindow(FHandle)) {
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        if (FEditor) RemoveWindowSubclass(FEditor, &TKoGrid::EditorProc, 1);
        DestroyWindow(FHandle);
    }
}

int TKoGrid::Px(int Pixels96) const {
    return KoScale(Pixels96);
}

// ---- shape ----

void TKoGrid::SetColCount(int Value) {
    Value = std::max(Value, 1);
    if (Value == FColCount) return;
    if (FEditor) HideEditor(true);
    FColCount = Value;
    for (auto& Row : FCells) Row.resize(static_cast<size_t>(Value));
    FColWidths.resize(static_cast<size_t>(Value), FDefaultColWidth);
    FInvalidatedByCol.resize(static_cast<size_t>(Value), 0);
    FCol = std::clamp(FCol, std::min(FFixedCols, Value - 1), Value - 1);
    FLeftCol = std::clamp(FLeftCol, std::min(FFixedCols, Value - 1), Value - 1);
    FitToClient();
    UpdateScrollBars();
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TKoGrid::SetRowCount(int Value) {
    Value = std::max(Value, 1);
    if (Value == RowCount()) return;
    if (FEditor && FRow >= Value) HideEditor(true);
    FCells.resize(static_cast<size_t>(Value), std::vector<std::wstring>(static_cast<size_t>(FColCount)));
    FRowObjects.resize(static_cast<size_t>(Value), nullptr);
    // The current row stays an element row while there is one.
    if (Value > FFixedRows)
        FRow = std::clamp(FRow, FFixedRows, Value - 1);
    else
        FRow = Value - 1;
    FTopRow = std::clamp(FTopRow, std::min(FFixedRows, Value - 1), Value - 1);
    FitToClient();
    UpdateScrollBars();
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TKoGrid::SetFixedRows(int Value) {
    FFixedRows = std::clamp(Value, 0, 1);
    if (RowCount() > FFixedRows) FRow = std::max(FRow, FFixedRows);
    FTopRow = std::max(FTopRow, FFixedRows);
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TKoGrid::SetFixedCols(int Value) {
    FFixedCols = std::clamp(Value, 0, 1);
    if (FColCount > FFixedCols) FCol = std::max(FCol, FFixedCols);
    FLeftCol = std::max(FLeftCol, FFixedCols);
    InvalidateRect(FHandle, nullptr, FALSE);
}

int TKoGrid::ColWidths(int Col) const {
    return Col >= 0 && Col < FColCount ? FColWidths[static_cast<size_t>(Col)] : 0;
}

void TKoGrid::SetColWidths(int Col, int Width) {
    if (Col < 0 || Col >= FColCount) return;
    FColWidths[static_cast<size_t>(Col)] = std::max(Width, 0);
    FitToClient();
    UpdateScrollBars();
    PlaceEditor();
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TKoGrid::SetRowHeight(int Value) {
    FRowHeight = std::max(Value, 4);
    UpdateScrollBars();
    PlaceEditor();
    InvalidateRect(FHandle, nullptr, FALSE);
}

// ---- content ----

std::wstring TKoGrid::Cells(int Col, int Row) const {
    if (Col < 0 || Col >= FColCount || Row < 0 || Row >= RowCount()) return {};
    return FCells[static_cast<size_t>(Row)][static_cast<size_t>(Col)];
}

void TKoGrid::SetCells(int Col, int Row, const std::wstring& Text) {
    if (Col < 0 || Col >= FColCount || Row < 0 || Row >= RowCount()) return;
    std::wstring& Cell = FCells[static_cast<size_t>(Row)][static_cast<size_t>(Col)];
    if (Cell == Text) return;
    Cell = Text;
    InvalidateCell(Col, Row);
}

void* TKoGrid::RowObjects(int Row) const {
    return Row >= 0 && Row < RowCount() ? FRowObjects[static_cast<size_t>(Row)] : nullptr;
}

void TKoGrid::SetRowObjects(int Row, void* Object) {
    if (Row >= 0 && Row < RowCount()) FRowObjects[static_cast<size_t>(Row)] = Object;
}

int TKoGrid::TextWidth(const std::wstring& Text) const {
    const TWindowDC DC(FHandle);
    SIZE Size{};
    if (DC.Get()) {
        const TKoSelectObject Use(DC.Get(), FFont);
        GetTextExtentPoint32W(DC.Get(), Text.c_str(), static_cast<int>(Text.size()), &Size);
    }
    const int Unit = KoScale(96);
    return Unit > 0 ? MulDiv(Size.cx, 96, Unit) : Size.cx;
}

uint64_t TKoGrid::InvalidatedCells(int Col) const {
    return Col >= 0 && Col < FColCount ? FInvalidatedByCol[static_cast<size_t>(Col)] : 0;
}

// ---- geometry ----

int TKoGrid::ColLeft(int Col) const {
    if (Col < 0 || Col >= FColCount) return -1;
    int X = 0;
    if (Col < FFixedCols) {
        for (int C = 0; C < Col; ++C) X += Px(ColWidths(C));
        return X;
    }
    if (Col < FLeftCol) return -1;
    for (int C = 0; C < FFixedCols; ++C) X += Px(ColWidths(C));
    for (int C = FLeftCol; C < Col; ++C) X += Px(ColWidths(C));
    return X;
}

int TKoGrid::RowTop(int Row) const {
    if (Row < 0 || Row >= RowCount()) return -1;
    if (Row < FFixedRows) return Row * Px(FRowHeight);
    if (Row < FTopRow) return -1;
    return (FFixedRows + Row - FTopRow) * Px(FRowHeight);
}

RECT TKoGrid::CellRect(int Col, int Row) const {
    const int Left = ColLeft(Col);
    const int Top = RowTop(Row);
    if (Left < 0 || Top < 0) return {0, 0, 0, 0};
    return {Left, Top, Left + Px(ColWidths(Col)), Top + Px(FRowHeight)};
}

void TKoGrid::CellAt(POINT At, int& Col, int& Row) const {
    Col = -1;
    Row = -1;
    for (int C = 0; C < FColCount; ++C) {
        const int Left = ColLeft(C);
        if (Left >= 0 && At.x >= Left && At.x < Left + Px(ColWidths(C))) {
            Col = C;
            break;
        }
    }
    const int Height = Px(FRowHeight);
    if (At.y < 0 || Height <= 0) return;
    const int Line = At.y / Height;
    const int Candidate = Line < FFixedRows ? Line : FTopRow + Line - FFixedRows;
    if (Candidate < RowCount()) Row = Candidate;
}

int TKoGrid::BorderAt(int X) const {
    for (int C = 0; C < FColCount; ++C) {
        const int Left = ColLeft(C);
        if (Left < 0) continue;
        const int Right = Left + Px(ColWidths(C));
        if (X >= Right - BorderGrip && X <= Right + BorderGrip) return C;
    }
    return -1;
}

void TKoGrid::InvalidateCell(int Col, int Row) {
    ++FInvalidatedCells;
    ++FInvalidatedByCol[static_cast<size_t>(Col)];
    const RECT Cell = CellRect(Col, Row);
    if (Cell.right > Cell.left) InvalidateRect(FHandle, &Cell, FALSE);
}

void TKoGrid::UpdateScrollBars() {
    if (!FHandle) return;
    RECT Client{};
    GetClientRect(FHandle, &Client);
    const int Height = Px(FRowHeight);
    const int Visible = Height > 0 ? std::max<int>(1, (Client.bottom - FFixedRows * Height) / Height) : 1;
    SCROLLINFO Info{};
    Info.cbSize = sizeof(Info);
    Info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    Info.nMin = 0;
    Info.nMax = std::max(0, RowCount() - FFixedRows - 1);
    Info.nPage = static_cast<UINT>(Visible);
    Info.nPos = FTopRow - FFixedRows;
    SetScrollInfo(FHandle, SB_VERT, &Info, TRUE);
    SCROLLINFO HInfo{};
    HInfo.cbSize = sizeof(HInfo);
    HInfo.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    HInfo.nMin = 0;
    HInfo.nMax = std::max(0, FColCount - FFixedCols - 1);
    int Width = Client.right;
    for (int C = 0; C < FFixedCols; ++C) Width -= Px(ColWidths(C));
    int Fit = 0;
    for (int C = FLeftCol; C < FColCount && Width >= Px(ColWidths(C)); ++C, ++Fit) Width -= Px(ColWidths(C));
    HInfo.nPage = static_cast<UINT>(std::max(1, Fit));
    HInfo.nPos = FLeftCol - FFixedCols;
    SetScrollInfo(FHandle, SB_HORZ, &HInfo, TRUE);
}

void TKoGrid::FitToClient() {
    // Scrolled back as far as the cells after the first one shown still fill the client area,
    // so that a grown window shows the first rows and columns again.
    RECT Client{};
    GetClientRect(FHandle, &Client);
    if (Client.right <= 0 || Client.bottom <= 0) return;
    int Width = Client.right;
    for (int C = 0; C < FFixedCols; ++C) Width -= Px(ColWidths(C));
    while (FLeftCol > FFixedCols) {
        int Span = 0;
        for (int C = FLeftCol - 1; C < FColCount; ++C) Span += Px(ColWidths(C));
        if (Span > Width) break;
        --FLeftCol;
    }
    const int Height = Px(FRowHeight);
    const int Visible = Height > 0 ? (Client.bottom - FFixedRows * Height) / Height : 0;
    if (FTopRow > FFixedRows && RowCount() - (FTopRow - 1) <= Visible)
        FTopRow = std::max(FFixedRows, RowCount() - std::max(Visible, 1));
}

void TKoGrid::ScrollIntoView(int Col, int Row) {
    RECT Client{};
    GetClientRect(FHandle, &Client);
    // A grid not laid out yet has nothing to scroll.
    if (Client.right <= 0 || Client.bottom <= 0) return;
    const int Height = Px(FRowHeight);
    const int Visible = Height > 0 ? std::max<int>(1, (Client.bottom - FFixedRows * Height) / Height) : 1;
    bool Moved = false;
    if (Row >= FFixedRows) {
        if (Row < FTopRow) {
            FTopRow = Row;
            Moved = true;
        } else if (Row >= FTopRow + Visible) {
            FTopRow = Row - Visible + 1;
            Moved = true;
        }
    }
    if (Col >= FFixedCols) {
        if (Col < FLeftCol) {
            FLeftCol = Col;
            Moved = true;
        } else {
            int Width = Client.right;
            for (int C = 0; C < FFixedCols; ++C) Width -= Px(ColWidths(C));
            // Scrolled until a fair part of the cell shows: a last column that is cut a little
            // does not hide the first ones.
            while (FLeftCol < Col) {
                int Left = 0;
                for (int C = FLeftCol; C < Col; ++C) Left += Px(ColWidths(C));
                if (Left + std::min(Px(ColWidths(Col)), Width / 2) <= Width) break;
                ++FLeftCol;
                Moved = true;
            }
        }
    }
    if (Moved) {
        UpdateScrollBars();
        PlaceEditor();
        InvalidateRect(FHandle, nullptr, FALSE);
    }
}

// ---- current cell and editing ----

bool TKoGrid::SetCurrent(int Col, int Row) {
    if (Col < 0 || Col >= FColCount || Row < 0 || Row >= RowCount()) return false;
    if (Col == FCol && Row == FRow) return true;
    if (OnSelectCell && !OnSelectCell(Col, Row)) return false;
    if (FEditor) HideEditor(true);
    InvalidateCell(FCol < FColCount ? FCol : 0, FRow < RowCount() ? FRow : 0);
    FCol = Col;
    FRow = Row;
    InvalidateCell(FCol, FRow);
    ScrollIntoView(Col, Row);
    if (OnSelected) OnSelected(Col, Row);
    return true;
}

void TKoGrid::SetEditing(bool Value) {
    FEditing = Value;
    if (!Value && FEditor) HideEditor(false);
}

bool TKoGrid::ShowEditor(const std::wstring* Initial) {
    if (FEditor) return true;
    if (!FEditing || !IsWindowEnabled(FHandle) || FRow < FFixedRows || FCol < FFixedCols ||
        FRow >= RowCount() || FCol >= FColCount)
        return false;
    if (CanEditCell && !CanEditCell(FCol, FRow)) return false;
    ScrollIntoView(FCol, FRow);
    FEditOriginal = Cells(FCol, FRow);
    // Made quietly: only what the user types counts as edit text.
    FClosingEditor = true;
    FEditor = CreateWindowExW(0, L"EDIT", FEditOriginal.c_str(), WS_CHILD | ES_AUTOHSCROLL, 0, 0, 0, 0,
                              FHandle, nullptr, GetModuleHandleW(nullptr), nullptr);
    FClosingEditor = false;
    if (!FEditor) return false;
    SendMessageW(FEditor, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
    SetWindowSubclass(FEditor, &TKoGrid::EditorProc, 1, reinterpret_cast<DWORD_PTR>(this));
    PlaceEditor();
    ShowWindow(FEditor, SW_SHOW);
    SetFocus(FEditor);
    if (Initial) SetWindowTextW(FEditor, Initial->c_str()); // as typed: EN_CHANGE follows
    const int Length = GetWindowTextLengthW(FEditor);
    SendMessageW(FEditor, EM_SETSEL, Initial ? Length : 0, Length);
    return true;
}

void TKoGrid::HideEditor(bool Apply) {
    if (!FEditor || FClosingEditor) return;
    FClosingEditor = true;
    const HWND Editor = FEditor;
    const bool HadFocus = GetFocus() == Editor;
    FEditor = nullptr;
    const int Col = FCol, Row = FRow;
    if (!Apply && Col < FColCount && Row < RowCount())
        FCells[static_cast<size_t>(Row)][static_cast<size_t>(Col)] = FEditOriginal;
    RemoveWindowSubclass(Editor, &TKoGrid::EditorProc, 1);
    if (HadFocus) SetFocus(FHandle);
    DestroyWindow(Editor);
    FClosingEditor = false;
    if (Col < FColCount && Row < RowCount()) InvalidateCell(Col, Row);
    if (OnEditDone) OnEditDone(Col, Row, Apply);
}

void TKoGrid::PlaceEditor() {
    if (!FEditor) return;
    const RECT Cell = CellRect(FCol, FRow);
    MoveWindow(FEditor, Cell.left + 2, Cell.top + 1,
               std::max(0, static_cast<int>(Cell.right - Cell.left) - 3),
               std::max(0, static_cast<int>(Cell.bottom - Cell.top) - 2), TRUE);
}

void TKoGrid::MoveBy(int DCol, int DRow) {
    int Col = std::clamp(FCol + DCol, std::min(FFixedCols, FColCount - 1), FColCount - 1);
    int Row = std::clamp(FRow + DRow, std::min(FFixedRows, RowCount() - 1), RowCount() - 1);
    SetCurrent(Col, Row);
}

bool TKoGrid::KeyDown(WPARAM Key) {
    if (OnKeyDown && OnKeyDown(Key)) return true;
    const bool Shift = GetKeyState(VK_SHIFT) < 0;
    switch (Key) {
    case VK_UP:
        MoveBy(0, -1);
        return true;
    case VK_DOWN:
        MoveBy(0, 1);
        return true;
    case VK_LEFT:
        if (FEditor) return false;
        MoveBy(-1, 0);
        return true;
    case VK_RIGHT:
        if (FEditor) return false;
        MoveBy(1, 0);
        return true;
    case VK_PRIOR:
    case VK_NEXT: {
        RECT Client{};
        GetClientRect(FHandle, &Client);
        const int Page = std::max<int>(1, Client.bottom / std::max(1, Px(FRowHeight)) - FFixedRows);
        MoveBy(0, Key == VK_PRIOR ? -Page : Page);
        return true;
    }
    case VK_HOME:
        if (FEditor) return false;
        SetCurrent(FCol, std::min(FFixedRows, RowCount() - 1));
        return true;
    case VK_END:
        if (FEditor) return false;
        SetCurrent(FCol, RowCount() - 1);
        return true;
    case VK_TAB: {
        // To the next cell of the row, then on to the first scrolling cell of the next row.
        int Col = FCol + (Shift ? -1 : 1);
        int Row = FRow;
        if (Col >= FColCount) {
            Col = std::min(FFixedCols, FColCount - 1);
            Row = std::min(Row + 1, RowCount() - 1);
        } else if (Col < FFixedCols) {
            Col = FColCount - 1;
            Row = std::max(Row - 1, std::min(FFixedRows, RowCount() - 1));
        }
        SetCurrent(Col, Row);
        return true;
    }
    case VK_F2:
    case VK_RETURN:
        if (FEditor)
            HideEditor(true);
        else
            ShowEditor();
        return true;
    case VK_ESCAPE:
        if (FEditor) HideEditor(false);
        return true;
    default:
        return false;
    }
}

// ---- painting ----

void TKoGrid::Paint(HDC Target, const RECT& Update) {
    RECT Client{};
    GetClientRect(FHandle, &Client);
    const int Width = std::max<int>(Client.right, 1), Height = std::max<int>(Client.bottom, 1);
    // Drawn off-screen first: a repaint does not flicker.
    const TMemoryDC Memory(Target);
    const TKoGdiObject<HBITMAP> Bitmap(CreateCompatibleBitmap(Target, Width, Height));
    if (!Memory.Get() || !Bitmap.Get()) return;
    const HDC DC = Memory.Get();
    const TKoSelectObject UseBitmap(DC, Bitmap.Get());
    const TKoSelectObject UseFont(DC, FFont);
    const bool Enabled = IsWindowEnabled(FHandle) != FALSE;
    const bool Focused = GetFocus() == FHandle;
    FillRect(DC, &Client, GetSysColorBrush(COLOR_WINDOW));
    SetBkMode(DC, TRANSPARENT);
    const TKoGdiObject<HPEN> Lines(CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNFACE)));
    const TKoGdiObject<HPEN> Shadow(CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW)));
    const int RowPx = Px(FRowHeight);
    auto PaintCell = [&](int C, int R) {
        const RECT Cell = CellRect(C, R);
        if (Cell.right <= Cell.left) return;
        RECT Overlap{};
        if (!IntersectRect(&Overlap, &Cell, &Update)) return;
        const bool Fixed = C < FFixedCols || R < FFixedRows;
        const bool Current = !Fixed && C == FCol && R == FRow;
        COLORREF Back = GetSysColor(COLOR_WINDOW);
        COLORREF Text = GetSysColor(Enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT);
        if (Fixed) {
            Back = GetSysColor(COLOR_BTNFACE);
            Text = GetSysColor(Enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
        } else if (Current && Enabled) {
            Back = GetSysColor(COLOR_HIGHLIGHT);
            Text = GetSysColor(COLOR_HIGHLIGHTTEXT);
        }
        const TKoGdiObject<HBRUSH> Brush(CreateSolidBrush(Back));
        FillRect(DC, &Cell, Brush.Get());
        SetTextColor(DC, Text);
        RECT TextRect{Cell.left + 2, Cell.top, Cell.right - 2, Cell.bottom};
        const std::wstring& Content = FCells[static_cast<size_t>(R)][static_cast<size_t>(C)];
        // Only the first line of a text with line breaks.
        const size_t Break = Content.find_first_of(L"\r\n");
        const std::wstring Line = Break == std::wstring::npos ? Content : Content.substr(0, Break) + L"...";
        DrawTextW(DC, Line.c_str(), static_cast<int>(Line.size()), &TextRect,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
        {
            const TKoSelectObject UsePen(DC, Fixed ? Shadow.Get() : Lines.Get());
            MoveToEx(DC, Cell.right - 1, Cell.top, nullptr);
            LineTo(DC, Cell.right - 1, Cell.bottom - 1);
            LineTo(DC, Cell.left - 1, Cell.bottom - 1);
        }
        if (Current && Focused) DrawFocusRect(DC, &Cell);
    };
    const int VisibleRows = RowPx > 0 ? Height / RowPx + 1 : 0;
    for (int R = 0; R < FFixedRows && R < RowCount(); ++R)
        for (int C = 0; C < FColCount; ++C) PaintCell(C, R);
    for (int R = FTopRow; R < RowCount() && R < FTopRow + VisibleRows; ++R)
        for (int C = 0; C < FColCount; ++C) PaintCell(C, R);
    BitBlt(Target, Update.left, Update.top, Update.right - Update.left, Update.bottom - Update.top, DC,
           Update.left, Update.top, SRCCOPY);
}

// ---- messages ----

LRESULT CALLBACK TKoGrid::WindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (Msg == WM_NCCREATE) {
        auto* Create = reinterpret_cast<CREATESTRUCTW*>(LParam);
        SetWindowLongPtrW(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    auto* Self = reinterpret_cast<TKoGrid*>(GetWindowLongPtrW(Wnd, GWLP_USERDATA));
    if (!Self || !Self->FHandle) return DefWindowProcW(Wnd, Msg, WParam, LParam);
    try {
        return Self->Dispatch(Msg, WParam, LParam);
    } catch (...) {
        Application().HandleException(nullptr);
        return 0;
    }
}

LRESULT CALLBACK TKoGrid::EditorProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR,
                                     DWORD_PTR Data) {
    auto* Self = reinterpret_cast<TKoGrid*>(Data);
    try {
        switch (Msg) {
        case WM_GETDLGCODE:
            return DLGC_WANTALLKEYS | DefSubclassProc(Wnd, Msg, WParam, LParam);
        case WM_KEYDOWN:
            switch (WParam) {
            case VK_RETURN:
            case VK_ESCAPE:
            case VK_TAB:
            case VK_UP:
            case VK_DOWN:
            case VK_PRIOR:
            case VK_NEXT:
            case VK_F2:
                Self->KeyDown(WParam);
                return 0;
            default:
                if (Self->OnKeyDown && (GetKeyState(VK_CONTROL) < 0 || WParam == VK_INSERT) &&
                    Self->OnKeyDown(WParam))
                    return 0;
                break;
            }
            break;
        case WM_CHAR:
            if (WParam == L'\r' || WParam == 27 || WParam == L'\t') return 0;
            break;
        case WM_SETFOCUS:
            if (Self->OnEnter) Self->OnEnter();
            break;
        case WM_KILLFOCUS:
            // Leaving the grid applies the text, once the focus has settled.
            if (!Self->FClosingEditor)
                PostMessageW(Self->FHandle, KgmApplyEdit, reinterpret_cast<WPARAM>(Wnd), 0);
            break;
        default:
            break;
        }
    } catch (...) {
        Application().HandleException(nullptr);
        return 0;
    }
    return DefSubclassProc(Wnd, Msg, WParam, LParam);
}

LRESULT TKoGrid::Dispatch(UINT Msg, WPARAM WParam, LPARAM LParam) {
    switch (Msg) {
    case WM_PAINT: {
        PAINTSTRUCT PaintInfo;
        const HDC DC = BeginPaint(FHandle, &PaintInfo);
        if (PaintInfo.rcPaint.right > PaintInfo.rcPaint.left) Paint(DC, PaintInfo.rcPaint);
        EndPaint(FHandle, &PaintInfo);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_SIZE:
        FitToClient();
        UpdateScrollBars();
        PlaceEditor();
        InvalidateRect(FHandle, nullptr, FALSE);
        return 0;
    case WM_ENABLE:
        if (!WParam && FEditor) HideEditor(false);
        InvalidateRect(FHandle, nullptr, FALSE);
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateCell(FCol, FRow);
        if (Msg == WM_SETFOCUS && OnEnter) OnEnter();
        return 0;
    case WM_KEYDOWN:
        if (KeyDown(WParam)) return 0;
        break;
    case WM_CHAR:
        if (WParam >= 32 && WParam != 127 && GetKeyState(VK_CONTROL) >= 0) {
            const std::wstring Typed(1, static_cast<wchar_t>(WParam));
            ShowEditor(&Typed);
        }
        return 0;
    case WM_COMMAND:
        if (FEditor && reinterpret_cast<HWND>(LParam) == FEditor && HIWORD(WParam) == EN_CHANGE &&
            !FClosingEditor) {
            const std::wstring Text = KoWindowText(FEditor);
            FCells[static_cast<size_t>(FRow)][static_cast<size_t>(FCol)] = Text;
            if (OnSetEditText) OnSetEditText(FCol, FRow, Text);
        }
        return 0;
    case KgmApplyEdit: {
        const HWND Focus = GetFocus();
        if (FEditor && reinterpret_cast<HWND>(WParam) == FEditor && Focus != FEditor) HideEditor(true);
        return 0;
    }
    case WM_LBUTTONDOWN: {
        const POINT At{static_cast<short>(LOWORD(LParam)), static_cast<short>(HIWORD(LParam))};
        if (GetFocus() != FHandle) SetFocus(FHandle);
        if (OnEnter) OnEnter();
        const int Border = At.y < FFixedRows * Px(FRowHeight) ? BorderAt(At.x) : -1;
        if (Border >= 0) {
            FSizingCol = Border;
            FSizingStart = At.x;
            FSizingWidth = ColWidths(Border);
            SetCapture(FHandle);
            return 0;
        }
        int Col = -1, Row = -1;
        CellAt(At, Col, Row);
        if (Col >= FFixedCols && Row >= FFixedRows) SetCurrent(Col, Row);
        return 0;
    }
    case WM_MOUSEMOVE: {
        const POINT At{static_cast<short>(LOWORD(LParam)), static_cast<short>(HIWORD(LParam))};
        if (FSizingCol >= 0) {
            const int Unit = KoScale(96);
            const int Delta = Unit > 0 ? MulDiv(At.x - FSizingStart, 96, Unit) : At.x - FSizingStart;
            SetColWidths(FSizingCol, std::max(8, FSizingWidth + Delta));
            return 0;
        }
        int Col = -1, Row = -1;
        CellAt(At, Col, Row);
        if (Row != FMouseRow) {
            FMouseRow = Row;
            if (OnMouseRow) OnMouseRow(Row);
        }
        return 0;
    }
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
        if (FSizingCol >= 0) {
            FSizingCol = -1;
            if (Msg == WM_LBUTTONUP) ReleaseCapture();
        }
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(LParam) == HTCLIENT) {
            POINT At{};
            GetCursorPos(&At);
            ScreenToClient(FHandle, &At);
            if (At.y < FFixedRows * Px(FRowHeight) && BorderAt(At.x) >= 0) {
                SetCursor(LoadCursorW(nullptr, IDC_SIZEWE));
                return TRUE;
            }
        }
        break;
    case WM_LBUTTONDBLCLK: {
        const POINT At{static_cast<short>(LOWORD(LParam)), static_cast<short>(HIWORD(LParam))};
        int Col = -1, Row = -1;
        CellAt(At, Col, Row);
        if (Col >= FFixedCols && Row >= FFixedRows) SetCurrent(Col, Row);
        if (OnDblClick) OnDblClick();
        return 0;
    }
    case WM_MOUSEWHEEL: {
        const int Steps = -GET_WHEEL_DELTA_WPARAM(WParam) / WHEEL_DELTA * 3;
        const int Top = std::clamp(FTopRow + Steps, std::min(FFixedRows, RowCount() - 1), RowCount() - 1);
        if (Top != FTopRow) {
            FTopRow = Top;
            UpdateScrollBars();
            PlaceEditor();
            InvalidateRect(FHandle, nullptr, FALSE);
        }
        return 0;
    }
    case WM_VSCROLL:
    case WM_HSCROLL: {
        const int Bar = Msg == WM_VSCROLL ? SB_VERT : SB_HORZ;
        SCROLLINFO Info{};
        Info.cbSize = sizeof(Info);
        Info.fMask = SIF_ALL;
        GetScrollInfo(FHandle, Bar, &Info);
        int Pos = Info.nPos;
        switch (LOWORD(WParam)) {
        case SB_LINEUP:
            --Pos;
            break;
        case SB_LINEDOWN:
            ++Pos;
            break;
        case SB_PAGEUP:
            Pos -= static_cast<int>(Info.nPage);
            break;
        case SB_PAGEDOWN:
            Pos += static_cast<int>(Info.nPage);
            break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
            Pos = Info.nTrackPos;
            break;
        case SB_TOP:
            Pos = 0;
            break;
        case SB_BOTTOM:
            Pos = Info.nMax;
            break;
        default:
            break;
        }
        Pos = std::clamp(Pos, 0, std::max(0, Info.nMax));
        if (Msg == WM_VSCROLL)
            FTopRow = std::min(FFixedRows + Pos, RowCount() - 1);
        else
            FLeftCol = std::min(FFixedCols + Pos, FColCount - 1);
        UpdateScrollBars();
        PlaceEditor();
        InvalidateRect(FHandle, nullptr, FALSE);
        return 0;
    }
    case WM_NCDESTROY: {
        const HWND Window = FHandle;
        SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
        FHandle = nullptr;
        FEditor = nullptr;
        return DefWindowProcW(Window, Msg, WParam, LParam);
    }
    default:
        break;
    }
    return DefWindowProcW(FHandle, Msg, WParam, LParam);
}
