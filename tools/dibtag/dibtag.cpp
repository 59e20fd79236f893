// dibtag: converts Windows and OS/2 BMP files into one TIFF file, one
// directory per input file, in the order given.
//
//   dibtag [options] input.bmp [input2.bmp ...] output.tif
//
// Each BMP is read with positioned reads: the headers are read and
// classified, the colour table becomes a TIFF colour map, and the pixels
// go to the strip writer: uncompressed images one row at a time,
// run-length images strip by strip as their rows are decoded.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tiffio.h>

#include "compress_options.h"
#include "file_identity.h"
#include "partial_output.h"
#include "strip_writer.h"
#include "tiff_output.h"
#include "usage.h"

const char* const help_lines[] = {
    "dibtag --- convert Windows BMP files to TIFF",
    "usage: dibtag [options] input.bmp [input2.bmp ...] output.tif",
    "where options are:",
    " -r #\t\tmake each strip have no more than # rows",
    "",
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding",
    " -c zip[:opts]\tcompress output with deflate encoding",
    " -c jpeg[:opts]compress output with JPEG encoding",
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
    " -o out.tif\twrite output to out.tif",
    " -h\t\tthis help message",
    nullptr,
};

// The kinds of info header, told apart by the header's size.
enum bmp_header_kind { win3, win_newer, os2_v1, os2_v2 };

// The BMP compression values this program reads.
enum {
    BMP_UNCOMPRESSED = 0,
    BMP_RLE8 = 1,
    BMP_RLE4 = 2,
    BMP_BIT_FIELDS = 3,
};

const uint32_t FILE_HEADER_SIZE = 14;

// What the headers of one BMP file say.
struct bmp_info {
    uint64_t file_size;     // from the file system
    uint32_t data_offset;   // file offset of the pixel data
    uint32_t header_size;   // size of the info header
    bmp_header_kind kind;
    int32_t width;
    int32_t height;         // negative: rows stored top-down
    int16_t bit_count;
    uint32_t compression;
    uint32_t colours_used;
    uint32_t masks[3];      // red, green, blue (bit-field images)
};

// One BMP image's layout as the conversion needs it.
struct image_layout {
    uint32_t width;
    uint32_t height;
    bool bottom_up;
    uint16_t samples_per_pixel;
    uint16_t bits_per_sample;
    uint16_t photometric;
    uint64_t row_size;      // bytes per stored uncompressed row
};

// The output file and how many directories it holds so far.
struct output_file {
    TIFF* out;
    const char* name;
    int directories;
    uint64_t bytes_bound;  // what its directories may take (directory_bytes_bound)
};

// How the conversion of one input ended.
enum image_result {
    image_written,   // its directory is in the output
    image_faulty,    // reported; the run goes on but ends with status 1
    run_stopped,     // reported; the run ends with status 1
    input_missing,   // the input could not be opened; the program ends with -1
};

// A colour map of up to 256 entries per colour; entries the BMP's table
// does not give stay 0.
struct colour_map {
    uint16_t red[256];
    uint16_t green[256];
    uint16_t blue[256];
};

// One colour channel of a bit-field pixel: its mask, where the mask's
// lowest bit lies and how many bits the mask spans.
struct channel {
    uint32_t mask;
    int shift;
    int bits;
};

// Reads `n` bytes at `offset` of `fd` into `buffer`. Returns 0 when all of
// them arrived, -1 when the offset cannot be reached, 1 when the file ends
// or a read fails first (the rest of `buffer` is then unspecified).
static int read_at(int fd, uint64_t offset, void* buffer, uint64_t n)
{
    if (offset > (uint64_t)INT64_MAX || lseek(fd, (off_t)offset, SEEK_SET) < 0)
        return -1;
    unsigned char* p = (unsigned char*)buffer;
    while (n > 0) {
        size_t want = n > (1u << 30) ? (1u << 30) : (size_t)n;
        ssize_t k = read(fd, p, want);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return 1;
        p += k;
        n -= (uint64_t)k;
    }
    return 0;
}

