#include "report/icmp_names.h"

#include <gtest/gtest.h>

#include <string>

namespace nelo {
namespace {

constexpr const char* UNK = "<unk type>";
const std::string DU = "dst unreachable";

// Every type from 0 up, and every destination unreachable code: a wrong key in a table shows.
TEST(IcmpNames, EveryTypeAndUnreachableCodeGivesItsText) {
  const char* const icmp_types[] = {"echo reply",
                                    UNK,
                                    UNK,
                                    "dst unreachable",
                                    "src quench",
                                    "redirect",
                                    UNK,
                                    UNK,
                                    "echo request",
                                    "router advertisement",
                                    "router solicitation",
                                    "time exceeded",
                                    "param problem",
                                    "icmp timestamp request",
                                    "timestamp reply",
                                    "information request",
                                    "information reply",
                                    "addr mask request",
                                    "addr mask reply",
                                    UNK};
  for (int type = 0; type < 20; ++type)
    EXPECT_STREQ(icmp_message_name(type, 0), icmp_types[type]) << type;
  const std::string icmp_codes[] = {DU,  // code 0 and codes above 15 name no reason
                                    DU + " [host unreachable]",
                                    DU + " [protocol unreachable]",
                                    DU + " [port unreachable]",
                                    DU + " [frag needed]",
                                    DU + " [src route failed]",
                                    DU + " [dst network unk]",
                                    DU + " [dst host unk]",
                                    DU + " [src host isolated]",
                                    DU + " [dst network prohibited]",
                                    DU + " [dst host prohibited]",
                                    DU + " [network unreachable]",
                                    DU + " [host unreachable]",
                                    DU + " [comm prohibited]",
                                    DU + " [host precedence violation]",
                                    DU + " [precedence cutoff]",
                                    DU};
  for (int code = 0; code < 17; ++code)
    EXPECT_EQ(icmp_message_name(3, code), icmp_codes[code]) << code;

  const char* const icmpv6_types[] = {UNK,
                                      "dst unreachable [no route to dst]",
                                      "packet too big",
                                      "time exceeded",
                                      "param problem",
                                      UNK,
                                      "echo request",
                                      "echo reply",
                                      "multicast listener query",
                                      "multicast listener report",
                                      "multicast listener done",
                                      "router solicitation",
                                      "router advertisement",
                                      "neighbor solicitation",
                                      "neighbor advertisement",
                                      "redirect",
                                      UNK};
  for (int i = 0; i < 17; ++i) {
    const int type = i < 6 ? i : i + 122;  // 0 to 5, then 128 to 138
    EXPECT_STREQ(icmpv6_message_name(type, 0), icmpv6_types[i]) << type;
  }
  const std::string icmpv6_codes[] = {
      DU + " [no route to dst]",  DU + " [administratively prohibited]",
      DU + " [out of scope]",     DU + " [address unreachable]",
      DU + " [port unreachable]", DU};
  for (int code = 0; code < 6; ++code)
    EXPECT_EQ(icmpv6_message_name(1, code), icmpv6_codes[code]) << code;
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
