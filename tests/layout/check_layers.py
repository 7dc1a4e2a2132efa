#!/usr/bin/env python3
"""The layout check: no room includes one above or beside it, and no
operating-system header appears outside platform/ and tools/ (and startup/,
the OS's entry points).

The order of the rooms is read from the ```layers block of ARCHITECTURE.md,
so the document and this check cannot disagree.

Usage: check_layers.py [SOURCE_ROOT]   (exit 0 clean, 1 with one line per fault)
"""
import os
import re
import sys

# The C++17 standard library (C++ and C compatibility headers). Anything else
# in angle brackets is the OS's or a third party's.
STANDARD = set("""
algorithm any array atomic bitset cassert cctype cerrno cfenv cfloat charconv chrono cinttypes
climits clocale cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef cstdint
cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution filesystem forward_list
fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator limits list
locale map memory memory_resource mutex new numeric optional ostream queue random ratio regex
scoped_allocator set shared_mutex sstream stack stdexcept streambuf string string_view
system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility
valarray variant vector
""".split())
# The compiler's vector intrinsics (the digest's fast paths) are no OS header.
INTRINSICS = {"immintrin.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def read_floors(root):
    text = open(os.path.join(root, "ARCHITECTURE.md"), encoding="utf-8").read()
    block = re.search(r"```layers\n(.*?)```", text, re.S)
    if not block:
        sys.exit("ARCHITECTURE.md has no ```layers block")
    floors = {}
    for level, line in enumerate(l for l in block.group(1).splitlines() if l.strip()):
        for room in line.split():
            floors[room] = level
    return floors


def room_of(path, floors):
    first = path.split("/", 1)[0]
    return first if first in floors else None


def faults(root):
    floors = read_floors(root)
    found = []
    for room in floors:
        if not os.path.isdir(os.path.join(root, room)):
            found.append(f"ARCHITECTURE.md names room '{room}/', which does not exist")
    for room in sorted(floors):
        for folder, _, names in os.walk(os.path.join(root, room)):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                for number, line in enumerate(open(path, encoding="utf-8", errors="replace"), 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    kind, target = m.groups()
                    where = f"{rel}:{number}"
                    if kind == '"':
                        other = room_of(target, floors)
                        if other is None or other == room:
                            continue
                        if floors[other] < floors[room]:
                            found.append(f"{where}: includes '{target}', a room above '{room}/'")
                        elif floors[other] == floors[room]:
                            found.append(f"{where}: includes '{target}', a room beside '{room}/'")
                    elif room not in ("startup", "platform", "tools") and target not in STANDARD \
                            and target not in INTRINSICS:
                        found.append(f"{where}: OS header <{target}> outside platform/ and tools/")
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else \
        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    found = faults(root)
    for line in found:
        print(line)
    if found:
        print(f"layout check: {len(found)} fault(s); the order is the ```layers block of ARCHITECTURE.md")
        return 1
    print("layout check: clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
