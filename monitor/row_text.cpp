#include "monitor/row_text.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

#include "monitor/host_cache.h"
#include "platform/text_copy.h"
#include "settings/prop.h"

namespace {

struct SERVICE_NAME {
    std::uint16_t port;
    const char* name;
};

// Sorted by port for the binary search.
constexpr SERVICE_NAME kServices[] = {
    {7, "echo"},         {9, "discard"},       {11, "systat"},        {13, "daytime"},
    {17, "qotd"},        {19, "chargen"},      {20, "ftp-data"},      {21, "ftp"},
    {23, "telnet"},      {25, "smtp"},         {37, "time"},          {42, "nameserver"},
    {53, "domain"},      {67, "bootps"},       {68, "bootpc"},        {69, "tftp"},
    {70, "gopher"},      {79, "finger"},       {80, "http"},          {88, "kerberos"},
    {101, "hostname"},   {102, "iso-tsap"},    {107, "rtelnet"},      {109, "pop2"},
    {110, "pop3"},       {111, "sunrpc"},      {113, "auth"},         {135, "epmap"},
    {137, "netbios-ns"}, {138, "netbios-dgm"}, {139, "netbios-ssn"},  {161, "snmp"},
    {162, "snmptrap"},   {443, "https"},       {445, "microsoft-ds"}, {464, "kpasswd"},
    {500, "isakmp"},     {666, "doom"},        {749, "kerberos-adm"}, {750, "kerberos-iv"},
    {1109, "kpop"},      {1167, "phone"},      {1433, "ms-sql-s"},    {1434, "ms-sql-m"},
    {1512, "wins"},      {1723, "pptp"},
};
static_assert(std::size(kServices) == 46);
static_assert(std::is_sorted(std::begin(kServices), std::end(kServices),
                             [](const SERVICE_NAME& a, const SERVICE_NAME& b) {
                                 return a.port < b.port;
                             }));

constexpr const char* kStateNames[] = {
    " ",        "CLOSED",   "LISTEN",     "SYN_SENT", "SYN_RCVD", "ESTABLISHED",
    "FIN_WAIT", "FIN_WAIT", "CLOSE_WAIT", "CLOSING",  "LAST_ACK", "TIME_WAIT",
};
constexpr const char* kUnknownState = "UNC";

// Writes `value` right-aligned and blank-filled in `width` characters, as "%*u"
// does for values that fit.
char* PutField(char* out, unsigned value, int width)
{
    char digits[10];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    int length = static_cast<int>(result.ptr - digits);
    for (int i = length; i < width; ++i)
        *out++ = ' ';
    std::memcpy(out, digits, static_cast<std::size_t>(length));
    return out + length;
}

char* PutAddress(char* out, std::uint32_t address)
{
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            *out++ = '.';
        out = PutField(out, octets[i], 3);
    }
    return out;
}

} // namespace

int GetStateName(std::uint32_t state, char* buffer)
{
    if (buffer == nullptr)
        return 0;
    const char* text = state < std::size(kStateNames) ? kStateNames[state] : kUnknownState;
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return 1;
}

void GetServiceName(std::uint32_t port, char* buffer)
{
    if (buffer == nullptr)
        return;
    auto number = static_cast<std::uint16_t>(port & 0xFFFF);
    const auto* found = std::lower_bound(
        std::begin(kServices), std::end(kServices), number,
        [](const SERVICE_NAME& service, std::uint16_t p) { return service.port < p; });
    if (found != std::end(kServices) && found->port == number) {
        std::memcpy(buffer, found->name, std::strlen(found->name) + 1);
        return;
    }
    auto result = std::to_chars(buffer, buffer + 5, number);
    *result.ptr = '\0';
}

const char* GetProtocolText(const CONN_ROW& row)
{
    return row.state != 0 ? "TCP" : "UDP";
}

void FormatAddressText(std::uint32_t address, char* buffer, std::size_t size)
{
    char text[kAddressTextLength];
    char* end = PutAddress(text, address);
    CopyCut({text, static_cast<std::size_t>(end - text)}, buffer, size);
}

