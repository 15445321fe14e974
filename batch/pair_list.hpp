#pragma once
// The pairs a batch run rectifies: given on the command line, listed in a
// file, or paired from two folders.

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rectify {

struct PairPaths {
    std::string left, right;
};

// A list that cannot be read or paired; what() is one line without a line end.
class PairListError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Pairs one at a time, so that a list of any length is never held whole.
class PairStream {
  public:
    virtual ~PairStream() = default;
    // The next pair, or nothing at the end. Throws PairListError.
    virtual std::optional<PairPaths> next() = 0;
};

// The pairs of a vector, in order.
std::unique_ptr<PairStream> stream_pairs(std::vector<PairPaths> pairs);

// A pair list file read as a stream (see read_pair_list for the format). A
// regular file is read lazily, a line at a time; a pipe or FIFO, which can be
// read only once, is read whole up front (its paths, not any image).
std::unique_ptr<PairStream> stream_pair_list(const std::string& path);

// One pair a line, the two paths separated by a tab or by spaces, relative to
// the file's folder (absolute ones as they are); blank lines and everything
// from a "#" that starts a line or follows white space are ignored. A path
// holding spaces is separated from the other by a tab. Throws PairListError
// naming the file and line of a line that is not two paths.
std::vector<PairPaths> read_pair_list(const std::string& path);

// The regular files of two folders (links to regular files included), paired
// in the byte order of their names, never by locale. Throws PairListError
// when the counts differ, listing the files that have no partner by position
// (at most ten), or when a folder cannot be read.
std::vector<PairPaths> pair_folders(const std::string& left_folder,
                                    const std::string& right_folder);

}  // namespace rectify
