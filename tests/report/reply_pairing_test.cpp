#include "report/reply_pairing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

const std::string PAIRING = std::string(NELO_TEST_DATA_DIR) + "/pairing.pcap";
constexpr uint64_t PAIRING_FRAMES = 94;

// The replies of pairing.pcap that answer a request (tests/data/README.md tells each case); no
// other frame does: not a reply going the requests' way (7), a third reply to two requests (12),
// a reply before its request (13), one to no request (15), one to a request that fell out of the
// window (85), an echo reply to a timestamp request (88), nor frame 1, whose request is the
// capture's last frame.
const struct {
  uint64_t frame;
  const char* request_frame;
  const char* rtt;
} PAIRED[] = {
    {3, "2", "0.001000000"},    // an echo
    {6, "5", "0.002000000"},    // after a lost reply
    {10, "8", "0.200000000"},   // a sequence number sent twice: the earlier request first,
    {11, "9", "0.200000000"},   // then the later
    {18, "17", "0.010000000"},  // two identifiers between the same hosts, answered crosswise
    {19, "16", "0.030000000"},
    {86, "21", "0.999000000"},  // the window's oldest request fell out, the next one did not
    {89, "87", "0.200000000"},  // a timestamp exchange
    {91, "90", "0.005000000"},  // an address mask exchange
    {93, "92", "0.007000000"},  // IPv6
};

struct answer {
  uint64_t frame = 0;
  std::string request_frame;  // empty when the message answers none
  std::string rtt;
  bool operator==(const answer&) const = default;
};

std::vector<answer> json_answers(const std::string& out) {
  std::vector<answer> answers;
  for (const std::string& line : testing::lines_of(out)) {
    answers.push_back({std::stoull(testing::json_value(line, "frame")),
                       testing::json_value(line, "request_frame"),
                       testing::json_value(line, "rtt")});
  }
  return answers;
}

// The CSV report says the same (golden.csv_reads_back holds it to the JSON of every capture).
TEST(ReplyPairing, EachReplyOfAListRunAnswersItsOwnCapturesRequest) {
  std::map<uint64_t, answer> paired;
  for (const auto& p : PAIRED) paired[p.frame] = {p.frame, p.request_frame, p.rtt};
  // The capture twice: nothing of the first answers anything of the second.
  std::vector<answer> expected;
  for (int copy = 0; copy < 2; ++copy) {
    for (uint64_t frame = 1; frame <= PAIRING_FRAMES; ++frame) {
      expected.push_back(paired.count(frame) ? paired[frame] : answer{frame, "", ""});
    }
  }
  const std::string list = PAIRING + "\n" + PAIRING + "\n";
  const auto r = testing::run_nelo_in_process({"-pipe", "-json"}, list);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<answer> got = json_answers(r.out);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i], expected[i])
        << "message " << i + 1 << ": frame " << got[i].frame << " answers '" << got[i].request_frame
        << "' after '" << got[i].rtt << "'";
  }
}

// Beyond its limit a pairing follows no new conversation: their requests are counted, for the
// capture only, and the conversations it follows still pair.
TEST(ReplyPairing, RequestsBeyondTheLimitAreCountedForTheCapture) {
  const uint8_t a[4] = {192, 0, 2, 1}, b[4] = {192, 0, 2, 2};
  auto echo = [&](bool reply, uint16_t id) {
    return std::make_unique<testing::decoded_frame>(
        reply ? testing::ipv4_icmp_frame(b, a, 0, 0, id, {})
              : testing::ipv4_icmp_frame(a, b, 8, 0, id, {}),
        0, record_time::shown, 42);
  };
  reply_pairing pairing(2);
  for (const uint16_t id : {1, 2, 3, 4}) EXPECT_FALSE(pairing.see(echo(false, id)->packet));
  EXPECT_EQ(pairing.untracked(), 2u);
  EXPECT_TRUE(pairing.see(echo(true, 2)->packet).has_value());
  EXPECT_FALSE(pairing.see(echo(true, 3)->packet).has_value());
  pairing.end_capture();
  EXPECT_EQ(pairing.untracked(), 0u);
}

}  // namespace
}  // namespace nelo
