// The tar unit of the workspace programs: headers that read back as they
// were written, what the reader refuses, the order and merging of members,
// and archives that replace the old one only when complete.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/tempfolder.h"
#include "tools/tar/tararchive.h"
#include "workspace/tarformat.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

void save(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void save(const fs::path& path, const std::string& text) { save(path, Bytes(text.begin(), text.end())); }

Bytes load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

tar::Planned planned(const std::string& name, tar::Kind kind, uint64_t size, const std::wstring& source,
                     uint64_t dataOffset = 0) {
    tar::Planned p;
    p.member.name = name;
    p.member.kind = kind;
    p.member.size = size;
    p.member.dataOffset = dataOffset;
    p.sourcePath = source;
    return p;
}

// An archive of the given members, each member's data being `size` copies
// of the letter 'd'.
Bytes archiveOf(const std::vector<tar::Member>& members) {
    Bytes out;
    for (const tar::Member& m : members) {
        Bytes headers = tar::encodeHeaders(m);
        out.insert(out.end(), headers.begin(), headers.end());
        if (m.kind == tar::Kind::File) {
            out.insert(out.end(), static_cast<std::size_t>(m.size), 'd');
            out.insert(out.end(), static_cast<std::size_t>(tar::paddingAfter(m.size)), 0);
        }
    }
    out.insert(out.end(), 2 * tar::kBlockSize, 0);
    return out;
}

class TarTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = testsupport::makeTempFolder("velkin-tar-test"); }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    // Reads the members of an archive file; 0 on success.
    int read(const fs::path& path, std::vector<tar::Member>* members) {
        FILE* f = plat::openFile(path.wstring(), L"rb");
        if (!f) return -1;
        int result = tar::readMembers(f, members, &error_);
        std::fclose(f);
        return result;
    }

    std::vector<std::string> namesIn(const fs::path& path) {
        std::vector<tar::Member> members;
        EXPECT_EQ(read(path, &members), 0) << error_.c_str();
        std::vector<std::string> names;
        for (const tar::Member& m : members) names.push_back(m.name);
        return names;
    }

    // Files in the test folder that are not the ones named.
    std::vector<std::string> strayFiles(const std::vector<std::string>& expected) {
        std::vector<std::string> stray;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            std::string name = entry.path().filename().string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end()) stray.push_back(name);
        }
        return stray;
    }

    fs::path folder_;
    std::wstring error_;
};

TEST_F(TarTest, MembersReadBackAsWritten) {
    const std::string longName = "folder/" + std::string(120, 'n');
    const std::vector<tar::Member> members = {
        {tar::kMarkerName, tar::Kind::File, 1100, 1700000000, 0},
        {"plain.txt", tar::Kind::File, 0, 0, 0},                               // empty, time 0
        {"with blank/and more.txt", tar::Kind::File, 513, 1234567890, 0},
        {"caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt", tar::Kind::File, 512, 42, 0},   // not ASCII: pax
        {std::string(100, 'x'), tar::Kind::File, 1, 1, 0},                     // exactly fits ustar
        {std::string(99, 'y'), tar::Kind::Folder, 0, 7, 0},                    // 100 bytes with its '/'
        {longName, tar::Kind::File, 2000, 99, 0},                              // pax path
        {"empty folder", tar::Kind::Folder, 0, 5, 0},
    };
    save(folder_ / "a.tar", archiveOf(members));
    std::vector<tar::Member> back;
    ASSERT_EQ(read(folder_ / "a.tar", &back), 0) << error_.c_str();
    ASSERT_EQ(back.size(), members.size());
    uint64_t offset = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        SCOPED_TRACE(members[i].name);
        EXPECT_EQ(back[i].name, members[i].name);
        EXPECT_EQ(back[i].kind, members[i].kind);
        EXPECT_EQ(back[i].size, members[i].size);
        EXPECT_EQ(back[i].modified, members[i].modified);
        offset += tar::encodeHeaders(members[i]).size();
        EXPECT_EQ(back[i].dataOffset, offset);
        if (members[i].kind == tar::Kind::File) offset += members[i].size + tar::paddingAfter(members[i].size);
    }
    // The marker's data, an encrypted file, begins at byte 512.
    EXPECT_EQ(back[0].dataOffset, 512u);
}

