#include "report/json_report.h"

#include <gtest/gtest.h>

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
      {"overlong three-byte sequence", "\xe0\x9f\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"second byte below the continuation range", "\xc3\x7f", "\xef\xbf\xbd\x7f"},
  };
  for (const auto& r : rows) {
    std::ostringstream out;
    write_json_escaped(out, r.in);
    EXPECT_EQ(out.str(), r.out) << r.name;
  }
}

// A file name that is not UTF-8 still gives valid JSON; the other fields are held by golden runs.
TEST(JsonReport, FileNameThatIsNotUtf8IsWrittenAsValidUtf8) {
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  const std::string path = testing::write_temp_file(
      "caf\xe9.pcap",
      testing::pcap_file({{.frame = testing::ipv4_icmp_frame(a, b, 8, 0, 0x1234, {})}}));
  const auto r = testing::run_nelo_in_process({"-ifile", path, "-json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("caf\xef\xbf\xbd.pcap\",\"frame\":1,"), std::string::npos) << r.out;
}

// A capture stamped in whole seconds still has nine fraction digits, so that its times sort as
// text among those of finer captures.
TEST(JsonReport, TimeOfWholeSecondsHasNineFractionDigits) {
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  testing::pcapng_writer w;
  w.section(false);
  w.interface(1, 0, 0);
  w.enhanced(0, 1600000000, testing::ipv4_icmp_frame(a, b, 8, 0, 1, {}));
  const auto r = testing::run_nelo_in_process(
      {"-ifile", testing::write_temp_file("seconds.pcapng", w.data()), "-json"});
  EXPECT_NE(r.out.find("\"time\":\"2020-09-13T12:26:40.000000000Z\""), std::string::npos) << r.out;
}

}  // namespace
}  // namespace nelo
