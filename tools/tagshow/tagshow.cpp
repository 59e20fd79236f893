// tagshow: prints the directories of TIFF files and, on request, their
// strip or tile data in hexadecimal.
//
//   tagshow [options] input...
//
// Each file is opened read-only; one directory (by number or by offset) or
// every directory with the EXIF directory it points to is printed with
// libtiff's directory printer, and its image data is read decoded or raw
// when asked. Everything printed goes to standard output. The status is 1
// when a file could not be opened, a requested directory could not be
// reached or image data could not be read; every operand is still tried.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tiffio.h>

#include "file_identity.h"
#include "tiff_input.h"
#include "usage.h"

const char* const help_lines[] = {
    "usage: tagshow [options] input...",
    "where options are:",
    " -D\t\tread data",
    " -i\t\tignore read errors",
    " -c\t\tdisplay data for grey/color response curve or colormap",
    " -d\t\tdisplay raw/decoded image data",
    " -f lsb2msb\tforce lsb-to-msb FillOrder for input",
    " -f msb2lsb\tforce msb-to-lsb FillOrder for input",
    " -j\t\tshow JPEG tables",
    " -o offset\tset initial directory offset",
    " -r\t\tread/display raw image data instead of decoded data",
    " -s\t\tdisplay strip offsets and byte counts",
    " -w\t\tdisplay raw data in words rather than bytes",
    " -z\t\tenable strip chopping",
    " -#\t\tset initial directory (first directory is # 0)",
    " -S -l -m -v\taccepted and ignored",
    nullptr,
};

// Option state: set while the command line is read, then read-only.
static uint32_t print_flags = TIFFPRINT_NONE;
static uint16_t fill_override = 0;  // 0 none, else the forced FillOrder
static int dir_number = -1;         // -1: not given
static uint64_t dir_offset = 0;     // 0: not given (BigTIFF offsets take 64 bits)
static bool chop_strips = false;
static int want_read = 0;
static int want_dump = 0;
static bool raw_mode = false;
static bool word_mode = false;
static bool halt_on_error = true;

// Set when anything could not be opened, reached or read.
static bool any_failure = false;

// ---- Hexadecimal output ------------------------------------------------

// Output is gathered here and handed to standard output in large blocks;
// hex_flush must run before anything else writes to standard output.
static char hex_out[1 << 16];
static size_t hex_used = 0;

static void hex_flush()
{
    if (hex_used > 0)
        fwrite(hex_out, 1, hex_used, stdout);
    hex_used = 0;
}

// Appends `n` (at most 16) characters.
static void hex_put(const char* text, size_t n)
{
    if (hex_used + n > sizeof hex_out)
        hex_flush();
    memcpy(hex_out + hex_used, text, n);
    hex_used += n;
}

// Appends " %02x" for one byte.
static void hex_put_byte(uint8_t b)
{
    static const char digits[] = "0123456789abcdef";
    char text[3] = {' ', digits[b >> 4], digits[b & 15]};
    hex_put(text, 3);
}

// Appends " %04x" for one 16-bit value.
static void hex_put_word(uint16_t w)
{
    static const char digits[] = "0123456789abcdef";
    char text[5] = {' ', digits[(w >> 12) & 15], digits[(w >> 8) & 15], digits[(w >> 4) & 15],
                    digits[w & 15]};
    hex_put(text, 5);
}

// Prints `row_count` rows of `row_bytes` bytes under "Strip N:": each byte
// as " %02x", a line end after every 24th byte of a row and after its
// last byte. The buffer holds at least row_count * row_bytes bytes.
static void print_strip_rows(uint32_t strip, const uint8_t* buffer, uint32_t row_count,
                             uint64_t row_bytes)
{
    hex_flush();
    printf("Strip %lu:\n", (unsigned long)strip);
    for (uint32_t r = 0; r < row_count; r++) {
        const uint8_t* row = buffer + r * row_bytes;
        for (uint64_t i = 0; i < row_bytes;) {
            hex_put_byte(row[i]);
            if (++i % 24 == 0)
                hex_put("\n", 1);
        }
        hex_put("\n", 1);
    }
    hex_flush();
}

