// Test helper for the workspace file manager's window (bkfm.exe), run under
// Wine beside it: reads the window's list as a user sees it, selects a row,
// presses a button, drops files on the window and closes it.
//
//   fmhelper items --caption TEXT [--timeout S]
//       Waits for the window and prints one JSON line
//       {"items":[[name,size,modified],...],"selected":N,"status":TEXT,"enabled":BOOL}.
//   fmhelper select --caption TEXT --row N
//   fmhelper press --caption TEXT --button LABEL      (the label without '&')
//   fmhelper drop --caption TEXT --file PATH [--file PATH...]
//   fmhelper close --caption TEXT
//   fmhelper idle --caption TEXT [--status TEXT] [--timeout S]
//       Waits until the window takes actions again (its buttons enabled) and
//       its status line holds the text.
//   fmhelper hold --file PATH
//       Opens the file without sharing it, so that no other program can read
//       it, prints "held" and keeps it so until its standard input ends.
//
// Exit 0 on success, 2 when the window did not show up in time, 1 on
// another failure. Output is UTF-8.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <string>

#include "tests/wine/helperjson.h"
#include <vector>

namespace {

using helper::json;
using helper::utf8;

std::wstring windowText(HWND hwnd) {
    wchar_t text[1024] = L"";
    GetWindowTextW(hwnd, text, 1024);
    return text;
}

std::wstring className(HWND hwnd) {
    wchar_t name[256] = L"";
    GetClassNameW(hwnd, name, 256);
    return name;
}

HWND findWindow(const std::wstring& caption, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        struct Search {
            std::wstring caption;
            HWND found;
        } search{caption, nullptr};
        EnumWindows(
            [](HWND hwnd, LPARAM data) -> BOOL {
                auto* s = reinterpret_cast<Search*>(data);
                if (IsWindowVisible(hwnd) && windowText(hwnd) == s->caption &&
                    className(hwnd) == L"VelkinWorkspaceWindow") {
                    s->found = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(50);
    }
}

std::vector<HWND> children(HWND parent) {
    std::vector<HWND> list;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        list.push_back(child);
    return list;
}

HWND childOfClass(HWND parent, const wchar_t* name) {
    for (HWND child : children(parent))
        if (_wcsicmp(className(child).c_str(), name) == 0) return child;
    return nullptr;
}

std::wstring plainLabel(const std::wstring& raw) {
    std::wstring label;
    for (wchar_t c : raw)
        if (c != L'&') label += c;
    return label;
}

// Memory in the window's process: list view messages carry pointers, which
// are not carried across processes.
struct Remote {
    HANDLE process = nullptr;
    void* memory = nullptr;
    explicit Remote(HWND hwnd, SIZE_T size) {
        DWORD id = 0;
        GetWindowThreadProcessId(hwnd, &id);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id);
        if (process) memory = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~Remote() {
        if (memory) VirtualFreeEx(process, memory, 0, MEM_RELEASE);
        if (process) CloseHandle(process);
    }
    bool write(SIZE_T offset, const void* data, SIZE_T n) {
        return WriteProcessMemory(process, static_cast<char*>(memory) + offset, data, n, nullptr) != 0;
    }
    bool read(SIZE_T offset, void* data, SIZE_T n) {
        return ReadProcessMemory(process, static_cast<char*>(memory) + offset, data, n, nullptr) != 0;
    }
    char* at(SIZE_T offset) { return static_cast<char*>(memory) + offset; }
};

std::wstring cellText(HWND list, Remote& remote, int row, int column) {
    const SIZE_T textAt = 1024;
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<LPWSTR>(remote.at(textAt));
    item.cchTextMax = 1024;
    remote.write(0, &item, sizeof item);
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote.at(0)));
    wchar_t text[1024] = L"";
    remote.read(textAt, text, sizeof text - sizeof(wchar_t));
    return text;
}

bool buttonsEnabled(HWND window) {
    for (HWND child : children(window))
        if (_wcsicmp(className(child).c_str(), L"Button") == 0) return IsWindowEnabled(child) != 0;
    return false;
}

std::wstring statusText(HWND window) {
    for (HWND child : children(window))
        if (_wcsicmp(className(child).c_str(), L"Static") == 0) return windowText(child);
    return std::wstring();
}

int itemsCommand(HWND window) {
    HWND list = childOfClass(window, WC_LISTVIEWW);
    if (!list) return 1;
    Remote remote(list, 8192);
    if (!remote.memory) return 1;
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::string out = "{\"items\":[";
    for (int row = 0; row < count; ++row) {
        out += row ? ",[" : "[";
        for (int column = 0; column < 3; ++column)
            out += (column ? "," : "") + json(cellText(list, remote, row, column));
        out += "]";
    }
    int selected = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, -1, LVNI_SELECTED));
    std::wstring status = statusText(window);
    bool enabled = buttonsEnabled(window);
    out += "],\"selected\":" + std::to_string(selected) + ",\"status\":" + json(status) +
           ",\"enabled\":" + (enabled ? "true" : "false") + "}";
    std::printf("%s\n", out.c_str());
    return 0;
}

