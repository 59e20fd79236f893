// halftone: turns an 8-bit grey TIFF image into a bilevel TIFF image by
// Floyd-Steinberg error diffusion with a fixed threshold.
//
//   halftone [options] input.tif output.tif
//
// The output keeps the input's photometric interpretation (min-is-black or
// min-is-white). Only the first directory is converted; the program holds
// two rows of error accumulators and reads and writes one scan line at a
// time.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <tiffio.h>

#include "compress_options.h"
#include "file_identity.h"
#include "partial_output.h"
#include "strip_reader.h"
#include "strip_writer.h"
#include "tiff_input.h"
#include "tiff_output.h"
#include "usage.h"

const char* const help_lines[] = {
    "usage: halftone [options] input.tif output.tif",
    "where options are:",
    " -r #\t\tmake each strip have no more than # rows",
    " -t #\t\tset dithering threshold (0-255, default 128)",
    " -f lsb2msb\tforce lsb-to-msb FillOrder for output",
    " -f msb2lsb\tforce msb-to-lsb FillOrder for output",
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding",
    " -c zip[:opts]\tcompress output with deflate encoding",
    " -c packbits\tcompress output with packbits encoding",
    " -c g3[:opts]\tcompress output with CCITT Group 3 encoding",
    " -c g4\t\tcompress output with CCITT Group 4 encoding",
    " -c none\tuse no compression algorithm on output",
    "",
    "Group 3 options:",
    " 1d\t\tuse default CCITT Group 3 1D-encoding",
    " 2d\t\tuse optional CCITT Group 3 2D-encoding",
    " fill\t\tbyte-align EOL codes",
    "For example, -c g3:2d:fill to get G3-2D-encoded data with byte-aligned EOLs",
    "",
    "LZW and deflate options:",
    " #\t\tset predictor value",
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing",
    nullptr,
};

// A pixel whose accumulated value is above this is set.
static int32_t threshold = 128;
// FillOrder of the output: -f msb2lsb (1), -f lsb2msb (2), 0 for the input's.
static uint16_t fill_order = 0;

// How the dithering ended.
enum conversion_end {
    ALL_ROWS,  // every row written
    STOPPED,   // a read or write failed; the rows before it are written
};

// Reads row `row` of the input and widens its `width` bytes into the
// accumulators `acc`. Returns false when the row cannot be read.
static bool load_row(strip_reader* in, uint32_t row, int16_t* acc, uint32_t width)
{
    const uint8_t* inrow = read_strip_row(in, row, 0);
    if (inrow == nullptr)
        return false;
    for (uint32_t x = 0; x < width; x++)
        acc[x] = inrow[x];
    return true;
}

// Dithers one row: `cur` holds its values plus the errors diffused into it,
// `next` the row below, which receives errors unless `last`. The bits go
// into `outrow` (cleared here), the first pixel of each byte in its most
// significant bit. Shares are computed from the error each on their own,
// truncated toward zero; the accumulators are 16-bit and wrap.
static void dither_row(int16_t* cur, int16_t* next, bool last, uint32_t width, uint8_t* outrow,
                       size_t out_bytes)
{
    memset(outrow, 0, out_bytes);
    uint8_t* byte = outrow;
    unsigned mask = 0x80;
    for (uint32_t x = 0; x < width; x++) {
        int v = cur[x];
        if (v < 0)
            v = 0;
        else if (v > 255)
            v = 255;
        if (v > threshold) {
            *byte |= (uint8_t)mask;
            v -= 255;
        }
        mask >>= 1;
        if (mask == 0) {
            byte++;
            mask = 0x80;
        }
        bool last_column = x + 1 == width;
        if (!last_column)
            cur[x + 1] = (int16_t)(cur[x + 1] + 7 * v / 16);
        if (!last) {
            if (x > 0)
                next[x - 1] = (int16_t)(next[x - 1] + 3 * v / 16);
            next[x] = (int16_t)(next[x] + 5 * v / 16);
            if (!last_column)
                next[x + 1] = (int16_t)(next[x + 1] + v / 16);
        }
    }
}

// Dithers every row of the input into the output, the last one with the
// errors carried into it. Stops at the first failed read or write; a row
// whose successor cannot be read is still written, as the last one.
// *rows is the number of rows written.
static conversion_end dither_image(TIFF* in, TIFF* out, uint32_t width, uint32_t length,
                                   uint32_t* rows)
{
    *rows = 0;
    tmsize_t out_line = TIFFScanlineSize(out);
    strip_reader* reader = open_strip_reader(in, "rm", 1, width);
    strip_writer* writer = open_strip_writer(out);
    size_t out_bytes = ((size_t)width + 7) / 8;
    uint8_t* outrow = (uint8_t*)_TIFFmalloc(out_line > (tmsize_t)out_bytes ? out_line
                                                                         : (tmsize_t)out_bytes);
    int16_t* cur = (int16_t*)_TIFFmalloc((tmsize_t)width * (tmsize_t)sizeof(int16_t));
    int16_t* next = (int16_t*)_TIFFmalloc((tmsize_t)width * (tmsize_t)sizeof(int16_t));
    conversion_end end = STOPPED;
    if (reader == nullptr || outrow == nullptr || cur == nullptr || next == nullptr) {
        fprintf(stderr, "%s: Not enough memory for a scanline.\n", TIFFFileName(in));
    } else if (length > 0 && load_row(reader, 0, next, width)) {
        end = ALL_ROWS;
        for (uint32_t row = 0; row < length; row++) {
            int16_t* swap = cur;
            cur = next;
            next = swap;
            bool last = row + 1 == length;
            if (!last && !load_row(reader, row + 1, next, width)) {
                end = STOPPED;
                last = true;
            }
            dither_row(cur, next, last, width, outrow, out_bytes);
            if (write_strip_row(writer, outrow, row, 0) < 0) {
                end = STOPPED;
                break;
            }
            *rows = row + 1;
            if (end == STOPPED)
                break;
        }
    }
    if (!close_strip_writer(writer, rows))
        end = STOPPED;
    close_strip_reader(reader);
    _TIFFfree(outrow);
    _TIFFfree(cur);
    _TIFFfree(next);
    return end;
}

