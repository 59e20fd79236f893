// ccitttag through its command line: raw Group 3 and Group 4 data made by
// libtiff's encoders, decoded back to the same rows; the page fields, page
// numbers and damage fields; and, through the program's own row copier,
// the rule by which failed rows are repaired and counted.
#include "fax_pages.h"

#include <cmath>
#include <regex>

// The program itself, for the row copier (its main renamed out of the way).
#define main ccitttag_main
#include "../tools/ccitttag/ccitttag.cpp"
#undef main

namespace {

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: ccitttag [options] input.raw...\n"
           "where options are:\n"
           " -3\t\tinput data is G3-encoded\t\t[default]\n"
           " -4\t\tinput data is G4-encoded\n"
           " -U\t\tinput data is uncompressed (G3 or G4)\n"
           " -1\t\tinput data is 1D-encoded (G3 only)\t[default]\n"
           " -2\t\tinput data is 2D-encoded (G3 only)\n"
           " -P\t\tinput is not EOL-aligned (G3 only)\t[default]\n"
           " -A\t\tinput is EOL-aligned (G3 only)\n"
           " -M\t\tinput data has MSB2LSB bit order\n"
           " -L\t\tinput data has LSB2MSB bit order\t[default]\n"
           " -B\t\tinput data has min 0 means black\n"
           " -W\t\tinput data has min 0 means white\t[default]\n"
           " -R #\t\tinput data has # resolution (lines/inch) [default is 196]\n"
           " -X #\t\tinput data has # width\t\t\t[default is 1728]\n"
           "\n"
           " -o out.tif\twrite output to out.tif\n"
           " -7\t\tgenerate G3-encoded output\t\t[default]\n"
           " -8\t\tgenerate G4-encoded output\n"
           " -u\t\tgenerate uncompressed output (G3 or G4)\n"
           " -5\t\tgenerate 1D-encoded output (G3 only)\t[default]\n"
           " -6\t\tgenerate 2D-encoded output (G3 only)\n"
           " -p\t\tgenerate not EOL-aligned output (G3 only)\t[default]\n"
           " -a\t\tgenerate EOL-aligned output (G3 only)\n"
           " -c\t\tgenerate \"classic\" TIFF format\n"
           " -f\t\tgenerate TIFF Class F (TIFF/F) format\t[default]\n"
           " -m\t\toutput fill order is MSB2LSB\n"
           " -l\t\toutput fill order is LSB2MSB\t\t[default]\n"
           " -b\t\toutput data has min 0 means black\n"
           " -w\t\toutput data has min 0 means white\t[default]\n"
           " -r #\t\tmake each strip have no more than # rows\n"
           " -s\t\tstretch image by duplicating scanlines\n"
           " -v\t\tprint information about conversion work\n"
           " -z\t\tgenerate LZW compressed output\n";
}

class Ccitttag : public ToolTest {
protected:
    // Standard error without libtiff's warnings (which -v lets through).
    static std::string without_warnings(const std::string& err)
    {
        std::string kept;
        size_t start = 0;
        while (start < err.size()) {
            size_t end = err.find('\n', start);
            end = end == std::string::npos ? err.size() : end + 1;
            std::string line = err.substr(start, end - start);
            if (line.find(": Warning, ") == std::string::npos)
                kept += line;
            start = end;
        }
        return kept;
    }

    // Writes the raw fax data of `page` to `name` and returns it.
    bytes make_raw(const std::string& name, const bytes& page, uint32_t width, uint32_t height,
                   const fax_coding& coding)
    {
        bytes raw = raw_fax_data(path("coded.tif"), page, width, height, coding);
        write_file(path(name), raw);
        return raw;
    }

