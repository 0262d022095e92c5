#include "app/list_input.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using names = std::vector<std::string>;

names drain(koportdir::stdin_stream_ex& source, names found = {}) {
  std::string name;
  while (source.next_name(name, true)) found.push_back(name);
  return found;
}

names walk(const std::string& dir, uint32_t depth,
           const std::vector<nelo::filter_entry>& filters = {}) {
  koportdir::stdin_stream_ex source;
  EXPECT_TRUE(source.open_dir(dir, depth, filters));
  return drain(source);
}

// A throw-away tree of capture files, removed with everything in it when the test ends.
class DirectoryWalk : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nelo_walk_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    fs::create_directories(at("b_sub/deeper"));
    fs::create_directories(at("a_sub"));
    for (const char* f :
         {"z.pcap", "m.cap", "a_sub/one.pcap", "b_sub/two.pcap", "b_sub/deeper/three.pcap"}) {
      std::ofstream(at(f)) << "x";
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(at("locked"), fs::perms::owner_all, ignored);
    fs::remove_all(root, ignored);
  }
  std::string at(const std::string& rel) const { return root + "/" + rel; }
  std::string root;
};

TEST_F(DirectoryWalk, GoesBreadthFirstInNameOrderDownToTheDepthLimit) {
  // A link back to the top: listed as a name, never walked into.
  fs::create_directory_symlink("..", at("b_sub/loop"));
  EXPECT_EQ(walk(root, 0), (names{at("m.cap"), at("z.pcap")}));
  EXPECT_EQ(walk(root + "//", 0), (names{at("m.cap"), at("z.pcap")}));
  EXPECT_EQ(walk(root, 1), (names{at("m.cap"), at("z.pcap"), at("a_sub/one.pcap"), at("b_sub/loop"),
                                  at("b_sub/two.pcap")}));
  EXPECT_EQ(walk(root, 1, nelo::parse_filters("*.cap")), names{at("m.cap")});
  EXPECT_EQ(walk(root, 9), (names{at("m.cap"), at("z.pcap"), at("a_sub/one.pcap"), at("b_sub/loop"),
                                  at("b_sub/two.pcap"), at("b_sub/deeper/three.pcap")}));
}

TEST_F(DirectoryWalk, SkipsDirectoriesThatAreGoneOrCannotBeListed) {
  koportdir::stdin_stream_ex source;
  ASSERT_TRUE(source.open_dir(root, 1, {}));
  std::string first;
  ASSERT_TRUE(source.next_name(first, true));  // lists the top directory, queues the subdirs
  fs::remove_all(at("a_sub"));
  EXPECT_EQ(drain(source, {first}), (names{at("m.cap"), at("z.pcap"), at("b_sub/two.pcap")}));

  fs::create_directories(at("locked"));
  std::ofstream(at("locked/hidden.pcap")) << "x";
  ASSERT_EQ(chmod(at("locked").c_str(), 0), 0);
  const names found = walk(root, 1);
  const bool privileged = geteuid() == 0;  // permission bits do not stop root
  EXPECT_EQ(std::count(found.begin(), found.end(), at("locked/hidden.pcap")), privileged ? 1 : 0);
  EXPECT_EQ(std::count(found.begin(), found.end(), at("b_sub/two.pcap")), 1);

  EXPECT_FALSE(koportdir::stdin_stream_ex().open_dir("", 0, {}));
  EXPECT_TRUE(walk("/nonexistent/nelo/dir", 3).empty());
}

// Feeds `text` to a line source through a pipe, as a shell would.
names read_lines(const std::string& text, bool trim) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  FILE* in = fdopen(fds[0], "r");
  koportdir::stdin_stream_ex source(in);
  EXPECT_TRUE(source.open_stdin());
  names lines;
  std::string line;
  while (source.next_name(line, trim)) lines.push_back(line);
  fclose(in);
  return lines;
}

// Line ends are trimmed, unless asked not to be. The separator the input shows first holds for all
// of it: a NUL-separated name keeps its line ends and blanks, and a NUL later in a list of lines
// is part of a name. A name longer than a piece arrives in pieces with either separator.
TEST(LineSource, TheFirstSeparatorSeenDecidesBetweenLinesAndNulBytes) {
  using namespace std::string_literals;
  const std::string long_name(5000, 'n');
  const names pieces = {long_name.substr(0, 4095), long_name.substr(4095), "next"};
  const struct {
    std::string input;
    bool trim;
    names expected;
  } rows[] = {
      {"a.pcap\r\n\nb c.pcap\r\r\nlast", true, {"a.pcap", "", "b c.pcap", "last"}},
      {"a\r\n", false, {"a\r\n"}},
      {long_name + "\nnext\n", true, pieces},
      {"a b.pcap\0two\nlines.pcap\0\0crlf\r\n\0last"s,
       true,
       {"a b.pcap", "two\nlines.pcap", "", "crlf\r\n", "last"}},
      {"\0first\0"s, true, {"", "first"}},
      {"a.pcap\nb\0c\r\n"s, true, {"a.pcap", "b\0c"s}},
      {"one name"s, true, {"one name"}},
      {long_name + '\0' + "next" + '\0', true, pieces},
  };
  for (const auto& row : rows)
    EXPECT_EQ(read_lines(row.input, row.trim), row.expected) << row.input.substr(0, 40);
}

}  // namespace
