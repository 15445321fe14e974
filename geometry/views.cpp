#include "geometry/views.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "geometry/calibration_check.hpp"
#include "geometry/matrix.hpp"
#include "geometry/rectify_maps.hpp"
#include "geometry/view_rows.hpp"

// How the full and valid views are fitted.
//
// They start from the rectifying transforms T1, T2 of rectify_projections,
// which carry ideal source pixels onto the common rectified image plane, and
// apply the six-argument tool's passes, measured on the real images:
// 1. Square pixels: the rectified rows are scaled by au and av (the left
//    camera's focal scales); y is rescaled by au / av so both axes share au.
// 2. Outline: the border of each stored image's pixel centres, [0, w - 1] x
//    [0, h - 1] (valid: valid_source_region, which every sampling rule
//    covers), one point per pixel, through the inverse distortion and T_k.
//    Every point must land on the same side of T_k's horizon (else the
//    rectified image is unbounded).
// 3. Orientation: x mirrored per image where its top edge would run right to
//    left; y mirrored for both where the left image's left edge would run
//    upwards (one decision, so rows stay shared).
// 4. Fit. full: each image's left edge to x = 0 (the left-edge alignment),
//    both tops to y = 0, then one scale so that the wider of the two outlines
//    and the taller extent of both fit the output's pixel centres
//    [0, W - 1] x [0, H - 1], centred in the other direction.
//    valid: the tallest window of rows shared by both outlines (searched on
//    2001 rows) in which each image holds a rectangle shaped like the
//    output around its centre; each rectangle is placed in x on its own
//    (centred in the room its image leaves) and scaled onto the output's
//    pixel centres. A last check walks the output border through the real
//    chain and zooms in by small steps until every pixel has a source.

