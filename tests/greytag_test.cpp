// greytag through its command line: the weights and their arithmetic, RGB
// in both layouts and palette input, colour-map depth, output fields,
// descriptive fields carried over, refusals and failures.
#include "harness.h"
#include "tiff_bytes.h"

#include <cmath>
#include <sys/stat.h>

namespace {

// The weight -R/-G/-B give for a percentage.
int weight(int percent)
{
    return (percent * 255 + 127) / 100;
}

// Bits 8 to 15 of the weighted sum.
uint8_t grey(int r, int g, int b, int wr = 77, int wg = 151, int wb = 29)
{
    int64_t sum = (int64_t)wr * r + (int64_t)wg * g + (int64_t)wb * b;
    return (uint8_t)((sum & 0xff00) >> 8);
}

// Interleaved RGB bytes to the three planes one after the other.
bytes to_planes(const bytes& rgb)
{
    size_t n = rgb.size() / 3;
    bytes planes(rgb.size());
    for (size_t i = 0; i < n; i++)
        for (size_t s = 0; s < 3; s++)
            planes[s * n + i] = rgb[3 * i + s];
    return planes;
}

// A 256-entry colour map, red, green and blue.
struct colormap {
    std::vector<uint16_t> red = std::vector<uint16_t>(256), green = red, blue = red;
};

class Greytag : public ToolTest {
protected:
    // Writes an 8-bit RGB image from interleaved bytes.
    void write_rgb(const std::string& name, uint32_t width, uint32_t height, const bytes& rgb,
                   uint16_t planar = PLANARCONFIG_CONTIG, uint32_t rows_per_strip = 0,
                   std::function<void(TIFF*)> extra = nullptr)
    {
        tiff_spec spec;
        spec.width = width;
        spec.height = height;
        spec.samples_per_pixel = 3;
        spec.photometric = PHOTOMETRIC_RGB;
        spec.planar = planar;
        spec.rows_per_strip = rows_per_strip;
        spec.extra = extra;
        ASSERT_TRUE(write_tiff(path(name), spec,
                               planar == PLANARCONFIG_SEPARATE ? to_planes(rgb) : rgb));
    }

    // Writes an 8-bit palette image.
    void write_palette(const std::string& name, uint32_t width, uint32_t height,
                       const bytes& indices, const colormap& map,
                       uint16_t planar = PLANARCONFIG_CONTIG)
    {
        tiff_spec spec;
        spec.width = width;
        spec.height = height;
        spec.photometric = PHOTOMETRIC_PALETTE;
        spec.planar = planar;
        colormap copy = map;
        spec.extra = [copy](TIFF* t) mutable {
            TIFFSetField(t, TIFFTAG_COLORMAP, copy.red.data(), copy.green.data(),
                         copy.blue.data());
        };
        ASSERT_TRUE(write_tiff(path(name), spec, indices));
    }

    // Runs greytag on in.tif with `options`, expecting success, and reads
    // out.tif back.
    tiff_image convert(std::vector<std::string> options = {}, std::string* err = nullptr)
    {
        options.push_back("in.tif");
        options.push_back("out.tif");
        run_result r = run("greytag", options);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0) << r.err;
        if (err)
            *err = r.err;
        else
            EXPECT_TRUE(only_warnings(r.err)) << r.err;
        tiff_image image;
        read_tiff(path("out.tif"), &image);
        return image;
    }
};

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: greytag [options] input.tif output.tif\n"
           "where options are:\n"
           " -R %\t\tuse #% from red channel\n"
           " -G %\t\tuse #% from green channel\n"
           " -B %\t\tuse #% from blue channel\n"
           "\n"
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
           "\n"
           "LZW and deflate options:\n"
           " #\t\tset predictor value\n"
           "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing\n";
}

