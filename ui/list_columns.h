#pragma once

// The connection list's four columns: headings, widths and the room their
// texts need.
class QFont;
class QTreeView;

struct LIST_COLUMN {
    const char* heading;
    // Pixels of the template's font (see CDialogUnits::ScaledPixels).
    int width;
};

inline constexpr LIST_COLUMN kListColumns[] = {
    {"Protocol", 70},
    {"Local Address", 150},
    {"Remote Address", 150},
    {"State", 90},
};

// Pixels that `column` of `list` needs to show its heading and any of its
// texts with names off (`endpointFont` for the endpoint columns) uncut: those
// of IPv4 lines, or with `ipv6` those of IPv6 lines.
int ListColumnTextWidth(const QTreeView& list, const QFont& endpointFont, int column,
                        bool ipv6 = false);
