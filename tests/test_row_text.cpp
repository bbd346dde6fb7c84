#include <functional>

#include "monitor/row_text.h"
#include "test_support.h"

using namespace std::string_literals;

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
