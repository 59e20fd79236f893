// chromatag through its command line: the packed YCbCr bytes of inputs of
// every kind, the sampling factors, strip heights and references, the
// fields, several directories and files, and unusable inputs.
#include <sys/stat.h>

#include "harness.h"
#include "rendering_inputs.h"
#include "tiff_bytes.h"

namespace {

std::string expected_usage()
{
    // Every help line carries a line end of its own: the text is
    // double-spaced.
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: chromatag [-c comp] [-r rows] [-h N] [-v N] input... output\n\n"
           "where comp is one of the following compression algorithms:\n\n"
           " jpeg\t\tJPEG encoding\n\n"
           " lzw\t\tLempel-Ziv & Welch encoding\n\n"
           " zip\t\tdeflate encoding\n\n"
           " packbits\tPackBits encoding (default)\n\n"
           " none\t\tno compression\n\n"
           "and the other options are:\n\n"
           " -r\trows/strip\n\n"
           " -h\thorizontal sampling factor (1,2,4)\n\n"
           " -v\tvertical sampling factor (1,2,4)\n\n"
           " -z\tstudio-range levels (Y 16-235, Cb/Cr 16-240)\n\n";
}

// How the output is coded: sampling factors and reference levels.
struct coding {
    uint32_t h = 2, v = 2;
    bool studio = false;  // -z: 16-235 luma, 16-240 chroma
};

// A level on the scale from `black` to `white` in `steps` steps, rounded;
// anything outside 0..255 is held at 255.
int code_of(float value, float black, float white, int steps)
{
    int code = (int)(black + (white - black) * value / steps + 0.5);
    return code < 0 || code > 255 ? 255 : code;
}

// The strips the output should hold for the top-down RGBA image `rgba` of
// width x height: strips of `rows_per_strip` rows, each cut into block
// rows of v rows from its top (the last one may be shorter), each block
// h x v luma codes (padding outside the image), then Cb and Cr averaged
// over the block's pixels inside the image.
std::vector<bytes> packed_strips(const bytes& rgba, uint32_t width, uint32_t height,
                                 uint32_t rows_per_strip, const coding& c)
{
    const float yb = c.studio ? 16 : 0, yw = c.studio ? 235 : 255;
    const float cb_black = 128, cb_white = c.studio ? 240 : 255;
    const uint8_t pad = (uint8_t)code_of(0, yb, yw, 255);
    std::vector<bytes> strips;
    for (uint32_t top = 0; top < height; top += rows_per_strip) {
        uint32_t end = std::min(height, top + rows_per_strip);
        bytes s;
        for (uint32_t by = top; by < end; by += c.v)
            for (uint32_t bx = 0; bx < width; bx += c.h) {
                float cb = 0, cr = 0;
                int inside = 0;
                for (uint32_t y = by; y < by + c.v; y++)
                    for (uint32_t x = bx; x < bx + c.h; x++) {
                        if (y >= end || x >= width) {
                            s.push_back(pad);
                            continue;
                        }
                        const uint8_t* p = &rgba[((size_t)y * width + x) * 4];
                        float luma = (float)p[0] * 0.299f + (float)p[1] * 0.587f +
                                     (float)p[2] * 0.114f;
                        cb += ((float)p[2] - luma) * (1.0f / (2 - 2 * 0.114f));
                        cr += ((float)p[0] - luma) * (1.0f / (2 - 2 * 0.299f));
                        inside++;
                        s.push_back((uint8_t)code_of(luma, yb, yw, 255));
                    }
                s.push_back((uint8_t)code_of(cb / inside, cb_black, cb_white, 127));
                s.push_back((uint8_t)code_of(cr / inside, cb_black, cb_white, 127));
            }
        strips.push_back(s);
    }
    return strips;
}

// The decoded strips of directory `directory` of `file`.
std::vector<bytes> stored_strips(const std::string& file, int directory = 0)
{
    std::vector<bytes> strips;
    tiff_handle t = open_tiff(file);
    if (!t || !TIFFSetDirectory(t.get(), (tdir_t)directory)) {
        ADD_FAILURE() << "cannot read directory " << directory << " of " << file;
        return strips;
    }
    for (uint32_t s = 0; s < TIFFNumberOfStrips(t.get()); s++) {
        bytes b((size_t)TIFFStripSize(t.get()));
        tmsize_t n = TIFFReadEncodedStrip(t.get(), s, b.data(), (tmsize_t)b.size());
        if (n < 0) {
            ADD_FAILURE() << "cannot read strip " << s << " of " << file;
            break;
        }
        b.resize((size_t)n);
        strips.push_back(b);
    }
    return strips;
}

// A page of one colour everywhere.
rendered_page solid_page(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b)
{
    rendered_page p = rgb_page(width, height);
    for (size_t i = 0; i < (size_t)width * height; i++) {
        p.pixels[3 * i] = r;
        p.pixels[3 * i + 1] = g;
        p.pixels[3 * i + 2] = b;
        p.rgba[4 * i] = r;
        p.rgba[4 * i + 1] = g;
        p.rgba[4 * i + 2] = b;
    }
    return p;
}

class Chromatag : public ToolTest {
protected:
    void convert(std::vector<std::string> options, const std::vector<std::string>& inputs)
    {
        options.insert(options.end(), inputs.begin(), inputs.end());
        options.push_back("out.tif");
        run_result r = run("chromatag", options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
    }

    uint32_t rows_per_strip(int directory = 0)
    {
        tiff_handle t = open_tiff(path("out.tif"));
        uint32_t rows = 0;
        if (t && TIFFSetDirectory(t.get(), (tdir_t)directory))
            TIFFGetField(t.get(), TIFFTAG_ROWSPERSTRIP, &rows);
        return rows;
    }

    // Converts a file of `pages` with `options` (which must describe `c`)
    // and compares every directory's strips with the packing computed here.
    void check_packing(const std::vector<rendered_page>& pages,
                       const std::vector<std::string>& options, const coding& c,
                       const std::string& what)
    {
        write_pages(path("in.tif"), pages);
        convert(options, {"in.tif"});
        ASSERT_EQ(count_directories(path("out.tif")), (int)pages.size()) << what;
        for (size_t d = 0; d < pages.size(); d++) {
            const tiff_spec& s = pages[d].spec;
            std::vector<bytes> expected =
                packed_strips(pages[d].rgba, s.width, s.height, rows_per_strip((int)d), c);
            EXPECT_TRUE(stored_strips(path("out.tif"), (int)d) == expected)
                << what << ", directory " << d;
        }
    }
};

TEST_F(Chromatag, UsageErrors)
{
    run_result r = run("chromatag", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, expected_usage());
    EXPECT_EQ(r.out, "");

    r = run("chromatag", {"-z", "only.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, expected_usage());

    // An unknown option is a usage error like the others.
    r = run("chromatag", {"-x", "a.tif", "b.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("invalid option -- 'x'\n" + expected_usage()), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("b.tif")));

    for (const char* word : {"lzw:2", "jpeg:75", "zip:1", "Zip", "g4", "packbit", ""}) {
        r = run("chromatag", {"-c", word, "a.tif", "b.tif"});
        EXPECT_EQ(r.status, 255) << word;
        EXPECT_EQ(r.err, expected_usage()) << word;
    }
    // Sampling factors other than 1, 2 and 4 (0 would divide by zero).
    for (const char* option : {"-h", "-v"})
        for (const char* factor : {"0", "3", "8", "-2", "x", "16"}) {
            r = run("chromatag", {option, factor, "a.tif", "b.tif"});
            EXPECT_EQ(r.status, 255) << option << " " << factor;
            EXPECT_EQ(r.err, expected_usage()) << option << " " << factor;
            EXPECT_FALSE(file_exists(path("b.tif")));
        }
}

TEST_F(Chromatag, KnownColours)
{
    struct {
        uint8_t r, g, b;
        bool studio;
        uint8_t y, cb, cr;
    } cases[] = {
        {255, 255, 255, false, 255, 128, 128}, {0, 0, 0, false, 0, 128, 128},
        {255, 255, 255, true, 235, 128, 128},  {0, 0, 0, true, 16, 128, 128},
        // Cr of pure red reaches 256 and is held at 255.
        {255, 0, 0, false, 76, 85, 255},       {0, 0, 255, false, 29, 255, 107},
    };
    for (const auto& c : cases) {
        write_pages(path("in.tif"), {solid_page(2, 2, c.r, c.g, c.b)});
        convert(c.studio ? std::vector<std::string>{"-z"} : std::vector<std::string>{},
                {"in.tif"});
        std::vector<bytes> strips = stored_strips(path("out.tif"));
        ASSERT_EQ(strips.size(), 1u);
        EXPECT_EQ(strips[0], (bytes{c.y, c.y, c.y, c.y, c.cb, c.cr}))
            << (int)c.r << "," << (int)c.g << "," << (int)c.b << (c.studio ? " -z" : "");
    }
}

TEST_F(Chromatag, EdgeBlocksOfAThreeByThreeImage)
{
    // Four blocks of 6 bytes; positions outside the image hold the luma
    // code of black, and Cb, Cr come from the pixels inside only.
    rendered_page p = solid_page(3, 3, 255, 255, 255);
    p.pixels[3 * 8] = 255;  // bottom-right pixel: pure red
    p.pixels[3 * 8 + 1] = 0;
    p.pixels[3 * 8 + 2] = 0;
    write_pages(path("in.tif"), {p});
    for (bool studio : {false, true}) {
        convert(studio ? std::vector<std::string>{"-z"} : std::vector<std::string>{}, {"in.tif"});
        uint8_t w = studio ? 235 : 255, pad = studio ? 16 : 0;
        uint8_t red_y = studio ? 81 : 76;  // 16 + 219 x 76.245 / 255 + 0.5
        uint8_t red_cb = studio ? 90 : 85, red_cr = studio ? 240 : 255;
        std::vector<bytes> strips = stored_strips(path("out.tif"));
        ASSERT_EQ(strips.size(), 1u);
        bytes expected = {w, w, w, w, 128, 128,          w, pad, w, pad, 128, 128,
                          w, w, pad, pad, 128, 128,      red_y, pad, pad, pad, red_cb, red_cr};
        EXPECT_EQ(strips[0], expected) << (studio ? "-z" : "");
    }
    // One byte each for Y, Cb and Cr of every pixel with -h 1 -v 1.
    convert({"-h", "1", "-v", "1"}, {"in.tif"});
    std::vector<bytes> strips = stored_strips(path("out.tif"));
    ASSERT_EQ(strips.size(), 1u);
    ASSERT_EQ(strips[0].size(), 27u);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(bytes(strips[0].begin() + 3 * i, strips[0].begin() + 3 * i + 3),
                  (bytes{255, 128, 128}));
    EXPECT_EQ(bytes(strips[0].begin() + 24, strips[0].end()), (bytes{76, 85, 255}));
}

TEST_F(Chromatag, PackingOfEverySamplingAndSize)
{
    const uint32_t factors[][2] = {{1, 1}, {2, 2}, {2, 1}, {1, 2}, {4, 4}, {4, 2}, {4, 1}};
    const uint32_t sizes[][2] = {{1, 1}, {3, 3}, {5, 7}, {16, 9}, {13, 17}};
    for (const auto& f : factors)
        for (const auto& size : sizes) {
            coding c;
            c.h = f[0];
            c.v = f[1];
            c.studio = (size[0] + f[0]) % 2 == 0;
            std::vector<std::string> options = {"-h", std::to_string(c.h), "-v",
                                                std::to_string(c.v), "-c", "none"};
            if (c.studio)
                options.push_back("-z");
            check_packing({rgb_page(size[0], size[1], size[0] * 7 + f[0])}, options, c,
                          ::testing::PrintToString(options) + " " + std::to_string(size[0]) +
                              "x" + std::to_string(size[1]));
        }
}

TEST_F(Chromatag, EveryKindOfInput)
{
    std::vector<std::pair<std::string, rendered_page>> inputs = {
        {"grey", in_strips(grey_page(23, 19, 1), 5)},
        {"bilevel", bilevel_page(21, 13, 2)},
        {"palette", in_strips(palette_page(17, 11, 3), 4)},
        {"rgb planes", in_strips(rgb_page(18, 9, 5, PLANARCONFIG_SEPARATE), 2)},
        {"rgb alpha", rgba_page(13, 10, 6)},
        {"grey tiles", in_tiles(grey_page(40, 35, 9), 16, 16)},
        {"rgb plane tiles", in_tiles(rgb_page(20, 17, 12, PLANARCONFIG_SEPARATE), 16, 16)},
    };
    for (const auto& input : inputs)
        check_packing({input.second}, {}, coding(), input.first);
}

TEST_F(Chromatag, StripHeights)
{
    // Strips of any height, also odd ones: each strip starts its own
    // block rows, the last of them padded.
    rendered_page p = rgb_page(10, 23, 4);
    for (const char* rows : {"1", "3", "4", "5", "8", "22", "23", "100"}) {
        check_packing({p}, {"-r", rows, "-c", "lzw"}, coding(), std::string("-r ") + rows);
        EXPECT_EQ(rows_per_strip(), (uint32_t)atoi(rows));
    }
    coding tall;
    tall.v = 4;
    check_packing({p}, {"-r", "6", "-v", "4", "-c", "zip"}, tall, "-r 6 -v 4");

    // Without -r: libtiff's height for the first directory, kept by the
    // later ones whatever their width.
    rendered_page narrow = rgb_page(10, 200, 5), wide = rgb_page(300, 40, 6);
    write_pages(path("narrow.tif"), {narrow});
    write_pages(path("wide.tif"), {wide});
    convert({}, {"narrow.tif"});
    uint32_t narrow_rows = rows_per_strip();
    convert({}, {"wide.tif"});
    uint32_t wide_rows = rows_per_strip();
    ASSERT_NE(narrow_rows, wide_rows);
    convert({}, {"narrow.tif", "wide.tif"});
    EXPECT_EQ(rows_per_strip(1), narrow_rows);
    EXPECT_TRUE(stored_strips(path("out.tif"), 1) ==
                packed_strips(wide.rgba, 300, 40, narrow_rows, coding()));
    convert({}, {"wide.tif", "narrow.tif"});
    EXPECT_EQ(rows_per_strip(1), wide_rows);
}

TEST_F(Chromatag, Fields)
{
    rendered_page described = rgb_page(6, 4);
    described.spec.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 96.25);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "folder 3");
        TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "not carried over");
    };
    ASSERT_EQ(mkdir(path("sub").c_str(), 0777), 0);
    write_pages(path("sub/pic.tif"), {described, grey_page(5, 3)});
    for (bool studio : {false, true}) {
        std::vector<std::string> options = {"-h", "4", "-v", "1", "-r", "2"};
        if (studio)
            options.push_back("-z");
        convert(options, {"sub/pic.tif"});
        tiff_handle t = open_tiff(path("out.tif"));
        ASSERT_TRUE(t);
        for (int d = 0; d < 2; d++) {
            if (d == 1) {
                ASSERT_TRUE(TIFFReadDirectory(t.get()));
            }
            TIFF* o = t.get();
            uint16_t bits = 0, compression = 0, photometric = 0, orientation = 0, samples = 0,
                     planar = 0, unit = 0, sub_h = 0, sub_v = 0, positioning = 0;
            uint32_t subfile = 0, rows = 0;
            float xres = 0, yres = 0, *refs = nullptr, *coefficients = nullptr;
            char *software = nullptr, *description = nullptr, *docname = nullptr;
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_BITSPERSAMPLE, &bits));
            EXPECT_EQ(bits, 8);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_COMPRESSION, &compression));
            EXPECT_EQ(compression, COMPRESSION_PACKBITS);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_PHOTOMETRIC, &photometric));
            EXPECT_EQ(photometric, PHOTOMETRIC_YCBCR);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_ORIENTATION, &orientation));
            EXPECT_EQ(orientation, ORIENTATION_TOPLEFT);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_SAMPLESPERPIXEL, &samples));
            EXPECT_EQ(samples, 3);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_PLANARCONFIG, &planar));
            EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_IMAGEDESCRIPTION, &description));
            EXPECT_STREQ(description, "YCbCr conversion of pic.tif");
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_SOFTWARE, &software));
            EXPECT_STREQ(software, TIFFGetVersion());
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_REFERENCEBLACKWHITE, &refs));
            const float defaults[6] = {0, 255, 128, 255, 128, 255};
            const float studio_refs[6] = {16, 235, 128, 240, 128, 240};
            for (int i = 0; i < 6; i++)
                EXPECT_EQ(refs[i], studio ? studio_refs[i] : defaults[i]) << i;
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_YCBCRSUBSAMPLING, &sub_h, &sub_v));
            EXPECT_EQ(sub_h, 4);
            EXPECT_EQ(sub_v, 1);
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_YCBCRPOSITIONING, &positioning));
            EXPECT_EQ(positioning, YCBCRPOSITION_CENTERED);
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_YCBCRCOEFFICIENTS, &coefficients));
            EXPECT_EQ(coefficients[0], 0.299f);
            EXPECT_EQ(coefficients[1], 0.587f);
            EXPECT_EQ(coefficients[2], 0.114f);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_ROWSPERSTRIP, &rows));
            EXPECT_EQ(rows, 2u);
            bool copied = d == 0;
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_SUBFILETYPE, &subfile) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_XRESOLUTION, &xres) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_YRESOLUTION, &yres) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_RESOLUTIONUNIT, &unit) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_DOCUMENTNAME, &docname) != 0, copied);
            if (copied) {
                EXPECT_EQ(subfile, (uint32_t)FILETYPE_REDUCEDIMAGE);
                EXPECT_EQ(xres, 72.0f);
                EXPECT_EQ(yres, 96.25f);
                EXPECT_EQ(unit, RESUNIT_INCH);
                EXPECT_STREQ(docname, "folder 3");
            }
        }
    }

    // A backslash is part of the name; a long name fits whole.
    std::string odd = "a\\b.tif", long_name;
    write_pages(path(odd), {grey_page(2, 2)});
    convert({}, {odd});
    tiff_handle t = open_tiff(path("out.tif"));
    char* description = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &description));
    EXPECT_EQ(std::string(description), "YCbCr conversion of " + odd);
    t.reset();
    long_name = "sub/" + std::string(250, 'n') + ".tif";
    write_pages(path(long_name), {grey_page(2, 2)});
    convert({}, {long_name});
    t = open_tiff(path("out.tif"));
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &description));
    EXPECT_EQ(std::string(description), "YCbCr conversion of " + long_name.substr(4));
}

