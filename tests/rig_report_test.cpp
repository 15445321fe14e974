// stereo-rectify-inspect: the derived cameras against the warp and against a
// real scene, the report's measures, and the command line as a process.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/rig_report.hpp"
#include "app/run.hpp"
#include "chessboard.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::chessboard_corners;
using testing::folder_entries;
using testing::ProcessResult;
using testing::read_file;
using testing::run_executable;
using testing::ScratchDir;
using testing::write_file;

std::string sample(const char* name) {
    return std::string(SAMPLE_DIR) + "/" + name;
}

cv::Point2d dehomogenise(const cv::Mat& v) {
    return {v.at<double>(0) / v.at<double>(2), v.at<double>(1) / v.at<double>(2)};
}

cv::Mat homogeneous(const cv::Mat& X) {
    cv::Mat h;
    cv::vconcat(X, cv::Mat::ones(1, 1, CV_64F), h);
    return h;
}

// ---- the cameras against the warp, on random rigs ----

struct Rig {
    cv::Mat K_left, K_right, T;  // CV_32F, as the readers deliver them
    cv::Size left_size, right_size, output_size;
};

cv::Mat random_intrinsics(cv::RNG& rng, cv::Size size) {
    const double f = rng.uniform(400.0, 1200.0);
    return (cv::Mat_<float>(3, 3) << f, 0, size.width / 2.0 + rng.uniform(-30.0, 30.0), 0,
            f * rng.uniform(0.98, 1.02), size.height / 2.0 + rng.uniform(-30.0, 30.0), 0, 0, 1);
}

// A rig with the right camera about b to the right of the left one, turned by
// up to max_angle (radians) about a random axis; max_angle 0 gives parallel
// optical axes, which the geometry treats with its degenerate rule.
Rig random_rig(cv::RNG& rng, cv::Size left_size, cv::Size right_size, double scale,
               double max_angle) {
    Rig rig;
    rig.left_size = left_size;
    rig.right_size = right_size;
    rig.output_size = *output_size_for(left_size, scale);
    rig.K_left = random_intrinsics(rng, left_size);
    rig.K_right = random_intrinsics(rng, right_size);
    cv::Vec3d axis(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0));
    cv::Mat R;
    cv::Rodrigues(axis * (rng.uniform(0.0, max_angle) / cv::norm(axis)), R);
    const double b = rng.uniform(0.05, 0.5);
    const cv::Vec3d t(-b, rng.uniform(-0.05, 0.05) * b, rng.uniform(-0.05, 0.05) * b);
    cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
    R.copyTo(T(cv::Rect(0, 0, 3, 3)));
    cv::Mat(t).copyTo(T(cv::Rect(3, 0, 1, 3)));
    T.convertTo(rig.T, CV_32F);
    return rig;
}

// Where the warp takes output pixel `output` from: back through the resize
// (pixel centres: x_out = (x + 0.5) * s - 0.5) and through the warp map.
cv::Point2d source_of(const cv::Mat& H, cv::Point2d output, cv::Size warped, cv::Size out) {
    const double sx = static_cast<double>(out.width) / warped.width;
    const double sy = static_cast<double>(out.height) / warped.height;
    cv::Mat H64;
    H.convertTo(H64, CV_64F);
    const cv::Mat p =
        (cv::Mat_<double>(3, 1) << (output.x + 0.5) / sx - 0.5, (output.y + 0.5) / sy - 0.5, 1.0);
    return dehomogenise(H64 * p);
}

bool is_rotation(const cv::Mat& R) {
    return cv::norm(R.t() * R, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) < 1e-9 &&
           std::abs(cv::determinant(R) - 1.0) < 1e-9;
}