    // Runs ccitttag with `args` and expects success.
    run_result convert(const std::vector<std::string>& args)
    {
        run_result r = run("ccitttag", args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    }

    float float_field(const std::string& file, ttag_t tag, int directory = 0)
    {
        tiff_handle t = open_tiff(path(file));
        float v = -1;
        if (t && TIFFSetDirectory(t.get(), (tdir_t)directory))
            TIFFGetField(t.get(), tag, &v);
        return v;
    }

    // A SHORT or LONG field, or -1 when it is absent.
    template <typename T>
    long field(const std::string& file, ttag_t tag, int directory = 0)
    {
        tiff_handle t = open_tiff(path(file));
        T v = 0;
        if (!t || !TIFFSetDirectory(t.get(), (tdir_t)directory) || !TIFFGetField(t.get(), tag, &v))
            return -1;
        return (long)v;
    }

    std::pair<int, int> page_number(const std::string& file, int directory)
    {
        tiff_handle t = open_tiff(path(file));
        uint16_t page = 0xffff, pages = 0xffff;
        if (t && TIFFSetDirectory(t.get(), (tdir_t)directory))
            TIFFGetField(t.get(), TIFFTAG_PAGENUMBER, &page, &pages);
        return {page, pages};
    }
};

TEST_F(Ccitttag, UsageErrors)
{
    run_result r = run("ccitttag", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected_usage());
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(file_exists(path("fax.tif")));

    r = run("ccitttag", {"-?", "in.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected_usage());

    r = run("ccitttag", {"-q", "in.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("invalid option -- 'q'\n" + expected_usage()), std::string::npos)
        << r.err;

    // -r takes its argument: "-r 8" leaves no input name.
    r = run("ccitttag", {"-r", "8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected_usage());

    // Widths below 1 (and beyond an int) are refused.
    for (const char* width : {"0", "-5", "x", "99999999999"}) {
        r = run("ccitttag", {"-X", width, "in.raw"});
        EXPECT_EQ(r.status, 1) << width;
        EXPECT_EQ(r.err, expected_usage()) << width;
    }
    EXPECT_FALSE(file_exists(path("fax.tif")));

    // -o names the output; nothing is created before the inputs are known.
    r = run("ccitttag", {"-o", "named.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("named.tif")));

    r = run("ccitttag", {"-o", "no/such/dir/out.tif", "in.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ccitttag: Can not create or open no/such/dir/out.tif\n"),
              std::string::npos)
        << r.err;
}

// Every input coding decodes back to the rows that were coded, and
// exactly as many: end-of-page codes and padding are no rows.
TEST_F(Ccitttag, DecodesEveryCodingExactly)
{
    const uint32_t width = 1728, height = 120;
    const bytes page = fax_page(width, height, 3);
    struct {
        const char* label;
        fax_coding coding;
        std::vector<std::string> options;
    } cases[] = {
        {"G3 1D, LSB first", {COMPRESSION_CCITTFAX3, 0, FILLORDER_LSB2MSB, FAXMODE_CLASSF}, {}},
        {"G3 1D, MSB first", {COMPRESSION_CCITTFAX3, 0, FILLORDER_MSB2LSB, FAXMODE_CLASSF},
         {"-M"}},
        {"G3 1D with RTC", {COMPRESSION_CCITTFAX3, 0, FILLORDER_LSB2MSB, FAXMODE_CLASSIC}, {}},
        {"G3 1D, EOL-aligned",
         {COMPRESSION_CCITTFAX3, GROUP3OPT_FILLBITS, FILLORDER_MSB2LSB, FAXMODE_CLASSF},
         {"-M", "-A"}},
        {"G3 2D", {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING, FILLORDER_LSB2MSB, FAXMODE_CLASSF},
         {"-2"}},
        {"G3 2D with RTC",
         {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING, FILLORDER_MSB2LSB, FAXMODE_CLASSIC},
         {"-2", "-M"}},
        {"G3 2D, EOL-aligned",
         {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, FILLORDER_LSB2MSB,
          FAXMODE_CLASSF},
         {"-2", "-A", "-L"}},
        {"G4, LSB first", {COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB, FAXMODE_CLASSF}, {"-4"}},
        {"G4, MSB first", {COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, FAXMODE_CLASSIC},
         {"-4", "-M"}},
    };
    // With -v, a clean page gives the report alone: the line ends that
    // close it are no rows, and the decoder's messages about them are not
    // shown.
    const std::string report =
        "in.raw:\n120 rows in input\n0 total bad rows\n0 max consecutive bad rows\n";
    for (const auto& c : cases) {
        make_raw("in.raw", page, width, height, c.coding);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-v", "-o", "out.tif", "in.raw"});
        run_result r = convert(args);
        EXPECT_EQ(r.err, report) << c.label;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << c.label;
        EXPECT_EQ(image.width, width) << c.label;
        EXPECT_EQ(image.height, height) << c.label;
        EXPECT_TRUE(image.pixels == page) << c.label;
    }
    // So does the demo's page, coded by another encoder (a line end before
    // every row, seven after the last).
    const std::string demo_page = std::string(SOURCE_DIR) + "/examples/fax-page.g3";
    run_result r = convert({"-M", "-v", "-o", "out.tif", demo_page});
    EXPECT_EQ(r.err, demo_page + ":\n279 rows in input\n0 total bad rows\n"
                                 "0 max consecutive bad rows\n");
}

TEST_F(Ccitttag, PageFieldsInTheDefaultLayout)
{
    const uint32_t width = 1728, height = 40;
    const bytes page = fax_page(width, height, 5);
    make_raw("in.raw", page, width, height, fax_coding());
    // No -o: the output is fax.tif in the current directory.
    convert({"in.raw"});
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("fax.tif"), &image));
    EXPECT_EQ(image.compression, COMPRESSION_CCITTFAX3);
    EXPECT_EQ(image.photometric, PHOTOMETRIC_MINISWHITE);
    EXPECT_EQ(image.fill_order, FILLORDER_LSB2MSB);
    EXPECT_EQ(image.orientation, ORIENTATION_TOPLEFT);
    EXPECT_EQ(image.bits_per_sample, 1);
    EXPECT_EQ(image.samples_per_pixel, 1);
    EXPECT_EQ(image.planar, PLANARCONFIG_CONTIG);
    EXPECT_EQ(image.rows_per_strip, 0xffffffffu);  // the whole page in one strip
    EXPECT_TRUE(image.pixels == page);
    EXPECT_EQ(field<uint32_t>("fax.tif", TIFFTAG_GROUP3OPTIONS), 0);
    EXPECT_FLOAT_EQ(float_field("fax.tif", TIFFTAG_XRESOLUTION), 204);
    EXPECT_FLOAT_EQ(float_field("fax.tif", TIFFTAG_YRESOLUTION), 196);
    EXPECT_EQ(field<uint16_t>("fax.tif", TIFFTAG_RESOLUTIONUNIT), RESUNIT_INCH);
    EXPECT_EQ(page_number("fax.tif", 0), std::make_pair(0, 1));
    tiff_handle t = open_tiff(path("fax.tif"));
    char* software = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_SOFTWARE, &software));
    EXPECT_STREQ(software, "ccitttag");
    // A clean Class F page says so.
    EXPECT_EQ(field<uint32_t>("fax.tif", TIFFTAG_BADFAXLINES), 0);
    EXPECT_EQ(field<uint16_t>("fax.tif", TIFFTAG_CLEANFAXDATA), CLEANFAXDATA_CLEAN);
    EXPECT_EQ(field<uint32_t>("fax.tif", TIFFTAG_CONSECUTIVEBADFAXLINES), 0);
}

TEST_F(Ccitttag, OutputOptions)
{
    const uint32_t width = 1728, height = 50;
    const uint32_t whole = 0xffffffff;  // rows per strip of a page in one strip
    const bytes page = fax_page(width, height, 9);
    make_raw("in.raw", page, width, height, fax_coding());
    struct {
        std::vector<std::string> options;
        uint16_t compression, fill_order, photometric;
        long g3_options;       // -1: no Group 3 options field
        uint32_t rows_per_strip;
        bool damage_fields;
    } cases[] = {
        {{"-8"}, COMPRESSION_CCITTFAX4, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, -1, whole, false},
        {{"-z"}, COMPRESSION_LZW, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, -1, 37, false},
        {{"-z", "-r", "16"}, COMPRESSION_LZW, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, -1, 16,
         false},
        {{"-c"}, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, whole, false},
        {{"-c", "-f"}, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, whole,
         true},
        {{"-6", "-a", "-m"}, COMPRESSION_CCITTFAX3, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE,
         GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, whole, true},
        {{"-6", "-5", "-a", "-p", "-m", "-l"}, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB,
         PHOTOMETRIC_MINISWHITE, 0, whole, true},
        {{"-r", "7"}, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, 7, true},
        {{"-r", "0"}, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, whole,
         true},
        {{"-8", "-7"}, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, whole,
         true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", "out.tif", "in.raw"});
        std::string label = ::testing::PrintToString(c.options);
        convert(args);
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << label;
        EXPECT_EQ(image.compression, c.compression) << label;
        EXPECT_EQ(image.fill_order, c.fill_order) << label;
        EXPECT_EQ(image.photometric, c.photometric) << label;
        EXPECT_EQ(image.rows_per_strip, c.rows_per_strip) << label;
        EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_GROUP3OPTIONS), c.g3_options) << label;
        EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_BADFAXLINES) != -1, c.damage_fields) << label;
        EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_CONSECUTIVEBADFAXLINES) != -1,
                  c.damage_fields)
            << label;
        EXPECT_EQ(image.height, height) << label;
        EXPECT_TRUE(image.pixels == page) << label;
    }
    // Polarity: the rows are copied as decoded, the interpretation is the
    // one asked for.
    convert({"-B", "-o", "out.tif", "in.raw"});
    EXPECT_EQ(field<uint16_t>("out.tif", TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISWHITE);
    convert({"-b", "-o", "out.tif", "in.raw"});
    EXPECT_EQ(field<uint16_t>("out.tif", TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISBLACK);
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    EXPECT_TRUE(image.pixels == page);
    convert({"-b", "-w", "-o", "out.tif", "in.raw"});
    EXPECT_EQ(field<uint16_t>("out.tif", TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISWHITE);
}

TEST_F(Ccitttag, PageNumbersOverTheInputFiles)
{
    const bytes first = fax_page(1728, 30, 1), second = fax_page(1728, 45, 2);
    make_raw("a.raw", first, 1728, 30, fax_coding());
    make_raw("b.raw", second, 1728, 45, fax_coding());
    convert({"-o", "out.tif", "a.raw", "b.raw"});
    ASSERT_EQ(count_directories(path("out.tif")), 2);
    EXPECT_EQ(page_number("out.tif", 0), std::make_pair(0, 2));
    EXPECT_EQ(page_number("out.tif", 1), std::make_pair(1, 2));
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image, 0));
    EXPECT_TRUE(image.pixels == first);
    ASSERT_TRUE(read_tiff(path("out.tif"), &image, 1));
    EXPECT_EQ(image.height, 45u);
    EXPECT_TRUE(image.pixels == second);

    // A first file that cannot be opened still counts: the one page is
    // (1, 2), and the run says it failed.
    run_result r = run("ccitttag", {"-o", "out.tif", "missing.raw", "b.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ccitttag: missing.raw: Can not open\n");
    ASSERT_EQ(count_directories(path("out.tif")), 1);
    EXPECT_EQ(page_number("out.tif", 0), std::make_pair(1, 2));
    ASSERT_TRUE(read_tiff(path("out.tif"), &image, 0));
    EXPECT_TRUE(image.pixels == second);

    // No page at all: no output file is left behind.
    r = run("ccitttag", {"-o", "none.tif", "missing.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(path("none.tif")));

    // With two -o the last one gets the pages.
    convert({"-o", "first.tif", "-o", "second.tif", "a.raw"});
    EXPECT_EQ(count_directories(path("second.tif")), 1);
    EXPECT_FALSE(file_exists(path("first.tif")));
}

TEST_F(Ccitttag, StretchAndResolution)
{
    const uint32_t width = 1728, height = 100;
    const bytes page = fax_page(width, height, 11);
    make_raw("in.raw", page, width, height, fax_coding());

    convert({"-R", "98", "-o", "out.tif", "in.raw"});
    EXPECT_FLOAT_EQ(float_field("out.tif", TIFFTAG_YRESOLUTION), 98);
    convert({"-R", "203.25", "-o", "out.tif", "in.raw"});
    EXPECT_FLOAT_EQ(float_field("out.tif", TIFFTAG_YRESOLUTION), 203.25f);
    convert({"-R", "0.3", "-o", "out.tif", "in.raw"});
    EXPECT_FLOAT_EQ(float_field("out.tif", TIFFTAG_YRESOLUTION), 0.3f);

    // -s: every row twice, and 196 lines per inch whatever -R said.
    run_result r = convert({"-s", "-R", "98", "-v", "-o", "out.tif", "in.raw"});
    EXPECT_EQ(without_warnings(r.err), "in.raw:\n200 rows in input\n0 total bad rows\n0 max consecutive bad rows\n");
    EXPECT_FLOAT_EQ(float_field("out.tif", TIFFTAG_YRESOLUTION), 196);
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    ASSERT_EQ(image.height, 2 * height);
    const size_t row = fax_row_bytes(width);
    for (uint32_t y = 0; y < height; y++) {
        bytes original(page.begin() + y * row, page.begin() + (y + 1) * row);
        bytes first(image.pixels.begin() + 2 * y * row, image.pixels.begin() + (2 * y + 1) * row);
        bytes second(image.pixels.begin() + (2 * y + 1) * row,
                     image.pixels.begin() + (2 * y + 2) * row);
        ASSERT_TRUE(first == original) << y;
        ASSERT_TRUE(second == original) << y;
    }
}

TEST_F(Ccitttag, WidthsThatAreNoMultipleOfEight)
{
    for (uint32_t width : {1730u, 13u, 1u}) {
        const uint32_t height = 30;
        const bytes page = fax_page(width, height, width);
        fax_coding coding;
        coding.compression = COMPRESSION_CCITTFAX4;
        make_raw("in.raw", page, width, height, coding);
        convert({"-4", "-X", std::to_string(width), "-o", "out.tif", "in.raw"});
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << width;
        EXPECT_EQ(image.width, width);
        EXPECT_EQ(image.pixels.size(), fax_row_bytes(width) * height) << width;
        EXPECT_TRUE(image.pixels == page) << width;
    }
}

// An empty file has no rows; a page of no rows would be a directory that
// no reader opens, so none is written and the run reports it.
TEST_F(Ccitttag, EmptyInputGivesNoPage)
{
    write_file(path("empty.raw"), "");
    const bytes page = fax_page(1728, 20, 4);
    make_raw("b.raw", page, 1728, 20, fax_coding());
    run_result r = run("ccitttag", {"-v", "-o", "out.tif", "empty.raw", "b.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_warnings(r.err),
              "empty.raw:\n0 rows in input\n0 total bad rows\n0 max consecutive bad rows\n"
              "ccitttag: empty.raw: No rows, no page written\n"
              "b.raw:\n20 rows in input\n0 total bad rows\n0 max consecutive bad rows\n");
    ASSERT_EQ(count_directories(path("out.tif")), 1);
    EXPECT_EQ(page_number("out.tif", 0), std::make_pair(1, 2));
}

// Group 3 2D data cut inside a row: the decoder cannot finish that row, so
// it is written as a copy of the row before it and counted.
TEST_F(Ccitttag, DataEndingInsideARowIsRepaired)
{
    const uint32_t width = 1728, height = 20;
    const bytes page = fax_page(width, height, 8);
    fax_coding coding;
    coding.g3_options = GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS;
    coding.fill_order = FILLORDER_MSB2LSB;
    bytes raw = make_raw("full.raw", page, width, height, coding);
    // With fill bits every line-end code (eleven zero bits and a one) ends
    // a byte, and the row's code starts with the next byte.
    std::vector<size_t> row_starts;
    for (size_t i = 1; i < raw.size(); i++)
        if ((raw[i - 1] & 0x0f) == 0 && raw[i] == 1)
            row_starts.push_back(i + 1);
    ASSERT_EQ(row_starts.size(), height);
    // Row 13 is coded against the row above it (the decoder cannot finish
    // such a row without its data); three of its bytes are kept.
    const uint32_t cut_row = 13;
    size_t cut = row_starts[cut_row] + 3;
    write_file(path("cut.raw"), bytes(raw.begin(), raw.begin() + (ptrdiff_t)cut));

    run_result r = convert({"-2", "-A", "-M", "-v", "-o", "out.tif", "cut.raw"});
    EXPECT_EQ(without_warnings(r.err), "cut.raw:\n14 rows in input\n1 total bad rows\n1 max consecutive bad rows\n");
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("out.tif"), &image));
    ASSERT_EQ(image.height, cut_row + 1);
    const size_t row = fax_row_bytes(width);
    EXPECT_TRUE(bytes(image.pixels.begin(), image.pixels.begin() + cut_row * row) ==
                bytes(page.begin(), page.begin() + cut_row * row));
    EXPECT_TRUE(bytes(image.pixels.begin() + cut_row * row, image.pixels.end()) ==
                bytes(page.begin() + (cut_row - 1) * row, page.begin() + cut_row * row));
    EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_BADFAXLINES), 1);
    EXPECT_EQ(field<uint16_t>("out.tif", TIFFTAG_CLEANFAXDATA), CLEANFAXDATA_REGENERATED);
    EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_CONSECUTIVEBADFAXLINES), 1);
    // Without -v, one line says so.
    r = convert({"-2", "-A", "-M", "-o", "out.tif", "cut.raw"});
    EXPECT_EQ(r.err, "ccitttag: cut.raw: 1 of 14 rows were bad and repaired\n");

    // Only Class F Group 3 pages carry the damage fields.
    for (const char* option : {"-8", "-z", "-c"}) {
        convert({"-2", "-A", "-M", option, "-o", "out.tif", "cut.raw"});
        EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_BADFAXLINES), -1) << option;
        EXPECT_EQ(field<uint16_t>("out.tif", TIFFTAG_CLEANFAXDATA), -1) << option;
        EXPECT_EQ(field<uint32_t>("out.tif", TIFFTAG_CONSECUTIVEBADFAXLINES), -1) << option;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << option;
        EXPECT_EQ(image.height, cut_row + 1) << option;
    }
}

