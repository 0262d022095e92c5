#include "report/icmp_names.h"

#include <gtest/gtest.h>

namespace nelo {
namespace {

struct name_case {
  int type;
  int code;
  const char* text;
};

const name_case ICMP_CASES[] = {
    {0, 0, "echo reply"},
    {0, 1, "echo reply [host unreachable]"},
    {0, 3, "echo reply [port unreachable]"},
    {0, 12, "echo reply [host unreachable]"},
    {0, 15, "echo reply [precedence cutoff]"},
    {0, 16, "echo reply"},
    {0, 200, "echo reply"},
    {3, 3, "dst unreachable"},
    {4, 0, "src quench"},
    {5, 1, "redirect"},
    {8, 3, "echo request"},
    {9, 0, "router advertisement"},
    {10, 0, "router solicitation"},
    {11, 1, "time exceeded"},
    {12, 0, "param problem"},
    {13, 0, "icmp timestamp request"},
    {14, 0, "timestamp reply"},
    {15, 0, "information request"},
    {16, 0, "information reply"},
    {17, 0, "addr mask request"},
    {18, 0, "addr mask reply"},
    {1, 0, "<unk type>"},
    {2, 0, "<unk type>"},
    {6, 0, "<unk type>"},
    {7, 0, "<unk type>"},
    {19, 0, "<unk type>"},
    {255, 255, "<unk type>"},
};

const name_case ICMPV6_CASES[] = {
    {1, 0, "dst unreachable [no route to dst]"},
    {1, 1, "dst unreachable [administratively prohibited]"},
    {1, 2, "dst unreachable [out of scope]"},
    {1, 3, "dst unreachable [address unreachable]"},
    {1, 4, "dst unreachable [port unreachable]"},
    {1, 5, "dst unreachable"},
    {2, 0, "packet too big"},
    {3, 1, "time exceeded"},
    {4, 2, "param problem"},
    {128, 0, "echo request"},
    {129, 3, "echo reply"},
    {130, 0, "multicast listener query"},
    {131, 0, "multicast listener report"},
    {132, 0, "multicast listener done"},
    {133, 0, "router solicitation"},
    {134, 0, "router advertisement"},
    {135, 0, "neighbor solicitation"},
    {136, 0, "neighbor advertisement"},
    {137, 0, "redirect"},
    {0, 0, "<unk type>"},
    {5, 0, "<unk type>"},
    {127, 0, "<unk type>"},
    {138, 0, "<unk type>"},
};

TEST(IcmpNames, TypeAndCodeGiveTheirText) {
  for (const name_case& c : ICMP_CASES) {
    EXPECT_STREQ(icmp_message_name(c.type, c.code), c.text) << c.type << "/" << c.code;
  }
  for (const name_case& c : ICMPV6_CASES) {
    EXPECT_STREQ(icmpv6_message_name(c.type, c.code), c.text) << c.type << "/" << c.code;
  }
}

TEST(IcmpNames, CodeMattersOnlyForIcmpType0AndIcmpv6Type1) {
  for (int type = 0; type < 256; ++type) {
    for (int code = 0; code < 256; ++code) {
      ASSERT_NE(icmp_message_name(type, code), nullptr);
      ASSERT_NE(icmpv6_message_name(type, code), nullptr);
      if (type != 0) {
        ASSERT_EQ(icmp_message_name(type, code), icmp_message_name(type, 0));
      }
      if (type != 1) {
        ASSERT_EQ(icmpv6_message_name(type, code), icmpv6_message_name(type, 0));
      }
    }
  }
}

}  // namespace
}  // namespace nelo