// Prints a decoded tile under "Tile (row,column[,sample]):" in the row
// layout of print_strip_rows; `sample` 0xFFFF leaves the sample out.
static void print_tile_rows(uint32_t row, uint32_t column, uint16_t sample,
                            const uint8_t* buffer, uint32_t row_count, uint64_t row_bytes)
{
    hex_flush();
    printf("Tile (%lu,%lu", (unsigned long)row, (unsigned long)column);
    if (sample != 0xFFFF)
        printf(",%u", sample);
    printf("):\n");
    for (uint32_t r = 0; r < row_count; r++) {
        const uint8_t* line = buffer + r * row_bytes;
        for (uint64_t i = 0; i < row_bytes;) {
            hex_put_byte(line[i]);
            if (++i % 24 == 0)
                hex_put("\n", 1);
        }
        hex_put("\n", 1);
    }
    hex_flush();
}

// Prints raw bytes as " %02x", "\n " after every 24th, a line end after
// the last.
static void print_hex_bytes(const uint8_t* buffer, uint64_t byte_count)
{
    for (uint64_t i = 0; i < byte_count;) {
        hex_put_byte(buffer[i]);
        if (++i % 24 == 0)
            hex_put("\n ", 2);
    }
    hex_put("\n", 1);
    hex_flush();
}

// Prints raw data as 16-bit values in the host's byte order, " %04x"
// each, "\n " after every 15th, a line end after the last.
static void print_hex_words(const uint8_t* buffer, uint64_t word_count)
{
    for (uint64_t i = 0; i < word_count;) {
        uint16_t w;
        memcpy(&w, buffer + 2 * i, 2);
        hex_put_word(w);
        if (++i % 15 == 0)
            hex_put("\n ", 2);
    }
    hex_put("\n", 1);
    hex_flush();
}

// ---- Decoded scans -------------------------------------------------------

// The size of the open file, or UINT64_MAX when it cannot be told.
static uint64_t file_size(TIFF* tif)
{
    struct stat st;
    if (fstat(TIFFFileno(tif), &st) != 0 || !S_ISREG(st.st_mode))
        return UINT64_MAX;
    return (uint64_t)st.st_size;
}

// The largest decoded strip or tile a scan takes a buffer for (1 TiB).
static const uint64_t largest_buffer = (uint64_t)1 << 40;

// A buffer of `size` bytes for one decoded strip or tile, or nullptr when
// it cannot be had. A size no file could fill is not asked for: beyond
// `largest_buffer`, or beyond the file itself when the data is stored
// uncompressed. The buffer is not cleared: only bytes a read has filled
// (or that were cleared after it) are printed.
static uint8_t* take_buffer(TIFF* tif, uint64_t size)
{
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    if (size == 0 || size > largest_buffer ||
        (compression == COMPRESSION_NONE && size > file_size(tif)))
        return nullptr;
    return (uint8_t*)_TIFFmalloc((tmsize_t)size);
}

// Rows per strip as the scans use it: the field's value, the whole image
// when absent, and never 0 (which would never advance).
static uint32_t strip_height(TIFF* tif, uint32_t height)
{
    uint32_t rows_per_strip = 0xFFFFFFFF;
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    if (rows_per_strip == 0 || rows_per_strip > height)
        rows_per_strip = height;
    return rows_per_strip;
}

// The buffer for one decoded strip: room for a whole strip as libtiff
// sizes it and for rows_per_strip rows of `row_bytes` as they are printed.
static uint8_t* take_strip_buffer(TIFF* tif, uint32_t rows_per_strip, uint64_t row_bytes)
{
    uint64_t strip_size = (uint64_t)TIFFStripSize(tif);
    if (row_bytes != 0 && rows_per_strip > UINT64_MAX / 2 / row_bytes)
        return nullptr;
    uint64_t rows_size = rows_per_strip * row_bytes;
    return take_buffer(tif, strip_size > rows_size ? strip_size : rows_size);
}

// Reads decoded strip `strip` into `buffer` for `row_count` rows and prints
// it when asked. Returns 0 when the read failed.
static int read_strip(TIFF* tif, uint32_t strip, uint8_t* buffer, uint32_t row_count,
                      uint64_t row_bytes)
{
    uint64_t wanted = row_count * row_bytes;
    tmsize_t got = TIFFReadEncodedStrip(tif, strip, buffer, (tmsize_t)wanted);
    if (got < 0)
        return 0;
    if (want_dump) {
        if ((uint64_t)got < wanted)
            memset(buffer + got, 0, (size_t)(wanted - (uint64_t)got));
        print_strip_rows(strip, buffer, row_count, row_bytes);
    }
    return 1;
}

