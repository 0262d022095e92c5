#include "report/payload_digest.h"

#include "report/ko_stats.h"

namespace nelo {

payload_digest digest_payload(const decoded_packet& packet, digest_need need) {
  payload_digest digest;
  if (need == digest_need::none || packet.payload.empty()) return digest;
  const bool with_entropy = need == digest_need::entropy;
  const uint8_t* data = packet.payload.data();
  // Payloads come from captured lengths of at most MAX_RECORD_LENGTH, so both narrowings are exact.
  const auto len = static_cast<uint32_t>(packet.payload.size());
  const auto signed_len = static_cast<int32_t>(len);
  if (len < ko::HISTOGRAM_BINS) {
    // Too short to look random: some byte value is missing.
    md5_buffer(data, len, digest.md5);
    if (with_entropy) digest.entropy = payload_entropy(data, signed_len);
    return digest;
  }
  byte_tally tally;
  md5_buffer_counting(data, len, digest.md5, tally);
  const byte_histogram counts = tally.fold();
  // Counting bytes up a pinger's pattern looks random to the statistics, and is not.
  digest.random =
      byte_counts_look_random(counts, signed_len) && !payload_body_is_pattern(packet.payload);
  if (with_entropy) digest.entropy = payload_entropy(data, signed_len, counts);
  return digest;
}

}  // namespace nelo
