// Feeds arbitrary archives to the workspace's tar reader, and changes built
// from the input to the member merge and the archive writer.
//
// The input is the archive itself. Whatever the reader accepts must hold
// together: every member's data lies within the file on a block boundary,
// names are not empty and hold no NUL byte, refused entries lie within the
// file. A change built from the first members (one replaced, one removed,
// one added under a name made from the input) is then written under the
// workspace's lock on top of the archive; it must succeed, and the archive
// must read back with the members the change planned, in order, and every
// refused entry carried over byte for byte.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tools/tar/tararchive.h"
#include "workspace/tarformat.h"

namespace fs = std::filesystem;

namespace {

fs::path root;

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<uint8_t> load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    root = base / ("velkin-tar-fuzz-" + std::to_string(std::random_device()()));
    fs::create_directories(root);
    std::ofstream(root / "source", std::ios::binary) << "the data of a member added by the change";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path archive = root / "ws (Secure Workspace)";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    tar::Snapshot base;
    std::wstring error;
    if (tar::readSnapshot(archive.wstring(), &base, &error) != 0) return 0;

    for (const tar::Member& m : base.members) {
        check(!m.name.empty() && m.name.find('\0') == std::string::npos && m.name.back() != '/');
        check(m.dataOffset % tar::kBlockSize == 0);
        check(m.dataOffset <= size && m.size <= size - m.dataOffset);
    }
    for (const tar::Refused& r : base.refused)
        check(r.offset % tar::kBlockSize == 0 && r.offset <= size && r.length <= size - r.offset);
    check(base.marks.size() == base.members.size());
    const std::vector<uint8_t> before(data, data + size);

    // A change: the first file member replaced, the second member removed,
    // and a member added under a name taken from the input's last bytes.
    tar::Change change;
    const fs::path source = root / "source";
    auto added = [&source](const std::string& name) {
        tar::Planned p;
        p.member.name = name;
        p.member.kind = tar::Kind::File;
        p.member.size = fs::file_size(source);
        p.member.modified = 1;
        p.sourcePath = source.wstring();
        return p;
    };
    for (const tar::Member& m : base.members) {
        if (m.kind == tar::Kind::File) {
            change.added.push_back(added(m.name));
            break;
        }
    }
    if (base.members.size() > 1) change.removed.push_back(base.members[1].name);
    std::string name = "new ";
    for (std::size_t i = size > 24 ? size - 24 : 0; i < size; ++i)
        if (data[i] != 0 && data[i] != '/') name += static_cast<char>(data[i]);
    change.added.push_back(added(name));

    // What the change should leave, as the merge plans it.
    std::vector<tar::Member> kept;
    for (const tar::Member& m : base.members) {
        bool removed = false;
        for (const std::string& r : change.removed) removed = removed || tar::isAtOrBelow(m.name, r);
        if (!removed) kept.push_back(m);
    }
    std::vector<tar::Planned> plan = tar::mergeMembers(kept, change.added, base.refused);
    tar::orderMembers(&plan);
    bool carriedSeen = false;
    for (const tar::Planned& p : plan) {
        check(!carriedSeen || p.isCarried);
        carriedSeen = carriedSeen || p.isCarried;
    }

    check(tar::changeWorkspace(archive.wstring(), base, change, &error) == tar::ChangeOutcome::Done);
    tar::Snapshot after;
    check(tar::readSnapshot(archive.wstring(), &after, &error) == 0);
    std::size_t member = 0, carried = 0;
    const std::vector<uint8_t> written = load(archive);
    for (const tar::Planned& p : plan) {
        if (p.isCarried) {
            check(carried < after.refused.size());
            const tar::Refused& r = after.refused[carried++];
            check(r.length == p.carried.length);
            check(std::memcmp(written.data() + r.offset, before.data() + p.carried.offset, r.length) == 0);
            continue;
        }
        check(member < after.members.size());
        const tar::Member& m = after.members[member++];
        check(m.name == p.member.name && m.kind == p.member.kind && m.size == p.member.size);
    }
    check(member == after.members.size() && carried == after.refused.size());
    check(!fs::exists(fs::path(archive.wstring() + L".lock")));
    return 0;
}
