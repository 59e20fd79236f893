// greytag: converts an 8-bit RGB or palette TIFF image into an 8-bit grey
// (min-is-black) TIFF image.
//
//   greytag [options] input.tif output.tif
//
// Each grey value is a weighted sum of red, green and blue with integer
// weights in units of 1/256. Only the first directory is converted, one
// scan line at a time; the descriptive fields of the input are copied.

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
#include "tag_copy.h"
#include "tiff_input.h"
#include "tiff_output.h"
#include "usage.h"

const char* const help_lines[] = {
    "usage: greytag [options] input.tif output.tif",
    "where options are:",
    " -R %\t\tuse #% from red channel",
    " -G %\t\tuse #% from green channel",
    " -B %\t\tuse #% from blue channel",
    "",
    " -r #\t\tmake each strip have no more than # rows",
    "",
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding",
    " -c zip[:opts]\tcompress output with deflate encoding",
    " -c jpeg[:opts]\tcompress output with JPEG encoding",
    " -c packbits\tcompress output with packbits encoding",
    " -c none\tuse no compression algorithm on output",
    "",
    "JPEG options:",
    " #\t\tset compression quality level (0-100, default 75)",
    "",
    "LZW and deflate options:",
    " #\t\tset predictor value",
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing",
    nullptr,
};

// The descriptive fields carried over from the input. The fields that
// describe the pixel layout are greytag's own.
const tag_copy_entry tag_copy_table[] = {
    {TIFFTAG_SUBFILETYPE, 1, TIFF_LONG},
    {TIFFTAG_THRESHHOLDING, 1, TIFF_SHORT},
    {TIFFTAG_DOCUMENTNAME, 1, TIFF_ASCII},
    {TIFFTAG_IMAGEDESCRIPTION, 1, TIFF_ASCII},
    {TIFFTAG_MAKE, 1, TIFF_ASCII},
    {TIFFTAG_MODEL, 1, TIFF_ASCII},
    {TIFFTAG_MINSAMPLEVALUE, 1, TIFF_SHORT},
    {TIFFTAG_MAXSAMPLEVALUE, 1, TIFF_SHORT},
    {TIFFTAG_XRESOLUTION, 1, TIFF_RATIONAL},
    {TIFFTAG_YRESOLUTION, 1, TIFF_RATIONAL},
    {TIFFTAG_PAGENAME, 1, TIFF_ASCII},
    {TIFFTAG_XPOSITION, 1, TIFF_RATIONAL},
    {TIFFTAG_YPOSITION, 1, TIFF_RATIONAL},
    {TIFFTAG_RESOLUTIONUNIT, 1, TIFF_SHORT},
    {TIFFTAG_SOFTWARE, 1, TIFF_ASCII},
    {TIFFTAG_DATETIME, 1, TIFF_ASCII},
    {TIFFTAG_ARTIST, 1, TIFF_ASCII},
    {TIFFTAG_HOSTCOMPUTER, 1, TIFF_ASCII},
    {TIFFTAG_WHITEPOINT, 1, TIFF_RATIONAL},
    {TIFFTAG_PRIMARYCHROMATICITIES, -1, TIFF_RATIONAL},
    {TIFFTAG_HALFTONEHINTS, 2, TIFF_SHORT},
    {TIFFTAG_INKSET, 1, TIFF_SHORT},
    {TIFFTAG_DOTRANGE, 2, TIFF_SHORT},
    {TIFFTAG_TARGETPRINTER, 1, TIFF_ASCII},
    {TIFFTAG_SAMPLEFORMAT, 1, TIFF_SHORT},
    {TIFFTAG_YCBCRCOEFFICIENTS, -1, TIFF_RATIONAL},
    {TIFFTAG_YCBCRSUBSAMPLING, 2, TIFF_SHORT},
    {TIFFTAG_YCBCRPOSITIONING, 1, TIFF_SHORT},
    {TIFFTAG_REFERENCEBLACKWHITE, -1, TIFF_RATIONAL},
    {TIFFTAG_EXTRASAMPLES, -1, TIFF_SHORT},
    {TIFFTAG_SMINSAMPLEVALUE, 1, TIFF_DOUBLE},
    {TIFFTAG_SMAXSAMPLEVALUE, 1, TIFF_DOUBLE},
    {TIFFTAG_STONITS, 1, TIFF_DOUBLE},
};
const size_t tag_copy_table_size = sizeof tag_copy_table / sizeof tag_copy_table[0];

// Weights in units of 1/256; -R 30 -G 59 -B 11 give these.
static int32_t red_weight = 77;
static int32_t green_weight = 151;
static int32_t blue_weight = 29;

// How a conversion ended.
enum conversion_end {
    ALL_ROWS,      // every row written
    STOPPED,       // a read or write failed; the rows before it are written
    PLANE_FAILED,  // reading a plane of separate-plane RGB failed
};