TEST_F(Chromatag, Compression)
{
    rendered_page p = rgb_page(21, 18, 3);
    struct {
        const char* word;
        uint16_t scheme;
    } cases[] = {{"none", COMPRESSION_NONE},
                 {"packbits", COMPRESSION_PACKBITS},
                 {"lzw", COMPRESSION_LZW},
                 {"zip", COMPRESSION_ADOBE_DEFLATE}};
    for (const auto& c : cases) {
        check_packing({p}, {"-c", c.word}, coding(), c.word);
        tiff_handle t = open_tiff(path("out.tif"));
        uint16_t scheme = 0;
        TIFFGetField(t.get(), TIFFTAG_COMPRESSION, &scheme);
        EXPECT_EQ(scheme, c.scheme) << c.word;
    }

    // JPEG takes the packed data raw; rendered back it is close to the
    // input where the colours change slowly.
    rendered_page smooth = rgb_page(48, 40);
    for (uint32_t y = 0; y < 40; y++)
        for (uint32_t x = 0; x < 48; x++) {
            size_t i = (size_t)y * 48 + x;
            uint8_t rgb[3] = {(uint8_t)(40 + 3 * x), (uint8_t)(60 + 2 * y), (uint8_t)(150 - x - y)};
            for (int k = 0; k < 3; k++)
                smooth.pixels[3 * i + k] = smooth.rgba[4 * i + k] = rgb[k];
        }
    write_pages(path("smooth.tif"), {smooth});
    convert({"-c", "jpeg"}, {"smooth.tif"});
    tiff_handle t = open_tiff(path("out.tif"));
    ASSERT_TRUE(t);
    uint16_t scheme = 0, photometric = 0;
    int mode = -1;
    TIFFGetField(t.get(), TIFFTAG_COMPRESSION, &scheme);
    TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(t.get(), TIFFTAG_JPEGCOLORMODE, &mode);
    EXPECT_EQ(scheme, COMPRESSION_JPEG);
    EXPECT_EQ(photometric, PHOTOMETRIC_YCBCR);
    std::vector<uint32_t> raster(48 * 40);
    ASSERT_TRUE(TIFFReadRGBAImageOriented(t.get(), 48, 40, raster.data(), ORIENTATION_TOPLEFT, 1));
    for (size_t i = 0; i < raster.size(); i++) {
        ASSERT_NEAR((int)TIFFGetR(raster[i]), smooth.rgba[4 * i], 10) << i;
        ASSERT_NEAR((int)TIFFGetG(raster[i]), smooth.rgba[4 * i + 1], 10) << i;
        ASSERT_NEAR((int)TIFFGetB(raster[i]), smooth.rgba[4 * i + 2], 10) << i;
    }
}

