// suntag through its command line: rasterfiles built byte by byte in either
// byte order, the TIFF read back and compared pixel by pixel.
#include "harness.h"

#include <algorithm>

namespace {

// ---- Building rasterfiles ---------------------------------------------------

struct raster_file {
    bool big_endian = true;
    uint32_t width = 1, height = 1, depth = 8;
    uint32_t length = 0;  // 0: the raster's size
    uint32_t type = 1;
    uint32_t map_type = 0;
    int64_t map_length = -1;  // -1: the size of `map`
    bytes map;                // red bytes, then green, then blue
    bytes raster;
};

bytes build_raster(const raster_file& f)
{
    bytes b;
    auto put = [&](uint32_t v) { f.big_endian ? put_be32(b, v) : put_le32(b, v); };
    put(0x59a66a95);
    put(f.width);
    put(f.height);
    put(f.depth);
    put(f.length ? f.length : (uint32_t)f.raster.size());
    put(f.type);
    put(f.map_type);
    put(f.map_length < 0 ? (uint32_t)f.map.size() : (uint32_t)f.map_length);
    b.insert(b.end(), f.map.begin(), f.map.end());
    b.insert(b.end(), f.raster.begin(), f.raster.end());
    return b;
}

// Pads each of `height` rows of `row_bytes` to a multiple of 2 bytes.
bytes pad_rows(const bytes& rows, size_t row_bytes, uint32_t height)
{
    bytes out;
    for (uint32_t r = 0; r < height; r++) {
        out.insert(out.end(), rows.begin() + (ptrdiff_t)(r * row_bytes),
                   rows.begin() + (ptrdiff_t)((r + 1) * row_bytes));
        if (row_bytes % 2)
            out.push_back(0x5a);
    }
    return out;
}

// Byte-encodes `raw`: runs of 3 or more (and every 0x80) become escapes.
bytes byte_encode(const bytes& raw)
{
    bytes out;
    for (size_t i = 0; i < raw.size();) {
        size_t run = 1;
        while (i + run < raw.size() && run < 256 && raw[i + run] == raw[i])
            run++;
        if (run >= 3 || raw[i] == 0x80) {
            if (raw[i] == 0x80 && run < 3) {
                out.push_back(0x80);
                out.push_back(0);
                i++;
                continue;
            }
            out.push_back(0x80);
            out.push_back((uint8_t)(run - 1));
            out.push_back(raw[i]);
            i += run;
        } else {
            out.push_back(raw[i++]);
        }
    }
    return out;
}

class Suntag : public ToolTest {
protected:
    run_result convert_file(const bytes& file, std::vector<std::string> options = {})
    {
        write_file(path("in.ras"), file);
        options.push_back("in.ras");
        options.push_back("out.tif");
        return run("suntag", options);
    }

    // Converts a file that must convert cleanly and reads it back.
    tiff_image convert(const bytes& file, std::vector<std::string> options = {})
    {
        run_result r = convert_file(file, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
        tiff_image image;
        read_tiff(path("out.tif"), &image);
        return image;
    }

    // The output's colour map, one vector per colour.
    std::vector<std::vector<uint16_t>> colour_map(size_t entries)
    {
        tiff_handle t = open_tiff(path("out.tif"));
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!t || !TIFFGetField(t.get(), TIFFTAG_COLORMAP, &r, &g, &b)) {
            ADD_FAILURE() << "no colour map";
            return {};
        }
        return {std::vector<uint16_t>(r, r + entries), std::vector<uint16_t>(g, g + entries),
                std::vector<uint16_t>(b, b + entries)};
    }

