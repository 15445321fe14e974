#pragma once
// The entry point the codec plugin exports, shared by the plugin and its loader.

#include <cstddef>

#include <opencv2/core.hpp>

// Decodes size bytes of an encoded image with cv::imread flags into *image.
// 0 on success; nonzero (image left empty) when they cannot be decoded.
using CodecPluginDecode = int (*)(const unsigned char* data, std::size_t size, int flags,
                                  cv::Mat* image);

inline constexpr const char* CODEC_PLUGIN_DECODE_SYMBOL = "stereo_rectify_codecs_decode";
