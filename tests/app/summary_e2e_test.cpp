// -summary through whole runs: crafted conversations, each with the row it must come to, read
// back from the run's JSON Lines with Python's json module; the labelled set of ordinary senders
// and channels in every form; and where a sender's time stamp ends in a payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"
#include "report/conversation_table.h"
#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;

constexpr uint32_t START = 1767225600;  // 2026-01-01 00:00:00 UTC
constexpr uint8_t ECHO_REPLY = 0, UNREACHABLE = 3, ECHO = 8, ECHO6 = 128, ECHO6_REPLY = 129;
constexpr size_t SEQ_AT_V4 = 14 + 20 + 6, SEQ_AT_V6 = 14 + 40 + 6;

bytes text(const std::string& s) {
  return bytes(s.begin(), s.end());
}

bytes le64(uint64_t v) {
  bytes b(8);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

bytes le32(uint32_t v) {
  bytes b(4);
  store_le32(b.data(), v);
  return b;
}

bytes be32(uint32_t v) {
  bytes b(4);
  store_be32(b.data(), v);
  return b;
}

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One message of a crafted conversation between host `host`'s two addresses, 10.0.host.1 and
// 10.0.host.2 (fd00::host:1 and :2 for IPv6): echo requests and error messages go from .1 to .2
// unless `back`, replies from .2 to .1.
struct message {
  int host;
  uint8_t type;
  uint16_t id;
  uint16_t seq;
  bytes payload;
  bool back = false;
};

bytes frame_of(const message& m) {
  const bool v6 = m.type >= ECHO6;
  const bool reply = m.type == ECHO_REPLY || m.type == ECHO6_REPLY;
  const bool from_second = reply != m.back;
  const auto n = static_cast<uint8_t>(m.host);
  const uint8_t a[4] = {10, 0, n, 1}, b[4] = {10, 0, n, 2};
  uint8_t a6[16] = {0xfd}, b6[16] = {0xfd};
  a6[13] = b6[13] = n;
  a6[15] = 1;
  b6[15] = 2;
  bytes frame = v6 ? testing::ipv6_icmp_frame(from_second ? b6 : a6, from_second ? a6 : b6, m.type,
                                              0, m.id, m.payload)
                   : testing::ipv4_icmp_frame(from_second ? b : a, from_second ? a : b, m.type,
                                              m.type == UNREACHABLE ? 3 : 0, m.id, m.payload);
  const size_t at = v6 ? SEQ_AT_V6 : SEQ_AT_V4;
  frame[at] = static_cast<uint8_t>(m.seq >> 8);
  frame[at + 1] = static_cast<uint8_t>(m.seq);
  return frame;
}

struct conversation_case {
  const char* what;
  std::vector<message> first_capture;
  std::vector<message> second_capture;
  // Each row as the projection in project_rows() writes it, in the order first seen.
  std::vector<std::string> rows;
};

bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  bytes b(n);
  for (uint8_t& byte : b) byte = static_cast<uint8_t>(random());
  return b;
}

