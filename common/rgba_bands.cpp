#include "rgba_bands.h"
#include "partial_output.h"
#include "strip_reader.h"
#include "worker_count.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

// A band holds whole strips or rows of tiles of the input, and about this
// many bytes of pixels when those are smaller (less in a small picture,
// so that every worker gets a share of it); rendering a picture into the
// temporary file, bands of about the larger size, so that each column goes
// out in long runs.
const uint64_t BAND_BYTES = 2 * 1024 * 1024;
const uint64_t TURNING_BAND_BYTES = 16 * 1024 * 1024;
// Bands are made a multiple of the output strip height too, when that
// keeps them below this.
const uint64_t ALIGNED_BAND_LIMIT = 16 * 1024 * 1024;

// A libtiff RGBA renderer set up on a handle, asked for the pixels in
// stored order, and room for one tile.
struct render_state {
    TIFFRGBAImage image;
    uint32_t* tile;
};

struct rgba_picture {
    TIFF* in;
    const char* mode;  // how the rendering handles open the file
    bool use_workers;
    uint32_t stored_width, stored_height;  // the input's, cut to its data
    uint32_t width, height;                // as shown
    uint16_t orientation;
    bool tiled;
    uint32_t block_rows;  // rows per strip, or tile length
    uint32_t tile_width;
    int turned;           // the temporary file of a turned picture, or -1
};

// ---- Rendering -------------------------------------------------------------

// Under orientations 1 to 4: whether the stored first row is shown at the
// bottom, and the stored first column on the right. Under 5 to 8, which
// turn the picture (the stored rows are shown as columns): whether the
// stored first column is shown at the bottom, and the stored first row on
// the right.
static bool bottom_first(uint16_t o)
{
    return o == ORIENTATION_BOTRIGHT || o == ORIENTATION_BOTLEFT || o == ORIENTATION_RIGHTBOT ||
           o == ORIENTATION_LEFTBOT;
}

static bool right_first(uint16_t o)
{
    return o == ORIENTATION_TOPRIGHT || o == ORIENTATION_BOTRIGHT || o == ORIENTATION_RIGHTTOP ||
           o == ORIENTATION_RIGHTBOT;
}

static bool turned(uint16_t o)
{
    return o >= ORIENTATION_LEFTTOP && o <= ORIENTATION_LEFTBOT;
}

// Sets up libtiff's renderer on `tif`, as TIFFReadRGBAImage does (not
// stopping at the first error), but for the stored order. On failure
// *emsg says why.
static bool begin_render(TIFF* tif, const rgba_picture* p, render_state* st, char* emsg)
{
    st->tile = nullptr;
    if (!TIFFRGBAImageOK(tif, emsg) || !TIFFRGBAImageBegin(&st->image, tif, 0, emsg))
        return false;
    st->image.req_orientation = st->image.orientation;
    if (p->tiled) {
        st->tile = (uint32_t*)malloc((size_t)p->tile_width * p->block_rows * 4);
        if (st->tile == nullptr) {
            TIFFRGBAImageEnd(&st->image);
            snprintf(emsg, 1024, "No space for raster buffer");
            return false;
        }
    }
    return true;
}

static void end_render(render_state* st)
{
    TIFFRGBAImageEnd(&st->image);
    free(st->tile);
}

// A worker's renderer; `context` is a plan, whose first member is the
// picture.
static bool begin_worker(TIFF* tif, void** state, const void* context)
{
    render_state* st = new (std::nothrow) render_state();
    char emsg[1024];
    if (st == nullptr || !begin_render(tif, *(const rgba_picture* const*)context, st, emsg)) {
        delete st;
        return false;
    }
    *state = st;
    return true;
}

static void end_worker(void* state, const void*)
{
    end_render((render_state*)state);
    delete (render_state*)state;
}