// The weight for a percentage: (p × 255 + 127) / 100 in 32-bit arithmetic,
// which wraps for percentages beyond about ±8 million.
static int32_t weight_for(const char* percentage)
{
    uint32_t scaled = (uint32_t)atoi(percentage) * 255u + 127u;
    return (int32_t)scaled / 100;
}

// Bits 8 to 15 of red_weight × r + green_weight × g + blue_weight × b:
// no rounding, no clamping; a sum beyond 16 bits wraps. Unsigned 32-bit
// arithmetic gives the same low bits as the signed sum.
static inline uint8_t grey_of(uint32_t r, uint32_t g, uint32_t b)
{
    return (uint8_t)(((uint32_t)red_weight * r + (uint32_t)green_weight * g +
                      (uint32_t)blue_weight * b) >> 8);
}

// One row of interleaved RGB (3 × width bytes) to width grey bytes.
static void grey_from_rgb_contig(uint8_t* out, const uint8_t* in, uint32_t width)
{
    for (uint32_t x = 0; x < width; x++, in += 3)
        out[x] = grey_of(in[0], in[1], in[2]);
}

// One row held as three planes of width bytes each to width grey bytes.
static void grey_from_rgb_planes(uint8_t* out, const uint8_t* red, const uint8_t* green,
                                 const uint8_t* blue, uint32_t width)
{
    for (uint32_t x = 0; x < width; x++)
        out[x] = grey_of(red[x], green[x], blue[x]);
}

// One row of width palette indices to grey through the three maps (256
// entries each, already reduced to 8-bit values).
static void grey_from_palette(uint8_t* out, const uint8_t* in, uint32_t width,
                              const uint16_t* redmap, const uint16_t* greenmap,
                              const uint16_t* bluemap)
{
    for (uint32_t x = 0; x < width; x++)
        out[x] = grey_of(redmap[in[x]], greenmap[in[x]], bluemap[in[x]]);
}

// Returns 16 when any of the first n entries of the maps exceeds 255, else
// warns that the map is taken as 8-bit and returns 8.
static int colormap_depth(TIFF* in, int n, const uint16_t* red, const uint16_t* green,
                          const uint16_t* blue)
{
    for (int i = 0; i < n; i++)
        if (red[i] > 255 || green[i] > 255 || blue[i] > 255)
            return 16;
    TIFFWarning(TIFFFileName(in), "Assuming 8-bit colormap");
    return 8;
}

// Scales 16-bit map entries to 8 bits: v × 255 / 65535, truncated.
static void scale_colormap(int n, uint16_t* red, uint16_t* green, uint16_t* blue)
{
    for (int i = n - 1; i >= 0; i--) {
        red[i] = (uint16_t)(red[i] * 255u / 65535u);
        green[i] = (uint16_t)(green[i] * 255u / 65535u);
        blue[i] = (uint16_t)(blue[i] * 255u / 65535u);
    }
}

// Checks that the input is 8-bit RGB of three samples a pixel or 8-bit
// palette of one, and fetches its photometric interpretation and, for a
// palette image, its colour map into `maps` (red, green, blue, 256 entries
// each). Reports why an input does not do and returns false.
static bool check_input(TIFF* in, const char* name, uint16_t* photometric, uint16_t* maps)
{
    TIFFGetField(in, TIFFTAG_PHOTOMETRIC, photometric);
    if (*photometric != PHOTOMETRIC_RGB && *photometric != PHOTOMETRIC_PALETTE) {
        fprintf(stderr, "%s: Bad photometric; can only handle RGB and Palette images.\n", name);
        return false;
    }
    // RGB needs three samples a pixel, a palette index one.
    uint16_t samples = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (samples != (*photometric == PHOTOMETRIC_RGB ? 3 : 1)) {
        fprintf(stderr, "%s: Bad samples/pixel %u.\n", name, (unsigned)samples);
        return false;
    }
    uint16_t bits = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
    if (bits != 8) {
        fprintf(stderr, " %s: Sorry, only handle 8-bit samples.\n", name);
        return false;
    }
    if (*photometric == PHOTOMETRIC_PALETTE) {
        uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (!TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue) || red == nullptr ||
            green == nullptr || blue == nullptr) {
            fprintf(stderr, "%s: No colormap (not a valid palette image).\n", name);
            return false;
        }
        memcpy(maps, red, 256 * sizeof(uint16_t));
        memcpy(maps + 256, green, 256 * sizeof(uint16_t));
        memcpy(maps + 512, blue, 256 * sizeof(uint16_t));
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

// Sets the output fields in their fixed order, the input's descriptive
// fields among them, all but the rows per strip.
static void set_fields(TIFF* out, TIFF* in, const char* in_name, uint32_t width,
                       uint32_t length, const compression_settings* compression)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, length);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    copy_tags(in, out);
    if (compression->scheme != SCHEME_NOT_GIVEN)
        apply_compression(out, compression);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    char* description = text_with_name("B&W version of ", in_name);
    if (description != nullptr)
        TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, description);
    free(description);
    TIFFSetField(out, TIFFTAG_SOFTWARE, "greytag");
}

