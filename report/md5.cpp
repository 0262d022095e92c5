// RFC 1321 MD5. The 64 steps are written out so that the compiler keeps the four state words in
// registers with every constant and shift as an immediate; whole blocks are transformed straight
// from the caller's bytes, and only a partial block is copied into the context.
#include "report/md5.h"

#include <bit>
#include <cstring>

#include "support/byte_text.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr uint32_t INIT_A = 0x67452301;
constexpr uint32_t INIT_B = 0xefcdab89;
constexpr uint32_t INIT_C = 0x98badcfe;
constexpr uint32_t INIT_D = 0x10325476;

constexpr uint8_t PADDING_FIRST_BYTE = 0x80;
// The bit count occupies the last 8 bytes of the final block.
constexpr size_t LENGTH_OFFSET = MD5_BLOCK_SIZE - 8;

inline uint32_t load_word(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return load_le32(p);
  }
}

// The four auxiliary functions of RFC 1321, in forms with fewer operations. The message word
// and the constant are added first because they do not wait for the previous step; G selects
// disjoint bits, so its two halves are added separately, which shortens the dependency chain.
enum class round_fn { f, g, h, i };

template <round_fn Fn, int S, uint32_t T>
inline void step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
  uint32_t sum = a + x + T;
  if constexpr (Fn == round_fn::f) {
    sum += d ^ (b & (c ^ d));
  } else if constexpr (Fn == round_fn::g) {
    sum += ~d & c;
    sum += d & b;
  } else if constexpr (Fn == round_fn::h) {
    sum += b ^ c ^ d;
  } else {
    sum += c ^ (b | ~d);
  }
  a = b + std::rotl(sum, S);
}

// A per-block task that does nothing: the plain digest.
struct no_tally {
  void operator()(const uint8_t*) {}
};

// Counts the byte values of each block. Done in the digest's own loop, the counting runs on the
// execution ports that MD5's chain of dependent steps leaves idle.
struct block_tally {
  byte_tally& tally;
  void operator()(const uint8_t* block) { tally.add(block, MD5_BLOCK_SIZE); }
};

