#pragma once

#include <string>
#include <string_view>
#include <vector>

// JSON text for scripts, written value by value into wide text: objects and arrays indented by
// two spaces a level, one member or element a line, lines ended by CR LF. Strings are escaped
// as RFC 8259 requires (quotation mark, reverse solidus and the controls below U+0020), and so
// are U+2028 and U+2029, which older JavaScript takes for line ends, and UTF-16 surrogates that
// stand alone, which no UTF-8 can carry. Free of <windows.h>, so it is tested natively and
// fuzzed.
class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the open object.
    void Key(std::wstring_view name);
    void String(std::wstring_view text);
    // `token` as a number when it is one by RFC 8259's grammar, else as a string, so that a
    // figure that came out odd still leaves valid JSON.
    void Number(std::wstring_view token);
    void Null();

    // The text written, with its last line ended.
    std::wstring Take();

    static bool IsNumber(std::wstring_view token);
    // `text` as a JSON string, quotation marks included.
    static std::wstring Quoted(std::wstring_view text);

private:
    void BeforeValue();
    void Open(wchar_t bracket);
    void Close(wchar_t bracket);
    void NewLine();

    std::wstring m_out;
    // Per open object or array, whether it holds a member or element yet.
    std::vector<bool> m_filled;
    bool m_afterKey = false;
};
