// How the run treats what already stands at its output paths, and what a
// failure or a signal leaves there: both outputs change together or not at all.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sample_run.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::folder_entries;
using testing::kFailure;
using testing::ProcessResult;
using testing::read_file;
using testing::SampleRun;
using testing::write_file;

// The names of the run's temporaries left in a folder.
std::vector<std::string> temporaries_in(const std::filesystem::path& folder) {
    std::vector<std::string> found;
    for (const std::string& name : folder_entries(folder)) {
        if (name.starts_with(".stereo-rectify-")) {
            found.push_back(name);
        }
    }
    return found;
}

TEST_F(SampleRun, OutputsThatAreNotRegularFilesAreRefusedBeforeAnythingChanges) {
    ASSERT_EQ(run().exit_status, 1);
    const std::string left_before = read_file(dir.file("left_rectified.ppm"));
    std::filesystem::remove(dir.file("right_rectified.ppm"));
    std::filesystem::create_directory(dir.file("right_rectified.ppm"));
    ProcessResult result = run("left.png", "right.png", "0.5");
    EXPECT_EQ(result.output,
              "Opening parameters files...\nRefusing to write right_rectified.ppm: it is not a "
              "regular file.\n" +
                  kFailure);
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")), left_before);

    // A FIFO, and a link to a device, stay what they are.
    std::filesystem::remove(dir.file("right_rectified.ppm"));
    ASSERT_EQ(mkfifo(dir.file("left_rectified.ppm.fifo").c_str(), 0600), 0);
    std::filesystem::rename(dir.file("left_rectified.ppm.fifo"), dir.file("left_rectified.ppm"));
    std::filesystem::create_symlink("/dev/null", dir.file("right_rectified.ppm"));
    result = run();
    EXPECT_NE(result.output.find("Refusing to write left_rectified.ppm: it is not a regular file."),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_fifo(dir.file("left_rectified.ppm")));
    std::filesystem::remove(dir.file("left_rectified.ppm"));
    result = run();
    EXPECT_NE(result.output.find("Refusing to write right_rectified.ppm: it is not a regular file."),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("right_rectified.ppm")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("left_rectified.ppm")));

    // A link to a regular file is replaced by the new file, as mv would; the
    // file it pointed to is left alone.
    std::filesystem::remove(dir.file("right_rectified.ppm"));
    write_file(dir.file("elsewhere.ppm"), "kept");
    std::filesystem::create_symlink("elsewhere.ppm", dir.file("right_rectified.ppm"));
    ASSERT_EQ(run().exit_status, 1);
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("right_rectified.ppm")));
    EXPECT_EQ(read_file(dir.file("elsewhere.ppm")), "kept");
}

TEST_F(SampleRun, AFailedSaveLeavesBothEarlierOutputsAndNoTemporary) {
    // The right image in a folder the run cannot write to: run as an
    // unprivileged user, since permissions do not stop root.
    std::filesystem::create_directory(dir.file("r"));
    std::filesystem::rename(dir.file("right.png"), dir.file("r/right.png"));
    ASSERT_EQ(run("left.png", "r/right.png").exit_status, 1);
    const std::string left_before = read_file(dir.file("left_rectified.ppm"));
    const std::string right_before = read_file(dir.file("r/right_rectified.ppm"));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::filesystem::permissions(dir.file("r"), std::filesystem::perms::owner_read |
                                                    std::filesystem::perms::owner_exec |
                                                    std::filesystem::perms::others_read |
                                                    std::filesystem::perms::others_exec);
    const ProcessResult result = run("left.png", "r/right.png", "0.5", [] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
    });
    std::filesystem::permissions(dir.file("r"), std::filesystem::perms::owner_all);
    ASSERT_NE(result.exit_status, 126) << "cannot drop privileges here";
    EXPECT_TRUE(result.output.ends_with(
        "Saving left image...\nSaving right image...\nCannot write file r/right_rectified.ppm.\n" +
        kFailure))
        << result.output;
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")), left_before);
    EXPECT_EQ(read_file(dir.file("r/right_rectified.ppm")), right_before);
    EXPECT_EQ(temporaries_in(dir.path()), std::vector<std::string>{});
}

