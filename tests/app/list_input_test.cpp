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

// A throw-away directory tree, removed with everything in it when the test ends.
class temp_tree {
 public:
  temp_tree() {
    char pattern[] = "/tmp/nelo_walk_XXXXXX";
    root_ = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~temp_tree() {
    std::error_code ignored;
    fs::permissions(root_ + "/locked", fs::perms::owner_all, ignored);
    fs::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }
  void file(const std::string& rel) const { std::ofstream(root_ + "/" + rel) << "x"; }
  void dir(const std::string& rel) const { fs::create_directories(root_ + "/" + rel); }

 private:
  std::string root_;
};

std::vector<std::string> drain(koportdir::stdin_stream_ex& source) {
  std::vector<std::string> names;
  std::string name;
  while (source.next_name(name, true)) names.push_back(name);
  return names;
}

std::vector<std::string> walk(const std::string& dir, uint32_t depth,
                              const std::vector<nelo::filter_entry>& filters = {}) {
  koportdir::stdin_stream_ex source(nullptr);
  EXPECT_TRUE(source.open_dir(dir, depth, filters));
  return drain(source);
}

class DirectoryWalk : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tree.root().empty());
    tree.dir("b_sub/deeper");
    tree.dir("a_sub");
    tree.file("z.pcap");
    tree.file("m.cap");
    tree.file("a_sub/one.pcap");
    tree.file("b_sub/two.pcap");
    tree.file("b_sub/deeper/three.pcap");
  }
  std::string at(const std::string& rel) const { return tree.root() + "/" + rel; }
  temp_tree tree;
};

TEST_F(DirectoryWalk, DefaultDepthYieldsOnlyTheTopFilesInNameOrder) {
  EXPECT_EQ(walk(tree.root(), 0), (std::vector<std::string>{at("m.cap"), at("z.pcap")}));
}

TEST_F(DirectoryWalk, GoesBreadthFirstDownToTheDepthLimit) {
  EXPECT_EQ(walk(tree.root(), 1),
            (std::vector<std::string>{at("m.cap"), at("z.pcap"), at("a_sub/one.pcap"),
                                      at("b_sub/two.pcap")}));
  EXPECT_EQ(walk(tree.root(), 5).back(), at("b_sub/deeper/three.pcap"));
}

TEST_F(DirectoryWalk, JoinsWithOneSlashHoweverTheStartWasWritten) {
  EXPECT_EQ(walk(tree.root() + "//", 0), (std::vector<std::string>{at("m.cap"), at("z.pcap")}));
}

TEST_F(DirectoryWalk, YieldsOnlyFilesPassingThePatterns) {
  EXPECT_EQ(walk(tree.root(), 1, nelo::parse_filters("*.cap")),
            (std::vector<std::string>{at("m.cap")}));
}

TEST_F(DirectoryWalk, ListsSymbolicLinksAsFilesWithoutFollowingThem) {
  ASSERT_EQ(symlink(tree.root().c_str(), at("a_sub/loop").c_str()), 0);
  EXPECT_EQ(
      walk(tree.root(), 10),
      (std::vector<std::string>{at("m.cap"), at("z.pcap"), at("a_sub/loop"), at("a_sub/one.pcap"),
                                at("b_sub/two.pcap"), at("b_sub/deeper/three.pcap")}));
}

TEST_F(DirectoryWalk, SkipsADirectoryThatCannotBeListed) {
  tree.dir("locked");
  tree.file("locked/hidden.pcap");
  ASSERT_EQ(chmod(at("locked").c_str(), 0), 0);
  const auto names = walk(tree.root(), 1);
  const bool privileged = geteuid() == 0;  // permission bits do not stop root
  EXPECT_EQ(std::count(names.begin(), names.end(), at("locked/hidden.pcap")), privileged ? 1 : 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), at("b_sub/two.pcap")), 1);
}

TEST_F(DirectoryWalk, SkipsADirectoryRemovedBeforeItsTurn) {
  koportdir::stdin_stream_ex source(nullptr);
  ASSERT_TRUE(source.open_dir(tree.root(), 1, {}));
  std::string name;
  ASSERT_TRUE(source.next_name(name, true));  // lists the top directory, queues both subdirs
  fs::remove_all(at("a_sub"));
  std::vector<std::string> rest{name};
  while (source.next_name(name, true)) rest.push_back(name);
  EXPECT_EQ(rest, (std::vector<std::string>{at("m.cap"), at("z.pcap"), at("b_sub/two.pcap")}));
}

TEST(DirectoryWalkOpen, RefusesAnEmptyDirectoryName) {
  koportdir::stdin_stream_ex source(nullptr);
  EXPECT_FALSE(source.open_dir("", 0, {}));
  EXPECT_TRUE(walk("/nonexistent/nelo/dir", 3).empty());
}

// Feeds `text` to a line source through a pipe, as a shell would.
std::vector<std::string> read_lines(const std::string& text, bool trim) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  FILE* in = fdopen(fds[0], "r");
  koportdir::stdin_stream_ex source(nullptr, in);
  EXPECT_TRUE(source.open_stdin());
  std::vector<std::string> lines;
  std::string line;
  while (source.next_name(line, trim)) lines.push_back(line);
  fclose(in);
  return lines;
}

TEST(LineSource, TrimsCarriageReturnsAndLineFeeds) {
  EXPECT_EQ(read_lines("a.pcap\r\n\nb c.pcap\r\r\nlast", true),
            (std::vector<std::string>{"a.pcap", "", "b c.pcap", "last"}));
  EXPECT_EQ(read_lines("a\r\n", false), (std::vector<std::string>{"a\r\n"}));
}

TEST(LineSource, DeliversALongLineInBoundedPieces) {
  const std::string long_line(5000, 'n');
  const auto pieces = read_lines(long_line + "\nnext\n", true);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], long_line.substr(0, 4095));
  EXPECT_EQ(pieces[1], long_line.substr(4095));
  EXPECT_EQ(pieces[2], "next");
}

TEST(LineSource, KeepsBytesAfterAnEmbeddedNul) {
  const std::string line("a\0b", 3);
  EXPECT_EQ(read_lines(line + "\n", true), (std::vector<std::string>{line}));
}

TEST(NameConversion, RoundTripsArbitraryBytes) {
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  const std::wstring wide = nelo::widen_name(all);
  EXPECT_EQ(wide.size(), all.size());
  EXPECT_EQ(nelo::narrow_name(wide), all);
  EXPECT_EQ(nelo::narrow_name(L"\x20ac"), "\xe2\x82\xac");
}

}  // namespace
