// tagtruecolor: renders every directory of one or more TIFF files into
// 8-bit RGB directories, with an associated alpha sample unless -n, of
// one output file.
//
//   tagtruecolor [-c comp] [-r rows] [-b] [-n] input... output
//
// libtiff's RGBA interface does the pixel conversion; this program picks
// how much is rendered at a time (the picture as shown, in bands of rows,
// or strip by strip or tile by tile with -b), puts the rows top-down (the
// picture) or in the input's stored order under its orientation (blocks),
// drops the alpha byte on request and writes the result as strips or
// tiles of the output.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>

#include <tiffio.h>

#include "compress_options.h"
#include "partial_output.h"
#include "rgba_bands.h"
#include "strip_reader.h"
#include "strip_writer.h"
#include "tiff_input.h"
#include "tiff_output.h"
#include "usage.h"

const char* const help_lines[] = {
    "usage: tagtruecolor [-c comp] [-r rows] [-b] input... output",
    "where comp is one of the following compression algorithms:",
    " jpeg\t\tJPEG encoding",
    " zip\t\tdeflate encoding",
    " lzw\t\tLempel-Ziv & Welch encoding",
    " packbits\tPackBits encoding",
    " none\t\tno compression",
    "and the other options are:",
    " -r\trows/strip",
    " -t\trows/strip (the same as -r)",
    " -b (progress by block rather than as a whole image)",
    " -n don't emit alpha component.",
    nullptr,
};

static uint16_t compression_scheme = COMPRESSION_PACKBITS;
// The strip height: -r or -t, then whatever the last directory used.
static uint32_t rows_request = 0xFFFFFFFF;
static bool block_mode = false;
static bool omit_alpha = false;

// Errors libtiff has reported during the run. libtiff renders past a
// damaged strip or tile and still calls the image done, so a run that
// saw any error does not end with status 0.
static int errors_reported = 0;
static TIFFErrorHandler print_error = nullptr;

// Counts an error, then prints it as libtiff would have.
static void count_error(const char* module, const char* format, va_list ap)
{
    errors_reported++;
    if (print_error != nullptr)
        print_error(module, format, ap);
}

// The size in bytes of a raster of columns x rows 32-bit pixels, or 0 when
// it is empty or does not fit 32 bits (libtiff's renderers index rasters
// with 32-bit arithmetic).
static uint32_t raster_bytes(uint32_t columns, uint32_t rows)
{
    uint64_t size = (uint64_t)columns * rows * 4;
    return size > UINT32_MAX ? 0 : (uint32_t)size;
}

// Takes a zeroed raster of `size` bytes (0: too large), or reports "No
// space for raster buffer" for `in` and returns nullptr. The zeros come
// from calloc: nothing unset reaches the output, and the pages rendering
// never reaches (a header claiming far more than the file holds) are
// never touched. Freed with free().
static uint32_t* allocate_raster(TIFF* in, uint32_t size)
{
    uint32_t* raster = size == 0 ? nullptr : (uint32_t*)calloc(size, 1);
    if (raster == nullptr)
        TIFFError(TIFFFileName(in), "No space for raster buffer");
    return raster;
}

// Puts the `rows` rows of `columns` pixels at `raster` in reverse order,
// the middle row of an odd count staying where it is. `scratch` holds one
// row.
static void flip_rows(uint32_t* raster, uint32_t columns, uint32_t rows, uint32_t* scratch)
{
    tmsize_t row_bytes = (tmsize_t)columns * 4;
    for (uint32_t i = 0; i < rows / 2; i++) {
        uint32_t* top = raster + (size_t)i * columns;
        uint32_t* bottom = raster + (size_t)(rows - 1 - i) * columns;
        _TIFFmemcpy(scratch, top, row_bytes);
        _TIFFmemcpy(top, bottom, row_bytes);
        _TIFFmemcpy(bottom, scratch, row_bytes);
    }
}

