// chromatag: converts every directory of one or more TIFF files into an
// 8-bit YCbCr directory with subsampled chrominance, all in one output.
//
//   chromatag [-c comp] [-r rows] [-h N] [-v N] [-z] input... output
//
// Each directory is rendered by libtiff as a viewer shows it, a band of
// rows at a time, then converted here, strip by strip on worker threads:
// luma from single-precision tables, chroma averaged over each block of
// h x v pixels, packed in blocks of h x v luma codes followed by one Cb
// and one Cr code.

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <unistd.h>

#include <tiffio.h>

#include "compress_options.h"
#include "partial_output.h"
#include "rgba_bands.h"
#include "strip_writer.h"
#include "tiff_input.h"
#include "tiff_output.h"
#include "usage.h"

// Each line carries a line end of its own, so the text comes out
// double-spaced.
const char* const help_lines[] = {
    "usage: chromatag [-c comp] [-r rows] [-h N] [-v N] input... output\n",
    "where comp is one of the following compression algorithms:\n",
    " jpeg\t\tJPEG encoding\n",
    " lzw\t\tLempel-Ziv & Welch encoding\n",
    " zip\t\tdeflate encoding\n",
    " packbits\tPackBits encoding (default)\n",
    " none\t\tno compression\n",
    "and the other options are:\n",
    " -r\trows/strip\n",
    " -h\thorizontal sampling factor (1,2,4)\n",
    " -v\tvertical sampling factor (1,2,4)\n",
    " -z\tstudio-range levels (Y 16-235, Cb/Cr 16-240)\n",
    nullptr,
};

static uint16_t scheme = COMPRESSION_PACKBITS;
// The strip height: -r, then the height chosen for the last directory.
static int32_t rows_request = -1;
static uint16_t horiz_subsampling = 2;
static uint16_t vert_subsampling = 2;
static float ycbcr_coefficients[3] = {0.299F, 0.587F, 0.114F};
// Black and white reference of Y, then of Cb, then of Cr.
static float reference_black_white[6] = {0.0F, 255.0F, 128.0F, 255.0F, 128.0F, 255.0F};

// Conversion constants, set by init_luma_tables.
static float cb_scale;
static float cr_scale;
static unsigned char y_pad;  // the luma code of positions outside the image

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

// The code of `value` on a scale of `width` steps between the references
// `black` and `white`, rounded to nearest; a code outside 0..255 becomes
// 255.
static unsigned char encode_level(float value, float black, float white, int width)
{
    int code = (int)(black + (white - black) * value / width + 0.5);
    return code < 0 || code > 255 ? 255 : (unsigned char)code;
}

// Sets the chroma scales and y_pad from the coefficients and references.
static void init_luma_tables()
{
    cb_scale = 1.0F / (2 - 2 * ycbcr_coefficients[2]);
    cr_scale = 1.0F / (2 - 2 * ycbcr_coefficients[0]);
    y_pad = encode_level(0, reference_black_white[0], reference_black_white[1], 255);
}

// Pixels of a row converted at a time: a multiple of every h.
const uint32_t ROW_CHUNK = 1024;

// The luma code of each of ROW_CHUNK pixels, and its share of the Cb and
// Cr of its block before they are averaged: the luma tables' sums,
// computed here the way the tables hold them (i x coefficient), in loops
// of a fixed count over buffers that do not overlap, which the compiler
// turns into code that converts several pixels at once.
static void convert_pixels(const uint32_t* __restrict pixels, unsigned char* __restrict luma,
                           float* __restrict cb, float* __restrict cr)
{
    const float black = reference_black_white[0], white = reference_black_white[1];
    const float kr = ycbcr_coefficients[0], kg = ycbcr_coefficients[1],
                kb = ycbcr_coefficients[2], cb_by = cb_scale, cr_by = cr_scale;
    float y[ROW_CHUNK];
    int code[ROW_CHUNK];
    for (uint32_t k = 0; k < ROW_CHUNK; k++) {
        uint32_t rgba = pixels[k];
        float r = (float)(int)TIFFGetR(rgba), g = (float)(int)TIFFGetG(rgba),
              b = (float)(int)TIFFGetB(rgba);
        y[k] = r * kr + g * kg + b * kb;
        cb[k] = (b - y[k]) * cb_by;
        cr[k] = (r - y[k]) * cr_by;
    }
    // encode_level, in two steps.
    for (uint32_t k = 0; k < ROW_CHUNK; k++)
        code[k] = (int)(black + (white - black) * y[k] / 255 + 0.5);
    for (uint32_t k = 0; k < ROW_CHUNK; k++)
        luma[k] = code[k] < 0 || code[k] > 255 ? 255 : (unsigned char)code[k];
}

