// tagshow through its command line: operands and their headers, choosing
// directories, the decoded and raw dump layouts, read errors and damaged
// files.
#include "harness.h"
#include "raw_tiff.h"

#include <cstring>

namespace {

std::string expected_usage()
{
    return std::string(TIFFGetVersion()) + "\n\n" +
           "usage: tagshow [options] input...\n"
           "where options are:\n"
           " -D\t\tread data\n"
           " -i\t\tignore read errors\n"
           " -c\t\tdisplay data for grey/color response curve or colormap\n"
           " -d\t\tdisplay raw/decoded image data\n"
           " -f lsb2msb\tforce lsb-to-msb FillOrder for input\n"
           " -f msb2lsb\tforce msb-to-lsb FillOrder for input\n"
           " -j\t\tshow JPEG tables\n"
           " -o offset\tset initial directory offset\n"
           " -r\t\tread/display raw image data instead of decoded data\n"
           " -s\t\tdisplay strip offsets and byte counts\n"
           " -w\t\tdisplay raw data in words rather than bytes\n"
           " -z\t\tenable strip chopping\n"
           " -#\t\tset initial directory (first directory is # 0)\n"
           " -S -l -m -v\taccepted and ignored\n";
}

// Bytes 0, 1, 2, ... (mod 256).
bytes counting(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)i;
    return b;
}

// Everything from the first occurrence of `marker` on ("" if absent).
std::string from(const std::string& text, const std::string& marker)
{
    size_t at = text.find(marker);
    return at == std::string::npos ? std::string() : text.substr(at);
}

int occurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class Tagshow : public ToolTest {
protected:
    // A file of `pages` 4x2 grey directories, each described "page N" and
    // filled with the byte N.
    void write_pages(const std::string& name, int pages)
    {
        tiff_handle out = open_tiff(path(name), "w");
        ASSERT_TRUE(out);
        for (int n = 0; n < pages; n++) {
            tiff_spec spec;
            spec.width = 4;
            spec.height = 2;
            std::string description = "page " + std::to_string(n);
            spec.extra = [description](TIFF* t) {
                TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
            };
            ASSERT_TRUE(write_page(out.get(), spec, bytes(8, (uint8_t)n)));
        }
    }

    // The offsets of every directory of `name`.
    std::vector<uint64_t> directory_offsets(const std::string& name)
    {
        std::vector<uint64_t> offsets;
        tiff_handle t = open_tiff(path(name));
        if (!t)
            return offsets;
        do
            offsets.push_back(TIFFCurrentDirOffset(t.get()));
        while (TIFFReadDirectory(t.get()));
        return offsets;
    }

    // Which "page N" descriptions the output shows, in order.
    static std::string pages_shown(const std::string& out)
    {
        std::string shown;
        for (size_t at = out.find("ImageDescription: page "); at != std::string::npos;
             at = out.find("ImageDescription: page ", at + 1)) {
            size_t start = at + strlen("ImageDescription: page ");
            shown += out.substr(start, out.find('\n', start) - start) + " ";
        }
        return shown;
    }
};

TEST_F(Tagshow, UsageErrors)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"-d"}, {"-f", "lsb", "a.tif"}, {"-f", "other", "a.tif"},
          {"-x", "a.tif"}, {"a.tif", "-o"}}) {
        run_result r = run("tagshow", args);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find(expected_usage()), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // Only getopt's own complaint comes before the usage text.
    run_result r = run("tagshow", {"-x", "a.tif"});
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), expected_usage());
}

