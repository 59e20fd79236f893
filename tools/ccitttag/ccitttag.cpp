// ccitttag: turns files of raw CCITT Group 3 or Group 4 fax data into one
// multi-page TIFF file, one page per input file.
//
//   ccitttag [options] input.raw...
//
// The raw data has no header: the options say how it is coded. Each file
// is held in memory and described to libtiff's own fax decoder as the one
// strip of a read-only in-memory TIFF image, whose rows are decoded one at
// a time and written to the output page. A row that fails to decode is
// replaced by the last row that decoded, and counted.

#include <cmath>
#include <cstdarg>
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
    "usage: ccitttag [options] input.raw...",
    "where options are:",
    " -3\t\tinput data is G3-encoded\t\t[default]",
    " -4\t\tinput data is G4-encoded",
    " -U\t\tinput data is uncompressed (G3 or G4)",
    " -1\t\tinput data is 1D-encoded (G3 only)\t[default]",
    " -2\t\tinput data is 2D-encoded (G3 only)",
    " -P\t\tinput is not EOL-aligned (G3 only)\t[default]",
    " -A\t\tinput is EOL-aligned (G3 only)",
    " -M\t\tinput data has MSB2LSB bit order",
    " -L\t\tinput data has LSB2MSB bit order\t[default]",
    " -B\t\tinput data has min 0 means black",
    " -W\t\tinput data has min 0 means white\t[default]",
    " -R #\t\tinput data has # resolution (lines/inch) [default is 196]",
    " -X #\t\tinput data has # width\t\t\t[default is 1728]",
    "",
    " -o out.tif\twrite output to out.tif",
    " -7\t\tgenerate G3-encoded output\t\t[default]",
    " -8\t\tgenerate G4-encoded output",
    " -u\t\tgenerate uncompressed output (G3 or G4)",
    " -5\t\tgenerate 1D-encoded output (G3 only)\t[default]",
    " -6\t\tgenerate 2D-encoded output (G3 only)",
    " -p\t\tgenerate not EOL-aligned output (G3 only)\t[default]",
    " -a\t\tgenerate EOL-aligned output (G3 only)",
    " -c\t\tgenerate \"classic\" TIFF format",
    " -f\t\tgenerate TIFF Class F (TIFF/F) format\t[default]",
    " -m\t\toutput fill order is MSB2LSB",
    " -l\t\toutput fill order is LSB2MSB\t\t[default]",
    " -b\t\toutput data has min 0 means black",
    " -w\t\toutput data has min 0 means white\t[default]",
    " -r #\t\tmake each strip have no more than # rows",
    " -s\t\tstretch image by duplicating scanlines",
    " -v\t\tprint information about conversion work",
    " -z\t\tgenerate LZW compressed output",
    nullptr,
};

// ---- Settings ----------------------------------------------------------

static int in_scheme = COMPRESSION_CCITTFAX3;
static int out_scheme = COMPRESSION_CCITTFAX3;
static uint32_t in_g3_flags = 0;
static uint32_t out_g3_flags = 0;
static uint32_t in_g4_flags = 0;
static uint32_t out_g4_flags = 0;
static int in_bit_order = FILLORDER_LSB2MSB;
static int out_bit_order = FILLORDER_LSB2MSB;
static int in_polarity = PHOTOMETRIC_MINISWHITE;
static int out_polarity = PHOTOMETRIC_MINISWHITE;
static int tiff_class = FAXMODE_CLASSF;
static float line_resolution = 196.0f;
static int page_width = 1728;
static int32_t rows_request = 0;
static bool double_rows = false;
static int verbosity = 0;
static const char* program_name = "ccitttag";

// The two row buffers, (page_width + 7) / 8 bytes each, and what
// transcode_fax_file leaves about the damage it found in a file.
static unsigned char* decoded_row;
static unsigned char* last_good_row;
static int32_t bad_row_total;
static uint16_t bad_row_run_max;

// ---- Copying rows with repair ------------------------------------------

// What one attempt to decode a row gives.
enum row_result {
    ROW_GOOD,   // a row, in decoded_row
    ROW_BAD,    // a row that failed to decode (decoded_row is not to be used)
    ROW_EMPTY,  // no pixel found: a stray line end, kept back by copy_rows
    ROW_END,    // the data holds no further row
};

// A source of decoded rows: fills decoded_row and says what it holds.
typedef row_result (*row_decoder)(void* source);

