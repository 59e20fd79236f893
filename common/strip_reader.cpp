#include "strip_reader.h"
#include "tiff_input.h"
#include "worker_count.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// What the units in flight may take all together.
const uint64_t MEMORY_BUDGET = 64 * 1024 * 1024;
// Strips smaller than this are read a few at a time, so that handing
// them over costs little beside decoding them (less in a small image, so
// that every worker gets a share of it).
const uint64_t ROW_UNIT_BYTES = 256 * 1024;

// A libtiff message raised while a worker made a unit, with the unit's
// progress at that moment.
struct reader_message {
    bool error;
    bool has_module;
    uint32_t at;
    std::string module;
    std::string text;
};

// A unit in flight: the unit it holds, its bytes, and what making it gave.
struct reader_slot {
    uint32_t unit;
    unsigned char* data;
    std::vector<reader_message> messages;
    size_t reported;    // messages reported so far
    uint32_t progress;  // the job's progress when it ended
    int ok;
    bool done;  // made; guarded by the reader's lock
};

// Where a worker handle's messages go: into `target`, or nowhere.
struct message_sink {
    std::vector<reader_message>* target;
    const uint32_t* progress;
};

struct reader_worker {
    unit_reader* reader;
    TIFF* tif;
    void* state;
    bool begun;
    message_sink sink;
    pthread_t thread;
    bool running;
};

struct unit_reader {
    TIFF* in;
    reader_worker* here;  // without workers: the handle units are made through
    uint32_t units;
    size_t unit_bytes;
    unit_work work;
    std::vector<reader_slot*> slots;  // unit u is in slots[u % slots.size()]
    uint32_t issued;                  // units given a slot so far
    uint32_t released;                // units below this are given back
    bool pooled;
    std::vector<reader_worker*> workers;
    std::deque<reader_slot*> to_make;  // guarded by lock
    bool stopping;                     // guarded by lock
    std::mutex lock;
    std::condition_variable work_ready;
    std::condition_variable unit_made;
};

// ---- Worker handles ----------------------------------------------------------

// A worker handle's libtiff message: kept with the unit being made (to be
// reported from the program's thread), dropped at any other time. Called
// from libtiff's C code, so nothing is thrown out of it: a message for
// which there is no memory is lost.
static int keep_message(bool error, void* user_data, const char* module, const char* fmt,
                        va_list ap)
{
    message_sink* sink = (message_sink*)user_data;
    if (sink->target != nullptr) {
        char text[1024];
        vsnprintf(text, sizeof text, fmt, ap);
        try {
            sink->target->push_back(reader_message{
                error, module != nullptr, sink->progress != nullptr ? *sink->progress : 0,
                module != nullptr ? module : "", text});
        } catch (...) {
        }
    }
    return 1;
}

static int keep_error(TIFF*, void* user_data, const char* module, const char* fmt, va_list ap)
{
    return keep_message(true, user_data, module, fmt, ap);
}

static int keep_warning(TIFF*, void* user_data, const char* module, const char* fmt, va_list ap)
{
    return keep_message(false, user_data, module, fmt, ap);
}

// Whether `a` and `b` are on directories that lay out their data alike.
static bool same_layout(TIFF* a, TIFF* b)
{
    const uint32_t long_tags[] = {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP,
                                  TIFFTAG_TILEWIDTH, TIFFTAG_TILELENGTH};
    for (uint32_t tag : long_tags) {
        uint32_t x = 0, y = 0;
        if (TIFFGetField(a, tag, &x) != TIFFGetField(b, tag, &y) || x != y)
            return false;
    }
    const uint32_t short_tags[] = {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL,
                                   TIFFTAG_PLANARCONFIG, TIFFTAG_COMPRESSION,
                                   TIFFTAG_PHOTOMETRIC};
    for (uint32_t tag : short_tags) {
        uint16_t x = 0, y = 0;
        if (TIFFGetFieldDefaulted(a, tag, &x) != TIFFGetFieldDefaulted(b, tag, &y) || x != y)
            return false;
    }
    return TIFFIsTiled(a) == TIFFIsTiled(b) && TIFFNumberOfStrips(a) == TIFFNumberOfStrips(b);
}

