// cmapexpand through its command line: colour-map depth, interleaved and
// separate output, compression carried over or chosen, the fields copied
// from the input, refusals and failures.
#include "harness.h"
#include "tiff_bytes.h"

#include <cmath>

namespace {

// A 256-entry colour map, red, green and blue.
struct colormap {
    std::vector<uint16_t> red = std::vector<uint16_t>(256), green = red, blue = red;
};

// A map of 16-bit values, as TIFF prescribes, with no entry a multiple of
// 257 beyond the first, so that scaling truncates.
colormap sixteen_bit_map()
{
    colormap m;
    for (int i = 0; i < 256; i++) {
        m.red[i] = (uint16_t)(i * 257 + (i > 0 ? 200 : 0));
        m.green[i] = (uint16_t)((255 - i) * 257);
        m.blue[i] = (uint16_t)((i * 40503u) & 0xffff);
    }
    m.red[7] = 65535;
    m.green[7] = 32768;
    return m;
}

// A map whose entries are all at most 255.
colormap eight_bit_map()
{
    colormap m;
    for (int i = 0; i < 256; i++) {
        m.red[i] = (uint16_t)i;
        m.green[i] = (uint16_t)(i * 3 % 256);
        m.blue[i] = (uint16_t)(255 - i);
    }
    return m;
}

// The RGB bytes of `indices`, each entry turned into a byte by `reduce`:
// interleaved, or plane after plane.
bytes expand(const bytes& indices, const colormap& m, int (*reduce)(int), bool separate = false)
{
    size_t n = indices.size();
    bytes out(3 * n);
    for (size_t i = 0; i < n; i++) {
        int k = indices[i];
        const int rgb[3] = {reduce(m.red[k]), reduce(m.green[k]), reduce(m.blue[k])};
        for (size_t s = 0; s < 3; s++)
            out[separate ? s * n + i : 3 * i + s] = (uint8_t)rgb[s];
    }
    return out;
}

int scaled(int v)
{
    return v * 255 / 65535;
}

int low_byte(int v)
{
    return v & 0xff;
}

class Cmapexpand : public ToolTest {
protected:
    // Writes an 8-bit palette image; `extra` sets further fields.
    void write_palette(const std::string& name, uint32_t width, uint32_t height,
                       const bytes& indices, const colormap& map,
                       std::function<void(TIFF*)> extra = nullptr,
                       uint16_t compression = COMPRESSION_NONE, uint32_t rows_per_strip = 0)
    {
        tiff_spec spec;
        spec.width = width;
        spec.height = height;
        spec.photometric = PHOTOMETRIC_PALETTE;
        spec.compression = compression;
        spec.rows_per_strip = rows_per_strip;
        colormap copy = map;
        spec.extra = [copy, extra](TIFF* t) mutable {
            TIFFSetField(t, TIFFTAG_COLORMAP, copy.red.data(), copy.green.data(),
                         copy.blue.data());
            if (extra)
                extra(t);
        };
        ASSERT_TRUE(write_tiff(path(name), spec, indices));
    }

    // Runs cmapexpand on in.tif with `options`, expecting success, and
    // reads out.tif back.
    tiff_image convert(std::vector<std::string> options = {}, std::string* err = nullptr)
    {
        options.push_back("in.tif");
        options.push_back("out.tif");
        run_result r = run("cmapexpand", options);
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
           "usage: cmapexpand [options] input.tif output.tif\n"
           "where options are:\n"
           " -p contig\tpack samples contiguously (e.g. RGBRGB...)\n"
           " -p separate\tstore samples separately (e.g. RRR...GGG...BBB...)\n"
           " -r #\t\tmake each strip have no more than # rows\n"
           " -C 8\t\tassume 8-bit colormap values (instead of 16-bit)\n"
           " -C 16\t\tassume 16-bit colormap values\n"
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
           "\n"
           "LZW and deflate options:\n"
           " #\t\tset predictor value\n"
           "For example, -c lzw:2 to get LZW-encoded data with horizontal differencing\n";
}

TEST_F(Cmapexpand, UsageErrors)
{
    write_palette("in.tif", 2, 1, {1, 2}, eight_bit_map());
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"in.tif"},
        {"in.tif", "out.tif", "extra"},  // exactly two names
        {"-x", "in.tif", "out.tif"},
        {"-p", "planar", "in.tif", "out.tif"},
        {"-p", "Separate", "in.tif", "out.tif"},
        {"-c", "g3", "in.tif", "out.tif"},
        {"-c", "g4", "in.tif", "out.tif"},
        {"-c", "jpeg:q", "in.tif", "out.tif"},
        {"in.tif", "out.tif", "-C"},
    };
    for (const auto& args : cases) {
        run_result r = run("cmapexpand", args);
        EXPECT_EQ(r.status, 255) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.substr(r.err.find(TIFFGetVersion())), expected_usage())
            << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
}

