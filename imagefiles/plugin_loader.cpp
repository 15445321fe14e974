#include "imagefiles/plugin_loader.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "imagefiles/codec_plugin.hpp"

namespace rectify {
namespace {

std::filesystem::path executable_folder() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable.parent_path();
}

// The shared library this code is part of, when it is not the executable
// (a program or a Python module on the installed library).
std::filesystem::path library_file() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&library_file), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path library = std::filesystem::canonical(info.dli_fname, error);
    const std::filesystem::path executable = std::filesystem::canonical("/proc/self/exe", error);
    return error || library == executable ? std::filesystem::path() : library;
}

}  // namespace

std::vector<std::string> codec_plugin_candidates(const std::string& explicit_path) {
    if (!explicit_path.empty()) {
        return {explicit_path};
    }
    std::vector<std::string> candidates;
    if (const std::filesystem::path folder = executable_folder(); !folder.empty()) {
        candidates = {(folder / CODEC_PLUGIN_FILE).string(),
                      (folder / ".." / "lib" / "stereo-rectify" / CODEC_PLUGIN_FILE)
                          .lexically_normal()
                          .string()};
    }
    // Installed, the library sits in lib/ and the plugin in lib/stereo-rectify/.
    if (const std::filesystem::path library = library_file(); !library.empty()) {
        candidates.push_back(
            (library.parent_path() / "stereo-rectify" / CODEC_PLUGIN_FILE).string());
    }
    return candidates;
}

cv::Mat decode_with_plugin(const std::vector<unsigned char>& bytes, int imread_flags,
                           const std::string& explicit_path) {
    for (const std::string& candidate : codec_plugin_candidates(explicit_path)) {
        // The handle is kept: the codec module is not made to be unloaded.
        void* plugin = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (plugin == nullptr) {
            continue;
        }
        const auto decode =
            reinterpret_cast<CodecPluginDecode>(dlsym(plugin, CODEC_PLUGIN_DECODE_SYMBOL));
        if (decode == nullptr) {
            return {};
        }
        cv::Mat image;
        if (decode(bytes.data(), bytes.size(), imread_flags, &image) != 0) {
            return {};
        }
        return image;
    }
    return {};
}

bool codec_plugin_loaded(const std::string& explicit_path) {
    for (const std::string& candidate : codec_plugin_candidates(explicit_path)) {
        if (void* plugin = dlopen(candidate.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            dlclose(plugin);  // drops only the reference RTLD_NOLOAD took
            return true;
        }
    }
    return false;
}

}  // namespace rectify
