#include "pgulo/host/RONET.h"

#include "TempHostHome.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using pgulo::test::TempHostHome;

std::string toText(const RONET_ip& ip) {
    char buffer[64] = {};
    if (RONET_ip2str(&ip, buffer, sizeof buffer) != 0)
        return "<error>";
    return buffer;
}

TEST(HostNetTest, NumericAddressesRoundTripAndNothingElseIsOne) {
    TempHostHome home;
    const std::pair<const char*, const char*> cases[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"2001:DB8::0:1", "2001:db8::1"},
        {"::ffff:192.168.1.1", "::ffff:192.168.1.1"},
        // Not numeric addresses.
        {"localhost", nullptr}, {"", nullptr}, {"256.1.1.1", nullptr}, {"1.2.3.4 ", nullptr},
    };
    for (const auto& [text, normal] : cases) {
        RONET_ip ip;
        EXPECT_EQ(RONET_str2ip(text, &ip) == 0, normal != nullptr) << "[" << text << "]";
        if (normal != nullptr) {
            EXPECT_EQ(normal, toText(ip)) << text;
        }
    }
    EXPECT_NE(0, RONET_str2ip(nullptr, nullptr));
}

TEST(HostNetTest, ResolvesLocalhost) {
    RONET_hostent host;
    ASSERT_EQ(0, RONET_name2ip("localhost", &host));
    ASSERT_FALSE(host.addresses.empty());
    RONET_freehostent(&host);
    EXPECT_TRUE(host.addresses.empty());
    ASSERT_EQ(0, RONET_name2ip("127.0.0.1", &host));
    ASSERT_EQ(1u, host.addresses.size());
    EXPECT_EQ("127.0.0.1", toText(host.addresses[0]));
    RONET_hostent none;
    EXPECT_NE(0, RONET_name2ip("no-such-host.invalid", &none));
    EXPECT_TRUE(none.addresses.empty());
}

TEST(HostNetTest, SmallBufferIsRefused) {
    RONET_ip ip;
    ASSERT_EQ(0, RONET_str2ip("127.0.0.1", &ip));
    char buffer[10] = {};
    EXPECT_NE(0, RONET_ip2str(&ip, buffer, 9)) << "no room for the terminator";
    EXPECT_EQ(0, RONET_ip2str(&ip, buffer, 10));
    EXPECT_STREQ("127.0.0.1", buffer);
    RONET_ip empty;
    EXPECT_NE(0, RONET_ip2str(&empty, buffer, 10));
}

} // namespace
