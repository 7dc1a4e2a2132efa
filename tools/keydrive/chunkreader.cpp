#include "tools/keydrive/chunkreader.h"

#include <algorithm>
#include <cerrno>

namespace keydrive {

ChunkReader::ChunkReader(FILE* f, uint64_t total, size_t chunk) : file_(f), total_(total), chunk_(chunk) {
    for (Slot& slot : slots_) slot.bytes.resize(chunk_);
    thread_ = std::thread([this]() { read(); });
}

ChunkReader::~ChunkReader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ChunkReader::read() {
    uint64_t done = 0;
    for (size_t index = 0; done < total_; ++index) {
        Slot& slot = slots_[index % 2];
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&]() { return stop_ || !slot.ready; });
            if (stop_) return;
        }
        const size_t want = size_t(std::min<uint64_t>(chunk_, total_ - done));
        errno = 0;
        const size_t got = std::fread(slot.bytes.data(), 1, want, file_);
        const int error = got == want ? 0 : errno != 0 ? errno : EIO;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (error != 0) {
                error_ = error;
                failed_ = true;
            } else {
                slot.length = got;
                slot.ready = true;
            }
        }
        changed_.notify_all();
        if (error != 0) return;
        done += got;
    }
}

bool ChunkReader::next(const uint8_t** data, size_t* length) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (holding_) {
        slots_[(handed_ - 1) % 2].ready = false;   // the caller is done with it
        holding_ = false;
        changed_.notify_all();
    }
    if (uint64_t(handed_) * chunk_ >= total_) {
        *length = 0;
        return true;
    }
    Slot& slot = slots_[handed_ % 2];
    changed_.wait(lock, [&]() { return slot.ready || failed_; });
    if (!slot.ready) return false;
    *data = slot.bytes.data();
    *length = slot.length;
    ++handed_;
    holding_ = true;
    return true;
}

}  // namespace keydrive
