#pragma once
// Files that appear whole or not at all: written under a temporary name in the
// same folder, then renamed over the final name. A run's outputs are renamed
// together, back to back, once every one of them is completely written.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rectify {

struct CommitFailure;

// Owns the temporary file: closes it, and removes it unless it was renamed into
// place. Where the file system allows (O_TMPFILE), the temporary has no name
// until the commit, so a process killed at any moment, even by SIGKILL, leaves
// nothing behind but in the microseconds of the commit itself. Elsewhere it
// has a short hidden name of its own in the final file's folder
// (".stereo-rectify-XXXXXX"), so it fits wherever the final name fits, and
// SIGINT, SIGTERM and SIGHUP remove it once remove_temporaries_on_signals() is
// in force. Either way it is created with mode 0666 less the umask, like any
// new file, and a truncated file never stands under the final name. (The data
// is not forced to disk before the rename: the guarantee is about the process
// failing, not the machine.)
class AtomicFile {
  public:
    // named: always a named temporary, as on file systems without unnamed
    // files (for tests of that path).
    enum class Temporary { unnamed_where_possible, named };
    explicit AtomicFile(std::string final_path,
                        Temporary temporary = Temporary::unnamed_where_possible);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& final_path() const { return final_path_; }
    // The temporary's descriptor, for writers that need to seek in it; -1
    // when it could not be created. Not to be closed.
    int descriptor() const { return fd_; }
    // The time spent in write() so far, in seconds: how long handing the
    // bytes to the system took, as opposed to making them.
    double seconds_writing() const { return seconds_writing_; }
    bool write(const void* data, std::size_t size);
    // Closes the temporary; a delayed write error shows here. Once finished,
    // the file waits for commit() or commit_together().
    bool finish();
    // finish(), then the checks and the rename of commit_together().
    bool commit();

  private:
    friend bool commit_together(const std::vector<AtomicFile*>& files, CommitFailure& failure);
    bool rename_into_place();
    bool name_unnamed_file();

    std::string final_path_;
    std::string name_;       // the final file name within its folder
    std::string temporary_;  // the temporary's name within the folder
    int folder_fd_ = -1;
    int fd_ = -1;
    int cleanup_slot_ = -1;
    bool unnamed_ = false;  // an O_TMPFILE file, named only when committed
    bool finished_ = false;
    bool committed_ = false;
    double seconds_writing_ = 0.0;
};

// Whether a file may be replaced by an output: it does not exist, or it is a
// regular file, or a symbolic link (dangling, or to a regular file: the link
// itself is replaced, as mv would). Folders, devices, FIFOs and sockets are not.
bool replaceable_by_output(const std::string& path);

// Whether the file name of path is within what its folder's file system takes
// (true when that cannot be told, e.g. the folder is missing).
bool name_fits_file_system(const std::string& path);

// Renames finished files into place, in order, back to back, with SIGINT,
// SIGTERM and SIGHUP held off until the last rename is done. Every final path
// is checked to be replaceable first, so a file that turned into a folder or a
// device since the run began stops the commit before anything is renamed.
struct CommitFailure {
    std::string path;
    bool not_regular = false;  // refused by the check, not a failed rename
};
bool commit_together(const std::vector<AtomicFile*>& files, CommitFailure& failure);

bool write_file_atomically(const std::string& path, std::string_view bytes);

}  // namespace rectify