    // Runs suntag on each file: whatever it says, any output it leaves
    // must read back whole, and a run that reports nothing must succeed.
    void expect_safe(const std::vector<bytes>& files)
    {
        for (size_t i = 0; i < files.size(); i++) {
            remove(path("out.tif").c_str());
            run_result r = convert_file(files[i]);
            ASSERT_TRUE(r.status == 0 || r.status == 1 || (r.status >= 249 && r.status <= 254))
                << i << ": " << r.status << "\n" << r.err;
            if (r.status == 0) {
                EXPECT_TRUE(only_warnings(r.err)) << i << ": " << r.err;
            }
            if (file_exists(path("out.tif"))) {
                tiff_image image;
                EXPECT_TRUE(read_tiff(path("out.tif"), &image)) << i;
            }
            if (HasFailure()) {
                write_file(path("failing.ras"), files[i]);
                return;
            }
        }
    }
};

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: suntag [options] input.ras output.tif\n"
           "where options are:\n"
           " -r #\t\tmake each strip have no more than # rows\n"
           "\n"
           " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding\n"
           " -c zip[:opts]\tcompress output with deflate encoding\n"
           " -c jpeg[:opts]\tcompress output with JPEG encoding\n"
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
           " -h\t\tthis help message\n";
}

// A 24-bit standard image and the RGB rows it must become.
struct rgb_sample {
    raster_file file;
    bytes pixels;
};

rgb_sample rgb_image(uint32_t width, uint32_t height, uint32_t seed = 1)
{
    rgb_sample s;
    s.pixels = pattern_bytes((size_t)3 * width * height, seed);
    bytes bgr = s.pixels;
    for (size_t i = 0; i < bgr.size(); i += 3)
        std::swap(bgr[i], bgr[i + 2]);
    s.file.width = width;
    s.file.height = height;
    s.file.depth = 24;
    s.file.raster = pad_rows(bgr, 3 * width, height);
    return s;
}

// ---- Command line ----------------------------------------------------------

TEST_F(Suntag, UsageText)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"in.ras"}, {"a", "b", "c"}, {"-h"}, {"-h", "a", "b"},
          {"-c", "g4", "a", "b"}, {"-c", "jpeg:", "a", "b"}, {"-c", "Lzw", "a", "b"}}) {
        run_result r = run("suntag", args);
        EXPECT_EQ(r.status, 255) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err, expected_usage()) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Suntag, UnknownOptionsAreIgnored)
{
    rgb_sample s = rgb_image(3, 2);
    write_file(path("in.ras"), build_raster(s.file));
    run_result r = run("suntag", {"-z", "in.ras", "out.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("invalid option -- 'z'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("usage"), std::string::npos) << r.err;
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, s.pixels);
}

// ---- Header checks ---------------------------------------------------------

TEST_F(Suntag, BadInputsAndHeaders)
{
    run_result r = run("suntag", {"missing.ras", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "missing.ras: Can not open.\n");

    bytes good = build_raster(rgb_image(2, 2).file);
    r = convert_file(bytes(good.begin(), good.begin() + 31));
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "in.ras: Can not read header.\n");

    struct {
        raster_file file;
        std::string message;
    } cases[4 * 2 + 5];
    size_t n = 0;
    for (uint32_t depth : {0u, 2u, 4u, 16u}) {
        for (bool big : {true, false}) {
            cases[n].file.depth = depth;
            cases[n].file.big_endian = big;
            cases[n].file.raster = bytes(64, 1);
            cases[n++].message = "in.ras: Can not handle depth " + std::to_string(depth) + ".\n";
        }
    }
    auto not_raster = [&](uint32_t width, uint32_t height, uint32_t depth) {
        cases[n].file.width = width;
        cases[n].file.height = height;
        cases[n].file.depth = depth;
        cases[n].file.raster = bytes(64, 1);
        cases[n++].message = "in.ras: Not a rasterfile.\n";
    };
    not_raster(0, 5, 8);
    not_raster(5, 0, 24);
    not_raster(0x80000000u, 1, 8);   // rows longer than 2 GB
    not_raster(0x30000000u, 1, 24);  // 3 bytes a pixel overflows
    not_raster(0xffffffffu, 1, 32);
    for (size_t i = 0; i < n; i++) {
        write_file(path("out.tif"), "old contents");
        r = convert_file(build_raster(cases[i].file));
        EXPECT_EQ(r.status, 253) << i;
        EXPECT_EQ(r.err, cases[i].message) << i;
        EXPECT_EQ(read_file(path("out.tif")), "old contents") << i;
    }

    // Only the magic number's four bytes decide.
    bytes wrong = good;
    wrong[3] = 0x96;
    r = convert_file(wrong);
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.err, "in.ras: Not a rasterfile.\n");
    bytes mixed = good;
    std::copy_n("\x95\x6a\xa6\x59", 4, mixed.begin());  // little-endian magic, big-endian fields
    r = convert_file(mixed);
    EXPECT_EQ(r.status, 253);

    r = convert_file(good, {"-c", "none"});
    EXPECT_EQ(r.status, 0);
    r = run("suntag", {"in.ras", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 252);
    EXPECT_NE(r.err.find("no/such/dir/out.tif"), std::string::npos);
}

