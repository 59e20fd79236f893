// lzwtag: converts the images of a GIF file (87a or 89a) into a TIFF file,
// one 8-bit palette directory per image.
//
//   lzwtag [options] input.gif output.tif
//
// The GIF block structure is read here (extension blocks, whatever their
// kind, are skipped by their sub-blocks), and each image's variable-length
// LZW data is decoded by this program's own decoder into a raster of one
// byte per pixel, which is then written as whole strips.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    "usage: lzwtag [options] input.gif output.tif",
    "where options are:",
    " -r #\t\tmake each strip have no more than # rows",
    "",
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding",
    " -c zip[:opts]\tcompress output with deflate encoding",
    " -c packbits\tcompress output with packbits encoding",
    " -c none\tuse no compression algorithm on output",
    "",
    "LZW and deflate options:",
    " #\t\tset predictor value",
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing",
    nullptr,
};

// ---- Run-wide state ----------------------------------------------------

static FILE* in;                  // the GIF file
static const char* in_name;
static const char* out_name;
static compression_settings compression;
static int32_t rows_request = -1;  // -r; afterwards the height chosen last

static bool global_map_present;
static int global_map_bits;
static unsigned char global_map[256][3];

static uint16_t gamma_table[256];
static uint16_t red_map[256], green_map[256], blue_map[256];  // the TIFF colour map

static TIFF* out;                 // the output, once the first image is written
static uint64_t output_bytes_bound;  // what all its directories may take
static bool output_bound_known;   // the bound was found by walking the file
static int images_in_output;      // directories the output file holds
static bool output_failed;        // a strip or the file could not be written
static bool data_cut_short;       // an image's data or an extension ended with the file

// Spare bytes after each raster: the decoder copies strings in 16-byte
// blocks and may write up to 15 bytes past a string's end.
static const size_t raster_spare = 128;

// ---- Reading the GIF container -----------------------------------------

// Reads `n` bytes into `buf`. Returns 1 when all of them arrived; else
// reports what ended the read (the system's error, or end of file inside
// `what`) and returns 0.
static int read_exactly(void* buf, size_t n, const char* what)
{
    if (fread(buf, 1, n, in) == n)
        return 1;
    if (ferror(in))
        perror(in_name);
    else
        fprintf(stderr, "%s: end of file in %s\n", in_name, what);
    return 0;
}

// Skips data sub-blocks (a length byte n, then n bytes) up to and including
// the zero-length terminator, or up to the end of the file. Returns 1 when
// the terminator was reached, 0 when the file ended first.
static int skip_sub_blocks()
{
    unsigned char block[255];
    int n;
    while ((n = getc(in)) != EOF && n != 0)
        if (fread(block, 1, (size_t)n, in) < (size_t)n)
            return 0;
    return n == 0;
}

// Reads the 6-byte signature and version. Returns 1 for a GIF file of
// version 87a or 89a, else 0 after saying why.
static int read_gif_header()
{
    unsigned char header[6] = {0};
    if (fread(header, 1, sizeof header, in) < sizeof header && ferror(in)) {
        perror(in_name);
        return 0;
    }
    if (memcmp(header, "GIF", 3) != 0) {
        fprintf(stderr, "file is not a GIF file\n");
        return 0;
    }
    if (memcmp(header + 3, "87a", 3) != 0 && memcmp(header + 3, "89a", 3) != 0) {
        fprintf(stderr, "%s: unknown GIF version number (87a and 89a are read)\n", in_name);
        return 0;
    }
    return 1;
}

// Reads the 7-byte logical screen descriptor and, when its packed byte
// announces one, the global colour table. Returns 0 (after a message) when
// the file ends or fails inside either.
static int read_screen_descriptor()
{
    unsigned char screen[7];
    if (!read_exactly(screen, sizeof screen, "screen descriptor"))
        return 0;
    global_map_present = (screen[4] & 0x80) != 0;
    global_map_bits = (screen[4] & 7) + 1;
    if (global_map_present &&
        !read_exactly(global_map, (size_t)3 << global_map_bits, "colormap"))
        return 0;
    return 1;
}

// Skips one extension block (graphic control, comment, plain text,
// application or any other label): the label byte, then its data
// sub-blocks. Returns 0 when the file ends before the terminator.
static int skip_extension()
{
    return getc(in) != EOF && skip_sub_blocks();
}

