// tagpoke through its command line: fields by name and number, value
// conversion by type, counts, value files, and the statuses that leave the
// file untouched.
#include "harness.h"
#include "raw_tiff.h"

#include <cstring>

namespace {

const std::string help_text =
    "usage: tagpoke [options] filename\n"
    "where options are:\n"
    " -s <tagname> [count] <value>...   set the tag value\n"
    " -sf <tagname> <filename>  read the tag value from file (for ASCII tags only)\n";

class Tagpoke : public ToolTest {
protected:
    // A two-directory file: a 6x4 grey image described "original", then a
    // 3x2 one.
    void SetUp() override
    {
        ToolTest::SetUp();
        tiff_handle out = open_tiff(path("f.tif"), "w");
        ASSERT_TRUE(out);
        tiff_spec spec;
        spec.width = 6;
        spec.height = 4;
        spec.rows_per_strip = 2;
        spec.compression = COMPRESSION_LZW;
        spec.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "original"); };
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(24, 1)));
        spec = tiff_spec();
        spec.width = 3;
        spec.height = 2;
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(6, 2)));
    }

    // Runs tagpoke and expects it to stop with `status` and `message`,
    // leaving the file byte for byte as it was.
    void expect_refused(const std::vector<std::string>& args, int status,
                        const std::string& message)
    {
        std::string before = read_file(path("f.tif"));
        run_result r = run("tagpoke", args);
        EXPECT_EQ(r.status, shell_status(status)) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(read_file(path("f.tif")) == before) << "file changed";
    }

    // Checks that the image data of both directories is still intact.
    void expect_images_intact()
    {
        tiff_image a, b;
        ASSERT_TRUE(read_tiff(path("f.tif"), &a, 0));
        EXPECT_EQ(a.width, 6u);
        EXPECT_TRUE(a.pixels == pattern_bytes(24, 1));
        ASSERT_TRUE(read_tiff(path("f.tif"), &b, 1));
        EXPECT_EQ(b.width, 3u);
        EXPECT_TRUE(b.pixels == pattern_bytes(6, 2));
        EXPECT_EQ(count_directories(path("f.tif")), 2);
    }

    std::string text_field(ttag_t tag)
    {
        tiff_handle t = open_tiff(path("f.tif"));
        char* v = nullptr;
        if (!t || !TIFFGetField(t.get(), tag, &v) || v == nullptr)
            return "<absent>";
        return v;
    }
};

TEST_F(Tagpoke, UsageAndOpenErrors)
{
    run_result r = run("tagpoke", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, help_text);

    r = run("tagpoke", {"-s", "Software", "x", "missing.tif"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos);
    EXPECT_FALSE(file_exists(path("missing.tif")));

    write_file(path("junk.tif"), std::string("not TIFF"));
    r = run("tagpoke", {"junk.tif"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(read_file(path("junk.tif")), "not TIFF");
}

TEST_F(Tagpoke, UnrecognisedItems)
{
    expect_refused({"-x", "f.tif"}, -1, "Unrecognised option: -x\n" + help_text);
    // -s and -sf need a field, a value and the file after them.
    expect_refused({"-s", "Software", "f.tif"}, -1, "Unrecognised option: -s\n" + help_text);
    expect_refused({"-sf", "Software", "f.tif"}, -1, "Unrecognised option: -sf\n" + help_text);
    // A bad item after a good one: nothing is written.
    expect_refused({"-s", "Software", "x", "extra", "f.tif"}, -1,
                   "Unrecognised option: extra\n" + help_text);
}

TEST_F(Tagpoke, FieldsByNameAndNumber)
{
    run_result r = run("tagpoke", {"-s", "305", "by number", "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(text_field(TIFFTAG_SOFTWARE), "by number");
    r = run("tagpoke", {"-s", "Software", "by name", "-s", "ImageDescription", "changed",
                        "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text_field(TIFFTAG_SOFTWARE), "by name");
    EXPECT_EQ(text_field(TIFFTAG_IMAGEDESCRIPTION), "changed");
    expect_images_intact();

    // Names and numbers that are not fields; 0 and negative numbers are
    // taken as names.
    for (const char* field : {"Bogus", "software", "0", "-5", "65000"})
        expect_refused({"-s", "Software", "first", "-s", field, "1", "f.tif"}, 3,
                       std::string("Field name ") + field + " not recognised.\n");
    expect_refused({"-sf", "NoSuchField", "v.txt", "f.tif"}, 3,
                   "Field name NoSuchField not recognised.\n");
}

TEST_F(Tagpoke, ValuesConvertedByType)
{
    run_result r = run("tagpoke", {"-s", "XResolution", "300", "-s", "YResolution", "72.5",
                                   "-s", "ResolutionUnit", "3", "-s", "SubfileType",
                                   "4294967295", "-s", "StoNits", "0.125", "-s", "Orientation",
                                   "0x4", "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    tiff_handle t = open_tiff(path("f.tif"));
    float x = 0, y = 0;
    uint16_t unit = 0, orientation = 0;
    uint32_t subfile = 0;
    double nits = 0;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &x));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &y));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_SUBFILETYPE, &subfile));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_STONITS, &nits));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_ORIENTATION, &orientation));
    EXPECT_EQ(x, 300.0f);
    EXPECT_EQ(y, 72.5f);
    EXPECT_EQ(unit, RESUNIT_CENTIMETER);
    EXPECT_EQ(subfile, 0xffffffffu);
    EXPECT_EQ(nits, 0.125);
    EXPECT_EQ(orientation, 4);  // hexadecimal
    t.reset();
    expect_images_intact();
}