// Opens a worker's handle on the file and directory of `in`, as `mode`
// opens it, with every message of the opening dropped. Returns nullptr
// when the file does not open, is no longer the same file, or its
// directory there is not the same.
static TIFF* open_worker_handle(TIFF* in, const char* mode, message_sink* sink)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr)
        return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, sink);
    TIFFOpenOptionsSetWarningHandlerExtR(options, keep_warning, sink);
    TIFF* tif = TIFFOpenExt(TIFFFileName(in), mode, options);
    TIFFOpenOptionsFree(options);
    if (tif == nullptr)
        return nullptr;
    struct stat mine, theirs;
    bool same = fstat(TIFFFileno(in), &mine) == 0 && fstat(TIFFFileno(tif), &theirs) == 0 &&
                mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino &&
                (TIFFCurrentDirOffset(tif) == TIFFCurrentDirOffset(in) ||
                 TIFFSetSubDirectory(tif, TIFFCurrentDirOffset(in))) &&
                same_layout(in, tif);
    if (!same) {
        TIFFClose(tif);
        return nullptr;
    }
    return tif;
}

// Makes the unit of slot `s` through `tif`, keeping libtiff's messages
// with it when `sink` is given.
static void make_unit(unit_reader* r, TIFF* tif, void* state, reader_slot* s, message_sink* sink)
{
    s->messages.clear();
    s->reported = 0;
    unit_job job = {tif, s->unit, s->data, state, 0};
    if (sink != nullptr) {
        sink->target = &s->messages;
        sink->progress = &job.progress;
    }
    s->ok = r->work.make(&job, r->work.context);
    s->progress = job.progress;
    if (sink != nullptr) {
        sink->target = nullptr;
        sink->progress = nullptr;
    }
}

static void* run_worker(void* arg)
{
    reader_worker* k = (reader_worker*)arg;
    unit_reader* r = k->reader;
    for (;;) {
        std::unique_lock<std::mutex> hold(r->lock);
        r->work_ready.wait(hold, [r] { return !r->to_make.empty() || r->stopping; });
        if (r->stopping)
            return nullptr;
        reader_slot* s = r->to_make.front();
        r->to_make.pop_front();
        hold.unlock();
        make_unit(r, k->tif, k->state, s, &k->sink);
        hold.lock();
        s->done = true;
        hold.unlock();
        r->unit_made.notify_all();
    }
}

// ---- The program's side ------------------------------------------------------

// Gives slot `s` its next unit, if any is left, for a worker to make.
static void issue_unit(unit_reader* r, reader_slot* s)
{
    if (r->issued >= r->units)
        return;
    s->unit = r->issued++;
    if (!r->pooled) {
        s->done = false;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(r->lock);
        s->done = false;
        r->to_make.push_back(s);
    }
    r->work_ready.notify_one();
}

static void close_handle(unit_reader* r, reader_worker* k)
{
    if (k->begun && r->work.end != nullptr)
        r->work.end(k->state, r->work.context);
    if (k->tif != nullptr)
        TIFFClose(k->tif);
    delete k;
}

static void stop_workers(unit_reader* r)
{
    {
        std::lock_guard<std::mutex> hold(r->lock);
        r->stopping = true;
    }
    r->work_ready.notify_all();
    for (reader_worker* k : r->workers) {
        if (k->running)
            pthread_join(k->thread, nullptr);
        close_handle(r, k);
    }
    r->workers.clear();
}

