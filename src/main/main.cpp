#include "ui/UI.h"

#include <commctrl.h>

#include <cstddef>

#if defined(__GLIBCXX__)
// An exception that nothing catches ends the program through libstdc++'s terminate handler,
// which names the exception's type on the standard error stream, demangled when the demangler
// succeeds. A windowed program has no such stream to show it on, and the demangler would be a
// fifth of the program: this one declines, which the handler takes as it takes any failure.
extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status)
{
    if (status != nullptr) {
        *status = -2;
    }
    return nullptr;
}
#endif

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