// Renders stored rows first to first + rows - 1 (first a multiple of
// the block height) into `raster`, `rows` rows of the stored width, each
// strip or tile on its own: one that libtiff cannot render, or whose data
// is not in the file, stays zeros.
static void render_stored(const rgba_picture* p, render_state* st, uint32_t first, uint32_t rows,
                          uint32_t* raster)
{
    const uint32_t w = p->stored_width;
    TIFF* tif = st->image.tif;
    for (uint32_t top = first; top < first + rows; top += p->block_rows) {
        uint32_t n = std::min(p->block_rows, first + rows - top);
        uint32_t* at = raster + (size_t)(top - first) * w;
        st->image.row_offset = (int)top;
        if (!p->tiled) {
            st->image.col_offset = 0;
            if (!data_in_file(tif, 0, top) || !TIFFRGBAImageGet(&st->image, at, w, n))
                memset(at, 0, (size_t)n * w * 4);
            continue;
        }
        for (uint32_t x = 0; x < w; x += p->tile_width) {
            uint32_t cols = std::min(p->tile_width, w - x);
            st->image.col_offset = (int)x;
            if (!data_in_file(tif, x, top) || !TIFFRGBAImageGet(&st->image, st->tile, cols, n))
                memset(st->tile, 0, (size_t)n * cols * 4);
            for (uint32_t j = 0; j < n; j++)
                memcpy(at + (size_t)j * w + x, st->tile + (size_t)j * cols, (size_t)cols * 4);
        }
    }
}

// ---- Bands -----------------------------------------------------------------

// How a run of write_rgba_picture cuts the picture: bands of band_rows
// rows (the last may be shorter), each unit holding the band's pixels,
// then where the strips inside it begin and how long each is, then those
// strips.
struct band_plan {
    const rgba_picture* picture;  // first, for begin_worker
    uint32_t band_rows;
    uint32_t bands;
    uint32_t strip_rows;
    size_t strip_bytes;
    uint32_t strips_in_band;  // room for this many
    size_t sizes_at;          // offset of the strips' first number and sizes
    size_t strips_at;         // offset of the strips
    strip_maker make;
    const void* context;
};

// The rows of band `band`: the first shown, and how many.
static void band_rows_of(const band_plan* b, uint32_t band, uint32_t* top, uint32_t* rows)
{
    const rgba_picture* p = b->picture;
    uint32_t first = band * b->band_rows;
    if (!turned(p->orientation) && bottom_first(p->orientation))
        first = (b->bands - 1 - band) * b->band_rows;  // rendered from this stored row
    *rows = std::min(b->band_rows, p->height - first);
    *top = !turned(p->orientation) && bottom_first(p->orientation) ? p->height - first - *rows
                                                                  : first;
}

// The rows of strip `strip`: the first, and how many.
static void strip_rows_of(const band_plan* b, uint32_t strip, uint32_t* top, uint32_t* rows)
{
    uint64_t first = (uint64_t)strip * b->strip_rows;
    *top = (uint32_t)std::min<uint64_t>(first, b->picture->height);
    *rows = std::min(b->strip_rows, b->picture->height - *top);
}

