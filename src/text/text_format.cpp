// See text_format.h for the conversions and the contract.
#include "text/text_format.h"

// The output so far: characters past the end are counted, not written.
struct TextSink {
    char *out;
    size_t size;
    size_t length;
};

static void TextSinkPut(TextSink *sink, char c) {
    if (sink->length + 1 < sink->size)
        sink->out[sink->length] = c;
    sink->length++;
}

// At most limit characters of text, or all of it when limit is negative.
static void TextSinkPutString(TextSink *sink, const char *text, int limit) {
    if (text == nullptr)
        return;
    for (; *text && limit != 0; text++) {
        TextSinkPut(sink, *text);
        limit -= limit > 0;
    }
}

static void TextSinkPutNumber(TextSink *sink, unsigned value, unsigned base) {
    char digits[32];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0)
        TextSinkPut(sink, digits[--count]);
}

// Reads the digits of a precision at *at, moving past them.
static int PrecisionDigitsRead(const char **at) {
    int precision = 0;
    for (; **at >= '0' && **at <= '9'; (*at)++)
        precision = precision < 100000000 ? precision * 10 + (**at - '0') : precision;
    return precision;
}

int TextFormatV(char *out, size_t size, const char *format, va_list arguments) {
    TextSink sink = {out, size, 0};
    while (*format) {
        char c = *format++;
        if (c != '%') {
            TextSinkPut(&sink, c);
            continue;
        }
        const char *at = format;
        int limit = -1;
        if (at[0] == '.' && at[1] == '*' && at[2] == 's') {
            limit = va_arg(arguments, int);
            limit = limit < 0 ? -1 : limit;
            at += 2;
        } else if (at[0] == '.') {
            at++;
            limit = PrecisionDigitsRead(&at);
            if (*at != 's')
                at = format - 1; // not ours: "%" alone, the rest as it stands
        }
        switch (*at) {
            case 's':
                TextSinkPutString(&sink, va_arg(arguments, const char *), limit);
                break;
            case 'u':
                TextSinkPutNumber(&sink, va_arg(arguments, unsigned), 10);
                break;
            case 'x':
                TextSinkPutNumber(&sink, va_arg(arguments, unsigned), 16);
                break;
            case '%':
                TextSinkPut(&sink, '%');
                break;
            default:
                // Not ours: the text stands as it is, a lone "%" at the end too.
                TextSinkPut(&sink, '%');
                continue;
        }
        format = at + 1;
    }
    if (size > 0)
        out[sink.length < size ? sink.length : size - 1] = 0;
    return sink.length < 0x7fffffff ? static_cast<int>(sink.length) : 0x7fffffff;
}

int TextFormat(char *out, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = TextFormatV(out, size, format, arguments);
    va_end(arguments);
    return length;
}

int TextHasLength(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (text[i] == 0)
            return 0;
    }
    return 1;
}
