// stereo-rectify-batch over many pairs: outputs that do not depend on the
// number of jobs, runs killed and resumed, and shards run side by side.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "test_support.hpp"

namespace rectify {
namespace {

using testing::folder_entries;
using testing::ProcessResult;
using testing::read_file;
using testing::run_executable;
using testing::ScratchDir;
using testing::spawn_executable;
using testing::wait_for;
using testing::write_file;

// A folder with the raw pair's calibration and a list of `count` pairs, every
// one a copy of the raw pair under its own name.
class ManyPairs : public ::testing::Test {
  protected:
    void make_pairs(int count) {
        std::filesystem::copy_file(std::string(RAW_DIR) + "/stereo.yml", dir.file("stereo.yml"));
        std::filesystem::create_directories(dir.file("l"));
        std::filesystem::create_directories(dir.file("r"));
        std::string list;
        for (int i = 0; i < count; ++i) {
            const std::string name = std::to_string(1000 + i).append(".jpg");
            const std::string left = std::string("l/").append(name);
            const std::string right = std::string("r/").append(name);
            std::filesystem::copy_file(std::string(RAW_DIR) + "/left01.jpg", dir.file(left));
            std::filesystem::copy_file(std::string(RAW_DIR) + "/right01.jpg", dir.file(right));
            list.append(left).append("\t").append(right).append("\n");
        }
        write_file(dir.file("pairs.txt"), list);
    }
    std::vector<std::string> command(const std::string& output, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {"stereo-rectify-batch", "--calibration", "stereo.yml",
                                              "--pairs", "pairs.txt", "--mask", "--quiet",
                                              "--output-dir", output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    ProcessResult batch(const std::string& output, std::vector<std::string> extra = {}) {
        return run_executable(STEREO_RECTIFY_BATCH_EXE, command(output, std::move(extra)),
                              dir.path().string());
    }
    // Every output file under a folder, by its path relative to it.
    std::map<std::string, std::string> outputs_in(const std::string& output) {
        std::map<std::string, std::string> files;
        for (const char* sub : {"left", "right", "left_mask", "right_mask"}) {
            const std::string folder = dir.file(output + "/" + sub);
            if (!std::filesystem::exists(folder)) {
                continue;
            }
            for (const std::string& name : folder_entries(folder)) {
                files[std::string(sub) + "/" + name] = read_file(folder + "/" + name);
            }
        }
        return files;
    }

    ScratchDir dir;
};

// The JSON report without the times, which differ from run to run.
std::string without_times(const std::string& report) {
    return report.substr(0, report.find(", \"stage_seconds\""));
}

TEST_F(ManyPairs, OutputsAndReportDoNotDependOnTheNumberOfJobs) {
    make_pairs(7);
    const ProcessResult one = batch("one", {"--jobs", "1", "--json"});
    const ProcessResult three = batch("three", {"--jobs", "3", "--json"});
    ASSERT_EQ(one.exit_status, 0) << one.errors;
    ASSERT_EQ(three.exit_status, 0) << three.errors;
    EXPECT_EQ(outputs_in("one").size(), 28u);
    EXPECT_TRUE(outputs_in("one") == outputs_in("three"));
    std::string report = without_times(three.output);
    for (size_t at = report.find("three/"); at != std::string::npos; at = report.find("three/")) {
        report.replace(at, 6, "one/");
    }
    EXPECT_EQ(without_times(one.output), report.replace(report.find("\"three\""), 7, "\"one\""));
}

TEST_F(ManyPairs, ARunKilledAtAnyMomentAndResumedEndsWithTheOutputsOfAWholeRun) {
    make_pairs(40);
    ASSERT_EQ(batch("whole").exit_status, 0);
    std::mt19937 random(11);
    for (int kill = 0; kill < 6; ++kill) {
        const pid_t pid = spawn_executable(STEREO_RECTIFY_BATCH_EXE,
                                           command("resumed", {"--resume"}), dir.path().string());
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
        ::kill(pid, SIGKILL);
        wait_for(pid);
    }
    const ProcessResult last = batch("resumed", {"--resume", "--json"});
    ASSERT_EQ(last.exit_status, 0) << last.errors;
    EXPECT_TRUE(outputs_in("resumed") == outputs_in("whole"));
    for (const std::string& name : folder_entries(dir.file("resumed/left"))) {
        EXPECT_FALSE(name.starts_with(".")) << "a temporary left behind: " << name;
    }
    // Other options on the same folder: refused, nothing changed.
    const ProcessResult other = batch("resumed", {"--resume", "--scale", "0.5"});
    EXPECT_EQ(other.exit_status, 2);
    EXPECT_TRUE(outputs_in("resumed") == outputs_in("whole"));
}

TEST_F(ManyPairs, ShardsSplitTheListAndTogetherDoEveryPairOnce) {
    make_pairs(10);
    ASSERT_EQ(batch("single").exit_status, 0);
    std::vector<pid_t> shards;
    for (int k = 0; k < 3; ++k) {
        shards.push_back(spawn_executable(
            STEREO_RECTIFY_BATCH_EXE,
            command("sharded", {"--json", "--shard", std::to_string(k).append("/3"), "--jobs", "1"}),
            dir.path().string(), dir.file(std::to_string(k).append(".json"))));
    }
    for (const pid_t pid : shards) {
        EXPECT_EQ(wait_for(pid), 0);
    }
    std::map<int, int> done;  // pair index -> how many shards did it
    for (int k = 0; k < 3; ++k) {
        const std::string report = read_file(dir.file(std::to_string(k).append(".json")));
        for (size_t at = report.find("\"index\": "); at != std::string::npos;
             at = report.find("\"index\": ", at + 1)) {
            const int index = std::stoi(report.substr(at + 9));
            EXPECT_EQ(index % 3, k);
            ++done[index];
        }
    }
    EXPECT_EQ(done.size(), 10u);
    for (const auto& [index, count] : done) {
        EXPECT_EQ(count, 1) << "pair " << index;
    }
    EXPECT_TRUE(outputs_in("sharded") == outputs_in("single"));
}

}  // namespace
}  // namespace rectify
