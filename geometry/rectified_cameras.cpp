#include "geometry/rectified_cameras.hpp"

#include "geometry/matrix.hpp"

#include <cmath>

namespace rectify {
namespace {

cv::Mat homogeneous_pixel(double x, double y) {
    return (cv::Mat_<double>(3, 1) << x, y, 1.0);
}

// +1 or -1: the factor that makes the third coordinate of (A K pose) X
// positive for points X in front of the original camera (positive z in its own
// frame). Every point on the ray of one source pixel gives the same sign, so
// the source's centre pixel decides.
double front_sign(const cv::Mat& K, const cv::Mat& A, cv::Size source) {
    const cv::Mat pixel = homogeneous_pixel((source.width - 1) / 2.0, (source.height - 1) / 2.0);
    const double ray_z = cv::Mat(K.inv() * pixel).at<double>(2);
    const double w = cv::Mat(A * pixel).at<double>(2);
    return (ray_z * w < 0.0) ? -1.0 : 1.0;
}

// The output camera: A * K * pose (A: ideal source pixel -> output pixel), its
// sign chosen for positive depth in front and its scale for a unit third row
// in the left block.
cv::Mat output_projection(const cv::Mat& A, const cv::Mat& K, const cv::Mat& pose,
                          cv::Size source) {
    const cv::Mat P = A * K * pose;
    const double depth_row_length = cv::norm(P.row(2).colRange(0, 3));
    return P * (front_sign(K, A, source) / depth_row_length);
}

struct Decomposition {
    cv::Mat K, R;
};

// M = K R, K upper triangular with K(1,1), K(2,2) > 0 and R a rotation
// (determinant +1), by Gram-Schmidt on the rows from the last one up. A mirrored
// camera (det M < 0) keeps R proper and gets a negative K(0,0).
Decomposition rq_decompose(const cv::Mat& M) {
    auto row = [&](int r) {
        return cv::Vec3d(M.at<double>(r, 0), M.at<double>(r, 1), M.at<double>(r, 2));
    };
    const cv::Vec3d m1 = row(0), m2 = row(1), m3 = row(2);
    const double k33 = cv::norm(m3);
    const cv::Vec3d r3 = m3 / k33;
    const double k23 = m2.dot(r3);
    cv::Vec3d r2 = m2 - k23 * r3;
    const double k22 = cv::norm(r2);
    r2 /= k22;
    const double k13 = m1.dot(r3);
    const double k12 = m1.dot(r2);
    cv::Vec3d r1 = m1 - k13 * r3 - k12 * r2;
    double k11 = cv::norm(r1);
    r1 /= k11;
    if (r1.dot(r2.cross(r3)) < 0.0) {
        r1 = -r1;
        k11 = -k11;
    }
    Decomposition d;
    d.K = (cv::Mat_<double>(3, 3) << k11, k12, k13, 0, k22, k23, 0, 0, k33);
    d.R = (cv::Mat_<double>(3, 3) << r1[0], r1[1], r1[2], r2[0], r2[1], r2[2], r3[0], r3[1], r3[2]);
    return d;
}

// The rotation closest to M (the orthogonal factor of its polar decomposition),
// with determinant +1.
cv::Mat nearest_rotation(const cv::Mat& M) {
    cv::SVD svd(M);
    cv::Mat R = svd.u * svd.vt;
    if (cv::determinant(R) < 0.0) {
        cv::Mat flip = cv::Mat::eye(3, 3, CV_64F);
        flip.at<double>(2, 2) = -1.0;
        R = svd.u * flip * svd.vt;
    }
    return R;
}

// OpenCV's convention: Q (x, y, d, 1) = (X, Y, Z, W) with (X, Y, Z) / W the
// point in the rectified left camera frame, d = x_left - x_right. With
// x = fx X/Z + s Y/Z + cx1, y = fy Y/Z + cy and the right centre at (b, 0, 0),
// d - (cx1 - cx2) = fx b / Z; the second row carries fx / fy, since both
// coordinates are divided by W = (d - (cx1 - cx2)) / b and scaled by Z / fx.
cv::Mat disparity_to_depth(const cv::Mat& K1, const cv::Mat& K2, double b) {
    const double fx = K1.at<double>(0, 0), skew = K1.at<double>(0, 1);
    const double cx1 = K1.at<double>(0, 2), fy = K1.at<double>(1, 1);
    const double cy = K1.at<double>(1, 2), cx2 = K2.at<double>(0, 2);
    const double ratio = fx / fy;
    return (cv::Mat_<double>(4, 4) << 1, -skew / fy, 0, -cx1 + skew * cy / fy,  //
            0, ratio, 0, -cy * ratio,                                           //
            0, 0, 0, fx,                                                        //
            0, 0, 1.0 / b, -(cx1 - cx2) / b);
}

}  // namespace

cv::Mat resize_matrix(cv::Size from, cv::Size to) {
    const double sx = static_cast<double>(to.width) / from.width;
    const double sy = static_cast<double>(to.height) / from.height;
    return (cv::Mat_<double>(3, 3) << sx, 0, 0.5 * sx - 0.5, 0, sy, 0.5 * sy - 0.5, 0, 0, 1);
}

RectifiedCameras cameras_of_outputs(const cv::Mat& K_left, const cv::Mat& K_right, const cv::Mat& T,
                                    const cv::Mat& to_output1, const cv::Mat& to_output2,
                                    cv::Size left_source, cv::Size right_source,
                                    cv::Size output_size) {
    RectifiedCameras cameras;
    cameras.image_size = output_size;
    const cv::Mat transformation = to_double(T);
    const cv::Mat rotation = transformation(cv::Rect(0, 0, 3, 3)).clone();
    const cv::Mat translation = transformation(cv::Rect(3, 0, 1, 3)).clone();
    cv::Mat right_pose;
    cv::hconcat(rotation, translation, right_pose);
    cameras.P1 = output_projection(to_double(to_output1), to_double(K_left),
                                   cv::Mat::eye(3, 4, CV_64F), left_source);
    cameras.P2 = output_projection(to_double(to_output2), to_double(K_right), right_pose,
                                   right_source);

    const Decomposition left = rq_decompose(cameras.P1.colRange(0, 3));
    const Decomposition right = rq_decompose(cameras.P2.colRange(0, 3));
    cameras.K1 = left.K;
    cameras.K2 = right.K;
    cameras.R1 = left.R;
    // X_right = R X_left + t, so R1 R^-1 carries the right camera's frame to
    // the rectified one.
    cameras.R2 = nearest_rotation(left.R * rotation.inv());

    const cv::Mat right_centre = -rotation.inv() * translation;  // in the left camera's frame
    cameras.baseline = cv::norm(right_centre);
    const double rectified_offset = cv::Mat(left.R * right_centre).at<double>(0);
    cameras.Q = disparity_to_depth(left.K, right.K, rectified_offset);
    return cameras;
}

RectifiedCameras derive_cameras(const cv::Mat& K_left, const cv::Mat& K_right, const cv::Mat& T,
                                const Rectification& geometry, cv::Size left_source,
                                cv::Size right_source, cv::Size output_size) {
    RectifiedCameras cameras = cameras_of_outputs(
        K_left, K_right, T, resize_matrix(left_source, output_size) * to_double(geometry.T1),
        resize_matrix(right_source, output_size) * to_double(geometry.T2), left_source,
        right_source, output_size);
    cameras.H1 = geometry.H1.clone();
    cameras.H2 = geometry.H2.clone();
    cameras.degenerate_rule_applied = geometry.degenerate_rule_applied;
    return cameras;
}

std::string format_cameras_yaml(const RectifiedCameras& cameras) {
    cv::FileStorage storage(
        ".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    storage << "image_size" << cameras.image_size;
    storage << "H1" << cameras.H1 << "H2" << cameras.H2;
    storage << "P1" << cameras.P1 << "P2" << cameras.P2;
    storage << "R1" << cameras.R1 << "R2" << cameras.R2;
    storage << "Q" << cameras.Q;
    storage << "baseline" << cameras.baseline;
    storage << "degenerate_rule_applied" << static_cast<int>(cameras.degenerate_rule_applied);
    return storage.releaseAndGetString();
}

}  // namespace rectify