void check_rig(const Rig& rig, bool expect_degenerate, cv::RNG& rng) {
    const Rectification geometry = compute_rectification(rig.K_left, rig.K_right, rig.T);
    ASSERT_EQ(geometry.degenerate_rule_applied, expect_degenerate);
    const RectifiedCameras cameras = derive_cameras(
        rig.K_left, rig.K_right, rig.T, geometry, rig.left_size, rig.right_size, rig.output_size);
    ASSERT_TRUE(is_rotation(cameras.R1));
    ASSERT_TRUE(is_rotation(cameras.R2));

    cv::Mat K_left, K_right, T;
    rig.K_left.convertTo(K_left, CV_64F);
    rig.K_right.convertTo(K_right, CV_64F);
    rig.T.convertTo(T, CV_64F);
    const cv::Mat R = T(cv::Rect(0, 0, 3, 3)), t = T(cv::Rect(3, 0, 1, 3));
    const bool same_sizes = rig.left_size == rig.right_size;

    for (int i = 0; i < 50; ++i) {
        // A point seen by the left camera, 20 to 200 baselines away.
        const cv::Mat pixel =
            (cv::Mat_<double>(3, 1) << rng.uniform(0.0, 1.0 * rig.left_size.width),
             rng.uniform(0.0, 1.0 * rig.left_size.height), 1.0);
        const cv::Mat X = K_left.inv() * pixel * (rng.uniform(20.0, 200.0) * cameras.baseline);
        const cv::Mat X_right = R * X + t;
        ASSERT_GT(X_right.at<double>(2), 0.0);

        const cv::Mat x1 = cameras.P1 * homogeneous(X);
        const cv::Mat x2 = cameras.P2 * homogeneous(X);
        const cv::Point2d out1 = dehomogenise(x1), out2 = dehomogenise(x2);
        // The warp fetches each output pixel from where the camera saw the point.
        const cv::Point2d seen1 = dehomogenise(K_left * X), seen2 = dehomogenise(K_right * X_right);
        EXPECT_LT(cv::norm(source_of(cameras.H1, out1, rig.left_size, rig.output_size) - seen1),
                  2e-3);
        EXPECT_LT(cv::norm(source_of(cameras.H2, out2, rig.right_size, rig.output_size) - seen2),
                  2e-3);
        // The third coordinate is the depth in the rectified frame.
        const cv::Mat rectified = cameras.R1 * X;
        EXPECT_NEAR(x1.at<double>(2), rectified.at<double>(2), 1e-6 * cv::norm(X));
        EXPECT_GT(x2.at<double>(2), 0.0);
        // Both rectified frames differ by the baseline, along x only (to the
        // precision of the float rotation read from the file).
        const cv::Mat offset = rectified - cameras.R2 * X_right;
        EXPECT_NEAR(std::abs(offset.at<double>(0)), cameras.baseline, 1e-6 * cv::norm(X));
        EXPECT_NEAR(offset.at<double>(1), 0.0, 1e-6 * cv::norm(X));
        EXPECT_NEAR(offset.at<double>(2), 0.0, 1e-6 * cv::norm(X));
        if (!same_sizes) {
            continue;  // the rows do not correspond, and Q does not apply
        }
        EXPECT_NEAR(out1.y, out2.y, 2e-3);
        const cv::Mat v =
            cameras.Q * (cv::Mat_<double>(4, 1) << out1.x, out1.y, out1.x - out2.x, 1);
        const cv::Mat recovered = v.rowRange(0, 3) / v.at<double>(3);
        EXPECT_LT(cv::norm(recovered - rectified), 1e-4 * cv::norm(X));
    }
    if (!same_sizes) {
        return;
    }
    // OpenCV's own reprojection with Q, at whole output pixels: points built on
    // the rays of the left output and seen by P2 come back where they were.
    cv::Mat disparity(rig.output_size, CV_32F, cv::Scalar(0));
    std::vector<std::pair<cv::Point, cv::Mat>> expected;
    const cv::Mat M1_inverse = cameras.P1.colRange(0, 3).inv();
    for (int i = 0; i < 5; ++i) {
        const cv::Point at(rng.uniform(0, rig.output_size.width),
                           rng.uniform(0, rig.output_size.height));
        const cv::Mat X = M1_inverse * (cv::Mat_<double>(3, 1) << at.x, at.y, 1.0) *
                          (rng.uniform(20.0, 200.0) * cameras.baseline);
        disparity.at<float>(at) =
            static_cast<float>(at.x - dehomogenise(cameras.P2 * homogeneous(X)).x);
        expected.emplace_back(at, cameras.R1 * X);
    }
    cv::Mat points;
    cv::reprojectImageTo3D(disparity, points, cameras.Q, false, CV_32F);
    for (const auto& [at, point] : expected) {
        const cv::Vec3f got = points.at<cv::Vec3f>(at);
        EXPECT_GT(got[2], 0.0f);
        EXPECT_LT(cv::norm(cv::Vec3d(got) - cv::Vec3d(point)), 1e-4 * cv::norm(point));
    }
}

