// halftone through its command line: the error diffusion against a
// reference worked out on the whole image, thresholds, output fields and
// compression, refusals and failures.
#include "harness.h"
#include "tiff_bytes.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

// Floyd-Steinberg over a whole w × h grey image held in full: each value
// (plus the errors it received) clamped to 0..255, set when above the
// threshold, the error shared out 7/16 right, 3/16 below left, 5/16 below
// and 1/16 below right, each share truncated toward zero on its own, and
// nothing shared past the image's edges. Returns the bits packed eight to
// a byte, first pixel in the high bit, each row padded with clear bits.
bytes reference_dither(const bytes& grey, uint32_t w, uint32_t h, int threshold = 128)
{
    std::vector<std::vector<int>> acc(h, std::vector<int>(w));
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++)
            acc[y][x] = grey[(size_t)y * w + x];
    size_t row_bytes = (w + 7) / 8;
    bytes bits(row_bytes * h, 0);
    for (uint32_t y = 0; y < h; y++) {
        for (uint32_t x = 0; x < w; x++) {
            int v = std::min(255, std::max(0, acc[y][x]));
            if (v > threshold) {
                bits[y * row_bytes + x / 8] |= (uint8_t)(0x80 >> (x % 8));
                v -= 255;
            }
            if (x + 1 < w)
                acc[y][x + 1] += 7 * v / 16;
            if (y + 1 < h) {
                if (x > 0)
                    acc[y + 1][x - 1] += 3 * v / 16;
                acc[y + 1][x] += 5 * v / 16;
                if (x + 1 < w)
                    acc[y + 1][x + 1] += v / 16;
            }
        }
    }
    return bits;
}

class Halftone : public ToolTest {
protected:
    // Writes an 8-bit grey image.
    void write_grey(const std::string& name, uint32_t width, uint32_t height, const bytes& grey,
                    uint16_t photometric = PHOTOMETRIC_MINISBLACK, uint32_t rows_per_strip = 0,
                    std::function<void(TIFF*)> extra = nullptr)
    {
        tiff_spec spec;
        spec.width = width;
        spec.height = height;
        spec.photometric = photometric;
        spec.rows_per_strip = rows_per_strip;
        spec.extra = extra;
        ASSERT_TRUE(write_tiff(path(name), spec, grey));
    }

    // Runs halftone on in.tif with `options`, expecting success, and reads
    // out.tif back.
    tiff_image convert(std::vector<std::string> options = {})
    {
        options.push_back("in.tif");
        options.push_back("out.tif");
        run_result r = run("halftone", options);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
        tiff_image image;
        read_tiff(path("out.tif"), &image);
        return image;
    }
};

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: halftone [options] input.tif output.tif\n"
           "where options are:\n"
           " -r #\t\tmake each strip have no more than # rows\n"
           " -t #\t\tset dithering threshold (0-255, default 128)\n"
           " -f lsb2msb\tforce lsb-to-msb FillOrder for output\n"
           " -f msb2lsb\tforce msb-to-lsb FillOrder for output\n"
           " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding\n"
           " -c zip[:opts]\tcompress output with deflate encoding\n"
           " -c packbits\tcompress output with packbits encoding\n"
           " -c g3[:opts]\tcompress output with CCITT Group 3 encoding\n"
           " -c g4\t\tcompress output with CCITT Group 4 encoding\n"
           " -c none\tuse no compression algorithm on output\n"
           "\n"
           "Group 3 options:\n"
           " 1d\t\tuse default CCITT Group 3 1D-encoding\n"
           " 2d\t\tuse optional CCITT Group 3 2D-encoding\n"
           " fill\t\tbyte-align EOL codes\n"
           "For example, -c g3:2d:fill to get G3-2D-encoded data with byte-aligned EOLs\n"
           "\n"
           "LZW and deflate options:\n"
           " #\t\tset predictor value\n"
           "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing\n";
}

