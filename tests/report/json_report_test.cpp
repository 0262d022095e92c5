#include "report/json_report.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace nelo {
namespace {

TEST(JsonEscaping, EscapesWhatJsonNeedsAndReplacesEveryByteThatIsNotUtf8) {
  const struct {
    const char* name;
    std::string in;
    std::string out;
  } rows[] = {
      {"plain", "capture.pcap", "capture.pcap"},
      {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
      {"control characters", std::string("t\tn\nz\0", 6), "t\\u0009n\\u000az\\u0000"},
      {"two- three- and four-byte sequences", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"lone continuation byte", "a\x80z", "a\xef\xbf\xbdz"},
      {"latin-1 byte", "caf\xe9.pcap", "caf\xef\xbf\xbd.pcap"},
      {"overlong slash", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"sequence cut by the end", "x\xe2\x82", "x\xef\xbf\xbd\xef\xbf\xbd"},
      {"delete is kept", "\x7f", "\x7f"},
  };
  for (const auto& r : rows) {
    std::ostringstream out;
    write_json_escaped(out, r.in);
    EXPECT_EQ(out.str(), r.out) << r.name;
  }
}

}  // namespace
}  // namespace nelo
