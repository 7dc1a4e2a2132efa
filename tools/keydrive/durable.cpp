#include "tools/keydrive/durable.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "platform/utf8.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace keydrive {

OwnerOnlyFiles::OwnerOnlyFiles() { plat::ownerOnlyFiles(true); }
OwnerOnlyFiles::~OwnerOnlyFiles() { plat::ownerOnlyFiles(false); }

void keepFolderPrivate(const std::wstring& folder) {
#ifndef _WIN32
    std::error_code ec;
    std::filesystem::permissions(std::filesystem::path(folder), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
#else
    (void)folder;
#endif
}

bool syncFolder(const std::wstring& folder, std::wstring* why) {
#ifdef _WIN32
    (void)folder;
    (void)why;
    return true;
#else
    errno = 0;
    const int fd = ::open(utf8::pathFromWide(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        *why = plat::stdErrorMessage(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
#endif
}

}  // namespace keydrive
