#include "geometry/rectification.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "geometry/matrix.hpp"

// How the rectification works.
//
// Each row of a 3x4 projection matrix is read as a plane in space (the points
// X with row . (X, 1) = 0). The new matrices Pn1 and Pn2 keep the optical
// centre of each camera but share one orientation: their rows 1 and 2 are the
// same planes a2 and a3, so every point in space lands on the same row in both
// new images. Each new row is the null vector of a 3x4 system, found by
// singular value decomposition and scaled to the focal scales of the old left
// camera. The rectifying transforms T1, T2 carry each old image onto its new
// one; the fitting then mirrors, shifts and scales both into the 640 x 480
// nominal frame, and the warp maps H1, H2 are their inverses.
//
// Every matrix is CV_32F: each value is rounded to float when it is stored,
// while the scalar arithmetic between a read and a store runs in double.

namespace rectify {

namespace {

// The first three elements of row r of m, as a 1x3 view.
cv::Mat row3(const cv::Mat& m, int r) {
    return m.row(r).colRange(0, 3);
}

// The left 3x3 block of a 3x4 matrix, as a view.
cv::Mat left_block(const cv::Mat& m) {
    return m.colRange(0, 3);
}

double euclidean_length(double x, double y, double z) {
    return std::sqrt(x * x + y * y + z * z);
}

// Euclidean length of a 3-component float vector (1x3 or 3x1), in double.
double length3(const cv::Mat& v) {
    const cv::Mat flat = v.reshape(1, 1);  // a view: 1x3 whichever way v lies
    return euclidean_length(get(flat, 0, 0), get(flat, 0, 1), get(flat, 0, 2));
}

// The largest absolute value of the three components (the maximum norm).
double max_norm(const cv::Mat& v) {
    return cv::norm(v, cv::NORM_INF);
}

// Writes the row (v, e) of 4 elements into row r of the system; v holds three
// components lying either way (1x3 or 3x1).
void set_system_row(cv::Mat& system, int r, const cv::Mat& v, double e) {
    const cv::Mat flat = v.reshape(1, 1);
    for (int i = 0; i < 3; ++i) {
        set(system, r, i, get(flat, 0, i));
    }
    set(system, r, 3, e);
}

// The null-row solve: the right singular vector of the smallest singular
// value (row 3 of V transposed, with the full 4x4 V), scaled so that its
// first three components have the length f. The sign stays as the
// decomposition returns it. Returns a 4x1 matrix.
cv::Mat solve_null_row(const cv::Mat& system, double f) {
    cv::Mat w, u, vt;
    cv::SVD::compute(system, w, u, vt, cv::SVD::FULL_UV);
    const cv::Mat x = vt.row(3);
    // Each system has a row whose fourth element is 1, so a null vector with
    // zero first three components would be the zero vector: len is not 0.
    const double len = euclidean_length(get(x, 0, 0), get(x, 0, 1), get(x, 0, 2));
    const double factor = f / len;
    cv::Mat row = new_matrix(4, 1);
    for (int i = 0; i < 4; ++i) {
        set(row, i, 0, get(x, 0, i) * factor);
    }
    return row;
}

// Whether the first solve (the common focal plane through both centres that
// contains k) is ill posed: k vanishes against the two row lengths (parallel
// optical axes), or k runs nearly along the baseline, so that the plane
// through the baseline "containing k" is not pinned down.
bool first_solve_degenerate(const cv::Mat& r1, const cv::Mat& r2, const cv::Mat& k,
                            const cv::Mat& b) {
    const double k0 = get(k, 0, 0), k1 = get(k, 1, 0), k2 = get(k, 2, 0);
    const double b0 = get(b, 0, 0), b1 = get(b, 0, 1), b2 = get(b, 0, 2);
    const double k_len = euclidean_length(k0, k1, k2);
    const double b_len = euclidean_length(b0, b1, b2);
    if (k_len <= 1e-4 * length3(r1) * length3(r2)) {
        return true;
    }
    const double kb_len = euclidean_length(k1 * b2 - k2 * b1, k2 * b0 - k0 * b2, k0 * b1 - k1 * b0);
    return kb_len <= 0.1 * k_len * b_len;
}

// One corner of the nominal frame mapped through the 3x3 transform M.
struct Point {
    double x, y;
};
Point map_corner(const cv::Mat& M, double x, double y) {
    cv::Mat p = new_matrix(3, 1);
    set(p, 0, 0, x);
    set(p, 1, 0, y);
    set(p, 2, 0, 1.0);
    const cv::Mat q = project_point(M, p);
    return {get(q, 0, 0), get(q, 1, 0)};
}

constexpr double kFarX = NOMINAL_WIDTH;   // the far corners lie at 640 and 480,
constexpr double kFarY = NOMINAL_HEIGHT;  // not at 639 and 479

Point top_left(const cv::Mat& M) {
    return map_corner(M, 0.0, 0.0);
}
Point top_right(const cv::Mat& M) {
    return map_corner(M, kFarX, 0.0);
}
Point bottom_left(const cv::Mat& M) {
    return map_corner(M, 0.0, kFarY);
}
Point bottom_right(const cv::Mat& M) {
    return map_corner(M, kFarX, kFarY);
}

// Mirror in x where the top edge would run right to left, in y where the left
// edge would run upwards. Equal coordinates keep the axis; a NaN mirrors it.
cv::Mat orientation_of(const cv::Mat& Tk) {
    cv::Mat S = new_matrix(3, 3);
    set_identity(S);
    if (!(top_right(Tk).x >= top_left(Tk).x)) {
        set(S, 0, 0, -1.0);
    }
    if (!(bottom_left(Tk).y >= top_left(Tk).y)) {
        set(S, 1, 1, -1.0);
    }
    return S;
}

double left_edge(const cv::Mat& Tk) {
    return min_of(top_left(Tk).x, bottom_left(Tk).x);
}
double top_edge(const cv::Mat& Tk) {
    return min_of(top_left(Tk).y, top_right(Tk).y);
}

// The identity with a translation (tx, ty) in its last column.
cv::Mat translation(double tx, double ty) {
    cv::Mat S = new_matrix(3, 3);
    set_identity(S);
    set(S, 0, 2, tx);
    set(S, 1, 2, ty);
    return S;
}

// Pass 1: one whole-pixel shift for both, so that the smaller left-edge minimum
// and the smaller top-edge minimum come to lie in [0, 1).
void shift_to_origin(cv::Mat& T1, cv::Mat& T2) {
    const double xmin1 = std::floor(left_edge(T1));
    const double ymin1 = std::floor(top_edge(T1));
    const double xmin2 = std::floor(left_edge(T2));
    const double ymin2 = std::floor(top_edge(T2));
    const cv::Mat S = translation(-min_of(xmin1, xmin2), -min_of(ymin1, ymin2));
    multiply(S, T2, T2);
    multiply(S, T1, T1);
}

// Pass 2: the transform whose left edge lies further right is shifted along x
// to start at 0 (the right one on a tie or a NaN); rows stay as they are.
void align_left_edges(cv::Mat& T1, cv::Mat& T2) {
    const double left1 = left_edge(T1);
    const double left2 = left_edge(T2);
    if (left1 > left2) {
        multiply(translation(-left1, 0.0), T1, T1);
    } else {
        multiply(translation(-left2, 0.0), T2, T2);
    }
}

// Pass 3: one scale per axis for both, making the longest horizontal edge 640
// and the longest vertical edge 480 pixels long.
void scale_to_frame(cv::Mat& T1, cv::Mat& T2) {
    auto width_of = [](const cv::Mat& Tk) {
        return max_of(top_right(Tk).x - top_left(Tk).x, bottom_right(Tk).x - bottom_left(Tk).x);
    };
    auto height_of = [](const cv::Mat& Tk) {
        return max_of(bottom_right(Tk).y - top_right(Tk).y, bottom_left(Tk).y - top_left(Tk).y);
    };
    const double width = max_of(width_of(T2), width_of(T1));
    const double height = max_of(height_of(T2), height_of(T1));
    cv::Mat S = new_matrix(3, 3);
    set_identity(S);
    set(S, 0, 0, NOMINAL_WIDTH / width);
    set(S, 1, 1, NOMINAL_HEIGHT / height);
    multiply(S, T2, T2);
    multiply(S, T1, T1);
}

}  // namespace

// Optical centre of a camera: -Q^-1 p for Q the left block and p the fourth
// column of its projection matrix, as a 3x1 matrix.
cv::Mat optical_centre(const cv::Mat& P) {
    cv::Mat inverse = new_matrix(3, 3);
    copy_into(left_block(P), inverse);
    invert_lu(inverse, inverse);
    cv::Mat c = new_matrix(3, 1);
    multiply(inverse, P.col(3), c);
    for (int i = 0; i < 3; ++i) {
        set(c, i, 0, get(c, i, 0) * -1.0);
    }
    return c;
}

// Po1 = K_left [I 0], Po2 = K_right [I 0] T.
std::pair<cv::Mat, cv::Mat> old_projections(const cv::Mat& K_left, const cv::Mat& K_right,
                                            const cv::Mat& T) {
    cv::Mat identity_block = new_matrix(3, 4);
    set_identity(identity_block);
    cv::Mat Po1 = new_matrix(3, 4);
    cv::Mat Po2 = new_matrix(3, 4);
    multiply(K_left, identity_block, Po1);
    multiply(K_right, identity_block, Po2);
    multiply(Po2, T, Po2);
    return {Po1, Po2};
}

bool rectify_projections(const cv::Mat& Po1, const cv::Mat& Po2, cv::Mat& Pn1, cv::Mat& Pn2,
                         cv::Mat& T1, cv::Mat& T2) {
    // Scale factors, from the left camera alone: maximum norms, not lengths.
    const double au = max_norm(cross_product(row3(Po1, 0), row3(Po1, 2)));
    const double av = max_norm(cross_product(row3(Po1, 1), row3(Po1, 2)));

    const cv::Mat c1 = optical_centre(Po1);
    const cv::Mat c2 = optical_centre(Po2);

    const cv::Mat r1 = row3(Po1, 2);
    const cv::Mat r2 = row3(Po2, 2);
    const cv::Mat k = cross_product(r1, r2);

    // When the first solve is ill posed (parallel optical axes, or k along the
    // baseline) its null space has two dimensions and the decomposition would
    // pick an arbitrary plane. The common focal plane is then the plane
    // through the baseline that is closest to the left camera's old focal
    // plane: the one perpendicular to r1 x b.
    cv::Mat b = new_matrix(1, 3);
    for (int i = 0; i < 3; ++i) {
        set(b, 0, i, get(c2, i, 0) - get(c1, i, 0));
    }
    const bool degenerate = first_solve_degenerate(r1, r2, k, b);
    const cv::Mat first_direction = degenerate ? cross_product(r1, b) : k;

    // The four null-row solves, each on rows found before it.
    cv::Mat system = new_matrix(3, 4);
    set_system_row(system, 0, c1, 1.0);
    set_system_row(system, 1, c2, 1.0);
    set_system_row(system, 2, first_direction, 0.0);
    const cv::Mat a3 = solve_null_row(system, 1.0);

    set_system_row(system, 2, a3.rowRange(0, 3), 0.0);
    const cv::Mat a2 = solve_null_row(system, av);

    set_system_row(system, 1, a2.rowRange(0, 3), 0.0);
    const cv::Mat a1 = solve_null_row(system, au);

    set_system_row(system, 0, c2, 1.0);
    const cv::Mat b1 = solve_null_row(system, au);

    // Pn1 = I * (a1; a2; a3) and Pn2 = I * (b1; a2; a3): plain copies.
    cv::Mat identity = new_matrix(3, 3);
    set_identity(identity);
    cv::Mat rows = new_matrix(3, 4);
    copy_into(a2.t(), rows.row(1));
    copy_into(a3.t(), rows.row(2));
    copy_into(a1.t(), rows.row(0));
    multiply(identity, rows, Pn1);
    copy_into(b1.t(), rows.row(0));
    multiply(identity, rows, Pn2);

    // T = left block of Pn times the inverse of the left block of Po, from the
    // stored values.
    cv::Mat inverse = new_matrix(3, 3);
    invert_lu(left_block(Po1), inverse);
    multiply(left_block(Pn1), inverse, T1);
    invert_lu(left_block(Po2), inverse);
    multiply(left_block(Pn2), inverse, T2);
    return degenerate;
}

void apply_orientation(const cv::Mat& Po1, const cv::Mat& Po2, cv::Mat& Pn1, cv::Mat& Pn2,
                       const cv::Mat& S1, const cv::Mat& S2, cv::Mat& T1, cv::Mat& T2) {
    multiply(S1, Pn1, Pn1);
    multiply(S2, Pn2, Pn2);
    cv::Mat inverse1 = new_matrix(3, 3);
    cv::Mat inverse2 = new_matrix(3, 3);
    invert_lu(left_block(Po1), inverse1);
    invert_lu(left_block(Po2), inverse2);
    multiply(left_block(Pn1), inverse1, T1);
    multiply(left_block(Pn2), inverse2, T2);
}

void fit_transforms(const cv::Mat& Po1, const cv::Mat& Po2, cv::Mat& Pn1, cv::Mat& Pn2, cv::Mat& T1,
                    cv::Mat& T2) {
    // Each transform is judged on its own, the left one first.
    const cv::Mat S1 = orientation_of(T1);
    const cv::Mat S2 = orientation_of(T2);
    apply_orientation(Po1, Po2, Pn1, Pn2, S1, S2, T1, T2);
    shift_to_origin(T1, T2);
    align_left_edges(T1, T2);
    scale_to_frame(T1, T2);
}

Rectification compute_rectification(const cv::Mat& K_left, const cv::Mat& K_right,
                                    const cv::Mat& T) {
    Rectification r;
    std::tie(r.Po1, r.Po2) = old_projections(K_left, K_right, T);
    r.Pn1 = new_matrix(3, 4);
    r.Pn2 = new_matrix(3, 4);
    r.T1 = new_matrix(3, 3);
    r.T2 = new_matrix(3, 3);
    r.degenerate_rule_applied = rectify_projections(r.Po1, r.Po2, r.Pn1, r.Pn2, r.T1, r.T2);
    fit_transforms(r.Po1, r.Po2, r.Pn1, r.Pn2, r.T1, r.T2);
    r.H1 = new_matrix(3, 3);
    r.H2 = new_matrix(3, 3);
    invert_lu(r.T1, r.H1);
    invert_lu(r.T2, r.H2);
    return r;
}

void compute_rectification(const cv::Mat& K_left, const cv::Mat& K_right, const cv::Mat& T,
                           cv::Mat& H1, cv::Mat& H2) {
    const Rectification r = compute_rectification(K_left, K_right, T);
    copy_into(r.H1, H1);
    copy_into(r.H2, H2);
}

std::optional<cv::Size> output_size_for(cv::Size left_size, double scale_factor) {
    if (!(scale_factor > 0.0) || !std::isfinite(scale_factor)) {
        return std::nullopt;
    }
    const double width = std::trunc(left_size.width * scale_factor);
    const double height = std::trunc(left_size.height * scale_factor);
    if (!(width >= 1.0 && height >= 1.0 && width * height <= MAX_OUTPUT_PIXELS)) {
        return std::nullopt;
    }
    return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

}  // namespace rectify
