#!/usr/bin/env python3
"""A plain X11 window with a given title, kept open for a while: what an
editor's window looks like to the program's window search on Linux.

    titled_window.py TITLE SECONDS [--wm-name-only] [--ready FILE]

The title goes into _NET_WM_NAME (UTF-8) and WM_NAME, or with --wm-name-only
into WM_NAME alone. --ready FILE: the file is created once the window is
mapped. Talks to libX11 through ctypes, so it needs no build step and no
headers.
"""
import ctypes
import sys
import time

c_ulong, c_int, c_uint, c_void_p, c_char_p = (ctypes.c_ulong, ctypes.c_int, ctypes.c_uint,
                                              ctypes.c_void_p, ctypes.c_char_p)


def main(argv):
    title, seconds = argv[1], float(argv[2])
    wm_name_only = "--wm-name-only" in argv
    ready = argv[argv.index("--ready") + 1] if "--ready" in argv else None

    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = c_void_p
    x.XOpenDisplay.argtypes = [c_char_p]
    x.XDefaultRootWindow.restype = c_ulong
    x.XDefaultRootWindow.argtypes = [c_void_p]
    x.XCreateSimpleWindow.restype = c_ulong
    x.XCreateSimpleWindow.argtypes = [c_void_p, c_ulong, c_int, c_int, c_uint, c_uint, c_uint,
                                      c_ulong, c_ulong]
    x.XInternAtom.restype = c_ulong
    x.XInternAtom.argtypes = [c_void_p, c_char_p, c_int]
    x.XChangeProperty.argtypes = [c_void_p, c_ulong, c_ulong, c_ulong, c_int, c_int, c_char_p, c_int]
    for name in ("XMapWindow", "XDestroyWindow"):
        getattr(x, name).argtypes = [c_void_p, c_ulong]
    x.XSync.argtypes = [c_void_p, c_int]
    x.XCloseDisplay.argtypes = [c_void_p]

    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("titled_window: cannot open the display")
    window = x.XCreateSimpleWindow(display, x.XDefaultRootWindow(display), 0, 0, 240, 80, 0, 0, 0)
    wm_name, string = 39, 31        # the predefined atoms WM_NAME and STRING
    latin1 = title.encode("latin-1", "replace")
    x.XChangeProperty(display, window, wm_name, string, 8, 0, latin1, len(latin1))
    if not wm_name_only:
        utf8 = title.encode("utf-8")
        x.XChangeProperty(display, window, x.XInternAtom(display, b"_NET_WM_NAME", 0),
                          x.XInternAtom(display, b"UTF8_STRING", 0), 8, 0, utf8, len(utf8))
    x.XMapWindow(display, window)
    x.XSync(display, 0)
    if ready:
        open(ready, "w").close()
    time.sleep(seconds)
    x.XDestroyWindow(display, window)
    x.XSync(display, 0)
    x.XCloseDisplay(display)


if __name__ == "__main__":
    main(sys.argv)
