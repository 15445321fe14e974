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

FileSource::FileSource(int fd) : fd_(fd), buffer_(BUFFER_BYTES) {
    struct stat status {};
    if (fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
        size_ = status.st_size;
    }
}

FileSource::~FileSource() { ::close(fd_); }

bool FileSource::fill() {
    if (failed_) {
        return false;
    }
    consumed_ += static_cast<long long>(end_);
    position_ = end_ = 0;
    const ssize_t got = read_some(fd_, buffer_.data(), buffer_.size());
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
        std::memmove(buffer_.data(), buffer_.data() + position_, end_ - position_);
        consumed_ += static_cast<long long>(position_);
        end_ -= position_;
        position_ = 0;
        n = std::min(n, buffer_.size());
        while (end_ < n) {
            const ssize_t got = read_some(fd_, buffer_.data() + end_, buffer_.size() - end_);
            if (got <= 0) {
                failed_ = got < 0;
                break;
            }
            end_ += static_cast<size_t>(got);
        }
    }
    available = end_ - position_;
    return buffer_.data() + position_;
}

size_t FileSource::read(unsigned char* destination, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (position_ == end_) {
            // Large reads go straight into the destination.
            if (n - done >= buffer_.size() && !failed_) {
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
        std::memcpy(destination + done, buffer_.data() + position_, take);
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
    const unsigned char* chunk = buffer_.data() + position_;
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
