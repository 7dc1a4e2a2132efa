// Commits of an output file on a second thread (see backgroundcommit.h).

#include "codec/backgroundcommit.h"

#include <cerrno>
#include <system_error>

#include "platform/platform.h"

namespace {

const BackgroundCommitTestHooks* testHooks = nullptr;

uint64_t step() {
    return testHooks && testHooks->step ? testHooks->step : BackgroundCommit::kStep;
}

int commitData(FILE* f) {
    if (testHooks && testHooks->commit) return testHooks->commit(f);
    return plat::commitFileData(f);
}

}  // namespace

void setBackgroundCommitTestHooks(const BackgroundCommitTestHooks* hooks) { testHooks = hooks; }

void BackgroundCommit::begin(FILE* f) {
    end();
    stream_ = f;
    requested_ = 0;
    committed_ = 0;
    stopping_ = false;
    noThread_ = false;
    failure_ = 0;
}

void BackgroundCommit::written(uint64_t total) {
    if (!stream_ || noThread_ || total < requested_ + step()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requested_ = total;
    }
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&BackgroundCommit::run, this);
        } catch (const std::system_error&) {
            noThread_ = true;
        }
        return;
    }
    changed_.notify_one();
}

void BackgroundCommit::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || requested_ > committed_; });
        // A writer that is done commits the rest itself.
        if (stopping_ || failure_ != 0) return;
        committed_ = requested_;
        guard.unlock();
        errno = 0;
        const int failed = commitData(stream_);
        const int cause = errno != 0 ? errno : EIO;
        guard.lock();
        if (failed != 0 && failure_ == 0) failure_ = cause;
    }
}

int BackgroundCommit::end() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        changed_.notify_one();
        thread_.join();
    }
    stream_ = nullptr;
    if (failure_ == 0) return 0;
    errno = failure_;
    failure_ = 0;
    return 1;
}
