// dibtag through its command line: BMP files built byte by byte, the TIFF
// directories read back and compared pixel by pixel with what each BMP holds.
#include "harness.h"

#include <algorithm>

namespace {

// ---- Building BMP files --------------------------------------------------

struct bmp_file {
    uint32_t header_size = 40;
    int32_t width = 1, height = 1;
    int bit_count = 24;
    uint32_t compression = 0;
    uint32_t colours_used = 0;
    bytes header_tail;       // info header bytes after the first 40 (masks, ...)
    bytes after_header;      // bytes between the info header and the colour table
    bytes table;             // the colour table as stored
    bytes data;              // the pixel data as stored
    int64_t data_offset = -1;  // -1: right after the table
};

bytes build_bmp(const bmp_file& f)
{
    bytes info;
    put_le32(info, f.header_size);
    if (f.header_size == 12) {
        put_le16(info, (uint16_t)f.width);
        put_le16(info, (uint16_t)f.height);
        put_le16(info, 1);
        put_le16(info, (uint16_t)f.bit_count);
    } else {
        put_le32(info, (uint32_t)f.width);
        put_le32(info, (uint32_t)f.height);
        put_le16(info, 1);
        put_le16(info, (uint16_t)f.bit_count);
        put_le32(info, f.compression);
        put_le32(info, (uint32_t)f.data.size());
        put_le32(info, 2835);
        put_le32(info, 2835);
        put_le32(info, f.colours_used);
        put_le32(info, 0);
        info.insert(info.end(), f.header_tail.begin(), f.header_tail.end());
        info.resize(f.header_size, 0);
    }
    size_t natural = 14 + info.size() + f.after_header.size() + f.table.size();
    size_t offset = f.data_offset < 0 ? natural : (size_t)f.data_offset;
    bytes b;
    put_text(b, "BM");
    put_le32(b, (uint32_t)(std::max(offset, natural) + f.data.size()));
    put_le32(b, 0);
    put_le32(b, (uint32_t)offset);
    b.insert(b.end(), info.begin(), info.end());
    b.insert(b.end(), f.after_header.begin(), f.after_header.end());
    b.insert(b.end(), f.table.begin(), f.table.end());
    if (b.size() < offset)
        b.resize(offset, 0);
    b.insert(b.end(), f.data.begin(), f.data.end());
    return b;
}

struct rgb {
    uint8_t r, g, b;
};

// A colour table of `colours`, `entry_size` bytes an entry (blue, green, red[, 0]).
bytes colour_table(const std::vector<rgb>& colours, int entry_size = 4)
{
    bytes t;
    for (const rgb& c : colours) {
        t.push_back(c.b);
        t.push_back(c.g);
        t.push_back(c.r);
        if (entry_size == 4)
            t.push_back(0);
    }
    return t;
}

std::vector<rgb> some_colours(size_t n, uint32_t seed = 3)
{
    bytes b = pattern_bytes(3 * n, seed);
    std::vector<rgb> colours(n);
    for (size_t i = 0; i < n; i++)
        colours[i] = {b[3 * i], (uint8_t)(b[3 * i + 1] ^ 0x55), (uint8_t)(255 - b[3 * i + 2])};
    return colours;
}

// Packs one row of pixel values, most significant bits first, into
// ceil(width * bits / 8) bytes.
bytes pack_row(const uint8_t* values, uint32_t width, int bits)
{
    bytes row(((size_t)width * bits + 7) / 8, 0);
    for (uint32_t x = 0; x < width; x++) {
        size_t bit = (size_t)x * bits;
        row[bit / 8] |= (uint8_t)(values[x] << (8 - bits - bit % 8));
    }
    return row;
}

// Stores rows (top to bottom, `row_bytes` each) as BMP rows padded to 4
// bytes, bottom row first unless `top_down`.
bytes store_rows(const bytes& rows, size_t row_bytes, uint32_t height, bool top_down = false)
{
    size_t stored = (row_bytes + 3) / 4 * 4;
    bytes out;
    for (uint32_t i = 0; i < height; i++) {
        uint32_t r = top_down ? i : height - 1 - i;
        out.insert(out.end(), rows.begin() + (ptrdiff_t)(r * row_bytes),
                   rows.begin() + (ptrdiff_t)((r + 1) * row_bytes));
        out.resize(out.size() + stored - row_bytes, 0);
    }
    return out;
}

// Pixel values below `colours` for a width x height palette image.
bytes palette_values(uint32_t width, uint32_t height, unsigned colours, uint32_t seed = 1)
{
    bytes v = pattern_bytes((size_t)width * height, seed);
    for (uint8_t& x : v)
        x = (uint8_t)(x % colours);
    return v;
}

// The TIFF rows of a palette image: each row packed to `bits` per pixel.
bytes packed_rows(const bytes& values, uint32_t width, uint32_t height, int bits)
{
    bytes out;
    for (uint32_t y = 0; y < height; y++) {
        bytes row = pack_row(values.data() + (size_t)y * width, width, bits);
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

// The 8-bit value of a `bits`-bit channel value, its bit pattern repeated
// downwards (wider channels keep their top 8 bits).
uint8_t widen(uint32_t v, int bits)
{
    if (bits >= 8)
        return (uint8_t)(v >> (bits - 8));
    uint64_t repeated = 0;
    int total = 0;
    while (total < 8) {
        repeated = repeated << bits | v;
        total += bits;
    }
    return (uint8_t)(repeated >> (total - 8));
}

struct colour_map_fields {
    std::vector<uint16_t> red, green, blue;
};

// ---- The fixture ---------------------------------------------------------

class Dibtag : public ToolTest {
protected:
    // Writes `files` as in0.bmp, in1.bmp, ... and converts them into out.tif.
    run_result convert_files(const std::vector<bytes>& files, std::vector<std::string> options = {})
    {
        for (size_t i = 0; i < files.size(); i++) {
            std::string name = "in" + std::to_string(i) + ".bmp";
            write_file(path(name), files[i]);
            options.push_back(name);
        }
        options.push_back("out.tif");
        return run("dibtag", options);
    }

    // Converts one BMP that must convert cleanly and reads it back.
    tiff_image convert(const bytes& file, std::vector<std::string> options = {})
    {
        run_result r = convert_files({file}, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
        tiff_image image;
        read_tiff(path("out.tif"), &image);
        return image;
    }

    colour_map_fields colour_map(int directory = 0)
    {
        colour_map_fields map;
        tiff_handle t = open_tiff(path("out.tif"));
        if (!t || !TIFFSetDirectory(t.get(), (tdir_t)directory)) {
            ADD_FAILURE() << "no directory " << directory;
            return map;
        }
        uint16_t bits = 0;
        TIFFGetField(t.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(t.get(), TIFFTAG_COLORMAP, &r, &g, &b)) {
            ADD_FAILURE() << "no colour map";
            return map;
        }
        size_t n = (size_t)1 << bits;
        map.red.assign(r, r + n);
        map.green.assign(g, g + n);
        map.blue.assign(b, b + n);
        return map;
    }

    // Expects the colour map to hold `colours` (scaled by 257), then zeros.
    void expect_colour_map(const std::vector<rgb>& colours, size_t entries, int directory = 0)
    {
        colour_map_fields map = colour_map(directory);
        ASSERT_EQ(map.red.size(), entries);
        for (size_t i = 0; i < entries; i++) {
            rgb c = i < colours.size() ? colours[i] : rgb{0, 0, 0};
            EXPECT_EQ(map.red[i], c.r * 257) << i;
            EXPECT_EQ(map.green[i], c.g * 257) << i;
            EXPECT_EQ(map.blue[i], c.b * 257) << i;
        }
    }

    // Runs dibtag on each file: whatever it says, any output it leaves
    // must read back whole, and a run that reports nothing must succeed.
    void expect_safe(const std::vector<bytes>& files)
    {
        for (size_t i = 0; i < files.size(); i++) {
            remove(path("out.tif").c_str());
            run_result r = convert_files({files[i]});
            ASSERT_TRUE(r.status == 0 || r.status == 1) << i << ": " << r.status << "\n" << r.err;
            if (r.status == 0) {
                EXPECT_TRUE(only_warnings(r.err)) << i << ": " << r.err;
            }
            if (file_exists(path("out.tif"))) {
                tiff_image image;
                EXPECT_TRUE(read_tiff(path("out.tif"), &image)) << i;
            }
            if (HasFailure()) {
                write_file(path("failing.bmp"), files[i]);
                return;
            }
        }
    }
};

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "dibtag --- convert Windows BMP files to TIFF\n"
           "usage: dibtag [options] input.bmp [input2.bmp ...] output.tif\n"
           "where options are:\n"
           " -r #\t\tmake each strip have no more than # rows\n"
           "\n"
           " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding\n"
           " -c zip[:opts]\tcompress output with deflate encoding\n"
           " -c jpeg[:opts]compress output with JPEG encoding\n"
           " -c packbits\tcompress output with packbits encoding\n"
           " -c none\tuse no compression algorithm on output\n"
           "\n"
           "JPEG options:\n"
           " #\t\tset compression quality level (0-100, default 75)\n"
           " r\t\toutput color image as RGB rather than YCbCr\n"
           "For example, -c jpeg:r:50 to get JPEG-encoded RGB data with 50% comp. quality\n"
           "\n"
           "LZW and deflate options:\n"
           " #\t\tset predictor value\n"
           "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing\n"
           " -o out.tif\twrite output to out.tif\n"
           " -h\t\tthis help message\n";
}

// A small 24-bit image and the RGB rows it must become.
struct rgb_sample {
    bytes file;
    bytes pixels;
};

rgb_sample rgb_image(uint32_t width, uint32_t height, uint32_t seed = 1, bool top_down = false)
{
    rgb_sample s;
    s.pixels = pattern_bytes((size_t)3 * width * height, seed);
    bytes bgr = s.pixels;
    for (size_t i = 0; i < bgr.size(); i += 3)
        std::swap(bgr[i], bgr[i + 2]);
    bmp_file f;
    f.width = (int32_t)width;
    f.height = top_down ? -(int32_t)height : (int32_t)height;
    f.data = store_rows(bgr, 3 * width, height, top_down);
    s.file = build_bmp(f);
    return s;
}

// An 8-bit palette image of `colours` table entries.
struct palette_sample {
    bytes file;
    bytes values;
    std::vector<rgb> colours;
};

palette_sample palette_image(uint32_t width, uint32_t height, int bits, unsigned colours,
                             uint32_t seed = 1)
{
    palette_sample s;
    s.colours = some_colours(colours, seed);
    s.values = palette_values(width, height, colours, seed);
    bmp_file f;
    f.width = (int32_t)width;
    f.height = (int32_t)height;
    f.bit_count = bits;
    f.colours_used = colours;
    f.table = colour_table(s.colours);
    f.data = store_rows(packed_rows(s.values, width, height, bits), ((size_t)width * bits + 7) / 8,
                        height);
    s.file = build_bmp(f);
    return s;
}

// ---- Command line ----------------------------------------------------------

TEST_F(Dibtag, UsageText)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"only.bmp"}, {"-h"},
                                          {"-h", "a.bmp", "out.tif"}, {"-o", "x.tif", "a.bmp"},
                                          {"-c", "g3", "a.bmp", "out.tif"},
                                          {"-c", "LZW", "a.bmp", "out.tif"},
                                          {"-c", "jpeg:x", "a.bmp", "out.tif"}}) {
        run_result r = run("dibtag", args);
        EXPECT_EQ(r.status, 255) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err, expected_usage()) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Dibtag, UnknownOptionsAreIgnored)
{
    rgb_sample s = rgb_image(3, 2);
    write_file(path("a.bmp"), s.file);
    run_result r = run("dibtag", {"-x", "a.bmp", "-q", "out.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("invalid option -- 'q'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("usage"), std::string::npos) << r.err;
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, s.pixels);
}

