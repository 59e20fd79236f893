#include "partial_output.h"

#include <sys/stat.h>
#include <unistd.h>

void finish_jpeg_strip(TIFF* out, const void* row, uint32_t rows_written, uint32_t height)
{
    uint32_t rows_per_strip = height;
    TIFFGetField(out, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    if (rows_per_strip == 0 || rows_written % rows_per_strip == 0)
        return;
    uint32_t end = rows_written - rows_written % rows_per_strip;
    end = (uint64_t)end + rows_per_strip < height ? end + rows_per_strip : height;
    for (uint32_t r = rows_written; r < end; r++)
        if (TIFFWriteScanline(out, (void*)row, r, 0) < 0)
            return;
}

void remove_empty_output(const char* name)
{
    struct stat st;
    if (stat(name, &st) == 0 && S_ISREG(st.st_mode))
        unlink(name);
}
