// -save_summary and -merge: the tables saved over the parts of a list, merged, show what one
// -summary run over the whole list shows, in every form and however the list is split; a file
// that is not a whole saved table of this version is refused by name with nothing shown.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;
using testing::without_run_header;

constexpr int STATUS_REFUSED = 255;

std::vector<std::string> identity_list() {
  std::vector<std::string> list;
  for (const char* name :
       {"sender_cisco.cap", "sender_iputils.cap", "sender_iputils_untimed.cap", "sender_bsd.cap",
        "sender_rotating.cap", "sender_constant.cap", "real_iputils.cap", "channel_linux_text.cap",
        "channel_sentence.cap", "real_hping3.cap", "real_icmptx.cap", "real_ptunnel_answering.cap",
        "real_ptunnel_silent.cap"}) {
    list.push_back(std::string(NELO_TEST_DATA_DIR) + "/labelled/" + name);
  }
  for (const char* name : {"pings.pcap", "icmp_tunnels.pcap", "fragments.pcap"}) {
    list.push_back(std::string(NELO_TEST_DATA_DIR) + "/" + name);
  }
  return list;
}

std::string lines(const std::vector<std::string>& names, size_t from, size_t to) {
  std::string text;
  for (size_t i = from; i < to; ++i) text += names[i] + '\n';
  return text;
}

std::vector<std::string> form_args(const std::string& form, std::vector<std::string> args) {
  if (form != "padded") args.push_back("-" + form);
  return args;
}

// The summary a run shows: in the padded form, from its column header on, past the run header
// and the announcement of each capture walked, which a merge does not walk.
std::string summary_of(const std::string& form, const std::string& out) {
  if (form != "padded") return out;
  const size_t at = out.find("\nproto ");
  return at == std::string::npos ? "" : out.substr(at + 1);
}

// The saved table of the captures [from, to) of `list`, made once per part.
class saved_parts {
 public:
  explicit saved_parts(std::vector<std::string> list) : m_list(std::move(list)) {}
  const std::string& of(size_t from, size_t to) {
    std::string& path = m_saved[{from, to}];
    if (path.empty()) {
      path = testing::temp_dir() + "/part_" + std::to_string(from) + "_" + std::to_string(to);
      const auto run = run_nelo_in_process({"-pipe", "-summary", "-save_summary", path},
                                           lines(m_list, from, to));
      EXPECT_EQ(run.status, 0) << run.err;
    }
    return path;
  }

 private:
  std::vector<std::string> m_list;
  std::map<std::pair<size_t, size_t>, std::string> m_saved;
};

class MergeIdentity : public ::testing::TestWithParam<const char*> {};

// Every split of the list into 1 to 4 contiguous parts, as the cut points after which a new part
// begins.
TEST_P(MergeIdentity, EverySplitMergesToTheWholeRun) {
  const std::string form = GetParam();
  const std::vector<std::string> list = identity_list();
  const size_t n = list.size();
  const auto whole = run_nelo_in_process(form_args(form, {"-pipe", "-summary"}), lines(list, 0, n));
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::string expected = summary_of(form, whole.out);
  ASSERT_NE(expected.find("ptunnel"), std::string::npos);
  saved_parts parts(list);
  size_t splits = 0;
  for (size_t a = 1; a <= n; ++a) {
    for (size_t b = a; b <= n; ++b) {
      for (size_t c = b; c <= n; ++c) {
        // Cuts equal to n, or to the one before, are unused: one of each split counts.
        if ((b == a && b != n) || (c == b && c != n)) continue;
        std::vector<size_t> ends = {a, b, c, n};
        std::string names;
        size_t from = 0;
        for (const size_t end : ends) {
          if (end == from) continue;
          names += parts.of(from, end) + '\n';
          from = end;
        }
        ++splits;
        const auto merged = run_nelo_in_process(form_args(form, {"-merge", "-"}), names);
        ASSERT_EQ(merged.status, 0) << names << merged.err;
        ASSERT_EQ(summary_of(form, merged.out), expected) << names;
      }
    }
  }
  // 1 + 15 + 105 + 455 ways to split 16 captures into at most 4 parts.
  EXPECT_EQ(splits, 576u);

  // A tree: merges of merges, saved again.
  const std::string left = testing::temp_dir() + "/left", right = testing::temp_dir() + "/right";
  ASSERT_EQ(run_nelo_in_process({"-merge", "-", "-save_summary", left},
                                parts.of(0, 3) + '\n' + parts.of(3, 9) + '\n')
                .status,
            0);
  ASSERT_EQ(run_nelo_in_process({"-merge", parts.of(9, n), "-save_summary", right}).status, 0);
  std::string nul_separated = left + '\0' + right;
  const auto tree = run_nelo_in_process(form_args(form, {"-merge", "-"}), nul_separated);
  ASSERT_EQ(tree.status, 0) << tree.err;
  EXPECT_EQ(summary_of(form, tree.out), expected);
}

INSTANTIATE_TEST_SUITE_P(Forms, MergeIdentity, ::testing::Values("padded", "csv", "json"),
                         [](const auto& info) { return std::string(info.param); });

struct bad_table {
  const char* name;
  // Makes the bad file from a good saved table's bytes; empty for a file given as it is.
  void (*spoil)(bytes&);
  const char* file;  // under the test data, when not made from a saved table
  const char* said;
};

