#include "platform/hive_text_form.h"

#include <cstdint>

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";

// Lone surrogates take their three-byte UTF-8 shape, so that any UTF-16 file
// comes back byte for byte.
void AppendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | code >> 12));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | code >> 18));
        out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

void AppendUnit(std::string& out, std::uint32_t unit)
{
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
}

bool IsHigh(std::uint32_t unit)
{
    return unit >= 0xD800 && unit < 0xDC00;
}

bool IsLow(std::uint32_t unit)
{
    return unit >= 0xDC00 && unit < 0xE000;
}

bool DecodeUtf16Le(std::string_view bytes, std::string* text)
{
    const auto unitAt = [&](std::size_t pos) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[pos])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8;
    };
    std::size_t pos = 0;
    for (; pos + 1 < bytes.size(); pos += 2) {
        std::uint32_t unit = unitAt(pos);
        if (IsHigh(unit) && pos + 3 < bytes.size() && IsLow(unitAt(pos + 2))) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (unitAt(pos + 2) - 0xDC00);
            pos += 2;
        }
        AppendUtf8(*text, unit);
    }
    return pos == bytes.size();
}

// The next code point of `text` from `pos`, moving `pos` past it; false for
// bytes that are not the shortest UTF-8 of one.
bool NextCode(std::string_view text, std::size_t* pos, std::uint32_t* code)
{
    const auto byteAt = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byteAt(*pos);
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 0;
    if (length == 0 || lead > 0xF4 || *pos + length > text.size())
        return false;
    *code = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char next = byteAt(*pos + i);
        if ((next & 0xC0) != 0x80)
            return false;
        *code = *code << 6 | (next & 0x3F);
    }
    static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (*code < smallest[length] || *code > 0x10FFFF)
        return false;
    *pos += length;
    return true;
}

bool EncodeUtf16Le(std::string_view text, std::string* bytes)
{
    for (std::size_t pos = 0; pos < text.size();) {
        std::uint32_t code = 0;
        if (!NextCode(text, &pos, &code))
            return false;
        if (code >= 0x10000) {
            AppendUnit(*bytes, 0xD800 + ((code - 0x10000) >> 10));
            AppendUnit(*bytes, 0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            AppendUnit(*bytes, code);
        }
    }
    return true;
}

} // namespace

bool DecodeHiveText(std::string_view bytes, std::string* text, HIVE_TEXT_FORM* form)
{
    *form = HIVE_TEXT_FORM{};
    text->clear();
    bool whole = true;
    if (bytes.substr(0, kUtf16LeMark.size()) == kUtf16LeMark) {
        form->encoding = HIVE_TEXT_FORM::Encoding::Utf16Le;
        whole = DecodeUtf16Le(bytes.substr(kUtf16LeMark.size()), text);
    } else if (bytes.substr(0, kUtf8Mark.size()) == kUtf8Mark) {
        form->encoding = HIVE_TEXT_FORM::Encoding::Utf8Bom;
        text->assign(bytes.substr(kUtf8Mark.size()));
    } else {
        text->assign(bytes);
    }
    // The first line decides the line ends of the whole file.
    std::size_t end = text->find('\n');
    form->crlf = end != std::string::npos && end > 0 && (*text)[end - 1] == '\r';
    return whole;
}

bool EncodeHiveText(std::string_view text, const HIVE_TEXT_FORM& form, std::string* bytes)
{
    std::string lines;
    if (form.crlf) {
        lines.reserve(text.size() + text.size() / 16);
        for (char ch : text) {
            if (ch == '\n')
                lines.push_back('\r');
            lines.push_back(ch);
        }
        text = lines;
    }
    bytes->clear();
    switch (form.encoding) {
    case HIVE_TEXT_FORM::Encoding::Utf8:
        bytes->assign(text);
        return true;
    case HIVE_TEXT_FORM::Encoding::Utf8Bom:
        *bytes = kUtf8Mark;
        *bytes += text;
        return true;
    case HIVE_TEXT_FORM::Encoding::Utf16Le:
        *bytes = kUtf16LeMark;
        return EncodeUtf16Le(text, bytes);
    }
    return false;
}
