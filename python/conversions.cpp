#include "conversions.hpp"

#include <cstdint>
#include <vector>

namespace stereo_rectify_python {

std::string path_text(const py::handle& path) {
    return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

cv::Mat image_view(const py::handle& object, const char* name) {
    const std::string what = std::string(name) + " must be a C-contiguous uint8 or uint16 array "
                                                 "of shape (H, W) or (H, W, 3)";
    if (!py::isinstance<py::array>(object)) {
        throw py::value_error(what + ", not " + std::string(py::str(py::type::of(object))));
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    // Unsigned 8 or 16 bits in this machine's byte order.
    const py::dtype dtype = array.dtype();
    const bool native = dtype.kind() == 'u' && dtype.attr("isnative").cast<bool>();
    const bool eight = native && dtype.itemsize() == 1;
    const bool sixteen = native && dtype.itemsize() == 2;
    if (!eight && !sixteen) {
        throw py::value_error(what + ", not " + std::string(py::str(array.dtype())));
    }
    if (!(array.ndim() == 2 || (array.ndim() == 3 && array.shape(2) == 3))) {
        throw py::value_error(what + ", not of shape " +
                              std::string(py::str(py::tuple(array.attr("shape")))));
    }
    if (!(array.flags() & py::array::c_style)) {
        throw py::value_error(what + "; this one is not C-contiguous (numpy.ascontiguousarray "
                                     "makes a copy that is)");
    }
    if (array.shape(0) < 1 || array.shape(1) < 1 || array.shape(0) > INT32_MAX ||
        array.shape(1) > INT32_MAX) {
        throw py::value_error(std::string(name) + " is empty or too large");
    }
    const int channels = array.ndim() == 3 ? 3 : 1;
    return cv::Mat(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)),
                   CV_MAKETYPE(eight ? CV_8U : CV_16U, channels),
                   const_cast<void*>(array.data()));
}

py::array as_array(cv::Mat image) {
    auto* owner = new cv::Mat(std::move(image));
    py::capsule base(owner, [](void* pointer) { delete static_cast<cv::Mat*>(pointer); });
    std::vector<py::ssize_t> shape = {owner->rows, owner->cols};
    std::vector<py::ssize_t> strides = {static_cast<py::ssize_t>(owner->step[0]),
                                        static_cast<py::ssize_t>(owner->elemSize())};
    if (owner->channels() > 1) {
        shape.push_back(owner->channels());
        strides.push_back(static_cast<py::ssize_t>(owner->elemSize1()));
    }
    py::dtype dtype;
    switch (owner->depth()) {
        case CV_8U: dtype = py::dtype::of<std::uint8_t>(); break;
        case CV_16U: dtype = py::dtype::of<std::uint16_t>(); break;
        case CV_32F: dtype = py::dtype::of<float>(); break;
        default: dtype = py::dtype::of<double>(); break;
    }
    return py::array(dtype, shape, strides, owner->data, base);
}

cv::Mat matrix_of(const py::object& object, const char* name) {
    if (object.is_none()) {
        return {};
    }
    py::array_t<double, py::array::c_style | py::array::forcecast> array;
    try {
        array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(object);
    } catch (const py::error_already_set&) {
    }
    if (!array || array.ndim() < 1 || array.ndim() > 2) {
        throw py::value_error(std::string(name) + " must be a 1-D or 2-D array of numbers");
    }
    const int rows = array.ndim() == 1 ? 1 : static_cast<int>(array.shape(0));
    const int cols = static_cast<int>(array.ndim() == 1 ? array.shape(0) : array.shape(1));
    return cv::Mat(rows, cols, CV_64F, const_cast<double*>(array.data())).clone();
}

std::optional<cv::Size> size_of(const py::object& object, const char* name) {
    if (object.is_none()) {
        return std::nullopt;
    }
    try {
        const auto [width, height] = object.cast<std::pair<int, int>>();
        return cv::Size(width, height);
    } catch (const py::cast_error&) {
        throw py::value_error(std::string(name) + " must be (width, height), two integers");
    }
}

py::object size_tuple(std::optional<cv::Size> size) {
    if (!size) {
        return py::none();
    }
    return py::make_tuple(size->width, size->height);
}

}  // namespace stereo_rectify_python
