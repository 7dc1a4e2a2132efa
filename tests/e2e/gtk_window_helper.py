"""Test helper for the file manager's window on the Linux desktop. Run by
the system's Python, which has PyGObject (GTK 3 and the accessibility
client library):

    gtk_window_helper.py state TITLE
        One JSON line: the rows of the window titled TITLE, read through the
        accessibility interface, as the window shows them ([name, size,
        modified]), the selected row's name, each row's centre on the
        screen, the status line and which buttons take a click. Exit code 1
        while there is no such window.

    gtk_window_helper.py drag TITLE FILE...
        Shows a small window that offers the files as a file manager does
        (text/uri-list) and drags them onto the window titled TITLE with
        the pointer, moved by xdotool as a user's hand would. Exit code 0
        once the drop is done.
"""
import json
import os
import re
import subprocess
import sys
import threading
import time

import gi


def state(title):
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    def children(node):
        return [node.get_child_at_index(i) for i in range(node.get_child_count())]

    def find(node, role):
        found = []
        for child in children(node):
            if child.get_role_name() == role:
                found.append(child)
            found.extend(find(child, role))
        return found

    def sensitive(node):
        return node.get_state_set().contains(Atspi.StateType.SENSITIVE)

    desktop = Atspi.get_desktop(0)
    for app in children(desktop):
        for frame in children(app):
            if frame is None or frame.get_role_name() != "frame" or frame.get_name() != title:
                continue
            cells = find(frame, "table cell")
            rows, centres, selected = [], [], None
            for i in range(0, len(cells) - len(cells) % 3, 3):
                rows.append([cell.get_name() for cell in cells[i:i + 3]])
                box = cells[i].get_extents(Atspi.CoordType.SCREEN)
                centres.append([box.x + box.width // 2, box.y + box.height // 2])
                if cells[i].get_state_set().contains(Atspi.StateType.SELECTED):
                    selected = rows[-1][0]
            labels = find(frame, "label")
            table = find(frame, "table")
            print(json.dumps({
                "rows": rows, "centres": centres, "selected": selected,
                "status": labels[0].get_name() if labels else None,
                "list_enabled": bool(table) and sensitive(table[0]),
                "buttons": {button.get_name(): sensitive(button) for button in find(frame, "push button")},
            }))
            return 0
    return 1


def drag(title, files):
    gi.require_version("Gtk", "3.0")
    gi.require_version("Gdk", "3.0")
    from gi.repository import Gdk, GLib, Gtk

    def xdotool(*args):
        return subprocess.run(["xdotool", *map(str, args)], check=True, stdout=subprocess.PIPE,
                              text=True).stdout

    uris = [GLib.filename_to_uri(os.path.abspath(path), None) for path in files]
    window = Gtk.Window(title="drag source")
    window.set_default_size(120, 80)
    window.move(900, 700)
    source = Gtk.EventBox()
    source.add(Gtk.Label(label="files"))
    window.add(source)
    source.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [Gtk.TargetEntry.new("text/uri-list", 0, 0)],
                           Gdk.DragAction.COPY)
    outcome = {}
    source.connect("drag-data-get", lambda widget, context, data, info, when: data.set_uris(uris))
    source.connect("drag-failed", lambda widget, context, result: outcome.setdefault("failed", str(result)))

    def move():
        # On its own thread: the window's main loop must go on answering
        # the drop target while the pointer moves.
        try:
            target = xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(title)).split()[0]
        except (subprocess.CalledProcessError, IndexError):
            outcome["failed"] = "no window titled %r" % title
            GLib.idle_add(Gtk.main_quit)
            return
        geometry = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", target).split())
        tx = int(geometry["X"]) + int(geometry["WIDTH"]) // 3
        ty = int(geometry["Y"]) + int(geometry["HEIGHT"]) // 3
        sx, sy = 960, 740
        xdotool("mousemove", sx, sy)
        time.sleep(0.3)
        xdotool("mousedown", 1)
        time.sleep(0.3)
        for step in range(1, 11):
            xdotool("mousemove", sx + (tx - sx) * step // 10, sy + (ty - sy) * step // 10)
            time.sleep(0.1)
        for step in range(5):
            xdotool("mousemove", tx + step, ty + step)
            time.sleep(0.2)
        xdotool("mouseup", 1)
        time.sleep(1)
        GLib.idle_add(Gtk.main_quit)

    window.show_all()
    GLib.timeout_add(1000, lambda: threading.Thread(target=move, daemon=True).start() and False)
    Gtk.main()
    if "failed" in outcome:
        print("the drag failed: %s" % outcome["failed"], file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "state":
        sys.exit(state(sys.argv[2]))
    sys.exit(drag(sys.argv[2], sys.argv[3:]))
