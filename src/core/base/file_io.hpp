// File and directory access for the core: handles that close themselves, opening for reading,
// whole-file reads and path joining. Read failures become BufrError values of kind Io
// carrying the operating system's description and error number.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bufr_error.hpp"

namespace skarvel {

// An owned operating-system handle, released with `Close` when its owner goes, whichever way
// the owner's scope is left.
template <typename Handle, Handle kEmpty, auto Close>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, kEmpty)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, kEmpty);
        }
        return *this;
    }
    ~UniqueHandle() { release(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != kEmpty; }

  private:
    void release() {
        if (handle_ != kEmpty) Close(handle_);
        handle_ = kEmpty;
    }

    Handle handle_ = kEmpty;
};

using FileDescriptor = UniqueHandle<int, -1, ::close>;
using DirectoryStream = UniqueHandle<DIR*, nullptr, ::closedir>;

// Opens `path` for reading (close-on-exec), again when a signal interrupts the call. On
// failure the descriptor is empty and errno says why. A path with an embedded NUL fails with
// EINVAL: the system would open the path cut short at the NUL.
FileDescriptor open_for_reading(const std::string& path);

// Opens the directory `path` for listing; on failure as open_for_reading.
DirectoryStream open_directory(const std::string& path);

// The whole content of the file at `path`.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

// `dir` joined with `name`: the name alone when `dir` is empty, and no second '/' when `dir`
// already ends with one.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace skarvel
