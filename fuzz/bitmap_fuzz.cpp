// Arbitrary bytes as a package bitmap: whatever the check accepts, every
// byte GDI reads when it draws it lies inside the input (the sanitizer
// watches BitmapReadAsGdiDoes).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "ui/package_bitmap.h"

#include "../tests/unit/bitmap_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    BitmapProblem problem = BitmapCheck(data, static_cast<uint32_t>(size));
    if ((problem == BITMAP_SOUND) != (BitmapValidate(data, static_cast<uint32_t>(size)) == 1))
        abort();
    if (problem == BITMAP_SOUND) {
        BitmapReadAsGdiDoes(data);
        int32_t width = 0, height = 0;
        BitmapDimensions(data, &width, &height);
        if (width <= 0 || height <= 0)
            abort();
    } else if (BitmapProblemText(problem)[0] == '\0') {
        abort();
    }
    return 0;
}
