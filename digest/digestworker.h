// The keyed digest of bytes that the caller reads anyway, computed on a
// second thread while the caller goes on with its own work on the same
// bytes (encrypting them, writing them out).
//
// The caller takes a free slot, fills it, and hands it over; from then on
// the worker reads the slot and the caller may only read it too, until it
// asks for its next free slot. The digest is the one digestFile gives for
// the same bytes (see FileDigestStream).
//
// The slots are one process-wide set of buffers: one worker exists at a
// time (the codec handles one file at a time). Every slot that held bytes
// is wiped, and the thread has ended, when the worker finishes, stops or is
// destroyed, whichever way the caller leaves.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "digest/filedigest.h"

class DigestWorker {
public:
    // Multiples of FileDigestStream::kPieceSize and of the codec's chunk.
    static constexpr std::size_t kSlotSize = 256 * 1024;
    static constexpr int kSlots = 4;

    DigestWorker() = default;
    DigestWorker(const DigestWorker&) = delete;
    DigestWorker& operator=(const DigestWorker&) = delete;
    ~DigestWorker() { stop(); }

    // Starts a digest keyed with keyBlock (or none; the block is hashed at
    // once and may change afterwards). With `threaded` the bytes are hashed
    // on a thread of the worker's own; without it, or when no thread can be
    // started, on the caller's thread as they are handed over. 0 on success;
    // 1 after reporting when the slots are taken by another worker.
    int begin(const uint8_t* keyBlock, bool threaded);
    // A slot of kSlotSize bytes that nobody reads; waits for one.
    uint8_t* freeSlot();
    // Hands over the first `length` bytes of a slot from freeSlot.
    void submit(uint8_t* slot, std::size_t length);
    // Waits until every byte handed over is hashed, writes the digest, ends
    // the thread and wipes the slots.
    void finish(uint8_t output[64]);
    // Gives the digest up: ends the thread and wipes the slots. Nothing
    // happens when the worker has not begun or has finished.
    void stop();

    bool threaded() const { return thread_.joinable(); }

private:
    void run();
    void endThread();
    void release();

    std::mutex lock_;
    std::condition_variable changed_;
    std::thread thread_;
    FileDigestStream stream_;
    bool active_ = false;
    bool stopping_ = false;
    // Slots handed over and not yet hashed, in order; queue_[0] may be
    // under the thread's hands.
    int queue_[kSlots] = {};
    int queued_ = 0;
    bool hashing_ = false;
    bool taken_[kSlots] = {};   // handed out by freeSlot, not yet hashed
    bool dirty_[kSlots] = {};   // handed out since the last wipe
    std::size_t lengths_[kSlots] = {};
};

// Tests only: true when no slot holds a byte, and the number of worker
// threads running now.
bool digestSlotsWipedForTest();
int digestThreadsRunningForTest();