static uint16_t get_le16(const unsigned char* p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t get_le32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The header kind that an info header of `size` bytes is.
static bmp_header_kind header_kind(uint32_t size)
{
    switch (size) {
    case 40:
        return win3;
    case 12:
        return os2_v1;
    case 16:
    case 64:
        return os2_v2;
    default:
        return win_newer;
    }
}

// Reads the file header and the info header into *info. Fields that lie
// beyond the end of the info header (a 16-byte OS/2 header ends after the
// bit count) count as 0. Returns false after reporting a file that is not
// a BMP or does not hold its headers.
static bool read_headers(int fd, const char* name, bmp_info* info)
{
    memset(info, 0, sizeof *info);
    unsigned char head[18];
    int got = read_at(fd, 0, head, 2);
    if (got != 0 || head[0] != 'B' || head[1] != 'M') {
        TIFFError(name, "File is not BMP");
        return false;
    }
    if (read_at(fd, 2, head + 2, sizeof head - 2) != 0) {
        TIFFError(name, "Cannot read BMP file header");
        return false;
    }
    struct stat st;
    info->file_size = fstat(fd, &st) == 0 && st.st_size > 0 ? (uint64_t)st.st_size : 0;
    info->data_offset = get_le32(head + 10);
    info->header_size = get_le32(head + 14);
    info->kind = header_kind(info->header_size);

    unsigned char fields[36] = {0};
    uint32_t in_header = info->header_size > 4 ? info->header_size - 4 : 0;
    uint32_t wanted = info->kind == os2_v1 ? 8 : in_header < 36 ? in_header : 36;
    if (read_at(fd, FILE_HEADER_SIZE + 4, fields, wanted) != 0) {
        TIFFError(name, "Cannot read BMP info header");
        return false;
    }
    if (info->kind == os2_v1) {
        info->width = (int16_t)get_le16(fields);
        info->height = (int16_t)get_le16(fields + 2);
        info->bit_count = (int16_t)get_le16(fields + 6);
        return true;
    }
    info->width = (int32_t)get_le32(fields);
    info->height = (int32_t)get_le32(fields + 4);
    info->bit_count = (int16_t)get_le16(fields + 10);
    info->compression = get_le32(fields + 12);
    info->colours_used = get_le32(fields + 28);
    return true;
}

// Reads the red, green and blue masks of a bit-field image: inside the
// info header when it is 52 bytes or longer, else in the 12 bytes that
// follow it. Returns false after reporting a file too short for them.
static bool read_masks(int fd, const char* name, bmp_info* info)
{
    uint64_t offset = FILE_HEADER_SIZE + (info->header_size >= 52 ? 40 : (uint64_t)info->header_size);
    unsigned char m[12];
    if (read_at(fd, offset, m, sizeof m) != 0) {
        TIFFError(name, "Cannot read BMP bit-field masks");
        return false;
    }
    for (int i = 0; i < 3; i++)
        info->masks[i] = get_le32(m + 4 * i);
    return true;
}

// Checks that this program can convert the image the headers describe and
// fills in its layout. Returns false after reporting why not.
static bool check_image(const bmp_info* info, const char* name, image_layout* layout)
{
    int bits = info->bit_count;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        TIFFError(name, "Cannot process BMP file with bit count %d", bits);
        return false;
    }
    switch (info->compression) {
    case BMP_UNCOMPRESSED:
        break;
    case BMP_RLE8:
    case BMP_RLE4:
        // The bit count, not the compression value, picks the decoder.
        if (bits != 4 && bits != 8) {
            TIFFError(name, "Cannot process run-length encoded BMP file with bit count %d", bits);
            return false;
        }
        break;
    case BMP_BIT_FIELDS:
        if (bits != 16 && bits != 32) {
            TIFFError(name, "Cannot process BMP file with bit-field masks and bit count %d", bits);
            return false;
        }
        break;
    default:
        TIFFError(name, "Cannot process BMP file with compression %lu",
                  (unsigned long)info->compression);
        return false;
    }
    uint64_t width = info->width > 0 ? (uint64_t)info->width : 0;
    if (width == 0 || info->height == 0 || (uint64_t)bits * width > UINT32_MAX) {
        TIFFError(name, "Wrong image parameters; can't allocate space for scanline buffer");
        return false;
    }
    layout->width = (uint32_t)width;
    layout->bottom_up = info->height > 0;
    layout->height = info->height > 0 ? (uint32_t)info->height : (uint32_t)(-(int64_t)info->height);
    layout->row_size = ((uint64_t)bits * width + 31) / 32 * 4;
    if (bits <= 8) {
        layout->samples_per_pixel = 1;
        layout->bits_per_sample = (uint16_t)bits;
        layout->photometric = PHOTOMETRIC_PALETTE;
    } else {
        layout->samples_per_pixel = 3;
        layout->bits_per_sample = 8;
        layout->photometric = PHOTOMETRIC_RGB;
    }
    return true;
}

