#include "platform/hive_file.h"

#include <cstdio>
#include <optional>
#include <unordered_map>

namespace {

constexpr DWORD kTypeString = 1;
constexpr DWORD kTypeBinary = 3;
constexpr DWORD kTypeDword = 4;

char LowerAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

std::string Folded(std::string_view text)
{
    std::string folded(text);
    for (char& ch : folded)
        ch = LowerAscii(ch);
    return folded;
}

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else; more digits would not fit 32 bits.
std::optional<DWORD> ParseHex32(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    DWORD value = 0;
    for (char ch : text) {
        int digit = HexDigit(ch);
        if (digit < 0)
            return std::nullopt;
        value = (value << 4) | static_cast<DWORD>(digit);
    }
    return value;
}

bool ConsumePrefix(std::string_view& text, std::string_view prefix)
{
    if (text.substr(0, prefix.size()) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// A quoted text at the start of `text` with \\ and \" escapes; `text` is left
// just after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view& text)
{
    if (text.empty() || text.front() != '"')
        return std::nullopt;
    std::string out;
    std::size_t pos = 1;
    while (pos < text.size()) {
        char ch = text[pos];
        if (ch == '"') {
            text.remove_prefix(pos + 1);
            return out;
        }
        if (ch == '\\') {
            if (pos + 1 >= text.size())
                return std::nullopt;
            char next = text[pos + 1];
            if (next != '\\' && next != '"')
                return std::nullopt;
            out.push_back(next);
            pos += 2;
            continue;
        }
        out.push_back(ch);
        ++pos;
    }
    return std::nullopt;
}

std::optional<std::vector<BYTE>> ParseByteList(std::string_view text)
{
    std::vector<BYTE> bytes;
    text = Trimmed(text);
    if (text.empty())
        return bytes;
    // Line continuations leave "01,02," behind when joined; one trailing comma is fine.
    if (text.back() == ',')
        text.remove_suffix(1);
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view token = Trimmed(text.substr(0, comma));
        std::optional<DWORD> value = ParseHex32(token);
        if (!value || token.size() > 2)
            return std::nullopt;
        bytes.push_back(static_cast<BYTE>(*value));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return bytes;
}

bool ValidKeyPath(std::string_view path)
{
    if (path.empty() || path.front() == '-')
        return false;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = path.find('\\', start);
        std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end == start)
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

class HiveReader {
public:
    HiveReader(std::string_view text, HIVE* into) : rest(text), hive(into)
    {
        ConsumePrefix(rest, "\xEF\xBB\xBF");
    }

    std::size_t Run()
    {
        std::string_view line;
        while (NextLine(&line)) {
            line = Trimmed(line);
            if (line.empty() || line == kHiveHeader || line == "REGEDIT4")
                continue;
            if (line.front() == '[')
                Section(line);
            else if (line.front() == '"' || line.front() == '@')
                Value(line);
            else
                ++unparsed;
        }
        return unparsed;
    }

private:
    bool NextLine(std::string_view* line)
    {
        if (rest.empty())
            return false;
        std::size_t end = rest.find('\n');
        *line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        return true;
    }

    void Section(std::string_view line)
    {
        current = -1;
        if (line.size() < 2 || line.back() != ']') {
            ++unparsed;
            return;
        }
        std::string_view path = line.substr(1, line.size() - 2);
        if (!ValidKeyPath(path)) {
            ++unparsed;
            return;
        }
        std::string folded = Folded(path);
        auto found = keyIndex.find(folded);
        if (found != keyIndex.end()) {
            current = static_cast<long>(found->second);
            return;
        }
        current = static_cast<long>(hive->keys.size());
        keyIndex.emplace(std::move(folded), hive->keys.size());
        hive->keys.push_back(HIVE_KEY{std::string(path), {}});
        valueIndex.emplace_back();
    }

    void Value(std::string_view line)
    {
        std::size_t lines = 1;
        std::optional<HIVE_VALUE> value = ParseValue(line, &lines);
        if (!value || current < 0) {
            unparsed += lines;
            return;
        }
        HIVE_KEY& key = hive->keys[static_cast<std::size_t>(current)];
        auto& index = valueIndex[static_cast<std::size_t>(current)];
        std::string folded = Folded(value->name);
        auto found = index.find(folded);
        if (found != index.end()) {
            HIVE_VALUE& old = key.values[found->second];
            old.type = value->type;
            old.data = std::move(value->data);
            return;
        }
        index.emplace(std::move(folded), key.values.size());
        key.values.push_back(std::move(*value));
    }

    std::optional<HIVE_VALUE> ParseValue(std::string_view line, std::size_t* lines)
    {
        HIVE_VALUE value;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else {
            std::optional<std::string> name = ParseQuoted(line);
            if (!name)
                return std::nullopt;
            value.name = std::move(*name);
        }
        line = Trimmed(line);
        if (!ConsumePrefix(line, "="))
            return std::nullopt;
        line = Trimmed(line);

        if (!line.empty() && line.front() == '"') {
            std::optional<std::string> text = ParseQuoted(line);
            if (!text || !line.empty())
                return std::nullopt;
            value.type = kTypeString;
            value.data.assign(text->begin(), text->end());
            value.data.push_back(0);
            return value;
        }
        if (ConsumePrefix(line, "dword:")) {
            std::optional<DWORD> number = ParseHex32(line);
            if (!number)
                return std::nullopt;
            value.type = kTypeDword;
            for (int shift = 0; shift < 32; shift += 8)
                value.data.push_back(static_cast<BYTE>(*number >> shift));
            return value;
        }
        if (!ConsumePrefix(line, "hex"))
            return std::nullopt;

        // Long byte lists continue on the next line after a trailing backslash;
        // gather them first so a bad list still consumes its continuation lines.
        std::string joined(line);
        while (!joined.empty() && joined.back() == '\\') {
            joined.pop_back();
            std::string_view next;
            if (!NextLine(&next))
                return std::nullopt;
            ++*lines;
            joined += Trimmed(next);
        }
        std::string_view typed = joined;
        if (ConsumePrefix(typed, "(")) {
            std::size_t close = typed.find(')');
            if (close == std::string_view::npos)
                return std::nullopt;
            std::optional<DWORD> type = ParseHex32(typed.substr(0, close));
            if (!type)
                return std::nullopt;
            value.type = *type;
            typed.remove_prefix(close + 1);
        } else {
            value.type = kTypeBinary;
        }
        if (!ConsumePrefix(typed, ":"))
            return std::nullopt;
        std::optional<std::vector<BYTE>> bytes = ParseByteList(typed);
        if (!bytes)
            return std::nullopt;
        value.data = std::move(*bytes);
        return value;
    }

    std::string_view rest;
    HIVE* hive;
    long current = -1;
    std::size_t unparsed = 0;
    std::unordered_map<std::string, std::size_t> keyIndex;
    std::vector<std::unordered_map<std::string, std::size_t>> valueIndex;
};

void AppendQuoted(std::string& out, std::string_view text)
{
    out.push_back('"');
    for (char ch : text) {
        if (ch == '\\' || ch == '"')
            out.push_back('\\');
        out.push_back(ch);
    }
    out.push_back('"');
}

// A string goes in quotes only when reading the quotes back gives the same bytes.
bool QuotableString(const std::vector<BYTE>& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0 || data[i] == '\n')
            return false;
    }
    return true;
}

void AppendValue(std::string& out, const HIVE_VALUE& value)
{
    if (value.name.empty())
        out.push_back('@');
    else
        AppendQuoted(out, value.name);
    out.push_back('=');

    char scratch[32];
    if (value.type == kTypeString && QuotableString(value.data)) {
        AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                           value.data.size() - 1));
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        DWORD number = static_cast<DWORD>(value.data[0]) | static_cast<DWORD>(value.data[1]) << 8 |
                       static_cast<DWORD>(value.data[2]) << 16 |
                       static_cast<DWORD>(value.data[3]) << 24;
        std::snprintf(scratch, sizeof scratch, "dword:%08x", number);
        out += scratch;
    } else {
        if (value.type == kTypeBinary)
            out += "hex:";
        else {
            std::snprintf(scratch, sizeof scratch, "hex(%x):", value.type);
            out += scratch;
        }
        static const char digits[] = "0123456789abcdef";
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            if (i != 0)
                out.push_back(',');
            out.push_back(digits[value.data[i] >> 4]);
            out.push_back(digits[value.data[i] & 15]);
        }
    }
    out.push_back('\n');
}

