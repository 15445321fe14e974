#pragma once
// Reading the two images of a stereo pair: the first one's header is read
// before anything of the second is touched, then both decode at once.

#include <string>

#include <opencv2/core.hpp>

#include "imagefiles/image_file.hpp"

namespace rectify {

struct ImagePair {
    enum class Failure { none, first, second };
    cv::Mat first, second;  // both set when failure is none
    Failure failure = Failure::none;
};

// Opens the first file and reads its header; a failure there ends the reading
// before the second file is opened. Otherwise the second file is opened and
// decoded on a thread of its own (in this thread, after the first, where no
// thread can be started) while the first decodes here. When the first decode
// fails, the second is abandoned: it is told to stop and not waited for (a
// FIFO that never delivers cannot hold the caller), and the failure is the
// first's, whatever became of the second.
// With concurrently false, the second is read after the first in this thread
// (for callers that already keep every processor busy).
ImagePair read_image_pair(const std::string& first_path, const std::string& second_path,
                          ImageMode mode, bool concurrently = true);

}  // namespace rectify
