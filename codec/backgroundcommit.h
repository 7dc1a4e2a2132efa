// Commits a growing output file to the disk on a second thread while its
// writer goes on writing.
//
// An output of hundreds of MiB written at the pace of the digest would
// otherwise wait at its end for the disk (or a disk cache) to take all of
// it at once. Committed a step at a time beside the writing, the final
// commit finds at most one step left.
//
// The commits are only a head start, never the proof: the writer still
// commits the whole file itself when it is complete. What they must not do
// is swallow a write error that the system reports once: a commit that
// fails on the thread makes end() fail, with its errno.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

class BackgroundCommit {
public:
    // A commit is started each time this many more bytes have been written.
    static constexpr uint64_t kStep = 32ull * 1024 * 1024;

    BackgroundCommit() = default;
    BackgroundCommit(const BackgroundCommit&) = delete;
    BackgroundCommit& operator=(const BackgroundCommit&) = delete;
    ~BackgroundCommit() { end(); }

    // Follows the unbuffered stream f from its first byte on. No thread
    // runs until the first step has been written.
    void begin(FILE* f);
    // The writer has handed `total` bytes of the file to the OS so far.
    void written(uint64_t total);
    // Waits for the commit under way and ends the thread; the stream may
    // then be closed. 0 when every commit succeeded (or none ran), else
    // 1 with errno set to the cause. Once ended, nothing runs until the
    // next begin().
    int end();

private:
    void run();

    std::mutex lock_;
    std::condition_variable changed_;
    std::thread thread_;
    FILE* stream_ = nullptr;
    uint64_t requested_ = 0;   // bytes written when the last commit was asked for
    uint64_t committed_ = 0;   // bytes written when the last commit began
    bool stopping_ = false;
    bool noThread_ = false;    // the thread could not be started: the final commit does all
    int failure_ = 0;          // errno of the first failed commit
};

// Tests only: the step, and the commit the thread runs in place of the
// system's (a null member keeps the default).
struct BackgroundCommitTestHooks {
    uint64_t step;
    int (*commit)(FILE* f);
};
void setBackgroundCommitTestHooks(const BackgroundCommitTestHooks* hooks);