TEST_F(TarTest, ExtendedHeadersOnlyWhereUstarCannotHoldTheMember) {
    struct Case {
        tar::Member member;
        std::size_t headerBytes;
    } cases[] = {
        {{std::string(100, 'a'), tar::Kind::File, 10, 0, 0}, 512},
        {{std::string(101, 'a'), tar::Kind::File, 10, 0, 0}, 1536},
        {{std::string(100, 'a'), tar::Kind::Folder, 0, 0, 0}, 1536},     // 101 bytes with its '/'
        {{"\xc3\xa9", tar::Kind::File, 10, 0, 0}, 1536},
        {{"big", tar::Kind::File, (uint64_t(8) << 30) - 1, 0, 0}, 512},
        {{"big", tar::Kind::File, uint64_t(8) << 30, 0, 0}, 1536},
    };
    for (const Case& c : cases) {
        Bytes h = tar::encodeHeaders(c.member);
        EXPECT_EQ(h.size(), c.headerBytes) << c.member.name.size() << " " << c.member.size;
        // The last block is the member's ustar header.
        EXPECT_EQ(std::memcmp(h.data() + h.size() - 512 + 257, "ustar\0" "00", 8), 0);
    }
}

// A member of 8 GiB and more: the size goes into an extended header and the
// base-256 form of the size field; the data is left as a hole in the file.
TEST_F(TarTest, SizesOfEightGibibytesAndMoreReadBack) {
    const uint64_t size = (uint64_t(8) << 30) + 3;
    tar::Member big{"big.bin", tar::Kind::File, size, 1, 0};
    Bytes headers = tar::encodeHeaders(big);
    EXPECT_EQ(headers[headers.size() - 512 + 124], 0x80);
    const fs::path path = folder_ / "big.tar";
    FILE* f = plat::openFile(path.wstring(), L"wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(headers.data(), 1, headers.size(), f), headers.size());
    Bytes zeros(2 * 512 + tar::paddingAfter(size), 0);
    ASSERT_EQ(plat::seekFile(f, static_cast<int64_t>(headers.size() + size), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(zeros.data(), 1, zeros.size(), f), zeros.size());
    ASSERT_EQ(std::fclose(f), 0);
    std::vector<tar::Member> back;
    ASSERT_EQ(read(path, &back), 0) << error_.c_str();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].size, size);
    EXPECT_EQ(back[0].dataOffset, headers.size());
}

TEST_F(TarTest, RefusesWhatIsNoSoundWorkspaceArchive) {
    const Bytes good = archiveOf({{"a.txt", tar::Kind::File, 700, 1, 0}, {"b.txt", tar::Kind::File, 3, 1, 0}});
    Bytes badChecksum = good;
    badChecksum[512 + 1024 + 5] ^= 1;                 // a name byte of the second header
    Bytes cutShort(good.begin(), good.begin() + 512 + 300);
    Bytes noEnd(good.begin(), good.end() - 1024);
    Bytes link = good;
    link[156] = '2';                                  // a symbolic link
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : link[i];
    std::snprintf(reinterpret_cast<char*>(&link[148]), 8, "%06o", sum);
    const struct {
        const char* what;
        Bytes data;
        const wchar_t* message;
    } cases[] = {
        {"empty file", Bytes(), L"not a tar archive"},
        {"text", Bytes(2048, 'x'), L"not a tar archive"},
        {"zeros", Bytes(2048, 0), L"not a tar archive"},
        {"damaged header", badChecksum, L"is not valid"},
        {"cut in the data", cutShort, L"cut short"},
        {"no end marker", noEnd, L"cut short"},
        {"link", link, L"a link or special file"},
    };
    for (const auto& c : cases) {
        save(folder_ / "x.tar", c.data);
        std::vector<tar::Member> members;
        EXPECT_EQ(read(folder_ / "x.tar", &members), 1) << c.what;
        EXPECT_NE(error_.find(c.message), std::wstring::npos) << c.what;
    }
}

