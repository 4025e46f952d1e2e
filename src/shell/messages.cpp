// The message boxes both programs show.
#include "shell/shell.h"

#include <stdarg.h>

#include "text/text_format.h"

const char kMessageCaption[] = "Unpack";

static const char kPackageFailureText[] =
    "Failed to read package file.\t\t\n\n - try downloading it again";

// Room for every message with a product name of up to 1023 characters (the
// most a manifest line can give) and a path of MAX_PATH.
static const int kMessageSize = 2048;

void ShowPackageFailure(void) {
    MessageBoxA(GetDesktopWindow(), kPackageFailureText, kMessageCaption, MB_ICONERROR);
}

int ShowFormattedMessage(HWND owner, UINT type, const char *format, ...) {
    char message[kMessageSize];
    va_list arguments;
    va_start(arguments, format);
    TextFormatV(message, sizeof message, format, arguments);
    va_end(arguments);
    return MessageBoxA(owner, message, kMessageCaption, type);
}
