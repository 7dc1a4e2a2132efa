#include "workspace/tarformat.h"

#include <algorithm>
#include <cstring>

#include "diag/format.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace tar {

namespace {

// Offsets and widths of the ustar header's fields.
constexpr std::size_t kNameAt = 0, kNameWidth = 100;
constexpr std::size_t kModeAt = 100, kUidAt = 108, kGidAt = 116, kIdWidth = 8;
constexpr std::size_t kSizeAt = 124, kTimeAt = 136, kNumberWidth = 12;
constexpr std::size_t kChecksumAt = 148, kChecksumWidth = 8;
constexpr std::size_t kTypeAt = 156;
constexpr std::size_t kMagicAt = 257, kVersionAt = 263;
constexpr std::size_t kPrefixAt = 345, kPrefixWidth = 155;

// Largest pax record or GNU long name this reader accepts: far more than any
// name, small enough that a damaged size cannot exhaust memory.
constexpr uint64_t kLargestExtension = 1 << 20;

using Block = uint8_t[kBlockSize];

// value < 8^(width - 1): fits as octal digits followed by a NUL.
bool fitsOctal(uint64_t value, std::size_t width) {
    return (width - 1) * 3 >= 64 || value < (uint64_t(1) << ((width - 1) * 3));
}

void putOctal(uint8_t* field, std::size_t width, uint64_t value) {
    for (std::size_t i = width - 1; i-- > 0;) {
        field[i] = static_cast<uint8_t>('0' + (value & 7));
        value >>= 3;
    }
    field[width - 1] = 0;
}

// The base-256 form for numbers too large for octal digits: the first byte
// 0x80, the value big-endian in the rest.
void putBase256(uint8_t* field, std::size_t width, uint64_t value) {
    field[0] = 0x80;
    for (std::size_t i = width - 1; i > 0; --i) {
        field[i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

void putText(uint8_t* field, std::size_t width, const std::string& text) {
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

// At most `limit` bytes of text, never ending inside a UTF-8 sequence.
std::string cutUtf8(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

bool isPlainAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<uint8_t>(c) >= 0x80) return false;
    return true;
}

// One "LENGTH key=value\n" record; LENGTH counts the whole record, itself included.
std::string paxRecord(const std::string& key, const std::string& value) {
    const std::string body = " " + key + "=" + value + "\n";
    std::size_t length = body.size() + 1;
    for (;;) {
        std::size_t next = std::to_string(length).size() + body.size();
        if (next == length) break;
        length = next;
    }
    return std::to_string(length) + body;
}

void ustarHeader(Block h, const std::string& name, char type, uint64_t size, int64_t modified,
                 bool folder) {
    std::memset(h, 0, kBlockSize);
    putText(h + kNameAt, kNameWidth, name);
    putOctal(h + kModeAt, kIdWidth, folder ? 0755 : 0644);
    putOctal(h + kUidAt, kIdWidth, 0);
    putOctal(h + kGidAt, kIdWidth, 0);
    if (fitsOctal(size, kNumberWidth)) putOctal(h + kSizeAt, kNumberWidth, size);
    else putBase256(h + kSizeAt, kNumberWidth, size);
    const uint64_t latest = (uint64_t(1) << 33) - 1;
    uint64_t time = modified < 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(modified), latest);
    putOctal(h + kTimeAt, kNumberWidth, time);
    h[kTypeAt] = static_cast<uint8_t>(type);
    std::memcpy(h + kMagicAt, "ustar", 6);   // with its NUL
    std::memcpy(h + kVersionAt, "00", 2);
    // The checksum counts its own field as eight blanks.
    std::memset(h + kChecksumAt, ' ', kChecksumWidth);
    unsigned sum = 0;
    for (std::size_t i = 0; i < kBlockSize; ++i) sum += h[i];
    putOctal(h + kChecksumAt, 7, sum);
    h[kChecksumAt + 7] = ' ';
}

void append(std::vector<uint8_t>* out, const void* data, std::size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    out->insert(out->end(), p, p + n);
}

// ---------------------------------------------------------------- reading

std::string fieldText(const uint8_t* field, std::size_t width) {
    std::size_t n = 0;
    while (n < width && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

// Octal digits between optional blanks, or the base-256 form. False when
// the field holds neither, or a negative number.
bool parseNumber(const uint8_t* field, std::size_t width, uint64_t* value) {
    if (field[0] & 0x80) {
        if (field[0] != 0x80) return false;   // negative
        uint64_t v = 0;
        for (std::size_t i = 1; i < width; ++i) {
            if (v >> 56) return false;
            v = (v << 8) | field[i];
        }
        *value = v;
        return true;
    }
    std::size_t i = 0;
    while (i < width && field[i] == ' ') ++i;
    uint64_t v = 0;
    bool digits = false;
    for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v >> 61) return false;
        v = (v << 3) | uint64_t(field[i] - '0');
        digits = true;
    }
    for (; i < width; ++i)
        if (field[i] != ' ' && field[i] != 0) return false;
    *value = digits ? v : 0;
    return true;
}

bool checksumMatches(const Block h) {
    uint64_t stored = 0;
    if (!parseNumber(h + kChecksumAt, kChecksumWidth, &stored)) return false;
    unsigned unsignedSum = 0;
    int signedSum = 0;
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        bool inField = i >= kChecksumAt && i < kChecksumAt + kChecksumWidth;
        unsignedSum += inField ? ' ' : h[i];
        signedSum += inField ? ' ' : static_cast<int8_t>(h[i]);
    }
    // Some old writers summed signed bytes.
    return stored == unsignedSum || static_cast<int64_t>(stored) == signedSum;
}

bool allZero(const Block h) {
    for (std::size_t i = 0; i < kBlockSize; ++i)
        if (h[i] != 0) return false;
    return true;
}

bool parseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(c - '0');
    }
    *value = v;
    return true;
}