// A handle of its own (none when `mode` is nullptr) with its state set
// up, or nullptr.
static reader_worker* open_handle(unit_reader* r, const char* mode)
{
    reader_worker* k = new (std::nothrow) reader_worker();
    if (k == nullptr)
        return nullptr;
    k->reader = r;
    k->sink = message_sink{nullptr, nullptr};
    if (mode != nullptr && (k->tif = open_worker_handle(r->in, mode, &k->sink)) == nullptr) {
        delete k;
        return nullptr;
    }
    k->begun = r->work.begin == nullptr || r->work.begin(k->tif, &k->state, r->work.context);
    if (!k->begun) {
        close_handle(r, k);
        return nullptr;
    }
    return k;
}

// Opens `count` workers; returns how many run.
static unsigned start_workers(unit_reader* r, const char* mode, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        reader_worker* k = open_handle(r, mode);
        if (k == nullptr)
            break;
        k->running = pthread_create(&k->thread, nullptr, run_worker, k) == 0;
        r->workers.push_back(k);
        if (!k->running)
            break;
    }
    unsigned running = 0;
    for (reader_worker* k : r->workers)
        running += k->running;
    return running;
}

static void free_slots(unit_reader* r)
{
    for (reader_slot* s : r->slots) {
        free(s->data);
        delete s;
    }
    r->slots.clear();
}

// Makes `count` slots; false when there is no memory for them.
static bool make_slots(unit_reader* r, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        reader_slot* s = new (std::nothrow) reader_slot();
        if (s == nullptr)
            return false;
        s->data = (unsigned char*)calloc(r->unit_bytes > 0 ? r->unit_bytes : 1, 1);
        r->slots.push_back(s);
        if (s->data == nullptr)
            return false;
    }
    return true;
}

unit_reader* open_unit_reader(TIFF* in, const char* mode, uint32_t units, size_t unit_bytes,
                              uint32_t hold, const unit_work* work, bool use_workers)
{
    unit_reader* r = new (std::nothrow) unit_reader();
    if (r == nullptr)
        return nullptr;
    r->in = in;
    r->units = units;
    r->unit_bytes = unit_bytes;
    r->work = *work;
    if (hold == 0)
        hold = 1;
    unsigned workers = use_workers ? workers_wanted() : 1;
    uint64_t affordable = MEMORY_BUDGET / (unit_bytes > 0 ? unit_bytes : 1);
    uint64_t wanted = 2 * (uint64_t)workers + 1;
    uint64_t slots = wanted < affordable ? wanted : affordable;
    if (slots > units)
        slots = units;
    // Workers are worth it only with a unit to make beside those held.
    if (workers >= 2 && slots > hold) {
        uint64_t ahead = slots - hold;
        r->pooled = make_slots(r, (uint32_t)slots) &&
                    start_workers(r, mode, ahead < workers ? (unsigned)ahead : workers) > 0;
        if (!r->pooled) {
            stop_workers(r);
            free_slots(r);
        }
    }
    if (!r->pooled && (!make_slots(r, hold) || (r->here = open_handle(r, mode)) == nullptr)) {
        free_slots(r);
        delete r;
        return nullptr;
    }
    for (reader_slot* s : r->slots)
        issue_unit(r, s);
    return r;
}

// Reports the messages of slot `s` raised at progress `at` or before.
static void report_messages(unit_reader* r, reader_slot* s, uint32_t at)
{
    for (; s->reported < s->messages.size() && s->messages[s->reported].at <= at; s->reported++) {
        const reader_message& m = s->messages[s->reported];
        const char* module = m.has_module ? m.module.c_str() : nullptr;
        if (m.error)
            TIFFErrorExtR(r->in, module, "%s", m.text.c_str());
        else
            TIFFWarningExtR(r->in, module, "%s", m.text.c_str());
    }
}

