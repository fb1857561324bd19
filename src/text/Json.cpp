#include "text/Json.h"

#include <utility>
#include <cstdint>

namespace {

constexpr std::wstring_view kNewLine = L"\r\n";
constexpr std::wstring_view kIndent = L"  ";

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// Skips digits from `at`; false when there is none.
bool Digits(std::wstring_view token, std::size_t& at)
{
    const std::size_t start = at;
    while (at < token.size() && IsDigit(token[at])) {
        ++at;
    }
    return at > start;
}

void AppendEscape(std::wstring& out, std::uint32_t unit)
{
    constexpr std::wstring_view kHex = L"0123456789abcdef";
    out += L"\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(unit >> shift) & 0xF];
    }
}

bool IsHighSurrogate(std::uint32_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(std::uint32_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

void JsonWriter::BeginObject()
{
    Open(L'{');
}

void JsonWriter::EndObject()
{
    Close(L'}');
}

void JsonWriter::BeginArray()
{
    Open(L'[');
}

void JsonWriter::EndArray()
{
    Close(L']');
}

void JsonWriter::Key(std::wstring_view name)
{
    BeforeValue();
    m_out += Quoted(name);
    m_out += L": ";
    m_afterKey = true;
}

void JsonWriter::String(std::wstring_view text)
{
    BeforeValue();
    m_out += Quoted(text);
}

void JsonWriter::Number(std::wstring_view token)
{
    if (!IsNumber(token)) {
        String(token);
        return;
    }
    BeforeValue();
    m_out += token;
}

void JsonWriter::Null()
{
    BeforeValue();
    m_out += L"null";
}

std::wstring JsonWriter::Take()
{
    m_out += kNewLine;
    m_filled.clear();
    m_afterKey = false;
    return std::move(m_out);
}

bool JsonWriter::IsNumber(std::wstring_view token)
{
    std::size_t at = 0;
    if (at < token.size() && token[at] == L'-') {
        ++at;
    }
    // No leading zeros: "0" alone or a digit 1-9 first.
    if (at < token.size() && token[at] == L'0') {
        ++at;
    } else if (!Digits(token, at)) {
        return false;
    }
    if (at < token.size() && token[at] == L'.') {
        ++at;
        if (!Digits(token, at)) {
            return false;
        }
    }
    if (at < token.size() && (token[at] == L'e' || token[at] == L'E')) {
        ++at;
        if (at < token.size() && (token[at] == L'+' || token[at] == L'-')) {
            ++at;
        }
        if (!Digits(token, at)) {
            return false;
        }
    }
    return at == token.size();
}

std::wstring JsonWriter::Quoted(std::wstring_view text)
{
    std::wstring out;
    out.reserve(text.size() + 2);
    out += L'"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]);
        switch (c) {
        case L'"':
            out += L"\\\"";
            continue;
        case L'\\':
            out += L"\\\\";
            continue;
        case L'\b':
            out += L"\\b";
            continue;
        case L'\f':
            out += L"\\f";
            continue;
        case L'\n':
            out += L"\\n";
            continue;
        case L'\r':
            out += L"\\r";
            continue;
        case L'\t':
            out += L"\\t";
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x2028 || c == 0x2029) {
            AppendEscape(out, c);
        } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
            out += text[i];
            out += text[++i];
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendEscape(out, c);
        } else if (c > 0x10FFFF) {
            AppendEscape(out, 0xFFFD); // wider than Unicode: only a 32-bit wchar_t holds it
        } else {
            out += text[i];
        }
    }
    out += L'"';
    return out;
}

void JsonWriter::BeforeValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_filled.empty()) {
        return;
    }
    if (m_filled.back()) {
        m_out += L',';
    }
    m_filled.back() = true;
    NewLine();
}

void JsonWriter::Open(wchar_t bracket)
{
    BeforeValue();
    m_out += bracket;
    m_filled.push_back(false);
}

void JsonWriter::Close(wchar_t bracket)
{
    if (m_filled.empty()) {
        return;
    }
    const bool filled = m_filled.back();
    m_filled.pop_back();
    if (filled) {
        NewLine();
    }
    m_out += bracket;
}

void JsonWriter::NewLine()
{
    m_out += kNewLine;
    for (std::size_t level = 0; level < m_filled.size(); ++level) {
        m_out += kIndent;
    }
}
