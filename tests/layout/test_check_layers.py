"""The layout check finds what it is there to find, in a small tree of its own."""
import os
import tempfile
import unittest

import check_layers

ARCHITECTURE = """# Rooms
```layers
top side
middle
bottom
```
"""


class LayoutCheck(unittest.TestCase):
    def tree(self, files):
        root = tempfile.mkdtemp(prefix="velkin-layers-")
        self.addCleanup(lambda: __import__("shutil").rmtree(root, ignore_errors=True))
        with open(os.path.join(root, "ARCHITECTURE.md"), "w") as out:
            out.write(ARCHITECTURE)
        for room in ("top", "side", "middle", "bottom"):
            os.makedirs(os.path.join(root, room), exist_ok=True)
        for path, text in files.items():
            with open(os.path.join(root, path), "w") as out:
                out.write(text)
        return check_layers.faults(root)

    def test_cases(self):
        cases = [
            ("downward and same room", {"top/a.cpp": '#include "middle/m.h"\n#include "top/b.h"\n'}, []),
            ("upward", {"bottom/b.cpp": '#include <string>\n#include "middle/m.h"\n'}, ["a room above"]),
            ("sideways", {"side/s.cpp": '#include "top/t.h"\n'}, ["a room beside"]),
            ("OS header", {"middle/m.cpp": "#include <unistd.h>\n"}, ["OS header <unistd.h>"]),
            ("standard and intrinsics", {"middle/m.cpp": "#include <vector>\n#include <immintrin.h>\n"}, []),
        ]
        for name, files, expected in cases:
            with self.subTest(name):
                found = self.tree(files)
                self.assertEqual(len(found), len(expected), found)
                for line, words in zip(found, expected):
                    self.assertIn(words, line)

    def test_this_tree_is_clean(self):
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.assertEqual(check_layers.faults(root), [])


if __name__ == "__main__":
    unittest.main()
