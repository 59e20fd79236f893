// cmapexpand: converts an 8-bit palette TIFF image into an RGB TIFF image
// of three 8-bit samples a pixel, interleaved or in separate planes.
//
//   cmapexpand [options] input.tif output.tif
//
// Every pixel is looked up in the input's colour map; 16-bit maps are
// scaled to 8 bits, 8-bit maps recognised and used as they are. The input's
// size, compression and descriptive fields are carried over. Only the first
// directory is converted, one scan line at a time.

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
    "usage: cmapexpand [options] input.tif output.tif",
    "where options are:",
    " -p contig\tpack samples contiguously (e.g. RGBRGB...)",
    " -p separate\tstore samples separately (e.g. RRR...GGG...BBB...)",
    " -r #\t\tmake each strip have no more than # rows",
    " -C 8\t\tassume 8-bit colormap values (instead of 16-bit)",
    " -C 16\t\tassume 16-bit colormap values",
    "",
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding",
    " -c zip[:opts]\tcompress output with deflate encoding",
    " -c jpeg[:opts]\tcompress output with JPEG encoding",
    " -c packbits\tcompress output with packbits encoding",
    " -c none\tuse no compression algorithm on output",
    "",
    "JPEG options:",
    " #\t\tset compression quality level (0-100, default 75)",
    " r\t\toutput color image as RGB rather than YCbCr",
    "",
    "LZW and deflate options:",
    " #\t\tset predictor value",
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing",
    nullptr,
};

// The fields carried over from the input: its size, bits per sample,
// compression, fill order, orientation and the descriptive fields. Those
// cmapexpand sets afterwards replace the copied values.
const tag_copy_entry tag_copy_table[] = {
    {TIFFTAG_IMAGEWIDTH, 1, TIFF_LONG},
    {TIFFTAG_IMAGELENGTH, 1, TIFF_LONG},
    {TIFFTAG_BITSPERSAMPLE, 1, TIFF_SHORT},
    {TIFFTAG_COMPRESSION, 1, TIFF_SHORT},
    {TIFFTAG_FILLORDER, 1, TIFF_SHORT},
    {TIFFTAG_ROWSPERSTRIP, 1, TIFF_LONG},
    {TIFFTAG_GROUP3OPTIONS, 1, TIFF_LONG},
    {TIFFTAG_SUBFILETYPE, 1, TIFF_LONG},
    {TIFFTAG_THRESHHOLDING, 1, TIFF_SHORT},
    {TIFFTAG_DOCUMENTNAME, 1, TIFF_ASCII},
    {TIFFTAG_IMAGEDESCRIPTION, 1, TIFF_ASCII},
    {TIFFTAG_MAKE, 1, TIFF_ASCII},
    {TIFFTAG_MODEL, 1, TIFF_ASCII},
    {TIFFTAG_ORIENTATION, 1, TIFF_SHORT},
    {TIFFTAG_MINSAMPLEVALUE, 1, TIFF_SHORT},
    {TIFFTAG_MAXSAMPLEVALUE, 1, TIFF_SHORT},
    {TIFFTAG_XRESOLUTION, 1, TIFF_RATIONAL},
    {TIFFTAG_YRESOLUTION, 1, TIFF_RATIONAL},
    {TIFFTAG_PAGENAME, 1, TIFF_ASCII},
    {TIFFTAG_XPOSITION, 1, TIFF_RATIONAL},
    {TIFFTAG_YPOSITION, 1, TIFF_RATIONAL},
    {TIFFTAG_GROUP4OPTIONS, 1, TIFF_LONG},
    {TIFFTAG_RESOLUTIONUNIT, 1, TIFF_SHORT},
    {TIFFTAG_PAGENUMBER, 2, TIFF_SHORT},
    {TIFFTAG_SOFTWARE, 1, TIFF_ASCII},
    {TIFFTAG_DATETIME, 1, TIFF_ASCII},
    {TIFFTAG_ARTIST, 1, TIFF_ASCII},
    {TIFFTAG_HOSTCOMPUTER, 1, TIFF_ASCII},
    {TIFFTAG_WHITEPOINT, 1, TIFF_RATIONAL},
    {TIFFTAG_PRIMARYCHROMATICITIES, -1, TIFF_RATIONAL},
    {TIFFTAG_HALFTONEHINTS, 2, TIFF_SHORT},
    {TIFFTAG_BADFAXLINES, 1, TIFF_LONG},
    {TIFFTAG_CLEANFAXDATA, 1, TIFF_SHORT},
    {TIFFTAG_CONSECUTIVEBADFAXLINES, 1, TIFF_LONG},
    {TIFFTAG_INKSET, 1, TIFF_SHORT},
    {TIFFTAG_INKNAMES, 1, TIFF_ASCII},
    {TIFFTAG_DOTRANGE, 2, TIFF_SHORT},
    {TIFFTAG_TARGETPRINTER, 1, TIFF_ASCII},
    {TIFFTAG_SAMPLEFORMAT, 1, TIFF_SHORT},
    {TIFFTAG_YCBCRCOEFFICIENTS, -1, TIFF_RATIONAL},
    {TIFFTAG_YCBCRSUBSAMPLING, 2, TIFF_SHORT},
    {TIFFTAG_YCBCRPOSITIONING, 1, TIFF_SHORT},
    {TIFFTAG_REFERENCEBLACKWHITE, -1, TIFF_RATIONAL},
};
const size_t tag_copy_table_size = sizeof tag_copy_table / sizeof tag_copy_table[0];