// Data read with the wrong options: the decoder's message about every
// row is shown only with -v; without it, one line tells how many rows
// were bad and which options to check.
TEST_F(Ccitttag, MostlyBadPagesHintAtTheOptions)
{
    const uint32_t width = 1728, height = 120;
    make_raw("in.raw", fax_page(width, height, 6), width, height, fax_coding());
    for (const char* wrong : {"-M", "-2"}) {
        run_result r = convert({wrong, "-o", "out.tif", "in.raw"});
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            r.err, m,
            std::regex("ccitttag: in\\.raw: ([0-9]+) of ([0-9]+) rows were bad and repaired; "
                       "check the bit order \\(-M, -L\\), the coding \\(-1, -2, -4\\) "
                       "and the width \\(-X\\)\n")))
            << wrong << ": " << r.err;
        const std::string bad = m[1].str(), rows = m[2].str();
        EXPECT_GT(std::stol(bad) * 2, std::stol(rows)) << wrong;

        r = convert({wrong, "-v", "-o", "out.tif", "in.raw"});
        EXPECT_NE(r.err.find("Decode"), std::string::npos) << wrong << ": " << r.err;
        EXPECT_NE(r.err.find("\n" + rows + " rows in input\n" + bad + " total bad rows\n"),
                  std::string::npos)
            << wrong << ": " << r.err;
    }
}

