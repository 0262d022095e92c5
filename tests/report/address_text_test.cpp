#include "report/address_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "packet/protocol_fields.h"

namespace nelo {
namespace {

TEST(AddressText, Ipv6CompressesOnlyTheFirstZeroRun) {
  const std::pair<std::array<uint16_t, 8>, const char*> cases[] = {
      {{0xfe80, 0, 0, 0, 0x202, 0xb3ff, 0xfe1e, 0x8329}, "fe80::202:b3ff:fe1e:8329"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{0x2001, 0xdb8, 0, 1, 0, 0, 0, 1}, "2001:db8::1:0:0:0:1"},  // a longer run comes later
      {{0x2001, 0xdb8, 1, 2, 3, 4, 5, 0}, "2001:db8:1:2:3:4:5::"},
      {{0xabcd, 0x0f00, 0x00f0, 0x000f, 0xffff, 0x1000, 0x0100, 0x0010},
       "abcd:f00:f0:f:ffff:1000:100:10"},
      {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto& [groups, expected] : cases) {
    uint8_t bytes[IPV6_ADDRESS_SIZE];
    for (size_t i = 0; i < 8; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
      bytes[2 * i + 1] = static_cast<uint8_t>(groups[i]);
    }
    // The text stays within the documented size.
    char raw[IPV6_TEXT_MAX + 1];
    raw[IPV6_TEXT_MAX] = '#';
    EXPECT_EQ(std::string(raw, ipv6_to_text(bytes, raw)), expected);
    EXPECT_EQ(raw[IPV6_TEXT_MAX], '#');
  }
  const uint8_t v4[4] = {0, 9, 192, 255};
  char text[IPV4_TEXT_MAX];
  EXPECT_EQ(std::string(text, ip_to_text(v4, text)), "0.9.192.255");
}

}  // namespace
}  // namespace nelo