void FormatNumericEndpoint(std::uint32_t address, std::uint16_t port, char* buffer,
                           std::size_t size)
{
    char text[kEndpointTextLength];
    char* end = PutAddress(text, address);
    *end++ = ':';
    end = PutField(end, port, 5);
    CopyCut({text, static_cast<std::size_t>(end - text)}, buffer, size);
}

void FormatNamedEndpoint(const char* hostText, std::uint16_t port, char* buffer, std::size_t size)
{
    char service[16];
    GetServiceName(port, service);
    std::size_t used = CopyCut(hostText != nullptr ? hostText : "", buffer, size);
    used += CopyCut(":", buffer + used, size - used);
    CopyCut(service, buffer + used, size - used);
}

void FormatEndpoint(std::uint32_t address, std::uint16_t port, char* buffer, std::size_t size)
{
    if (buffer == nullptr || size == 0)
        return;
    if (oProp.GetShowHost() != 0) {
        char host[kHostTextSize];
        FormatHostAddress(address, host);
        FormatNamedEndpoint(host, port, buffer, size);
    } else {
        FormatNumericEndpoint(address, port, buffer, size);
    }
}

const char* GetProtocolText(const CONN6_ROW& row)
{
    return row.state != 0 ? "TCPv6" : "UDPv6";
}

void FormatAddress6Text(const std::uint8_t* address, std::uint32_t scope, char* buffer,
                        std::size_t size)
{
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 16] = "[";
    inet_ntop(AF_INET6, address, text + 1, INET6_ADDRSTRLEN);
    std::size_t used = std::strlen(text);
    if (IsLinkLocal6(address) && scope != 0) {
        text[used++] = '%';
        char name[IF_NAMESIZE];
        if (if_indextoname(scope, name) != nullptr) {
            used += CopyCut(name, text + used, sizeof text - used);
        } else {
            auto result = std::to_chars(text + used, text + sizeof text - 2, scope);
            used = static_cast<std::size_t>(result.ptr - text);
        }
    }
    text[used++] = ']';
    CopyCut({text, used}, buffer, size);
}

void FormatNumericEndpoint6(const std::uint8_t* address, std::uint32_t scope, std::uint16_t port,
                            char* buffer, std::size_t size)
{
    char text[kHostTextSize];
    FormatAddress6Text(address, scope, text, sizeof text);
    std::size_t used = std::strlen(text);
    text[used++] = ':';
    char* end = PutField(text + used, port, 5);
    CopyCut({text, static_cast<std::size_t>(end - text)}, buffer, size);
}

void FormatEndpoint6(const std::uint8_t* address, std::uint32_t scope, std::uint16_t port,
                     char* buffer, std::size_t size)
{
    if (buffer == nullptr || size == 0)
        return;
    if (oProp.GetShowHost() != 0) {
        char host[kHostTextSize];
        FormatHostAddress6(address, scope, host);
        FormatNamedEndpoint(host, port, buffer, size);
    } else {
        FormatNumericEndpoint6(address, scope, port, buffer, size);
    }
}

void FormatLocalEndpoint(const CONN_ROW& row, char* buffer, std::size_t size)
{
    FormatEndpoint(row.localAddr, row.localPort, buffer, size);
}

void FormatLocalEndpoint(const CONN6_ROW& row, char* buffer, std::size_t size)
{
    FormatEndpoint6(row.localAddr, row.localScope, row.localPort, buffer, size);
}

void FormatRemoteEndpoint(const CONN_ROW& row, char* buffer, std::size_t size)
{
    if (row.state == 0)
        CopyCut(kNoRemoteText, buffer, size);
    else
        FormatEndpoint(row.remoteAddr, row.remotePort, buffer, size);
}

void FormatRemoteEndpoint(const CONN6_ROW& row, char* buffer, std::size_t size)
{
    if (row.state == 0)
        CopyCut(kNoRemoteText, buffer, size);
    else
        FormatEndpoint6(row.remoteAddr, row.remoteScope, row.remotePort, buffer, size);
}