// The slot of unit `unit`, made: by a worker (waiting for it), or now.
static reader_slot* made_slot(unit_reader* r, uint32_t unit)
{
    reader_slot* s = r->slots[unit % r->slots.size()];
    if (r->pooled) {
        std::unique_lock<std::mutex> hold(r->lock);
        r->unit_made.wait(hold, [s] { return s->done; });
    } else if (!s->done) {
        make_unit(r, r->here->tif, r->here->state, s, &r->here->sink);
        s->done = true;
    }
    return s;
}

unsigned char* take_unit(unit_reader* r, uint32_t unit, int* ok)
{
    reader_slot* s = made_slot(r, unit);
    report_messages(r, s, UINT32_MAX);
    *ok = s->ok;
    return s->data;
}

void release_units(unit_reader* r, uint32_t below)
{
    for (; r->released < below; r->released++)
        issue_unit(r, r->slots[r->released % r->slots.size()]);
}

void close_unit_reader(unit_reader* r)
{
    if (r == nullptr)
        return;
    stop_workers(r);
    if (r->here != nullptr)
        close_handle(r, r->here);
    free_slots(r);
    delete r;
}

// ---- Scan lines ------------------------------------------------------------

// A directory's layout as the row reader cuts it: bands of rows (whole
// strips, or a row of tiles), each plane's bands one unit.
struct band_layout {
    bool tiled;
    uint32_t width, length;
    uint32_t band_rows;     // rows of whole strips, or tile length
    uint32_t bands;
    uint16_t planes;        // planes read
    size_t line;            // bytes of a scan line of one plane
    size_t stride;          // bytes a row takes in a band
    uint32_t tile_width;
    size_t tile_row_bytes;  // bytes of one row of a tile
};

struct strip_reader {
    TIFF* in;
    band_layout layout;
    unit_reader* units;  // with workers
    uint32_t held_band;  // the band whose units are held
    // Without workers, strips: a handle and a row buffer for each plane.
    std::vector<TIFF*> handles;
    unsigned char* rows;
    // Without workers, tiles: a row of tiles of each plane (taken when
    // first needed), and a tile.
    unsigned char* bands;
    unsigned char* tile;
    std::vector<uint32_t> band_of;  // the band each plane holds, or UINT32_MAX
    std::vector<bool> band_ok;
};

// Reads band `band` of plane `sample` from a tiled image through `tif`:
// its tiles decoded one after another into `tile`, their rows put
// together in `out`. False when a tile cannot be read.
static bool read_tile_band(TIFF* tif, const band_layout* l, uint32_t band, uint16_t sample,
                           unsigned char* tile, unsigned char* out)
{
    uint32_t top = band * l->band_rows;
    uint32_t rows = l->length - top < l->band_rows ? l->length - top : l->band_rows;
    for (uint32_t x = 0; x < l->width; x += l->tile_width) {
        uint32_t number = TIFFComputeTile(tif, x, top, 0, sample);
        if (TIFFReadEncodedTile(tif, number, tile, -1) < 0)
            return false;
        size_t at = (size_t)(x / l->tile_width) * l->tile_row_bytes;
        size_t n = l->line - at < l->tile_row_bytes ? l->line - at : l->tile_row_bytes;
        for (uint32_t j = 0; j < rows; j++)
            memcpy(out + j * l->stride + at, tile + j * l->tile_row_bytes, n);
    }
    return true;
}

// A worker's tile buffer.
static bool begin_tiles(TIFF* tif, void** state, const void*)
{
    tmsize_t size = TIFFTileSize(tif);
    *state = size > 0 ? malloc((size_t)size) : nullptr;
    return *state != nullptr;
}

static void end_tiles(void* state, const void*)
{
    free(state);
}

