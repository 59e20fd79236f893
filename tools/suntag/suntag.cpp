// suntag: converts a Sun rasterfile into a single-directory TIFF file.
//
//   suntag [options] input.ras output.tif
//
// The 32-byte header is read in either byte order, then the colour map if
// there is one, then the raster rows one by one, which are written with
// the strip writer.

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
    "usage: suntag [options] input.ras output.tif",
    "where options are:",
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
    " r\t\toutput color image as RGB rather than YCbCr",
    "For example, -c jpeg:r:50 to get JPEG-encoded RGB data with 50% comp. quality",
    "",
    "LZW and deflate options:",
    " #\t\tset predictor value",
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing",
    " -h\t\tthis help message",
    nullptr,
};

// Raster types with a meaning of their own here.
enum {
    RT_STANDARD = 1,      // 24- and 32-bit pixels stored blue, green, red
    RT_BYTE_ENCODED = 2,  // the raster is run-length encoded bytes
};

// The header's eight fields, in file order.
struct sun_header {
    uint32_t magic;
    uint32_t width;
    uint32_t height;
    uint32_t depth;
    uint32_t length;
    uint32_t type;
    uint32_t map_type;
    uint32_t map_length;
};

// What the header makes of the output image.
struct image_layout {
    uint16_t samples_per_pixel;
    uint16_t bits_per_sample;
    uint16_t photometric;
    uint64_t row_bytes;       // stored bytes per row, padded to 16 bits
    uint64_t scanline_bytes;  // bytes per output row
    bool has_colour_map;
};

// A colour map of up to 256 entries per colour; entries the file does not
// give stay 0.
struct colour_map {
    uint16_t red[256];
    uint16_t green[256];
    uint16_t blue[256];
};

// The raster as a stream of bytes: plain, or decoded from byte encoding
// (0x80 0x00 is one 0x80 byte, 0x80 n v is n + 1 copies of v, any other
// byte stands for itself).
struct raster_reader {
    FILE* in;
    bool byte_encoded;
    unsigned repeat;  // copies of `value` still to come
    unsigned char value;
};

// Reads the header and puts its fields in the machine's byte order.
// Ends the program with -2 when the file is shorter than a header, -3
// when its magic number is not a rasterfile's in either byte order.
static sun_header read_header(FILE* in, const char* name)
{
    unsigned char raw[32];
    if (fread(raw, 1, sizeof raw, in) != sizeof raw) {
        fprintf(stderr, "%s: Can not read header.\n", name);
        exit(-2);
    }
    static const unsigned char big_endian_magic[4] = {0x59, 0xa6, 0x6a, 0x95};
    static const unsigned char little_endian_magic[4] = {0x95, 0x6a, 0xa6, 0x59};
    bool file_big_endian;
    if (memcmp(raw, big_endian_magic, 4) == 0)
        file_big_endian = true;
    else if (memcmp(raw, little_endian_magic, 4) == 0)
        file_big_endian = false;
    else {
        fprintf(stderr, "%s: Not a rasterfile.\n", name);
        exit(-3);
    }
    uint32_t fields[8];
    memcpy(fields, raw, sizeof fields);
    const uint16_t probe = 1;
    bool machine_big_endian = *(const unsigned char*)&probe == 0;
    if (file_big_endian != machine_big_endian)
        for (int i = 1; i < 8; i++)
            TIFFSwabLong(&fields[i]);
    sun_header h;
    h.magic = fields[0];
    h.width = fields[1];
    h.height = fields[2];
    h.depth = fields[3];
    h.length = fields[4];
    h.type = fields[5];
    h.map_type = fields[6];
    h.map_length = fields[7];
    return h;
}

// Checks that the image is one this program converts and works out its
// layout. Ends the program with -3 after reporting a depth it does not
// handle, an empty image or rows too long to hold.
static image_layout layout_of(const sun_header* h, const char* name)
{
    if (h->depth != 1 && h->depth != 8 && h->depth != 24 && h->depth != 32) {
        fprintf(stderr, "%s: Can not handle depth %lu.\n", name, (unsigned long)h->depth);
        exit(-3);
    }
    image_layout l;
    l.row_bytes = (((uint64_t)h->depth * h->width + 15) / 8) & ~(uint64_t)1;
    l.has_colour_map = h->map_type != 0 && h->depth <= 8;
    if (h->depth > 8) {
        l.samples_per_pixel = 3;
        l.bits_per_sample = 8;
        l.photometric = PHOTOMETRIC_RGB;
        l.scanline_bytes = 3 * (uint64_t)h->width;
    } else {
        l.samples_per_pixel = 1;
        l.bits_per_sample = (uint16_t)h->depth;
        // A 1 bit is black in a rasterfile without colour map.
        l.photometric = h->depth == 1 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK;
        l.scanline_bytes = ((uint64_t)h->depth * h->width + 7) / 8;
    }
    if (l.has_colour_map)
        l.photometric = PHOTOMETRIC_PALETTE;
    if (h->width == 0 || h->height == 0 || l.row_bytes > INT32_MAX ||
        l.scanline_bytes > INT32_MAX) {
        fprintf(stderr, "%s: Not a rasterfile.\n", name);
        exit(-3);
    }
    return l;
}