// ---- True colour -----------------------------------------------------------

TEST_F(Suntag, StandardTrueColourInBothByteOrders)
{
    for (uint32_t width : {1u, 2u, 3u, 8u}) {
        for (bool big : {true, false}) {
            rgb_sample s = rgb_image(width, 5, width);
            s.file.big_endian = big;
            tiff_image image = convert(build_raster(s.file));
            EXPECT_EQ(image.width, width);
            EXPECT_EQ(image.height, 5u);
            EXPECT_EQ(image.samples_per_pixel, 3);
            EXPECT_EQ(image.bits_per_sample, 8);
            EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
            EXPECT_EQ(image.compression, COMPRESSION_LZW);
            EXPECT_EQ(image.orientation, ORIENTATION_TOPLEFT);
            EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
            EXPECT_EQ(image.pixels, s.pixels) << width << (big ? " big" : " little");
        }
    }
    EXPECT_TRUE(tiff_messages().empty());
}

TEST_F(Suntag, OtherTypesKeepTheirByteOrder)
{
    bytes rgb = pattern_bytes(3 * 3 * 2, 3);
    for (uint32_t type : {0u, 3u, 5u}) {
        raster_file f;
        f.width = 3;
        f.height = 2;
        f.depth = 24;
        f.type = type;
        f.raster = pad_rows(rgb, 9, 2);
        EXPECT_EQ(convert(build_raster(f)).pixels, rgb) << type;
    }
}

TEST_F(Suntag, ThirtyTwoBitPixels)
{
    const uint32_t width = 3, height = 2;
    bytes rgb = pattern_bytes(3 * width * height, 8);
    bytes xbgr, xrgb;
    for (size_t i = 0; i < rgb.size(); i += 3) {
        xbgr.insert(xbgr.end(), {0xee, rgb[i + 2], rgb[i + 1], rgb[i]});
        xrgb.insert(xrgb.end(), {0x11, rgb[i], rgb[i + 1], rgb[i + 2]});
    }
    raster_file f;
    f.width = width;
    f.height = height;
    f.depth = 32;
    f.raster = xbgr;
    tiff_image image = convert(build_raster(f));
    EXPECT_EQ(image.samples_per_pixel, 3);
    EXPECT_EQ(image.bits_per_sample, 8);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(image.pixels, rgb);
    f.type = 3;
    f.raster = xrgb;
    f.big_endian = false;
    EXPECT_EQ(convert(build_raster(f)).pixels, rgb);
}

