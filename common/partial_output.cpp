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

uint32_t rows_input_can_hold(FILE* in, uint64_t row_bytes, uint64_t expansion, uint32_t declared)
{
    struct stat st;
    off_t at = ftello(in);
    if (row_bytes == 0 || at < 0 || fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < at)
        return declared;
    uint64_t remaining = (uint64_t)(st.st_size - at);
    uint64_t rows = remaining / row_bytes;
    if (expansion > 1)
        rows = remaining > UINT64_MAX / expansion ? UINT64_MAX : remaining * expansion / row_bytes;
    return rows < declared ? (uint32_t)rows : declared;
}