// Reads the colour map that follows the header into *map: all red bytes,
// then all green, then all blue, map length / 3 of each; byte v becomes
// 257 * v. Ends the program with -6 when the map cannot be read (a map
// length of 0 counts as such), -7 when it is longer than 3 * 2^depth.
static void read_colour_map(FILE* in, const char* name, const sun_header* h, colour_map* map)
{
    memset(map, 0, sizeof *map);
    uint32_t entries = 1u << h->depth;
    if (h->map_length == 0) {
        fprintf(stderr, "%s: Read error on colormap.\n", name);
        exit(-6);
    }
    if (h->map_length > 3 * entries) {
        fprintf(stderr, "%s: Huh, %ld colormap entries, should be %d?\n", name,
                (long)h->map_length, (int)(3 * entries));
        exit(-7);
    }
    unsigned char bytes[3 * 256];
    if (fread(bytes, 1, h->map_length, in) != h->map_length) {
        fprintf(stderr, "%s: Read error on colormap.\n", name);
        exit(-6);
    }
    uint32_t n = h->map_length / 3;
    for (uint32_t i = 0; i < n; i++) {
        map->red[i] = (uint16_t)(bytes[i] * 257);
        map->green[i] = (uint16_t)(bytes[n + i] * 257);
        map->blue[i] = (uint16_t)(bytes[2 * n + i] * 257);
    }
}

// Reads past the colour map of an image deeper than 8 bits, which keeps
// its own colours. Ends the program with -6 when the file ends first.
static void skip_colour_map(FILE* in, const char* name, uint32_t map_length)
{
    unsigned char chunk[4096];
    while (map_length > 0) {
        size_t n = map_length < sizeof chunk ? map_length : sizeof chunk;
        if (fread(chunk, 1, n, in) != n) {
            fprintf(stderr, "%s: Read error on colormap.\n", name);
            exit(-6);
        }
        map_length -= (uint32_t)n;
    }
}

// Sets the output's fields: size and sample layout, the colour map, the
// compression (resolved), then the photometric interpretation.
static void set_fields(TIFF* out, const sun_header* h, uint32_t height, const image_layout* l,
                       const colour_map* map, const compression_settings* compression)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, h->width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, l->samples_per_pixel);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, l->bits_per_sample);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (l->has_colour_map)
        TIFFSetField(out, TIFFTAG_COLORMAP, map->red, map->green, map->blue);
    apply_compression(out, compression);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC,
                 photometric_for(compression, l->photometric, PLANARCONFIG_CONTIG));
}

// Reads the next `n` raster bytes into `dst`. Returns false when the file
// ends (or a read fails) first.
static bool read_raster(raster_reader* r, unsigned char* dst, uint64_t n)
{
    if (!r->byte_encoded)
        return fread(dst, 1, (size_t)n, r->in) == n;
    uint64_t done = 0;
    while (done < n) {
        if (r->repeat > 0) {
            uint64_t k = r->repeat < n - done ? r->repeat : n - done;
            memset(dst + done, r->value, (size_t)k);
            done += k;
            r->repeat -= (unsigned)k;
            continue;
        }
        int c = getc_unlocked(r->in);
        if (c == EOF)
            return false;
        if (c != 0x80) {
            dst[done++] = (unsigned char)c;
            continue;
        }
        int count = getc_unlocked(r->in);
        if (count == EOF)
            return false;
        if (count == 0) {
            dst[done++] = 0x80;
            continue;
        }
        int value = getc_unlocked(r->in);
        if (value == EOF)
            return false;
        r->value = (unsigned char)value;
        r->repeat = (unsigned)count + 1;
    }
    return true;
}

