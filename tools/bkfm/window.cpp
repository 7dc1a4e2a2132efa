// The file manager's window on Windows: the workspace's files in a list
// (name, size, last change), buttons for the actions, and files dropped on
// the window are added. The actions run on a worker thread, so that the
// window stays responsive while the program has a file open; the window
// takes no new action until the running one is done.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/format.h"
#include "tools/bkfm/addpaths.h"
#include "tools/bkfm/interactive.h"
#include "tools/bkfm/workspacefile.h"

namespace bkfm {

namespace {

enum ControlId {
    kList = 100,
    kOpen = 101,
    kAdd = 102,
    kExtract = 103,
    kRemove = 104,
    kClose = 105,
    kStatus = 106,
};

constexpr UINT kActionDone = WM_APP + 1;
const wchar_t kClassName[] = L"VelkinWorkspaceWindow";
const wchar_t kBoxCaption[] = L"bkfm";

struct ActionResult {
    int failed = 0;
    std::wstring message;
};

struct State {
    std::wstring archive;
    HWND window = nullptr;
    HWND list = nullptr;
    HWND status = nullptr;
    std::vector<HWND> buttons;
    std::vector<Entry> entries;
    bool busy = false;
};

State state;

std::wstring archiveTitle() {
    std::size_t cut = state.archive.find_last_of(L"\\/");
    return cut == std::wstring::npos ? state.archive : state.archive.substr(cut + 1);
}

void setStatus(const std::wstring& text) {
    SetWindowTextW(state.status, text.c_str());
}

void addColumn(int index, const wchar_t* title, int width, int format) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(title);
    SendMessageW(state.list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

void setCell(int row, int column, const std::wstring& text) {
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(state.list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

// Fills the list from the archive; keeps the selection on the same name.
void refresh() {
    std::string selected;
    int current = static_cast<int>(SendMessageW(state.list, LVM_GETNEXTITEM, -1, LVNI_SELECTED));
    if (current >= 0 && current < static_cast<int>(state.entries.size()))
        selected = state.entries[current].member.name;

    std::wstring message;
    std::vector<Entry> entries;
    if (listMembers(state.archive, &entries, &message) != 0) {
        setStatus(message);
        return;
    }
    if (!message.empty()) setStatus(message);
    state.entries = entries;
    SendMessageW(state.list, LVM_DELETEALLITEMS, 0, 0);
    int select = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const tar::Member& m = entries[i].member;
        std::wstring name = shownName(m.name) + (m.kind == tar::Kind::Folder ? L"\\" : L"");
        for (wchar_t& c : name)
            if (c == L'/') c = L'\\';
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(name.c_str());
        SendMessageW(state.list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        setCell(static_cast<int>(i), 1, m.kind == tar::Kind::Folder ? std::wstring() : sizeText(entries[i]));
        setCell(static_cast<int>(i), 2, memberDate(m.modified));
        if (m.name == selected) select = static_cast<int>(i);
    }
    if (!entries.empty()) {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(state.list, LVM_SETITEMSTATE, select, reinterpret_cast<LPARAM>(&item));
    }
}

void setBusy(bool busy) {
    state.busy = busy;
    for (HWND button : state.buttons) EnableWindow(button, !busy);
    EnableWindow(state.list, !busy);
    DragAcceptFiles(state.window, !busy);
}

// Runs one action on the worker thread and reports back to the window.
void startAction(const std::wstring& what, std::function<int(std::wstring*)> action) {
    if (state.busy) return;
    setBusy(true);
    setStatus(what);
    HWND window = state.window;
    std::thread([window, action]() {
        auto* result = new ActionResult;
        // What a file manager stopped during an open left is finished first.
        std::wstring recovered;
        recoverWorkingFolders(&recovered);
        result->failed = action(&result->message);
        if (!recovered.empty()) {
            result->message = recovered + L"\n" + result->message;
            result->failed = 1;
        }
        PostMessageW(window, kActionDone, 0, reinterpret_cast<LPARAM>(result));
    }).detach();
}

bool selectedMember(std::string* name) {
    int index = static_cast<int>(SendMessageW(state.list, LVM_GETNEXTITEM, -1, LVNI_SELECTED));
    if (index < 0 || index >= static_cast<int>(state.entries.size())) {
        MessageBoxW(state.window, L"Choose a file of the workspace first.", kBoxCaption, MB_ICONINFORMATION);
        return false;
    }
    *name = state.entries[index].member.name;
    return true;
}

void openSelected() {
    std::string name;
    if (!selectedMember(&name)) return;
    startAction(L"Opening '" + shownName(name) + L"'...", [name](std::wstring* message) {
        return openMember(state.archive, name, message);
    });
}

void addFiles(const std::vector<std::wstring>& paths) {
    if (paths.empty()) return;
    startAction(L"Adding...",
                [paths](std::wstring* message) { return addPaths(state.archive, paths, message); });
}

void chooseAndAdd() {
    std::vector<wchar_t> buffer(32768, L'\0');
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = state.window;
    dialog.lpstrFile = buffer.data();
    dialog.nMaxFile = static_cast<DWORD>(buffer.size());
    dialog.lpstrTitle = L"Add files to the workspace (they are encrypted, the originals erased)";
    dialog.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return;
    // One file: its full path. Several: the folder, then each name, each ended by a NUL.
    std::vector<std::wstring> parts;
    for (const wchar_t* p = buffer.data(); *p; p += wcslen(p) + 1) parts.push_back(p);
    std::vector<std::wstring> paths;
    if (parts.size() == 1) paths = parts;
    for (std::size_t i = 1; i < parts.size(); ++i) paths.push_back(parts[0] + L"\\" + parts[i]);
    addFiles(paths);
}

void chooseAndExtract() {
    std::string name;
    if (!selectedMember(&name)) return;
    BROWSEINFOW browse = {};
    browse.hwndOwner = state.window;
    std::wstring title = L"Extract '" + shownName(name) + L"' into which folder? It is decrypted there.";
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse);
    if (!chosen) return;
    wchar_t folder[MAX_PATH] = L"";
    BOOL ok = SHGetPathFromIDListW(chosen, folder);
    CoTaskMemFree(chosen);
    if (!ok) return;
    std::wstring target = folder;
    startAction(L"Extracting '" + shownName(name) + L"'...", [name, target](std::wstring* message) {
        return extractMember(state.archive, name, target, message);
    });
}

void removeSelected() {
    std::string name;
    if (!selectedMember(&name)) return;
    std::wstring question = formatWide(L"Remove '%ls' from the workspace?", shownName(name).c_str());
    if (MessageBoxW(state.window, question.c_str(), kBoxCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) !=
        IDYES)
        return;
    startAction(L"Removing '" + shownName(name) + L"'...", [name](std::wstring* message) {
        return removeMember(state.archive, name, message);
    });
}

void dropped(HDROP drop) {
    std::vector<std::wstring> paths;
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        DragQueryFileW(drop, i, &path[0], length + 1);
        path.resize(length);
        paths.push_back(path);
    }
    DragFinish(drop);
    addFiles(paths);
}

void layout(int width, int height) {
    const int margin = 8, buttonWidth = 96, buttonHeight = 26, statusHeight = 20;
    int listWidth = width - 3 * margin - buttonWidth;
    MoveWindow(state.list, margin, margin, listWidth > 50 ? listWidth : 50,
               height - 3 * margin - statusHeight, TRUE);
    for (std::size_t i = 0; i < state.buttons.size(); ++i)
        MoveWindow(state.buttons[i], width - margin - buttonWidth,
                   margin + static_cast<int>(i) * (buttonHeight + 6), buttonWidth, buttonHeight, TRUE);
    MoveWindow(state.status, margin, height - margin - statusHeight, width - 2 * margin, statusHeight, TRUE);
}

HWND makeChild(const wchar_t* type, const wchar_t* text, DWORD style, int id) {
    HWND child = CreateWindowExW(0, type, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, state.window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                 nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return child;
}

void createControls() {
    state.list = makeChild(WC_LISTVIEWW, L"", WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                           kList);
    SendMessageW(state.list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    addColumn(0, L"Name", 300, LVCFMT_LEFT);
    addColumn(1, L"Size", 90, LVCFMT_RIGHT);
    addColumn(2, L"Modified", 120, LVCFMT_LEFT);
    const struct {
        const wchar_t* text;
        int id;
    } buttons[] = {{L"&Open", kOpen}, {L"&Add...", kAdd}, {L"E&xtract...", kExtract}, {L"&Remove", kRemove},
                   {L"&Close", kClose}};
    for (const auto& b : buttons) state.buttons.push_back(makeChild(L"BUTTON", b.text, WS_TABSTOP | BS_PUSHBUTTON, b.id));
    state.status = makeChild(L"STATIC", L"Files dropped on this window are encrypted and added.", SS_LEFTNOWORDWRAP,
                             kStatus);
}

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        state.window = hwnd;
        createControls();
        refresh();
        return 0;
    case WM_SIZE:
        layout(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_COMMAND:
        if (state.busy) return 0;
        switch (LOWORD(wParam)) {
        case kOpen: openSelected(); return 0;
        case kAdd: chooseAndAdd(); return 0;
        case kExtract: chooseAndExtract(); return 0;
        case kRemove: removeSelected(); return 0;
        case kClose: PostMessageW(hwnd, WM_CLOSE, 0, 0); return 0;
        }
        break;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom == kList && header->code == LVN_ITEMACTIVATE && !state.busy) openSelected();
        return 0;
    }
    case WM_DROPFILES:
        if (state.busy) DragFinish(reinterpret_cast<HDROP>(wParam));
        else dropped(reinterpret_cast<HDROP>(wParam));
        return 0;
    case kActionDone: {
        std::unique_ptr<ActionResult> result(reinterpret_cast<ActionResult*>(lParam));
        refresh();
        setStatus(result->message);
        setBusy(false);
        if (result->failed)
            MessageBoxW(hwnd, result->message.c_str(), kBoxCaption, MB_OK | MB_ICONWARNING);
        return 0;
    }
    case WM_CLOSE:
        // A running action finishes first: it may be writing the archive.
        if (state.busy) {
            setStatus(L"Wait until the running action is done, then close the window.");
            return 0;
        }
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int runInteractive(const std::wstring& archive) {
    state.archive = archive;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);

    HWND window = CreateWindowExW(WS_EX_ACCEPTFILES, kClassName, archiveTitle().c_str(), WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 720, 420, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window) return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CoUninitialize();
    return 0;
}

}  // namespace bkfm
