// A DLL left beside the program under the name of a DLL it uses, as anyone who can write to
// the program's folder could leave one. Whatever process loads it, it leaves a mark: a folder
// named after its own file in the folder that OSTREVANE_PLANTED_MARKS names. A folder is made
// rather than a file, so that leaving the mark opens no handle.
#include <windows.h>

#include <array>
#include <string>

// What the program imported from the common controls when it still imported them, so that such
// a program starts with this DLL in their place, as it would on Windows.
extern "C" __declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void*)
{
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    std::array<wchar_t, MAX_PATH> marks{};
    std::array<wchar_t, MAX_PATH> self{};
    const DWORD marksLength = GetEnvironmentVariableW(L"OSTREVANE_PLANTED_MARKS", marks.data(), MAX_PATH);
    const DWORD selfLength = GetModuleFileNameW(instance, self.data(), MAX_PATH);
    if (marksLength == 0 || marksLength >= MAX_PATH || selfLength == 0 || selfLength >= MAX_PATH) {
        return TRUE;
    }
    const std::wstring path(self.data(), selfLength);
    const std::wstring mark = std::wstring(marks.data(), marksLength) + L"\\" + path.substr(path.find_last_of(L"\\/") + 1);
    CreateDirectoryW(mark.c_str(), nullptr);
    return TRUE;
}
