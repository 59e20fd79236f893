// Fields that libtiff has no definition for (georeferencing and other
// private fields): every program that reads TIFF files reads past them
// without a word, and pageburst carries them into each page with their
// type, count and values.
#include "harness.h"

#include <cstring>

namespace {

// One private field: tag, type, and its values as libtiff holds them in
// memory (RATIONAL and SRATIONAL as floats).
struct private_field {
    uint32_t tag;
    TIFFDataType type;
    uint32_t count;
    bytes values;
};

template <typename T>
private_field field_of(uint32_t tag, TIFFDataType type, const std::vector<T>& values)
{
    bytes b(values.size() * sizeof(T));
    memcpy(b.data(), values.data(), b.size());
    return {tag, type, (uint32_t)values.size(), b};
}

private_field text_field(uint32_t tag, const std::string& text)
{
    bytes b(text.begin(), text.end());
    b.push_back(0);
    return {tag, TIFF_ASCII, (uint32_t)b.size(), b};
}

// The private fields of page `page`: those of a georeferenced image, and
// one of every other type. The tie point differs from page to page.
std::vector<private_field> private_fields(int page)
{
    return {
        field_of<double>(33550, TIFF_DOUBLE, {1.5, 2.5, 0}),
        field_of<double>(33922, TIFF_DOUBLE, {0, 0, 0, 440720.0 + page, 3751320.0, 0}),
        field_of<uint16_t>(34735, TIFF_SHORT,
                           {1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, 32611}),
        field_of<double>(34736, TIFF_DOUBLE, {6378137.0, 298.257223563}),
        text_field(34737, "WGS 84 / UTM zone 11N|"),
        text_field(42113, "-9999"),
        field_of<uint8_t>(65000, TIFF_BYTE, {1, 2, 3, 250, 255}),
        field_of<int8_t>(65001, TIFF_SBYTE, {-1, 5}),
        field_of<int16_t>(65002, TIFF_SSHORT, {-300}),
        field_of<int32_t>(65003, TIFF_SLONG, {-70000, 7, 1}),
        field_of<float>(65004, TIFF_FLOAT, {0.25f}),
        field_of<float>(65005, TIFF_RATIONAL, {0.5f, 3.25f}),
        field_of<float>(65006, TIFF_SRATIONAL, {-0.25f}),
        field_of<uint8_t>(65007, TIFF_UNDEFINED, {0, 1, 2, 3, 4, 5, 6}),
        field_of<uint32_t>(65008, TIFF_LONG, {123456u + (uint32_t)page}),
    };
}

// Registers the private fields on a handle being written and sets those
// of page `page`.
void set_private_fields(TIFF* t, int page)
{
    for (const private_field& f : private_fields(page)) {
        TIFFFieldInfo info = {f.tag, TIFF_VARIABLE2, TIFF_VARIABLE2, f.type,
                              FIELD_CUSTOM, 1, 1, (char*)"private"};
        TIFFMergeFieldInfo(t, &info, 1);
        TIFFSetField(t, f.tag, f.count, f.values.data());
    }
}

// Writes a two-page file of `spec` whose pages hold the private fields.
void write_private_pages(const std::string& path, tiff_spec spec, const char* mode = "w")
{
    tiff_handle out = open_tiff(path, mode);
    ASSERT_TRUE(out);
    size_t line = ((size_t)spec.width * spec.samples_per_pixel * spec.bits_per_sample + 7) / 8;
    for (int page = 0; page < 2; page++) {
        std::function<void(TIFF*)> extra = spec.extra;
        tiff_spec s = spec;
        s.extra = [&](TIFF* t) {
            if (extra)
                extra(t);
            set_private_fields(t, page);
        };
        ASSERT_TRUE(write_page(out.get(), s, pattern_bytes(line * spec.height, page + 1)));
    }
}

class PrivateFields : public ToolTest {};

TEST_F(PrivateFields, ReadPastWithoutWarnings)
{
    tiff_spec grey;
    grey.width = 16, grey.height = 4;
    write_private_pages(path("grey.tif"), grey);
    tiff_spec rgb = grey;
    rgb.samples_per_pixel = 3, rgb.photometric = PHOTOMETRIC_RGB;
    write_private_pages(path("rgb.tif"), rgb);
    tiff_spec palette = grey;
    palette.photometric = PHOTOMETRIC_PALETTE;
    std::vector<uint16_t> map(256, 40000);
    palette.extra = [&](TIFF* t) { TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data()); };
    write_private_pages(path("palette.tif"), palette);
    tiff_spec fax = grey;
    fax.bits_per_sample = 1, fax.photometric = PHOTOMETRIC_MINISWHITE;
    fax.compression = COMPRESSION_CCITTFAX4;
    fax.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0);
    };
    write_private_pages(path("fax.tif"), fax);

    const std::vector<std::vector<std::string>> runs = {
        {"tagshow", "grey.tif"},
        {"tagshow", "-d", "-r", "rgb.tif"},
        {"greytag", "rgb.tif", "out.tif"},
        {"cmapexpand", "palette.tif", "out.tif"},
        {"halftone", "grey.tif", "out.tif"},
        {"chromatag", "rgb.tif", "grey.tif", "out.tif"},
        {"tagtruecolor", "palette.tif", "fax.tif", "out.tif"},
        {"pageburst", "grey.tif", "page-"},
        {"ccittpage", "-w", "fax.tif"},
        {"tagpoke", "-s", "305", "poked", "grey.tif"},
    };
    for (const auto& args : runs) {
        run_result r = run(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err, "") << args[0];
    }
}

