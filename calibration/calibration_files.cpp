#include "calibration/calibration_files.hpp"

#include <map>
#include <optional>

#include "calibration/calibration_source.hpp"
#include "calibration/readers.hpp"
#include "geometry/calibration_check.hpp"
#include "geometry/matrix.hpp"

namespace rectify {
namespace {

// One part of the calibration and the names a file may give it.
struct Field {
    const char* name;  // for messages about a missing part
    std::vector<const char*> keys;
};

enum FieldId { K1, D1, K2, D2, ROTATION, T, WIDTH, HEIGHT, SIZE, MODEL, FIELD_COUNT };

const Field& field(int id) {
    static const Field fields[FIELD_COUNT] = {
        {"K1", {"K1", "M1", "cameraMatrix1"}},
        {"D1", {"D1", "distCoeffs1"}},
        {"K2", {"K2", "M2", "cameraMatrix2"}},
        {"D2", {"D2", "distCoeffs2"}},
        {"R", {"R", "om", "rvec"}},
        {"T", {"T"}},
        {"image_width", {"image_width"}},
        {"image_height", {"image_height"}},
        {"image_size", {"image_size"}},
        {"distortion_model", {"distortion_model"}},
    };
    return fields[id];
}

// A value found in a file: a matrix of CV_64F (numbers), or a string.
struct Found {
    KeyOrigin origin;
    cv::Mat matrix;
    std::string text;
};

bool is_number(const cv::FileNode& node) {
    return node.isInt() || node.isReal();
}

// A node as a one-channel CV_64F matrix: an OpenCV matrix, a number, or a
// (possibly nested, one level) sequence of numbers.
cv::Mat read_matrix(const cv::FileNode& node, const KeyOrigin& origin) {
    if (is_number(node)) {
        return cv::Mat(1, 1, CV_64F, cv::Scalar(static_cast<double>(node)));
    }
    if (node.isMap()) {
        cv::Mat m;
        try {
            node >> m;
        } catch (const cv::Exception&) {
            m.release();
        }
        if (m.empty() || m.dims != 2) {
            fail_key(origin, "is not a matrix");
        }
        cv::Mat d;
        m.reshape(1, m.rows).convertTo(d, CV_64F);
        return d;
    }
    if (!node.isSeq()) {
        fail_key(origin, "is not a matrix or a list of numbers");
    }
    std::vector<std::vector<double>> rows;
    const bool nested = node.size() > 0 && node[0].isSeq();
    for (const cv::FileNode& item : node) {
        std::vector<double> row;
        if (nested && item.isSeq()) {
            for (const cv::FileNode& element : item) {
                if (!is_number(element))
                    fail_key(origin, "has an element that is not a number");
                row.push_back(static_cast<double>(element));
            }
        } else if (!nested && is_number(item)) {
            row.push_back(static_cast<double>(item));
        } else {
            fail_key(origin, "has an element that is not a number");
        }
        rows.push_back(row);
    }
    if (!nested) {
        cv::Mat m(1, static_cast<int>(rows.size()), CV_64F);
        for (std::size_t i = 0; i < rows.size(); ++i)
            m.at<double>(0, static_cast<int>(i)) = rows[i][0];
        return m;
    }
    cv::Mat m(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()), CV_64F);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].size() != rows[0].size())
            fail_key(origin, "has rows of unequal length");
        for (std::size_t c = 0; c < rows[r].size(); ++c)
            m.at<double>(static_cast<int>(r), static_cast<int>(c)) = rows[r][c];
    }
    return m;
}

std::string shape_of(const cv::Mat& m) {
    return std::to_string(m.rows) + " x " + std::to_string(m.cols);
}

// A 3 x 3 matrix; a flat list of 9 numbers is read row by row.
cv::Mat as_3x3(const Found& found) {
    const cv::Mat& m = found.matrix;
    if (m.rows == 3 && m.cols == 3)
        return m;
    if (m.rows == 1 && m.cols == 9)
        return m.reshape(1, 3);
    fail_key(found.origin, "is " + shape_of(m) + " (3 x 3 expected)");
}

