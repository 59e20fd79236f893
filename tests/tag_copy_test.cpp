// The table-driven tag copier, called directly on libtiff handles: the
// fields a program's table can name but that no palette or RGB input of
// the converters can carry (the fax fields), the value forms libtiff takes,
// fields libtiff only knows as unknown tags, and unsupported types.
#include "harness.h"
#include "tag_copy.h"

#include <cstring>

// This program's own table, walked by copy_tags.
const tag_copy_entry tag_copy_table[] = {
    {TIFFTAG_COMPRESSION, 1, TIFF_SHORT},
    {TIFFTAG_GROUP3OPTIONS, 1, TIFF_LONG},
    {TIFFTAG_GROUP4OPTIONS, 1, TIFF_LONG},
    {TIFFTAG_BADFAXLINES, 1, TIFF_LONG},
    {TIFFTAG_CLEANFAXDATA, 1, TIFF_SHORT},
    {TIFFTAG_CONSECUTIVEBADFAXLINES, 1, TIFF_LONG},
    {TIFFTAG_WHITEPOINT, 1, TIFF_RATIONAL},
    {TIFFTAG_INKNAMES, 1, TIFF_ASCII},
    {TIFFTAG_ARTIST, 1, TIFF_FLOAT},  // a type the copier does not take
};
const size_t tag_copy_table_size = sizeof tag_copy_table / sizeof tag_copy_table[0];

namespace {

class TagCopy : public ToolTest {
protected:
    // Writes a 16 × 4 image of `bits` bits and `samples` samples.
    void write_input(uint16_t compression, uint16_t bits, uint16_t samples,
                     uint16_t photometric, std::function<void(TIFF*)> extra)
    {
        tiff_spec spec;
        spec.width = 16;
        spec.height = 4;
        spec.bits_per_sample = bits;
        spec.samples_per_pixel = samples;
        spec.photometric = photometric;
        spec.compression = compression;
        spec.extra = extra;
        ASSERT_TRUE(write_tiff(path("in.tif"), spec, pattern_bytes(16 * 4 * 4)));
        in = open_tiff(path("in.tif"));
        out = open_tiff(path("out.tif"), "w");
        ASSERT_TRUE(in && out);
    }

    void TearDown() override
    {
        in.reset();
        out.reset();  // the output directory is never written
        ToolTest::TearDown();
    }

    tiff_handle in, out;
};

TEST_F(TagCopy, FaxFieldsFollowTheCopiedCompression)
{
    write_input(COMPRESSION_CCITTFAX3, 1, 1, PHOTOMETRIC_MINISWHITE, [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS);
        TIFFSetField(t, TIFFTAG_BADFAXLINES, 3u);
        TIFFSetField(t, TIFFTAG_CLEANFAXDATA, CLEANFAXDATA_REGENERATED);
        TIFFSetField(t, TIFFTAG_CONSECUTIVEBADFAXLINES, 2u);
    });
    tiff_messages().clear();
    copy_tags(in.get(), out.get());
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_COMPRESSION, &v16) && v16 == COMPRESSION_CCITTFAX3);
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_GROUP3OPTIONS, &v32) && v32 == 5);
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_BADFAXLINES, &v32) && v32 == 3);
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_CLEANFAXDATA, &v16) &&
                v16 == CLEANFAXDATA_REGENERATED);
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_CONSECUTIVEBADFAXLINES, &v32) && v32 == 2);
    // The Group 4 field does not exist for Group 3 data: silently skipped.
    // The row of an unsupported type is the only message.
    ASSERT_EQ(tiff_messages().size(), 1u) << tiff_messages()[0];
    EXPECT_EQ(tiff_messages()[0], path("in.tif") + ": Data type 11 is not supported, tag 315 skipped.");
    const char* artist = nullptr;
    EXPECT_FALSE(TIFFGetField(out.get(), TIFFTAG_ARTIST, &artist));
}

TEST_F(TagCopy, Group4Options)
{
    write_input(COMPRESSION_CCITTFAX4, 1, 1, PHOTOMETRIC_MINISWHITE,
                [](TIFF* t) { TIFFSetField(t, TIFFTAG_GROUP4OPTIONS, GROUP4OPT_UNCOMPRESSED); });
    copy_tags(in.get(), out.get());
    uint32_t v32 = 0;
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_GROUP4OPTIONS, &v32) &&
                v32 == GROUP4OPT_UNCOMPRESSED);
}