// The output page being written: the file (nullptr when the rows are only
// counted), the page's place among the input files, the vertical
// resolution the raw data is described with, and, once its fields are
// set, the strip writer its rows go to.
struct output_page {
    TIFF* out;
    int page;
    int page_count;
    float resolution;
    strip_writer* writer;
    bool started;
};

static void set_page_fields(const output_page* page);

// Writes `row` at *row_number (twice with -s), advancing *row_number; the
// page's fields are set before its first row, so that a page that gets no
// row leaves no directory behind. Returns false after reporting a failed
// write.
static bool write_row(output_page* page, unsigned char* row, int32_t* row_number)
{
    if (page->out == nullptr) {
        *row_number += double_rows ? 2 : 1;
        return true;
    }
    if (!page->started) {
        set_page_fields(page);
        page->writer = open_strip_writer(page->out);
        page->started = true;
    }
    for (int copy = 0; copy < (double_rows ? 2 : 1); copy++) {
        if (write_strip_row(page->writer, row, (uint32_t)*row_number, 0) < 0) {
            fprintf(stderr, "%s: Write error at row %ld.\n", TIFFFileName(page->out),
                    (long)*row_number);
            return false;
        }
        ++*row_number;
    }
    return true;
}

// Ends a run of failed rows: the longest run so far goes to
// bad_row_run_max (which stops at its largest value).
static void end_bad_run(uint32_t* bad_run)
{
    if (*bad_run > bad_row_run_max)
        bad_row_run_max = *bad_run > 0xffff ? 0xffff : (uint16_t)*bad_run;
    *bad_run = 0;
}

// Takes rows from `decode` until it reports the end and writes them to the
// page. A failed row is written as a copy of the last good row (zero bytes
// before the first one) and counted in bad_row_total; the longest run of
// failed rows, the run at the end included, goes to bad_row_run_max.
// Empty rows (line ends with nothing before them) are held back: followed
// by a row they are written as blank rows, at the end of the data they are
// the end-of-page code and are dropped. Returns the number of rows
// written, all of them handed to the output (the page's strip writer is
// closed); *write_failed tells whether a write failed.
static int32_t copy_rows(row_decoder decode, void* source, output_page* page,
                         bool* write_failed)
{
    size_t row_bytes = ((size_t)page_width + 7) / 8;
    int32_t row_number = 0;
    uint32_t bad_run = 0;
    uint32_t pending_blank = 0;
    bool written = true;
    bad_row_total = 0;
    bad_row_run_max = 0;
    memset(last_good_row, 0, row_bytes);
    for (row_result result; written && (result = decode(source)) != ROW_END; ) {
        if (result == ROW_EMPTY) {
            pending_blank++;
            continue;
        }
        if (pending_blank > 0) {
            end_bad_run(&bad_run);
            memset(last_good_row, 0, row_bytes);
            for (; written && pending_blank > 0; pending_blank--)
                written = write_row(page, last_good_row, &row_number);
            if (!written)
                break;
        }
        if (result == ROW_BAD) {
            bad_row_total++;
            bad_run++;
            memcpy(decoded_row, last_good_row, row_bytes);
        } else {
            end_bad_run(&bad_run);
            memcpy(last_good_row, decoded_row, row_bytes);
        }
        written = write_row(page, decoded_row, &row_number);
    }
    end_bad_run(&bad_run);
    uint32_t kept = (uint32_t)row_number;
    if (page->started && !close_strip_writer(page->writer, &kept))
        written = false;
    row_number = (int32_t)kept;
    page->writer = nullptr;
    *write_failed = !written;
    return row_number;
}

// ---- The raw data as an in-memory TIFF image ---------------------------

// The bytes of one input file behind a small TIFF header and directory
// that describe them as the single strip of an image of `rows` rows.
struct memory_tiff {
    unsigned char* bytes;
    uint64_t size;
    uint64_t position;
};

static const uint32_t DIRECTORY_ENTRIES = 13;
// Header, entry count, entries, next-directory offset, YResolution value.
static const uint32_t HEADER_BYTES = 8 + 2 + 12 * DIRECTORY_ENTRIES + 4 + 8;
// Rows the in-memory image is given: a Group 4 row may take a single bit,
// so the data can hold 8 rows per byte. The limit keeps the output row
// numbers (two per row with -s) within 31 bits.
static const uint64_t MAX_DECODED_ROWS = (1u << 30) - 1;

