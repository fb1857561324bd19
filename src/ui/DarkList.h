#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>

// The report list views of both windows: light text on the dark list background, full-row
// selection, and the selected row white on blue in every column whether the list has the
// focus or not.
class DarkList {
public:
    DarkList() = delete;

    // Creates the list and gives it the dark colours; null when it could not be created.
    static HWND Create(HWND parent, int id, DWORD style, int x, int y, int width, int height);
    static void AddColumn(HWND list, int position, const wchar_t* title, int width);

    // The text colour of the cell at `row`, `column` of a row that is not selected; `given`
    // is the colour the list would use.
    using TextColour = COLORREF (*)(std::size_t row, int column, COLORREF given);
    // The answer to NM_CUSTOMDRAW from a list made by Create.
    static LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw, TextColour colour);
};
