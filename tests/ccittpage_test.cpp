// ccittpage through its command line: the document's text, page choice and
// geometry, and every printed row drawn back with the font's rules and
// compared with the pixels that were coded.
#include "fax_pages.h"

#include <cmath>
#include <sstream>

namespace {

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: ccittpage [options] [input.tif ...]\n"
           "where options are:\n"
           " -w            show warning messages\n"
           " -l chars      set maximum output line length for generated PostScript\n"
           " -p page#      select page to print (can use multiple times)\n"
           " -x xres       set default horizontal resolution of input data (dpi)\n"
           " -y yres       set default vertical resolution of input data (lpi)\n"
           " -S            scale output to page size\n"
           " -W width      set output page width (inches), default is the first page's\n"
           " -H height     set output page height (inches), default is the first page's\n";
}

// The lines every page starts with, after the creation date and the
// bounding box.
const char* const prolog_lines[] = {
    "%%Pages: (atend)",
    "%%EndComments",
    "%%BeginProlog",
    "/newfont 10 dict def newfont begin /FontType 3 def /FontMatrix [1",
    "0 0 1 0 0] def /FontBBox [0 0 512 1] def /Encoding 256 array def",
    "0 1 31{Encoding exch /255 put}for 120 1 255{Encoding exch /255",
    "put}for Encoding 37 /255 put Encoding 40 /255 put Encoding 41 /255",
    "put Encoding 92 /255 put /count 0 def /ls{Encoding exch count 3",
    "string cvs cvn put /count count 1 add def}def 32 1 36{ls}for",
    "38 1 39{ls}for 42 1 91{ls}for 93 1 99{ls}for /count 100",
    "def 100 1 119{ls}for /CharDict 5 dict def CharDict begin /white",
    "{dup 255 eq{pop}{1 dict begin 100 sub neg 512 exch bitshift",
    "/cw exch def cw 0 0 0 cw 1 setcachedevice end}ifelse}def /black",
    "{dup 255 eq{pop}{1 dict begin 110 sub neg 512 exch bitshift",
    "/cw exch def cw 0 0 0 cw 1 setcachedevice 0 0 moveto cw 0 rlineto",
    "0 1 rlineto cw neg 0 rlineto closepath fill end}ifelse}def /numbuild",
    "{dup 255 eq{pop}{6 0 0 0 6 1 setcachedevice 0 1 5{0 moveto",
    "dup 32 and 32 eq{1 0 rlineto 0 1 rlineto -1 0 rlineto closepath",
    "fill newpath}if 1 bitshift}for pop}ifelse}def /.notdef {}",
    "def /255 {}def end /BuildChar{exch begin dup 110 ge{Encoding",
    "exch get 3 string cvs cvi CharDict /black get}{dup 100 ge {Encoding",
    "exch get 3 string cvs cvi CharDict /white get}{Encoding exch get",
    "3 string cvs cvi CharDict /numbuild get}ifelse}ifelse exec end",
    "}def end /Bitfont newfont definefont 1 scalefont setfont",
    "/d{bind def}def",
    "/m{0 exch moveto}d",
    "/s{show}d",
    "/p{showpage}d ",
    "%%EndProlog",
};

// One printed row: its row number and its glyph string (line breaks kept).
struct ps_row {
    long index;
    std::string glyphs;
};

// One page of the document as printed.
struct ps_page {
    std::string bounding_box;  // the text after "%%BoundingBox: "
    std::string page_line;     // the text after "%%Page: "
    double translate_x = 0, translate_y = 0, scale_x = 0, scale_y = 0;
    std::vector<ps_row> rows;
};

struct ps_document {
    std::vector<ps_page> pages;
    std::string trailer;  // everything from "%%Trailer" on
    std::string problem;  // what did not read as expected, "" if all did
};

