#include "base/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace skarvel {

namespace {

// Closes the descriptor on every path out of read_whole_file.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
    // The system would silently cut the path at an embedded NUL and open another file.
    if (path.find('\0') != std::string::npos) return BufrError::io_errno(EINVAL);
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return BufrError::io_errno(errno);

    // The size is only a hint for the first allocation: files may grow or shrink while read,
    // and special files report 0. One spare octet lets a file of the hinted size end with a
    // read of 0 instead of a reallocation.
    std::size_t capacity = 65536;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        capacity = static_cast<std::size_t>(st.st_size) + 1;
    }
    std::vector<std::uint8_t> data(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) data.resize(data.size() * 2);
        ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return BufrError::io_errno(errno);
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    data.resize(used);
    return data;
}

}  // namespace skarvel
