// Windows backend of the open command's editor wait: the shell's "open"
// verb, the wait for the started process, the window search and the
// exclusive open that tells whether an application still holds the file.
#include "platform/platform.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace plat {

const uint32_t kNoAssociationError = ERROR_NO_ASSOCIATION;

namespace {

// The system error behind a shell result code of 32 or less. ShellExecuteExW
// sets the thread's last error on Windows, but some implementations (Wine)
// leave it at 0 and report only through hInstApp.
DWORD errorOfShellCode(INT_PTR code) {
    switch (code) {
        case SE_ERR_FNF: return ERROR_FILE_NOT_FOUND;
        case SE_ERR_PNF: return ERROR_PATH_NOT_FOUND;
        case SE_ERR_ACCESSDENIED: return ERROR_ACCESS_DENIED;
        case SE_ERR_OOM: return ERROR_NOT_ENOUGH_MEMORY;
        case SE_ERR_SHARE: return ERROR_SHARING_VIOLATION;
        case SE_ERR_ASSOCINCOMPLETE:
        case SE_ERR_NOASSOC: return ERROR_NO_ASSOCIATION;
        case SE_ERR_DDETIMEOUT:
        case SE_ERR_DDEFAIL:
        case SE_ERR_DDEBUSY: return ERROR_DDE_FAIL;
        case SE_ERR_DLLNOTFOUND: return ERROR_DLL_NOT_FOUND;
        default: return ERROR_GEN_FAILURE;
    }
}

struct Enumeration {
    WindowVisitor visit;
    void* data;
};

BOOL CALLBACK visitWindow(HWND hwnd, LPARAM parameter) {
    const Enumeration* e = reinterpret_cast<const Enumeration*>(parameter);
    return e->visit(reinterpret_cast<WindowHandle>(hwnd), e->data) ? TRUE : FALSE;
}

HWND windowOf(WindowHandle window) { return reinterpret_cast<HWND>(window); }

}  // namespace

EditorRoute editorRoute() { return EditorRoute::Desktop; }

int launchEditor(const std::wstring& path, EditorRoute, ProcessHandle* process) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.nShow = SW_SHOW;
    if (ShellExecuteExW(&info)) {
        *process = info.hProcess;
        return 0;
    }
    DWORD error = GetLastError();
    if (error == 0) error = errorOfShellCode(reinterpret_cast<INT_PTR>(info.hInstApp));
    SetLastError(error);
    return 1;
}

void waitForProcess(ProcessHandle process) {
    if (process == nullptr) return;
    HANDLE handle = static_cast<HANDLE>(process);
    WaitForSingleObject(handle, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(handle, &code);   // read as the system expects; not used
    CloseHandle(handle);
}

bool canWatchWindows() { return true; }

void enumTopWindows(WindowVisitor visit, void* data) {
    Enumeration e{visit, data};
    EnumWindows(visitWindow, reinterpret_cast<LPARAM>(&e));
}

void enumChildWindows(WindowHandle parent, WindowVisitor visit, void* data) {
    Enumeration e{visit, data};
    EnumChildWindows(windowOf(parent), visitWindow, reinterpret_cast<LPARAM>(&e));
}

bool windowText(WindowHandle window, std::wstring* text) {
    wchar_t buffer[1024];
    int n = GetWindowTextW(windowOf(window), buffer, 1024);
    if (n <= 0) return false;
    text->assign(buffer, static_cast<std::size_t>(n));
    return true;
}

std::wstring windowModulePath(WindowHandle window) {
    HWND hwnd = windowOf(window);
    DWORD processId = 0;
    GetWindowThreadProcessId(hwnd, &processId);
    wchar_t buffer[1024];
    if (processId == GetCurrentProcessId()) {
        UINT n = GetWindowModuleFileNameW(hwnd, buffer, 1024);
        return std::wstring(buffer, n < 1024 ? n : 0);
    }
    // GetWindowModuleFileNameW looks a window's module handle up among this
    // process's modules, so a window of another program whose file loads at
    // the same address would pass for one of ours: ask its process instead.
    HANDLE owner = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (owner == nullptr) return std::wstring();
    DWORD size = 1024;
    std::wstring path;
    if (QueryFullProcessImageNameW(owner, 0, buffer, &size)) path.assign(buffer, size);
    CloseHandle(owner);
    return path;
}

FileHold fileHold(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), 0x1F01FF /* FILE_ALL_ACCESS */, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return FileHold::Free;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? FileHold::Held : FileHold::Unknown;
}

void ownerOnlyFiles(bool) {}

bool canAskQuestions() { return true; }

// The desktop route alone: the associated application is no editor of this
// program's terminal.
std::wstring terminalEditorFailure() { return std::wstring(); }

}  // namespace plat