TEST_F(Suntag, ColourMapOnDeepImagesIsSkipped)
{
    rgb_sample s = rgb_image(4, 3, 2);
    s.file.map_type = 1;
    s.file.map = pattern_bytes(3 * 300);  // longer than any 8-bit map
    tiff_image image = convert(build_raster(s.file));
    EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(image.pixels, s.pixels);
    tiff_handle t = open_tiff(path("out.tif"));
    uint16_t *r, *g, *b;
    EXPECT_FALSE(TIFFGetField(t.get(), TIFFTAG_COLORMAP, &r, &g, &b));
    t.reset();

    s.file.map.clear();
    EXPECT_EQ(convert(build_raster(s.file)).pixels, s.pixels);

    // A map the file does not hold.
    s.file.map_length = 100000;
    s.file.map = pattern_bytes(5000);
    s.file.raster.clear();
    remove(path("out.tif").c_str());
    run_result res = convert_file(build_raster(s.file));
    EXPECT_EQ(res.status, 250);
    EXPECT_EQ(res.err, "in.ras: Read error on colormap.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

// ---- Grey, bilevel and palette images ----------------------------------------

TEST_F(Suntag, GreyAndBilevelImages)
{
    bytes grey = pattern_bytes(5 * 4, 4);
    raster_file f;
    f.width = 5;
    f.height = 4;
    f.depth = 8;
    f.raster = pad_rows(grey, 5, 4);
    tiff_image image = convert(build_raster(f));
    EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(image.bits_per_sample, 8);
    EXPECT_EQ(image.samples_per_pixel, 1);
    EXPECT_EQ(image.compression, COMPRESSION_LZW);
    EXPECT_EQ(image.pixels, grey);

    // 1-bit rows are padded to 16 bits; a 1 bit is black.
    for (uint32_t width : {8u, 16u, 20u, 33u}) {
        size_t packed = (width + 7) / 8, stored = (width + 15) / 16 * 2;
        bytes bits = pattern_bytes(packed * 3, width);
        bytes raster;
        for (int r = 0; r < 3; r++) {
            raster.insert(raster.end(), bits.begin() + (ptrdiff_t)(r * packed),
                          bits.begin() + (ptrdiff_t)((r + 1) * packed));
            raster.resize(raster.size() + stored - packed, 0xff);
        }
        f.width = width;
        f.height = 3;
        f.depth = 1;
        f.raster = raster;
        image = convert(build_raster(f));
        EXPECT_EQ(image.bits_per_sample, 1);
        EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISWHITE);
        ASSERT_EQ(image.pixels.size(), bits.size()) << width;
        for (size_t i = 0; i < bits.size(); i++) {
            // Only the bits of real pixels count in the last byte of a row.
            unsigned used = (i % packed == packed - 1 && width % 8) ? 0xff00 >> (width % 8) & 0xff : 0xff;
            EXPECT_EQ(image.pixels[i] & used, bits[i] & used) << width << " byte " << i;
        }
    }
}

TEST_F(Suntag, ColourMaps)
{
    bytes values = pattern_bytes(6 * 3, 2);
    bytes map = pattern_bytes(768, 5);
    map[0] = 0xff;
    raster_file f;
    f.width = 6;
    f.height = 3;
    f.depth = 8;
    f.type = 1;
    f.map_type = 1;
    f.map = map;
    f.raster = values;
    tiff_image image = convert(build_raster(f));
    EXPECT_EQ(image.photometric, PHOTOMETRIC_PALETTE);
    EXPECT_EQ(image.compression, COMPRESSION_PACKBITS);
    EXPECT_EQ(image.pixels, values);
    auto cmap = colour_map(256);
    ASSERT_EQ(cmap.size(), 3u);
    for (size_t i = 0; i < 256; i++) {
        EXPECT_EQ(cmap[0][i], map[i] * 257) << i;
        EXPECT_EQ(cmap[1][i], map[256 + i] * 257) << i;
        EXPECT_EQ(cmap[2][i], map[512 + i] * 257) << i;
    }
    EXPECT_EQ(cmap[0][0], 0xffff);

    // A 48-byte map: 16 entries per colour, the rest black. In little-endian too.
    f.map = bytes(map.begin(), map.begin() + 48);
    f.big_endian = false;
    convert(build_raster(f));
    cmap = colour_map(256);
    for (size_t i = 0; i < 256; i++) {
        EXPECT_EQ(cmap[0][i], i < 16 ? map[i] * 257 : 0) << i;
        EXPECT_EQ(cmap[1][i], i < 16 ? map[16 + i] * 257 : 0) << i;
        EXPECT_EQ(cmap[2][i], i < 16 ? map[32 + i] * 257 : 0) << i;
    }

    // 1-bit with a two-entry map.
    f.depth = 1;
    f.width = 16;
    f.height = 2;
    f.map = {10, 250, 20, 240, 30, 230};
    f.raster = {0xf0, 0x0f, 0x12, 0x34};
    image = convert(build_raster(f));
    EXPECT_EQ(image.photometric, PHOTOMETRIC_PALETTE);
    EXPECT_EQ(image.bits_per_sample, 1);
    EXPECT_EQ(image.pixels, f.raster);
    cmap = colour_map(2);
    EXPECT_EQ(cmap[0], std::vector<uint16_t>({10 * 257, 250 * 257}));
    EXPECT_EQ(cmap[2], std::vector<uint16_t>({30 * 257, 230 * 257}));
}

TEST_F(Suntag, BadColourMaps)
{
    raster_file f;
    f.width = 2;
    f.height = 2;
    f.depth = 8;
    f.map_type = 1;
    f.raster = bytes(4, 1);
    struct {
        bytes map;
        int64_t length;
        int status;
        std::string message;
    } cases[] = {
        {pattern_bytes(1024), -1, 249, "in.ras: Huh, 1024 colormap entries, should be 768?\n"},
        {{}, 0, 250, "in.ras: Read error on colormap.\n"},
        {pattern_bytes(100), 300, 250, "in.ras: Read error on colormap.\n"},
        {pattern_bytes(8), 0xffffffff, 249,
         "in.ras: Huh, 4294967295 colormap entries, should be 768?\n"},
    };
    for (const auto& c : cases) {
        f.map = c.map;
        f.map_length = c.length;
        bytes file = build_raster(f);
        if (c.length == 300)
            file.resize(32 + 100);
        write_file(path("out.tif"), "old contents");
        run_result r = convert_file(file);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_EQ(r.err, c.message);
        // The output is not touched.
        EXPECT_EQ(read_file(path("out.tif")), "old contents");
    }
    // Depth 1 allows 6 bytes of map.
    f.depth = 1;
    f.map = bytes(9, 1);
    f.map_length = -1;
    run_result r = convert_file(build_raster(f));
    EXPECT_EQ(r.status, 249);
    EXPECT_EQ(r.err, "in.ras: Huh, 9 colormap entries, should be 6?\n");
}

// ---- Byte-encoded rasters ------------------------------------------------------

TEST_F(Suntag, ByteEncodedRasters)
{
    // By hand: a literal, an escaped 0x80, a run crossing a row end.
    raster_file f;
    f.width = 4;
    f.height = 2;
    f.depth = 8;
    f.type = 2;
    f.raster = {0x07, 0x80, 0x00, 0x80, 0x02, 0x09, 0x80, 0x02, 0x80};
    EXPECT_EQ(convert(build_raster(f)).pixels, bytes({0x07, 0x80, 0x09, 0x09, 0x09, 0x80, 0x80, 0x80}));

    // A whole picture with long runs and many 0x80 bytes.
    const uint32_t width = 50, height = 30;
    bytes grey = pattern_bytes(width * height, 7);
    for (size_t i = 0; i < grey.size(); i++) {
        if ((i / 17) % 2)
            grey[i] = 0x80;
        else if ((i / 5) % 3 == 0)
            grey[i] = 0x42;
    }
    f.width = width;
    f.height = height;
    f.raster = byte_encode(grey);
    f.big_endian = false;
    tiff_image image = convert(build_raster(f));
    EXPECT_EQ(image.pixels, grey);
    EXPECT_LT(f.raster.size(), grey.size());
}

// ---- JPEG, strips, compression -------------------------------------------------

TEST_F(Suntag, CompressionOptions)
{
    rgb_sample s = rgb_image(37, 21, 5);
    bytes file = build_raster(s.file);
    struct {
        std::vector<std::string> options;
        uint16_t scheme;
        int predictor;
    } cases[] = {
        {{"-c", "none"}, COMPRESSION_NONE, -1},
        {{"-c", "packbits"}, COMPRESSION_PACKBITS, -1},
        {{"-c", "lzw:2"}, COMPRESSION_LZW, 2},
        {{"-c", "zip"}, COMPRESSION_ADOBE_DEFLATE, -1},
        {{"-c", "zip:2", "-r", "4"}, COMPRESSION_ADOBE_DEFLATE, 2},
    };
    for (const auto& c : cases) {
        std::string what = ::testing::PrintToString(c.options);
        tiff_image image = convert(file, c.options);
        uint16_t scheme = c.scheme;
        if (scheme == COMPRESSION_ADOBE_DEFLATE && image.compression == COMPRESSION_DEFLATE)
            scheme = COMPRESSION_DEFLATE;
        EXPECT_EQ(image.compression, scheme) << what;
        EXPECT_EQ(image.pixels, s.pixels) << what;
        tiff_handle t = open_tiff(path("out.tif"));
        uint16_t predictor = 0;
        bool present = TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor);
        EXPECT_EQ(present ? predictor : -1, c.predictor) << what;
    }
    EXPECT_EQ(convert(file, {"-r", "4"}).rows_per_strip, 4u);
}