// Reads the colour table of a palette image into *map, scaling each 8-bit
// value v to 257 * v. The table starts right after the info header; it
// holds 2^bit count entries, or the colours-used count when that is
// smaller and not 0. OS/2 headers have 3-byte entries (blue, green, red),
// the others 4-byte ones; 16- and 64-byte OS/2 headers have 4-byte
// entries when the space before the pixel data holds the table so.
// Returns false after reporting a table the file does not hold.
static bool read_colour_map(int fd, const char* name, const bmp_info* info, colour_map* map)
{
    memset(map, 0, sizeof *map);
    uint32_t entries = 1u << info->bit_count;
    if (info->colours_used != 0 && info->colours_used < entries)
        entries = info->colours_used;
    uint64_t start = FILE_HEADER_SIZE + (uint64_t)info->header_size;
    uint32_t entry_size = 4;
    if (info->kind == os2_v1)
        entry_size = 3;
    else if (info->kind == os2_v2 &&
             !(info->data_offset >= start && info->data_offset - start >= 4 * (uint64_t)entries))
        entry_size = 3;
    unsigned char table[256 * 4];
    if (read_at(fd, start, table, (uint64_t)entries * entry_size) != 0) {
        TIFFError(name, "Cannot read BMP color table");
        return false;
    }
    for (uint32_t i = 0; i < entries; i++) {
        const unsigned char* e = table + i * entry_size;
        map->blue[i] = (uint16_t)(e[0] * 257);
        map->green[i] = (uint16_t)(e[1] * 257);
        map->red[i] = (uint16_t)(e[2] * 257);
    }
    return true;
}

// Converts one uncompressed row in place: 24-bit blue-green-red pixels
// become red-green-blue; 32-bit blue-green-red-unused pixels are packed to
// 3 bytes red, green, blue, working forwards. Other rows stay as they are.
static void swap_to_rgb(unsigned char* row, uint32_t width, int bit_count)
{
    if (bit_count == 24) {
        for (uint32_t i = 0; i < width; i++, row += 3) {
            unsigned char b = row[0];
            row[0] = row[2];
            row[2] = b;
        }
    } else if (bit_count == 32) {
        const unsigned char* src = row;
        for (uint32_t i = 0; i < width; i++, src += 4, row += 3) {
            unsigned char b = src[0], g = src[1], r = src[2];
            row[0] = r;
            row[1] = g;
            row[2] = b;
        }
    }
}

// Describes the channel that `mask` selects: its lowest bit, and the
// number of bits from its lowest to its highest set bit (0 for no mask).
static channel channel_of(uint32_t mask)
{
    channel c = {mask, 0, 0};
    if (mask == 0)
        return c;
    while (!(mask >> c.shift & 1))
        c.shift++;
    int top = 31;
    while (!(mask >> top & 1))
        top--;
    c.bits = top - c.shift + 1;
    return c;
}