int selectCommand(HWND window, int row) {
    HWND list = childOfClass(window, WC_LISTVIEWW);
    if (!list) return 1;
    Remote remote(list, sizeof(LVITEMW));
    if (!remote.memory) return 1;
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    remote.write(0, &item, sizeof item);
    return SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(remote.at(0))) ? 0 : 1;
}

int pressCommand(HWND window, const std::wstring& label) {
    for (HWND child : children(window)) {
        if (_wcsicmp(className(child).c_str(), L"Button") != 0) continue;
        if (plainLabel(windowText(child)) != label) continue;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(child), BN_CLICKED),
                     reinterpret_cast<LPARAM>(child));
        return 0;
    }
    std::fprintf(stderr, "fmhelper: no button \"%s\"\n", utf8(label).c_str());
    return 1;
}

// A drop as the shell makes it: a DROPFILES block followed by the wide paths,
// each ended by a NUL, and one more NUL.
int dropCommand(HWND window, const std::vector<std::wstring>& files) {
    std::vector<char> block(sizeof(DROPFILES));
    auto* header = reinterpret_cast<DROPFILES*>(block.data());
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    for (const std::wstring& f : files) {
        const char* p = reinterpret_cast<const char*>(f.c_str());
        block.insert(block.end(), p, p + (f.size() + 1) * sizeof(wchar_t));
    }
    block.insert(block.end(), sizeof(wchar_t), '\0');
    // The drop block must outlive this helper until the window has read it.
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, id);
    if (!process) return 1;
    void* memory = VirtualAllocEx(process, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool written = memory && WriteProcessMemory(process, memory, block.data(), block.size(), nullptr);
    CloseHandle(process);
    if (!written) return 1;
    PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
    return 0;
}

// Done: the buttons take actions again and the status line tells the outcome
// the test expects (an action posted a moment ago may not have begun yet).
int idleCommand(HWND window, const std::wstring& status, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!buttonsEnabled(window) || statusText(window).find(status) == std::wstring::npos) {
        if (GetTickCount() - start >= timeoutMs) {
            std::fprintf(stderr, "fmhelper: still busy, or the status is \"%s\"\n", utf8(statusText(window)).c_str());
            return 2;
        }
        Sleep(50);
    }
    return 0;
}

int holdCommand(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    CloseHandle(file);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: fmhelper items|select|press|drop|close|idle --caption TEXT [--row N] "
                 "[--button LABEL] [--status TEXT] [--file PATH]... [--timeout S]\n"
                 "       fmhelper hold --file PATH\n");
    return 64;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) return usage();
    std::wstring command = argv[1], caption, button, status;
    std::vector<std::wstring> files;
    int row = -1;
    DWORD timeoutMs = 30000;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--caption") caption = value;
        else if (name == L"--row") row = _wtoi(value.c_str());
        else if (name == L"--button") button = value;
        else if (name == L"--status") status = value;
        else if (name == L"--file") files.push_back(value);
        else if (name == L"--timeout") timeoutMs = static_cast<DWORD>(_wtof(value.c_str()) * 1000);
        else return usage();
    }
    if (command == L"hold" && files.size() == 1) return holdCommand(files[0]);
    if (caption.empty()) return usage();
    HWND window = findWindow(caption, timeoutMs);
    if (!window) {
        std::fprintf(stderr, "fmhelper: no window \"%s\"\n", utf8(caption).c_str());
        return 2;
    }
    if (command == L"items") return itemsCommand(window);
    if (command == L"select" && row >= 0) return selectCommand(window, row);
    if (command == L"press" && !button.empty()) return pressCommand(window, button);
    if (command == L"drop" && !files.empty()) return dropCommand(window, files);
    if (command == L"close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    if (command == L"idle") return idleCommand(window, status, timeoutMs);
    return usage();
}
