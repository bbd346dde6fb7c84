#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "monitor/host_cache.h"
#include "monitor/row_text.h"
#include "settings/prop.h"

namespace {

std::uint32_t Address(const char* dotted)
{
    return inet_addr(dotted);
}

struct RowTexts {
    std::string protocol, local, remote, state;
};

class RowText : public ::testing::Test {
  protected:
    void SetUp() override { oProp.SetShowHost(0); }
    void TearDown() override { oProp.SetShowHost(0); }

    // The four texts of a row as the list and the log build them.
    static RowTexts Format(const CONN_ROW& row)
    {
        char local[256], remote[256], state[32];
        FormatEndpoint(row.localAddr, row.localPort, local, sizeof local);
        if (row.state != 0)
            FormatEndpoint(row.remoteAddr, row.remotePort, remote, sizeof remote);
        else
            std::strcpy(remote, kNoRemoteText);
        EXPECT_NE(GetStateName(row.state, state), 0);
        return {GetProtocolText(row), local, remote, state};
    }

    static std::string Service(std::uint32_t port)
    {
        char text[32];
        std::memset(text, 'x', sizeof text);
        GetServiceName(port, text);
        return text;
    }

    static std::string State(std::uint32_t state)
    {
        char text[32];
        EXPECT_NE(GetStateName(state, text), 0);
        return text;
    }
};

TEST_F(RowText, ServiceNamesComeFromTheTableOrAreDecimal)
{
    EXPECT_EQ(Service(0), "0");
    EXPECT_EQ(Service(65535), "65535");
    EXPECT_EQ(Service(8080), "8080");
    EXPECT_EQ(Service(443), "https");
    // Both ends of the table and the neighbours of entries have no names of their own.
    EXPECT_EQ(Service(7), "echo");
    EXPECT_EQ(Service(1723), "pptp");
    EXPECT_EQ(Service(445), "microsoft-ds");
    EXPECT_EQ(Service(8), "8");
    EXPECT_EQ(Service(1724), "1724");
    // Only the low 16 bits count.
    EXPECT_EQ(Service(0x10000 + 80), "http");
    GetServiceName(80, nullptr);
}

TEST_F(RowText, StateNames)
{
    EXPECT_EQ(State(0), " ");
    EXPECT_EQ(State(6), "FIN_WAIT");
    EXPECT_EQ(State(7), "FIN_WAIT");
    EXPECT_EQ(State(11), "TIME_WAIT");
    EXPECT_EQ(State(12), "UNC");
    EXPECT_EQ(State(0xFFFFFFFFu), "UNC");
    EXPECT_EQ(GetStateName(5, nullptr), 0);
}

TEST_F(RowText, TextsAreCutToTheBuffer)
{
    char text[16];
    std::memset(text, '#', sizeof text);
    FormatNumericEndpoint(Address("192.168.1.10"), 80, text, 8);
    EXPECT_STREQ(text, "192.168");
    EXPECT_EQ(text[8], '#');

    std::string longHost(300, 'h');
    std::memset(text, '#', sizeof text);
    FormatNamedEndpoint(longHost.c_str(), 443, text, 10);
    EXPECT_EQ(std::string(text), std::string(9, 'h'));
    EXPECT_EQ(text[10], '#');

    std::memset(text, '#', sizeof text);
    FormatNamedEndpoint("abc", 443, text, 7);
    EXPECT_STREQ(text, "abc:ht");
    EXPECT_EQ(text[7], '#');

    FormatEndpoint(Address("10.0.0.1"), 80, text, 0);
    EXPECT_EQ(text[0], 'a');
}

TEST_F(RowText, RowsWithNamesOff)
{
    CONN_ROW tcp{5, Address("192.168.1.10"), 80, Address("10.0.0.1"), 8080};
    RowTexts texts = Format(tcp);
    EXPECT_EQ(texts.protocol, "TCP");
    EXPECT_EQ(texts.local, "192.168.  1. 10:   80");
    EXPECT_EQ(texts.remote, " 10.  0.  0.  1: 8080");
    EXPECT_EQ(texts.state, "ESTABLISHED");

    CONN_ROW udp{0, Address("0.0.0.0"), 65535, 0, 0};
    texts = Format(udp);
    EXPECT_EQ(texts.protocol, "UDP");
    EXPECT_EQ(texts.local, "  0.  0.  0.  0:65535");
    EXPECT_EQ(texts.remote, "*.*");
    EXPECT_EQ(texts.state, " ");

    char text[32];
    FormatNumericEndpoint(Address("255.255.255.255"), 0, text, sizeof text);
    EXPECT_STREQ(text, "255.255.255.255:    0");
    FormatAddressText(Address("1.2.3.4"), text, sizeof text);
    EXPECT_STREQ(text, "  1.  2.  3.  4");
}

TEST_F(RowText, RowsWithNamesOnUseTheHostText)
{
    // Entered without a lookup, so the addresses stay pending.
    hostCache.AddAddress(Address("10.0.0.7"));
    hostCache.AddAddress(Address("10.0.0.9"));
    hostCache.SetName(Address("10.0.0.8"), "db.example");
    oProp.SetShowHost(1);

    CONN_ROW tcp{2, Address("10.0.0.7"), 443, Address("10.0.0.8"), 0};
    RowTexts texts = Format(tcp);
    EXPECT_EQ(texts.local, " 10.  0.  0.  7:https");
    EXPECT_EQ(texts.remote, "db.example:0");
    EXPECT_EQ(texts.state, "LISTEN");

    CONN_ROW udp{0, Address("10.0.0.9"), 443, 0, 0};
    texts = Format(udp);
    EXPECT_EQ(texts.protocol, "UDP");
    EXPECT_EQ(texts.local, " 10.  0.  0.  9:https");
    EXPECT_EQ(texts.remote, "*.*");

    // The setting is read for every endpoint, not once.
    char text[64];
    oProp.SetShowHost(0);
    FormatEndpoint(Address("10.0.0.8"), 8080, text, sizeof text);
    EXPECT_STREQ(text, " 10.  0.  0.  8: 8080");
    oProp.SetShowHost(1);
    FormatEndpoint(Address("10.0.0.8"), 8080, text, sizeof text);
    EXPECT_STREQ(text, "db.example:8080");
}

} // namespace