TEST_F(Dibtag, OutputNameAndOperands)
{
    rgb_sample a = rgb_image(4, 3, 1), b = rgb_image(5, 2, 2);
    write_file(path("a.bmp"), a.file);
    write_file(path("b.bmp"), b.file);
    // With -o the last operand is still not an input.
    run_result r = run("dibtag", {"-o", "named.tif", "a.bmp", "b.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_directories(path("named.tif")), 1);
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("named.tif"), &image));
    EXPECT_EQ(image.pixels, a.pixels);
    EXPECT_FALSE(file_exists(path("b.tif")));

    r = run("dibtag", {"nowhere/out.tif"});
    EXPECT_EQ(r.status, 255);
    r = run("dibtag", {"a.bmp", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot open file no/such/dir/out.tif for output.\n"), std::string::npos)
        << r.err;
}

// ---- Formats -------------------------------------------------------------

TEST_F(Dibtag, TrueColourRowsInBothStorageOrders)
{
    for (uint32_t width : {1u, 3u, 4u, 7u}) {
        for (bool top_down : {false, true}) {
            rgb_sample s = rgb_image(width, 5, width, top_down);
            tiff_image image = convert(s.file);
            EXPECT_EQ(image.width, width);
            EXPECT_EQ(image.height, 5u);
            EXPECT_EQ(image.samples_per_pixel, 3);
            EXPECT_EQ(image.bits_per_sample, 8);
            EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
            EXPECT_EQ(image.orientation, ORIENTATION_TOPLEFT);
            EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
            EXPECT_EQ(image.compression, COMPRESSION_PACKBITS);
            EXPECT_EQ(image.pixels, s.pixels) << width << (top_down ? " top-down" : " bottom-up");
        }
    }
    EXPECT_TRUE(tiff_messages().empty());
}

TEST_F(Dibtag, ThirtyTwoBitPixelsDropTheirFourthByte)
{
    const uint32_t width = 5, height = 3;
    bytes rgb = pattern_bytes(3 * width * height, 4);
    bytes stored;
    for (size_t i = 0; i < rgb.size(); i += 3) {
        stored.push_back(rgb[i + 2]);
        stored.push_back(rgb[i + 1]);
        stored.push_back(rgb[i]);
        stored.push_back(0xa5);
    }
    bmp_file f;
    f.width = width;
    f.height = -(int32_t)height;
    f.bit_count = 32;
    f.data = stored;
    tiff_image image = convert(build_bmp(f));
    EXPECT_EQ(image.samples_per_pixel, 3);
    EXPECT_EQ(image.pixels, rgb);
}

TEST_F(Dibtag, PaletteImagesAndTheirColourMaps)
{
    struct {
        int bits;
        unsigned colours;
        uint32_t width;
    } cases[] = {{1, 2, 13}, {1, 2, 32}, {4, 16, 5}, {4, 11, 8}, {8, 256, 9}, {8, 37, 3}};
    for (const auto& c : cases) {
        palette_sample s = palette_image(c.width, 6, c.bits, c.colours, c.width);
        tiff_image image = convert(s.file);
        EXPECT_EQ(image.photometric, PHOTOMETRIC_PALETTE) << c.bits;
        EXPECT_EQ(image.bits_per_sample, c.bits);
        EXPECT_EQ(image.samples_per_pixel, 1);
        EXPECT_EQ(image.pixels, packed_rows(s.values, c.width, 6, c.bits)) << c.bits;
        expect_colour_map(s.colours, (size_t)1 << c.bits);
    }
}

TEST_F(Dibtag, ColoursUsedLimitsTheTable)
{
    // 20 entries are read; the rest of the map is 0 whatever follows.
    std::vector<rgb> colours = some_colours(20);
    bmp_file f;
    f.width = 2;
    f.height = 1;
    f.bit_count = 8;
    f.colours_used = 20;
    f.table = colour_table(colours);
    f.after_header = {};
    f.data = {19, 0, 0, 0};
    bytes file = build_bmp(f);
    convert(file);
    expect_colour_map(colours, 256);

    // 300 is more than an 8-bit image can have: 256 entries are read.
    std::vector<rgb> all = some_colours(256, 9);
    f.colours_used = 300;
    f.table = colour_table(all);
    f.data = {255, 7, 0, 0};
    tiff_image image = convert(build_bmp(f));
    EXPECT_EQ(image.pixels, bytes({255, 7}));
    expect_colour_map(all, 256);
}

TEST_F(Dibtag, HeaderKindsAndTableEntrySizes)
{
    std::vector<rgb> colours = some_colours(16, 5);
    bytes values = palette_values(6, 4, 16, 5);
    bytes data = store_rows(packed_rows(values, 6, 4, 4), 3, 4);
    bytes expected = packed_rows(values, 6, 4, 4);

    // Windows headers of 40, 108 and 124 bytes: 4-byte entries.
    for (uint32_t size : {40u, 108u, 124u}) {
        bmp_file f;
        f.header_size = size;
        f.width = 6;
        f.height = 4;
        f.bit_count = 4;
        f.table = colour_table(colours, 4);
        f.data = data;
        tiff_image image = convert(build_bmp(f));
        EXPECT_EQ(image.pixels, expected) << size;
        expect_colour_map(colours, 16);
    }
    // OS/2 1.x: 12-byte header with 16-bit sizes, 3-byte entries.
    {
        bmp_file f;
        f.header_size = 12;
        f.width = 6;
        f.height = 4;
        f.bit_count = 4;
        f.table = colour_table(colours, 3);
        f.data = data;
        tiff_image image = convert(build_bmp(f));
        EXPECT_EQ(image.pixels, expected);
        expect_colour_map(colours, 16);
    }
    // OS/2 2.x, 16 and 64 bytes: 3-byte entries when the space before the
    // pixel data is too small for 4-byte ones, else 4-byte entries.
    for (uint32_t size : {16u, 64u}) {
        for (int entry : {3, 4}) {
            bmp_file f;
            f.header_size = size;
            f.width = 6;
            f.height = 4;
            f.bit_count = 4;
            f.table = colour_table(colours, entry);
            f.data = data;
            tiff_image image = convert(build_bmp(f));
            EXPECT_EQ(image.pixels, expected) << size << " " << entry;
            expect_colour_map(colours, 16);
        }
    }
}

TEST_F(Dibtag, ShortOs2HeaderHasNoFieldsAfterTheBitCount)
{
    // In a 16-byte header, the bytes after the bit count are the colour
    // table; they are not read as compression or colours used.
    std::vector<rgb> colours(256);
    for (int i = 0; i < 256; i++)
        colours[i] = {(uint8_t)i, 2, 1};  // stored 01 02 00 01 02 01 ...
    bmp_file f;
    f.header_size = 16;
    f.width = 4;
    f.height = 2;
    f.bit_count = 8;
    f.table = colour_table(colours, 3);
    f.data = {1, 2, 3, 255, 4, 5, 6, 7};
    tiff_image image = convert(build_bmp(f));
    EXPECT_EQ(image.pixels, bytes({4, 5, 6, 7, 1, 2, 3, 255}));
    expect_colour_map(colours, 256);
}

TEST_F(Dibtag, SixteenBitPixelsBecomeEightBitRgb)
{
    const uint32_t width = 5, height = 2;
    bytes raw = pattern_bytes(2 * width * height, 6);
    raw[0] = 0xff;  // the unused top bit set
    raw[1] = 0xff;
    bytes expected;
    for (size_t i = 0; i < raw.size(); i += 2) {
        unsigned v = raw[i] | raw[i + 1] << 8;
        for (unsigned shift : {10u, 5u, 0u}) {
            unsigned c = v >> shift & 31;
            expected.push_back((uint8_t)(c << 3 | c >> 2));
        }
    }
    bmp_file f;
    f.width = width;
    f.height = -(int32_t)height;
    f.bit_count = 16;
    f.data = store_rows(raw, 2 * width, height, true);
    tiff_image image = convert(build_bmp(f));
    EXPECT_EQ(image.samples_per_pixel, 3);
    EXPECT_EQ(image.bits_per_sample, 8);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(image.pixels, expected);
    EXPECT_EQ(image.pixels[0], 255);
}

TEST_F(Dibtag, BitFieldMasks)
{
    struct {
        int bits;
        uint32_t masks[3];
        uint32_t header_size;  // 40: masks follow the header; 52 or more: inside it
    } cases[] = {
        {16, {0xf800, 0x07e0, 0x001f}, 40},
        {16, {0x7c00, 0x03e0, 0x001f}, 56},
        {16, {0x000f, 0x00f0, 0x0f00}, 108},
        {32, {0x00ff0000, 0x0000ff00, 0x000000ff}, 40},
        {32, {0x000000ff, 0x0000ff00, 0x00ff0000}, 124},
        {32, {0x3ff00000, 0x000ffc00, 0x000003ff}, 40},  // 10 bits a channel
        {32, {0xe0000000, 0x1c000000, 0}, 52},           // 3 bits, and no blue
    };
    const uint32_t width = 3, height = 4;
    for (const auto& c : cases) {
        size_t pixel_bytes = (size_t)c.bits / 8;
        bytes raw = pattern_bytes(pixel_bytes * width * height, c.bits + c.header_size);
        bytes expected;
        for (size_t i = 0; i < raw.size(); i += pixel_bytes) {
            uint32_t v = 0;
            for (size_t k = 0; k < pixel_bytes; k++)
                v |= (uint32_t)raw[i + k] << (8 * k);
            for (uint32_t mask : c.masks) {
                if (mask == 0) {
                    expected.push_back(0);
                    continue;
                }
                int low = 0, span = 0;
                while (!(mask >> low & 1))
                    low++;
                while (low + span < 32 && (mask >> (low + span) & 1))
                    span++;
                expected.push_back(widen((v & mask) >> low, span));
            }
        }
        bytes masks;
        for (uint32_t m : c.masks)
            put_le32(masks, m);
        bmp_file f;
        f.header_size = c.header_size;
        f.width = width;
        f.height = height;
        f.bit_count = c.bits;
        f.compression = 3;
        if (c.header_size >= 52)
            f.header_tail = masks;
        else
            f.after_header = masks;
        f.data = store_rows(raw, pixel_bytes * width, height);
        tiff_image image = convert(build_bmp(f));
        EXPECT_EQ(image.samples_per_pixel, 3);
        EXPECT_EQ(image.bits_per_sample, 8);
        EXPECT_EQ(image.pixels, expected) << c.bits << " bits, masks " << std::hex << c.masks[0];
    }
}

// ---- Run-length data -----------------------------------------------------

bmp_file rle_file(int bits, uint32_t width, uint32_t height, const bytes& stream,
                  uint32_t compression = 0)
{
    bmp_file f;
    f.width = (int32_t)width;
    f.height = (int32_t)height;
    f.bit_count = bits;
    f.compression = compression ? compression : bits == 8 ? 1 : 2;
    f.table = colour_table(some_colours((size_t)1 << bits));
    f.data = stream;
    return f;
}

TEST_F(Dibtag, RunLength8Streams)
{
    // Encoded runs, an absolute run with its pad byte, end of bitmap.
    tiff_image image = convert(build_bmp(
        rle_file(8, 11, 1, {0x03, 0x04, 0x05, 0x06, 0x00, 0x03, 0x45, 0x56, 0x67, 0x00, 0x00, 0x01})));
    EXPECT_EQ(image.pixels,
              bytes({0x04, 0x04, 0x04, 0x06, 0x06, 0x06, 0x06, 0x06, 0x45, 0x56, 0x67}));
    EXPECT_EQ(image.photometric, PHOTOMETRIC_PALETTE);
    expect_colour_map(some_colours(256), 256);

    // Rows are stored bottom-up; end of line after each full row.
    image = convert(build_bmp(rle_file(
        8, 4, 3, {0x04, 0x01, 0x00, 0x00, 0x02, 0x02, 0x02, 0x03, 0x00, 0x00, 0x00, 0x04, 9, 8, 7, 6,
                  0x00, 0x00, 0x00, 0x01})));
    EXPECT_EQ(image.pixels, bytes({9, 8, 7, 6, 2, 2, 3, 3, 1, 1, 1, 1}));

    // Delta: 3 right and one row on; what it passes over is 0. End of
    // bitmap leaves the rest 0 too.
    image = convert(build_bmp(rle_file(
        8, 5, 3, {0x01, 0x07, 0x00, 0x02, 0x03, 0x01, 0x01, 0x08, 0x00, 0x00, 0x02, 0x09, 0x00, 0x01})));
    EXPECT_EQ(image.pixels, bytes({9, 9, 0, 0, 0, 0, 0, 0, 0, 8, 7, 0, 0, 0, 0}));

    // The compression field says RLE4, but 8 bits pick the RLE8 rules.
    image = convert(build_bmp(rle_file(8, 2, 1, {0x02, 0x35, 0x00, 0x01}, 2)));
    EXPECT_EQ(image.pixels, bytes({0x35, 0x35}));
}

TEST_F(Dibtag, RunsKeepToTheirRow)
{
    // Widths that are not a multiple of 4 often have their row padding
    // coded as pixels; the padding must not spill into the next row.
    tiff_image image = convert(build_bmp(rle_file(
        8, 3, 2, {0x04, 0x07, 0x00, 0x00, 0x00, 0x04, 1, 2, 3, 4, 0x00, 0x00, 0x00, 0x01})));
    EXPECT_EQ(image.pixels, bytes({1, 2, 3, 7, 7, 7}));

    // A delta past the end of the row stops there.
    image = convert(build_bmp(
        rle_file(8, 4, 2, {0x01, 0x05, 0x00, 0x02, 0x09, 0x00, 0x02, 0x06, 0x00, 0x00, 0x01, 0x03, 0x00, 0x01})));
    EXPECT_EQ(image.pixels, bytes({3, 0, 0, 0, 5, 0, 0, 0}));
}

TEST_F(Dibtag, RunLength4Streams)
{
    // An encoded run alternates its two nibbles; an absolute run of 5
    // takes 3 bytes plus one pad byte.
    tiff_image image = convert(build_bmp(
        rle_file(4, 9, 1, {0x04, 0x12, 0x00, 0x05, 0x12, 0x34, 0x50, 0x00, 0x00, 0x01})));
    EXPECT_EQ(image.bits_per_sample, 4);
    // Width 9 is odd: the last byte's low nibble is 0.
    EXPECT_EQ(image.pixels, bytes({0x12, 0x12, 0x12, 0x34, 0x50}));

    // Width 5, rows of 3 bytes; an absolute run of 4 has no pad byte.
    image = convert(build_bmp(rle_file(
        4, 5, 2, {0x00, 0x04, 0xab, 0xcd, 0x01, 0xe0, 0x00, 0x00, 0x05, 0x9f, 0x00, 0x01})));
    EXPECT_EQ(image.pixels, bytes({0x9f, 0x9f, 0x90, 0xab, 0xcd, 0xe0}));
    expect_colour_map(some_colours(16), 16);
}

TEST_F(Dibtag, LargeRunLengthImage)
{
    // A whole picture of runs and absolute runs, bottom-up, as an encoder
    // writes it; compared with the pixels it was made from.
    const uint32_t width = 301, height = 77;
    bytes values = pattern_bytes((size_t)width * height, 11);
    for (size_t i = 0; i < values.size(); i++)
        if ((i / 13) % 3 == 0)
            values[i] = values[i - i % 13];  // runs
    bytes stream;
    for (uint32_t s = 0; s < height; s++) {
        const uint8_t* row = values.data() + (size_t)(height - 1 - s) * width;
        uint32_t x = 0;
        while (x < width) {
            uint32_t run = 1;
            while (x + run < width && run < 255 && row[x + run] == row[x])
                run++;
            if (run >= 3 || width - x < 3) {
                stream.push_back((uint8_t)run);
                stream.push_back(row[x]);
                x += run;
                continue;
            }
            uint32_t n = std::min<uint32_t>(width - x, 40);
            stream.push_back(0);
            stream.push_back((uint8_t)n);
            stream.insert(stream.end(), row + x, row + x + n);
            if (n & 1)
                stream.push_back(0);
            x += n;
        }
        stream.push_back(0);
        stream.push_back(0);
    }
    stream.push_back(0);
    stream.push_back(1);
    for (const char* scheme : {"packbits", "lzw", "none"}) {
        tiff_image image = convert(build_bmp(rle_file(8, width, height, stream)), {"-c", scheme});
        EXPECT_EQ(image.height, height);
        EXPECT_TRUE(image.pixels == values) << scheme;
    }
}

TEST_F(Dibtag, DamagedRunLengthData)
{
    // Data that ends before the bitmap does: reported, and the image holds
    // just the rows the data reached (the bottom ones).
    run_result r = convert_files({build_bmp(rle_file(8, 4, 2, {0x04, 0x05, 0x00, 0x00, 0x02}))});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: Run-length data ends before the end of the bitmap.\n");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 1u);
    EXPECT_EQ(image.pixels, bytes({5, 5, 5, 5}));
    // A row the data ends in is kept, its missing pixels 0.
    r = convert_files({build_bmp(rle_file(8, 4, 3, {0x04, 0x05, 0x00, 0x00, 0x02, 0x06, 0x01}))});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, bytes({6, 6, 0, 0, 5, 5, 5, 5}));

    // Data that ends with the last row needs no end of bitmap.
    image = convert(build_bmp(rle_file(8, 2, 2, {0x02, 0x05, 0x00, 0x00, 0x02, 0x06})));
    EXPECT_EQ(image.pixels, bytes({6, 6, 5, 5}));

    // A data offset beyond the end of the file: refused.
    bmp_file f = rle_file(8, 2, 2, {0x00, 0x01});
    f.colours_used = 2;
    f.table = colour_table(some_colours(2));
    f.data_offset = 5000;
    bytes file = build_bmp(f);
    file.resize(100);
    r = convert_files({file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: Run-length data offset lies beyond the end of the file.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));

    // Data that stops in a wide picture's second row: the rows reached are
    // written, no more (and no picture-sized buffer is held).
    bytes wide;
    for (int k = 0; k < 235; k++)
        wide.insert(wide.end(), {255, 1});
    wide.insert(wide.end(), {75, 1, 0x00, 0x00, 5, 2});
    r = convert_files({build_bmp(rle_file(8, 60000, 5, wide))});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 2u);
    ASSERT_EQ(image.pixels.size(), 120000u);
    bytes expected_rows(60000, 0);
    std::fill_n(expected_rows.begin(), 5, 2);
    expected_rows.resize(120000, 1);
    EXPECT_TRUE(image.pixels == expected_rows);

    // A few bytes that declare a huge picture, complete by its own end of
    // bitmap: refused, since no encoder makes such data, and the next
    // input follows.
    palette_sample next = palette_image(3, 2, 8, 16);
    r = convert_files({build_bmp(rle_file(8, 60000, 60000, {0x03, 0x07, 0x00, 0x01})), next.file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: Run-length data of 4 bytes cannot describe 60000x60000 pixels.\n");
    ASSERT_EQ(count_directories(path("out.tif")), 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, next.values);

    // More pixels than 32 bits count: refused before anything is allocated.
    f = rle_file(8, 70000, 70000, {0x00, 0x01});
    r = convert_files({build_bmp(f)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: Wrong image parameters; can't allocate space for uncompressed "
                     "scanline buffer.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

// ---- Refused images -------------------------------------------------------

TEST_F(Dibtag, RefusedImagesEndTheRun)
{
    rgb_sample good = rgb_image(2, 2);
    auto with = [](void (*change)(bmp_file&)) {
        bmp_file f;
        f.width = 2;
        f.height = 2;
        f.data = bytes(16, 0x40);
        change(f);
        return build_bmp(f);
    };
    struct {
        bytes file;
        std::string message;
    } cases[] = {
        {bytes({'B'}), "File is not BMP"},
        {bytes({'M', 'B', 0, 0}), "File is not BMP"},
        {bytes({'B', 'M', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), "Cannot read BMP file header"},
        {bytes(good.file.begin(), good.file.begin() + 30), "Cannot read BMP info header"},
        {with([](bmp_file& f) { f.bit_count = 2; }), "Cannot process BMP file with bit count 2"},
        {with([](bmp_file& f) { f.bit_count = 0; }), "Cannot process BMP file with bit count 0"},
        {with([](bmp_file& f) { f.bit_count = -8; }), "Cannot process BMP file with bit count -8"},
        {with([](bmp_file& f) { f.header_size = 8; }), "Cannot process BMP file with bit count 0"},
        {with([](bmp_file& f) { f.compression = 4; }), "Cannot process BMP file with compression 4"},
        {with([](bmp_file& f) { f.compression = 0xffffffff; }),
         "Cannot process BMP file with compression 4294967295"},
        {with([](bmp_file& f) { f.compression = 1; }),
         "Cannot process run-length encoded BMP file with bit count 24"},
        {with([](bmp_file& f) {
             f.compression = 2;
             f.bit_count = 1;
         }),
         "Cannot process run-length encoded BMP file with bit count 1"},
        {with([](bmp_file& f) { f.compression = 3; }),
         "Cannot process BMP file with bit-field masks and bit count 24"},
        {with([](bmp_file& f) { f.width = 0; }),
         "Wrong image parameters; can't allocate space for scanline buffer"},
        {with([](bmp_file& f) { f.width = -5; }),
         "Wrong image parameters; can't allocate space for scanline buffer"},
        {with([](bmp_file& f) { f.height = 0; }),
         "Wrong image parameters; can't allocate space for scanline buffer"},
        {with([](bmp_file& f) {
             f.bit_count = 32;
             f.width = 0x7fffffff;
         }),
         "Wrong image parameters; can't allocate space for scanline buffer"},
    };
    for (const auto& c : cases) {
        // The good image before stays, the one after is never read.
        run_result r = convert_files({good.file, c.file, good.file});
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "in1.bmp: " + c.message + ".\n");
        EXPECT_EQ(count_directories(path("out.tif")), 1) << c.message;
        // Alone, it leaves no output at all.
        r = convert_files({c.file});
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_FALSE(file_exists(path("out.tif"))) << c.message;
    }
}

TEST_F(Dibtag, TablesAndMasksTheFileDoesNotHold)
{
    palette_sample p = palette_image(4, 2, 8, 256);
    bytes cut(p.file.begin(), p.file.begin() + 54 + 500);
    run_result r = convert_files({cut});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: Cannot read BMP color table.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));

    bmp_file f;
    f.width = 1;
    f.height = 1;
    f.bit_count = 16;
    f.compression = 3;
    bytes file = build_bmp(f);
    file.resize(54 + 8);
    r = convert_files({file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: Cannot read BMP bit-field masks.\n");
}

// ---- Several inputs --------------------------------------------------------

TEST_F(Dibtag, SeveralInputsBecomeSeveralDirectories)
{
    rgb_sample a = rgb_image(7, 3, 1);
    palette_sample b = palette_image(5, 4, 4, 16, 2);
    palette_sample c = palette_image(9, 2, 1, 2, 3);
    run_result r = convert_files({a.file, b.file, c.file}, {"-c", "lzw"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(count_directories(path("out.tif")), 3);
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image, 0));
    EXPECT_EQ(image.width, 7u);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(image.compression, COMPRESSION_LZW);
    EXPECT_EQ(image.pixels, a.pixels);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image, 1));
    EXPECT_EQ(image.width, 5u);
    EXPECT_EQ(image.bits_per_sample, 4);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_PALETTE);
    EXPECT_EQ(image.pixels, packed_rows(b.values, 5, 4, 4));
    expect_colour_map(b.colours, 16, 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image, 2));
    EXPECT_EQ(image.width, 9u);
    EXPECT_EQ(image.bits_per_sample, 1);
    EXPECT_EQ(image.pixels, packed_rows(c.values, 9, 2, 1));
    expect_colour_map(c.colours, 2, 2);
}

TEST_F(Dibtag, InputThatCannotBeOpened)
{
    rgb_sample a = rgb_image(3, 3);
    write_file(path("a.bmp"), a.file);
    run_result r = run("dibtag", {"a.bmp", "missing.bmp", "a.bmp", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "missing.bmp: Cannot open input file.\n");
    EXPECT_EQ(count_directories(path("out.tif")), 1);
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, a.pixels);

    r = run("dibtag", {"missing.bmp", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(file_exists(path("out.tif")));
}

// ---- Short and failed rows ---------------------------------------------------

TEST_F(Dibtag, ShortRowsKeepTheRowsWritten)
{
    rgb_sample a = rgb_image(6, 2, 1);
    rgb_sample whole = rgb_image(5, 9, 2, true);  // top-down: 16-byte rows
    bytes cut(whole.file.begin(), whole.file.end() - 16 * 5 - 7);
    for (const char* scheme : {"packbits", "lzw", "jpeg"}) {
        run_result r = convert_files({a.file, cut, a.file}, {"-c", scheme, "-r", "8"});
        EXPECT_EQ(r.status, 1) << scheme;
        EXPECT_EQ(r.err.substr(0, 32), "in1.bmp: scanline 3: Read error.") << scheme << r.err;
        ASSERT_EQ(count_directories(path("out.tif")), 3) << scheme;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image, 1)) << scheme;
        EXPECT_EQ(image.height, 3u) << scheme;
        if (std::string(scheme) != "jpeg") {
            EXPECT_EQ(image.pixels, bytes(whole.pixels.begin(), whole.pixels.begin() + 45));
        }
        ASSERT_TRUE(read_tiff(path("out.tif"), &image, 2));
        EXPECT_EQ(image.height, 2u);
    }

    // Top-down rows under a header claiming a million more than the file
    // holds: the strip tables are sized for the rows the file holds.
    bytes rows = pattern_bytes(3 * 5 * 3, 4);
    bmp_file claim;
    claim.width = 5;
    claim.height = -1000003;
    claim.data = store_rows(rows, 15, 3, true);
    run_result r = convert_files({build_bmp(claim)}, {"-c", "none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in0.bmp: scanline 3: Read error.\n");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 3u);
    for (size_t i = 0; i < rows.size(); i += 3)
        std::swap(rows[i], rows[i + 2]);
    EXPECT_EQ(image.pixels, rows);
    EXPECT_LT(read_file(path("out.tif")).size(), 4096u);

    // Bottom-up, the first row written is the last one stored: with the
    // file cut short no row can be written, and no directory is kept.
    rgb_sample bottom_up = rgb_image(5, 9, 3);
    cut.assign(bottom_up.file.begin(), bottom_up.file.end() - 1);
    r = convert_files({a.file, cut, a.file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in1.bmp: scanline 0: Read error.\n");
    EXPECT_EQ(count_directories(path("out.tif")), 2);
    r = convert_files({cut, a.file});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(count_directories(path("out.tif")), 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, a.pixels);
    r = convert_files({cut});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Dibtag, ImagesTheCodecRefusesLeaveNoDirectory)
{
    // JPEG takes no palette image: each such image is reported and left
    // out; the others are written.
    rgb_sample a = rgb_image(16, 16, 1);
    palette_sample p = palette_image(16, 16, 8, 256);
    bytes rle = build_bmp(rle_file(8, 4, 2, {0x04, 0x01, 0x00, 0x00, 0x04, 0x02, 0x00, 0x01}));
    for (const std::vector<bytes>& files :
         {std::vector<bytes>{p.file, a.file, rle, a.file}, {a.file, p.file, rle, a.file, p.file}}) {
        run_result r = convert_files(files, {"-c", "jpeg"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("scanline 0: Write error"), std::string::npos) << r.err;
        ASSERT_EQ(count_directories(path("out.tif")), 2);
        for (int d = 0; d < 2; d++) {
            tiff_image image;
            ASSERT_TRUE(read_tiff(path("out.tif"), &image, d));
            EXPECT_EQ(image.photometric, PHOTOMETRIC_YCBCR);
            EXPECT_EQ(image.width, 16u);
        }
    }
    run_result r = convert_files({p.file, rle}, {"-c", "jpeg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Dibtag, FailedWritesAreFailures)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    rgb_sample a = rgb_image(40, 30);
    write_file(path("a.bmp"), a.file);
    run_result r = run("dibtag", {"-c", "none", "a.bmp", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

// ---- Compression and strips -----------------------------------------------

TEST_F(Dibtag, CompressionAndStripOptions)
{
    rgb_sample a = rgb_image(37, 21, 5);
    struct {
        std::vector<std::string> options;
        uint16_t scheme;
        int predictor;  // -1: absent
    } cases[] = {
        {{}, COMPRESSION_PACKBITS, -1},
        {{"-c", "none"}, COMPRESSION_NONE, -1},
        {{"-c", "lzw"}, COMPRESSION_LZW, -1},
        {{"-c", "lzw:2"}, COMPRESSION_LZW, 2},
        {{"-c", "zip:2"}, COMPRESSION_ADOBE_DEFLATE, 2},
        {{"-c", "zip:2", "-c", "packbits"}, COMPRESSION_PACKBITS, -1},
    };
    for (const auto& c : cases) {
        std::string what = ::testing::PrintToString(c.options);
        tiff_image image = convert(a.file, c.options);
        uint16_t scheme = c.scheme;
        if (scheme == COMPRESSION_ADOBE_DEFLATE && image.compression == COMPRESSION_DEFLATE)
            scheme = COMPRESSION_DEFLATE;
        EXPECT_EQ(image.compression, scheme) << what;
        EXPECT_EQ(image.pixels, a.pixels) << what;
        tiff_handle t = open_tiff(path("out.tif"));
        uint16_t predictor = 0;
        bool present = TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor);
        EXPECT_EQ(present ? predictor : -1, c.predictor) << what;
    }
    EXPECT_EQ(convert(a.file, {"-r", "5"}).rows_per_strip, 5u);
    uint32_t chosen = convert(a.file).rows_per_strip;
    EXPECT_EQ(convert(a.file, {"-r", "0"}).rows_per_strip, chosen);
}

TEST_F(Dibtag, JpegOutput)
{
    // A smooth picture 240 pixels wide: libtiff's default strip height for
    // such rows is no multiple of 8 until the codec adjusts it.
    const uint32_t width = 240, height = 40;
    bytes rgb(3 * width * height);
    for (size_t i = 0; i < rgb.size(); i++)
        rgb[i] = (uint8_t)(60 + (i % (3 * width)) / 8 + (i / (3 * width)));
    bytes bgr = rgb;
    for (size_t i = 0; i < bgr.size(); i += 3)
        std::swap(bgr[i], bgr[i + 2]);
    bmp_file f;
    f.width = width;
    f.height = height;
    f.data = store_rows(bgr, 3 * width, height);
    bytes file = build_bmp(f);

    tiff_image image = convert(file, {"-c", "jpeg"});
    EXPECT_EQ(image.compression, COMPRESSION_JPEG);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_YCBCR);
    ASSERT_EQ(image.pixels.size(), rgb.size());
    for (size_t i = 0; i < rgb.size(); i++)
        ASSERT_NEAR(image.pixels[i], rgb[i], 10) << i;
    tiff_handle t = open_tiff(path("out.tif"));
    int quality = 0;
    TIFFGetField(t.get(), TIFFTAG_JPEGQUALITY, &quality);
    EXPECT_EQ(quality, 75);
    t.reset();

    image = convert(file, {"-c", "jpeg:r"});
    EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
    for (size_t i = 0; i < rgb.size(); i++)
        ASSERT_NEAR(image.pixels[i], rgb[i], 10) << i;
}

// ---- Any bytes at all ------------------------------------------------------


std::vector<bytes> sample_files()
{
    std::vector<bytes> samples;
    samples.push_back(rgb_image(5, 3).file);
    samples.push_back(rgb_image(3, 3, 2, true).file);
    samples.push_back(palette_image(7, 3, 4, 16).file);
    samples.push_back(palette_image(6, 2, 8, 5).file);
    samples.push_back(build_bmp(rle_file(
        8, 5, 3, {0x02, 0x07, 0x00, 0x03, 1, 2, 3, 0, 0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x03, 0x09,
                  0x00, 0x00, 0x05, 0x04, 0x00, 0x01})));
    samples.push_back(build_bmp(
        rle_file(4, 7, 2, {0x00, 0x05, 0x12, 0x34, 0x50, 0x00, 0x02, 0x6a, 0x00, 0x00, 0x07, 0x21, 0x00, 0x01})));
    bmp_file masks;
    masks.width = 3;
    masks.height = 2;
    masks.bit_count = 16;
    masks.compression = 3;
    put_le32(masks.after_header, 0xf800);
    put_le32(masks.after_header, 0x07e0);
    put_le32(masks.after_header, 0x001f);
    masks.data = pattern_bytes(16);
    samples.push_back(build_bmp(masks));
    bmp_file os2;
    os2.header_size = 12;
    os2.width = 3;
    os2.height = 2;
    os2.bit_count = 1;
    os2.table = colour_table(some_colours(2), 3);
    os2.data = pattern_bytes(8);
    samples.push_back(build_bmp(os2));
    return samples;
}

// Cuts of each sample at many lengths.
std::vector<bytes> cuts_of(const std::vector<bytes>& samples)
{
    std::vector<bytes> cuts;
    for (const bytes& s : samples) {
        // Cuts inside the file header fail alike; past it, every few bytes.
        for (size_t n : {0, 1, 2, 17})
            cuts.emplace_back(s.begin(), s.begin() + (ptrdiff_t)n);
        for (size_t n = 18; n < s.size(); n += n < 60 ? 5 : 13)
            cuts.emplace_back(s.begin(), s.begin() + (ptrdiff_t)n);
    }
    return cuts;
}

// Copies of each sample with a few bytes changed, the same on every run.
std::vector<bytes> corruptions_of(const std::vector<bytes>& samples, uint32_t seed)
{
    std::vector<bytes> files;
    uint32_t x = seed;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (const bytes& s : samples) {
        for (int k = 0; k < 14; k++) {
            bytes b = s;
            int changes = 1 + (int)(next() % 4);
            for (int c = 0; c < changes; c++) {
                size_t at = next() % b.size();
                // Mostly in the headers, where the sizes are.
                if (next() % 3 != 0)
                    at %= std::min<size_t>(b.size(), 70);
                b[at] = (uint8_t)(next() % 3 == 0 ? 0xff : next());
            }
            files.push_back(b);
        }
    }
    return files;
}

std::vector<bytes> pick(const std::vector<bytes>& all, std::initializer_list<size_t> which)
{
    std::vector<bytes> some;
    for (size_t i : which)
        some.push_back(all[i]);
    return some;
}

// The samples run: 0-3 plain rows, 4-5 run-length, 6 bit fields, 7 OS/2.
TEST_F(Dibtag, EveryCutOfAFileWithPlainRows)
{
    expect_safe(cuts_of(pick(sample_files(), {0, 1, 2, 3})));
}

TEST_F(Dibtag, EveryCutOfOtherFiles)
{
    expect_safe(cuts_of(pick(sample_files(), {4, 5, 6, 7})));
}

TEST_F(Dibtag, CorruptedFilesWithPlainRows)
{
    expect_safe(corruptions_of(pick(sample_files(), {0, 1, 2, 3}), 12345));
}

TEST_F(Dibtag, CorruptedOtherFiles)
{
    expect_safe(corruptions_of(pick(sample_files(), {4, 5, 6, 7}), 54321));
}

}  // namespace
