// Real captures of every container and several link layers checked against the fields tshark
// gave for them (tests/data/*.tshark, written by tests/data/make_tshark_refs.sh).
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"
#include "report/icmp_names.h"

namespace nelo {
namespace {

const std::string DATA = NELO_TEST_DATA_DIR;

std::vector<std::string> split(const std::string& line, const std::string& separator) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (size_t next; (next = line.find(separator, at)) != std::string::npos;
       at = next + separator.size())
    fields.push_back(line.substr(at, next - at));
  fields.push_back(line.substr(at));
  return fields;
}

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The report lines of one run, each split into its columns.
std::vector<std::vector<std::string>> report_of(const std::string& path) {
  const auto r = testing::run_nelo_in_process({"-ifile", path});
  EXPECT_EQ(r.status, 0) << path << "\n" << r.err;
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    const auto fields = split(line, " , ");
    if (fields.size() == 11 && trim(fields[0]) != "frame") lines.push_back(fields);
  }
  return lines;
}

// "yyyy-mm-dd" and "hh:mm:ss.mmm" in UTC of a tshark epoch time, milliseconds truncated.
std::pair<std::string, std::string> utc_text(const std::string& epoch) {
  const size_t dot = epoch.find('.');
  const time_t seconds = std::stol(epoch.substr(0, dot));
  struct tm tm;
  gmtime_r(&seconds, &tm);
  char date[16], clock[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
  std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
  return {date, std::string(clock) + "." + epoch.substr(dot + 1, 3)};
}

TEST(CaptureFormats, RealCapturesAgreeWithTshark) {
  for (const std::string name : {"loopback.pcap", "loopback.pcapng", "loopback_nsec.pcap",
                                 "cooked1.pcap", "cooked2.pcap", "two_interfaces.pcapng"}) {
    std::ifstream refs(DATA + "/" + name + ".tshark");
    ASSERT_TRUE(refs) << name;
    std::vector<std::vector<std::string>> expected;
    for (std::string line; std::getline(refs, line);) expected.push_back(split(line, "\t"));
    const auto got = report_of(DATA + "/" + name);
    ASSERT_EQ(got.size(), expected.size()) << name;
    ASSERT_GT(got.size(), 10u) << name;
    for (size_t i = 0; i < got.size(); ++i) {
      const auto& t = expected[i];  // frame, epoch, ip src dst, ipv6 src dst, ttl, hlim, len,
      const auto& g = got[i];       // icmp type code, icmpv6 type code
      ASSERT_EQ(t.size(), 13u) << name;
      const bool v6 = t[2].empty();
      const auto [date, clock] = utc_text(t[1]);
      const std::string where = name + " frame " + t[0];
      EXPECT_EQ(trim(g[0]), t[0]) << where;
      EXPECT_EQ(g[1], date) << where;
      EXPECT_EQ(g[2], clock) << where;
      EXPECT_EQ(trim(g[3]), v6 ? "icmpv6" : "icmp") << where;
      EXPECT_EQ(trim(g[4]), v6 ? t[4] : t[2]) << where;
      EXPECT_EQ(trim(g[5]), v6 ? t[5] : t[3]) << where;
      EXPECT_EQ(trim(g[6]), v6 ? t[7] : t[6]) << where;
      EXPECT_EQ(trim(g[7]), t[8]) << where;
      const int type = std::stoi(v6 ? t[11] : t[9]);
      const int code = std::stoi(v6 ? t[12] : t[10]);
      const std::string message =
          v6 ? icmpv6_message_name(type, code) : icmp_message_name(type, code);
      EXPECT_TRUE(trim(g[10]).ends_with(message)) << where << ": " << g[10];
    }
  }
}

}  // namespace
}  // namespace nelo
