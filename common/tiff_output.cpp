#include "tiff_output.h"
#include "compress_options.h"
#include "file_identity.h"
#include "tiff_input.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// One open output file: a write-back buffer over a descriptor, and the
// position and size libtiff sees (which include the buffered bytes).
struct buffered_file {
    int fd;
    char* name;
    uint64_t position;
    uint64_t size;
    uint64_t buffer_start;  // file offset of buffer[0]
    size_t buffered;        // bytes waiting in buffer
    bool failed;            // a write to the file has failed
    bool discarding;        // writes are dropped: the file is being abandoned
    bool owner_closes;      // close_tiff_output closes the descriptor, not libtiff
    unsigned long errors;   // libtiff errors raised on the handle
    unsigned char buffer[1 << 20];
};

// Writes `n` bytes at `offset`, going on after short writes. Returns false
// (and reports once) when the file will not take them.
static bool write_at(buffered_file* f, const void* data, size_t n, uint64_t offset)
{
    const unsigned char* p = (const unsigned char*)data;
    while (n > 0) {
        ssize_t k = pwrite(f->fd, p, n, (off_t)offset);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            if (!f->failed)
                TIFFErrorExt(0, f->name, "Write error: %s",
                             k < 0 ? strerror(errno) : "nothing written");
            f->failed = true;
            return false;
        }
        p += k;
        n -= (size_t)k;
        offset += (uint64_t)k;
    }
    return true;
}

static bool flush_buffer(buffered_file* f)
{
    size_t n = f->buffered;
    f->buffered = 0;
    return n == 0 || write_at(f, f->buffer, n, f->buffer_start);
}

static tmsize_t read_proc(thandle_t h, void* data, tmsize_t n)
{
    buffered_file* f = (buffered_file*)h;
    if (!flush_buffer(f))
        return -1;
    ssize_t k;
    do
        k = pread(f->fd, data, (size_t)n, (off_t)f->position);
    while (k < 0 && errno == EINTR);
    if (k > 0)
        f->position += (uint64_t)k;
    return k;
}

static tmsize_t write_proc(thandle_t h, void* data, tmsize_t n)
{
    buffered_file* f = (buffered_file*)h;
    size_t count = (size_t)n;
    if (f->discarding)
        return n;
    if (f->buffered > 0 && f->position != f->buffer_start + f->buffered && !flush_buffer(f))
        return -1;
    if (count > sizeof f->buffer - f->buffered && !flush_buffer(f))
        return -1;
    if (count >= sizeof f->buffer) {
        if (!write_at(f, data, count, f->position))
            return -1;
    } else {
        if (f->buffered == 0)
            f->buffer_start = f->position;
        memcpy(f->buffer + f->buffered, data, count);
        f->buffered += count;
    }
    f->position += count;
    if (f->position > f->size)
        f->size = f->position;
    return n;
}

static toff_t seek_proc(thandle_t h, toff_t offset, int whence)
{
    buffered_file* f = (buffered_file*)h;
    uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->position : f->size;
    f->position = base + offset;
    return f->position;
}

static toff_t size_proc(thandle_t h)
{
    return ((buffered_file*)h)->size;
}

// Called by TIFFClose. The descriptor and the buffer are left to
// close_tiff_output when it is the one closing (it reports a failed
// close); a handle closed otherwise is ended here.
static int close_proc(thandle_t h)
{
    buffered_file* f = (buffered_file*)h;
    if (f->owner_closes)
        return 0;
    bool ok = flush_buffer(f) && !f->failed;
    if (close(f->fd) != 0)
        ok = false;
    free(f->name);
    free(f);
    return ok ? 0 : -1;
}

static int map_proc(thandle_t, void**, toff_t*)
{
    return 0;
}

static void unmap_proc(thandle_t, void*, toff_t)
{
}