static tmsize_t memory_read(thandle_t h, void* data, tmsize_t n)
{
    memory_tiff* m = (memory_tiff*)h;
    if (n <= 0 || m->position >= m->size)
        return 0;
    uint64_t k = m->size - m->position < (uint64_t)n ? m->size - m->position : (uint64_t)n;
    memcpy(data, m->bytes + m->position, (size_t)k);
    m->position += k;
    return (tmsize_t)k;
}

static tmsize_t memory_write(thandle_t, void*, tmsize_t)
{
    return -1;
}

static toff_t memory_seek(thandle_t h, toff_t offset, int whence)
{
    memory_tiff* m = (memory_tiff*)h;
    uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->position : m->size;
    m->position = base + offset;
    return m->position;
}

static int memory_close(thandle_t)
{
    return 0;
}

static toff_t memory_size(thandle_t h)
{
    return ((memory_tiff*)h)->size;
}

static int memory_map(thandle_t h, void** base, toff_t* size)
{
    memory_tiff* m = (memory_tiff*)h;
    *base = m->bytes;
    *size = m->size;
    return 1;
}

static void memory_unmap(thandle_t, void*, toff_t)
{
}

static void put16(unsigned char** p, unsigned v)
{
    (*p)[0] = (unsigned char)v;
    (*p)[1] = (unsigned char)(v >> 8);
    *p += 2;
}

static void put32(unsigned char** p, uint32_t v)
{
    put16(p, v & 0xffff);
    put16(p, v >> 16);
}

// One directory entry holding a single SHORT or LONG value.
static void put_entry(unsigned char** p, unsigned tag, unsigned type, uint32_t value)
{
    put16(p, tag);
    put16(p, type);
    put32(p, 1);
    if (type == TIFF_SHORT) {
        put16(p, value);
        put16(p, 0);
    } else {
        put32(p, value);
    }
}

// `value` as an unsigned rational with a power-of-two denominator, exact
// for any float from 1 up; false when it has none (not positive, not
// finite, or 2^32 and above).
static bool rational_for(float value, uint32_t* numerator, uint32_t* denominator)
{
    if (!(value > 0) || !std::isfinite(value) || value >= 4294967295.0f)
        return false;
    double den = 1;
    while (den < 2147483648.0 && (double)value * den * 2 < 4294967295.0)
        den *= 2;
    double num = std::floor((double)value * den + 0.5);
    if (num < 1)
        return false;
    *numerator = (uint32_t)num;
    *denominator = (uint32_t)den;
    return true;
}

// Writes the little-endian TIFF header and the directory that describes
// `data_size` bytes following it as the raw input: the fields the options
// give, and one strip of `rows` rows.
static void write_header(unsigned char* p, uint32_t data_size, uint32_t rows)
{
    const uint32_t directory_end = 8 + 2 + 12 * DIRECTORY_ENTRIES + 4;
    uint32_t numerator = 0, denominator = 0;
    bool have_resolution = rational_for(line_resolution, &numerator, &denominator);
    unsigned char* start = p;
    put16(&p, 0x4949);
    put16(&p, 42);
    put32(&p, 8);
    put16(&p, have_resolution ? DIRECTORY_ENTRIES : DIRECTORY_ENTRIES - 1);
    put_entry(&p, TIFFTAG_IMAGEWIDTH, TIFF_LONG, (uint32_t)page_width);
    put_entry(&p, TIFFTAG_IMAGELENGTH, TIFF_LONG, rows);
    put_entry(&p, TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1);
    put_entry(&p, TIFFTAG_COMPRESSION, TIFF_SHORT, (uint32_t)in_scheme);
    put_entry(&p, TIFFTAG_PHOTOMETRIC, TIFF_SHORT, (uint32_t)in_polarity);
    put_entry(&p, TIFFTAG_FILLORDER, TIFF_SHORT, (uint32_t)in_bit_order);
    put_entry(&p, TIFFTAG_STRIPOFFSETS, TIFF_LONG, HEADER_BYTES);
    put_entry(&p, TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1);
    put_entry(&p, TIFFTAG_ROWSPERSTRIP, TIFF_LONG, rows);
    put_entry(&p, TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, data_size);
    if (have_resolution) {
        put16(&p, TIFFTAG_YRESOLUTION);
        put16(&p, TIFF_RATIONAL);
        put32(&p, 1);
        put32(&p, directory_end);
    }
    put_entry(&p, TIFFTAG_PLANARCONFIG, TIFF_SHORT, PLANARCONFIG_CONTIG);
    put_entry(&p, TIFFTAG_RESOLUTIONUNIT, TIFF_SHORT, RESUNIT_INCH);
    while (p < start + directory_end)
        *p++ = 0;  // no next directory, and the unused entry if any
    put32(&p, numerator);
    put32(&p, denominator);
}

