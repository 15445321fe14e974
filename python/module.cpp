// The Python module stereo_rectify._stereo_rectify: the public C++ API with
// NumPy arrays. Images are taken without copying (any C-contiguous uint8 or
// uint16 array of shape (H, W) or (H, W, 3)) and returned without copying
// (the arrays own the library's images); the GIL is released while the
// library works. Errors: ValueError for a bad calibration, option or image,
// OSError for a file that cannot be read or written.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stereo_rectify/stereo_rectify.hpp>

#include "conversions.hpp"

namespace py = pybind11;
namespace sr = stereo_rectify;
using namespace stereo_rectify_python;

namespace {

sr::Options options_of(const std::string& view, const std::string& interpolation, double scale,
                       const py::object& fill, const py::object& image_size) {
    sr::Options options;
    options.view = sr::view_named(view);
    options.interpolation = sr::interpolation_named(interpolation);
    options.scale = scale;
    try {
        std::tie(options.left_fill, options.right_fill) = fill.cast<std::pair<int, int>>();
    } catch (const py::cast_error&) {
        throw py::value_error("fill must be (left, right), two levels from 0 to 255");
    }
    options.image_size = size_of(image_size, "image_size");
    return options;
}

std::vector<sr::PairFiles> pairs_of(const py::object& pairs) {
    if (py::isinstance<py::str>(pairs) || py::hasattr(pairs, "__fspath__")) {
        const std::string list = path_text(pairs);
        py::gil_scoped_release release;
        return sr::read_pair_list(list);
    }
    std::vector<sr::PairFiles> files;
    for (const py::handle pair : pairs) {
        if (!py::isinstance<py::sequence>(pair) || py::isinstance<py::str>(pair) ||
            py::len(pair) != 2) {
            throw py::value_error("pairs must be (left, right) paths, or a pair list file");
        }
        const auto two = py::reinterpret_borrow<py::sequence>(pair);
        files.push_back({path_text(two[0]), path_text(two[1])});
    }
    return files;
}

py::list report_of(const sr::FilesReport& report) {
    py::list results;
    std::string failures;
    for (const sr::PairResult& pair : report.pairs) {
        if (!pair.failure.empty()) {
            failures += (failures.empty() ? "" : "\n") + pair.failure;
            continue;
        }
        py::dict result;
        result["left"] = pair.pair.left;
        result["right"] = pair.pair.right;
        result["left_output"] = pair.left_output;
        result["right_output"] = pair.right_output;
        if (!pair.left_mask.empty()) {
            result["left_mask"] = pair.left_mask;
            result["right_mask"] = pair.right_mask;
        }
        results.append(result);
    }
    if (report.failed > 0) {
        PyErr_SetString(PyExc_OSError,
                        (std::to_string(report.failed) + " of " +
                         std::to_string(report.pairs.size()) + " pairs failed:\n" + failures)
                            .c_str());
        throw py::error_already_set();
    }
    return results;
}

}  // namespace