// With -b each strip or tile goes out as the file stores it, and the
// output takes the input's Orientation, so that a reader shows it as it
// shows the input. Placing the rows by the orientation instead would make
// output blocks straddle input blocks (a bottom-up image whose height is
// no multiple of the strip height, a mirrored one whose width is no
// multiple of the tile width), and orientations 5 to 8, which turn stored
// rows into shown columns, cannot be placed a block at a time at all.
//
// libtiff's strip and tile renderers deliver a block as shown with its
// origin at the lower left, taking orientations 5 to 8 as 1 to 4: rows
// bottom first when the stored first row is the top (1, 2, 5, 6), in
// stored order when it is the bottom; each row mirrored when the stored
// first column is the right (2, 3, 6, 7). This puts the `rows` x `columns`
// image pixels of such a block, `stride` pixels wide and `block_rows`
// high (an edge tile holds fewer image pixels), back in stored order, top
// first and the padding after them. `scratch` holds one block row.
static void to_stored_order(uint32_t* raster, uint32_t stride, uint32_t block_rows,
                            uint32_t columns, uint32_t rows, uint16_t orientation,
                            uint32_t* scratch)
{
    bool top_first = orientation == ORIENTATION_TOPLEFT || orientation == ORIENTATION_TOPRIGHT ||
                     orientation == ORIENTATION_LEFTTOP || orientation == ORIENTATION_RIGHTTOP;
    bool mirrored = orientation == ORIENTATION_TOPRIGHT || orientation == ORIENTATION_BOTRIGHT ||
                    orientation == ORIENTATION_RIGHTTOP || orientation == ORIENTATION_RIGHTBOT;
    // Reversing the whole block brings the image rows first, padding last;
    // bottom-first blocks then need their image rows reversed back.
    flip_rows(raster, stride, block_rows, scratch);
    if (!top_first)
        flip_rows(raster, stride, rows, scratch);
    if (mirrored)
        for (uint32_t i = 0; i < rows; i++)
            std::reverse(raster + (size_t)i * stride, raster + (size_t)i * stride + columns);
}

// Packs `pixels` RGBA pixels at the start of `raster` into RGB, in place:
// afterwards they fill the first 3 x pixels bytes.
static void remove_alpha(uint32_t* raster, uint64_t pixels)
{
    const unsigned char* from = (const unsigned char*)raster;
    unsigned char* to = (unsigned char*)raster;
    for (uint64_t i = 0; i < pixels; i++, from += 4, to += 3) {
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
    }
}

// The bytes one output pixel takes.
static tmsize_t pixel_bytes()
{
    return omit_alpha ? 3 : 4;
}

// What the image of the current directory of `in` becomes in the output:
// its pixels (turned a quarter under orientations 5 to 8 but with -b), in
// whole tiles when -b keeps its tiles, and the document name copied.
static void output_layout(TIFF* in, directory_extent* extent)
{
    uint32_t width = 0, length = 0, tile_width = 0, tile_length = 0;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &orientation);
    if (!block_mode && orientation >= ORIENTATION_LEFTTOP && orientation <= ORIENTATION_LEFTBOT)
        std::swap(width, length);
    extent->row_bytes = (uint64_t)width * (uint64_t)pixel_bytes();
    extent->rows = length;
    if (block_mode && TIFFIsTiled(in) && TIFFGetField(in, TIFFTAG_TILEWIDTH, &tile_width) &&
        TIFFGetField(in, TIFFTAG_TILELENGTH, &tile_length) && tile_width > 0 &&
        tile_length > 0) {
        uint64_t across = ((uint64_t)width + tile_width - 1) / tile_width;
        uint64_t down = ((uint64_t)length + tile_length - 1) / tile_length;
        extent->row_bytes = across * tile_width * (uint64_t)pixel_bytes();
        extent->rows = down * tile_length;
    }
    char* document_name = nullptr;
    if (TIFFGetField(in, TIFFTAG_DOCUMENTNAME, &document_name) && document_name != nullptr)
        extent->field_bytes = strlen(document_name) + 1;
}

