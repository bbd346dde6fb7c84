#pragma once

// The font of the list's endpoint columns. Their texts are padded with blanks
// so that addresses and ports line up, which only works in a font that draws
// every character such a text can hold with one advance.
#include <QFont>

// True when `font` draws each character of a numeric or named endpoint text
// (digits, letters, blank, ".", ":", "*", "-", "_", "[", "]") with the same advance.
bool DrawsEndpointTextsEvenly(const QFont& font);

// The endpoint font at the size of `dialogFont`: the desktop's fixed font when
// it draws evenly, else the first of a few common monospace families that
// does, else the desktop's fixed font as it is.
QFont ChooseEndpointFont(const QFont& dialogFont);
