// Calibration files: every format gives the same calibration, and every kind
// of bad file ends in one line naming the file and the key.

#include <gtest/gtest.h>

#include <cstdio>

#include <opencv2/calib3d.hpp>

#include "calibration/calibration_files.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::ScratchDir;
using testing::write_file;

std::string raw(const char* name) {
    return std::string(RAW_DIR) + "/" + name;
}

double difference(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a, b, cv::NORM_INF);
}

double difference(const Distortion& a, const Distortion& b) {
    EXPECT_EQ(a.model, b.model);
    EXPECT_EQ(a.coefficients.size(), b.coefficients.size());
    if (a.coefficients.size() != b.coefficients.size())
        return 1e9;
    return cv::norm(a.coefficients, b.coefficients, cv::NORM_INF);
}

void expect_same(const StereoCalibration& a, const StereoCalibration& b, double tolerance,
                 const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_LE(difference(a.K1, b.K1), tolerance * 1000);  // pixels, three orders above the rest
    EXPECT_LE(difference(a.K2, b.K2), tolerance * 1000);
    EXPECT_LE(difference(a.D1, b.D1), tolerance);
    EXPECT_LE(difference(a.D2, b.D2), tolerance);
    EXPECT_LE(difference(a.R, b.R), tolerance);
    EXPECT_LE(difference(a.T.reshape(1, 3), b.T.reshape(1, 3)), tolerance);
    EXPECT_EQ(a.image_size, b.image_size);
}

void write_text_matrix(const std::string& path, const cv::Mat& m) {
    std::string text;
    for (int r = 0; r < m.rows; ++r) {
        for (int c = 0; c < m.cols; ++c) {
            char number[32];
            std::snprintf(number, sizeof number, "%.9g ", m.at<double>(r, c));
            text += number;
        }
        text += "\n";
    }
    write_file(path, text);
}

TEST(CalibrationFiles, EveryFormatGivesTheSameCalibration) {
    const StereoCalibration reference = load_calibration_files({raw("stereo.yml")});
    EXPECT_EQ(reference.D1.coefficients.size(), 5u);
    EXPECT_EQ(reference.image_size, cv::Size(640, 480));
    ScratchDir dir;

    // OpenCV's stereo sample: intrinsics and extrinsics in two files (here
    // YAML and JSON, the coefficients as a column), other keys ignored.
    {
        cv::FileStorage intrinsics(dir.file("intrinsics.yml"), cv::FileStorage::WRITE);
        intrinsics << "M1" << reference.K1 << "D1" << cv::Mat(reference.D1.coefficients) << "M2"
                   << reference.K2 << "D2" << cv::Mat(reference.D2.coefficients);
        intrinsics << "image_width" << 640 << "image_height" << 480;
        cv::FileStorage extrinsics(dir.file("extrinsics.json"), cv::FileStorage::WRITE);
        extrinsics << "R" << reference.R << "T" << reference.T << "Q" << cv::Mat::eye(4, 4, CV_64F);
    }
    expect_same(load_calibration_files({dir.file("intrinsics.yml"), dir.file("extrinsics.json")}),
                reference, 0.0, "split YAML + JSON");

    // XML with the long names, a rotation vector and image_size.
    {
        cv::Mat om;
        cv::Rodrigues(reference.R, om);
        cv::FileStorage xml(dir.file("stereo.xml"), cv::FileStorage::WRITE);
        xml << "cameraMatrix1" << reference.K1 << "distCoeffs1"
            << cv::Mat(reference.D1.coefficients) << "cameraMatrix2" << reference.K2
            << "distCoeffs2" << cv::Mat(reference.D2.coefficients) << "om" << om << "T"
            << reference.T.t() << "image_size" << cv::Size(640, 480);
    }
    expect_same(load_calibration_files({dir.file("stereo.xml")}), reference, 1e-12, "XML");

    // The six-argument tool's three text files (float precision, no distortion).
    cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
    reference.R.copyTo(T(cv::Rect(0, 0, 3, 3)));
    reference.T.copyTo(T(cv::Rect(3, 0, 1, 3)));
    write_text_matrix(dir.file("T.txt"), T);
    write_text_matrix(dir.file("K_left.txt"), reference.K1);
    write_text_matrix(dir.file("K_right.txt"), reference.K2);
    StereoCalibration pinhole = reference;
    pinhole.D1 = pinhole.D2 = Distortion{};
    pinhole.image_size.reset();
    expect_same(
        load_calibration_text(dir.file("T.txt"), dir.file("K_left.txt"), dir.file("K_right.txt")),
        pinhole, 1e-6, "text files");

    // A fisheye rig named by distortion_model, plain lists for matrices.
    write_file(dir.file("fisheye.yaml"),
               "%YAML:1.0\ndistortion_model: fisheye\n"
               "K1: [500, 0, 320, 0, 500, 240, 0, 0, 1]\nD1: [0.1, -0.02, 0.003, -0.0004]\n"
               "K2: [[510, 0, 330], [0, 510, 250], [0, 0, 1]]\nD2: [0.1, 0.01, 0, 0]\n"
               "R: [1, 0, 0, 0, 1, 0, 0, 0, 1]\nT: [-0.1, 0, 0]\n");
    const StereoCalibration fisheye = load_calibration_files({dir.file("fisheye.yaml")});
    EXPECT_EQ(fisheye.D1.model, DistortionModel::fisheye);
    EXPECT_EQ(fisheye.D2.coefficients[1], 0.01);
    EXPECT_EQ(fisheye.K2.at<double>(1, 2), 250.0);

    // The camera chain: its own numbers, the same rig to within what a second
    // calibration (with k3 fixed at 0) changes.
    const StereoCalibration chain = load_calibration_files({raw("camchain.yaml")});
    EXPECT_EQ(chain.K1.at<double>(0, 0), 536.4618664);
    EXPECT_EQ(chain.K1.at<double>(1, 1), 536.4142555);
    EXPECT_EQ(chain.K2.at<double>(0, 2), 328.3119816);
    EXPECT_EQ(chain.D1.model, DistortionModel::standard);
    EXPECT_EQ(chain.D1.coefficients, (std::vector<double>{-0.2786465601, 0.06717323919,
                                                          0.001823940177, -0.0003434376488}));
    EXPECT_EQ(chain.R.at<double>(0, 1), 0.004122472017);
    EXPECT_EQ(chain.T.at<double>(2, 0), 0.04864748647);
    EXPECT_EQ(chain.image_size, cv::Size(640, 480));
    EXPECT_LE(difference(chain.K1, reference.K1), 1.0);
    EXPECT_LE(difference(chain.R, reference.R), 1e-4);
    EXPECT_LE(difference(chain.T, reference.T), 0.01);
}

