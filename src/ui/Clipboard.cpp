#include "ui/Clipboard.h"

#include <cstring>

namespace {

// The clipboard, open for as long as this lives.
class OpenedClipboard {
public:
    explicit OpenedClipboard(HWND owner) noexcept : m_open(OpenClipboard(owner) != FALSE) {}
    OpenedClipboard(const OpenedClipboard&) = delete;
    OpenedClipboard& operator=(const OpenedClipboard&) = delete;
    ~OpenedClipboard()
    {
        if (m_open) {
            CloseClipboard();
        }
    }

    bool IsOpen() const noexcept { return m_open; }

private:
    bool m_open;
};

// Movable global memory, freed on leaving scope unless handed over with Release.
class GlobalMemory {
public:
    explicit GlobalMemory(SIZE_T bytes) noexcept : m_memory(GlobalAlloc(GMEM_MOVEABLE, bytes)) {}
    GlobalMemory(const GlobalMemory&) = delete;
    GlobalMemory& operator=(const GlobalMemory&) = delete;
    ~GlobalMemory()
    {
        if (m_memory != nullptr) {
            GlobalFree(m_memory);
        }
    }

    HGLOBAL Get() const noexcept { return m_memory; }
    void Release() noexcept { m_memory = nullptr; }

private:
    HGLOBAL m_memory;
};

// Copies `text` and a terminator into `memory`; false when it does not lock.
bool Fill(HGLOBAL memory, std::wstring_view text)
{
    auto* const out = static_cast<wchar_t*>(GlobalLock(memory));
    if (out == nullptr) {
        return false;
    }
    std::memcpy(out, text.data(), text.size() * sizeof(wchar_t));
    out[text.size()] = L'\0';
    GlobalUnlock(memory);
    return true;
}

bool PutText(HWND owner, std::wstring_view text)
{
    GlobalMemory memory((text.size() + 1) * sizeof(wchar_t));
    if (memory.Get() == nullptr || !Fill(memory.Get(), text)) {
        return false;
    }
    const OpenedClipboard clipboard(owner);
    if (!clipboard.IsOpen() || EmptyClipboard() == FALSE) {
        return false;
    }
    // Once taken, the memory belongs to the system; refused, it is still this call's to free.
    if (SetClipboardData(CF_UNICODETEXT, memory.Get()) == nullptr) {
        return false;
    }
    memory.Release();
    return true;
}

} // namespace

bool Clipboard::Copy(HWND owner, std::wstring_view text)
{
    if (PutText(owner, text)) {
        return true;
    }
    MessageBoxW(owner, L"The text could not be put on the clipboard.", L"Error", MB_OK | MB_ICONERROR);
    return false;
}

bool Clipboard::IsCopyKey(WPARAM key)
{
    // Ctrl+Alt+C is AltGr+C on some keyboards: a character, not a copy.
    return key == 'C' && GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) >= 0;
}