TEST_F(Greytag, UsageErrors)
{
    write_rgb("in.tif", 1, 1, {1, 2, 3});
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"in.tif"},
        {"-x", "in.tif", "out.tif"},
        {"in.tif", "out.tif", "-r"},
        // g3 and g4 are in the help text, but greytag does not take them.
        {"-c", "g3", "in.tif", "out.tif"},
        {"-c", "g4", "in.tif", "out.tif"},
        {"-c", "LZW", "in.tif", "out.tif"},
        {"-c", "jpeg:", "in.tif", "out.tif"},
        {"-c", "jpeg:x", "in.tif", "out.tif"},
    };
    for (const auto& args : cases) {
        run_result r = run("greytag", args);
        EXPECT_EQ(r.status, 255) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.substr(r.err.find(TIFFGetVersion())), expected_usage())
            << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
    // Names after the second are ignored.
    run_result r = run("greytag", {"in.tif", "out.tif", "extra"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(file_exists(path("out.tif")));
}

TEST_F(Greytag, DefaultWeights)
{
    // White, black, the primaries and a few others, one pixel each.
    const bytes rgb = {255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255,
                       10, 200, 30, 128, 128, 128, 1, 2, 3};
    write_rgb("in.tif", 8, 1, rgb);
    tiff_image image = convert();
    ASSERT_EQ(image.pixels.size(), 8u);
    EXPECT_EQ(image.pixels[0], 255);
    EXPECT_EQ(image.pixels[1], 0);
    EXPECT_EQ(image.pixels[2], 76);
    EXPECT_EQ(image.pixels[3], 150);
    EXPECT_EQ(image.pixels[4], 28);
    for (size_t i = 0; i < 8; i++)
        EXPECT_EQ(image.pixels[i], grey(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2])) << i;
    // -R 30 -G 59 -B 11 are the defaults.
    EXPECT_EQ(weight(30), 77);
    EXPECT_EQ(weight(59), 151);
    EXPECT_EQ(weight(11), 29);
    EXPECT_EQ(convert({"-R", "30", "-G", "59", "-B", "11"}).pixels, image.pixels);
}

TEST_F(Greytag, WeightOptionsAndWrapAround)
{
    const bytes rgb = {255, 0, 0, 255, 255, 255, 0, 255, 0, 0, 0, 255, 90, 180, 45};
    write_rgb("in.tif", 5, 1, rgb);
    // -R 100 -G 0 -B 0 give 256, 1, 1: white sums to 65790 and wraps to 0.
    tiff_image image = convert({"-R", "100", "-G", "0", "-B", "0"});
    ASSERT_EQ(image.pixels.size(), 5u);
    EXPECT_EQ(image.pixels[0], 255);
    EXPECT_EQ(image.pixels[1], 0);
    for (size_t i = 0; i < 5; i++)
        EXPECT_EQ(image.pixels[i], grey(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], 256, 1, 1));

    struct {
        std::vector<std::string> options;
        int wr, wg, wb;
    } cases[] = {
        {{"-R", "50"}, weight(50), 151, 29},
        {{"-G", "-50"}, 77, weight(-50), 29},  // negative sums keep their low bits
        {{"-B", "200"}, 77, 151, weight(200)},
        {{"-R", "10", "-R", "90"}, weight(90), 151, 29},  // the last one counts
        {{"-R", "0", "-G", "0", "-B", "0"}, 1, 1, 1},
        {{"-R", "abc"}, 1, 151, 29},  // atoi gives 0
        {{"-G", "1000000"}, 77, weight(1000000), 29},  // far beyond 16 bits
    };
    for (const auto& c : cases) {
        image = convert(c.options);
        ASSERT_EQ(image.pixels.size(), 5u);
        for (size_t i = 0; i < 5; i++)
            EXPECT_EQ(image.pixels[i],
                      grey(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], c.wr, c.wg, c.wb))
                << ::testing::PrintToString(c.options) << " pixel " << i;
    }
    EXPECT_EQ(weight(50), 128);
    EXPECT_EQ(weight(-50), -126);
    EXPECT_EQ(weight(200), 511);
    EXPECT_EQ(weight(0), 1);
    EXPECT_EQ(weight(100), 256);
}

