// tagtruecolor through its command line: what each rendering mode writes
// for inputs of every kind, the fields, the strip heights, several
// directories and files, and what happens to damaged or unusable inputs.
#include "harness.h"
#include "rendering_inputs.h"
#include "tiff_bytes.h"

namespace {

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: tagtruecolor [-c comp] [-r rows] [-b] input... output\n"
           "where comp is one of the following compression algorithms:\n"
           " jpeg\t\tJPEG encoding\n"
           " zip\t\tdeflate encoding\n"
           " lzw\t\tLempel-Ziv & Welch encoding\n"
           " packbits\tPackBits encoding\n"
           " none\t\tno compression\n"
           "and the other options are:\n"
           " -r\trows/strip\n"
           " -t\trows/strip (the same as -r)\n"
           " -b (progress by block rather than as a whole image)\n"
           " -n don't emit alpha component.\n";
}

// RGBA pixels without their alpha bytes.
bytes without_alpha(const bytes& rgba)
{
    bytes rgb;
    for (size_t i = 0; i < rgba.size(); i += 4)
        rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    return rgb;
}

// What a directory of the output holds.
struct output_page {
    tiff_image info;
    uint32_t tile_width = 0, tile_length = 0;
    bytes pixels;  // top-down, as stored (3 or 4 bytes a pixel)
};

// Reads directory `directory` of `file`. Tiles are put together into rows;
// the part of an edge tile outside the image must hold zeros.
output_page read_output(const std::string& file, int directory = 0)
{
    output_page page;
    read_tiff(file, &page.info, directory);
    page.pixels = page.info.pixels;
    if (!page.info.tiled)
        return page;
    tiff_handle t = open_tiff(file);
    TIFFSetDirectory(t.get(), (tdir_t)directory);
    TIFFGetField(t.get(), TIFFTAG_TILEWIDTH, &page.tile_width);
    TIFFGetField(t.get(), TIFFTAG_TILELENGTH, &page.tile_length);
    size_t pixel = page.info.samples_per_pixel;
    uint32_t w = page.info.width, h = page.info.height;
    page.pixels.assign((size_t)w * h * pixel, 0);
    bytes tile((size_t)TIFFTileSize(t.get()));
    for (uint32_t y = 0; y < h; y += page.tile_length)
        for (uint32_t x = 0; x < w; x += page.tile_width) {
            uint32_t number = TIFFComputeTile(t.get(), x, y, 0, 0);
            if (TIFFReadEncodedTile(t.get(), number, tile.data(), (tmsize_t)tile.size()) < 0) {
                ADD_FAILURE() << "cannot read tile " << number;
                return page;
            }
            for (uint32_t r = 0; r < page.tile_length; r++)
                for (uint32_t c = 0; c < page.tile_width; c++) {
                    const uint8_t* from = &tile[(r * (size_t)page.tile_width + c) * pixel];
                    if (y + r < h && x + c < w)
                        std::copy(from, from + pixel,
                                  &page.pixels[(((size_t)y + r) * w + x + c) * pixel]);
                    else
                        for (size_t i = 0; i < pixel; i++)
                            EXPECT_EQ(from[i], 0) << "padding of tile " << number;
                }
        }
    return page;
}

