// The `-filter` name patterns: a pattern list from the first line of the input, names from the
// following lines. Beyond memory safety it checks that matching ignores ASCII case and that a
// name built to fit a pattern does match it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/name_filter.h"
#include "fuzz/fuzz_input.h"

namespace {

std::string upper_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// A name in some directory whose file part the entry accepts, or "" when there is none to build.
std::string name_fitting(const nelo::filter_entry& entry) {
  if (entry.match_all) return "any/where.pcap";
  if (entry.is_path_filter || entry.text.find('/') != std::string::npos) return "";
  if (entry.leading_star && entry.trailing_star) return "dir/x" + entry.text + "y";
  if (entry.leading_star) return "dir/x" + entry.text;
  if (entry.trailing_star) return "dir/" + entry.text + "y";
  if (entry.text.empty()) return "";
  return "dir/" + entry.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nelo::fuzz::byte_source in(data, size);
  const std::vector<nelo::filter_entry> filters = nelo::parse_filters(in.until('\n'));

  bool has_match_all = false;
  for (const nelo::filter_entry& entry : filters) {
    NELO_FUZZ_CHECK(!entry.pattern.empty());
    NELO_FUZZ_CHECK(entry.text.find('*') == std::string::npos);
    NELO_FUZZ_CHECK(entry.pattern.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
    has_match_all = has_match_all || entry.match_all;
    const std::string fitting = name_fitting(entry);
    if (!fitting.empty()) NELO_FUZZ_CHECK(nelo::name_matches_patterns(fitting, filters));
  }
  NELO_FUZZ_CHECK(!has_match_all || filters.size() == 1);

  while (in.remaining() > 0) {
    const std::string_view name = in.until('\n');
    const bool matched = nelo::name_matches_patterns(name, filters);
    NELO_FUZZ_CHECK(matched == nelo::name_matches_patterns(upper_ascii(name), filters));
    if (filters.empty()) NELO_FUZZ_CHECK(!matched);
    if (has_match_all) NELO_FUZZ_CHECK(matched);
  }
  return 0;
}