TEST(InspectCameras, ProjectionsLandWhereTheWarpTakesThePixelsFrom) {
    cv::RNG rng(20240611);
    const struct {
        cv::Size left, right;
        double scale, max_angle;
        bool degenerate;
    } rigs[] = {
        {{640, 480}, {640, 480}, 1.0, 0.08, false},
        {{640, 480}, {640, 480}, 0.5, 0.08, false},
        {{1280, 720}, {1280, 720}, 1.7, 0.15, false},
        {{640, 480}, {800, 600}, 1.3, 0.08, false},  // sizes differ: each side its own resize
        {{640, 480}, {640, 480}, 1.0, 0.0, true},    // parallel axes: the degenerate rule
    };
    for (int trial = 0; trial < 4; ++trial) {
        for (const auto& r : rigs) {
            SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << r.left << " / "
                                              << r.right << " at " << r.scale);
            check_rig(random_rig(rng, r.left, r.right, r.scale, r.max_angle), r.degenerate, rng);
        }
    }
}

TEST(InspectCameras, ResizeMatrixFollowsBilinearResizing) {
    // A smooth blob at a known place in a warped image: after the resize its
    // centroid lies where resize_matrix puts it (pixel centres align, so the
    // naive x * s is off by (s - 1) / 2).
    const cv::Size warped_size(64, 48);
    const cv::Point2d blob(20.3, 17.6);
    cv::Mat warped(warped_size, CV_8UC3);
    for (int y = 0; y < warped.rows; ++y) {
        for (int x = 0; x < warped.cols; ++x) {
            const double r2 = (x - blob.x) * (x - blob.x) + (y - blob.y) * (y - blob.y);
            warped.at<cv::Vec3b>(y, x) =
                cv::Vec3b::all(cv::saturate_cast<uchar>(250 * std::exp(-r2 / 18.0)));
        }
    }
    for (const cv::Size output : {cv::Size(160, 120), cv::Size(40, 30), cv::Size(101, 48)}) {
        cv::Mat grey;
        cv::extractChannel(resize_to_output(warped, output), grey, 0);
        const cv::Moments m = cv::moments(grey);
        const cv::Point2d centroid(m.m10 / m.m00, m.m01 / m.m00);
        const cv::Point2d expected = dehomogenise(resize_matrix(warped_size, output) *
                                                  (cv::Mat_<double>(3, 1) << blob.x, blob.y, 1));
        EXPECT_LT(cv::norm(centroid - expected), 0.05) << output << ": " << centroid;
    }
}

// ---- the metric check on the sample pair ----

// Mean absolute relative error of the distances between neighbouring corners
// of the 9 x 6 grid, which are one square (one unit) apart.
double square_error(const std::vector<cv::Point3d>& points) {
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i < 54; ++i) {
        for (const int j : {i % 9 < 8 ? i + 1 : -1, i + 9 < 54 ? i + 9 : -1}) {
            if (j >= 0) {
                sum += std::abs(cv::norm(points[i] - points[j]) - 1.0);
                ++count;
            }
        }
    }
    return sum / count;
}

template <typename PointType>
std::vector<cv::Point3d> triangulate(const cv::Mat& P1, const cv::Mat& P2,
                                     const std::vector<PointType>& left,
                                     const std::vector<PointType>& right) {
    cv::Mat homogeneous_points;
    cv::triangulatePoints(P1, P2, left, right, homogeneous_points);
    homogeneous_points.convertTo(homogeneous_points, CV_64F);
    std::vector<cv::Point3d> points;
    for (int i = 0; i < homogeneous_points.cols; ++i) {
        const cv::Mat c = homogeneous_points.col(i);
        const double w = c.at<double>(3);
        points.emplace_back(c.at<double>(0) / w, c.at<double>(1) / w, c.at<double>(2) / w);
    }
    return points;
}

