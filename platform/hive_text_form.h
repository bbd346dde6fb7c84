#pragma once

// The bytes a hive file is stored as: UTF-8, with or without a byte order
// mark, or UTF-16LE with one (how exported registry files are often saved),
// with LF or CRLF line ends. The hive is read as UTF-8 text and written back
// in the form its file came in.
#include <string>
#include <string_view>

struct HIVE_TEXT_FORM {
    enum class Encoding { Utf8, Utf8Bom, Utf16Le };
    Encoding encoding = Encoding::Utf8;
    bool crlf = false;
};

// The UTF-8 text of the file bytes `bytes`, and the form they are in. False
// when part of them does not decode (an odd last byte of UTF-16); `text` then
// holds what did.
bool DecodeHiveText(std::string_view bytes, std::string* text, HIVE_TEXT_FORM* form);

// The file bytes of the UTF-8 text `text` (LF line ends) in `form`. False when
// the text cannot take that form: bytes that are not UTF-8 going to UTF-16.
bool EncodeHiveText(std::string_view text, const HIVE_TEXT_FORM& form, std::string* bytes);
