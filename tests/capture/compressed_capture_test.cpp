// Compressed captures: the decompressing sources against the bytes they must give back, and the
// tool on gzip, zstd, xz and bzip2 copies of a real capture cut short and damaged. The compressed
// bytes are made here with the libraries themselves, so no compressed file is committed.
#include "capture/compressed_source.h"

#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <sstream>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

const std::string DATA = NELO_TEST_DATA_DIR;
constexpr int STATUS_REFUSED = 255;

bytes gzip_member(const bytes& plain) {
  z_stream z = {};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  bytes out(deflateBound(&z, static_cast<uLong>(plain.size())) + 32);
  z.next_in = const_cast<Bytef*>(plain.data());
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

bytes zstd_frame(const bytes& plain) {
  bytes out(ZSTD_compressBound(plain.size()));
  const size_t n = ZSTD_compress(out.data(), out.size(), plain.data(), plain.size(), 3);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(ZSTD_isError(n) ? 0 : n);
  return out;
}

bytes xz_stream(const bytes& plain) {
  bytes out(lzma_stream_buffer_bound(plain.size()));
  size_t n = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, plain.data(), plain.size(),
                                    out.data(), &n, out.size()),
            LZMA_OK);
  out.resize(n);
  return out;
}

bytes bzip2_stream(const bytes& plain) {
  bytes out(plain.size() + plain.size() / 100 + 600);
  auto n = static_cast<unsigned>(out.size());
  std::vector<char> in(plain.begin(), plain.end());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n, in.data(),
                                     static_cast<unsigned>(in.size()), 9, 0, 0),
            BZ_OK);
  out.resize(n);
  return out;
}

using compressor = bytes (*)(const bytes&);

// `plain` compressed as `parts` members or frames of about equal size, one after the other.
bytes compressed(compressor compress, const bytes& plain, size_t parts = 1) {
  bytes out;
  const size_t step = plain.size() / parts;
  for (size_t i = 0; i < parts; ++i) {
    const auto from = plain.begin() + static_cast<std::ptrdiff_t>(i * step);
    const auto to = i + 1 == parts ? plain.end() : from + static_cast<std::ptrdiff_t>(step);
    const bytes part = compress(bytes(from, to));
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

bytes joined(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Everything a source gives back when asked for `chunk` bytes at a time, or nothing if it
// fails; `read` is the compressed byte count it says it took from the file.
bytes read_through_source(const std::string& path, size_t chunk, uint64_t& read) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  uint8_t head[COMPRESSION_MAGIC_MAX];
  const ssize_t head_len = read_fd_fully(fd, head, sizeof head);
  bytes out;
  std::unique_ptr<byte_source> source = open_byte_source(fd, head, static_cast<size_t>(head_len));
  std::vector<uint8_t> block(chunk);
  ssize_t n = 0;
  while ((n = source->read_some(block.data(), chunk)) > 0)
    out.insert(out.end(), block.begin(), block.begin() + n);
  read = source->file_bytes_read();
  ::close(fd);
  return n == 0 ? out : bytes();
}

TEST(CompressedSource, GivesBackEveryByteOfEveryMemberAndFrameWhateverTheReadSize) {
  const bytes plain = testing::read_file(DATA + "/two_interfaces.pcapng");
  const struct {
    const char* name;
    bytes file;
  } cases[] = {
      {"gzip", compressed(gzip_member, plain)},
      {"gzip, three members", compressed(gzip_member, plain, 3)},
      {"gzip, an empty member first", joined(gzip_member({}), compressed(gzip_member, plain))},
      {"zstd", compressed(zstd_frame, plain)},
      {"zstd, three frames", compressed(zstd_frame, plain, 3)},
      {"zstd, an empty frame last", joined(compressed(zstd_frame, plain), zstd_frame({}))},
      {"xz, two streams", compressed(xz_stream, plain, 2)},
      {"bzip2, two streams", compressed(bzip2_stream, plain, 2)},
      {"not compressed", plain},
  };
  for (const auto& c : cases) {
    const std::string path = testing::write_temp_file("source", c.file);
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{1} << 16}) {
      uint64_t read = 0;
      EXPECT_EQ(read_through_source(path, chunk, read), plain) << c.name << ", chunk " << chunk;
      // Progress is told in compressed bytes, so it reaches the file's size.
      EXPECT_EQ(read, c.file.size()) << c.name << ", chunk " << chunk;
    }
  }
}