PYBIND11_MODULE(_stereo_rectify, m) {
    m.doc() = "Rectification of calibrated stereo pairs (the library of stereo-rectify-batch).";
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const sr::Error& error) {
            PyErr_SetString(error.kind() == sr::Error::Kind::file ? PyExc_OSError
                                                                  : PyExc_ValueError,
                            error.what());
        }
    });

    py::class_<sr::Calibration>(m, "Calibration", R"(A calibrated stereo rig: X_right = R X_left + T.

Calibration(K1, D1, K2, D2, R, T, image_size=None, fisheye=False) takes the
matrices in memory: K1, K2 3 x 3; D1, D2 None or 4, 5, 8, 12 or 14
coefficients (1-D or 1 x N; fisheye: 4); R 3 x 3 or a rotation vector; T 3 or
3 x 1; image_size (width, height) of both images. Raises ValueError when they
do not describe a rig that can be rectified.)")
        .def(py::init([](const py::object& K1, const py::object& D1, const py::object& K2,
                         const py::object& D2, const py::object& R, const py::object& T,
                         const py::object& image_size, bool fisheye) {
                 return sr::Calibration(matrix_of(K1, "K1"), matrix_of(D1, "D1"),
                                        matrix_of(K2, "K2"), matrix_of(D2, "D2"),
                                        matrix_of(R, "R"), matrix_of(T, "T"),
                                        size_of(image_size, "image_size"), fisheye);
             }),
             py::arg("K1"), py::arg("D1"), py::arg("K2"), py::arg("D2"), py::arg("R"),
             py::arg("T"), py::kw_only(), py::arg("image_size") = py::none(),
             py::arg("fisheye") = false)
        .def_static(
            "from_file",
            [](const py::object& path, const py::args& more, const py::object& left_intrinsics,
               const py::object& right_intrinsics) {
                const std::string first = path_text(path);
                if (!left_intrinsics.is_none() || !right_intrinsics.is_none()) {
                    if (left_intrinsics.is_none() || right_intrinsics.is_none() || !more.empty()) {
                        throw py::value_error(
                            "the text calibration is one transformation file and both "
                            "left_intrinsics and right_intrinsics");
                    }
                    const std::string left = path_text(left_intrinsics);
                    const std::string right = path_text(right_intrinsics);
                    py::gil_scoped_release release;
                    return sr::Calibration::from_text_files(first, left, right);
                }
                std::vector<std::string> paths = {first};
                for (const py::handle other : more) {
                    paths.push_back(path_text(other));
                }
                py::gil_scoped_release release;
                return sr::Calibration::from_files(paths);
            },
            py::arg("path"), py::kw_only(), py::arg("left_intrinsics") = py::none(),
            py::arg("right_intrinsics") = py::none(),
            R"(Loads a calibration as stereo-rectify-batch does.

from_file("stereo.yml"): OpenCV FileStorage files (YAML, XML, JSON; several
paths are merged) or one camera-chain YAML. from_file("T.txt",
left_intrinsics="K_left.txt", right_intrinsics="K_right.txt"): the
six-argument tool's text files. Raises OSError when a file cannot be read,
ValueError when it holds no valid calibration.)")
        .def_property_readonly(
            "image_size", [](const sr::Calibration& c) { return size_tuple(c.image_size()); },
            "(width, height) when the calibration gives it, else None.");

    py::class_<sr::Rectifier>(m, "Rectifier", R"(Rectifies pairs of one image size with one calibration.

Rectifier(calibration, view='full', interpolation='linear', scale=1.0,
fill=(100, 255), image_size=None): view 'full', 'valid' or 'nominal';
interpolation 'nearest', 'linear', 'cubic' or 'lanczos'; the outputs are the
image size times scale; fill: the levels of pixels with no source (times 257
for 16-bit images); image_size (width, height) when the calibration gives none.
Raises ValueError for an unknown or impossible option. Immutable: one
rectifier may be used from several threads at once.)")
        .def(py::init([](const sr::Calibration& calibration, const std::string& view,
                         const std::string& interpolation, double scale, const py::object& fill,
                         const py::object& image_size) {
                 const sr::Options options =
                     options_of(view, interpolation, scale, fill, image_size);
                 py::gil_scoped_release release;
                 return sr::Rectifier(calibration, options);
             }),
             py::arg("calibration"), py::arg("view") = "full", py::arg("interpolation") = "linear",
             py::arg("scale") = 1.0, py::arg("fill") = py::make_tuple(100, 255),
             py::arg("image_size") = py::none())
        .def(
            "rectify",
            [](const sr::Rectifier& rectifier, const py::object& left, const py::object& right,
               int threads) {
                const cv::Mat left_image = image_view(left, "left");
                const cv::Mat right_image = image_view(right, "right");
                std::pair<cv::Mat, cv::Mat> outputs;
                {
                    py::gil_scoped_release release;
                    outputs = rectifier.rectify(left_image, right_image, threads);
                }
                return py::make_tuple(as_array(std::move(outputs.first)),
                                      as_array(std::move(outputs.second)));
            },
            py::arg("left"), py::arg("right"), py::kw_only(), py::arg("threads") = 0,
            R"(Rectifies a pair: two new arrays of output_size, each of its input's dtype and
channels. left and right: C-contiguous uint8 or uint16 arrays of shape (H, W)
or (H, W, 3) (BGR, as OpenCV reads them) of the rectifier's image size; they are
read in place. threads: how many threads one image may use (0: every
processor). Raises ValueError for any other array or size.)")
        .def_property_readonly(
            "image_size", [](const sr::Rectifier& r) { return size_tuple(r.image_size()); },
            "(width, height) of the images this rectifier takes.")
        .def_property_readonly(
            "output_size", [](const sr::Rectifier& r) { return size_tuple(r.output_size()); },
            "(width, height) of its outputs.")
        .def_property_readonly(
            "cameras",
            [](const sr::Rectifier& rectifier) {
                const sr::Cameras& c = rectifier.cameras();
                py::dict cameras;
                for (const auto& [name, matrix] :
                     {std::pair{"H1", &c.H1}, {"H2", &c.H2}, {"P1", &c.P1}, {"P2", &c.P2},
                      {"R1", &c.R1}, {"R2", &c.R2}, {"Q", &c.Q}}) {
                    cameras[name] = as_array(matrix->clone());
                }
                cameras["image_size"] = size_tuple(c.image_size);
                cameras["baseline"] = c.baseline;
                cameras["degenerate_rule_applied"] = c.degenerate_rule_applied;
                return cameras;
            },
            R"(The rectified cameras, as stereo-rectify-batch --cameras writes them: a dict with
H1, H2 (3 x 3 float32 warp maps), P1, P2 (3 x 4), R1, R2 (3 x 3), Q (4 x 4),
image_size, baseline and degenerate_rule_applied.)")
        .def(
            "masks",
            [](const sr::Rectifier& rectifier) {
                auto [left, right] = rectifier.masks();
                return py::make_tuple(as_array(std::move(left)), as_array(std::move(right)));
            },
            "The valid-pixel masks of the two outputs: uint8, 255 where a pixel has a source.");

    m.def(
        "rectify_files",
        [](const py::object& source, const py::object& pairs, const py::object& output_dir,
           const py::object& view, const py::object& interpolation, const py::object& scale,
           const py::object& fill, const py::object& image_size, const std::string& format,
           int jpeg_quality, bool masks, int jobs, const py::object& cameras) {
            sr::FileOptions file_options;
            file_options.format = sr::format_named(format);
            file_options.jpeg_quality = jpeg_quality;
            file_options.masks = masks;
            file_options.jobs = jobs;
            file_options.cameras_path = cameras.is_none() ? std::string() : path_text(cameras);
            const std::vector<sr::PairFiles> files = pairs_of(pairs);
            const std::string folder = path_text(output_dir);
            sr::FilesReport report;
            if (py::isinstance<sr::Rectifier>(source)) {
                for (const py::object& option : {view, interpolation, scale, fill, image_size}) {
                    if (!option.is_none()) {
                        throw py::value_error("a Rectifier carries its own options: give view, "
                                              "interpolation, scale, fill and image_size to it");
                    }
                }
                const sr::Rectifier& rectifier = source.cast<const sr::Rectifier&>();
                py::gil_scoped_release release;
                report = sr::rectify_files(rectifier, files, folder, file_options);
            } else if (py::isinstance<sr::Calibration>(source)) {
                const sr::Options options = options_of(
                    view.is_none() ? "full" : view.cast<std::string>(),
                    interpolation.is_none() ? "linear" : interpolation.cast<std::string>(),
                    scale.is_none() ? 1.0 : scale.cast<double>(),
                    fill.is_none() ? py::object(py::make_tuple(100, 255)) : fill, image_size);
                const sr::Calibration& calibration = source.cast<const sr::Calibration&>();
                py::gil_scoped_release release;
                report = sr::rectify_files(calibration, options, files, folder, file_options);
            } else {
                throw py::value_error("rectify_files takes a Calibration or a Rectifier first");
            }
            return report_of(report);
        },
        py::arg("calibration"), py::arg("pairs"), py::arg("output_dir"), py::kw_only(),
        py::arg("view") = py::none(), py::arg("interpolation") = py::none(),
        py::arg("scale") = py::none(), py::arg("fill") = py::none(),
        py::arg("image_size") = py::none(), py::arg("format") = "png",
        py::arg("jpeg_quality") = 95, py::arg("masks") = false, py::arg("jobs") = 0,
        py::arg("cameras") = py::none(),
        R"(Rectifies pairs of files into output_dir, as stereo-rectify-batch does.

calibration: a Calibration (with the Rectifier options view, interpolation,
scale, fill, image_size; the image size defaults to the calibration's, else
the first left image's) or a Rectifier. pairs: (left, right) paths, or the
path of a pair list file. Outputs: output_dir/left/NAME.png and
output_dir/right/NAME.png (format 'png', 'ppm', 'tiff' or 'jpg'), masks in
left_mask/ and right_mask/, cameras: a cameras file to write. Every file is
written atomically. Returns one dict per pair (left, right, left_output,
right_output). Raises ValueError before any work for bad options or outputs
that would replace inputs; OSError when a folder cannot be made, or after every
pair was tried when any failed, with one line per failed pair.)");

    m.def(
        "read_pair_list",
        [](const py::object& path) {
            const std::string list = path_text(path);
            std::vector<sr::PairFiles> pairs;
            {
                py::gil_scoped_release release;
                pairs = sr::read_pair_list(list);
            }
            py::list result;
            for (const sr::PairFiles& pair : pairs) {
                result.append(py::make_tuple(pair.left, pair.right));
            }
            return result;
        },
        py::arg("path"),
        R"(The (left, right) paths of a pair list file, as stereo-rectify-batch --pairs reads
it: one pair a line, paths relative to the file's folder, # comments. Raises
OSError when it cannot be read or a line is not two paths.)");

    m.def(
        "read_image",
        [](const py::object& path) {
            const std::string file = path_text(path);
            cv::Mat image;
            {
                py::gil_scoped_release release;
                image = sr::read_image(file);
            }
            return as_array(std::move(image));
        },
        py::arg("path"),
        R"(Reads an image as stereo-rectify-batch does: grey stays grey (H, W), colour is
BGR (H, W, 3), 16-bit stays uint16. Raises OSError when it cannot be read.)");

    m.attr("__version__") = sr::version();
}
