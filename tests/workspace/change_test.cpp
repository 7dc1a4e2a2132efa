// Changes of a workspace under its lock: a change is written on top of the
// archive as it is when the lock is held, keeping what others changed
// meanwhile, and refused where it would undo another's change.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/tempfolder.h"
#include "tools/tar/tararchive.h"

namespace fs = std::filesystem;

namespace {

class ChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = testsupport::makeTempFolder("velkin-change-test");
        archive_ = (folder_ / "ws (Secure Workspace)").wstring();
        // The starting archive: a.txt, b.txt and the folder d with d/x.txt.
        write("a.txt", "a");
        write("b.txt", "b");
        write("x.txt", "x");
        write("other.txt", "O");
        write("mine.txt", "M");
        reset();
    }
    // The starting archive again.
    void reset() {
        std::vector<tar::Planned> start = {file("a.txt", "a.txt"), file("b.txt", "b.txt"), folderMember("d"),
                                           file("d/x.txt", "x.txt")};
        EXPECT_EQ(tar::commitArchive(archive_, start, &error_), 0) << error_.c_str();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    void write(const std::string& name, const std::string& data) {
        std::ofstream(folder_ / name, std::ios::binary) << data;
    }

    tar::Planned file(const std::string& member, const std::string& source) {
        tar::Planned p;
        p.member.name = member;
        p.member.kind = tar::Kind::File;
        p.member.size = fs::file_size(folder_ / source);
        p.member.modified = 1000;
        p.sourcePath = (folder_ / source).wstring();
        return p;
    }
    tar::Planned folderMember(const std::string& member) {
        tar::Planned p;
        p.member.name = member;
        p.member.kind = tar::Kind::Folder;
        return p;
    }

    tar::Snapshot snapshot() {
        tar::Snapshot s;
        EXPECT_EQ(tar::readWorkspace(archive_, &s, &error_), 0) << error_.c_str();
        return s;
    }
    tar::ChangeOutcome change(const tar::Change& c) { return tar::changeWorkspace(archive_, snapshot(), c, &error_); }

    // Member names with the first letter of their data ('-' for folders).
    std::vector<std::string> contents() {
        tar::Snapshot s = snapshot();
        std::vector<std::string> found;
        for (std::size_t i = 0; i < s.members.size(); ++i)
            found.push_back(s.members[i].name + "=" + (s.marks[i].empty() ? "-" : s.marks[i].substr(0, 1)));
        return found;
    }

    fs::path folder_;
    std::wstring archive_;
    std::wstring error_;
};

