#include "report/json_report.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

TEST(JsonEscaping, EscapesWhatJsonNeedsAndReplacesEveryByteThatIsNotUtf8) {
  const struct {
    const char* name;
    std::string in;
    std::string out;
  } rows[] = {
      {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
      {"control characters", std::string("t\tn\nz\0", 6), "t\\u0009n\\u000az\\u0000"},
      {"two- three- and four-byte sequences", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"lone continuation byte", "a\x80z", "a\xef\xbf\xbdz"},
      {"overlong slash", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"sequence cut by the end", "x\xe2\x82", "x\xef\xbf\xbd\xef\xbf\xbd"},
      {"delete is kept", "\x7f", "\x7f"},
      {"three-byte sequence led by E0", "\xe0\xa0\x80", "\xe0\xa0\x80"},
      {"second byte below the continuation range", "\xc3\x7f", "\xef\xbf\xbd\x7f"},
  };
  for (const auto& r : rows) {
    std::ostringstream out;
    write_json_escaped(out, r.in);
    EXPECT_EQ(out.str(), r.out) << r.name;
  }
}

// What the -json run of a crafted capture says of its VLAN tags, its link type and its name.
TEST(JsonReport, CarriesVlanIdsLinkTypeAndAValidNameForAnyFile) {
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  testing::bytes frame = testing::ipv4_icmp_frame(a, b, 8, 0, 0x1234, testing::bytes(8, 7));
  const uint8_t tags[] = {0x88, 0xa8, 0x00, 0x64, 0x81, 0x00, 0x20, 0x05};
  frame.insert(frame.begin() + 12, std::begin(tags), std::end(tags));
  const testing::bytes bare = testing::ipv4_icmp_frame(a, b, 8, 0, 0x1234, {});
  const std::string path = testing::write_temp_file(
      "caf\xe9.pcap", testing::pcap_file({{.frame = frame}, {.frame = bare}}));
  const auto r = testing::run_nelo_in_process({"-ifile", path, "-json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("caf\xef\xbf\xbd.pcap\",\"frame\":1,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"id\":4660,\"seq\":1,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"vlan\":[100,5],\"link_type\":1}\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"frame\":2,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"payload_len\":0,"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Processing"), std::string::npos) << "announcements go to stderr";
  EXPECT_NE(r.err.find("Processing file: "), std::string::npos);
}

}  // namespace
}  // namespace nelo