// What an extended header says about the member that follows it.
struct Pending {
    bool started = false;    // an extended header was read: the entry began at `start`
    uint64_t start = 0;
    bool hasName = false;
    std::string name;
    bool hasSize = false;
    uint64_t size = 0;
    bool hasTime = false;
    int64_t modified = 0;
};

// Applies the records of a pax extended header; false when they are malformed.
bool applyPaxRecords(const std::string& records, Pending* pending) {
    std::size_t at = 0;
    while (at < records.size()) {
        std::size_t blank = records.find(' ', at);
        uint64_t length = 0;
        if (blank == std::string::npos || !parseDecimal(records.substr(at, blank - at), &length) ||
            length == 0 || length > records.size() - at || records[at + length - 1] != '\n') {
            return false;
        }
        std::string record = records.substr(blank + 1, at + length - 1 - (blank + 1));
        std::size_t equals = record.find('=');
        if (equals == std::string::npos) return false;
        std::string key = record.substr(0, equals), value = record.substr(equals + 1);
        // "hdrcharset" says whether names are UTF-8 or raw bytes: names are
        // kept as bytes either way.
        if (key == "path") {
            pending->hasName = true;
            pending->name = value;
        } else if (key == "size") {
            if (!parseDecimal(value, &pending->size)) return false;
            pending->hasSize = true;
        } else if (key == "mtime") {
            // Seconds, possibly with a fraction and a sign.
            std::string whole = value.substr(0, value.find('.'));
            bool negative = !whole.empty() && whole[0] == '-';
            uint64_t seconds = 0;
            if (!parseDecimal(negative ? whole.substr(1) : whole, &seconds)) return false;
            pending->hasTime = true;
            pending->modified = negative ? -static_cast<int64_t>(seconds & 0x7FFFFFFFFFFFll)
                                         : static_cast<int64_t>(seconds & 0x7FFFFFFFFFFFll);
        }
        at += length;
    }
    return true;
}

bool readAt(FILE* f, uint64_t offset, void* buffer, std::size_t n) {
    if (plat::seekFile(f, static_cast<int64_t>(offset), SEEK_SET) != 0) return false;
    return std::fread(buffer, 1, n, f) == n;
}

}  // namespace

uint64_t paddingAfter(uint64_t size) {
    return (kBlockSize - size % kBlockSize) % kBlockSize;
}

