// Files the image-file library must refuse, and how: corrupt and truncated
// data, gigantic headers, FIFOs and folders, a cancelled decode. Nothing may
// reach standard error.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image_corpus.hpp"
#include "imagefiles/image_file.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

// Standard error goes to a file while this lives; errors() reads it.
class CapturedErrors {
  public:
    CapturedErrors() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~CapturedErrors() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        std::fclose(file_);
    }
    std::string errors() {
        std::fflush(stderr);
        std::rewind(file_);
        std::string text;
        for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
            text += static_cast<char>(c);
        }
        return text;
    }

  private:
    std::FILE* file_ = std::tmpfile();
    int saved_ = -1;
};

std::string encoded(const cv::Mat& image, const std::string& extension,
                    const std::vector<int>& parameters = {}) {
    std::vector<unsigned char> bytes;
    cv::imencode(extension, image, bytes, parameters);
    return {bytes.begin(), bytes.end()};
}

cv::Mat noise(int rows, int cols, int type = CV_8UC3) {
    cv::Mat image(rows, cols, type);
    cv::RNG(11).fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

bool decodes(const std::string& path, ImageMode mode = ImageMode::color) {
    return !read_image(path, mode).empty();
}

// Decodes as cv::imread does, and says nothing while it does.
bool same_as_imread(const std::string& path) {
    const cv::Mat expected = cv::imread(path, imread_flags(ImageMode::color));
    CapturedErrors captured;
    const cv::Mat ours = read_image(path, ImageMode::color);
    return !ours.empty() && ours.size() == expected.size() && ours.type() == expected.type() &&
           cv::norm(ours, expected, cv::NORM_INF) == 0 && captured.errors().empty();
}

// The offset of a PNG chunk's type field, npos when absent.
size_t chunk_at(const std::string& png, const std::string& type) {
    for (size_t at = 8; at + 8 <= png.size();) {
        const uint32_t length = static_cast<uint32_t>(static_cast<unsigned char>(png[at])) << 24 |
                                static_cast<unsigned char>(png[at + 1]) << 16 |
                                static_cast<unsigned char>(png[at + 2]) << 8 |
                                static_cast<unsigned char>(png[at + 3]);
        if (png.compare(at + 4, 4, type) == 0) {
            return at + 4;
        }
        at += 12 + length;
    }
    return std::string::npos;
}

std::string flipped(std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
    return bytes;
}

// A chunk with a valid CRC over the given type and data.
std::string png_chunk(const std::string& type, const std::string& data) {
    std::string chunk;
    const uint32_t length = static_cast<uint32_t>(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        chunk += static_cast<char>(length >> shift & 0xFF);
    }
    chunk += type + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4),
                            static_cast<uInt>(chunk.size() - 4));
    for (int shift = 24; shift >= 0; shift -= 8) {
        chunk += static_cast<char>(crc >> shift & 0xFF);
    }
    return chunk;
}

TEST(ImageFile, RefusesCorruptDataAndDecodesHarmlessDamageAsImread) {
    const testing::ScratchDir folder;
    CapturedErrors captured;
    const std::string png = encoded(noise(48, 64), ".png");
    const std::string palette_png = testing::png_bytes({PNG_COLOR_TYPE_PALETTE, 8});
    const std::string jpeg = encoded(noise(48, 64), ".jpg");
    const size_t idat = chunk_at(png, "IDAT");
    const size_t plte = chunk_at(palette_png, "PLTE");
    // An IDAT of garbage that zlib refuses, under a valid CRC.
    const std::string bad_zlib = png.substr(0, idat - 4) +
                                 png_chunk("IDAT", std::string(64, '\x7F')) + png_chunk("IEND", "");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"jpeg_cut_at_a_third", jpeg.substr(0, jpeg.size() / 3)},
        {"jpeg_without_end_marker", jpeg.substr(0, jpeg.size() - 2)},
        {"png_ihdr_crc", flipped(png, 8 + 4 + 4 + 13)},
        {"png_ihdr_data", flipped(png, 8 + 4 + 4 + 2)},
        {"png_plte_crc", flipped(palette_png, plte + 4 + 5)},
        {"png_idat_crc", flipped(png, idat + 4 + 100)},
        {"png_zlib", bad_zlib},
        {"png_cut_in_idat", png.substr(0, idat + 200)},
        {"png_cut_before_iend", png.substr(0, png.size() - 12)},
        {"pnm_raw_short", "P6\n4 4\n255\n" + std::string(47, 'x')},
        {"pnm_plain_short", "P2\n2 2\n255\n1 2 3"},
    };
    for (const auto& [name, bytes] : refused) {
        const std::string path = testing::write_file(folder.file(name), bytes);
        EXPECT_FALSE(decodes(path, ImageMode::color)) << name;
        EXPECT_FALSE(decodes(path, ImageMode::any)) << name;
    }
    EXPECT_EQ(captured.errors(), "");

    // An extraneous byte before the JPEG's end marker; a text chunk with a bad
    // CRC before the PNG's image data.
    std::string extraneous = jpeg;
    extraneous.insert(extraneous.size() - 2, 1, '\0');
    const std::string text = flipped(png_chunk("tEXt", std::string("Comment\0hello", 13)), 12);
    const std::string bad_text = png.substr(0, idat - 4) + text + png.substr(idat - 4);
    for (const auto& [name, bytes] :
         {std::pair{"jpeg_extraneous", extraneous}, std::pair{"png_text_crc", bad_text}}) {
        EXPECT_TRUE(same_as_imread(testing::write_file(folder.file(name), bytes))) << name;
    }
}

