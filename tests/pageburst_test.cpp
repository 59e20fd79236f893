// pageburst through its command line: output names, the copied fields and
// data, byte order, and what happens on failures.
#include "harness.h"
#include "raw_tiff.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace {

// The names in directory `dir`, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The raw (undecoded) strips or tiles of directory `directory` of `path`.
std::vector<bytes> raw_blocks(const std::string& path, int directory = 0)
{
    std::vector<bytes> blocks;
    tiff_handle t = open_tiff(path);
    if (!t || !TIFFSetDirectory(t.get(), (tdir_t)directory)) {
        ADD_FAILURE() << "cannot read " << path;
        return blocks;
    }
    TIFF* tif = t.get();
    bool tiled = TIFFIsTiled(tif);
    uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    for (uint32_t i = 0; i < count; i++) {
        uint64_t n = TIFFGetStrileByteCount(tif, i);
        bytes b((size_t)n);
        tmsize_t got = tiled ? TIFFReadRawTile(tif, i, b.data(), (tmsize_t)n)
                             : TIFFReadRawStrip(tif, i, b.data(), (tmsize_t)n);
        EXPECT_EQ((uint64_t)got, n) << path << " block " << i;
        blocks.push_back(b);
    }
    return blocks;
}

std::string description_of(const std::string& path)
{
    tiff_handle t = open_tiff(path);
    char* text = nullptr;
    if (!t || !TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &text) || text == nullptr)
        return "";
    return text;
}

// A file of `pages` 2x2 grey directories described "0", "1", ..., all
// over the same four bytes of data (built byte by byte: quick for many).
bytes many_pages(uint32_t pages)
{
    raw_tiff t;
    uint32_t data = t.blob({1, 2, 3, 4});
    for (uint32_t n = 0; n < pages; n++) {
        t.grey_image(2, 2, 2, {data}, {4});
        t.ascii(270, std::to_string(n));
        t.write_ifd();
    }
    return t.data;
}

class Pageburst : public ToolTest {
protected:
    // Checks that `out` holds one directory whose data and pixels are
    // those of directory `directory` of `in`.
    void expect_same_page(const std::string& in, int directory, const std::string& out)
    {
        EXPECT_EQ(count_directories(path(out)), 1) << out;
        EXPECT_EQ(raw_blocks(path(in), directory), raw_blocks(path(out))) << out;
        tiff_image a, b;
        if (!read_tiff(path(in), &a, directory) || !read_tiff(path(out), &b))
            return;
        EXPECT_EQ(a.width, b.width);
        EXPECT_EQ(a.height, b.height);
        EXPECT_EQ(a.bits_per_sample, b.bits_per_sample);
        EXPECT_EQ(a.samples_per_pixel, b.samples_per_pixel);
        EXPECT_EQ(a.photometric, b.photometric);
        EXPECT_EQ(a.compression, b.compression);
        EXPECT_EQ(a.planar, b.planar);
        EXPECT_EQ(a.fill_order, b.fill_order);
        EXPECT_EQ(a.rows_per_strip, b.rows_per_strip);
        EXPECT_EQ(a.tiled, b.tiled);
        EXPECT_TRUE(a.pixels == b.pixels) << out;
    }
};

