// Microbenchmarks of the work nelo does for every reported packet: the payload digest (against
// OpenSSL's MD5 on the same bytes), the hex view, the payload statistics and the byte-pattern
// search. Sizes follow the captures: a ping payload (56), a near-MTU payload (1400) and a large
// one (60000).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "capture/byte_pattern_match.h"
#include "report/ko_hex_view.h"
#include "report/ko_stats.h"
#include "report/md5.h"

namespace {

constexpr int64_t PING_PAYLOAD = 56;
constexpr int64_t MTU_PAYLOAD = 1400;
constexpr int64_t LARGE_PAYLOAD = 60000;
constexpr uint32_t ETHERNET_FRAME = 1514;

// Bytes from a fixed-seed generator: they look random to the statistics, the worst case for it.
std::vector<uint8_t> random_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  uint64_t s = 0x6d6963726f62656eULL;
  for (auto& b : v) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    b = static_cast<uint8_t>(s >> 24);
  }
  return v;
}

// A ping payload repeated: an ordered, clearly non-random byte run.
std::vector<uint8_t> ping_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(0x10 + i % 48);
  return v;
}

// A stream that accepts and drops everything, so the hex view is measured without I/O.
class null_buffer : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(PING_PAYLOAD)->Arg(MTU_PAYLOAD)->Arg(LARGE_PAYLOAD);
}

void set_throughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Md5Nelo(benchmark::State& state) {
  const auto data = random_bytes(static_cast<size_t>(state.range(0)));
  uint8_t digest[nelo::MD5_DIGEST_SIZE];
  for (auto _ : state) {
    nelo::md5_buffer(data.data(), static_cast<uint32_t>(data.size()), digest);
    benchmark::DoNotOptimize(digest);
  }
  set_throughput(state);
}
BENCHMARK(BM_Md5Nelo)->Apply(sizes);

// OpenSSL at its best: the algorithm fetched once and one context reused for every digest.
void BM_Md5OpenSsl(benchmark::State& state) {
  const auto data = random_bytes(static_cast<size_t>(state.range(0)));
  EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (md == nullptr || ctx == nullptr) {
    state.SkipWithError("OpenSSL MD5 unavailable");
  } else {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
      EVP_DigestInit_ex(ctx, md, nullptr);
      EVP_DigestUpdate(ctx, data.data(), data.size());
      EVP_DigestFinal_ex(ctx, digest, &len);
      benchmark::DoNotOptimize(digest);
    }
    set_throughput(state);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}
BENCHMARK(BM_Md5OpenSsl)->Apply(sizes);

void BM_HexDumpToNullStream(benchmark::State& state) {
  const auto data = random_bytes(static_cast<size_t>(state.range(0)));
  null_buffer sink;
  std::ostream out(&sink);
  for (auto _ : state) nelo::hex_dump(data.data(), static_cast<uint32_t>(data.size()), out, 42);
  set_throughput(state);
}
BENCHMARK(BM_HexDumpToNullStream)->Apply(sizes);

void BM_HexViewText(benchmark::State& state) {
  const auto data = random_bytes(static_cast<size_t>(state.range(0)));
  const ko::binary_data view(data.data(), static_cast<uint32_t>(data.size()));
  std::string text;
  for (auto _ : state) {
    nelo::hex_view_text(text, view, view.size(), 42);
    benchmark::DoNotOptimize(text.data());
  }
  set_throughput(state);
}
BENCHMARK(BM_HexViewText)->Apply(sizes);

void BM_StatsObject(benchmark::State& state) {
  const auto data = random_bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    const ko::stats s(data.data(), static_cast<int32_t>(data.size()));
    benchmark::DoNotOptimize(s.looks_random());
  }
  set_throughput(state);
}
BENCHMARK(BM_StatsObject)->Apply(sizes);

// The report's shortcut on random bytes, where every test must run to the end.
void BM_PayloadLooksRandomOnRandom(benchmark::State& state) {
  const auto data = random_bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(
        nelo::payload_looks_random(data.data(), static_cast<int32_t>(data.size())));
  set_throughput(state);
}
BENCHMARK(BM_PayloadLooksRandomOnRandom)->Apply(sizes);

// The common case of a capture: an ordered payload that fails early.
void BM_PayloadLooksRandomOnPing(benchmark::State& state) {
  const auto data = ping_bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(
        nelo::payload_looks_random(data.data(), static_cast<int32_t>(data.size())));
  set_throughput(state);
}
BENCHMARK(BM_PayloadLooksRandomOnPing)->Apply(sizes);

nelo::byte_pattern make_pattern(const std::vector<std::pair<std::string, uint32_t>>& runs) {
  nelo::byte_pattern p;
  for (const auto& [literal, wildcards] : runs) {
    p.runs.push_back({literal, wildcards});
    p.total_len += literal.size() + wildcards;
  }
  return p;
}

// A full Ethernet frame of text-like bytes in which the pattern's first byte is common but the
// whole pattern occurs only in the last bytes, or not at all.
std::vector<uint8_t> text_frame() {
  std::vector<uint8_t> frame(ETHERNET_FRAME);
  const char text[] = "GET /index.html HTTP/1.1\r\nHost: example.org\r\nAccept: */*\r\n";
  for (size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(text[i % (sizeof text - 1)]);
  return frame;
}

void BM_MatchBytePatternAtEnd(benchmark::State& state) {
  auto frame = text_frame();
  std::memcpy(frame.data() + frame.size() - 8, "H?xx!end", 8);
  const auto pattern = make_pattern({{"H?", 2}, {"!end", 0}});
  for (auto _ : state) {
    uint64_t offset = 0;
    benchmark::DoNotOptimize(nelo::match_byte_pattern(
        frame.data(), static_cast<uint32_t>(frame.size()), pattern, &offset));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * ETHERNET_FRAME);
}
BENCHMARK(BM_MatchBytePatternAtEnd);

void BM_MatchBytePatternAbsent(benchmark::State& state) {
  const auto frame = text_frame();
  const auto pattern = make_pattern({{"", 4}, {"HTTP/2", 3}, {"\r\n", 0}});
  for (auto _ : state)
    benchmark::DoNotOptimize(
        nelo::match_byte_pattern(frame.data(), static_cast<uint32_t>(frame.size()), pattern));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * ETHERNET_FRAME);
}
BENCHMARK(BM_MatchBytePatternAbsent);

}  // namespace

BENCHMARK_MAIN();