// The 8-bit value of a `bits`-bit channel value v: narrower values repeat
// their bits downwards (5 bits: v << 3 | v >> 2), wider ones keep their
// top 8 bits.
static unsigned char scale_to_8(uint32_t v, int bits)
{
    if (bits == 0)
        return 0;
    if (bits >= 8)
        return (unsigned char)(v >> (bits - 8));
    uint32_t result = v << (8 - bits);
    for (int pos = 8 - 2 * bits; pos > -bits; pos -= bits)
        result |= pos >= 0 ? v << pos : v >> -pos;
    return (unsigned char)result;
}

// Converts a row of `width` 16- or 32-bit little-endian pixels into 8-bit
// red, green, blue in `rgb`, each channel taken through its mask.
static void unpack_bit_fields(const unsigned char* row, unsigned char* rgb, uint32_t width,
                              int bit_count, const channel channels[3])
{
    for (uint32_t i = 0; i < width; i++) {
        uint32_t pixel;
        if (bit_count == 16) {
            pixel = get_le16(row);
            row += 2;
        } else {
            pixel = get_le32(row);
            row += 4;
        }
        for (int c = 0; c < 3; c++)
            *rgb++ = scale_to_8((pixel & channels[c].mask) >> channels[c].shift,
                                channels[c].bits);
    }
}

// A run-length decoder's place in its data and in the picture (rows in
// storage order, bottom row first). The bit count picks the rules: 8 bits
// RLE8, else RLE4.
struct rle_cursor {
    const unsigned char* data;
    uint64_t size;
    uint64_t at;       // next byte of data
    uint64_t row;      // storage row of the next pixel
    uint32_t col;
    uint32_t width;
    uint32_t height;
    bool rle8;
    bool ended;        // end of bitmap, or past the last row: the rest is 0
    bool cut_short;    // the data ran out before the end of the bitmap
};

// Decodes one code of the data. Pixels of the cursor's row go to `row`
// (when not null); runs keep to their row: pixels past the row's end are
// passed over. End of line moves to the start of the next row, delta moves
// right and down, end of bitmap ends. Data that ends exactly at the end of
// the last row needs no end of bitmap.
static void decode_rle_code(rle_cursor* c, unsigned char* row)
{
    const unsigned char* in = c->data;
    uint64_t i = c->at;
    if (i + 1 >= c->size) {
        if (c->row + 1 == c->height && c->col == c->width)
            c->ended = true;
        else
            c->cut_short = true;
        return;
    }
    unsigned b = in[i];
    if (b != 0) {
        // Encoded run: b pixels of the value (RLE4: two alternating values).
        unsigned v = in[i + 1];
        for (unsigned k = 0; k < b && c->col < c->width; k++, c->col++)
            if (row != nullptr)
                row[c->col] = (unsigned char)(c->rle8 ? v : (k & 1) ? v & 0x0f : v >> 4);
        c->at = i + 2;
        return;
    }
    unsigned e = in[i + 1];
    if (e == 0) {
        c->row++;
        c->col = 0;
        c->at = i + 2;
    } else if (e == 1) {
        c->ended = true;
    } else if (e == 2) {
        if (i + 3 >= c->size) {
            c->cut_short = true;
            return;
        }
        c->col = (uint64_t)c->col + in[i + 2] < c->width ? c->col + in[i + 2] : c->width;
        c->row += in[i + 3];
        c->at = i + 4;
    } else {
        // Absolute run of e pixels, padded to a 16-bit boundary.
        i += 2;
        uint64_t run_bytes = c->rle8 ? e : (e + 1) / 2;
        for (unsigned k = 0; k < e && c->col < c->width; k++, c->col++) {
            uint64_t at = i + (c->rle8 ? k : k / 2);
            if (at >= c->size)
                break;
            if (row != nullptr)
                row[c->col] =
                    (unsigned char)(c->rle8 ? in[at] : (k & 1) ? in[at] & 0x0f : in[at] >> 4);
        }
        c->at = i + run_bytes + (run_bytes & 1);
    }
    if (c->row >= c->height)
        c->ended = true;
}