// Reads every strip of a contiguous image; a read error ends the scan
// unless errors are ignored.
static void scan_strips_contig(TIFF* tif)
{
    uint64_t row_bytes = (uint64_t)TIFFScanlineSize(tif);
    uint32_t height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (height == 0)
        return;
    uint32_t rows_per_strip = strip_height(tif, height);
    uint8_t* buffer = take_strip_buffer(tif, rows_per_strip, row_bytes);
    if (buffer == nullptr) {
        any_failure = true;
        return;
    }
    for (uint64_t row = 0; row < height; row += rows_per_strip) {
        uint32_t row_count =
            row + rows_per_strip > height ? (uint32_t)(height - row) : rows_per_strip;
        uint32_t strip = TIFFComputeStrip(tif, (uint32_t)row, 0);
        if (!read_strip(tif, strip, buffer, row_count, row_bytes)) {
            any_failure = true;
            if (halt_on_error)
                break;
        }
    }
    _TIFFfree(buffer);
}

// Reads every strip of a separate-planes image, band by band and plane by
// plane; a read error skips the remaining planes of its band unless errors
// are ignored.
static void scan_strips_planar(TIFF* tif)
{
    uint64_t row_bytes = (uint64_t)TIFFScanlineSize(tif);
    uint32_t height = 0;
    uint16_t samples_per_pixel = 1;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel);
    if (height == 0)
        return;
    uint32_t rows_per_strip = strip_height(tif, height);
    uint8_t* buffer = take_strip_buffer(tif, rows_per_strip, row_bytes);
    if (buffer == nullptr) {
        any_failure = true;
        return;
    }
    for (uint64_t row = 0; row < height; row += rows_per_strip) {
        uint32_t row_count =
            row + rows_per_strip > height ? (uint32_t)(height - row) : rows_per_strip;
        for (uint16_t s = 0; s < samples_per_pixel; s++) {
            uint32_t strip = TIFFComputeStrip(tif, (uint32_t)row, s);
            if (!read_strip(tif, strip, buffer, row_count, row_bytes)) {
                any_failure = true;
                if (halt_on_error)
                    break;
            }
        }
    }
    _TIFFfree(buffer);
}

// The tile geometry the tile scans need; returns 0 (a failed scan) when
// the tile size is missing or zero.
static int tile_geometry(TIFF* tif, uint32_t* width, uint32_t* height, uint32_t* tile_width,
                         uint32_t* tile_length)
{
    *width = *height = *tile_width = *tile_length = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, tile_width);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, tile_length);
    return *tile_width != 0 && *tile_length != 0;
}

// The buffer for one decoded tile: room for the tile as libtiff sizes it
// and for the tile_length rows of `row_bytes` that are printed.
static uint8_t* take_tile_buffer(TIFF* tif, uint32_t tile_length, uint64_t row_bytes)
{
    uint64_t tile_size = (uint64_t)TIFFTileSize(tif);
    if (row_bytes != 0 && tile_length > UINT64_MAX / 2 / row_bytes)
        return nullptr;
    uint64_t rows_size = tile_length * row_bytes;
    return take_buffer(tif, tile_size > rows_size ? tile_size : rows_size);
}

// Reads the decoded tile at (`column`, `row`) of plane `sample` into
// `buffer` and prints it when asked, labelled with `label_sample` (0xFFFF:
// none). Returns 0 when the read failed.
static int read_tile(TIFF* tif, uint8_t* buffer, uint32_t column, uint32_t row,
                     uint16_t sample, uint16_t label_sample, uint32_t tile_length,
                     uint64_t row_bytes)
{
    tmsize_t got = TIFFReadTile(tif, buffer, column, row, 0, sample);
    if (got < 0)
        return 0;
    if (want_dump) {
        uint64_t shown = tile_length * row_bytes;
        if ((uint64_t)got < shown)
            memset(buffer + got, 0, (size_t)(shown - (uint64_t)got));
        print_tile_rows(row, column, label_sample, buffer, tile_length, row_bytes);
    }
    return 1;
}

// Reads every tile of a contiguous image, row of tiles by row of tiles; a
// read error skips the rest of its row of tiles unless errors are ignored.
static void scan_tiles_contig(TIFF* tif)
{
    uint32_t width, height, tile_width, tile_length;
    uint64_t row_bytes = (uint64_t)TIFFTileRowSize(tif);
    uint8_t* buffer = nullptr;
    if (tile_geometry(tif, &width, &height, &tile_width, &tile_length)) {
        if (width == 0 || height == 0)
            return;
        buffer = take_tile_buffer(tif, tile_length, row_bytes);
    }
    if (buffer == nullptr) {
        any_failure = true;
        return;
    }
    for (uint64_t row = 0; row < height; row += tile_length) {
        for (uint64_t column = 0; column < width; column += tile_width) {
            if (!read_tile(tif, buffer, (uint32_t)column, (uint32_t)row, 0, 0xFFFF, tile_length,
                           row_bytes)) {
                any_failure = true;
                if (halt_on_error)
                    break;
            }
        }
    }
    _TIFFfree(buffer);
}

