#pragma once
// The valid view's search: the tallest window of shared rows in which both
// rectified images hold a rectangle of given proportions.

#include <vector>

#include <opencv2/core.hpp>

namespace rectify {

struct ValidWindow {
    bool found = false;
    double top = 0.0, height = 0.0;  // the shared rows, on the rectified plane
    double left[2] = {0.0, 0.0};     // where each image's rectangle starts in x
};

// outline1, outline2: the closed borders of the two rectified images; where
// a curved border cuts a row in several stretches, the one around the
// image's centre counts. width_per_height: the shape of the rectangle. The rows are searched on a
// grid of 2001 across the rows both images share; each rectangle is centred in the room its image
// leaves.
ValidWindow largest_shared_window(const std::vector<cv::Point2d>& outline1,
                                  const std::vector<cv::Point2d>& outline2,
                                  double width_per_height);

}  // namespace rectify