// Reads a document, checking every fixed line on the way.
ps_document read_document(const std::string& text)
{
    ps_document doc;
    std::istringstream in(text);
    std::string line;
    auto expect = [&](const std::string& wanted) {
        if (!std::getline(in, line) || line != wanted) {
            if (doc.problem.empty())
                doc.problem = "expected \"" + wanted + "\", got \"" + line + "\"";
            return false;
        }
        return true;
    };
    while (std::getline(in, line)) {
        if (line == "%%Trailer") {
            doc.trailer = line + "\n";
            while (std::getline(in, line))
                doc.trailer += line + "\n";
            break;
        }
        ps_page page;
        if (line != "%!PS-Adobe-3.0" || !expect("%%Creator: ccittpage")) {
            doc.problem = "no page header at \"" + line + "\"";
            return doc;
        }
        // The creation date: ctime's text, 24 characters.
        if (!std::getline(in, line) || line.rfind("%%CreationDate: ", 0) != 0 ||
            line.size() != 16 + 24) {
            doc.problem = "bad date line \"" + line + "\"";
            return doc;
        }
        if (!expect("%%Origin: 0 0"))
            return doc;
        if (!std::getline(in, line) || line.rfind("%%BoundingBox: ", 0) != 0) {
            doc.problem = "no bounding box";
            return doc;
        }
        page.bounding_box = line.substr(15);
        for (const char* p : prolog_lines)
            if (!expect(p))
                return doc;
        if (!std::getline(in, line) || line.rfind("%%Page: ", 0) != 0) {
            doc.problem = "no page line";
            return doc;
        }
        page.page_line = line.substr(8);
        if (!expect("/$pageTop save def gsave"))
            return doc;
        std::string word;
        std::getline(in, line);
        std::istringstream t(line);
        if (!(t >> page.translate_x >> page.translate_y >> word) || word != "translate") {
            doc.problem = "bad translate line \"" + line + "\"";
            return doc;
        }
        std::getline(in, line);
        std::istringstream s(line);
        if (!(s >> page.scale_x >> page.scale_y >> word) || word != "scale") {
            doc.problem = "bad scale line \"" + line + "\"";
            return doc;
        }
        if (!expect("0 setgray"))
            return doc;
        // Rows up to "p".
        for (;;) {
            if (in.peek() == 'p') {
                if (!expect("p") || !expect("grestore $pageTop restore"))
                    return doc;
                break;
            }
            ps_row row;
            std::string prefix;
            if (!(in >> row.index) || in.get() != ' ' || in.get() != 'm' || in.get() != '(') {
                doc.problem = "bad row start";
                return doc;
            }
            int c;
            while ((c = in.get()) != EOF && c != ')')
                row.glyphs += (char)c;
            if (c != ')' || in.get() != 's' || in.get() != '\n') {
                doc.problem = "bad row end";
                return doc;
            }
            page.rows.push_back(row);
        }
        doc.pages.push_back(page);
    }
    return doc;
}

const std::string cell_glyphs =
    " !\"#$&'*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abc";

// Draws the rows of a page with the font's rules into a bitmap of
// `width` x `height` (1 = black): a cell glyph draws its 6-pixel pattern,
// d..m advance over 512..1 white pixels, n..w draw 512..1 black ones, a
// line end draws nothing. Anything else, or black beyond the row, is a
// problem.
bytes draw_page(const ps_page& page, uint32_t width, uint32_t height, std::string* problem)
{
    bytes pixels(fax_row_bytes(width) * height, 0);
    long expected_index = 0;
    for (const ps_row& row : page.rows) {
        if (row.index != expected_index++ || row.index < 0 || row.index >= (long)height) {
            *problem = "row number " + std::to_string(row.index) + " out of order";
            return pixels;
        }
        uint64_t x = 0;
        auto black = [&](uint64_t at) {
            if (at >= width)
                *problem = "black beyond the row in row " + std::to_string(row.index);
            else
                paint_black(pixels, width, (uint32_t)row.index, (uint32_t)at, (uint32_t)at + 1);
        };
        for (char c : row.glyphs) {
            size_t cell = cell_glyphs.find(c);
            if (c == '\n') {
                continue;
            } else if (c >= 'd' && c <= 'm') {
                x += 512u >> (c - 'd');
            } else if (c >= 'n' && c <= 'w') {
                for (uint32_t i = 0; i < (512u >> (c - 'n')); i++)
                    black(x++);
            } else if (cell != std::string::npos) {
                for (int bit = 5; bit >= 0; bit--, x++)
                    if (cell & (1u << bit))
                        black(x);
            } else {
                *problem = std::string("glyph '") + c + "' is not in the font";
            }
        }
    }
    if (expected_index != (long)height)
        *problem = std::to_string(expected_index) + " rows printed for " +
                   std::to_string(height);
    return pixels;
}

