// lzwtag through its command line: GIF files are built byte by byte here,
// their image data made by the LZW encoder below (or code by code), and
// the TIFF directories read back are compared with the pixel indices and
// colour tables that went in.
#include "harness.h"

#include <array>
#include <cmath>
#include <map>

namespace {

// ---- Building GIF files ------------------------------------------------

using colour_table = std::vector<std::array<uint8_t, 3>>;

// Packs codes of given widths, least significant bit first.
struct code_packer {
    bytes out;
    uint32_t bits = 0;
    int count = 0;
    void put(int code, int width)
    {
        bits |= (uint32_t)code << count;
        count += width;
        while (count >= 8) {
            out.push_back((uint8_t)bits);
            bits >>= 8;
            count -= 8;
        }
    }
    bytes finish()
    {
        if (count > 0)
            out.push_back((uint8_t)bits);
        count = 0;
        return out;
    }
};

struct encoding {
    bool initial_clear = true;
    bool end_code = true;
    bool clear_when_full = true;  // else the full table is kept
    int clear_every = 0;          // also clear after this many codes
};

// A plain LZW encoder for GIF: greedy longest match, one new string per
// code written, codes widened as soon as the next code may need one more
// bit (the decoder enters each string one code later).
bytes lzw_encode(const bytes& pixels, int data_size, const encoding& e = encoding())
{
    const int clear = 1 << data_size, end = clear + 1;
    code_packer p;
    std::map<std::pair<int, int>, int> table;
    int next = clear + 2, width = data_size + 1, since_clear = 0;
    auto reset = [&] {
        table.clear();
        next = clear + 2;
        width = data_size + 1;
        since_clear = 0;
    };
    if (e.initial_clear)
        p.put(clear, width);
    if (pixels.empty()) {
        p.put(end, width);
        return p.finish();
    }
    int w = pixels[0];
    for (size_t i = 1; i < pixels.size(); i++) {
        auto found = table.find({w, pixels[i]});
        if (found != table.end()) {
            w = found->second;
            continue;
        }
        p.put(w, width);
        since_clear++;
        if (next < 4096) {
            table[{w, pixels[i]}] = next++;
            if (next > (1 << width) && width < 12)
                width++;
        }
        if ((next == 4096 && e.clear_when_full) || since_clear == e.clear_every) {
            p.put(clear, width);
            reset();
        }
        w = pixels[i];
    }
    p.put(w, width);
    if (e.end_code) {
        // The decoder has caught up with the table by now, and widens the
        // codes as soon as its next entry no longer fits.
        if (next >= (1 << width) && width < 12)
            width++;
        p.put(end, width);
    }
    return p.finish();
}

// Splits `payload` into data sub-blocks of at most `block` bytes, with the
// zero-length terminator when asked.
bytes sub_blocks(const bytes& payload, size_t block = 255, bool terminator = true)
{
    bytes b;
    for (size_t i = 0; i < payload.size(); i += block) {
        size_t n = std::min(block, payload.size() - i);
        b.push_back((uint8_t)n);
        b.insert(b.end(), payload.begin() + (ptrdiff_t)i, payload.begin() + (ptrdiff_t)(i + n));
    }
    if (terminator)
        b.push_back(0);
    return b;
}

// Image data: the minimum code size byte, then the sub-blocks.
bytes image_data(int data_size, const bytes& codes, size_t block = 255)
{
    bytes b = {(uint8_t)data_size};
    bytes blocks = sub_blocks(codes, block);
    b.insert(b.end(), blocks.begin(), blocks.end());
    return b;
}

// The packed-byte size field of a table of 2..256 entries.
int table_bits(const colour_table& t)
{
    int bits = 1;
    while ((2u << bits) <= t.size())
        bits++;
    return bits - 1;
}

void put_table(bytes& b, const colour_table& t)
{
    for (const auto& c : t)
        b.insert(b.end(), c.begin(), c.end());
}

// Signature, screen descriptor and the global table (none when empty).
bytes gif_start(const colour_table& global, const std::string& version = "87a")
{
    bytes b;
    put_text(b, "GIF" + version);
    put_le16(b, 640);
    put_le16(b, 480);
    b.push_back(global.empty() ? 0 : (uint8_t)(0x80 | 0x70 | table_bits(global)));
    b.push_back(0);
    b.push_back(0);
    put_table(b, global);
    return b;
}

// An image block: separator, descriptor, local table (none when empty), data.
void add_image(bytes& gif, unsigned width, unsigned height, const bytes& data,
               const colour_table& local = {}, bool interlaced = false)
{
    gif.push_back(',');
    put_le16(gif, 3);
    put_le16(gif, 5);
    put_le16(gif, width);
    put_le16(gif, height);
    gif.push_back((uint8_t)((local.empty() ? 0 : 0x80 | table_bits(local)) |
                            (interlaced ? 0x40 : 0)));
    put_table(gif, local);
    gif.insert(gif.end(), data.begin(), data.end());
}

// An extension block: introducer, label, the sub-blocks of `blocks` (each
// given whole), terminator.
void add_extension(bytes& gif, uint8_t label, const std::vector<bytes>& blocks)
{
    gif.insert(gif.end(), {'!', label});
    for (const bytes& b : blocks) {
        gif.push_back((uint8_t)b.size());
        gif.insert(gif.end(), b.begin(), b.end());
    }
    gif.push_back(0);
}

// A graphic control extension: disposal method, delay in 1/100 s and,
// when `transparent` >= 0, the transparent colour index.
void add_graphic_control(bytes& gif, int disposal, unsigned delay, int transparent)
{
    add_extension(gif, 0xF9, {{(uint8_t)(disposal << 2 | (transparent >= 0 ? 1 : 0)),
                               (uint8_t)delay, (uint8_t)(delay >> 8),
                               (uint8_t)(transparent >= 0 ? transparent : 0)}});
}

// A table of `n` entries, each different.
colour_table make_table(size_t n, unsigned seed = 1)
{
    colour_table t(n);
    for (size_t i = 0; i < n; i++)
        t[i] = {(uint8_t)(i * 7 + seed), (uint8_t)(255 - i), (uint8_t)(i * 31 + 3 * seed)};
    return t;
}

// Pseudo-random pixel indices below 2^bits, with runs now and then so
// that long strings occur too.
bytes random_pixels(size_t n, int bits, uint32_t seed)
{
    bytes b(n);
    uint32_t x = seed * 2654435761u + 7;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = (x >> 28) < 4 && i > 0 ? b[i - 1] : (uint8_t)(x & ((1u << bits) - 1));
    }
    return b;
}

