#pragma once
// Rectification geometry: from the two intrinsic matrices and the camera
// transformation to the two warp maps H1 and H2.

#include <optional>
#include <utility>

#include <opencv2/core.hpp>

namespace rectify {

inline constexpr int NOMINAL_WIDTH = 640;
inline constexpr int NOMINAL_HEIGHT = 480;

// Po1, Po2: 3x4 old projection matrices (read only). Pn1, Pn2 (3x4), T1, T2
// (3x3): outputs, created by the caller, every element written.
// Returns true when the first solve was degenerate and replaced: when
// k = r1 x r2 (r1, r2 the third rows of the left blocks of Po1, Po2) is tiny,
// |k| <= 1e-4 |r1| |r2| (parallel optical axes), or nearly along the baseline
// b = c2 - c1, |k x b| <= 0.1 |k| |b|, the common focal plane is taken
// perpendicular to r1 x b instead of containing k.
bool rectify_projections(const cv::Mat& Po1, const cv::Mat& Po2, cv::Mat& Pn1, cv::Mat& Pn2,
                         cv::Mat& T1, cv::Mat& T2);

// Pn1 <- S1*Pn1, Pn2 <- S2*Pn2, then T1, T2 recomputed from the re-oriented
// Pn1, Pn2 and the left blocks of Po1, Po2.
void apply_orientation(const cv::Mat& Po1, const cv::Mat& Po2, cv::Mat& Pn1, cv::Mat& Pn2,
                       const cv::Mat& S1, const cv::Mat& S2, cv::Mat& T1, cv::Mat& T2);

// Everything compute_rectification produces, for callers that need more than
// the warp maps.
struct Rectification {
    cv::Mat Po1, Po2;  // old projection matrices, 3x4
    cv::Mat Pn1, Pn2;  // new projection matrices after orientation, 3x4
    cv::Mat T1, T2;    // final rectifying transforms (source pixel -> nominal frame), 3x3
    cv::Mat H1, H2;    // warp maps: inverses of T1, T2, 3x3
    bool degenerate_rule_applied = false;
};

Rectification compute_rectification(const cv::Mat& K_left, const cv::Mat& K_right,
                                    const cv::Mat& T);
// The classic form: writes all nine elements of H1 and H2 (3x3, caller's).
void compute_rectification(const cv::Mat& K_left, const cv::Mat& K_right, const cv::Mat& T,
                           cv::Mat& H1, cv::Mat& H2);

// The frame fitting alone: orientation, the three passes (translation, left-edge
// alignment, common scale) on T1, T2 as rectify_projections delivers them,
// updating T1, T2, Pn1 and Pn2 in place (T1, T2 end as the final transforms,
// before inversion).
void fit_transforms(const cv::Mat& Po1, const cv::Mat& Po2, cv::Mat& Pn1, cv::Mat& Pn2, cv::Mat& T1,
                    cv::Mat& T2);

// The outputs' size for a left image of left_size: each side times the scale,
// truncated toward zero. Empty when the scale is not a positive finite number,
// or the size is below 1 x 1 or above MAX_OUTPUT_PIXELS. Every tool sizes its
// outputs so.
inline constexpr double MAX_OUTPUT_PIXELS = 1073741824.0;  // 2^30, the image library's limit
std::optional<cv::Size> output_size_for(cv::Size left_size, double scale_factor);

// Po1 = K_left [I 0], Po2 = K_right [I 0] T, as float matrices.
std::pair<cv::Mat, cv::Mat> old_projections(const cv::Mat& K_left, const cv::Mat& K_right,
                                            const cv::Mat& T);

// The optical centre of a camera, -Q^-1 p for Q the left block and p the
// fourth column of its 3x4 projection matrix, as a 3x1 float matrix.
cv::Mat optical_centre(const cv::Mat& P);

}  // namespace rectify
