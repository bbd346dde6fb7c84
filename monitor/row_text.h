#pragma once

// The texts of one connection row, shared by the list and the log.
#include <cstddef>
#include <cstdint>

#include "monitor/conn_table.h"

inline constexpr const char* kNoRemoteText = "*.*";
inline constexpr std::size_t kAddressTextLength = 15;  // "%3u.%3u.%3u.%3u"
inline constexpr std::size_t kEndpointTextLength = 21; // "%3u.%3u.%3u.%3u:%5u"

// State text into `buffer` (at least 12 bytes); 0 without a buffer.
int GetStateName(std::uint32_t state, char* buffer);
// Service name or decimal port into `buffer` (at least 13 bytes).
void GetServiceName(std::uint32_t port, char* buffer);

// "TCP" for a row whose state is not 0, "UDP" otherwise.
const char* GetProtocolText(const CONN_ROW& row);
// "%3u.%3u.%3u.%3u" of an address in network byte order; `size` >= 16.
void FormatAddressText(std::uint32_t address, char* buffer, std::size_t size);
// "%3u.%3u.%3u.%3u:%5u"; `size` >= 22.
void FormatNumericEndpoint(std::uint32_t address, std::uint16_t port, char* buffer,
                           std::size_t size);
// "%s:%s" of a host text and the port's service text, cut to `size`.
void FormatNamedEndpoint(const char* hostText, std::uint16_t port, char* buffer, std::size_t size);
// The endpoint text in the form that oProp's showHost chooses, read afresh.
void FormatEndpoint(std::uint32_t address, std::uint16_t port, char* buffer, std::size_t size);

// "TCPv6" for a row whose state is not 0, "UDPv6" otherwise.
const char* GetProtocolText(const CONN6_ROW& row);
// fe80::/10, the addresses whose scope is an interface.
inline bool IsLinkLocal6(const std::uint8_t* address)
{
    return address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
}
// "[%s]" of an IPv6 address: its RFC 5952 text, with "%" and the interface's
// name (or number) after a link-local address that has a scope.
void FormatAddress6Text(const std::uint8_t* address, std::uint32_t scope, char* buffer,
                        std::size_t size);
// "[%s]:%5u".
void FormatNumericEndpoint6(const std::uint8_t* address, std::uint32_t scope, std::uint16_t port,
                            char* buffer, std::size_t size);
void FormatEndpoint6(const std::uint8_t* address, std::uint32_t scope, std::uint16_t port,
                     char* buffer, std::size_t size);

// The local and the remote endpoint text of a row of either family.
void FormatLocalEndpoint(const CONN_ROW& row, char* buffer, std::size_t size);
void FormatLocalEndpoint(const CONN6_ROW& row, char* buffer, std::size_t size);
void FormatRemoteEndpoint(const CONN_ROW& row, char* buffer, std::size_t size);
void FormatRemoteEndpoint(const CONN6_ROW& row, char* buffer, std::size_t size);