class Ccittpage : public ToolTest {
protected:
    // Prints `args` and reads the document; expects status `status`.
    ps_document print(const std::vector<std::string>& args, int status = 0,
                      run_options options = run_options())
    {
        last = run("ccittpage", args, options);
        EXPECT_EQ(last.status, status) << last.err;
        ps_document doc = read_document(last.out);
        EXPECT_EQ(doc.problem, "");
        return doc;
    }

    // Codes `page`, prints it and expects the rows drawn back to be it.
    void expect_drawn_exactly(const bytes& page, uint32_t width, uint32_t height,
                              const fax_coding& coding, const std::string& label,
                              uint32_t rows_per_strip = 0, std::vector<std::string> args = {})
    {
        ASSERT_TRUE(write_fax_tiff(path("in.tif"), page, width, height, coding, nullptr,
                                   rows_per_strip))
            << label;
        args.push_back("in.tif");
        ps_document doc = print(args);
        ASSERT_EQ(doc.pages.size(), 1u) << label;
        std::string problem;
        bytes drawn = draw_page(doc.pages[0], width, height, &problem);
        EXPECT_EQ(problem, "") << label;
        EXPECT_TRUE(drawn == page) << label;
    }

    run_result last;
};

std::string trailer(unsigned pages)
{
    return "%%Trailer\n%%Pages: " + std::to_string(pages) + "\n%%EOF\n";
}

TEST_F(Ccittpage, UsageErrors)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-?"}, {"-q", "x.tif"}, {"-x", "0", "x.tif"},
          {"-y", "-98", "x.tif"}, {"-x", "nonsense"}, {"-y", "nan"}, {"-x", "inf"},
          {"-W", "-8.5"}, {"-H", "-1"}, {"-l"}}) {
        run_result r = run("ccittpage", args);
        std::string label = ::testing::PrintToString(args);
        EXPECT_EQ(r.status, 255) << label;
        EXPECT_NE(r.err.find(expected_usage()), std::string::npos) << label << r.err;
        EXPECT_EQ(r.out, "") << label;
    }
}

