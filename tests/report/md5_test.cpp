#include "report/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace nelo {
namespace {

std::string hex(const uint8_t digest[MD5_DIGEST_SIZE]) {
  char text[MD5_HEX_SIZE];
  md5_to_hex(digest, text);
  return std::string(text, sizeof text);
}

// Init, update in pieces of at most `piece` bytes (none for an empty message), final.
std::string streamed_md5(const uint8_t* data, size_t len, size_t piece) {
  md5_context ctx;
  md5_init(&ctx);
  for (size_t at = 0; at < len; at += piece) {
    EXPECT_TRUE(md5_update(&ctx, data + at, static_cast<uint32_t>(std::min(piece, len - at))));
  }
  uint8_t digest[MD5_DIGEST_SIZE];
  EXPECT_TRUE(md5_final(digest, &ctx));
  return hex(digest);
}

std::string reference_md5(const uint8_t* data, size_t len) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  EXPECT_EQ(EVP_Digest(data, len, digest, &digest_len, EVP_md5(), nullptr), 1);
  return hex(digest);
}

TEST(Md5, RefusesMissingInputAndCarriesTheBitCount) {
  uint8_t digest[MD5_DIGEST_SIZE] = {};
  const uint8_t byte = 0;
  EXPECT_FALSE(md5_buffer(&byte, 0, digest) || md5_buffer(nullptr, 1, digest));
  EXPECT_FALSE(md5_update(nullptr, &byte, 1) || md5_final(digest, nullptr));
  md5_context ctx;
  md5_init(&ctx);
  ctx.count[0] = 0xFFFFFE00u;  // as if 512 MiB less 64 bytes had gone in
  const std::vector<uint8_t> bytes(128, 0x5A);
  ASSERT_TRUE(md5_update(&ctx, bytes.data(), 128));
  EXPECT_EQ(ctx.count[0], 0x200u);
  EXPECT_EQ(ctx.count[1], 1u);
}

TEST(Md5, EveryLengthAroundThePaddingBoundariesMatchesAReference) {
  std::mt19937 gen(12345);
  std::vector<uint8_t> data(300);
  for (uint8_t& b : data) b = static_cast<uint8_t>(gen());
  for (size_t len = 0; len <= data.size(); ++len) {
    EXPECT_EQ(streamed_md5(data.data(), len, 1 + len % 67), reference_md5(data.data(), len)) << len;
  }
}

}  // namespace
}  // namespace nelo
