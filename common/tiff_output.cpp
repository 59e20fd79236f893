#include "tiff_output.h"
#include "file_identity.h"
#include "tiff_input.h"

#include <cerrno>
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

static int close_proc(thandle_t h)
{
    buffered_file* f = (buffered_file*)h;
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

uint64_t directory_bytes_bound(uint64_t row_bytes, uint64_t rows, uint64_t planes)
{
    const uint64_t limit = UINT64_MAX / 4;
    if (rows > 0 && planes > 0 && (row_bytes > limit / rows || row_bytes * rows > limit / planes))
        return UINT64_MAX;
    uint64_t data = row_bytes * rows * planes;
    uint64_t tables = rows * planes;
    if (tables > limit / 8)
        return UINT64_MAX;
    return data + data / 64 + 8 * tables;
}

bool needs_bigtiff(uint64_t bytes_bound)
{
    const uint64_t classic_limit = (uint64_t)1 << 32;
    const uint64_t other_fields = (uint64_t)16 << 20;
    return bytes_bound >= classic_limit - other_fields;
}

uint64_t tiff_inputs_bytes_bound(char* const* names, int count,
                                 void (*layout)(uint32_t width, uint32_t length,
                                                uint64_t* row_bytes, uint64_t* rows))
{
    TIFFErrorHandler errors = TIFFSetErrorHandler(nullptr);
    TIFFErrorHandler warnings = TIFFSetWarningHandler(nullptr);
    const uint64_t most = UINT64_MAX / 2;
    uint64_t total = 0;
    for (int i = 0; i < count && total < most; i++) {
        TIFF* in = open_tiff_input(names[i], "r");
        if (in == nullptr)
            continue;
        do {
            uint32_t width = 0, length = 0;
            uint64_t row_bytes = 0, rows = 0;
            TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
            TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
            layout(width, length, &row_bytes, &rows);
            uint64_t bound = directory_bytes_bound(row_bytes, rows, 1);
            total = bound >= most - total ? most : total + bound;
        } while (total < most && TIFFReadDirectory(in));
        TIFFClose(in);
    }
    TIFFSetErrorHandler(errors);
    TIFFSetWarningHandler(warnings);
    return total;
}

TIFF* open_tiff_output_for_inputs(const char* name, char* const* inputs, int count,
                                  void (*layout)(uint32_t width, uint32_t length,
                                                 uint64_t* row_bytes, uint64_t* rows))
{
    for (int i = 0; i < count; i++)
        note_input(inputs[i]);
    if (output_is_input(name))
        return nullptr;
    return open_tiff_output(name, "w", tiff_inputs_bytes_bound(inputs, count, layout));
}

TIFF* open_tiff_output(const char* name, const char* mode, uint64_t bytes_bound)
{
    char full_mode[16];
    bool creating = mode[0] == 'w';
    snprintf(full_mode, sizeof full_mode, "%s%s", mode,
             creating && needs_bigtiff(bytes_bound) ? "8" : "");
    int flags = O_RDWR | O_CREAT | (creating ? O_TRUNC : 0);
    int fd = open(name, flags, 0666);
    if (fd < 0) {
        TIFFErrorExt(0, "TIFFOpen", "%s: Cannot open", name);
        return nullptr;
    }
    note_output_descriptor(fd);
    buffered_file* f = (buffered_file*)malloc(sizeof(buffered_file));
    char* name_copy = strdup(name);
    struct stat st;
    if (f == nullptr || name_copy == nullptr || fstat(fd, &st) != 0) {
        TIFFErrorExt(0, "TIFFOpen", "%s: Cannot open", name);
        free(name_copy);
        free(f);
        close(fd);
        return nullptr;
    }
    f->fd = fd;
    f->name = name_copy;
    f->position = 0;
    f->size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    f->buffer_start = 0;
    f->buffered = 0;
    f->failed = false;
    f->discarding = false;
    TIFF* out = TIFFClientOpen(name, full_mode, (thandle_t)f, read_proc, write_proc, seek_proc,
                               close_proc, size_proc, map_proc, unmap_proc);
    if (out == nullptr) {
        close(fd);
        free(name_copy);
        free(f);
    }
    return out;
}

int close_tiff_output(TIFF* out)
{
    buffered_file* f = (buffered_file*)TIFFClientdata(out);
    int ok = TIFFFlush(out);
    ok = flush_buffer(f) && ok && !f->failed;
    TIFFClose(out);
    return ok;
}

int close_tiff_output_discarding(TIFF* out)
{
    buffered_file* f = (buffered_file*)TIFFClientdata(out);
    int ok = flush_buffer(f) && !f->failed;
    f->discarding = true;
    TIFFClose(out);
    return ok;
}
