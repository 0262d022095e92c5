#include "app/name_filter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

#include "app/cmd_params.h"
#include "support/ascii_text.h"

namespace nelo {

namespace {

filter_entry make_entry(std::string_view pattern) {
  filter_entry entry;
  entry.pattern = std::string(pattern);
  entry.text = entry.pattern;
  // Asterisks come out one at a time from the left, so "**x" still counts as a leading star and
  // "x**" as a trailing one; an asterisk in the middle is simply dropped.
  for (size_t star = entry.text.find('*'); star != std::string::npos; star = entry.text.find('*')) {
    if (star == 0) {
      entry.leading_star = true;
    } else if (star + 1 == entry.text.size()) {
      entry.trailing_star = true;
    }
    entry.text.erase(star, 1);
  }
  entry.is_path_filter = !entry.text.empty() && entry.text[0] == '/';
  return entry;
}

bool ends_at_component(std::string_view dir, size_t end) {
  return end == dir.size() || dir[end] == '/';
}

// A path filter matches when its text occurs in the directory part and ends at a component
// boundary; every occurrence is tried, so "/cap" finds "/x/cap/" even after "/capture".
bool path_matches(std::string_view dir, std::string_view text) {
  if (text.empty()) return false;
  for (size_t at = dir.find(text); at != std::string_view::npos; at = dir.find(text, at + 1)) {
    if (ends_at_component(dir, at + text.size())) return true;
  }
  return false;
}

bool entry_matches(const filter_entry& entry, std::string_view dir, std::string_view file) {
  if (entry.is_path_filter) {
    if (path_matches(dir, entry.text)) return true;
    if (dir.find('\\') == std::string_view::npos) return false;
    std::string slashed(dir);
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    return path_matches(slashed, entry.text);
  }
  if (entry.match_all) return true;
  const std::string_view text = entry.text;
  if (entry.leading_star && entry.trailing_star) return file.find(text) != std::string_view::npos;
  if (entry.leading_star) return file.ends_with(text);
  if (entry.trailing_star) return file.starts_with(text);
  return !text.empty() && file == text;
}

bool inside_time_window(const cmd_params& params, std::string_view name) {
  struct stat st {};
  if (stat(std::string(name).c_str(), &st) != 0) return false;
  const int64_t mtime = static_cast<int64_t>(st.st_mtime);
  if (params.file_time_start_given && mtime < params.file_time_start) return false;
  if ((params.file_time_start_given || params.file_time_stop_given) &&
      mtime > params.file_time_stop)
    return false;
  return true;
}

}  // namespace

std::vector<filter_entry> parse_filters(std::string_view value) {
  const std::string lowered = lower_text(value);
  const char separator = lowered.find(',') != std::string::npos   ? ','
                         : lowered.find('|') != std::string::npos ? '|'
                                                                  : '\0';
  std::vector<std::string_view> patterns;
  std::string_view rest = lowered;
  while (true) {
    const size_t cut = separator != '\0' ? rest.find(separator) : std::string_view::npos;
    const std::string_view piece = trim_blanks(rest.substr(0, cut));
    if (!piece.empty()) patterns.push_back(piece);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }

  std::vector<filter_entry> entries;
  if (std::find(patterns.begin(), patterns.end(), "*") != patterns.end()) {
    filter_entry all;
    all.pattern = "*";
    all.match_all = true;
    entries.push_back(std::move(all));
    return entries;
  }
  entries.reserve(patterns.size());
  for (std::string_view p : patterns) entries.push_back(make_entry(p));
  return entries;
}

bool name_matches_patterns(std::string_view name, const std::vector<filter_entry>& filters) {
  if (filters.size() == 1 && filters[0].match_all) return true;
  // A bare name (as `ls` prints them) has an empty directory part and is matched on its own.
  const size_t slash = name.rfind('/');
  const size_t file_start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string file = lower_text(name.substr(file_start));
  std::string dir;
  bool dir_lowered = false;
  for (const filter_entry& entry : filters) {
    if (entry.is_path_filter && !dir_lowered) {
      dir = lower_text(name.substr(0, file_start));
      dir_lowered = true;
    }
    if (entry_matches(entry, dir, file)) return true;
  }
  return false;
}

bool name_passes_filters(const cmd_params& params, std::string_view name,
                         const std::vector<filter_entry>& filters) {
  if (name.empty()) return false;
  if (filters.empty()) return true;
  if ((params.file_time_start_given || params.file_time_stop_given) &&
      !inside_time_window(params, name))
    return false;
  return name_matches_patterns(name, filters);
}

}  // namespace nelo
