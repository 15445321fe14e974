#include "batch/pair_list.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace rectify {
namespace {

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string resolve(const std::string& folder, const std::string& path) {
    return path.starts_with('/') ? path : folder + path;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The line without its comment and its surrounding white space.
std::string strip(const std::string& line) {
    size_t end = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || is_blank(line[i - 1]))) {
            end = i;
            break;
        }
    }
    size_t begin = 0;
    while (begin < end && is_blank(line[begin])) {
        ++begin;
    }
    while (end > begin && is_blank(line[end - 1])) {
        --end;
    }
    return line.substr(begin, end - begin);
}

// Two paths: split at a tab when there is one, else at the run of spaces.
bool split_pair(const std::string& text, std::string& left, std::string& right) {
    const size_t tab = text.find('\t');
    size_t cut = tab;
    if (cut == std::string::npos) {
        cut = text.find(' ');
        if (cut == std::string::npos || text.find(' ', text.find_first_not_of(' ', cut)) !=
                                            std::string::npos) {
            return false;  // one path, or more than two separated by spaces
        }
    } else if (text.find('\t', tab + 1) != std::string::npos) {
        return false;
    }
    left = text.substr(0, cut);
    size_t start = cut;
    while (start < text.size() && is_blank(text[start])) {
        ++start;
    }
    right = text.substr(start);
    while (!left.empty() && is_blank(left.back())) {
        left.pop_back();
    }
    return !left.empty() && !right.empty();
}

struct FolderCloser {
    void operator()(DIR* folder) const { closedir(folder); }
};

std::vector<std::string> regular_files(const std::string& folder) {
    std::unique_ptr<DIR, FolderCloser> listing(opendir(folder.c_str()));
    if (!listing) {
        throw PairListError("Cannot read folder " + folder + ": " + std::strerror(errno) + ".");
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (name != "." && name != ".." && stat((folder + "/" + name).c_str(), &info) == 0 &&
            S_ISREG(info.st_mode)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());  // std::string compares bytes
    return names;
}

}  // namespace

namespace {

// Opens a pair list without blocking on a FIFO that has no writer yet (it then
// reads as empty), and refuses folders.
int open_pair_list(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const std::string why = fd < 0 ? std::strerror(errno) : "it is a folder";
        if (fd >= 0) {
            close(fd);
        }
        throw PairListError("Cannot read pair list " + path + ": " + why + ".");
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the list a line at a time.
class PairListStream : public PairStream {
  public:
    explicit PairListStream(const std::string& path)
        : path_(path), folder_(folder_of(path)) {
        const int fd = open_pair_list(path);
        file_.reset(fdopen(fd, "r"));
        if (!file_) {
            close(fd);
            throw PairListError("Cannot read pair list " + path + ": " + std::strerror(errno) + ".");
        }
    }

    std::optional<PairPaths> next() override {
        std::string line;
        while (read_line(line)) {
            ++line_number_;
            const std::string text = strip(line);
            if (text.empty()) {
                continue;
            }
            PairPaths pair;
            if (!split_pair(text, pair.left, pair.right)) {
                throw PairListError("Cannot read pair list " + path_ + ": line " +
                                    std::to_string(line_number_) +
                                    " is not two paths separated by a tab or by spaces.");
            }
            pair.left = resolve(folder_, pair.left);
            pair.right = resolve(folder_, pair.right);
            return pair;
        }
        return std::nullopt;
    }

  private:
    bool read_line(std::string& line) {
        line.clear();
        int c;
        while ((c = std::getc(file_.get())) != EOF && c != '\n') {
            line += static_cast<char>(c);
        }
        if (c == EOF && std::ferror(file_.get())) {
            throw PairListError("Cannot read pair list " + path_ + ": " + std::strerror(errno) + ".");
        }
        return c != EOF || !line.empty();
    }

    std::string path_, folder_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    size_t line_number_ = 0;
};

class VectorStream : public PairStream {
  public:
    explicit VectorStream(std::vector<PairPaths> pairs) : pairs_(std::move(pairs)) {}
    std::optional<PairPaths> next() override {
        if (index_ >= pairs_.size()) {
            return std::nullopt;
        }
        return pairs_[index_++];
    }

  private:
    std::vector<PairPaths> pairs_;
    size_t index_ = 0;
};

}  // namespace

std::unique_ptr<PairStream> stream_pairs(std::vector<PairPaths> pairs) {
    return std::make_unique<VectorStream>(std::move(pairs));
}

std::unique_ptr<PairStream> stream_pair_list(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        return std::make_unique<PairListStream>(path);
    }
    return stream_pairs(read_pair_list(path));
}

std::vector<PairPaths> read_pair_list(const std::string& path) {
    PairListStream stream(path);
    std::vector<PairPaths> pairs;
    while (std::optional<PairPaths> pair = stream.next()) {
        pairs.push_back(std::move(*pair));
    }
    return pairs;
}

std::vector<PairPaths> pair_folders(const std::string& left_folder,
                                    const std::string& right_folder) {
    const std::vector<std::string> left = regular_files(left_folder);
    const std::vector<std::string> right = regular_files(right_folder);
    if (left.size() != right.size()) {
        const bool more_left = left.size() > right.size();
        const std::vector<std::string>& longer = more_left ? left : right;
        const size_t paired = std::min(left.size(), right.size());
        std::string unpaired;
        for (size_t i = paired; i < longer.size() && i < paired + 10; ++i) {
            unpaired += (i == paired ? "" : ", ") + longer[i];
        }
        if (longer.size() > paired + 10) {
            unpaired += ", ...";
        }
        throw PairListError("The folders hold " + std::to_string(left.size()) + " and " +
                            std::to_string(right.size()) + " files; without a partner in " +
                            (more_left ? left_folder : right_folder) + ": " + unpaired + ".");
    }
    std::vector<PairPaths> pairs;
    for (size_t i = 0; i < left.size(); ++i) {
        pairs.push_back({left_folder + "/" + left[i], right_folder + "/" + right[i]});
    }
    return pairs;
}

}  // namespace rectify