TEST_F(Chromatag, DirectoriesOfSeveralFilesInOrder)
{
    std::vector<rendered_page> a = {grey_page(5, 4, 1), palette_page(6, 3, 2)};
    std::vector<rendered_page> b = {rgb_page(7, 5, 3)};
    write_pages(path("a.tif"), a);
    write_pages(path("b.tif"), b);
    std::vector<rendered_page> all = {a[0], a[1], b[0]};
    convert({}, {"a.tif", "b.tif"});
    ASSERT_EQ(count_directories(path("out.tif")), 3);
    for (int d = 0; d < 3; d++) {
        const tiff_spec& s = all[(size_t)d].spec;
        EXPECT_TRUE(stored_strips(path("out.tif"), d) ==
                    packed_strips(all[(size_t)d].rgba, s.width, s.height, rows_per_strip(d),
                                  coding()))
            << d;
    }

    // Inputs that do not open are skipped; the status says so.
    write_file(path("junk.tif"), "II*\0garbage");
    run_result r = run("chromatag", {"a.tif", "missing.tif", "junk.tif", "b.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos) << r.err;
    EXPECT_EQ(count_directories(path("out.tif")), 3);

    r = run("chromatag", {"missing.tif", "out2.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("out2.tif")));
}

TEST_F(Chromatag, UnusableInputs)
{
    rendered_page deep = grey_page(4, 4);
    deep.spec.bits_per_sample = 32;
    deep.pixels = pattern_bytes(4 * 4 * 4);
    rendered_page good = rgb_page(6, 5);
    write_pages(path("deep.tif"), {deep});
    write_pages(path("good-then-deep.tif"), {good, deep});

    run_result r = run("chromatag", {"deep.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("32-bit samples"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("out.tif")));

    r = run("chromatag", {"good-then-deep.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    tiff_messages().clear();
    EXPECT_EQ(count_directories(path("out.tif")), 1);
    EXPECT_TRUE(stored_strips(path("out.tif")) ==
                packed_strips(good.rgba, 6, 5, rows_per_strip(), coding()));
    EXPECT_TRUE(tiff_messages().empty()) << ::testing::PrintToString(tiff_messages());

    // A strip or tile whose raster does not fit 32 bits is refused.
    for (const bytes& file : {oversized_grey(1u << 20, 5000, 5000, 0, 0, COMPRESSION_PACKBITS),
                              oversized_grey(100, 100, 0, 65536, 65536)}) {
        write_file(path("big.tif"), file);
        r = run("chromatag", {"big.tif", "out.tif"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("big.tif: No space for raster buffer.\n"), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(path("out.tif")));
    }

    // A first strip the JPEG coder refuses (4 x 4 sampling is more than
    // its blocks allow): the directory is left out, and with it the file.
    r = run("chromatag", {"-c", "jpeg", "-h", "4", "-v", "4", "good-then-deep.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    EXPECT_FALSE(file_exists(path("out.tif")));

    // Output problems.
    r = run("chromatag", {"good-then-deep.tif", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 254);
    if (file_exists("/dev/full")) {
        r = run("chromatag", {"-c", "none", "good-then-deep.tif", "/dev/full"});
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(Chromatag, DataThatEndsEarly)
{
    // Strips 2 and 3 of 4 point past the end of the file: the directory
    // holds the 6 rows above them, and the run fails.
    rendered_page p = in_strips(rgb_page(8, 12), 3);
    rendered_page after = rgb_page(6, 5, 7);
    write_pages(path("in.tif"), {p, after});
    ASSERT_TRUE(break_strip(path("in.tif"), 2));
    ASSERT_TRUE(break_strip(path("in.tif"), 3));
    run_result r = run("chromatag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("in.tif: Image data covers only 6 of 12 rows.\n"), std::string::npos)
        << r.err;
    tiff_messages().clear();
    tiff_image out;
    ASSERT_TRUE(read_tiff(path("out.tif"), &out));
    EXPECT_EQ(out.height, 6u);
    bytes top(p.rgba.begin(), p.rgba.begin() + 8 * 6 * 4);
    EXPECT_TRUE(stored_strips(path("out.tif")) == packed_strips(top, 8, 6, rows_per_strip(), coding()));
    // The run goes on with the next directory.
    ASSERT_EQ(count_directories(path("out.tif")), 2);
    EXPECT_TRUE(stored_strips(path("out.tif"), 1) ==
                packed_strips(after.rgba, 6, 5, rows_per_strip(1), coding()));
    EXPECT_TRUE(tiff_messages().empty()) << ::testing::PrintToString(tiff_messages());

    // No strip with data: nothing to render, no output.
    write_pages(path("in.tif"), {p});
    for (uint32_t b = 0; b < 4; b++)
        ASSERT_TRUE(break_strip(path("in.tif"), b));
    r = run("chromatag", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("in.tif: No image data.\n"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Chromatag, DamagedFilesNeverCrash)
{
    std::vector<std::vector<rendered_page>> bases = {
        {in_strips(rgb_page(20, 15), 4), grey_page(9, 7)},
        {in_tiles(palette_page(40, 20, 2), 16, 16)},
    };
    bases[0][0].spec.compression = COMPRESSION_LZW;
    int seed = 1000;
    for (const auto& pages : bases) {
        write_pages(path("base.tif"), pages);
        std::string s = read_file(path("base.tif"));
        bytes base(s.begin(), s.end());
        for (int i = 0; i < 20; i++, seed++) {
            write_file(path("in.tif"), damaged(base, (uint32_t)seed));
            run_result r = run("chromatag", {"-h", seed % 2 ? "4" : "1", "in.tif", "out.tif"});
            EXPECT_TRUE(r.status == 0 || r.status == 1) << seed << ": " << r.status;
            if (r.status == 0) {
                EXPECT_GE(count_directories(path("out.tif")), 1) << seed;
            }
        }
    }
}

}  // namespace
