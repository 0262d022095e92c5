#include "report/payload_digest.h"

#include "report/ko_stats.h"

namespace nelo {

bool payload_digest_wanted(const packet_ctx& ctx) {
  return ctx.json || (ctx.dump_meta && ctx.format != output_format::binary);
}

payload_digest digest_payload(const decoded_packet& packet, bool with_entropy) {
  payload_digest digest;
  if (packet.payload_len <= 0 || packet.payload == nullptr) return digest;
  const uint32_t len = static_cast<uint32_t>(packet.payload_len);
  if (len < ko::HISTOGRAM_BINS) {
    // Too short to look random: some byte value is missing.
    md5_buffer(packet.payload, len, digest.md5);
    if (with_entropy) digest.entropy = payload_entropy(packet.payload, packet.payload_len);
    return digest;
  }
  byte_tally tally;
  md5_buffer_counting(packet.payload, len, digest.md5, tally);
  const byte_histogram counts = tally.fold();
  digest.random = byte_counts_look_random(counts, packet.payload_len);
  if (with_entropy) digest.entropy = payload_entropy(packet.payload, packet.payload_len, counts);
  return digest;
}

}  // namespace nelo
