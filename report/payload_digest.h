// The payload work of one kept packet: its MD5, the entropy note and, for JSON, the entropy
// itself. On payload-heavy captures this is nearly all the time a run takes, so it is kept apart
// from the report line and the JSON object that show it, and can be done on another thread while
// the reader goes on.
#ifndef NELO_REPORT_PAYLOAD_DIGEST_H_
#define NELO_REPORT_PAYLOAD_DIGEST_H_

#include <cstdint>

#include "packet/decoded_packet.h"
#include "report/md5.h"
#include "report/output_settings.h"

namespace nelo {

struct payload_digest {
  uint8_t md5[MD5_DIGEST_SIZE] = {};  // all zero for an empty payload, which shows no digest
  double entropy = 0;                 // computed for JSON only
  bool random = false;                // "payload has entropy high"
};

// True when the run shows what `digest_payload` computes: a JSON report, or report lines in a
// form other than binary. A dumps-only run does no payload work at all.
bool payload_digest_wanted(const output_settings& settings);

// Computes the digest of `packet`'s payload; the entropy only when `with_entropy` is set.
payload_digest digest_payload(const decoded_packet& packet, bool with_entropy);

}  // namespace nelo

#endif  // NELO_REPORT_PAYLOAD_DIGEST_H_