// Every truncation of a file loses pixels and must fail; flipped bytes may or
// may not; neither may crash, hang or print.
TEST(ImageFile, SurvivesTruncationAndFlippedBytes) {
    const testing::ScratchDir folder;
    CapturedErrors captured;
    const std::string path = folder.file("damaged");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"png", encoded(noise(24, 32), ".png")},
        {"png_adam7", testing::png_bytes({PNG_COLOR_TYPE_PALETTE, 4, true, true})},
        {"jpeg", encoded(noise(24, 32), ".jpg")},
        {"jpeg_progressive", encoded(noise(24, 32), ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"pnm_raw", encoded(noise(24, 32, CV_16UC3), ".ppm")},
        {"pnm_plain", encoded(noise(9, 7), ".ppm", {cv::IMWRITE_PXM_BINARY, 0})},
    };
    cv::RNG rng(3);
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(decodes(testing::write_file(path, bytes)));
        const size_t step = std::max<size_t>(1, bytes.size() / 100);
        // Whitespace after a plain PNM's last number holds no pixels.
        const size_t whole = bytes.find_last_not_of(" \n") + 1;
        for (size_t length = 0; length < whole; length += step) {
            testing::write_file(path, bytes.substr(0, length));
            EXPECT_FALSE(decodes(path, ImageMode::color)) << length;
            EXPECT_FALSE(decodes(path, ImageMode::any)) << length;
        }
        for (int round = 0; round < 100; ++round) {
            std::string damaged = bytes;
            for (int flips = rng.uniform(1, 4); flips > 0; --flips) {
                damaged[rng.uniform(0, static_cast<int>(damaged.size()))] ^=
                    static_cast<char>(rng.uniform(1, 256));
            }
            testing::write_file(path, damaged);
            decodes(path, ImageMode::color);
            decodes(path, ImageMode::any);
        }
    }
    EXPECT_EQ(captured.errors(), "");
}

TEST(ImageFile, RefusesGiganticHeadersAndMemoryItCannotHave) {
    const testing::ScratchDir folder;
    CapturedErrors captured;
    testing::PngVariant wide{PNG_COLOR_TYPE_RGB, 8};
    std::string png = testing::png_bytes(wide);
    // IHDR width and height: 40000 x 40000, past 2^30 pixels, with a valid CRC.
    const std::string ihdr_data = png.substr(16, 13);
    std::string giant = ihdr_data;
    giant.replace(0, 8, std::string("\x00\x00\x9C\x40\x00\x00\x9C\x40", 8));
    png.replace(8, 25, png_chunk("IHDR", giant));
    const std::string jpeg_header = encoded(noise(8, 8), ".jpg");
    std::string jpeg = jpeg_header;
    const size_t sof = jpeg.find("\xFF\xC0");
    jpeg.replace(sof + 5, 4, std::string("\xFF\xDC\xFF\xDC", 4));  // 65500 x 65500
    for (const auto& [name, bytes] : {std::pair{"png", png}, std::pair{"jpeg", jpeg},
                                      std::pair{"pnm", std::string("P6\n100000 100000\n255\n")}}) {
        EXPECT_FALSE(
            ImageFile::open(testing::write_file(folder.file(name), bytes), ImageMode::color))
            << name;
    }
    // 30000 x 30000 BGR is under the pixel limit but takes 2.7 GB.
    const std::string big = testing::write_file(folder.file("big.pgm"), "P5\n30000 30000\n255\n");
    const std::string cut =
        testing::write_file(folder.file("big.jpg"), jpeg_header.substr(0, sof + 5) +
                                                        std::string("\x75\x30\x75\x30", 4) +
                                                        jpeg_header.substr(sof + 9));
    EXPECT_FALSE(ImageFile::open(big, ImageMode::color));  // far shorter than its header says
#ifndef __SANITIZE_ADDRESS__
    const pid_t child = fork();
    if (child == 0) {
        const rlimit limit{size_t{1} << 30, size_t{1} << 30};
        setrlimit(RLIMIT_AS, &limit);
        try {
            std::optional<ImageFile> file = ImageFile::open(cut, ImageMode::color);
            _exit(file && file->decode().empty() ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
    EXPECT_EQ(captured.errors(), "");
}

TEST(ImageFile, RefusesFoldersEmptyFilesAndFifosWithoutWaiting) {
    const testing::ScratchDir folder;
    const std::string fifo = folder.file("fifo.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string empty = testing::write_file(folder.file("empty.png"), "");
    for (const std::string& path :
         {fifo, empty, folder.path().string(), folder.file("missing.png")}) {
        EXPECT_FALSE(ImageFile::open(path, ImageMode::color)) << path;
    }
}

// The rest of the data arrives after the cancel: the decode still gives up.
TEST(ImageFile, DecodeStopsWhenCancelled) {
    for (const std::string& bytes :
         {encoded(noise(400, 300), ".png"), encoded(noise(400, 300), ".jpg"),
          encoded(noise(400, 300), ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1})}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(bytes.size()));
        const size_t half = bytes.size() / 2;
        ASSERT_EQ(write(fds[1], bytes.data(), half), static_cast<ssize_t>(half));
        std::optional<ImageFile> file =
            ImageFile::open("/proc/self/fd/" + std::to_string(fds[0]), ImageMode::color);
        close(fds[0]);
        ASSERT_TRUE(file);
        std::atomic<bool> cancel{false};
        auto decoded = std::async(std::launch::async, [&] { return file->decode(&cancel); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel = true;
        ASSERT_EQ(write(fds[1], bytes.data() + half, bytes.size() - half),
                  static_cast<ssize_t>(bytes.size() - half));
        close(fds[1]);
        EXPECT_TRUE(decoded.get().empty());
    }
}

}  // namespace
}  // namespace rectify