TEST_F(Ccittpage, DocumentText)
{
    // Two Group 3 pages in one file.
    tiff_handle out = open_tiff(path("two.tif"), "w");
    for (uint32_t i = 0; i < 2; i++) {
        tiff_spec spec;
        spec.width = 64;
        spec.height = 10;
        spec.bits_per_sample = 1;
        spec.photometric = PHOTOMETRIC_MINISWHITE;
        spec.compression = COMPRESSION_CCITTFAX3;
        spec.extra = [](TIFF* t) {
            TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
            TIFFSetField(t, TIFFTAG_YRESOLUTION, 72.0);
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        };
        ASSERT_TRUE(write_page(out.get(), spec, fax_page(64, 10, i + 1)));
    }
    out.reset();
    ps_document doc = print({"two.tif"});
    EXPECT_EQ(last.err, "");
    ASSERT_EQ(doc.pages.size(), 2u);
    EXPECT_EQ(doc.pages[0].page_line, "\"0\" 0");
    EXPECT_EQ(doc.pages[1].page_line, "\"1\" 1");
    for (const ps_page& page : doc.pages) {
        EXPECT_EQ(page.bounding_box, "0 0 64 10");
        EXPECT_NEAR(page.translate_x, 0, 1e-5);
        EXPECT_NEAR(page.translate_y, 10, 1e-5);
        EXPECT_NEAR(page.scale_x, 1, 1e-5);
        EXPECT_NEAR(page.scale_y, -1, 1e-5);
    }
    EXPECT_EQ(doc.trailer, trailer(2));
    // The document ends with the trailer and nothing after it.
    EXPECT_EQ(last.out.substr(last.out.size() - trailer(2).size()), trailer(2));

    // A page that is not fax coded is skipped and named; a file without a
    // single fax page gives the trailer alone, and a run that printed no
    // page fails.
    tiff_spec lzw;
    lzw.width = 16;
    lzw.height = 4;
    lzw.bits_per_sample = 1;
    lzw.photometric = PHOTOMETRIC_MINISWHITE;
    lzw.compression = COMPRESSION_LZW;
    ASSERT_TRUE(write_tiff(path("lzw.tif"), lzw, bytes(8, 0x5a)));
    const std::string skipped = "lzw.tif: Page 0 is not CCITT fax coded (compression 5), skipped.\n";
    run_result r = run("ccittpage", {"lzw.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, trailer(0));
    EXPECT_EQ(r.err, skipped);
    r = run("ccittpage", {"lzw.tif", "two.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, skipped);
    EXPECT_EQ(r.out.substr(r.out.size() - trailer(2).size()), trailer(2));
}

// The worked examples of the run encoding, as rows of a real fax page in
// every coding the decoder knows.
TEST_F(Ccittpage, RunEncodingExamples)
{
    const std::vector<std::vector<uint32_t>> runs = {
        {100, 20, 1608}, {0, 1728}, {3, 3, 1722}, {0, 700, 1028}, {10, 5, 2, 1, 1710}, {1728},
    };
    const std::string expected = "0 m(gh#sS)s\n"
                                 "1 m(nnnpq)s\n"
                                 "2 m(*)s\n"
                                 "3 m(nprst`)s\n"
                                 "4 m(j2G)s\n"
                                 "5 m()s\n";
    const bytes page = page_from_runs(1728, runs);
    const fax_coding codings[] = {
        {COMPRESSION_CCITTFAX3, 0, FILLORDER_LSB2MSB, FAXMODE_CLASSF},
        {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, FILLORDER_MSB2LSB,
         FAXMODE_CLASSIC},
        {COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, FAXMODE_CLASSIC},
        {COMPRESSION_CCITTRLE, 0, FILLORDER_MSB2LSB, FAXMODE_CLASSIC},
    };
    for (const fax_coding& coding : codings) {
        ASSERT_TRUE(write_fax_tiff(path("examples.tif"), page, 1728, 6, coding));
        run_result r = run("ccittpage", {"examples.tif"});
        EXPECT_EQ(r.status, 0);
        size_t start = r.out.find("0 setgray\n");
        ASSERT_NE(start, std::string::npos) << coding.compression;
        EXPECT_EQ(r.out.substr(start + 10, expected.size()), expected) << coding.compression;
        EXPECT_EQ(r.out.substr(start + 10 + expected.size(), 2), "p\n");
    }

    // -l 4: the 700 black pixels take six glyphs, printed as four, a line
    // end and two.
    ASSERT_TRUE(write_fax_tiff(path("examples.tif"), page, 1728, 6, codings[0]));
    run_result r = run("ccittpage", {"-l", "4", "examples.tif"});
    EXPECT_NE(r.out.find("\n3 m(nprs\nt`)s\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n0 m(gh#s\nS)s\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n5 m()s\n"), std::string::npos);
}

// A row that ends in a black run begun inside a cell is drawn to its end.
TEST_F(Ccittpage, BlackRunsReachTheRightEdge)
{
    const std::vector<std::vector<uint32_t>> runs = {
        {3, 1725}, {1, 1727}, {5, 2, 0, 1721}, {4, 2, 4, 1718}, {1720, 7, 1}, {1722, 6},
    };
    const bytes page = page_from_runs(1728, runs);
    expect_drawn_exactly(page, 1728, (uint32_t)runs.size(), fax_coding(), "edge rows");
    run_result r = run("ccittpage", {"in.tif"});
    EXPECT_NE(r.out.find("\n0 m(*nnnprstS)s\n"), std::string::npos);
}

TEST_F(Ccittpage, EveryRowIsDrawnAsCoded)
{
    const uint32_t height = 150;
    for (uint32_t width : {1728u, 2048u, 1000u, 37u, 6u, 1u}) {
        const bytes page = fax_page(width, height, width);
        std::string label = "width " + std::to_string(width);
        expect_drawn_exactly(page, width, height, fax_coding(), label + " G3 1D");
        expect_drawn_exactly(page, width, height,
                             {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING, FILLORDER_MSB2LSB,
                              FAXMODE_CLASSIC},
                             label + " G3 2D, strips of 7 rows", 7);
        expect_drawn_exactly(page, width, height,
                             {COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB, FAXMODE_CLASSF},
                             label + " G4, strips of 64 rows, lines of 10 glyphs", 64,
                             {"-l", "10"});
    }
    // With -l 10 no line of the row strings holds more than 10 glyphs.
    std::istringstream lines(last.out);
    std::string line;
    bool in_rows = false;
    while (std::getline(lines, line)) {
        if (line == "0 setgray") {
            in_rows = true;
            continue;
        }
        if (line == "p")
            in_rows = false;
        if (!in_rows)
            continue;
        size_t glyphs = line.size();
        size_t open = line.find(" m(");
        if (open != std::string::npos)
            glyphs -= open + 3;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, ")s") == 0)
            glyphs -= 2;
        EXPECT_LE(glyphs, 10u) << line;
    }
}

// Four pages carrying page numbers 0 to 3, each with its own rows.
class PageChoice : public Ccittpage {
protected:
    void write_pages(bool with_numbers)
    {
        tiff_handle out = open_tiff(path("four.tif"), "w");
        for (uint32_t i = 0; i < 4; i++) {
            tiff_spec spec;
            spec.width = 100;
            spec.height = 5 + i;
            spec.bits_per_sample = 1;
            spec.photometric = PHOTOMETRIC_MINISWHITE;
            spec.compression = COMPRESSION_CCITTFAX4;
            spec.extra = [=](TIFF* t) {
                if (with_numbers)
                    TIFFSetField(t, TIFFTAG_PAGENUMBER, (uint16_t)i, (uint16_t)4);
            };
            pages.push_back(fax_page(100, 5 + i, 40 + i));
            ASSERT_TRUE(write_page(out.get(), spec, pages.back()));
        }
    }

    // Expects `page` of the document to show directory `directory`.
    void expect_directory(const ps_page& page, uint32_t directory)
    {
        std::string problem;
        bytes drawn = draw_page(page, 100, 5 + directory, &problem);
        EXPECT_EQ(problem, "");
        EXPECT_TRUE(drawn == pages[directory]) << directory;
    }

    std::vector<bytes> pages;
};

TEST_F(PageChoice, WithPageNumbers)
{
    write_pages(true);
    ps_document doc = print({"-p", "3", "-p", "1", "four.tif"});
    EXPECT_EQ(last.err, "");
    ASSERT_EQ(doc.pages.size(), 2u);
    EXPECT_EQ(doc.pages[0].page_line, "\"1\" 1");
    EXPECT_EQ(doc.pages[1].page_line, "\"3\" 3");
    expect_directory(doc.pages[0], 1);
    expect_directory(doc.pages[1], 3);
    EXPECT_EQ(doc.trailer, trailer(2));

    // Without -p every directory, numbered from 0.
    doc = print({"four.tif"});
    ASSERT_EQ(doc.pages.size(), 4u);
    for (uint32_t i = 0; i < 4; i++) {
        EXPECT_EQ(doc.pages[i].page_line, "\"" + std::to_string(i) + "\" " + std::to_string(i));
        expect_directory(doc.pages[i], i);
    }

    // A page that is not there: the others are printed, the run fails.
    doc = print({"-p", "9", "-p", "2", "four.tif"}, 1);
    EXPECT_EQ(last.err, "four.tif: No page number 9\n");
    ASSERT_EQ(doc.pages.size(), 1u);
    expect_directory(doc.pages[0], 2);
    EXPECT_EQ(doc.trailer, trailer(1));
}

TEST_F(PageChoice, WithoutPageNumbers)
{
    write_pages(false);
    ps_document doc = print({"-p", "2", "four.tif"});
    EXPECT_EQ(last.err, "four.tif: No page numbers, counting directories.\n");
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].page_line, "\"2\" 2");
    expect_directory(doc.pages[0], 1);

    doc = print({"-p", "0", "four.tif"}, 1);
    EXPECT_EQ(last.err, "four.tif: No page numbers, counting directories.\n"
                        "four.tif: No page number 0\n");
    EXPECT_EQ(doc.pages.size(), 0u);
    EXPECT_EQ(doc.trailer, trailer(0));
}