// Reads `rows` rows of the turned picture from row `top` into `raster`.
static bool read_turned(const rgba_picture* p, uint32_t top, uint32_t rows, uint32_t* raster)
{
    uint64_t row_bytes = (uint64_t)p->width * 4;
    unsigned char* to = (unsigned char*)raster;
    uint64_t left = row_bytes * rows, at = row_bytes * top;
    while (left > 0) {
        ssize_t n = pread(p->turned, to, left, (off_t)at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        to += n, at += (uint64_t)n, left -= (uint64_t)n;
    }
    return true;
}

// Makes band job->unit: its pixels (rendered, or read back when turned),
// as shown, then the output strips that lie inside it.
static int make_band(unit_job* job, const void* context)
{
    const band_plan* b = (const band_plan*)context;
    const rgba_picture* p = b->picture;
    uint32_t top, rows;
    band_rows_of(b, job->unit, &top, &rows);
    uint32_t* raster = (uint32_t*)job->data;
    const uint32_t w = p->width;
    if (turned(p->orientation)) {
        if (!read_turned(p, top, rows, raster)) {
            *(int*)job->data = errno;
            return 0;
        }
    } else {
        uint32_t first = bottom_first(p->orientation) ? p->height - top - rows : top;
        render_stored(p, (render_state*)job->state, first, rows, raster);
        if (bottom_first(p->orientation))
            for (uint32_t j = 0; j < rows / 2; j++)
                std::swap_ranges(raster + (size_t)j * w, raster + (size_t)(j + 1) * w,
                                 raster + (size_t)(rows - 1 - j) * w);
        if (right_first(p->orientation))
            for (uint32_t j = 0; j < rows; j++)
                std::reverse(raster + (size_t)j * w, raster + (size_t)(j + 1) * w);
    }
    uint32_t* first_strip = (uint32_t*)(job->data + b->sizes_at);
    tmsize_t* sizes = (tmsize_t*)(job->data + b->sizes_at + sizeof(tmsize_t));
    *first_strip = (top + b->strip_rows - 1) / b->strip_rows;
    for (uint32_t i = 0; i < b->strips_in_band; i++) {
        uint32_t strip_top, strip_rows;
        strip_rows_of(b, *first_strip + i, &strip_top, &strip_rows);
        if (strip_top >= p->height || strip_top + strip_rows > top + rows)
            break;
        sizes[i] = b->make(raster + (size_t)(strip_top - top) * w, strip_rows, w,
                           job->data + b->strips_at + i * b->strip_bytes, b->context);
    }
    return 1;
}

// The band height for a picture of `height` rows of `row_bytes`: whole
// blocks of the input (of `block` rows; one row each for a turned picture,
// which is read back from the file), about `bytes` of pixels, and when
// `align` is not 0 a multiple of it as well where that costs little.
static uint32_t band_height(const rgba_picture* p, uint32_t block, uint64_t row_bytes,
                            uint64_t bytes, uint32_t align, uint32_t height)
{
    uint64_t share = row_bytes * height / (4 * (p->use_workers ? workers_wanted() : 1));
    if (share < bytes)
        bytes = share;
    uint64_t rows = std::max<uint64_t>(1, bytes / std::max<uint64_t>(row_bytes, 1));
    rows = (rows + block - 1) / block * block;
    if (align > 0) {
        uint64_t a = block, b = align;
        while (b != 0) {
            uint64_t t = a % b;
            a = b, b = t;
        }
        uint64_t lcm = (uint64_t)block / a * align;
        if (lcm * row_bytes <= ALIGNED_BAND_LIMIT)
            rows = (rows + lcm - 1) / lcm * lcm;
    }
    uint64_t whole = ((uint64_t)height + block - 1) / block * block;
    return (uint32_t)std::min<uint64_t>(std::min<uint64_t>(rows, whole), UINT32_MAX);
}

int write_rgba_picture(rgba_picture* p, strip_writer* writer, uint32_t strip_rows,
                       size_t strip_bytes, strip_maker make, const void* context,
                       uint32_t* rows_done)
{
    *rows_done = 0;
    const char* name = TIFFFileName(p->in);
    band_plan b = {};
    b.picture = p;
    b.strip_rows = strip_rows == 0 ? 1 : strip_rows;
    b.strip_bytes = (strip_bytes + 7) / 8 * 8;
    b.make = make;
    b.context = context;
    bool from_file = turned(p->orientation);
    uint64_t row_bytes = (uint64_t)p->width * 4;
    b.band_rows = band_height(p, from_file ? 1 : p->block_rows, row_bytes, BAND_BYTES,
                              b.strip_rows, p->height);
    b.bands = (uint32_t)(((uint64_t)p->height + b.band_rows - 1) / b.band_rows);
    b.strips_in_band = b.band_rows / b.strip_rows + 1;
    b.sizes_at = ((size_t)b.band_rows * row_bytes + 7) / 8 * 8;
    b.strips_at = b.sizes_at + (b.strips_in_band + 1) * sizeof(tmsize_t);
    uint64_t unit_bytes = b.strips_at + (uint64_t)b.strips_in_band * b.strip_bytes;
    // The strips that straddle bands are put together here.
    uint32_t* carry = (uint32_t*)malloc((size_t)std::min(b.strip_rows, p->height) * row_bytes + 4);
    unsigned char* strip = (unsigned char*)malloc(b.strip_bytes + 1);
    static const unit_work rendering = {make_band, begin_worker, end_worker, nullptr};
    unit_work work = rendering;
    work.context = &b;
    if (from_file)
        work.begin = nullptr, work.end = nullptr;
    unit_reader* reader =
        carry == nullptr || strip == nullptr || unit_bytes > SIZE_MAX / 2
            ? nullptr
            : open_unit_reader(p->in, from_file ? nullptr : p->mode, b.bands,
                               (size_t)unit_bytes, 1, &work, p->use_workers);
    int ok = reader != nullptr;
    if (!ok)
        TIFFErrorExtR(p->in, name, "No space for raster buffer");
    uint32_t next = 0;  // the next strip to hand over
    for (uint32_t band = 0; ok && band < b.bands; band++) {
        unsigned char* data = take_unit(reader, band, &ok);
        if (!ok) {
            TIFFErrorExtR(p->in, name, "Can not read a temporary file: %s",
                          strerror(*(int*)data));
            break;
        }
        uint32_t top, rows;
        band_rows_of(&b, band, &top, &rows);
        const uint32_t* raster = (const uint32_t*)data;
        uint32_t first = *(const uint32_t*)(data + b.sizes_at);
        const tmsize_t* sizes = (const tmsize_t*)(data + b.sizes_at + sizeof(tmsize_t));
        for (;; next++) {
            uint32_t strip_top, strip_rows;
            strip_rows_of(&b, next, &strip_top, &strip_rows);
            if (strip_top >= top + rows || strip_top >= p->height)
                break;
            const unsigned char* bytes;
            tmsize_t size;
            if (strip_top >= top && strip_top + strip_rows <= top + rows) {
                bytes = data + b.strips_at + (next - first) * b.strip_bytes;
                size = sizes[next - first];
            } else {
                uint32_t from = std::max(strip_top, top);
                uint32_t to = std::min(strip_top + strip_rows, top + rows);
                memcpy(carry + (size_t)(from - strip_top) * p->width,
                       raster + (size_t)(from - top) * p->width, (size_t)(to - from) * row_bytes);
                if (strip_top + strip_rows > top + rows)
                    break;  // the rest is in the next band
                size = make(carry, strip_rows, p->width, strip, context);
                bytes = strip;
            }
            if (write_whole_strip(writer, next, bytes, size) < 0) {
                ok = 0;
                break;
            }
            *rows_done = strip_top + strip_rows;
        }
        release_units(reader, band + 1);
    }
    close_unit_reader(reader);
    free(carry);
    free(strip);
    return ok;
}

// ---- Turning ----------------------------------------------------------------

// How open_rgba_picture renders a turned picture into its file: bands of
// band_rows stored rows, each unit the band's pixels and one column of
// them.
struct turn_plan {
    const rgba_picture* picture;  // first, for begin_worker
    uint32_t band_rows;
    size_t column_at;
};

// Renders stored band job->unit and writes each of its columns as a run
// of a row of the picture as shown. On failure the unit's first int is
// errno.
static int turn_band(unit_job* job, const void* context)
{
    const turn_plan* t = (const turn_plan*)context;
    const rgba_picture* p = t->picture;
    uint32_t first = job->unit * t->band_rows;
    uint32_t rows = std::min(t->band_rows, p->stored_height - first);
    uint32_t* raster = (uint32_t*)job->data;
    uint32_t* column = (uint32_t*)(job->data + t->column_at);
    render_stored(p, (render_state*)job->state, first, rows, raster);
    // Stored row r is shown as column r (or H - 1 - r from the right),
    // stored column c as row c (or W - 1 - c from the bottom).
    bool from_right = right_first(p->orientation), from_bottom = bottom_first(p->orientation);
    uint32_t x = from_right ? p->width - first - rows : first;
    for (uint32_t c = 0; c < p->stored_width; c++) {
        for (uint32_t j = 0; j < rows; j++)
            column[from_right ? rows - 1 - j : j] = raster[(size_t)j * p->stored_width + c];
        uint32_t y = from_bottom ? p->stored_width - 1 - c : c;
        uint64_t at = ((uint64_t)y * p->width + x) * 4;
        const unsigned char* from = (const unsigned char*)column;
        size_t left = (size_t)rows * 4;
        while (left > 0) {
            ssize_t n = pwrite(p->turned, from, left, (off_t)at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *(int*)job->data = n < 0 ? errno : ENOSPC;
                return 0;
            }
            from += n, at += (uint64_t)n, left -= (size_t)n;
        }
    }
    return 1;
}

// A new temporary file, already unlinked, or -1.
static int temporary_file()
{
    const char* dir = getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                       "/tiffsuite-XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd >= 0)
        unlink(name.c_str());
    return fd;
}

// Renders the whole turned picture into its temporary file.
static bool turn_picture(rgba_picture* p)
{
    const char* name = TIFFFileName(p->in);
    p->turned = temporary_file();
    if (p->turned < 0) {
        TIFFErrorExtR(p->in, name, "Can not make a temporary file: %s", strerror(errno));
        return false;
    }
    turn_plan t;
    t.picture = p;
    t.band_rows = band_height(p, p->block_rows, (uint64_t)p->stored_width * 4,
                              TURNING_BAND_BYTES, 0, p->stored_height);
    t.column_at = (size_t)t.band_rows * p->stored_width * 4;
    uint32_t bands = (p->stored_height + t.band_rows - 1) / t.band_rows;
    unit_work work = {turn_band, begin_worker, end_worker, &t};
    unit_reader* reader = open_unit_reader(p->in, p->mode, bands,
                                           t.column_at + (size_t)t.band_rows * 4, 1, &work,
                                           p->use_workers);
    bool ok = reader != nullptr;
    if (!ok)
        TIFFErrorExtR(p->in, name, "No space for raster buffer");
    for (uint32_t band = 0; ok && band < bands; band++) {
        int made;
        unsigned char* data = take_unit(reader, band, &made);
        if (!made) {
            TIFFErrorExtR(p->in, name, "Can not write a temporary file: %s",
                          strerror(*(int*)data));
            ok = false;
        }
        release_units(reader, band + 1);
    }
    close_unit_reader(reader);
    return ok;
}

// ---- The picture -------------------------------------------------------------

const char* rendering_mode(TIFF* in)
{
    return TIFFIsTiled(in) ? "r" : "rm";
}

rgba_picture* open_rgba_picture(TIFF* in, uint32_t* width, uint32_t* height)
{
    const char* name = TIFFFileName(in);
    rgba_picture* p = new (std::nothrow) rgba_picture();
    if (p == nullptr) {
        TIFFErrorExtR(in, name, "No space for raster buffer");
        return nullptr;
    }
    p->in = in;
    p->turned = -1;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &p->stored_width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &p->stored_height);
    TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &p->orientation);
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
    p->use_workers = compression != COMPRESSION_OJPEG;  // which libtiff reads only in order
    p->tiled = TIFFIsTiled(in) != 0;
    p->mode = rendering_mode(in);
    if (p->tiled) {
        TIFFGetField(in, TIFFTAG_TILEWIDTH, &p->tile_width);
        TIFFGetField(in, TIFFTAG_TILELENGTH, &p->block_rows);
    } else {
        TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &p->block_rows);
        if (p->block_rows == 0 || p->block_rows > p->stored_height)
            p->block_rows = p->stored_height;
    }
    // libtiff's renderers index a raster with 32-bit arithmetic: a block
    // too large for that is refused whatever its data.
    uint64_t block_width = p->tiled ? p->tile_width : p->stored_width;
    uint64_t block_bytes = block_width * p->block_rows * 4;
    if (block_bytes == 0 || block_bytes > UINT32_MAX || p->stored_width == 0 ||
        (uint64_t)p->stored_width * p->block_rows * 4 > SIZE_MAX / 4) {
        TIFFErrorExtR(in, name, "No space for raster buffer");
        delete p;
        return nullptr;
    }
    if (!keep_rows_with_data(in, &p->stored_height)) {
        delete p;
        return nullptr;
    }
    // Set up once on the program's handle, as a whole-image render would
    // be: what libtiff says of the directory is said once, and a
    // directory it cannot render is refused here.
    char emsg[1024];
    TIFFRGBAImage image;
    if (!TIFFRGBAImageOK(in, emsg) || !TIFFRGBAImageBegin(&image, in, 0, emsg)) {
        TIFFErrorExtR(in, name, "%s", emsg);
        delete p;
        return nullptr;
    }
    TIFFRGBAImageEnd(&image);
    p->width = turned(p->orientation) ? p->stored_height : p->stored_width;
    p->height = turned(p->orientation) ? p->stored_width : p->stored_height;
    if (turned(p->orientation) && !turn_picture(p)) {
        close_rgba_picture(p);
        return nullptr;
    }
    *width = p->width;
    *height = p->height;
    return p;
}

void close_rgba_picture(rgba_picture* p)
{
    if (p == nullptr)
        return;
    if (p->turned >= 0)
        close(p->turned);
    delete p;
}
