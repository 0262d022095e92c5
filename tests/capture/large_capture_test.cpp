// A capture larger than 4 GiB, made as a sparse file so that it costs almost no disk: the
// records in the middle are as long as the reader allows and their data are holes, which read
// as an EtherType of 0 and are dropped. ICMP records before the filler and past the 4 GiB offset
// must keep their own frame numbers: any 32-bit file offset, size or counter would lose them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "capture/pcap_file.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

// "Slow" in the suite name lets the suite be left out of quick runs: the walk reads 4 GiB.
TEST(LargeCaptureSlow, RecordsPastFourGibibytesKeepTheirFrameNumbers) {
  const std::string dir = testing::temp_dir();
  struct statvfs fs;
  ASSERT_EQ(::statvfs(dir.c_str(), &fs), 0);
  if (uint64_t{fs.f_bavail} * fs.f_frsize < (uint64_t{1} << 30))
    GTEST_SKIP() << "under 1 GB free in " << dir;

  const std::string path = dir + "/large.pcap";
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  uint64_t at = 0;
  bool written = true;
  const auto put = [&](const bytes& data, uint64_t size) {
    written = written && ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)) ==
                             static_cast<ssize_t>(data.size());
    at += size;
  };
  const uint8_t a[4] = {10, 1, 2, 3}, b[4] = {10, 3, 2, 1};
  const auto echo = [&](uint16_t id) {
    return testing::pcap_record({.frame = testing::ipv4_icmp_frame(a, b, 8, 0, id, bytes(40))});
  };
  put(testing::pcap_file({}, 0xffffffffu), PCAP_FILE_HEADER_SIZE);
  put(echo(1), echo(1).size());
  // Filler records of the largest length the reader accepts, data left as holes, up to past
  // 4 GiB, then three echoes.
  uint64_t frame = 1;
  const bytes filler = testing::pcap_record({.frame = {}, .incl_len = MAX_RECORD_LENGTH});
  for (; at < (uint64_t{1} << 32) + 1; ++frame)
    put(filler, PCAP_RECORD_HEADER_SIZE + uint64_t{MAX_RECORD_LENGTH});
  std::vector<std::pair<uint64_t, uint16_t>> expected = {{1, 1}};
  for (uint16_t id = 2; id <= 4; ++id) {
    put(echo(id), echo(id).size());
    expected.emplace_back(++frame, id);
  }
  ::close(fd);
  ASSERT_TRUE(written);

  const auto r = testing::run_nelo_in_process({"-ifile", path});
  ::unlink(path.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  // The frame number and identifier of every report line.
  std::vector<std::pair<uint64_t, uint16_t>> reported;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t id = line.find("id: 0x");
    if (line.find(" , icmp ") != std::string::npos && id != std::string::npos) {
      reported.emplace_back(std::stoull(line), std::stoul(line.substr(id + 6, 4), nullptr, 16));
    }
  }
  EXPECT_EQ(reported, expected);
}

}  // namespace
}  // namespace nelo
