// A message's text is made into memory of the size its sinks' text_bound promises; no form may
// write more, the text made in memory must be the text written to a stream, and memory one byte
// too small must be seen to overflow, never written past.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture/message_details.h"
#include "capture/packet_handler.h"
#include "helpers/pcap_builder.h"
#include "report/payload_digest.h"
#include "report/sink_set.h"

namespace nelo {
namespace {

using testing::bytes;

const std::string DATA = NELO_TEST_DATA_DIR;

struct held_frame {
  bytes frame;
  capture_record record;
  decoded_packet packet;
};

// The messages of the captures that have tunnels, VLAN tags, cooked and pcapng links, quoted
// datagrams, odd times and details, with their details read, then crafted ones: payloads that
// escape and quote as much as any can (every byte a quote or a backslash), random ones of every
// size around the hex view's lines, and a message with the frame numbers of many fragments.
std::deque<held_frame> sample_messages() {
  std::deque<held_frame> held;
  for (const char* name :
       {"tunnels.pcap", "icmp_tunnels.pcap", "vxlan.pcap", "fragments.pcap", "edge_fields.pcap",
        "times.pcap", "cooked1.pcap", "two_interfaces.pcapng", "fragment_attacks.pcap",
        "details.pcap", "extensions.pcap", "neighbors.pcap"}) {
    for (const testing::seen_record& seen : testing::record_walk(DATA + "/" + name).seen) {
      held_frame& h = held.emplace_back();
      h.frame = seen.frame;
      h.record = {.frame_number = seen.frame_number,
                  .ticks = seen.ticks,
                  .time = seen.time,
                  .sub_tick_ns = static_cast<uint8_t>(seen.sub_tick_ns),
                  .link_type = seen.link_type,
                  .captured_len = static_cast<uint32_t>(seen.frame.size()),
                  .wire_len = seen.wire_len,
                  .bytes = nullptr};
      h.record.bytes = h.frame.data();
      if (!decode_packet(h.record, h.packet)) {
        held.pop_back();
      } else {
        read_message_details(h.packet);
      }
    }
  }
  // An MLDv2 report and a router advertisement of a thousand records or prefixes, each as wide
  // as its text can be.
  const uint8_t v6[16] = {0xfe, 0x80};
  for (const uint8_t type : {143, 134}) {
    bytes payload(type == 134 ? 8 : 0, 0);
    for (int i = 0; i < 1000; ++i) {
      const bytes item = type == 134 ? bytes{3, 4, 128, 0xe0} : bytes{6, 0, 0, 0};
      payload.insert(payload.end(), item.begin(), item.end());
      payload.resize(payload.size() + (type == 134 ? 28 : 16), 0xff);
    }
    held_frame& h = held.emplace_back();
    h.frame = testing::ipv6_icmp_frame(v6, v6, type, 0, 0, payload);
    h.frame[14 + 40 + 6] = 1000 >> 8, h.frame[14 + 40 + 7] = 1000 & 0xff;  // records counted
    h.record = {.frame_number = 1, .ticks = 0, .link_type = 1};
    h.record.bytes = h.frame.data();
    h.record.captured_len = h.record.wire_len = static_cast<uint32_t>(h.frame.size());
    EXPECT_TRUE(decode_packet(h.record, h.packet));
    read_message_details(h.packet);
    EXPECT_EQ(h.packet.details.item_count, 1000);
  }
  std::mt19937 random(3);
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  std::vector<bytes> payloads;
  for (size_t size : {0, 1, 5, 15, 16, 17, 255, 256, 4097, 70000}) {
    bytes noise(size), quotes(size), text(size);
    for (size_t i = 0; i < size; ++i) {
      noise[i] = static_cast<uint8_t>(random());
      quotes[i] = i % 2 == 0 ? '"' : '\\';
      text[i] = "a\"b\\c,d e\n"[i % 10];
    }
    payloads.insert(payloads.end(), {noise, quotes, text});
  }
  uint64_t frame = 0;
  for (const bytes& payload : payloads) {
    held_frame& h = held.emplace_back();
    h.frame = testing::ipv4_icmp_frame(a, b, 8, 0, 7, payload);
    h.record = {.frame_number = ++frame, .ticks = 133000000000000000, .link_type = 1};
    h.record.bytes = h.frame.data();
    h.record.captured_len = h.record.wire_len = static_cast<uint32_t>(h.frame.size());
    EXPECT_TRUE(decode_packet(h.record, h.packet));
  }
  static const std::vector<uint64_t> fragment_frames(300, 18446744073709551615u);
  held.back().packet.fragments = {fragment_frames, {}, true, true, true};
  return held;
}

TEST(TextBound, NoFormWritesMoreThanItsBoundAndMemoryHoldsWhatAStreamGets) {
  using enum output_format;
  const output_settings forms[] = {
      {.format = hex, .dump_meta = true},
      {.format = hex, .dump_meta = true, .dump_hdr = true, .dump_payload = true},
      {.format = ascii, .dump_payload = true},
      {.format = ascii, .dump_meta = true, .dump_hdr = true},
      {.format = strings, .dump_meta = true, .dump_payload = true},
      {.format = strings, .dump_hdr = true},
      {.format = binary, .dump_hdr = true, .dump_payload = true},
      {.json = true},
      {.dump_hdr = true, .dump_payload = true, .json = true},
      {.format = strings, .dump_payload = true, .json = true},
      {.csv = true},
      {.dump_hdr = true, .dump_payload = true, .csv = true},
      {.format = strings, .dump_payload = true, .csv = true},
  };
  const std::deque<held_frame> messages = sample_messages();
  ASSERT_GT(messages.size(), 100u);
  for (const output_settings& settings : forms) {
    std::ostringstream unused;
    sink_set sinks(settings, {&unused});
    ASSERT_TRUE(sinks.writes_text());
    // A name that JSON escapes and CSV quotes.
    sinks.begin_capture("dir/\"odd\",\\name\x01\xff.pcap");
    for (const held_frame& h : messages) {
      const std::string label = std::to_string(static_cast<int>(settings.format)) +
                                (settings.json  ? " json"
                                 : settings.csv ? " csv"
                                                : "") +
                                " frame of " + std::to_string(h.frame.size()) + " bytes";
      const message_note note = sinks.note_message(h.packet);
      payload_digest digest = digest_payload(h.packet, digest_need::entropy);
      digest.random = h.frame.size() % 2 == 0;
      std::ostringstream stream;
      text_target streamed(stream);
      sinks.format_text(h.packet, digest, note, streamed);
      const std::string text = stream.str();

      const size_t bound = sinks.text_bound(h.packet);
      EXPECT_LE(text.size(), bound) << label;
      for (const size_t capacity : {bound, text.size()}) {
        std::vector<char> memory(capacity);
        text_target target(memory.data(), memory.size());
        sinks.format_text(h.packet, digest, note, target);
        EXPECT_FALSE(target.overflowed()) << label;
        EXPECT_EQ(std::string(memory.data(), target.used()), text) << label;
      }
      if (!text.empty()) {
        std::vector<char> memory(text.size() - 1);
        text_target target(memory.data(), memory.size());
        sinks.format_text(h.packet, digest, note, target);
        EXPECT_TRUE(target.overflowed()) << label;
        EXPECT_LE(target.used(), memory.size()) << label;
      }
    }
  }
}

}  // namespace
}  // namespace nelo
