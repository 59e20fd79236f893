#include "strip_writer.h"
#include "worker_count.h"

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
#include <thread>
#include <vector>

// A batch is handed to the workers once it holds this many raw bytes, in
// whole strips (a larger strip makes a batch of its own); less in a small
// image, so that every worker gets a share of it.
const size_t BATCH_BYTES = 128 * 1024;
// What the batches in flight may take, raw and encoded, all together.
const uint64_t MEMORY_BUDGET = 64 * 1024 * 1024;
// Where every strip of a worker's in-memory file begins: just past a
// header, so that the file never grows however much it encodes.
const uint64_t FAKE_STRIP_OFFSET = 16;

// One strip of a batch: its rows (or the whole strip, as the program gave
// it) and, once encoded, where its bytes end in the batch's output.
struct strip_piece {
    uint32_t strip;
    uint16_t sample;
    uint32_t first_row;
    uint32_t rows;        // scan lines handed over; 0 for a whole strip
    bool whole;           // given whole: TIFFWriteEncodedStrip
    size_t raw_start;     // offset of its data in the batch's raw bytes
    size_t raw_size;
    size_t encoded_end;   // end of its bytes in the batch's encoded bytes
};

// A libtiff message raised while a worker encoded, kept to be reported
// from the program's thread.
struct tiff_message {
    bool error;
    std::string module;
    std::string text;
};

// Strips handed to a worker together: their raw bytes one after another,
// and what the worker made of them.
struct strip_batch {
    std::vector<unsigned char> raw;
    std::vector<strip_piece> pieces;
    std::vector<unsigned char> encoded;
    std::vector<tiff_message> messages;
    size_t failed_piece;  // index of the piece that failed to encode, or pieces.size()
    bool done;            // encoded; guarded by the writer's lock
};

// A worker's in-memory file: every byte written goes to `target` (or
// nowhere); the messages of its handle go to `messages` (or nowhere).
struct capture_file {
    std::vector<unsigned char>* target;
    uint64_t position;
    uint64_t size;
    std::vector<tiff_message>* messages;  // where libtiff's messages go, if anywhere
};

// A worker: its thread and its in-memory TIFF handle.
struct strip_worker {
    strip_writer* writer;
    TIFF* tif;
    capture_file file;
    pthread_t thread;
    bool running;
};

// What the writer knows of the output's layout, the strip being filled,
// and the pool of workers with the batches they share.
struct strip_writer {
    TIFF* out;
    tmsize_t line_size;     // asked of libtiff once a strip has been written
    uint32_t rows_per_strip;
    uint32_t image_length;  // 0 while the program does not know it
    uint32_t strips_per_plane;
    uint64_t image_rows;    // image length times planes; 0 while unknown
    bool jpeg;
    unsigned worker_count;  // wanted; 1: everything straight to libtiff
    size_t batch_bytes;     // the size at which a batch goes to the workers
    bool failed;

    // The strip being filled row by row, wherever it goes.
    bool strip_open;
    uint32_t strip;
    uint16_t sample;
    uint32_t first_row;
    uint32_t rows;        // rows it has
    uint32_t rows_wanted; // rows that make it whole
    std::vector<unsigned char> last_row;  // JPEG, straight to libtiff: the last row given

    // Until the pool starts, everything goes straight to libtiff.
    bool pooled;
    bool any_strip;  // a strip has gone to libtiff already
    std::vector<strip_worker*> workers;
    std::vector<strip_batch*> batches;
    strip_batch* filling;
    std::deque<strip_batch*> free_batches;
    std::deque<strip_batch*> in_flight;  // handed over, in order; guarded by lock
    std::deque<strip_batch*> to_encode;  // guarded by lock
    bool stopping;                       // guarded by lock
    std::mutex lock;
    std::condition_variable work_ready;
    std::condition_variable batch_done;
};

// The rows strip `strip_first_row` begins: all of rows_per_strip but at
// the bottom of a known image.
static uint32_t rows_in_strip(const strip_writer* w, uint32_t strip_first_row)
{
    if (w->image_length == 0 || w->image_length - strip_first_row > w->rows_per_strip)
        return w->rows_per_strip;
    return w->image_length - strip_first_row;
}

