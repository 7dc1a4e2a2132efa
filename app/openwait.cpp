// The wait has four parts, one after the other: the launched process ends,
// at least two seconds pass after the launch, no window of another program
// shows the file's name, and no other program holds the file. A terminal
// editor is waited for until it exits and needs none of the others. Where
// the desktop's windows cannot be watched, the user confirms that the file
// is closed.
#include "app/openwait.h"

#include <cstdint>
#include <ctime>

#include "app/windowmatch.h"
#include "diag/error.h"
#include "diag/log.h"
#include "drive/util.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kMinimumMs = 2000;
constexpr uint32_t kRoundMs = 250;
constexpr uint32_t kAskAgainMs = 3000;

WindowMatch match;

// One enumeration of the top-level windows; true when one showed the file.
bool windowShowsFile() {
    match.found = 0;
    plat::enumTopWindows(matchEditorWindow, &match);
    return match.found != 0;
}

// Reports a failed launch and leaves its system error readable.
int launchFailed(const wchar_t* path) {
    uint32_t code = plat::lastSystemError();
    const wchar_t* text = systemErrorText();
    reportError(L"couldn't open %ls (%ls)", path, text);
    plat::setLastSystemError(code);
    return 1;
}

// Waits while another program holds the file.
void waitWhileHeld(const wchar_t* path, uint32_t* waits) {
    for (;;) {
        plat::FileHold hold = plat::fileHold(path);
        if (hold == plat::FileHold::Free) return;
        if (hold == plat::FileHold::Unknown) {
            logMessage(L"file %ls could not be opened: %ls", path, systemErrorText());
            return;
        }
        ++*waits;
        plat::sleepMs(kRoundMs);
    }
}

// Asks until the user says that the application is done with the file;
// false, after reporting, when the question could not be shown at all.
bool confirmClosed(const wchar_t* path, uint32_t* waits) {
    for (;;) {
        waitWhileHeld(path, waits);
        const wchar_t* question = formatText(
            L"Are you done with\n%ls?\n\nThe windows of this desktop cannot be watched, so the "
            L"program cannot see when the file is closed. Save your changes and close the file "
            L"in its application, then choose Yes. No waits and asks again.\n",
            path);
        const plat::Answer answer = plat::askQuestion(caption, question);
        if (answer == plat::Answer::Yes) return true;
        if (answer == plat::Answer::NotAsked) {
            // A dialog tool that cannot show its dialog is no No: asking
            // again would never end.
            reportError(L"the question whether you are done with %ls could not be shown, so the "
                        L"end of the editing cannot be told",
                        path);
            return false;
        }
        ++*waits;
        // Not yet: the application has the file, so there is no giving up,
        // only asking again a little later.
        plat::sleepMs(kAskAgainMs);
    }
}

}  // namespace

int openAndWait(const wchar_t* path) {
    const std::time_t start = std::time(nullptr);
    uint32_t waits = 0;
    prepareWindowMatch(&match, path);

    const plat::EditorRoute route = plat::editorRoute();
    if (route == plat::EditorRoute::None) {
        plat::setLastSystemError(plat::kNoAssociationError);
        return launchFailed(path);
    }
    const bool desktop = route == plat::EditorRoute::Desktop;
    const bool watchWindows = desktop && plat::canWatchWindows();
    if (desktop && !watchWindows && !plat::canAskQuestions()) {
        reportError(L"cannot open %ls: the windows of this desktop cannot be watched and no "
                    L"question can be asked, so the end of the editing could not be told",
                    path);
        return 1;
    }

    if (watchWindows && windowShowsFile()) {
        reportError(L"please close window  '%ls'", match.matchedTitle);
        return 1;
    }

    const uint32_t launchTick = plat::tickCount();
    plat::ProcessHandle process = nullptr;
    if (plat::launchEditor(path, route, &process) != 0) return launchFailed(path);
    plat::waitForProcess(process);
    logMessage(L"started editor for %ls", path);
    const std::wstring editorFailure = plat::terminalEditorFailure();
    if (route == plat::EditorRoute::Terminal && !editorFailure.empty()) {
        reportError(L"the editor of %ls did not end normally: %ls", path, editorFailure.c_str());
        return kEditorFailed;
    }

    if (desktop) {
        uint32_t elapsed = plat::tickCount() - launchTick;
        if (elapsed < kMinimumMs) plat::sleepMs(kMinimumMs - elapsed);
        if (watchWindows) {
            for (;;) {
                bool shown = windowShowsFile();
                plat::sleepMs(kRoundMs);
                if (!shown) break;
                ++waits;
            }
            waitWhileHeld(path, &waits);
        } else if (!confirmClosed(path, &waits)) {
            return kEndUnknown;
        }
    }

    logMessage(L"file %ls was unlocked after %u seconds with %u waits", path,
               static_cast<unsigned>(static_cast<uint32_t>(std::time(nullptr) - start)),
               static_cast<unsigned>(waits));
    return 0;
}