TEST_F(Greytag, InterleavedAndSeparateRgbGiveTheSameGrey)
{
    // 13 wide (not a multiple of 8), 9 rows in strips of 2 rows.
    const uint32_t w = 13, h = 9;
    const bytes rgb = pattern_bytes(3 * w * h, 5);
    bytes expected(w * h);
    for (size_t i = 0; i < expected.size(); i++)
        expected[i] = grey(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], weight(39), weight(58),
                           weight(2));
    for (uint16_t planar : {PLANARCONFIG_CONTIG, PLANARCONFIG_SEPARATE}) {
        write_rgb("in.tif", w, h, rgb, planar, 2);
        tiff_image image = convert({"-R", "39", "-G", "58", "-B", "2"});
        EXPECT_EQ(image.width, w);
        EXPECT_EQ(image.height, h);
        EXPECT_EQ(image.pixels, expected) << planar;
    }
    // A large image passes through many strips of either layout.
    const uint32_t bw = 700, bh = 300;
    const bytes big = pattern_bytes(3 * bw * bh, 6);
    expected.resize(bw * bh);
    for (size_t i = 0; i < expected.size(); i++)
        expected[i] = grey(big[3 * i], big[3 * i + 1], big[3 * i + 2]);
    for (uint16_t planar : {PLANARCONFIG_CONTIG, PLANARCONFIG_SEPARATE}) {
        write_rgb("in.tif", bw, bh, big, planar, 7);
        tiff_image image = convert({"-c", "lzw"});
        EXPECT_TRUE(image.pixels == expected) << planar;
    }
}

