#include "support/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uni {

fileio::fileio(const std::string& path, bool writable, bool create) {
  open(path, writable, create);
}

fileio::~fileio() {
  close();
}

bool fileio::open(const std::string& path, bool writable, bool create) {
  if (path.empty()) return false;
  close();
  int flags = O_NONBLOCK | O_CLOEXEC;
  mode_t mode = 0404;
  if (writable) {
    flags |= O_RDWR | (create ? O_CREAT : 0);
    mode = 0606;
  } else {
    flags |= O_RDONLY;
  }
  m_fd = ::open(path.c_str(), flags, mode);
  if (m_fd < 0) return false;
  struct stat st;
  if (::fstat(m_fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
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
