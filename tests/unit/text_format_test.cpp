// The stub's bounded formatter against the C library's snprintf: random
// formats of literal text and every conversion it knows, written into
// buffers of every size around the text's length.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>

#include "text/text_format.h"

namespace {

// TextFormat without the compiler's printf check, for what TextFormat
// does beyond printf (a null string writes nothing).
int TextFormatUnchecked(char *out, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = TextFormatV(out, size, format, arguments);
    va_end(arguments);
    return length;
}

struct FormatCase {
    std::mt19937 random{20261209};
    std::deque<std::string> texts; // the strings the arguments point into
    int compared = 0;

    std::string Text(size_t longest) {
        std::string text(random() % (longest + 1), 0);
        for (char &c : text) {
            c = static_cast<char>('!' + random() % 94); // printable
            c = c == '%' ? '#' : c;                     // a literal "%" is a format's
        }
        return text;
    }
    unsigned Number() {
        static const unsigned edges[] = {0u, 1u, 9u, 10u, 15u, 16u, 0x7fffffffu, 0xffffffffu};
        return random() % 3 == 0 ? edges[random() % 8] : static_cast<unsigned>(random());
    }
};

// Builds Slots conversions, each after some literal text, then compares.
template <int Slots, typename... Args>
void FormatCompare(FormatCase *c, std::string format, Args... args) {
    if constexpr (Slots == 0) {
        char expected[600], got[600];
        int expectedLength = std::snprintf(expected, sizeof expected, format.c_str(), args...);
        ASSERT_GE(expectedLength, 0);
        size_t sizes[] = {0,
                          1,
                          static_cast<size_t>(expectedLength),
                          static_cast<size_t>(expectedLength) + 1,
                          1 + c->random() % (expectedLength + 1),
                          sizeof got};
        for (size_t size : sizes) {
            std::memset(got, 'Z', sizeof got);
            char *out = size == 0 ? nullptr : got;
            int length = TextFormat(out, size, format.c_str(), args...);
            ASSERT_EQ(length, expectedLength) << format;
            if (size > 0) {
                std::snprintf(expected, size, format.c_str(), args...);
                ASSERT_STREQ(got, expected) << format << " into " << size;
            }
            if (size < sizeof got) {
                ASSERT_EQ(got[size], 'Z') << "wrote past " << size << ": " << format;
            }
        }
        c->compared++;
    } else {
        format += c->Text(8);
        const char *text = c->texts.emplace_back(c->Text(40)).c_str();
        int precision = static_cast<int>(c->random() % 50) - 5;
        switch (c->random() % 7) {
            case 0:
                return FormatCompare<Slots - 1>(c, format + "%s", args..., text);
            case 1:
                return FormatCompare<Slots - 1>(
                    c, format + "%." + std::to_string(precision < 0 ? 0 : precision) + "s", args...,
                    text);
            case 2:
                return FormatCompare<Slots - 1>(c, format + "%.*s", args..., precision, text);
            case 3:
                return FormatCompare<Slots - 1>(c, format + "%u", args..., c->Number());
            case 4:
                return FormatCompare<Slots - 1>(c, format + "%x", args..., c->Number());
            case 5:
                return FormatCompare<Slots - 1>(c, format + "%%", args...);
            default:
                return FormatCompare<Slots - 1>(c, format + "%.s", args..., text);
        }
    }
}

} // namespace

TEST(TextFormat, AgreesWithSnprintfOnRandomFormatsAndSizes) {
    FormatCase c;
    for (int round = 0; round < 3000; round++) {
        FormatCompare<3>(&c, "");
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(c.compared, 3000);
}

TEST(TextFormat, LeavesWhatItDoesNotKnowAsItStands) {
    struct {
        const char *format;
        const char *expected;
    } cases[] = {
        {"100%", "100%"}, {"%d items", "%d items"},
        {"%.5d", "%.5d"}, {"%ls and %s", "%ls and x"},
        {"%", "%"},       {"%.", "%."},
    };
    for (const auto &c : cases) {
        char out[32];
        EXPECT_EQ(TextFormat(out, sizeof out, c.format, "x"),
                  static_cast<int>(std::strlen(c.expected)))
            << c.format;
        EXPECT_STREQ(out, c.expected) << c.format;
    }
    char out[8] = "ZZZZZZZ";
    EXPECT_EQ(TextFormatUnchecked(out, sizeof out, "[%s]", static_cast<const char *>(nullptr)), 2);
    EXPECT_STREQ(out, "[]");
}
