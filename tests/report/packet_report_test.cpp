#include "report/packet_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace nelo {
namespace {

// 2013-01-15 10:22:33.456 UTC
constexpr uint32_t EXAMPLE_SECONDS = 1358245353;
constexpr uint32_t EXAMPLE_MICROSECONDS = 456000;

struct frame_fields {
  bool ipv6 = false;
  std::vector<uint8_t> source = {192, 0, 2, 10};
  std::vector<uint8_t> destination = {198, 51, 100, 7};
  uint8_t hop_limit = 64;
  uint8_t type = 8;
  uint8_t code = 0;
  uint16_t id = 0x1a2b;
  std::vector<uint8_t> payload = {};
  uint32_t ts_sec = EXAMPLE_SECONDS;
  uint32_t ts_usec = EXAMPLE_MICROSECONDS;
  uint32_t orig_len = 0;  // 0: the frame's own length
};

// A capture record (header and Ethernet/IP/ICMP frame) and the decoded view of it.
struct built_record {
  std::vector<uint8_t> bytes;
  decoded_packet packet;
};

void put_le32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

built_record build_record(const frame_fields& fields) {
  const size_t icmp_at = fields.ipv6 ? IPV6_ICMP_OFFSET : ETH_HEADER_SIZE + 20;
  const size_t frame_len = icmp_at + ICMP_HEADER_SIZE + fields.payload.size();
  built_record r;
  r.bytes.assign(PCAP_RECORD_HEADER_SIZE + frame_len, 0);
  put_le32(r.bytes, 0, fields.ts_sec);
  put_le32(r.bytes, 4, fields.ts_usec);
  put_le32(r.bytes, 8, static_cast<uint32_t>(frame_len));
  put_le32(r.bytes, 12, fields.orig_len != 0 ? fields.orig_len : static_cast<uint32_t>(frame_len));

  // Only the fields the report reads are filled in; the decoder has vetted the rest.
  uint8_t* frame = r.bytes.data() + PCAP_RECORD_HEADER_SIZE;
  if (fields.ipv6) {
    frame[IPV6_HOP_LIMIT_OFFSET] = fields.hop_limit;
    std::memcpy(frame + IPV6_SOURCE_OFFSET, fields.source.data(), 16);
    std::memcpy(frame + IPV6_DESTINATION_OFFSET, fields.destination.data(), 16);
  } else {
    frame[IPV4_TTL_OFFSET] = fields.hop_limit;
    std::memcpy(frame + IPV4_SOURCE_OFFSET, fields.source.data(), 4);
    std::memcpy(frame + IPV4_DESTINATION_OFFSET, fields.destination.data(), 4);
  }
  uint8_t* icmp = frame + icmp_at;
  icmp[0] = fields.type;
  icmp[1] = fields.code;
  icmp[4] = static_cast<uint8_t>(fields.id >> 8);
  icmp[5] = static_cast<uint8_t>(fields.id);
  if (!fields.payload.empty()) {
    std::memcpy(icmp + ICMP_HEADER_SIZE, fields.payload.data(), fields.payload.size());
  }

  r.packet.record = r.bytes.data();
  r.packet.frame = frame;
  r.packet.icmp = icmp;
  r.packet.payload = icmp + ICMP_HEADER_SIZE;
  r.packet.incl_len = static_cast<uint32_t>(frame_len);
  r.packet.hdr_len = static_cast<int32_t>(icmp_at + ICMP_HEADER_SIZE);
  r.packet.payload_len = static_cast<int32_t>(fields.payload.size());
  r.packet.ipv6 = fields.ipv6;
  return r;
}

// A report context writing into `out`, with the header already written unless asked for.
packet_ctx report_ctx(std::ostream& out, bool header_pending = false) {
  packet_ctx ctx;
  ctx.dump_meta = true;
  ctx.header_pending = header_pending;
  ctx.out = &out;
  return ctx;
}

std::string report_line(uint64_t frame_number, const frame_fields& fields) {
  std::ostringstream out;
  packet_ctx ctx = report_ctx(out);
  const built_record r = build_record(fields);
  EXPECT_TRUE(write_packet_report(frame_number, r.packet, &ctx));
  return out.str();
}

const std::string WORKED_EXAMPLE_LINE =
    "      7 , 2013-01-15 , 10:22:33.456 , icmp   , 192.0.2.10                , 198.51.100.7    "
    "         ,  64 ,    42 ,     0 ,  , id: 0x1a2b, echo request \n";

const std::string HEADER_LINE =
    "  frame , date [utc] ,   time [utc] , proto  ,         source ip         ,      destination"
    " ip      , ttl , Tsize , Psize ,          payload md5 hash        ,         comments\n";

TEST(PacketReport, FirstLineIsPrecededByTheHeaderAndAnEmptyLineOnlyOnce) {
  ASSERT_EQ(HEADER_LINE.size(), 176u);
  std::ostringstream out;
  packet_ctx ctx = report_ctx(out, true);
  const built_record r = build_record({});
  ASSERT_TRUE(write_packet_report(7, r.packet, &ctx));
  EXPECT_FALSE(ctx.header_pending);
  EXPECT_EQ(out.str(), HEADER_LINE + "\n" + WORKED_EXAMPLE_LINE);

  ASSERT_TRUE(write_packet_report(7, r.packet, &ctx));
  EXPECT_EQ(out.str(), HEADER_LINE + "\n" + WORKED_EXAMPLE_LINE + WORKED_EXAMPLE_LINE);

  // Re-armed for the next input file.
  ctx.header_pending = true;
  ASSERT_TRUE(write_packet_report(7, r.packet, &ctx));
  EXPECT_EQ(out.str(), HEADER_LINE + "\n" + WORKED_EXAMPLE_LINE + WORKED_EXAMPLE_LINE +
                           HEADER_LINE + "\n" + WORKED_EXAMPLE_LINE);
}

struct line_case {
  const char* name;
  uint64_t frame_number;
  frame_fields fields;
  std::string line;
};

std::vector<line_case> line_cases() {
  const std::vector<uint8_t> long_v6 = {0x20, 0x01, 0x0d, 0xb8, 0x12, 0x34, 0x56, 0x78,
                                        0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78};
  const std::vector<uint8_t> link_local = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return {
      {"worked example", 7, {}, WORKED_EXAMPLE_LINE},
      {"eight-digit frame number",
       12345678,
       {.source = {10, 0, 0, 1},
        .destination = {10, 0, 0, 2},
        .hop_limit = 128,
        .type = 0,
        .id = 0xbeef,
        .orig_len = 98},
       "12345678 , 2013-01-15 , 10:22:33.456 , icmp   , 10.0.0.1                  , 10.0.0.2     "
       "            , 128 ,    98 ,     0 ,  , id: 0xbeef, echo reply \n"},
      {"invalid time leaves date and time empty",
       7,
       {.ts_sec = 0, .ts_usec = 0},
       "      7 ,  ,  , icmp   , 192.0.2.10                , 198.51.100.7             ,  64 ,   "
       " 42 ,     0 ,  , id: 0x1a2b, echo request \n"},
      {"long IPv6 source pushes the line right",
       3,
       {.ipv6 = true,
        .source = long_v6,
        .destination = link_local,
        .hop_limit = 255,
        .type = 128,
        .id = 0x00ff},
       "      3 , 2013-01-15 , 10:22:33.456 , icmpv6 , 2001:db8:1234:5678:9abc:def0:1234:5678 , "
       "fe80::1                  , 255 ,    62 ,     0 ,  , id: 0x00ff, echo request \n"},
      {"dst unreachable has no identifier",
       1,
       {.source = {192, 0, 2, 1},
        .destination = {192, 0, 2, 10},
        .hop_limit = 1,
        .type = 3,
        .code = 1},
       "      1 , 2013-01-15 , 10:22:33.456 , icmp   , 192.0.2.1                 , 192.0.2.10   "
       "            ,   1 ,    42 ,     0 ,  , dst unreachable \n"},
      {"unknown type",
       2,
       {.type = 42, .code = 9},
       "      2 , 2013-01-15 , 10:22:33.456 , icmp   , 192.0.2.10                , 198.51.100.7 "
       "            ,  64 ,    42 ,     0 ,  , <unk type> \n"},
      {"timestamp request carries an identifier",
       4,
       {.type = 13, .id = 0x0001},
       "      4 , 2013-01-15 , 10:22:33.456 , icmp   , 192.0.2.10                , 198.51.100.7 "
       "            ,  64 ,    42 ,     0 ,  , id: 0x0001, icmp timestamp request \n"},
      {"ICMPv6 echo reply over a zero hop limit",
       6,
       {.ipv6 = true,
        .source = link_local,
        .destination = link_local,
        .hop_limit = 0,
        .type = 129,
        .id = 0xa0b0,
        .orig_len = 123456},
       "      6 , 2013-01-15 , 10:22:33.456 , icmpv6 , fe80::1                   , fe80::1      "
       "            ,   0 , 123456 ,     0 ,  , id: 0xa0b0, echo reply \n"},
  };
}

TEST(PacketReport, LinesMatchTheirColumnsByteForByte) {
  for (const line_case& c : line_cases()) {
    EXPECT_EQ(report_line(c.frame_number, c.fields), c.line) << c.name;
  }
  // Empty date and time columns take 22 characters off the line, nothing else.
  EXPECT_EQ(report_line(7, {}).size() - report_line(7, {.ts_sec = 0}).size(), 22u);
}

// The text between the ninth separator and the tenth: the digest column.
std::string digest_column(const std::string& line) {
  size_t at = 0;
  for (int i = 0; i < 9; ++i) at = line.find(" , ", at) + 3;
  return line.substr(at, line.find(" , ", at) - at);
}

TEST(PacketReport, PayloadGetsItsDigestAndSize) {
  const std::string message = "message digest";
  const frame_fields fields{.payload = std::vector<uint8_t>(message.begin(), message.end())};
  const std::string line = report_line(9, fields);
  EXPECT_EQ(digest_column(line), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_NE(line.find(" ,    56 ,    14 , f96b697d"), std::string::npos);
  EXPECT_TRUE(line.ends_with(" , id: 0x1a2b, echo request \n")) << line;
}

TEST(PacketReport, EveryByteValueOnceIsFlaggedAsHighEntropy) {
  frame_fields fields;
  for (int b = 0; b < 256; ++b) fields.payload.push_back(static_cast<uint8_t>(b * 97 + 13));
  const std::string line = report_line(10, fields);
  EXPECT_TRUE(line.ends_with(" , id: 0x1a2b, echo request, payload has entropy high\n")) << line;
  EXPECT_NE(line.find(" ,   256 , "), std::string::npos);

  // The same bytes with one value doubled up cannot pass any more.
  fields.payload[0] = fields.payload[1];
  const std::string plain = report_line(10, fields);
  EXPECT_TRUE(plain.ends_with(" , id: 0x1a2b, echo request \n")) << plain;
}

TEST(PacketReport, NothingIsWrittenWhenTheReportIsOff) {
  const built_record r = build_record({});
  std::ostringstream out;

  packet_ctx binary = report_ctx(out, true);
  binary.format = output_format::binary;
  EXPECT_FALSE(write_packet_report(1, r.packet, &binary));
  EXPECT_TRUE(binary.header_pending);

  packet_ctx no_meta = report_ctx(out, true);
  no_meta.dump_meta = false;
  EXPECT_FALSE(write_packet_report(1, r.packet, &no_meta));
  EXPECT_TRUE(no_meta.header_pending);

  packet_ctx no_stream = report_ctx(out, true);
  no_stream.out = nullptr;
  EXPECT_FALSE(write_packet_report(1, r.packet, &no_stream));

  EXPECT_FALSE(write_packet_report(1, r.packet, nullptr));
  EXPECT_TRUE(out.str().empty());
}

// Counts what reaches the stream buffer: how many writes and how many flushes.
class counting_buffer : public std::stringbuf {
 public:
  int writes = 0;
  int syncs = 0;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    ++writes;
    return std::stringbuf::xsputn(s, n);
  }
  int sync() override {
    ++syncs;
    return std::stringbuf::sync();
  }
};

TEST(PacketReport, EachLineIsOneWriteAndIsFlushedOnlyWhenAsked) {
  const built_record r = build_record({});
  counting_buffer buffer;
  std::ostream out(&buffer);
  packet_ctx ctx = report_ctx(out);

  ASSERT_TRUE(write_packet_report(7, r.packet, &ctx));
  EXPECT_EQ(buffer.writes, 1);
  EXPECT_EQ(buffer.syncs, 1);

  ctx.flush_each_line = false;
  ASSERT_TRUE(write_packet_report(7, r.packet, &ctx));
  EXPECT_EQ(buffer.writes, 2);
  EXPECT_EQ(buffer.syncs, 1);
  EXPECT_EQ(buffer.str(), WORKED_EXAMPLE_LINE + WORKED_EXAMPLE_LINE);
}

}  // namespace
}  // namespace nelo