// Output planar configuration: -p contig (1) or -p separate (2).
static uint16_t output_planar = PLANARCONFIG_CONTIG;
// -C: 16 scales the map, any other number but -1 uses it as it is, -1
// (no -C) detects which it is.
static int32_t colormap_bits = -1;

// How a conversion ended.
enum conversion_end {
    ALL_ROWS,     // every row written
    READ_FAILED,  // a row could not be read; the rows before it are written
    WRITE_FAILED, // a row could not be written
};

// The colour map, red, green and blue, 256 entries each, as 8-bit values.
struct byte_maps {
    uint8_t red[256], green[256], blue[256];
};

// Returns 16 when any of the first n entries of the maps exceeds 255, else
// warns that the map is taken as 8-bit and returns 8.
static int colormap_depth(int n, const uint16_t* red, const uint16_t* green,
                          const uint16_t* blue)
{
    for (int i = 0; i < n; i++)
        if (red[i] > 255 || green[i] > 255 || blue[i] > 255)
            return 16;
    fprintf(stderr, "Warning, assuming 8-bit colormap.\n");
    return 8;
}

// The 8-bit values of the input's map: with 16-bit entries v × 255 / 65535
// (truncated), else the low 8 bits of each entry.
static byte_maps reduce_colormap(const uint16_t* red, const uint16_t* green,
                                 const uint16_t* blue)
{
    int bits = colormap_bits == -1 ? colormap_depth(256, red, green, blue) : colormap_bits;
    byte_maps maps;
    for (int i = 255; i >= 0; i--) {
        if (bits == 16) {
            maps.red[i] = (uint8_t)(red[i] * 255u / 65535u);
            maps.green[i] = (uint8_t)(green[i] * 255u / 65535u);
            maps.blue[i] = (uint8_t)(blue[i] * 255u / 65535u);
        } else {
            maps.red[i] = (uint8_t)red[i];
            maps.green[i] = (uint8_t)green[i];
            maps.blue[i] = (uint8_t)blue[i];
        }
    }
    return maps;
}

// Checks that the input is an 8-bit palette image with a colour map, and
// fetches the map's red, green and blue arrays (libtiff's own, 256
// entries each). Reports why an input does not do and returns false.
static bool check_input(TIFF* in, const char* name, uint16_t** red, uint16_t** green,
                        uint16_t** blue)
{
    uint16_t photometric = 0;
    if (!TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric) ||
        photometric != PHOTOMETRIC_PALETTE) {
        fprintf(stderr, "%s: Expecting a palette image.\n", name);
        return false;
    }
    if (!TIFFGetField(in, TIFFTAG_COLORMAP, red, green, blue) || *red == nullptr ||
        *green == nullptr || *blue == nullptr) {
        fprintf(stderr, "%s: No colormap (not a valid palette image).\n", name);
        return false;
    }
    uint16_t bits = 0;
    TIFFGetField(in, TIFFTAG_BITSPERSAMPLE, &bits);
    if (bits != 8) {
        fprintf(stderr, "%s: Sorry, can only handle 8-bit images.\n", name);
        return false;
    }
    return true;
}