// Each page holds the private fields of its directory, with the type,
// count and values they had, in either byte order; standard error stays
// empty.
TEST_F(PrivateFields, PageburstCopiesThemIntoEveryPage)
{
    for (const char* mode : {"wl", "wb"}) {
        SCOPED_TRACE(mode);
        tiff_spec spec;
        spec.width = 9, spec.height = 3, spec.rows_per_strip = 2;
        spec.compression = COMPRESSION_LZW;
        // A private field of type IFD points into the input: it stays
        // behind.
        // Fields libtiff knows but no list of pageburst's names travel
        // too: a string, a packet, single values, an array of fixed
        // length.
        spec.extra = [](TIFF* t) {
            TIFFSetField(t, TIFFTAG_COPYRIGHT, "(c) the surveyors");
            TIFFSetField(t, TIFFTAG_XMLPACKET, 5u, "<x/>");
            TIFFSetField(t, TIFFTAG_CELLWIDTH, 3);
            TIFFSetField(t, TIFFTAG_STONITS, 0.125);
            const uint8_t version[4] = {1, 4, 0, 0};
            TIFFSetField(t, TIFFTAG_DNGVERSION, version);
            TIFFSetField(t, TIFFTAG_HALFTONEHINTS, 10, 240);
            TIFFFieldInfo info = {65100, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_IFD,
                                  FIELD_CUSTOM, 1, 1, (char*)"pointer"};
            TIFFMergeFieldInfo(t, &info, 1);
            uint64_t offset = 8;  // libtiff holds IFD values in 64 bits
            TIFFSetField(t, 65100, 1u, &offset);
        };
        write_private_pages(path("geo.tif"), spec, mode);
        run_result r = run("pageburst", {"geo.tif", "geo-"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const char* pages[] = {"geo-aaa.tif", "geo-aab.tif"};
        for (int page = 0; page < 2; page++) {
            SCOPED_TRACE(pages[page]);
            tiff_image a, b;
            ASSERT_TRUE(read_tiff(path("geo.tif"), &a, page));
            ASSERT_TRUE(read_tiff(path(pages[page]), &b));
            EXPECT_EQ(a.pixels, b.pixels);
            tiff_handle t = open_tiff(path(pages[page]));
            ASSERT_TRUE(t);
            EXPECT_EQ(TIFFIsBigEndian(t.get()) != 0, mode[1] == 'b');
            for (const private_field& f : private_fields(page)) {
                SCOPED_TRACE(f.tag);
                const TIFFField* field = TIFFFindField(t.get(), f.tag, TIFF_ANY);
                ASSERT_NE(field, nullptr);
                EXPECT_EQ(TIFFFieldDataType(field), f.type);
                uint32_t count = 0;
                void* data = nullptr;
                ASSERT_TRUE(TIFFGetField(t.get(), f.tag, &count, &data));
                ASSERT_EQ(count, f.count);
                EXPECT_EQ(bytes((uint8_t*)data, (uint8_t*)data + f.values.size()), f.values);
            }
            EXPECT_EQ(TIFFFindField(t.get(), 65100, TIFF_ANY), nullptr);
            char* copyright = nullptr;
            ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_COPYRIGHT, &copyright));
            EXPECT_STREQ(copyright, "(c) the surveyors");
            uint32_t packet_size = 0;
            char* packet = nullptr;
            ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_XMLPACKET, &packet_size, &packet));
            EXPECT_EQ(std::string(packet, packet_size), std::string("<x/>", 5));
            uint16_t cell_width = 0, light = 0, dark = 0;
            EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_CELLWIDTH, &cell_width));
            EXPECT_EQ(cell_width, 3);
            double nits = 0;
            EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_STONITS, &nits));
            EXPECT_EQ(nits, 0.125);
            uint8_t* version = nullptr;
            ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_DNGVERSION, &version));
            EXPECT_EQ(bytes(version, version + 4), (bytes{1, 4, 0, 0}));
            EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_HALFTONEHINTS, &light, &dark));
            EXPECT_EQ(light, 10);
            EXPECT_EQ(dark, 240);
        }
    }
}

}  // namespace
