#pragma once
// stereo-rectify as a library: load a stereo calibration, build a rectifier
// for one image size with the batch tool's options, and rectify pairs of
// images in memory or pairs of files into a folder, exactly as
// stereo-rectify-batch does (the same code, the same pixels, the same files).
//
//   #include <stereo_rectify/stereo_rectify.hpp>
//
//   const stereo_rectify::Calibration calibration =
//       stereo_rectify::Calibration::from_files({"stereo.yml"});
//   stereo_rectify::Options options;
//   options.view = stereo_rectify::View::valid;
//   const stereo_rectify::Rectifier rectifier(calibration, options);
//   auto [left, right] = rectifier.rectify(left_image, right_image);
//
// Errors: every function reports a failure by throwing stereo_rectify::Error,
// whose what() is the one line the command-line tools print for the same
// failure (without the tool's name), and whose kind() tells a bad argument or
// calibration from a file that cannot be read or written. Nothing is printed.
//
// Threads: Calibration and Rectifier are immutable once built; one of them
// may be used from any number of threads at once. Copies share their data.
//
// Link with the CMake package (find_package(StereoRectify), target
// StereoRectify::stereo_rectify) or pkg-config (stereo-rectify).

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#define STEREO_RECTIFY_PUBLIC __attribute__((visibility("default")))

namespace stereo_rectify {

// The one exception type of the library.
class STEREO_RECTIFY_PUBLIC Error : public std::runtime_error {
  public:
    enum class Kind {
        invalid,  // a bad calibration, option, image or argument
        file,     // a file that cannot be read or written
    };
    Error(Kind kind, const std::string& line);
    Kind kind() const noexcept { return kind_; }

  private:
    Kind kind_;
};

// A calibrated stereo rig: X_right = R X_left + T.
class STEREO_RECTIFY_PUBLIC Calibration {
  public:
    // OpenCV FileStorage files (YAML, XML or JSON; several are merged) or one
    // robotics toolbox camera chain, as stereo-rectify-batch --calibration.
    static Calibration from_files(const std::vector<std::string>& paths);
    // The six-argument tool's three text files (T.txt, K_left.txt, K_right.txt).
    static Calibration from_text_files(const std::string& transformation,
                                       const std::string& left_intrinsics,
                                       const std::string& right_intrinsics);
    // Matrices in memory, any numeric type: K1, K2 3 x 3; D1, D2 empty (no
    // distortion) or 4, 5, 8, 12 or 14 coefficients as one row or column
    // (fisheye: 4); R 3 x 3 or a rotation vector of 3; T 3 elements.
    // image_size: of both images, when known. Checked as a file's values are.
    Calibration(const cv::Mat& K1, const cv::Mat& D1, const cv::Mat& K2, const cv::Mat& D2,
                const cv::Mat& R, const cv::Mat& T, std::optional<cv::Size> image_size = {},
                bool fisheye = false);

    // The image size the calibration gives, if it gives one.
    std::optional<cv::Size> image_size() const;

    // The library's own representation, complete only for code built in its
    // source tree (api/api_data.hpp): the tools reach it through this.
    struct Data;
    const Data& data() const { return *data_; }

  private:
    explicit Calibration(std::shared_ptr<const Data> data);
    std::shared_ptr<const Data> data_;
};

enum class View { nominal, full, valid };
enum class Interpolation { nearest, linear, cubic, lanczos };
enum class Format { png, ppm, tiff, jpeg };

// The names the batch tool takes ("full", "linear", "png" / "jpg" ...);
// Error (invalid) for any other.
STEREO_RECTIFY_PUBLIC View view_named(const std::string& name);
STEREO_RECTIFY_PUBLIC Interpolation interpolation_named(const std::string& name);
STEREO_RECTIFY_PUBLIC Format format_named(const std::string& name);

// The batch tool's options that shape the outputs.
struct Options {
    View view = View::full;
    Interpolation interpolation = Interpolation::linear;
    double scale = 1.0;                      // output size: image size times this, truncated
    int left_fill = 100, right_fill = 255;   // 8-bit levels, times 257 for 16-bit images
    std::optional<cv::Size> image_size;      // else the calibration's
};

// The rectified pair as a calibrated rig (the batch tool's --cameras file).
struct Cameras {
    cv::Size image_size;   // the outputs' size
    cv::Mat H1, H2;        // 3 x 3 CV_32F warp maps, warped pixel -> source pixel
    cv::Mat P1, P2;        // 3 x 4 CV_64F projections; world frame: the left camera's
    cv::Mat R1, R2;        // 3 x 3 CV_64F rotations to the rectified frame
    cv::Mat Q;             // 4 x 4 CV_64F disparity-to-depth matrix
    double baseline = 0.0;
    bool degenerate_rule_applied = false;
};

// Everything that depends on the calibration, the options and the image size
// alone (maps, sampling tables, masks, cameras), built once.
class STEREO_RECTIFY_PUBLIC Rectifier {
  public:
    // Throws Error when there is no image size (options and calibration give
    // none), the scale gives no output size or the view cannot be fitted.
    explicit Rectifier(const Calibration& calibration, const Options& options = {});

