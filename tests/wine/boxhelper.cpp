// Test helper for the Windows build, run under Wine beside the program under
// test: it finds the program's message boxes and windows from outside, as a
// user would see them, reports what they show and presses their buttons.
//
//   boxhelper wait --caption TEXT [--timeout S] [--press ok|yes|no|none]
//       Waits for a message box with that caption, prints one JSON line
//       {"caption":..,"icon":..,"text":..,"buttons":[..],"default":..} and
//       presses the button (default none). Exit 0, or 2 when none appeared
//       in time. The icon is information, warning, question, error, none,
//       or unknown for an icon that is none of the system's four.
//   boxhelper window --caption TEXT [--timeout S]
//       Waits for a visible top-level window with that title and prints
//       {"visible":true,"class":..,"texts":[..],"bars":[..]}. Exit 0 or 2.
//   boxhelper nowindow --caption TEXT --for MS
//       Exit 0 when no visible window with that title shows within MS
//       milliseconds, 1 (and a JSON line naming it) when one does. Writes
//       "watching" to standard error when the watch begins.
//   boxhelper edit --caption TEXT --text NEW [--timeout S]
//       Waits for a visible window with that title (an editor such as
//       notepad), sets the text of its edit control, chooses the Save
//       command of its menu and closes the window. Exit 0 once the window
//       has gone; 2 when it did not appear, 3 when it has no edit control or
//       Save command, 4 when it did not close (an unsaved-changes question).
//   boxhelper close --caption TEXT [--timeout S]
//       Closes a visible window with that title as its close button does;
//       exit 0 once it has gone, 2 when it did not appear, 4 when it stays.
//   boxhelper list
//       Prints every visible top-level window: a debugging aid.
//
// All output is UTF-8.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

#include "tests/wine/helperjson.h"

namespace {

constexpr int kMessageBoxTextId = 0xFFFF;

// ---------------------------------------------------------------- output

std::string jsonList(const std::vector<std::wstring>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ",";
        out += helper::json(items[i]);
    }
    return out + "]";
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---------------------------------------------------------------- windows

std::wstring windowText(HWND hwnd) {
    int length = GetWindowTextLengthW(hwnd);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    int n = GetWindowTextW(hwnd, &text[0], length + 1);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

std::wstring className(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

bool sameClass(HWND hwnd, const wchar_t* name) {
    return _wcsicmp(className(hwnd).c_str(), name) == 0;
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(
        [](HWND hwnd, LPARAM data) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(data)->push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// Direct children in creation order.
std::vector<HWND> childWindows(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

bool isMessageBox(HWND hwnd) {
    if (!sameClass(hwnd, L"#32770")) return false;
    HWND text = GetDlgItem(hwnd, kMessageBoxTextId);
    return text != nullptr && sameClass(text, L"Static");
}

HWND findVisibleWindow(const std::wstring& caption, bool messageBoxOnly) {
    for (HWND hwnd : topLevelWindows()) {
        if (!IsWindowVisible(hwnd)) continue;
        if (windowText(hwnd) != caption) continue;
        if (messageBoxOnly && !isMessageBox(hwnd)) continue;
        return hwnd;
    }
    return nullptr;
}

// Says on standard error what did not show up in time.
HWND waitForWindow(const std::wstring& caption, bool messageBoxOnly, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = findVisibleWindow(caption, messageBoxOnly);
        if (hwnd) return hwnd;
        if (GetTickCount() - start >= timeoutMs) break;
        Sleep(20);
    }
    std::fprintf(stderr, "boxhelper: no %s \"%s\" within %lu ms\n",
                 messageBoxOnly ? "message box" : "visible window", helper::utf8(caption).c_str(),
                 static_cast<unsigned long>(timeoutMs));
    return nullptr;
}

// ---------------------------------------------------------------- icon kind

struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<DWORD> data;  // 32-bit BGRX, top-down
};

Pixels readBitmap(HDC dc, HBITMAP bitmap, int width, int height) {
    Pixels p;
    p.width = width;
    p.height = height;
    p.data.assign(static_cast<std::size_t>(width) * height, 0);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), p.data.data(), &info, DIB_RGB_COLORS);
    for (DWORD& v : p.data) v &= 0x00FFFFFF;
    return p;
}

// Paints into a fresh bitmap of the screen's format and reads it back.
template <typename Paint>
Pixels paintAndRead(int width, int height, Paint paint) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    paint(memory, screen);
    SelectObject(memory, old);
    Pixels p = readBitmap(memory, bitmap, width, height);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return p;
}

// What the screen shows of a rectangle (screen coordinates).
Pixels captureScreen(const RECT& r) {
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    return paintAndRead(width, height, [&](HDC memory, HDC screen) {
        BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    });
}

// A system icon drawn as a static control draws it: on the background colour,
// stretched to the control's size.
Pixels drawIcon(HICON icon, int width, int height, COLORREF background) {
    return paintAndRead(width, height, [&](HDC memory, HDC) {
        RECT all = {0, 0, width, height};
        HBRUSH brush = CreateSolidBrush(background);
        FillRect(memory, &all, brush);
        DeleteObject(brush);
        DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    });
}

std::size_t differingPixels(const Pixels& a, const Pixels& b) {
    if (a.width != b.width || a.height != b.height) return static_cast<std::size_t>(-1);
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.data.size(); ++i) n += a.data[i] != b.data[i];
    return n;
}