uint64_t add_bytes(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// a x b, or UINT64_MAX when that does not fit.
static uint64_t times_bytes(uint64_t a, uint64_t b)
{
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The magnitude bits a JPEG coefficient can take at `quality`: those of
// the largest (a DC difference of 2047) over the smallest quantiser that
// quality makes of the standard tables' smallest entry, 10.
static uint64_t jpeg_magnitude_bits(int quality)
{
    int q = quality < 1 ? 1 : quality > 100 ? 100 : quality;
    int scale = q < 50 ? 5000 / q : 200 - 2 * q;
    int smallest = (10 * scale + 50) / 100;
    uint64_t largest = 2047 / (uint64_t)(smallest < 1 ? 1 : smallest);
    uint64_t bits = 0;
    for (; largest > 0; largest >>= 1)
        bits++;
    return bits;
}

uint64_t strip_bytes_bound(const compression_settings* settings, uint64_t row_bytes,
                           uint64_t rows)
{
    uint64_t data = times_bytes(row_bytes, rows);
    if (data == UINT64_MAX)
        return UINT64_MAX;
    switch (settings->scheme) {
    case COMPRESSION_NONE:
        return data;
    case COMPRESSION_PACKBITS:
        return times_bytes(rows, add_bytes(row_bytes + row_bytes / 4, 3));
    case COMPRESSION_LZW:
        return add_bytes(add_bytes(data, data / 2 + data / 1024), 8);
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return add_bytes(add_bytes(data, data / 512), 64);
    case COMPRESSION_JPEG: {
        // Whole 16 x 16 blocks: 15 more columns of up to 4 samples, rows
        // up to a multiple of 16.
        uint64_t samples = times_bytes(add_bytes(row_bytes, 64), add_bytes(rows, 15) / 16 * 16);
        // (16 + magnitude + 1/4) bits a sample, doubled by stuffing, in bytes.
        uint64_t eighths = 4 * (16 + jpeg_magnitude_bits(settings->jpeg_quality)) + 1;
        return add_bytes(times_bytes(samples / 16 + 1, eighths), 1024);
    }
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4: {
        bool one_dimensional = settings->scheme == COMPRESSION_CCITTFAX3 &&
                               (settings->g3_options & GROUP3OPT_2DENCODING) == 0;
        uint64_t coded = one_dimensional ? add_bytes(times_bytes(data, 4), data / 2 + 1)
                                         : times_bytes(data, 7);
        return add_bytes(add_bytes(coded, times_bytes(rows, 8)), 16);
    }
    default:
        return UINT64_MAX;
    }
}

uint64_t directory_bytes_bound(const compression_settings* settings,
                               const directory_extent* extent)
{
    const uint64_t fixed_fields = 16 * 1024;
    uint64_t plane = strip_bytes_bound(settings, extent->row_bytes, extent->rows);
    if (plane == UINT64_MAX)
        return unknown_bytes_bound(
            times_bytes(times_bytes(extent->row_bytes, extent->rows), extent->planes));
    // The fixed part of every further strip: one a row at most, one every
    // 8 rows with JPEG (whose strips are whole blocks but the last, so that
    // the padding above is all there is).
    uint64_t strips = settings->scheme == COMPRESSION_JPEG ? extent->rows / 8 : extent->rows;
    plane = add_bytes(plane, times_bytes(strips, strip_bytes_bound(settings, extent->row_bytes, 0)));
    uint64_t tables = times_bytes(extent->rows, 8);
    uint64_t total = times_bytes(add_bytes(plane, tables), extent->planes);
    return add_bytes(add_bytes(total, fixed_fields), extent->field_bytes);
}

uint64_t unknown_bytes_bound(uint64_t uncompressed)
{
    return uncompressed >= ((uint64_t)1 << 31) ? UINT64_MAX : uncompressed;
}

bool needs_bigtiff(uint64_t bytes_bound)
{
    return bytes_bound >= (uint64_t)1 << 32;
}

uint64_t tiff_inputs_bytes_bound(char* const* names, int count,
                                 const compression_settings* settings,
                                 void (*layout)(TIFF* in, directory_extent* extent))
{
    TIFFErrorHandler errors = TIFFSetErrorHandler(nullptr);
    TIFFErrorHandler warnings = TIFFSetWarningHandler(nullptr);
    uint64_t total = 0;
    for (int i = 0; i < count && total < UINT64_MAX; i++) {
        TIFF* in = open_tiff_input(names[i], "r");
        if (in == nullptr)
            continue;
        do {
            directory_extent extent = {0, 0, 1, 0};
            layout(in, &extent);
            total = add_bytes(total, directory_bytes_bound(settings, &extent));
        } while (total < UINT64_MAX && TIFFReadDirectory(in));
        TIFFClose(in);
    }
    TIFFSetErrorHandler(errors);
    TIFFSetWarningHandler(warnings);
    return total;
}

TIFF* open_tiff_output_for_inputs(const char* name, char* const* inputs, int count,
                                  const compression_settings* settings,
                                  void (*layout)(TIFF* in, directory_extent* extent))
{
    for (int i = 0; i < count; i++)
        note_input(inputs[i]);
    if (output_is_input(name))
        return nullptr;
    return open_tiff_output(name, "w", tiff_inputs_bytes_bound(inputs, count, settings, layout));
}

// Counts an error raised on an output handle, then lets libtiff's usual
// handlers report it.
static int count_output_error(TIFF*, void* user_data, const char*, const char*, va_list)
{
    ((buffered_file*)user_data)->errors++;
    return 0;
}

// An output handle's warnings: the programs choose the Deflate identifier
// 32946 themselves, so libtiff's note on writing it is of no use to the
// user and is dropped. Every other warning goes on to libtiff's usual
// handlers (returning 0).
static int output_warning(TIFF*, void*, const char* module, const char* fmt, va_list)
{
    static const char legacy_deflate[] = "Creating TIFF with legacy Deflate codec identifier";
    return module != nullptr && strcmp(module, "TIFFWriteDirectorySec") == 0 &&
           strncmp(fmt, legacy_deflate, sizeof legacy_deflate - 1) == 0;
}

TIFF* open_tiff_output(const char* name, const char* mode, uint64_t bytes_bound)
{
    char full_mode[16];
    bool creating = mode[0] == 'w';
    snprintf(full_mode, sizeof full_mode, "%s%s", mode,
             creating && needs_bigtiff(bytes_bound) ? "8" : "");
    if (output_is_input(name))
        return nullptr;
    // Opened without truncating: what the name leads to is checked first.
    int fd = open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        TIFFErrorExt(0, "TIFFOpen", "%s: Cannot open", name);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        TIFFErrorExt(0, "TIFFOpen", "%s: Cannot open", name);
        close(fd);
        return nullptr;
    }
    // What the name led to may have become an input since it was checked.
    if (descriptor_is_input(fd, name)) {
        close(fd);
        return nullptr;
    }
    if (creating && S_ISREG(st.st_mode) && st.st_size > 0 && ftruncate(fd, 0) != 0) {
        TIFFErrorExt(0, "TIFFOpen", "%s: Cannot open: %s", name, strerror(errno));
        close(fd);
        return nullptr;
    }
    note_output_descriptor(fd);
    buffered_file* f = (buffered_file*)malloc(sizeof(buffered_file));
    char* name_copy = strdup(name);
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (f == nullptr || name_copy == nullptr || options == nullptr) {
        TIFFErrorExt(0, "TIFFOpen", "%s: Cannot open", name);
        TIFFOpenOptionsFree(options);
        free(name_copy);
        free(f);
        close(fd);
        return nullptr;
    }
    f->fd = fd;
    f->name = name_copy;
    f->position = 0;
    f->size = S_ISREG(st.st_mode) && !creating ? (uint64_t)st.st_size : 0;
    f->buffer_start = 0;
    f->buffered = 0;
    f->failed = false;
    f->discarding = false;
    f->owner_closes = false;
    f->errors = 0;
    TIFFOpenOptionsSetErrorHandlerExtR(options, count_output_error, f);
    TIFFOpenOptionsSetWarningHandlerExtR(options, output_warning, nullptr);
    TIFF* out = TIFFClientOpenExt(name, full_mode, (thandle_t)f, read_proc, write_proc,
                                  seek_proc, close_proc, size_proc, map_proc, unmap_proc,
                                  options);
    TIFFOpenOptionsFree(options);
    if (out == nullptr) {
        close(fd);
        free(name_copy);
        free(f);
    }
    return out;
}

// The file behind `out` when open_tiff_output made the handle, else
// nullptr.
static buffered_file* output_file(TIFF* out)
{
    return TIFFGetReadProc(out) == read_proc ? (buffered_file*)TIFFClientdata(out) : nullptr;
}

unsigned long tiff_output_errors(TIFF* out)
{
    buffered_file* f = output_file(out);
    return f != nullptr ? f->errors : 0;
}

// Closes `out` with its file: libtiff's handle first, then the descriptor,
// whose failure (a delayed write error) is reported too. Returns whether
// everything went through without a libtiff error on the handle.
static int end_output(TIFF* out, buffered_file* f, bool ok)
{
    f->owner_closes = true;
    TIFFClose(out);
    ok = flush_buffer(f) && ok && !f->failed && f->errors == 0;
    if (close(f->fd) != 0) {
        TIFFErrorExt(0, f->name, "Close error: %s", strerror(errno));
        ok = false;
    }
    free(f->name);
    free(f);
    return ok ? 1 : 0;
}

int close_tiff_output(TIFF* out)
{
    buffered_file* f = (buffered_file*)TIFFClientdata(out);
    int ok = TIFFFlush(out);
    ok = flush_buffer(f) && ok;
    return end_output(out, f, ok);
}

int close_tiff_output_discarding(TIFF* out)
{
    buffered_file* f = (buffered_file*)TIFFClientdata(out);
    int ok = flush_buffer(f);
    f->discarding = true;
    return end_output(out, f, ok);
}
