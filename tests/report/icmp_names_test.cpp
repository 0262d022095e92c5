#include "report/icmp_names.h"

#include <gtest/gtest.h>

#include <string>

namespace nelo {
namespace {

// Every type from 0 up, and every destination unreachable code, joined by '|': a wrong key in a
// table shows as a name in the wrong place.
template <typename F>
std::string names(int count, F name) {
  std::string joined;
  for (int i = 0; i < count; ++i) joined += std::string(name(i)) + "|";
  return joined;
}

TEST(IcmpNames, EveryTypeAndUnreachableCodeGivesItsText) {
  EXPECT_EQ(names(20, [](int t) { return icmp_message_name(t, 0); }),
            "echo reply|<unk type>|<unk type>|dst unreachable|src quench|redirect|<unk type>|"
            "<unk type>|echo request|router advertisement|router solicitation|time exceeded|"
            "param problem|icmp timestamp request|timestamp reply|information request|"
            "information reply|addr mask request|addr mask reply|<unk type>|");
  // Code 0 and codes above 15 name no reason.
  EXPECT_EQ(names(17, [](int c) { return icmp_message_name(3, c); }),
            "dst unreachable|dst unreachable [host unreachable]|dst unreachable [protocol "
            "unreachable]|dst unreachable [port unreachable]|dst unreachable [frag needed]|dst "
            "unreachable [src route failed]|dst unreachable [dst network unk]|dst unreachable [dst "
            "host unk]|dst unreachable [src host isolated]|dst unreachable [dst network "
            "prohibited]|dst unreachable [dst host prohibited]|dst unreachable [network "
            "unreachable]|dst unreachable [host unreachable]|dst unreachable [comm prohibited]|dst "
            "unreachable [host precedence violation]|dst unreachable [precedence cutoff]|dst "
            "unreachable|");
  // 0 to 5, then 128 to 138.
  EXPECT_EQ(names(17, [](int i) { return icmpv6_message_name(i < 6 ? i : i + 122, 0); }),
            "<unk type>|dst unreachable [no route to dst]|packet too big|time exceeded|param "
            "problem|<unk type>|echo request|echo reply|multicast listener query|multicast "
            "listener report|multicast listener done|router solicitation|router "
            "advertisement|neighbor solicitation|neighbor advertisement|redirect|<unk type>|");
  EXPECT_EQ(names(6, [](int c) { return icmpv6_message_name(1, c); }),
            "dst unreachable [no route to dst]|dst unreachable [administratively prohibited]|dst "
            "unreachable [out of scope]|dst unreachable [address unreachable]|dst unreachable "
            "[port unreachable]|dst unreachable|");
}

TEST(IcmpNames, CodeMattersOnlyForTheDestinationUnreachableTypes) {
  for (int type = 0; type < 256; ++type) {
    for (int code = 0; code < 256; ++code) {
      ASSERT_NE(icmp_message_name(type, code), nullptr);
      ASSERT_NE(icmpv6_message_name(type, code), nullptr);
      ASSERT_TRUE(type == 3 || icmp_message_name(type, code) == icmp_message_name(type, 0));
      ASSERT_TRUE(type == 1 || icmpv6_message_name(type, code) == icmpv6_message_name(type, 0));
    }
  }
}

}  // namespace
}  // namespace nelo
