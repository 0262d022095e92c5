#include "support/csv_text.h"

#include <gtest/gtest.h>

#include <string>

namespace nelo {
namespace {

TEST(CsvText, QuotesOnlyFieldsThatHoldACommaAQuoteOrALineBreakAndDoublesTheirQuotes) {
  const struct {
    const char* name;
    std::string in;
    std::string out;
  } rows[] = {
      {"plain", "loopback.pcap", "loopback.pcap"},
      {"empty", "", ""},
      {"blanks and semicolons stay bare", " a; b ", " a; b "},
      {"comma", "a,b", "\"a,b\""},
      {"quote", "say \"hi\"", "\"say \"\"hi\"\"\""},
      {"lone quote", "\"", "\"\"\"\""},
      {"line feed", "a\nb", "\"a\nb\""},
      {"carriage return", "a\rb", "\"a\rb\""},
      {"other control bytes stay bare", std::string("t\tz\0", 4), std::string("t\tz\0", 4)},
      {"bytes that are not UTF-8 stay as they are", "caf\xe9", "caf\xe9"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(csv_field(r.in), r.out) << r.name;
    EXPECT_LE(r.out.size(), csv_field_max(r.in.size())) << r.name;
  }
}

}  // namespace
}  // namespace nelo
