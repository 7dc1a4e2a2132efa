// The digest on a second thread (see digestworker.h).

#include "digest/digestworker.h"

#include <atomic>
#include <system_error>

#include "diag/error.h"
#include "digest/digestpath.h"
#include "platform/wipe.h"

namespace {

// The bytes in the slots are plaintext: one set for the process, wiped
// after every use.
alignas(64) uint8_t slotMemory[DigestWorker::kSlots][DigestWorker::kSlotSize];
bool slotsInUse = false;
std::atomic<int> threadsRunning{0};

}  // namespace

int DigestWorker::begin(const uint8_t* keyBlock, bool threaded) {
    if (checkDigestPath() != 0) return 1;
    if (slotsInUse) {
        reportError(L"cannot compute the digest: another digest is still in progress");
        return 1;
    }
    slotsInUse = true;
    active_ = true;
    stopping_ = false;
    queued_ = 0;
    hashing_ = false;
    for (int i = 0; i < kSlots; ++i) {
        taken_[i] = false;
        dirty_[i] = false;
        lengths_[i] = 0;
    }
    stream_.begin(keyBlock);
    if (threaded) {
        // Without a thread the digest is still right, only slower.
        try {
            thread_ = std::thread(&DigestWorker::run, this);
        } catch (const std::system_error&) {
        }
    }
    return 0;
}

uint8_t* DigestWorker::freeSlot() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        for (int i = 0; i < kSlots; ++i) {
            if (taken_[i]) continue;
            taken_[i] = true;
            dirty_[i] = true;
            return slotMemory[i];
        }
        changed_.wait(guard);
    }
}

void DigestWorker::submit(uint8_t* slot, std::size_t length) {
    const int index = static_cast<int>((slot - slotMemory[0]) / static_cast<std::ptrdiff_t>(kSlotSize));
    if (!thread_.joinable()) {
        stream_.add(slot, length);
        taken_[index] = false;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        lengths_[index] = length;
        queue_[queued_++] = index;
    }
    changed_.notify_all();
}

void DigestWorker::run() {
    threadsRunning.fetch_add(1);
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || queued_ > 0; });
        if (stopping_) break;
        const int index = queue_[0];
        hashing_ = true;
        guard.unlock();
        stream_.add(slotMemory[index], lengths_[index]);
        guard.lock();
        for (int i = 1; i < queued_; ++i) queue_[i - 1] = queue_[i];
        --queued_;
        hashing_ = false;
        taken_[index] = false;
        changed_.notify_all();
    }
    threadsRunning.fetch_sub(1);
}

void DigestWorker::endThread() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void DigestWorker::finish(uint8_t output[64]) {
    if (thread_.joinable()) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return queued_ == 0 && !hashing_; });
    }
    endThread();
    stream_.finish(output);
    release();
}

void DigestWorker::stop() {
    if (!active_) return;
    endThread();
    stream_.wipe();
    release();
}

void DigestWorker::release() {
    for (int i = 0; i < kSlots; ++i) {
        if (dirty_[i]) wipeSecret(slotMemory[i], kSlotSize);
        dirty_[i] = false;
        taken_[i] = false;
    }
    queued_ = 0;
    active_ = false;
    slotsInUse = false;
}

bool digestSlotsWipedForTest() { return isWiped(slotMemory, sizeof slotMemory); }

int digestThreadsRunningForTest() { return threadsRunning.load(); }