TEST_F(Cmapexpand, ColormapDepth)
{
    const uint32_t w = 13, h = 5;
    const bytes indices = pattern_bytes(w * h, 3);
    // 16-bit entries are scaled by 255/65535, truncated; no warning.
    colormap wide = sixteen_bit_map();
    write_palette("in.tif", w, h, indices, wide);
    std::string err;
    tiff_image image = convert({}, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(image.samples_per_pixel, 3);
    EXPECT_EQ(image.bits_per_sample, 8);
    EXPECT_EQ(image.pixels, expand(indices, wide, scaled));
    // White 65535 is 255 and 32768 is 127.
    write_palette("in.tif", 1, 1, {7}, wide);
    EXPECT_EQ(convert().pixels, bytes({255, 127, (uint8_t)scaled(wide.blue[7])}));

    // Entries all at most 255 are used as they are, after a warning.
    colormap narrow = eight_bit_map();
    write_palette("in.tif", w, h, indices, narrow);
    image = convert({}, &err);
    EXPECT_EQ(err, "Warning, assuming 8-bit colormap.\n");
    EXPECT_EQ(image.pixels, expand(indices, narrow, low_byte));

    // -C 16 scales an 8-bit map down (255 becomes 0), -C 8 (or any other
    // number) keeps the low 8 bits of a 16-bit one; neither warns.
    image = convert({"-C", "16"}, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(image.pixels, bytes(3 * w * h, 0));
    write_palette("in.tif", w, h, indices, wide);
    for (const char* bits : {"8", "4", "0"}) {
        image = convert({"-C", bits}, &err);
        EXPECT_EQ(err, "") << bits;
        EXPECT_EQ(image.pixels, expand(indices, wide, low_byte)) << bits;
    }
    write_palette("in.tif", 1, 1, {7}, wide);
    EXPECT_EQ(convert({"-C", "8"}).pixels, bytes({255, 0, (uint8_t)wide.blue[7]}));
    // -C -1 is the same as no -C: detection.
    write_palette("in.tif", w, h, indices, narrow);
    image = convert({"-C", "16", "-C", "-1"}, &err);
    EXPECT_EQ(err, "Warning, assuming 8-bit colormap.\n");
    EXPECT_EQ(image.pixels, expand(indices, narrow, low_byte));
}

TEST_F(Cmapexpand, InterleavedAndSeparateOutput)
{
    // Big enough for strips of many rows in either layout.
    const uint32_t w = 301, h = 230;
    const bytes indices = pattern_bytes(w * h, 4);
    const colormap m = sixteen_bit_map();
    write_palette("in.tif", w, h, indices, m, nullptr, COMPRESSION_NONE, 17);
    tiff_image image = convert();
    EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
    EXPECT_TRUE(image.pixels == expand(indices, m, scaled));
    EXPECT_EQ(convert({"-p", "separate", "-p", "contig"}).planar, PLANARCONFIG_CONTIG);

    for (std::vector<std::string> options :
         {std::vector<std::string>{"-p", "separate"}, {"-p", "separate", "-r", "9"},
          {"-p", "separate", "-c", "lzw:2"}, {"-p", "separate", "-r", "1"}}) {
        image = convert(options);
        EXPECT_EQ(image.planar, PLANARCONFIG_SEPARATE);
        EXPECT_EQ(image.samples_per_pixel, 3);
        EXPECT_EQ(image.height, h);
        EXPECT_TRUE(image.pixels == expand(indices, m, scaled, true))
            << ::testing::PrintToString(options);
    }
    // The default strip height puts many rows in a strip of each plane.
    EXPECT_GT(convert({"-p", "separate"}).rows_per_strip, 1u);
    EXPECT_EQ(convert({"-p", "separate", "-r", "9"}).rows_per_strip, 9u);
}

TEST_F(Cmapexpand, IndexIsThePixelsFirstSample)
{
    // Index and alpha interleaved: the index is every other byte.
    const bytes pixels = pattern_bytes(2 * 7 * 3, 5);
    bytes indices;
    for (size_t i = 0; i < pixels.size(); i += 2)
        indices.push_back(pixels[i]);
    const colormap m = sixteen_bit_map();
    tiff_spec spec;
    spec.width = 7;
    spec.height = 3;
    spec.samples_per_pixel = 2;
    spec.photometric = PHOTOMETRIC_PALETTE;
    colormap copy = m;
    spec.extra = [&](TIFF* t) {
        const uint16_t alpha[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, alpha);
        TIFFSetField(t, TIFFTAG_COLORMAP, copy.red.data(), copy.green.data(), copy.blue.data());
    };
    ASSERT_TRUE(write_tiff(path("in.tif"), spec, pixels));
    tiff_image image = convert();
    EXPECT_EQ(image.pixels, expand(indices, m, scaled));
    // ExtraSamples is not among the fields cmapexpand copies.
    EXPECT_EQ(directory_tags(path("out.tif")).count(TIFFTAG_EXTRASAMPLES), 0u);
}

TEST_F(Cmapexpand, UnsuitableInputsAreRefused)
{
    struct {
        uint16_t photometric, samples, bits;
        std::string message;
    } cases[] = {
        {PHOTOMETRIC_MINISBLACK, 1, 8, "in.tif: Expecting a palette image.\n"},
        {PHOTOMETRIC_RGB, 3, 8, "in.tif: Expecting a palette image.\n"},
        {PHOTOMETRIC_PALETTE, 1, 4, "in.tif: Sorry, can only handle 8-bit images.\n"},
        {PHOTOMETRIC_PALETTE, 1, 16, "in.tif: Sorry, can only handle 8-bit images.\n"},
        // A palette image without a map is read by libtiff as grey.
        {0xffff, 1, 8, "in.tif: Expecting a palette image.\n"},
    };
    for (const auto& c : cases) {
        tiff_spec spec;
        spec.width = 4;
        spec.height = 2;
        spec.photometric = c.photometric == 0xffff ? PHOTOMETRIC_PALETTE : c.photometric;
        spec.samples_per_pixel = c.samples;
        spec.bits_per_sample = c.bits;
        std::vector<uint16_t> map((size_t)1 << c.bits, 0);
        if (c.photometric == PHOTOMETRIC_PALETTE)
            spec.extra = [&](TIFF* t) {
                TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
            };
        ASSERT_TRUE(write_tiff(path("in.tif"), spec, bytes(4 * 2 * 2 * 3, 0)));
        run_result r = run("cmapexpand", {"in.tif", "out.tif"});
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err.substr(r.err.rfind("in.tif:")), c.message);
        EXPECT_TRUE(only_warnings(r.err.substr(0, r.err.rfind("in.tif:")))) << r.err;
        EXPECT_FALSE(file_exists(path("out.tif")));
    }
    run_result r = run("cmapexpand", {"missing.tif", "out.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos);
    // An output that cannot be created: -2.
    write_palette("in.tif", 2, 1, {1, 2}, sixteen_bit_map());
    r = run("cmapexpand", {"in.tif", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 254);
    EXPECT_NE(r.err.find("no/such/dir/out.tif"), std::string::npos);
}

TEST_F(Cmapexpand, CompressionCarriedOverOrChosen)
{
    const uint32_t w = 40, h = 24;
    const bytes indices = pattern_bytes(w * h, 6);
    const colormap m = sixteen_bit_map();
    struct {
        uint16_t input;
        std::vector<std::string> options;
        uint16_t output;
        int predictor;  // 0: none written
    } cases[] = {
        {COMPRESSION_LZW, {}, COMPRESSION_LZW, 0},
        {COMPRESSION_PACKBITS, {}, COMPRESSION_PACKBITS, 0},
        {COMPRESSION_ADOBE_DEFLATE, {}, COMPRESSION_ADOBE_DEFLATE, 0},
        {COMPRESSION_NONE, {}, COMPRESSION_NONE, 0},
        {COMPRESSION_LZW, {"-c", "none"}, COMPRESSION_NONE, 0},
        {COMPRESSION_NONE, {"-c", "lzw"}, COMPRESSION_LZW, 0},
        {COMPRESSION_PACKBITS, {"-c", "lzw:2"}, COMPRESSION_LZW, 2},
        {COMPRESSION_LZW, {"-c", "zip:2"}, COMPRESSION_DEFLATE, 2},
        {COMPRESSION_LZW, {"-c", "packbits", "-p", "separate"}, COMPRESSION_PACKBITS, 0},
    };
    for (const auto& c : cases) {
        // The input's own predictor is not carried over.
        write_palette("in.tif", w, h, indices, m, [&](TIFF* t) {
            if (c.input == COMPRESSION_LZW)
                TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        }, c.input);
        tiff_image image = convert(c.options);
        std::string label = std::to_string(c.input) + " " + ::testing::PrintToString(c.options);
        EXPECT_EQ(image.compression, c.output) << label;
        EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB) << label;
        bool separate = image.planar == PLANARCONFIG_SEPARATE;
        EXPECT_EQ(image.pixels, expand(indices, m, scaled, separate)) << label;
        tiff_handle t = open_tiff(path("out.tif"));
        uint16_t predictor = 0;
        EXPECT_EQ(TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor) != 0, c.predictor != 0)
            << label;
        if (c.predictor) {
            EXPECT_EQ(predictor, c.predictor) << label;
        }
    }
    // JPEG: YCbCr in the RGB colour mode, RGB with :r and for separate
    // planes (which libtiff cannot subsample); colours close, no warning.
    write_palette("in.tif", w, h, indices, m);
    struct {
        std::vector<std::string> options;
        uint16_t photometric;
    } jpeg_cases[] = {
        {{"-c", "jpeg"}, PHOTOMETRIC_YCBCR},
        {{"-c", "jpeg:90"}, PHOTOMETRIC_YCBCR},
        {{"-c", "jpeg:r"}, PHOTOMETRIC_RGB},
        {{"-p", "separate", "-c", "jpeg"}, PHOTOMETRIC_RGB},
        {{"-p", "separate", "-c", "jpeg:r"}, PHOTOMETRIC_RGB},
    };
    for (const auto& c : jpeg_cases) {
        std::string err, label = ::testing::PrintToString(c.options);
        tiff_image image = convert(c.options, &err);
        EXPECT_EQ(err, "") << label;
        EXPECT_EQ(image.compression, COMPRESSION_JPEG) << label;
        EXPECT_EQ(image.photometric, c.photometric) << label;
        const bytes want = expand(indices, m, scaled, image.planar == PLANARCONFIG_SEPARATE);
        ASSERT_EQ(image.pixels.size(), want.size()) << label;
        double error = 0;
        for (size_t i = 0; i < want.size(); i++)
            error += std::abs((int)image.pixels[i] - (int)want[i]);
        EXPECT_LT(error / want.size(), 40) << label;
    }
}

TEST_F(Cmapexpand, FieldsAreCopied)
{
    const float white[2] = {0.3127f, 0.329f};
    const float primaries[6] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f};
    const float coefficients[3] = {0.299f, 0.587f, 0.114f};
    const float reference[6] = {16, 235, 128, 240, 128, 240};
    const char inks[] = "index ink";
    const colormap m = sixteen_bit_map();
    const bytes indices = pattern_bytes(5 * 4, 7);
    write_palette("in.tif", 5, 4, indices, m, [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_THRESHHOLDING, THRESHHOLD_HALFTONE);
        TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "the document");
        TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "the description");
        TIFFSetField(t, TIFFTAG_MAKE, "the make");
        TIFFSetField(t, TIFFTAG_MODEL, "the model");
        TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_BOTLEFT);
        TIFFSetField(t, TIFFTAG_MINSAMPLEVALUE, 3);
        TIFFSetField(t, TIFFTAG_MAXSAMPLEVALUE, 250);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 150.5);
        TIFFSetField(t, TIFFTAG_PAGENAME, "page two");
        TIFFSetField(t, TIFFTAG_XPOSITION, 1.5);
        TIFFSetField(t, TIFFTAG_YPOSITION, 2.25);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        TIFFSetField(t, TIFFTAG_PAGENUMBER, 2, 9);
        TIFFSetField(t, TIFFTAG_SOFTWARE, "the software");
        TIFFSetField(t, TIFFTAG_DATETIME, "2024:01:02 03:04:05");
        TIFFSetField(t, TIFFTAG_ARTIST, "the artist");
        TIFFSetField(t, TIFFTAG_HOSTCOMPUTER, "the host");
        TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
        TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
        TIFFSetField(t, TIFFTAG_HALFTONEHINTS, 10, 240);
        TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK);
        TIFFSetField(t, TIFFTAG_INKNAMES, (int)sizeof inks, inks);
        TIFFSetField(t, TIFFTAG_DOTRANGE, 5, 250);
        TIFFSetField(t, TIFFTAG_TARGETPRINTER, "the printer");
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
        TIFFSetField(t, TIFFTAG_YCBCRCOEFFICIENTS, coefficients);
        TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 2, 1);
        TIFFSetField(t, TIFFTAG_YCBCRPOSITIONING, YCBCRPOSITION_COSITED);
        TIFFSetField(t, TIFFTAG_REFERENCEBLACKWHITE, reference);
    }, COMPRESSION_NONE, 2);
    run_result r = run("cmapexpand", {"-r", "3", "in.tif", "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_EQ(image.width, 5u);
    EXPECT_EQ(image.height, 4u);
    EXPECT_EQ(image.fill_order, FILLORDER_LSB2MSB);
    EXPECT_EQ(image.orientation, ORIENTATION_BOTLEFT);
    EXPECT_EQ(image.rows_per_strip, 3u);  // set after the copy
    EXPECT_EQ(image.pixels, expand(indices, m, scaled));

    tiff_handle t = open_tiff(path("out.tif"));
    ASSERT_TRUE(t);
    TIFF* out = t.get();
    uint32_t v32 = 0;
    uint16_t a = 0, b = 0;
    float f = 0;
    const char* text = nullptr;
    const float* floats = nullptr;
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_SUBFILETYPE, &v32) && v32 == FILETYPE_PAGE);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_THRESHHOLDING, &a) && a == THRESHHOLD_HALFTONE);
    auto text_of = [&](ttag_t tag) {
        text = nullptr;
        return TIFFGetField(out, tag, &text) && text ? std::string(text) : std::string("(none)");
    };
    EXPECT_EQ(text_of(TIFFTAG_DOCUMENTNAME), "the document");
    EXPECT_EQ(text_of(TIFFTAG_IMAGEDESCRIPTION), "the description");
    EXPECT_EQ(text_of(TIFFTAG_MAKE), "the make");
    EXPECT_EQ(text_of(TIFFTAG_MODEL), "the model");
    EXPECT_EQ(text_of(TIFFTAG_PAGENAME), "page two");
    EXPECT_EQ(text_of(TIFFTAG_SOFTWARE), "the software");
    EXPECT_EQ(text_of(TIFFTAG_DATETIME), "2024:01:02 03:04:05");
    EXPECT_EQ(text_of(TIFFTAG_ARTIST), "the artist");
    EXPECT_EQ(text_of(TIFFTAG_HOSTCOMPUTER), "the host");
    EXPECT_EQ(text_of(TIFFTAG_TARGETPRINTER), "the printer");
    EXPECT_EQ(text_of(TIFFTAG_INKNAMES), "index ink");
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_MINSAMPLEVALUE, &a) && a == 3);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_MAXSAMPLEVALUE, &a) && a == 250);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_XRESOLUTION, &f) && f == 72.0f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_YRESOLUTION, &f) && f == 150.5f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_XPOSITION, &f) && f == 1.5f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_YPOSITION, &f) && f == 2.25f);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_RESOLUTIONUNIT, &a) && a == RESUNIT_CENTIMETER);
    EXPECT_TRUE(TIFFGetField(out, TIFFTAG_PAGENUMBER, &a, &b) && a == 2 && b == 9);
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
    t.reset();

    // An input with none of them: the output holds only the fields that
    // every image has and cmapexpand's own.
    write_palette("in.tif", 5, 4, indices, m);
    convert();
    std::set<uint16_t> tags = directory_tags(path("out.tif"));
    ASSERT_FALSE(tags.empty());
    for (uint16_t tag : tags)
        EXPECT_TRUE(tag == 256 || tag == 257 || tag == 258 || tag == 259 || tag == 262 ||
                    tag == 273 || tag == 277 || tag == 278 || tag == 279 || tag == 284)
            << tag;
}