// The sum of directory_bytes_bound over the images of the GIF file, as
// their descriptors say: the blocks are walked (the image data skipped,
// nothing reported) up to the trailer, the end of the file or a block
// the conversion would stop at; then the file is read again from its
// start. A pipe, which cannot be read twice, counts as 0, and
// output_bound_known stays false.
static uint64_t images_bytes_bound()
{
    struct stat st;
    if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    output_bound_known = true;
    uint64_t total = 0;
    unsigned char head[13];  // signature, version, screen descriptor
    if (fread(head, 1, sizeof head, in) == sizeof head &&
        ((head[10] & 0x80) == 0 || fseek(in, 3L << ((head[10] & 7) + 1), SEEK_CUR) == 0)) {
        for (int c; (c = getc(in)) != EOF && c != ';';) {
            unsigned char d[9];
            if (c == '!') {
                skip_extension();
            } else if (c == ',' && fread(d, 1, sizeof d, in) == sizeof d) {
                uint32_t width = d[4] | (uint32_t)d[5] << 8, height = d[6] | (uint32_t)d[7] << 8;
                directory_extent extent = {width, height, 1, 0};
                total = add_bytes(total, directory_bytes_bound(&compression, &extent));
                if ((d[8] & 0x80) != 0 && fseek(in, 3L << ((d[8] & 7) + 1), SEEK_CUR) != 0)
                    break;
                if (getc(in) == EOF)  // the LZW minimum code size
                    break;
                skip_sub_blocks();
            } else if (c != 0) {
                break;
            }
        }
    }
    rewind(in);
    return total;
}

// Puts the first `count` entries of a GIF colour table into the TIFF colour
// map through the gamma curve; the entries above keep their values.
static void fill_colormap(const unsigned char (*table)[3], int count)
{
    for (int i = 0; i < count; i++) {
        red_map[i] = gamma_table[table[i][0]];
        green_map[i] = gamma_table[table[i][1]];
        blue_map[i] = gamma_table[table[i][2]];
    }
}

// ---- LZW decoding ------------------------------------------------------
//
// Every string of the code table is a string already written out: a root
// code's single pixel, or an earlier string followed by the first pixel of
// the string written after it, which lie side by side in the raster. So a
// table entry is just where its string starts and how long it is, and a
// code is decoded by copying. The one-pixel strings of the root codes are
// kept in a lead area in front of the raster:
//
//   [ root pixels: raster_lead bytes ][ raster: width x height ][ spare ]

// Bytes in front of the raster: one pixel for each possible root code.
static const size_t raster_lead = 2048;

// The largest table of the decoder: codes are at most 12 bits wide.
static const int table_size = 4096;

// A string of the code table: offset of its first pixel from the start of
// the lead area (at most 2048 + 65535 x 65535, within 32 bits), and its
// length.
struct lzw_entry {
    uint32_t offset;
    uint32_t length;
};

// The decoder's state for one image.
struct lzw_state {
    int data_size;         // minimum code size, 1..11
    int clear_code;
    int end_code;
    int next_code;         // next free table entry
    int code_size;         // current code width in bits, at most 12
    int code_mask;
    int old_code;          // previous code; -1: none since the last clear
    uint32_t old_offset;   // where the string of old_code starts
    uint32_t old_length;
    unsigned char* base;   // start of the lead area
    size_t fill;           // offset of the next pixel from base
    size_t end;            // offset just past the raster's last pixel
    lzw_entry* table;
};

// Appends the `length` pixels at base + offset (a string written before the
// fill position) at the fill position. Pixels that would fall beyond the
// raster are dropped.
static inline void put_string(lzw_state* s, uint32_t offset, uint32_t length)
{
    if (s->fill + length <= s->end) {
        // The string ends at or before the fill position, so it never
        // overlaps its copy; copying in 16-byte blocks may write up to 15
        // bytes past the copy, into what the next string overwrites (or
        // the spare bytes after the raster).
        const unsigned char* from = s->base + offset;
        unsigned char* to = s->base + s->fill;
        unsigned char* stop = to + length;
        do {
            unsigned char block[16];
            memcpy(block, from, 16);
            memcpy(to, block, 16);
            from += 16;
            to += 16;
        } while (to < stop);
        s->fill += length;
    } else {
        memmove(s->base + s->fill, s->base + offset, s->end - s->fill);
        s->fill = s->end;
    }
}

// Starts a fresh code table at the minimum code size.
static inline void clear_table(lzw_state* s)
{
    s->code_size = s->data_size + 1;
    s->code_mask = (1 << s->code_size) - 1;
    s->next_code = s->clear_code + 2;
    s->old_code = -1;
}

