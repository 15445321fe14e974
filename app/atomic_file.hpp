#pragma once
// Files that appear whole or not at all: written under a temporary name in the
// same folder, then renamed over the final name.

#include <cstddef>
#include <string>
#include <string_view>

namespace rectify {

// Owns the temporary file: closes it, and removes it unless it was committed.
// A process killed mid-write leaves at most a stray temporary, never a
// truncated file under the final name, and an earlier file there stays as it
// was until the rename. (The data is not forced to disk before the rename: the
// guarantee is about the process failing, not the machine.)
class AtomicFile {
  public:
    explicit AtomicFile(std::string final_path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool write(const void* data, std::size_t size);
    // Closes the file (a delayed write error shows here) and renames it.
    bool commit();

  private:
    bool close_file();

    std::string final_path_, path_;
    int fd_ = -1;
    bool created_ = false;
    bool committed_ = false;
};

bool write_file_atomically(const std::string& path, std::string_view bytes);

}  // namespace rectify