class Tagtruecolor : public ToolTest {
protected:
    // Runs tagtruecolor on `inputs` with `options` into out.tif, expecting
    // success.
    void convert(std::vector<std::string> options, const std::vector<std::string>& inputs)
    {
        options.insert(options.end(), inputs.begin(), inputs.end());
        options.push_back("out.tif");
        run_result r = run("tagtruecolor", options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(only_warnings(r.err)) << r.err;
    }

    // Converts a file of `pages` and checks every output directory against
    // what the pages render to, top-down, with or without alpha.
    void check_conversion(const std::vector<rendered_page>& pages,
                          const std::vector<std::string>& options, const std::string& what)
    {
        write_pages(path("in.tif"), pages);
        convert(options, {"in.tif"});
        bool no_alpha = std::find(options.begin(), options.end(), "-n") != options.end();
        ASSERT_EQ(count_directories(path("out.tif")), (int)pages.size()) << what;
        for (size_t d = 0; d < pages.size(); d++) {
            output_page out = read_output(path("out.tif"), (int)d);
            EXPECT_EQ(out.info.width, pages[d].spec.width) << what;
            EXPECT_EQ(out.info.height, pages[d].spec.height) << what;
            EXPECT_EQ(out.info.samples_per_pixel, no_alpha ? 3 : 4) << what;
            EXPECT_EQ(out.info.orientation, ORIENTATION_TOPLEFT) << what;
            EXPECT_TRUE(out.pixels == (no_alpha ? without_alpha(pages[d].rgba) : pages[d].rgba))
                << what << ", directory " << d;
        }
    }
};

TEST_F(Tagtruecolor, UsageErrors)
{
    run_result r = run("tagtruecolor", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, expected_usage());
    EXPECT_EQ(r.out, "");

    r = run("tagtruecolor", {"-b", "only.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, expected_usage());

    // An unknown option, or one without its argument: usage, status -1.
    r = run("tagtruecolor", {"-x", "a.tif", "b.tif"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("invalid option -- 'x'\n" + expected_usage()), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("b.tif")));
    r = run("tagtruecolor", {"a.tif", "b.tif", "-r"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(expected_usage()), std::string::npos) << r.err;

    // Compression words match whole, without sub-options.
    for (const char* word : {"lzw:2", "jpeg:50", "zip:2", "LZW", "lzwx", "g3", "g4", "none ", ""}) {
        r = run("tagtruecolor", {"-c", word, "a.tif", "b.tif"});
        EXPECT_EQ(r.status, 255) << word;
        EXPECT_EQ(r.err, expected_usage()) << word;
        EXPECT_FALSE(file_exists(path("b.tif"))) << word;
    }
}

TEST_F(Tagtruecolor, OutputFields)
{
    rendered_page plain = grey_page(9, 4);
    rendered_page described = rgb_page(5, 3);
    described.spec.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 150.5);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "scan 12");
        TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(t, TIFFTAG_ARTIST, "not copied");
    };
    write_pages(path("in.tif"), {described, plain});
    for (bool no_alpha : {false, true}) {
        std::vector<std::string> options;
        if (no_alpha)
            options.push_back("-n");
        convert(options, {"in.tif"});
        tiff_handle t = open_tiff(path("out.tif"));
        ASSERT_TRUE(t);
        for (int d = 0; d < 2; d++) {
            if (d == 1) {
                ASSERT_TRUE(TIFFReadDirectory(t.get()));
            }
            TIFF* o = t.get();
            uint16_t bits = 0, compression = 0, photometric = 0, orientation = 0, samples = 0,
                     planar = 0, fill = 0, unit = 0, extra_count = 0, *extra = nullptr;
            uint32_t subfile = 0;
            float xres = 0, yres = 0;
            char *software = nullptr, *docname = nullptr, *artist = nullptr;
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_BITSPERSAMPLE, &bits));
            EXPECT_EQ(bits, 8);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_COMPRESSION, &compression));
            EXPECT_EQ(compression, COMPRESSION_PACKBITS);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_PHOTOMETRIC, &photometric));
            EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_ORIENTATION, &orientation));
            EXPECT_EQ(orientation, ORIENTATION_TOPLEFT);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_SAMPLESPERPIXEL, &samples));
            EXPECT_EQ(samples, no_alpha ? 3 : 4);
            EXPECT_TRUE(TIFFGetField(o, TIFFTAG_PLANARCONFIG, &planar));
            EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
            ASSERT_TRUE(TIFFGetField(o, TIFFTAG_SOFTWARE, &software));
            EXPECT_STREQ(software, TIFFGetVersion());
            bool has_extra = TIFFGetField(o, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
            if (no_alpha) {
                EXPECT_TRUE(!has_extra || extra_count == 0);
            } else {
                ASSERT_TRUE(has_extra);
                ASSERT_EQ(extra_count, 1);
                EXPECT_EQ(extra[0], EXTRASAMPLE_ASSOCALPHA);
            }
            EXPECT_FALSE(TIFFGetField(o, TIFFTAG_ARTIST, &artist));
            bool copied = d == 0;
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_SUBFILETYPE, &subfile) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_XRESOLUTION, &xres) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_YRESOLUTION, &yres) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_RESOLUTIONUNIT, &unit) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_DOCUMENTNAME, &docname) != 0, copied);
            EXPECT_EQ(TIFFGetField(o, TIFFTAG_FILLORDER, &fill) != 0, copied);
            if (copied) {
                EXPECT_EQ(subfile, (uint32_t)FILETYPE_PAGE);
                EXPECT_EQ(xres, 300.0f);
                EXPECT_EQ(yres, 150.5f);
                EXPECT_EQ(unit, RESUNIT_CENTIMETER);
                EXPECT_STREQ(docname, "scan 12");
                EXPECT_EQ(fill, FILLORDER_LSB2MSB);
            }
        }
        // Bit order reversed on disk still reads back as the pixels.
        EXPECT_TRUE(read_output(path("out.tif"), 0).pixels ==
                    (no_alpha ? without_alpha(described.rgba) : described.rgba));
    }
}