// Decodes one code (never the end code): writes its string at the fill
// position and enters the previous string plus this string's first pixel
// in the table (a full table of 4096 entries stays as it is until the
// next clear code), widening the codes when the table reaches the next
// power of two. Returns 1 to go on, 0 (after a message) for a code that is not
// in the table.
static inline int process_code(lzw_state* s, int code)
{
    if (code == s->clear_code) {
        clear_table(s);
        return 1;
    }
    // After a clear only a root code has a string.
    if (code > s->next_code || (s->old_code < 0 && code > s->end_code)) {
        fprintf(stderr, "code %d too large for %d\n", code, s->next_code);
        return 0;
    }
    size_t start = s->fill;
    uint32_t length;
    if (code < s->next_code) {
        length = s->table[code].length;
        put_string(s, s->table[code].offset, length);
    } else {
        // The string just being defined: the previous one followed by its
        // own first pixel.
        length = s->old_length + 1;
        put_string(s, s->old_offset, s->old_length);
        if (s->fill < s->end)
            s->base[s->fill++] = s->base[s->old_offset];
    }
    if (s->old_code >= 0 && s->next_code < table_size) {
        s->table[s->next_code].offset = s->old_offset;
        s->table[s->next_code].length = s->old_length + 1;
        s->next_code++;
    }
    // The next code may be next_code itself: widen the codes when it no
    // longer fits (for a minimum code size of 1 already after the first
    // code, whose table starts at 4).
    if (s->next_code > s->code_mask && s->code_size < 12) {
        s->code_size++;
        s->code_mask = 2 * s->code_mask + 1;
    }
    s->old_code = code;
    s->old_offset = (uint32_t)start;
    s->old_length = length;
    return 1;
}

// How the data sub-blocks of an image ended.
enum data_end {
    DATA_BAD_CODE,     // a code not in the table: the image fails
    DATA_STOPPED,      // the end code, or a full raster: data may be left
    DATA_TERMINATOR,   // the zero-length sub-block
    DATA_FILE_END,     // the end of the file
};

// Reads data sub-blocks, turns their bytes into codes of the current
// width (least significant bits first) and decodes them, until the end
// code, a bad code, the zero-length terminator or the end of the file; or,
// at the end of a sub-block, until the raster is full ("raster full before
// eoi code").
static data_end decode_sub_blocks(lzw_state* s)
{
    uint32_t accumulator = 0;
    int pending = 0;  // bits in the accumulator
    unsigned char block[255];
    int n;
    while ((n = getc(in)) != EOF && n != 0) {
        size_t got = fread(block, 1, (size_t)n, in);
        for (size_t i = 0; i < got; i++) {
            accumulator |= (uint32_t)block[i] << pending;
            pending += 8;
            while (pending >= s->code_size) {
                int code = (int)(accumulator & (uint32_t)s->code_mask);
                accumulator >>= s->code_size;
                pending -= s->code_size;
                if (code == s->end_code)
                    return DATA_STOPPED;
                if (!process_code(s, code))
                    return DATA_BAD_CODE;
            }
        }
        if (s->fill >= s->end) {
            fprintf(stderr, "raster full before eoi code\n");
            return DATA_STOPPED;
        }
        if (got < (size_t)n)
            return DATA_FILE_END;
    }
    return n == 0 ? DATA_TERMINATOR : DATA_FILE_END;
}

