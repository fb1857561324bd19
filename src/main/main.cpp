#include "ui/UI.h"

#include <commctrl.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
    static_assert(sizeof(INITCOMMONCONTROLSEX) == 8 && (ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES) == 0x4001);
    InitCommonControlsEx(&controls);

    if (!UI::Initialize(instance)) {
        return 0;
    }
    if (UI::CreateMainWindow(showCommand) == nullptr) {
        return 0;
    }
    return UI::MessageLoop();
}
