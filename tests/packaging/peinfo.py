"""What a Windows program file holds, read straight from its bytes: its
sections, whether it carries a symbol table, and its resources (icons, the
version and the manifest)."""
import struct

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24


class Program:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not a Windows program")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        coff = pe + 4
        (_, sections, _, self.symbol_table, self.symbol_count, optional_size, _) = \
            struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva, self.resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, _, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            # A long name (/4, a string table offset) is what a debug section gets.
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, raw_size, raw_offset))
        self.resources = self._read_resources()

    def _offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address %#x lies in no section" % rva)

    def _read_resources(self):
        """{(type, id): bytes} of every resource (the first language of each)."""
        found = {}
        if not self.resource_rva:
            return found
        base = self._offset(self.resource_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield ident, target

        for type_id, type_dir in entries(0):
            for ident, name_dir in entries(type_dir & 0x7FFFFFFF):
                for _, leaf in entries(name_dir & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.setdefault((type_id, ident), self.data[self._offset(rva):self._offset(rva) + size])
        return found

    def icon_images(self):
        """The images of the first icon group (the one Explorer shows), in its order."""
        groups = sorted(key for key in self.resources if key[0] == RT_GROUP_ICON)
        if not groups:
            return []
        group = self.resources[groups[0]]
        count = struct.unpack_from("<H", group, 4)[0]
        images = []
        for i in range(count):
            ident = struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
            images.append(self.resources[(RT_ICON, ident)])
        return images

    def version(self):
        """(file version, {string name: value}) of the version resource."""
        block = self.resources.get((RT_VERSION, 1))
        if block is None:
            return None, {}
        fixed = block.find(struct.pack("<I", 0xFEEF04BD))
        ms, ls = struct.unpack_from("<II", block, fixed + 8)
        numbers = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        strings = {}
        for name in ("FileDescription", "FileVersion", "OriginalFilename", "ProductName", "ProductVersion",
                     "LegalCopyright"):
            key = name.encode("utf-16-le") + b"\0\0"
            at = block.find(key)
            if at < 0:
                continue
            at += len(key)
            at += (4 - at % 4) % 4   # the value starts on a 32-bit boundary
            end = at
            while block[end:end + 2] != b"\0\0":
                end += 2
            strings[name] = block[at:end].decode("utf-16-le")
        return numbers, strings

    def manifest(self):
        data = self.resources.get((RT_MANIFEST, 1))
        return data.decode("utf-8") if data else None

    def debug_sections(self):
        return [name for name, _, _, _ in self.sections if name.startswith((".debug", "/"))]