// The strip holding row `row` of plane `sample`, as libtiff numbers them.
static uint32_t strip_of(const strip_writer* w, uint32_t row, uint16_t sample)
{
    return sample * w->strips_per_plane + row / w->rows_per_strip;
}

strip_writer* open_strip_writer(TIFF* out)
{
    strip_writer* w = new (std::nothrow) strip_writer();
    if (w == nullptr) {
        TIFFErrorExtR(out, TIFFFileName(out), "No space for the strip writer");
        return nullptr;
    }
    uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, samples = 1;
    uint32_t rows_per_strip = 0;
    TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(out, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    TIFFGetFieldDefaulted(out, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(out, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(out, TIFFTAG_IMAGELENGTH, &w->image_length);
    w->out = out;
    w->rows_per_strip = rows_per_strip == 0 ? 1 : rows_per_strip;
    uint64_t strips = ((uint64_t)w->image_length + w->rows_per_strip - 1) / w->rows_per_strip;
    w->strips_per_plane = strips > UINT32_MAX ? UINT32_MAX : (uint32_t)strips;
    w->image_rows = (uint64_t)w->image_length * (planar == PLANARCONFIG_SEPARATE ? samples : 1);
    w->jpeg = compression == COMPRESSION_JPEG;
    // Uncompressed strips have nothing to encode: handing them to workers
    // would only copy them twice more.
    w->worker_count = compression == COMPRESSION_NONE ? 1 : workers_wanted();
    return w;
}

// ---- The workers ---------------------------------------------------------

static tmsize_t capture_read(thandle_t, void*, tmsize_t)
{
    return 0;
}

static tmsize_t capture_write(thandle_t h, void* data, tmsize_t n)
{
    capture_file* f = (capture_file*)h;
    if (f->target != nullptr)
        f->target->insert(f->target->end(), (unsigned char*)data, (unsigned char*)data + n);
    f->position += (uint64_t)n;
    if (f->position > f->size)
        f->size = f->position;
    return n;
}

static toff_t capture_seek(thandle_t h, toff_t offset, int whence)
{
    capture_file* f = (capture_file*)h;
    uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->position : f->size;
    f->position = base + offset;
    return f->position;
}

static int capture_close(thandle_t)
{
    return 0;
}

static toff_t capture_size(thandle_t h)
{
    return ((capture_file*)h)->size;
}

static int capture_map(thandle_t, void**, toff_t*)
{
    return 0;
}

static void capture_unmap(thandle_t, void*, toff_t)
{
}

// A worker handle's libtiff messages: kept with the batch being encoded
// (reported later in the program's thread), dropped at any other time.
static int capture_message(bool error, void* user_data, const char* module, const char* fmt,
                           va_list ap)
{
    capture_file* f = (capture_file*)user_data;
    if (f->messages != nullptr) {
        char text[1024];
        vsnprintf(text, sizeof text, fmt, ap);
        f->messages->push_back(tiff_message{error, module != nullptr ? module : "", text});
    }
    return 1;
}

static int capture_error(TIFF*, void* user_data, const char* module, const char* fmt, va_list ap)
{
    return capture_message(true, user_data, module, fmt, ap);
}

static int capture_warning(TIFF*, void* user_data, const char* module, const char* fmt,
                           va_list ap)
{
    return capture_message(false, user_data, module, fmt, ap);
}

// Sets on `to` every field of `from` that shapes how image data is
// encoded, the codec's own settings last.
static void copy_data_layout(TIFF* from, TIFF* to)
{
    uint32_t u32;
    uint16_t u16, v16;
    uint16_t* u16s;
    float* floats;
    int i;
    if (TIFFGetField(from, TIFFTAG_IMAGEWIDTH, &u32))
        TIFFSetField(to, TIFFTAG_IMAGEWIDTH, u32);
    if (TIFFGetField(from, TIFFTAG_IMAGELENGTH, &u32))
        TIFFSetField(to, TIFFTAG_IMAGELENGTH, u32);
    const uint32_t short_tags[] = {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL,
                                   TIFFTAG_PLANARCONFIG,  TIFFTAG_PHOTOMETRIC,
                                   TIFFTAG_FILLORDER,     TIFFTAG_SAMPLEFORMAT,
                                   TIFFTAG_YCBCRPOSITIONING};
    for (uint32_t tag : short_tags)
        if (TIFFGetField(from, tag, &u16))
            TIFFSetField(to, tag, u16);
    if (TIFFGetField(from, TIFFTAG_EXTRASAMPLES, &u16, &u16s))
        TIFFSetField(to, TIFFTAG_EXTRASAMPLES, u16, u16s);
    if (TIFFGetField(from, TIFFTAG_YCBCRSUBSAMPLING, &u16, &v16))
        TIFFSetField(to, TIFFTAG_YCBCRSUBSAMPLING, u16, v16);
    if (TIFFGetField(from, TIFFTAG_REFERENCEBLACKWHITE, &floats))
        TIFFSetField(to, TIFFTAG_REFERENCEBLACKWHITE, floats);
    // Group 3 two-dimensional coding chooses how often to restart with a
    // one-dimensional row from the vertical resolution.
    float resolution;
    if (TIFFGetField(from, TIFFTAG_YRESOLUTION, &resolution))
        TIFFSetField(to, TIFFTAG_YRESOLUTION, (double)resolution);
    if (TIFFGetField(from, TIFFTAG_RESOLUTIONUNIT, &u16))
        TIFFSetField(to, TIFFTAG_RESOLUTIONUNIT, u16);

    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(from, TIFFTAG_COMPRESSION, &compression);
    TIFFSetField(to, TIFFTAG_COMPRESSION, compression);
    switch (compression) {
    case COMPRESSION_JPEG:
        if (TIFFGetField(from, TIFFTAG_JPEGQUALITY, &i))
            TIFFSetField(to, TIFFTAG_JPEGQUALITY, i);
        if (TIFFGetField(from, TIFFTAG_JPEGCOLORMODE, &i))
            TIFFSetField(to, TIFFTAG_JPEGCOLORMODE, i);
        if (TIFFGetField(from, TIFFTAG_JPEGTABLESMODE, &i))
            TIFFSetField(to, TIFFTAG_JPEGTABLESMODE, i);
        break;
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        if (TIFFGetField(from, TIFFTAG_PREDICTOR, &u16))
            TIFFSetField(to, TIFFTAG_PREDICTOR, u16);
        if (compression != COMPRESSION_LZW && TIFFGetField(from, TIFFTAG_ZIPQUALITY, &i))
            TIFFSetField(to, TIFFTAG_ZIPQUALITY, i);
        break;
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
        if (TIFFGetField(from, TIFFTAG_GROUP3OPTIONS, &u32))
            TIFFSetField(to, TIFFTAG_GROUP3OPTIONS, u32);
        if (TIFFGetField(from, TIFFTAG_GROUP4OPTIONS, &u32))
            TIFFSetField(to, TIFFTAG_GROUP4OPTIONS, u32);
        if (TIFFGetField(from, TIFFTAG_FAXMODE, &i))
            TIFFSetField(to, TIFFTAG_FAXMODE, i);
        break;
    }
    if (TIFFGetField(from, TIFFTAG_ROWSPERSTRIP, &u32))
        TIFFSetField(to, TIFFTAG_ROWSPERSTRIP, u32);
}

// Opens a worker's in-memory TIFF handle, set up like `out`. Returns
// nullptr when libtiff will not make one.
static strip_worker* open_worker(TIFF* out)
{
    strip_worker* k = new (std::nothrow) strip_worker();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (k == nullptr || options == nullptr) {
        TIFFOpenOptionsFree(options);
        delete k;
        return nullptr;
    }
    k->file = capture_file{nullptr, 0, 0, nullptr};
    TIFFOpenOptionsSetErrorHandlerExtR(options, capture_error, &k->file);
    TIFFOpenOptionsSetWarningHandlerExtR(options, capture_warning, &k->file);
    k->tif = TIFFClientOpenExt(TIFFFileName(out), TIFFIsBigEndian(out) ? "wb" : "wl",
                               (thandle_t)&k->file, capture_read, capture_write, capture_seek,
                               capture_close, capture_size, capture_map, capture_unmap, options);
    TIFFOpenOptionsFree(options);
    if (k->tif == nullptr) {
        delete k;
        return nullptr;
    }
    copy_data_layout(out, k->tif);
    return k;
}

// Encodes piece `p`, whose data is at `data`, through `tif` with the call
// the program made; its bytes are flushed to the handle's file.
static bool encode_piece(TIFF* tif, const strip_piece* p, unsigned char* data,
                         tmsize_t line_size)
{
    if (p->whole)
        return TIFFWriteEncodedStrip(tif, p->strip, data, (tmsize_t)p->raw_size) >= 0;
    for (uint32_t r = 0; r < p->rows; r++)
        if (TIFFWriteScanline(tif, data + (size_t)r * (size_t)line_size, p->first_row + r,
                              p->sample) < 0)
            return false;
    return TIFFFlushData(tif) != 0;
}

// Encodes every piece of `b` through worker `k`, stopping at the first
// that fails.
static void encode_batch(strip_worker* k, strip_batch* b, tmsize_t line_size)
{
    b->encoded.clear();
    b->messages.clear();
    b->failed_piece = b->pieces.size();
    k->file.target = &b->encoded;
    k->file.messages = &b->messages;
    for (size_t i = 0; i < b->pieces.size(); i++) {
        strip_piece* p = &b->pieces[i];
        k->file.position = k->file.size = FAKE_STRIP_OFFSET;
        bool ok = encode_piece(k->tif, p, b->raw.data() + p->raw_start, line_size);
        p->encoded_end = b->encoded.size();
        if (!ok) {
            b->failed_piece = i;
            break;
        }
    }
    k->file.target = nullptr;
    k->file.messages = nullptr;
}

// A worker's thread: encodes the batches handed over, oldest first,
// until the writer stops.
static void* run_worker(void* arg)
{
    strip_worker* k = (strip_worker*)arg;
    strip_writer* w = k->writer;
    for (;;) {
        std::unique_lock<std::mutex> hold(w->lock);
        w->work_ready.wait(hold, [w] { return !w->to_encode.empty() || w->stopping; });
        if (w->to_encode.empty())
            return nullptr;
        strip_batch* b = w->to_encode.front();
        w->to_encode.pop_front();
        hold.unlock();
        encode_batch(k, b, w->line_size);
        hold.lock();
        b->done = true;
        hold.unlock();
        w->batch_done.notify_one();
    }
}

// ---- The program's side ----------------------------------------------------

// Writes the encoded strips of a finished batch to the output, after the
// messages raised while encoding them.
static void write_batch(strip_writer* w, strip_batch* b)
{
    for (const tiff_message& m : b->messages) {
        if (m.error)
            TIFFErrorExtR(w->out, m.module.c_str(), "%s", m.text.c_str());
        else
            TIFFWarningExtR(w->out, m.module.c_str(), "%s", m.text.c_str());
    }
    size_t start = 0;
    for (size_t i = 0; i < b->failed_piece && !w->failed; i++) {
        const strip_piece* p = &b->pieces[i];
        size_t n = p->encoded_end - start;
        if (n > 0 && TIFFWriteRawStrip(w->out, p->strip, b->encoded.data() + start,
                                       (tmsize_t)n) < 0)
            w->failed = true;
        start = p->encoded_end;
    }
    if (b->failed_piece < b->pieces.size())
        w->failed = true;
}

// Writes the batches whose encoding has finished, oldest first, stopping
// at the first still being encoded; with `wait`, waits for it (and the
// rest) instead, until `all` are written or one was freed.
static void retire_batches(strip_writer* w, bool wait, bool all)
{
    std::unique_lock<std::mutex> hold(w->lock);
    while (!w->in_flight.empty()) {
        strip_batch* b = w->in_flight.front();
        if (!b->done) {
            if (!wait)
                break;
            w->batch_done.wait(hold, [b] { return b->done; });
        }
        w->in_flight.pop_front();
        hold.unlock();
        write_batch(w, b);
        b->done = false;
        b->raw.clear();
        b->pieces.clear();
        hold.lock();
        w->free_batches.push_back(b);
        if (wait && !all)
            break;
    }
}

// Hands the batch being filled to the workers.
static void submit_batch(strip_writer* w)
{
    strip_batch* b = w->filling;
    w->filling = nullptr;
    if (b == nullptr)
        return;
    if (b->pieces.empty()) {
        w->free_batches.push_back(b);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(w->lock);
        w->to_encode.push_back(b);
        w->in_flight.push_back(b);
    }
    w->work_ready.notify_one();
    retire_batches(w, false, false);
}

// The batch being filled, a free one taken (waiting for the oldest in
// flight to be written when none is free) when there is none.
static strip_batch* filling_batch(strip_writer* w)
{
    if (w->filling == nullptr) {
        if (w->free_batches.empty())
            retire_batches(w, true, false);
        w->filling = w->free_batches.front();
        w->free_batches.pop_front();
    }
    return w->filling;
}

// Stops the workers and frees everything of the pool.
static void stop_pool(strip_writer* w)
{
    {
        std::lock_guard<std::mutex> hold(w->lock);
        w->stopping = true;
    }
    w->work_ready.notify_all();
    for (strip_worker* k : w->workers) {
        if (k->running)
            pthread_join(k->thread, nullptr);
        TIFFClose(k->tif);
        delete k;
    }
    w->workers.clear();
    for (strip_batch* b : w->batches)
        delete b;
    w->batches.clear();
}

// Starts the workers once a strip has gone straight to libtiff. Returns
// false, leaving everything to libtiff, when one worker is wanted, when
// the strips are too large for more than one within the memory budget,
// or when the pool cannot be made.
static bool start_pool(strip_writer* w, uint64_t strip_bytes)
{
    uint64_t batches = MEMORY_BUDGET / (2 * (BATCH_BYTES + strip_bytes));
    uint64_t affordable = batches > 0 ? (batches - 1) / 2 : 0;
    unsigned count = w->worker_count < affordable ? w->worker_count : (unsigned)affordable;
    w->worker_count = 1;  // whatever happens, decided once
    if (count < 2)
        return false;
    w->batch_bytes = BATCH_BYTES;
    uint64_t line = (uint64_t)w->line_size;
    uint64_t image_bytes = w->image_rows > UINT64_MAX / line ? UINT64_MAX : w->image_rows * line;
    if (image_bytes > 0 && image_bytes / (4 * count) < BATCH_BYTES)
        w->batch_bytes = (size_t)(image_bytes / (4 * count));
    // The strip libtiff was given is finished and written before the
    // first raw strip follows it.
    if (!TIFFFlushData(w->out)) {
        w->failed = true;
        return false;
    }
    for (unsigned i = 0; i < 2 * count + 1; i++) {
        strip_batch* b = new (std::nothrow) strip_batch();
        if (b == nullptr)
            break;
        w->batches.push_back(b);
        w->free_batches.push_back(b);
    }
    bool made = w->batches.size() == 2 * count + 1;
    for (unsigned i = 0; made && i < count; i++) {
        strip_worker* k = open_worker(w->out);
        if (k != nullptr) {
            k->writer = w;
            w->workers.push_back(k);
            k->running = pthread_create(&k->thread, nullptr, run_worker, k) == 0;
        }
        made = k != nullptr && k->running;
    }
    if (!made) {
        stop_pool(w);
        w->free_batches.clear();
        return false;
    }
    w->pooled = true;
    return true;
}

// Whether the strip about to begin, `size` bytes or else `rows` scan
// lines, goes to the workers, starting them if they are wanted and not yet
// running. The first strip of all never does; once it is written, libtiff
// has accepted the output's fields, and the scan line size is asked for
// (before, a faulty field would be reported twice).
static bool use_pool(strip_writer* w, uint32_t rows, tmsize_t size)
{
    if (w->pooled)
        return true;
    bool first = !w->any_strip;
    w->any_strip = true;
    if (first || w->worker_count < 2)
        return false;
    w->line_size = TIFFScanlineSize(w->out);
    if (w->line_size <= 0) {
        w->worker_count = 1;
        return false;
    }
    return start_pool(w, size > 0 ? (uint64_t)size : (uint64_t)rows * (uint64_t)w->line_size);
}

// Appends one row to the open strip, the last piece of the batch being
// filled.
static void add_pooled_row(strip_writer* w, const void* data)
{
    strip_batch* b = w->filling;
    const unsigned char* bytes = (const unsigned char*)data;
    b->raw.insert(b->raw.end(), bytes, bytes + w->line_size);
    b->pieces.back().rows++;
    b->pieces.back().raw_size += (size_t)w->line_size;
    w->rows++;
}

// Ends the open strip; in the pool, its batch goes to the workers once it
// holds enough.
static void end_strip(strip_writer* w)
{
    w->strip_open = false;
    if (w->pooled && w->filling->raw.size() >= w->batch_bytes)
        submit_batch(w);
}

// Begins strip `strip` of plane `sample` at `row`.
static void begin_strip(strip_writer* w, uint32_t strip, uint32_t row, uint16_t sample)
{
    uint32_t top = row - row % w->rows_per_strip;
    w->strip_open = true;
    w->strip = strip;
    w->sample = sample;
    w->first_row = row;
    w->rows = 0;
    w->rows_wanted = rows_in_strip(w, top) - (row - top);
    if (use_pool(w, w->rows_wanted, 0)) {
        strip_batch* b = filling_batch(w);
        b->pieces.push_back(strip_piece{strip, sample, row, 0, false, b->raw.size(), 0, 0});
    }
}

int write_strip_row(strip_writer* w, const void* data, uint32_t row, uint16_t sample)
{
    if (w == nullptr || w->failed)
        return -1;
    uint32_t strip = strip_of(w, row, sample);
    if (w->strip_open && strip != w->strip)
        end_strip(w);
    if (!w->strip_open)
        begin_strip(w, strip, row, sample);
    if (w->failed)
        return -1;
    if (w->pooled) {
        add_pooled_row(w, data);
        if (w->rows == w->rows_wanted)
            end_strip(w);
        return w->failed ? -1 : 1;
    }
    w->rows++;
    if (TIFFWriteScanline(w->out, (void*)data, row, sample) < 0) {
        w->failed = true;
        return -1;
    }
    if (w->jpeg) {
        if (w->line_size == 0)
            w->line_size = TIFFScanlineSize(w->out);
        w->last_row.assign((const unsigned char*)data, (const unsigned char*)data + w->line_size);
    }
    return 1;
}

int write_whole_strip(strip_writer* w, uint32_t strip, const void* data, tmsize_t size)
{
    if (w == nullptr || w->failed)
        return -1;
    if (!use_pool(w, 0, size > 0 ? size : 1)) {
        if (TIFFWriteEncodedStrip(w->out, strip, (void*)data, size) < 0) {
            w->failed = true;
            return -1;
        }
        return 1;
    }
    strip_batch* b = filling_batch(w);
    b->pieces.push_back(strip_piece{strip, 0, 0, 0, true, b->raw.size(), (size_t)size, 0});
    const unsigned char* bytes = (const unsigned char*)data;
    b->raw.insert(b->raw.end(), bytes, bytes + size);
    if (b->raw.size() >= w->batch_bytes)
        submit_batch(w);
    return w->failed ? -1 : 1;
}

// Completes an open JPEG strip with copies of its last row.
static void complete_jpeg_strip(strip_writer* w)
{
    if (w->pooled) {
        const std::vector<unsigned char>& raw = w->filling->raw;
        std::vector<unsigned char> last(raw.end() - w->line_size, raw.end());
        while (w->rows < w->rows_wanted)
            add_pooled_row(w, last.data());
        return;
    }
    while (w->rows < w->rows_wanted && !w->failed) {
        if (TIFFWriteScanline(w->out, w->last_row.data(), w->first_row + w->rows, w->sample) < 0)
            w->failed = true;
        w->rows++;
    }
}

int close_strip_writer(strip_writer* w)
{
    if (w == nullptr)
        return 0;
    if (w->strip_open && w->jpeg && w->image_length != 0 && w->rows > 0 && !w->failed)
        complete_jpeg_strip(w);
    if (w->pooled) {
        w->strip_open = false;
        submit_batch(w);
        retire_batches(w, true, true);
        stop_pool(w);
    }
    int ok = !w->failed;
    delete w;
    return ok;
}
