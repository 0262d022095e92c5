// The `-filter` name patterns: parsing a value such as "*.pcap|*.cap" into entries and deciding
// whether a capture file name passes them (and the optional file-time window of the shared
// options). Names are byte strings: case is folded for ASCII letters only, so the decision never
// depends on the machine's locale.
#ifndef NELO_APP_NAME_FILTER_H_
#define NELO_APP_NAME_FILTER_H_

#include <string>
#include <string_view>
#include <vector>

namespace nelo {

class cmd_params;

// One pattern of a `-filter` value. Patterns are matched against the file-name part of a path,
// except path filters, which are matched against its directory part.
struct filter_entry {
  std::string pattern;          // the pattern as given, lower-cased
  std::string text;             // the pattern without its asterisks
  bool is_path_filter = false;  // `text` begins with '/'
  bool match_all = false;       // the pattern was "*"
  bool leading_star = false;    // "*text": the name ends with `text`
  bool trailing_star = false;   // "text*": the name begins with `text`
};

// Splits a `-filter` value at ',' (or at '|' when it holds no comma), trims the pieces and drops
// empty ones. A "*" among them makes the result a single match-all entry. A ':' is an ordinary
// character: names on this platform have no stream part.
std::vector<filter_entry> parse_filters(std::string_view value);

// True when some entry matches `name`, tried in order. The file-name part is the text after the
// last '/', or the whole name when it has none; the directory part is everything up to and
// including that '/'. An empty list matches nothing (callers treat it as "no filter").
bool name_matches_patterns(std::string_view name, const std::vector<filter_entry>& filters);

// The driver's check of each listed name: an empty name fails; an empty filter list passes every
// other name with nothing else checked. Otherwise, when the shared options gave a file-time
// window, the file's modification time (read once, following symbolic links) must lie inside it,
// and a file whose status cannot be read fails; then the patterns decide.
bool name_passes_filters(const cmd_params& params, std::string_view name,
                         const std::vector<filter_entry>& filters);

}  // namespace nelo

#endif  // NELO_APP_NAME_FILTER_H_