// Reads all of `in` into a new buffer, leaving HEADER_BYTES free in front.
// Returns the buffer (the caller frees it with _TIFFfree) and its data
// size, or null after reporting "Not enough memory" or a read error
// through libtiff's error handler.
static unsigned char* read_raw_file(FILE* in, const char* name, uint64_t* data_size)
{
    // Raw files beyond this cannot be described by a classic TIFF header.
    const uint64_t max_data = 0xFFFFFFFFu - HEADER_BYTES;
    struct stat st;
    uint64_t capacity = 1 << 16;
    if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        capacity = (uint64_t)st.st_size + 1;  // + 1 to see the end at once
    if (capacity > max_data + 1)
        capacity = max_data + 1;
    unsigned char* buffer = (unsigned char*)_TIFFmalloc((tmsize_t)(HEADER_BYTES + capacity));
    uint64_t size = 0;
    for (;;) {
        if (buffer == nullptr) {
            TIFFError(name, "Not enough memory");
            return nullptr;
        }
        size += fread(buffer + HEADER_BYTES + size, 1, (size_t)(capacity - size), in);
        if (ferror(in)) {
            TIFFError(name, "Read error at scanline 0");
            _TIFFfree(buffer);
            return nullptr;
        }
        if (size < capacity)
            break;
        if (capacity > max_data) {
            TIFFError(name, "Not enough memory");
            _TIFFfree(buffer);
            return nullptr;
        }
        capacity = capacity * 2 > max_data + 1 ? max_data + 1 : capacity * 2;
        unsigned char* grown =
            (unsigned char*)_TIFFrealloc(buffer, (tmsize_t)(HEADER_BYTES + capacity));
        if (grown == nullptr)
            _TIFFfree(buffer);
        buffer = grown;
    }
    *data_size = size;
    return buffer;
}

// ---- Decoding with libtiff's fax decoder ------------------------------

typedef void (*fax_fill_routine)(unsigned char* buffer, uint32_t* runs, uint32_t* runs_end,
                                 uint32_t row_width);

// The decoder's own fill routine, and what the wrapper saw of the row last
// decoded: whether it was given any run that starts a change of colour
// inside the row (a row of runs that only say "white to the end", the
// decoder's filler when it found no pixel, is an empty row).
static fax_fill_routine decoder_fill;
static bool row_has_pixels;

// Notes whether the row holds any decoded pixel, then fills it as the
// decoder would.
static void watch_row_runs(unsigned char* buffer, uint32_t* runs, uint32_t* runs_end,
                           uint32_t row_width)
{
    row_has_pixels = runs < runs_end && runs[0] < row_width;
    decoder_fill(buffer, runs, runs_end, row_width);
}

// A message of the decoder, held until the row it came with is known to
// be a row of the page.
struct decoder_message {
    bool error;
    char module[32];
    char text[224];
};

// Messages held at most; those beyond are only counted.
static const uint32_t HELD_MESSAGES = 8;

// One input file bound to the decoder.
struct fax_source {
    TIFF* decoder;
    uint32_t next_row;
    uint32_t errors;    // decoder errors since the handle was opened
    uint32_t warnings;  // decoder warnings since the handle was opened
    bool ended;
    // The decoder's messages about the rows decoded since the last row
    // of the page: the row being decoded and the empty rows before it.
    decoder_message held[HELD_MESSAGES];
    uint32_t held_count;  // all of them, also those beyond HELD_MESSAGES
};