// Makes unit band x planes + plane: the band's rows, each read with
// TIFFReadScanline (or, tiled, its tiles); the progress counts the rows
// read, so that each message is reported at the row that raised it.
static int make_band(unit_job* job, const void* context)
{
    const band_layout* l = (const band_layout*)context;
    uint32_t band = job->unit / l->planes;
    uint16_t sample = (uint16_t)(job->unit % l->planes);
    if (l->tiled)
        return read_tile_band(job->tif, l, band, sample, (unsigned char*)job->state, job->data);
    uint32_t top = band * l->band_rows;
    uint32_t rows = l->length - top < l->band_rows ? l->length - top : l->band_rows;
    for (job->progress = 0; job->progress < rows; job->progress++)
        if (TIFFReadScanline(job->tif, job->data + job->progress * l->stride, top + job->progress,
                             sample) < 0)
            return 0;
    return 1;
}

// The layout of the directory `in` is on, read `planes` planes at a time
// with rows of at least `row_bytes`. False when its sizes do not fit.
static bool directory_layout(TIFF* in, uint16_t planes, size_t row_bytes, band_layout* l)
{
    *l = band_layout();
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &l->width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &l->length);
    l->tiled = TIFFIsTiled(in) != 0;
    l->planes = planes == 0 ? 1 : planes;
    tmsize_t line = TIFFScanlineSize(in);
    l->line = line > 0 ? (size_t)line : 0;
    l->stride = l->line > row_bytes ? l->line : row_bytes;
    if (l->tiled) {
        TIFFGetField(in, TIFFTAG_TILEWIDTH, &l->tile_width);
        TIFFGetField(in, TIFFTAG_TILELENGTH, &l->band_rows);
        tmsize_t tile_row = TIFFTileRowSize(in);
        if (l->tile_width == 0 || l->band_rows == 0 || tile_row <= 0 ||
            (uint64_t)tile_row * l->band_rows > (uint64_t)TIFFTileSize64(in))
            return false;
        l->tile_row_bytes = (size_t)tile_row;
    } else {
        TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &l->band_rows);
        if (l->band_rows == 0 || l->band_rows > l->length)
            l->band_rows = l->length;
        uint64_t bytes = (uint64_t)l->band_rows * l->stride;
        uint64_t unit = std::min<uint64_t>(
            ROW_UNIT_BYTES, (uint64_t)l->length * l->stride / (4 * workers_wanted()));
        if (bytes > 0 && bytes < unit)
            l->band_rows =
                (uint32_t)std::min<uint64_t>((uint64_t)l->band_rows * (unit / bytes), l->length);
    }
    if (l->band_rows == 0)
        l->band_rows = 1;
    l->bands = (uint32_t)(((uint64_t)l->length + l->band_rows - 1) / l->band_rows);
    return l->stride > 0 && (uint64_t)l->band_rows * l->stride < (uint64_t)SIZE_MAX / 4;
}

// Whether workers can gain anything decoding this directory: compressed
// data (old-style JPEG aside, which libtiff reads only in order) in more
// than one unit.
static bool worth_workers(TIFF* in, const band_layout* l)
{
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
    return compression != COMPRESSION_NONE && compression != COMPRESSION_OJPEG &&
           (uint64_t)l->bands * l->planes > 1;
}