// Page geometry: a 1728 x 2200 page with the given resolution fields.
class Geometry : public Ccittpage {
protected:
    void write_letter(float xres, float yres, uint16_t unit, bool with_resolution = true)
    {
        bytes page(fax_row_bytes(1728) * 2200, 0);
        paint_black(page, 1728, 0, 0, 1728);
        ASSERT_TRUE(write_fax_tiff(path("letter.tif"), page, 1728, 2200,
                                   {COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB, FAXMODE_CLASSF},
                                   [=](TIFF* t) {
                                       if (!with_resolution)
                                           return;
                                       TIFFSetField(t, TIFFTAG_XRESOLUTION, (double)xres);
                                       TIFFSetField(t, TIFFTAG_YRESOLUTION, (double)yres);
                                       TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, unit);
                                   }));
    }

    // Checks the placement lines against the page's size on paper.
    void expect_placement(const ps_page& page, double paper_w, double paper_h, double xres,
                          double yres, double scale)
    {
        double ws = 1728 * scale / xres, hs = 2200 * scale / yres;
        EXPECT_NEAR(page.translate_x, (paper_w - ws) * 72 * 0.5, 1e-3);
        EXPECT_NEAR(page.translate_y, (hs + (paper_h - hs) * 0.5) * 72, 1e-2);
        EXPECT_NEAR(page.scale_x, 72 / xres * scale, 1e-5);
        EXPECT_NEAR(page.scale_y, -72 / yres * scale, 1e-5);
    }
};