HWND iconControl(HWND box) {
    for (HWND child : childWindows(box)) {
        if (!IsWindowVisible(child) || !sameClass(child, L"Static")) continue;
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON) return child;
    }
    return nullptr;
}

// "information", "warning", "question", "error", "none" (no icon) or
// "unknown" (an icon that is none of the system's four).
std::string iconKind(HWND box) {
    HWND control = iconControl(box);
    if (!control) return "none";
    RECT client;
    GetClientRect(control, &client);
    POINT origin = {0, 0};
    ClientToScreen(control, &origin);
    RECT onScreen = {origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
    if (client.right <= 0 || client.bottom <= 0) return "none";

    // The background: the box's own pixel just left of the icon.
    RECT beside = {onScreen.left - 2, onScreen.top, onScreen.left - 1, onScreen.top + 1};
    Pixels backgroundPixel = captureScreen(beside);
    DWORD bgr = backgroundPixel.data.empty() ? 0 : backgroundPixel.data[0];
    COLORREF background = RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF);

    const struct {
        const char* kind;
        LPCWSTR id;
    } candidates[] = {
        {"information", IDI_INFORMATION},
        {"warning", IDI_WARNING},
        {"question", IDI_QUESTION},
        {"error", IDI_ERROR},
    };
    // The box may still be painting: look again for a while.
    for (int attempt = 0; attempt < 20; ++attempt) {
        Pixels shown = captureScreen(onScreen);
        for (const auto& c : candidates) {
            HICON icon = LoadIconW(nullptr, c.id);
            if (!icon) continue;
            if (differingPixels(shown, drawIcon(icon, shown.width, shown.height, background)) == 0)
                return c.kind;
        }
        Sleep(100);
    }
    return "unknown";
}

// ---------------------------------------------------------------- commands

std::wstring buttonLabel(HWND button) {
    // "&Yes" shows as "Yes"; "&&" is a literal ampersand.
    std::wstring raw = windowText(button), label;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == L'&') {
            if (i + 1 < raw.size() && raw[i + 1] == L'&') {
                label += L'&';
                ++i;
            }
            continue;
        }
        label += raw[i];
    }
    return label;
}

struct Options {
    std::wstring command;
    std::wstring caption;
    bool hasCaption = false;
    DWORD timeoutMs = 30000;
    std::wstring press = L"none";
    DWORD forMs = 0;
    bool hasFor = false;
    std::wstring text;
    bool hasText = false;
};

int usage() {
    std::fprintf(stderr,
                 "usage: boxhelper wait --caption TEXT [--timeout S] [--press ok|yes|no|none]\n"
                 "       boxhelper window --caption TEXT [--timeout S]\n"
                 "       boxhelper nowindow --caption TEXT --for MS\n"
                 "       boxhelper edit --caption TEXT --text NEW [--timeout S]\n"
                 "       boxhelper close --caption TEXT [--timeout S]\n"
                 "       boxhelper list\n");
    return 64;
}

