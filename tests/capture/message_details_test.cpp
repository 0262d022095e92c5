// Neighbor discovery options and MLDv2 records that are cut short or malformed: what tshark's
// reading of the real captures cannot show. Nothing damaged is shown, nothing whole is lost, and
// what was left out is counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/message_details.h"
#include "capture/packet_handler.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

constexpr uint8_t ADDRESS[16] = {0xfe, 0x80};
constexpr size_t ICMP_AT = 14 + 40;

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
const bytes LL = {1, 1, 2, 0, 0, 0, 0xab, 0xcd};  // a source link-layer address option
const bytes RA = bytes(8, 0);                     // reachable time and retransmit timer
const bytes NS = bytes(16, 0x20);                 // the target
bytes option(uint8_t type, uint8_t units) {
  bytes o(units * 8, 0);
  o[0] = type, o[1] = units;
  return o;
}
bytes prefix(uint8_t units, uint8_t length) {
  bytes o = option(3, units);
  o[2] = length;
  return o;
}
bytes record(uint8_t sources, size_t source_bytes) {
  return bytes{4, 0, 0, sources} + bytes(16 + source_bytes, 0xff);
}

struct damage_case {
  const char* name;
  uint8_t type;
  uint8_t records;  // the count an MLDv2 report's header claims
  bytes payload;
  int end;  // bytes behind the datagram (an Ethernet trailer), or cut off by the capture
  uint16_t damaged;
  bool source_ll;
  std::vector<int> items = {};  // prefix lengths or record sources, as the walkers hand them out
};

const damage_case CASES[] = {
    {"OptionOfLengthZeroEndsTheWalk", 134, 0, RA + LL + bytes{3, 0} + prefix(4, 64), 0, 1, true},
    {"PrefixRunningPastTheMessage", 134, 0, RA + bytes{3, 5} + prefix(4, 64), 0, 1, false},
    {"PrefixOfTheWrongSizeIsSkipped", 134, 0, RA + prefix(3, 64) + prefix(4, 48), 0, 1, 0, {48}},
    {"PrefixLongerThan128", 134, 0, RA + prefix(4, 129) + LL, 0, 1, true},
    {"LinkAddressLongerThanAnyLinkLayer", 133, 0, option(1, 5) + LL, 0, 1, true},
    {"CaptureCutInsideAnOption", 135, 0, NS + LL, -3, 1, false},
    {"TrailerBehindTheDatagramIsNoOption", 135, 0, NS + LL, 6, 0, true},
    {"ReportCountingMoreRecordsThanItHolds", 143, 3, record(1, 16) + record(0, 0), 0, 1, 0, {1, 0}},
    {"RecordCountingMoreSourcesThanItHolds", 143, 1, record(2, 16), 0, 1, false},
    {"ReportHoldingMoreRecordsThanItCounts", 143, 1, record(0, 0) + record(0, 0), 0, 0, 0, {0}},
};

class DamagedDiscovery : public ::testing::TestWithParam<damage_case> {};

TEST_P(DamagedDiscovery, ShowsWhatIsWholeAndCountsTheRest) {
  const damage_case& c = GetParam();
  bytes frame = testing::ipv6_icmp_frame(ADDRESS, ADDRESS, c.type, 0, 0, c.payload, 255);
  frame[ICMP_AT + 7] = c.records;
  frame.resize(frame.size() + c.end, 0);
  capture_record record;
  record.link_type = 1;
  record.bytes = frame.data();
  record.captured_len = record.wire_len = static_cast<uint32_t>(frame.size());
  decoded_packet packet;
  ASSERT_TRUE(decode_packet(record, packet));
  read_message_details(packet);

  const message_details& d = packet.details;
  EXPECT_EQ(d.damaged, c.damaged);
  EXPECT_EQ((d.has & message_details::DAMAGED) != 0, c.damaged > 0);
  EXPECT_EQ((d.has & message_details::SOURCE_LL) != 0, c.source_ll);
  std::vector<int> items;
  for_each_prefix(d, packet.payload, [&](const prefix_option& p) { items.push_back(p.length); });
  for_each_record(d, packet.payload, [&](const group_record& r) { items.push_back(r.sources); });
  EXPECT_EQ(items, c.items);
  EXPECT_EQ(d.item_count, c.items.size());
}

INSTANTIATE_TEST_SUITE_P(Messages, DamagedDiscovery, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nelo
