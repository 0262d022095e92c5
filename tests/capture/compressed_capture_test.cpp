// Compressed captures: the decompressing sources against the bytes they must give back, and the
// tool on gzip, zstd, xz and bzip2 copies of a real capture cut short and damaged. The compressed
// bytes are made here by the tools themselves, so no compressed file is committed.
#include "capture/compressed_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

const std::string DATA = NELO_TEST_DATA_DIR;
constexpr int STATUS_REFUSED = 255;

// `plain` compressed by the command-line tool `tool` as `parts` members, frames or streams of
// about equal size, one after the other.
bytes compressed(const char* tool, const bytes& plain, size_t parts = 1) {
  bytes out;
  const size_t step = plain.size() / parts;
  for (size_t i = 0; i < parts; ++i) {
    const auto from = plain.begin() + static_cast<std::ptrdiff_t>(i * step);
    const auto to = i + 1 == parts ? plain.end() : from + static_cast<std::ptrdiff_t>(step);
    const std::string in = testing::write_temp_file("plain", bytes(from, to));
    const auto r = testing::run_shell(std::string(tool) + " -q -c <'" + in + "'");
    EXPECT_EQ(r.status, 0) << tool << ": " << r.err;
    out.insert(out.end(), r.out.begin(), r.out.end());
  }
  return out;
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
      {"gzip", compressed("gzip", plain)},
      {"gzip, three members", compressed("gzip", plain, 3)},
      {"gzip, an empty member first",
       testing::cat(compressed("gzip", {}), compressed("gzip", plain))},
      {"zstd", compressed("zstd", plain)},
      {"zstd, three frames", compressed("zstd", plain, 3)},
      {"zstd, an empty frame last",
       testing::cat(compressed("zstd", plain), compressed("zstd", {}))},
      {"xz, two streams", compressed("xz", plain, 2)},
      {"bzip2, two streams", compressed("bzip2", plain, 2)},
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

TEST(CompressedCaptureEndToEnd, DamagedDataEndsTheRunAfterTheRecordsDecodedBeforeIt) {
  const bytes plain = testing::read_file(DATA + "/two_interfaces.pcapng");
  const bytes first_half(plain.begin(),
                         plain.begin() + static_cast<std::ptrdiff_t>(plain.size() / 2));
  const bytes gzip_one = compressed("gzip", plain);
  const bytes gzip_two = compressed("gzip", plain, 2);
  const size_t gzip_first = compressed("gzip", first_half).size();
  const bytes zstd_two = compressed("zstd", plain, 2);
  const size_t zstd_first = compressed("zstd", first_half).size();
  const bytes xz_one = compressed("xz", plain);
  const bytes bzip2_one = compressed("bzip2", plain);
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
  const std::string whole_report = testing::report_of(
      testing::run_nelo_in_process({"-ifile", DATA + "/two_interfaces.pcapng"}).out);
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
      const std::string report = testing::report_of(r.out);
      EXPECT_NE(report.find(" , icmp"), std::string::npos) << c.name;
      EXPECT_EQ(whole_report.compare(0, report.size(), report), 0) << c.name << ":\n" << report;
    }
  }
}

}  // namespace
}  // namespace nelo
