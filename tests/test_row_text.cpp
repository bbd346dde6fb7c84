#include <functional>

#include "monitor/row_text.h"
#include "test_support.h"

using namespace std::string_literals;

const std::uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

std::uint32_t Ip(const char* dotted)
{
    return inet_addr(dotted);
}

// Both ends of the service table, their neighbours, and a port with high bits set.
TEST(RowText, StateAndServiceNames)
{
    const std::pair<std::uint32_t, const char*> states[] = {
        {0, " "}, {6, "FIN_WAIT"}, {7, "FIN_WAIT"}, {11, "TIME_WAIT"}, {12, "UNC"}, {~0u, "UNC"}};
    for (auto [state, name] : states) {
        char text[32] = {};
        EXPECT_NE(GetStateName(state, text), 0);
        EXPECT_STREQ(text, name) << state;
    }
    const std::pair<std::uint32_t, const char*> ports[] = {
        {7, "echo"}, {8, "8"}, {1723, "pptp"}, {1724, "1724"}, {0x10000 + 80, "http"}};
    for (auto [port, name] : ports) {
        char text[32] = {};
        GetServiceName(port, text);
        EXPECT_STREQ(text, name) << port;
    }
}

// The RFC 5952 text in brackets; a scope is named only after a link-local address.
TEST(RowText, Ipv6EndpointsAreBracketedWithTheirScope)
{
    const struct {
        const char* address;
        std::uint32_t scope;
        std::uint16_t port;
        const char* text;
    } cases[] = {
        {"::1", 0, 9996, "[::1]: 9996"},
        {"2001:0db8:0:0:0:0:0:1", 7, 65535, "[2001:db8::1]:65535"},
        {"fe80::1", 1, 80, "[fe80::1%lo]:   80"},
        {"fe80::1", 999999, 80, "[fe80::1%999999]:   80"},
    };
    for (const auto& c : cases) {
        std::uint8_t address[16];
        ASSERT_EQ(inet_pton(AF_INET6, c.address, address), 1);
        char text[64];
        FormatNumericEndpoint6(address, c.scope, c.port, text, sizeof text);
        EXPECT_STREQ(text, c.text);
    }
    EXPECT_STREQ(GetProtocolText(CONN6_ROW{5, {}, 0, 1, {}, 0, 2}), "TCPv6");
    EXPECT_STREQ(GetProtocolText(CONN6_ROW{}), "UDPv6");
}

// Writers stay within the caller's size; without room, or a buffer, nothing is written.
TEST(RowText, TextsAreCutToTheCallersSize)
{
    const std::string longHost(300, 'h');
    // clang-format off
    const std::pair<std::function<void(char*)>, std::string> writes[] = {
        {[](char* b) { FormatAddressText(Ip("255.255.255.255"), b, 15); }, "255.255.255.25\0"s},
        {[](char* b) { FormatNumericEndpoint(Ip("192.168.1.10"), 80, b, 8); }, "192.168\0"s},
        {[&](char* b) { FormatNamedEndpoint(longHost.c_str(), 443, b, 10); }, "hhhhhhhhh\0"s},
        {[](char* b) { FormatNamedEndpoint("abc", 443, b, 7); }, "abc:ht\0"s},
        {[](char* b) { FormatNamedEndpoint("abc", 443, b, 4); }, "abc\0"s},
        {[](char* b) { FormatEndpoint(Ip("10.0.0.1"), 80, b, 0); }, ""s},
        {[](char* b) { FormatNumericEndpoint6(kLoopback6, 0, 80, b, 6); }, "[::1]\0"s},
    };
    // clang-format on
    for (const auto& [write, expected] : writes) {
        char text[32];
        std::memset(text, '#', sizeof text);
        write(text);
        EXPECT_EQ(std::string(text, sizeof text),
                  expected + std::string(sizeof text - expected.size(), '#'));
    }
    EXPECT_EQ(GetStateName(5, nullptr), 0);
    GetServiceName(80, nullptr);
}
