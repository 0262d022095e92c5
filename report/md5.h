// MD5 message digest (RFC 1321) for the report's payload digest column.
// The tool carries its own implementation so that it needs no crypto library; it is tuned for
// throughput because every reported packet's payload passes through it once.
#ifndef NELO_REPORT_MD5_H_
#define NELO_REPORT_MD5_H_

#include <cstddef>
#include <cstdint>

#include "report/byte_tally.h"

namespace nelo {

inline constexpr size_t MD5_DIGEST_SIZE = 16;
inline constexpr size_t MD5_BLOCK_SIZE = 64;
inline constexpr size_t MD5_HEX_SIZE = 2 * MD5_DIGEST_SIZE;

struct md5_context {
  uint32_t state[4];               // A, B, C, D in RFC order
  uint32_t count[2];               // message length in bits: low word, then high word
  uint8_t buffer[MD5_BLOCK_SIZE];  // input not yet processed (count / 8 mod 64 bytes)
};

// Sets the RFC 1321 initial state and zeroes the bit count and the block buffer.
void md5_init(md5_context* ctx);

// Appends `len` bytes. Returns false and changes nothing when `ctx` or `data` is null or `len`
// is 0; otherwise true.
bool md5_update(md5_context* ctx, const uint8_t* data, uint32_t len);

// Pads the message, writes the 16-byte digest and re-initialises `ctx` for a new message.
// Returns false, writing nothing, only for a null `ctx`.
bool md5_final(uint8_t digest[MD5_DIGEST_SIZE], md5_context* ctx);

// Digest of one buffer. Returns false and leaves `digest` untouched when `data` is null or `len`
// is 0 (the report shows no digest for an empty payload).
bool md5_buffer(const uint8_t* data, uint32_t len, uint8_t digest[MD5_DIGEST_SIZE]);

// `md5_buffer` that also adds every byte of the buffer to `tally`, in the same pass: for the
// statistics of the payloads it digests, at a fraction of a second pass.
bool md5_buffer_counting(const uint8_t* data, uint32_t len, uint8_t digest[MD5_DIGEST_SIZE],
                         byte_tally& tally);

// Writes the digest as 32 lower-case hex digits, byte 0 first, no NUL.
void md5_to_hex(const uint8_t digest[MD5_DIGEST_SIZE], char out[MD5_HEX_SIZE]);

}  // namespace nelo

#endif  // NELO_REPORT_MD5_H_