TEST_F(Tagtruecolor, EveryKindOfInputInEveryMode)
{
    // Each kind in strips of an odd height (with a shorter last strip),
    // and where the kind allows it, tiled with edge tiles on both sides.
    std::vector<std::pair<std::string, rendered_page>> inputs = {
        {"grey", in_strips(grey_page(23, 19, 1), 5)},
        {"bilevel", in_strips(bilevel_page(21, 13, 2), 3)},
        {"palette", in_strips(palette_page(17, 11, 3), 7)},
        {"rgb", in_strips(rgb_page(19, 14, 4), 4)},
        {"rgb planes", in_strips(rgb_page(18, 9, 5, PLANARCONFIG_SEPARATE), 2)},
        {"rgb alpha", in_strips(rgba_page(13, 10, 6), 3)},
        {"one strip", grey_page(7, 5, 7)},
        {"one row strips", in_strips(rgb_page(6, 5, 8), 1)},
        {"grey tiles", in_tiles(grey_page(40, 35, 9), 16, 16)},
        {"palette tiles", in_tiles(palette_page(33, 20, 10), 32, 16)},
        {"rgb tiles", in_tiles(rgb_page(16, 48, 11), 16, 32)},
        {"rgb plane tiles", in_tiles(rgb_page(20, 17, 12, PLANARCONFIG_SEPARATE), 16, 16)},
        {"rgb alpha tiles", in_tiles(rgba_page(50, 3, 13), 16, 16)},
    };
    for (const auto& input : inputs)
        for (const std::vector<std::string>& options :
             {std::vector<std::string>{}, {"-n"}, {"-b"}, {"-b", "-n"}, {"-b", "-c", "none"}})
            check_conversion({input.second}, options,
                             input.first + " " + ::testing::PrintToString(options));
}

TEST_F(Tagtruecolor, StripModeKeepsTheInputStrips)
{
    // 13 rows in strips of 5: two full strips and one of 3 rows, each
    // flipped over its own rows (odd counts keep their middle row).
    for (uint32_t rows : {5u, 3u, 1u, 2u, 13u}) {
        rendered_page p = in_strips(rgb_page(11, 13, rows), rows);
        check_conversion({p}, {"-b", "-r", "4"}, "rows per strip " + std::to_string(rows));
        EXPECT_EQ(read_output(path("out.tif")).info.rows_per_strip, rows);
    }
    // A strip height above the image height counts as the image height.
    rendered_page tall = in_strips(grey_page(9, 6), 1000);
    check_conversion({tall}, {"-b"}, "strip taller than the image");
    EXPECT_EQ(read_output(path("out.tif")).info.rows_per_strip, 6u);
}