TEST_F(Greytag, CompressedSeparatePlanesInStripsOfAnyHeight)
{
    // Each plane's strips are decoded in order whatever the codec: Deflate
    // cannot go back inside a strip, LZW only by decoding it again.
    const uint32_t w = 30, h = 40;
    const bytes rgb = pattern_bytes(3 * w * h, 8);
    bytes expected(w * h);
    for (size_t i = 0; i < expected.size(); i++)
        expected[i] = grey(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    for (uint16_t codec : {COMPRESSION_ADOBE_DEFLATE, COMPRESSION_LZW, COMPRESSION_PACKBITS})
        for (uint32_t rows_per_strip : {1u, 16u, h}) {
            write_rgb("in.tif", w, h, rgb, PLANARCONFIG_SEPARATE, rows_per_strip,
                      [codec](TIFF* t) { TIFFSetField(t, TIFFTAG_COMPRESSION, codec); });
            tiff_image image = convert();
            EXPECT_EQ(image.height, h) << codec << " " << rows_per_strip;
            EXPECT_TRUE(image.pixels == expected) << codec << " " << rows_per_strip;
        }
}

TEST_F(Greytag, PaletteColormapDepth)
{
    const uint32_t w = 11, h = 3;
    bytes indices = pattern_bytes(w * h, 8);
    // All entries at most 255: used as they are, with a warning.
    colormap small;
    for (int i = 0; i < 256; i++) {
        small.red[i] = (uint16_t)i;
        small.green[i] = (uint16_t)(255 - i);
        small.blue[i] = (uint16_t)(i * 7 % 256);
    }
    for (uint16_t planar : {PLANARCONFIG_CONTIG, PLANARCONFIG_SEPARATE}) {
        write_palette("in.tif", w, h, indices, small, planar);
        std::string err;
        tiff_image image = convert({}, &err);
        EXPECT_EQ(err, "in.tif: Warning, Assuming 8-bit colormap.\n");
        ASSERT_EQ(image.pixels.size(), indices.size());
        for (size_t i = 0; i < indices.size(); i++) {
            int k = indices[i];
            EXPECT_EQ(image.pixels[i], grey(small.red[k], small.green[k], small.blue[k])) << i;
        }
    }
    // A single entry above 255 makes the whole map 16-bit: every entry is
    // scaled by 255/65535, truncated, and there is no warning.
    colormap big = small;
    big.blue[200] = 256;
    write_palette("in.tif", w, h, indices, big);
    tiff_image image = convert();
    for (size_t i = 0; i < indices.size(); i++) {
        int k = indices[i];
        EXPECT_EQ(image.pixels[i], grey(big.red[k] * 255 / 65535, big.green[k] * 255 / 65535,
                                        big.blue[k] * 255 / 65535))
            << i;
    }
    // Full 16-bit entries: 65535 is white, 32768 becomes 127.
    colormap full;
    for (int i = 0; i < 256; i++)
        full.red[i] = full.green[i] = full.blue[i] = (uint16_t)(i * 257);
    full.red[1] = full.green[1] = full.blue[1] = 32768;
    write_palette("in.tif", 4, 1, {255, 0, 1, 128}, full);
    image = convert();
    EXPECT_EQ(image.pixels, bytes({255, 0, grey(127, 127, 127), grey(128, 128, 128)}));
}

TEST_F(Greytag, UnsuitableInputsAreRefused)
{
    struct {
        tiff_spec spec;
        std::string message;
    } cases[6];
    cases[0].spec.photometric = PHOTOMETRIC_MINISBLACK;
    cases[0].message = "in.tif: Bad photometric; can only handle RGB and Palette images.\n";
    cases[1].spec.photometric = PHOTOMETRIC_SEPARATED;
    cases[1].spec.samples_per_pixel = 4;
    cases[1].message = cases[0].message;
    cases[2].spec.photometric = PHOTOMETRIC_RGB;
    cases[2].spec.samples_per_pixel = 4;
    cases[2].spec.extra = [](TIFF* t) {
        const uint16_t alpha[1] = {EXTRASAMPLE_ASSOCALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, alpha);
    };
    cases[2].message = "in.tif: Bad samples/pixel 4.\n";
    // RGB with one sample a pixel: three bytes a pixel are not there.
    cases[3].spec.photometric = PHOTOMETRIC_RGB;
    cases[3].spec.samples_per_pixel = 1;
    cases[3].message = "in.tif: Bad samples/pixel 1.\n";
    cases[4].spec.photometric = PHOTOMETRIC_RGB;
    cases[4].spec.samples_per_pixel = 3;
    cases[4].spec.bits_per_sample = 16;
    cases[4].message = " in.tif: Sorry, only handle 8-bit samples.\n";
    cases[5].spec.photometric = PHOTOMETRIC_MINISWHITE;
    cases[5].spec.bits_per_sample = 1;
    cases[5].message = "in.tif: Bad photometric; can only handle RGB and Palette images.\n";
    for (auto& c : cases) {
        c.spec.width = 5;
        c.spec.height = 2;
        ASSERT_TRUE(write_tiff(path("in.tif"), c.spec, bytes(5 * 2 * 8, 1)));
        run_result r = run("greytag", {"in.tif", "out.tif"});
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(file_exists(path("out.tif"))) << c.message;
    }
    // A 1-bit RGB image and a 4-bit palette image.
    tiff_spec spec;
    spec.width = 8;
    spec.photometric = PHOTOMETRIC_RGB;
    spec.samples_per_pixel = 3;
    spec.bits_per_sample = 1;
    ASSERT_TRUE(write_tiff(path("in.tif"), spec, bytes(3, 0)));
    run_result r = run("greytag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, " in.tif: Sorry, only handle 8-bit samples.\n");
    std::vector<uint16_t> map(16, 0);
    spec.photometric = PHOTOMETRIC_PALETTE;
    spec.samples_per_pixel = 1;
    spec.bits_per_sample = 4;
    spec.extra = [&](TIFF* t) { TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data()); };
    ASSERT_TRUE(write_tiff(path("in.tif"), spec, bytes(4, 0)));
    r = run("greytag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, " in.tif: Sorry, only handle 8-bit samples.\n");

    // Files that do not open: libtiff says why.
    r = run("greytag", {"missing.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos);
    write_file(path("in.tif"), "not a TIFF file at all");
    r = run("greytag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err, "");
    EXPECT_FALSE(file_exists(path("out.tif")));
    write_rgb("in.tif", 2, 2, bytes(12, 9));
    r = run("greytag", {"in.tif", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("no/such/dir/out.tif"), std::string::npos);
}

TEST_F(Greytag, OutputFields)
{
    write_rgb("in.tif", 6, 40, pattern_bytes(3 * 6 * 40), PLANARCONFIG_SEPARATE, 0,
              [](TIFF* t) {
                  TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "the input's own description");
                  TIFFSetField(t, TIFFTAG_SOFTWARE, "some other program");
              });
    tiff_image image = convert();
    EXPECT_EQ(image.width, 6u);
    EXPECT_EQ(image.height, 40u);
    EXPECT_EQ(image.bits_per_sample, 8);
    EXPECT_EQ(image.samples_per_pixel, 1);
    EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(image.compression, COMPRESSION_NONE);
    {
        tiff_handle t = open_tiff(path("out.tif"));
        const char* text = nullptr;
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &text));
        EXPECT_STREQ(text, "B&W version of in.tif");
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_SOFTWARE, &text));
        EXPECT_STREQ(text, "greytag");
        uint16_t predictor;
        EXPECT_FALSE(TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor));
    }
    EXPECT_EQ(convert({"-r", "7"}).rows_per_strip, 7u);

    struct {
        std::vector<std::string> options;
        uint16_t scheme;
        int predictor;  // 0: none written
    } cases[] = {
        {{"-c", "none"}, COMPRESSION_NONE, 0},
        {{"-c", "packbits"}, COMPRESSION_PACKBITS, 0},
        {{"-c", "lzw"}, COMPRESSION_LZW, 0},
        {{"-c", "lzw:2"}, COMPRESSION_LZW, 2},
        {{"-c", "zip:2"}, COMPRESSION_DEFLATE, 2},
        {{"-c", "jpeg:2", "-c", "zip"}, COMPRESSION_DEFLATE, 0},
    };
    bytes plain = convert().pixels;
    for (const auto& c : cases) {
        image = convert(c.options);
        EXPECT_EQ(image.compression, c.scheme) << ::testing::PrintToString(c.options);
        EXPECT_EQ(image.pixels, plain);
        tiff_handle t = open_tiff(path("out.tif"));
        uint16_t predictor = 0;
        EXPECT_EQ(TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor) != 0, c.predictor != 0);
        if (c.predictor) {
            EXPECT_EQ(predictor, c.predictor);
        }
    }
    // JPEG: a grey JPEG image, close to the exact grey.
    for (const char* arg : {"jpeg", "jpeg:90", "jpeg:r"}) {
        image = convert({"-c", arg});
        EXPECT_EQ(image.compression, COMPRESSION_JPEG);
        EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISBLACK);
        ASSERT_EQ(image.pixels.size(), plain.size());
        double error = 0;
        for (size_t i = 0; i < plain.size(); i++)
            error += std::abs((int)image.pixels[i] - (int)plain[i]);
        EXPECT_LT(error / plain.size(), 12) << arg;
    }
}

