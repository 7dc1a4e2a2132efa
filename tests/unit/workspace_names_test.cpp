// The names a Secure Workspace conversion forms from the folder's path.
#include <gtest/gtest.h>

#include <string>

#include "drive/util.h"
#include "platform/platform.h"
#include "workspace/workspace.h"

namespace {

const std::wstring kMarker = L"!          !           !";

TEST(WorkspaceNames, FormedFromTheFolderPath) {
    const wchar_t s = plat::kSep;
    const std::wstring folder = std::wstring(L"C:") + s + L"a" + s + L"my work";
    // On Windows the period ends the name as the siblings are given it;
    // elsewhere the archive is named as Windows stores it, without one.
    const std::wstring period = s == L'\\' ? L"." : L"";
    const struct {
        std::wstring path;
        std::wstring folder;
        std::wstring display;
    } cases[] = {
        {folder, folder, L"my work"},
        {folder + s, folder, L"my work"},            // a trailing separator names the same folder
        {folder + s + s, folder, L"my work"},
        {L"work", L"work", L"work"},                 // no separator: the whole path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        WorkspaceNames names = workspaceNames(c.path);
        EXPECT_EQ(names.folder, c.folder);
        EXPECT_EQ(names.displayName, c.display);
        EXPECT_EQ(names.markerPath, c.folder + s + kMarker);
        EXPECT_EQ(names.archiveOnDisk, c.folder + L" (Secure Workspace)");
        EXPECT_EQ(names.archiveName, c.folder + L" (Secure Workspace)" + period);
    }
    EXPECT_EQ(kMarker.size(), 24u);
}

TEST(WorkspaceNames, SiblingsLiveInSettingsBesideTheProgram) {
    const wchar_t s = plat::kSep;
    const std::wstring drive = std::wstring(L"E:") + s + L"key drive";
    ASSERT_EQ(setProgramPaths((drive + s + L"Open.exe").c_str()), 0);
    const std::wstring extension = s == L'\\' ? L".exe" : L"";
    EXPECT_EQ(siblingPath(L"bkgui"), drive + s + L"SETTINGS" + s + L"bkgui" + extension);
    EXPECT_EQ(siblingPath(L"bkfm"), drive + s + L"SETTINGS" + s + L"bkfm" + extension);
    // At a drive's root.
    const std::wstring root = s == L'\\' ? L"E:\\" : L"/";
    ASSERT_EQ(setProgramPaths((root + L"Open.exe").c_str()), 0);
    EXPECT_EQ(siblingPath(L"bkgui"), root + L"SETTINGS" + s + L"bkgui" + extension);
}

}  // namespace
