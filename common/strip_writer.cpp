#include "strip_writer.h"
#include "compress_options.h"
#include "tiff_output.h"
#include "worker_count.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// The most strips a batch holds, however small they are.
const size_t MAX_PIECES = 4096;
// What the batches in flight and the workers' handles may take, together.
const uint64_t MEMORY_BUDGET = 64 * 1024 * 1024;
// What a worker's codec may keep besides its buffer (Deflate's window and
// hash chains, the JPEG compressor, LZW's table), at the most.
const uint64_t CODEC_STATE_BYTES = 1024 * 1024;
// Where every strip of a worker's in-memory file begins: just past a
// header, so that the file never grows however much it encodes.
const uint64_t FAKE_STRIP_OFFSET = 16;
// The most libtiff messages kept from the encoding of one batch.
const size_t MAX_MESSAGES = 64;

// One strip of a batch: its rows (or the whole strip, as the program gave
// it) and, once encoded, where its bytes end in the batch's output.
struct strip_piece {
    uint32_t strip;       // in the output
    uint16_t sample;
    uint32_t top;         // the first row of the strip
    uint32_t strip_rows;  // the rows of the whole strip
    uint32_t first_row;   // the first row handed over
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
// and what the worker made of them, in buffers of fixed size taken when
// the workers start.
struct strip_batch {
    unsigned char* raw;
    size_t raw_size;
    unsigned char* encoded;
    size_t encoded_size;
    uint64_t encoded_bound;  // the most its pieces can take encoded
    strip_piece* pieces;
    size_t piece_count;
    std::vector<tiff_message> messages;
    size_t failed_piece;  // index of the piece that failed to encode, or piece_count
    bool done;            // encoded; guarded by the writer's lock
};

// A first-in, first-out queue of batches, of fixed room.
struct batch_queue {
    strip_batch** items;
    size_t room;
    size_t head;
    size_t count;
};

// A worker's in-memory file: every byte written goes to `target` (or
// nowhere), which never grows past its room; the messages of its handle
// go to `messages` (or nowhere).
struct capture_file {
    strip_batch* target;
    size_t room;
    uint64_t position;
    uint64_t size;
    std::vector<tiff_message>* messages;
};

// A worker: its thread and its in-memory TIFF handle, whose two strips of
// each plane ("slots") take turns, so that every piece begins a strip
// anew.
struct strip_worker {
    strip_writer* writer;
    TIFF* tif;
    capture_file file;
    unsigned slot;
    pthread_t thread;
    bool running;
};

// What the writer knows of the output's layout, the strip being filled,
// and the pool of workers with the batches they share.
struct strip_writer {
    TIFF* out;
    compression_settings codec;  // the output's, for the bounds of encoded strips
    tmsize_t line_size;     // asked of libtiff once a strip has been written
    uint32_t rows_per_strip;
    uint32_t image_length;  // 0 while the program does not know it
    uint32_t strips_per_plane;
    uint16_t planes;
    uint64_t image_rows;    // image length times planes; 0 while unknown
    bool jpeg;
    unsigned worker_count;  // wanted; 1: everything straight to libtiff
    size_t batch_bytes;     // the size at which a batch goes to the workers
    bool failed;
    unsigned long errors_before;  // libtiff errors on `out` when the writer opened
    uint32_t* reached;      // rows of each plane whose strips reached the file

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
    size_t raw_room, encoded_room, piece_room;  // of every batch
    std::vector<strip_worker*> workers;
    std::vector<strip_batch*> batches;
    strip_batch* filling;
    batch_queue free_batches;
    batch_queue in_flight;  // handed over, in order; guarded by lock
    batch_queue to_encode;  // guarded by lock
    bool stopping;          // guarded by lock
    std::mutex lock;
    std::condition_variable work_ready;
    std::condition_variable batch_done;
};

// ---- Queues ---------------------------------------------------------------

static void push_batch(batch_queue* q, strip_batch* b)
{
    q->items[(q->head + q->count++) % q->room] = b;
}

static strip_batch* pop_batch(batch_queue* q)
{
    strip_batch* b = q->items[q->head];
    q->head = (q->head + 1) % q->room;
    q->count--;
    return b;
}

static bool make_queue(batch_queue* q, size_t room)
{
    q->items = (strip_batch**)calloc(room, sizeof(strip_batch*));
    q->room = room;
    q->head = q->count = 0;
    return q->items != nullptr;
}

// ---- Opening --------------------------------------------------------------

// The rows of the strip that begins at `top`: all of rows_per_strip but at
// the bottom of a known image.
static uint32_t rows_in_strip(const strip_writer* w, uint32_t top)
{
    if (w->image_length == 0 || w->image_length - top > w->rows_per_strip)
        return w->rows_per_strip;
    return w->image_length - top;
}

// The strip holding row `row` of plane `sample`, as libtiff numbers them.
static uint32_t strip_of(const strip_writer* w, uint32_t row, uint16_t sample)
{
    return sample * w->strips_per_plane + row / w->rows_per_strip;
}

// The output's codec, as the bounds of encoded strips take it.
static compression_settings output_codec(TIFF* out)
{
    uint16_t scheme = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &scheme);
    compression_settings codec = {scheme, 0, 75, JPEGCOLORMODE_RGB, 0};  // libtiff's defaults
    int quality;
    uint32_t options;
    if (scheme == COMPRESSION_JPEG && TIFFGetField(out, TIFFTAG_JPEGQUALITY, &quality))
        codec.jpeg_quality = quality;
    if (scheme == COMPRESSION_CCITTFAX3 && TIFFGetField(out, TIFFTAG_GROUP3OPTIONS, &options))
        codec.g3_options = options;
    return codec;
}

