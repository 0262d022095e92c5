#include "support/fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uni {

fileio::fileio(const std::string& path) {
  open(path);
}

fileio::~fileio() {
  close();
}

bool fileio::open(const std::string& path) {
  if (path.empty()) return false;
  close();
  m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0) return false;
  struct stat st;
  if (::fstat(m_fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    close();
    return false;
  }
  m_opened = true;
  return true;
}

namespace {

// A pipe, or a device that hands out bytes as they come: nothing to seek, and no person typing.
bool is_stream(int fd, const struct stat& st) {
  if (S_ISFIFO(st.st_mode)) return true;
  if (!S_ISCHR(st.st_mode) || isatty(fd) != 0) return false;
  return ::lseek(fd, 0, SEEK_CUR) < 0 && errno == ESPIPE;
}

}  // namespace

bool fileio::open_stream(const std::string& path) {
  if (path.empty()) return false;
  close();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  int flags = O_RDONLY | O_CLOEXEC;
  if (S_ISCHR(st.st_mode)) {
    flags |= O_NONBLOCK;  // judged before it is read; the reader waits for its bytes with poll
  } else if (!S_ISFIFO(st.st_mode)) {
    return false;
  }
  // A FIFO is opened blocking: without a writer yet, a non-blocking one would read as empty.
  m_fd = ::open(path.c_str(), flags);
  if (m_fd < 0) return false;
  if (::fstat(m_fd, &st) != 0 || !is_stream(m_fd, st)) {
    close();
    return false;
  }
  m_opened = true;
  return true;
}

void fileio::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_opened = false;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace uni
