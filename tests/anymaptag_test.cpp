// anymaptag through its command line: header rules, formats, fields,
// the shared -c/-r conventions and the usage text.
#include "harness.h"

#include <tiffvers.h>

namespace {

std::string pnm(const std::string& header, const bytes& raster)
{
    return header + std::string(raster.begin(), raster.end());
}

class Anymaptag : public ToolTest {
protected:
    // Converts `data` with `options` and reads the output back.
    tiff_image convert(const std::string& data, std::vector<std::string> options = {})
    {
        write_file(path("in.pnm"), data);
        options.push_back("in.pnm");
        options.push_back("out.tif");
        run_result r = run("anymaptag", options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
        tiff_image image;
        read_tiff(path("out.tif"), &image);
        return image;
    }

    uint16_t field16(const char* file, ttag_t tag, bool* present = nullptr)
    {
        tiff_handle t = open_tiff(path(file));
        uint16_t v = 0;
        bool got = t && TIFFGetField(t.get(), tag, &v);
        if (present)
            *present = got;
        return v;
    }
};

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: anymaptag [options] input.ppm output.tif\n"
           "where options are:\n"
           " -r #\t\tmake each strip have no more than # rows\n"
           " -R #\t\tset x&y resolution (dpi)\n"
           "\n"
           " -c jpeg[:opts]  compress output with JPEG encoding\n"
           " -c lzw[:opts]\tcompress output with Lempel-Ziv & Welch encoding\n"
           " -c zip[:opts]\tcompress output with deflate encoding\n"
           " -c packbits\tcompress output with packbits encoding (the default)\n"
           " -c g3[:opts]  compress output with CCITT Group 3 encoding\n"
           " -c g4         compress output with CCITT Group 4 encoding\n"
           " -c none\tuse no compression algorithm on output\n"
           "\n"
           "JPEG options:\n"
           " #\t\tset compression quality level (0-100, default 75)\n"
           " r\t\toutput color image as RGB rather than YCbCr\n"
           "LZW and deflate options:\n"
           " #\t\tset predictor value\n"
           "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing\n";
}

TEST_F(Anymaptag, UsageErrors)
{
    run_result r = run("anymaptag", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "anymaptag: Too few arguments\n" + expected_usage());
    EXPECT_EQ(r.out, "");

    r = run("anymaptag", {"a", "b", "c"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "anymaptag: Too many arguments\n" + expected_usage());

    // Options that leave no output name.
    r = run("anymaptag", {"-r", "8"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, expected_usage());

    r = run("anymaptag", {"-x", "in", "out"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("invalid option -- 'x'\n" + expected_usage()), std::string::npos)
        << r.err;

    r = run("anymaptag", {"in", "out", "-c"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(expected_usage()), std::string::npos);
    EXPECT_FALSE(file_exists(path("out")));
}

TEST_F(Anymaptag, UnknownCompressionKeywords)
{
    write_file(path("in.ppm"), pnm("P5 1 1 255\n", {7}));
    for (const char* arg : {"LZW", "nonex", "packbits2", "g4x", "g", "jpe", "jpeg:", "jpeg:x",
                            "jpeg::50", "jpeg:-5", "jpeg:50:", "g3:", "g3:3d", "g3:2d:x", ""}) {
        run_result r = run("anymaptag", {"-c", arg, "in.ppm", "out.tif"});
        EXPECT_EQ(r.status, 255) << arg;
        EXPECT_EQ(r.err, expected_usage()) << arg;
        EXPECT_FALSE(file_exists(path("out.tif"))) << arg;
    }
}

TEST_F(Anymaptag, InputThatCannotBeOpened)
{
    run_result r = run("anymaptag", {"missing.ppm", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "missing.ppm: Can not open.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Anymaptag, BadHeadersAreNotPpm)
{
    const std::vector<std::string> headers = {
        "",                          // empty file
        "Q6 1 1 255\n",              // bad first byte
        "P7 1 1 255\n", "P0 1 1\n",
        "P5 1 1 0\n",                // max value out of 1..65535
        "P5 1 1 65536\n", "P2 1 1 0\n", "P3 1 1 4294967295\n",
        "P2 1 1 255x", "P1 1 1x",     // plain: no white space after the header
        "P2 1 1", "P1\n# only a comment",
        "P6 3 # x\n2 255\n",         // comment after the width
        "P6\n3 2\n255\r\n",          // CR LF ends the header
        "P6 3 2 255 ",               // space instead of LF
        "P6 3 2 255",                // end of file in the header
        "P6\n# a comment that never ends",
        "P6\n#",
        "P5",
        "P5 x 1 255\n",
        "P5 0 1 255\n",              // zero width
        "P5 1 0 255\n",              // zero height
        "P4 0 1\n",
        "P5 4294967296 1 255\n",     // does not fit 32 bits
        "P5 1 99999999999999999999 255\n",
        "P5 -1 1 255\n",
        "P6 1000000000 1 255\n",     // row size beyond 32-bit signed
        "P4 1 1 255\n",              // a P4 header has no max value
    };
    for (const std::string& h : headers) {
        write_file(path("in.pnm"), h + std::string(64, '\0'));
        run_result r = run("anymaptag", {"in.pnm", "out.tif"});
        EXPECT_EQ(r.status, 254) << h;
        EXPECT_EQ(r.err, "in.pnm: Not a PPM file.\n") << h;
        EXPECT_FALSE(file_exists(path("out.tif"))) << h;
    }
    run_options input;
    input.input = "P9\n";
    run_result r = run("anymaptag", {"out.tif"}, input);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "<stdin>: Not a PPM file.\n");
}

TEST_F(Anymaptag, HeaderSeparatorsAndComments)
{
    const bytes rgb = pattern_bytes(3 * 2 * 3);
    for (const std::string& h : {std::string("P6\n# made by hand\n3 2\n255\n"),
                                 std::string("P6 \t\r\n#c1\r#c2\n 3\n\n2\t255\n"),
                                 std::string("P63 2 255\n"), std::string("P6\n+3 +2 +255\n")}) {
        tiff_image image = convert(pnm(h, rgb));
        EXPECT_EQ(image.width, 3u) << h;
        EXPECT_EQ(image.height, 2u) << h;
        EXPECT_EQ(image.pixels, rgb) << h;
    }
}

TEST_F(Anymaptag, FormatsAndFields)
{
    struct {
        std::string header;
        size_t raster;
        uint16_t bits, samples, photometric;
        uint32_t rows_per_strip;
    } cases[] = {
        {"P4 13 5\n", 2 * 5, 1, 1, PHOTOMETRIC_MINISWHITE, 5},   // one strip
        {"P5 13 5 255\n", 13 * 5, 8, 1, PHOTOMETRIC_MINISBLACK, 0},
        {"P6 13 5 255\n", 39 * 5, 8, 3, PHOTOMETRIC_RGB, 0},
    };
    for (const auto& c : cases) {
        bytes raster = pattern_bytes(c.raster, 7);
        tiff_image image = convert(pnm(c.header, raster));
        EXPECT_EQ(image.width, 13u);
        EXPECT_EQ(image.height, 5u);
        EXPECT_EQ(image.bits_per_sample, c.bits);
        EXPECT_EQ(image.samples_per_pixel, c.samples);
        EXPECT_EQ(image.photometric, c.photometric);
        EXPECT_EQ(image.compression, COMPRESSION_PACKBITS);
        EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
        EXPECT_EQ(image.orientation, ORIENTATION_TOPLEFT);
        if (c.rows_per_strip) {
            EXPECT_EQ(image.rows_per_strip, c.rows_per_strip);
        }
        EXPECT_EQ(image.pixels, raster) << c.header;
        bool has_resolution = true;
        field16("out.tif", TIFFTAG_RESOLUTIONUNIT, &has_resolution);
        tiff_handle t = open_tiff(path("out.tif"));
        float xres;
        EXPECT_FALSE(TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xres));
    }
    EXPECT_TRUE(tiff_messages().empty());
}

// The samples v of a maximum value m as the output holds them: v x 255 / m
// up to m = 255, else v x 65535 / m, rounded (values above m as m), in
// the host's byte order.
bytes scaled(const std::vector<uint32_t>& values, uint32_t max_value)
{
    uint32_t top = max_value > 255 ? 65535 : 255;
    bytes b;
    for (uint32_t v : values) {
        uint32_t s = v >= max_value ? top : (uint32_t)(((uint64_t)v * top + max_value / 2) / max_value);
        if (top == 255) {
            b.push_back((uint8_t)s);
        } else {
            uint16_t w = (uint16_t)s;
            b.insert(b.end(), (uint8_t*)&w, (uint8_t*)&w + 2);
        }
    }
    return b;
}

// `values` as a binary raster of maximum `max_value` (two bytes a sample,
// most significant first, above 255) or as plain text, laid out with
// assorted white space and a comment.
std::string raster_of(const std::vector<uint32_t>& values, uint32_t max_value, bool plain)
{
    std::string r;
    for (size_t i = 0; i < values.size(); i++) {
        if (plain) {
            r += std::to_string(values[i]) + (i % 7 == 6 ? "\n" : i % 5 == 4 ? "\t\r\n" : " ");
            if (i == 3)
                r += "# a note\n";
        } else {
            if (max_value > 255)
                r += (char)(values[i] >> 8);
            r += (char)values[i];
        }
    }
    return r;
}

TEST_F(Anymaptag, MaximumValuesAndPlainFormats)
{
    // Every maximum value: 255 as it is, below it scaled to 8 bits, above
    // it to 16; plain rasters as their binary twins. Values above the
    // maximum count as the maximum.
    for (uint32_t max_value : {1u, 15u, 255u, 256u, 1023u, 65535u}) {
        for (bool plain : {false, true}) {
            for (int samples : {1, 3}) {
                SCOPED_TRACE(testing::Message() << max_value << (plain ? " plain" : " binary")
                                                << " samples " << samples);
                std::vector<uint32_t> values;
                for (uint32_t i = 0; i < 5u * 3 * (uint32_t)samples; i++)
                    values.push_back(i == 0 ? 0 : i == 1 ? max_value : (i * 2654435761u >> 7) % (max_value + 1));
                uint32_t beyond = max_value == 65535 ? 65535 : max_value == 255 ? 255 : max_value + 1;
                values.back() = plain ? 70000 : beyond;
                std::string magic = std::string("P") + (char)('2' + (samples == 3) + (plain ? 0 : 3));
                std::string header = magic + "\n5 3\n" + std::to_string(max_value) + "\n";
                tiff_image image = convert(header + raster_of(values, max_value, plain));
                EXPECT_EQ(image.bits_per_sample, max_value > 255 ? 16 : 8);
                EXPECT_EQ(image.samples_per_pixel, samples);
                EXPECT_EQ(image.photometric, samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
                EXPECT_EQ(image.pixels, scaled(values, max_value));
            }
        }
    }
    // Plain bits: 1 is black, digits need no white space between them.
    bytes packed = {0x55, 0x40, 0xf8, 0x40};
    EXPECT_EQ(convert("P1\n10 2\n0101010101\n1 1 1 1 1 0 0\r\n0 0 1").pixels, packed);
    EXPECT_EQ(convert(pnm("P4\n10 2\n", packed)).pixels, packed);
    EXPECT_TRUE(tiff_messages().empty());
}

TEST_F(Anymaptag, SixteenBitOutputs)
{
    // Through the strip writer with every codec that takes 16-bit samples,
    // the same file with 1, 2 and 8 workers; JPEG and the fax codings
    // refuse them before anything is written.
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < 3 * 200 * 600; i++)
        values.push_back((i * 2654435761u >> 9) % 1024 + (i / 600) * 40);
    std::string data = "P6 200 600 65535\n" + raster_of(values, 65535, false);
    for (std::vector<std::string> options :
         {std::vector<std::string>{"-c", "none"}, {"-c", "zip:2", "-r", "3"}, {"-c", "lzw:2", "-r", "1"},
          {"-c", "packbits", "-r", "5"}}) {
        SCOPED_TRACE(::testing::PrintToString(options));
        std::string first;
        for (const char* workers : {"1", "2", "8"}) {
            write_file(path("in.ppm"), data);
            std::vector<std::string> args = options;
            args.insert(args.end(), {"in.ppm", "out.tif"});
            run_options env;
            env.env = {std::string("TIFFSUITE_THREADS=") + workers};
            run_result r = run("anymaptag", args, env);
            ASSERT_EQ(r.status, 0) << r.err;
            if (first.empty())
                first = read_file(path("out.tif"));
            EXPECT_TRUE(read_file(path("out.tif")) == first) << workers;
        }
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image));
        EXPECT_EQ(image.bits_per_sample, 16);
        EXPECT_TRUE(image.pixels == scaled(values, 65535));
    }
    write_file(path("in.pgm"), "P5 2 1 1000\n" + raster_of({1, 1000}, 1000, false));
    remove(path("out.tif").c_str());
    for (const char* scheme : {"jpeg", "g3", "g4"}) {
        run_result r = run("anymaptag", {"-c", scheme, "in.pgm", "out.tif"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, std::string("in.pgm: 16-bit samples (maxval 1000) cannot be compressed with ") +
                             (scheme[0] == 'j' ? "JPEG" : scheme[1] == '3' ? "CCITT Group 3" : "CCITT Group 4") +
                             ".\n");
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
}

TEST_F(Anymaptag, DamagedPlainRasters)
{
    // A plain raster that ends early or holds what is no sample ends the
    // copy at that row: the rows before it are kept, the status is 1.
    const struct { const char* data; const char* err; uint32_t rows; } cases[] = {
        {"P2 2 3 9\n1 2\n3", "in.pnm: scanline 1: Read error.\n", 1},
        {"P3 1 3 255\n1 2 3\n4 x 6\n", "in.pnm: scanline 1: Bad sample value.\n", 1},
        {"P2 2 2 9\n99999999999999999999999999 0\n-1 0\n", "in.pnm: scanline 1: Bad sample value.\n", 1},
        {"P1 3 2\n011\n012\n", "in.pnm: scanline 1: Bad sample value.\n", 1},
        {"P2 1 2 9\n7 # a note that never ends", "in.pnm: scanline 1: Read error.\n", 1},
        {"P2 4 1 9\n\x01\x02\x03", "in.pnm: scanline 0: Bad sample value.\n", 0},
        {"P1 4 1\n", "in.pnm: scanline 0: Read error.\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        write_file(path("in.pnm"), std::string(c.data));
        remove(path("out.tif").c_str());
        run_result r = run("anymaptag", {"in.pnm", "out.tif"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        ASSERT_EQ(file_exists(path("out.tif")), c.rows > 0);
        if (c.rows > 0) {
            tiff_image image;
            ASSERT_TRUE(read_tiff(path("out.tif"), &image));
            EXPECT_EQ(image.height, c.rows);
        }
    }
}

TEST_F(Anymaptag, StripHeights)
{
    // 1-bit images are one strip unless -r is given; then libtiff sizes them.
    bytes raster = pattern_bytes(4 * 100);
    EXPECT_EQ(convert(pnm("P4 32 100\n", raster)).rows_per_strip, 100u);
    EXPECT_EQ(convert(pnm("P4 32 100\n", raster), {"-r", "8"}).rows_per_strip, 8u);
    EXPECT_EQ(convert(pnm("P5 4 100 255\n", raster), {"-r", "8"}).rows_per_strip, 8u);
    tiff_image image = convert(pnm("P5 4 100 255\n", raster), {"-r", "7"});
    EXPECT_EQ(image.rows_per_strip, 7u);
    EXPECT_EQ(image.pixels, raster);
    // A request below 1 leaves the height to libtiff, as no -r does.
    bytes wide = pattern_bytes(1000 * 100);
    uint32_t chosen = convert(pnm("P5 1000 100 255\n", wide)).rows_per_strip;
    EXPECT_LT(chosen, 100u);
    for (const char* request : {"0", "-5"}) {
        image = convert(pnm("P5 1000 100 255\n", wide), {"-r", request});
        EXPECT_EQ(image.rows_per_strip, chosen) << request;
        EXPECT_EQ(image.pixels, wide) << request;
    }
}

TEST_F(Anymaptag, Resolution)
{
    std::string data = pnm("P5 2 2 255\n", {1, 2, 3, 4});
    convert(data, {"-R", "300"});
    tiff_handle t = open_tiff(path("out.tif"));
    float xres = 0, yres = 0;
    uint16_t unit = 0;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xres));
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &yres));
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit));
    EXPECT_EQ(xres, 300.0f);
    EXPECT_EQ(yres, 300.0f);
    EXPECT_EQ(unit, RESUNIT_INCH);
    t.reset();
    for (const char* r : {"0", "-72", "abc"}) {
        convert(data, {"-R", r});
        t = open_tiff(path("out.tif"));
        EXPECT_FALSE(TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xres)) << r;
        EXPECT_FALSE(TIFFGetField(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit)) << r;
    }
}

TEST_F(Anymaptag, LosslessCompressionKeywords)
{
    const bytes grey = pattern_bytes(37 * 21, 3);
    // Rows of 37 pixels with the padding bits clear, as a PBM file has them.
    bytes bits = pattern_bytes(5 * 21, 4);
    for (size_t i = 4; i < bits.size(); i += 5)
        bits[i] &= 0xf8;
    struct {
        const char* arg;
        uint16_t scheme;
        bool bilevel;
    } cases[] = {
        {"none", COMPRESSION_NONE, false},      {"packbits", COMPRESSION_PACKBITS, false},
        {"lzw", COMPRESSION_LZW, false},        {"lzwx", COMPRESSION_LZW, false},
        {"lzw:2", COMPRESSION_LZW, false},      {"zip", COMPRESSION_ADOBE_DEFLATE, false},
        {"zip:2", COMPRESSION_ADOBE_DEFLATE, false}, {"zipper", COMPRESSION_ADOBE_DEFLATE, false},
        {"g3", COMPRESSION_CCITTFAX3, true},    {"g3:2d:fill", COMPRESSION_CCITTFAX3, true},
        {"g3x", COMPRESSION_CCITTFAX3, true},   {"g4", COMPRESSION_CCITTFAX4, true},
    };
    for (const auto& c : cases) {
        std::string data = c.bilevel ? pnm("P4 37 21\n", bits) : pnm("P5 37 21 255\n", grey);
        tiff_image image = convert(data, {"-c", c.arg});
        // libtiff reads COMPRESSION_DEFLATE (32946) back as its newer code.
        uint16_t scheme = c.scheme;
        if (scheme == COMPRESSION_ADOBE_DEFLATE && image.compression == COMPRESSION_DEFLATE)
            scheme = COMPRESSION_DEFLATE;
        EXPECT_EQ(image.compression, scheme) << c.arg;
        EXPECT_EQ(image.pixels, c.bilevel ? bits : grey) << c.arg;
    }
}

TEST_F(Anymaptag, LargeImagesRoundTrip)
{
    // Several megabytes: the output goes through many buffer flushes, and
    // with -r 500 each strip is larger than the write buffer.
    bytes rgb = pattern_bytes(3 * 1500 * 900, 9);
    std::string data = pnm("P6 1500 900 255\n", rgb);
    for (std::vector<std::string> options :
         {std::vector<std::string>{"-c", "none"}, {"-c", "none", "-r", "500"}, {"-c", "lzw:2"}}) {
        tiff_image image = convert(data, options);
        EXPECT_EQ(image.height, 900u);
        EXPECT_TRUE(image.pixels == rgb) << ::testing::PrintToString(options);
    }
}

TEST_F(Anymaptag, PredictorAndGroup3Options)
{
    std::string grey = pnm("P5 8 8 255\n", pattern_bytes(64));
    std::string bilevel = pnm("P4 8 8\n", pattern_bytes(8));
    struct {
        std::vector<std::string> options;
        const std::string* data;
        ttag_t tag;
        int expected;  // -1: the field is absent
    } cases[] = {
        {{"-c", "lzw"}, &grey, TIFFTAG_PREDICTOR, -1},
        {{"-c", "lzw:2"}, &grey, TIFFTAG_PREDICTOR, 2},
        {{"-c", "lzw:2:x"}, &grey, TIFFTAG_PREDICTOR, 2},
        {{"-c", "zip:0"}, &grey, TIFFTAG_PREDICTOR, -1},
        {{"-c", "zip:2"}, &grey, TIFFTAG_PREDICTOR, 2},
        // The predictor survives a later -c without one.
        {{"-c", "zip:2", "-c", "lzw"}, &grey, TIFFTAG_PREDICTOR, 2},
        {{"-c", "lzw:2", "-c", "packbits"}, &grey, TIFFTAG_PREDICTOR, -1},
        {{"-c", "g3"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 0},
        {{"-c", "g3:2d"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 1},
        {{"-c", "g3:fill"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 4},
        {{"-c", "g3:2d:fill"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 5},
        {{"-c", "g3:2dx:fillx"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 5},
        {{"-c", "g3:2d:1d"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 0},
        // Each -c g3 starts again from nothing in this program.
        {{"-c", "g3:2d", "-c", "g3"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 0},
        {{"-c", "g3:fill", "-c", "g3:2d"}, &bilevel, TIFFTAG_GROUP3OPTIONS, 1},
    };
    for (const auto& c : cases) {
        std::string what = ::testing::PrintToString(c.options);
        convert(*c.data, c.options);
        tiff_handle t = open_tiff(path("out.tif"));
        ASSERT_TRUE(t) << what;
        if (c.tag == TIFFTAG_PREDICTOR) {
            uint16_t v = 0;
            bool present = TIFFGetField(t.get(), c.tag, &v);
            EXPECT_EQ(present ? v : -1, c.expected) << what;
        } else {
            uint32_t v = 0;
            bool present = TIFFGetField(t.get(), c.tag, &v);
            EXPECT_EQ(present ? (int)v : -1, c.expected) << what;
        }
    }
}

TEST_F(Anymaptag, JpegSettings)
{
    // A smooth colour image, so JPEG's losses stay small.
    bytes rgb(3 * 32 * 16);
    for (size_t i = 0; i < rgb.size(); i++)
        rgb[i] = (uint8_t)(40 + (i % 96) + (i / 96) * 3);
    std::string data = pnm("P6 32 16 255\n", rgb);

    tiff_image image = convert(data, {"-c", "jpeg"});
    EXPECT_EQ(image.compression, COMPRESSION_JPEG);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_YCBCR);
    ASSERT_EQ(image.pixels.size(), rgb.size());
    for (size_t i = 0; i < rgb.size(); i++)
        ASSERT_NEAR(image.pixels[i], rgb[i], 12) << i;

    for (const char* arg : {"jpeg:r", "jpeg:rgb", "jpeg:r:50", "jpeg:50:r", "jpeg2000:r"}) {
        image = convert(data, {"-c", arg});
        EXPECT_EQ(image.compression, COMPRESSION_JPEG) << arg;
        EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB) << arg;
    }
    // Grey stays grey.
    EXPECT_EQ(convert(pnm("P5 16 16 255\n", bytes(256, 9)), {"-c", "jpeg"}).photometric,
              PHOTOMETRIC_MINISBLACK);

    // Quality reaches the encoder: lower quality, smaller file. The
    // quality of an earlier -c survives a later one.
    bytes noisy = pattern_bytes(3 * 64 * 64, 5);
    std::string big = pnm("P6 64 64 255\n", noisy);
    auto size_with = [&](std::vector<std::string> options) {
        convert(big, options);
        return read_file(path("out.tif")).size();
    };
    size_t q75 = size_with({"-c", "jpeg"});
    size_t q20 = size_with({"-c", "jpeg:20"});
    size_t q95 = size_with({"-c", "jpeg:95"});
    EXPECT_LT(q20, q75);
    EXPECT_LT(q75, q95);
    EXPECT_EQ(size_with({"-c", "jpeg:20:r", "-c", "lzw", "-c", "jpeg:r"}),
              size_with({"-c", "jpeg:r:20"}));
}

TEST_F(Anymaptag, StandardInputAndOptionPlacement)
{
    bytes raster = pattern_bytes(6 * 4);
    std::string data = pnm("P5 6 4 255\n", raster);
    run_options input;
    input.input = data;
    run_result r = run("anymaptag", {"-c", "lzw", "out.tif"}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.compression, COMPRESSION_LZW);
    EXPECT_EQ(image.pixels, raster);

    // Options may follow the file names unless POSIXLY_CORRECT is set.
    write_file(path("in.pgm"), data);
    r = run("anymaptag", {"in.pgm", "out2.tif", "-c", "none"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(read_tiff(path("out2.tif"), &image));
    EXPECT_EQ(image.compression, COMPRESSION_NONE);

    run_options posix;
    posix.env = {"POSIXLY_CORRECT=1"};
    r = run("anymaptag", {"in.pgm", "out3.tif", "-c", "none"}, posix);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "anymaptag: Too many arguments\n" + expected_usage());
}

TEST_F(Anymaptag, TruncatedRasterKeepsTheRowsRead)
{
    bytes raster = pattern_bytes(10 * 7);
    for (const char* scheme : {"none", "packbits", "lzw", "zip"}) {
        // 3 whole rows and part of a fourth.
        write_file(path("in.pgm"),
                   pnm("P5 10 7 255\n", bytes(raster.begin(), raster.begin() + 35)));
        run_result r = run("anymaptag", {"-c", scheme, "-r", "2", "in.pgm", "out.tif"});
        EXPECT_EQ(r.status, 1) << scheme;
        EXPECT_EQ(r.err.substr(0, 32), "in.pgm: scanline 3: Read error.\n") << scheme;
        EXPECT_TRUE(only_warnings(r.err.substr(32))) << r.err;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << scheme;
        EXPECT_EQ(image.height, 3u) << scheme;
        EXPECT_EQ(image.pixels, bytes(raster.begin(), raster.begin() + 30)) << scheme;
    }
    // Nothing after the header: no row to hold, so no file is left.
    write_file(path("in.pgm"), "P5 10 7 255\n");
    write_file(path("out.tif"), "old contents");
    run_result r = run("anymaptag", {"in.pgm", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in.pgm: scanline 0: Read error.\n");
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Anymaptag, HeaderClaimingBillionsOfRows)
{
    // Two rows of data under a header that claims four billion: the output
    // holds the two rows, and its strip tables are sized for them (a table
    // for the claimed height alone would take gigabytes).
    bytes raster = pattern_bytes(2 * 255);
    write_file(path("in.pgm"), pnm("P5 255 4000000000 255\n", raster));
    run_result r = run("anymaptag", {"-c", "none", "in.pgm", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in.pgm: scanline 2: Read error.\n");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.pixels, raster);
    EXPECT_LT(read_file(path("out.tif")).size(), 4096u);
}

TEST_F(Anymaptag, TruncatedJpegAndFaxRasters)
{
    // Codecs that finish a strip only when it is complete still give a
    // file that reads back with the rows that arrived.
    bytes rgb(3 * 16 * 40, 128);
    write_file(path("in.ppm"), pnm("P6 16 40 255\n", bytes(rgb.begin(), rgb.begin() + 3 * 16 * 21)));
    run_result r = run("anymaptag", {"-c", "jpeg", "in.ppm", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, 33), "in.ppm: scanline 21: Read error.\n");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 21u);
    for (size_t i = 0; i < image.pixels.size(); i++)
        ASSERT_NEAR(image.pixels[i], 128, 2) << i;

    bytes bits = pattern_bytes(2 * 30);
    write_file(path("in.pbm"), pnm("P4 16 30\n", bytes(bits.begin(), bits.begin() + 2 * 11 + 1)));
    r = run("anymaptag", {"-c", "g4", "in.pbm", "out.tif"});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 11u);
    EXPECT_EQ(image.pixels, bytes(bits.begin(), bits.begin() + 2 * 11));
}

TEST_F(Anymaptag, FailedWritesAreFailures)
{
    write_file(path("in.pgm"), pnm("P5 2 2 255\n", {1, 2, 3, 4}));
    run_result r = run("anymaptag", {"in.pgm", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 252);
    EXPECT_NE(r.err.find("no/such/dir/out.tif"), std::string::npos) << r.err;

    // Group 3 on an 8-bit image: libtiff refuses to encode it.
    r = run("anymaptag", {"-c", "g4", "in.pgm", "out.tif"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err, "");

    // A full disk, found when the buffered file is written out.
    if (file_exists("/dev/full")) {
        r = run("anymaptag", {"-c", "none", "in.pgm", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("/dev/full: Write error: No space left on device"), std::string::npos)
            << r.err;
    }
}

}  // namespace