TEST(InspectMetric, SampleCornersTriangulateOneSquareApart) {
    ScratchDir dir;
    std::filesystem::copy_file(sample("left.png"), dir.file("left.png"));
    std::filesystem::copy_file(sample("right.png"), dir.file("right.png"));
    const RunArguments arguments{sample("T.txt"),      sample("K_left.txt"),  sample("K_right.txt"),
                                 dir.file("left.png"), dir.file("right.png"), 1.0};
    CollectingReporter reporter;
    ASSERT_TRUE(rectify_images(arguments, reporter)) << reporter.text();
    const std::optional<PreparedRun> run = prepare_run(arguments, reporter);
    ASSERT_TRUE(run) << reporter.text();
    const RectifiedCameras cameras =
        derive_cameras(run->K_left, run->K_right, run->T, run->geometry,
                       run->left_image.size(), run->right_image.size(), run->output_size);

    const auto left = chessboard_corners(cv::imread(dir.file("left_rectified.ppm")));
    auto right = chessboard_corners(cv::imread(dir.file("right_rectified.ppm")));
    ASSERT_EQ(left.size(), 54u);
    ASSERT_EQ(right.size(), 54u);
    if (cv::norm(left.front() - right.front()) > cv::norm(left.front() - right.back())) {
        std::reverse(right.begin(), right.end());
    }
    double mean_dy = 0.0, max_dy = 0.0;
    std::vector<cv::Point3d> from_disparity;
    for (size_t i = 0; i < left.size(); ++i) {
        const double dy = std::abs(left[i].y - right[i].y);
        mean_dy += dy / 54.0;
        max_dy = std::max(max_dy, dy);
        const cv::Mat v = cameras.Q * (cv::Mat_<double>(4, 1) << left[i].x, left[i].y,
                                       left[i].x - right[i].x, 1.0);
        from_disparity.emplace_back(v.at<double>(0) / v.at<double>(3),
                                    v.at<double>(1) / v.at<double>(3),
                                    v.at<double>(2) / v.at<double>(3));
        EXPECT_GT(from_disparity.back().z, 0.0);
    }
    EXPECT_LT(mean_dy, 0.6);
    EXPECT_LT(max_dy, 1.5);
    const double with_projections = square_error(triangulate(cameras.P1, cameras.P2, left, right));
    const double with_q = square_error(from_disparity);

    // Without the resampling: the raw corners carried through the final
    // transforms triangulate with P1, P2 to the points the original
    // calibration gives (up to the linear triangulation's own dependence on the
    // frame, a few 1e-4 of a square here).
    const auto raw_left = chessboard_corners(run->left_image);
    auto raw_right = chessboard_corners(run->right_image);
    ASSERT_EQ(raw_left.size(), 54u);
    ASSERT_EQ(raw_right.size(), 54u);
    if (cv::norm(raw_left.front() - raw_right.front()) >
        cv::norm(raw_left.front() - raw_right.back())) {
        std::reverse(raw_right.begin(), raw_right.end());
    }
    cv::Mat K_left, K_right, T, T1, T2;
    run->K_left.convertTo(K_left, CV_64F);
    run->K_right.convertTo(K_right, CV_64F);
    run->T.convertTo(T, CV_64F);
    run->geometry.T1.convertTo(T1, CV_64F);
    run->geometry.T2.convertTo(T2, CV_64F);
    auto carried = [](const cv::Mat& Tk, const std::vector<cv::Point2f>& corners) {
        std::vector<cv::Point2d> out;
        for (const cv::Point2f& c : corners) {
            out.push_back(dehomogenise(Tk * (cv::Mat_<double>(3, 1) << c.x, c.y, 1.0)));
        }
        return out;
    };
    const auto raw_points = triangulate(K_left * cv::Mat::eye(3, 4, CV_64F),
                                        K_right * T.rowRange(0, 3), raw_left, raw_right);
    const auto carried_points =
        triangulate(cameras.P1, cameras.P2, carried(T1, raw_left), carried(T2, raw_right));
    for (size_t i = 0; i < raw_points.size(); ++i) {
        EXPECT_LT(cv::norm(raw_points[i] - carried_points[i]), 1e-3) << i;
    }
    std::printf(
        "adjacent-corner distance error: raw corners %.2f %%, outputs with P1/P2 %.2f %%, with "
        "Q %.2f %%; rows %.3f px mean, %.3f px max\n",
        100 * square_error(raw_points), 100 * with_projections, 100 * with_q, mean_dy, max_dy);
    EXPECT_LT(with_projections, 0.035);
    EXPECT_LT(with_q, 0.035);
}

