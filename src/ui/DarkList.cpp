#include "ui/DarkList.h"

#include "ui/Controls.h"
#include "ui/Theme.h"

namespace {

constexpr DWORD kListExStyle = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
static_assert(kListExStyle == 0x10020);

// Asked of the list itself: the state a notification reports differs between versions of
// the control.
bool IsSelected(HWND list, std::size_t row)
{
    return (SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

void ColourCell(NMLVCUSTOMDRAW& draw, DarkList::TextColour colour)
{
    const auto row = static_cast<std::size_t>(draw.nmcd.dwItemSpec);
    if (IsSelected(draw.nmcd.hdr.hwndFrom, row)) {
        draw.clrText = Theme::kSelectedText;
        draw.clrTextBk = Theme::kSelectedBackground;
    } else {
        draw.clrText = colour(row, draw.iSubItem, draw.clrText);
        draw.clrTextBk = Theme::kListBackground;
    }
}

} // namespace

HWND DarkList::Create(HWND parent, int id, DWORD style, int x, int y, int width, int height)
{
    const HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", style, x, y, width, height, parent,
                                      Controls::Id(id), Controls::InstanceOf(parent), nullptr);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, kListExStyle);
    SendMessageW(list, LVM_SETBKCOLOR, 0, Theme::kListBackground);
    SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, Theme::kListBackground);
    SendMessageW(list, LVM_SETTEXTCOLOR, 0, Theme::kLightText);
    return list;
}

void DarkList::AddColumn(HWND list, int position, const wchar_t* title, int width)
{
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(title);
    column.iSubItem = position;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(&column));
}

LRESULT DarkList::OnCustomDraw(NMLVCUSTOMDRAW& draw, TextColour colour)
{
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        // A row reported selected (or focused) here is painted in the system's selection
        // colours over the cells' own, grey once the list has lost the focus: the cells
        // paint the selection themselves instead.
        draw.nmcd.uItemState &= ~static_cast<UINT>(CDIS_SELECTED | CDIS_FOCUS);
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
        ColourCell(draw, colour);
        return CDRF_NEWFONT;
    default:
        return CDRF_DODEFAULT;
    }
}