TEST_F(Tagtruecolor, TileModeTilesLikeTheInput)
{
    for (bool no_alpha : {false, true}) {
        rendered_page p = in_tiles(rgb_page(40, 35, 3), 32, 16);
        std::vector<std::string> options = {"-b", "-r", "8"};
        if (no_alpha)
            options.push_back("-n");
        check_conversion({p}, options, no_alpha ? "tiles -n" : "tiles");
        output_page out = read_output(path("out.tif"));
        EXPECT_TRUE(out.info.tiled);
        EXPECT_EQ(out.tile_width, 32u);
        EXPECT_EQ(out.tile_length, 16u);
    }
    // Without -b a tiled input is rendered whole into strips.
    check_conversion({in_tiles(grey_page(20, 20), 16, 16)}, {}, "tiled input, no -b");
    EXPECT_FALSE(read_output(path("out.tif")).info.tiled);
}

// The RGB picture shown for `stored` (top-down RGB, `width` pixels a row)
// under `orientation`: rows reversed when the first stored row is the
// bottom, each row reversed when its first pixel is the right; with 5 to
// 8 the stored rows are shown as columns (the picture `height` wide).
bytes as_shown(const bytes& stored, uint32_t width, uint16_t orientation)
{
    size_t height = stored.size() / 3 / width;
    bool turned = orientation >= 5;
    bool bottom_first = orientation == 3 || orientation == 4 || orientation >= 7;
    bool mirrored = orientation == 2 || orientation == 3 || orientation == 6 || orientation == 7;
    size_t shown_width = turned ? height : width, shown_height = turned ? width : height;
    bytes shown(stored.size());
    for (size_t y = 0; y < shown_height; y++)
        for (size_t x = 0; x < shown_width; x++) {
            // The stored row and column of the pixel shown at (x, y).
            size_t r = turned ? x : y, c = turned ? y : x;
            if (turned ? mirrored : bottom_first)
                r = height - 1 - r;
            if (turned ? bottom_first : mirrored)
                c = width - 1 - c;
            std::copy(&stored[(r * width + c) * 3], &stored[(r * width + c) * 3] + 3,
                      &shown[(y * shown_width + x) * 3]);
        }
    return shown;
}

// `file` as libtiff's renderer shows it, top-down RGB.
bytes rendered_rgb(const std::string& file)
{
    tiff_handle t = open_tiff(file);
    uint32_t w = 0, h = 0;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster((size_t)w * h);
    bytes rgb;
    if (TIFFReadRGBAImageOriented(t.get(), w, h, raster.data(), ORIENTATION_TOPLEFT, 1))
        for (uint32_t v : raster)
            rgb.insert(rgb.end(), {(uint8_t)TIFFGetR(v), (uint8_t)TIFFGetG(v), (uint8_t)TIFFGetB(v)});
    return rgb;
}

TEST_F(Tagtruecolor, BlockModeKeepsStoredRowsAndOrientation)
{
    // A whole image is rendered as shown, Orientation 1 (5 to 8 turned a
    // quarter); -b writes each strip or tile as stored, with the input's
    // orientation, which libtiff then shows as it shows the input (5 to 8
    // taken as 1 to 4). Strips with a shorter last one, tiles with edge
    // tiles on both sides.
    for (bool tiled : {false, true})
        for (uint16_t orientation = 1; orientation <= 8; orientation++) {
            rendered_page p = tiled ? in_tiles(rgb_page(40, 35, orientation), 16, 16)
                                    : in_strips(rgb_page(7, 10, orientation), 4);
            p.spec.extra = [orientation](TIFF* t) {
                TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
            };
            ASSERT_TRUE(write_pages(path("in.tif"), {p}));
            std::string what = (tiled ? "tiles, orientation " : "strips, orientation ") +
                               std::to_string(orientation);
            const bytes stored = without_alpha(p.rgba);
            convert({"-n"}, {"in.tif"});
            output_page whole = read_output(path("out.tif"));
            EXPECT_EQ(whole.info.orientation, ORIENTATION_TOPLEFT) << what;
            bool turned = orientation >= 5;
            EXPECT_EQ(whole.info.width, turned ? p.spec.height : p.spec.width) << what;
            EXPECT_TRUE(whole.pixels == as_shown(stored, p.spec.width, orientation)) << what;
            convert({"-b", "-n"}, {"in.tif"});
            output_page block = read_output(path("out.tif"));
            EXPECT_EQ(block.info.orientation, orientation) << what;
            EXPECT_TRUE(block.pixels == stored) << what;
            EXPECT_TRUE(rendered_rgb(path("out.tif")) ==
                        as_shown(stored, p.spec.width, turned ? orientation - 4 : orientation))
                << what;
        }
}