// ---- the report's measures ----

TEST(InspectReport, CoverageFollowsTheWarpBoundsRule) {
    const cv::Size size(40, 30);
    const cv::Mat identity = cv::Mat::eye(3, 3, CV_32F);
    // The last column and row count as outside; a half-pixel shift rounds up
    // and loses one more column.
    EXPECT_DOUBLE_EQ(cv::mean(source_coverage(size, identity, size))[0], 39.0 * 29 / 1200);
    const cv::Mat half_shift = (cv::Mat_<float>(3, 3) << 1, 0, 0.5, 0, 1, 0, 0, 0, 1);
    EXPECT_DOUBLE_EQ(cv::mean(source_coverage(size, half_shift, size))[0], 38.0 * 29 / 1200);
    EXPECT_EQ(source_coverage(size, identity, cv::Size(80, 60)).size(), cv::Size(80, 60));
}

TEST(InspectReport, LocalScaleMeasuresTheStretch) {
    const cv::Size size(40, 30), doubled(80, 60);
    const cv::Mat identity = cv::Mat::eye(3, 3, CV_32F);
    const ScaleRange resized = local_scale_range(identity, resize_matrix(size, doubled),
                                                 source_coverage(size, identity, doubled));
    EXPECT_NEAR(resized.smallest, 2.0, 1e-12);
    EXPECT_NEAR(resized.largest, 2.0, 1e-12);
    // Perspective: the map from output to source h(x) = x / (1 + 0.02 x)
    // shrinks the source by (1 + 0.02 x)^(3/2) towards the right.
    const cv::Mat tilted = (cv::Mat_<float>(3, 3) << 1, 0, 0, 0, 1, 0, 0.02f, 0, 1);
    const ScaleRange range =
        local_scale_range(tilted, cv::Mat::eye(3, 3, CV_64F), source_coverage(size, tilted, size));
    EXPECT_GT(range.largest / range.smallest, 2.0);
    const cv::Mat far_away = (cv::Mat_<float>(3, 3) << 1, 0, 1000, 0, 1, 0, 0, 0, 1);
    EXPECT_TRUE(std::isnan(local_scale_range(far_away, cv::Mat::eye(3, 3, CV_64F),
                                             source_coverage(size, far_away, size))
                               .smallest));
}

RectifiedCameras plain_cameras(const cv::Mat& H1, const cv::Mat& H2, cv::Size size) {
    RectifiedCameras cameras;
    cameras.image_size = size;
    cameras.H1 = H1;
    cameras.H2 = H2;
    cameras.K1 = cv::Mat::eye(3, 3, CV_64F);
    cameras.K2 = cv::Mat::eye(3, 3, CV_64F);
    cameras.baseline = 1.0;
    return cameras;
}

TEST(InspectReport, WarnsWhereTheResultDeservesIt) {
    const cv::Size size(40, 30);
    const cv::Mat identity = cv::Mat::eye(3, 3, CV_32F);
    const ImageSizes equal{size, size, size};
    const RectifiedCameras good = plain_cameras(identity, identity, size);
    EXPECT_TRUE(build_report(equal, good, source_coverage(size, identity, size),
                             source_coverage(size, identity, size))
                    .warnings.empty());

    const cv::Mat shifted = (cv::Mat_<float>(3, 3) << 1, 0, 25, 0, 1, 0, 0, 0, 1);
    const cv::Mat tilted = (cv::Mat_<float>(3, 3) << 1, 0, 0, 0, 1, 0, 0.02f, 0, 1);
    const cv::Size other(50, 30);
    const ImageSizes differing{size, other, size};
    const InspectionReport report =
        build_report(differing, plain_cameras(shifted, tilted, size),
                     source_coverage(size, shifted, size), source_coverage(other, tilted, size));
    ASSERT_EQ(report.warnings.size(), 3u);
    EXPECT_NE(report.warnings[0].find("differ in size"), std::string::npos);
    EXPECT_NE(report.warnings[1].find("left output holds image pixels on only"), std::string::npos);
    EXPECT_NE(report.warnings[2].find("right warp's local scale changes"), std::string::npos);
}