// Takes a message of the decoder on this handle. The row decoders' own
// messages (modules "Fax3Decode1D", "Fax4Decode" and so on) are counted
// and held, to be shown with -v once their row is known to belong to the
// page (the line ends that close a page give them too); returns 1 for
// those, so that libtiff prints nothing itself. Any other message is
// counted and left to the handler in force (returns 0).
static int hold_message(fax_source* s, bool error, const char* module, const char* format,
                        va_list ap)
{
    if (error)
        s->errors++;
    else
        s->warnings++;
    if (module == nullptr || strncmp(module, "Fax", 3) != 0)
        return 0;
    if (s->held_count < HELD_MESSAGES) {
        decoder_message* m = &s->held[s->held_count];
        m->error = error;
        snprintf(m->module, sizeof m->module, "%s", module);
        vsnprintf(m->text, sizeof m->text, format, ap);
    }
    s->held_count++;
    return 1;
}

static int hold_error(TIFF*, void* user_data, const char* module, const char* format,
                      va_list ap)
{
    return hold_message((fax_source*)user_data, true, module, format, ap);
}

static int hold_warning(TIFF*, void* user_data, const char* module, const char* format,
                        va_list ap)
{
    return hold_message((fax_source*)user_data, false, module, format, ap);
}

// Shows the held messages with -v, through libtiff's handlers, as libtiff
// would have shown them; drops them without -v.
static void show_held_messages(fax_source* s, const char* name)
{
    uint32_t shown = s->held_count < HELD_MESSAGES ? s->held_count : HELD_MESSAGES;
    for (uint32_t i = 0; verbosity != 0 && i < shown; i++) {
        if (s->held[i].error)
            TIFFError(s->held[i].module, "%s", s->held[i].text);
        else
            TIFFWarning(s->held[i].module, "%s", s->held[i].text);
    }
    if (verbosity != 0 && s->held_count > shown)
        TIFFWarning(name, "%u more messages of the decoder about these rows",
                    (unsigned)(s->held_count - shown));
    s->held_count = 0;
}

// Decodes the next row. The decoder reports a row it could not finish
// when the data ends inside it; a row that was cut short or too long, or
// in which it met a bad code word, it fills out and reports decoded, with
// a message: such a row is bad. A row in which it found no pixel but a
// line end (with a warning) is empty: in Group 3 data it may be a stray
// line end or one of the line ends that close the page, in Group 4 data,
// which holds no line end except in its end-of-page code, it ends the
// page. The decoder's messages about a row of the page are shown with
// -v; those about empty rows wait for the next row, and are dropped with
// them at the end of the data.
static row_result decode_fax_row(void* p)
{
    fax_source* s = (fax_source*)p;
    if (s->ended)
        return ROW_END;
    uint32_t errors_before = s->errors, warnings_before = s->warnings;
    row_has_pixels = false;
    int status = TIFFReadScanline(s->decoder, decoded_row, s->next_row, 0);
    s->next_row++;
    bool erred = s->errors != errors_before;
    bool empty = !row_has_pixels && !erred && s->warnings != warnings_before;
    row_result result = ROW_GOOD;
    if (status < 0) {
        s->ended = true;
        result = row_has_pixels ? ROW_BAD : ROW_END;
    } else if (empty) {
        if (in_scheme == COMPRESSION_CCITTFAX4) {
            s->ended = true;
            result = ROW_END;
        } else {
            result = ROW_EMPTY;
        }
    } else if (erred || s->warnings != warnings_before) {
        result = ROW_BAD;
    }
    if (result == ROW_END)
        s->held_count = 0;
    else if (result != ROW_EMPTY)
        show_held_messages(s, TIFFFileName(s->decoder));
    return result;
}

