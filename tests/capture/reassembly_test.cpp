// Whole runs over crafted fragment sets. Each row's capture is reported with -json, and every
// line is brought down to what reassembly decides: the frame it stands at, the first fragment's
// source, the lengths, the payload's MD5 (OpenSSL's, over the bytes built here), the fragments'
// frames and the notes. Two threads must write the same report as one.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::cat;
using testing::lines_of;
using testing::record_parts;

void put(bytes& b, uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(value >> 8 * i));
}

// gre: fragments of an IPv4 packet carrying GRE; inside_gre: fragments carried in whole GRE.
enum class kind { ipv4, ipv6, ipv6_hop_by_hop, gre, inside_gre, udp };

// What the fragments of one datagram share, and its fragmentable part whole.
struct datagram {
  kind carrier = kind::ipv4;
  uint32_t id = 1;
  uint8_t source = 1;      // the last byte of the innermost source address
  bytes body;              // the fragmentable part
  size_t lead = 8;         // its bytes in front of the echo's payload
  size_t in_front = 0;     // the bytes in front of it in the frame of the datagram whole
  uint8_t ipv6_next = 58;  // what an IPv6 fragmentable part starts with
};

bool is_ipv6(const datagram& d) {
  return d.carrier == kind::ipv6 || d.carrier == kind::ipv6_hop_by_hop;
}

bytes ipv4_header(uint8_t protocol, size_t data, uint16_t id, uint16_t fragment, uint8_t source) {
  bytes h = {0x45, 0};
  put(h, 20 + data, 2);
  put(h, id, 2);
  put(h, fragment, 2);
  return cat(h, {64, protocol, 0, 0, 10, 0, 0, source, 10, 0, 0, 2});
}

// An echo request of `payload` random bytes, in the carrier asked for.
datagram make(kind carrier, size_t payload, uint32_t id = 1, uint8_t source = 1) {
  datagram d;
  d.carrier = carrier;
  d.id = id;
  d.source = source;
  std::mt19937 random(id * 256u + source);
  bytes echo = {static_cast<uint8_t>(is_ipv6(d) ? 128 : 8), 0, 0, 0, 0x12, 0x34, 0, 1};
  for (size_t i = 0; i < payload; ++i) echo.push_back(static_cast<uint8_t>(random()));
  d.in_front = 14 + (is_ipv6(d) ? 40 : 20) + (carrier == kind::ipv6_hop_by_hop ? 8 : 0) +
               (carrier == kind::inside_gre ? 4 + 20 : 0);
  d.body = echo;
  if (carrier == kind::gre) {
    d.body = cat(cat({0, 0, 0x08, 0x00}, ipv4_header(1, echo.size(), 9, 0, source)), echo);
    d.lead += 4 + 20;
  } else if (carrier == kind::udp) {
    d.body = {0x9c, 0x40, 0, 53};  // to port 53, which names no tunnel
    put(d.body, 8 + echo.size(), 2);
    d.body = cat(cat(d.body, {0, 0}), echo);
    d.lead += 8;
  }
  return d;
}

// The frame holding [offset, end) of `d`'s fragmentable part; the whole datagram when that is
// all of it in IPv4.
bytes fragment(const datagram& d, size_t offset, size_t end, bool more) {
  const bytes data(d.body.begin() + offset, d.body.begin() + end);
  if (!is_ipv6(d)) {
    const uint8_t protocol = d.carrier == kind::gre ? 47 : d.carrier == kind::udp ? 17 : 1;
    const auto flags = static_cast<uint16_t>((more ? 0x2000 : 0) | offset / 8);
    // A tunnel's outer header comes from elsewhere, so that the inner source must be the one shown.
    const uint8_t source = d.carrier == kind::gre ? 200 : d.source;
    bytes ip =
        cat(ipv4_header(protocol, data.size(), static_cast<uint16_t>(d.id), flags, source), data);
    if (d.carrier == kind::inside_gre)
      ip = cat(cat(ipv4_header(47, 4 + ip.size(), 0x77, 0, 200), {0, 0, 0x08, 0x00}), ip);
    return testing::ether_frame(0x0800, ip);
  }
  const bool hop_by_hop = d.carrier == kind::ipv6_hop_by_hop;
  bytes ip = {0x60, 0, 0, 0};
  put(ip, (hop_by_hop ? 16 : 8) + data.size(), 2);
  ip.insert(ip.end(), {static_cast<uint8_t>(hop_by_hop ? 0 : 44), 64, 0xfd});
  ip.resize(ip.size() + 14, 0);
  ip.insert(ip.end(), {d.source, 0xfd});
  ip.resize(ip.size() + 14, 0);
  ip.push_back(2);
  if (hop_by_hop) ip.insert(ip.end(), {44, 0, 1, 4, 0, 0, 0, 0});  // PadN
  ip.insert(ip.end(), {d.ipv6_next, 0});
  put(ip, offset | (more ? 1 : 0), 2);
  put(ip, d.id, 4);
  return testing::ether_frame(0x86DD, cat(ip, data));
}