// A strict JSON syntax check (RFC 8259): no NaN, no bare control characters.
class JsonChecker {
  public:
    explicit JsonChecker(std::string_view text) : s_(text) {}
    bool valid() {
        const bool ok = value();
        skip();
        return ok && i_ == s_.size();
    }

  private:
    bool value() {
        skip();
        if (i_ >= s_.size()) {
            return false;
        }
        switch (s_[i_]) {
            case '{':
                return sequence('}', true);
            case '[':
                return sequence(']', false);
            case '"':
                return string();
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }
    bool sequence(char close, bool members) {
        ++i_;
        skip();
        if (consume(close)) {
            return true;
        }
        do {
            skip();
            if (members && !(string() && (skip(), consume(':')))) {
                return false;
            }
            if (!value()) {
                return false;
            }
            skip();
        } while (consume(','));
        return consume(close);
    }
    bool string() {
        if (!consume('"')) {
            return false;
        }
        while (i_ < s_.size()) {
            const char c = s_[i_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (i_ >= s_.size()) {
                    return false;
                }
                const char e = s_[i_++];
                if (e == 'u') {
                    if (i_ + 4 > s_.size() ||
                        !std::all_of(s_.begin() + i_, s_.begin() + i_ + 4,
                                     [](char h) { return std::isxdigit(h); })) {
                        return false;
                    }
                    i_ += 4;
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    bool number() {
        consume('-');
        if (!consume('0') && !digits()) {
            return false;
        }
        if (consume('.') && !digits()) {
            return false;
        }
        if (consume('e') || consume('E')) {
            if (!consume('+')) {
                consume('-');
            }
            return digits();
        }
        return true;
    }
    bool digits() {
        const size_t start = i_;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
            ++i_;
        }
        return i_ > start;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) {
            return false;
        }
        i_ += word.size();
        return true;
    }
    bool consume(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void skip() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) {
            ++i_;
        }
    }

    std::string_view s_;
    size_t i_ = 0;
};

TEST(InspectReport, JsonStaysValidForAwkwardValues) {
    EXPECT_FALSE(JsonChecker("{\"a\": nan}").valid());  // the checker itself is strict
    EXPECT_FALSE(JsonChecker("{\"a\": \"x\ny\"}").valid());
    InspectionReport report;
    report.left.scale = {std::nan(""), std::nan("")};
    report.right.fx = INFINITY;
    report.warnings = {"a \"quoted\"\nline\\ with\ttab"};
    const std::string json = format_report_json(report);
    EXPECT_TRUE(JsonChecker(json).valid()) << json;
    EXPECT_NE(json.find("\"smallest_scale\": null"), std::string::npos);
    EXPECT_NE(json.find("\"fx\": null"), std::string::npos);
}

// ---- the command line ----

double json_value(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? std::nan("")
                                   : std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

class InspectProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png"}) {
            std::filesystem::copy_file(sample(name), dir.file(name));
        }
    }
    ProcessResult inspect(std::vector<std::string> options, const std::string& scale = "1.0",
                          const std::string& left = "left.png") {
        std::vector<std::string> arguments{"stereo-rectify-inspect"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        for (const std::string& a :
             {std::string("T.txt"), std::string("K_left.txt"), std::string("K_right.txt"), left,
              std::string("right.png"), scale}) {
            arguments.push_back(a);
        }
        return run_executable(STEREO_RECTIFY_INSPECT_EXE, arguments, dir.path().string());
    }
    ProcessResult inspect_raw(const std::vector<std::string>& arguments) {
        return run_executable(STEREO_RECTIFY_INSPECT_EXE, arguments, dir.path().string());
    }
    std::vector<std::string> inputs_only() const {
        return {"K_left.txt", "K_right.txt", "T.txt", "left.png", "right.png"};
    }

    ScratchDir dir;
};

TEST_F(InspectProcess, ReportsOnStandardOutputAndWritesNothing) {
    const ProcessResult result = inspect({});
    EXPECT_EQ(result.exit_status, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    for (const char* line :
         {"output size      640 x 480\n", "left output      fx ", "baseline         3.34",
          "degenerate rule  not applied\n", "image pixels     left ", "local scale      left "}) {
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    }
    EXPECT_EQ(result.output.find("warning"), std::string::npos);
    EXPECT_EQ(folder_entries(dir.path()), inputs_only());
}

TEST_F(InspectProcess, HelpAndUsageErrors) {
    const ProcessResult help = inspect_raw({"stereo-rectify-inspect", "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.output.rfind("Usage: stereo-rectify-inspect", 0), 0u) << help.output;
    EXPECT_EQ(help.errors, "");

    const std::vector<std::vector<std::string>> misuses = {
        {"stereo-rectify-inspect"},
        {"stereo-rectify-inspect", "--frobnicate", "T.txt", "K_left.txt", "K_right.txt", "left.png",
         "right.png", "1"},
        {"stereo-rectify-inspect", "T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png"},
        {"stereo-rectify-inspect", "T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png",
         "1", "--json"},
        {"stereo-rectify-inspect", "--cameras"},
        {"stereo-rectify-inspect", "--preview=", "T.txt", "K_left.txt", "K_right.txt", "left.png",
         "right.png", "1"},
    };
    for (const auto& arguments : misuses) {
        const ProcessResult result = inspect_raw(arguments);
        EXPECT_EQ(result.exit_status, 2) << arguments.size();
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
    }
    EXPECT_EQ(folder_entries(dir.path()), inputs_only());
}

TEST_F(InspectProcess, FailedRunsExitWithOneAndOneMessage) {
    const ProcessResult missing = inspect({}, "1.0", "missing.png");
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.output, "");
    EXPECT_EQ(missing.errors.rfind("Cannot open file missing.png.", 0), 0u) << missing.errors;

    // A calibration file that cannot be opened is named once, not twice.
    std::filesystem::remove(dir.file("T.txt"));
    const ProcessResult no_calibration = inspect({});
    EXPECT_EQ(no_calibration.exit_status, 1);
    EXPECT_EQ(no_calibration.errors, "Cannot open file T.txt.\n");
    std::filesystem::copy_file(sample("T.txt"), dir.file("T.txt"));

    // "--" ends the options, so a negative scale reaches the run.
    const ProcessResult negative = inspect({"--"}, "-1");
    EXPECT_EQ(negative.exit_status, 1);
    EXPECT_EQ(negative.errors.rfind("Invalid scale factor -1:", 0), 0u) << negative.errors;
    EXPECT_EQ(folder_entries(dir.path()), inputs_only());
}

TEST_F(InspectProcess, WritesCamerasPreviewAnaglyphAndJson) {
    const ProcessResult result = inspect({"--cameras", "cameras.yml", "--preview=preview.png",
                                          "--anaglyph", "anaglyph.png", "--json"},
                                         "0.5");
    ASSERT_EQ(result.exit_status, 0) << result.errors;
    EXPECT_TRUE(JsonChecker(result.output).valid()) << result.output;
    EXPECT_NEAR(json_value(result.output, "baseline"), 3.3449, 1e-3);
    EXPECT_NE(result.output.find("\"output_size\": [320, 240]"), std::string::npos);

    cv::FileStorage storage(dir.file("cameras.yml"), cv::FileStorage::READ);
    ASSERT_TRUE(storage.isOpened());
    cv::Size image_size;
    cv::Mat H1, P1, P2, R1, R2, Q;
    storage["image_size"] >> image_size;
    storage["H1"] >> H1;
    storage["P1"] >> P1;
    storage["P2"] >> P2;
    storage["R1"] >> R1;
    storage["R2"] >> R2;
    storage["Q"] >> Q;
    EXPECT_EQ(image_size, cv::Size(320, 240));
    EXPECT_EQ(P1.size(), cv::Size(4, 3));
    EXPECT_EQ(P2.size(), cv::Size(4, 3));
    EXPECT_EQ(Q.size(), cv::Size(4, 4));
    EXPECT_TRUE(is_rotation(R1) && is_rotation(R2));
    EXPECT_NEAR(static_cast<double>(storage["baseline"]), 3.3449, 1e-3);
    EXPECT_EQ(static_cast<int>(storage["degenerate_rule_applied"]), 0);
    CollectingReporter reporter;
    const auto run = prepare_run({sample("T.txt"), sample("K_left.txt"), sample("K_right.txt"),
                                  dir.file("left.png"), dir.file("right.png"), 0.5},
                                 reporter);
    ASSERT_TRUE(run);
    EXPECT_EQ(cv::norm(H1, run->geometry.H1, cv::NORM_INF), 0.0);

    // The preview shows stereo-rectify's own outputs, guide rows aside.
    const ProcessResult rectified = testing::run_process(
        {"stereo-rectify", "T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png", "0.5"},
        dir.path().string());
    ASSERT_EQ(rectified.exit_status, 1) << rectified.output;
    const cv::Mat preview = cv::imread(dir.file("preview.png"));
    const cv::Mat anaglyph = cv::imread(dir.file("anaglyph.png"));
    ASSERT_EQ(preview.size(), cv::Size(640, 240));
    ASSERT_EQ(anaglyph.size(), cv::Size(320, 240));
    const cv::Mat left = cv::imread(dir.file("left_rectified.ppm"));
    const cv::Mat right = cv::imread(dir.file("right_rectified.ppm"));
    for (int y = 0; y < 240; ++y) {
        const bool guide = y % GUIDE_LINE_SPACING == GUIDE_LINE_SPACING / 2;
        const cv::Mat row = preview.row(y);
        if (guide) {
            EXPECT_EQ(row.at<cv::Vec3b>(0, 5), cv::Vec3b(0, 255, 0));
            continue;
        }
        EXPECT_EQ(cv::norm(row.colRange(0, 320), left.row(y), cv::NORM_INF), 0.0) << y;
        EXPECT_EQ(cv::norm(row.colRange(320, 640), right.row(y), cv::NORM_INF), 0.0) << y;
    }
    // Anaglyph: red from the left output, green and blue from the right one.
    cv::Mat channels[3], left_grey, right_grey;
    cv::split(anaglyph, channels);
    cv::cvtColor(left, left_grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(right, right_grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::norm(channels[2], left_grey, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(channels[1], right_grey, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(channels[0], right_grey, cv::NORM_INF), 0.0);
}

TEST_F(InspectProcess, UnwritableOutputsFailCleanly) {
    std::filesystem::create_directory(dir.file("folder"));
    const ProcessResult into_folder = inspect({"--preview", "folder"});
    EXPECT_EQ(into_folder.exit_status, 1);
    EXPECT_EQ(into_folder.output, "");
    EXPECT_EQ(into_folder.errors, "Refusing to write folder: it is not a regular file.\n");
    // All of a run's files or none: the cameras are not written when the
    // preview cannot be.
    const ProcessResult nowhere =
        inspect({"--cameras", "cameras.yml", "--preview", "no/such/folder/preview.png"});
    EXPECT_EQ(nowhere.exit_status, 1);
    EXPECT_EQ(nowhere.errors, "Cannot write file no/such/folder/preview.png.\n");
    std::vector<std::string> expected = inputs_only();
    expected.insert(expected.begin() + 3, "folder");
    EXPECT_EQ(folder_entries(dir.path()), expected);
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("folder")));

    // A file asked for that would replace an input, or another file asked for.
    const std::string source = testing::read_file(dir.file("left.png"));
    const ProcessResult over_input = inspect({"--preview", "./left.png"});
    EXPECT_EQ(over_input.exit_status, 1);
    EXPECT_EQ(over_input.errors, "Refusing to write ./left.png: it is the input file left.png.\n");
    EXPECT_EQ(testing::read_file(dir.file("left.png")), source);
    const ProcessResult twice = inspect({"--preview", "x.png", "--anaglyph", "x.png"});
    EXPECT_EQ(twice.exit_status, 1);
    EXPECT_EQ(twice.errors, "Refusing to write x.png twice.\n");
    EXPECT_EQ(folder_entries(dir.path()), expected);
}

}  // namespace
}  // namespace rectify