TEST_F(Greytag, DescriptiveFieldsAreCopied)
{
    const float white[2] = {0.3127f, 0.329f};
    const float primaries[6] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f};
    const float coefficients[3] = {0.299f, 0.587f, 0.114f};
    const float reference[6] = {16, 235, 128, 240, 128, 240};
    const uint16_t extra_types[1] = {EXTRASAMPLE_UNASSALPHA};
    write_rgb("in.tif", 3, 2, pattern_bytes(18), PLANARCONFIG_CONTIG, 0, [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_THRESHHOLDING, THRESHHOLD_HALFTONE);
        TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "the document");
        TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "replaced");
        TIFFSetField(t, TIFFTAG_MAKE, "the make");
        TIFFSetField(t, TIFFTAG_MODEL, "the model");
        TIFFSetField(t, TIFFTAG_MINSAMPLEVALUE, 3);
        TIFFSetField(t, TIFFTAG_MAXSAMPLEVALUE, 250);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 150.5);
        TIFFSetField(t, TIFFTAG_PAGENAME, "page one");
        TIFFSetField(t, TIFFTAG_XPOSITION, 1.5);
        TIFFSetField(t, TIFFTAG_YPOSITION, 2.25);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        TIFFSetField(t, TIFFTAG_SOFTWARE, "replaced too");
        TIFFSetField(t, TIFFTAG_DATETIME, "2024:01:02 03:04:05");
        TIFFSetField(t, TIFFTAG_ARTIST, "the artist");
        TIFFSetField(t, TIFFTAG_HOSTCOMPUTER, "the host");
        TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
        TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
        TIFFSetField(t, TIFFTAG_HALFTONEHINTS, 10, 240);
        TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK);
        TIFFSetField(t, TIFFTAG_DOTRANGE, 5, 250);
        TIFFSetField(t, TIFFTAG_TARGETPRINTER, "the printer");
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
        TIFFSetField(t, TIFFTAG_YCBCRCOEFFICIENTS, coefficients);
        TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 2, 1);
        TIFFSetField(t, TIFFTAG_YCBCRPOSITIONING, YCBCRPOSITION_COSITED);
        TIFFSetField(t, TIFFTAG_REFERENCEBLACKWHITE, reference);
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra_types);
        TIFFSetField(t, TIFFTAG_SMINSAMPLEVALUE, 3.0);
        TIFFSetField(t, TIFFTAG_SMAXSAMPLEVALUE, 250.0);
        TIFFSetField(t, TIFFTAG_STONITS, 0.5);
    });
    run_result r = run("greytag", {"in.tif", "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << r.err;

    tiff_handle t = open_tiff(path("out.tif"));
    ASSERT_TRUE(t);
    TIFF* out = t.get();
    uint32_t v32 = 0;
    uint16_t a = 0, b = 0;
    float f = 0;
    double d = 0;
    const char* text = nullptr;
    const float* floats = nullptr;
    const uint16_t* shorts = nullptr;
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_SUBFILETYPE, &v32) && v32 == FILETYPE_PAGE);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_THRESHHOLDING, &a) && a == THRESHHOLD_HALFTONE);
    auto text_of = [&](ttag_t tag) {
        text = nullptr;
        return TIFFGetField(out, tag, &text) && text ? std::string(text) : std::string("(none)");
    };
    EXPECT_EQ(text_of(TIFFTAG_DOCUMENTNAME), "the document");
    EXPECT_EQ(text_of(TIFFTAG_IMAGEDESCRIPTION), "B&W version of in.tif");
    EXPECT_EQ(text_of(TIFFTAG_MAKE), "the make");
    EXPECT_EQ(text_of(TIFFTAG_MODEL), "the model");
    EXPECT_EQ(text_of(TIFFTAG_PAGENAME), "page one");
    EXPECT_EQ(text_of(TIFFTAG_SOFTWARE), "greytag");
    EXPECT_EQ(text_of(TIFFTAG_DATETIME), "2024:01:02 03:04:05");
    EXPECT_EQ(text_of(TIFFTAG_ARTIST), "the artist");
    EXPECT_EQ(text_of(TIFFTAG_HOSTCOMPUTER), "the host");
    EXPECT_EQ(text_of(TIFFTAG_TARGETPRINTER), "the printer");
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_MINSAMPLEVALUE, &a) && a == 3);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_MAXSAMPLEVALUE, &a) && a == 250);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_XRESOLUTION, &f) && f == 72.0f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_YRESOLUTION, &f) && f == 150.5f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_XPOSITION, &f) && f == 1.5f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_YPOSITION, &f) && f == 2.25f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_RESOLUTIONUNIT, &a) && a == RESUNIT_CENTIMETER);
    ASSERT_TRUE(TIFFGetField(out, TIFFTAG_WHITEPOINT, &floats));
    EXPECT_EQ(std::vector<float>(floats, floats + 2), std::vector<float>(white, white + 2));
    ASSERT_TRUE(TIFFGetField(out, TIFFTAG_PRIMARYCHROMATICITIES, &floats));
    EXPECT_EQ(std::vector<float>(floats, floats + 6),
              std::vector<float>(primaries, primaries + 6));
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_HALFTONEHINTS, &a, &b) && a == 10 && b == 240);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_INKSET, &a) && a == INKSET_MULTIINK);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_DOTRANGE, &a, &b) && a == 5 && b == 250);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_SAMPLEFORMAT, &a) && a == SAMPLEFORMAT_UINT);
    ASSERT_TRUE(TIFFGetField(out, TIFFTAG_YCBCRCOEFFICIENTS, &floats));
    EXPECT_EQ(std::vector<float>(floats, floats + 3),
              std::vector<float>(coefficients, coefficients + 3));
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_YCBCRSUBSAMPLING, &a, &b) && a == 2 && b == 1);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_YCBCRPOSITIONING, &a) && a == YCBCRPOSITION_COSITED);
    ASSERT_TRUE(TIFFGetField(out, TIFFTAG_REFERENCEBLACKWHITE, &floats));
    EXPECT_EQ(std::vector<float>(floats, floats + 6),
              std::vector<float>(reference, reference + 6));
    ASSERT_TRUE(TIFFGetField(out, TIFFTAG_EXTRASAMPLES, &a, &shorts));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(shorts[0], EXTRASAMPLE_UNASSALPHA);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_SMINSAMPLEVALUE, &d) && d == 3.0);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_SMAXSAMPLEVALUE, &d) && d == 250.0);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_STONITS, &d) && d == 0.5);
    t.reset();

    // An input without any of them gives an output without them.
    write_rgb("in.tif", 3, 2, pattern_bytes(18));
    convert();
    std::set<uint16_t> tags = directory_tags(path("out.tif"));
    ASSERT_FALSE(tags.empty());
    for (uint16_t tag : {254, 263, 269, 271, 272, 280, 281, 282, 283, 285, 286, 287, 296, 306,
                         315, 316, 318, 319, 321, 332, 336, 337, 339, 529, 530, 531, 532, 338,
                         340, 341, 37439})
        EXPECT_EQ(tags.count(tag), 0u) << tag;
    EXPECT_EQ(tags.count(TIFFTAG_IMAGEDESCRIPTION), 1u);
    EXPECT_EQ(tags.count(TIFFTAG_SOFTWARE), 1u);
}

