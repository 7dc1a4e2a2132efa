// POSIX backend: the desktop's windows as an X11 display shows them, for the
// editor wait. The X11 client library is loaded at run time, so the program
// starts, and works without the window search, where it is missing.
//
// Top-level windows are the window manager's client list (_NET_CLIENT_LIST);
// without a window manager, the root window's children. A window's text is
// its _NET_WM_NAME, else its WM_NAME.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace plat {

namespace {

// The few X11 types and constants needed, as the protocol defines them.
struct XDisplay;
using XWindow = unsigned long;
using XAtom = unsigned long;
struct XErrorEventOpaque;
using XErrorHandler = int (*)(XDisplay*, XErrorEventOpaque*);
constexpr XAtom kAnyPropertyType = 0;
constexpr XAtom kAtomCardinal = 6;
constexpr XAtom kAtomWindow = 33;
constexpr XAtom kAtomWmName = 39;
constexpr int kSuccess = 0;

struct Xlib {
    XDisplay* (*openDisplay)(const char*) = nullptr;
    XWindow (*defaultRootWindow)(XDisplay*) = nullptr;
    XAtom (*internAtom)(XDisplay*, const char*, int) = nullptr;
    int (*getWindowProperty)(XDisplay*, XWindow, XAtom, long, long, int, XAtom, XAtom*, int*,
                             unsigned long*, unsigned long*, unsigned char**) = nullptr;
    int (*queryTree)(XDisplay*, XWindow, XWindow*, XWindow*, XWindow**, unsigned int*) = nullptr;
    int (*free)(void*) = nullptr;
    XErrorHandler (*setErrorHandler)(XErrorHandler) = nullptr;

    XDisplay* display = nullptr;
    XAtom clientList = 0;
    XAtom netWmName = 0;
    XAtom netWmPid = 0;
    XAtom utf8String = 0;
};

// Windows come and go while they are looked at: a request on a window that
// has gone fails with an error, which must not end the program (the
// library's default handler would).
int ignoreError(XDisplay*, XErrorEventOpaque*) { return 0; }

template <typename Function>
bool load(void* library, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(::dlsym(library, name));
    return *function != nullptr;
}

// The display, connected on first use; nullptr when there is none.
Xlib* x11() {
    static Xlib x;
    static bool tried = false;
    if (tried) return x.display ? &x : nullptr;
    tried = true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    void* library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) library = ::dlopen("libX11.so", RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    if (!load(library, "XOpenDisplay", &x.openDisplay) ||
        !load(library, "XDefaultRootWindow", &x.defaultRootWindow) ||
        !load(library, "XInternAtom", &x.internAtom) ||
        !load(library, "XGetWindowProperty", &x.getWindowProperty) ||
        !load(library, "XQueryTree", &x.queryTree) || !load(library, "XFree", &x.free) ||
        !load(library, "XSetErrorHandler", &x.setErrorHandler)) {
        return nullptr;
    }
    x.setErrorHandler(ignoreError);
    x.display = x.openDisplay(nullptr);
    if (!x.display) return nullptr;
    x.clientList = x.internAtom(x.display, "_NET_CLIENT_LIST", 0);
    x.netWmName = x.internAtom(x.display, "_NET_WM_NAME", 0);
    x.netWmPid = x.internAtom(x.display, "_NET_WM_PID", 0);
    x.utf8String = x.internAtom(x.display, "UTF8_STRING", 0);
    return &x;
}

struct Property {
    XAtom type = 0;
    int format = 0;
    unsigned long items = 0;
    std::vector<unsigned char> bytes;   // format 8
    std::vector<unsigned long> values;  // format 32, as the library hands them (longs)
};

bool readProperty(Xlib* x, XWindow window, XAtom name, XAtom type, Property* property) {
    XAtom actualType = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (x->getWindowProperty(x->display, window, name, 0, 1L << 20, 0, type, &actualType, &format,
                             &items, &after, &data) != kSuccess) {
        return false;
    }
    bool found = actualType != 0 && data != nullptr;
    if (found) {
        property->type = actualType;
        property->format = format;
        property->items = items;
        if (format == 8) {
            property->bytes.assign(data, data + items);
        } else if (format == 32) {
            const unsigned long* longs = reinterpret_cast<const unsigned long*>(data);
            property->values.assign(longs, longs + items);
        } else {
            found = false;
        }
    }
    if (data) x->free(data);
    return found;
}

std::vector<XWindow> childrenOf(Xlib* x, XWindow window) {
    XWindow root = 0, parent = 0;
    XWindow* children = nullptr;
    unsigned int count = 0;
    std::vector<XWindow> result;
    if (x->queryTree(x->display, window, &root, &parent, &children, &count) == 0) return result;
    if (children) {
        result.assign(children, children + count);
        x->free(children);
    }
    return result;
}

// Every descendant, depth first, until visit says stop; false when stopped.
bool visitDescendants(Xlib* x, XWindow window, WindowVisitor visit, void* data) {
    for (XWindow child : childrenOf(x, window)) {
        if (!visit(child, data)) return false;
        if (!visitDescendants(x, child, visit, data)) return false;
    }
    return true;
}

std::wstring latin1(const std::vector<unsigned char>& bytes) {
    return std::wstring(bytes.begin(), bytes.end());
}

}  // namespace

bool canWatchWindows() { return x11() != nullptr; }

void enumTopWindows(WindowVisitor visit, void* data) {
    Xlib* x = x11();
    if (!x) return;
    XWindow root = x->defaultRootWindow(x->display);
    Property clients;
    std::vector<XWindow> windows;
    if (readProperty(x, root, x->clientList, kAtomWindow, &clients) && clients.format == 32)
        windows.assign(clients.values.begin(), clients.values.end());
    else
        windows = childrenOf(x, root);
    for (XWindow window : windows)
        if (!visit(window, data)) return;
}

void enumChildWindows(WindowHandle parent, WindowVisitor visit, void* data) {
    if (Xlib* x = x11()) visitDescendants(x, parent, visit, data);
}

bool windowText(WindowHandle window, std::wstring* text) {
    Xlib* x = x11();
    if (!x) return false;
    Property name;
    if (readProperty(x, window, x->netWmName, x->utf8String, &name) && name.format == 8) {
        *text = utf8::toWide(std::string(name.bytes.begin(), name.bytes.end()));
    } else if (readProperty(x, window, kAtomWmName, kAnyPropertyType, &name) && name.format == 8) {
        // STRING is Latin-1; compound text keeps ASCII as it is.
        *text = name.type == x->utf8String
                    ? utf8::toWide(std::string(name.bytes.begin(), name.bytes.end()))
                    : latin1(name.bytes);
    } else {
        return false;
    }
    std::size_t end = text->find(L'\0');
    if (end != std::wstring::npos) text->resize(end);
    return !text->empty();
}

std::wstring windowModulePath(WindowHandle window) {
    Xlib* x = x11();
    Property pid;
    if (!x || !readProperty(x, window, x->netWmPid, kAtomCardinal, &pid) || pid.values.empty())
        return std::wstring();
    if (static_cast<pid_t>(pid.values[0]) == ::getpid()) return modulePath();
    std::string link = "/proc/" + std::to_string(pid.values[0]) + "/exe";
    char target[4096];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? utf8::toWide(std::string(target, static_cast<std::size_t>(n))) : std::wstring();
}

}  // namespace plat
