#include "report/packet_report.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

struct frame_fields {
  bool ipv6 = false;
  std::vector<uint8_t> source = {192, 0, 2, 10};
  std::vector<uint8_t> destination = {198, 51, 100, 7};
  uint8_t hop_limit = 64;
  uint8_t type = 8, code = 0;
  uint16_t id = 0x1a2b;
  std::vector<uint8_t> payload = {};
  uint64_t ticks = 1358245353ULL * 10000000 + 116444736000000000ULL + 4560000;
  record_time time = record_time::shown;  // 2013-01-15 10:22:33.456 UTC
  int64_t orig_len = -1;                  // -1: the frame's own length
};

struct built_record : testing::decoded_frame {
  built_record(uint64_t frame_number, const frame_fields& f)
      : decoded_frame(frame_of(f), f.ticks, f.time,
                      f.orig_len < 0 ? static_cast<uint32_t>(frame_of(f).size())
                                     : static_cast<uint32_t>(f.orig_len),
                      frame_number) {}
  static testing::bytes frame_of(const frame_fields& f) {
    const auto* src = f.source.data();
    const auto* dst = f.destination.data();
    return f.ipv6
               ? testing::ipv6_icmp_frame(src, dst, f.type, f.code, f.id, f.payload, f.hop_limit)
               : testing::ipv4_icmp_frame(src, dst, f.type, f.code, f.id, f.payload, f.hop_limit);
  }
};

std::string report_line(uint64_t frame_number, const frame_fields& fields) {
  std::ostringstream out;
  packet_ctx ctx;
  ctx.dump_meta = true;
  ctx.header_pending = false;
  ctx.out = &out;
  const built_record r(frame_number, fields);
  EXPECT_TRUE(write_packet_report(r.packet, digest_payload(r.packet, false), &ctx));
  return out.str();
}

// The header and the lines of ordinary packets are checked by the golden tests.
TEST(PacketReport, LinesMatchTheirColumnsByteForByte) {
  const std::vector<uint8_t> long_v6 = {0x20, 0x01, 0x0d, 0xb8, 0x12, 0x34, 0x56, 0x78,
                                        0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78};
  const std::vector<uint8_t> link_local = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const struct {
    uint64_t frame_number;
    frame_fields fields;
    std::string line;
  } cases[] = {
      {7,
       {},
       "      7 , 2013-01-15 , 10:22:33.456 , icmp   , 192.0.2.10                , 198.51.100.7  "
       "           ,  64 ,    42 ,     0 ,  , id: 0x1a2b, echo request \n"},
      {7,
       {.ticks = 0, .time = record_time::hidden},
       "      7 ,  ,  , icmp   , 192.0.2.10                , 198.51.100.7             ,  64 ,   "
       " 42 ,     0 ,  , id: 0x1a2b, echo request \n"},
      {3,
       {.ipv6 = true,
        .source = long_v6,
        .destination = link_local,
        .hop_limit = 255,
        .type = 128,
        .id = 0x00ff},
       "      3 , 2013-01-15 , 10:22:33.456 , icmpv6 , 2001:db8:1234:5678:9abc:def0:1234:5678 , "
       "fe80::1                  , 255 ,    62 ,     0 ,  , id: 0x00ff, echo request \n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(report_line(c.frame_number, c.fields), c.line) << c.frame_number;
  }
}

TEST(PacketReport, PayloadGetsItsDigestSizeAndEntropyVerdict) {
  const std::string message = "message digest";
  const std::string line = report_line(9, {.payload = {message.begin(), message.end()}});
  EXPECT_NE(line.find(" ,    56 ,    14 , f96b697d7cb7938d525a2f31aaf161d0 , id: 0x1a2b, echo "
                      "request \n"),
            std::string::npos)
      << line;

  frame_fields fields;
  for (int b = 0; b < 256; ++b) fields.payload.push_back(static_cast<uint8_t>(b * 97 + 13));
  const std::string random = report_line(10, fields);
  EXPECT_TRUE(random.ends_with(" , id: 0x1a2b, echo request, payload has entropy high\n"))
      << random;
  EXPECT_NE(random.find(" ,   256 , "), std::string::npos);
  fields.payload[0] = fields.payload[1];  // one value doubled up cannot pass any more
  EXPECT_TRUE(report_line(10, fields).ends_with(" , id: 0x1a2b, echo request \n"));
}

}  // namespace
}  // namespace nelo
