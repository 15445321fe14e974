#pragma once
// Between Python objects and the library's: paths, NumPy images (viewed in
// place, returned without a copy), matrices and sizes. Failures raise
// ValueError naming the argument.

#include <optional>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

namespace stereo_rectify_python {

namespace py = pybind11;

// os.fspath(path) as a string.
std::string path_text(const py::handle& path);

// A view of a C-contiguous uint8 or uint16 NumPy array of shape (H, W) or
// (H, W, 3); name is the argument's, for the message.
cv::Mat image_view(const py::handle& object, const char* name);

// The image as a NumPy array that owns it.
py::array as_array(cv::Mat image);

// A CV_64F matrix from anything NumPy turns into numbers: 1-D as one row,
// 2-D as it is; None as an empty matrix.
cv::Mat matrix_of(const py::object& object, const char* name);

// (width, height), or nothing for None.
std::optional<cv::Size> size_of(const py::object& object, const char* name);
py::object size_tuple(std::optional<cv::Size> size);

}  // namespace stereo_rectify_python
