// anymaptag: converts a PBM, PGM or PPM image, binary or plain, into a
// TIFF file.
//
//   anymaptag [options] [input.ppm] output.tif
//
// The header is read and checked, the output directory set up, then the
// raster is copied row by row through the strip writer. Samples of a
// maximum value of 255 (and bits) are copied as they are; those of a
// smaller maximum are scaled to 8 bits, those of a larger one to 16 bits;
// plain (text) rasters are read number by number.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <tiffio.h>

#include "compress_options.h"
#include "file_identity.h"
#include "partial_output.h"
#include "strip_writer.h"
#include "tiff_output.h"
#include "usage.h"

const char* const help_lines[] = {
    "usage: anymaptag [options] input.ppm output.tif",
    "where options are:",
    " -r #\t\tmake each strip have no more than # rows",
    " -R #\t\tset x&y resolution (dpi)",
    "",
    " -c jpeg[:opts]  compress output with JPEG encoding",
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding",
    " -c zip[:opts]\tcompress output with deflate encoding",
    " -c packbits\tcompress output with packbits encoding (the default)",
    " -c g3[:opts]  compress output with CCITT Group 3 encoding",
    " -c g4         compress output with CCITT Group 4 encoding",
    " -c none\tuse no compression algorithm on output",
    "",
    "JPEG options:",
    " #\t\tset compression quality level (0-100, default 75)",
    " r\t\toutput color image as RGB rather than YCbCr",
    "LZW and deflate options:",
    " #\t\tset predictor value",
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing",
    nullptr,
};

// What the header says about the image.
struct anymap_header {
    uint32_t width;
    uint32_t height;
    uint16_t bits_per_sample;    // of the output: 1, 8 or 16
    uint16_t samples_per_pixel;
    uint16_t photometric;
    bool plain;                  // P1, P2, P3: the raster is decimal text
    uint32_t max_value;          // 1 for P1 and P4
    uint64_t row_bytes;          // one output row
    uint64_t input_row_bytes;    // one binary input row; the fewest a plain one takes
};

// Sample values of the input, as they go into the output: v x 255 /
// maximum (8 bits) or v x 65535 / maximum (16 bits), rounded; values above
// the maximum count as the maximum.
static uint16_t sample_scale[65536];

// Reports a malformed header and ends the program with -2.
[[noreturn]] static void report_bad_header(const char* name)
{
    fprintf(stderr, "%s: Not a PPM file.\n", name);
    exit(-2);
}

// Skips the separators and comments between the magic number and the width.
// Ends the program at end of file.
static void skip_separators(FILE* in, const char* name)
{
    for (;;) {
        int c = getc(in);
        if (c == EOF)
            report_bad_header(name);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '#') {
            do
                c = getc(in);
            while (c != EOF && c != '\r' && c != '\n');
            continue;
        }
        ungetc(c, in);
        return;
    }
}

// Reads an unsigned decimal number after optional white space. Returns 0
// when there is no number or it does not fit 32 bits.
static int read_number(FILE* in, uint32_t* value)
{
    int c;
    do
        c = getc(in);
    while (c == ' ' || (c >= '\t' && c <= '\r'));
    if (c == '+')
        c = getc(in);
    if (c < '0' || c > '9') {
        if (c != EOF)
            ungetc(c, in);
        return 0;
    }
    uint64_t v = 0;
    for (; c >= '0' && c <= '9'; c = getc(in)) {
        v = v * 10 + (uint64_t)(c - '0');
        if (v > UINT32_MAX)
            return 0;
    }
    if (c != EOF)
        ungetc(c, in);
    *value = (uint32_t)v;
    return 1;
}

// Reads the header up to and including the character that ends it: a
// binary image's single line feed, a plain one's single white-space
// character. Any fault ends the program through report_bad_header.
static anymap_header read_header(FILE* in, const char* name)
{
    anymap_header h = {0, 0, 8, 1, PHOTOMETRIC_MINISBLACK, false, 1, 0, 0};
    if (getc(in) != 'P')
        report_bad_header(name);
    int magic = getc(in);
    h.plain = magic >= '1' && magic <= '3';
    switch (h.plain ? magic + 3 : magic) {
    case '4':
        h.bits_per_sample = 1;
        h.photometric = PHOTOMETRIC_MINISWHITE;
        break;
    case '5':
        break;
    case '6':
        h.samples_per_pixel = 3;
        h.photometric = PHOTOMETRIC_RGB;
        break;
    default:
        report_bad_header(name);
    }
    skip_separators(in, name);
    if (!read_number(in, &h.width) || !read_number(in, &h.height))
        report_bad_header(name);
    if (h.bits_per_sample == 8) {
        if (!read_number(in, &h.max_value) || h.max_value == 0 || h.max_value > 65535)
            report_bad_header(name);
        if (h.max_value > 255)
            h.bits_per_sample = 16;
    }
    int end = getc(in);
    bool ended = h.plain ? end == ' ' || (end >= '\t' && end <= '\r') : end == '\n';
    if (!ended || h.width == 0 || h.height == 0)
        report_bad_header(name);
    uint64_t samples = (uint64_t)h.samples_per_pixel * h.width;
    if (h.bits_per_sample == 1)
        h.row_bytes = ((uint64_t)h.width + 7) / 8;
    else
        h.row_bytes = samples * (h.bits_per_sample / 8);
    if (h.row_bytes > INT32_MAX)
        report_bad_header(name);
    // A plain sample is a digit and a separator, but the file's last one
    // needs none; a plain bit is one digit.
    if (!h.plain)
        h.input_row_bytes = h.row_bytes;
    else
        h.input_row_bytes = h.bits_per_sample == 1 ? h.width : 2 * samples - 1;
    return h;
}