TEST_F(TagCopy, UnsupportedTypesAreReportedAndSkipped)
{
    write_input(COMPRESSION_NONE, 8, 1, PHOTOMETRIC_MINISBLACK,
                [](TIFF* t) { TIFFSetField(t, TIFFTAG_ARTIST, "someone"); });
    for (uint32_t type : {0u, 1u, 6u, 7u, 8u, 9u, 10u, 11u, 13u, 16u}) {
        tiff_messages().clear();
        copy_tag(in.get(), out.get(), TIFFTAG_ARTIST, 1, type);
        ASSERT_EQ(tiff_messages().size(), 1u) << type;
        EXPECT_EQ(tiff_messages()[0], path("in.tif") + ": Data type " + std::to_string(type) +
                                          " is not supported, tag 315 skipped.");
    }
    const char* artist = nullptr;
    EXPECT_FALSE(TIFFGetField(out.get(), TIFFTAG_ARTIST, &artist));
    copy_tag(in.get(), out.get(), TIFFTAG_ARTIST, 1, TIFF_ASCII);
    ASSERT_TRUE(TIFFGetField(out.get(), TIFFTAG_ARTIST, &artist));
    EXPECT_STREQ(artist, "someone");
}

TEST_F(TagCopy, RowsCopyInTheFormLibtiffTakes)
{
    const float white[2] = {0.31f, 0.33f};
    const float primaries[6] = {0.6f, 0.3f, 0.3f, 0.6f, 0.1f, 0.05f};
    write_input(COMPRESSION_NONE, 8, 1, PHOTOMETRIC_MINISBLACK, [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
        TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
        TIFFSetField(t, TIFFTAG_HALFTONEHINTS, 4, 250);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
        TIFFSetField(t, TIFFTAG_STONITS, 80.0);
    });
    TIFF* o = out.get();
    // Rows whose count does not match libtiff's form copy nothing.
    struct {
        uint16_t tag;
        int16_t count;
        uint32_t type;
    } mismatched[] = {
        {TIFFTAG_HALFTONEHINTS, 1, TIFF_SHORT},  // a pair, not one value
        {TIFFTAG_HALFTONEHINTS, -1, TIFF_SHORT},
        {TIFFTAG_HALFTONEHINTS, 4, TIFF_SHORT},
        {TIFFTAG_HALFTONEHINTS, 3, TIFF_SHORT},
        {TIFFTAG_XRESOLUTION, -1, TIFF_RATIONAL},  // one value, not an array
        {TIFFTAG_XRESOLUTION, 2, TIFF_RATIONAL},
        {TIFFTAG_STONITS, -1, TIFF_DOUBLE},
        {TIFFTAG_STONITS, 2, TIFF_DOUBLE},
        {TIFFTAG_XRESOLUTION, 1, TIFF_DOUBLE},  // held as float
        {TIFFTAG_SUBFILETYPE, 1, TIFF_SHORT},   // held as 32 bits
        {TIFFTAG_PRIMARYCHROMATICITIES, -1, TIFF_DOUBLE},
    };
    tiff_messages().clear();
    for (const auto& m : mismatched)
        copy_tag(in.get(), o, m.tag, m.count, m.type);
    EXPECT_TRUE(tiff_messages().empty()) << tiff_messages()[0];
    uint16_t a = 0, b = 0;
    float f = 0;
    double d = 0;
    uint32_t v32 = 0;
    const float* floats = nullptr;
    EXPECT_FALSE(TIFFGetField(o, TIFFTAG_HALFTONEHINTS, &a, &b));
    EXPECT_FALSE(TIFFGetField(o, TIFFTAG_XRESOLUTION, &f));
    EXPECT_FALSE(TIFFGetField(o, TIFFTAG_STONITS, &d));
    EXPECT_FALSE(TIFFGetField(o, TIFFTAG_SUBFILETYPE, &v32));
    EXPECT_FALSE(TIFFGetField(o, TIFFTAG_PRIMARYCHROMATICITIES, &floats));

    // The white point, listed as one value, goes over as libtiff's array
    // of two; so does any fixed array listed as one RATIONAL.
    copy_tag(in.get(), o, TIFFTAG_WHITEPOINT, 1, TIFF_RATIONAL);
    ASSERT_TRUE(TIFFGetField(o, TIFFTAG_WHITEPOINT, &floats));
    EXPECT_EQ(floats[0], white[0]);
    EXPECT_EQ(floats[1], white[1]);
    copy_tag(in.get(), o, TIFFTAG_PRIMARYCHROMATICITIES, 1, TIFF_RATIONAL);
    ASSERT_TRUE(TIFFGetField(o, TIFFTAG_PRIMARYCHROMATICITIES, &floats));
    EXPECT_EQ(std::vector<float>(floats, floats + 6),
              std::vector<float>(primaries, primaries + 6));
    copy_tag(in.get(), o, TIFFTAG_HALFTONEHINTS, 2, TIFF_SHORT);
    EXPECT_TRUE(TIFFGetField(o, TIFFTAG_HALFTONEHINTS, &a, &b) && a == 4 && b == 250);
    copy_tag(in.get(), o, TIFFTAG_XRESOLUTION, 1, TIFF_RATIONAL);
    EXPECT_TRUE(TIFFGetField(o, TIFFTAG_XRESOLUTION, &f) && f == 72.0f);
    copy_tag(in.get(), o, TIFFTAG_STONITS, 1, TIFF_DOUBLE);
    EXPECT_TRUE(TIFFGetField(o, TIFFTAG_STONITS, &d) && d == 80.0);
    // LONG rows ignore the count.
    copy_tag(in.get(), o, TIFFTAG_SUBFILETYPE, 7, TIFF_LONG);
    EXPECT_TRUE(TIFFGetField(o, TIFFTAG_SUBFILETYPE, &v32) && v32 == FILETYPE_REDUCEDIMAGE);
    EXPECT_TRUE(tiff_messages().empty()) << tiff_messages()[0];
}