TEST_F(Pageburst, UsageAndInputErrors)
{
    run_result r = run("pageburst", {});
    EXPECT_EQ(r.status, shell_status(-3));
    EXPECT_EQ(r.err, std::string(TIFFGetVersion()) + "\n\nusage: pageburst input.tif [prefix]\n");
    EXPECT_EQ(r.out, "");

    // An input that does not open: libtiff says why, nothing is written.
    r = run("pageburst", {"missing.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos);
    write_file(path("junk.tif"), std::string("no TIFF here"));
    r = run("pageburst", {"junk.tif", "p"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"junk.tif"});
}

TEST_F(Pageburst, SplitsEveryKindOfPage)
{
    // Pages of every layout, with names in the default x... series.
    {
        tiff_handle out = open_tiff(path("in.tif"), "w");
        ASSERT_TRUE(out);
        tiff_spec strips;
        strips.width = 37;
        strips.height = 21;
        strips.samples_per_pixel = 3;
        strips.photometric = PHOTOMETRIC_RGB;
        strips.rows_per_strip = 5;
        strips.compression = COMPRESSION_LZW;
        strips.extra = [](TIFF* t) {
            TIFFSetField(t, TIFFTAG_PREDICTOR, 2);
            TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "strips");
            TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0);
            TIFFSetField(t, TIFFTAG_YRESOLUTION, 150.0);
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
            TIFFSetField(t, TIFFTAG_PAGENUMBER, 0, 3);
        };
        ASSERT_TRUE(write_page(out.get(), strips, pattern_bytes(37 * 21 * 3, 1)));

        tiff_spec planes = strips;
        planes.planar = PLANARCONFIG_SEPARATE;
        planes.compression = COMPRESSION_DEFLATE;
        planes.extra = [](TIFF* t) {
            uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
            TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_BOTLEFT);
        };
        planes.samples_per_pixel = 4;
        ASSERT_TRUE(write_page(out.get(), planes, pattern_bytes(37 * 21 * 4, 2)));

        tiff_spec tiles;
        tiles.width = 40;
        tiles.height = 35;
        tiles.tile_width = 16;
        tiles.tile_height = 32;
        tiles.bits_per_sample = 16;
        tiles.compression = COMPRESSION_PACKBITS;
        tiles.extra = [](TIFF* t) {
            TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(t, TIFFTAG_SOFTWARE, "tiles");
        };
        ASSERT_TRUE(write_page(out.get(), tiles, pattern_bytes(40 * 35 * 2, 3)));

        tiff_spec palette;
        palette.width = 9;
        palette.height = 4;
        palette.bits_per_sample = 4;
        palette.photometric = PHOTOMETRIC_PALETTE;
        palette.extra = [](TIFF* t) {
            std::vector<uint16_t> r(16), g(16), b(16);
            for (int i = 0; i < 16; i++) {
                r[(size_t)i] = (uint16_t)(i * 4000);
                g[(size_t)i] = (uint16_t)(65535 - i * 4000);
                b[(size_t)i] = (uint16_t)(i * 17);
            }
            TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
        };
        ASSERT_TRUE(write_page(out.get(), palette, pattern_bytes(5 * 4, 4)));

        tiff_spec fax;
        fax.width = 100;
        fax.height = 20;
        fax.bits_per_sample = 1;
        fax.photometric = PHOTOMETRIC_MINISWHITE;
        fax.compression = COMPRESSION_CCITTFAX4;
        fax.extra = [](TIFF* t) {
            TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
            TIFFSetField(t, TIFFTAG_BADFAXLINES, 2);
            TIFFSetField(t, TIFFTAG_CLEANFAXDATA, CLEANFAXDATA_REGENERATED);
            TIFFSetField(t, TIFFTAG_FAXSUBADDRESS, "1234");
        };
        ASSERT_TRUE(write_page(out.get(), fax, pattern_bytes(13 * 20, 5)));
    }
    run_result r = run("pageburst", {"in.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(only_warnings(r.err)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"in.tif", "xaaa.tif", "xaab.tif",
                                                        "xaac.tif", "xaad.tif", "xaae.tif"}));
    const char* outs[] = {"xaaa.tif", "xaab.tif", "xaac.tif", "xaad.tif", "xaae.tif"};
    for (int i = 0; i < 5; i++)
        expect_same_page("in.tif", i, outs[i]);

    // Listed fields arrive unchanged.
    EXPECT_EQ(description_of(path("xaaa.tif")), "strips");
    tiff_handle t = open_tiff(path("xaaa.tif"));
    float x = 0, y = 0;
    uint16_t page = 9, total = 9, predictor = 0;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &x) &&
                TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &y));
    EXPECT_EQ(x, 300.0f);
    EXPECT_EQ(y, 150.0f);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_PAGENUMBER, &page, &total));
    EXPECT_EQ(page, 0);
    EXPECT_EQ(total, 3);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor));
    EXPECT_EQ(predictor, 2);
    t = open_tiff(path("xaab.tif"));
    uint16_t extra_count = 0, orientation = 0;
    uint16_t* extra = nullptr;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_EXTRASAMPLES, &extra_count, &extra));
    EXPECT_EQ(extra_count, 1);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_ORIENTATION, &orientation));
    EXPECT_EQ(orientation, ORIENTATION_BOTLEFT);
    t = open_tiff(path("xaac.tif"));
    uint32_t subfile = 0;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_SUBFILETYPE, &subfile));
    EXPECT_EQ(subfile, (uint32_t)FILETYPE_PAGE);
    t = open_tiff(path("xaad.tif"));
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_COLORMAP, &red, &green, &blue));
    EXPECT_EQ(red[15], 60000);
    EXPECT_EQ(green[1], 61535);
    EXPECT_EQ(blue[3], 51);
    t = open_tiff(path("xaae.tif"));
    uint32_t bad_lines = 0;
    uint16_t clean = 0;
    char* subaddress = nullptr;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_BADFAXLINES, &bad_lines));
    EXPECT_EQ(bad_lines, 2u);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_CLEANFAXDATA, &clean));
    EXPECT_EQ(clean, CLEANFAXDATA_REGENERATED);
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_FAXSUBADDRESS, &subaddress));
    EXPECT_STREQ(subaddress, "1234");
}