// Decodes the storage row `r` into `row` (width pixels, one byte each,
// cleared here): what the codes give it, 0 where they give nothing. The
// cursor is at row r, or beyond it when a delta or end of line passed over
// row r; it is left at the first code of a later row.
static void decode_rle_row(rle_cursor* c, uint64_t r, unsigned char* row)
{
    memset(row, 0, c->width);
    while (!c->ended && !c->cut_short && c->row == r)
        decode_rle_code(c, row);
}

// The number of storage rows the data reaches, from the bottom: all of
// them unless the data runs out first, then up to the row where it ran out
// (that row counted when any of its pixels came before). Walks the codes
// without decoding pixels; *cut_short says whether the data ran out.
static uint32_t rle_rows_reached(rle_cursor c, bool* cut_short)
{
    while (!c.ended && !c.cut_short)
        decode_rle_code(&c, nullptr);
    *cut_short = c.cut_short;
    if (!c.cut_short)
        return c.height;
    return (uint32_t)(c.row + (c.col > 0 ? 1 : 0));
}

// Sets the fields of the image's directory. The strip height is asked for
// once the compression is set, so that the codec can adjust it.
static void set_fields(TIFF* out, const image_layout* layout, const colour_map* map,
                       compression_settings* compression, int32_t rows_request)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, layout->width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, layout->height);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, layout->samples_per_pixel);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, layout->bits_per_sample);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC,
                 photometric_for(compression, layout->photometric, PLANARCONFIG_CONTIG));
    if (layout->photometric == PHOTOMETRIC_PALETTE)
        TIFFSetField(out, TIFFTAG_COLORMAP, map->red, map->green, map->blue);
    apply_compression(out, compression);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_rows(out, rows_request));
}

// Writes the directory of an image that stopped after `rows_written`
// rows, which becomes its image length. Returns false when the directory
// could not be written.
static bool close_short_directory(output_file* output, uint32_t rows_written)
{
    TIFFSetField(output->out, TIFFTAG_IMAGELENGTH, rows_written);
    if (!TIFFWriteDirectory(output->out))
        return false;
    output->directories++;
    return true;
}

// Drops the pending directory of an image of which no row was written, so
// that no directory without image data reaches the file. The first
// directory is dropped by starting the file again; a later one is written
// and then unlinked from the chain. Returns false (reported) when the
// output cannot be made again.
static bool drop_directory(output_file* output)
{
    if (output->directories == 0) {
        close_tiff_output(output->out);
        output->out = open_tiff_output(output->name, "w", output->bytes_bound);
        if (output->out == nullptr) {
            TIFFError(nullptr, "Cannot open file %s for output", output->name);
            return false;
        }
        return true;
    }
    if (TIFFWriteDirectory(output->out))
        TIFFUnlinkDirectory(output->out, (tdir_t)(output->directories + 1));
    return true;
}

// Copies the rows of an uncompressed (or bit-field) image. `row` holds a
// stored row, `rgb` (bit-field and 16-bit images) three bytes a pixel.
// A row that cannot be reached, read or written is reported and ends the
// image. Returns the number of rows written.
static uint32_t copy_rows(int fd, const char* name, strip_writer* out, const bmp_info* info,
                          const image_layout* layout, unsigned char* row, unsigned char* rgb,
                          const channel channels[3])
{
    uint32_t j = 0;
    for (; j < layout->height; j++) {
        uint64_t file_row = layout->bottom_up ? layout->height - 1 - j : j;
        int got = read_at(fd, info->data_offset + file_row * layout->row_size, row,
                          layout->row_size);
        if (got < 0) {
            TIFFError(name, "scanline %lu: Seek error", (unsigned long)j);
            break;
        }
        if (got > 0) {
            TIFFError(name, "scanline %lu: Read error", (unsigned long)j);
            break;
        }
        unsigned char* line = row;
        if (rgb != nullptr) {
            unpack_bit_fields(row, rgb, layout->width, info->bit_count, channels);
            line = rgb;
        } else {
            swap_to_rgb(row, layout->width, info->bit_count);
        }
        if (write_strip_row(out, line, j, 0) < 0) {
            TIFFError(name, "scanline %lu: Write error", (unsigned long)j);
            break;
        }
    }
    return j;
}

