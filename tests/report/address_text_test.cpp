#include "report/address_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace nelo {
namespace {

struct ipv6_case {
  std::array<uint16_t, 8> groups;
  const char* text;
};

const ipv6_case IPV6_CASES[] = {
    {{0xfe80, 0, 0, 0, 0x202, 0xb3ff, 0xfe1e, 0x8329}, "fe80::202:b3ff:fe1e:8329"},
    {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
    {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
    {{0xff02, 0, 0, 0, 0, 0, 0, 1}, "ff02::1"},
    {{0x2001, 0xdb8, 0, 1, 0, 0, 0, 1}, "2001:db8::1:0:0:0:1"},  // a longer run comes later
    {{0x2001, 0xdb8, 1, 2, 3, 4, 0, 0}, "2001:db8:1:2:3:4::"},
    {{0x2001, 0xdb8, 1, 2, 3, 4, 5, 0}, "2001:db8:1:2:3:4:5::"},
    {{0x2001, 0xdb8, 0, 1, 2, 3, 4, 5}, "2001:db8::1:2:3:4:5"},
    {{0xabcd, 0x0f00, 0x00f0, 0x000f, 0xffff, 0x1000, 0x0100, 0x0010},
     "abcd:f00:f0:f:ffff:1000:100:10"},
    {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
};

TEST(AddressText, Ipv6CompressesOnlyTheFirstZeroRun) {
  for (const ipv6_case& c : IPV6_CASES) {
    uint8_t bytes[IPV6_ADDRESS_SIZE];
    for (size_t i = 0; i < 8; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(c.groups[i] >> 8);
      bytes[2 * i + 1] = static_cast<uint8_t>(c.groups[i]);
    }
    std::string text = "stale";
    ipv6_to_text(bytes, text);
    EXPECT_EQ(text, c.text);
    // The raw form stays within the documented size.
    char raw[IPV6_TEXT_MAX + 1];
    raw[IPV6_TEXT_MAX] = '#';
    EXPECT_EQ(std::string(raw, ipv6_to_text(bytes, raw)), c.text);
    EXPECT_EQ(raw[IPV6_TEXT_MAX], '#');
  }
}

TEST(AddressText, Ipv4IsDottedDecimalWithoutPadding) {
  const std::pair<std::array<uint8_t, 4>, const char*> cases[] = {
      {{10, 0, 0, 1}, "10.0.0.1"},
      {{192, 168, 100, 255}, "192.168.100.255"},
      {{0, 9, 10, 99}, "0.9.10.99"},
  };
  for (const auto& [bytes, expected] : cases) {
    std::string text = "stale";
    ip_to_text(bytes.data(), text);
    EXPECT_EQ(text, expected);
  }
}

}  // namespace
}  // namespace nelo