// One change decided on the archive as it was read, while another change
// was written meanwhile.
TEST_F(ChangeTest, AChangeGoesOnTopOfWhatOthersChangedMeanwhile) {
    const struct {
        const char* what;
        tar::Change meanwhile;
        tar::Change mine;
        tar::ChangeOutcome outcome;
        std::vector<std::string> after;
    } cases[] = {
        {"two adds", {{file("c.txt", "other.txt")}, {}}, {{file("e.txt", "mine.txt")}, {}},
         tar::ChangeOutcome::Done, {"a.txt=a", "b.txt=b", "c.txt=O", "d=-", "d/x.txt=x", "e.txt=M"}},
        {"an add and a remove elsewhere", {{}, {"b.txt"}}, {{file("a.txt", "mine.txt")}, {}},
         tar::ChangeOutcome::Done, {"a.txt=M", "d=-", "d/x.txt=x"}},
        {"both replace a.txt", {{file("a.txt", "other.txt")}, {}}, {{file("a.txt", "mine.txt")}, {}},
         tar::ChangeOutcome::Conflict, {"a.txt=O", "b.txt=b", "d=-", "d/x.txt=x"}},
        {"a.txt removed, then replaced", {{}, {"a.txt"}}, {{file("a.txt", "mine.txt")}, {}},
         tar::ChangeOutcome::Conflict, {"b.txt=b", "d=-", "d/x.txt=x"}},
        {"a member added below the folder removed", {{}, {"d"}}, {{file("d/y.txt", "mine.txt")}, {}},
         tar::ChangeOutcome::Done, {"a.txt=a", "b.txt=b", "d/y.txt=M"}},
        {"the folder it needs became a file", {{file("f", "other.txt")}, {}}, {{file("f/y.txt", "mine.txt")}, {}},
         tar::ChangeOutcome::Conflict, {"a.txt=a", "b.txt=b", "d=-", "d/x.txt=x", "f=O"}},
        {"remove what was changed meanwhile", {{file("d/x.txt", "other.txt")}, {}}, {{}, {"d"}},
         tar::ChangeOutcome::Conflict, {"a.txt=a", "b.txt=b", "d=-", "d/x.txt=O"}},
        {"remove beside a change", {{file("d/x.txt", "other.txt")}, {}}, {{}, {"b.txt"}},
         tar::ChangeOutcome::Done, {"a.txt=a", "d=-", "d/x.txt=O"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        const tar::Snapshot base = snapshot();
        ASSERT_EQ(change(c.meanwhile), tar::ChangeOutcome::Done) << error_.c_str();
        EXPECT_EQ(tar::changeWorkspace(archive_, base, c.mine, &error_), c.outcome) << error_.c_str();
        EXPECT_EQ(contents(), c.after);
        if (c.outcome == tar::ChangeOutcome::Conflict) {
            EXPECT_NE(error_.find(L"changed by someone else meanwhile"), std::wstring::npos) << error_.c_str();
        }
        // Nothing is left beside the archive: no temporary file, no lock file.
        for (const auto& entry : fs::directory_iterator(folder_))
            EXPECT_EQ(entry.path().extension() == ".lock" || entry.path().extension() == ".tmp", false)
                << entry.path().string();
    }
}

// A change waits for the lock that another holds, and a reader's lock keeps
// changes out until it lets go.
TEST_F(ChangeTest, ChangesWaitForTheLock) {
    for (bool holderExclusive : {true, false}) {
        SCOPED_TRACE(holderExclusive ? "held by a change" : "held by a reader");
        const tar::Snapshot base = snapshot();
        tar::WorkspaceLock held;
        ASSERT_EQ(tar::lockWorkspace(archive_, holderExclusive, &held, &error_), 0) << error_.c_str();
        std::atomic<bool> done{false};
        tar::ChangeOutcome outcome = tar::ChangeOutcome::Failed;
        std::wstring error;
        std::thread changer([&] {
            tar::Change c;
            c.removed = {"b.txt"};
            outcome = tar::changeWorkspace(archive_, base, c, &error);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(done);
        tar::unlockWorkspace(&held);
        changer.join();
        EXPECT_EQ(outcome, tar::ChangeOutcome::Done) << error.c_str();
        write("b.txt", "b");
        tar::Change back;
        back.added = {file("b.txt", "b.txt")};
        ASSERT_EQ(change(back), tar::ChangeOutcome::Done) << error_.c_str();
    }
    EXPECT_FALSE(fs::exists(fs::path(archive_ + L".lock")));
    // Two readers read at once.
    tar::WorkspaceLock one, two;
    ASSERT_EQ(tar::lockWorkspace(archive_, false, &one, &error_), 0);
    ASSERT_EQ(tar::lockWorkspace(archive_, false, &two, &error_), 0);
    tar::unlockWorkspace(&one);
    tar::unlockWorkspace(&two);
    EXPECT_FALSE(fs::exists(fs::path(archive_ + L".lock")));
}

// A file of the lock's name that holds anything is no lock file: it is
// used as one but never removed.
TEST_F(ChangeTest, AFileOfTheLocksNameThatHoldsDataIsKept) {
    const fs::path lockFile = fs::path(archive_ + L".lock");
    std::ofstream(lockFile) << "my notes";
    tar::Change c;
    c.removed = {"b.txt"};
    EXPECT_EQ(change(c), tar::ChangeOutcome::Done) << error_.c_str();
    std::ifstream in(lockFile);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "my notes");
}

}  // namespace
