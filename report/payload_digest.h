// The payload work of one kept packet: its MD5, the entropy note and, for JSON, the entropy
// itself. On payload-heavy captures this is nearly all the time a run takes, so it is kept apart
// from the report line and the JSON object that show it, and can be done on another thread while
// the reader goes on.
#ifndef NELO_REPORT_PAYLOAD_DIGEST_H_
#define NELO_REPORT_PAYLOAD_DIGEST_H_

#include <cstdint>

#include "packet/decoded_packet.h"
#include "report/md5.h"

namespace nelo {

struct payload_digest {
  uint8_t md5[MD5_DIGEST_SIZE] = {};  // all zero for an empty payload, which shows no digest
  double entropy = 0;                 // computed for JSON only
  bool random = false;  // "payload has entropy high": random-looking bytes, not a pinger's pattern
};

// How much of the payload work an output shows; each need includes the one before.
enum class digest_need : uint8_t {
  none,     // nothing: a dumps-only run does no payload work at all
  md5,      // the digest and the entropy note, as the report line shows them
  entropy,  // the entropy value as well, as JSON shows it
};

// Computes as much of the digest of `packet`'s payload as `need` asks for; nothing for none.
payload_digest digest_payload(const decoded_packet& packet, digest_need need);

}  // namespace nelo

#endif  // NELO_REPORT_PAYLOAD_DIGEST_H_