// Packs the block of `rows` x `cols` pixels (at most v x h) at column x of
// the converted rows: its h x v luma codes (y_pad where the block passes
// the image edge), then its Cb and Cr, the averages over its pixels.
// Returns the byte after them.
static unsigned char* pack_block(unsigned char* out, unsigned char (*luma)[ROW_CHUNK],
                                 float (*cb)[ROW_CHUNK], float (*cr)[ROW_CHUNK], uint32_t x,
                                 uint32_t rows, uint32_t cols)
{
    float cb_sum = 0, cr_sum = 0;
    for (uint32_t j = 0; j < rows; j++) {
        for (uint32_t k = 0; k < cols; k++) {
            cb_sum += cb[j][x + k];
            cr_sum += cr[j][x + k];
            *out++ = luma[j][x + k];
        }
        for (uint32_t k = cols; k < horiz_subsampling; k++)
            *out++ = y_pad;
    }
    for (uint32_t j = rows; j < vert_subsampling; j++)
        for (uint32_t k = 0; k < horiz_subsampling; k++)
            *out++ = y_pad;
    int pixels = (int)(rows * cols);
    *out++ = encode_level(cb_sum / pixels, reference_black_white[2], reference_black_white[3], 127);
    *out++ = encode_level(cr_sum / pixels, reference_black_white[4], reference_black_white[5], 127);
    return out;
}

// Packs the `blocks` whole blocks of H x V pixels from column 0 of the
// converted rows, as pack_block does (the same sums in the same order),
// with the block's size known to the compiler. Returns the byte after
// them.
template <uint32_t H, uint32_t V>
static unsigned char* pack_whole_blocks(unsigned char* out, unsigned char (*luma)[ROW_CHUNK],
                                        float (*cb)[ROW_CHUNK], float (*cr)[ROW_CHUNK],
                                        uint32_t blocks)
{
    const float cb_black = reference_black_white[2], cb_white = reference_black_white[3];
    const float cr_black = reference_black_white[4], cr_white = reference_black_white[5];
    for (uint32_t x = 0; x < blocks * H; x += H) {
        float cb_sum = 0, cr_sum = 0;
        for (uint32_t j = 0; j < V; j++)
            for (uint32_t k = 0; k < H; k++) {
                cb_sum += cb[j][x + k];
                cr_sum += cr[j][x + k];
                *out++ = luma[j][x + k];
            }
        *out++ = encode_level(cb_sum / (int)(H * V), cb_black, cb_white, 127);
        *out++ = encode_level(cr_sum / (int)(H * V), cr_black, cr_white, 127);
    }
    return out;
}

// pack_whole_blocks for the block size h x v (1, 2 or 4 each).
static unsigned char* pack_whole_blocks(unsigned char* out, unsigned char (*luma)[ROW_CHUNK],
                                        float (*cb)[ROW_CHUNK], float (*cr)[ROW_CHUNK],
                                        uint32_t blocks, uint32_t h, uint32_t v)
{
    switch (h * 8 + v) {
    case 011: return pack_whole_blocks<1, 1>(out, luma, cb, cr, blocks);
    case 012: return pack_whole_blocks<1, 2>(out, luma, cb, cr, blocks);
    case 014: return pack_whole_blocks<1, 4>(out, luma, cb, cr, blocks);
    case 021: return pack_whole_blocks<2, 1>(out, luma, cb, cr, blocks);
    case 022: return pack_whole_blocks<2, 2>(out, luma, cb, cr, blocks);
    case 024: return pack_whole_blocks<2, 4>(out, luma, cb, cr, blocks);
    case 041: return pack_whole_blocks<4, 1>(out, luma, cb, cr, blocks);
    case 042: return pack_whole_blocks<4, 2>(out, luma, cb, cr, blocks);
    default: return pack_whole_blocks<4, 4>(out, luma, cb, cr, blocks);
    }
}

