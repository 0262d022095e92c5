// The same packets in every container and link layer give the same report: the loopback capture
// re-wrapped by the test helper, and real captures of other kinds checked against the fields
// tshark gave for them (tests/data/*.tshark, written by tests/data/make_tshark_refs.sh).
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

using testing::bytes;
using testing::pcapng_writer;
using testing::record_parts;

const std::string DATA = NELO_TEST_DATA_DIR;
constexpr size_t ETHERNET = 14;

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

constexpr size_t TSIZE = 7;

// The loopback capture's records, read independently of nelo.
std::vector<record_parts> loopback_records() {
  const bytes file = testing::read_file(DATA + "/loopback.pcap");
  std::vector<record_parts> records;
  const auto le32 = [&](size_t at) {
    return file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) |
           (static_cast<uint32_t>(file[at + 3]) << 24);
  };
  for (size_t at = 24; at + 16 <= file.size(); at += 16 + le32(at + 8)) {
    record_parts r;
    r.ts_sec = le32(at);
    r.ts_usec = le32(at + 4);
    r.frame.assign(file.begin() + at + 16, file.begin() + at + 16 + le32(at + 8));
    records.push_back(r);
  }
  return records;
}

// Replaces each record's Ethernet header with what `wrap` makes of it and the IP packet.
std::vector<record_parts> rewrapped(std::vector<record_parts> records,
                                    bytes (*wrap)(const bytes& ethernet, bool ipv6)) {
  for (record_parts& r : records) {
    const bool ipv6 = r.frame[12] == 0x86;
    bytes out = wrap(r.frame, ipv6);
    out.insert(out.end(), r.frame.begin() + ETHERNET, r.frame.end());
    r.frame = out;
  }
  return records;
}

bytes vlan_once(const bytes& e, bool) {
  bytes h(e.begin(), e.begin() + 12);
  h.insert(h.end(), {0x81, 0x00, 0x00, 0x2a, e[12], e[13]});
  return h;
}
bytes vlan_twice(const bytes& e, bool) {
  bytes h(e.begin(), e.begin() + 12);
  h.insert(h.end(), {0x88, 0xa8, 0x00, 0x07, 0x81, 0x00, 0x00, 0x2a, e[12], e[13]});
  return h;
}
bytes raw(const bytes&, bool) {
  return {};
}
bytes bsd_null(const bytes&, bool v6) {
  return {static_cast<uint8_t>(v6 ? 30 : 2), 0, 0, 0};
}
bytes openbsd_loop(const bytes&, bool v6) {
  return {0, 0, 0, static_cast<uint8_t>(v6 ? 24 : 2)};
}
bytes cooked_v1(const bytes& e, bool) {
  return {0, 0, 3, 4, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, e[12], e[13]};
}
bytes cooked_v2(const bytes& e, bool) {
  return {e[12], e[13], 0, 0, 0, 0, 0, 1, 0, 4, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
}
bytes ppp(const bytes&, bool v6) {
  return {0xff, 0x03, 0x00, static_cast<uint8_t>(v6 ? 0x57 : 0x21)};
}
bytes cisco_hdlc(const bytes& e, bool) {
  return {0x0f, 0x00, e[12], e[13]};
}

bytes pcapng_of(const std::vector<record_parts>& records, bool big_endian, uint16_t link_type) {
  pcapng_writer w;
  w.section(big_endian);
  w.interface(link_type);
  for (const record_parts& r : records)
    w.enhanced(0, uint64_t{r.ts_sec} * 1000000 + r.ts_usec, r.frame);
  return w.data();
}

std::vector<record_parts> in_nanoseconds(std::vector<record_parts> records) {
  for (record_parts& r : records) r.ts_usec *= 1000;
  return records;
}

TEST(CaptureFormats, EveryContainerAndLinkLayerGivesTheSameReportLines) {
  const auto base = loopback_records();
  const auto expected = report_of(DATA + "/loopback.pcap");
  ASSERT_EQ(expected.size(), 18u);
  const struct {
    const char* name;
    bytes file;
    bool same_wire_length;
  } cases[] = {
      {"real pcapng", testing::read_file(DATA + "/loopback.pcapng"), true},
      {"real nanosecond pcap", testing::read_file(DATA + "/loopback_nsec.pcap"), true},
      {"big-endian pcap", testing::pcap_file(base, 262144, true, false), true},
      {"big-endian nanosecond pcap", testing::pcap_file(in_nanoseconds(base), 262144, true, true),
       true},
      {"big-endian pcapng", pcapng_of(base, true, 1), true},
      {"one vlan tag", testing::pcap_file(rewrapped(base, vlan_once), 262144, false, false), false},
      {"two vlan tags in pcapng", pcapng_of(rewrapped(base, vlan_twice), false, 1), false},
      {"raw ip", testing::pcap_file(rewrapped(base, raw), 262144, false, false, 101), false},
      {"bsd null", testing::pcap_file(rewrapped(base, bsd_null), 262144, false, false, 0), false},
      {"openbsd loop", pcapng_of(rewrapped(base, openbsd_loop), true, 108), false},
      {"cooked v1", testing::pcap_file(rewrapped(base, cooked_v1), 262144, true, false, 113),
       false},
      {"cooked v2", pcapng_of(rewrapped(base, cooked_v2), false, 276), false},
      {"ppp", testing::pcap_file(rewrapped(base, ppp), 262144, false, false, 9), false},
      {"ppp in hdlc framing", testing::pcap_file(rewrapped(base, ppp), 262144, false, false, 50),
       false},
      {"cisco hdlc", testing::pcap_file(rewrapped(base, cisco_hdlc), 262144, false, false, 104),
       false},
  };
  for (const auto& c : cases) {
    auto got = report_of(testing::write_temp_file("wrapped", c.file));
    ASSERT_EQ(got.size(), expected.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) {
      auto want = expected[i];
      if (!c.same_wire_length) {
        EXPECT_NE(got[i][TSIZE], want[TSIZE]) << c.name;
        got[i][TSIZE] = want[TSIZE] = "";
      }
      EXPECT_EQ(got[i], want) << c.name << " line " << i;
    }
  }
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
