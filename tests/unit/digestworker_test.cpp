// The digest computed from memory (FileDigestStream) and on a second thread
// (DigestWorker): the same digest as digestFile for the same bytes, however
// the bytes are split; slots wiped and the thread ended on every way out.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "diag/error.h"
#include "digest/digestworker.h"
#include "digest/filedigest.h"
#include "digest/whirlpool.h"
#include "digest_helpers.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"

namespace fs = std::filesystem;

namespace {

using digest_test::randomBytes;
using digest_test::toHex;
using Bytes = std::vector<uint8_t>;

constexpr std::size_t kSlot = DigestWorker::kSlotSize;

// The model: the key as one piece, then the bytes in pieces of 4096, each
// added to Whirlpool on its own (as digestFile adds a file's bytes).
std::string modelDigest(const Bytes* key, const Bytes& content) {
    WhirlpoolState state;
    whirlpoolInit(&state);
    if (key) whirlpoolAdd(&state, key->data(), 8192);
    for (std::size_t at = 0; at < content.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, content.size() - at);
        whirlpoolAdd(&state, content.data() + at, static_cast<uint32_t>(8 * n));
    }
    uint8_t out[64];
    whirlpoolFinish(&state, out);
    return toHex(out, 64);
}

// The worker fed as the codec feeds it: slots filled with up to `run`
// bytes each.
std::string workerDigest(const Bytes* key, const Bytes& content, bool threaded, std::size_t run) {
    DigestWorker worker;
    EXPECT_EQ(worker.begin(key ? key->data() : nullptr, threaded), 0);
    for (std::size_t at = 0; at < content.size(); at += run) {
        const std::size_t n = std::min(run, content.size() - at);
        uint8_t* slot = worker.freeSlot();
        std::memcpy(slot, content.data() + at, n);
        worker.submit(slot, n);
    }
    uint8_t out[64];
    worker.finish(out);
    return toHex(out, 64);
}

const std::size_t kSizes[] = {
    0, 1, 1023, 1024, 1025, 4095, 4096, 4097, 3 * 4096, 7 * 4096 + 1000,
    kSlot - 1, kSlot, kSlot + 1, 2 * kSlot, 4 * kSlot + 4096, 9 * kSlot + 17,
};