// Group 4 data cut anywhere ends the page at the cut; the rows before it
// are the coded ones.
TEST_F(Ccitttag, TruncatedGroup4Data)
{
    const uint32_t width = 1728, height = 60;
    const bytes page = fax_page(width, height, 12);
    fax_coding coding;
    coding.compression = COMPRESSION_CCITTFAX4;
    bytes raw = raw_fax_data(path("coded.tif"), page, width, height, coding);
    const size_t row = fax_row_bytes(width);
    for (size_t cut : {raw.size() / 3, raw.size() / 2 + 1, raw.size() - 4, (size_t)1}) {
        write_file(path("cut.raw"), bytes(raw.begin(), raw.begin() + (ptrdiff_t)cut));
        run_result r = run("ccitttag", {"-4", "-o", "out.tif", "cut.raw"});
        EXPECT_EQ(r.status, 0) << cut << r.err;
        tiff_image image;
        ASSERT_TRUE(read_tiff(path("out.tif"), &image)) << cut;
        ASSERT_GT(image.height, 0u);
        ASSERT_LE(image.height, height) << cut;
        // All rows but the last (which the cut may have shortened) as coded.
        size_t whole = (image.height - 1) * row;
        EXPECT_TRUE(bytes(image.pixels.begin(), image.pixels.begin() + (ptrdiff_t)whole) ==
                    bytes(page.begin(), page.begin() + (ptrdiff_t)whole))
            << cut;
    }
}