// Decodes one raw fax file (already open as `in`) row by row and writes
// its rows to the output page. Returns the number of rows written and
// leaves the damage counts in bad_row_total and bad_row_run_max; *failed
// tells whether the file could not be read or decoded, or a write failed.
static int32_t transcode_fax_file(FILE* in, const char* name, output_page* page, bool* failed)
{
    bad_row_total = 0;
    bad_row_run_max = 0;
    uint64_t data_size = 0;
    unsigned char* bytes = read_raw_file(in, name, &data_size);
    if (bytes == nullptr) {
        *failed = true;
        return 0;
    }
    if (data_size == 0) {
        _TIFFfree(bytes);
        return 0;
    }
    uint64_t rows = data_size * 8 + 8;
    if (rows > MAX_DECODED_ROWS)
        rows = MAX_DECODED_ROWS;
    write_header(bytes, (uint32_t)data_size, (uint32_t)rows);
    memory_tiff memory = {bytes, HEADER_BYTES + data_size, 0};

    fax_source source = {};
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        TIFFError(name, "Not enough memory");
        _TIFFfree(bytes);
        *failed = true;
        return 0;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, hold_error, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options, hold_warning, &source);
    source.decoder = TIFFClientOpenExt(name, "r", (thandle_t)&memory, memory_read,
                                       memory_write, memory_seek, memory_close, memory_size,
                                       memory_map, memory_unmap, options);
    TIFFOpenOptionsFree(options);
    if (source.decoder == nullptr) {
        fprintf(stderr, "%s: Can not create fake input file\n", program_name);
        _TIFFfree(bytes);
        *failed = true;
        return 0;
    }
    if (in_scheme == COMPRESSION_CCITTFAX3)
        TIFFSetField(source.decoder, TIFFTAG_GROUP3OPTIONS, in_g3_flags);
    else if (in_scheme == COMPRESSION_CCITTFAX4)
        TIFFSetField(source.decoder, TIFFTAG_GROUP4OPTIONS, in_g4_flags);
    TIFFGetField(source.decoder, TIFFTAG_YRESOLUTION, &page->resolution);
    decoder_fill = nullptr;
    TIFFGetField(source.decoder, TIFFTAG_FAXFILLFUNC, &decoder_fill);
    int32_t written = 0;
    if (decoder_fill == nullptr) {
        TIFFError(name, "No fax decoder for this data");
        *failed = true;
    } else {
        TIFFSetField(source.decoder, TIFFTAG_FAXFILLFUNC, watch_row_runs);
        bool write_failed = false;
        written = copy_rows(decode_fax_row, &source, page, &write_failed);
        if (write_failed)
            *failed = true;
    }
    TIFFClose(source.decoder);
    _TIFFfree(bytes);
    return written;
}

// ---- The output pages --------------------------------------------------

// Sets the fields of the page on the output, in their fixed order; the
// image length follows once the rows are written.
static void set_page_fields(const output_page* page)
{
    TIFF* out = page->out;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, (uint32_t)page_width);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_COMPRESSION, out_scheme);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, out_polarity);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    uint32_t strip_height;
    if (out_scheme == COMPRESSION_CCITTFAX3 || out_scheme == COMPRESSION_CCITTFAX4) {
        if (out_scheme == COMPRESSION_CCITTFAX3)
            TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, out_g3_flags);
        else
            TIFFSetField(out, TIFFTAG_GROUP4OPTIONS, out_g4_flags);
        TIFFSetField(out, TIFFTAG_FAXMODE, tiff_class);
        strip_height = rows_request != 0 ? (uint32_t)rows_request : (uint32_t)-1;
    } else {
        strip_height = rows_request != 0 ? (uint32_t)rows_request : TIFFDefaultStripSize(out, 0);
    }
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, strip_height);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_FILLORDER, out_bit_order);
    TIFFSetField(out, TIFFTAG_SOFTWARE, "ccitttag");
    TIFFSetField(out, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(out, TIFFTAG_YRESOLUTION, double_rows ? 196.0 : (double)page->resolution);
    TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(out, TIFFTAG_PAGENUMBER, (uint16_t)page->page, (uint16_t)page->page_count);
}

// Records the damage found in the page on a Class F Group 3 page.
static void set_damage_fields(TIFF* out)
{
    if (out_scheme != COMPRESSION_CCITTFAX3 || tiff_class != FAXMODE_CLASSF)
        return;
    TIFFSetField(out, TIFFTAG_BADFAXLINES, (uint32_t)bad_row_total);
    TIFFSetField(out, TIFFTAG_CLEANFAXDATA,
                 bad_row_total != 0 ? CLEANFAXDATA_REGENERATED : CLEANFAXDATA_CLEAN);
    TIFFSetField(out, TIFFTAG_CONSECUTIVEBADFAXLINES, (uint32_t)bad_row_run_max);
}

