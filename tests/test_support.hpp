#pragma once
// Small helpers shared by the tests: scratch folders and files.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

namespace rectify::testing {

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "stereo-rectify-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace rectify::testing

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <functional>
#include <vector>

namespace rectify::testing {

struct ProcessResult {
    std::string output;    // standard output
    std::string errors;    // standard error
    int exit_status = -1;  // -1 when killed by a signal
    int signal = 0;
};

// In a forked child: moves to folder cwd and runs the executable with
// arguments (argv[0] included); never returns.
[[noreturn]] inline void exec_in(const char* executable, const std::vector<std::string>& arguments,
                                 const std::string& cwd,
                                 const std::function<void()>& before_exec = {}) {
    if (chdir(cwd.c_str()) != 0) {
        _exit(127);
    }
    if (before_exec) {
        before_exec();
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(executable, argv.data());
    _exit(127);
}

// Runs the executable with arguments (argv[0] included) in folder cwd.
// before_exec runs in the child, e.g. to set resource limits.
inline ProcessResult run_executable(const char* executable,
                                    const std::vector<std::string>& arguments,
                                    const std::string& cwd,
                                    const std::function<void()>& before_exec = {}) {
    // Standard error goes to a file, so that reading one pipe cannot block the
    // child on the other.
    char errors_path[] = "/tmp/stereo-rectify-stderr-XXXXXX";
    const int errors_fd = mkstemp(errors_path);
    int pipe_fds[2];
    if (errors_fd < 0 || pipe(pipe_fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(errors_fd, 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        exec_in(executable, arguments, cwd, before_exec);
    }
    close(pipe_fds[1]);
    ProcessResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(errors_fd);
    result.errors = read_file(errors_path);
    unlink(errors_path);
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

// Starts the executable with arguments (argv[0] included) in folder cwd, its
// standard output going to the file output_path (or nowhere when empty) and
// its standard error nowhere; returns its process id, for the caller to
// signal and reap.
inline pid_t spawn_executable(const char* executable, const std::vector<std::string>& arguments,
                              const std::string& cwd, const std::string& output_path = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        const int out_fd = output_path.empty()
                               ? null_fd
                               : open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out_fd, 1);
        dup2(null_fd, 2);
        exec_in(executable, arguments, cwd);
    }
    return pid;
}

// Waits for a process; its exit status, or -1 when a signal ended it.
inline int wait_for(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs stereo-rectify itself.
inline ProcessResult run_process(const std::vector<std::string>& arguments, const std::string& cwd,
                                 const std::function<void()>& before_exec = {}) {
    return run_executable(STEREO_RECTIFY_EXE, arguments, cwd, before_exec);
}

// The names of the entries of a folder, sorted.
inline std::vector<std::string> folder_entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace rectify::testing