TEST_F(SampleRun, NamesUpToTheFileSystemsLimitAreWrittenWithTheUsualPermissions) {
    const std::string left = std::string(240, 'l') + ".png", right = std::string(240, 'r') + ".png";
    std::filesystem::rename(dir.file("left.png"), dir.file(left));
    std::filesystem::rename(dir.file("right.png"), dir.file(right));
    ASSERT_EQ(run(left, right, "1.0", [] { umask(027); }).exit_status, 1);
    for (const std::string& image : {left, right}) {
        const std::string output = dir.file(image.substr(0, 240) + "_rectified.ppm");
        EXPECT_EQ(std::filesystem::status(output).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                      std::filesystem::perms::group_read);
    }

    // One name past the limit is refused before any output changes.
    const std::string longer = std::string(245, 'x') + ".png";
    std::filesystem::copy_file(dir.file(right), dir.file(longer));
    const std::string left_before = read_file(dir.file(std::string(240, 'l') + "_rectified.ppm"));
    const ProcessResult result = run(left, longer, "0.5");
    EXPECT_EQ(result.output, "Opening parameters files...\nRefusing to write " +
                                 std::string(245, 'x') +
                                 "_rectified.ppm: its name is too long for the file system.\n" +
                                 kFailure);
    EXPECT_EQ(read_file(dir.file(std::string(240, 'l') + "_rectified.ppm")), left_before);
}

// Runs stereo-rectify and sends it signal_number a little after it starts
// saving; returns how it ended.
ProcessResult run_and_signal(const std::vector<std::string>& arguments, const std::string& cwd,
                             int signal_number, std::chrono::microseconds delay) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        testing::exec_in(STEREO_RECTIFY_EXE, arguments, cwd);
    }
    close(pipe_fds[1]);
    ProcessResult result;
    char buffer[4096];
    ssize_t n;
    bool sent = false;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<size_t>(n));
        if (!sent && result.output.find("Saving left image...") != std::string::npos) {
            std::this_thread::sleep_for(delay);
            kill(pid, signal_number);
            sent = true;
        }
    }
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

TEST_F(SampleRun, SignalsWhileSavingLeaveNoTemporaryAndNoHalfUpdatedPair) {
    // A pair large enough that saving takes a while.
    for (const char* side : {"left", "right"}) {
        cv::Mat image = cv::imread(dir.file(std::string(side) + ".png"));
        cv::resize(image, image, cv::Size(2400, 1800));
        ASSERT_TRUE(cv::imwrite(dir.file(std::string(side) + ".ppm"), image));
    }
    ASSERT_EQ(run("left.ppm", "right.ppm", "0.5").exit_status, 1);
    const auto old_size = std::filesystem::file_size(dir.file("left_rectified.ppm"));
    std::mt19937 random(7);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int i = 0; i < 12; ++i) {
        const int signal_number = signals[i % 3];
        const auto delay = std::chrono::microseconds(random() % 60000);
        const ProcessResult result = run_and_signal(
            {"stereo-rectify", "T.txt", "K_left.txt", "K_right.txt", "left.ppm", "right.ppm", "1"},
            dir.path().string(), signal_number, delay);
        SCOPED_TRACE("signal " + std::to_string(signal_number) + " after " +
                     std::to_string(delay.count()) + " us");
        // Killed by that very signal, unless the run had finished.
        EXPECT_TRUE(result.signal == signal_number || result.exit_status == 1) << result.output;
        EXPECT_EQ(temporaries_in(dir.path()), std::vector<std::string>{});
        const auto left = std::filesystem::file_size(dir.file("left_rectified.ppm"));
        const auto right = std::filesystem::file_size(dir.file("right_rectified.ppm"));
        EXPECT_EQ(left, right) << "a half-updated pair";
        if (left != old_size) {
            ASSERT_EQ(run("left.ppm", "right.ppm", "0.5").exit_status, 1);  // the old pair again
        }
    }
}

TEST_F(SampleRun, OutputsThatWouldShowNoPixelFailBeforeAnythingIsSaved) {
    ASSERT_TRUE(cv::imwrite(dir.file("dot.png"), cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3))));
    const std::string start =
        "Opening parameters files...\nComputing rectify trasnformation...\nWarping left image...\n";
    ProcessResult result = run("dot.png", "right.png");
    EXPECT_EQ(result.output,
              start + "Cannot rectify: the left output would show no pixel of dot.png.\n" +
                  kFailure);
    result = run("left.png", "dot.png");
    EXPECT_EQ(result.output, start +
                                 "Warping right image...\nCannot rectify: the right output would "
                                 "show no pixel of dot.png.\n" +
                                 kFailure);
    EXPECT_EQ(temporaries_in(dir.path()), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir.file("left_rectified.ppm")));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(SampleRun, RunsInATightAddressSpaceWhereNoThreadCanStart) {
    // 200 MB of address space: the libraries take most of it, and a thread's
    // stack does not fit beside them. Scale 1.7 needs the resize too.
    const ProcessResult result = run("left.png", "right.png", "1.7", [] {
        const rlimit limit{200000 * 1024, 200000 * 1024};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(result.exit_status, 1) << result.output;
}
#endif

}  // namespace
}  // namespace rectify