// Converts an uncompressed or bit-field image, one row at a time, into the
// output's next directory.
static image_result convert_rows(int fd, const char* name, output_file* output,
                                 const bmp_info* info, const image_layout* layout,
                                 const colour_map* map, compression_settings* compression,
                                 int32_t rows_request)
{
    channel channels[3];
    bool bit_fields = info->compression == BMP_BIT_FIELDS || info->bit_count == 16;
    if (info->compression == BMP_BIT_FIELDS) {
        for (int c = 0; c < 3; c++)
            channels[c] = channel_of(info->masks[c]);
    } else {
        // Uncompressed 16-bit pixels hold 5 bits a channel; the top bit is unused.
        channels[0] = channel_of(0x7c00);
        channels[1] = channel_of(0x03e0);
        channels[2] = channel_of(0x001f);
    }
    unsigned char* row = (unsigned char*)_TIFFmalloc((tmsize_t)layout->row_size);
    unsigned char* rgb = bit_fields ? (unsigned char*)_TIFFmalloc((tmsize_t)layout->width * 3)
                                    : nullptr;
    if (row == nullptr || (bit_fields && rgb == nullptr)) {
        TIFFError(name, "Can't allocate space for scanline buffer");
        _TIFFfree(row);
        _TIFFfree(rgb);
        return run_stopped;
    }
    // Rows stored top-down come first in the file: the output's length is
    // what the file holds of them, when that is less than the header
    // claims (libtiff sizes its strip tables by it). Bottom-up, the first
    // row written is the last one stored, so a short file gives no row.
    image_layout shown = *layout;
    if (!layout->bottom_up) {
        uint64_t held = info->file_size > info->data_offset
                            ? (info->file_size - info->data_offset) / layout->row_size
                            : 0;
        if (held < shown.height)
            shown.height = held > 0 ? (uint32_t)held : 1;
    }
    set_fields(output->out, &shown, map, compression, rows_request);
    strip_writer* writer = open_strip_writer(output->out);
    uint32_t rows = copy_rows(fd, name, writer, info, layout, row, rgb, channels);
    bool written = close_strip_writer(writer, &rows);
    image_result result = written ? image_written : image_faulty;
    if (rows == 0) {
        result = drop_directory(output) ? image_faulty : run_stopped;
    } else if (rows < layout->height) {
        result = image_faulty;
        close_short_directory(output, rows);
    } else if (TIFFWriteDirectory(output->out)) {
        output->directories++;
    } else {
        result = image_faulty;
    }
    _TIFFfree(row);
    _TIFFfree(rgb);
    return result;
}