TEST_F(Tagtruecolor, StripHeights)
{
    rendered_page narrow = grey_page(10, 300, 1);
    rendered_page wide = grey_page(200, 300, 2);
    write_pages(path("narrow.tif"), {narrow});
    write_pages(path("wide.tif"), {wide});
    write_pages(path("both.tif"), {narrow, wide});

    convert({"-r", "16"}, {"both.tif"});
    EXPECT_EQ(read_output(path("out.tif"), 0).info.rows_per_strip, 16u);
    EXPECT_EQ(read_output(path("out.tif"), 1).info.rows_per_strip, 16u);
    std::string with_r = read_file(path("out.tif"));
    convert({"-t", "16"}, {"both.tif"});
    EXPECT_EQ(read_file(path("out.tif")), with_r);

    // Without -r the first directory gets libtiff's default height for its
    // width, and every later directory keeps it.
    convert({}, {"narrow.tif"});
    uint32_t narrow_default = read_output(path("out.tif")).info.rows_per_strip;
    convert({}, {"wide.tif"});
    uint32_t wide_default = read_output(path("out.tif")).info.rows_per_strip;
    ASSERT_NE(narrow_default, wide_default);
    convert({}, {"both.tif"});
    EXPECT_EQ(read_output(path("out.tif"), 1).info.rows_per_strip, narrow_default);
    convert({}, {"wide.tif", "narrow.tif"});
    EXPECT_EQ(read_output(path("out.tif"), 1).info.rows_per_strip, wide_default);
    output_page second = read_output(path("out.tif"), 1);
    EXPECT_TRUE(second.pixels == narrow.rgba);
    // A request below 1 leaves the choice to libtiff.
    convert({"-r", "0"}, {"narrow.tif"});
    EXPECT_EQ(read_output(path("out.tif")).info.rows_per_strip, narrow_default);
    convert({"-r", "-3"}, {"narrow.tif"});
    EXPECT_EQ(read_output(path("out.tif")).info.rows_per_strip, narrow_default);
}

TEST_F(Tagtruecolor, CompressionWords)
{
    rendered_page p = rgba_page(30, 20);
    write_pages(path("in.tif"), {p});
    struct {
        const char* word;
        uint16_t scheme;
    } cases[] = {{"none", COMPRESSION_NONE},
                 {"packbits", COMPRESSION_PACKBITS},
                 {"lzw", COMPRESSION_LZW},
                 {"zip", COMPRESSION_DEFLATE}};
    for (const auto& c : cases)
        for (const char* mode : {"-n", "-b"}) {
            convert({"-c", c.word, mode}, {"in.tif"});
            output_page out = read_output(path("out.tif"));
            EXPECT_EQ(out.info.compression, c.scheme) << c.word;
            EXPECT_TRUE(out.pixels == (mode[1] == 'n' ? without_alpha(p.rgba) : p.rgba)) << c.word;
        }

    // JPEG: a smooth image comes back close to what went in.
    rendered_page smooth = grey_page(32, 24);
    for (size_t i = 0; i < smooth.pixels.size(); i++)
        smooth.pixels[i] = (uint8_t)(60 + i % 32 + i / 32 * 2);
    write_pages(path("smooth.tif"), {smooth});
    convert({"-c", "jpeg", "-n"}, {"smooth.tif"});
    output_page out = read_output(path("out.tif"));
    EXPECT_EQ(out.info.compression, COMPRESSION_JPEG);
    EXPECT_EQ(out.info.photometric, PHOTOMETRIC_RGB);
    ASSERT_EQ(out.pixels.size(), smooth.pixels.size() * 3);
    for (size_t i = 0; i < out.pixels.size(); i++)
        ASSERT_NEAR(out.pixels[i], smooth.pixels[i / 3], 8) << i;
}