const bad_table BAD_TABLES[] = {
    {"flipped_byte", [](bytes& b) { b[b.size() / 2] ^= 0x20; }, nullptr, "checksum"},
    {"truncated", [](bytes& b) { b.resize(b.size() - 9); }, nullptr, "truncated"},
    {"header_only", [](bytes& b) { b.resize(44); }, nullptr, "truncated"},
    {"other_version", [](bytes& b) { b[8] = 2; }, nullptr, "version 2"},
    {"other_layout", [](bytes& b) { b[16] ^= 1; }, nullptr, "layout"},
    {"other_fingerprints", [](bytes& b) { b[36] ^= 1; }, nullptr, "fingerprints differ"},
    // Two capture names trade places: every byte is there, in another order.
    {"reordered",
     [](bytes& b) {
       const std::string text(b.begin(), b.end());
       const size_t first = text.find("sender_cisco"), second = text.find("sender_bsd");
       std::swap_ranges(b.begin() + static_cast<long>(first),
                        b.begin() + static_cast<long>(first) + 10,
                        b.begin() + static_cast<long>(second));
     },
     nullptr, "checksum"},
    {"a_capture", nullptr, "pings.pcap", "not a saved summary"},
    {"text", nullptr, "not_a_capture.txt", "not a saved summary"},
    {"empty", nullptr, "empty_file", "not a saved summary"},
};

void PrintTo(const bad_table& bad, std::ostream* out) {
  *out << bad.name;
}

class BadTable : public ::testing::TestWithParam<bad_table> {};

TEST_P(BadTable, IsRefusedByNameWithNothingShown) {
  const bad_table& bad = GetParam();
  std::string path;
  if (bad.file != nullptr) {
    path = std::string(NELO_TEST_DATA_DIR) + "/" + bad.file;
  } else {
    const std::vector<std::string> list = identity_list();
    const std::string good = testing::temp_dir() + "/good";
    ASSERT_EQ(run_nelo_in_process({"-pipe", "-summary", "-save_summary", good},
                                  lines(list, 0, list.size()))
                  .status,
              0);
    bytes b = testing::read_file(good);
    bad.spoil(b);
    path = testing::write_temp_file(bad.name, b);
  }
  const std::string good_part = testing::temp_dir() + "/part";
  ASSERT_EQ(run_nelo_in_process(
                {"-ifile", identity_list().front(), "-summary", "-save_summary", good_part})
                .status,
            0);
  for (const char* form : {"padded", "json"}) {
    // After a good table: nothing of it is shown either.
    const auto run = run_nelo_in_process(form_args(form, {"-merge", "-"}), good_part + '\n' + path);
    EXPECT_EQ(run.status, STATUS_REFUSED) << form;
    // No row in any form: rows have commas, and the run header has none.
    EXPECT_EQ(without_run_header(run.out).find(','), std::string::npos) << form;
    EXPECT_NE(run.err.find("Error: -merge: " + path + ": "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(bad.said), std::string::npos) << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, BadTable, ::testing::ValuesIn(BAD_TABLES),
                         [](const auto& info) { return std::string(info.param.name); });

// A saved table never goes over a capture, the one read or any other; a merge has no messages,
// so what would select them, or walk captures, refuses the line.
TEST(SaveSummary, RefusesToWriteOverACaptureAndToMergeWhatOnlyMessagesCouldAnswer) {
  const std::string capture = std::string(NELO_TEST_DATA_DIR) + "/pings.pcap";
  const std::string copy = testing::write_temp_file("copy.pcap", testing::read_file(capture));
  const std::string nothing_to_select = "Error: -merge: saved tables hold no messages to select";
  const struct {
    std::vector<std::string> args;
    std::string says;
  } rows[] = {
      {{"-ifile", capture, "-summary", "-save_summary", capture},
       "Error: -save_summary: " + capture + " holds a capture"},
      {{"-ifile", capture, "-summary", "-save_summary", copy},
       "Error: -save_summary: " + copy + " holds a capture"},
      {{"-ifile", capture, "-save_summary", copy + ".sum"}, "Error: -save_summary: needs -summary"},
      {{"-merge", "table.sum", "-srcip", "127.0.0.1"}, nothing_to_select},
      {{"-merge", "table.sum", "-icmp_type", "echo"}, nothing_to_select},
      {{"-merge", "table.sum", "-no_reassembly"}, nothing_to_select},
      {{"-merge", "table.sum", "-ifile", "x.pcap"},
       "Error: -merge: reads saved tables, not captures"},
  };
  for (const auto& row : rows) {
    const auto run = run_nelo_in_process(row.args);
    EXPECT_EQ(run.status, STATUS_REFUSED) << row.says;
    EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
  }
  EXPECT_EQ(testing::read_file(copy), testing::read_file(capture));
}

// The README's recipe, with this machine as both of GNU parallel's hosts: a table per capture,
// returned and merged in list order, shows what one run over the list shows.
TEST(SaveSummary, GnuParallelMapThenMerge) {
  if (testing::run_shell("parallel --version 2>/dev/null | grep -q 'GNU parallel'").status != 0) {
    GTEST_SKIP() << "GNU parallel is missing (scripts/install-deps installs it)";
  }
  const std::vector<std::string> list = identity_list();
  const std::string nelo = NELO_BINARY;
  const std::string dir = testing::temp_dir();
  const std::string names = lines(list, 0, list.size());
  testing::write_temp_file("list", bytes(names.begin(), names.end()));
  const auto mapped =
      testing::run_shell("cd " + dir + " && parallel -S 2/: --return {/.}.sum --cleanup " + nelo +
                         " -ifile {} -summary -save_summary {/.}.sum '>/dev/null' < list && sed "
                         "'s,.*/,,; s,\\.[^.]*$,.sum,' list | " +
                         nelo + " -merge - -csv");
  ASSERT_EQ(mapped.status, 0) << mapped.err;
  const auto whole = run_nelo_in_process({"-pipe", "-summary", "-csv"}, names);
  ASSERT_EQ(whole.status, 0);
  EXPECT_EQ(mapped.out, whole.out);
}

}  // namespace
}  // namespace nelo
