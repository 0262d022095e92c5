#include "report/icmp_names.h"

#include <gtest/gtest.h>

namespace nelo {
namespace {

struct name_case {
  int type, code;
  const char* text;
};

TEST(IcmpNames, TypeAndCodeGiveTheirText) {
  const name_case icmp[] = {
      {0, 0, "echo reply"},
      {0, 3, "echo reply"},
      {3, 0, "dst unreachable"},
      {3, 1, "dst unreachable [host unreachable]"},
      {3, 3, "dst unreachable [port unreachable]"},
      {3, 12, "dst unreachable [host unreachable]"},
      {3, 13, "dst unreachable [comm prohibited]"},
      {3, 15, "dst unreachable [precedence cutoff]"},
      {3, 16, "dst unreachable"},
      {13, 0, "icmp timestamp request"},
      {18, 0, "addr mask reply"},
      {7, 0, "<unk type>"},
      {19, 0, "<unk type>"},
  };
  const name_case icmpv6[] = {
      {1, 0, "dst unreachable [no route to dst]"},
      {1, 4, "dst unreachable [port unreachable]"},
      {1, 5, "dst unreachable"},
      {4, 2, "param problem"},
      {129, 3, "echo reply"},
      {137, 0, "redirect"},
      {5, 0, "<unk type>"},
      {138, 0, "<unk type>"},
  };
  for (const name_case& c : icmp) {
    EXPECT_STREQ(icmp_message_name(c.type, c.code), c.text) << c.type << "/" << c.code;
  }
  for (const name_case& c : icmpv6) {
    EXPECT_STREQ(icmpv6_message_name(c.type, c.code), c.text) << c.type << "/" << c.code;
  }
}

TEST(IcmpNames, CodeMattersOnlyForTheDestinationUnreachableTypes) {
  for (int type = 0; type < 256; ++type) {
    for (int code = 0; code < 256; ++code) {
      ASSERT_NE(icmp_message_name(type, code), nullptr);
      ASSERT_NE(icmpv6_message_name(type, code), nullptr);
      if (type != 3) {
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