TEST_F(Halftone, UsageErrors)
{
    write_grey("in.tif", 2, 2, {1, 2, 3, 4});
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"in.tif"},
        {"-x", "in.tif", "out.tif"},
        {"-f", "lsb", "in.tif", "out.tif"},
        {"-c", "jpeg", "in.tif", "out.tif"},  // no JPEG for bilevel output
        {"-c", "g3:3d", "in.tif", "out.tif"},
        {"-c", "g4:2d", "in.tif", "out.tif"},
        {"in.tif", "out.tif", "-t"},
    };
    for (const auto& args : cases) {
        run_result r = run("halftone", args);
        EXPECT_EQ(r.status, 255) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.substr(r.err.find(TIFFGetVersion())), expected_usage())
            << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
    run_result r = run("halftone", {"in.tif", "out.tif", "extra"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Halftone, DitheringMatchesTheReference)
{
    struct {
        uint32_t w, h;
    } sizes[] = {{1, 1}, {1, 6}, {7, 3}, {8, 2}, {9, 5}, {13, 1}, {100, 37}, {257, 20}};
    for (const auto& s : sizes) {
        const bytes grey = pattern_bytes((size_t)s.w * s.h, s.w + s.h);
        write_grey("in.tif", s.w, s.h, grey, PHOTOMETRIC_MINISBLACK, 3);
        std::string label = std::to_string(s.w) + "x" + std::to_string(s.h);
        // Every row comes out, the last with the errors carried into it.
        tiff_image image = convert();
        EXPECT_EQ(image.width, s.w) << label;
        EXPECT_EQ(image.height, s.h) << label;
        EXPECT_EQ(image.pixels, reference_dither(grey, s.w, s.h)) << label;
        for (int threshold : {0, 1, 77, 200, 254, 255}) {
            image = convert({"-t", std::to_string(threshold)});
            EXPECT_EQ(image.pixels, reference_dither(grey, s.w, s.h, threshold))
                << label << " threshold " << threshold;
        }
    }
    // A photo-like ramp, where the errors travel far.
    const uint32_t w = 300, h = 120;
    bytes ramp(w * h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++)
            ramp[y * w + x] = (uint8_t)((x * 255 / (w - 1) + y) / 2);
    write_grey("in.tif", w, h, ramp);
    EXPECT_TRUE(convert({"-c", "g4"}).pixels == reference_dither(ramp, w, h));
}

TEST_F(Halftone, UniformImagesAndThresholds)
{
    const uint32_t w = 13, h = 4;  // 13 wide: each row ends in a part byte
    const size_t row_bytes = 2;
    write_grey("in.tif", w, h, bytes(w * h, 255));
    bytes all_set(row_bytes * h);
    for (size_t y = 0; y < h; y++) {
        all_set[y * row_bytes] = 0xff;
        all_set[y * row_bytes + 1] = 0xf8;  // the 3 unused bits clear
    }
    EXPECT_EQ(convert().pixels, all_set);
    // A threshold of 255 sets nothing, and 300 acts as 255.
    EXPECT_EQ(convert({"-t", "255"}).pixels, bytes(row_bytes * h, 0));
    EXPECT_EQ(convert({"-t", "300"}).pixels, bytes(row_bytes * h, 0));

    write_grey("in.tif", w, h, bytes(w * h, 0));
    EXPECT_EQ(convert().pixels, bytes(row_bytes * h, 0));
    EXPECT_EQ(convert({"-t", "0"}).pixels, bytes(row_bytes * h, 0));

    // 128 is not above 128: the first pixel is clear, then a pattern.
    write_grey("in.tif", w, h, bytes(w * h, 128));
    bytes half = convert().pixels;
    EXPECT_EQ(half, reference_dither(bytes(w * h, 128), w, h));
    EXPECT_EQ(half[0] & 0x80, 0);
    EXPECT_NE(half, bytes(row_bytes * h, 0));

    // Threshold 0 sets every pixel whose accumulated value is at least 1;
    // -5 acts as 0.
    write_grey("in.tif", w, h, bytes(w * h, 1));
    bytes low = convert({"-t", "0"}).pixels;
    EXPECT_EQ(low, reference_dither(bytes(w * h, 1), w, h, 0));
    EXPECT_EQ(low[0] & 0x80, 0x80);
    EXPECT_EQ(convert({"-t", "-5"}).pixels, low);
}

TEST_F(Halftone, MinIsWhiteAndOneRowInputs)
{
    const bytes grey = pattern_bytes(20 * 6, 2);
    write_grey("in.tif", 20, 6, grey, PHOTOMETRIC_MINISWHITE);
    tiff_image image = convert();
    EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISWHITE);
    EXPECT_EQ(image.pixels, reference_dither(grey, 20, 6));

    write_grey("in.tif", 20, 1, grey);
    image = convert();
    EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(image.height, 1u);
    EXPECT_EQ(image.pixels, reference_dither(grey, 20, 1));
}

