// `uni::fileio`: a file descriptor held by scope, used to probe that a file can be opened for
// reading before the real work starts. Opening never blocks (a FIFO with no writer would
// otherwise hang the run) and refuses anything that is neither a regular file nor a directory,
// so a device, FIFO or socket named on the command line is reported, not read. Only
// `open_stream` opens a FIFO or pipe, for a caller that means to read it as it comes.
#ifndef NELO_SUPPORT_FILEIO_H_
#define NELO_SUPPORT_FILEIO_H_

#include <string>

namespace uni {

class fileio {
 public:
  fileio() = default;
  // Opens `path` for reading; `is_open` tells whether it worked.
  explicit fileio(const std::string& path);
  fileio(const fileio&) = delete;
  fileio& operator=(const fileio&) = delete;
  virtual ~fileio();

  // Opens for reading. False for an empty path, an open failure, or a file that is neither
  // regular nor a directory.
  bool open(const std::string& path);
  // Opens `path` for reading when it names a stream rather than a file: a FIFO or a pipe (a
  // /dev/fd/N name of one included), waiting for a writer as any reader of a FIFO does, or a
  // character device that cannot seek and is not a terminal. False for anything else, which the
  // caller then opens as a file, and when the open fails or a signal interrupts the wait.
  bool open_stream(const std::string& path);
  bool is_open() const { return m_fd >= 0 && m_opened; }
  // The open descriptor, still owned by this object; -1 when closed.
  int descriptor() const { return m_fd; }
  void close();

 private:
  int m_fd = -1;
  bool m_opened = false;
};

// True when both paths name the same file (device and inode), following symbolic links.
bool same_file(const std::string& a, const std::string& b);

}  // namespace uni

#endif  // NELO_SUPPORT_FILEIO_H_