namespace rectify {
namespace {

std::string format_view_error(const char* side, const char* what) {
    return std::string("Cannot fit the view: the border of the ") + side + " image " + what + ".";
}

cv::Matx33d translation(double tx, double ty) {
    return {1, 0, tx, 0, 1, ty, 0, 0, 1};
}
cv::Matx33d scaling(double sx, double sy) {
    return {sx, 0, 0, 0, sy, 0, 0, 0, 1};
}

cv::Point2d project(const cv::Matx33d& M, cv::Point2d p) {
    const cv::Vec3d q = M * cv::Vec3d(p.x, p.y, 1.0);
    return {q[0] / q[2], q[1] / q[2]};
}

// About one point per pixel along the border of region, clockwise from its
// top-left corner.
std::vector<cv::Point2d> border_points(const cv::Rect2d& region) {
    const int nx = std::max(2, static_cast<int>(std::ceil(region.width)));
    const int ny = std::max(2, static_cast<int>(std::ceil(region.height)));
    const double x0 = region.x, y0 = region.y;
    const double x1 = region.x + region.width, y1 = region.y + region.height;
    std::vector<cv::Point2d> points;
    for (int i = 0; i < nx; ++i)
        points.emplace_back(x0 + (x1 - x0) * i / nx, y0);
    for (int i = 0; i < ny; ++i)
        points.emplace_back(x1, y0 + (y1 - y0) * i / ny);
    for (int i = 0; i < nx; ++i)
        points.emplace_back(x1 - (x1 - x0) * i / nx, y1);
    for (int i = 0; i < ny; ++i)
        points.emplace_back(x0, y1 - (y1 - y0) * i / ny);
    return points;
}

struct SideGeometry {
    const char* name;
    cv::Matx33d K, K_inverse;
    const Distortion* distortion;
    double radius_limit;
    cv::Matx33d T;  // ideal source pixel -> rectified plane
};

// A stored pixel -> its ideal pixel, through the inverse distortion.
cv::Point2d ideal_pixel(const SideGeometry& side, cv::Point2d stored) {
    if (side.distortion->is_none()) {
        return stored;
    }
    const cv::Point2d n = project(side.K_inverse, stored);
    const auto ideal = undistort_point(*side.distortion, n, side.radius_limit);
    if (!ideal) {
        throw ViewError(format_view_error(side.name, "lies beyond what its lens model describes"));
    }
    return project(side.K, *ideal);
}

// A stored corner on the rectified plane.
cv::Point2d corner(const SideGeometry& side, cv::Point2d stored) {
    return project(side.T, ideal_pixel(side, stored));
}

// Makes every ideal pixel of the outline map to a positive third coordinate
// (T scaled by -1 if needed) and returns the rectified outline.
std::vector<cv::Point2d> rectified_outline(SideGeometry& side, const cv::Rect2d& region) {
    std::vector<cv::Vec3d> mapped;
    int positive = 0;
    for (const cv::Point2d& p : border_points(region)) {
        const cv::Point2d ideal = ideal_pixel(side, p);
        mapped.push_back(side.T * cv::Vec3d(ideal.x, ideal.y, 1.0));
        positive += mapped.back()[2] > 0.0;
    }
    const bool all_positive = positive == static_cast<int>(mapped.size());
    if (!all_positive && positive != 0) {
        throw ViewError(format_view_error(side.name,
                                          "crosses the horizon of the rectifying "
                                          "transform (the rectified image is unbounded)"));
    }
    if (!all_positive) {
        side.T = -side.T;
    }
    std::vector<cv::Point2d> outline;
    for (const cv::Vec3d& q : mapped) {
        const cv::Point2d p(q[0] / q[2], q[1] / q[2]);
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || q[2] == 0.0) {
            throw ViewError(format_view_error(side.name,
                                              "crosses the horizon of the rectifying "
                                              "transform (the rectified image is "
                                              "unbounded)"));
        }
        outline.push_back(p);
    }
    return outline;
}

cv::Rect2d bounds(const std::vector<cv::Point2d>& points) {
    double x0 = points[0].x, x1 = x0, y0 = points[0].y, y1 = y0;
    for (const cv::Point2d& p : points) {
        x0 = std::min(x0, p.x), x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

// The pixel-centre span of an output side, at least 1 so that one-pixel
// outputs still get a finite scale.
double span(int pixels) {
    return std::max(pixels - 1, 1);
}

ViewFit fit_nominal(ViewFit fit) {
    fit.map_size = fit.source_size;
    fit.to_map1 = as_matx(fit.geometry.T1);
    fit.to_map2 = as_matx(fit.geometry.T2);
    // The homogeneous sign of the image centre made positive: same mapping.
    const cv::Vec3d centre(0.5 * fit.source_size.width, 0.5 * fit.source_size.height, 1.0);
    if ((fit.to_map1 * centre)[2] < 0.0)
        fit.to_map1 = -fit.to_map1;
    if ((fit.to_map2 * centre)[2] < 0.0)
        fit.to_map2 = -fit.to_map2;
    const double sx = static_cast<double>(fit.output_size.width) / fit.source_size.width;
    const double sy = static_cast<double>(fit.output_size.height) / fit.source_size.height;
    fit.map_to_output = cv::Matx33d(sx, 0, 0.5 * sx - 0.5, 0, sy, 0.5 * sy - 0.5, 0, 0, 1);
    return fit;
}

// Whether every output border pixel has a source in region, with a margin
// of 1e-3 pixels for the maps' rounding to float.
bool border_has_sources(const SourceMapping& mapping, cv::Size output_size,
                        const cv::Rect2d& region) {
    constexpr double margin = 1e-3;
    const cv::Rect2d output(0, 0, output_size.width - 1, output_size.height - 1);
    for (const cv::Point2d& p : border_points(output)) {
        const auto s = mapping.stored_from_map(cv::Point2d(std::round(p.x), std::round(p.y)));
        if (!s || !(s->x >= region.x + margin && s->x <= region.x + region.width - margin &&
                    s->y >= region.y + margin && s->y <= region.y + region.height - margin)) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* view_name(View view) {
    switch (view) {
        case View::nominal:
            return "nominal";
        case View::valid:
            return "valid";
        default:
            return "full";
    }
}

ViewFit fit_view(const StereoCalibration& calibration, View view, cv::Size image_size,
                 cv::Size output_size) {
    if (image_size.width < 2 || image_size.height < 2 || output_size.width < 1 ||
        output_size.height < 1) {
        throw ViewError("Cannot fit the view: images of " + std::to_string(image_size.width) +
                        " x " + std::to_string(image_size.height) +
                        " pixels are too small (at least 2 x 2 needed).");
    }
    ViewFit fit;
    fit.view = view;
    fit.source_size = image_size;
    fit.output_size = output_size;
    cv::Mat K1, K2;
    calibration.K1.convertTo(K1, CV_32F);
    calibration.K2.convertTo(K2, CV_32F);
    const cv::Mat T = transformation_matrix(calibration);
    fit.geometry = compute_rectification(K1, K2, T);
    if (!warp_maps_finite(fit.geometry.H1, fit.geometry.H2)) {
        throw ViewError(
            "Cannot fit the view: the rectifying transforms are not finite numbers "
            "(degenerate calibration).");
    }
    if (view == View::nominal) {
        return fit_nominal(fit);
    }

    // The unfitted rectifying transforms, as the six-argument tool computes them.
    const auto [Po1, Po2] = old_projections(K1, K2, T);
    cv::Mat Pn1 = new_matrix(3, 4), Pn2 = new_matrix(3, 4);
    cv::Mat T1 = new_matrix(3, 3), T2 = new_matrix(3, 3);
    rectify_projections(Po1, Po2, Pn1, Pn2, T1, T2);
    const double au = cv::norm(Pn1.row(0).colRange(0, 3), cv::NORM_L2);
    const double av = cv::norm(Pn1.row(1).colRange(0, 3), cv::NORM_L2);
    const cv::Matx33d square = scaling(1.0, au / av);

    SideGeometry sides[2] = {
        {"left", as_matx(calibration.K1), as_matx(calibration.K1).inv(), &calibration.D1,
         monotonic_radius(calibration.D1), square * as_matx(T1)},
        {"right", as_matx(calibration.K2), as_matx(calibration.K2).inv(), &calibration.D2,
         monotonic_radius(calibration.D2), square * as_matx(T2)}};
    const cv::Rect2d region = view == View::valid
                                  ? valid_source_region(image_size)
                                  : cv::Rect2d(0, 0, image_size.width - 1, image_size.height - 1);
    std::vector<cv::Point2d> outlines[2];
    for (int k = 0; k < 2; ++k) {
        outlines[k] = rectified_outline(sides[k], region);
    }

    // Orientation, from the corners of each image.
    const bool mirror_y = [&] {
        const cv::Point2d top_left = corner(sides[0], region.tl());
        const cv::Point2d bottom_left = corner(sides[0], {region.x, region.y + region.height});
        return !(bottom_left.y >= top_left.y);
    }();
    cv::Matx33d orient[2];
    for (int k = 0; k < 2; ++k) {
        const cv::Point2d top_left = corner(sides[k], region.tl());
        const cv::Point2d top_right = corner(sides[k], {region.x + region.width, region.y});
        const bool mirror_x = !(top_right.x >= top_left.x);
        orient[k] = scaling(mirror_x ? -1.0 : 1.0, mirror_y ? -1.0 : 1.0);
        for (cv::Point2d& p : outlines[k]) {
            p = project(orient[k], p);
        }
    }

    const double out_w = span(output_size.width), out_h = span(output_size.height);
    cv::Matx33d place[2];
    if (view == View::full) {
        const cv::Rect2d b1 = bounds(outlines[0]), b2 = bounds(outlines[1]);
        const double top = std::min(b1.y, b2.y);
        const double height = std::max(b1.y + b1.height, b2.y + b2.height) - top;
        const double width = std::max(b1.width, b2.width);
        const double s = std::min(out_w / width, out_h / height);
        const cv::Matx33d centre =
            translation(0.5 * (out_w - s * width), 0.5 * (out_h - s * height));
        place[0] = centre * scaling(s, s) * translation(-b1.x, -top);
        place[1] = centre * scaling(s, s) * translation(-b2.x, -top);
    } else {
        const ValidWindow window = largest_shared_window(outlines[0], outlines[1], out_w / out_h);
        if (!window.found) {
            throw ViewError("Cannot fit the valid view: the two rectified images share no rows.");
        }
        const double s = out_h / window.height;
        for (int k = 0; k < 2; ++k) {
            place[k] = scaling(s, s) * translation(-window.left[k], -window.top);
        }
    }
    fit.map_size = output_size;
    fit.to_map1 = place[0] * orient[0] * sides[0].T;
    fit.to_map2 = place[1] * orient[1] * sides[1].T;
    if (view == View::valid) {
        // Zoom in about the output centre, a little at a time, until the
        // border of both outputs (and so all within it) has sources.
        SourceMapping mappings[2] = {source_mapping(calibration, fit, Side::left),
                                     source_mapping(calibration, fit, Side::right)};
        const cv::Matx33d about_centre = translation(0.5 * out_w, 0.5 * out_h);
        for (int step = 0;; ++step) {
            mappings[0].to_ideal = fit.to_map1.inv();
            mappings[1].to_ideal = fit.to_map2.inv();
            if (border_has_sources(mappings[0], output_size, region) &&
                border_has_sources(mappings[1], output_size, region)) {
                break;
            }
            if (step == 400) {
                throw ViewError(
                    "Cannot fit the valid view: no output size keeps every pixel "
                    "inside both images.");
            }
            const double zoom = 1.0 + 0.5 / std::max(out_w, out_h);
            const cv::Matx33d z = about_centre * scaling(zoom, zoom) * about_centre.inv();
            fit.to_map1 = z * fit.to_map1;
            fit.to_map2 = z * fit.to_map2;
        }
    }
    return fit;
}

}  // namespace rectify