// Reads one image's data (the minimum code size byte, then the data
// sub-blocks) and decodes it into the raster of `buffer` (laid out as
// above, all zero, holding width x height pixels); *decoded is the number
// of pixels the data filled. Returns 1 when the image is to be written, 0
// when it fails (message printed). Data left after the end code or a full
// raster is skipped up to its terminator. A raster left short is reported;
// the pixels the data never reaches stay 0.
static int decode_image(unsigned char* buffer, uint32_t width, uint32_t height,
                        uint64_t* decoded)
{
    int data_size = getc(in);
    if (data_size == EOF) {
        fprintf(stderr, "%s: end of file before image data\n", in_name);
        return 0;
    }
    if (data_size < 1 || data_size > 11) {
        // 0 leaves no code for a pixel; from 12 up the root codes alone
        // would fill the table.
        fprintf(stderr, "%s: bad LZW minimum code size %d\n", in_name, data_size);
        return 0;
    }
    static lzw_entry table[table_size];
    lzw_state s;
    s.data_size = data_size;
    s.clear_code = 1 << data_size;
    s.end_code = s.clear_code + 1;
    s.old_offset = 0;
    s.old_length = 0;
    s.base = buffer;
    s.fill = raster_lead;
    s.end = raster_lead + (size_t)width * height;
    s.table = table;
    clear_table(&s);
    for (int code = 0; code < s.clear_code; code++) {
        buffer[code] = (unsigned char)code;
        table[code].offset = (uint32_t)code;
        table[code].length = 1;
    }

    data_end end = decode_sub_blocks(&s);
    *decoded = s.fill - raster_lead;
    if (end == DATA_BAD_CODE)
        return 0;
    if (end == DATA_STOPPED)
        skip_sub_blocks();
    // Clear what the last block copy left past the fill position.
    memset(buffer + s.fill, 0, s.end - s.fill < 16 ? s.end - s.fill : 16);
    if (s.fill < s.end) {
        if (end == DATA_FILE_END) {
            fprintf(stderr, "%s: end of file in image data\n", in_name);
            data_cut_short = true;
        }
        fprintf(stderr, "warning: wrong rastersize: %ld bytes\n", (long)(s.fill - raster_lead));
        fprintf(stderr, "         instead of %ld bytes\n", (long)(s.end - raster_lead));
    }
    return 1;
}

// ---- Writing the TIFF directory ----------------------------------------

// The stream position of the row that an interlaced image shows at row `y`
// of `height`: its rows come as every 8th row from 0, every 8th from 4,
// every 4th from 2, then every 2nd from 1.
static uint32_t interlaced_source_row(uint32_t y, uint32_t height)
{
    uint32_t pass1 = (height + 7) / 8, pass2 = (height + 3) / 8, pass3 = (height + 1) / 4;
    if (y % 8 == 0)
        return y / 8;
    if (y % 8 == 4)
        return pass1 + y / 8;
    if (y % 4 == 2)
        return pass1 + pass2 + y / 4;
    return pass1 + pass2 + pass3 + y / 2;
}

// Puts the rows of an interlaced raster, held in stream order, into their
// display order in place, moving each row once along the cycles of the
// permutation. Returns 0 when the working memory is not there.
static int deinterlace(unsigned char* raster, uint32_t width, uint32_t height)
{
    unsigned char* row = (unsigned char*)_TIFFmalloc((tmsize_t)width);
    unsigned char* placed = (unsigned char*)_TIFFmalloc((tmsize_t)height);
    if (row == nullptr || placed == nullptr) {
        _TIFFfree(row);
        _TIFFfree(placed);
        return 0;
    }
    memset(placed, 0, height);
    for (uint32_t start = 0; start < height; start++) {
        if (placed[start])
            continue;
        memcpy(row, raster + (size_t)start * width, width);
        uint32_t y = start;
        for (;;) {
            placed[y] = 1;
            uint32_t from = interlaced_source_row(y, height);
            if (from == start) {
                memcpy(raster + (size_t)y * width, row, width);
                break;
            }
            memcpy(raster + (size_t)y * width, raster + (size_t)from * width, width);
            y = from;
        }
    }
    _TIFFfree(row);
    _TIFFfree(placed);
    return 1;
}

// The display row of stream row `r` of an interlaced image of `height`
// rows (the inverse of interlaced_source_row).
static uint32_t interlaced_display_row(uint32_t r, uint32_t height)
{
    uint32_t pass1 = (height + 7) / 8, pass2 = (height + 3) / 8, pass3 = (height + 1) / 4;
    if (r < pass1)
        return 8 * r;
    r -= pass1;
    if (r < pass2)
        return 8 * r + 4;
    r -= pass2;
    if (r < pass3)
        return 4 * r + 2;
    return 2 * (r - pass3) + 1;
}

// The rows of an image that its data reached: for data that stopped short,
// the image ends with the last row holding a decoded pixel (in display
// order), so the directory never claims rows the file did not hold.
static uint32_t rows_reached(uint64_t decoded, uint32_t width, uint32_t height, bool interlaced)
{
    uint64_t stream_rows = (decoded + width - 1) / width;
    if (stream_rows >= height)
        return height;
    if (!interlaced)
        return (uint32_t)stream_rows;
    uint32_t last = 0;
    for (uint32_t r = 0; r < stream_rows; r++) {
        uint32_t y = interlaced_display_row(r, height);
        last = y > last ? y : last;
    }
    return stream_rows == 0 ? 0 : last + 1;
}

