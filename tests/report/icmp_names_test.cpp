#include "report/icmp_names.h"

#include <gtest/gtest.h>

#include <cstring>

namespace nelo {
namespace {

// The names themselves are the table's; what a lookup adds is that only the destination
// unreachable types look at the code, and that every name fits the outputs' room for it.
TEST(IcmpNames, CodeMattersOnlyForTheDestinationUnreachableTypes) {
  for (int type = 0; type < 256; ++type) {
    for (int code = 0; code < 256; ++code) {
      ASSERT_NE(icmp_message_name(type, code), nullptr);
      ASSERT_NE(icmpv6_message_name(type, code), nullptr);
      ASSERT_LT(std::strlen(icmp_message_name(type, code)), MESSAGE_NAME_MAX);
      ASSERT_LT(std::strlen(icmpv6_message_name(type, code)), MESSAGE_NAME_MAX);
      ASSERT_TRUE(type == 3 || icmp_message_name(type, code) == icmp_message_name(type, 0));
      ASSERT_TRUE(type == 1 || icmpv6_message_name(type, code) == icmpv6_message_name(type, 0));
    }
  }
}

}  // namespace
}  // namespace nelo
