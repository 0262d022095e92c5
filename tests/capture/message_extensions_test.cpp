// What the captures checked against tshark cannot show of the extension reader: bytes that only
// look like a structure, a frame longer or shorter than its datagram, and damage tshark reads
// past. Each row is one message; the record must count what it holds and name the damage, never
// more.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "capture/message_details.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

constexpr uint8_t SRC4[4] = {198, 51, 100, 37};
constexpr uint8_t DST4[4] = {192, 0, 2, 37};
constexpr uint8_t SRC6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0x37, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr uint8_t DST6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0x37, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

bytes object(uint8_t class_number, uint8_t ctype, const bytes& data) {
  bytes out = {0, static_cast<uint8_t>(4 + data.size()), class_number, ctype};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A version 2 structure of `objects`, its checksum set when `summed`.
bytes structure(const bytes& objects, bool summed = true) {
  bytes out = {0x20, 0, 0, 0};
  out.insert(out.end(), objects.begin(), objects.end());
  uint32_t sum = 0;
  for (size_t i = 0; i < out.size(); i += 2) {
    sum += out[i] << 8 | (i + 1 < out.size() ? out[i + 1] : 0);
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  if (summed) {
    out[2] = static_cast<uint8_t>(~sum >> 8);
    out[3] = static_cast<uint8_t>(~sum);
  }
  return out;
}

bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const bytes QUOTED_128(128, 0x45);
const bytes LABEL = object(1, 1, {0x05, 0xDC, 0x55, 0xFE});
const bytes BY_INDEX = object(3, 2, {0, 0, 0, 2});

struct extension_case {
  const char* name;
  bool ipv6;
  uint8_t type;
  uint16_t length;  // bytes 4 and 5 of the header: an error's length field is byte 5 (ICMPv6: 4)
  bytes payload;
  size_t trailer;  // bytes the frame carries after the datagram
  size_t cut;      // bytes of the datagram the capture leaves out
  extension_damage damage;
  uint16_t labels;
  uint16_t interfaces;
  bool identified;
};

const extension_case CASES[] = {
    {"LengthPastTheEndLeavesNoRoomForAStructure", false, 11, 32, bytes(60, 1), 0, 0,
     extension_damage::none, 0, 0, false},
    {"NoLengthAndNoStructureAfter128BytesIsAllQuoted", false, 11, 0, bytes(140, 0), 0, 0,
     extension_damage::none, 0, 0, false},
    {"NoLengthAndAStructureWithoutChecksumIsAllQuoted", false, 11, 0,
     cat(QUOTED_128, structure(LABEL, false)), 0, 0, extension_damage::none, 0, 0, false},
    {"NoLengthInAnIcmpv6ErrorIsAllQuoted", true, 3, 0, cat(QUOTED_128, structure(LABEL)), 0, 0,
     extension_damage::none, 0, 0, false},
    {"Icmpv6LengthCountsEightByteWords", true, 1, 0x1000, cat(QUOTED_128, structure(LABEL)), 0, 0,
     extension_damage::none, 1, 0, false},
    {"AStructureTheCaptureCutIsNotRead", false, 3, 32, cat(QUOTED_128, structure(LABEL)), 0, 2,
     extension_damage::none, 0, 0, false},
    {"AnEthernetTrailerIsNoObject", false, 42, 0, structure(BY_INDEX), 6, 0, extension_damage::none,
     0, 0, true},
    {"AHeaderOfTwoBytesIsCutShort", false, 12, 32, cat(QUOTED_128, {0x20, 0}), 0, 0,
     extension_damage::cut_short, 0, 0, false},
    {"AnObjectShorterThanItsHeaderEndsTheObjects", false, 11, 32,
     cat(QUOTED_128, structure(cat(LABEL, {0, 2, 1, 1}))), 0, 0, extension_damage::object, 1, 0,
     false},
    {"AnAddressOfAnUnknownFamilyIsNotRead", false, 11, 32,
     cat(QUOTED_128, structure(object(2, 0x04, {0, 3, 0, 0, 10, 0, 0, 1}))), 0, 0,
     extension_damage::object, 0, 0, false},
    {"ANameFlagWithNoNameIsNotRead", false, 11, 32, cat(QUOTED_128, structure(object(2, 0x02, {}))),
     0, 0, extension_damage::object, 0, 0, false},
    {"TwoIdentificationsAreOneTooMany", true, 160, 0, structure(cat(BY_INDEX, BY_INDEX)), 0, 0,
     extension_damage::object, 0, 0, false},
};

// A case shows as its name, so the tests' names and listings are the same on every build.
void PrintTo(const extension_case& c, std::ostream* os) {
  *os << c.name;
}

class ExtensionReading : public ::testing::TestWithParam<extension_case> {};

TEST_P(ExtensionReading, CountsWhatIsWholeAndNamesTheDamage) {
  const extension_case& c = GetParam();
  bytes frame = c.ipv6 ? testing::ipv6_icmp_frame(SRC6, DST6, c.type, 0, c.length, c.payload)
                       : testing::ipv4_icmp_frame(SRC4, DST4, c.type, 0, c.length, c.payload);
  const auto wire_len = static_cast<uint32_t>(frame.size() + c.trailer);
  frame.resize(frame.size() - c.cut + c.trailer, 0xEE);
  testing::decoded_frame decoded(frame, 0, record_time::shown, wire_len);
  read_message_details(decoded.packet);
  const message_details& details = decoded.packet.details;
  EXPECT_EQ(details.damage, c.damage);
  EXPECT_EQ(details.has & message_details::MPLS_LABELS ? details.mpls_labels : 0, c.labels);
  EXPECT_EQ(details.has & message_details::INTERFACES ? details.interfaces : 0, c.interfaces);
  EXPECT_EQ((details.has & message_details::IDENTIFIED) != 0, c.identified);
}

INSTANTIATE_TEST_SUITE_P(Messages, ExtensionReading, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nelo