// The `index`-th fragment when `d` is cut into pieces of `size` bytes.
bytes part(const datagram& d, size_t index, size_t size = 1480) {
  const size_t end = std::min((index + 1) * size, d.body.size());
  return fragment(d, index * size, end, end < d.body.size());
}

record_parts at(bytes frame, uint32_t seconds = 0, uint32_t microseconds = 0) {
  return {.ts_sec = 1600000000 + seconds, .ts_usec = microseconds, .frame = std::move(frame)};
}

// The frame as a capture of snapshot length `snap` keeps it.
record_parts snapped(bytes frame, size_t snap) {
  const auto wire = static_cast<int64_t>(frame.size());
  frame.resize(std::min(snap, frame.size()));
  return {.ts_sec = 1600000000, .frame = std::move(frame), .orig_len = wire};
}

// The frame behind a VLAN tag of id `vlan`.
bytes tagged(bytes frame, uint16_t vlan) {
  const bytes tag = {0x81, 0x00, static_cast<uint8_t>(vlan >> 8), static_cast<uint8_t>(vlan)};
  frame.insert(frame.begin() + 12, tag.begin(), tag.end());
  return frame;
}

// The frame carried whole in VXLAN of network `vni`, over UDP over IPv4 from 192.0.2.1.
bytes in_vxlan(const bytes& frame, uint32_t vni) {
  bytes udp = {0xc0, 0x00, 0x12, 0xb5};
  put(udp, 8 + 8 + frame.size(), 2);
  udp = cat(udp, {0, 0, 0x08, 0, 0, 0});
  put(udp, vni << 8, 4);
  bytes ip = {0x45, 0};
  put(ip, 20 + udp.size() + frame.size(), 2);
  ip = cat(ip, {0, 0, 0x40, 0, 64, 17, 0, 0, 192, 0, 2, 1, 192, 0, 2, 2});
  return testing::ether_frame(0x0800, cat(cat(ip, udp), frame));
}

// The frame numbers from `first` to `last` as the JSON report lists them.
std::string list(uint64_t first, uint64_t last) {
  std::string text = "[";
  for (uint64_t n = first; n <= last; ++n) text += std::to_string(n) + (n < last ? "," : "]");
  return text;
}