TEST_F(Cmapexpand, UnreadableRowsStopTheConversion)
{
    const uint32_t w = 10, h = 40;
    const bytes indices = pattern_bytes(w * h, 9);
    const colormap m = sixteen_bit_map();
    const bytes rgb = expand(indices, m, scaled);
    // Strips of 3 rows; the strip of rows 24 to 26 is lost.
    write_palette("in.tif", w, h, indices, m, nullptr, COMPRESSION_NONE, 3);
    ASSERT_TRUE(break_strip(path("in.tif"), 8));
    for (std::vector<std::string> options :
         {std::vector<std::string>{}, {"-c", "lzw"}, {"-r", "5", "-c", "jpeg"}}) {
        std::vector<std::string> args = options;
        args.push_back("in.tif");
        args.push_back("out.tif");
        run_result r = run("cmapexpand", args);
        EXPECT_EQ(r.status, 1) << r.err;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image));
        EXPECT_EQ(image.height, 24u);
        if (options.size() < 4) {
            EXPECT_EQ(image.pixels, bytes(rgb.begin(), rgb.begin() + 3 * w * 24));
        }
    }

    // Separate planes, in strips of several rows: each plane has the rows
    // that could be read.
    for (const char* rows : {"-1", "7", "24"}) {
        tiff_messages().clear();
        run_result r = run("cmapexpand", {"-p", "separate", "-r", rows, "in.tif", "out.tif"});
        EXPECT_EQ(r.status, 1) << r.err;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image));
        EXPECT_EQ(image.height, 24u);
        bytes expected = expand(bytes(indices.begin(), indices.begin() + w * 24), m, scaled, true);
        EXPECT_EQ(image.pixels, expected) << rows;
        EXPECT_TRUE(tiff_messages().empty()) << tiff_messages()[0];
    }

    // Nothing readable: no output at all.
    write_palette("in.tif", w, h, indices, m, nullptr, COMPRESSION_NONE, 3);
    ASSERT_TRUE(break_strip(path("in.tif"), 0));
    for (const char* planar : {"contig", "separate"}) {
        write_file(path("out.tif"), "old contents");
        run_result r = run("cmapexpand", {"-p", planar, "in.tif", "out.tif"});
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(file_exists(path("out.tif"))) << planar;
    }
}

TEST_F(Cmapexpand, FailedWritesAreFailures)
{
    write_palette("in.tif", 4, 4, pattern_bytes(16), sixteen_bit_map());
    if (file_exists("/dev/full")) {
        for (const char* planar : {"contig", "separate"}) {
            run_result r = run("cmapexpand", {"-p", planar, "in.tif", "/dev/full"});
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("/dev/full: Write error: No space left on device"),
                      std::string::npos)
                << r.err;
        }
    }
}

}  // namespace