std::vector<conversation_case> cases() {
  const bytes data = text("0123456789abcdef");
  const bytes fixed(40, 0x5a);
  std::vector<message> window;
  for (uint16_t seq = 1; seq <= 70; ++seq) window.push_back({12, ECHO, 1, seq, data});
  for (uint16_t seq = 1; seq <= 70; ++seq) window.push_back({12, ECHO_REPLY, 1, seq, data});
  // Ping's way: the time it sent the request, then the same bytes every time.
  // More distinct payloads than are counted, over two captures: neither holds too many alone.
  std::vector<message> many_first, many_second;
  for (uint16_t i = 0; i < 260; ++i) {
    const message m{15, ECHO, 1, i, bytes{static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}};
    (i < 200 ? many_first : many_second).push_back(m);
  }
  auto stamped = [&](uint16_t seq, uint8_t type) {
    return message{4, type, 1, seq, le64(START) + le64(1000u * seq) + fixed};
  };
  auto stamped32 = [&](uint16_t seq, uint8_t type) {
    return message{5, type, 1, seq, be32(START + seq) + be32(seq) + text("abcdefgh")};
  };
  return {
      {"request and reply",
       {{1, ECHO, 1, 1, data}, {1, ECHO_REPLY, 1, 1, data}},
       {},
       {"10.0.1.1 10.0.1.2 1 echo request | 1 1 0 | 1 1 | "}},
      {"reply with other data",
       {{2, ECHO, 1, 1, text("request data")}, {2, ECHO_REPLY, 1, 1, text("reply data!!")}},
       {},
       {"10.0.2.1 10.0.2.2 1 echo request | 1 1 0 | 2 1 | reply differs from request"}},
      {"one-way requests",
       {{3, ECHO, 1, 1, data}, {3, ECHO, 1, 2, data}, {3, ECHO, 1, 3, data}},
       {},
       {"10.0.3.1 10.0.3.2 1 echo request | 3 0 3 | 1 1 | no replies"}},
      {"payloads that differ only in a 64-bit time stamp",
       {stamped(1, ECHO), stamped(1, ECHO_REPLY), stamped(2, ECHO), stamped(2, ECHO_REPLY),
        stamped(3, ECHO), stamped(3, ECHO_REPLY)},
       {},
       {"10.0.4.1 10.0.4.2 1 echo request | 3 3 0 | 1 1 | "}},
      {"payloads that differ only in a 32-bit time stamp",
       {stamped32(1, ECHO), stamped32(1, ECHO_REPLY), stamped32(2, ECHO), stamped32(2, ECHO_REPLY)},
       {},
       {"10.0.5.1 10.0.5.2 1 echo request | 2 2 0 | 1 1 | "}},
      {"varying payloads",
       {{6, ECHO, 1, 1, text("one")},
        {6, ECHO_REPLY, 1, 1, text("one")},
        {6, ECHO, 1, 2, text("two")},
        {6, ECHO_REPLY, 1, 2, text("two")},
        {6, ECHO, 1, 3, text("three")}},
       {},
       {"10.0.6.1 10.0.6.2 1 echo request | 3 2 1 | 3 1 | payload carries data, payloads vary"}},
      {"varying random payloads",
       {{7, ECHO, 1, 1, random_bytes(600, 1)},
        {7, ECHO_REPLY, 1, 1, random_bytes(600, 1)},
        {7, ECHO, 1, 2, random_bytes(600, 2)}},
       {},
       {"10.0.7.1 10.0.7.2 1 echo request | 2 1 1 | 2 1 | "
        "payload carries data, payloads vary, entropy high"}},
      {"a reply with no request",
       {{8, ECHO_REPLY, 1, 9, data}},
       {},
       {"10.0.8.1 10.0.8.2 1 echo reply | 0 1 0 | 1 1 | "}},
      {"two identifiers between the same hosts",
       {{9, ECHO, 1, 1, data}, {9, ECHO, 2, 1, data}, {9, ECHO_REPLY, 1, 1, data}},
       {},
       {"10.0.9.1 10.0.9.2 1 echo request | 1 1 0 | 1 1 | ",
        "10.0.9.1 10.0.9.2 2 echo request | 1 0 1 | 1 1 | "}},
      {"error messages",
       {{10, UNREACHABLE, 0, 0, fixed, true}, {10, UNREACHABLE, 0, 0, fixed, true}},
       {},
       {"10.0.10.2 10.0.10.1 - dst unreachable [port unreachable] | 2 0 0 | 1 1 | "}},
      {"IPv6",
       {{11, ECHO6, 7, 1, data}, {11, ECHO6_REPLY, 7, 1, data}},
       {},
       {"fd00::b:1 fd00::b:2 7 echo request | 1 1 0 | 1 1 | "}},
      {"requests that fall out of the window",
       window,
       {},
       {"10.0.12.1 10.0.12.2 1 echo request | 70 70 6 | 1 1 | "}},
      {"a reply answers the earliest request of its sequence number",
       {{13, ECHO, 1, 5, text("first")},
        {13, ECHO, 1, 5, text("second")},
        {13, ECHO_REPLY, 1, 5, text("first")}},
       {},
       {"10.0.13.1 10.0.13.2 1 echo request | 2 1 1 | 2 1 | payload carries data, payloads vary"}},
      {"one conversation over two captures of a list",
       {{14, ECHO, 1, 1, data}},
       {{14, ECHO_REPLY, 1, 1, data}, {14, ECHO, 1, 2, data}, {14, ECHO_REPLY, 1, 2, data}},
       {"10.0.14.1 10.0.14.2 1 echo request | 2 2 1 | 1 2 | "}},
      // Bodies of two bytes are patterns of no particular shape, so they do not vary.
      {"more distinct payloads than are counted",
       many_first,
       many_second,
       {"10.0.15.1 10.0.15.2 1 echo request | 260 0 260 | 256+ 2 | no replies"}},
  };
}

// The fields of each row that the table checks, one line per row.
std::vector<std::string> project_rows(const std::string& json_lines) {
  const std::string lines_file =
      testing::write_temp_file("summary.json", bytes(json_lines.begin(), json_lines.end()));
  const auto r = testing::run_shell(
      "python3 -c 'import json, sys\n"
      "for line in sys.stdin:\n"
      "    o = json.loads(line)\n"
      "    print(o[\"requester\"], o[\"responder\"], o.get(\"id\", \"-\"), o[\"message\"], \"|\",\n"
      "          o[\"requests\"], o[\"replies\"], o[\"unanswered\"], \"|\",\n"
      "          str(o[\"payloads\"]) + (\"+\" if o.get(\"payloads_capped\") else \"\"),\n"
      "          o[\"files\"], \"|\", \", \".join(o[\"notes\"]))' < " +
      lines_file);
  EXPECT_EQ(r.status, 0) << r.err;
  return testing::lines_of(r.out);
}