strip_writer* open_strip_writer(TIFF* out)
{
    strip_writer* w = new (std::nothrow) strip_writer();
    uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetFieldDefaulted(out, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(out, TIFFTAG_SAMPLESPERPIXEL, &samples);
    uint16_t planes = planar == PLANARCONFIG_SEPARATE && samples > 1 ? samples : 1;
    uint32_t* reached = w != nullptr ? new (std::nothrow) uint32_t[planes]() : nullptr;
    if (reached == nullptr) {
        delete w;
        TIFFErrorExtR(out, TIFFFileName(out), "No space for the strip writer");
        return nullptr;
    }
    uint32_t rows_per_strip = 0;
    TIFFGetFieldDefaulted(out, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    TIFFGetField(out, TIFFTAG_IMAGELENGTH, &w->image_length);
    w->out = out;
    w->codec = output_codec(out);
    w->rows_per_strip = rows_per_strip == 0 ? 1 : rows_per_strip;
    uint64_t strips = ((uint64_t)w->image_length + w->rows_per_strip - 1) / w->rows_per_strip;
    w->strips_per_plane = strips > UINT32_MAX ? UINT32_MAX : (uint32_t)strips;
    w->planes = planes;
    w->image_rows = (uint64_t)w->image_length * planes;
    w->jpeg = w->codec.scheme == COMPRESSION_JPEG;
    w->errors_before = tiff_output_errors(out);
    w->reached = reached;
    // Uncompressed strips have nothing to encode: handing them to workers
    // would only copy them twice more.
    w->worker_count = w->codec.scheme == COMPRESSION_NONE ? 1 : workers_wanted();
    return w;
}

// Whether `ok`, the outcome of a libtiff write on the output, stands: a
// libtiff error raised on the output meanwhile (some codecs drop the
// failures of their own flushes) fails it too. A failure fails the writer.
static bool write_went_through(strip_writer* w, bool ok)
{
    if (!ok || tiff_output_errors(w->out) != w->errors_before)
        w->failed = true;
    return !w->failed;
}

// The raw bytes of a strip of `rows` rows: its scan lines, or libtiff's
// size of such a strip when that is more (subsampled YCbCr, whose scan
// lines hold only part of a block row).
static uint64_t raw_strip_bytes(const strip_writer* w, uint32_t rows)
{
    uint64_t lines = (uint64_t)rows * (uint64_t)w->line_size;
    uint64_t strip = (uint64_t)TIFFVStripSize64(w->out, rows);
    return strip > lines ? strip : lines;
}

// The most a strip of `rows` rows in `raw` bytes can take encoded.
static uint64_t encoded_strip_bound(const strip_writer* w, uint64_t raw, uint32_t rows)
{
    uint64_t row_bytes = rows > 0 ? (raw + rows - 1) / rows : raw;
    return strip_bytes_bound(&w->codec, row_bytes, rows > 0 ? rows : 1);
}

// Notes that rows up to `end` of plane `sample` reached the file.
static void note_reached(strip_writer* w, uint16_t sample, uint32_t end)
{
    if (sample < w->planes && end > w->reached[sample])
        w->reached[sample] = end;
}

// ---- The workers ---------------------------------------------------------

static tmsize_t capture_read(thandle_t, void*, tmsize_t)
{
    return 0;
}

// Takes what libtiff writes into the batch being encoded; more than its
// room (which the bound of encoded strips rules out) fails the write.
static tmsize_t capture_write(thandle_t h, void* data, tmsize_t n)
{
    capture_file* f = (capture_file*)h;
    if (f->target != nullptr) {
        strip_batch* b = f->target;
        if ((size_t)n > f->room - b->encoded_size)
            return -1;
        memcpy(b->encoded + b->encoded_size, data, (size_t)n);
        b->encoded_size += (size_t)n;
    }
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
// (reported later in the program's thread), dropped at any other time or
// past MAX_MESSAGES. No exception leaves this C callback.
static int capture_message(bool error, void* user_data, const char* module, const char* fmt,
                           va_list ap)
{
    capture_file* f = (capture_file*)user_data;
    if (f->messages != nullptr && f->messages->size() < MAX_MESSAGES) {
        char text[1024];
        vsnprintf(text, sizeof text, fmt, ap);
        try {
            f->messages->push_back(tiff_message{error, module != nullptr ? module : "", text});
        } catch (...) {
        }
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

// Opens a worker's in-memory TIFF handle, set up like `out` but two strips
// of each plane high, with its strip tables made, and a buffer of
// `buffer_bytes`: room for any strip encoded, so that each goes to the file
// in a single write (libtiff never has to move a strip it began to write
// over an earlier one of its slot). Returns nullptr when libtiff will not
// make one.
static strip_worker* open_worker(TIFF* out, uint32_t rows_per_strip, uint64_t buffer_bytes)
{
    strip_worker* k = new (std::nothrow) strip_worker();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (k == nullptr || options == nullptr) {
        TIFFOpenOptionsFree(options);
        delete k;
        return nullptr;
    }
    k->file = capture_file{nullptr, 0, 0, 0, nullptr};
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
    TIFFSetField(k->tif, TIFFTAG_IMAGELENGTH, 2 * rows_per_strip);
    if (!TIFFWriteCheck(k->tif, 0, "open_worker") ||
        !TIFFWriteBufferSetup(k->tif, nullptr, (tmsize_t)buffer_bytes)) {
        TIFFCleanup(k->tif);
        delete k;
        return nullptr;
    }
    return k;
}

// Encodes piece `p`, whose data is at `data`, through `k`'s handle with the
// call the program made, as the strip of the next slot: an image whose
// length ends with the strip's rows. Its bytes are flushed to the handle's
// file.
static bool encode_piece(strip_worker* k, const strip_piece* p, unsigned char* data,
                         uint32_t rows_per_strip, tmsize_t line_size)
{
    TIFF* tif = k->tif;
    uint32_t slot = k->slot;
    k->slot ^= 1;
    uint32_t top = slot * rows_per_strip;
    if (!TIFFSetField(tif, TIFFTAG_IMAGELENGTH, top + p->strip_rows))
        return false;
    if (p->whole)
        return TIFFWriteEncodedStrip(tif, 2 * p->sample + slot, data, (tmsize_t)p->raw_size) >= 0;
    uint32_t row = top + (p->first_row - p->top);
    for (uint32_t r = 0; r < p->rows; r++)
        if (TIFFWriteScanline(tif, data + (size_t)r * (size_t)line_size, row + r, p->sample) < 0)
            return false;
    return TIFFFlushData(tif) != 0;
}

// Encodes every piece of `b` through worker `k`, stopping at the first
// that fails.
static void encode_batch(strip_worker* k, strip_batch* b, uint32_t rows_per_strip,
                         tmsize_t line_size)
{
    b->encoded_size = 0;
    b->messages.clear();
    b->failed_piece = b->piece_count;
    k->file.target = b;
    k->file.messages = &b->messages;
    for (size_t i = 0; i < b->piece_count; i++) {
        strip_piece* p = &b->pieces[i];
        k->file.position = k->file.size = FAKE_STRIP_OFFSET;
        bool ok = encode_piece(k, p, b->raw + p->raw_start, rows_per_strip, line_size);
        p->encoded_end = b->encoded_size;
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
        w->work_ready.wait(hold, [w] { return w->to_encode.count > 0 || w->stopping; });
        if (w->to_encode.count == 0)
            return nullptr;
        strip_batch* b = pop_batch(&w->to_encode);
        hold.unlock();
        encode_batch(k, b, w->rows_per_strip, w->line_size);
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
        if (n > 0 && !write_went_through(w, TIFFWriteRawStrip(w->out, p->strip, b->encoded + start,
                                                              (tmsize_t)n) >= 0))
            break;
        note_reached(w, p->sample, p->whole ? p->top + p->strip_rows : p->first_row + p->rows);
        start = p->encoded_end;
    }
    if (b->failed_piece < b->piece_count)
        w->failed = true;
}

// Writes the batches whose encoding has finished, oldest first, stopping
// at the first still being encoded; with `wait`, waits for it (and the
// rest) instead, until `all` are written or one was freed.
static void retire_batches(strip_writer* w, bool wait, bool all)
{
    std::unique_lock<std::mutex> hold(w->lock);
    while (w->in_flight.count > 0) {
        strip_batch* b = w->in_flight.items[w->in_flight.head];
        if (!b->done) {
            if (!wait)
                break;
            w->batch_done.wait(hold, [b] { return b->done; });
        }
        pop_batch(&w->in_flight);
        hold.unlock();
        write_batch(w, b);
        b->done = false;
        b->raw_size = 0;
        b->piece_count = 0;
        b->encoded_bound = 0;
        hold.lock();
        push_batch(&w->free_batches, b);
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
    if (b->piece_count == 0) {
        push_batch(&w->free_batches, b);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(w->lock);
        push_batch(&w->to_encode, b);
        push_batch(&w->in_flight, b);
    }
    w->work_ready.notify_one();
    retire_batches(w, false, false);
}

// The batch to put a strip of `raw_bytes` into, whose encoded bytes can
// come to `encoded_bound`: the one being filled when it has room for it,
// else a fresh one (the full one handed to the workers, and the oldest in
// flight written when no batch is free).
static strip_batch* batch_for(strip_writer* w, size_t raw_bytes, uint64_t encoded_bound)
{
    strip_batch* b = w->filling;
    if (b != nullptr && (b->piece_count == w->piece_room || raw_bytes > w->raw_room - b->raw_size ||
                         encoded_bound > w->encoded_room - b->encoded_bound))
        submit_batch(w);
    if (w->filling == nullptr) {
        if (w->free_batches.count == 0)
            retire_batches(w, true, false);
        w->filling = pop_batch(&w->free_batches);
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
        TIFFCleanup(k->tif);
        delete k;
    }
    w->workers.clear();
    for (strip_batch* b : w->batches) {
        free(b->raw);
        free(b->encoded);
        free(b->pieces);
        delete b;
    }
    w->batches.clear();
    free(w->free_batches.items);
    free(w->in_flight.items);
    free(w->to_encode.items);
    w->free_batches = w->in_flight = w->to_encode = batch_queue{nullptr, 0, 0, 0};
}

// Makes a batch with its fixed buffers, or nullptr.
static strip_batch* make_batch(size_t raw_room, size_t encoded_room, size_t piece_room)
{
    strip_batch* b = new (std::nothrow) strip_batch();
    if (b == nullptr)
        return nullptr;
    b->raw = (unsigned char*)malloc(raw_room);
    b->encoded = (unsigned char*)malloc(encoded_room);
    b->pieces = (strip_piece*)malloc(piece_room * sizeof(strip_piece));
    if (b->raw == nullptr || b->encoded == nullptr || b->pieces == nullptr) {
        free(b->raw);
        free(b->encoded);
        free(b->pieces);
        delete b;
        return nullptr;
    }
    return b;
}

// Starts the workers once a strip has gone straight to libtiff. Returns
// false, leaving everything to libtiff, when one worker is wanted, when
// the strips are too large for more than one within the memory budget,
// when the growth of the codec is not known, or when the pool cannot be
// made (no memory, no threads).
static bool start_pool(strip_writer* w)
{
    unsigned wanted = w->worker_count;
    w->worker_count = 1;  // whatever happens, decided once
    uint64_t line = (uint64_t)w->line_size;
    if (w->rows_per_strip > UINT32_MAX / 2)
        return false;
    uint64_t strip_bytes = raw_strip_bytes(w, w->rows_per_strip);
    uint64_t strip_bound = encoded_strip_bound(w, strip_bytes, w->rows_per_strip);
    if (strip_bytes > MEMORY_BUDGET || strip_bound > MEMORY_BUDGET)
        return false;
    // A batch takes strips until it holds BATCH_BYTES: room for one strip
    // more raw, and for as many strips encoded as fill BATCH_BYTES (a
    // batch of smaller pieces is handed over when that room is full).
    uint64_t full_strips = (BATCH_BYTES + strip_bytes - 1) / strip_bytes;
    full_strips = full_strips < MAX_PIECES ? full_strips : MAX_PIECES - 1;
    uint64_t piece_room = full_strips + 1;
    uint64_t raw_room = BATCH_BYTES + strip_bytes;
    uint64_t encoded_room = strip_bound * full_strips;
    uint64_t per_batch = raw_room + encoded_room + piece_room * sizeof(strip_piece);
    // A worker's libtiff buffer holds any strip encoded.
    uint64_t worker_buffer = strip_bound + 1024;
    uint64_t per_worker = worker_buffer + CODEC_STATE_BYTES;
    if (per_batch >= MEMORY_BUDGET)
        return false;
    uint64_t affordable = (MEMORY_BUDGET - per_batch) / (2 * per_batch + per_worker);
    unsigned count = wanted < affordable ? wanted : (unsigned)affordable;
    if (count < 2)
        return false;
    w->raw_room = (size_t)raw_room;
    w->encoded_room = (size_t)encoded_room;
    w->piece_room = (size_t)piece_room;
    w->batch_bytes = BATCH_BYTES;
    uint64_t image_bytes = w->image_rows > UINT64_MAX / line ? UINT64_MAX : w->image_rows * line;
    if (image_bytes > 0 && image_bytes / (4 * count) < BATCH_BYTES)
        w->batch_bytes = (size_t)(image_bytes / (4 * count));
    // The strip libtiff was given is finished and written before the
    // first raw strip follows it.
    if (!write_went_through(w, TIFFFlushData(w->out) != 0))
        return false;
    unsigned batch_count = 2 * count + 1;
    bool made = make_queue(&w->free_batches, batch_count) &&
                make_queue(&w->in_flight, batch_count) && make_queue(&w->to_encode, batch_count);
    for (unsigned i = 0; made && i < batch_count; i++) {
        strip_batch* b = make_batch(w->raw_room, w->encoded_room, w->piece_room);
        made = b != nullptr;
        if (made) {
            w->batches.push_back(b);
            push_batch(&w->free_batches, b);
        }
    }
    for (unsigned i = 0; made && i < count; i++) {
        strip_worker* k = open_worker(w->out, w->rows_per_strip, worker_buffer);
        if (k != nullptr) {
            k->writer = w;
            k->file.room = w->encoded_room;
            w->workers.push_back(k);
            k->running = pthread_create(&k->thread, nullptr, run_worker, k) == 0;
        }
        made = k != nullptr && k->running;
    }
    if (!made) {
        stop_pool(w);
        return false;
    }
    w->pooled = true;
    return true;
}

// Whether the strip about to begin goes to the workers, starting them if
// they are wanted and not yet running. The first strip of all never does;
// once it is written, libtiff has accepted the output's fields, and the
// scan line size is asked for (before, a faulty field would be reported
// twice).
static bool use_pool(strip_writer* w)
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
    return start_pool(w);
}

// Appends one row to the open strip, the last piece of the batch being
// filled.
static void add_pooled_row(strip_writer* w, const void* data)
{
    strip_batch* b = w->filling;
    memcpy(b->raw + b->raw_size, data, (size_t)w->line_size);
    b->raw_size += (size_t)w->line_size;
    b->pieces[b->piece_count - 1].rows++;
    b->pieces[b->piece_count - 1].raw_size += (size_t)w->line_size;
    w->rows++;
}

// Ends the open strip: straight to libtiff, it is flushed to the file; in
// the pool, its batch goes to the workers once it holds enough.
static void end_strip(strip_writer* w)
{
    w->strip_open = false;
    if (w->pooled) {
        if (w->filling->raw_size >= w->batch_bytes)
            submit_batch(w);
    } else if (!w->failed && write_went_through(w, TIFFFlushData(w->out) != 0)) {
        note_reached(w, w->sample, w->first_row + w->rows);
    }
}

// Begins strip `strip` of plane `sample` at `row`.
static void begin_strip(strip_writer* w, uint32_t strip, uint32_t row, uint16_t sample)
{
    uint32_t top = row - row % w->rows_per_strip;
    uint32_t strip_rows = rows_in_strip(w, top);
    w->strip_open = true;
    w->strip = strip;
    w->sample = sample;
    w->first_row = row;
    w->rows = 0;
    w->rows_wanted = strip_rows - (row - top);
    if (use_pool(w)) {
        uint64_t raw = (uint64_t)w->rows_wanted * (uint64_t)w->line_size;
        uint64_t bound = encoded_strip_bound(w, (uint64_t)strip_rows * w->line_size, strip_rows);
        strip_batch* b = batch_for(w, (size_t)raw, bound);
        b->encoded_bound += bound;
        b->pieces[b->piece_count++] =
            strip_piece{strip, sample, top, strip_rows, row, 0, false, b->raw_size, 0, 0};
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
    } else {
        w->rows++;
        if (!write_went_through(w, TIFFWriteScanline(w->out, (void*)data, row, sample) >= 0))
            return -1;
        if (w->jpeg) {
            if (w->line_size == 0)
                w->line_size = TIFFScanlineSize(w->out);
            w->last_row.assign((const unsigned char*)data,
                               (const unsigned char*)data + w->line_size);
        }
    }
    if (w->rows == w->rows_wanted)
        end_strip(w);
    return w->failed ? -1 : 1;
}

int write_whole_strip(strip_writer* w, uint32_t strip, const void* data, tmsize_t size)
{
    if (w == nullptr || w->failed)
        return -1;
    uint16_t sample = w->strips_per_plane > 0 ? (uint16_t)(strip / w->strips_per_plane) : 0;
    uint32_t top = (strip - sample * w->strips_per_plane) * w->rows_per_strip;
    uint32_t strip_rows = rows_in_strip(w, top);
    if (!use_pool(w)) {
        if (!write_went_through(w, TIFFWriteEncodedStrip(w->out, strip, (void*)data, size) >= 0))
            return -1;
        note_reached(w, sample, top + strip_rows);
        return 1;
    }
    uint64_t strip_bytes = raw_strip_bytes(w, strip_rows);
    if (size < 0 || (uint64_t)size > strip_bytes) {
        TIFFErrorExtR(w->out, TIFFFileName(w->out), "Strip %u: %lld bytes, more than it holds",
                      strip, (long long)size);
        w->failed = true;
        return -1;
    }
    uint64_t bound = encoded_strip_bound(w, strip_bytes, strip_rows);
    strip_batch* b = batch_for(w, (size_t)size, bound);
    b->encoded_bound += bound;
    b->pieces[b->piece_count++] =
        strip_piece{strip, sample, top, strip_rows, top, 0, true, b->raw_size, (size_t)size, 0};
    memcpy(b->raw + b->raw_size, data, (size_t)size);
    b->raw_size += (size_t)size;
    if (b->raw_size >= w->batch_bytes)
        submit_batch(w);
    return w->failed ? -1 : 1;
}

// Completes an open JPEG strip with copies of its last row.
static void complete_jpeg_strip(strip_writer* w)
{
    if (w->pooled) {
        const strip_batch* b = w->filling;
        std::vector<unsigned char> last(b->raw + b->raw_size - w->line_size, b->raw + b->raw_size);
        while (w->rows < w->rows_wanted)
            add_pooled_row(w, last.data());
        return;
    }
    while (w->rows < w->rows_wanted && !w->failed) {
        if (!write_went_through(w, TIFFWriteScanline(w->out, w->last_row.data(),
                                                     w->first_row + w->rows, w->sample) >= 0))
            break;
        w->rows++;
    }
}

int close_strip_writer(strip_writer* w, uint32_t* rows)
{
    if (w == nullptr) {
        if (rows != nullptr)
            *rows = 0;
        return 0;
    }
    if (w->strip_open && w->jpeg && w->image_length != 0 && w->rows > 0 && !w->failed)
        complete_jpeg_strip(w);
    if (w->pooled) {
        w->strip_open = false;
        submit_batch(w);
        retire_batches(w, true, true);
        stop_pool(w);
    } else if (w->strip_open) {
        end_strip(w);
    }
    if (w->failed && rows != nullptr)
        for (uint16_t p = 0; p < w->planes; p++)
            if (w->reached[p] < *rows)
                *rows = w->reached[p];
    int ok = !w->failed;
    delete[] w->reached;
    delete w;
    return ok;
}