TEST_F(TarTest, MarkerFirstThenEachFolderBeforeItsContents) {
    std::vector<tar::Planned> plan;
    for (const char* name : {"b", "a b", " leading blank", "a/z", "a", tar::kMarkerName, "a/b/c", "a/b",
                             "A", "\xc3\xa9", "!"}) {
        plan.push_back(planned(name, tar::Kind::File, 0, L""));
    }
    tar::orderMembers(&plan);
    std::vector<std::string> names;
    for (const tar::Planned& p : plan) names.push_back(p.member.name);
    EXPECT_EQ(names, (std::vector<std::string>{tar::kMarkerName, " leading blank", "!", "A", "a", "a/b",
                                               "a/b/c", "a/z", "a b", "b", "\xc3\xa9"}));
}

TEST_F(TarTest, MergingReplacesAddsAndKeeps) {
    const std::vector<tar::Member> old = {
        {tar::kMarkerName, tar::Kind::File, 1, 0, 512},
        {"kept.txt", tar::Kind::File, 1, 0, 1536},
        {"changed.txt", tar::Kind::File, 1, 0, 2560},
        {"was folder", tar::Kind::Folder, 0, 0, 3584},
        {"was folder/inner.txt", tar::Kind::File, 1, 0, 4608},
        {"kept folder/inner.txt", tar::Kind::File, 1, 0, 5632},
    };
    const std::vector<tar::Planned> added = {
        planned("changed.txt", tar::Kind::File, 2, L"/new/changed.txt"),
        planned("new.txt", tar::Kind::File, 2, L"/new/new.txt"),
        planned("was folder", tar::Kind::File, 2, L"/new/was folder"),   // now a file
    };
    std::vector<tar::Planned> merged = tar::mergeMembers(old, added);
    tar::orderMembers(&merged);
    std::vector<std::string> got;
    for (const tar::Planned& p : merged)
        got.push_back(p.member.name + (p.sourcePath.empty() ? " (old)" : " (new)"));
    EXPECT_EQ(got, (std::vector<std::string>{std::string(tar::kMarkerName) + " (old)", "changed.txt (new)",
                                             "kept folder/inner.txt (old)", "kept.txt (old)", "new.txt (new)",
                                             "was folder (new)"}));
}

TEST_F(TarTest, CommitWritesTheArchiveAndUpdatesIt) {
    fs::create_directories(folder_ / "src" / "sub");
    save(folder_ / "src" / tar::kMarkerName, "marker");
    save(folder_ / "src" / "one.txt", "first version");
    save(folder_ / "src" / "sub" / "two.txt", Bytes(5000, 7));
    const fs::path archive = folder_ / "ws.tar";

    std::vector<tar::Planned> plan;
    std::vector<std::wstring> skipped;
    ASSERT_EQ(tar::scanFolder((folder_ / "src").wstring(), "", &plan, &skipped, &error_), 0) << error_.c_str();
    tar::orderMembers(&plan);
    ASSERT_EQ(tar::commitArchive(archive.wstring(), plan, &error_), 0) << error_.c_str();
    EXPECT_EQ(namesIn(archive), (std::vector<std::string>{tar::kMarkerName, "one.txt", "sub", "sub/two.txt"}));

    // A second run from a changed folder: one.txt replaced, three.txt added,
    // sub/two.txt kept from the old archive.
    fs::remove_all(folder_ / "src" / "sub");
    save(folder_ / "src" / "one.txt", "second version, longer");
    save(folder_ / "src" / "three.txt", "third");
    std::vector<tar::Member> old;
    ASSERT_EQ(read(archive, &old), 0);
    std::vector<tar::Planned> added;
    ASSERT_EQ(tar::scanFolder((folder_ / "src").wstring(), "", &added, &skipped, &error_), 0);
    plan = tar::mergeMembers(old, added);
    tar::orderMembers(&plan);
    ASSERT_EQ(tar::commitArchive(archive.wstring(), plan, &error_), 0) << error_.c_str();

    std::vector<tar::Member> now;
    ASSERT_EQ(read(archive, &now), 0);
    ASSERT_EQ(now.size(), 5u);
    const Bytes bytes = load(archive);
    auto data = [&](const tar::Member& m) {
        return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(m.dataOffset),
                           bytes.begin() + static_cast<std::ptrdiff_t>(m.dataOffset + m.size));
    };
    EXPECT_EQ(now[0].name, tar::kMarkerName);
    EXPECT_EQ(data(now[1]), "second version, longer");
    EXPECT_EQ(now[2].name, "sub");
    EXPECT_EQ(data(now[3]), std::string(5000, '\7'));
    EXPECT_EQ(data(now[4]), "third");
    EXPECT_TRUE(strayFiles({"src", "ws.tar"}).empty());
}