std::vector<uint8_t> encodeHeaders(const Member& member) {
    const bool folder = member.kind == Kind::Folder;
    const uint64_t size = folder ? 0 : member.size;
    const std::string fullName = member.name + (folder ? "/" : "");
    const bool longName = fullName.size() > kNameWidth || !isPlainAscii(fullName);
    const bool bigSize = !fitsOctal(size, kNumberWidth);

    std::vector<uint8_t> out;
    Block h;
    if (longName || bigSize) {
        std::string records;
        if (longName && !isUtf8(fullName)) records += paxRecord("hdrcharset", "BINARY");
        if (longName) records += paxRecord("path", fullName);
        if (bigSize) records += paxRecord("size", std::to_string(size));
        std::string last = member.name.substr(member.name.rfind('/') + 1);
        std::string extensionName = "PaxHeaders/" + cutUtf8(isPlainAscii(last) ? last : "member",
                                                            kNameWidth - 11);
        ustarHeader(h, extensionName, 'x', records.size(), member.modified, false);
        append(&out, h, kBlockSize);
        append(&out, records.data(), records.size());
        out.resize(out.size() + paddingAfter(records.size()), 0);
    }
    // Readers without pax support see the name cut to what fits.
    ustarHeader(h, cutUtf8(fullName, kNameWidth), folder ? '5' : '0', size, member.modified, folder);
    append(&out, h, kBlockSize);
    return out;
}

