#include "imagefiles/ppm_writer.hpp"

#include "imagefiles/atomic_file.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace rectify {

bool write_ppm_atomically(const std::string& path, const cv::Mat& image) {
    AtomicFile file(path);
    return write_ppm(file, image) && file.commit();
}

bool write_ppm(AtomicFile& file, const cv::Mat& image) {
    CV_Assert(image.type() == CV_8UC3);
    if (!file.ok()) {
        return false;
    }
    char header[64];
    const int header_size =
        std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", image.cols, image.rows);
    if (!file.write(header, static_cast<size_t>(header_size))) {
        return false;
    }
    // Rows are converted from BGR to RGB a batch at a time, so no second
    // full copy of the image is ever held.
    const size_t row_bytes = static_cast<size_t>(image.cols) * 3;
    const int rows_per_batch =
        std::max(1, static_cast<int>((size_t{1} << 20) / std::max<size_t>(row_bytes, 1)));
    std::vector<unsigned char> buffer(row_bytes * static_cast<size_t>(rows_per_batch));
    for (int first = 0; first < image.rows; first += rows_per_batch) {
        const int count = std::min(rows_per_batch, image.rows - first);
        unsigned char* out = buffer.data();
        for (int y = first; y < first + count; ++y) {
            const unsigned char* in = image.ptr<unsigned char>(y);
            for (size_t i = 0; i < row_bytes; i += 3) {
                out[i] = in[i + 2];
                out[i + 1] = in[i + 1];
                out[i + 2] = in[i];
            }
            out += row_bytes;
        }
        if (!file.write(buffer.data(), row_bytes * static_cast<size_t>(count))) {
            return false;
        }
    }
    return file.finish();
}

}  // namespace rectify
