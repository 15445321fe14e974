#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "imagefiles/decoder.hpp"

namespace rectify::detail {
namespace {

// Large enough that a 12 MP file is read in a few hundred system calls.
constexpr size_t BUFFER_BYTES = size_t{256} << 10;

// One read(2), retried when interrupted: bytes read, 0 at the end, -1 on error.
ssize_t read_some(int fd, unsigned char* destination, size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd, destination, n);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

}  // namespace

FileSource::FileSource(int fd) : fd_(fd) {
    struct stat status {};
    if (fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
        size_ = status.st_size;
    }
    // A small file gets a buffer its size (plus one, to see the end at once).
    capacity_ = size_ >= 0 ? std::clamp<size_t>(static_cast<size_t>(size_) + 1, 64, BUFFER_BYTES)
                           : BUFFER_BYTES;
    buffer_ = std::make_unique_for_overwrite<unsigned char[]>(capacity_);
}

FileSource::~FileSource() {
    ::close(fd_);
}

bool FileSource::fill() {
    if (failed_) {
        return false;
    }
    consumed_ += static_cast<long long>(end_);
    position_ = end_ = 0;
    const ssize_t got = read_some(fd_, buffer_.get(), capacity_);
    if (got < 0) {
        failed_ = true;
        return false;
    }
    end_ = static_cast<size_t>(got);
    return end_ > 0;
}

const unsigned char* FileSource::peek(size_t n, size_t& available) {
    if (end_ - position_ < n && !failed_) {
        // Move what is left to the front and read until n bytes are there.
        std::memmove(buffer_.get(), buffer_.get() + position_, end_ - position_);
        consumed_ += static_cast<long long>(position_);
        end_ -= position_;
        position_ = 0;
        n = std::min(n, capacity_);
        while (end_ < n) {
            const ssize_t got = read_some(fd_, buffer_.get() + end_, capacity_ - end_);
            if (got <= 0) {
                failed_ = got < 0;
                break;
            }
            end_ += static_cast<size_t>(got);
        }
    }
    available = end_ - position_;
    return buffer_.get() + position_;
}

size_t FileSource::read(unsigned char* destination, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (position_ == end_) {
            // Large reads go straight into the destination.
            if (n - done >= capacity_ && !failed_) {
                const ssize_t got = read_some(fd_, destination + done, n - done);
                if (got <= 0) {
                    failed_ = got < 0;
                    break;
                }
                consumed_ += got;
                done += static_cast<size_t>(got);
                continue;
            }
            if (!fill()) {
                break;
            }
        }
        const size_t take = std::min(n - done, end_ - position_);
        std::memcpy(destination + done, buffer_.get() + position_, take);
        position_ += take;
        done += take;
    }
    return done;
}

const unsigned char* FileSource::next_chunk(size_t& size) {
    if (position_ == end_) {
        fill();
    }
    size = end_ - position_;
    const unsigned char* chunk = buffer_.get() + position_;
    position_ = end_;
    return chunk;
}

std::vector<unsigned char> FileSource::read_all() {
    std::vector<unsigned char> bytes;
    size_t size = 0;
    for (const unsigned char* chunk = next_chunk(size); size > 0; chunk = next_chunk(size)) {
        bytes.insert(bytes.end(), chunk, chunk + size);
    }
    return bytes;
}

}  // namespace rectify::detail