TEST_F(Halftone, OutputFields)
{
    const uint32_t w = 21, h = 30;
    const bytes grey = pattern_bytes(w * h, 3);
    const bytes bits = reference_dither(grey, w, h);
    write_grey("in.tif", w, h, grey, PHOTOMETRIC_MINISBLACK, 0, [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_BOTRIGHT);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 98.5);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_SOFTWARE, "not carried over");
        TIFFSetField(t, TIFFTAG_ARTIST, "nor this");
    });
    tiff_image image = convert();
    EXPECT_EQ(image.bits_per_sample, 1);
    EXPECT_EQ(image.samples_per_pixel, 1);
    EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
    EXPECT_EQ(image.compression, COMPRESSION_PACKBITS);
    EXPECT_EQ(image.orientation, ORIENTATION_BOTRIGHT);
    EXPECT_EQ(image.fill_order, FILLORDER_MSB2LSB);
    EXPECT_EQ(image.pixels, bits);
    {
        tiff_handle t = open_tiff(path("out.tif"));
        const char* text = nullptr;
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &text));
        EXPECT_STREQ(text, "Dithered B&W version of in.tif");
        float res = 0;
        uint16_t unit = 0;
        EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &res) && res == 204.0f);
        EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &res) && res == 98.5f);
        EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_INCH);
    }
    std::set<uint16_t> tags = directory_tags(path("out.tif"));
    EXPECT_EQ(tags.count(TIFFTAG_SOFTWARE), 0u);
    EXPECT_EQ(tags.count(TIFFTAG_ARTIST), 0u);
    EXPECT_EQ(convert({"-r", "4"}).rows_per_strip, 4u);

    // Fill order: forced by -f, else the input's; the pixels are the same.
    image = convert({"-f", "lsb2msb"});
    EXPECT_EQ(image.fill_order, FILLORDER_LSB2MSB);
    EXPECT_EQ(image.pixels, bits);
    write_grey("in.tif", w, h, grey, PHOTOMETRIC_MINISBLACK, 0,
               [](TIFF* t) { TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB); });
    image = convert();
    EXPECT_EQ(image.fill_order, FILLORDER_LSB2MSB);
    EXPECT_EQ(image.pixels, bits);
    image = convert({"-f", "msb2lsb"});
    EXPECT_EQ(image.fill_order, FILLORDER_MSB2LSB);
    EXPECT_EQ(image.pixels, bits);
}

TEST_F(Halftone, CompressionSchemesAndGroup3Options)
{
    const uint32_t w = 45, h = 17;
    const bytes grey = pattern_bytes(w * h, 4);
    const bytes bits = reference_dither(grey, w, h);
    write_grey("in.tif", w, h, grey);
    struct {
        std::vector<std::string> options;
        uint16_t scheme;
        int g3_options;  // -1: no Group3Options field
    } cases[] = {
        {{"-c", "none"}, COMPRESSION_NONE, -1},
        {{"-c", "packbits"}, COMPRESSION_PACKBITS, -1},
        {{"-c", "lzw"}, COMPRESSION_LZW, -1},
        {{"-c", "zip"}, COMPRESSION_DEFLATE, -1},
        {{"-c", "g4"}, COMPRESSION_CCITTFAX4, -1},
        {{"-c", "g3"}, COMPRESSION_CCITTFAX3, 0},
        {{"-c", "g3:2d:fill"}, COMPRESSION_CCITTFAX3, 5},
        {{"-c", "g3:fill:1d"}, COMPRESSION_CCITTFAX3, 4},
        // Group 3 options add up over several -c options.
        {{"-c", "g3:2d", "-c", "g3"}, COMPRESSION_CCITTFAX3, 1},
        {{"-c", "g3:2d", "-c", "g3:fill"}, COMPRESSION_CCITTFAX3, 5},
    };
    for (const auto& c : cases) {
        tiff_image image = convert(c.options);
        std::string label = ::testing::PrintToString(c.options);
        EXPECT_EQ(image.compression, c.scheme) << label;
        EXPECT_EQ(image.pixels, bits) << label;
        tiff_handle t = open_tiff(path("out.tif"));
        uint32_t options = 0;
        bool has = TIFFGetField(t.get(), TIFFTAG_GROUP3OPTIONS, &options);
        EXPECT_EQ(has, c.g3_options >= 0) << label;
        if (has) {
            EXPECT_EQ((int)options, c.g3_options) << label;
        }
    }
}