// Copies the input's fields, then sets cmapexpand's own in their fixed
// order. Without -c the output keeps the input's compression, and
// compression->scheme takes that value.
static void set_fields(TIFF* out, TIFF* in, compression_settings* compression,
                       int32_t rows_request)
{
    copy_tags(in, out);
    if (compression->scheme != SCHEME_NOT_GIVEN) {
        TIFFSetField(out, TIFFTAG_COMPRESSION, compression->scheme);
    } else {
        uint16_t scheme = COMPRESSION_NONE;
        TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &scheme);
        compression->scheme = scheme;
    }
    if (compression->scheme == COMPRESSION_JPEG) {
        TIFFSetField(out, TIFFTAG_JPEGQUALITY, compression->jpeg_quality);
        TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, compression->jpeg_color_mode);
    } else if ((compression->scheme == COMPRESSION_LZW ||
                compression->scheme == COMPRESSION_DEFLATE) &&
               compression->predictor != 0) {
        TIFFSetField(out, TIFFTAG_PREDICTOR, compression->predictor);
    }
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC,
                 photometric_for(compression, PHOTOMETRIC_RGB, output_planar));
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, output_planar);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_rows(out, rows_request));
}

// Interleaved output: each row's indices (every `stride`-th byte of the
// input scan line) become red, green, blue triplets. Stops at the first
// failed read or write; *rows is the number of rows written.
static conversion_end expand_contig(TIFF* in, strip_writer* out, uint32_t width,
                                    uint32_t length, size_t stride, const byte_maps* maps,
                                    uint8_t* outbuf, uint32_t* rows)
{
    strip_reader* reader = open_strip_reader(in, "rm", 1, (size_t)width * stride);
    conversion_end end = reader == nullptr ? READ_FAILED : ALL_ROWS;
    for (*rows = 0; reader != nullptr && *rows < length; (*rows)++) {
        const uint8_t* index = read_strip_row(reader, *rows, 0);
        if (index == nullptr) {
            end = READ_FAILED;
            break;
        }
        uint8_t* rgb = outbuf;
        for (uint32_t x = 0; x < width; x++, index += stride, rgb += 3) {
            rgb[0] = maps->red[*index];
            rgb[1] = maps->green[*index];
            rgb[2] = maps->blue[*index];
        }
        if (write_strip_row(out, outbuf, *rows, 0) < 0) {
            end = WRITE_FAILED;
            break;
        }
    }
    close_strip_reader(reader);
    return end;
}