std::string md5(const uint8_t* data, size_t size) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  EXPECT_EQ(EVP_Digest(data, size, digest, &digest_size, EVP_md5(), nullptr), 1);
  char hex[2 * EVP_MAX_MD_SIZE + 1] = {};
  for (unsigned int i = 0; i < digest_size; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

std::string summary(const std::string& frame, const std::string& source, const std::string& wire,
                    const std::string& payload, const std::string& hash,
                    const std::string& fragments, const std::string& notes) {
  return "frame " + frame + " src " + source + " wire " + wire + " payload " + payload + " md5 " +
         hash + " fragments " + fragments + " notes" + notes;
}

// What the report must say of `d` with its fragmentable part running to `end`; `extra` counts
// the bytes in the frame beyond those of the datagram whole. An incomplete datagram whose
// fragments say it reaches further (`reach`) is as long on the wire as they say.
std::string expected(uint64_t frame, const datagram& d, size_t end, const std::string& fragments,
                     const std::string& notes = "", size_t extra = 0, size_t reach = 0) {
  const std::string source = (is_ipv6(d) ? "fd00::" : "10.0.0.") + std::to_string(d.source);
  return summary(
      std::to_string(frame), source, std::to_string(d.in_front + std::max(end, reach) + extra),
      std::to_string(end - d.lead), md5(d.body.data() + d.lead, end - d.lead), fragments, notes);
}

// The value of `key` in a JSON line: a string's text, an array with its brackets, or "-".
std::string field(const std::string& line, const std::string& key) {
  const std::string value = testing::json_value(line, key);
  return value.empty() ? "-" : value[0] == '"' ? value.substr(1, value.size() - 2) : value;
}

std::vector<std::string> reported(const std::string& out) {
  std::vector<std::string> lines;
  for (const std::string& line : lines_of(out)) {
    std::string notes;
    for (const char* note : {"fragment_overlap", "oversized", "incomplete"})
      if (field(line, note) == "true") notes += std::string(" ") + note;
    lines.push_back(summary(field(line, "frame"), field(line, "src"), field(line, "wire_len"),
                            field(line, "payload_len"), field(line, "payload_md5"),
                            field(line, "fragments"), notes));
  }
  return lines;
}

std::string incomplete_line(const std::string& err) {
  const size_t at = err.find("fragmented datagrams were incomplete");
  if (at == std::string::npos) return "";
  const size_t start = err.rfind('\n', at) + 1;
  return err.substr(start, err.find('\n', at) + 1 - start);
}

struct fragment_row {
  std::string name;
  std::vector<record_parts> frames;
  std::vector<std::string> lines;
  uint64_t incomplete = 0;  // the datagrams stderr counts as incomplete
  std::vector<std::string> args = {};
};

std::vector<fragment_row> rows() {
  const datagram d = make(kind::ipv4, 3000);  // three fragments of 1480, 1480 and 48 bytes
  const size_t whole = d.body.size();
  const datagram other_source = make(kind::ipv4, 3000, 1, 3);
  const datagram four = make(kind::ipv4, 5000);
  const datagram largest = make(kind::ipv4, 65515 - 8, 11), across = make(kind::ipv4, 66000, 12);
  const datagram past = make(kind::ipv4, 66528 - 8, 13);  // its last fragment starts at 65,528
  const datagram v6 = make(kind::ipv6, 1000, 0x12345678);
  const datagram v6_hop = make(kind::ipv6_hop_by_hop, 4000, 5);
  const datagram tunnel = make(kind::gre, 3000, 6, 4);
  const datagram inside = make(kind::inside_gre, 3000, 8, 5);
  const datagram udp = make(kind::udp, 3000, 7), udp_first = make(kind::udp, 3000, 10);
  datagram other_bytes = d;
  for (size_t i = 1000; i < 2960; ++i) other_bytes.body[i] ^= 0x5a;
  datagram kept = d;  // bytes 1000 to 2960 as the fragment that brought them first had them
  std::copy(other_bytes.body.begin() + 1000, other_bytes.body.begin() + 2960,
            kept.body.begin() + 1000);
  const auto p = [](const datagram& g, size_t index) { return at(part(g, index)); };

  std::vector<fragment_row> table = {
      {"in order", {p(d, 0), p(d, 1), p(d, 2)}, {expected(3, d, whole, "[1,2,3]")}},
      {"reversed", {p(d, 2), p(d, 1), p(d, 0)}, {expected(3, d, whole, "[1,2,3]")}},
      {"shuffled",
       {p(four, 2), p(four, 0), p(four, 3), p(four, 1)},
       {expected(4, four, four.body.size(), "[1,2,3,4]")}},
      {"identical duplicates",
       {p(d, 1), p(d, 2), p(d, 1), p(d, 2), p(d, 0)},
       {expected(5, d, whole, "[1,2,3,4,5]")}},
      {"overlap with the same bytes",
       {p(d, 1), at(fragment(d, 1000, 2960, true)), p(d, 0), p(d, 2)},
       {expected(4, d, whole, "[1,2,3,4]")}},
      {"overlap with other bytes keeps the first",
       {at(fragment(other_bytes, 1000, 2960, true)), p(d, 0), p(d, 2)},
       {expected(3, kept, whole, "[1,2,3]", " fragment_overlap")}},
      // Reported at the first fragment, not at the first to arrive.
      {"missing middle",
       {p(d, 2), p(d, 0)},
       {expected(2, d, 1480, "[1,2]", " incomplete", 0, whole)},
       1},
      // Every fragment cut by the snapshot length: the datagram is as long as its headers say.
      {"cut by the snapshot length",
       {snapped(part(d, 0), 100), snapped(part(d, 1), 100), snapped(part(d, 2), 100)},
       {expected(1, d, 100 - d.in_front, "[1,2,3]", " incomplete", 0, whole)},
       1},
      {"missing first", {p(d, 1), p(d, 2)}, {}, 1},
      {"missing last", {p(d, 0), p(d, 1)}, {expected(1, d, 2960, "[1,2]", " incomplete")}, 1},
      // The largest datagram whole; then cut where the IPv4 datagram reaches 65,535 bytes, with
      // a last fragment across that size and one wholly past it.
      {"largest datagram and pings of death",
       {},
       {expected(9, largest, 65515, list(1, 9)),
        expected(18, across, 65515, list(10, 18), " oversized"),
        expected(28, past, 65515, list(19, 28), " oversized")}},
      {"IPv6 atomic fragment",
       {at(fragment(v6, 0, v6.body.size(), false))},
       {expected(1, v6, v6.body.size(), "-", "", 8)}},
      {"IPv6 behind a hop-by-hop header",
       {p(v6_hop, 1), p(v6_hop, 0), p(v6_hop, 2)},
       {expected(3, v6_hop, v6_hop.body.size(), "[1,2,3]")}},
      {"GRE in fragmented IPv4",
       {p(tunnel, 0), p(tunnel, 1), p(tunnel, 2)},
       {expected(3, tunnel, tunnel.body.size(), "[1,2,3]")}},
      {"fragmented IPv4 in GRE",
       {p(inside, 2), p(inside, 0), p(inside, 1)},
       {expected(3, inside, inside.body.size(), "[1,2,3]")}},
      {"same identification from two sources, interleaved",
       {p(d, 0), p(other_source, 0), p(d, 1), p(other_source, 2), p(other_source, 1), p(d, 2)},
       {expected(5, other_source, whole, "[2,4,5]"), expected(6, d, whole, "[1,3,6]")}},
      {"UDP to a port of no tunnel is dropped whole",
       {p(udp, 1), p(udp, 0), p(udp, 2), p(udp_first, 0), p(udp_first, 1)},
       {}},
      {"without reassembly the first fragment stands alone",
       {p(d, 1), p(d, 0), p(d, 2)},
       {expected(2, d, 1480, "-")},
       0,
       {"-no_reassembly"}},
  };
  // The first fragment of an echo inside a fragmented IPv6 datagram, the rest in atomic ones:
  // the outer Fragment header is no part of the whole datagram's length.
  const datagram inner = make(kind::ipv4, 3000, 20);
  datagram outer = make(kind::ipv6, 0, 21);
  outer.ipv6_next = 4;
  const auto packet_of = [&inner](size_t index) {
    const bytes frame = part(inner, index);
    return bytes(frame.begin() + 14, frame.end());  // without its Ethernet header
  };
  outer.body = packet_of(0);
  std::vector<record_parts> nested = {at(fragment(outer, 0, 1000, true)),
                                      at(fragment(outer, 1000, outer.body.size(), false))};
  for (size_t i = 1; i < 3; ++i) {
    outer.body = packet_of(i);
    nested.push_back(at(fragment(outer, 0, outer.body.size(), false)));
  }
  table.push_back({"IPv4 fragments in IPv6 fragments",
                   nested,
                   {expected(4, inner, inner.body.size(), "[2,3,4]", "", 40)}});

  // Bytes behind the datagram in its frame (an Ethernet trailer) are no part of it.
  const auto trailed = [](const datagram& g, size_t index) {
    return at(cat(part(g, index), bytes(6, 0xee)));
  };
  table.push_back(
      {"trailers behind the fragments",
       {trailed(d, 0), trailed(d, 1), trailed(d, 2), trailed(v6_hop, 0), trailed(v6_hop, 1),
        trailed(v6_hop, 2)},
       {expected(3, d, whole, "[1,2,3]"), expected(6, v6_hop, v6_hop.body.size(), "[4,5,6]")}});
  // IPv6 limits its payload, not the datagram with its fixed header, to 65,535 bytes.
  const datagram v6_largest = make(kind::ipv6, 65535 - 8, 14);
  fragment_row v6_limit{"IPv6 payload of the largest size", {}, {}};
  for (size_t i = 0; i < 9; ++i) v6_limit.frames.push_back(at(part(v6_largest, i, 8000)));
  v6_limit.lines.push_back(expected(9, v6_largest, v6_largest.body.size(), list(1, 9)));
  table.push_back(std::move(v6_limit));

  std::vector<record_parts>& largest_frames =
      std::find_if(table.begin(), table.end(), [](const fragment_row& row) {
        return row.name == "largest datagram and pings of death";
      })->frames;
  for (const datagram* g : {&largest, &across})
    for (size_t i = 0; i < 9; ++i) largest_frames.push_back(at(part(*g, i, 8000)));
  for (size_t i = 0; i < 8; ++i) largest_frames.push_back(at(part(past, i, 8000)));
  largest_frames.push_back(at(fragment(past, 64000, 65528, true)));
  largest_frames.push_back(at(fragment(past, 65528, past.body.size(), false)));

  // Given up by a frame more than 60 s after its first-arrived fragment, and reported at its
  // first fragment before that frame's own line, while a younger one waits on; a fragment exactly
  // 60 s after the first still completes. The fragment that comes after the give-up starts a
  // datagram that never gets its first fragment.
  const datagram late = make(kind::ipv4, 3000, 2), in_time = make(kind::ipv4, 3000, 3);
  const datagram alone = make(kind::ipv4, 64, 4);
  table.push_back(
      {"60 seconds",
       {at(part(late, 1)), at(part(late, 0), 30), at(part(in_time, 0), 50),
        at(part(alone, 0), 60, 1), at(part(in_time, 1), 80), at(part(in_time, 2), 110),
        at(part(late, 2), 110)},
       {expected(2, late, 2960, "[1,2]", " incomplete"), expected(4, alone, alone.body.size(), "-"),
        expected(6, in_time, whole, "[3,5,6]")},
       2});

  // More datagrams waiting than may wait, then more data held than may be: the oldest is given
  // up to make room, ahead of every line after it; the others at the end of the capture.
  fragment_row pending{"pending limit", {}, {}, 8192};
  std::vector<std::string> at_end;
  for (uint16_t id = 1; id <= 8192; ++id) {
    const datagram first_only = make(kind::ipv4, 56, id);
    pending.frames.push_back(at(part(first_only, 0, 32)));
    (id == 1 ? pending.lines : at_end)
        .push_back(expected(id, first_only, 32, list(id, id), " incomplete"));
  }
  const datagram room = make(kind::ipv4, 32768, 9000);
  pending.frames.push_back(at(part(room, 0, 32768)));
  pending.frames.push_back(at(part(room, 1, 32768)));
  pending.lines.push_back(expected(8194, room, room.body.size(), "[8193,8194]"));
  pending.lines.insert(pending.lines.end(), at_end.begin(), at_end.end());
  table.push_back(std::move(pending));

  // Datagrams with the same addresses and identification in two VLANs, or two VXLAN networks,
  // interleaved: two datagrams, neither overlapping the other.
  datagram tag_10 = d, tag_20 = other_bytes, vni_100 = d, vni_200 = other_bytes;
  tag_10.in_front = tag_20.in_front = d.in_front + 4;
  vni_100.in_front = vni_200.in_front = d.in_front + 14 + 20 + 8 + 8;
  fragment_row networks{"one identification in two networks", {}, {}};
  for (size_t i = 0; i < 3; ++i) {
    networks.frames.push_back(at(tagged(part(d, i), 10)));
    networks.frames.push_back(at(tagged(part(other_bytes, i), 20)));
  }
  for (size_t i = 0; i < 3; ++i) {
    networks.frames.push_back(at(in_vxlan(part(d, i), 100)));
    networks.frames.push_back(at(in_vxlan(part(other_bytes, i), 200)));
  }
  networks.lines = {expected(5, tag_10, whole, "[1,3,5]"), expected(6, tag_20, whole, "[2,4,6]"),
                    expected(11, vni_100, whole, "[7,9,11]"),
                    expected(12, vni_200, whole, "[8,10,12]")};
  table.push_back(std::move(networks));

  // Fragments of 8 bytes, the odd ones first, then the even ones last first.
  const datagram small = make(kind::ipv4, 2392, 30);
  fragment_row odd_first{"odd fragments first, then the rest backwards", {}, {}};
  for (size_t i = 1; i < 300; i += 2) odd_first.frames.push_back(at(part(small, i, 8)));
  for (size_t i = 300; i-- > 0;)
    if (i % 2 == 0) odd_first.frames.push_back(at(part(small, i, 8)));
  odd_first.lines.push_back(expected(300, small, small.body.size(), list(1, 300)));
  table.push_back(std::move(odd_first));

  // A first fragment of 65,512 bytes and 1,023 later ones of 65,504 fill 64 MiB: the oldest are
  // given up to make room, the first of them reported, and a first fragment of 32 KiB passes.
  datagram filler = make(kind::ipv4, 65512);
  fragment_row held{"bytes limit", {at(fragment(filler, 0, 65512, true))}, {}, 1024};
  held.lines.push_back(expected(1, filler, 65512, "[1]", " incomplete"));
  for (filler.id = 2; filler.id <= 1024; ++filler.id)
    held.frames.push_back(at(fragment(filler, 8, 65512, true)));
  held.frames.push_back(at(part(room, 0, 32768)));
  held.frames.push_back(at(part(room, 1, 32768)));
  held.lines.push_back(expected(1026, room, room.body.size(), "[1025,1026]"));
  table.push_back(std::move(held));
  return table;
}

// The time the JSON report gives a record of the capture.
std::string time_of(const record_parts& record) {
  const time_t seconds = record.ts_sec;
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%06u000Z", record.ts_usec);
  return text;
}

TEST(Reassembly, EveryFragmentSetIsReportedAsItsBytesSay) {
  for (const fragment_row& row : rows()) {
    const std::string path =
        testing::write_temp_file("fragments.pcap", testing::pcap_file(row.frames));
    std::vector<std::string> args = {"-ifile", path, "-json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto one = testing::run_nelo_in_process(args);
    EXPECT_EQ(one.status, 0) << row.name;
    EXPECT_EQ(reported(one.out), row.lines) << row.name;
    // Each line at the time of the frame it stands at.
    for (const std::string& line : lines_of(one.out)) {
      const size_t frame = std::stoul(field(line, "frame"));
      ASSERT_LE(frame, row.frames.size()) << row.name;
      EXPECT_EQ(field(line, "time"), time_of(row.frames[frame - 1])) << row.name;
    }
    EXPECT_EQ(incomplete_line(one.err), row.incomplete == 0
                                            ? ""
                                            : path + ": " + std::to_string(row.incomplete) +
                                                  " fragmented datagrams were incomplete\n")
        << row.name;
    args.insert(args.end(), {"-threads", "2"});
    const auto two = testing::run_nelo_in_process(args);
    EXPECT_EQ(two.out, one.out) << row.name;
    EXPECT_EQ(incomplete_line(two.err), incomplete_line(one.err)) << row.name;
  }
}

}  // namespace
}  // namespace nelo