// A value that is not one of the field's type, as a whole, is refused
// before anything is set: the message names it and the field, the status
// is 1 and the file is as it was, also when other items are good.
TEST_F(Tagpoke, ValuesThatAreNotOfTheTypeAreRefused)
{
    struct refused {
        std::vector<std::string> items;
        std::string message;
    };
    const std::string long_range = " tag: expected a whole number from 0 to 4294967295\n";
    const std::string rational = " tag: expected a number from 0 to 4294967040, without a sign\n";
    for (const refused& c : std::vector<refused>{
             // LONG: not a number, trailing text, a sign, out of range.
             {{"-s", "ImageWidth", "abc"}, "Bad value abc for ImageWidth" + long_range},
             {{"-s", "ImageWidth", "640px"}, "Bad value 640px for ImageWidth" + long_range},
             {{"-s", "ImageWidth", " 640"}, "Bad value  640 for ImageWidth" + long_range},
             {{"-s", "SubfileType", "-1"}, "Bad value -1 for SubfileType" + long_range},
             {{"-s", "SubfileType", "4294967296"}, "Bad value 4294967296 for SubfileType" + long_range},
             {{"-s", "SubfileType", "0x"}, "Bad value 0x for SubfileType" + long_range},
             // SHORT, and a SHORT pair.
             {{"-s", "Orientation", "65540"},
              "Bad value 65540 for Orientation tag: expected a whole number from 0 to 65535\n"},
             {{"-s", "PageNumber", "1", "two"},
              "Bad value two for PageNumber tag: expected a whole number from 0 to 65535\n"},
             // BYTE in an array.
             {{"-s", "DNGVersion", "1", "4", "0", "258"},
              "Bad value 258 for DNGVersion tag: expected a whole number from 0 to 255\n"},
             // RATIONAL: no sign, finite, within 32 bits.
             {{"-s", "XResolution", "abc"}, "Bad value abc for XResolution" + rational},
             {{"-s", "XResolution", "12abc"}, "Bad value 12abc for XResolution" + rational},
             {{"-s", "XResolution", "-3"}, "Bad value -3 for XResolution" + rational},
             {{"-s", "XResolution", "+3"}, "Bad value +3 for XResolution" + rational},
             {{"-s", "XResolution", "1e20"}, "Bad value 1e20 for XResolution" + rational},
             {{"-s", "WhitePoint", "0.3", "inf"}, "Bad value inf for WhitePoint" + rational},
             // SRATIONAL, DOUBLE.
             {{"-s", "Decode", "2", "-1", "nan"},
              "Bad value nan for Decode tag: expected a number from -2147483520 to 2147483520\n"},
             {{"-s", "StoNits", "1e999"},
              "Bad value 1e999 for StoNits tag: expected a finite number\n"},
             {{"-s", "StoNits", ""}, "Bad value  for StoNits tag: expected a finite number\n"},
             // A count that is not one.
             {{"-s", "XMLPacket", "two", "1"},
              "Bad count two for XMLPacket tag: expected a whole number from 1\n"},
             {{"-s", "XMLPacket", "0"},
              "Bad count 0 for XMLPacket tag: expected a whole number from 1\n"},
             // Good items on either side of the bad one are not set either.
             {{"-s", "Software", "first", "-s", "XResolution", "300", "-s", "ImageLength", "4x",
               "-s", "Artist", "after"},
              "Bad value 4x for ImageLength" + long_range},
         }) {
        std::vector<std::string> args = c.items;
        args.push_back("f.tif");
        expect_refused(args, 1, c.message);
    }
}

