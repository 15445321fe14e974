#include "imaging/huge_page_allocator.hpp"

#include <sys/mman.h>

#include <new>

namespace rectify {
namespace {

// Marks a buffer as mapped here rather than by the standard allocator.
constexpr int MAPPED = 1;

}  // namespace

cv::UMatData* HugePageAllocator::allocate(int dims, const int* sizes, int type, void* data,
                                          size_t* step, cv::AccessFlag flags,
                                          cv::UMatUsageFlags usage) const {
    // Buffers handed in by the caller are the standard allocator's business.
    if (data) {
        return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    }
    size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
        if (step) {
            step[i] = total;  // dense rows, as the standard allocator lays them out
        }
        total *= static_cast<size_t>(sizes[i]);
    }
    if (total < MIN_MAPPED_BYTES) {
        return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    }
    void* mapped = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    // Advice only: where huge pages are off, the mapping works as usual.
    madvise(mapped, total, MADV_HUGEPAGE);
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = static_cast<uchar*>(mapped);
    u->size = total;
    u->allocatorFlags_ = MAPPED;
    return u;
}

bool HugePageAllocator::allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const {
    return data != nullptr;
}

void HugePageAllocator::deallocate(cv::UMatData* u) const {
    if (!u) {
        return;
    }
    if (u->allocatorFlags_ != MAPPED) {
        cv::Mat::getStdAllocator()->deallocate(u);
        return;
    }
    munmap(u->origdata, u->size);
    delete u;
}

void use_huge_pages_for_images() {
    static const HugePageAllocator* allocator = new HugePageAllocator;
    cv::Mat::setDefaultAllocator(const_cast<HugePageAllocator*>(allocator));
}

}  // namespace rectify
