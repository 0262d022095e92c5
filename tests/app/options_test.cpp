#include "app/options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace nelo {
namespace {

arg_list words(const std::string& line) {
  arg_list args = {"nelo"};
  std::istringstream in(line);
  for (std::string w; in >> w;) args.push_back(w);
  return args;
}

struct parsed {
  bool ok;
  nelo_options options;
  std::string err;
};

parsed parse(arg_list args) {
  parsed p;
  std::ostringstream err;
  p.ok = parse_options(p.options, args, message_writer(err, false));
  p.err = err.str();
  return p;
}

TEST(ParseOptions, NeedsAnInputSourceWithItsValue) {
  EXPECT_TRUE(parse(words("-IFILE x.pcap")).ok);
  EXPECT_FALSE(parse(words("-ifile")).ok);
}

TEST(ParseOptions, DumpFlagsAndFormatDefaulting) {
  const char* const format_names[] = {"none", "hex", "ascii", "binary", "strings"};
  const std::pair<const char*, const char*> rows[] = {
      {"-ifile x", "meta hex"},
      {"-ifile x -dump_meta", "meta ascii"},
      {"-ifile x -strings", "meta payload strings"},
      {"-ifile x -dump_hdr", "hdr hex"},
      {"-ifile x -dump_payload -dump_meta", "meta payload hex"},
      {"-ifile x -binary -ascii -dump_hdr", "hdr ascii"},
      {"-ifile x -strings -ascii -binary -dump_hdr", "hdr strings"},
  };
  for (const auto& [line, expected] : rows) {
    const parsed p = parse(words(line));
    ASSERT_TRUE(p.ok && p.err.empty()) << line;
    const nelo_options& o = p.options;
    const std::string flags = std::string(o.dump_meta ? "meta " : "") + (o.dump_hdr ? "hdr " : "") +
                              (o.dump_payload ? "payload " : "") +
                              format_names[static_cast<int>(o.format)];
    EXPECT_EQ(flags, expected) << line;
  }
}

// Lists, numbers and addresses in their ordinary forms are run end to end by the golden tests.
TEST(ParseOptions, AddressesInTheirOtherForms) {
  arg_list args = words("-ifile x -dstip 0x0101a8c0 -srcipv6 fe80::1 -dstipv6 1:2:3:4:5:6:7:8:9");
  const parsed p = parse(args);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.err, "-dstipv6: cannot read \"1:2:3:4:5:6:7:8:9\", filter off\n");
  EXPECT_EQ(p.options.dst_ip, 0x0101a8c0u);
  ASSERT_EQ(p.options.src_ipv6.size(), 16u);
  EXPECT_EQ(p.options.src_ipv6[0] + p.options.src_ipv6[15], 0xfe + 0x01);
  EXPECT_TRUE(p.options.dst_ipv6.empty());
}

TEST(ParseOptions, LaterPatternOptionReplacesTheHexOne) {
  arg_list args = words("-ifile x -find_pattern_h 41 -find_pattern");
  args.push_back("66 67");
  const parsed p = parse(args);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.err, "");
  ASSERT_EQ(p.options.pattern.runs.size(), 1u);
  EXPECT_EQ(p.options.pattern.runs[0].literal, "BC");
}

TEST(ParseOptions, TimeWindow) {
  EXPECT_EQ(parse(words("-ifile x -start_time 1/15/2020")).options.stop_time, ~uint64_t{0});
  const parsed stop_only = parse(words("-ifile x -stop_time 1/15/2020"));
  EXPECT_EQ(stop_only.err, "");
  EXPECT_EQ(stop_only.options.start_time, 0u);
  EXPECT_NE(stop_only.options.stop_time, 0u);

  const parsed separate = parse(words("-ifile x -start_time 1/15/2020 10"));
  EXPECT_TRUE(separate.ok) << "the time is a separate word here, so the date alone is read";
  EXPECT_EQ(separate.err, "unknown option 10, ignoring\n");
}

TEST(MakePacketCtx, SetsDropDuplicatesAndCopiesSettings) {
  arg_list args = words("-ifile x -icmp_id 7|7 -track_replies -frame");
  args.push_back("5 5 2");
  const parsed p = parse(args);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.err, "");
  const packet_ctx ctx = make_packet_ctx(p.options);
  EXPECT_EQ(ctx.frames, (std::set<uint64_t>{2, 5}));
  EXPECT_EQ(ctx.icmp_ids, (std::set<uint64_t>{7}));
  EXPECT_TRUE(ctx.track_replies);
  EXPECT_TRUE(ctx.header_pending);
  EXPECT_TRUE(ctx.dump_meta);
}

}  // namespace
}  // namespace nelo
