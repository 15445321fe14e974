#include "imagefiles/image_pair.hpp"

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

namespace rectify {
namespace {

// What the second image's thread works on; shared, since the thread may
// outlive the call when the first image fails.
struct SecondImage {
    std::string path;
    ImageMode mode;
    std::atomic<bool> cancel{false};
    cv::Mat image;

    void read() {
        try {
            std::optional<ImageFile> file = ImageFile::open(path, mode);
            if (file && !cancel.load()) {
                image = file->decode(&cancel);
            }
        } catch (...) {
            image.release();  // out of memory: the image cannot be loaded
        }
    }
};

}  // namespace

ImagePair read_image_pair(const std::string& first_path, const std::string& second_path,
                          ImageMode mode, bool concurrently) {
    ImagePair pair;
    std::optional<ImageFile> first = ImageFile::open(first_path, mode);
    if (!first) {
        pair.failure = ImagePair::Failure::first;
        return pair;
    }
    auto second = std::make_shared<SecondImage>();
    second->path = second_path;
    second->mode = mode;
    std::thread thread;
    try {
        if (concurrently) {
            thread = std::thread([second] { second->read(); });
        }
    } catch (const std::system_error&) {
        // No thread to be had: the second image is read after the first.
    }
    try {
        pair.first = first->decode();
    } catch (...) {
        pair.first.release();  // out of memory: the image cannot be loaded
    }
    if (pair.first.empty()) {
        second->cancel = true;
        if (thread.joinable()) {
            thread.detach();
        }
        pair.failure = ImagePair::Failure::first;
        return pair;
    }
    if (thread.joinable()) {
        thread.join();
    } else {
        second->read();
    }
    pair.second = std::move(second->image);
    if (pair.second.empty()) {
        pair.failure = ImagePair::Failure::second;
    }
    return pair;
}

}  // namespace rectify
