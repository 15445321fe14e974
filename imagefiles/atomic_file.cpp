#include "imagefiles/atomic_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "imagefiles/signal_cleanup.hpp"

namespace rectify {
namespace {

// ".stereo-rectify-" and six random letters or digits.
std::string temporary_name(unsigned attempt) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        // No entropy to be had: a name from the process and the attempt, which
        // O_EXCL still keeps from clashing with anything.
        const unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + attempt * 40503u;
        for (unsigned i = 0; i < sizeof random; ++i) {
            random[i] = static_cast<unsigned char>(seed >> (4 * i));
        }
    }
    std::string name = ".stereo-rectify-";
    for (const unsigned char byte : random) {
        name += alphabet[byte % (sizeof alphabet - 1)];
    }
    return name;
}

}  // namespace

AtomicFile::AtomicFile(std::string final_path, Temporary temporary)
    : final_path_(std::move(final_path)) {
    const size_t slash = final_path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : final_path_.substr(0, slash);
    name_ = slash == std::string::npos ? final_path_ : final_path_.substr(slash + 1);
    if (name_.empty() || name_ == "." || name_ == "..") {
        return;
    }
    folder_fd_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd_ < 0) {
        return;
    }
    // Where the file system allows it, the data goes to a file with no name
    // at all, which no kill can leave behind; it gets its names only when
    // the run commits. Linking it then goes through /proc/self/fd.
    if (temporary == Temporary::unnamed_where_possible && access("/proc/self/fd", X_OK) == 0) {
        fd_ = openat(folder_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        unnamed_ = fd_ >= 0;
    }
    // Elsewhere, O_EXCL with a name of our own: never writes through an
    // existing file or link. Mode 0666 lets the umask decide, as for any new
    // file. Signals wait until the name is registered for removal.
    for (unsigned attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = temporary_name(attempt);
        const TerminationSignalsBlocked blocked;
        fd_ = openat(folder_fd_, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            cleanup_slot_ = register_temporary(folder_fd_, temporary_.c_str());
        } else if (errno != EEXIST) {
            break;
        }
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) {
        ::close(fd_);  // an unnamed file vanishes with its last descriptor
    }
    if (!unnamed_ && !committed_ && (fd_ >= 0 || finished_)) {
        unlinkat(folder_fd_, temporary_.c_str(), 0);
    }
    release_temporary(cleanup_slot_);
    if (folder_fd_ >= 0) {
        ::close(folder_fd_);
    }
}

bool AtomicFile::write(const void* data, std::size_t size) {
    const auto start = std::chrono::steady_clock::now();
    const auto add_time = [&] {
        seconds_writing_ +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (fd_ >= 0 && size > 0) {
        const ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            add_time();
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    add_time();
    return fd_ >= 0;
}

bool AtomicFile::finish() {
    if (finished_) {
        return true;
    }
    if (fd_ < 0) {
        return false;
    }
    if (unnamed_) {
        finished_ = true;  // kept open: closing it would lose it
        return true;
    }
    const int result = ::close(fd_);
    fd_ = -1;
    finished_ = true;  // the temporary exists either way: the destructor removes it
    return result == 0;
}

bool AtomicFile::commit() {
    CommitFailure failure;
    return finish() && commit_together({this}, failure);
}

bool AtomicFile::name_unnamed_file() {
    const std::string descriptor = "/proc/self/fd/" + std::to_string(fd_);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temporary_ = temporary_name(attempt);
        if (linkat(AT_FDCWD, descriptor.c_str(), folder_fd_, temporary_.c_str(),
                   AT_SYMLINK_FOLLOW) == 0) {
            break;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    // A delayed write error shows when the file is closed.
    const int result = ::close(fd_);
    fd_ = -1;
    unnamed_ = false;
    if (result != 0) {
        unlinkat(folder_fd_, temporary_.c_str(), 0);
        return false;
    }
    return true;
}

bool AtomicFile::rename_into_place() {
    if (unnamed_ && !name_unnamed_file()) {
        return false;
    }
    if (renameat(folder_fd_, temporary_.c_str(), folder_fd_, name_.c_str()) != 0) {
        return false;
    }
    committed_ = true;
    release_temporary(cleanup_slot_);
    cleanup_slot_ = -1;
    return true;
}

bool replaceable_by_output(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    if (S_ISREG(info.st_mode)) {
        return true;
    }
    if (!S_ISLNK(info.st_mode)) {
        return false;
    }
    // A link: what it points to decides; a dangling link is simply replaced.
    if (stat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    return S_ISREG(info.st_mode);
}

bool name_fits_file_system(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const size_t name_length = slash == std::string::npos ? path.size() : path.size() - slash - 1;
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    return longest <= 0 || name_length <= static_cast<size_t>(longest);
}

bool commit_together(const std::vector<AtomicFile*>& files, CommitFailure& failure) {
    for (AtomicFile* file : files) {
        if (!file->finished_ || file->folder_fd_ < 0) {
            failure = {file->final_path(), false};
            return false;
        }
    }
    for (AtomicFile* file : files) {
        if (!replaceable_by_output(file->final_path())) {
            failure = {file->final_path(), true};
            return false;
        }
    }
    const TerminationSignalsBlocked blocked;
    for (AtomicFile* file : files) {
        if (!file->rename_into_place()) {
            failure = {file->final_path(), false};
            return false;
        }
    }
    return true;
}

bool write_file_atomically(const std::string& path, std::string_view bytes) {
    AtomicFile file(path);
    return file.write(bytes.data(), bytes.size()) && file.commit();
}

}  // namespace rectify