// Fills sample_scale for the header's maximum value: the samples the
// output holds are 8 bits wide up to a maximum of 255, else 16.
static void compute_sample_scale(const anymap_header* h)
{
    uint32_t top = h->bits_per_sample == 16 ? 65535 : 255;
    for (uint32_t v = 0; v <= top; v++)
        sample_scale[v] = v >= h->max_value
                              ? (uint16_t)top
                              : (uint16_t)(((uint64_t)v * top + h->max_value / 2) / h->max_value);
}

// The next character of a plain raster that is neither white space nor
// part of a comment (from '#' to the end of its line); EOF at the end.
static int next_plain_char(FILE* in)
{
    for (;;) {
        int c = getc(in);
        if (c == '#') {
            do
                c = getc(in);
            while (c != EOF && c != '\r' && c != '\n');
        } else if (c != ' ' && (c < '\t' || c > '\r')) {
            return c;
        }
    }
}

// Reads one plain sample: a digit 0 or 1 for a bit, else a decimal number
// (taken as the maximum value when above it). Returns the value, -1 at the
// end of the file, -2 for a character that starts no sample.
static int32_t read_plain_sample(FILE* in, const anymap_header* h)
{
    int c = next_plain_char(in);
    if (c == EOF)
        return -1;
    if (h->bits_per_sample == 1)
        return c == '0' || c == '1' ? c - '0' : -2;
    if (c < '0' || c > '9')
        return -2;
    uint32_t v = 0;
    for (; c >= '0' && c <= '9'; c = getc(in))
        v = v > h->max_value ? v : v * 10 + (uint32_t)(c - '0');
    if (c != EOF)
        ungetc(c, in);
    return (int32_t)(v > h->max_value ? h->max_value : v);
}

// Reads one row of a plain raster into `row` as the output holds it: bits
// packed most significant first, or samples through sample_scale. Returns
// nullptr, or what stopped the row.
static const char* read_plain_row(FILE* in, const anymap_header* h, unsigned char* row)
{
    uint64_t samples = (uint64_t)h->samples_per_pixel * h->width;
    if (h->bits_per_sample == 1)
        memset(row, 0, (size_t)h->row_bytes);
    uint16_t* wide = (uint16_t*)row;
    for (uint64_t i = 0; i < samples; i++) {
        int32_t v = read_plain_sample(in, h);
        if (v < 0)
            return v == -1 ? "Read error." : "Bad sample value.";
        if (h->bits_per_sample == 1)
            row[i / 8] |= (unsigned char)(v << (7 - i % 8));
        else if (h->bits_per_sample == 8)
            row[i] = (unsigned char)sample_scale[v];
        else
            wide[i] = sample_scale[v];
    }
    return nullptr;
}

// Reads the next raster row into `row` as the output holds it: binary
// rows of bits or of samples up to 255 as they are, other samples through
// sample_scale (two bytes each, most significant first, when the maximum
// is above 255). Returns nullptr, or what stopped the row.
static const char* read_row(FILE* in, const anymap_header* h, unsigned char* row)
{
    if (h->plain)
        return read_plain_row(in, h, row);
    if (fread(row, 1, (size_t)h->input_row_bytes, in) != h->input_row_bytes)
        return "Read error.";
    if (h->bits_per_sample == 16) {
        uint16_t* wide = (uint16_t*)row;
        for (uint64_t i = 0; i < h->row_bytes / 2; i++)
            wide[i] = sample_scale[row[2 * i] << 8 | row[2 * i + 1]];
    } else if (h->bits_per_sample == 8 && h->max_value != 255) {
        for (uint64_t i = 0; i < h->row_bytes; i++)
            row[i] = (unsigned char)sample_scale[row[i]];
    }
    return nullptr;
}