TEST_F(Geometry, BoundingBoxAndScale)
{
    write_letter(204, 196, RESUNIT_INCH);
    ps_document doc = print({"letter.tif"});
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 609 808");
    expect_placement(doc.pages[0], 1728 / 204.0, 2200 / 196.0, 204, 196, 1);

    doc = print({"-S", "letter.tif"});
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 609 808");
    EXPECT_NEAR(doc.pages[0].scale_x * 204 / 72, 1, 1e-5);

    // Letter paper: the smaller of the two ratios, 11 / 11.2245.
    doc = print({"-W", "8.5", "-H", "11", "-S", "letter.tif"});
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 612 792");
    double scale = std::min(8.5 / (1728 / 204.0), 11 / (2200 / 196.0));
    EXPECT_NEAR(scale, 0.98, 1e-3);
    expect_placement(doc.pages[0], 8.5, 11, 204, 196, scale);

    // Without -S the image keeps its size, centred on the paper.
    doc = print({"-W", "8.5", "-H", "11", "letter.tif"});
    expect_placement(doc.pages[0], 8.5, 11, 204, 196, 1);
}

TEST_F(Geometry, Centimetres)
{
    write_letter(80, 77, RESUNIT_CENTIMETER);
    ps_document doc = print({"letter.tif"});
    ASSERT_EQ(doc.pages.size(), 1u);
    // 203.2 x 195.58 dots per inch.
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 612 809");
    expect_placement(doc.pages[0], 1728 / 203.2, 2200 / 195.58, 203.2, 195.58, 1);
}

TEST_F(Geometry, FallbackResolution)
{
    write_letter(0, 0, RESUNIT_INCH, false);
    ps_document doc = print({"letter.tif"});
    EXPECT_EQ(last.err, "");
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 609 1616");  // 204 x 98
    expect_placement(doc.pages[0], 1728 / 204.0, 2200 / 98.0, 204, 98, 1);

    doc = print({"-w", "-x", "100", "-y", "50", "letter.tif"});
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 1244 3168");
    EXPECT_NE(last.err.find("No x-resolution, assuming 100 dpi"), std::string::npos) << last.err;
    EXPECT_NE(last.err.find("No y-resolution, assuming 50 lpi"), std::string::npos) << last.err;

    // A resolution of 0 is no resolution either; nothing is divided by it.
    write_letter(0, 0, RESUNIT_INCH);
    doc = print({"-S", "letter.tif"});
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 609 1616");
    EXPECT_EQ(last.out.find("inf"), std::string::npos);
    EXPECT_EQ(last.out.find("nan"), std::string::npos);

    // The unit applies to the fallback values as well: 204 and 98 per
    // centimetre.
    write_letter(0, 0, RESUNIT_CENTIMETER);
    doc = print({"letter.tif"});
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 240 636");
}

// The paper size of the first page written holds for the whole run.
TEST_F(Geometry, FirstPageFixesThePaper)
{
    write_letter(204, 196, RESUNIT_INCH);
    ASSERT_TRUE(write_fax_tiff(path("small.tif"), fax_page(204, 98, 2), 204, 98, fax_coding(),
                               [](TIFF* t) {
                                   TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
                                   TIFFSetField(t, TIFFTAG_YRESOLUTION, 98.0);
                               }));
    ps_document doc = print({"small.tif", "letter.tif"});
    ASSERT_EQ(doc.pages.size(), 2u);
    EXPECT_EQ(doc.pages[0].bounding_box, "0 0 72 72");
    EXPECT_EQ(doc.pages[1].bounding_box, "0 0 72 72");
    EXPECT_EQ(doc.trailer, trailer(2));
}