// A source that cannot be read, or that changes while it is archived,
// leaves the archive as it was and no temporary file behind.
TEST_F(TarTest, FailedCommitLeavesTheOldArchiveWhole) {
    save(folder_ / "a.txt", "aaaa");
    const fs::path archive = folder_ / "ws.tar";
    const tar::Planned a = planned("a.txt", tar::Kind::File, 4, (folder_ / "a.txt").wstring());
    ASSERT_EQ(tar::commitArchive(archive.wstring(), {a}, &error_), 0) << error_.c_str();
    const Bytes before = load(archive);

    const struct {
        const char* what;
        tar::Planned bad;
        const wchar_t* message;
    } cases[] = {
        {"missing source", planned("gone.txt", tar::Kind::File, 4, (folder_ / "gone.txt").wstring()),
         L"cannot read"},
        {"source grew", planned("a.txt", tar::Kind::File, 3, (folder_ / "a.txt").wstring()), L"longer"},
        {"source shrank", planned("a.txt", tar::Kind::File, 9, (folder_ / "a.txt").wstring()), L"shorter"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tar::commitArchive(archive.wstring(), {a, c.bad}, &error_), 1) << c.what;
        EXPECT_NE(error_.find(c.message), std::wstring::npos) << c.what;
        EXPECT_EQ(load(archive), before) << c.what;
        EXPECT_TRUE(strayFiles({"a.txt", "ws.tar"}).empty()) << c.what;
    }
    // Without an old archive, a failure leaves none under the final name.
    const fs::path fresh = folder_ / "fresh.tar";
    EXPECT_EQ(tar::commitArchive(fresh.wstring(), {cases[0].bad}, &error_), 1);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_TRUE(strayFiles({"a.txt", "ws.tar"}).empty());
}

TEST_F(TarTest, KeptMembersMustStillBeWhereTheyWere) {
    save(folder_ / "a.txt", "aaaa");
    const fs::path archive = folder_ / "ws.tar";
    const tar::Planned a = planned("a.txt", tar::Kind::File, 4, (folder_ / "a.txt").wstring());
    ASSERT_EQ(tar::commitArchive(archive.wstring(), {a}, &error_), 0);
    std::vector<tar::Member> old;
    ASSERT_EQ(read(archive, &old), 0);
    // Someone else rewrote the archive meanwhile: its member moved.
    const tar::Planned b = planned("b.txt", tar::Kind::File, 4, (folder_ / "a.txt").wstring());
    ASSERT_EQ(tar::commitArchive(archive.wstring(), {b, a}, &error_), 0);
    const Bytes before = load(archive);
    tar::Planned stale = planned(old[0].name, old[0].kind, old[0].size, L"", old[0].dataOffset);
    EXPECT_EQ(tar::commitArchive(archive.wstring(), {stale}, &error_), 1);
    EXPECT_NE(error_.find(L"changed by someone else"), std::wstring::npos);
    EXPECT_EQ(load(archive), before);
}

// Names are bytes: a name that is no UTF-8 (a Linux file name in Latin-1)
// goes into the pax header marked as binary and reads back byte for byte;
// its twin differing in one byte stays a member of its own.
TEST_F(TarTest, NamesThatAreNoUtf8ReadBackByteForByte) {
    const std::vector<tar::Member> members = {
        {"caf\xe9.txt", tar::Kind::File, 3, 1, 0},
        {"caf\xe8.txt", tar::Kind::File, 3, 1, 0},
        {"d\xe9p/inner", tar::Kind::File, 3, 1, 0},
    };
    const Bytes headers = tar::encodeHeaders(members[0]);
    const std::string records(headers.begin() + 512, headers.begin() + 1024);
    EXPECT_NE(records.find("hdrcharset=BINARY\n"), std::string::npos);
    EXPECT_EQ(tar::encodeHeaders({"caf\xc3\xa9", tar::Kind::File, 1, 0, 0}).size(), 1536u);
    save(folder_ / "a.tar", archiveOf(members));
    EXPECT_EQ(namesIn(folder_ / "a.tar"), (std::vector<std::string>{"caf\xe9.txt", "caf\xe8.txt", "d\xe9p/inner"}));
    // Shown to a person, an undecodable byte is U+FFFD.
    EXPECT_EQ(tar::shownName("caf\xe9.txt"), L"caf\uFFFD.txt");
#ifndef _WIN32
    // On Linux a file name's bytes become the member's name and back.
    const std::wstring onDisk = tar::relativeDiskPath("d\xe9p/inner");
    EXPECT_EQ(tar::memberName(onDisk), "d\xe9p/inner");
#endif
}

