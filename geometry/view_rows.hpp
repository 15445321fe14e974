#pragma once
// The valid view's search: the tallest window of shared rows in which both
// rectified images hold a rectangle of a given aspect ratio.

#include <vector>

#include <opencv2/core.hpp>

namespace rectify {

struct ValidWindow {
    bool found = false;
    double top = 0.0, height = 0.0;  // the shared rows, on the rectified plane
    double left[2] = {0.0, 0.0};     // where each image's rectangle starts in x
};

// outline1, outline2: the closed borders of the two rectified images (each
// row crossing one in a single interval). aspect: width / height of the
// rectangle. The rows are searched on a grid of 2001 across the rows both
// images share; each rectangle is centred in the room its image leaves.
ValidWindow largest_shared_window(const std::vector<cv::Point2d>& outline1,
                                  const std::vector<cv::Point2d>& outline2, double aspect);

}  // namespace rectify