TEST_F(Ccittpage, StandardInput)
{
    const bytes page = fax_page(300, 40, 6);
    ASSERT_TRUE(write_fax_tiff(path("in.tif"), page, 300, 40, fax_coding()));
    run_options options;
    options.input = read_file(path("in.tif"));
    ps_document doc = print({}, 0, options);
    ASSERT_EQ(doc.pages.size(), 1u);
    std::string problem;
    EXPECT_TRUE(draw_page(doc.pages[0], 300, 40, &problem) == page);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(doc.trailer, trailer(1));

    // -p works on standard input too.
    doc = print({"-p", "1"}, 0, options);
    EXPECT_EQ(last.err, "<stdin>: No page numbers, counting directories.\n");
    EXPECT_EQ(doc.pages.size(), 1u);

    for (const std::string& junk : {std::string("not a tiff file"), std::string()}) {
        options.input = junk;
        doc = print({}, 1, options);
        // After libtiff's own word on it.
        const std::string message = "Can not open, or not a TIFF file.\n";
        ASSERT_GE(last.err.size(), message.size());
        EXPECT_EQ(last.err.substr(last.err.size() - message.size()), message);
        EXPECT_EQ(last.out, trailer(0));
    }
}

TEST_F(Ccittpage, FilesThatCannotBeOpened)
{
    ASSERT_TRUE(write_fax_tiff(path("in.tif"), fax_page(64, 8, 1), 64, 8, fax_coding()));
    write_file(path("text.tif"), "hello");
    ps_document doc = print({"missing.tif", "in.tif", "text.tif"}, 1);
    EXPECT_NE(last.err.find("missing.tif: Can not open, or not a TIFF file.\n"),
              std::string::npos);
    EXPECT_NE(last.err.find("text.tif: Can not open, or not a TIFF file.\n"), std::string::npos);
    EXPECT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.trailer, trailer(1));
}

// Damaged and lying files: whatever is printed is a whole document, and
// nothing crashes or hangs.
TEST_F(Ccittpage, DamagedFiles)
{
    const bytes page = fax_page(1728, 80, 21);
    struct {
        const char* label;
        uint16_t compression;
        uint32_t width, height;
        std::function<void(bytes&)> damage;
    } cases[] = {
        {"G4 strip cut short", COMPRESSION_CCITTFAX4, 1728, 80,
         [](bytes& strip) { strip.resize(strip.size() / 3); }},
        {"G3 strip of garbage", COMPRESSION_CCITTFAX3, 1728, 80,
         [](bytes& strip) { strip = pattern_bytes(strip.size(), 5); }},
        {"G4 strip of garbage", COMPRESSION_CCITTFAX4, 1728, 80,
         [](bytes& strip) { strip = pattern_bytes(strip.size(), 6); }},
        {"G3 strip of zero bits", COMPRESSION_CCITTFAX3, 1728, 80,
         [](bytes& strip) { strip.assign(strip.size(), 0); }},
        {"G4 claiming a million rows", COMPRESSION_CCITTFAX4, 1728, 1000000, nullptr},
        {"G3 claiming a wide page", COMPRESSION_CCITTFAX3, 1u << 20, 80, nullptr},
        {"G4 claiming a width of 0", COMPRESSION_CCITTFAX4, 0, 80, nullptr},
        {"RLE of garbage", COMPRESSION_CCITTRLE, 1728, 80,
         [](bytes& strip) { strip = pattern_bytes(strip.size(), 7); }},
    };
    for (const auto& c : cases) {
        // Code the real page, then write its strip under the claimed fields.
        bytes strip = raw_fax_data(path("coded.tif"), page, 1728, 80,
                                   {c.compression, 0, FILLORDER_MSB2LSB, FAXMODE_CLASSF});
        if (c.damage)
            c.damage(strip);
        {
            tiff_handle out = open_tiff(path("bad.tif"), "w");
            TIFF* t = out.get();
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, c.width);
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, c.height);
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
            TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, c.height);
            TIFFWriteRawStrip(t, 0, strip.data(), (tmsize_t)strip.size());
            TIFFWriteDirectory(t);
        }
        run_result r = run("ccittpage", {"bad.tif"});
        EXPECT_TRUE(r.status == 0 || r.status == 1) << c.label;
        ps_document doc = read_document(r.out);
        EXPECT_EQ(doc.problem, "") << c.label;
        EXPECT_NE(doc.trailer, "") << c.label;
        EXPECT_LE(doc.pages.size(), 1u) << c.label;
    }
}

}  // namespace