// Converts a run-length image into the output's next directory, holding
// one strip: the data is decoded row by row in its storage order (the
// bottom of the picture first), so the strips fill from the last one up
// and each is written as soon as it is complete. Data that runs out before
// the end of the bitmap is reported, and the image then holds just the
// rows it reached (the bottom ones). A strip that cannot be written is
// reported, and so is each one after it: once a write has failed, the
// strip writer writes nothing more.
static image_result convert_rle(int fd, const char* name, output_file* output,
                                const bmp_info* info, const image_layout* layout,
                                const colour_map* map, compression_settings* compression,
                                int32_t rows_request)
{
    if (info->data_offset > info->file_size) {
        TIFFError(name, "Run-length data offset lies beyond the end of the file");
        return run_stopped;
    }
    uint64_t pixel_count = (uint64_t)layout->width * layout->height;
    if (pixel_count > UINT32_MAX) {
        TIFFError(name, "Wrong image parameters; can't allocate space for uncompressed scanline buffer");
        return run_stopped;
    }
    uint64_t compressed_size = info->file_size - info->data_offset;
    // Run-length encoders code every pixel, at most 255 of them in two
    // bytes; only end-of-line, delta and end-of-bitmap codes pass over
    // pixels without coding them. A picture more than 1024 times its data
    // (beyond a small one) is a header's claim the data does not back, and
    // converting it would cost time and space out of all proportion.
    if (pixel_count > 65536 && pixel_count / 1024 > compressed_size) {
        TIFFError(name, "Run-length data of %llu bytes cannot describe %lux%lu pixels",
                  (unsigned long long)compressed_size, (unsigned long)layout->width,
                  (unsigned long)layout->height);
        return image_faulty;
    }
    unsigned char* compressed = (unsigned char*)_TIFFmalloc((tmsize_t)compressed_size + 1);
    if (compressed == nullptr) {
        TIFFError(name, "Can't allocate space for compressed scanline buffer");
        return run_stopped;
    }
    if (read_at(fd, info->data_offset, compressed, compressed_size) != 0) {
        TIFFError(name, "Cannot read run-length data");
        _TIFFfree(compressed);
        return image_faulty;
    }
    rle_cursor cursor = {compressed, compressed_size, 0, 0, 0, layout->width, layout->height,
                         info->bit_count == 8, false, false};
    bool cut_short = false;
    uint32_t height = rle_rows_reached(cursor, &cut_short);
    image_result result = image_written;
    if (cut_short) {
        TIFFError(name, "Run-length data ends before the end of the bitmap");
        result = image_faulty;
    }

    image_layout shown = *layout;
    shown.height = height;
    set_fields(output->out, &shown, map, compression, rows_request);
    uint32_t rows_per_strip = height;
    TIFFGetField(output->out, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    if (rows_per_strip == 0 || rows_per_strip > height)
        rows_per_strip = height;
    tmsize_t line_size = TIFFScanlineSize(output->out);
    unsigned char* pixels = (unsigned char*)_TIFFmalloc((tmsize_t)layout->width);
    unsigned char* strip =
        height == 0 ? nullptr : (unsigned char*)_TIFFmalloc(line_size * rows_per_strip);
    if (height > 0 && (pixels == nullptr || strip == nullptr || line_size <= 0)) {
        TIFFError(name, "Can't allocate space for uncompressed scanline buffer");
        _TIFFfree(compressed);
        _TIFFfree(pixels);
        _TIFFfree(strip);
        drop_directory(output);
        return run_stopped;
    }
    uint32_t rows_written = 0;
    strip_writer* writer = open_strip_writer(output->out);
    for (uint32_t r = 0; r < height; r++) {
        // Storage row r is row j of the picture, top row first.
        uint32_t j = height - 1 - r;
        unsigned char* line = strip + (tmsize_t)(j % rows_per_strip) * line_size;
        decode_rle_row(&cursor, r, pixels);
        if (info->bit_count == 4) {
            for (uint32_t x = 0; x < layout->width; x += 2) {
                unsigned high = pixels[x] & 0x0f;
                unsigned low = x + 1 < layout->width ? pixels[x + 1] & 0x0f : 0;
                line[x / 2] = (unsigned char)(high << 4 | low);
            }
        } else {
            memcpy(line, pixels, layout->width);
        }
        if (j % rows_per_strip != 0)
            continue;
        uint32_t rows = height - j < rows_per_strip ? height - j : rows_per_strip;
        if (write_whole_strip(writer, j / rows_per_strip, strip, line_size * rows) < 0) {
            TIFFError(name, "scanline %lu: Write error.\n", (unsigned long)j);
            result = image_faulty;
        } else {
            rows_written += rows;
        }
    }
    if (!close_strip_writer(writer, &rows_written))
        result = image_faulty;
    _TIFFfree(compressed);
    _TIFFfree(pixels);
    _TIFFfree(strip);
    if (rows_written == 0) {
        if (!drop_directory(output))
            result = run_stopped;
    } else if (TIFFWriteDirectory(output->out)) {
        output->directories++;
    } else {
        result = image_faulty;
    }
    return result;
}

// Converts the BMP file `name` into the output's next directory.
static image_result convert_bmp(const char* name, output_file* output,
                                compression_settings* compression, int32_t rows_request)
{
    int fd = open(name, O_RDONLY);
    if (fd < 0) {
        TIFFError(name, "Cannot open input file");
        return input_missing;
    }
    bmp_info info;
    image_layout layout;
    colour_map map;
    image_result result = run_stopped;
    if (read_headers(fd, name, &info) && check_image(&info, name, &layout) &&
        (info.compression != BMP_BIT_FIELDS || read_masks(fd, name, &info)) &&
        (layout.photometric != PHOTOMETRIC_PALETTE || read_colour_map(fd, name, &info, &map))) {
        if (info.compression == BMP_RLE8 || info.compression == BMP_RLE4)
            result = convert_rle(fd, name, output, &info, &layout, &map, compression, rows_request);
        else
            result = convert_rows(fd, name, output, &info, &layout, &map, compression,
                                  rows_request);
    }
    close(fd);
    return result;
}

// The sum of directory_bytes_bound over the images that the BMP files
// names[0..count-1] describe, as their headers say, coded as `compression`
// says; files that cannot be read or converted add nothing, and nothing is
// reported (the conversion reports what it meets).
static uint64_t inputs_bytes_bound(char* const* names, int count,
                                   const compression_settings* compression)
{
    TIFFErrorHandler errors = TIFFSetErrorHandler(nullptr);
    uint64_t total = 0;
    for (int i = 0; i < count; i++) {
        int fd = open(names[i], O_RDONLY);
        if (fd < 0)
            continue;
        bmp_info info;
        image_layout layout;
        if (read_headers(fd, names[i], &info) && check_image(&info, names[i], &layout)) {
            uint64_t row_bytes = ((uint64_t)layout.width * layout.samples_per_pixel *
                                      layout.bits_per_sample + 7) / 8;
            directory_extent extent = {row_bytes, layout.height, 1, 0};
            total = add_bytes(total, directory_bytes_bound(compression, &extent));
        }
        close(fd);
    }
    TIFFSetErrorHandler(errors);
    return total;
}

// Closes the output; an output that holds no directory is removed (only a
// regular file). Returns false when the file could not be written whole.
static bool finish_output(output_file* output)
{
    if (output->out == nullptr)
        return false;
    bool written = close_tiff_output(output->out) != 0;
    output->out = nullptr;
    if (output->directories == 0)
        remove_empty_output(output->name);
    return written;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:r:o:h";
    answer_help_and_version(argc, argv, "dibtag", optstring);
    compression_settings compression = default_compression(SCHEME_NOT_GIVEN);
    int32_t rows_request = -1;
    const char* output_name = nullptr;

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
        case 'o':
            output_name = optarg;
            break;
        case 'h':
            usage(-1);
        default:
            // getopt has reported the letter; the options go on.
            break;
        }
    }
    if (argc - optind < 2)
        usage(-1);
    if (output_name == nullptr)
        output_name = argv[argc - 1];

    for (int i = optind; i < argc - 1; i++)
        note_input(argv[i]);
    if (output_is_input(output_name))
        return 1;
    if (compression.scheme == SCHEME_NOT_GIVEN)
        compression.scheme = COMPRESSION_PACKBITS;
    uint64_t bytes_bound = inputs_bytes_bound(argv + optind, argc - 1 - optind, &compression);
    output_file output = {open_tiff_output(output_name, "w", bytes_bound), output_name, 0,
                          bytes_bound};
    if (output.out == nullptr) {
        TIFFError(nullptr, "Cannot open file %s for output", output_name);
        return 1;
    }
    int status = 0;
    for (int i = optind; i < argc - 1; i++) {
        image_result result = convert_bmp(argv[i], &output, &compression, rows_request);
        if (result == input_missing) {
            finish_output(&output);
            return -1;
        }
        if (result != image_written)
            status = 1;
        if (result == run_stopped)
            break;
    }
    if (!finish_output(&output))
        status = 1;
    return status;
}