TEST_F(Pageburst, JpegTablesTravelWithEachPage)
{
    tiff_spec spec;
    spec.width = 40;
    spec.height = 24;
    spec.samples_per_pixel = 3;
    spec.photometric = PHOTOMETRIC_YCBCR;
    spec.compression = COMPRESSION_JPEG;
    spec.rows_per_strip = 16;
    spec.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, 60);
    };
    {
        tiff_handle out = open_tiff(path("in.tif"), "w");
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(40 * 24 * 3, 7)));
        spec.tile_width = 16;
        spec.tile_height = 16;
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(40 * 24 * 3, 8)));
    }
    run_result r = run("pageburst", {"in.tif", "j"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < 2; i++) {
        std::string out = i == 0 ? "jaaa.tif" : "jaab.tif";
        expect_same_page("in.tif", i, out);
        tiff_handle a = open_tiff(path("in.tif")), b = open_tiff(path(out));
        ASSERT_TRUE(a && b && TIFFSetDirectory(a.get(), (tdir_t)i));
        uint32_t na = 0, nb = 0;
        void *ta = nullptr, *tb = nullptr;
        ASSERT_TRUE(TIFFGetField(a.get(), TIFFTAG_JPEGTABLES, &na, &ta));
        ASSERT_TRUE(TIFFGetField(b.get(), TIFFTAG_JPEGTABLES, &nb, &tb)) << out;
        ASSERT_EQ(na, nb);
        EXPECT_EQ(memcmp(ta, tb, na), 0);
        uint16_t h = 0, v = 0;
        EXPECT_TRUE(TIFFGetFieldDefaulted(b.get(), TIFFTAG_YCBCRSUBSAMPLING, &h, &v));
        EXPECT_EQ(h, 2);
        EXPECT_EQ(v, 2);
    }
}

