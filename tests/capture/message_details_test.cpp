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

constexpr uint8_t A6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr uint8_t B6[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr size_t ICMP_AT = 14 + 40;

bytes source_ll() {
  return {1, 1, 2, 0, 0, 0, 0xab, 0xcd};
}
bytes prefix(uint8_t units, uint8_t length) {
  bytes option(units * 8, 0);
  option[0] = 3, option[1] = units, option[2] = length, option[3] = 0xc0;
  if (option.size() > 16) option[16] = 0x20;
  return option;
}
bytes record(uint16_t sources, size_t source_bytes) {
  bytes r = {4, 0, static_cast<uint8_t>(sources >> 8), static_cast<uint8_t>(sources), 0xff, 0x02};
  r.resize(r.size() + 14 + source_bytes, 1);
  return r;
}
bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct damage_case {
  const char* name;
  uint8_t type;
  bytes payload;
  uint16_t mld_records;  // the count an MLDv2 report's header claims
  int cut;               // bytes the capture leaves off the frame's end
  int trailer;           // bytes behind the datagram, as an Ethernet trailer
  uint16_t damaged;
  bool has_source_ll;
  std::vector<int> items;  // prefix lengths or record sources, as the walkers hand them out
};

const bytes RA_FIXED(8, 0);
const bytes NS_TARGET(16, 0x20);

const damage_case CASES[] = {
    {"WholeRouterAdvertisement",
     134,
     RA_FIXED + source_ll() + prefix(4, 64),
     0,
     0,
     0,
     0,
     true,
     {64}},
    {"OptionOfLengthZeroEndsTheWalk",
     134,
     RA_FIXED + source_ll() + bytes{3, 0} + prefix(4, 64),
     0,
     0,
     0,
     1,
     true,
     {}},
    {"PrefixRunningPastTheMessage",
     134,
     RA_FIXED + bytes{3, 5} + prefix(4, 64),
     0,
     0,
     0,
     1,
     false,
     {}},
    {"PrefixOfTheWrongSizeIsSkipped",
     134,
     RA_FIXED + prefix(3, 64) + prefix(4, 48),
     0,
     0,
     0,
     1,
     false,
     {48}},
    {"PrefixLongerThan128", 134, RA_FIXED + prefix(4, 129) + source_ll(), 0, 0, 0, 1, true, {}},
    {"LinkAddressLongerThanAnyLinkLayer", 133, bytes(4, 0) + prefix(5, 0), 0, 0, 0, 1, false, {}},
    {"CaptureCutInsideAnOption", 135, NS_TARGET + source_ll(), 0, 3, 0, 1, false, {}},
    {"TrailerBehindTheDatagramIsNoOption", 135, NS_TARGET + source_ll(), 0, 0, 6, 0, true, {}},
    {"ReportCountingMoreRecordsThanItHolds",
     143,
     record(1, 16) + record(0, 0),
     3,
     0,
     0,
     1,
     false,
     {1, 0}},
    {"RecordCountingMoreSourcesThanItHolds", 143, record(2, 16), 1, 0, 0, 1, false, {}},
    {"ReportHoldingMoreRecordsThanItCounts",
     143,
     record(0, 0) + record(0, 0),
     1,
     0,
     0,
     0,
     false,
     {0}},
};

class DamagedDiscovery : public ::testing::TestWithParam<damage_case> {};

TEST_P(DamagedDiscovery, ShowsWhatIsWholeAndCountsTheRest) {
  const damage_case& c = GetParam();
  bytes frame = testing::ipv6_icmp_frame(A6, B6, c.type, 0, 0, c.payload, 255);
  frame[ICMP_AT + 6] = static_cast<uint8_t>(c.mld_records >> 8);
  frame[ICMP_AT + 7] = static_cast<uint8_t>(c.mld_records);
  frame.resize(frame.size() - c.cut + c.trailer, 0);
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
  EXPECT_EQ((d.has & message_details::SOURCE_LL) != 0, c.has_source_ll);
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
