#pragma once

// Which lines of two refills show the same endpoint: the protocol and the
// local and remote address and port. The state and the texts may differ.
#include <QByteArray>

#include <cstddef>
#include <vector>

struct CONN_LINE;

// The endpoint of `line` as bytes that compare equal exactly when the
// endpoints do.
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