TEST_F(Pageburst, FieldsNeededToReadTheDataAreCopied)
{
    // An uncompressed YCbCr page subsampled 4x1 with its colour space
    // description; a grey page with a transfer function; a separated
    // CMYK page with ink names; an RGB page with a transfer function per
    // channel and an ICC profile; sample range fields.
    float coefficients[3] = {0.25f, 0.5f, 0.25f};
    float black_white[6] = {0, 255, 128, 255, 128, 255};
    float white[2] = {0.3125f, 0.328125f};
    float primaries[6] = {0.625f, 0.3125f, 0.3125f, 0.5625f, 0.15625f, 0.0625f};
    std::vector<uint16_t> curve(256), curve2(256), curve3(256);
    for (int i = 0; i < 256; i++) {
        curve[(size_t)i] = (uint16_t)(i * 257);
        curve2[(size_t)i] = (uint16_t)(65535 - i * 257);
        curve3[(size_t)i] = (uint16_t)(i * 100);
    }
    const char inks[] = "Cyan\0Magenta\0Yellow\0Black";
    bytes icc = pattern_bytes(300, 9);
    {
        tiff_handle out = open_tiff(path("in.tif"), "w");
        ASSERT_TRUE(out);
        tiff_spec ycbcr;
        ycbcr.width = 8;
        ycbcr.height = 2;
        ycbcr.samples_per_pixel = 3;
        ycbcr.photometric = PHOTOMETRIC_YCBCR;
        ycbcr.extra = [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 4, 1);
            TIFFSetField(t, TIFFTAG_YCBCRPOSITIONING, YCBCRPOSITION_COSITED);
            TIFFSetField(t, TIFFTAG_YCBCRCOEFFICIENTS, coefficients);
            TIFFSetField(t, TIFFTAG_REFERENCEBLACKWHITE, black_white);
            TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
            TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
        };
        // 8x2 at 4x1: per row two blocks of four Y, Cb, Cr.
        ASSERT_TRUE(write_page(out.get(), ycbcr, pattern_bytes(2 * 2 * 6 * 2, 1)));

        tiff_spec grey;
        grey.width = 5;
        grey.height = 3;
        grey.extra = [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_TRANSFERFUNCTION, curve.data());
            TIFFSetField(t, TIFFTAG_SMINSAMPLEVALUE, 3.0);
            TIFFSetField(t, TIFFTAG_SMAXSAMPLEVALUE, 250.0);
        };
        ASSERT_TRUE(write_page(out.get(), grey, pattern_bytes(15, 2)));

        tiff_spec cmyk;
        cmyk.width = 3;
        cmyk.height = 2;
        cmyk.samples_per_pixel = 4;
        cmyk.photometric = PHOTOMETRIC_SEPARATED;
        cmyk.extra = [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK);
            TIFFSetField(t, TIFFTAG_INKNAMES, (int)sizeof inks, inks);
            TIFFSetField(t, TIFFTAG_DOTRANGE, 5, 250);
        };
        ASSERT_TRUE(write_page(out.get(), cmyk, pattern_bytes(24, 3)));

        tiff_spec rgb;
        rgb.width = 2;
        rgb.height = 2;
        rgb.samples_per_pixel = 3;
        rgb.photometric = PHOTOMETRIC_RGB;
        rgb.extra = [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_TRANSFERFUNCTION, curve.data(), curve2.data(), curve3.data());
            TIFFSetField(t, TIFFTAG_ICCPROFILE, (uint32_t)icc.size(), icc.data());
        };
        ASSERT_TRUE(write_page(out.get(), rgb, pattern_bytes(12, 4)));
    }
    run_result r = run("pageburst", {"in.tif", "f-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const char* outs[] = {"f-aaa.tif", "f-aab.tif", "f-aac.tif", "f-aad.tif"};
    for (int i = 0; i < 4; i++)
        expect_same_page("in.tif", i, outs[i]);

    tiff_handle t = open_tiff(path("f-aaa.tif"));
    uint16_t h = 0, v = 0, positioning = 0;
    float *f = nullptr;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_YCBCRSUBSAMPLING, &h, &v));
    EXPECT_EQ(h, 4);
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_YCBCRPOSITIONING, &positioning));
    EXPECT_EQ(positioning, YCBCRPOSITION_COSITED);
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_YCBCRCOEFFICIENTS, &f));
    EXPECT_EQ(std::vector<float>(f, f + 3), std::vector<float>(coefficients, coefficients + 3));
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_REFERENCEBLACKWHITE, &f));
    EXPECT_EQ(std::vector<float>(f, f + 6), std::vector<float>(black_white, black_white + 6));
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_WHITEPOINT, &f));
    EXPECT_EQ(std::vector<float>(f, f + 2), std::vector<float>(white, white + 2));
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_PRIMARYCHROMATICITIES, &f));
    EXPECT_EQ(std::vector<float>(f, f + 6), std::vector<float>(primaries, primaries + 6));

    t = open_tiff(path("f-aab.tif"));
    uint16_t *c1 = nullptr, *c2 = nullptr, *c3 = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_TRANSFERFUNCTION, &c1, &c2, &c3));
    EXPECT_EQ(std::vector<uint16_t>(c1, c1 + 256), curve);
    double smin = 0, smax = 0;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_SMINSAMPLEVALUE, &smin));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_SMAXSAMPLEVALUE, &smax));
    EXPECT_EQ(smin, 3.0);
    EXPECT_EQ(smax, 250.0);

    t = open_tiff(path("f-aac.tif"));
    uint16_t ink_set = 0, low = 0, high = 0;
    char* names = nullptr;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_INKSET, &ink_set));
    EXPECT_EQ(ink_set, INKSET_MULTIINK);
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_INKNAMES, &names));
    EXPECT_EQ(std::string(names, sizeof inks), std::string(inks, sizeof inks));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_DOTRANGE, &low, &high));
    EXPECT_EQ(low, 5);
    EXPECT_EQ(high, 250);

    t = open_tiff(path("f-aad.tif"));
    c1 = c2 = c3 = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_TRANSFERFUNCTION, &c1, &c2, &c3));
    ASSERT_TRUE(c2 != nullptr && c3 != nullptr);
    EXPECT_EQ(std::vector<uint16_t>(c2, c2 + 256), curve2);
    EXPECT_EQ(std::vector<uint16_t>(c3, c3 + 256), curve3);
    uint32_t icc_size = 0;
    void* icc_data = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_ICCPROFILE, &icc_size, &icc_data));
    EXPECT_EQ(bytes((uint8_t*)icc_data, (uint8_t*)icc_data + icc_size), icc);
}