// Files that are not fax data at all, in every coding and width: a
// message or a page of garbage, never a crash or a hang; what is written
// reads back.
TEST_F(Ccitttag, GarbageInput)
{
    const std::vector<std::vector<std::string>> option_sets = {
        {}, {"-4"}, {"-2"}, {"-2", "-A"}, {"-A"}, {"-U"}, {"-4", "-U"}, {"-M"},
        {"-X", "1"}, {"-X", "7"}, {"-X", "9000", "-4"}, {"-s", "-z"}, {"-8", "-2"},
    };
    for (uint32_t seed = 1; seed <= 3; seed++) {
        bytes garbage = pattern_bytes(3000 + seed * 1111, seed);
        if (seed == 2)
            garbage.assign(5000, 0);  // nothing but zero bits
        if (seed == 3)
            garbage.assign(5000, 0xff);
        write_file(path("junk.raw"), garbage);
        for (const auto& options : option_sets) {
            std::vector<std::string> args = options;
            args.insert(args.end(), {"-o", "out.tif", "junk.raw"});
            run_result r = run("ccitttag", args, run_options());
            std::string label = ::testing::PrintToString(args) + " seed " + std::to_string(seed);
            EXPECT_TRUE(r.status == 0 || r.status == 1) << label;
            if (file_exists(path("out.tif"))) {
                tiff_image image;
                EXPECT_TRUE(read_tiff(path("out.tif"), &image)) << label;
                EXPECT_GT(image.height, 0u) << label;
                unlink(path("out.tif").c_str());
            } else {
                EXPECT_EQ(r.status, 1) << label;
            }
        }
    }
    // A directory is no file of data.
    run_result r = run("ccitttag", {"-o", "out.tif", "."});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(".: Read error at scanline 0"), std::string::npos) << r.err;
}