TEST_F(Tagpoke, FixedCountsAndPairs)
{
    // Fields libtiff takes as two separate 16-bit values, and arrays of a
    // fixed count of several types.
    run_result r = run("tagpoke", {"-s", "PageNumber", "1", "3", "-s", "HalftoneHints", "10",
                                   "200", "-s", "DotRange", "4", "250", "-s",
                                   "YCbCrSubsampling", "2", "1", "-s", "WhitePoint", "0.3125",
                                   "0.25", "-s", "ActiveArea", "1", "2", "3", "4", "-s",
                                   "DNGVersion", "1", "4", "0", "2", "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    tiff_handle t = open_tiff(path("f.tif"));
    uint16_t a = 0, b = 0;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_PAGENUMBER, &a, &b));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 3);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_HALFTONEHINTS, &a, &b));
    EXPECT_EQ(a, 10);
    EXPECT_EQ(b, 200);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_DOTRANGE, &a, &b));
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, 250);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_YCBCRSUBSAMPLING, &a, &b));
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 1);
    float* white = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_WHITEPOINT, &white));
    EXPECT_EQ(white[0], 0.3125f);
    EXPECT_EQ(white[1], 0.25f);
    uint32_t* area = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_ACTIVEAREA, &area));
    EXPECT_EQ(std::vector<uint32_t>(area, area + 4), (std::vector<uint32_t>{1, 2, 3, 4}));
    uint8_t* version = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_DNGVERSION, &version));
    EXPECT_EQ(bytes(version, version + 4), (bytes{1, 4, 0, 2}));
    t.reset();
    expect_images_intact();

    // Too few values before the file name: status 4, nothing written.
    expect_refused({"-s", "Software", "x", "-s", "WhitePoint", "0.3", "f.tif"}, 4,
                   "Number of tag values is not enough. Expected 2 values for WhitePoint "
                   "tag, got 1\n");
    expect_refused({"-s", "ActiveArea", "1", "2", "f.tif"}, 4,
                   "Number of tag values is not enough. Expected 4 values for ActiveArea "
                   "tag, got 2\n");
}

TEST_F(Tagpoke, VariableCountsTakeACount)
{
    run_result r = run("tagpoke", {"-s", "XMLPacket", "3", "65", "66", "67", "-s", "Decode",
                                   "2", "-1.5", "2.5", "-s", "MinSampleValue", "1", "7", "-s",
                                   "Software", "after", "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    tiff_handle t = open_tiff(path("f.tif"));
    uint32_t count = 0;
    uint8_t* xml = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_XMLPACKET, &count, &xml));
    EXPECT_EQ(std::string((char*)xml, count), "ABC");
    uint16_t decode_count = 0, min_value = 0;
    float* decode = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_DECODE, &decode_count, &decode));
    ASSERT_EQ(decode_count, 2);
    EXPECT_EQ(decode[0], -1.5f);
    EXPECT_EQ(decode[1], 2.5f);
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_MINSAMPLEVALUE, &min_value));
    EXPECT_EQ(min_value, 7);
    t.reset();
    EXPECT_EQ(text_field(TIFFTAG_SOFTWARE), "after");
    expect_images_intact();

    // Fewer values than the count before the file name.
    expect_refused({"-s", "Software", "x", "-s", "XMLPacket", "3", "65", "66", "f.tif"}, 4,
                   "Number of tag values is not enough. Expected 3 values for XMLPacket tag, "
                   "got 2\n");
    expect_refused({"-s", "XMLPacket", "99999999999", "1", "f.tif"}, 4,
                   "Number of tag values is not enough.");
}