// One output strip from `rows` top-down rows of `width` RGBA pixels: the
// pixels as they are, or without their alpha bytes.
static tmsize_t make_rgb_strip(const uint32_t* pixels, uint32_t rows, uint32_t width,
                               unsigned char* out, const void*)
{
    uint64_t n = (uint64_t)rows * width;
    if (!omit_alpha) {
        memcpy(out, pixels, (size_t)n * 4);
        return (tmsize_t)(n * 4);
    }
    const unsigned char* from = (const unsigned char*)pixels;
    for (uint64_t i = 0; i < n; i++, from += 4, out += 3) {
        out[0] = from[0];
        out[1] = from[1];
        out[2] = from[2];
    }
    return (tmsize_t)(n * 3);
}

// Renders the picture as shown (rgba_bands.h), in bands on the workers,
// and writes it in strips of the requested height (libtiff's choice when
// none was given), which later directories then keep. Returns 1, or 0 on
// failure; *rows_done is the number of image rows whose strips were
// written.
static int render_whole(TIFF* in, TIFF* out, uint32_t* rows_done)
{
    uint32_t width = 0, height = 0;
    rgba_picture* picture = open_rgba_picture(in, &width, &height);
    if (picture == nullptr)
        return 0;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    rows_request = TIFFDefaultStripSize(out, rows_request);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rows_request);
    uint64_t strip_bytes = (uint64_t)std::min(rows_request, height) * width * pixel_bytes();
    strip_writer* writer = open_strip_writer(out);
    int ok = strip_bytes <= SIZE_MAX / 4 &&
             write_rgba_picture(picture, writer, rows_request, (size_t)strip_bytes,
                                make_rgb_strip, nullptr, rows_done);
    if (!close_strip_writer(writer, rows_done))
        ok = 0;
    close_rgba_picture(picture);
    return ok;
}

// How -b cuts a directory into blocks, strips or tiles, each rendered by
// a worker into a raster of block_width x block_rows pixels followed by a
// row of scratch.
struct block_layout {
    bool tiled;
    uint32_t width, height;
    uint32_t block_width, block_rows;
    uint32_t across;  // blocks side by side
    uint16_t orientation;
};

// Renders block job->unit (counted across, then down) into the job's
// raster, puts it in stored order and drops the alpha bytes on request.
static int render_block(unit_job* job, const void* context)
{
    const block_layout* l = (const block_layout*)context;
    uint32_t* raster = (uint32_t*)job->data;
    uint32_t* scratch = raster + (size_t)l->block_width * l->block_rows;
    uint64_t row = (uint64_t)(job->unit / l->across) * l->block_rows;
    uint64_t column = (uint64_t)(job->unit % l->across) * l->block_width;
    uint32_t rows = (uint32_t)std::min<uint64_t>(l->block_rows, l->height - row);
    uint32_t columns = (uint32_t)std::min<uint64_t>(l->block_width, l->width - column);
    if (l->tiled) {
        if (!TIFFReadRGBATile(job->tif, (uint32_t)column, (uint32_t)row, raster))
            return 0;
        to_stored_order(raster, l->block_width, l->block_rows, columns, rows, l->orientation,
                        scratch);
        if (omit_alpha)
            remove_alpha(raster, (uint64_t)l->block_width * l->block_rows);
    } else {
        // Read into buffers, a strip whose data is not in the file would
        // fail with a message that depends on what the handle read before.
        if (!data_in_file(job->tif, 0, (uint32_t)row)) {
            TIFFErrorExtR(job->tif, TIFFFileName(job->tif), "Data missing for strip %u",
                          job->unit);
            return 0;
        }
        if (!TIFFReadRGBAStrip(job->tif, (uint32_t)row, raster))
            return 0;
        to_stored_order(raster, l->width, rows, l->width, rows, l->orientation, scratch);
        if (omit_alpha)
            remove_alpha(raster, (uint64_t)rows * l->width);
    }
    return 1;
}

