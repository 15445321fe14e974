#pragma once
// The codec plugin: a module of ours (stereo-rectify-codecs.so) that links the
// image library's codec module and decodes every format not decoded here.
// It is loaded with dlopen the first time such a file is met, and stays loaded.
//
// Where it is looked for, first found wins: the explicit path when one is
// given (then only there); else the running executable's folder (the build
// tree), then <executable's folder>/../lib/stereo-rectify/ (the install tree),
// then, for a program on the shared library, <library's folder>/stereo-rectify/.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace rectify {

inline constexpr const char* CODEC_PLUGIN_FILE = "stereo-rectify-codecs.so";

// The paths tried, in order.
std::vector<std::string> codec_plugin_candidates(const std::string& explicit_path = {});

// Decodes an encoded file's bytes with the given cv::imread flags through the
// plugin; empty when the plugin cannot be loaded or cannot decode them.
cv::Mat decode_with_plugin(const std::vector<unsigned char>& bytes, int imread_flags,
                           const std::string& explicit_path = {});

// True when the plugin is loaded in this process (it is never unloaded).
bool codec_plugin_loaded(const std::string& explicit_path = {});

}  // namespace rectify