// Converts rows 0 to length - 1, stopping at the first failed read or
// write; the rows come from `in` (a row of each plane for separate-plane
// RGB). Returns the rows written in *rows and how the conversion ended.
static conversion_end convert_rows(strip_reader* in, strip_writer* out, uint16_t photometric,
                                   uint16_t planar, uint32_t width, uint32_t length,
                                   uint8_t* outbuf, const uint16_t* maps, uint32_t* rows)
{
    int key = photometric * 256 + planar;
    for (*rows = 0; *rows < length; (*rows)++) {
        uint32_t row = *rows;
        const uint8_t* planes[3];
        switch (key) {
        case 0x201:
            if ((planes[0] = read_strip_row(in, row, 0)) == nullptr)
                return STOPPED;
            grey_from_rgb_contig(outbuf, planes[0], width);
            break;
        case 0x202:
            for (uint16_t s = 0; s < 3; s++)
                if ((planes[s] = read_strip_row(in, row, s)) == nullptr)
                    return PLANE_FAILED;
            grey_from_rgb_planes(outbuf, planes[0], planes[1], planes[2], width);
            break;
        case 0x301:
        case 0x302:
            if ((planes[0] = read_strip_row(in, row, 0)) == nullptr)
                return STOPPED;
            grey_from_palette(outbuf, planes[0], width, maps, maps + 256, maps + 512);
            break;
        default:
            return STOPPED;
        }
        if (write_strip_row(out, outbuf, row, 0) < 0)
            return STOPPED;
    }
    return ALL_ROWS;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:r:R:G:B:";
    answer_help_and_version(argc, argv, "greytag", optstring);
    compression_settings compression = default_compression(SCHEME_NOT_GIVEN);
    int32_t rows_request = -1;

    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'c':
            if (!parse_compression_option(optarg, &compression, ACCEPT_JPEG))
                usage(-1);
            break;
        case 'r':
            rows_request = atoi(optarg);
            break;
        case 'R':
            red_weight = weight_for(optarg);
            break;
        case 'G':
            green_weight = weight_for(optarg);
            break;
        case 'B':
            blue_weight = weight_for(optarg);
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
    uint16_t photometric = 0;
    // The map, copied out of the input: red, green, blue, 256 entries each.
    static uint16_t maps[3 * 256];
    if (!check_input(in, in_name, &photometric, maps)) {
        TIFFClose(in);
        return -1;
    }
    uint32_t width = 0, length = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
    // Each row as the conversion takes it: three bytes a pixel for
    // interleaved RGB, else one a plane.
    bool separate_rgb = photometric == PHOTOMETRIC_RGB && planar == PLANARCONFIG_SEPARATE;
    bool contig_rgb = photometric == PHOTOMETRIC_RGB && planar == PLANARCONFIG_CONTIG;
    strip_reader* reader =
        open_strip_reader(in, "rm", separate_rgb ? 3 : 1, (contig_rgb ? 3 : 1) * (size_t)width);
    if (reader == nullptr) {
        TIFFClose(in);
        return -1;
    }

    note_input(in_name);
    // Without -c the output is not compressed.
    compression_settings coded = compression;
    if (coded.scheme == SCHEME_NOT_GIVEN)
        coded.scheme = COMPRESSION_NONE;
    directory_extent extent = {width, length, 1, copied_tags_bytes(in)};
    TIFF* out = output_is_input(out_name)
                    ? nullptr
                    : open_tiff_output(out_name, "w", directory_bytes_bound(&coded, &extent));
    if (out == nullptr) {
        close_strip_reader(reader);
        TIFFClose(in);
        return -1;
    }
    set_fields(out, in, in_name, width, length, &compression);
    tmsize_t out_line = TIFFScanlineSize(out);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_rows(out, rows_request));

    if (photometric == PHOTOMETRIC_PALETTE &&
        colormap_depth(in, 256, maps, maps + 256, maps + 512) == 16)
        scale_colormap(256, maps, maps + 256, maps + 512);

    uint64_t out_size = (uint64_t)out_line > width ? (uint64_t)out_line : width;
    uint8_t* outbuf = (uint8_t*)_TIFFmalloc((tmsize_t)out_size);
    uint32_t rows = 0;
    conversion_end end = STOPPED;
    strip_writer* writer = open_strip_writer(out);
    if (outbuf == nullptr)
        fprintf(stderr, "%s: Not enough memory for a scanline.\n", in_name);
    else
        end = convert_rows(reader, writer, photometric, planar, width, length, outbuf, maps,
                           &rows);

    bool written = close_strip_writer(writer, &rows);
    if (rows < length)
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows);
    bool closed = close_tiff_output(out) && written;
    if (rows == 0 && length > 0)
        remove_empty_output(out_name);
    close_strip_reader(reader);
    TIFFClose(in);
    _TIFFfree(outbuf);
    if (end == PLANE_FAILED)
        return -1;
    return end == ALL_ROWS && closed ? 0 : 1;
}
