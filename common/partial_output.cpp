#include "partial_output.h"
#include "tiff_output.h"
#include "file_identity.h"

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

void remove_empty_output(const char* name)
{
    if (is_output_named(name))
        unlink(name);
    else if (is_output_of_this_run(name) && truncate(name, 0) != 0)
        perror(name);
}

void close_failed_output(TIFF* out, const char* name, uint32_t rows_done,
                         int directories_written)
{
    if (rows_done > 0) {
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows_done);
        close_tiff_output(out);
        return;
    }
    close_tiff_output_discarding(out);
    if (directories_written == 0)
        remove_empty_output(name);
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

// Whether strip or tile `block` of `in` has all its bytes, and at least
// one, inside a file of `file_size` bytes. libtiff decodes no other: one
// with no bytes or reaching past the end fails, silently for a tile of a
// mapped file.
static bool holds_data(TIFF* in, uint32_t block, uint64_t file_size)
{
    uint64_t offset = TIFFGetStrileOffset(in, block);
    uint64_t count = TIFFGetStrileByteCount(in, block);
    return count > 0 && offset < file_size && count <= file_size - offset;
}

bool data_in_file(TIFF* in, uint32_t x, uint32_t y)
{
    struct stat st;
    uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (compression == COMPRESSION_OJPEG || fstat(TIFFFileno(in), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return true;
    bool tiled = TIFFIsTiled(in);
    for (uint16_t s = 0; s < (planar == PLANARCONFIG_SEPARATE ? samples : 1); s++)
        if (!holds_data(in, tiled ? TIFFComputeTile(in, x, y, 0, s) : TIFFComputeStrip(in, y, s),
                        (uint64_t)st.st_size))
            return false;
    return true;
}

int keep_rows_with_data(TIFF* in, uint32_t* height)
{
    const char* name = TIFFFileName(in);
    struct stat st;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_OJPEG || fstat(TIFFFileno(in), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return 1;
    uint64_t file_size = (uint64_t)st.st_size;

    // Strips or tiles are numbered across, then down, plane after plane.
    uint32_t width = 0, band_height = *height, across = 1, count;
    uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
    bool tiled = TIFFIsTiled(in);
    if (tiled) {
        uint32_t tile_width = 0;
        TIFFGetField(in, TIFFTAG_TILEWIDTH, &tile_width);
        TIFFGetField(in, TIFFTAG_TILELENGTH, &band_height);
        if (tile_width == 0)
            return 1;
        across = (uint32_t)(((uint64_t)width + tile_width - 1) / tile_width);
        count = TIFFNumberOfTiles(in);
    } else {
        TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &band_height);
        count = TIFFNumberOfStrips(in);
    }
    uint32_t per_plane = planar == PLANARCONFIG_SEPARATE && samples > 1 ? count / samples : count;
    if (band_height == 0 || across == 0 || per_plane == 0)
        return 1;
    // The first row of block i's band, and the row after its last.
    auto band_top = [&](uint32_t i) { return (uint64_t)(i % per_plane) / across * band_height; };

    uint64_t rows = 0;
    for (uint32_t i = count; i-- > 0 && rows < *height;)
        if (holds_data(in, i, file_size))
            rows = std::max(rows, std::min<uint64_t>(band_top(i) + band_height, *height));
    if (rows == 0) {
        TIFFError(name, "No image data");
        return 0;
    }
    if (rows < *height)
        TIFFError(name, "Image data covers only %u of %u rows", (uint32_t)rows, *height);
    *height = (uint32_t)rows;

    uint32_t missing = 0;
    for (uint32_t i = 0; i < count; i++)
        if (band_top(i) < rows && !holds_data(in, i, file_size))
            missing++;
    if (missing > 0)
        TIFFError(name, "Data missing for %u of %u %s", missing, count, tiled ? "tiles" : "strips");
    return 1;
}
