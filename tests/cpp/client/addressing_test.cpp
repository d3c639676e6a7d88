#include "quorl_sdk/addressing.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using quorl_sdk::parse_ws_port;
using quorl_sdk::QuorlError;

struct AcceptedUrl {
  const char* url;
  std::uint16_t port;
  friend void PrintTo(const AcceptedUrl& c, std::ostream* out) { *out << c.url; }
};

class AcceptedUrls : public testing::TestWithParam<AcceptedUrl> {};

// Every URL of this table yields its port.
TEST_P(AcceptedUrls, yields_the_port) {
  const auto port = parse_ws_port(GetParam().url);
  ASSERT_TRUE(port.has_value()) << port.error().message();
  EXPECT_EQ(*port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    addressing, AcceptedUrls,
    testing::Values(AcceptedUrl{"ws://127.0.0.1:5432", 5432},
                    AcceptedUrl{"ws://localhost:5433/stream?x=1", 5433},
                    AcceptedUrl{"ws://[::1]:5434", 5434}, AcceptedUrl{"ws://user@[::1]:5435", 5435},
                    AcceptedUrl{"ws://host:05432", 5432}, AcceptedUrl{"ws://host:0", 0},
                    AcceptedUrl{"ws://host:5432#top", 5432}, AcceptedUrl{"ws://host:+5432", 5432},
                    AcceptedUrl{"ws://host:65535", 65535}, AcceptedUrl{"ws://:5432", 5432},
                    AcceptedUrl{"ws://user:pw@host:7", 7}, AcceptedUrl{"ws://us%20er@host:7", 7},
                    AcceptedUrl{"ws://[fe80::1%25eth0]:7", 7},
                    AcceptedUrl{"ws://host:7?q=%2F/a:b@c", 7}));

struct RefusedUrl {
  std::string url;
  const char* reason;
  friend void PrintTo(const RefusedUrl& c, std::ostream* out) {
    *out << c.url.substr(0, 40) << (c.url.size() > 40 ? "..." : "");
  }
};

class RefusedUrls : public testing::TestWithParam<RefusedUrl> {};

// Every URL of this table is refused with its reason and keeps the caller's text.
TEST_P(RefusedUrls, gives_invalid_url_with_the_reason) {
  const auto port = parse_ws_port(GetParam().url);
  ASSERT_FALSE(port.has_value()) << "port " << *port;
  ASSERT_TRUE(port.error().is<QuorlError::InvalidUrl>());
  const auto& invalid = port.error().as<QuorlError::InvalidUrl>();
  EXPECT_EQ(invalid.url, GetParam().url);
  EXPECT_EQ(invalid.reason, GetParam().reason);
  EXPECT_EQ(port.error().message(),
            "invalid Quorl URL `" + GetParam().url + "`: " + GetParam().reason);
}

constexpr const char* missing_port = "missing port (use ws://host:port)";
constexpr const char* missing_scheme = "missing `ws://` scheme";
constexpr const char* not_a_url = "not a valid URL";

INSTANTIATE_TEST_SUITE_P(
    addressing, RefusedUrls,
    testing::Values(
        RefusedUrl{"ws://host", missing_port}, RefusedUrl{"ws://host:", missing_port},
        RefusedUrl{"ws://host:65536", missing_port}, RefusedUrl{"ws://host:http", missing_port},
        RefusedUrl{"ws://[::1]", missing_port}, RefusedUrl{"ws://user:pw@host", missing_port},
        RefusedUrl{"ws://host:+", missing_port}, RefusedUrl{"ws://host:-1", missing_port},
        RefusedUrl{"wss://host:5432", "unsupported scheme `wss` (expected `ws`)"},
        RefusedUrl{"WS://host:5432", "unsupported scheme `WS` (expected `ws`)"},
        RefusedUrl{"Ws://host:5432", "unsupported scheme `Ws` (expected `ws`)"},
        RefusedUrl{"HTTP://host:5432", "unsupported scheme `http` (expected `ws`)"},
        RefusedUrl{"hTtPs://host:5432", "unsupported scheme `https` (expected `ws`)"},
        RefusedUrl{"https://host:5432", "unsupported scheme `https` (expected `ws`)"},
        RefusedUrl{"://host:5432", "unsupported scheme `` (expected `ws`)"},
        RefusedUrl{"a+b-c.d~://host:1", "unsupported scheme `a+b-c.d~` (expected `ws`)"},
        RefusedUrl{
            std::string(64, 'a') + "://host:1",
            "unsupported scheme `aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
            "aaaa` (expected `ws`)"},
        RefusedUrl{"127.0.0.1:5432", missing_scheme}, RefusedUrl{"localhost", missing_scheme},
        RefusedUrl{"/stream", missing_scheme}, RefusedUrl{"*", missing_scheme},
        RefusedUrl{"", not_a_url}, RefusedUrl{"ws:/host:5432", not_a_url},
        RefusedUrl{"ws:///stream", not_a_url}, RefusedUrl{"ws://host:5432:1", not_a_url},
        RefusedUrl{"ws://my host:5432", not_a_url}, RefusedUrl{"ws://@", not_a_url},
        RefusedUrl{"ws://host@", not_a_url}, RefusedUrl{"ws://[::1:5432", not_a_url},
        RefusedUrl{"ws://::1]:5432", not_a_url}, RefusedUrl{"ws://[::1]][:5432", not_a_url},
        RefusedUrl{"ws://[::1][::2]:5432", not_a_url}, RefusedUrl{"ws://ho%st:5432", not_a_url},
        RefusedUrl{"ws://host:5432/a b", not_a_url}, RefusedUrl{"ws://host:5432/%zz", not_a_url},
        RefusedUrl{"ws://h\xc3\xa9:5432", not_a_url},
        RefusedUrl{std::string(65, 'a') + "://host:1", not_a_url},
        RefusedUrl{"ws://host:1/" + std::string(65534 - 12 + 1, 'a'), not_a_url},
        RefusedUrl{"localhost/stream", not_a_url}, RefusedUrl{"host:1?x", not_a_url}));

// The longest accepted text is 65534 bytes.
TEST(addressing, accepts_a_url_of_the_longest_length) {
  const std::string url = "ws://host:1/" + std::string(65534 - 12, 'a');
  ASSERT_EQ(url.size(), 65534u);
  EXPECT_EQ(parse_ws_port(url).value_or(0), 1);
}

// A fragment is cut off before any other check, whatever it holds.
TEST(addressing, ignores_the_fragment) {
  EXPECT_EQ(parse_ws_port("ws://host:9#a b").value_or(0), 9);
}

// The loopback URL is the IPv4 literal with the port in plain decimal.
TEST(addressing, builds_loopback_urls) {
  EXPECT_EQ(quorl_sdk::localhost_url(5432), "ws://127.0.0.1:5432");
  EXPECT_EQ(quorl_sdk::localhost_url(0), "ws://127.0.0.1:0");
  EXPECT_EQ(quorl_sdk::localhost_url(65535), "ws://127.0.0.1:65535");
  EXPECT_EQ(quorl_sdk::WEBSOCKET_PORT_START, 5432);
  EXPECT_EQ(quorl_sdk::WEBSOCKET_PORT_END, 5435);
}

}  // namespace
