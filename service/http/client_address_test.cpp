// Tests of which address a request is counted under, behind trusted proxies and without them.
#include "http/client_address.h"

#include <gtest/gtest.h>

namespace {

boost::asio::ip::address Ip(const char* text) { return boost::asio::ip::make_address(text); }

TEST(ClientAddress, OnlyTrustedProxiesNameTheClient) {
  CTrustedProxies proxies;
  ASSERT_TRUE(proxies.Add("127.0.0.1"));
  ASSERT_TRUE(proxies.Add(" 10.1.0.0/16"));
  ASSERT_TRUE(proxies.Add("fd00::/8"));
  for (const char* bad : {"", "10.0.0.0/33", "localhost", "10.0.0/8", "1.2.3.4/", "::1/129"}) {
    EXPECT_FALSE(proxies.Add(bad)) << bad;
  }

  // A client straight at the service: its forwarding fields are its own words.
  EXPECT_EQ(ClientAddress(Ip("127.0.0.2"), proxies, "203.0.113.9", "203.0.113.8"), "127.0.0.2");
  EXPECT_EQ(ClientAddress(Ip("::ffff:192.0.2.7"), proxies, "", ""), "192.0.2.7");

  // Behind the proxy: the right-most address that is not a proxy, whatever the client prepended.
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "6.6.6.6, 203.0.113.9", ""), "203.0.113.9");
  EXPECT_EQ(ClientAddress(Ip("::ffff:127.0.0.1"), proxies, "6.6.6.6,203.0.113.9,10.1.2.3", ""),
            "203.0.113.9");
  EXPECT_EQ(ClientAddress(Ip("fd12::1"), proxies, "2001:db8::5, fd00::9", ""), "2001:db8::5");
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "10.1.0.1, 10.1.9.9", ""), "10.1.0.1");
  // What is not an address ends the walk at the proxy that passed it on.
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "203.0.113.9, junk, 10.1.0.4", ""), "10.1.0.4");
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "junk", ""), "127.0.0.1");
  // X-Real-IP only without X-Forwarded-For, and only when it is an address.
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "", " 198.51.100.4 "), "198.51.100.4");
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "", "<script>"), "127.0.0.1");
  EXPECT_EQ(ClientAddress(Ip("127.0.0.1"), proxies, "198.51.100.5", "198.51.100.4"),
            "198.51.100.5");

  EXPECT_FALSE(proxies.Contains(Ip("10.2.0.1")));
  EXPECT_TRUE(CTrustedProxies().Empty());
  EXPECT_FALSE(CTrustedProxies().Contains(Ip("127.0.0.1")));
}

}  // namespace

TEST(ClientAddress, ProxyLines) {
  using EStatus = CProxyLine::EStatus;
  const CProxyLine v4 = ParseProxyLine("PROXY TCP4 203.0.113.9 127.0.0.1 51234 80\r\nGET / HTTP");
  EXPECT_EQ(v4.status, EStatus::kComplete);
  EXPECT_EQ(v4.length, 43u);
  EXPECT_EQ(v4.client->to_string(), "203.0.113.9");
  EXPECT_EQ(ParseProxyLine("PROXY TCP6 2001:db8::5 ::1 1 80\r\n").client->to_string(),
            "2001:db8::5");
  const CProxyLine unknown = ParseProxyLine("PROXY UNKNOWN\r\n");
  EXPECT_EQ(unknown.status, EStatus::kComplete);
  EXPECT_FALSE(unknown.client);
  EXPECT_EQ(ParseProxyLine("GET / HTTP/1.1\r\n").status, EStatus::kAbsent);
  EXPECT_EQ(ParseProxyLine("PROX").status, EStatus::kNeedMore);
  EXPECT_EQ(ParseProxyLine("PROXY TCP4 203.0.113.9 127.0.0.1 5").status, EStatus::kNeedMore);
  for (const char* bad :
       {"PROXY TCP4 203.0.113.9 127.0.0.1 51234\r\n", "PROXY TCP4 2001:db8::5 ::1 1 80\r\n",
        "PROXY TCP4 1.2.3.4 127.0.0.1 65536 80\r\n", "PROXY TCP4 1.2.3.4 127.0.0.1 -1 80\r\n",
        "PROXY TCP4 junk 127.0.0.1 1 80\r\n", "PROXY TCP4  1.2.3.4 127.0.0.1 1 80\r\n"}) {
    EXPECT_EQ(ParseProxyLine(bad).status, EStatus::kBad) << bad;
  }
  EXPECT_EQ(ParseProxyLine("PROXY " + std::string(120, '1')).status, EStatus::kBad);
}