// What a run reported after announcing its file: the report without its header.
std::string report_of(const std::string& out) {
  const size_t announced = out.find("Processing file: ");
  if (announced == std::string::npos) return "";
  std::string report;
  std::istringstream lines(out.substr(announced));
  for (std::string line; std::getline(lines, line);)
    if (!line.starts_with("Processing file: ")) report += line + "\n";
  return report;
}

TEST(CompressedCaptureEndToEnd, DamagedDataEndsTheRunAfterTheRecordsDecodedBeforeIt) {
  const bytes plain = testing::read_file(DATA + "/two_interfaces.pcapng");
  const bytes first_half(plain.begin(),
                         plain.begin() + static_cast<std::ptrdiff_t>(plain.size() / 2));
  const bytes gzip_one = compressed(gzip_member, plain);
  const bytes gzip_two = compressed(gzip_member, plain, 2);
  const size_t gzip_first = gzip_member(first_half).size();
  const bytes zstd_two = compressed(zstd_frame, plain, 2);
  const size_t zstd_first = zstd_frame(first_half).size();
  const bytes xz_one = compressed(xz_stream, plain);
  const bytes bzip2_one = compressed(bzip2_stream, plain);
  const auto cut = [](const bytes& b, size_t keep) { return bytes(b.begin(), b.begin() + keep); };
  const auto flipped = [](bytes b, size_t at) {
    for (size_t i = at; i < at + 4 && i < b.size(); ++i) b[i] ^= 0x5a;
    return b;
  };
  const std::string half = std::to_string(first_half.size());
  const std::string all = std::to_string(plain.size());
  const struct {
    const char* name;
    bytes file;
    const char* delivered;  // the byte count the message must name, or null for any
    const char* reason;     // in the decompressor's words
    bool clean;             // what came before the damage is unharmed, so the report is too
  } cases[] = {
      {"gzip cut short", cut(gzip_one, gzip_one.size() * 3 / 4), nullptr, "unexpected end of file",
       true},
      {"gzip without its trailer", cut(gzip_one, gzip_one.size() - 4), all.c_str(),
       "unexpected end of file", true},
      {"gzip with a damaged second member", flipped(gzip_two, gzip_first), half.c_str(),
       "incorrect header check", true},
      {"gzip damaged inside its data", flipped(gzip_one, gzip_one.size() * 3 / 4), nullptr,
       "incorrect data check", false},
      // A zstd block is decoded whole, so a cut in the second frame leaves exactly the first.
      {"zstd cut short", cut(zstd_two, zstd_first + 40), half.c_str(), "unexpected end of file",
       true},
      {"zstd with a damaged second frame", flipped(zstd_two, zstd_first), half.c_str(),
       "Unknown frame descriptor", true},
      {"xz cut short", cut(xz_one, xz_one.size() * 3 / 4), nullptr, "unexpected end of file", true},
      {"bzip2 cut short", cut(bzip2_one, bzip2_one.size() * 3 / 4), nullptr,
       "unexpected end of file", false},
  };
  const std::string whole_report =
      report_of(testing::run_nelo_in_process({"-ifile", DATA + "/two_interfaces.pcapng"}).out);
  for (const auto& c : cases) {
    const std::string path = testing::write_temp_file("damaged", c.file);
    const auto r = testing::run_nelo_in_process({"-ifile", path});
    EXPECT_EQ(r.status, STATUS_REFUSED) << c.name;
    const std::string tag = path + ": compressed data is damaged after ";
    const size_t said = r.err.find(tag);
    ASSERT_NE(said, std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.name << ": one line only: " << r.err;
    const std::string why = std::string(" bytes (") + c.reason + ")\n";
    EXPECT_TRUE(r.err.ends_with(why)) << c.name << ": " << r.err;
    if (c.delivered != nullptr) {
      EXPECT_EQ(r.err.substr(said + tag.size()), c.delivered + why) << c.name;
    }
    if (c.clean) {
      // Some records came out, and they are the first ones of the whole report.
      const std::string report = report_of(r.out);
      EXPECT_NE(report.find(" , icmp"), std::string::npos) << c.name;
      EXPECT_EQ(whole_report.compare(0, report.size(), report), 0) << c.name << ":\n" << report;
    }
  }
}

}  // namespace
}  // namespace nelo