TEST_F(Halftone, UnsuitableInputsAreRefused)
{
    struct {
        uint16_t photometric, samples, bits;
        std::string message;
    } cases[] = {
        {PHOTOMETRIC_RGB, 3, 8, "halftone: Not a b&w image.\n"},
        {PHOTOMETRIC_MINISBLACK, 1, 16, " halftone: Sorry, only handle 8-bit samples.\n"},
        {PHOTOMETRIC_MINISWHITE, 1, 1, " halftone: Sorry, only handle 8-bit samples.\n"},
        {PHOTOMETRIC_MINISBLACK, 1, 4, " halftone: Sorry, only handle 8-bit samples.\n"},
        // A palette image would give a bilevel palette image with no map.
        {PHOTOMETRIC_PALETTE, 1, 8, "halftone: Not a b&w image.\n"},
        {PHOTOMETRIC_SEPARATED, 1, 8, "halftone: Not a b&w image.\n"},
    };
    for (const auto& c : cases) {
        tiff_spec spec;
        spec.width = 8;
        spec.height = 2;
        spec.photometric = c.photometric;
        spec.samples_per_pixel = c.samples;
        spec.bits_per_sample = c.bits;
        std::vector<uint16_t> map(256, 0);
        if (c.photometric == PHOTOMETRIC_PALETTE)
            spec.extra = [&](TIFF* t) {
                TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
            };
        ASSERT_TRUE(write_tiff(path("in.tif"), spec, bytes(8 * 2 * 2 * 3, 0)));
        run_result r = run("halftone", {"in.tif", "out.tif"});
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(file_exists(path("out.tif"))) << c.message;
    }
    run_result r = run("halftone", {"missing.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos);
    write_grey("in.tif", 2, 2, {1, 2, 3, 4});
    r = run("halftone", {"in.tif", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("no/such/dir/out.tif"), std::string::npos);
}

TEST_F(Halftone, UnreadableRowsStopTheDithering)
{
    const uint32_t w = 30, h = 20;
    const bytes grey = pattern_bytes(w * h, 6);
    // Strips of 4 rows; rows 12 to 15 are lost. Rows 0 to 11 come out as
    // an image of 12 rows would.
    write_grey("in.tif", w, h, grey, PHOTOMETRIC_MINISBLACK, 4);
    ASSERT_TRUE(break_strip(path("in.tif"), 3));
    for (const char* scheme : {"packbits", "g4", "g3:2d"}) {
        run_result r = run("halftone", {"-c", scheme, "in.tif", "out.tif"});
        EXPECT_EQ(r.status, 1) << scheme;
        EXPECT_NE(r.err, "");
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image));
        EXPECT_EQ(image.height, 12u);
        EXPECT_EQ(image.pixels, reference_dither(bytes(grey.begin(), grey.begin() + 12 * w), w, 12))
            << scheme;
    }
    // The first row lost: no row, no output.
    write_grey("in.tif", w, h, grey, PHOTOMETRIC_MINISBLACK, 4);
    ASSERT_TRUE(break_strip(path("in.tif"), 0));
    write_file(path("out.tif"), "old contents");
    run_result r = run("halftone", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("out.tif")));

    if (file_exists("/dev/full")) {
        write_grey("in.tif", w, h, grey);
        r = run("halftone", {"in.tif", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("/dev/full: Write error: No space left on device"), std::string::npos)
            << r.err;
    }
}

TEST_F(Halftone, LongInputNameFitsTheDescription)
{
    std::string name;
    for (int i = 0; i < 5; i++) {
        name += std::string(250, (char)('k' + i)) + "/";
        ASSERT_EQ(mkdir(path(name).c_str(), 0777), 0);
    }
    name += std::string(60, 'z') + ".tif";
    write_grey(name, 3, 2, {1, 200, 3, 4, 250, 6});
    run_result r = run("halftone", {name, "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    tiff_handle t = open_tiff(path("out.tif"));
    const char* text = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &text));
    EXPECT_EQ(std::string(text), "Dithered B&W version of " + name);
}

}  // namespace