// A vector: one row or one column.
std::vector<double> as_vector(const Found& found) {
    const cv::Mat& m = found.matrix;
    if (m.rows != 1 && m.cols != 1) {
        fail_key(found.origin, "is " + shape_of(m) + " (one row or one column expected)");
    }
    return std::vector<double>(m.begin<double>(), m.end<double>());
}

std::vector<double> as_vector(const Found& found, std::size_t count) {
    std::vector<double> v = as_vector(found);
    if (v.size() != count) {
        fail_key(found.origin, "has " + std::to_string(v.size()) + " elements (" +
                                   std::to_string(count) + " expected)");
    }
    return v;
}

int as_dimension(const Found& found, double value) {
    if (!(value >= 1.0 && value <= 1e9 && value == std::floor(value))) {
        fail_key(found.origin, "is not a positive whole number of pixels");
    }
    return static_cast<int>(value);
}

// Opens a FileStorage text; YAML without its "%YAML" line gets one.
cv::FileStorage open_storage(const std::string& path, std::string text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    const bool marked = start != std::string::npos && (text.compare(start, 5, "%YAML") == 0 ||
                                                       text[start] == '<' || text[start] == '{');
    if (!marked) {
        text = "%YAML:1.0\n" + text;
    }
    cv::FileStorage storage;
    try {
        storage.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    } catch (const cv::Exception&) {
        storage.release();
    }
    if (!storage.isOpened() || !storage.root().isMap()) {
        fail_file(path, "it is not an OpenCV YAML, XML or JSON file, nor a camera chain");
    }
    return storage;
}

using FoundFields = std::map<int, Found>;

void collect(const std::string& path, const std::string& text, FoundFields& found) {
    cv::FileStorage storage = open_storage(path, text);
    for (int id = 0; id < FIELD_COUNT; ++id) {
        for (const char* key : field(id).keys) {
            const cv::FileNode node = storage[key];
            if (node.isNone()) {
                continue;
            }
            const KeyOrigin origin{path, key};
            if (const auto earlier = found.find(id); earlier != found.end()) {
                const KeyOrigin& first = earlier->second.origin;
                fail_key(origin, std::string("repeats ") + first.key +
                                     (first.file == path ? "" : " of " + first.file) +
                                     " (each part of the calibration must be given once)");
            }
            Found value{origin, {}, {}};
            if (id == MODEL) {
                if (!node.isString())
                    fail_key(origin, "is not a name");
                value.text = static_cast<std::string>(node);
            } else {
                value.matrix = read_matrix(node, origin);
                if (!all_elements_finite(value.matrix))
                    fail_key(origin, "has a non-finite element");
            }
            found[id] = value;
        }
    }
}

std::string joined(const std::vector<std::string>& paths) {
    std::string s;
    for (const std::string& p : paths)
        s += (s.empty() ? "" : ", ") + p;
    return s;
}

const Found& required(const FoundFields& found, int id, const std::vector<std::string>& paths) {
    const auto it = found.find(id);
    if (it == found.end()) {
        std::string names;
        for (const char* key : field(id).keys)
            names += (names.empty() ? "" : " or ") + std::string(key);
        throw CalibrationError(std::string("Cannot read calibration file") +
                               (paths.size() > 1 ? "s " : " ") + joined(paths) + ": key " + names +
                               " is missing.");
    }
    return it->second;
}

