#pragma once
// An image-buffer allocator for the executables: buffers of a few megabytes
// and more are mapped on their own and backed by transparent huge pages where
// the system allows it (madvise mode). A 12 MP colour image is 36 MB; written
// for the first time in 4 KiB pages it costs about nine thousand page faults,
// which on a virtual machine take as long as decoding or warping it.

#include <opencv2/core.hpp>

namespace rectify {

class HugePageAllocator : public cv::MatAllocator {
  public:
    // Buffers from this size on get their own mapping; smaller ones come from
    // the image library's standard allocator.
    static constexpr size_t MIN_MAPPED_BYTES = size_t{4} << 20;

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    bool allocate(cv::UMatData* data, cv::AccessFlag flags,
                  cv::UMatUsageFlags usage) const override;
    void deallocate(cv::UMatData* data) const override;
};

// Makes every cv::Mat allocated from now on in this process use a
// HugePageAllocator. For executables; the allocator is never destroyed, so
// matrices that outlive main are still released through it.
void use_huge_pages_for_images();

}  // namespace rectify
