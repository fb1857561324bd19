#include "diskinfo/DiskInfo.h"
#include "disktest/SurfaceScan.h"
#include "main/Startup.h"
#include "ui/UI.h"

#include <commctrl.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <type_traits>

namespace {

struct FreeModule {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule>;

// The common controls are not a known DLL: imported, they would be looked for beside the program
// first. So they come from the system folder by name, and the list view's classes are
// registered through them. Null when they cannot be loaded, as the window is no use without its
// list.
Module LoadCommonControls()
{
    Module comctl32(LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!comctl32) {
        return nullptr;
    }
    using InitCommonControlsExFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    // FARPROC passes through void (*)(), the one function pointer type that converts to any other
    // without a warning.
    const auto initCommonControlsEx = reinterpret_cast<InitCommonControlsExFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(comctl32.get(), "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
    static_assert(sizeof(INITCOMMONCONTROLSEX) == 8 && (ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES) == 0x4001);
    if (initCommonControlsEx == nullptr) {
        return nullptr;
    }
    // Its answer is not taken as a failure: a version that does not know a class of the set
    // still registers the list view.
    initCommonControlsEx(&controls);
    return comctl32;
}

// "--standard", the one argument the window program takes, anywhere on its command line.
bool AsksStandardRequestsOnly(std::string_view arguments)
{
    constexpr std::string_view kBlanks = " \t";
    for (std::size_t start = arguments.find_first_not_of(kBlanks); start != std::string_view::npos;) {
        const std::size_t end = std::min(arguments.find_first_of(kBlanks, start), arguments.size());
        if (arguments.substr(start, end - start) == "--standard") {
            return true;
        }
        start = arguments.find_first_not_of(kBlanks, end);
    }
    return false;
}

void ShowStartError(const wchar_t* text)
{
    MessageBoxW(nullptr, text, L"Ostrevane", MB_OK | MB_ICONERROR);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int showCommand)
{
    if (!Startup::TakeDllsFromSystemFolderOnly()) {
        ShowStartError(L"Windows did not let the program take its DLLs from the system folder alone "
                       L"(SetDefaultDllDirectories failed), so it does not start.");
        return 1;
    }
    const Module commonControls = LoadCommonControls();
    if (!commonControls) {
        ShowStartError(L"The Windows common controls (comctl32.dll) could not be loaded from the system folder.");
        return 1;
    }

    DiskManager::SetStandardRequestsOnly(arguments != nullptr && AsksStandardRequestsOnly(arguments));
    if (!UI::Initialize(instance)) {
        return 0;
    }
    if (UI::CreateMainWindow(showCommand) == nullptr) {
        return 0;
    }
    const int exitCode = UI::MessageLoop();
    // A scan's thread that a drive still holds in a read after the wait would meet the program's
    // statics torn down under it: the process ends here, without running them.
    if (SurfaceScan::IsRunning()) {
        ExitProcess(static_cast<UINT>(exitCode));
    }
    return exitCode;
}