// The sum of directory_bytes_bound over the pages that the input files
// names[0..count-1] will give. Their sizes bound it first (a Group 4 row
// may take a single bit, so a file holds at most 8 rows a byte); only when
// that bound may need BigTIFF are the rows counted, by decoding every file
// once with nothing reported. Files that are not regular files cannot be
// read twice: what they hold is not known, and BigTIFF is chosen once the
// pages that are known pass 2 GiB uncompressed.
static uint64_t pages_bytes_bound(char* const* names, int count)
{
    compression_settings coded = default_compression(out_scheme);
    coded.g3_options = out_g3_flags;
    uint64_t row_bytes = ((uint64_t)page_width + 7) / 8, total = 0, uncompressed = 0;
    bool unknown = false;
    for (int i = 0; i < count; i++) {
        struct stat st;
        if (stat(names[i], &st) != 0 || !S_ISREG(st.st_mode)) {
            unknown = true;
            continue;
        }
        uint64_t rows = (uint64_t)st.st_size * 8 + 8;
        rows = rows > MAX_DECODED_ROWS ? MAX_DECODED_ROWS : rows;
        directory_extent extent = {row_bytes, rows * (double_rows ? 2 : 1), 1, 0};
        total = add_bytes(total, directory_bytes_bound(&coded, &extent));
        uncompressed = add_bytes(uncompressed, extent.rows * row_bytes);
    }
    if (needs_bigtiff(total)) {
        TIFFErrorHandler errors = TIFFSetErrorHandler(nullptr);
        TIFFErrorHandler warnings = TIFFSetWarningHandler(nullptr);
        total = uncompressed = 0;
        for (int i = 0; i < count; i++) {
            struct stat st;
            FILE* in = stat(names[i], &st) == 0 && S_ISREG(st.st_mode) ? fopen(names[i], "r")
                                                                       : nullptr;
            if (in == nullptr)
                continue;
            output_page counting = {nullptr, i, count, line_resolution, nullptr, false};
            bool failed = false;
            directory_extent extent = {
                row_bytes, (uint64_t)transcode_fax_file(in, names[i], &counting, &failed), 1, 0};
            total = add_bytes(total, directory_bytes_bound(&coded, &extent));
            uncompressed = add_bytes(uncompressed, extent.rows * row_bytes);
            fclose(in);
        }
        TIFFSetErrorHandler(errors);
        TIFFSetWarningHandler(warnings);
    }
    return unknown ? add_bytes(total, unknown_bytes_bound(uncompressed)) : total;
}

// Tells, in one line, how many of the `rows` rows of the page from the
// file `name` were bad (the decoder's own messages are shown only with
// -v); when most were, the options that describe the data are likely
// wrong, and the line names them.
static void report_bad_rows(const char* name, int32_t rows)
{
    bool most = (int64_t)bad_row_total * 2 > rows;
    fprintf(stderr, "%s: %s: %ld of %ld rows were bad and repaired%s\n", program_name, name,
            (long)bad_row_total, (long)rows,
            most ? "; check the bit order (-M, -L), the coding (-1, -2, -4) and the width (-X)"
                 : "");
}