// Checks that the input is 8-bit grey, min-is-white or min-is-black, of
// one sample a pixel. Reports why an input does not do, under the
// program's name, and returns false.
static bool check_input(TIFF* in, const char* program)
{
    uint16_t samples = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (samples != 1) {
        fprintf(stderr, "%s: Not a b&w image.\n", program);
        return false;
    }
    uint16_t bits = 1;
    TIFFGetField(in, TIFFTAG_BITSPERSAMPLE, &bits);
    if (bits != 8) {
        fprintf(stderr, " %s: Sorry, only handle 8-bit samples.\n", program);
        return false;
    }
    // Any other kind (a palette, say) would come out as a bilevel image
    // that no reader can show.
    uint16_t photometric = 0xffff;
    TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric);
    if (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK) {
        fprintf(stderr, "%s: Not a b&w image.\n", program);
        return false;
    }
    return true;
}

// `prefix` followed by `name`, in a buffer from malloc (nullptr when there
// is no memory).
static char* text_with_name(const char* prefix, const char* name)
{
    size_t size = strlen(prefix) + strlen(name) + 1;
    char* text = (char*)malloc(size);
    if (text != nullptr)
        snprintf(text, size, "%s%s", prefix, name);
    return text;
}

// Sets the output fields in their fixed order, carrying over the input's
// photometric interpretation, orientation and resolution.
static void set_fields(TIFF* out, TIFF* in, const char* in_name,
                       const compression_settings* compression, int32_t rows_request)
{
    uint32_t width = 0, length = 0;
    if (TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width))
        TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, length);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_COMPRESSION, compression->scheme);
    uint16_t v16 = 0;
    if (fill_order != 0)
        TIFFSetField(out, TIFFTAG_FILLORDER, fill_order);
    else if (TIFFGetField(in, TIFFTAG_FILLORDER, &v16))
        TIFFSetField(out, TIFFTAG_FILLORDER, v16);
    char* description = text_with_name("Dithered B&W version of ", in_name);
    if (description != nullptr)
        TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, description);
    free(description);
    if (TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &v16))
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, v16);
    if (TIFFGetField(in, TIFFTAG_ORIENTATION, &v16))
        TIFFSetField(out, TIFFTAG_ORIENTATION, v16);
    float resolution = 0;
    if (TIFFGetField(in, TIFFTAG_XRESOLUTION, &resolution))
        TIFFSetField(out, TIFFTAG_XRESOLUTION, (double)resolution);
    if (TIFFGetField(in, TIFFTAG_YRESOLUTION, &resolution))
        TIFFSetField(out, TIFFTAG_YRESOLUTION, (double)resolution);
    if (TIFFGetField(in, TIFFTAG_RESOLUTIONUNIT, &v16))
        TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, v16);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_rows(out, rows_request));
    switch (compression->scheme) {
    case COMPRESSION_LZW:
    case COMPRESSION_DEFLATE:
        if (compression->predictor != 0)
            TIFFSetField(out, TIFFTAG_PREDICTOR, compression->predictor);
        break;
    case COMPRESSION_CCITTFAX3:
        TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, compression->g3_options);
        break;
    }
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:f:r:t:";
    answer_help_and_version(argc, argv, "halftone", optstring);
    compression_settings compression = default_compression(COMPRESSION_PACKBITS);
    int32_t rows_request = -1;

    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'c':
            if (!parse_compression_option(optarg, &compression, ACCEPT_GROUP3))
                usage(-1);
            break;
        case 'f':
            if (strcmp(optarg, "lsb2msb") == 0)
                fill_order = FILLORDER_LSB2MSB;
            else if (strcmp(optarg, "msb2lsb") == 0)
                fill_order = FILLORDER_MSB2LSB;
            else
                usage(-1);
            break;
        case 'r':
            rows_request = atoi(optarg);
            break;
        case 't':
            threshold = atoi(optarg);
            if (threshold < 0)
                threshold = 0;
            else if (threshold > 255)
                threshold = 255;
            break;
        default:
            usage(-1);
        }
    }
    if (argc - optind < 2)
        usage(-1);
    const char* in_name = argv[optind];
    const char* out_name = argv[optind + 1];

    // Read through plain reads, not a mapping of the whole file, so that
    // memory stays at a few rows whatever the input's size.
    TIFF* in = open_tiff_input(in_name, "rm");
    if (in == nullptr)
        return -1;
    if (!check_input(in, argv[0])) {
        TIFFClose(in);
        return -1;
    }

    uint32_t width = 0, length = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    note_input(in_name);
    directory_extent extent = {((uint64_t)width + 7) / 8, length, 1, 0};
    TIFF* out = output_is_input(out_name)
                    ? nullptr
                    : open_tiff_output(out_name, "w", directory_bytes_bound(&compression, &extent));
    if (out == nullptr) {
        TIFFClose(in);
        return -1;
    }
    set_fields(out, in, in_name, &compression, rows_request);
    uint32_t rows = 0;
    conversion_end end = dither_image(in, out, width, length, &rows);
    if (rows < length)
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows);
    bool closed = close_tiff_output(out);
    if (rows == 0)
        remove_empty_output(out_name);
    TIFFClose(in);
    return end == ALL_ROWS && closed ? 0 : 1;
}
