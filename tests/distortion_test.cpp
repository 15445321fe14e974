// The distortion models against OpenCV's own projections, and their inverse.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "geometry/distortion.hpp"

namespace rectify {
namespace {

struct Lens {
    const char* name;
    Distortion distortion;
};

TEST(Distortion, MatchesOpenCvsProjectionsAndInvertsOverTheImage) {
    const cv::Matx33d K(536.07, 0, 342.37, 0, 536.02, 235.54, 0, 0, 1);
    const std::vector<double> five = {-0.265, -0.0467, 0.00183, -0.000315, 0.252};
    const std::vector<Lens> lenses = {
        {"4", {DistortionModel::standard, {-0.2805, 0.1043, -0.00056, 0.0013}}},
        {"5", {DistortionModel::standard, five}},
        {"8", {DistortionModel::standard, {-0.27, 0.1, 0.001, -0.0005, 0.05, 0.02, 0.01, 0.003}}},
        {"12",
         {DistortionModel::standard,
          {-0.27, 0.1, 0.001, -0.0005, 0.05, 0.02, 0.01, 0.003, 0.001, -0.0005, 0.0008, 0.0002}}},
        {"14",
         {DistortionModel::standard,
          {-0.27, 0.1, 0.001, -0.0005, 0.05, 0.02, 0.01, 0.003, 0.001, -0.0005, 0.0008, 0.0002,
           0.01, -0.02}}},
        {"fisheye", {DistortionModel::fisheye, {0.05, -0.01, 0.002, -0.0003}}},
    };
    // Ideal points a little beyond the 640 x 480 image, in normalised coordinates.
    std::vector<cv::Point3d> rays;
    for (double u = -40; u <= 680; u += 24) {
        for (double v = -40; v <= 520; v += 24) {
            rays.emplace_back((u - K(0, 2)) / K(0, 0), (v - K(1, 2)) / K(1, 1), 1.0);
        }
    }
    for (const Lens& lens : lenses) {
        SCOPED_TRACE(lens.name);
        std::vector<cv::Point2d> expected;
        const cv::Vec3d zero(0, 0, 0);
        if (lens.distortion.model == DistortionModel::fisheye) {
            cv::fisheye::projectPoints(rays, expected, zero, zero, K, lens.distortion.coefficients);
        } else {
            cv::projectPoints(rays, zero, zero, K, lens.distortion.coefficients, expected);
        }
        const double limit = monotonic_radius(lens.distortion);
        double worst = 0.0, worst_inverse = 0.0;
        for (std::size_t i = 0; i < rays.size(); ++i) {
            const cv::Point2d ideal(rays[i].x, rays[i].y);
            const cv::Point2d d = distort_point(lens.distortion, ideal);
            const cv::Point2d pixel(K(0, 0) * d.x + K(0, 2), K(1, 1) * d.y + K(1, 2));
            worst = std::max(worst, cv::norm(pixel - expected[i]));
            const auto back = undistort_point(lens.distortion, d, limit);
            ASSERT_TRUE(back.has_value()) << ideal;
            worst_inverse = std::max(worst_inverse, cv::norm(*back - ideal));
        }
        EXPECT_LE(worst, 1e-3) << "pixels from projectPoints";
        EXPECT_LE(worst_inverse, 1e-9) << "normalised units from the ideal point";
    }
}

}  // namespace
}  // namespace rectify
