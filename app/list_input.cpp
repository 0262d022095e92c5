#include "app/list_input.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace uni {

stdin_stream::stdin_stream(FILE* in) : m_in(in), m_line{}, m_open(in != nullptr) {}

stdin_stream::~stdin_stream() = default;

bool stdin_stream::read_line(std::string& out) {
  out.clear();
  if (!m_open) return false;
  // Byte by byte rather than fgets, so a NUL inside a line cannot hide the bytes after it.
  size_t n = 0;
  while (n < LINE_BUFFER_SIZE - 1) {
    const int c = std::getc(m_in);
    if (c == EOF) break;
    m_line[n++] = static_cast<char>(c);
    if (c == '\n' && m_separator != separator::nul) {
      m_separator = separator::line_feed;
      break;
    }
    if (c == '\0' && m_separator != separator::line_feed) {
      m_separator = separator::nul;
      break;
    }
  }
  if (n == 0) return false;
  out.assign(m_line, n);
  return true;
}

}  // namespace uni

namespace koportdir {

namespace {

// Uses the listing's own type where the file system provides it, to spare one lstat per entry;
// otherwise asks lstat, which never follows a symbolic link. An entry that vanished is a file:
// the reader will report it.
bool is_directory(const struct dirent& entry, const std::string& path) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

stdin_stream_ex::stdin_stream_ex(FILE* in) : uni::stdin_stream(in) {}

stdin_stream_ex::~stdin_stream_ex() = default;

void stdin_stream_ex::reset() {
  m_dirs.clear();
  m_files.clear();
  m_filters.clear();
  m_walk = false;
  m_dirs_not_walked = 0;
}

bool stdin_stream_ex::open_stdin() {
  reset();
  m_depth_limit = 1;
  return true;
}

bool stdin_stream_ex::open_dir(const std::string& dir, uint32_t depth_limit,
                               const std::vector<nelo::filter_entry>& filters) {
  if (dir.empty()) return false;
  reset();
  m_depth_limit = depth_limit;
  m_filters = filters;
  m_dirs.emplace_back(dir, 0);
  m_walk = true;
  return true;
}

void stdin_stream_ex::list_directory(const std::string& dir, uint32_t depth) {
  std::unique_ptr<DIR, dir_closer> handle(opendir(dir.c_str()));
  if (!handle) return;

  // Exactly one '/' between the directory and each entry, however the directory was written.
  std::string base = dir;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base != "/") base.push_back('/');

  std::vector<std::pair<std::string, bool>> entries;
  while (const struct dirent* entry = readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = base + std::string(name);
    const bool is_dir = is_directory(*entry, path);
    entries.emplace_back(std::move(path), is_dir);
  }
  handle.reset();
  // Listing order differs between file systems; sorted entries make every run alike.
  std::sort(entries.begin(), entries.end());

  for (auto& [path, is_dir] : entries) {
    if (is_dir) {
      if (depth < m_depth_limit)
        m_dirs.emplace_back(std::move(path), depth + 1);
      else
        ++m_dirs_not_walked;
    } else if (m_filters.empty() || nelo::name_matches_patterns(path, m_filters)) {
      m_files.push_back(std::move(path));
    }
  }
}

bool stdin_stream_ex::next_name(std::string& out, bool trim) {
  out.clear();
  if (!m_walk) {
    if (!read_line(out)) return false;
    if (!trim) return true;
    if (list_separator() == separator::nul) {
      if (!out.empty() && out.back() == '\0') out.pop_back();
    } else {
      while (!out.empty() && (out.back() == '\r' || out.back() == '\n')) out.pop_back();
    }
    return true;
  }
  while (m_files.empty()) {
    if (m_dirs.empty()) return false;
    auto [dir, depth] = std::move(m_dirs.front());
    m_dirs.pop_front();
    if (depth > m_depth_limit) continue;
    list_directory(dir, depth);
  }
  out = std::move(m_files.front());
  m_files.pop_front();
  return true;
}

}  // namespace koportdir