strip_reader* open_strip_reader(TIFF* in, const char* mode, uint16_t planes, size_t row_bytes)
{
    strip_reader* r = new (std::nothrow) strip_reader();
    if (r == nullptr || !directory_layout(in, planes, row_bytes, &r->layout)) {
        TIFFErrorExtR(in, TIFFFileName(in), "No space for a row of strips or tiles");
        delete r;
        return nullptr;
    }
    r->in = in;
    r->held_band = UINT32_MAX;
    const band_layout* l = &r->layout;
    if (worth_workers(in, l) && workers_wanted() > 1) {
        static const unit_work strips = {make_band, nullptr, nullptr, nullptr};
        static const unit_work tiles = {make_band, begin_tiles, end_tiles, nullptr};
        unit_work work = l->tiled ? tiles : strips;
        work.context = l;
        r->units = open_unit_reader(in, mode, l->bands * l->planes,
                                    (size_t)l->band_rows * l->stride, l->planes, &work, true);
        if (r->units != nullptr && r->units->pooled)
            return r;
        // Too large to have any in flight: every row is read here.
        close_unit_reader(r->units);
        r->units = nullptr;
    }
    // Without workers: strips through a handle for each plane (the first is
    // the program's), tiles a row of tiles for each plane at a time.
    r->handles.push_back(in);
    for (uint16_t s = 1; s < l->planes && !l->tiled; s++) {
        TIFFErrorHandler warn = TIFFSetWarningHandler(nullptr);
        TIFF* plane = open_tiff_input(TIFFFileName(in), mode);
        TIFFSetWarningHandler(warn);
        if (plane != nullptr)
            r->handles.push_back(plane);
        if (plane == nullptr || (TIFFCurrentDirOffset(plane) != TIFFCurrentDirOffset(in) &&
                                 !TIFFSetSubDirectory(plane, TIFFCurrentDirOffset(in)))) {
            close_strip_reader(r);
            return nullptr;
        }
    }
    r->rows = (unsigned char*)calloc(l->planes, l->stride);
    if (r->rows == nullptr) {
        TIFFErrorExtR(in, TIFFFileName(in), "No space for a scan line");
        close_strip_reader(r);
        return nullptr;
    }
    r->band_of.assign(l->planes, UINT32_MAX);
    r->band_ok.assign(l->planes, false);
    return r;
}

// Row `row` of plane `sample` without workers.
static const unsigned char* read_row_here(strip_reader* r, uint32_t row, uint16_t sample)
{
    const band_layout* l = &r->layout;
    if (!l->tiled) {
        unsigned char* buffer = r->rows + sample * l->stride;
        return TIFFReadScanline(r->handles[sample], buffer, row, sample) < 0 ? nullptr : buffer;
    }
    uint32_t band = row / l->band_rows;
    size_t band_bytes = (size_t)l->band_rows * l->stride;
    if (r->bands == nullptr) {
        tmsize_t tile = TIFFTileSize(r->in);
        r->bands = (unsigned char*)calloc(l->planes, band_bytes);
        r->tile = tile > 0 ? (unsigned char*)malloc((size_t)tile) : nullptr;
        if (r->bands == nullptr || r->tile == nullptr) {
            free(r->bands);
            free(r->tile);
            r->bands = r->tile = nullptr;
            TIFFErrorExtR(r->in, TIFFFileName(r->in), "No space for a row of tiles");
            return nullptr;
        }
    }
    unsigned char* out = r->bands + sample * band_bytes;
    if (r->band_of[sample] != band) {
        r->band_of[sample] = band;
        r->band_ok[sample] = read_tile_band(r->in, l, band, sample, r->tile, out);
    }
    return r->band_ok[sample] ? out + (size_t)(row - band * l->band_rows) * l->stride : nullptr;
}

const unsigned char* read_strip_row(strip_reader* r, uint32_t row, uint16_t sample)
{
    const band_layout* l = &r->layout;
    if (row >= l->length || sample >= l->planes)
        return nullptr;
    if (r->units == nullptr)
        return read_row_here(r, row, sample);
    uint32_t band = row / l->band_rows;
    if (band != r->held_band) {
        release_units(r->units, band * l->planes);
        r->held_band = band;
    }
    reader_slot* s = made_slot(r->units, band * l->planes + sample);
    uint32_t at = row - band * l->band_rows;
    report_messages(r->units, s, at);
    if (!s->ok && at >= s->progress)
        return nullptr;
    return s->data + (size_t)at * l->stride;
}

void close_strip_reader(strip_reader* r)
{
    if (r == nullptr)
        return;
    close_unit_reader(r->units);
    for (size_t s = 1; s < r->handles.size(); s++)
        TIFFClose(r->handles[s]);
    free(r->rows);
    free(r->bands);
    free(r->tile);
    delete r;
}