bool parse(int argc, wchar_t** argv, Options* o) {
    if (argc < 2) return false;
    o->command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::wstring name = argv[i];
        if (i + 1 >= argc) return false;
        std::wstring value = argv[++i];
        if (name == L"--caption") {
            o->caption = value;
            o->hasCaption = true;
        } else if (name == L"--timeout") {
            o->timeoutMs = static_cast<DWORD>(std::wcstod(value.c_str(), nullptr) * 1000);
        } else if (name == L"--press") {
            if (value != L"ok" && value != L"yes" && value != L"no" && value != L"none") return false;
            o->press = value;
        } else if (name == L"--text") {
            o->text = value;
            o->hasText = true;
        } else if (name == L"--for") {
            o->forMs = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
            o->hasFor = true;
        } else {
            return false;
        }
    }
    return true;
}

int waitCommand(const Options& o) {
    HWND box = waitForWindow(o.caption, true, o.timeoutMs);
    if (!box) return 2;
    // Uncovered, so that the screen shows its icon.
    SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    Sleep(200);

    std::vector<std::wstring> buttons;
    std::wstring defaultButton;
    for (HWND child : childWindows(box)) {
        if (!IsWindowVisible(child) || !sameClass(child, L"Button")) continue;
        buttons.push_back(buttonLabel(child));
        if ((GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            defaultButton = buttons.back();
    }
    std::wstring text = windowText(GetDlgItem(box, kMessageBoxTextId));
    std::string icon = iconKind(box);

    printLine("{\"caption\":" + helper::json(o.caption) + ",\"icon\":\"" + icon +
              "\",\"text\":" + helper::json(text) + ",\"buttons\":" + jsonList(buttons) +
              ",\"default\":" + helper::json(defaultButton) + "}");

    int id = o.press == L"ok" ? IDOK : o.press == L"yes" ? IDYES : o.press == L"no" ? IDNO : 0;
    if (id != 0) {
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        // Wait until it has gone, so that a following wait finds the next box.
        for (int i = 0; i < 250 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(20);
    }
    return 0;
}

std::string describeWindow(HWND hwnd) {
    std::vector<std::wstring> texts;
    std::string bars = "[";
    for (HWND child : childWindows(hwnd)) {
        if (sameClass(child, L"Static")) {
            LONG style = GetWindowLongW(child, GWL_STYLE);
            if ((style & SS_TYPEMASK) != SS_ICON) texts.push_back(windowText(child));
        } else if (sameClass(child, PROGRESS_CLASSW)) {
            DWORD_PTR position = 0, low = 0, high = 0;
            SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position);
            SendMessageTimeoutW(child, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, &low);
            SendMessageTimeoutW(child, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high);
            if (bars.size() > 1) bars += ",";
            bars += "{\"id\":" + std::to_string(GetDlgCtrlID(child)) +
                    ",\"visible\":" + (IsWindowVisible(child) ? "true" : "false") +
                    ",\"pos\":" + std::to_string(position) + ",\"min\":" + std::to_string(low) +
                    ",\"max\":" + std::to_string(high) + "}";
        }
    }
    bars += "]";
    return "{\"visible\":" + std::string(IsWindowVisible(hwnd) ? "true" : "false") +
           ",\"caption\":" + helper::json(windowText(hwnd)) + ",\"class\":" +
           helper::json(className(hwnd)) + ",\"texts\":" + jsonList(texts) + ",\"bars\":" + bars + "}";
}

int windowCommand(const Options& o) {
    HWND hwnd = waitForWindow(o.caption, false, o.timeoutMs);
    if (!hwnd) return 2;
    printLine(describeWindow(hwnd));
    return 0;
}

int noWindowCommand(const Options& o) {
    // Tells a test on standard error that the watch has begun.
    std::fprintf(stderr, "watching\n");
    std::fflush(stderr);
    DWORD start = GetTickCount();
    do {
        HWND hwnd = findVisibleWindow(o.caption, false);
        if (hwnd) {
            printLine(describeWindow(hwnd));
            return 1;
        }
        Sleep(10);
    } while (GetTickCount() - start < o.forMs);
    return 0;
}

HWND findEditControl(HWND window) {
    HWND found = nullptr;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM data) -> BOOL {
            if (!sameClass(child, L"Edit") && !sameClass(child, L"RichEdit20W")) return TRUE;
            *reinterpret_cast<HWND*>(data) = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// The command id of the menu item whose label (without '&' and accelerator)
// is the given one, searched through the menu bar's submenus; 0 when none.
UINT menuCommand(HMENU menu, const std::wstring& label) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        if (HMENU sub = GetSubMenu(menu, i)) {
            if (UINT id = menuCommand(sub, label)) return id;
            continue;
        }
        wchar_t text[256] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 256, MF_BYPOSITION);
        std::wstring shown;
        for (const wchar_t* c = text; *c && *c != L'\t'; ++c)
            if (*c != L'&') shown += *c;
        if (shown == label) return GetMenuItemID(menu, i);
    }
    return 0;
}