TEST(DigestWorker, GivesTheDigestOfDigestFileForEverySize) {
    const Bytes key = randomBytes(1024, 1);
    const fs::path dir = testsupport::makeTempFolder("velkin-digestworker");
    for (std::size_t size : kSizes) {
        const Bytes content = randomBytes(size, static_cast<uint32_t>(size) + 7);
        const fs::path file = dir / ("f" + std::to_string(size));
        {
            FILE* f = plat::openFile(file.wstring(), L"wb");
            ASSERT_NE(f, nullptr);
            if (size) {
                ASSERT_EQ(std::fwrite(content.data(), size, 1, f), 1u);
            }
            std::fclose(f);
        }
        for (const Bytes* k : {&key, static_cast<const Bytes*>(nullptr)}) {
            SCOPED_TRACE(testing::Message() << "size " << size << (k ? " keyed" : " unkeyed"));
            const std::string expected = modelDigest(k, content);
            uint8_t fromFile[64];
            ASSERT_EQ(digestFile(file.wstring().c_str(), k ? k->data() : nullptr, fromFile), 0);
            EXPECT_EQ(toHex(fromFile, 64), expected) << "digestFile";
            EXPECT_EQ(workerDigest(k, content, true, kSlot), expected) << "thread, whole slots";
            EXPECT_EQ(workerDigest(k, content, false, kSlot), expected) << "caller's thread";
            // Runs that are no multiple of 4096 (a decryption's last piece,
            // a truncated file) straddle the pieces.
            EXPECT_EQ(workerDigest(k, content, true, 3 * 1024), expected) << "thread, runs of 3 KiB";
        }
        EXPECT_EQ(digestThreadsRunningForTest(), 0);
        EXPECT_TRUE(digestSlotsWipedForTest());
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(DigestWorker, StreamAgreesHoweverTheRunsSplitTheBytes) {
    const Bytes key = randomBytes(1024, 2);
    const Bytes content = randomBytes(70000, 3);
    const std::string expected = modelDigest(&key, content);
    std::mt19937 generator(4);
    for (int round = 0; round < 20; ++round) {
        FileDigestStream stream;
        stream.begin(key.data());
        std::size_t at = 0;
        while (at < content.size()) {
            // Runs from 0 bytes to a little over two pieces.
            const std::size_t n = std::min<std::size_t>(generator() % 9000, content.size() - at);
            stream.add(content.data() + at, n);
            at += n;
        }
        uint8_t out[64];
        stream.finish(out);
        EXPECT_EQ(toHex(out, 64), expected) << "round " << round;
    }
}

TEST(DigestWorker, KeyBlockMayChangeOnceBegun) {
    // The codec hands over the key store's shared block, which its next
    // draw overwrites.
    const Bytes key = randomBytes(1024, 5);
    const Bytes content = randomBytes(3 * kSlot, 6);
    Bytes shared = key;
    DigestWorker worker;
    ASSERT_EQ(worker.begin(shared.data(), true), 0);
    std::fill(shared.begin(), shared.end(), 0xEE);
    for (std::size_t at = 0; at < content.size(); at += kSlot) {
        uint8_t* slot = worker.freeSlot();
        std::memcpy(slot, content.data() + at, kSlot);
        worker.submit(slot, kSlot);
    }
    uint8_t out[64];
    worker.finish(out);
    EXPECT_EQ(toHex(out, 64), modelDigest(&key, content));
}

TEST(DigestWorker, GivingUpEndsTheThreadAndWipesEverySlot) {
    const Bytes content = randomBytes(kSlot, 8);
    struct Case {
        const char* how;
        int submitted;      // slots handed over before giving up
        bool holdOneMore;   // a slot taken and filled but not handed over
        bool byDestructor;
    };
    const Case cases[] = {
        {"stop right after begin", 0, false, false},
        {"stop with slots queued", DigestWorker::kSlots - 1, true, false},
        {"destroyed with slots queued", 2, true, true},
        {"destroyed while filling the first slot", 0, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        {
            DigestWorker worker;
            ASSERT_EQ(worker.begin(nullptr, true), 0);
            EXPECT_TRUE(worker.threaded());
            for (int i = 0; i < c.submitted; ++i) {
                uint8_t* slot = worker.freeSlot();
                std::memcpy(slot, content.data(), kSlot);
                worker.submit(slot, kSlot);
            }
            if (c.holdOneMore) std::memcpy(worker.freeSlot(), content.data(), kSlot);
            if (!c.byDestructor) {
                worker.stop();
                EXPECT_EQ(digestThreadsRunningForTest(), 0);
                EXPECT_TRUE(digestSlotsWipedForTest());
            }
        }
        EXPECT_EQ(digestThreadsRunningForTest(), 0);
        EXPECT_TRUE(digestSlotsWipedForTest());
    }
    // The slots are free again for the next digest.
    EXPECT_EQ(workerDigest(nullptr, content, true, kSlot), modelDigest(nullptr, content));
}

TEST(DigestWorker, OneDigestAtATime) {
    DigestWorker first;
    ASSERT_EQ(first.begin(nullptr, true), 0);
    DigestWorker second;
    EXPECT_EQ(second.begin(nullptr, true), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"another digest is still in progress"), std::wstring::npos);
    second.stop();   // gives up nothing of the first
    const Bytes content = randomBytes(5000, 9);
    uint8_t* slot = first.freeSlot();
    std::memcpy(slot, content.data(), content.size());
    first.submit(slot, content.size());
    uint8_t out[64];
    first.finish(out);
    EXPECT_EQ(toHex(out, 64), modelDigest(nullptr, content));
}

}  // namespace