// Transforms `blocks` consecutive 64-byte blocks at `data` into `state`, handing each block to
// `tally` as well.
template <typename Tally>
void transform_blocks(uint32_t state[4], const uint8_t* data, size_t blocks, Tally& tally) {
  uint32_t a = state[0];
  uint32_t b = state[1];
  uint32_t c = state[2];
  uint32_t d = state[3];
  for (; blocks != 0; --blocks, data += MD5_BLOCK_SIZE) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load_word(data + 4 * i);
    tally(data);
    const uint32_t aa = a;
    const uint32_t bb = b;
    const uint32_t cc = c;
    const uint32_t dd = d;

    // Round 1
    step<round_fn::f, 7, 0xd76aa478>(a, b, c, d, x[0]);
    step<round_fn::f, 12, 0xe8c7b756>(d, a, b, c, x[1]);
    step<round_fn::f, 17, 0x242070db>(c, d, a, b, x[2]);
    step<round_fn::f, 22, 0xc1bdceee>(b, c, d, a, x[3]);
    step<round_fn::f, 7, 0xf57c0faf>(a, b, c, d, x[4]);
    step<round_fn::f, 12, 0x4787c62a>(d, a, b, c, x[5]);
    step<round_fn::f, 17, 0xa8304613>(c, d, a, b, x[6]);
    step<round_fn::f, 22, 0xfd469501>(b, c, d, a, x[7]);
    step<round_fn::f, 7, 0x698098d8>(a, b, c, d, x[8]);
    step<round_fn::f, 12, 0x8b44f7af>(d, a, b, c, x[9]);
    step<round_fn::f, 17, 0xffff5bb1>(c, d, a, b, x[10]);
    step<round_fn::f, 22, 0x895cd7be>(b, c, d, a, x[11]);
    step<round_fn::f, 7, 0x6b901122>(a, b, c, d, x[12]);
    step<round_fn::f, 12, 0xfd987193>(d, a, b, c, x[13]);
    step<round_fn::f, 17, 0xa679438e>(c, d, a, b, x[14]);
    step<round_fn::f, 22, 0x49b40821>(b, c, d, a, x[15]);

    // Round 2
    step<round_fn::g, 5, 0xf61e2562>(a, b, c, d, x[1]);
    step<round_fn::g, 9, 0xc040b340>(d, a, b, c, x[6]);
    step<round_fn::g, 14, 0x265e5a51>(c, d, a, b, x[11]);
    step<round_fn::g, 20, 0xe9b6c7aa>(b, c, d, a, x[0]);
    step<round_fn::g, 5, 0xd62f105d>(a, b, c, d, x[5]);
    step<round_fn::g, 9, 0x02441453>(d, a, b, c, x[10]);
    step<round_fn::g, 14, 0xd8a1e681>(c, d, a, b, x[15]);
    step<round_fn::g, 20, 0xe7d3fbc8>(b, c, d, a, x[4]);
    step<round_fn::g, 5, 0x21e1cde6>(a, b, c, d, x[9]);
    step<round_fn::g, 9, 0xc33707d6>(d, a, b, c, x[14]);
    step<round_fn::g, 14, 0xf4d50d87>(c, d, a, b, x[3]);
    step<round_fn::g, 20, 0x455a14ed>(b, c, d, a, x[8]);
    step<round_fn::g, 5, 0xa9e3e905>(a, b, c, d, x[13]);
    step<round_fn::g, 9, 0xfcefa3f8>(d, a, b, c, x[2]);
    step<round_fn::g, 14, 0x676f02d9>(c, d, a, b, x[7]);
    step<round_fn::g, 20, 0x8d2a4c8a>(b, c, d, a, x[12]);

    // Round 3
    step<round_fn::h, 4, 0xfffa3942>(a, b, c, d, x[5]);
    step<round_fn::h, 11, 0x8771f681>(d, a, b, c, x[8]);
    step<round_fn::h, 16, 0x6d9d6122>(c, d, a, b, x[11]);
    step<round_fn::h, 23, 0xfde5380c>(b, c, d, a, x[14]);
    step<round_fn::h, 4, 0xa4beea44>(a, b, c, d, x[1]);
    step<round_fn::h, 11, 0x4bdecfa9>(d, a, b, c, x[4]);
    step<round_fn::h, 16, 0xf6bb4b60>(c, d, a, b, x[7]);
    step<round_fn::h, 23, 0xbebfbc70>(b, c, d, a, x[10]);
    step<round_fn::h, 4, 0x289b7ec6>(a, b, c, d, x[13]);
    step<round_fn::h, 11, 0xeaa127fa>(d, a, b, c, x[0]);
    step<round_fn::h, 16, 0xd4ef3085>(c, d, a, b, x[3]);
    step<round_fn::h, 23, 0x04881d05>(b, c, d, a, x[6]);
    step<round_fn::h, 4, 0xd9d4d039>(a, b, c, d, x[9]);
    step<round_fn::h, 11, 0xe6db99e5>(d, a, b, c, x[12]);
    step<round_fn::h, 16, 0x1fa27cf8>(c, d, a, b, x[15]);
    step<round_fn::h, 23, 0xc4ac5665>(b, c, d, a, x[2]);

    // Round 4
    step<round_fn::i, 6, 0xf4292244>(a, b, c, d, x[0]);
    step<round_fn::i, 10, 0x432aff97>(d, a, b, c, x[7]);
    step<round_fn::i, 15, 0xab9423a7>(c, d, a, b, x[14]);
    step<round_fn::i, 21, 0xfc93a039>(b, c, d, a, x[5]);
    step<round_fn::i, 6, 0x655b59c3>(a, b, c, d, x[12]);
    step<round_fn::i, 10, 0x8f0ccc92>(d, a, b, c, x[3]);
    step<round_fn::i, 15, 0xffeff47d>(c, d, a, b, x[10]);
    step<round_fn::i, 21, 0x85845dd1>(b, c, d, a, x[1]);
    step<round_fn::i, 6, 0x6fa87e4f>(a, b, c, d, x[8]);
    step<round_fn::i, 10, 0xfe2ce6e0>(d, a, b, c, x[15]);
    step<round_fn::i, 15, 0xa3014314>(c, d, a, b, x[6]);
    step<round_fn::i, 21, 0x4e0811a1>(b, c, d, a, x[13]);
    step<round_fn::i, 6, 0xf7537e82>(a, b, c, d, x[4]);
    step<round_fn::i, 10, 0xbd3af235>(d, a, b, c, x[11]);
    step<round_fn::i, 15, 0x2ad7d2bb>(c, d, a, b, x[2]);
    step<round_fn::i, 21, 0xeb86d391>(b, c, d, a, x[9]);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

void transform_blocks(uint32_t state[4], const uint8_t* data, size_t blocks) {
  no_tally none;
  transform_blocks(state, data, blocks, none);
}

// `md5_update`, handing every whole block taken straight from `data` to `tally`. Bytes kept in
// the context's buffer are not handed on.
template <typename Tally>
bool update(md5_context* ctx, const uint8_t* data, uint32_t len, Tally& tally) {
  if (ctx == nullptr || data == nullptr || len == 0) return false;

  size_t used = (ctx->count[0] >> 3) % MD5_BLOCK_SIZE;
  const uint32_t low_bits = len << 3;
  ctx->count[0] += low_bits;
  if (ctx->count[0] < low_bits) ++ctx->count[1];
  ctx->count[1] += len >> 29;

  size_t remaining = len;
  if (used != 0) {
    const size_t room = MD5_BLOCK_SIZE - used;
    if (remaining < room) {
      std::memcpy(ctx->buffer + used, data, remaining);
      return true;
    }
    std::memcpy(ctx->buffer + used, data, room);
    transform_blocks(ctx->state, ctx->buffer, 1);
    data += room;
    remaining -= room;
  }
  const size_t blocks = remaining / MD5_BLOCK_SIZE;
  if (blocks != 0) {
    transform_blocks(ctx->state, data, blocks, tally);
    data += blocks * MD5_BLOCK_SIZE;
    remaining -= blocks * MD5_BLOCK_SIZE;
  }
  if (remaining != 0) std::memcpy(ctx->buffer, data, remaining);
  return true;
}

}  // namespace

