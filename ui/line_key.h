#pragma once

// Which lines of two refills show the same endpoint: the family, the protocol
// and the local and remote address, scope and port. The state and the texts
// may differ.
#include <QByteArray>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <vector>

struct CONN_LINE;

// The endpoint of a line as words that are equal exactly when the endpoints
// are, and that compare as the kernel orders its tables: IPv4 before IPv6,
// TCP before UDP, then by local address, scope and port, then the remote end.
struct LINE_KEY {
    std::array<std::uint64_t, 7> words;
    auto operator<=>(const LINE_KEY&) const = default;
};

LINE_KEY LineKey(const CONN_LINE& line);
// The same as bytes, for a model role.
QByteArray EndpointKey(const CONN_LINE& line);
bool SameEndpoint(const CONN_LINE& a, const CONN_LINE& b);

// The lines that two refills share at their ends: `before` lines at the start
// and `after` lines at the end have the same endpoints in both, and the
// middle is what changed.
struct KEPT_ENDS {
    std::size_t before = 0;
    std::size_t after = 0;
};

KEPT_ENDS KeptEnds(const std::vector<CONN_LINE>& old, const std::vector<CONN_LINE>& fresh);