// The first of `items` whose `name` equals `wanted`, as the registry compares names.
template <typename Item>
Item* FindNamed(std::vector<Item>& items, std::string Item::*name, std::string_view wanted)
{
    for (Item& item : items) {
        if (HiveNamesEqual(item.*name, wanted))
            return &item;
    }
    return nullptr;
}

} // namespace

std::size_t ParseHive(std::string_view text, HIVE* hive)
{
    hive->keys.clear();
    return HiveReader(text, hive).Run();
}

std::string SerializeHive(const HIVE& hive)
{
    std::string out = kHiveHeader;
    out += "\n\n";
    for (const HIVE_KEY& key : hive.keys) {
        out.push_back('[');
        out += key.path;
        out += "]\n";
        for (const HIVE_VALUE& value : key.values)
            AppendValue(out, value);
        out.push_back('\n');
    }
    return out;
}

bool HiveNamesEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

HIVE_KEY* FindHiveKey(HIVE& hive, std::string_view path)
{
    return FindNamed(hive.keys, &HIVE_KEY::path, path);
}

const HIVE_KEY* FindHiveKey(const HIVE& hive, std::string_view path)
{
    return FindHiveKey(const_cast<HIVE&>(hive), path);
}

bool HiveKeyExists(const HIVE& hive, std::string_view path)
{
    for (const HIVE_KEY& key : hive.keys) {
        std::string_view stored = key.path;
        if (stored.size() < path.size())
            continue;
        if (!HiveNamesEqual(stored.substr(0, path.size()), path))
            continue;
        if (stored.size() == path.size() || stored[path.size()] == '\\')
            return true;
    }
    return false;
}

HIVE_KEY& AddHiveKey(HIVE& hive, std::string_view path)
{
    if (HIVE_KEY* key = FindHiveKey(hive, path))
        return *key;
    hive.keys.push_back(HIVE_KEY{std::string(path), {}});
    return hive.keys.back();
}

HIVE_VALUE* FindHiveValue(HIVE_KEY& key, std::string_view name)
{
    return FindNamed(key.values, &HIVE_VALUE::name, name);
}

const HIVE_VALUE* FindHiveValue(const HIVE_KEY& key, std::string_view name)
{
    return FindHiveValue(const_cast<HIVE_KEY&>(key), name);
}

void SetHiveValue(HIVE_KEY& key, std::string_view name, DWORD type, const BYTE* data,
                  std::size_t size)
{
    HIVE_VALUE* value = FindHiveValue(key, name);
    if (value == nullptr) {
        key.values.push_back(HIVE_VALUE{std::string(name), 0, {}});
        value = &key.values.back();
    }
    value->type = type;
    if (size == 0)
        value->data.clear();
    else
        value->data.assign(data, data + size);
}