void md5_init(md5_context* ctx) {
  ctx->state[0] = INIT_A;
  ctx->state[1] = INIT_B;
  ctx->state[2] = INIT_C;
  ctx->state[3] = INIT_D;
  ctx->count[0] = 0;
  ctx->count[1] = 0;
  std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

bool md5_update(md5_context* ctx, const uint8_t* data, uint32_t len) {
  no_tally none;
  return update(ctx, data, len, none);
}

bool md5_final(uint8_t digest[MD5_DIGEST_SIZE], md5_context* ctx) {
  if (ctx == nullptr) return false;

  const size_t used = (ctx->count[0] >> 3) % MD5_BLOCK_SIZE;
  ctx->buffer[used] = PADDING_FIRST_BYTE;
  if (used + 1 > LENGTH_OFFSET) {
    std::memset(ctx->buffer + used + 1, 0, MD5_BLOCK_SIZE - used - 1);
    transform_blocks(ctx->state, ctx->buffer, 1);
    std::memset(ctx->buffer, 0, LENGTH_OFFSET);
  } else {
    std::memset(ctx->buffer + used + 1, 0, LENGTH_OFFSET - used - 1);
  }
  store_le32(ctx->buffer + LENGTH_OFFSET, ctx->count[0]);
  store_le32(ctx->buffer + LENGTH_OFFSET + 4, ctx->count[1]);
  transform_blocks(ctx->state, ctx->buffer, 1);

  for (size_t i = 0; i < 4; ++i) store_le32(digest + 4 * i, ctx->state[i]);
  md5_init(ctx);
  return true;
}

bool md5_buffer(const uint8_t* data, uint32_t len, uint8_t digest[MD5_DIGEST_SIZE]) {
  md5_context ctx;
  md5_init(&ctx);
  if (!md5_update(&ctx, data, len)) return false;
  return md5_final(digest, &ctx);
}

bool md5_buffer_counting(const uint8_t* data, uint32_t len, uint8_t digest[MD5_DIGEST_SIZE],
                         byte_tally& tally) {
  md5_context ctx;
  md5_init(&ctx);
  block_tally blocks{tally};
  if (!update(&ctx, data, len, blocks)) return false;
  // What is left in the buffer is less than a block, and the padding is not payload.
  const size_t tail = len % MD5_BLOCK_SIZE;
  tally.add(data + len - tail, tail);
  return md5_final(digest, &ctx);
}

void md5_to_hex(const uint8_t digest[MD5_DIGEST_SIZE], char out[MD5_HEX_SIZE]) {
  // Both digits of a byte at once: every report line and JSON object shows a digest.
  struct byte_digits {
    char pair[256][2];
  };
  static constexpr byte_digits DIGITS = [] {
    byte_digits digits{};
    for (int b = 0; b < 256; ++b) {
      digits.pair[b][0] = HEX_DIGITS_LOWER[b >> 4];
      digits.pair[b][1] = HEX_DIGITS_LOWER[b & 0xF];
    }
    return digits;
  }();
  for (size_t i = 0; i < MD5_DIGEST_SIZE; ++i) std::memcpy(out + 2 * i, DIGITS.pair[digest[i]], 2);
}

}  // namespace nelo