struct BadCase {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::string expected;  // the line, with FILE for the last file's path
};

// Every occurrence of from replaced by to.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The text from the start of `from` to the next ']' replaced by to.
std::string replaced_entry(std::string text, const std::string& from, const std::string& to) {
    const std::size_t begin = text.find(from);
    return text.replace(begin, text.find(']', begin) + 1 - begin, to);
}

TEST(CalibrationFiles, EveryBadFileGivesOneLineNamingTheFileAndTheKey) {
    const std::string stereo = testing::read_file(raw("stereo.yml"));
    const std::string chain = testing::read_file(raw("camchain.yaml"));
    const std::vector<BadCase> cases = {
        {"missing key",
         {{"a.yml", replaced(stereo, "T: !!opencv-matrix", "U: !!opencv-matrix")}},
         "Cannot read calibration file FILE: key T is missing."},
        {"coefficient count",
         {{"a.yml", replaced_entry(stereo, "D1:", "D1: [ -0.26, -0.04, 0.001 ]")}},
         "Cannot read calibration file FILE: key D1 has 3 elements (4, 5, 8, 12 or 14 expected)."},
        {"matrix shape",
         {{"a.yml", replaced(stereo, "K1: !!opencv-matrix\n   rows: 3\n   cols: 3",
                             "K1: !!opencv-matrix\n   rows: 9\n   cols: 1")}},
         "Cannot read calibration file FILE: key K1 is 9 x 1 (3 x 3 expected)."},
        {"non-finite coefficient",
         {{"a.yml", replaced(stereo, "-2.3721865887983369e-02", ".nan")}},
         "Cannot read calibration file FILE: key D2 has a non-finite element."},
        {"fisheye count",
         {{"a.yml", stereo + "distortion_model: fisheye\n"}},
         "Cannot read calibration file FILE: key D1 has 5 elements (4 expected for the fisheye "
         "model)."},
        {"repeated key",
         {{"a.yml", stereo}, {"b.yml", "%YAML:1.0\nom: [0, 0, 0]\n"}},
         "Cannot read calibration file FILE: key om repeats R of DIR/a.yml (each part of the "
         "calibration must be given once)."},
        {"check",
         {{"a.yml", replaced(stereo, "9.9999372829773014e-01 ]", "-9.9999372829773014e-01 ]")}},
         "Cannot read calibration file FILE: key R: the rotation block of the transformation is "
         "a reflection."},
        {"nesting",
         {{"a.yml", "%YAML:1.0\nK1: " + std::string(100000, '[') + std::string(100000, ']')}},
         "Cannot read calibration file FILE: it nests deeper than any calibration file."},
        {"not a calibration",
         {{"a.yml", "just some words\n"}},
         "Cannot read calibration file FILE: it is not an OpenCV YAML, XML or JSON file, nor a "
         "camera chain."},
        {"camera model",
         {{"c.yaml", replaced(chain, "  camera_model: pinhole\n  intrinsics: [542",
                              "  camera_model: omni\n  intrinsics: [542")}},
         "Cannot read calibration file FILE: key cam1.camera_model is omni (only the pinhole "
         "camera model is supported)."},
        {"chain missing key",
         {{"c.yaml", replaced(chain, "T_cn_cnm1", "T_other")}},
         "Cannot read calibration file FILE: key cam1.T_cn_cnm1 is missing."},
        {"chain non-finite",
         {{"c.yaml", replaced(chain, "-0.2786465601", ".inf")}},
         "Cannot read calibration file FILE: key cam0.distortion_coeffs has a non-finite "
         "element."},
        {"chain shape",
         {{"c.yaml", replaced(chain, "intrinsics: [536.4618664, ", "intrinsics: [")}},
         "Cannot read calibration file FILE: key cam0.intrinsics has 3 elements (4 expected)."},
    };
    for (const BadCase& bad : cases) {
        SCOPED_TRACE(bad.name);
        ScratchDir dir;
        std::vector<std::string> paths;
        for (const auto& [name, content] : bad.files) {
            paths.push_back(write_file(dir.file(name), content));
        }
        std::string expected = replaced(bad.expected, "FILE", paths.back());
        expected = replaced(expected, "DIR", dir.path().string());
        ::testing::internal::CaptureStderr();
        std::string message;
        try {
            load_calibration_files(paths);
        } catch (const CalibrationError& error) {
            message = error.what();
        }
        EXPECT_EQ(message, expected);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
}

}  // namespace
}  // namespace rectify