// Reads a -X width: a positive decimal number that fits an int, else the
// usage text.
static int parse_width(const char* arg)
{
    char* end;
    long value = strtol(arg, &end, 10);
    if (value < 1 || value > 0x7fffffff)
        usage(1);
    return (int)value;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "R:X:o:1234ABLMPUW5678abcflmpr:suvwz?";
    answer_help_and_version(argc, argv, "ccitttag", optstring);
    program_name = argv[0];
    const char* out_name = nullptr;  // -o; fax.tif without it
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case '3': in_scheme = COMPRESSION_CCITTFAX3; break;
        case '4': in_scheme = COMPRESSION_CCITTFAX4; break;
        case 'U':
            in_g3_flags |= GROUP3OPT_UNCOMPRESSED;
            in_g4_flags |= GROUP4OPT_UNCOMPRESSED;
            break;
        case '1': in_g3_flags &= ~(uint32_t)GROUP3OPT_2DENCODING; break;
        case '2': in_g3_flags |= GROUP3OPT_2DENCODING; break;
        case 'P': in_g3_flags &= ~(uint32_t)GROUP3OPT_FILLBITS; break;
        case 'A': in_g3_flags |= GROUP3OPT_FILLBITS; break;
        case 'M': in_bit_order = FILLORDER_MSB2LSB; break;
        case 'L': in_bit_order = FILLORDER_LSB2MSB; break;
        case 'B': in_polarity = PHOTOMETRIC_MINISBLACK; break;
        case 'W': in_polarity = PHOTOMETRIC_MINISWHITE; break;
        case 'R': line_resolution = (float)atof(optarg); break;
        case 'X': page_width = parse_width(optarg); break;
        case 'o': out_name = optarg; break;
        case '7': out_scheme = COMPRESSION_CCITTFAX3; break;
        case '8': out_scheme = COMPRESSION_CCITTFAX4; break;
        case 'z': out_scheme = COMPRESSION_LZW; break;
        case 'u':
            out_g3_flags |= GROUP3OPT_UNCOMPRESSED;
            out_g4_flags |= GROUP4OPT_UNCOMPRESSED;
            break;
        case '5': out_g3_flags &= ~(uint32_t)GROUP3OPT_2DENCODING; break;
        case '6': out_g3_flags |= GROUP3OPT_2DENCODING; break;
        case 'p': out_g3_flags &= ~(uint32_t)GROUP3OPT_FILLBITS; break;
        case 'a': out_g3_flags |= GROUP3OPT_FILLBITS; break;
        case 'c': tiff_class = FAXMODE_CLASSIC; break;
        case 'f': tiff_class = FAXMODE_CLASSF; break;
        case 'm': out_bit_order = FILLORDER_MSB2LSB; break;
        case 'l': out_bit_order = FILLORDER_LSB2MSB; break;
        case 'b': out_polarity = PHOTOMETRIC_MINISBLACK; break;
        case 'w': out_polarity = PHOTOMETRIC_MINISWHITE; break;
        case 'r': rows_request = (int32_t)strtol(optarg, nullptr, 10); break;
        case 's': double_rows = true; break;
        case 'v': verbosity++; break;
        default: usage(1);
        }
    }
    int page_count = argc - optind;
    if (page_count < 1)
        usage(1);

    size_t row_bytes = ((size_t)page_width + 7) / 8;
    decoded_row = (unsigned char*)_TIFFmalloc((tmsize_t)row_bytes);
    last_good_row = decoded_row ? (unsigned char*)_TIFFmalloc((tmsize_t)row_bytes) : nullptr;
    if (decoded_row == nullptr || last_good_row == nullptr) {
        fprintf(stderr, "%s: Not enough memory\n", argv[0]);
        exit(1);
    }
    for (int page = 0; page < page_count; page++)
        note_input(argv[optind + page]);
    const char* opened_name = out_name != nullptr ? out_name : "fax.tif";
    if (output_is_input(opened_name))
        exit(1);
    TIFF* out = open_tiff_output(opened_name, "w",
                                 pages_bytes_bound(argv + optind, page_count));
    if (out == nullptr) {
        if (out_name != nullptr)
            fprintf(stderr, "%s: Can not create or open %s\n", argv[0], out_name);
        else
            fprintf(stderr, "%s: Can not create fax.tif\n", argv[0]);
        exit(1);
    }

    bool failed = false;
    int pages_written = 0;
    for (int page = 0; page < page_count; page++) {
        const char* name = argv[optind + page];
        FILE* in = fopen(name, "r");
        if (in == nullptr) {
            fprintf(stderr, "%s: %s: Can not open\n", argv[0], name);
            failed = true;
            continue;
        }
        output_page target = {out, page, page_count, line_resolution, nullptr, false};
        TIFFErrorHandler saved_warnings = nullptr;
        if (verbosity == 0)
            saved_warnings = TIFFSetWarningHandler(nullptr);
        int32_t rows = transcode_fax_file(in, name, &target, &failed);
        fclose(in);
        if (verbosity == 0)
            TIFFSetWarningHandler(saved_warnings);
        if (verbosity != 0) {
            fprintf(stderr, "%s:\n", name);
            fprintf(stderr, "%d rows in input\n", (int)rows);
            fprintf(stderr, "%ld total bad rows\n", (long)bad_row_total);
            fprintf(stderr, "%d max consecutive bad rows\n", (int)bad_row_run_max);
        } else if (bad_row_total > 0) {
            report_bad_rows(name, double_rows ? rows / 2 : rows);
        }
        if (rows == 0) {
            // A directory of no rows would make the file unreadable.
            fprintf(stderr, "%s: %s: No rows, no page written\n", argv[0], name);
            failed = true;
            continue;
        }
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, (uint32_t)rows);
        set_damage_fields(out);
        if (!TIFFWriteDirectory(out))
            failed = true;
        else
            pages_written++;
    }
    if (!close_tiff_output(out))
        failed = true;
    if (pages_written == 0)
        remove_empty_output(opened_name);
    _TIFFfree(decoded_row);
    _TIFFfree(last_good_row);
    return failed ? 1 : 0;
}
