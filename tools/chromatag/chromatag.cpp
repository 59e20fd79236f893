// chromatag: converts every directory of one or more TIFF files into an
// 8-bit YCbCr directory with subsampled chrominance, all in one output.
//
//   chromatag [-c comp] [-r rows] [-h N] [-v N] [-z] input... output
//
// Each directory is rendered whole into an RGBA raster by libtiff, then
// converted here: luma from single-precision tables, chroma averaged over
// each block of h x v pixels, packed in blocks of h x v luma codes
// followed by one Cb and one Cr code, and written strip by strip.

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <tiffio.h>

#include "compress_options.h"
#include "partial_output.h"
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

// Conversion tables, built by init_luma_tables.
static float luma_red[256];
static float luma_green[256];
static float luma_blue[256];
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

// Fills `table` with i x coefficient for every 8-bit level i.
static void make_luma_table(float* table, float coefficient)
{
    for (int i = 0; i < 256; i++)
        table[i] = (float)i * coefficient;
}

// The code of `value` on a scale of `width` steps between the references
// `black` and `white`, rounded to nearest; a code outside 0..255 becomes
// 255.
static unsigned char encode_level(float value, float black, float white, int width)
{
    int code = (int)(black + (white - black) * value / width + 0.5);
    return code < 0 || code > 255 ? 255 : (unsigned char)code;
}

// Builds the luma tables, the chroma scales and y_pad from the
// coefficients and references.
static void init_luma_tables()
{
    make_luma_table(luma_red, ycbcr_coefficients[0]);
    make_luma_table(luma_green, ycbcr_coefficients[1]);
    make_luma_table(luma_blue, ycbcr_coefficients[2]);
    cb_scale = 1.0F / (2 - 2 * ycbcr_coefficients[2]);
    cr_scale = 1.0F / (2 - 2 * ycbcr_coefficients[0]);
    y_pad = encode_level(0, reference_black_white[0], reference_black_white[1], 255);
}

// Converts the block of `rows` x `cols` pixels (at most v x h) whose top
// left pixel is raster[first]; the raster runs bottom-up, `raster_width`
// pixels a row. Stores the block's h x v luma codes (y_pad where the block
// passes the image edge), then its Cb and Cr, at `out`; returns the byte
// after them.
static unsigned char* convert_block(unsigned char* out, const uint32_t* raster, uint64_t first,
                                    uint32_t rows, uint32_t cols, uint32_t raster_width)
{
    float cb = 0, cr = 0;
    for (uint32_t j = 0; j < rows; j++) {
        const uint32_t* pixel = raster + (first - (uint64_t)j * raster_width);
        for (uint32_t k = 0; k < cols; k++) {
            uint32_t rgba = pixel[k];
            int r = (int)TIFFGetR(rgba), g = (int)TIFFGetG(rgba), b = (int)TIFFGetB(rgba);
            float y = luma_red[r] + luma_green[g] + luma_blue[b];
            cb += ((float)b - y) * cb_scale;
            cr += ((float)r - y) * cr_scale;
            *out++ = encode_level(y, reference_black_white[0], reference_black_white[1], 255);
        }
        for (uint32_t k = cols; k < horiz_subsampling; k++)
            *out++ = y_pad;
    }
    for (uint32_t j = rows; j < vert_subsampling; j++)
        for (uint32_t k = 0; k < horiz_subsampling; k++)
            *out++ = y_pad;
    int pixels = (int)(rows * cols);
    *out++ = encode_level(cb / pixels, reference_black_white[2], reference_black_white[3], 127);
    *out++ = encode_level(cr / pixels, reference_black_white[4], reference_black_white[5], 127);
    return out;
}