// Asks the window to close and waits until it has gone.
int closeAndWait(HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    for (int i = 0; i < 500 && IsWindow(window); ++i) Sleep(20);
    if (IsWindow(window)) {
        std::fprintf(stderr, "boxhelper: the window did not close\n");
        return 4;
    }
    return 0;
}

// The command id of a menu item of the window. Another process's menu bar
// cannot always be read (Wine answers no items): then the menus in the
// resources of the window's program are searched.
UINT windowMenuCommand(HWND window, const std::wstring& label) {
    HMENU bar = GetMenu(window);
    if (bar && GetMenuItemCount(bar) > 0) return menuCommand(bar, label);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return 0;
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    BOOL named = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    if (!named) return 0;
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return 0;
    struct Search {
        std::wstring label;
        UINT id;
    } search{label, 0};
    EnumResourceNamesW(
        module, RT_MENU,
        [](HMODULE m, LPCWSTR, LPWSTR name, LONG_PTR data) -> BOOL {
            Search* s = reinterpret_cast<Search*>(data);
            HMENU menu = LoadMenuW(m, name);
            if (!menu) return TRUE;
            s->id = menuCommand(menu, s->label);
            DestroyMenu(menu);
            return s->id == 0;
        },
        reinterpret_cast<LONG_PTR>(&search));
    FreeLibrary(module);
    return search.id;
}

int editCommand(const Options& o) {
    HWND window = waitForWindow(o.caption, false, o.timeoutMs);
    if (!window) return 2;
    HWND edit = findEditControl(window);
    UINT save = windowMenuCommand(window, L"Save");
    if (!edit || !save) {
        std::fprintf(stderr, "boxhelper: no edit control or no Save command\n");
        return 3;
    }
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(o.text.c_str()),
                        SMTO_ABORTIFHUNG, 10000, &ignored);
    SendMessageTimeoutW(edit, EM_SETMODIFY, TRUE, 0, SMTO_ABORTIFHUNG, 10000, &ignored);
    SendMessageTimeoutW(window, WM_COMMAND, MAKEWPARAM(save, 0), 0, SMTO_ABORTIFHUNG, 10000, &ignored);
    return closeAndWait(window);
}

int closeCommand(const Options& o) {
    HWND window = waitForWindow(o.caption, false, o.timeoutMs);
    return window ? closeAndWait(window) : 2;
}

int listCommand() {
    for (HWND hwnd : topLevelWindows())
        if (IsWindowVisible(hwnd)) printLine(describeWindow(hwnd));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    Options o;
    if (!parse(argc, argv, &o)) return usage();
    if (o.command == L"list") return listCommand();
    if (!o.hasCaption) return usage();
    if (o.command == L"wait") return waitCommand(o);
    if (o.command == L"window") return windowCommand(o);
    if (o.command == L"nowindow") return o.hasFor ? noWindowCommand(o) : usage();
    if (o.command == L"edit") return o.hasText ? editCommand(o) : usage();
    if (o.command == L"close") return closeCommand(o);
    return usage();
}