// Turns a stored row of `width` pixels into the output's order: 24-bit
// standard rows go from blue-green-red to red-green-blue; 32-bit rows
// lose the pad byte that starts each pixel, and standard ones are
// reordered likewise. Other rows stay as they are.
static void reorder_row(unsigned char* row, uint32_t width, uint32_t depth, uint32_t type)
{
    bool standard = type == RT_STANDARD;
    if (depth == 24 && standard) {
        for (uint32_t i = 0; i < width; i++, row += 3) {
            unsigned char b = row[0];
            row[0] = row[2];
            row[2] = b;
        }
    } else if (depth == 32) {
        const unsigned char* src = row;
        for (uint32_t i = 0; i < width; i++, src += 4, row += 3) {
            unsigned char first = src[1], second = src[2], third = src[3];
            row[0] = standard ? third : first;
            row[1] = second;
            row[2] = standard ? first : third;
        }
    }
}

// Copies the raster row by row. Returns the number of rows written; a
// short raster is reported here, a failed write was reported by libtiff.
static uint32_t copy_rows(raster_reader* reader, const char* name, strip_writer* out,
                          const sun_header* h, const image_layout* l, unsigned char* row)
{
    uint32_t done = 0;
    for (; done < h->height; done++) {
        if (!read_raster(reader, row, l->row_bytes)) {
            fprintf(stderr, "%s: scanline %ld: Read error.\n", name, (long)done);
            break;
        }
        reorder_row(row, h->width, h->depth, h->type);
        if (write_strip_row(out, row, done, 0) < 0)
            break;
    }
    return done;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:r:h";
    answer_help_and_version(argc, argv, "suntag", optstring);
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
        case 'h':
            usage(-1);
        default:
            // getopt has reported the letter; the options go on.
            break;
        }
    }
    if (argc - optind != 2)
        usage(-1);
    const char* in_name = argv[optind];
    const char* out_name = argv[optind + 1];

    FILE* in = fopen(in_name, "rb");
    if (in == nullptr) {
        fprintf(stderr, "%s: Can not open.\n", in_name);
        return -1;
    }
    // Rows are read in large blocks rather than a few kilobytes at a time.
    static char in_buffer[256 * 1024];
    setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
    sun_header h = read_header(in, in_name);
    image_layout layout = layout_of(&h, in_name);

    // The colour map is read before the output is made, so that a bad map
    // leaves no empty output behind.
    colour_map map;
    if (layout.has_colour_map)
        read_colour_map(in, in_name, &h, &map);
    else if (h.map_type != 0)
        skip_colour_map(in, in_name, h.map_length);

    // The output's length: the rows the file can still hold, when fewer
    // than the header claims (byte encoding turns 3 bytes into at most
    // 256); the copy reports the first missing row.
    uint32_t height =
        rows_input_can_hold(in, layout.row_bytes, h.type == RT_BYTE_ENCODED ? 86 : 1, h.height);
    if (height == 0)
        height = 1;
    note_input(in_name);
    if (output_is_input(out_name))
        return -4;
    // Without -c: packbits for an image with a colour map, LZW for any other.
    if (compression.scheme == SCHEME_NOT_GIVEN)
        compression.scheme = h.map_type != 0 ? COMPRESSION_PACKBITS : COMPRESSION_LZW;
    directory_extent extent = {layout.scanline_bytes, height, 1, 0};
    TIFF* out = open_tiff_output(out_name, "w", directory_bytes_bound(&compression, &extent));
    if (out == nullptr)
        return -4;
    set_fields(out, &h, height, &layout, &map, &compression);
    tmsize_t line_size = TIFFScanlineSize(out);
    tmsize_t buffer_size = line_size > (tmsize_t)layout.row_bytes ? line_size
                                                                  : (tmsize_t)layout.row_bytes;
    unsigned char* row = (unsigned char*)_TIFFmalloc(buffer_size);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_rows(out, rows_request));

    uint32_t rows_written = 0;
    strip_writer* writer = open_strip_writer(out);
    if (row == nullptr) {
        fprintf(stderr, "%s: Not enough memory for a scanline.\n", in_name);
    } else {
        // Only the bytes past a stored row are cleared: a huge row is never
        // touched before the file has filled it.
        if (buffer_size > (tmsize_t)layout.row_bytes)
            memset(row + layout.row_bytes, 0, (size_t)(buffer_size - (tmsize_t)layout.row_bytes));
        raster_reader reader = {in, h.type == RT_BYTE_ENCODED, 0, 0};
        rows_written = copy_rows(&reader, in_name, writer, &h, &layout, row);
    }
    bool written = close_strip_writer(writer, &rows_written);
    if (rows_written < height)
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows_written);
    bool closed = close_tiff_output(out) && written;
    if (rows_written == 0)
        remove_empty_output(out_name);
    _TIFFfree(row);
    fclose(in);
    return rows_written < h.height || !closed ? 1 : 0;
}