// Pages keep the input's byte order and kind: those of a BigTIFF file are
// BigTIFF files holding the same raw strips.
TEST_F(Pageburst, ByteOrderAndKindAreKept)
{
    tiff_spec spec;
    spec.width = 7;
    spec.height = 3;
    spec.bits_per_sample = 16;
    spec.compression = COMPRESSION_LZW;
    spec.rows_per_strip = 2;
    bytes pixels = pattern_bytes(7 * 3 * 2);
    for (const char* mode : {"wb", "wl", "wb8", "wl8"}) {
        {
            tiff_handle out = open_tiff(path("in.tif"), mode);
            ASSERT_TRUE(write_page(out.get(), spec, pixels));
            ASSERT_TRUE(write_page(out.get(), spec, pixels));
        }
        run_result r = run("pageburst", {"in.tif", mode});
        EXPECT_EQ(r.status, 0) << r.err;
        std::string magic = mode[1] == 'b' ? "MM" : "II";
        for (const char* suffix : {"aaa.tif", "aab.tif"}) {
            std::string name = std::string(mode) + suffix;
            EXPECT_EQ(read_file(path(name)).substr(0, 2), magic) << name;
            tiff_handle page = open_tiff(path(name));
            EXPECT_EQ(page && TIFFIsBigTIFF(page.get()), mode[2] == '8') << name;
            expect_same_page("in.tif", 0, name);
        }
    }
}

TEST_F(Pageburst, NamesCountInBase26)
{
    write_file(path("in.tif"), many_pages(677));
    run_result r = run("pageburst", {"in.tif", "page"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir).size(), 678u);
    EXPECT_EQ(description_of(path("pageaaa.tif")), "0");
    EXPECT_EQ(description_of(path("pageaaz.tif")), "25");
    EXPECT_EQ(description_of(path("pageaba.tif")), "26");
    EXPECT_EQ(description_of(path("pageazz.tif")), "675");
    EXPECT_EQ(description_of(path("pagebaa.tif")), "676");
    expect_same_page("in.tif", 676, "pagebaa.tif");

    // An empty prefix is no prefix; existing files are overwritten.
    write_file(path("in.tif"), many_pages(2));
    write_file(path("xaab.tif"), std::string("old contents"));
    r = run("pageburst", {"in.tif", ""});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(description_of(path("xaaa.tif")), "0");
    EXPECT_EQ(description_of(path("xaab.tif")), "1");
    EXPECT_FALSE(file_exists(path("xaac.tif")));
}

// 17577 directories: one more than a prefix's three letters can name.
class PageburstManyPages : public Pageburst {
protected:
    void SetUp() override
    {
        Pageburst::SetUp();
        write_file(path("in.tif"), many_pages(17577));
        ASSERT_EQ(mkdir(path("out").c_str(), 0777), 0);
    }
    run_result burst(std::vector<std::string> args)
    {
        run_options o;
        o.cwd = path("out");
        o.timeout_seconds = 110;
        return run("pageburst", args, o);
    }
};