StereoCalibration load_file_storage(const std::vector<std::string>& paths,
                                    const std::vector<std::string>& texts) {
    FoundFields found;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        collect(paths[i], texts[i], found);
    }
    StereoCalibration c;
    CalibrationOrigins origins;
    const Found& k1 = required(found, K1, paths);
    const Found& k2 = required(found, K2, paths);
    const Found& rotation = required(found, ROTATION, paths);
    const Found& t = required(found, T, paths);
    c.K1 = as_3x3(k1).clone();
    c.K2 = as_3x3(k2).clone();
    origins.K1 = k1.origin;
    origins.K2 = k2.origin;
    origins.R = rotation.origin;
    origins.T = t.origin;
    if (rotation.origin.key == std::string("R")) {
        c.R = as_3x3(rotation).clone();
    } else {
        const std::vector<double> v = as_vector(rotation, 3);
        c.R = rotation_from_vector(v[0], v[1], v[2]);
    }
    c.T = cv::Mat(as_vector(t, 3), true);

    DistortionModel model = DistortionModel::standard;
    if (const auto it = found.find(MODEL); it != found.end()) {
        const std::string& name = it->second.text;
        if (name == "fisheye" || name == "equidistant") {
            model = DistortionModel::fisheye;
        } else if (name != "radtan" && name != "plumb_bob" && name != "standard") {
            fail_key(it->second.origin, "is " + name +
                                            " (fisheye, equidistant, radtan, plumb_bob "
                                            "or standard expected)");
        }
    }
    const std::pair<int, Distortion*> lenses[] = {{D1, &c.D1}, {D2, &c.D2}};
    for (const auto& [id, distortion] : lenses) {
        distortion->model = model;
        KeyOrigin& origin = id == D1 ? origins.D1 : origins.D2;
        if (const auto it = found.find(id); it != found.end()) {
            distortion->coefficients = as_vector(it->second);
            origin = it->second.origin;
        }
    }

    const auto width = found.find(WIDTH), height = found.find(HEIGHT), size = found.find(SIZE);
    if ((width == found.end()) != (height == found.end())) {
        const Found& given = width != found.end() ? width->second : height->second;
        fail_file(given.origin.file, std::string("key ") +
                                         (width != found.end() ? "image_height" : "image_width") +
                                         " is missing (" + given.origin.key + " is given)");
    }
    if (width != found.end()) {
        c.image_size = cv::Size(as_dimension(width->second, as_vector(width->second, 1)[0]),
                                as_dimension(height->second, as_vector(height->second, 1)[0]));
    }
    if (size != found.end()) {
        const std::vector<double> v = as_vector(size->second, 2);
        const cv::Size s(as_dimension(size->second, v[0]), as_dimension(size->second, v[1]));
        if (c.image_size && *c.image_size != s) {
            fail_key(size->second.origin, "differs from image_width and image_height");
        }
        c.image_size = s;
    }
    check_loaded(c, origins);
    return c;
}

}  // namespace

StereoCalibration load_calibration_files(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        throw CalibrationError("No calibration file given.");
    }
    std::vector<std::string> texts;
    for (const std::string& path : paths) {
        texts.push_back(read_calibration_text(path));
        if (nests_too_deep(texts.back())) {
            fail_file(path, "it nests deeper than any calibration file");
        }
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (is_camera_chain(texts[i])) {
            if (paths.size() > 1) {
                fail_file(paths[i],
                          "a camera chain holds the whole calibration and cannot be "
                          "merged with other files");
            }
            return load_camera_chain(paths[i], texts[i]);
        }
    }
    return load_file_storage(paths, texts);
}

StereoCalibration load_calibration_text(const std::string& transformation_path,
                                        const std::string& left_intrinsics_path,
                                        const std::string& right_intrinsics_path) {
    cv::Mat K_left = new_matrix(3, 3), K_right = new_matrix(3, 3), T = new_matrix(4, 4);
    CollectingReporter reporter;
    const auto line = [&] {
        std::string text = reporter.text();
        const std::size_t end = text.find('\n');
        return end == std::string::npos ? text : text.substr(0, end);
    };
    // The order in which stereo-rectify reads them.
    if (read_intrinsics_file(left_intrinsics_path, K_left, reporter) != ReadStatus::ok ||
        read_intrinsics_file(right_intrinsics_path, K_right, reporter) != ReadStatus::ok ||
        read_transformation_file(transformation_path, T, reporter) != ReadStatus::ok) {
        throw CalibrationError(line());
    }
    if (const CalibrationProblem problem = check_calibration(K_left, K_right, T)) {
        const std::string& path =
            problem.input == CalibrationInput::left_intrinsics    ? left_intrinsics_path
            : problem.input == CalibrationInput::right_intrinsics ? right_intrinsics_path
                                                                  : transformation_path;
        throw CalibrationError("Cannot rectify with the calibration in " + path + ": " +
                               problem.reason + ".");
    }
    StereoCalibration c;
    K_left.convertTo(c.K1, CV_64F);
    K_right.convertTo(c.K2, CV_64F);
    T(cv::Rect(0, 0, 3, 3)).convertTo(c.R, CV_64F);
    T(cv::Rect(3, 0, 1, 3)).convertTo(c.T, CV_64F);
    return c;
}

}  // namespace rectify