// Rows in the order an interlaced GIF stores them: every 8th from 0, every
// 8th from 4, every 4th from 2, every 2nd from 1.
bytes interlace(const bytes& rows, unsigned width, unsigned height)
{
    bytes b;
    const unsigned starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; pass++)
        for (unsigned y = starts[pass]; y < height; y += steps[pass])
            b.insert(b.end(), rows.begin() + (ptrdiff_t)(y * width),
                     rows.begin() + (ptrdiff_t)((y + 1) * width));
    return b;
}

uint16_t gamma15(uint8_t v)
{
    return (uint16_t)(std::pow(v / 255.0, 1.5) * 65535.0 + 0.5);
}

// ---- Reading the output ------------------------------------------------

struct palette_image {
    tiff_image image;
    std::vector<uint16_t> red, green, blue;
    bool has_predictor = false;
    uint16_t predictor = 0;
};

class Lzwtag : public ToolTest {
protected:
    // Reads directory `directory` of `file` with its colour map.
    palette_image read_palette(const std::string& file = "out.tif", int directory = 0)
    {
        palette_image p;
        if (!read_tiff(path(file), &p.image, directory))
            return p;
        tiff_handle t = open_tiff(path(file));
        TIFFSetDirectory(t.get(), (tdir_t)directory);
        uint16_t *r, *g, *b;
        if (TIFFGetField(t.get(), TIFFTAG_COLORMAP, &r, &g, &b)) {
            p.red.assign(r, r + 256);
            p.green.assign(g, g + 256);
            p.blue.assign(b, b + 256);
        }
        p.has_predictor = TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &p.predictor) != 0;
        return p;
    }

    // Converts `gif` with `options` into a new out.tif; expects success
    // with nothing on standard error but `err`.
    palette_image convert(const bytes& gif, std::vector<std::string> options = {},
                          const std::string& err = "")
    {
        write_file(path("in.gif"), gif);
        remove(path("out.tif").c_str());
        options.push_back("in.gif");
        options.push_back("out.tif");
        run_result r = run("lzwtag", options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        return read_palette();
    }

    // Runs lzwtag on `gif` (out.tif removed first) and returns the result.
    run_result run_on(const bytes& gif, std::vector<std::string> options = {})
    {
        write_file(path("in.gif"), gif);
        remove(path("out.tif").c_str());
        options.push_back("in.gif");
        options.push_back("out.tif");
        return run("lzwtag", options);
    }
};

// The colour map a table leaves, entries past it as `rest` had them.
void expect_colormap(const palette_image& p, const colour_table& t,
                     const colour_table& rest = {})
{
    ASSERT_EQ(p.red.size(), 256u);
    for (size_t i = 0; i < 256; i++) {
        std::array<uint8_t, 3> c = i < t.size() ? t[i] : i < rest.size() ? rest[i]
                                                                         : std::array<uint8_t, 3>{};
        bool known = i < t.size() || i < rest.size();
        EXPECT_EQ(p.red[i], known ? gamma15(c[0]) : 0) << i;
        EXPECT_EQ(p.green[i], known ? gamma15(c[1]) : 0) << i;
        EXPECT_EQ(p.blue[i], known ? gamma15(c[2]) : 0) << i;
    }
}

const std::string usage_text =
    std::string(TIFFGetVersion()) + "\n\n" +
    "usage: lzwtag [options] input.gif output.tif\n"
    "where options are:\n"
    " -r #\t\tmake each strip have no more than # rows\n"
    "\n"
    " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding\n"
    " -c zip[:opts]\tcompress output with deflate encoding\n"
    " -c packbits\tcompress output with packbits encoding\n"
    " -c none\tuse no compression algorithm on output\n"
    "\n"
    "LZW and deflate options:\n"
    " #\t\tset predictor value\n"
    "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing\n";

// ---- Command line ------------------------------------------------------