TEST_F(PageburstManyPages, NamesRunOutWithAPrefix)
{
    run_result r = burst({"../in.tif", "p"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pageburst: too many files.\n");
    std::vector<std::string> names = list_dir(path("out"));
    EXPECT_EQ(names.size(), 17576u);
    EXPECT_EQ(names.back(), "pzzz.tif");
    EXPECT_EQ(description_of(path("out/pzzz.tif")), "17575");
}

TEST_F(PageburstManyPages, DefaultPrefixMovesOn)
{
    // Without a prefix, the one-letter prefix moves on from x to y.
    run_result r = burst({"../in.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names = list_dir(path("out"));
    EXPECT_EQ(names.size(), 17577u);
    EXPECT_EQ(names.front(), "xaaa.tif");
    EXPECT_EQ(names.back(), "yaaa.tif");
    EXPECT_EQ(description_of(path("out/xzzz.tif")), "17575");
    EXPECT_EQ(description_of(path("out/yaaa.tif")), "17576");
}

TEST_F(Pageburst, PrefixLengthLimit)
{
    write_file(path("in.tif"), many_pages(1));
    // A prefix of 1017 characters leaves room for "aaa.tif" in 1024; it is
    // made of directories so that each name stays short.
    std::string prefix;
    while (prefix.size() + 201 <= 1017) {
        prefix += std::string(200, 'd') + "/";
        ASSERT_EQ(mkdir(path(prefix).c_str(), 0777), 0);
    }
    prefix += std::string(1017 - prefix.size(), 'p');
    ASSERT_EQ(prefix.size(), 1017u);
    run_result r = run("pageburst", {"in.tif", prefix});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(file_exists(path(prefix + "aaa.tif")));

    // One more character: refused before anything is opened.
    r = run("pageburst", {"in.tif", prefix + "q"});
    EXPECT_EQ(r.status, shell_status(-3));
    EXPECT_EQ(r.err, "pageburst: prefix too long.\n");
    EXPECT_FALSE(file_exists(path(prefix + "qaaa.tif")));
    r = run("pageburst", {"missing.tif", std::string(5000, 'z')});
    EXPECT_EQ(r.status, shell_status(-3));
    EXPECT_EQ(r.err, "pageburst: prefix too long.\n");
}

TEST_F(Pageburst, Failures)
{
    // An output that cannot be created.
    write_file(path("in.tif"), many_pages(2));
    run_result r = run("pageburst", {"in.tif", "nodir/p"});
    EXPECT_EQ(r.status, shell_status(-2));
    EXPECT_NE(r.err.find("nodir/paaa.tif"), std::string::npos) << r.err;

    // A second page whose data lies past the end of the file: the first
    // page is complete, the run ends with -1.
    raw_tiff t;
    uint32_t data = t.blob({1, 2, 3, 4});
    t.grey_image(2, 2, 2, {data}, {4});
    t.write_ifd();
    t.grey_image(2, 2, 1, {data, 0x100000}, {2, 2});
    t.write_ifd();
    t.grey_image(2, 2, 2, {data}, {4});
    t.write_ifd();
    write_file(path("bad.tif"), t.data);
    r = run("pageburst", {"bad.tif", "bad"});
    EXPECT_EQ(r.status, shell_status(-1));
    EXPECT_NE(r.err, "");
    expect_same_page("bad.tif", 0, "badaaa.tif");
    EXPECT_FALSE(file_exists(path("badaac.tif")));

    // A byte count far beyond the file is not allocated, only refused.
    raw_tiff huge;
    data = huge.blob({1, 2, 3, 4});
    huge.grey_image(2, 2, 2, {data}, {0xfffffff0});
    huge.shorts(259, {5});
    huge.write_ifd();
    write_file(path("huge.tif"), huge.data);
    r = run("pageburst", {"huge.tif", "huge"});
    EXPECT_EQ(r.status, shell_status(-1));
}

TEST_F(Pageburst, DamagedInputsEndWithAStatus)
{
    tiff_spec spec;
    spec.width = 30;
    spec.height = 9;
    spec.rows_per_strip = 2;
    spec.compression = COMPRESSION_LZW;
    {
        tiff_handle out = open_tiff(path("good.tif"), "w");
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(270)));
        spec.tile_width = 16;
        spec.tile_height = 16;
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(270)));
    }
    std::string good = read_file(path("good.tif"));
    ASSERT_EQ(mkdir(path("out").c_str(), 0777), 0);
    for (size_t k = 1; k < 16; k++) {
        write_file(path("cut.tif"), good.substr(0, good.size() * k / 16));
        run_result r = run("pageburst", {"cut.tif", "out/p"});
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == shell_status(-1)) << k;
    }
    // Directories that point to each other: each page once.
    raw_tiff t;
    uint32_t data = t.blob({1, 2, 3, 4});
    t.grey_image(2, 2, 2, {data}, {4});
    uint32_t first = t.write_ifd();
    t.grey_image(2, 2, 2, {data}, {4});
    t.write_ifd();
    t.patch32(t.last_link(), first);
    write_file(path("loop.tif"), t.data);
    run_result r = run("pageburst", {"loop.tif", "loop"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_exists(path("loopaab.tif")));
    EXPECT_FALSE(file_exists(path("loopaac.tif")));
}

}  // namespace