// Renders the blocks of `l` in order, on the workers, each written to the
// output as a strip or a tile. Returns 1, or 0 on failure; *rows_done is
// the number of image rows whose blocks were all written.
static int render_blocks(TIFF* in, TIFF* out, const block_layout* l, uint32_t* rows_done)
{
    uint32_t bytes = raster_bytes(l->block_width, l->block_rows);
    if (bytes == 0 || bytes > UINT32_MAX - (uint64_t)l->block_width * 4) {
        allocate_raster(in, 0);
        return 0;
    }
    uint32_t down = (uint32_t)(((uint64_t)l->height + l->block_rows - 1) / l->block_rows);
    unit_work work = {render_block, nullptr, nullptr, l};
    unit_reader* reader = open_unit_reader(in, rendering_mode(in), down * l->across,
                                           bytes + (size_t)l->block_width * 4, 1, &work, true);
    if (reader == nullptr) {
        allocate_raster(in, 0);
        return 0;
    }
    strip_writer* writer = l->tiled ? nullptr : open_strip_writer(out);
    tmsize_t b = pixel_bytes();
    int ok = 1;
    for (uint32_t unit = 0; ok && unit < down * l->across; unit++) {
        unsigned char* data = take_unit(reader, unit, &ok);
        uint64_t row = (uint64_t)(unit / l->across) * l->block_rows;
        uint32_t rows = (uint32_t)std::min<uint64_t>(l->block_rows, l->height - row);
        if (ok && l->tiled) {
            uint32_t column = (unit % l->across) * l->block_width;
            uint32_t tile = TIFFComputeTile(out, column, (uint32_t)row, 0, 0);
            ok = TIFFWriteEncodedTile(out, tile, data, (tmsize_t)l->block_width * l->block_rows * b) != -1;
        } else if (ok) {
            ok = write_whole_strip(writer, unit, data, b * rows * (tmsize_t)l->width) >= 0;
        }
        release_units(reader, unit + 1);
        if (ok && unit % l->across == l->across - 1)
            *rows_done = (uint32_t)(row + rows);
    }
    if (writer != nullptr && !close_strip_writer(writer, rows_done))
        ok = 0;
    close_unit_reader(reader);
    return ok;
}

// Renders a stripped image strip by strip; the output has the input's
// strip height (no more than the image height), which later directories
// then keep. Returns 1, or 0 on failure; *rows_done as for render_whole.
static int render_strips(TIFF* in, TIFF* out, uint32_t* rows_done)
{
    block_layout l = {false, 0, 0, 0, 0, 1, ORIENTATION_TOPLEFT};
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &l.orientation);
    if (!TIFFGetField(in, TIFFTAG_ROWSPERSTRIP, &rows_request)) {
        TIFFError(TIFFFileName(in), "Source image not in strips");
        return 0;
    }
    // One strip taller than the image holds just the image.
    if (rows_request > l.height)
        rows_request = l.height;
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rows_request);
    l.block_width = l.width;
    l.block_rows = rows_request;
    return render_blocks(in, out, &l, rows_done);
}

// Renders a tiled image tile by tile into an output tiled the same way.
// Returns 1, or 0 on failure; *rows_done is the number of image rows
// whose tiles were all written.
static int render_tiles(TIFF* in, TIFF* out, uint32_t* rows_done)
{
    block_layout l = {true, 0, 0, 0, 0, 1, ORIENTATION_TOPLEFT};
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &l.orientation);
    if (!TIFFGetField(in, TIFFTAG_TILEWIDTH, &l.block_width) ||
        !TIFFGetField(in, TIFFTAG_TILELENGTH, &l.block_rows) || l.block_width == 0 ||
        l.block_rows == 0) {
        TIFFError(TIFFFileName(in), "Source image not tiled");
        return 0;
    }
    TIFFSetField(out, TIFFTAG_TILEWIDTH, l.block_width);
    TIFFSetField(out, TIFFTAG_TILELENGTH, l.block_rows);
    l.across = (uint32_t)(((uint64_t)l.width + l.block_width - 1) / l.block_width);
    return render_blocks(in, out, &l, rows_done);
}