TEST_F(Greytag, LongInputNameFitsTheDescription)
{
    // A name of some 1300 characters, through directories of 250.
    std::string name;
    for (int i = 0; i < 5; i++) {
        name += std::string(250, (char)('a' + i)) + "/";
        ASSERT_EQ(mkdir(path(name).c_str(), 0777), 0);
    }
    name += std::string(60, 'z') + ".tif";
    write_rgb(name, 2, 1, {1, 2, 3, 4, 5, 6});
    run_result r = run("greytag", {name, "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    tiff_handle t = open_tiff(path("out.tif"));
    const char* text = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &text));
    EXPECT_EQ(std::string(text), "B&W version of " + name);
}

TEST_F(Greytag, UnreadableRowsStopTheConversion)
{
    const uint32_t w = 9, h = 12;
    const bytes rgb = pattern_bytes(3 * w * h, 11);
    bytes expected(w * h);
    for (size_t i = 0; i < expected.size(); i++)
        expected[i] = grey(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);

    // Interleaved RGB, strips of 2 rows, the strip of rows 6 and 7 lost.
    write_rgb("in.tif", w, h, rgb, PLANARCONFIG_CONTIG, 2);
    ASSERT_TRUE(break_strip(path("in.tif"), 3));
    run_result r = run("greytag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 6u);
    EXPECT_EQ(image.pixels, bytes(expected.begin(), expected.begin() + 6 * w));

    // The same through JPEG, whose strips must be finished.
    write_rgb("in.tif", w, h, rgb, PLANARCONFIG_CONTIG, 1);
    ASSERT_TRUE(break_strip(path("in.tif"), 5));
    r = run("greytag", {"-c", "jpeg", "-r", "8", "in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 5u);
    EXPECT_EQ(image.pixels.size(), 5u * w);

    // Separate planes: a lost green strip ends the program with -1, the
    // output closed with the rows before it.
    write_rgb("in.tif", w, h, rgb, PLANARCONFIG_SEPARATE, 4);
    ASSERT_TRUE(break_strip(path("in.tif"), 3 + 2));  // green, rows 8 to 11
    r = run("greytag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.height, 8u);
    EXPECT_EQ(image.pixels, bytes(expected.begin(), expected.begin() + 8 * w));

    // A palette image whose first strip is lost: no row, so no output.
    colormap map;
    write_palette("in.tif", w, h, pattern_bytes(w * h), map);
    ASSERT_TRUE(break_strip(path("in.tif"), 0));
    write_file(path("out.tif"), "old contents");
    r = run("greytag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Greytag, FailedWritesAreFailures)
{
    write_rgb("in.tif", 4, 4, pattern_bytes(48));
    if (file_exists("/dev/full")) {
        run_result r = run("greytag", {"in.tif", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("/dev/full: Write error: No space left on device"),
                  std::string::npos)
            << r.err;
    }
}

}  // namespace