// ---- The repair rule, through the program's row copier -----------------

// A row decoder that plays a script: each step is a result and the byte
// value the row is filled with.
struct scripted_rows {
    std::vector<std::pair<row_result, uint8_t>> steps;
    size_t next = 0;
};

row_result play_script(void* p)
{
    scripted_rows* s = (scripted_rows*)p;
    if (s->next >= s->steps.size())
        return ROW_END;
    auto step = s->steps[s->next++];
    memset(decoded_row, step.second, ((size_t)page_width + 7) / 8);
    return step.first;
}

class RowRepair : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        page_width = 16;
        double_rows = false;
        out_scheme = COMPRESSION_CCITTFAX3;
        decoded_row = (unsigned char*)_TIFFmalloc(2);
        last_good_row = (unsigned char*)_TIFFmalloc(2);
    }
    void TearDown() override
    {
        _TIFFfree(decoded_row);
        _TIFFfree(last_good_row);
        ToolTest::TearDown();
    }

    // Runs the copier over the script; returns the rows written as their
    // fill bytes, and the number the copier returned in *count.
    std::vector<int> copy(const std::vector<std::pair<row_result, uint8_t>>& steps,
                          int32_t* count)
    {
        scripted_rows script{steps, 0};
        TIFF* out = TIFFOpen(path("out.tif").c_str(), "w");
        output_page page = {out, 0, 1, 196, nullptr, false};
        bool write_failed = true;
        *count = copy_rows(play_script, &script, &page, &write_failed);
        EXPECT_FALSE(write_failed);
        if (*count > 0) {
            TIFFSetField(out, TIFFTAG_IMAGELENGTH, (uint32_t)*count);
            TIFFWriteDirectory(out);
        }
        TIFFClose(out);
        std::vector<int> rows;
        if (*count == 0)
            return rows;
        tiff_image image;
        EXPECT_TRUE(read_tiff(path("out.tif"), &image));
        for (size_t i = 0; i + 1 < image.pixels.size(); i += 2) {
            EXPECT_EQ(image.pixels[i], image.pixels[i + 1]);
            rows.push_back(image.pixels[i]);
        }
        return rows;
    }
};