TEST_F(TagCopy, TagsLibtiffDoesNotKnowAreSkipped)
{
    // A grey file carrying a fax field and a private text field: libtiff
    // reads both as unknown tags, whose values it hands out in another
    // form than the rows name.
    static const TIFFFieldInfo extra_fields[] = {
        {TIFFTAG_BADFAXLINES, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, (char*)"BadFaxLines"},
        {65000, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, (char*)"PrivateText"},
    };
    write_input(COMPRESSION_NONE, 8, 1, PHOTOMETRIC_MINISBLACK, [](TIFF* t) {
        ASSERT_EQ(TIFFMergeFieldInfo(t, extra_fields, 2), 0);
        TIFFSetField(t, TIFFTAG_BADFAXLINES, 12u);
        TIFFSetField(t, 65000, "private");
    });
    for (uint32_t tag : {(uint32_t)TIFFTAG_BADFAXLINES, 65000u}) {
        const TIFFField* field = TIFFFindField(in.get(), tag, TIFF_ANY);
        ASSERT_NE(field, nullptr) << tag;
        EXPECT_TRUE(TIFFFieldIsAnonymous(field)) << tag;
        EXPECT_TRUE(TIFFFieldPassCount(field)) << tag;
    }
    tiff_messages().clear();
    copy_tag(in.get(), out.get(), TIFFTAG_BADFAXLINES, 1, TIFF_LONG);
    copy_tag(in.get(), out.get(), 65000, 1, TIFF_ASCII);
    copy_tag(in.get(), out.get(), 65001, 1, TIFF_ASCII);  // in neither file
    EXPECT_TRUE(tiff_messages().empty()) << tiff_messages()[0];
    EXPECT_EQ(TIFFFindField(out.get(), 65000, TIFF_ANY), nullptr);
}

TEST_F(TagCopy, InkNamesGoOverWithTheirLength)
{
    const char names[] = "cyan\0magenta\0yellow\0black";  // 26 bytes with the last NUL
    write_input(COMPRESSION_NONE, 8, 4, PHOTOMETRIC_SEPARATED, [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK);
        TIFFSetField(t, TIFFTAG_INKNAMES, (int)sizeof names, names);
    });
    TIFFSetField(out.get(), TIFFTAG_SAMPLESPERPIXEL, 4);
    tiff_messages().clear();
    copy_tags(in.get(), out.get());
    const char* text = nullptr;
    uint16_t inks = 0;
    ASSERT_TRUE(TIFFGetField(out.get(), TIFFTAG_INKNAMES, &text));
    ASSERT_TRUE(TIFFGetField(out.get(), TIFFTAG_NUMBEROFINKS, &inks));
    EXPECT_EQ(inks, 4);
    EXPECT_EQ(std::string(text, sizeof names), std::string(names, sizeof names));
    EXPECT_EQ(tiff_messages().size(), 1u);  // only the unsupported row

    // One name, onto an output of three samples: libtiff warns that the
    // counts differ, and keeps the name.
    write_input(COMPRESSION_NONE, 8, 1, PHOTOMETRIC_MINISBLACK,
                [](TIFF* t) { TIFFSetField(t, TIFFTAG_INKNAMES, 5, "grey"); });
    TIFFSetField(out.get(), TIFFTAG_SAMPLESPERPIXEL, 3);
    copy_tag(in.get(), out.get(), TIFFTAG_INKNAMES, 1, TIFF_ASCII);
    ASSERT_TRUE(TIFFGetField(out.get(), TIFFTAG_INKNAMES, &text));
    EXPECT_STREQ(text, "grey");
}

}  // namespace