    cv::Size image_size() const;
    cv::Size output_size() const;
    const Options& options() const;
    const Calibration& calibration() const;
    const Cameras& cameras() const;
    // The cameras file as the batch tool's --cameras writes it (YAML).
    std::string cameras_yaml() const;
    // The valid-pixel masks of the outputs: CV_8U, 255 where a pixel has a source.
    std::pair<cv::Mat, cv::Mat> masks() const;

    // Rectifies a pair of images of image_size(), CV_8U or CV_16U, 1 or 3
    // channels (any layout cv::Mat allows, views included), into two new images
    // of output_size() and each input's type. threads: how many threads one
    // image's rows may share (0: every processor). Throws Error (invalid) for
    // an empty image, another depth or channel count, or another size.
    std::pair<cv::Mat, cv::Mat> rectify(const cv::Mat& left, const cv::Mat& right,
                                        int threads = 0) const;

    // As Calibration::Data.
    struct Data;
    const Data& data() const { return *data_; }

  private:
    std::shared_ptr<const Data> data_;
};

// Rectifying files, as stereo-rectify-batch does.
struct FileOptions {
    Format format = Format::png;
    int jpeg_quality = 95;
    bool masks = false;        // also DIR/left_mask/ and DIR/right_mask/
    int jobs = 0;              // pairs in flight at once; 0: every processor
    std::string cameras_path;  // when not empty, the cameras file is written there
};

struct PairFiles {
    std::string left, right;
};

struct PairResult {
    PairFiles pair;
    std::string left_output, right_output, left_mask, right_mask;
    // Empty on success, else the batch tool's line for this pair:
    // "pair 3 (l.png, r.png): cannot read image l.png."
    std::string failure;
};

struct FilesReport {
    std::size_t rectified = 0, failed = 0;
    std::vector<PairResult> pairs;  // in list order
};

// The pairs of a pair list file (the batch tool's --pairs) or of two folders
// (--left-dir, --right-dir). Throws Error.
STEREO_RECTIFY_PUBLIC std::vector<PairFiles> read_pair_list(const std::string& path);
STEREO_RECTIFY_PUBLIC std::vector<PairFiles> pair_folders(const std::string& left_folder,
                                                          const std::string& right_folder);

// Rectifies every pair into output_folder (DIR/left/NAME.png, DIR/right/...),
// each pair's files written atomically and renamed into place together. A
// pair that fails is reported in its PairResult and the others go on. Throws
// Error, before any work, when there are no pairs, when outputs would
// replace inputs or each other, or when a folder or the cameras file cannot
// be made.
STEREO_RECTIFY_PUBLIC FilesReport rectify_files(const Rectifier& rectifier,
                                                const std::vector<PairFiles>& pairs,
                                                const std::string& output_folder,
                                                const FileOptions& file_options = {});
// The same with a rectifier built for this list: the image size is the
// options', else the calibration's, else the first pair's left image's.
STEREO_RECTIFY_PUBLIC FilesReport rectify_files(const Calibration& calibration,
                                                const Options& options,
                                                const std::vector<PairFiles>& pairs,
                                                const std::string& output_folder,
                                                const FileOptions& file_options = {});

// An image file as the batch tool reads it: grey stays grey, 16-bit stays
// 16-bit (PNG, JPEG, PNM, and every other format OpenCV reads through the
// codec plugin). Throws Error (file).
STEREO_RECTIFY_PUBLIC cv::Mat read_image(const std::string& path);

// The library's version, "1.2.0".
STEREO_RECTIFY_PUBLIC const char* version();

}  // namespace stereo_rectify
