#include "tiff_input.h"

#include <cstring>

// The handle's own warning handler: returns 1 (handled, nothing printed)
// for the unknown-field warning, 0 for every other message, which libtiff
// then hands to its usual warning handler.
static int drop_unknown_field_warning(TIFF*, void*, const char*, const char* fmt, va_list)
{
    static const char unknown_field[] = "Unknown field with tag";
    return fmt != nullptr && strncmp(fmt, unknown_field, sizeof unknown_field - 1) == 0;
}

// Options with that handler; nullptr (libtiff's defaults) without memory.
static TIFFOpenOptions* input_options()
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options != nullptr)
        TIFFOpenOptionsSetWarningHandlerExtR(options, drop_unknown_field_warning, nullptr);
    return options;
}

TIFF* open_tiff_input(const char* name, const char* mode)
{
    TIFFOpenOptions* options = input_options();
    TIFF* tif = TIFFOpenExt(name, mode, options);
    if (options != nullptr)
        TIFFOpenOptionsFree(options);
    return tif;
}

TIFF* open_tiff_input_fd(int fd, const char* name, const char* mode)
{
    TIFFOpenOptions* options = input_options();
    TIFF* tif = TIFFFdOpenExt(fd, name, mode, options);
    if (options != nullptr)
        TIFFOpenOptionsFree(options);
    return tif;
}