TEST_F(Suntag, JpegOutput)
{
    const uint32_t width = 48, height = 32;
    bytes rgb(3 * width * height);
    for (size_t i = 0; i < rgb.size(); i++)
        rgb[i] = (uint8_t)(50 + (i % (3 * width)) / 4 + (i / (3 * width)) * 2);
    bytes bgr = rgb;
    for (size_t i = 0; i < bgr.size(); i += 3)
        std::swap(bgr[i], bgr[i + 2]);
    raster_file f;
    f.width = width;
    f.height = height;
    f.depth = 24;
    f.raster = bgr;
    bytes file = build_raster(f);
    for (const char* arg : {"jpeg", "jpeg:r"}) {
        tiff_image image = convert(file, {"-c", arg});
        EXPECT_EQ(image.compression, COMPRESSION_JPEG);
        EXPECT_EQ(image.photometric,
                  std::string(arg) == "jpeg" ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_RGB);
        ASSERT_EQ(image.pixels.size(), rgb.size());
        for (size_t i = 0; i < rgb.size(); i++)
            ASSERT_NEAR(image.pixels[i], rgb[i], 10) << arg << " " << i;
    }
}

// ---- Short rasters and failed writes -------------------------------------------

TEST_F(Suntag, ShortRasterKeepsTheRowsRead)
{
    rgb_sample s = rgb_image(5, 9, 3);  // rows of 16 bytes
    bytes file = build_raster(s.file);
    file.resize(32 + 16 * 4 + 5);
    for (const char* scheme : {"lzw", "none", "jpeg"}) {
        run_result r = convert_file(file, {"-c", scheme});
        EXPECT_EQ(r.status, 1) << scheme;
        EXPECT_EQ(r.err.substr(0, 32), "in.ras: scanline 4: Read error.\n") << r.err;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << scheme;
        EXPECT_EQ(image.height, 4u) << scheme;
        if (std::string(scheme) != "jpeg") {
            EXPECT_EQ(image.pixels, bytes(s.pixels.begin(), s.pixels.begin() + 60));
        }
    }
    // A byte-encoded raster cut inside an escape.
    raster_file f;
    f.width = 4;
    f.height = 3;
    f.type = 2;
    f.raster = {1, 2, 3, 4, 0x80, 0x05};
    run_result r = convert_file(build_raster(f));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in.ras: scanline 1: Read error.\n");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.pixels, bytes({1, 2, 3, 4}));

    // A header that claims billions of rows over a few bytes: the output
    // holds what the data gives, with strip tables sized for that (not for
    // the claim, which would take gigabytes), also when byte encoding
    // could stretch the data.
    for (uint32_t type : {1u, 2u}) {
        raster_file huge;
        huge.width = 255;
        huge.height = 0xff000002;
        huge.type = type;
        huge.raster = bytes(256, 7);
        r = convert_file(build_raster(huge), {"-c", "none"});
        EXPECT_EQ(r.status, 1) << type;
        EXPECT_EQ(r.err, "in.ras: scanline 1: Read error.\n") << type;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << type;
        EXPECT_EQ(image.height, 1u);
        EXPECT_LT(read_file(path("out.tif")).size(), 4096u) << type;
    }

    // No row at all: no output is left.
    f.raster = {1, 2};
    r = convert_file(build_raster(f));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in.ras: scanline 0: Read error.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Suntag, FailedWritesAreFailures)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    rgb_sample s = rgb_image(40, 30);
    write_file(path("in.ras"), build_raster(s.file));
    run_result r = run("suntag", {"-c", "none", "in.ras", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

// ---- Any bytes at all ------------------------------------------------------

std::vector<bytes> sample_files()
{
    std::vector<bytes> samples;
    samples.push_back(build_raster(rgb_image(3, 3).file));
    raster_file f;
    f.width = 5;
    f.height = 3;
    f.depth = 8;
    f.map_type = 1;
    f.map = pattern_bytes(12);
    f.raster = pattern_bytes(18);
    f.big_endian = false;
    samples.push_back(build_raster(f));
    f.type = 2;
    f.map_type = 0;
    f.map.clear();
    f.raster = {1, 0x80, 0x06, 0x07, 0x80, 0x00, 2, 0x80, 0x04, 0x09};
    samples.push_back(build_raster(f));
    f.depth = 32;
    f.width = 2;
    f.type = 1;
    f.raster = pattern_bytes(24);
    samples.push_back(build_raster(f));
    f.depth = 1;
    f.width = 17;
    f.raster = pattern_bytes(12);
    samples.push_back(build_raster(f));
    return samples;
}

// Cuts of each sample at many lengths.
std::vector<bytes> cuts_of(const std::vector<bytes>& samples)
{
    std::vector<bytes> cuts;
    for (const bytes& s : samples) {
        // Any cut inside the header fails alike; past it, every few bytes.
        for (size_t n : {0, 1, 31})
            cuts.emplace_back(s.begin(), s.begin() + (ptrdiff_t)n);
        for (size_t n = 32; n < s.size(); n += 3)
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
        for (int k = 0; k < 16; k++) {
            bytes b = s;
            int changes = 1 + (int)(next() % 3);
            for (int c = 0; c < changes; c++) {
                size_t at = next() % b.size();
                if (next() % 3 != 0)
                    at = 4 + at % 28;  // mostly the header fields
                b[at] = (uint8_t)(next() % 4 == 0 ? 0xff : next() % 4 == 0 ? 0 : next());
            }
            files.push_back(b);
        }
    }
    return files;
}

TEST_F(Suntag, EveryCutOfAFile)
{
    expect_safe(cuts_of(sample_files()));
}

TEST_F(Suntag, CorruptedTrueColourFiles)
{
    std::vector<bytes> all = sample_files();
    expect_safe(corruptions_of({all[0], all[3]}, 777));
}

TEST_F(Suntag, CorruptedOtherFiles)
{
    std::vector<bytes> all = sample_files();
    expect_safe(corruptions_of({all[1], all[2], all[4]}, 778));
}

}  // namespace