TEST_F(RowRepair, BadRowsRepeatTheLastGoodRow)
{
    int32_t count = 0;
    std::vector<int> rows = copy({{ROW_GOOD, 0x11}, {ROW_BAD, 0x22}, {ROW_BAD, 0x33},
                                  {ROW_GOOD, 0x44}, {ROW_BAD, 0x55}},
                                 &count);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(rows, (std::vector<int>{0x11, 0x11, 0x11, 0x44, 0x44}));
    EXPECT_EQ(bad_row_total, 3);
    EXPECT_EQ(bad_row_run_max, 2);
}

TEST_F(RowRepair, FailuresBeforeTheFirstGoodRowGiveZeroRows)
{
    int32_t count = 0;
    std::vector<int> rows =
        copy({{ROW_BAD, 0x22}, {ROW_BAD, 0x33}, {ROW_BAD, 0x44}, {ROW_GOOD, 0x66}}, &count);
    EXPECT_EQ(rows, (std::vector<int>{0, 0, 0, 0x66}));
    EXPECT_EQ(bad_row_total, 3);
    EXPECT_EQ(bad_row_run_max, 3);

    // The run at the end counts too, and the longest run wins.
    rows = copy({{ROW_GOOD, 0x10}, {ROW_BAD, 1}, {ROW_GOOD, 0x20}, {ROW_BAD, 2}, {ROW_BAD, 3},
                 {ROW_BAD, 4}, {ROW_BAD, 5}},
                &count);
    EXPECT_EQ(rows, (std::vector<int>{0x10, 0x10, 0x20, 0x20, 0x20, 0x20, 0x20}));
    EXPECT_EQ(bad_row_total, 5);
    EXPECT_EQ(bad_row_run_max, 4);
}

