// Camera-chain YAML files of the common robotics calibration toolbox. These
// are plain YAML (no "%YAML:1.0" line, block sequences indented as the
// toolbox writes them), which cv::FileStorage rejects, so yaml-cpp reads them.

#include <yaml-cpp/yaml.h>

#include <cmath>

#include "calibration/calibration_source.hpp"

namespace rectify {
namespace {

struct Chain {
    std::string path;
};

KeyOrigin origin(const Chain& chain, const std::string& key) {
    return {chain.path, key};
}

YAML::Node child(const Chain& chain, const YAML::Node& parent, const std::string& parent_key,
                 const char* key) {
    const YAML::Node node = parent[key];
    if (!node) {
        fail_key(origin(chain, parent_key + "." + key), "is missing");
    }
    return node;
}

double number(const Chain& chain, const YAML::Node& node, const std::string& key) {
    double value = 0.0;
    if (!node.IsScalar() || !YAML::convert<double>::decode(node, value)) {
        fail_key(origin(chain, key), "has an element that is not a number");
    }
    if (!std::isfinite(value)) {
        fail_key(origin(chain, key), "has a non-finite element");
    }
    return value;
}

std::vector<double> numbers(const Chain& chain, const YAML::Node& node, const std::string& key) {
    if (!node.IsSequence()) {
        fail_key(origin(chain, key), "is not a list of numbers");
    }
    std::vector<double> values;
    for (const YAML::Node& element : node) {
        values.push_back(number(chain, element, key));
    }
    return values;
}

std::vector<double> numbers(const Chain& chain, const YAML::Node& node, const std::string& key,
                            std::size_t count) {
    std::vector<double> values = numbers(chain, node, key);
    if (values.size() != count) {
        fail_key(origin(chain, key), "has " + std::to_string(values.size()) + " elements (" +
                                         std::to_string(count) + " expected)");
    }
    return values;
}

std::string name(const Chain& chain, const YAML::Node& node, const std::string& key) {
    std::string value;
    if (!node.IsScalar() || !YAML::convert<std::string>::decode(node, value)) {
        fail_key(origin(chain, key), "is not a name");
    }
    return value;
}

struct Camera {
    cv::Mat K;
    Distortion distortion;
    std::optional<cv::Size> resolution;
};

Camera read_camera(const Chain& chain, const YAML::Node& root, const std::string& cam) {
    const YAML::Node node = root[cam];
    if (!node.IsMap()) {
        fail_key(origin(chain, cam), "is not a map of camera parameters");
    }
    const std::string model_key = cam + ".camera_model";
    const std::string model = name(chain, child(chain, node, cam, "camera_model"), model_key);
    if (model != "pinhole") {
        fail_key(origin(chain, model_key),
                 "is " + model + " (only the pinhole camera model is supported)");
    }
    Camera camera;
    const std::string intrinsics_key = cam + ".intrinsics";
    const std::vector<double> i =
        numbers(chain, child(chain, node, cam, "intrinsics"), intrinsics_key, 4);
    camera.K = (cv::Mat_<double>(3, 3) << i[0], 0, i[2], 0, i[1], i[3], 0, 0, 1);

    const YAML::Node coefficients = node["distortion_coeffs"];
    const YAML::Node distortion_model = node["distortion_model"];
    const std::string coefficients_key = cam + ".distortion_coeffs";
    const std::string distortion_key = cam + ".distortion_model";
    const std::string lens = distortion_model ? name(chain, distortion_model, distortion_key)
                             : coefficients   ? std::string()
                                              : std::string("none");
    if (lens.empty()) {
        fail_key(origin(chain, distortion_key), "is missing (" + coefficients_key + " is given)");
    }
    if (lens == "radtan" || lens == "equidistant") {
        camera.distortion.model =
            lens == "radtan" ? DistortionModel::standard : DistortionModel::fisheye;
        if (!coefficients) {
            fail_key(origin(chain, coefficients_key), "is missing");
        }
        camera.distortion.coefficients = numbers(chain, coefficients, coefficients_key);
    } else if (lens != "none") {
        fail_key(origin(chain, distortion_key),
                 "is " + lens + " (radtan, equidistant or none expected)");
    }
    if (const YAML::Node resolution = node["resolution"]) {
        const std::vector<double> r = numbers(chain, resolution, cam + ".resolution", 2);
        if (!(r[0] >= 1 && r[1] >= 1 && r[0] <= 1e9 && r[1] <= 1e9 && r[0] == std::floor(r[0]) &&
              r[1] == std::floor(r[1]))) {
            fail_key(origin(chain, cam + ".resolution"),
                     "is not a positive whole number of pixels");
        }
        camera.resolution = cv::Size(static_cast<int>(r[0]), static_cast<int>(r[1]));
    }
    return camera;
}

}  // namespace

bool is_camera_chain(const std::string& text) {
    try {
        const YAML::Node root = YAML::Load(text);
        return root.IsMap() && root["cam0"] && root["cam1"];
    } catch (const YAML::Exception&) {
        return false;  // not YAML that yaml-cpp reads: an OpenCV file, or no calibration
    }
}

StereoCalibration load_camera_chain(const std::string& path, const std::string& text) {
    const Chain chain{path};
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception&) {
        fail_file(path, "it is not a YAML file");
    }
    const Camera cam0 = read_camera(chain, root, "cam0");
    const Camera cam1 = read_camera(chain, root, "cam1");
    const std::string transform_key = "cam1.T_cn_cnm1";
    const YAML::Node transform = child(chain, root["cam1"], "cam1", "T_cn_cnm1");
    if (!transform.IsSequence() || transform.size() != 4) {
        fail_key(origin(chain, transform_key), "is not 4 x 4");
    }
    cv::Mat T(4, 4, CV_64F);
    for (int r = 0; r < 4; ++r) {
        const std::vector<double> row = numbers(chain, transform[r], transform_key);
        if (row.size() != 4) {
            fail_key(origin(chain, transform_key), "is not 4 x 4");
        }
        for (int c = 0; c < 4; ++c) {
            T.at<double>(r, c) = row[static_cast<std::size_t>(c)];
        }
    }
    if (cam0.resolution && cam1.resolution && *cam0.resolution != *cam1.resolution) {
        fail_key(origin(chain, "cam1.resolution"),
                 "differs from cam0.resolution (both images of a pair have one size)");
    }
    StereoCalibration c;
    c.K1 = cam0.K;
    c.K2 = cam1.K;
    c.D1 = cam0.distortion;
    c.D2 = cam1.distortion;
    c.R = T(cv::Rect(0, 0, 3, 3)).clone();
    c.T = T(cv::Rect(3, 0, 1, 3)).clone();
    c.image_size = cam0.resolution ? cam0.resolution : cam1.resolution;
    const CalibrationOrigins origins{
        origin(chain, "cam0.intrinsics"), origin(chain, "cam0.distortion_coeffs"),
        origin(chain, "cam1.intrinsics"), origin(chain, "cam1.distortion_coeffs"),
        origin(chain, transform_key),     origin(chain, transform_key)};
    check_loaded(c, origins);
    return c;
}

}  // namespace rectify