// Packs `nrows` image rows of `width` pixels into `out`, block row after
// block row; `top_row` is the raster row of the first (top) image row.
// The last block row may have fewer than v rows.
static void convert_strip(unsigned char* out, const uint32_t* raster, uint64_t top_row,
                          uint32_t nrows, uint32_t width)
{
    const uint32_t h = horiz_subsampling, v = vert_subsampling;
    for (uint32_t done = 0; done < nrows; done += v) {
        uint32_t rows = nrows - done < v ? nrows - done : v;
        uint64_t first = (top_row - done) * width;
        uint32_t x = 0;
        for (; width - x >= h; x += h)
            out = convert_block(out, raster, first + x, rows, h, width);
        if (x < width)
            out = convert_block(out, raster, first + x, rows, width - x, width);
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
// block rows of the subsampled samples.
static void output_layout(TIFF* in, directory_extent* extent)
{
    uint32_t width = 0, length = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    extent->row_bytes = strip_bytes(width, vert_subsampling);
    extent->rows = ((uint64_t)length + vert_subsampling - 1) / vert_subsampling;
}

// Writes the bottom-up `raster` of width x height pixels as strips of
// rows_request rows (no more than the image, in whole blocks). Returns 1,
// or 0 when a strip cannot be written; *rows_done is the number of image
// rows written.
static int write_ycbcr_strips(TIFF* out, const uint32_t* raster, uint32_t width, uint32_t height,
                              uint32_t* rows_done)
{
    const uint32_t v = vert_subsampling;
    uint64_t rheight = ((uint64_t)height + v - 1) / v * v;
    uint32_t nrows = (uint64_t)(uint32_t)rows_request < rheight ? (uint32_t)rows_request
                                                                : (uint32_t)rheight;
    if (nrows == 0)
        nrows = 1;  // libtiff never chooses 0; a loop must still advance
    unsigned char* buffer = (unsigned char*)_TIFFmalloc((tmsize_t)strip_bytes(width, nrows));
    if (buffer == nullptr) {
        TIFFError(TIFFFileName(out), "No space for strip buffer");
        return 0;
    }
    strip_writer* writer = open_strip_writer(out);
    uint32_t strip = 0;
    int ok = 1;
    for (uint32_t y = height; y > 0; y -= y < nrows ? y : nrows, strip++) {
        uint32_t n = y < nrows ? y : nrows;
        convert_strip(buffer, raster, (uint64_t)y - 1, n, width);
        if (write_whole_strip(writer, strip, buffer, (tmsize_t)strip_bytes(width, n)) < 0) {
            ok = 0;
            break;
        }
        *rows_done = height - y + n;
    }
    if (!close_strip_writer(writer, rows_done))
        ok = 0;
    _TIFFfree(buffer);
    return ok;
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

// Converts the input's current directory into a new directory of `out`.
// Returns 1, or 0 on failure; *rows_done is the number of image rows
// written to the output.
static int convert_to_ycbcr(TIFF* in, TIFF* out, uint32_t* rows_done)
{
    uint32_t width = 0, height = 0;
    *rows_done = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &height);
    // The raster is indexed with 32-bit arithmetic by libtiff's renderers:
    // an image too large for that is refused whatever its data. Otherwise
    // the raster holds the rows the data can hold. Its zeros come from
    // calloc: nothing unset reaches the output.
    uint64_t size = (uint64_t)width * height * 4;
    if (size == 0 || size > UINT32_MAX) {
        TIFFError(TIFFFileName(in), "No space for raster buffer");
        return 0;
    }
    if (!keep_rows_with_data(in, &height))
        return 0;
    uint32_t* raster = (uint32_t*)calloc((size_t)width * height * 4, 1);
    if (raster == nullptr) {
        TIFFError(TIFFFileName(in), "No space for raster buffer");
        return 0;
    }
    if (!TIFFReadRGBAImage(in, width, height, raster, 0)) {
        free(raster);
        return 0;
    }
    set_fields(in, out, width, height);
    int ok = write_ycbcr_strips(out, raster, width, height, rows_done);
    free(raster);
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