// Reads every tile of a separate-planes image, position by position and
// plane by plane; a read error skips the remaining planes of its tile
// position unless errors are ignored.
static void scan_tiles_planar(TIFF* tif)
{
    uint32_t width, height, tile_width, tile_length;
    uint16_t samples_per_pixel = 1;
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel);
    uint64_t row_bytes = (uint64_t)TIFFTileRowSize(tif);
    uint8_t* buffer = nullptr;
    if (tile_geometry(tif, &width, &height, &tile_width, &tile_length)) {
        if (width == 0 || height == 0)
            return;
        buffer = take_tile_buffer(tif, tile_length, row_bytes);
    }
    if (buffer == nullptr) {
        any_failure = true;
        return;
    }
    for (uint64_t row = 0; row < height; row += tile_length) {
        for (uint64_t column = 0; column < width; column += tile_width) {
            for (uint16_t s = 0; s < samples_per_pixel; s++) {
                if (!read_tile(tif, buffer, (uint32_t)column, (uint32_t)row, s, s, tile_length,
                               row_bytes)) {
                    any_failure = true;
                    if (halt_on_error)
                        break;
                }
            }
        }
    }
    _TIFFfree(buffer);
}

// Reads the decoded data of the current directory with the scan that fits
// its layout.
static void scan_decoded(TIFF* tif)
{
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (TIFFIsTiled(tif)) {
        if (planar == PLANARCONFIG_CONTIG)
            scan_tiles_contig(tif);
        else
            scan_tiles_planar(tif);
    } else {
        if (planar == PLANARCONFIG_CONTIG)
            scan_strips_contig(tif);
        else
            scan_strips_planar(tif);
    }
}

// ---- Raw scan ------------------------------------------------------------

// Reads the undecoded bytes of every strip (or tile) and prints them when
// asked, bit-reversed first when `reverse_bits` is set. A failed read ends
// the scan unless errors are ignored. Messages say "strip" for tiles too.
static void scan_raw(TIFF* tif, bool reverse_bits)
{
    bool tiled = TIFFIsTiled(tif) != 0;
    uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    const char* label = tiled ? "Tile" : "Strip";
    if (count == 0)
        return;
    uint64_t* byte_counts = nullptr;
    if (!TIFFGetField(tif, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS,
                      &byte_counts) ||
        byte_counts == nullptr) {
        fprintf(stderr, "Error reading strip %lu\n", 0ul);
        any_failure = true;
        return;
    }
    // A byte count beyond the end of the file cannot be read; it is not
    // allocated either.
    uint64_t limit = file_size(tif);
    uint64_t capacity = byte_counts[0] > 0 && byte_counts[0] <= limit ? byte_counts[0] : 1;
    uint8_t* buffer = (uint8_t*)_TIFFmalloc((tmsize_t)capacity);
    for (uint32_t s = 0; s < count; s++) {
        uint64_t n = byte_counts[s];
        if (n > capacity && n <= limit && n <= (uint64_t)INT64_MAX && buffer != nullptr) {
            uint8_t* bigger = (uint8_t*)_TIFFrealloc(buffer, (tmsize_t)n);
            if (bigger == nullptr)
                _TIFFfree(buffer);
            buffer = bigger;
            capacity = n;
        }
        if (buffer == nullptr) {
            fprintf(stderr, "Cannot allocate buffer to read strip %lu\n", (unsigned long)s);
            any_failure = true;
            break;
        }
        tmsize_t got = -1;
        if (n <= capacity)
            got = tiled ? TIFFReadRawTile(tif, s, buffer, (tmsize_t)n)
                        : TIFFReadRawStrip(tif, s, buffer, (tmsize_t)n);
        if (got < 0) {
            fprintf(stderr, "Error reading strip %lu\n", (unsigned long)s);
            any_failure = true;
            if (halt_on_error)
                break;
            continue;
        }
        if (!want_dump)
            continue;
        // Only what was read is shown.
        n = (uint64_t)got;
        if (reverse_bits) {
            TIFFReverseBits(buffer, (tmsize_t)n);
            printf("%s %lu: (bit reversed)\n ", label, (unsigned long)s);
        } else {
            printf("%s %lu:\n ", label, (unsigned long)s);
        }
        if (word_mode)
            print_hex_words(buffer, n / 2);
        else
            print_hex_bytes(buffer, n);
    }
    if (buffer != nullptr)
        _TIFFfree(buffer);
}