// For an interlaced image whose data stopped short: a new raster of its
// first `rows` display rows, each taken from its stream row when the data
// reached it and 0 otherwise. Returns nullptr when there is no memory.
static unsigned char* deinterlace_reached(const unsigned char* raster, uint32_t width,
                                          uint32_t height, uint32_t rows, uint64_t decoded)
{
    unsigned char* shown = (unsigned char*)calloc((size_t)rows * width, 1);
    if (shown == nullptr)
        return nullptr;
    uint64_t stream_rows = (decoded + width - 1) / width;
    for (uint32_t y = 0; y < rows; y++) {
        uint32_t from = interlaced_source_row(y, height);
        if (from < stream_rows)
            memcpy(shown + (size_t)y * width, raster + (size_t)from * width, width);
    }
    return shown;
}

// Opens the output for the first image, of width x height pixels: from
// its walk of the file when that was possible, else knowing only this
// image. Returns 0 (reported) when it will not open.
static int open_output(uint32_t width, uint32_t height)
{
    uint64_t bound = output_bytes_bound;
    if (!output_bound_known)
        bound = unknown_bytes_bound((uint64_t)width * height);
    out = open_tiff_output(out_name, "w", bound);
    if (out == nullptr) {
        TIFFError(out_name, "Can not open output image");
        return 0;
    }
    return 1;
}

// Leaves out the directory being set up, of which no row was written: the
// output is made again when it holds no other; otherwise the directory is
// written and taken out of the chain again.
static void drop_directory()
{
    if (images_in_output == 0) {
        close_tiff_output_discarding(out);
        out = nullptr;
        remove_empty_output(out_name);
    } else if (TIFFWriteDirectory(out)) {
        TIFFUnlinkDirectory(out, (tdir_t)(images_in_output + 1));
    }
}

// Writes `height` rows of `raster` as the next palette directory of the
// output, opening it for the first (libtiff may change the rows while
// encoding them). Returns 0 when the output will not open.
static int write_strips(unsigned char* raster, uint32_t width, uint32_t height)
{
    if (out == nullptr && !open_output(width, height))
        return 0;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    rows_request = (int32_t)strip_rows(out, rows_request);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, (uint32_t)rows_request);
    apply_compression(out, &compression);
    TIFFSetField(out, TIFFTAG_COLORMAP, red_map, green_map, blue_map);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);

    uint64_t rows_per_strip = rows_request > 0 ? (uint64_t)rows_request : 1;
    uint32_t rows_written = 0;
    strip_writer* writer = open_strip_writer(out);
    for (uint32_t strip = 0; rows_written < height; strip++) {
        uint64_t rows = height - rows_written < rows_per_strip ? height - rows_written
                                                               : rows_per_strip;
        if (write_whole_strip(writer, strip, raster + (size_t)rows_written * width,
                              (tmsize_t)(rows * width)) < 0)
            break;
        rows_written += (uint32_t)rows;
    }
    if (!close_strip_writer(writer, &rows_written))
        output_failed = true;
    if (rows_written < height) {
        output_failed = true;
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows_written);
    }
    if (rows_written == 0)
        drop_directory();
    else if (TIFFWriteDirectory(out))
        images_in_output++;
    else
        output_failed = true;
    return 1;
}

// Writes the decoded raster (`decoded` pixels of width x height) as the
// next palette directory of the output; data that stopped short gives just the rows it
// reached, and none at all gives no directory (the run is then marked cut
// short). Returns 0 when the image fails (no memory, or the output will
// not open); a failed strip write is reported by libtiff, ends the image's
// strips and marks the run failed, and the directory then holds just the
// rows written.
static int write_tiff_image(unsigned char* raster, uint32_t width, uint32_t height,
                            uint64_t decoded, bool interlaced)
{
    uint32_t full_height = height;
    height = rows_reached(decoded, width, full_height, interlaced);
    if (height == 0) {
        fprintf(stderr, "%s: no pixel data, image not written\n", in_name);
        data_cut_short = true;
        return 1;
    }
    unsigned char* shown = nullptr;
    if (interlaced && height < full_height) {
        shown = deinterlace_reached(raster, width, full_height, height, decoded);
        raster = shown;
    } else if (interlaced && !deinterlace(raster, width, height)) {
        raster = nullptr;
    }
    if (raster == nullptr) {
        fprintf(stderr, "not enough memory for image\n");
        return 0;
    }
    int written = write_strips(raster, width, height);
    free(shown);
    return written;
}

// ---- The images --------------------------------------------------------