TEST(SummaryRun, EachCraftedConversationComesToItsRow) {
  std::vector<testing::record_parts> first, second;
  std::vector<std::string> expected;
  uint32_t second_of_run = 0;
  for (const conversation_case& c : cases()) {
    for (const message& m : c.first_capture)
      first.push_back({START + ++second_of_run, 0, frame_of(m)});
    for (const message& m : c.second_capture)
      second.push_back({START + ++second_of_run, 0, frame_of(m)});
    expected.insert(expected.end(), c.rows.begin(), c.rows.end());
  }
  const std::string list = testing::write_temp_file("one.pcap", testing::pcap_file(first)) + '\n' +
                           testing::write_temp_file("two.pcap", testing::pcap_file(second)) + '\n';
  const auto run = testing::run_nelo_in_process({"-pipe", "-summary", "-json"}, list);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> rows = project_rows(run.out);
  size_t row = 0;
  for (const conversation_case& c : cases()) {
    for (const std::string& want : c.rows) {
      ASSERT_LT(row, rows.size()) << c.what;
      EXPECT_EQ(rows[row++], want) << c.what;
    }
  }
  EXPECT_EQ(rows.size(), expected.size());
}

// The labelled set: captures of ordinary pingers, every conversation of which must go without a
// note, and of channels, each with the notes it must draw. All of them are walked as one list on
// two threads, and every row read back as "capture: notes" from the JSON Lines with Python's json
// module; the other forms write the same notes, as the golden summaries show.
struct labelled_capture {
  const char* name;
  const char* notes;
};

constexpr labelled_capture LABELLED[] = {
    {"sender_cisco.cap", ""},
    {"sender_iputils.cap", ""},
    {"sender_iputils_untimed.cap", ""},
    {"sender_bsd.cap", ""},
    {"sender_rotating.cap", ""},
    {"sender_constant.cap", ""},
    {"real_iputils.cap", ""},
    {"channel_linux_text.cap", "payload carries data, payloads vary"},
    {"channel_sentence.cap", "payload carries data"},
    {"real_hping3.cap", "payload carries data, payloads vary"},
    {"real_icmptx.cap", "payload carries data, payloads vary, reply differs from request"},
    {"real_ptunnel_answering.cap",
     "payload carries data, payloads vary, entropy high, replies answer nothing"},
    {"real_ptunnel_silent.cap",
     "payload carries data, payloads vary, entropy high, reply differs from request, "
     "replies answer nothing"},
};

TEST(LabelledSet, EveryOrdinarySenderGoesUnflaggedAndEveryChannelIsCaught) {
  std::string list;
  for (const labelled_capture& c : LABELLED) {
    list += std::string(NELO_TEST_DATA_DIR) + "/labelled/" + c.name + '\n';
  }
  const auto run =
      testing::run_nelo_in_process({"-pipe", "-summary", "-threads", "2", "-json"}, list);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string out_file =
      testing::write_temp_file("labelled.json", bytes(run.out.begin(), run.out.end()));
  const auto r = testing::run_shell(
      "python3 -c 'import json, os, sys\n"
      "for o in map(json.loads, open(sys.argv[1])):\n"
      "    print(os.path.basename(o[\"first_seen\"][\"file\"]) + \": \" + \", "
      "\".join(o[\"notes\"]))' " +
      out_file);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = testing::lines_of(r.out);
  for (const std::string& row : rows) {
    const std::string name = row.substr(0, row.find(':'));
    const auto* c = std::find_if(std::begin(LABELLED), std::end(LABELLED),
                                 [&](const labelled_capture& l) { return name == l.name; });
    ASSERT_NE(c, std::end(LABELLED)) << row;
    EXPECT_EQ(row, name + ": " + c->notes);
  }
  EXPECT_GE(rows.size(), std::size(LABELLED));
}

TEST(PayloadStamp, EndsWhereTheSendersTimeEnds) {
  const uint64_t now = START;
  const struct {
    const char* what;
    bytes payload;
    record_time time;
    size_t stamp;
  } rows[] = {
      {"64-bit little-endian, then its fraction", le64(now) + le64(5) + text("data"),
       record_time::shown, 16},
      {"64-bit big-endian a day ahead", be32(0) + be32(now + 86400) + bytes(12, 1),
       record_time::shown, 16},
      {"64-bit a day and a second behind", le64(now - 86401) + bytes(12, 1), record_time::shown, 0},
      {"32-bit big-endian", be32(now) + be32(7) + text("abcdefgh"), record_time::shown, 8},
      {"32-bit little-endian a day behind", le32(now - 86400) + be32(7), record_time::shown, 8},
      {"a 64-bit stamp in a shorter payload", le64(now) + bytes(2, 0), record_time::shown, 10},
      {"a 32-bit stamp in a shorter payload", be32(now) + bytes(2, 0), record_time::shown, 6},
      {"fewer bytes than any stamp", bytes(3, 0), record_time::shown, 0},
      {"a record with no time", le64(now) + bytes(8, 0), record_time::absent, 0},
      {"a record whose time is not shown", le64(now) + bytes(8, 0), record_time::hidden, 0},
  };
  for (const auto& row : rows) {
    capture_record record;
    record.ticks = static_cast<uint64_t>(ko::unix_seconds_to_ticks(now)) + 1234567;
    record.time = row.time;
    EXPECT_EQ(payload_stamp_size(row.payload, record), row.stamp) << row.what;
  }
}

}  // namespace
}  // namespace nelo
