#include "helpers/pcap_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/driver.h"
#include "app/file_walk.h"
#include "capture/packet_handler.h"
#include "capture/pcap_file.h"
#include "capture/pcap_reader.h"
#include "support/run_control.h"

namespace nelo::testing {

namespace {

void put(bytes& b, uint64_t v, int size, bool big_endian = false) {
  for (int i = 0; i < size; ++i)
    b.push_back(static_cast<uint8_t>(v >> 8 * (big_endian ? size - 1 - i : i)));
}

}  // namespace

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bytes pcap_record(const record_parts& r, bool big_endian) {
  bytes b;
  for (const int64_t v : {int64_t{r.ts_sec}, int64_t{r.ts_usec}, r.incl_len, r.orig_len})
    put(b, v >= 0 ? static_cast<uint64_t>(v) : r.frame.size(), 4, big_endian);
  b.insert(b.end(), r.frame.begin(), r.frame.end());
  return b;
}

bytes pcap_file(const std::vector<record_parts>& records, uint32_t snaplen, bool big_endian,
                bool nanoseconds, uint32_t link_type) {
  bytes b;
  const uint32_t magic = nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4;
  for (const auto& [v, size] : {std::pair<uint32_t, int>{magic, 4}, {2, 2}, {4, 2}, {0, 8}})
    put(b, v, size, big_endian);
  for (const uint32_t v : {snaplen, link_type}) put(b, v, 4, big_endian);
  for (const record_parts& r : records) {
    const bytes rec = pcap_record(r, big_endian);
    b.insert(b.end(), rec.begin(), rec.end());
  }
  return b;
}

std::vector<size_t> record_offsets(const bytes& file) {
  std::vector<size_t> at = {PCAP_FILE_HEADER_SIZE};
  for (size_t len = 0; at.back() + PCAP_RECORD_HEADER_SIZE <= file.size();
       at.push_back(at.back() + PCAP_RECORD_HEADER_SIZE + len))
    len = file[at.back() + 8] | file[at.back() + 9] << 8 | file[at.back() + 10] << 16;
  return at;
}

void pcapng_writer::block(uint32_t type, const bytes& body) {
  bytes padded = body;
  padded.resize((body.size() + 3) & ~size_t{3}, 0);
  const uint32_t total = static_cast<uint32_t>(padded.size() + 12);
  put(m_out, type, 4, m_big_endian);
  put(m_out, total, 4, m_big_endian);
  m_out.insert(m_out.end(), padded.begin(), padded.end());
  put(m_out, total, 4, m_big_endian);
}

// A block body of {value, size} fields in the section's byte order, then `data` unchanged.
bytes pcapng_writer::body(std::initializer_list<std::pair<uint64_t, int>> fields,
                          const bytes& data) const {
  bytes b;
  for (const auto& [value, size] : fields) put(b, value, size, m_big_endian);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

void pcapng_writer::section(bool big_endian, uint16_t major) {
  m_big_endian = big_endian;
  block(0x0A0D0D0A, body({{0x1A2B3C4D, 4}, {major, 2}, {0, 2}, {~uint64_t{0}, 8}}));
}

void pcapng_writer::interface(uint16_t link_type, uint32_t snaplen, int tsresol,
                              const int64_t* tsoffset) {
  bytes options =
      tsresol >= 0 ? body({{9, 2}, {1, 2}, {static_cast<uint64_t>(tsresol), 1}, {0, 3}}) : bytes();
  if (tsoffset != nullptr) {
    const bytes offset = body({{14, 2}, {8, 2}, {static_cast<uint64_t>(*tsoffset), 8}});
    options.insert(options.end(), offset.begin(), offset.end());
  }
  if (!options.empty()) options.resize(options.size() + 4, 0);  // end of options
  block(1, body({{link_type, 2}, {0, 2}, {snaplen, 4}}, options));
}

void pcapng_writer::enhanced(uint32_t iface, uint64_t stamp, const bytes& frame, int64_t orig_len) {
  const uint64_t wire = orig_len >= 0 ? static_cast<uint64_t>(orig_len) : frame.size();
  block(6, body({{iface, 4}, {stamp >> 32, 4}, {stamp, 4}, {frame.size(), 4}, {wire, 4}}, frame));
}

void pcapng_writer::simple(const bytes& frame, int64_t orig_len) {
  block(3, body({{orig_len >= 0 ? static_cast<uint64_t>(orig_len) : frame.size(), 4}}, frame));
}

void pcapng_writer::obsolete(uint16_t iface, uint64_t stamp, const bytes& frame) {
  const uint64_t len = frame.size();
  block(2, body({{iface, 2}, {0, 2}, {stamp >> 32, 4}, {stamp, 4}, {len, 4}, {len, 4}}, frame));
}

bytes ether_frame(uint16_t ether_type, const bytes& body) {
  bytes b = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  put(b, ether_type, 2, true);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

bytes ipv4_icmp_frame(const uint8_t src[4], const uint8_t dst[4], uint8_t type, uint8_t code,
                      uint16_t id, const bytes& payload, uint8_t ttl, const bytes& ip_options) {
  const uint8_t ihl = static_cast<uint8_t>(5 + ip_options.size() / 4);
  bytes ip = {static_cast<uint8_t>(0x40 | ihl), 0};
  put(ip, ihl * 4 + 8 + payload.size(), 2, true);
  ip.insert(ip.end(), {0x12, 0x34, 0x40, 0x00, ttl, 1, 0, 0});
  ip.insert(ip.end(), src, src + 4);
  ip.insert(ip.end(), dst, dst + 4);
  ip.insert(ip.end(), ip_options.begin(), ip_options.end());
  ip.insert(ip.end(), {type, code, 0xab, 0xcd});
  put(ip, id, 2, true);
  put(ip, 1, 2, true);
  ip.insert(ip.end(), payload.begin(), payload.end());
  return ether_frame(0x0800, ip);
}

bytes ipv6_icmp_frame(const uint8_t src[16], const uint8_t dst[16], uint8_t type, uint8_t code,
                      uint16_t id, const bytes& payload, uint8_t hop_limit, uint8_t next_header) {
  bytes ip = {0x60, 0, 0, 0};
  put(ip, 8 + payload.size(), 2, true);
  ip.push_back(next_header);
  ip.push_back(hop_limit);
  ip.insert(ip.end(), src, src + 16);
  ip.insert(ip.end(), dst, dst + 16);
  ip.insert(ip.end(), {type, code, 0xab, 0xcd});
  put(ip, id, 2, true);
  put(ip, 1, 2, true);
  ip.insert(ip.end(), payload.begin(), payload.end());
  return ether_frame(0x86DD, ip);
}

capture_record record_of(const bytes& frame, uint32_t link_type, int64_t captured) {
  capture_record r;
  r.frame_number = 1;
  r.link_type = link_type;
  r.bytes = frame.data();
  r.captured_len = static_cast<uint32_t>(captured >= 0 ? captured : frame.size());
  r.wire_len = static_cast<uint32_t>(frame.size());
  return r;
}

decoded_frame::decoded_frame(bytes bytes_of_frame, uint64_t ticks, record_time time,
                             uint32_t wire_len, uint64_t frame_number)
    : frame(std::move(bytes_of_frame)) {
  record.frame_number = frame_number;
  record.ticks = ticks;
  record.time = time;
  record.link_type = 1;
  record.bytes = frame.data();
  record.captured_len = static_cast<uint32_t>(frame.size());
  record.wire_len = wire_len;
  EXPECT_TRUE(decode_packet(record, packet));
}

std::string temp_dir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  // A fresh directory per test process, removed when it ends: process ids come round again, and
  // a FIFO or file left by an earlier run under the same id must not meet this one.
  struct scratch {
    std::string path;
    scratch() : path(::testing::TempDir() + "nelo_XXXXXX") {
      if (mkdtemp(path.data()) == nullptr) path.clear();
    }
    ~scratch() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };
  static const scratch base;
  std::string dir = base.path.empty() ? ::testing::TempDir() : base.path;
  if (info != nullptr) {
    // Parameterized names hold slashes: one directory per case all the same.
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
      if (c == '#' || c == '/') c = '_';
    dir += "/" + name;
    mkdir(dir.c_str(), 0755);
  }
  return dir;
}

std::string write_temp_file(const std::string& name, const bytes& data) {
  const std::string path = temp_dir() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return path;
}

bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

std::string difference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  const auto at =
      static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
  return "differ at byte " + std::to_string(at) + " of " + std::to_string(a.size()) + " and " +
         std::to_string(b.size()) + ": \"" + a.substr(at, 60) + "\" against \"" + b.substr(at, 60) +
         "\"";
}

std::string json_value(const std::string& line, const std::string& key) {
  const size_t found = line.find("\"" + key + "\":");
  if (found == std::string::npos) return "";
  const size_t from = found + key.size() + 3;
  size_t end = from;
  if (line[from] == '"') {
    while (++end < line.size() && line[end] != '"') end += line[end] == '\\';
    ++end;
  } else if (line[from] == '[') {
    end = line.find(']', from) + 1;
  } else {
    end = line.find_first_of(",}", from);
  }
  return line.substr(from, end - from);
}

std::string write_long_capture(size_t payload_size, int blocks) {
  const std::string path = temp_dir() + "/long" + std::to_string(payload_size) + ".pcap";
  std::ofstream out(path, std::ios::binary);
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  const bytes header = pcap_file({});
  const bytes record =
      pcap_record({.frame = ipv4_icmp_frame(a, b, 8, 0, 7, bytes(payload_size, 0x61))});
  out.write(reinterpret_cast<const char*>(header.data()), 24);
  std::string block;
  for (int i = 0; i < 4096; ++i) block.append(record.begin(), record.end());
  for (int i = 0; i < blocks; ++i) {
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return path;
}

run_result run_nelo_in_process(const std::vector<std::string>& args, const std::string& input) {
  run_result result;
  // Standard input as a file in memory: -pipe reads its names, -ifile - its capture.
  const int in_fd = memfd_create("stdin", MFD_CLOEXEC);
  if (in_fd < 0 || write(in_fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
      lseek(in_fd, 0, SEEK_SET) != 0) {
    if (in_fd >= 0) close(in_fd);
    return result;
  }
  FILE* names = fdopen(dup(in_fd), "r");
  std::ostringstream out, err;
  arg_list words = {NELO_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  const run_io io{out, err, true, false, names, in_fd, false};
  reset_stop_requests();
  result.status = run_nelo(words, io) & 0xff;
  reset_stop_requests();
  if (names != nullptr) fclose(names);
  close(in_fd);
  result.out = out.str();
  result.err = err.str();
  return result;
}

namespace {

struct recording_ctx : packet_ctx {
  std::vector<seen_record> seen;
};

int record_only(const capture_record& r, packet_ctx* ctx) {
  static_cast<recording_ctx*>(ctx)->seen.push_back(
      {r.frame_number, bytes(r.bytes, r.bytes + r.captured_len), r.ticks, r.time, r.wire_len,
       r.link_type, r.sub_tick_ns});
  return 0;
}

}  // namespace

run_result run_shell(const std::string& command) {
  run_result r;
  const std::string err_path = temp_dir() + "/stderr.txt";
  FILE* p = popen(("{ " + command + "; } 2>'" + err_path + "'").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int wait_status = pclose(p);
  r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  const bytes err = read_file(err_path);
  r.err.assign(err.begin(), err.end());
  return r;
}

recorded_walk record_walk(const std::string& path) {
  recording_ctx ctx;
  recorded_walk r;
  capture_reader reader;
  if (reader.open_file(path) != capture_open::opened) return r;
  walk_observer observer;
  observer.on_link_type_skipped = [](void* user, uint32_t link_type) {
    static_cast<recorded_walk*>(user)->skipped_link_types.push_back(link_type);
  };
  observer.user = &r;
  const walk_result result = reader.walk(record_only, &ctx, &observer);
  r.outcome = result.outcome;
  r.seen = std::move(ctx.seen);
  r.said = walk_end_text(path, result);
  return r;
}

std::string report_of(const std::string& out) {
  const size_t announced = out.find("Processing file: ");
  if (announced == std::string::npos) return "";
  std::string report;
  std::istringstream lines(out.substr(announced));
  for (std::string line; std::getline(lines, line);)
    if (!line.starts_with("Processing file: ")) report += line + "\n";
  return report;
}

std::string without_run_header(std::string text) {
  for (const char* start : {"Run time: ", "\"Command line: "}) {
    size_t at = text.starts_with(start) ? 0 : text.find(std::string("\n") + start);
    if (at == std::string::npos) continue;
    if (at != 0) ++at;
    const size_t end = text.find('\n', at);
    text.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
  }
  return text;
}

}  // namespace nelo::testing