TEST_F(Tagpoke, SettingsThatCannotBeMadeFailButTheRestIsWritten)
{
    // No conversion for the type (UNDEFINED, no type at all), a field
    // whose several values libtiff takes in another form, a field that
    // takes no values.
    struct failing {
        std::vector<std::string> item;
        std::string name;
    };
    for (const failing& f : std::vector<failing>{
             {{"-s", "ICC Profile", "2", "1", "2"}, "ICC Profile"},
             {{"-s", "SMinSampleValue", "1", "3"}, "SMinSampleValue"},
             {{"-s", "MinSampleValue", "2", "1", "2"}, "MinSampleValue"},
             {{"-s", "ColorMap", "3", "1", "2", "3"}, "ColorMap"},
             {{"-s", "TileOffsets", "8"}, "TileOffsets"}}) {
        std::vector<std::string> args = f.item;
        for (const char* more : {"-s", "Artist", "written anyway", "f.tif"})
            args.push_back(more);
        run_result r = run("tagpoke", args);
        EXPECT_EQ(r.status, 1) << f.name;
        EXPECT_NE(r.err.find("Failed to set " + f.name + "\n"), std::string::npos) << r.err;
        EXPECT_EQ(text_field(TIFFTAG_ARTIST), "written anyway") << f.name;
        ASSERT_EQ(run("tagpoke", {"-s", "Artist", "reset", "f.tif"}).status, 0);
    }
    expect_images_intact();
}

TEST_F(Tagpoke, ValuesFromFiles)
{
    write_file(path("v.txt"), std::string("two\nlines\n"));
    run_result r = run("tagpoke", {"-sf", "ImageDescription", "v.txt", "-sf", "305", "v.txt",
                                   "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text_field(TIFFTAG_IMAGEDESCRIPTION), "two\nlines\n");
    EXPECT_EQ(text_field(TIFFTAG_SOFTWARE), "two\nlines\n");

    // Cut to 999,999 bytes.
    std::string big(1200000, 'a');
    for (size_t i = 0; i < big.size(); i += 1000)
        big[i] = 'b';
    write_file(path("big.txt"), big);
    r = run("tagpoke", {"-sf", "ImageDescription", "big.txt", "f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(text_field(TIFFTAG_IMAGEDESCRIPTION) == big.substr(0, 999999));
    expect_images_intact();

    // A value file that cannot be read: reported, the rest is written,
    // status 1.
    ASSERT_EQ(system(("mkdir '" + path("adir") + "'").c_str()), 0);
    for (const char* name : {"missing.txt", "adir"}) {
        r = run("tagpoke", {"-sf", "Artist", name, "-s", "Software", name, "f.tif"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(std::string(name) + ": ", 0), 0u) << r.err;
        EXPECT_EQ(text_field(TIFFTAG_SOFTWARE), name);
        EXPECT_EQ(text_field(TIFFTAG_ARTIST), "<absent>");
    }

    // Only ASCII fields come from files.
    expect_refused({"-s", "Software", "x", "-sf", "ImageWidth", "v.txt", "f.tif"}, 5,
                   "Only ASCII tags can be set from file. ImageWidth is not ASCII tag.\n");
}

TEST_F(Tagpoke, NoItemsRewritesTheSameDirectory)
{
    run_result r = run("tagpoke", {"f.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(text_field(TIFFTAG_IMAGEDESCRIPTION), "original");
    expect_images_intact();
}

TEST_F(Tagpoke, BigEndianFiles)
{
    tiff_spec spec;
    spec.width = 5;
    spec.height = 3;
    spec.bits_per_sample = 16;
    {
        tiff_handle out = open_tiff(path("be.tif"), "wb");
        ASSERT_TRUE(write_page(out.get(), spec, pattern_bytes(30)));
    }
    run_result r = run("tagpoke", {"-s", "PageNumber", "2", "5", "-s", "Make", "maker",
                                   "be.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path("be.tif")).substr(0, 2), "MM");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("be.tif"), &image));
    EXPECT_TRUE(image.pixels == pattern_bytes(30));
    tiff_handle t = open_tiff(path("be.tif"));
    uint16_t page = 0, total = 0;
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_PAGENUMBER, &page, &total));
    EXPECT_EQ(page, 2);
    EXPECT_EQ(total, 5);
}

TEST_F(Tagpoke, DamagedFilesEndWithAStatus)
{
    std::string good = read_file(path("f.tif"));
    for (size_t k = 0; k < 12; k++) {
        write_file(path("cut.tif"), good.substr(0, good.size() * k / 12));
        run_result r = run("tagpoke", {"-s", "Software", "x", "-s", "PageNumber", "1", "2",
                                       "cut.tif"});
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << k << " " << r.status;
    }
    raw_tiff t;
    uint32_t data = t.blob({1, 2, 3, 4});
    t.grey_image(2, 2, 0, {data, data}, {0xffffffff, 4});
    t.write_ifd();
    t.patch32(t.last_link(), 8);
    write_file(path("odd.tif"), t.data);
    run_result r = run("tagpoke", {"-s", "Software", "x", "odd.tif"});
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << r.status;
}

}  // namespace
