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
    const int depth = image.depth();
    const int channels = image.channels();
    CV_Assert((depth == CV_8U || depth == CV_16U) && (channels == 1 || channels == 3));
    if (!file.ok()) {
        return false;
    }
    char header[64];
    const int header_size = std::snprintf(header, sizeof header, "P%c\n%d %d\n%d\n",
                                          channels == 3 ? '6' : '5', image.cols, image.rows,
                                          depth == CV_16U ? 65535 : 255);
    if (!file.write(header, static_cast<size_t>(header_size))) {
        return false;
    }
    // Rows are converted (BGR to RGB, 16-bit samples to big-endian) a batch
    // at a time, so no second full copy of the image is ever held.
    const size_t sample_bytes = depth == CV_16U ? 2 : 1;
    const size_t row_bytes = static_cast<size_t>(image.cols) * channels * sample_bytes;
    const int rows_per_batch =
        std::max(1, static_cast<int>((size_t{1} << 20) / std::max<size_t>(row_bytes, 1)));
    std::vector<unsigned char> buffer(row_bytes * static_cast<size_t>(rows_per_batch));
    for (int first = 0; first < image.rows; first += rows_per_batch) {
        const int count = std::min(rows_per_batch, image.rows - first);
        unsigned char* out = buffer.data();
        for (int y = first; y < first + count; ++y) {
            if (depth == CV_8U && channels == 3) {
                const unsigned char* in = image.ptr<unsigned char>(y);
                for (size_t i = 0; i < row_bytes; i += 3) {
                    out[i] = in[i + 2];
                    out[i + 1] = in[i + 1];
                    out[i + 2] = in[i];
                }
            } else if (depth == CV_8U) {
                std::copy_n(image.ptr<unsigned char>(y), row_bytes, out);
            } else {
                const auto* in = image.ptr<unsigned short>(y);
                const size_t samples = static_cast<size_t>(image.cols) * channels;
                for (size_t i = 0; i < samples; ++i) {
                    // The sample order within a pixel is reversed for colour.
                    const size_t from = channels == 3 ? i - i % 3 + (2 - i % 3) : i;
                    out[2 * i] = static_cast<unsigned char>(in[from] >> 8);
                    out[2 * i + 1] = static_cast<unsigned char>(in[from] & 0xFF);
                }
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