// An entry whose name holds a NUL byte is no member: without a list for it
// the archive is refused; with one, the other members stay reachable, and a
// rewritten archive carries the entry over byte for byte.
TEST_F(TarTest, EntryWithNulInItsNameIsCarriedOverUnread) {
    // Long enough for a pax path, which can hold the NUL byte.
    const std::string nul = std::string("bad\0", 4) + std::string(120, 'n');
    const std::vector<tar::Member> members = {
        {"a.txt", tar::Kind::File, 3, 1, 0},
        {nul, tar::Kind::File, 700, 2, 0},
        {"b.txt", tar::Kind::File, 5, 3, 0},
    };
    const Bytes original = archiveOf(members);
    save(folder_ / "n.tar", original);
    std::vector<tar::Member> found;
    EXPECT_EQ(read(folder_ / "n.tar", &found), 1);
    EXPECT_NE(error_.find(L"NUL byte"), std::wstring::npos);

    FILE* f = plat::openFile((folder_ / "n.tar").wstring(), L"rb");
    ASSERT_NE(f, nullptr);
    std::vector<tar::Refused> refused;
    ASSERT_EQ(tar::readMembers(f, &found, &error_, &refused), 0) << error_.c_str();
    std::fclose(f);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].name, "b.txt");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].name, "bad");
    const Bytes entry(original.begin() + static_cast<std::ptrdiff_t>(refused[0].offset),
                      original.begin() + static_cast<std::ptrdiff_t>(refused[0].offset + refused[0].length));

    save(folder_ / "c.txt", "new");
    std::vector<tar::Planned> plan =
        tar::mergeMembers(found, {planned("c.txt", tar::Kind::File, 3, (folder_ / "c.txt").wstring())}, refused);
    tar::orderMembers(&plan);
    ASSERT_EQ(tar::commitArchive((folder_ / "n.tar").wstring(), plan, &error_), 0) << error_.c_str();
    const Bytes rewritten = load(folder_ / "n.tar");
    f = plat::openFile((folder_ / "n.tar").wstring(), L"rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(tar::readMembers(f, &found, &error_, &refused), 0) << error_.c_str();
    std::fclose(f);
    EXPECT_EQ(found.size(), 3u);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(Bytes(rewritten.begin() + static_cast<std::ptrdiff_t>(refused[0].offset),
                    rewritten.begin() + static_cast<std::ptrdiff_t>(refused[0].offset + refused[0].length)),
              entry);
}

TEST(EscapedText, ControlCharactersAndReorderingMarksAreShownEscaped) {
    const struct {
        std::wstring text;
        std::wstring shown;
    } cases[] = {
        {L"plain name.txt", L"plain name.txt"},
        {L"clear\x1b[2Jscreen", L"clear\\x1B[2Jscreen"},
        {L"forged\nrow", L"forged\\x0Arow"},
        {L"title\x1b]0;owned\x07", L"title\\x1B]0;owned\\x07"},
        {L"tab\tand\rreturn", L"tab\\x09and\\x0Dreturn"},
        {L"del\x7f", L"del\\x7F"},
        {L"c1\u009bcsi", L"c1\\u009Bcsi"},
        {L"txt.\u202eexe", L"txt.\\u202Eexe"},
        {L"caf\u00e9 \u65e5\u672c", L"caf\u00e9 \u65e5\u672c"},
    };
    for (const auto& c : cases) EXPECT_EQ(tar::escapedText(c.text), c.shown);
}

}  // namespace