// ---- Directories ---------------------------------------------------------

// Prints the current directory and, when data is wanted, reads it raw or
// decoded. A directory without an image (an EXIF directory) is only
// printed.
static void describe_directory(TIFF* tif, uint16_t fill_override, uint32_t print_flags)
{
    TIFFPrintDirectory(tif, stdout, (long)print_flags);
    uint32_t height = 0;
    if (!want_read || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
        return;
    if (raw_mode) {
        bool reverse_bits = false;
        if (fill_override != 0) {
            uint16_t fill_order = FILLORDER_MSB2LSB;
            TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill_order);
            reverse_bits = fill_order != fill_override;
        }
        scan_raw(tif, reverse_bits);
    } else {
        if (fill_override != 0)
            TIFFSetField(tif, TIFFTAG_FILLORDER, fill_override);
        scan_decoded(tif);
    }
}

// Prints every directory of an open file, each followed by the EXIF
// directory it points to.
static void describe_all_directories(TIFF* tif)
{
    do {
        describe_directory(tif, fill_override, print_flags);
        uint64_t exif_offset = 0;
        if (TIFFGetField(tif, TIFFTAG_EXIFIFD, &exif_offset) &&
            TIFFReadEXIFDirectory(tif, exif_offset))
            describe_directory(tif, fill_override, print_flags);
    } while (TIFFReadDirectory(tif));
}

// The directory number a digit option sets: the number in the word that
// holds the option, read from its second character, as the last digit of
// a word such as "-12" leaves it.
static int directory_number_option(char* const argv[])
{
    const char* word = argv[optind - 1];
    return word[0] == '\0' ? 0 : atoi(word + 1);
}

int main(int argc, char* argv[])
{
    const char optstring[] = "f:o:cdDSjilmrsvwz0123456789";
    answer_help_and_version(argc, argv, "tagshow", optstring);
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            dir_number = directory_number_option(argv);
            break;
        case 'c':
            print_flags |= TIFFPRINT_CURVES | TIFFPRINT_COLORMAP;
            break;
        case 'd':
            want_dump++;
            want_read++;
            break;
        case 'D':
            want_read++;
            break;
        case 'f':
            if (strcasecmp(optarg, "lsb2msb") == 0)
                fill_override = FILLORDER_LSB2MSB;
            else if (strcasecmp(optarg, "msb2lsb") == 0)
                fill_override = FILLORDER_MSB2LSB;
            else
                usage(-1);
            break;
        case 'i':
            halt_on_error = false;
            break;
        case 'j':
            print_flags |= TIFFPRINT_JPEGQTABLES | TIFFPRINT_JPEGACTABLES |
                           TIFFPRINT_JPEGDCTABLES;
            break;
        case 'o':
            dir_offset = strtoull(optarg, nullptr, 0);
            break;
        case 'r':
            raw_mode = true;
            break;
        case 's':
            print_flags |= TIFFPRINT_STRIPS;
            break;
        case 'w':
            word_mode = true;
            break;
        case 'z':
            chop_strips = true;
            break;
        case 'S': case 'l': case 'm': case 'v':
            break;
        default:
            usage(-1);
        }
    }
    if (optind >= argc)
        usage(-1);

    for (int i = optind; i < argc; i++)
        note_input(argv[i]);
    if (standard_output_is_input())
        return 1;
    bool several = argc - optind > 1;
    for (int i = optind; i < argc; i++) {
        if (several)
            printf("%s:\n", argv[i]);
        fflush(stdout);
        TIFF* tif = open_tiff_input(argv[i], chop_strips ? "rC" : "rc");
        if (tif == nullptr) {
            any_failure = true;
            continue;
        }
        if (dir_number != -1) {
            if (TIFFSetDirectory(tif, (uint16_t)dir_number))
                describe_directory(tif, fill_override, print_flags);
            else
                any_failure = true;
        } else if (dir_offset != 0) {
            if (TIFFSetSubDirectory(tif, dir_offset))
                describe_directory(tif, fill_override, print_flags);
            else
                any_failure = true;
        } else {
            describe_all_directories(tif);
        }
        TIFFClose(tif);
        fflush(stdout);
    }
    if (fflush(stdout) != 0 || ferror(stdout))
        any_failure = true;
    return any_failure ? 1 : 0;
}
