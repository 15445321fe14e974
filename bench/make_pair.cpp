// make_pair: builds the large stereo pair the end-to-end comparison runs on.
//
//   make_pair <sample folder> <output folder> <width> <height>
//
// Reads left.png, right.png, K_left.txt, K_right.txt and T.txt from the sample
// folder, upscales both images (bicubic) to width x height, adds sensor-like
// noise (Gaussian, sigma 6 grey levels per channel, a fixed seed: a smooth
// upscale compresses far better than any camera image) and writes them into
// the output folder as left.jpg, right.jpg (JPEG quality 95) and left.png,
// right.png, together with the intrinsics scaled to the new size (first row by
// width / sample width, second row by height / sample height) and T.txt as it
// is. Exit status 0 on success, 1 on failure.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

bool read_numbers(const std::string& path, int count, std::vector<double>& numbers) {
    std::ifstream in(path);
    numbers.assign(static_cast<size_t>(count), 0.0);
    for (double& number : numbers) {
        if (!(in >> number)) {
            return false;
        }
    }
    return true;
}

bool write_intrinsics(const std::string& path, const std::vector<double>& k, double sx, double sy) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const double row_scale[3] = {sx, sy, 1.0};
    for (int r = 0; r < 3; ++r) {
        std::fprintf(file, "%.10g %.10g %.10g\n", k[r * 3] * row_scale[r],
                     k[r * 3 + 1] * row_scale[r], k[r * 3 + 2] * row_scale[r]);
    }
    return std::fclose(file) == 0;
}

bool copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return in.good() && out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "Usage: %s <sample folder> <output folder> <width> <height>\n",
                     argv[0]);
        return 1;
    }
    const std::string sample = argv[1];
    const std::string output = argv[2];
    const cv::Size size(std::atoi(argv[3]), std::atoi(argv[4]));
    if (size.width < 1 || size.height < 1) {
        std::fprintf(stderr, "make_pair: invalid size %s x %s\n", argv[3], argv[4]);
        return 1;
    }

    cv::Size sample_size;
    for (const char* side : {"left", "right"}) {
        const cv::Mat image = cv::imread(sample + "/" + side + ".png", cv::IMREAD_COLOR);
        if (image.empty()) {
            std::fprintf(stderr, "make_pair: cannot read %s/%s.png\n", sample.c_str(), side);
            return 1;
        }
        if (sample_size.area() == 0) {
            sample_size = image.size();
        }
        cv::Mat large;
        cv::resize(image, large, size, 0, 0, cv::INTER_CUBIC);
        cv::Mat noise(size, CV_16SC3);
        cv::theRNG().state = 12345;
        cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
        large.convertTo(large, CV_16SC3);
        cv::add(large, noise, large);
        large.convertTo(large, CV_8UC3);  // saturating
        const std::string base = output + "/" + side;
        if (!cv::imwrite(base + ".jpg", large, {cv::IMWRITE_JPEG_QUALITY, 95}) ||
            !cv::imwrite(base + ".png", large)) {
            std::fprintf(stderr, "make_pair: cannot write %s.jpg or .png\n", base.c_str());
            return 1;
        }
    }

    const double sx = static_cast<double>(size.width) / sample_size.width;
    const double sy = static_cast<double>(size.height) / sample_size.height;
    for (const char* name : {"K_left.txt", "K_right.txt"}) {
        std::vector<double> k;
        if (!read_numbers(sample + "/" + name, 9, k) ||
            !write_intrinsics(output + "/" + name, k, sx, sy)) {
            std::fprintf(stderr, "make_pair: cannot scale %s\n", name);
            return 1;
        }
    }
    if (!copy_file(sample + "/T.txt", output + "/T.txt")) {
        std::fprintf(stderr, "make_pair: cannot copy T.txt\n");
        return 1;
    }
    return 0;
}