TEST_F(RowRepair, EmptyRowsAreBlankInsideThePageAndDroppedAtItsEnd)
{
    int32_t count = 0;
    std::vector<int> rows = copy({{ROW_GOOD, 0x11}, {ROW_EMPTY, 0x99}, {ROW_EMPTY, 0x99},
                                  {ROW_GOOD, 0x22}, {ROW_EMPTY, 0x99}, {ROW_BAD, 0x33},
                                  {ROW_EMPTY, 0x99}, {ROW_EMPTY, 0x99}},
                                 &count);
    // A blank row is a good row: the failed row after it repeats it.
    EXPECT_EQ(rows, (std::vector<int>{0x11, 0, 0, 0x22, 0, 0}));
    EXPECT_EQ(count, 6);
    EXPECT_EQ(bad_row_total, 1);
    EXPECT_EQ(bad_row_run_max, 1);

    // No row at all.
    rows = copy({{ROW_EMPTY, 0x99}}, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(bad_row_total, 0);
}

TEST_F(RowRepair, StretchWritesEveryRowTwice)
{
    double_rows = true;
    int32_t count = 0;
    std::vector<int> rows = copy({{ROW_GOOD, 0x11}, {ROW_BAD, 0x22}, {ROW_GOOD, 0x33}}, &count);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(rows, (std::vector<int>{0x11, 0x11, 0x11, 0x11, 0x33, 0x33}));
    EXPECT_EQ(bad_row_total, 1);
}

}  // namespace
