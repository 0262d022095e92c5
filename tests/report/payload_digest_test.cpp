// The payload work done in one pass (digest and byte counts together) must give what the
// separate functions give, at every length around MD5's block edges and the 256-byte floor of
// the entropy note, on payloads that pass the note and payloads that fail it; and counting bytes,
// which the statistics take for random, never get the note.
#include "report/payload_digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "report/ko_stats.h"

namespace nelo {
namespace {

TEST(PayloadDigest, OnePassGivesTheDigestNoteAndEntropyOfTheSeparateFunctions) {
  std::mt19937 random(3);
  std::vector<uint8_t> noise(70000), ramp(70000), text(70000);
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<uint8_t>(random());
    ramp[i] = static_cast<uint8_t>(i);
    text[i] = static_cast<uint8_t>("payload text "[i % 13]);
  }
  int random_notes = 0;
  for (const std::vector<uint8_t>* payload : {&noise, &ramp, &text}) {
    for (int32_t len : {0, 1, 55, 56, 63, 64, 65, 255, 256, 257, 1000, 4099, 60000, 70000}) {
      SCOPED_TRACE(len);
      decoded_packet packet;
      packet.payload = byte_span(payload->data(), static_cast<size_t>(len));
      const payload_digest digest = digest_payload(packet, digest_need::entropy);
      uint8_t md5[MD5_DIGEST_SIZE] = {};
      md5_buffer(payload->data(), static_cast<uint32_t>(len), md5);
      EXPECT_EQ(std::memcmp(digest.md5, md5, sizeof md5), 0);
      EXPECT_EQ(digest.random, payload != &ramp && payload_looks_random(payload->data(), len));
      EXPECT_EQ(digest.entropy, payload_entropy(payload->data(), len));
      random_notes += digest.random;
    }
  }
  EXPECT_GE(random_notes, 2);  // the noise of 60,000 bytes and more
}

}  // namespace
}  // namespace nelo