// Reads one image (the descriptor after the ',' separator, its colour
// table, its data), decodes it and writes its directory.
// Returns 1 on success, 0 when the image fails (message printed).
static int read_image()
{
    unsigned char descriptor[9];
    if (!read_exactly(descriptor, sizeof descriptor, "image descriptor"))
        return 0;
    uint32_t width = descriptor[4] | (uint32_t)descriptor[5] << 8;
    uint32_t height = descriptor[6] | (uint32_t)descriptor[7] << 8;
    unsigned flags = descriptor[8];
    bool local_map = (flags & 0x80) != 0;
    if (width == 0 || height == 0) {
        fprintf(stderr, "%s: empty image (%lu x %lu pixels)\n", in_name,
                (unsigned long)width, (unsigned long)height);
        return 0;
    }
    if (!local_map && !global_map_present) {
        fprintf(stderr, "no colormap present for image\n");
        return 0;
    }
    // calloc: a large raster comes as fresh zero pages, and the pages the
    // data never reaches are never touched.
    unsigned char* buffer =
        (unsigned char*)calloc(raster_lead + (size_t)width * height + raster_spare, 1);
    if (buffer == nullptr) {
        fprintf(stderr, "not enough memory for image\n");
        return 0;
    }
    int ok = 1;
    if (local_map) {
        int count = 1 << ((flags & 7) + 1);
        unsigned char table[256][3];
        fprintf(stderr, "   local colors: %d\n", count);
        ok = read_exactly(table, (size_t)3 * count, "colormap");
        if (ok)
            fill_colormap(table, count);
    } else {
        fill_colormap(global_map, 1 << global_map_bits);
    }
    uint64_t decoded = 0;
    if (ok)
        ok = decode_image(buffer, width, height, &decoded);
    if (ok)
        ok = write_tiff_image(buffer + raster_lead, width, height, decoded, (flags & 0x40) != 0);
    free(buffer);
    return ok;
}

// Converts the whole GIF file: header, screen descriptor, then block after
// block up to the trailer or the end of the file. Returns 0, or -1 when
// the file is not GIF 87a or 89a or an image fails; the images converted
// before stay in the output. A file that ends inside an extension is
// reported and marks the run cut short.
static int convert()
{
    if (!read_gif_header() || !read_screen_descriptor())
        return -1;
    for (;;) {
        switch (getc(in)) {
        case 0:
            break;
        case '!':
            if (!skip_extension()) {
                fprintf(stderr, "%s: end of file in extension block\n", in_name);
                data_cut_short = true;
                return 0;
            }
            break;
        case ',':
            if (!read_image())
                return -1;
            break;
        case ';':
        case EOF:
            return 0;
        default:
            fprintf(stderr, "illegal GIF block type\n");
            return -1;
        }
    }
}

// Fills gamma_table with the curve of exponent 1.5 over 0..255 -> 0..65535.
static void compute_gamma_table()
{
    for (int i = 0; i < 256; i++)
        gamma_table[i] = (uint16_t)(pow(i / 255.0, 1.5) * 65535.0 + 0.5);
}

// When the output file exists, asks on standard output whether to
// overwrite it and reads one character of answer. Returns 1 when the file
// may be written: it does not exist, or the answer is 'y' or 'Y'.
static int may_write_output()
{
    FILE* f = fopen(out_name, "r");
    if (f == nullptr)
        return 1;
    fclose(f);
    printf("overwrite %s? ", out_name);
    fflush(stdout);
    int answer = getchar();
    return answer == 'y' || answer == 'Y';
}

int main(int argc, char* argv[])
{
    const char optstring[] = "c:r:";
    answer_help_and_version(argc, argv, "lzwtag", optstring);
    compression = default_compression(COMPRESSION_PACKBITS);
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'c':
            if (!parse_compression_option(optarg, &compression, 0))
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
    in_name = argv[optind];
    out_name = argv[optind + 1];

    compute_gamma_table();
    note_input(in_name);
    if (output_is_input(out_name))
        return -1;
    if (!may_write_output())
        return 1;
    in = fopen(in_name, "rb");
    if (in == nullptr) {
        perror(in_name);
        return 1;
    }
    static char in_buffer[256 * 1024];
    setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
    output_bytes_bound = images_bytes_bound();
    int status = convert();
    fclose(in);
    if (out != nullptr && !close_tiff_output(out))
        output_failed = true;
    if (out != nullptr && images_in_output == 0)
        remove_empty_output(out_name);
    if (status == 0 && output_failed)
        status = -1;
    if (status == 0 && data_cut_short)
        status = 1;
    return status;
}