TEST_F(Lzwtag, UsageErrors)
{
    write_file(path("in.gif"), bytes{});
    const std::vector<std::vector<std::string>> cases = {
        {}, {"in.gif"}, {"in.gif", "out.tif", "more"}, {"-x", "in.gif", "out.tif"},
        {"-c", "jpeg", "in.gif", "out.tif"}, {"-c", "g4", "in.gif", "out.tif"},
        {"-c", "LZW", "in.gif", "out.tif"}, {"in.gif", "out.tif", "-r"},
    };
    for (const auto& args : cases) {
        run_result r = run("lzwtag", args);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find(usage_text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
    run_result r = run("lzwtag", {"missing.gif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "missing.gif: No such file or directory\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

// ---- Images ------------------------------------------------------------

TEST_F(Lzwtag, PlainImagesKeepIndicesAndColourMap)
{
    const struct { unsigned width, height; int data_size; } cases[] = {
        {1, 1, 2}, {3, 2, 2}, {37, 19, 3}, {64, 64, 4}, {200, 150, 8}, {511, 3, 5}, {1, 700, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " size " << c.data_size);
        colour_table global = make_table(1u << c.data_size);
        bytes pixels = random_pixels((size_t)c.width * c.height, c.data_size, c.width);
        bytes gif = gif_start(global);
        add_image(gif, c.width, c.height, image_data(c.data_size, lzw_encode(pixels, c.data_size)));
        gif.push_back(';');
        palette_image p = convert(gif);
        EXPECT_EQ(p.image.width, c.width);
        EXPECT_EQ(p.image.height, c.height);
        EXPECT_EQ(p.image.photometric, PHOTOMETRIC_PALETTE);
        EXPECT_EQ(p.image.bits_per_sample, 8);
        EXPECT_EQ(p.image.samples_per_pixel, 1);
        EXPECT_EQ(p.image.planar, PLANARCONFIG_CONTIG);
        EXPECT_EQ(p.image.orientation, ORIENTATION_TOPLEFT);
        EXPECT_EQ(p.image.compression, COMPRESSION_PACKBITS);
        EXPECT_FALSE(p.has_predictor);
        EXPECT_TRUE(p.image.pixels == pixels);
        expect_colormap(p, global);
        EXPECT_EQ(count_directories(path("out.tif")), 1);
        EXPECT_TRUE(tiff_messages().empty());
    }
}

TEST_F(Lzwtag, GammaCurve)
{
    // 255, 128, 0 becomes 65535, 23307, 0; the curve rises from 0 to 65535.
    colour_table global = {{255, 128, 0}, {0, 1, 254}, {64, 192, 100}, {17, 18, 19}};
    bytes gif = gif_start(global);
    add_image(gif, 2, 2, image_data(2, lzw_encode({0, 1, 2, 3}, 2)));
    palette_image p = convert(gif);
    ASSERT_EQ(p.red.size(), 256u);
    EXPECT_EQ(p.red[0], 65535);
    EXPECT_EQ(p.green[0], 23307);
    EXPECT_EQ(p.blue[0], 0);
    EXPECT_EQ(p.red[1], 0);
    EXPECT_EQ(p.green[1], 16);
    EXPECT_EQ(p.blue[1], 65150);
    expect_colormap(p, global);
}

TEST_F(Lzwtag, CompressionAndStripOptions)
{
    colour_table global = make_table(16);
    bytes pixels = random_pixels(40 * 10, 4, 3);
    bytes gif = gif_start(global);
    add_image(gif, 40, 10, image_data(4, lzw_encode(pixels, 4)));
    const struct { std::vector<std::string> options; uint16_t compression; int predictor; } cases[] = {
        {{"-c", "none"}, COMPRESSION_NONE, 0},     {{"-c", "lzw"}, COMPRESSION_LZW, 0},
        {{"-c", "lzw:2"}, COMPRESSION_LZW, 2},     {{"-c", "zip:2"}, COMPRESSION_DEFLATE, 2},
        {{"-c", "zip"}, COMPRESSION_DEFLATE, 0},   {{"-c", "lzw:2", "-c", "packbits"}, COMPRESSION_PACKBITS, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[1]);
        write_file(path("in.gif"), gif);
        remove(path("out.tif").c_str());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-r", "3", "in.gif", "out.tif"});
        run_result r = run("lzwtag", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
        palette_image p = read_palette();
        EXPECT_EQ(p.image.compression, c.compression);
        EXPECT_EQ(p.has_predictor, c.predictor != 0);
        if (c.predictor) {
            EXPECT_EQ(p.predictor, c.predictor);
        }
        EXPECT_EQ(p.image.rows_per_strip, 3u);
        EXPECT_TRUE(p.image.pixels == pixels);
    }
    // A 1 x 1 image with a predictor.
    bytes one = gif_start(global);
    add_image(one, 1, 1, image_data(4, lzw_encode({9}, 4)));
    palette_image p = convert(one, {"-c", "lzw:2"});
    EXPECT_TRUE(p.has_predictor);
    EXPECT_EQ(p.predictor, 2);
    EXPECT_EQ(p.image.pixels, bytes{9});
}

TEST_F(Lzwtag, InterlacedRowsGoToTheirPlaces)
{
    // Ten rows, each filled with its position in the stream: stream rows
    // 0-9 land on rows 0, 8, 4, 2, 6, 1, 3, 5, 7, 9.
    const unsigned landing[] = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
    bytes stream;
    for (unsigned i = 0; i < 10; i++)
        stream.insert(stream.end(), 5, (uint8_t)i);
    colour_table global = make_table(16);
    bytes gif = gif_start(global);
    add_image(gif, 5, 10, image_data(4, lzw_encode(stream, 4)), {}, true);
    palette_image p = convert(gif);
    ASSERT_EQ(p.image.pixels.size(), 50u);
    for (unsigned i = 0; i < 10; i++)
        for (unsigned x = 0; x < 5; x++)
            EXPECT_EQ(p.image.pixels[landing[i] * 5 + x], i) << "stream row " << i;

    // Heights around the pass boundaries, several strip heights.
    for (unsigned height : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 12u, 13u, 16u, 17u, 33u}) {
        SCOPED_TRACE(height);
        bytes rows = random_pixels(7 * height, 8, height);
        bytes g = gif_start(make_table(256));
        add_image(g, 7, height, image_data(8, lzw_encode(interlace(rows, 7, height), 8)), {}, true);
        p = convert(g, {"-r", std::to_string(height % 5 + 1)});
        EXPECT_TRUE(p.image.pixels == rows);
    }
}

TEST_F(Lzwtag, SeveralImagesAreAppended)
{
    // A 256-entry global table, then an image with a 16-entry local table
    // (entries 16-255 stay from the first image), then one with the global
    // table again; extensions and zero bytes in between are skipped.
    colour_table global = make_table(256, 1), local = make_table(16, 9);
    bytes first = random_pixels(30 * 20, 8, 1), second = random_pixels(9 * 40, 4, 2),
          third = random_pixels(1 * 5, 8, 3);
    bytes gif = gif_start(global);
    add_image(gif, 30, 20, image_data(8, lzw_encode(first, 8)));
    gif.insert(gif.end(), {0, 0, '!', 0xFE});
    bytes comment = sub_blocks(bytes(300, ','));
    gif.insert(gif.end(), comment.begin(), comment.end());
    add_image(gif, 9, 40, image_data(4, lzw_encode(second, 4)), local, true);
    gif.insert(gif.end(), {'!', 0xF9, 4, 1, 2, 3, 4, 0});
    add_image(gif, 1, 5, image_data(8, lzw_encode(third, 8)));
    gif.push_back(';');
    gif.insert(gif.end(), {'x', 'y', 'z'});  // after the trailer: ignored
    // The second image is interlaced: its rows come in stream order here.
    palette_image p = convert(gif, {}, "   local colors: 16\n");
    ASSERT_EQ(count_directories(path("out.tif")), 3);
    EXPECT_TRUE(p.image.pixels == first);
    expect_colormap(p, global);
    palette_image q = read_palette("out.tif", 1);
    EXPECT_EQ(q.image.width, 9u);
    EXPECT_EQ(q.image.height, 40u);
    EXPECT_TRUE(interlace(q.image.pixels, 9, 40) == second);
    expect_colormap(q, local, global);
    palette_image r = read_palette("out.tif", 2);
    EXPECT_TRUE(r.image.pixels == third);
    expect_colormap(r, global);
}

TEST_F(Lzwtag, StripHeightCarriesToTheNextImage)
{
    // Without -r the height libtiff picks for the first image is asked for
    // the second one as well.
    colour_table global = make_table(4);
    bytes narrow = random_pixels(16 * 900, 2, 1), wide = random_pixels(2000 * 30, 2, 2);
    bytes alone = gif_start(global);
    add_image(alone, 2000, 30, image_data(2, lzw_encode(wide, 2)));
    palette_image p = convert(alone);
    uint32_t own_height = p.image.rows_per_strip;

    bytes gif = gif_start(global);
    add_image(gif, 16, 900, image_data(2, lzw_encode(narrow, 2)));
    add_image(gif, 2000, 30, image_data(2, lzw_encode(wide, 2)));
    p = convert(gif);
    palette_image q = read_palette("out.tif", 1);
    EXPECT_NE(p.image.rows_per_strip, own_height);
    EXPECT_EQ(q.image.rows_per_strip, p.image.rows_per_strip);
    EXPECT_TRUE(p.image.pixels == narrow);
    EXPECT_TRUE(q.image.pixels == wide);
}

// ---- The decoder -------------------------------------------------------

TEST_F(Lzwtag, CodesOfTheTable)
{
    colour_table global = make_table(4);
    // clear, 1, 6 (the string being defined), end: pixels 1, 1, 1.
    code_packer k;
    for (int code : {4, 1, 6, 5})
        k.put(code, 3);
    bytes gif = gif_start(global);
    add_image(gif, 3, 1, image_data(2, k.finish()));
    EXPECT_EQ(convert(gif).image.pixels, (bytes{1, 1, 1}));

    // The width grows from 3 to 4 bits once the table reaches 8 entries:
    // clear, 0, 1, 2 in 3 bits, then 6 (= 0 1), 8 (= 2 0) and end in 4.
    code_packer w;
    for (int code : {4, 0, 1, 2})
        w.put(code, 3);
    for (int code : {6, 8, 5})
        w.put(code, 4);
    gif = gif_start(global);
    add_image(gif, 7, 1, image_data(2, w.finish()));
    EXPECT_EQ(convert(gif).image.pixels, (bytes{0, 1, 2, 0, 1, 2, 0}));
}

TEST_F(Lzwtag, EncodedStreamsRoundTrip)
{
    // Long runs (KwKwK strings), full tables kept or cleared, frequent
    // clears, no clear at the start, one-pixel sub-blocks, every code size.
    struct stream_case { const char* name; int data_size; bytes pixels; encoding e; size_t block; };
    encoding keep_full;
    keep_full.clear_when_full = false;
    encoding frequent;
    frequent.clear_every = 5;
    encoding no_clear;
    no_clear.initial_clear = false;
    std::vector<stream_case> cases = {
        {"runs", 2, bytes(5000, 3), encoding(), 255},
        {"full table kept", 8, random_pixels(60000, 8, 4), keep_full, 255},
        {"full table cleared", 8, random_pixels(60000, 8, 5), encoding(), 255},
        {"small codes kept", 2, random_pixels(60000, 2, 6), keep_full, 255},
        {"frequent clears", 3, random_pixels(3000, 3, 7), frequent, 255},
        {"no first clear", 5, random_pixels(3000, 5, 8), no_clear, 255},
        {"one-byte blocks", 6, random_pixels(3000, 6, 9), encoding(), 1},
        {"code size 1", 1, random_pixels(20000, 1, 10), encoding(), 255},
        {"code size 11", 11, random_pixels(20000, 8, 11), encoding(), 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bytes gif = gif_start(make_table(256));
        size_t width = 100, height = c.pixels.size() / width;
        add_image(gif, (unsigned)width, (unsigned)height,
                  image_data(c.data_size, lzw_encode(c.pixels, c.data_size, c.e), c.block));
        run_result r = run_on(gif);
        EXPECT_EQ(r.status, 0);
        // With one-byte blocks the raster may fill a block before the end
        // code's last bits arrive.
        if (c.block > 1 || r.err != "raster full before eoi code\n") {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_TRUE(read_palette().image.pixels == c.pixels);
    }
}

TEST_F(Lzwtag, BadCodesFailTheImage)
{
    colour_table global = make_table(4);
    const struct { std::vector<int> codes; const char* message; } cases[] = {
        {{4, 1, 7, 5}, "code 7 too large for 6\n"},  // beyond the next free code
        {{4, 6, 5}, "code 6 too large for 6\n"},     // a first code with no string
        {{1, 4, 7}, "code 7 too large for 6\n"},     // first code after a clear
    };
    for (const auto& c : cases) {
        code_packer k;
        for (int code : c.codes)
            k.put(code, 3);
        bytes gif = gif_start(global);
        add_image(gif, 3, 1, image_data(2, k.finish()));
        run_result r = run_on(gif);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
    // A bad second image leaves the first one complete.
    bytes gif = gif_start(global);
    add_image(gif, 2, 2, image_data(2, lzw_encode({0, 1, 2, 3}, 2)));
    code_packer k;
    for (int code : {4, 1, 7})
        k.put(code, 3);
    add_image(gif, 2, 2, image_data(2, k.finish()));
    run_result r = run_on(gif);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "code 7 too large for 6\n");
    EXPECT_EQ(count_directories(path("out.tif")), 1);
    EXPECT_EQ(read_palette().image.pixels, (bytes{0, 1, 2, 3}));

    // Minimum code sizes that leave no room in the table.
    for (int size : {0, 12, 200}) {
            bytes g = gif_start(global);
        add_image(g, 2, 2, image_data(size, bytes(4, 0)));
        r = run_on(g);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "in.gif: bad LZW minimum code size " + std::to_string(size) + "\n");
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
}

TEST_F(Lzwtag, ShortAndLongData)
{
    colour_table global = make_table(16);
    bytes pixels = random_pixels(6 * 5, 4, 1);
    bytes ten(pixels.begin(), pixels.begin() + 10);

    // End code after 10 of 30 pixels: the image is written with the two
    // rows the data reached, the rest of the second row 0.
    bytes gif = gif_start(global);
    add_image(gif, 6, 5, image_data(4, lzw_encode(ten, 4)));
    bytes expected = ten;
    expected.resize(12, 0);
    palette_image short_image = convert(gif, {}, "warning: wrong rastersize: 10 bytes\n"
                                                 "         instead of 30 bytes\n");
    EXPECT_EQ(short_image.image.height, 2u);
    EXPECT_EQ(short_image.image.pixels, expected);

    // No end code: the data ends at its terminator, after 16 bits of
    // codes (clear, 1, 2, 3 in 3 bits, then 6 = 1 2 in 4 bits).
    code_packer k;
    for (int code : {4, 1, 2, 3})
        k.put(code, 3);
    k.put(6, 4);
    gif = gif_start(make_table(4));
    add_image(gif, 3, 3, image_data(2, k.finish()));
    EXPECT_EQ(convert(gif, {}, "warning: wrong rastersize: 5 bytes\n"
                               "         instead of 9 bytes\n").image.pixels,
              (bytes{1, 2, 3, 1, 2, 0}));

    // More pixels than the raster holds and no end code: decoding stops at
    // the end of the sub-block; later sub-blocks of the image are skipped
    // and the next image is read.
    bytes more = random_pixels(2000, 4, 2);
    encoding e;
    e.end_code = false;
    gif = gif_start(global);
    add_image(gif, 6, 5, image_data(4, lzw_encode(more, 4, e), 20));
    add_image(gif, 6, 5, image_data(4, lzw_encode(pixels, 4)));
    gif.push_back(';');
    palette_image p = convert(gif, {}, "raster full before eoi code\n");
    EXPECT_TRUE(p.image.pixels == bytes(more.begin(), more.begin() + 30));
    ASSERT_EQ(count_directories(path("out.tif")), 2);
    EXPECT_TRUE(read_palette("out.tif", 1).image.pixels == pixels);

    // An end code early in a sub-block that more sub-blocks follow, with
    // bytes that look like blocks: the rest of the image data is skipped
    // and the next image read.
    bytes early = lzw_encode({5, 6, 7, 8}, 4);
    early.insert(early.end(), {0xFF, 0xFF, ';', ',', '!', 0x00});
    gif = gif_start(global);
    add_image(gif, 2, 2, image_data(4, early, 3));
    add_image(gif, 2, 2, image_data(4, lzw_encode({1, 2, 3, 4}, 4), 1));
    gif.push_back(';');
    p = convert(gif);
    ASSERT_EQ(count_directories(path("out.tif")), 2);
    EXPECT_EQ(p.image.pixels, (bytes{5, 6, 7, 8}));
    EXPECT_EQ(read_palette("out.tif", 1).image.pixels, (bytes{1, 2, 3, 4}));
}

TEST_F(Lzwtag, FileEndsInsideImageData)
{
    // The image is written with what arrived, the rest 0, and the run ends
    // with status 1 (data cut short).
    colour_table global = make_table(256);
    bytes pixels = random_pixels(50 * 40, 8, 3);
    for (uint8_t& v : pixels)
        v = v == 0 ? 1 : v;
    bytes gif = gif_start(global);
    bytes data = image_data(8, lzw_encode(pixels, 8));
    add_image(gif, 50, 40, bytes(data.begin(), data.begin() + 700));
    run_result r = run_on(gif);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("in.gif: end of file in image data\nwarning: wrong rastersize: "), 0u)
        << r.err;
    palette_image p = read_palette();
    size_t same = 0;
    while (same < p.image.pixels.size() && p.image.pixels[same] == pixels[same])
        same++;
    EXPECT_GT(same, 500u);
    // Just the rows the data reached, the last one completed with 0.
    EXPECT_EQ(p.image.height, (same + 49) / 50);
    ASSERT_EQ(p.image.pixels.size(), p.image.height * 50u);
    EXPECT_EQ(r.err, "in.gif: end of file in image data\nwarning: wrong rastersize: " +
                         std::to_string(same) + " bytes\n         instead of 2000 bytes\n");
    EXPECT_TRUE(std::all_of(p.image.pixels.begin() + (ptrdiff_t)same, p.image.pixels.end(),
                            [](uint8_t v) { return v == 0; }));
}

TEST_F(Lzwtag, DeclaredSizeBeyondTheData)
{
    // A few bytes of data cannot fill the 65535 x 65535 raster the
    // descriptor declares: the output holds the one row they reach.
    colour_table global = make_table(16);
    bytes five = {1, 2, 3, 4, 5};
    bytes gif = gif_start(global);
    add_image(gif, 65535, 65535, image_data(4, lzw_encode(five, 4)));
    palette_image p = convert(gif, {}, "warning: wrong rastersize: 5 bytes\n"
                                       "         instead of 4294836225 bytes\n");
    EXPECT_EQ(p.image.width, 65535u);
    EXPECT_EQ(p.image.height, 1u);
    ASSERT_EQ(p.image.pixels.size(), 65535u);
    EXPECT_EQ(bytes(p.image.pixels.begin(), p.image.pixels.begin() + 5), five);

    // Interlaced, the rows reached are every eighth one from the top: the
    // image ends at the last of them, the rows between are 0.
    bytes rows = random_pixels(3 * 100, 4, 5);
    gif = gif_start(global);
    add_image(gif, 100, 60000, image_data(4, lzw_encode(rows, 4)), {}, true);
    p = convert(gif, {}, "warning: wrong rastersize: 300 bytes\n"
                         "         instead of 6000000 bytes\n");
    EXPECT_EQ(p.image.height, 17u);
    for (uint32_t y = 0; y < 17; y++) {
        bytes row(p.image.pixels.begin() + y * 100, p.image.pixels.begin() + (y + 1) * 100);
        bytes want = y % 8 == 0 ? bytes(rows.begin() + y / 8 * 100, rows.begin() + (y / 8 + 1) * 100)
                                : bytes(100, 0);
        EXPECT_EQ(row, want) << "row " << y;
    }

    // An end code before any pixel: no directory, the next image is read,
    // and the run ends with status 1.
    code_packer k;
    k.put(16, 5);
    k.put(17, 5);
    gif = gif_start(global);
    add_image(gif, 4, 4, image_data(4, k.finish()));
    add_image(gif, 2, 1, image_data(4, lzw_encode({7, 9}, 4)));
    gif.push_back(';');
    run_result r = run_on(gif);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "warning: wrong rastersize: 0 bytes\n         instead of 16 bytes\n"
                     "in.gif: no pixel data, image not written\n");
    ASSERT_EQ(count_directories(path("out.tif")), 1);
    EXPECT_EQ(read_palette().image.pixels, (bytes{7, 9}));
}

// ---- The container -----------------------------------------------------

TEST_F(Lzwtag, TrailerAndZeroBytes)
{
    // Zero bytes between blocks are skipped; a file may end without its
    // trailer.
    colour_table global = make_table(2);
    bytes gif = gif_start(global);
    gif.insert(gif.end(), {0, 0, 0});
    add_image(gif, 4, 1, image_data(1, lzw_encode({1, 0, 0, 1}, 1)));
    gif.insert(gif.end(), {0, 0});
    EXPECT_EQ(convert(gif).image.pixels, (bytes{1, 0, 0, 1}));

    // A GIF of no image writes nothing.
    bytes empty = gif_start(global);
    empty.push_back(';');
    run_result r = run_on(empty);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Lzwtag, MalformedContainers)
{
    colour_table global = make_table(4);
    bytes good_data = image_data(2, lzw_encode({0, 1, 2, 3}, 2));
    auto with_image = [&](unsigned w, unsigned h, const colour_table& local, bytes start) {
        add_image(start, w, h, good_data, local);
        return start;
    };
    bytes valid = with_image(2, 2, {}, gif_start(global));
    bytes version90 = valid;
    version90[3] = '9';
    version90[4] = '0';
    bytes bad_block = gif_start(global);
    bad_block.push_back('x');
    const struct { const char* name; bytes gif; std::string err; } cases[] = {
        {"empty file", {}, "file is not a GIF file\n"},
        {"other signature", bytes{'G', 'I', 'G', '8', '7', 'a', 0, 0, 0, 0, 0, 0, 0},
         "file is not a GIF file\n"},
        {"version 90a", version90, "in.gif: unknown GIF version number (87a and 89a are read)\n"},
        {"version cut", bytes{'G', 'I', 'F', '8', '7'},
         "in.gif: unknown GIF version number (87a and 89a are read)\n"},
        {"illegal block", bad_block, "illegal GIF block type\n"},
        {"no colour table", with_image(2, 2, {}, gif_start({})), "no colormap present for image\n"},
        {"zero width", with_image(0, 2, {}, gif_start(global)), "in.gif: empty image (0 x 2 pixels)\n"},
        {"zero height", with_image(2, 0, {}, gif_start(global)), "in.gif: empty image (2 x 0 pixels)\n"},
        {"screen cut", bytes(valid.begin(), valid.begin() + 9),
         "in.gif: end of file in screen descriptor\n"},
        {"global table cut", bytes(valid.begin(), valid.begin() + 20),
         "in.gif: end of file in colormap\n"},
        {"descriptor cut", bytes(valid.begin(), valid.begin() + 27),
         "in.gif: end of file in image descriptor\n"},
        {"nothing after separator", bytes(valid.begin(), valid.begin() + 26),
         "in.gif: end of file in image descriptor\n"},
        {"code size missing", bytes(valid.begin(), valid.begin() + 35),
         "in.gif: end of file before image data\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_on(c.gif);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
    bytes local_cut = with_image(2, 2, make_table(8), gif_start(global));
    local_cut.resize(35 + 10);
    run_result r = run_on(local_cut);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "   local colors: 8\nin.gif: end of file in colormap\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Lzwtag, Gif89aFramesAndExtensions)
{
    // An animation as today's programs write it: a looping application
    // block, a comment, a graphic control block before each frame (one
    // with a transparent index), a plain text block, a block of a label no
    // one defined and an empty one. Every frame becomes a directory; the
    // transparent index stays an index of the palette.
    colour_table global = make_table(16), local = make_table(4, 5);
    bytes first = random_pixels(8 * 6, 4, 1), second = random_pixels(5 * 3, 2, 2),
          third = {5, 5, 0, 15};
    bytes gif = gif_start(global, "89a");
    add_extension(gif, 0xFF, {bytes{'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'},
                              bytes{1, 0, 0}});
    add_extension(gif, 0xFE, {bytes(255, 'c'), bytes(3, 'd')});
    add_graphic_control(gif, 2, 10, 5);
    add_image(gif, 8, 6, image_data(4, lzw_encode(interlace(first, 8, 6), 4)), {}, true);
    add_extension(gif, 0x01, {bytes{0, 0, 0, 0, 8, 0, 8, 0, 4, 4, 1, 0}, bytes(7, 't')});
    add_extension(gif, 0x7A, {bytes(9, 1), bytes(1, 2)});
    add_extension(gif, 0xFE, {});
    add_graphic_control(gif, 1, 10, -1);
    add_image(gif, 5, 3, image_data(2, lzw_encode(second, 2)), local);
    add_graphic_control(gif, 0, 0, 15);
    add_image(gif, 2, 2, image_data(4, lzw_encode(third, 4)));
    gif.push_back(';');

    convert(gif, {}, "   local colors: 4\n");
    std::string from89a = read_file(path("out.tif"));
    ASSERT_EQ(count_directories(path("out.tif")), 3);
    const struct { unsigned width, height; const bytes& pixels; const colour_table& table; } frames[] = {
        {8, 6, first, global}, {5, 3, second, local}, {2, 2, third, global}};
    for (int d = 0; d < 3; d++) {
        SCOPED_TRACE(d);
        palette_image frame = read_palette("out.tif", d);
        EXPECT_EQ(frame.image.width, frames[d].width);
        EXPECT_EQ(frame.image.height, frames[d].height);
        EXPECT_TRUE(frame.image.pixels == frames[d].pixels);
        expect_colormap(frame, frames[d].table, global);
    }

    // The same blocks under the 87a signature give the same file.
    gif[4] = '7';
    convert(gif, {}, "   local colors: 4\n");
    EXPECT_TRUE(read_file(path("out.tif")) == from89a);

    // Extensions of many sub-blocks are skipped as they come.
    bytes long_one = gif_start(global, "89a");
    add_extension(long_one, 0xFF, std::vector<bytes>(4000, bytes(255, 0xAB)));
    add_image(long_one, 2, 2, image_data(4, lzw_encode(third, 4)));
    EXPECT_EQ(convert(long_one).image.pixels, third);
}

TEST_F(Lzwtag, ExtensionsCutByTheEndOfTheFile)
{
    // An extension whose sub-blocks run to the end of the file, or whose
    // length reaches past it: the images before it are written, and the
    // run ends with status 1 and a message.
    colour_table global = make_table(4);
    bytes image = gif_start(global, "89a");
    add_image(image, 2, 2, image_data(2, lzw_encode({3, 2, 1, 0}, 2)));
    const std::vector<bytes> tails = {
        {'!'},
        {'!', 0xFE},
        {'!', 0xFE, 10, 'a', 'b', 'c'},
        {'!', 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0},
        {'!', 0x01, 255, 1, 2},
    };
    for (const bytes& tail : tails) {
        SCOPED_TRACE(tail.size());
        for (bool after_image : {true, false}) {
            bytes gif = after_image ? image : gif_start(global, "89a");
            gif.insert(gif.end(), tail.begin(), tail.end());
            run_result r = run_on(gif);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "in.gif: end of file in extension block\n");
            EXPECT_EQ(file_exists(path("out.tif")), after_image);
            if (after_image) {
                EXPECT_EQ(read_palette().image.pixels, (bytes{3, 2, 1, 0}));
            }
        }
    }
}

TEST_F(Lzwtag, OverwriteQuestion)
{
    colour_table global = make_table(4);
    bytes gif = gif_start(global);
    add_image(gif, 2, 2, image_data(2, lzw_encode({3, 2, 1, 0}, 2)));
    write_file(path("in.gif"), gif);
    const std::string old = "not a TIFF file, but precious";
    write_file(path("out.tif"), old);
    for (const char* answer : {"n\n", "", "N", "\n", " y"}) {
        run_options o;
        o.input = answer;
        run_result r = run("lzwtag", {"in.gif", "out.tif"}, o);
        EXPECT_EQ(r.status, 1) << answer;
        EXPECT_EQ(r.out, "overwrite out.tif? ");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(path("out.tif")), old);
    }
    // Standard input closed: no answer is no.
    run_options closed;
    closed.closed_input = true;
    run_result r = run("lzwtag", {"in.gif", "out.tif"}, closed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(path("out.tif")), old);

    // y or Y: the file is replaced, not appended to.
    for (const char* answer : {"y\n", "Y"}) {
        run_options o;
        o.input = answer;
        r = run("lzwtag", {"in.gif", "out.tif"}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "overwrite out.tif? ");
        EXPECT_EQ(count_directories(path("out.tif")), 1);
        EXPECT_EQ(read_palette().image.pixels, (bytes{3, 2, 1, 0}));
    }
}

TEST_F(Lzwtag, FailedStripWrites)
{
    // A predictor the codec refuses fails every strip: libtiff says why,
    // the run ends with -1 and no empty output is left behind.
    colour_table global = make_table(4);
    bytes gif = gif_start(global);
    add_image(gif, 2, 2, image_data(2, lzw_encode({3, 2, 1, 0}, 2)));
    add_image(gif, 2, 2, image_data(2, lzw_encode({0, 1, 2, 3}, 2)));
    run_result r = run_on(gif, {"-c", "lzw:3"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("Predictor"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("out.tif")));

    // An output that cannot be opened fails the image.
    r = run("lzwtag", {"in.gif", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("no/such/dir/out.tif: Can not open output image"), std::string::npos)
        << r.err;
}

TEST_F(Lzwtag, HostileBytesNeverCrash)
{
    // Random code streams of every minimum code size, and every cut and
    // many single-byte changes of a valid file: each run ends with a
    // status, and whatever output exists reads back cleanly.
    colour_table global = make_table(256);
    bytes pixels = random_pixels(40 * 30, 8, 12);
    bytes valid = gif_start(global, "89a");
    add_graphic_control(valid, 2, 10, 7);
    add_image(valid, 40, 30, image_data(8, lzw_encode(pixels, 8)), make_table(64), true);
    add_extension(valid, 0xFE, {bytes(40, 'c')});
    add_image(valid, 20, 10, image_data(3, lzw_encode(random_pixels(200, 3, 1), 3)));
    std::vector<bytes> files;
    for (int size = 1; size <= 11; size++)
        for (uint32_t seed = 1; seed <= 2; seed++) {
            bytes g = gif_start(global);
            add_image(g, 50, 40, image_data(size, pattern_bytes(2000, seed * 31 + size)));
            files.push_back(g);
        }
    for (size_t cut = 0; cut < valid.size(); cut += 151)
        files.push_back(bytes(valid.begin(), valid.begin() + (ptrdiff_t)cut));
    uint32_t x = 99;
    for (int i = 0; i < 40; i++) {
        bytes g = valid;
        x = x * 1103515245 + 12345;
        g[(x >> 8) % g.size()] ^= (uint8_t)(1 + (x >> 24) % 255);
        files.push_back(g);
    }
    for (const bytes& g : files) {
            run_result r = run_on(g);
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 255) << r.status;
        if (file_exists(path("out.tif"))) {
            tiff_messages().clear();
            int n = count_directories(path("out.tif"));
            for (int d = 0; d < n; d++) {
                palette_image p = read_palette("out.tif", d);
                EXPECT_EQ(p.image.pixels.size(), (size_t)p.image.width * p.image.height);
            }
            EXPECT_TRUE(tiff_messages().empty()) << tiff_messages()[0];
        }
    }
}

}  // namespace
