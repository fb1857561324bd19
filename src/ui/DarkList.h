#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <string>

// LVFI_SUBSTRING, the flag Windows sends when the user types in a list; older SDK headers lack it.
constexpr UINT kFindSubstring = 0x0004;

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

    // The text a row of an owner-data list is found by when the user types in it.
    using RowText = std::wstring (*)(std::size_t row);
    // The answer to LVN_ODFINDITEMW of an owner-data list of `count` rows: the next row from the
    // one the list names whose text starts with (or, unless partial, is) what was typed,
    // ignoring case and wrapping when the list asks to; -1 when there is none.
    static LRESULT FindRow(const NMLVFINDITEMW& find, std::size_t count, RowText textOf);
};
