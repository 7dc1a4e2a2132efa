// Conversions between UTF-8 and wide text: text for people never carries an
// invalid byte, and file names keep every byte.
#include <gtest/gtest.h>

#include <string>

#include "platform/utf8.h"

namespace {

std::wstring wide(std::initializer_list<unsigned> units) {
    std::wstring text;
    for (unsigned u : units) text += static_cast<wchar_t>(u);
    return text;
}

TEST(Utf8Path, UndecodableBytesBecomeEscapesAndComeBack) {
    struct Case {
        std::string bytes;
        std::wstring path;   // as the core sees it
    };
    const Case cases[] = {
        {"plain.txt", L"plain.txt"},
        {"caf\xC3\xA9", wide({'c', 'a', 'f', 0xE9})},                    // valid UTF-8
        {"caf\xE9.txt", wide({'c', 'a', 'f', 0xDCE9, '.', 't', 'x', 't'})},  // Latin-1 byte
        {"\xFF\xFE", wide({0xDCFF, 0xDCFE})},
        {"\xC0\xAF", wide({0xDCC0, 0xDCAF})},                 // overlong '/'
        {"\xED\xA0\x80", wide({0xDCED, 0xDCA0, 0xDC80})},     // an encoded surrogate
        {"a\xE2\x82", wide({'a', 0xDCE2, 0xDC82})},           // cut short at the end
        {"\xE2\x82(", wide({0xDCE2, 0xDC82, '('})},           // cut short before ASCII
        {"\x80z", wide({0xDC80, 'z'})},                       // a lone continuation byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        if (sizeof(wchar_t) == 4 || c.path.find(wchar_t(0xDC80)) == std::wstring::npos) {
            EXPECT_EQ(utf8::pathToWide(c.bytes), c.path);
        }
        EXPECT_EQ(utf8::pathFromWide(utf8::pathToWide(c.bytes)), c.bytes);
    }
}

TEST(Utf8Path, EveryByteAfterEveryPrefixRoundTrips) {
    // Each byte value in the places where decoding can go wrong.
    for (unsigned b = 1; b < 256; ++b) {
        for (const std::string& prefix : {std::string(), std::string("\xC3"), std::string("\xE2\x82"),
                                          std::string("\xF0\x9F\x98")}) {
            std::string bytes = prefix + static_cast<char>(b) + "x";
            ASSERT_EQ(utf8::pathFromWide(utf8::pathToWide(bytes)), bytes) << b;
        }
    }
}

TEST(Utf8Text, TextForPeopleIsAlwaysValidUtf8) {
    // A byte escape, or any other lone surrogate, reads as U+FFFD.
    EXPECT_EQ(utf8::fromWide(wide({'a', 0xDCE9, 'b'})), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(utf8::fromWide(wide({0xD800})), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8::toWide("caf\xE9"), wide({'c', 'a', 'f', 0xFFFD}));
    EXPECT_EQ(utf8::fromWide(utf8::toWide("caf\xC3\xA9 \xE6\x97\xA5")), "caf\xC3\xA9 \xE6\x97\xA5");
    // Outside the basic plane: one character, four bytes, on every build.
    std::string smile = "\xF0\x9F\x98\x80";
    EXPECT_EQ(utf8::fromWide(utf8::toWide(smile)), smile);
    EXPECT_EQ(utf8::toWide(smile).size(), sizeof(wchar_t) == 2 ? 2u : 1u);
}

}  // namespace
