#include "imagefiles/signal_cleanup.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace rectify {
namespace {

// The temporaries a fatal signal removes. Fixed storage, prepared before the
// signal can come: the handler only reads it and calls unlinkat.
struct TemporarySlot {
    std::atomic<bool> in_use{false};
    std::atomic<bool> claimed{false};
    int folder_fd = -1;
    char name[64] = {};
};
constexpr int kSlots = 32;
TemporarySlot slots[kSlots];

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_temporaries_and_die(int signal_number) {
    const int saved_errno = errno;
    for (TemporarySlot& slot : slots) {
        if (slot.in_use.load(std::memory_order_acquire)) {
            unlinkat(slot.folder_fd, slot.name, 0);
        }
    }
    // Die of the same signal: the default action, delivered once this handler
    // returns (the signal is held off while it runs).
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    errno = saved_errno;
}

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : kTerminationSignals) {
        sigaddset(&set, signal_number);
    }
    return set;
}

}  // namespace

void remove_temporaries_on_signals() {
    signal(SIGXFSZ, SIG_IGN);
    for (const int signal_number : kTerminationSignals) {
        struct sigaction previous {};
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;  // started with the signal ignored (nohup, a background job)
        }
        struct sigaction action {};
        action.sa_handler = remove_temporaries_and_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal_number, &action, nullptr);
    }
}

int register_temporary(int folder_fd, const char* name) {
    if (std::strlen(name) >= sizeof slots[0].name) {
        return -1;
    }
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (slots[i].claimed.compare_exchange_strong(expected, true)) {
            slots[i].folder_fd = folder_fd;
            std::strcpy(slots[i].name, name);
            slots[i].in_use.store(true, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void release_temporary(int slot) {
    if (slot < 0 || slot >= kSlots) {
        return;
    }
    slots[slot].in_use.store(false, std::memory_order_release);
    slots[slot].claimed.store(false, std::memory_order_release);
}

TerminationSignalsBlocked::TerminationSignalsBlocked() {
    const sigset_t set = termination_signals();
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

TerminationSignalsBlocked::~TerminationSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace rectify