// Ends the program with -1, after saying so, when the output's compression
// cannot take the header's samples: JPEG and the fax codings take no
// 16-bit samples.
static void refuse_unsupported_samples(const anymap_header* h, const char* name,
                                       const compression_settings* compression)
{
    const char* scheme = compression->scheme == COMPRESSION_JPEG        ? "JPEG"
                         : compression->scheme == COMPRESSION_CCITTFAX3 ? "CCITT Group 3"
                         : compression->scheme == COMPRESSION_CCITTFAX4 ? "CCITT Group 4"
                                                                       : nullptr;
    if (h->bits_per_sample != 16 || scheme == nullptr)
        return;
    fprintf(stderr, "%s: 16-bit samples (maxval %lu) cannot be compressed with %s.\n", name,
            (unsigned long)h->max_value, scheme);
    exit(-1);
}

// Sets the fields of the output directory in their fixed order.
static void set_fields(TIFF* out, const anymap_header* h, uint32_t height,
                       const compression_settings* compression, int32_t rows_request)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, h->width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, h->samples_per_pixel);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, h->bits_per_sample);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC,
                 photometric_for(compression, h->photometric, PLANARCONFIG_CONTIG));
    apply_compression(out, compression);
    if (h->bits_per_sample == 1 && rows_request == -1)
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, height);
    else
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_rows(out, rows_request));
}

// Copies the raster row by row. Returns the number of rows written; a short
// read or a bad plain sample is reported, a failed write was reported by
// libtiff.
static uint32_t copy_rows(FILE* in, const char* name, strip_writer* out,
                          const anymap_header* h, unsigned char* row)
{
    uint32_t done = 0;
    for (; done < h->height; done++) {
        const char* fault = read_row(in, h, row);
        if (fault != nullptr) {
            fprintf(stderr, "%s: scanline %lu: %s\n", name, (unsigned long)done, fault);
            break;
        }
        if (write_strip_row(out, row, done, 0) < 0)
            break;
    }
    return done;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:r:R:";
    answer_help_and_version(argc, argv, "anymaptag", optstring);
    compression_settings compression = default_compression(COMPRESSION_PACKBITS);
    int32_t rows_request = -1;
    double resolution = -1.0;

    if (argc <= 1) {
        fprintf(stderr, "%s: Too few arguments\n", argv[0]);
        usage(-1);
    }
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'c':
            if (!parse_compression_option(optarg, &compression,
                                          ACCEPT_JPEG | ACCEPT_GROUP3 | RESET_GROUP3))
                usage(-1);
            break;
        case 'r':
            rows_request = atoi(optarg);
            break;
        case 'R':
            resolution = atof(optarg);
            break;
        default:
            usage(-1);
        }
    }
    if (optind + 2 < argc) {
        fprintf(stderr, "%s: Too many arguments\n", argv[0]);
        usage(-1);
    }
    if (optind >= argc)
        usage(-1);

    FILE* in = stdin;
    const char* in_name = "<stdin>";
    if (argc - optind >= 2) {
        in_name = argv[optind++];
        in = fopen(in_name, "rb");
        if (in == nullptr) {
            fprintf(stderr, "%s: Can not open.\n", in_name);
            return -1;
        }
    }
    note_input_descriptor(fileno(in), in_name);
    // Rows are read in large blocks rather than a few kilobytes at a time.
    static char in_buffer[256 * 1024];
    setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
    anymap_header h = read_header(in, in_name);
    refuse_unsupported_samples(&h, in_name, &compression);
    if (h.bits_per_sample != 1 && (h.plain || h.max_value != 255))
        compute_sample_scale(&h);

    // The output's length: the rows the file can still hold, when fewer
    // than the header claims (the copy reports the first missing row).
    uint32_t height = rows_input_can_hold(in, h.input_row_bytes, 1, h.height);
    if (height == 0)
        height = 1;
    if (output_is_input(argv[optind]))
        return -4;
    directory_extent extent = {h.row_bytes, height, 1, 0};
    TIFF* out = open_tiff_output(argv[optind], "w", directory_bytes_bound(&compression, &extent));
    if (out == nullptr)
        return -4;
    set_fields(out, &h, height, &compression, rows_request);
    tmsize_t line_size = TIFFScanlineSize(out);
    tmsize_t buffer_size = (tmsize_t)h.row_bytes > line_size ? (tmsize_t)h.row_bytes : line_size;
    unsigned char* row = (unsigned char*)_TIFFmalloc(buffer_size);
    if (resolution > 0) {
        TIFFSetField(out, TIFFTAG_XRESOLUTION, resolution);
        TIFFSetField(out, TIFFTAG_YRESOLUTION, resolution);
        TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }

    uint32_t rows_written = 0;
    strip_writer* writer = open_strip_writer(out);
    if (row == nullptr)
        fprintf(stderr, "%s: Not enough memory for a scanline.\n", in_name);
    else
        rows_written = copy_rows(in, in_name, writer, &h, row);
    bool written = close_strip_writer(writer, &rows_written);
    if (rows_written < height)
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows_written);
    bool closed = close_tiff_output(out) && written;
    if (rows_written == 0)
        remove_empty_output(argv[optind]);
    _TIFFfree(row);
    if (in != stdin)
        fclose(in);
    return rows_written < h.height || !closed ? 1 : 0;
}
