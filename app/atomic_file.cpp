#include "app/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace rectify {

AtomicFile::AtomicFile(std::string final_path) : final_path_(std::move(final_path)) {
    // O_EXCL with a name of our own: never writes through an existing file or
    // link. Mode 0666 lets the umask decide, as for any new file.
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        path_ =
            final_path_ + ".partial-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    created_ = fd_ >= 0;
}

AtomicFile::~AtomicFile() {
    close_file();
    if (created_ && !committed_) {
        unlink(path_.c_str());
    }
}

bool AtomicFile::write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (fd_ >= 0 && size > 0) {
        const ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return fd_ >= 0;
}

bool AtomicFile::commit() {
    if (fd_ < 0 || !close_file() || std::rename(path_.c_str(), final_path_.c_str()) != 0) {
        return false;
    }
    committed_ = true;
    return true;
}

bool AtomicFile::close_file() {
    if (fd_ < 0) {
        return true;
    }
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
}

bool write_file_atomically(const std::string& path, std::string_view bytes) {
    AtomicFile file(path);
    return file.write(bytes.data(), bytes.size()) && file.commit();
}

}  // namespace rectify