// Sets the fields of the output directory for the input's current
// directory, then renders it in the chosen mode. Returns 1, or 0 on
// failure; *rows_done is the number of image rows written to the output.
static int convert_directory(TIFF* in, TIFF* out, uint32_t* rows_done)
{
    uint32_t width = 0, height = 0, subfile_type;
    uint16_t fill_order, resolution_unit;
    float x_resolution, y_resolution;
    char* document_name;

    *rows_done = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &height);
    if (TIFFGetField(in, TIFFTAG_SUBFILETYPE, &subfile_type))
        TIFFSetField(out, TIFFTAG_SUBFILETYPE, subfile_type);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_COMPRESSION, compression_scheme);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    if (TIFFGetField(in, TIFFTAG_FILLORDER, &fill_order))
        TIFFSetField(out, TIFFTAG_FILLORDER, fill_order);
    // Whole images are rendered as shown; blocks keep the stored order
    // (see to_stored_order).
    uint16_t orientation = ORIENTATION_TOPLEFT;
    if (block_mode)
        TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &orientation);
    TIFFSetField(out, TIFFTAG_ORIENTATION, orientation);
    if (omit_alpha) {
        TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 3);
    } else {
        uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
        TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 4);
        TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (TIFFGetField(in, TIFFTAG_XRESOLUTION, &x_resolution))
        TIFFSetField(out, TIFFTAG_XRESOLUTION, (double)x_resolution);
    if (TIFFGetField(in, TIFFTAG_YRESOLUTION, &y_resolution))
        TIFFSetField(out, TIFFTAG_YRESOLUTION, (double)y_resolution);
    if (TIFFGetField(in, TIFFTAG_RESOLUTIONUNIT, &resolution_unit))
        TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, resolution_unit);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_SOFTWARE, TIFFGetVersion());
    if (TIFFGetField(in, TIFFTAG_DOCUMENTNAME, &document_name))
        TIFFSetField(out, TIFFTAG_DOCUMENTNAME, document_name);

    if (block_mode && TIFFIsTiled(in))
        return render_tiles(in, out, rows_done);
    if (block_mode)
        return render_strips(in, out, rows_done);
    return render_whole(in, out, rows_done);
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:r:t:bn";
    answer_help_and_version(argc, argv, "tagtruecolor", optstring);
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'c':
            if (!parse_exact_compression(optarg, COMPRESSION_DEFLATE, &compression_scheme))
                usage(-1);
            break;
        case 'r':
        case 't':
            rows_request = (uint32_t)atoi(optarg);
            break;
        case 'b':
            block_mode = true;
            break;
        case 'n':
            omit_alpha = true;
            break;
        default:
            usage(-1);
        }
    }
    if (argc - optind < 2)
        usage(-1);
    print_error = TIFFSetErrorHandler(count_error);

    const char* out_name = argv[argc - 1];
    compression_settings coded = default_compression(compression_scheme);
    TIFF* out = open_tiff_output_for_inputs(out_name, argv + optind, argc - 1 - optind, &coded,
                                            output_layout);
    if (out == nullptr)
        return -2;
    int directories_written = 0;
    bool input_skipped = false;
    for (int i = optind; i < argc - 1; i++) {
        // Mapped ("r", not "rm"): the installed libtiff's RGBA reader
        // rejects the tiles of an unmapped file ("Invalid tile byte count").
        TIFF* in = open_tiff_input(argv[i], "r");
        if (in == nullptr) {
            input_skipped = true;  // libtiff has said why
            continue;
        }
        do {
            uint32_t rows_done = 0;
            if (!convert_directory(in, out, &rows_done)) {
                close_failed_output(out, out_name, rows_done, directories_written);
                TIFFClose(in);
                return 1;
            }
            if (!TIFFWriteDirectory(out)) {
                close_tiff_output(out);
                TIFFClose(in);
                return 1;
            }
            directories_written++;
        } while (TIFFReadDirectory(in));
        TIFFClose(in);
    }
    int closed = close_tiff_output(out);
    if (directories_written == 0)
        remove_empty_output(out_name);
    return closed && !input_skipped && errors_reported == 0 ? 0 : 1;
}
