#include "base/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace skarvel {

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

FileDescriptor open_for_reading(const std::string& path) {
    if (has_nul(path)) {
        errno = EINVAL;
        return FileDescriptor();
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

DirectoryStream open_directory(const std::string& path) {
    if (has_nul(path)) {
        errno = EINVAL;
        return DirectoryStream();
    }
    return DirectoryStream(::opendir(path.c_str()));
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir);
    if (!dir.empty() && dir.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
    const FileDescriptor fd = open_for_reading(path);
    if (!fd) return BufrError::io_errno(errno);

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