// Packs the `nrows` top-down image rows of `width` pixels at `raster`
// into `out`, block row after block row, left to right. The last block
// row may have fewer than v rows, the last block of a row fewer than h
// columns.
static void convert_strip(unsigned char* out, const uint32_t* raster, uint32_t nrows,
                          uint32_t width)
{
    const uint32_t h = horiz_subsampling, v = vert_subsampling;
    unsigned char luma[4][ROW_CHUNK];
    float cb[4][ROW_CHUNK], cr[4][ROW_CHUNK];
    uint32_t last[ROW_CHUNK];  // the pixels of a chunk shorter than ROW_CHUNK
    for (uint32_t done = 0; done < nrows; done += v) {
        uint32_t rows = nrows - done < v ? nrows - done : v;
        for (uint32_t x0 = 0; x0 < width; x0 += ROW_CHUNK) {
            uint32_t n = width - x0 < ROW_CHUNK ? width - x0 : ROW_CHUNK;
            for (uint32_t j = 0; j < rows; j++) {
                const uint32_t* pixels = raster + (uint64_t)(done + j) * width + x0;
                if (n < ROW_CHUNK) {
                    memcpy(last, pixels, (size_t)n * 4);
                    memset(last + n, 0, (size_t)(ROW_CHUNK - n) * 4);
                    pixels = last;
                }
                convert_pixels(pixels, luma[j], cb[j], cr[j]);
            }
            // Whole blocks at once; the rest (a block row short of v rows,
            // a block short of h columns) one by one.
            uint32_t x = 0;
            if (rows == v) {
                out = pack_whole_blocks(out, luma, cb, cr, n / h, h, v);
                x = n / h * h;
            }
            for (; x < n; x += h)
                out = pack_block(out, luma, cb, cr, x, rows, n - x < h ? n - x : h);
        }
    }
}

// The bytes of a strip of `rows` image rows (rounded up to whole blocks)
// of `width` pixels.
static uint64_t strip_bytes(uint32_t width, uint32_t rows)
{
    const uint64_t h = horiz_subsampling, v = vert_subsampling;
    uint64_t rwidth = (width + h - 1) / h * h;
    uint64_t r = (rows + v - 1) / v * v;
    return r * rwidth + 2 * (r * rwidth / (h * v));
}

// What the image of the current directory of `in` becomes in the output:
// block rows of the subsampled samples, of the picture as shown (turned a
// quarter under orientations 5 to 8).
static void output_layout(TIFF* in, directory_extent* extent)
{
    uint32_t width = 0, length = 0;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &orientation);
    if (orientation >= ORIENTATION_LEFTTOP && orientation <= ORIENTATION_LEFTBOT)
        std::swap(width, length);
    extent->row_bytes = strip_bytes(width, vert_subsampling);
    extent->rows = ((uint64_t)length + vert_subsampling - 1) / vert_subsampling;
}

// One output strip from `rows` top-down rows of the picture, `width`
// pixels a row: its blocks, packed.
static tmsize_t make_ycbcr_strip(const uint32_t* pixels, uint32_t rows, uint32_t width,
                                 unsigned char* out, const void*)
{
    convert_strip(out, pixels, rows, width);
    return (tmsize_t)strip_bytes(width, rows);
}

// "YCbCr conversion of " and the input's file name without its directory
// part.
static std::string describe(TIFF* in)
{
    const char* name = TIFFFileName(in);
    const char* slash = strrchr(name, '/');
    return std::string("YCbCr conversion of ") + (slash != nullptr ? slash + 1 : name);
}