namespace {

bool acts(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::wstring escapedText(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const uint32_t code = static_cast<uint32_t>(c);
        if (!acts(code)) out += c;
        else if (code < 0x80) out += formatWide(L"\\x%02X", static_cast<unsigned>(code));
        else out += formatWide(L"\\u%04X", static_cast<unsigned>(code));
    }
    return out;
}

std::wstring shownName(const std::string& name) { return escapedText(utf8::toWide(name)); }

bool isUtf8(const std::string& text) {
    // Undecodable bytes come back as U+FFFD, valid text as itself.
    return utf8::fromWide(utf8::pathToWide(text)) == text;
}

int readMembers(FILE* archive, std::vector<Member>* members, std::wstring* error,
                std::vector<Refused>* refused) {
    if (plat::seekFile(archive, 0, SEEK_END) != 0) {
        *error = formatWide(L"cannot read the archive: %ls", plat::stdErrorMessage(errno).c_str());
        return 1;
    }
    const int64_t end = plat::tellFile(archive);
    if (end < 0) {
        *error = formatWide(L"cannot read the archive: %ls", plat::stdErrorMessage(errno).c_str());
        return 1;
    }
    const uint64_t total = static_cast<uint64_t>(end);

    std::vector<Member> found;
    std::vector<Refused> refusedFound;
    Pending pending;
    uint64_t offset = 0;
    for (;;) {
        Block h;
        if (offset + kBlockSize > total) {
            *error = offset == 0 ? std::wstring(L"the file is not a tar archive")
                                 : std::wstring(L"the archive is cut short: its end marker is missing");
            return 1;
        }
        if (!readAt(archive, offset, h, kBlockSize)) {
            *error = formatWide(L"cannot read the archive at byte %llu: %ls",
                                static_cast<unsigned long long>(offset),
                                plat::stdErrorMessage(errno).c_str());
            return 1;
        }
        if (allZero(h)) {
            if (offset == 0) {
                *error = L"the file is not a tar archive";
                return 1;
            }
            if (pending.hasName || pending.hasSize) {
                *error = L"the archive is damaged: an extended header has no member after it";
                return 1;
            }
            break;
        }
        if (!checksumMatches(h) || std::memcmp(h + kMagicAt, "ustar", 5) != 0) {
            *error = offset == 0 ? std::wstring(L"the file is not a tar archive")
                                 : formatWide(L"the archive is damaged: the header at byte %llu is not valid",
                                              static_cast<unsigned long long>(offset));
            return 1;
        }
        uint64_t size = 0;
        uint64_t time = 0;
        if (!parseNumber(h + kSizeAt, kNumberWidth, &size) ||
            !parseNumber(h + kTimeAt, kNumberWidth, &time)) {
            *error = formatWide(L"the archive is damaged: the header at byte %llu holds no valid number",
                                static_cast<unsigned long long>(offset));
            return 1;
        }
        const char type = static_cast<char>(h[kTypeAt]);
        if (pending.hasSize && type != 'x' && type != 'g') size = pending.size;
        const uint64_t dataOffset = offset + kBlockSize;
        if (size > total - dataOffset || paddingAfter(size) > total - dataOffset - size) {
            *error = formatWide(L"the archive is cut short: the member at byte %llu needs %llu bytes of data",
                                static_cast<unsigned long long>(offset),
                                static_cast<unsigned long long>(size));
            return 1;
        }
        const uint64_t next = dataOffset + size + paddingAfter(size);

        if (type == 'x' || type == 'g' || type == 'L') {
            if (!pending.started) {
                pending.started = true;
                pending.start = offset;
            }
            if (size > kLargestExtension) {
                *error = formatWide(L"the archive is damaged: an extended header at byte %llu is too long",
                                    static_cast<unsigned long long>(offset));
                return 1;
            }
            std::string data(static_cast<std::size_t>(size), '\0');
            if (size > 0 && !readAt(archive, dataOffset, &data[0], data.size())) {
                *error = formatWide(L"cannot read the archive at byte %llu: %ls",
                                    static_cast<unsigned long long>(dataOffset),
                                    plat::stdErrorMessage(errno).c_str());
                return 1;
            }
            if (type == 'x' && !applyPaxRecords(data, &pending)) {
                *error = formatWide(L"the archive is damaged: the extended header at byte %llu is malformed",
                                    static_cast<unsigned long long>(offset));
                return 1;
            }
            if (type == 'L') {
                pending.hasName = true;
                pending.name = data.substr(0, data.find('\0'));
            }
            // A global header ('g') says nothing a workspace member needs.
            offset = next;
            continue;
        }

        Member m;
        if (pending.hasName) {
            m.name = pending.name;
        } else {
            std::string prefix = fieldText(h + kPrefixAt, kPrefixWidth);
            std::string name = fieldText(h + kNameAt, kNameWidth);
            m.name = prefix.empty() ? name : prefix + "/" + name;
        }
        if (type == '0' || type == '\0' || type == '7') {
            m.kind = Kind::File;
        } else if (type == '5') {
            m.kind = Kind::Folder;
        } else {
            *error = formatWide(L"the archive holds '%ls', a link or special file, which a workspace never holds",
                                shownName(m.name).c_str());
            return 1;
        }
        while (!m.name.empty() && m.name.back() == '/') m.name.pop_back();
        if (m.name.empty()) {
            *error = formatWide(L"the archive is damaged: the member at byte %llu has no name",
                                static_cast<unsigned long long>(offset));
            return 1;
        }
        const std::size_t nul = m.name.find('\0');
        if (nul != std::string::npos) {
            Refused r;
            r.name = m.name.substr(0, nul);
            r.offset = pending.started ? pending.start : offset;
            r.length = next - r.offset;
            if (!refused) {
                *error = formatWide(L"the archive holds an entry whose name ('%ls...') holds a NUL byte",
                                    shownName(r.name).c_str());
                return 1;
            }
            refusedFound.push_back(r);
        } else {
            m.size = m.kind == Kind::Folder ? 0 : size;
            m.modified = pending.hasTime ? pending.modified : static_cast<int64_t>(time);
            m.dataOffset = dataOffset;
            found.push_back(m);
        }
        pending = Pending();
        offset = next;
    }
    *members = std::move(found);
    if (refused) *refused = std::move(refusedFound);
    return 0;
}

// Linux keeps a name's bytes, whatever they are; Windows names are UTF-16,
// stored as UTF-8, and a name of other bytes (from Linux) shows its
// undecodable bytes as U+FFFD.
std::string memberName(const std::wstring& relativePath) {
    std::wstring name = relativePath;
    for (wchar_t& c : name)
        if (c == plat::kSep) c = L'/';
    return plat::kSep == L'/' ? utf8::pathFromWide(name) : utf8::fromWide(name);
}

std::wstring relativeDiskPath(const std::string& memberName) {
    std::wstring path = plat::kSep == L'/' ? utf8::pathToWide(memberName) : utf8::toWide(memberName);
    for (wchar_t& c : path)
        if (c == L'/') c = plat::kSep;
    return path;
}

}  // namespace tar