// Separate planes, written one after another: all rows of red, then of
// green, then of blue, reading the input once for each plane (libtiff
// keeps a strip of one plane whole only when its rows arrive in order).
// Stops at the first failed read or write; after a failed read *rows is
// the row that could not be read.
static conversion_end expand_separate(TIFF* in, strip_writer* out, uint32_t width,
                                      uint32_t length, size_t stride, const byte_maps* maps,
                                      uint8_t* outbuf, uint32_t* rows)
{
    const uint8_t* planes[3] = {maps->red, maps->green, maps->blue};
    conversion_end end = ALL_ROWS;
    *rows = 0;
    for (uint16_t plane = 0; end == ALL_ROWS && plane < 3; plane++) {
        const uint8_t* map = planes[plane];
        strip_reader* reader = open_strip_reader(in, "rm", 1, (size_t)width * stride);
        for (uint32_t row = 0; end == ALL_ROWS && row < length; row++) {
            const uint8_t* index = reader != nullptr ? read_strip_row(reader, row, 0) : nullptr;
            if (index == nullptr) {
                *rows = row;
                end = READ_FAILED;
                break;
            }
            for (uint32_t x = 0; x < width; x++, index += stride)
                outbuf[x] = map[*index];
            if (write_strip_row(out, outbuf, row, plane) < 0) {
                *rows = 0;
                end = WRITE_FAILED;
            }
        }
        close_strip_reader(reader);
    }
    if (end == ALL_ROWS)
        *rows = length;
    return end;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "C:c:p:r:";
    answer_help_and_version(argc, argv, "cmapexpand", optstring);
    compression_settings compression = default_compression(SCHEME_NOT_GIVEN);
    int32_t rows_request = -1;

    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'C':
            colormap_bits = atoi(optarg);
            break;
        case 'c':
            if (!parse_compression_option(optarg, &compression, ACCEPT_JPEG))
                usage(-1);
            break;
        case 'p':
            if (strcmp(optarg, "separate") == 0)
                output_planar = PLANARCONFIG_SEPARATE;
            else if (strcmp(optarg, "contig") == 0)
                output_planar = PLANARCONFIG_CONTIG;
            else
                usage(-1);
            break;
        case 'r':
            rows_request = atoi(optarg);
            break;
        default:
            usage(-1);
        }
    }
    if (argc - optind != 2)
        usage(-1);
    const char* in_name = argv[optind];
    const char* out_name = argv[optind + 1];

    // Read through plain reads, not a mapping of the whole file, so that
    // memory stays at a few rows whatever the input's size.
    TIFF* in = open_tiff_input(in_name, "rm");
    if (in == nullptr)
        return -1;
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!check_input(in, in_name, &red, &green, &blue)) {
        TIFFClose(in);
        return -1;
    }

    uint32_t width = 0, length = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
    // Without -c the output keeps the input's compression.
    compression_settings coded = compression;
    if (coded.scheme == SCHEME_NOT_GIVEN)
        TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &coded.scheme);
    directory_extent extent = {width, length, 3, copied_tags_bytes(in)};
    if (output_planar == PLANARCONFIG_CONTIG)
        extent = {3 * (uint64_t)width, length, 1, extent.field_bytes};
    uint64_t bytes_bound = directory_bytes_bound(&coded, &extent);
    note_input(in_name);
    TIFF* out = output_is_input(out_name) ? nullptr
                                          : open_tiff_output(out_name, "w", bytes_bound);
    if (out == nullptr) {
        TIFFClose(in);
        return -2;
    }
    set_fields(out, in, &compression, rows_request);
    byte_maps maps = reduce_colormap(red, green, blue);

    // The index of a pixel is its first sample: with interleaved input
    // samples every `stride`-th byte, else the bytes of plane 0.
    uint16_t samples = 1, in_planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &in_planar);
    size_t stride = in_planar == PLANARCONFIG_SEPARATE || samples == 0 ? 1 : samples;
    uint64_t out_needed = (uint64_t)width * (output_planar == PLANARCONFIG_SEPARATE ? 1 : 3);
    tmsize_t out_line = TIFFScanlineSize(out);
    uint8_t* outbuf = (uint8_t*)_TIFFmalloc(
        (tmsize_t)((uint64_t)out_line > out_needed ? (uint64_t)out_line : out_needed));

    uint32_t rows = 0;
    conversion_end end = READ_FAILED;
    bool written = true;
    strip_writer* writer = open_strip_writer(out);
    if (outbuf == nullptr) {
        fprintf(stderr, "%s: Not enough memory for a scanline.\n", in_name);
        close_strip_writer(writer, &rows);
    } else if (output_planar == PLANARCONFIG_CONTIG) {
        end = expand_contig(in, writer, width, length, stride, &maps, outbuf, &rows);
        written = close_strip_writer(writer, &rows);
    } else {
        end = expand_separate(in, writer, width, length, stride, &maps, outbuf, &rows);
        written = close_strip_writer(writer, &rows);
        if (end == READ_FAILED && rows > 0) {
            // The strips of each plane sit after those of the plane before,
            // so a shorter image needs its planes laid out anew: the output
            // is made again with the rows that could be read.
            close_tiff_output(out);
            out = open_tiff_output(out_name, "w", bytes_bound);
            uint32_t readable = rows;
            rows = 0;
            if (out != nullptr) {
                set_fields(out, in, &compression, rows_request);
                TIFFSetField(out, TIFFTAG_IMAGELENGTH, readable);
                uint32_t again = 0;
                writer = open_strip_writer(out);
                if (expand_separate(in, writer, width, readable, stride, &maps, outbuf,
                                    &again) == ALL_ROWS)
                    rows = readable;
                written = close_strip_writer(writer, &rows);
            }
        }
    }
    bool closed = false;
    if (out != nullptr) {
        if (rows < length)
            TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows);
        closed = close_tiff_output(out) && written;
    }
    if (rows == 0)
        remove_empty_output(out_name);
    _TIFFfree(outbuf);
    TIFFClose(in);
    return end == ALL_ROWS && closed ? 0 : 1;
}
