// Reading a large file from its start in chunks on a second thread, so that
// the disk's reading and the caller's work on the chunk before overlap.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace keydrive {

class ChunkReader {
public:
    // Reads `total` bytes of f from its current position, `chunk` at a time.
    ChunkReader(FILE* f, uint64_t total, size_t chunk);
    ~ChunkReader();
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    // The next chunk, valid until the next call; *length 0 at the end.
    // False when the file could not be read (or ended early): then
    // errorNumber() holds the errno of the failure (EIO for an early end).
    bool next(const uint8_t** data, size_t* length);
    int errorNumber() const { return error_; }

private:
    struct Slot {
        std::vector<uint8_t> bytes;
        size_t length = 0;
        bool ready = false;   // filled, not yet handed out
    };
    void read();

    FILE* file_;
    uint64_t total_;
    size_t chunk_;
    Slot slots_[2];
    size_t handed_ = 0;       // chunks handed out
    bool holding_ = false;    // the caller holds the last chunk handed out
    bool stop_ = false;
    int error_ = 0;
    bool failed_ = false;     // the reader met error_ after the chunks it filled
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

}  // namespace keydrive