// Sets the fields of the output directory for the input's current
// directory of width x height pixels, in their fixed order.
static void set_fields(TIFF* in, TIFF* out, uint32_t width, uint32_t height)
{
    uint32_t subfile_type;
    uint16_t fill_order, resolution_unit;
    float x_resolution, y_resolution;
    char* document_name;

    if (TIFFGetField(in, TIFFTAG_SUBFILETYPE, &subfile_type))
        TIFFSetField(out, TIFFTAG_SUBFILETYPE, subfile_type);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_COMPRESSION, scheme);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    if (scheme == COMPRESSION_JPEG)
        TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RAW);
    if (TIFFGetField(in, TIFFTAG_FILLORDER, &fill_order))
        TIFFSetField(out, TIFFTAG_FILLORDER, fill_order);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 3);
    if (TIFFGetField(in, TIFFTAG_XRESOLUTION, &x_resolution))
        TIFFSetField(out, TIFFTAG_XRESOLUTION, (double)x_resolution);
    if (TIFFGetField(in, TIFFTAG_YRESOLUTION, &y_resolution))
        TIFFSetField(out, TIFFTAG_YRESOLUTION, (double)y_resolution);
    if (TIFFGetField(in, TIFFTAG_RESOLUTIONUNIT, &resolution_unit))
        TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, resolution_unit);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, describe(in).c_str());
    TIFFSetField(out, TIFFTAG_SOFTWARE, TIFFGetVersion());
    if (TIFFGetField(in, TIFFTAG_DOCUMENTNAME, &document_name))
        TIFFSetField(out, TIFFTAG_DOCUMENTNAME, document_name);
    TIFFSetField(out, TIFFTAG_REFERENCEBLACKWHITE, reference_black_white);
    TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, horiz_subsampling, vert_subsampling);
    TIFFSetField(out, TIFFTAG_YCBCRPOSITIONING, YCBCRPOSITION_CENTERED);
    TIFFSetField(out, TIFFTAG_YCBCRCOEFFICIENTS, ycbcr_coefficients);
    rows_request = (int32_t)TIFFDefaultStripSize(out, (uint32_t)rows_request);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, (uint32_t)rows_request);
}

// Converts the input's current directory into a new directory of `out`:
// the picture as shown (rgba_bands.h), in strips of rows_request rows (no
// more than the image, in whole blocks). Returns 1, or 0 on failure;
// *rows_done is the number of image rows written to the output.
static int convert_to_ycbcr(TIFF* in, TIFF* out, uint32_t* rows_done)
{
    uint32_t width = 0, height = 0;
    *rows_done = 0;
    rgba_picture* picture = open_rgba_picture(in, &width, &height);
    if (picture == nullptr)
        return 0;
    set_fields(in, out, width, height);
    const uint32_t v = vert_subsampling;
    uint64_t rheight = ((uint64_t)height + v - 1) / v * v;
    uint32_t nrows = (uint64_t)(uint32_t)rows_request < rheight ? (uint32_t)rows_request
                                                                : (uint32_t)rheight;
    if (nrows == 0)
        nrows = 1;  // libtiff never chooses 0; a loop must still advance
    uint64_t bytes = strip_bytes(width, nrows);
    strip_writer* writer = open_strip_writer(out);
    int ok = bytes <= SIZE_MAX / 4 && write_rgba_picture(picture, writer, nrows, (size_t)bytes,
                                                         make_ycbcr_strip, nullptr, rows_done);
    if (!close_strip_writer(writer, rows_done))
        ok = 0;
    close_rgba_picture(picture);
    return ok;
}

// Reads a -h or -v factor: 1, 2 or 4, the factors TIFF allows; any other
// value is a usage error.
static uint16_t sampling_factor(const char* arg)
{
    int factor = atoi(arg);
    if (factor != 1 && factor != 2 && factor != 4)
        usage(-1);
    return (uint16_t)factor;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:h:r:v:z";
    answer_help_and_version(argc, argv, "chromatag", optstring);
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'c':
            if (!parse_exact_compression(optarg, COMPRESSION_ADOBE_DEFLATE, &scheme))
                usage(-1);
            break;
        case 'h':
            horiz_subsampling = sampling_factor(optarg);
            break;
        case 'r':
            rows_request = atoi(optarg);
            break;
        case 'v':
            vert_subsampling = sampling_factor(optarg);
            break;
        case 'z': {
            static const float studio[6] = {16, 235, 128, 240, 128, 240};
            memcpy(reference_black_white, studio, sizeof studio);
            break;
        }
        default:
            usage(-1);
        }
    }
    if (argc - optind < 2)
        usage(-1);
    print_error = TIFFSetErrorHandler(count_error);

    const char* out_name = argv[argc - 1];
    compression_settings coded = default_compression(scheme);
    TIFF* out = open_tiff_output_for_inputs(out_name, argv + optind, argc - 1 - optind, &coded,
                                            output_layout);
    if (out == nullptr)
        return -2;
    init_luma_tables();
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
            if (!convert_to_ycbcr(in, out, &rows_done)) {
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
