// Sources of capture file names for list mode: lines of standard input (`-pipe`) or a
// breadth-first walk of a directory tree (`-enumdir`). The source owns its queues and a copy of
// the filters; the driver opens it once and drains it with `next_name`.
#ifndef NELO_APP_LIST_INPUT_H_
#define NELO_APP_LIST_INPUT_H_

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "app/name_filter.h"

namespace uni {

// Reads a list of names through a fixed buffer: each call yields at most LINE_BUFFER_SIZE - 1
// bytes, so a longer entry arrives in pieces and memory stays bounded whatever the input holds.
// Entries end in a line feed, or in a NUL byte when the list is NUL-separated (`find -print0`):
// whichever of the two the input shows first decides for the whole input, so the same list is
// read the same way however a pipe hands it over. The stream is borrowed, never closed.
class stdin_stream {
 public:
  static constexpr size_t LINE_BUFFER_SIZE = 4096;

  explicit stdin_stream(FILE* in = stdin);
  stdin_stream(const stdin_stream&) = delete;
  stdin_stream& operator=(const stdin_stream&) = delete;
  virtual ~stdin_stream();

  enum class separator { undecided, line_feed, nul };

  // The next piece of an entry, its separator included when it fit; false at end of input or on
  // a read error before any byte. Until the separator is decided, a piece ends at either.
  bool read_line(std::string& out);
  bool is_open() const { return m_open; }
  separator list_separator() const { return m_separator; }

 private:
  FILE* m_in;
  char m_line[LINE_BUFFER_SIZE];
  bool m_open;
  separator m_separator = separator::undecided;
};

}  // namespace uni

namespace koportdir {

class stdin_stream_ex : public uni::stdin_stream {
 public:
  // Every open drops the state of the one before: the source works only from what `open_dir`
  // was given, its own filter copy.
  explicit stdin_stream_ex(FILE* in = stdin);
  ~stdin_stream_ex() override;

  // Line mode. Always true: a line source cannot fail to open, end of input ends it.
  bool open_stdin();
  // Walk mode over `dir`: its files, then down to `depth_limit` levels of subdirectories, breadth
  // first, each directory's entries in byte order of their names. Only files that pass the
  // patterns of `filters` (all files when it is empty) are yielded. False for an empty name.
  bool open_dir(const std::string& dir, uint32_t depth_limit,
                const std::vector<nelo::filter_entry>& filters);

  // The next name; false when the input or the walk is exhausted. With `trim`, a name read from
  // the stream loses the NUL that ends it in a NUL-separated list, and its trailing carriage
  // returns and line feeds in a list of lines; a NUL-separated name keeps every other byte, line
  // ends included. Symbolic links are yielded as files and never followed; a directory that
  // cannot be listed contributes nothing.
  virtual bool next_name(std::string& out, bool trim);
  // The subdirectories the walk has seen so far but not entered, being past the depth limit.
  uint64_t dirs_not_walked() const { return m_dirs_not_walked; }

 private:
  void reset();
  void list_directory(const std::string& dir, uint32_t depth);

  std::deque<std::pair<std::string, uint32_t>> m_dirs;  // still to list, with their depth
  std::deque<std::string> m_files;                      // found and not yet handed out
  uint32_t m_depth_limit = 0;
  std::vector<nelo::filter_entry> m_filters;
  bool m_walk = false;
  uint64_t m_dirs_not_walked = 0;
};

}  // namespace koportdir

#endif  // NELO_APP_LIST_INPUT_H_