TEST_F(Tagtruecolor, DirectoriesOfSeveralFilesInOrder)
{
    std::vector<rendered_page> a = {grey_page(5, 4, 1), palette_page(6, 3, 2), rgb_page(7, 2, 3)};
    std::vector<rendered_page> b = {rgba_page(3, 3, 4), bilevel_page(9, 2, 5)};
    write_pages(path("a.tif"), a);
    write_pages(path("b.tif"), b);
    std::vector<rendered_page> all = a;
    all.insert(all.end(), b.begin(), b.end());
    for (bool block : {false, true}) {
        convert(block ? std::vector<std::string>{"-b"} : std::vector<std::string>{},
                {"a.tif", "b.tif"});
        ASSERT_EQ(count_directories(path("out.tif")), 5);
        for (int d = 0; d < 5; d++)
            EXPECT_TRUE(read_output(path("out.tif"), d).pixels == all[(size_t)d].rgba) << d;
    }

    // An input that does not open is skipped; the run goes on but does
    // not call itself a success.
    write_file(path("junk.tif"), "not a TIFF file at all");
    run_result r = run("tagtruecolor", {"a.tif", "missing.tif", "junk.tif", "b.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("junk.tif"), std::string::npos) << r.err;
    ASSERT_EQ(count_directories(path("out.tif")), 5);
    EXPECT_TRUE(read_output(path("out.tif"), 3).pixels == b[0].rgba);

    // Nothing that opens: no output file is left.
    r = run("tagtruecolor", {"missing.tif", "out2.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("out2.tif")));
}

TEST_F(Tagtruecolor, DirectoriesThatCannotBeRendered)
{
    // 32-bit grey samples are beyond libtiff's RGBA rendering.
    rendered_page deep = grey_page(4, 4);
    deep.spec.bits_per_sample = 32;
    deep.pixels = pattern_bytes(4 * 4 * 4);
    rendered_page good = rgb_page(6, 5);
    write_pages(path("deep.tif"), {deep});
    write_pages(path("good-then-deep.tif"), {good, deep, good});
    for (const char* mode : {"", "-b"}) {
        std::vector<std::string> options;
        if (*mode)
            options.push_back(mode);
        // As the first directory: nothing is written, so no file is left.
        options.insert(options.end(), {"deep.tif", "out.tif"});
        run_result r = run("tagtruecolor", options);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_NE(r.err.find("32-bit samples"), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(path("out.tif"))) << mode;

        // After a good directory: the run stops, the good one stays and
        // the file reads cleanly.
        options.end()[-2] = "good-then-deep.tif";
        r = run("tagtruecolor", options);
        EXPECT_EQ(r.status, 1) << mode;
        tiff_messages().clear();
        EXPECT_EQ(count_directories(path("out.tif")), 1) << mode;
        EXPECT_TRUE(read_output(path("out.tif")).pixels == good.rgba) << mode;
        EXPECT_TRUE(tiff_messages().empty()) << ::testing::PrintToString(tiff_messages());
    }

    // A strip height libtiff's JPEG coder refuses: the first strip fails.
    rendered_page odd = in_strips(grey_page(16, 20), 5);
    write_pages(path("odd.tif"), {in_strips(grey_page(16, 16), 8), odd});
    run_result r = run("tagtruecolor", {"-b", "-c", "jpeg", "odd.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    tiff_messages().clear();
    EXPECT_EQ(count_directories(path("out.tif")), 1);
    EXPECT_TRUE(tiff_messages().empty()) << ::testing::PrintToString(tiff_messages());
}

TEST_F(Tagtruecolor, DamagedStripData)
{
    // Strip 2 of 4 (rows 6 to 8) points past the end of the file.
    rendered_page p = in_strips(grey_page(8, 12), 3);
    write_pages(path("good.tif"), {p});
    bytes file;
    {
        std::string s = read_file(path("good.tif"));
        file.assign(s.begin(), s.end());
    }
    tiff_handle t = open_tiff(path("good.tif"));
    uint64_t* offsets = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_STRIPOFFSETS, &offsets));
    uint64_t third = offsets[2];
    t.reset();
    // Find the entry holding that offset in the directory and change it.
    bool changed = false;
    for (size_t i = file.size() - 4; i-- > 8 && !changed;) {
        uint32_t v = file[i] | file[i + 1] << 8 | file[i + 2] << 16 | (uint32_t)file[i + 3] << 24;
        if (v == third && i > third) {
            file[i + 3] = 0x7f;
            changed = true;
        }
    }
    ASSERT_TRUE(changed);
    write_file(path("in.tif"), file);

    // Strip by strip: the rows before the damaged strip are kept and the
    // directory says so.
    run_result r = run("tagtruecolor", {"-b", "in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    tiff_messages().clear();
    output_page out = read_output(path("out.tif"));
    EXPECT_EQ(out.info.height, 6u);
    EXPECT_TRUE(out.pixels == bytes(p.rgba.begin(), p.rgba.begin() + 8 * 6 * 4));

    // Whole: libtiff renders past the damage, the run still fails.
    r = run("tagtruecolor", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    out = read_output(path("out.tif"));
    EXPECT_EQ(out.info.height, 12u);
    EXPECT_TRUE(std::equal(p.rgba.begin(), p.rgba.begin() + 8 * 6 * 4, out.pixels.begin()));
    EXPECT_TRUE(std::equal(p.rgba.begin() + 8 * 9 * 4, p.rgba.end(), out.pixels.begin() + 8 * 9 * 4));
}

TEST_F(Tagtruecolor, DataThatEndsEarly)
{
    // Whole: the rows below the last strip or tile with data are never
    // rendered; the directory holds the rows above, and the run fails.
    // Blocks without data above them are reported (libtiff says nothing
    // of a tile past the end of the file).
    struct {
        rendered_page page;
        std::vector<uint32_t> broken;
        uint32_t rows;
        std::string missing;
    } cases[] = {
        {in_strips(grey_page(8, 12), 3), {2, 3}, 6, ""},
        {in_strips(grey_page(8, 12), 3), {3}, 9, ""},
        {in_strips(grey_page(8, 12), 3), {1}, 12, "1 of 4 strips"},
        {in_tiles(rgb_page(40, 40), 16, 16), {6, 7, 8}, 32, ""},
        {in_tiles(rgb_page(40, 40), 16, 16), {3, 4, 5, 6, 8}, 40, "5 of 9 tiles"},
    };
    for (const auto& c : cases) {
        write_pages(path("in.tif"), {c.page});
        for (uint32_t b : c.broken)
            ASSERT_TRUE(break_strip(path("in.tif"), b));
        const uint32_t width = c.page.spec.width, height = c.page.spec.height;
        run_result r = run("tagtruecolor", {"in.tif", "out.tif"});
        EXPECT_EQ(r.status, 1) << c.rows;
        std::string cut = "in.tif: Image data covers only " + std::to_string(c.rows) + " of " +
                          std::to_string(height) + " rows.\n";
        EXPECT_EQ(r.err.find(cut) != std::string::npos, c.rows < height) << r.err;
        std::string missing = "in.tif: Data missing for " + c.missing + ".\n";
        EXPECT_EQ(r.err.find(missing) != std::string::npos, !c.missing.empty()) << r.err;
        output_page out = read_output(path("out.tif"));
        EXPECT_EQ(out.info.height, c.rows);
        // The first broken block's rows are zeros; every row above it is
        // the input's.
        uint32_t first_band = c.page.spec.tile_width ? c.broken[0] / 3 * 16 : c.broken[0] * 3;
        size_t kept = (size_t)width * first_band * 4;
        ASSERT_GE(out.pixels.size(), kept);
        EXPECT_TRUE(std::equal(c.page.rgba.begin(), c.page.rgba.begin() + kept, out.pixels.begin()));
    }

    // No strip with data: nothing to render, no output.
    rendered_page p = in_strips(grey_page(8, 12), 3);
    write_pages(path("in.tif"), {p});
    for (uint32_t b = 0; b < 4; b++)
        ASSERT_TRUE(break_strip(path("in.tif"), b));
    run_result r = run("tagtruecolor", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("in.tif: No image data.\n"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("out.tif")));
}

TEST_F(Tagtruecolor, BufferSizesThatDoNotFit)
{
    // A strip or tile whose raster does not fit 32 bits, in either mode.
    const bytes strip = oversized_grey(1u << 20, 5000, 5000, 0, 0, COMPRESSION_PACKBITS);
    const bytes tile = oversized_grey(100, 100, 0, 65536, 65536);
    for (const bytes* file : {&strip, &tile})
        for (const char* mode : {"", "-b"}) {
            write_file(path("in.tif"), *file);
            std::vector<std::string> args;
            if (*mode)
                args.push_back(mode);
            args.insert(args.end(), {"in.tif", "out.tif"});
            run_result r = run("tagtruecolor", args);
            EXPECT_EQ(r.status, 1) << mode;
            EXPECT_NE(r.err.find("in.tif: No space for raster buffer.\n"), std::string::npos)
                << mode << ": " << r.err;
            EXPECT_FALSE(file_exists(path("out.tif"))) << mode;
        }
    // A whole image past 4 GiB of pixels is rendered in bands: this one
    // holds data for one row.
    write_file(path("in.tif"), oversized_grey(65536, 16384, 1));
    run_result r = run("tagtruecolor", {"in.tif", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("in.tif: Image data covers only 1 of 16384 rows.\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_output(path("out.tif")).info.height, 1u);
}

TEST_F(Tagtruecolor, OutputThatCannotBeWritten)
{
    write_pages(path("in.tif"), {rgb_page(40, 30)});
    run_result r = run("tagtruecolor", {"in.tif", "no/such/dir/out.tif"});
    EXPECT_EQ(r.status, 254);
    EXPECT_NE(r.err.find("no/such/dir/out.tif"), std::string::npos) << r.err;
    if (file_exists("/dev/full")) {
        r = run("tagtruecolor", {"-c", "none", "in.tif", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    }
}

TEST_F(Tagtruecolor, DamagedFilesNeverCrash)
{
    std::vector<std::vector<rendered_page>> bases = {
        {in_strips(grey_page(20, 15), 4), rgb_page(9, 7)},
        {in_tiles(rgb_page(40, 20, 2, PLANARCONFIG_SEPARATE), 16, 16)},
        {in_strips(palette_page(12, 10), 3), bilevel_page(30, 5)},
    };
    // LZW data too, so the decoder sees damaged codes.
    bases[0][0].spec.compression = COMPRESSION_LZW;
    int seed = 0;
    for (const auto& pages : bases) {
        write_pages(path("base.tif"), pages);
        std::string s = read_file(path("base.tif"));
        bytes base(s.begin(), s.end());
        for (int i = 0; i < 16; i++, seed++) {
            write_file(path("in.tif"), damaged(base, (uint32_t)seed));
            const char* mode = seed % 3 == 0 ? "-n" : seed % 3 == 1 ? "-b" : "-bn";
            run_result r = run("tagtruecolor", {mode, "in.tif", "out.tif"});
            EXPECT_TRUE(r.status == 0 || r.status == 1) << seed << ": " << r.status;
            if (r.status == 0) {
                EXPECT_GE(count_directories(path("out.tif")), 1) << seed;
            }
        }
    }
}

}  // namespace