TEST_F(Tagshow, OperandHeadersAndStatus)
{
    write_pages("a.tif", 1);
    write_pages("b.tif", 2);
    run_result one = run("tagshow", {"a.tif"});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.err, "");
    EXPECT_EQ(one.out.rfind("TIFF Directory at offset ", 0), 0u) << one.out;
    EXPECT_EQ(pages_shown(one.out), "0 ");

    // Several operands: each name and a colon before its file, also for a
    // file that does not open; that one makes the status 1, the others are
    // still shown.
    run_result r = run("tagshow", {"a.tif", "missing.tif", "b.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("a.tif:\nTIFF Directory at offset ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nmissing.tif:\nb.tif:\nTIFF Directory at offset "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(occurrences(r.out, ".tif:\n"), 3);
    EXPECT_EQ(pages_shown(r.out), "0 0 1 ");
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos);

    // A file that is not TIFF at all.
    write_file(path("junk.tif"), std::string("not a tiff file"));
    r = run("tagshow", {"junk.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
}

TEST_F(Tagshow, ChoosingDirectoriesByNumber)
{
    write_pages("p.tif", 13);
    EXPECT_EQ(pages_shown(run("tagshow", {"p.tif"}).out), "0 1 2 3 4 5 6 7 8 9 10 11 12 ");
    EXPECT_EQ(pages_shown(run("tagshow", {"-3", "p.tif"}).out), "3 ");
    EXPECT_EQ(pages_shown(run("tagshow", {"-0", "p.tif"}).out), "0 ");
    // A word of several digits is one number; the last word given counts.
    EXPECT_EQ(pages_shown(run("tagshow", {"-12", "p.tif"}).out), "12 ");
    EXPECT_EQ(pages_shown(run("tagshow", {"-1", "-10", "p.tif"}).out), "10 ");
    // Digits after a letter in the same word read as 0.
    EXPECT_EQ(pages_shown(run("tagshow", {"-s5", "p.tif"}).out), "0 ");
    // The number is taken in 16 bits.
    EXPECT_EQ(pages_shown(run("tagshow", {"-65537", "p.tif"}).out), "1 ");
    // Options may follow the operand.
    EXPECT_EQ(pages_shown(run("tagshow", {"p.tif", "-7"}).out), "7 ");

    // A directory that is not there: nothing shown, status 1.
    run_result r = run("tagshow", {"-13", "p.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

TEST_F(Tagshow, ChoosingDirectoriesByOffset)
{
    write_pages("p.tif", 3);
    std::vector<uint64_t> offsets = directory_offsets("p.tif");
    ASSERT_EQ(offsets.size(), 3u);
    char hex[32], octal[32];
    snprintf(hex, sizeof hex, "0x%llx", (unsigned long long)offsets[2]);
    snprintf(octal, sizeof octal, "0%llo", (unsigned long long)offsets[1]);
    EXPECT_EQ(pages_shown(run("tagshow", {"-o", hex, "p.tif"}).out), "2 ");
    EXPECT_EQ(pages_shown(run("tagshow", {"-o", octal, "p.tif"}).out), "1 ");
    EXPECT_EQ(pages_shown(run("tagshow", {"-o", std::to_string(offsets[1]), "p.tif"}).out),
              "1 ");
    // 0 means no offset; a directory number wins over an offset.
    EXPECT_EQ(pages_shown(run("tagshow", {"-o", "0", "p.tif"}).out), "0 1 2 ");
    EXPECT_EQ(pages_shown(run("tagshow", {"-o", hex, "-1", "p.tif"}).out), "1 ");

    // An offset where no directory is.
    run_result r = run("tagshow", {"-o", "0x7fff0", "p.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    r = run("tagshow", {"-o", "0x7fff0", "p.tif", "p.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "p.tif:\np.tif:\n");
}

TEST_F(Tagshow, ExifDirectoriesFollowTheirMainDirectory)
{
    // Two pages, the first pointing to an EXIF directory written before it.
    raw_tiff t;
    uint32_t data = t.blob({1, 1, 1, 1});
    t.rationals(33434, {{1, 4}});  // ExposureTime
    uint32_t exif = t.write_ifd(false);
    t.grey_image(2, 2, 2, {data}, {4});
    t.ascii(270, "page 0");
    t.longs(34665, {exif});
    t.write_ifd();
    t.grey_image(2, 2, 2, {data}, {4});
    t.ascii(270, "page 1");
    t.write_ifd();
    write_file(path("exif.tif"), t.data);

    run_result r = run("tagshow", {"-d", "exif.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    size_t page0 = r.out.find("page 0"), exposure = r.out.find("ExposureTime: 0.25");
    size_t page1 = r.out.find("page 1");
    ASSERT_NE(exposure, std::string::npos) << r.out;
    EXPECT_LT(page0, exposure);
    EXPECT_LT(exposure, page1);
    EXPECT_EQ(occurrences(r.out, "TIFF Directory at offset"), 3);
    // The EXIF directory holds no image: only the two pages are dumped.
    EXPECT_EQ(occurrences(r.out, "Strip 0:\n"), 2);

    // A chosen directory comes without its EXIF directory.
    r = run("tagshow", {"-0", "exif.tif"});
    EXPECT_EQ(r.out.find("ExposureTime"), std::string::npos);
    EXPECT_EQ(occurrences(r.out, "TIFF Directory at offset"), 1);
}

TEST_F(Tagshow, DecodedStripLayout)
{
    tiff_spec spec;
    spec.width = 3;
    spec.height = 3;
    spec.rows_per_strip = 2;
    ASSERT_TRUE(write_tiff(path("s.tif"), spec, counting(9)));
    run_result r = run("tagshow", {"-d", "s.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n 00 01 02\n 03 04 05\nStrip 1:\n 06 07 08\n");

    // A line end after every 24th byte of a row, counted afresh in each
    // row; a row of exactly 24 bytes is followed by an empty line.
    spec.width = 24;
    spec.height = 2;
    spec.rows_per_strip = 0;
    ASSERT_TRUE(write_tiff(path("w24.tif"), spec, counting(48)));
    r = run("tagshow", {"-d", "w24.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n"
              " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17\n\n"
              " 18 19 1a 1b 1c 1d 1e 1f 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f\n\n");
    spec.width = 25;
    spec.height = 2;
    ASSERT_TRUE(write_tiff(path("w25.tif"), spec, counting(50)));
    r = run("tagshow", {"-d", "w25.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n"
              " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17\n"
              " 18\n"
              " 19 1a 1b 1c 1d 1e 1f 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f 30\n"
              " 31\n");

    // -D reads without printing.
    r = run("tagshow", {"-D", "s.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Strip 0:"), std::string::npos);
    EXPECT_NE(r.out.find("TIFF Directory"), std::string::npos);
}

TEST_F(Tagshow, DecodedSeparatePlanesAndTiles)
{
    // Three planes of 2x3 in strips of 2 rows: per band of rows, the
    // strip of each plane in turn.
    tiff_spec spec;
    spec.width = 2;
    spec.height = 3;
    spec.samples_per_pixel = 3;
    spec.photometric = PHOTOMETRIC_RGB;
    spec.planar = PLANARCONFIG_SEPARATE;
    spec.rows_per_strip = 2;
    ASSERT_TRUE(write_tiff(path("planes.tif"), spec, counting(18)));
    run_result r = run("tagshow", {"-d", "planes.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n 00 01\n 02 03\nStrip 2:\n 06 07\n 08 09\nStrip 4:\n 0c 0d\n 0e 0f\n"
              "Strip 1:\n 04 05\nStrip 3:\n 0a 0b\nStrip 5:\n 10 11\n");

    // Tiles of 16x16 over 20x17 pixels: headers give row then column; the
    // whole tile length is shown also at the bottom edge.
    spec = tiff_spec();
    spec.width = 20;
    spec.height = 17;
    spec.tile_width = 16;
    spec.tile_height = 16;
    bytes pixels = counting(20 * 17);
    ASSERT_TRUE(write_tiff(path("tiles.tif"), spec, pixels));
    r = run("tagshow", {"-d", "tiles.tif"});
    EXPECT_EQ(r.status, 0);
    std::string dump = from(r.out, "Tile (");
    size_t t1 = dump.find("Tile (0,16):\n"), t2 = dump.find("Tile (16,0):\n"),
           t3 = dump.find("Tile (16,16):\n");
    ASSERT_TRUE(dump.rfind("Tile (0,0):\n", 0) == 0 && t1 != std::string::npos &&
                t2 != std::string::npos && t3 != std::string::npos)
        << dump;
    EXPECT_TRUE(t1 < t2 && t2 < t3);
    // The first row of the first tile; the last tile holds one image row
    // (pixels 336..339, then padding) yet all its 16 rows are shown.
    std::string first_row = " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n";
    EXPECT_EQ(dump.substr(strlen("Tile (0,0):\n"), first_row.size()), first_row);
    std::string last = dump.substr(t3);
    EXPECT_EQ(occurrences(last, "\n"), 17);
    EXPECT_EQ(last.rfind("Tile (16,16):\n 50 51 52 53 00 00", 0), 0u) << last;

    // Separate planes in tiles: the sample follows the position.
    spec.samples_per_pixel = 2;
    spec.photometric = PHOTOMETRIC_MINISBLACK;
    spec.planar = PLANARCONFIG_SEPARATE;
    spec.width = 16;
    spec.height = 16;
    ASSERT_TRUE(write_tiff(path("ptiles.tif"), spec, counting(2 * 256)));
    r = run("tagshow", {"-d", "ptiles.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Tile (0,0,0):\n 00 01"), std::string::npos);
    EXPECT_NE(r.out.find("Tile (0,0,1):\n 00 01"), std::string::npos);
}

TEST_F(Tagshow, RawLayoutBytesAndWords)
{
    // One strip of exactly 24 bytes: the last line holds a single space.
    tiff_spec spec;
    spec.width = 24;
    ASSERT_TRUE(write_tiff(path("r24.tif"), spec, counting(24)));
    run_result r = run("tagshow", {"-r", "-d", "r24.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n"
              "  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17\n"
              " \n");

    // Words in the host's order (little-endian here); an odd last byte is
    // not shown; a line end after every 15th word.
    spec.width = 33;
    ASSERT_TRUE(write_tiff(path("r33.tif"), spec, counting(33)));
    r = run("tagshow", {"-r", "-w", "-d", "r33.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n"
              "  0100 0302 0504 0706 0908 0b0a 0d0c 0f0e 1110 1312 1514 1716 1918 1b1a 1d1c\n"
              "  1f1e\n");
    spec.width = 5;
    ASSERT_TRUE(write_tiff(path("r5.tif"), spec, counting(5)));
    r = run("tagshow", {"-r", "-w", "-d", "r5.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  0100 0302\n");
    // -r without -d or -D reads nothing.
    r = run("tagshow", {"-r", "r5.tif"});
    EXPECT_EQ(r.out.find("Strip 0:"), std::string::npos);

    // Several strips, compressed: the raw bytes as they are in the file.
    spec = tiff_spec();
    spec.width = 40;
    spec.height = 6;
    spec.rows_per_strip = 4;
    spec.compression = COMPRESSION_PACKBITS;
    ASSERT_TRUE(write_tiff(path("pb.tif"), spec, bytes(240, 7)));
    r = run("tagshow", {"-r", "-d", "pb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  d9 07 d9 07 d9 07 d9 07\nStrip 1:\n  d9 07 d9 07\n");
}

TEST_F(Tagshow, RawBitReversal)
{
    // The same pixels stored most significant bit first (as 01 0f) and,
    // through libtiff, least significant bit first (as 80 f0).
    tiff_spec spec;
    spec.width = 16;
    spec.height = 1;
    spec.bits_per_sample = 1;
    spec.photometric = PHOTOMETRIC_MINISWHITE;
    ASSERT_TRUE(write_tiff(path("msb.tif"), spec, bytes{0x01, 0x0f}));
    spec.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB); };
    ASSERT_TRUE(write_tiff(path("lsb.tif"), spec, bytes{0x01, 0x0f}));

    run_result r = run("tagshow", {"-r", "-d", "msb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  01 0f\n");
    r = run("tagshow", {"-r", "-d", "lsb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  80 f0\n");

    // A forced order other than the file's reverses every byte.
    r = run("tagshow", {"-r", "-d", "-f", "lsb2msb", "msb.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0: (bit reversed)\n  80 f0\n");
    r = run("tagshow", {"-r", "-d", "-f", "MsB2lSb", "lsb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0: (bit reversed)\n  01 0f\n");
    // The file's own order: nothing reversed.
    r = run("tagshow", {"-r", "-d", "-f", "LSB2MSB", "lsb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  80 f0\n");
    r = run("tagshow", {"-r", "-d", "-f", "msb2lsb", "msb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  01 0f\n");

    // Decoded data comes out in the usual order, and a forced order makes
    // libtiff decode the bytes as if stored that way.
    r = run("tagshow", {"-d", "lsb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n 01 0f\n");
    r = run("tagshow", {"-d", "-f", "lsb2msb", "msb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n 80 f0\n");
    r = run("tagshow", {"-d", "-f", "msb2lsb", "lsb.tif"});
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n 80 f0\n");
}

TEST_F(Tagshow, RawTilesAreReadAsTiles)
{
    tiff_spec spec;
    spec.width = 32;
    spec.height = 16;
    spec.tile_width = 16;
    spec.tile_height = 16;
    spec.compression = COMPRESSION_PACKBITS;
    bytes pixels(512, 9);
    ASSERT_TRUE(write_tiff(path("t.tif"), spec, pixels));
    run_result r = run("tagshow", {"-r", "-d", "t.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Each 16x16 tile of 9s packs into 16 runs of "f1 09".
    std::string tile;
    for (int i = 0; i < 16; i++) {
        tile += " f1 09";
        if (i == 11)
            tile += "\n ";
    }
    EXPECT_EQ(from(r.out, "Tile 0:"), "Tile 0:\n " + tile + "\nTile 1:\n " + tile + "\n");
}

// A 4x4 grey image of bytes 0..15 in four one-row strips; strip `bad`
// points past the end of the file.
bytes file_with_bad_strip(int bad)
{
    raw_tiff t;
    uint32_t data = t.blob(counting(16));
    std::vector<uint32_t> offsets = {data, data + 4, data + 8, data + 12};
    offsets[(size_t)bad] = 0x100000;
    t.grey_image(4, 4, 1, offsets, {4, 4, 4, 4});
    t.write_ifd();
    return t.data;
}

TEST_F(Tagshow, ReadErrorsStopOrAreSkipped)
{
    write_file(path("bad.tif"), file_with_bad_strip(1));

    // Raw: the message names the strip; the scan ends unless -i.
    run_result r = run("tagshow", {"-r", "-d", "bad.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error reading strip 1\n"), std::string::npos) << r.err;
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n  00 01 02 03\n");
    r = run("tagshow", {"-r", "-d", "-i", "bad.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n  00 01 02 03\nStrip 2:\n  08 09 0a 0b\nStrip 3:\n  0c 0d 0e 0f\n");

    // Decoded, contiguous strips: the whole scan ends at the error.
    r = run("tagshow", {"-d", "bad.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(from(r.out, "Strip 0:"), "Strip 0:\n 00 01 02 03\n");
    r = run("tagshow", {"-d", "-i", "bad.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(from(r.out, "Strip 0:"),
              "Strip 0:\n 00 01 02 03\nStrip 2:\n 08 09 0a 0b\nStrip 3:\n 0c 0d 0e 0f\n");
    // -D alone: nothing printed, the failure still counts.
    r = run("tagshow", {"-D", "bad.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("Strip 0:"), std::string::npos);
    // Without reading the data the file is fine.
    r = run("tagshow", {"bad.tif"});
    EXPECT_EQ(r.status, 0);

    // Separate planes: two planes of 2 rows in one-row strips; strip 0
    // (plane 0 of band 0) is bad: plane 1 of band 0 is skipped, band 1 is
    // read.
    raw_tiff t;
    uint32_t data = t.blob(counting(8));
    t.longs(256, {2});
    t.longs(257, {2});
    t.shorts(258, {8, 8});
    t.shorts(259, {1});
    t.shorts(262, {1});
    t.longs(273, {0x100000, data + 2, data + 4, data + 6});
    t.shorts(277, {2});
    t.longs(278, {1});
    t.longs(279, {2, 2, 2, 2});
    t.shorts(284, {2});
    t.shorts(338, {0});
    t.write_ifd();
    write_file(path("planes.tif"), t.data);
    r = run("tagshow", {"-d", "planes.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(from(r.out, "Strip "), "Strip 1:\n 02 03\nStrip 3:\n 06 07\n") << r.err;
    r = run("tagshow", {"-d", "-i", "planes.tif"});
    EXPECT_EQ(from(r.out, "Strip "), "Strip 2:\n 04 05\nStrip 1:\n 02 03\nStrip 3:\n 06 07\n");
}

TEST_F(Tagshow, TileReadErrors)
{
    // 2x2 tiles of 16x16, one byte value each; tile `bad` points past the
    // end of the file.
    auto tiled_file = [](int bad, bool raw_counts_ok) {
        raw_tiff t;
        std::vector<uint32_t> offsets;
        for (int i = 0; i < 4; i++)
            offsets.push_back(t.blob(bytes(256, (uint8_t)(i + 1))));
        offsets[(size_t)bad] = 0x200000;
        t.longs(256, {32});
        t.longs(257, {32});
        t.shorts(258, {8});
        t.shorts(259, {1});
        t.shorts(262, {1});
        t.shorts(277, {1});
        t.longs(322, {16});
        t.longs(323, {16});
        t.longs(324, offsets);
        t.longs(325, {256, 256, 256, raw_counts_ok ? 256u : 0x7fffffffu});
        t.write_ifd();
        return t.data;
    };
    write_file(path("t.tif"), tiled_file(0, true));
    // Contiguous tiles: the rest of that row of tiles is skipped.
    run_result r = run("tagshow", {"-d", "t.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(occurrences(r.out, "Tile ("), 2);
    EXPECT_NE(r.out.find("Tile (16,0):\n 03 03"), std::string::npos);
    EXPECT_NE(r.out.find("Tile (16,16):\n 04 04"), std::string::npos);
    r = run("tagshow", {"-d", "-i", "t.tif"});
    EXPECT_EQ(occurrences(r.out, "Tile ("), 3);
    EXPECT_NE(r.out.find("Tile (0,16):\n 02 02"), std::string::npos);

    // Raw: "Tile" in the headers, "strip" in the message.
    r = run("tagshow", {"-r", "-d", "-i", "t.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error reading strip 0\n"), std::string::npos) << r.err;
    EXPECT_EQ(from(r.out, "\nTile ").substr(0, 13), "\nTile 1:\n  02");
    EXPECT_EQ(occurrences(r.out, "\nTile "), 3);

    // A byte count far beyond the end of the file is refused before any
    // buffer is taken for it.
    write_file(path("big.tif"), tiled_file(1, false));
    r = run("tagshow", {"-r", "-D", "-i", "big.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error reading strip 1\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error reading strip 3\n"), std::string::npos) << r.err;
}

TEST_F(Tagshow, PrintFlagsReachTheDirectoryPrinter)
{
    tiff_spec spec;
    spec.width = 4;
    spec.height = 1;
    spec.bits_per_sample = 2;
    spec.photometric = PHOTOMETRIC_PALETTE;
    spec.extra = [](TIFF* t) {
        uint16_t r[4] = {1, 2, 3, 4}, g[4] = {5, 6, 7, 8}, b[4] = {9, 10, 11, 12};
        TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
    };
    ASSERT_TRUE(write_tiff(path("pal.tif"), spec, bytes{0x1b}));
    run_result plain = run("tagshow", {"pal.tif"});
    run_result flags = run("tagshow", {"-c", "-s", "-j", "-S", "-l", "-m", "-v", "-z", "pal.tif"});
    EXPECT_EQ(flags.status, 0);
    EXPECT_EQ(plain.out.find("Strips:"), std::string::npos);
    EXPECT_NE(flags.out.find("Strips:"), std::string::npos) << flags.out;
    EXPECT_GT(flags.out.size(), plain.out.size() + 40);

    spec = tiff_spec();
    spec.width = 16;
    spec.height = 16;
    spec.samples_per_pixel = 3;
    spec.photometric = PHOTOMETRIC_YCBCR;
    spec.compression = COMPRESSION_JPEG;
    spec.rows_per_strip = 16;
    spec.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB); };
    ASSERT_TRUE(write_tiff(path("jpeg.tif"), spec, pattern_bytes(16 * 16 * 3)));
    run_result r = run("tagshow", {"-j", "jpeg.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("JPEG Tables:"), std::string::npos) << r.out;
}

TEST_F(Tagshow, SubsampledJpegDumpsWholeStrips)
{
    // YCbCr 2x2-subsampled JPEG read in its raw colour form: strips are
    // smaller than rows times the line size suggests; the dump must stay
    // within what was read, and every run ends cleanly.
    tiff_spec spec;
    spec.width = 30;
    spec.height = 21;
    spec.samples_per_pixel = 3;
    spec.photometric = PHOTOMETRIC_YCBCR;
    spec.compression = COMPRESSION_JPEG;
    spec.rows_per_strip = 16;
    spec.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB); };
    ASSERT_TRUE(write_tiff(path("y.tif"), spec, pattern_bytes(30 * 21 * 3)));
    for (std::vector<std::string> args : {std::vector<std::string>{"-d", "y.tif"},
                                          {"-d", "-z", "y.tif"},
                                          {"-r", "-d", "y.tif"},
                                          {"-r", "-w", "-d", "-f", "lsb2msb", "y.tif"}}) {
        run_result r = run("tagshow", args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Strip 1:"), std::string::npos);
    }
    spec.tile_width = 16;
    spec.tile_height = 16;
    ASSERT_TRUE(write_tiff(path("yt.tif"), spec, pattern_bytes(30 * 21 * 3)));
    run_result r = run("tagshow", {"-d", "yt.tif"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Tile (16,16):"), std::string::npos);
}

TEST_F(Tagshow, DirectoryLoopEnds)
{
    // Two directories that point to each other: each is shown once.
    raw_tiff t;
    uint32_t d = t.blob(counting(4));
    t.grey_image(2, 2, 2, {d}, {4});
    uint32_t first = t.write_ifd();
    t.grey_image(2, 2, 2, {d}, {4});
    t.write_ifd();
    t.patch32(t.last_link(), first);
    write_file(path("loop.tif"), t.data);
    run_result r = run("tagshow", {"-d", "loop.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(occurrences(r.out, "TIFF Directory at offset"), 2);
    EXPECT_EQ(occurrences(r.out, "Strip 0:\n 00 01\n 02 03\n"), 2);
}

TEST_F(Tagshow, DamagedFilesEndWithAStatus)
{
    std::vector<bytes> files;
    // Rows per strip 0, a strip count that does not match, huge byte
    // counts, a huge image over a tiny strip.
    {
        raw_tiff t;
        uint32_t d = t.blob(counting(16));
        t.grey_image(4, 4, 0, {d}, {16});
        t.write_ifd();
        files.push_back(t.data);
    }
    {
        raw_tiff t;
        uint32_t d = t.blob(counting(16));
        t.grey_image(4, 4, 1, {d, d}, {0xffffffff, 0});
        t.write_ifd();
        files.push_back(t.data);
    }
    {
        raw_tiff t;
        uint32_t d = t.blob(counting(16));
        t.grey_image(0x7fffffff, 0x7fffffff, 0x7fffffff, {d}, {16});
        t.write_ifd();
        files.push_back(t.data);
    }
    {
        raw_tiff t;
        uint32_t d = t.blob(counting(16));
        t.grey_image(3000, 3000, 1, {d}, {16});
        t.write_ifd();
        files.push_back(t.data);
    }
    // Zero tile size; tiles without byte counts.
    {
        raw_tiff t;
        uint32_t d = t.blob(counting(256));
        t.grey_image(16, 16, 16, {d}, {256});
        t.longs(322, {0});
        t.longs(323, {16});
        t.write_ifd();
        files.push_back(t.data);
    }
    // A good file cut short at every few bytes.
    tiff_spec spec;
    spec.width = 9;
    spec.height = 5;
    spec.rows_per_strip = 2;
    spec.compression = COMPRESSION_LZW;
    ASSERT_TRUE(write_tiff(path("good.tif"), spec, pattern_bytes(45)));
    std::string good = read_file(path("good.tif"));
    size_t built = files.size();
    for (size_t k = 0; k < 12; k++) {
        size_t n = good.size() * k / 12;
        files.push_back(bytes(good.begin(), good.begin() + (ptrdiff_t)n));
    }

    for (size_t i = 0; i < files.size(); i++) {
        write_file(path("damaged.tif"), files[i]);
        std::vector<std::vector<std::string>> runs = {{"-d", "-i", "-z", "damaged.tif"},
                                                      {"-r", "-d", "-i", "damaged.tif"}};
        if (i < built)
            runs.push_back({"-d", "damaged.tif"});
        for (const auto& args : runs) {
            run_result r = run("tagshow", args);
            // The file is complete up to the last cut; only the cuts and
            // the damaged files fail.
            EXPECT_EQ(r.status, 1) << i;
        }
    }
}

}  // namespace
