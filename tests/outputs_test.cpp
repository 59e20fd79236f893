// Where outputs go, for every program: never over a file the same run
// reads, and past the reach of classic TIFF as BigTIFF.
#include "harness.h"
#include "compress_options.h"
#include "tiff_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace {

// Every input a case can name, made once per test in its scratch directory.
void make_inputs(const std::string& dir)
{
    const std::string examples = std::string(SOURCE_DIR) + "/examples/";
    for (const char* name : {"sample.ppm", "sample.bmp", "sample-rle8.bmp", "sample.ras",
                             "sample.gif", "fax-page.g3", "sample-palette.tif", "sample.jpg"})
        write_file(dir + "/" + name, read_file(examples + name));
    write_file(dir + "/second.g3", read_file(examples + "fax-page.g3"));
    tiff_spec rgb;
    rgb.width = 24, rgb.height = 10, rgb.samples_per_pixel = 3, rgb.photometric = PHOTOMETRIC_RGB;
    ASSERT_TRUE(write_tiff(dir + "/rgb.tif", rgb, pattern_bytes(24 * 10 * 3)));
    tiff_spec grey;
    grey.width = 24, grey.height = 10;
    ASSERT_TRUE(write_tiff(dir + "/grey.tif", grey, pattern_bytes(24 * 10, 2)));
    tiff_spec fax;
    fax.width = 64, fax.height = 8, fax.bits_per_sample = 1;
    fax.photometric = PHOTOMETRIC_MINISWHITE, fax.compression = COMPRESSION_CCITTFAX4;
    ASSERT_TRUE(write_tiff(dir + "/fax.tif", fax, pattern_bytes(8 * 8, 3)));
    write_file(dir + "/note.txt", std::string("a note\n"));
}

// The contents of every file of the scratch directory that a case may read.
std::map<std::string, std::string> snapshot(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const char* name : {"sample.ppm", "sample.bmp", "sample-rle8.bmp", "sample.ras",
                             "sample.gif", "fax-page.g3", "second.g3", "sample-palette.tif",
                             "sample.jpg", "rgb.tif", "grey.tif", "fax.tif", "note.txt"})
        files[name] = read_file(dir + "/" + name);
    return files;
}

// A run whose output (OUT in `args`) is the input `target` under some
// spelling, with the status the program ends with for an output it cannot
// open.
struct output_case {
    const char* program;
    std::vector<std::string> args;
    const char* target;
    int status;
    const char* answer;  // standard input, for lzwtag's question
};

const output_case output_cases[] = {
    {"anymaptag", {"sample.ppm", "OUT"}, "sample.ppm", 252, ""},
    {"dibtag", {"sample-rle8.bmp", "sample.bmp", "OUT"}, "sample.bmp", 1, ""},
    {"dibtag", {"-o", "OUT", "sample.bmp", "sample-rle8.bmp", "unread.tif"}, "sample-rle8.bmp",
     1, ""},
    {"suntag", {"sample.ras", "OUT"}, "sample.ras", 252, ""},
    {"lzwtag", {"sample.gif", "OUT"}, "sample.gif", 255, "y\n"},
    {"ccitttag", {"-o", "OUT", "second.g3", "fax-page.g3"}, "fax-page.g3", 1, ""},
    {"greytag", {"rgb.tif", "OUT"}, "rgb.tif", 255, ""},
    {"cmapexpand", {"sample-palette.tif", "OUT"}, "sample-palette.tif", 254, ""},
    {"halftone", {"grey.tif", "OUT"}, "grey.tif", 255, ""},
    {"chromatag", {"rgb.tif", "grey.tif", "OUT"}, "grey.tif", 254, ""},
    {"tagtruecolor", {"grey.tif", "rgb.tif", "OUT"}, "rgb.tif", 254, ""},
};

class Outputs : public ToolTest {};

// An output that is an input, by its own name, another spelling, a hard
// link or a symbolic link, is refused before anything is written: every
// input stays as it was and no other file appears.
TEST_F(Outputs, NeverWrittenOverAnInput)
{
    make_inputs(dir);
    const std::map<std::string, std::string> before = snapshot(dir);
    for (const output_case& c : output_cases) {
        ASSERT_EQ(link(path(c.target).c_str(), path("hard").c_str()), 0);
        ASSERT_EQ(symlink(c.target, path("soft").c_str()), 0);
        for (std::string spelling : {std::string(c.target), "./" + std::string(c.target),
                                     std::string("hard"), std::string("soft")}) {
            std::vector<std::string> args = c.args;
            for (std::string& a : args)
                if (a == "OUT")
                    a = spelling;
            run_options options;
            options.input = c.answer;
            run_result r = run(c.program, args, options);
            std::string label = std::string(c.program) + " -> " + spelling;
            EXPECT_EQ(r.status, c.status) << label << "\n" << r.err;
            EXPECT_EQ(r.err.rfind(spelling + ": ", 0), 0u) << label << "\n" << r.err;
            EXPECT_NE(r.err.find("input of this run"), std::string::npos) << label;
            EXPECT_TRUE(r.out.empty()) << label << ": asked " << r.out;
            EXPECT_TRUE(snapshot(dir) == before) << label << " changed an input";
            EXPECT_FALSE(file_exists(path("unread.tif"))) << label;
        }
        unlink(path("hard").c_str());
        unlink(path("soft").c_str());
    }
    // Standard input read from a file is an input too.
    run_options from_file;
    from_file.input_file = path("sample.ppm");
    run_result r = run("anymaptag", {"sample.ppm"}, from_file);
    EXPECT_EQ(r.status, 252) << r.err;
    EXPECT_TRUE(snapshot(dir) == before);

    // pageburst checks each name it makes: the second page of xaab.tif
    // would be xaab.tif itself. The first page is written, then the run
    // ends as for any page that cannot be written.
    std::string pages;
    {
        tiff_spec page;
        page.width = 8, page.height = 4;
        TIFF* out = TIFFOpen(path("xaab.tif").c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < 2; i++)
            ASSERT_TRUE(write_page(out, page, pattern_bytes(32, i)));
        TIFFClose(out);
        pages = read_file(path("xaab.tif"));
    }
    r = run("pageburst", {"xaab.tif"});
    EXPECT_EQ(r.status, 254) << r.err;
    EXPECT_EQ(r.err.rfind("xaab.tif: ", 0), 0u) << r.err;
    EXPECT_EQ(read_file(path("xaab.tif")), pages);
    EXPECT_EQ(count_directories(path("xaaa.tif")), 1);

    // An input that does not exist (yet) is an input by its name: the
    // output may not be made under it and then read back.
    const struct {
        const char* program;
        std::vector<std::string> args;
        int status;
    } missing[] = {
        {"tagtruecolor", {"rgb.tif", "new.tif", "new.tif"}, 254},
        {"chromatag", {"rgb.tif", "./new.tif", "new.tif"}, 254},
        {"dibtag", {"sample.bmp", "new.tif", "new.tif"}, 1},
        {"ccitttag", {"-o", "new.tif", "fax-page.g3", "new.tif"}, 1},
    };
    for (const auto& c : missing) {
        r = run(c.program, c.args);
        EXPECT_EQ(r.status, c.status) << c.program << "\n" << r.err;
        EXPECT_NE(r.err.find("new.tif: Output file is an input of this run"), std::string::npos)
            << c.program << "\n" << r.err;
        EXPECT_FALSE(file_exists(path("new.tif"))) << c.program;
    }
}

// An output left without a row is removed only when it is a regular file
// reached by its own name: through a symbolic link (as /dev/stdout is one)
// the link stays and the file it leads to is emptied.
TEST_F(Outputs, EmptyOutputsBehindLinksAreEmptiedNotRemoved)
{
    write_file(path("empty.ppm"), "P6 4 4 255\n");
    write_file(path("real.tif"), "old contents");
    ASSERT_EQ(symlink("real.tif", path("link.tif").c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/fd/1", path("stdout").c_str()), 0);
    run_result r = run("anymaptag", {"empty.ppm", "link.tif"});
    EXPECT_EQ(r.status, 1) << r.err;
    run_options to_file;
    to_file.append_output = path("shell.tif");
    r = run("anymaptag", {"empty.ppm", "stdout"}, to_file);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const char* link : {"link.tif", "stdout"}) {
        struct stat st;
        EXPECT_TRUE(lstat(path(link).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << link;
    }
    EXPECT_EQ(read_file(path("real.tif")), "");
    EXPECT_EQ(read_file(path("shell.tif")), "");
}

// Uniform noise of `n` bytes: the data no codec can shrink.
bytes noise(size_t n, uint32_t seed)
{
    bytes b(n);
    uint64_t x = 0x9e3779b97f4a7c15ull * seed + 1;
    for (uint8_t& v : b) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        v = (uint8_t)(x >> 32);
    }
    return b;
}

// Each codec on the data it grows most, strips of 8 rows: no strip
// takes more than strip_bytes_bound, the bound that chooses BigTIFF.
TEST_F(Outputs, NoStripGrowsPastItsBound)
{
    const uint32_t width = 256, height = 64;
    auto anymap = [&](const char* magic, uint64_t row_bytes, const bytes& raster) {
        bytes file;
        put_text(file, std::string(magic) + " 256 64" + (magic[1] == '4' ? "\n" : " 255\n"));
        file.insert(file.end(), raster.begin(), raster.begin() + row_bytes * height);
        return file;
    };
    bytes pairs(width * height);  // a lone byte between two pairs: 6 PackBits bytes for 5
    for (size_t i = 0; i < pairs.size(); i++)
        pairs[i] = (uint8_t)("\1\1\2\0\0"[i % 5]);
    write_file(path("noise.pgm"), anymap("P5", width, noise(width * height, 1)));
    write_file(path("noise.ppm"), anymap("P6", 3 * width, noise(3 * width * height, 2)));
    write_file(path("pairs.pgm"), anymap("P5", width, pairs));
    write_file(path("noise.pbm"), anymap("P4", width / 8, noise(width / 8 * height, 3)));
    write_file(path("alternate.pbm"), anymap("P4", width / 8, bytes(width / 8 * height, 0x55)));
    tiff_spec grey;
    grey.width = width, grey.height = height;
    ASSERT_TRUE(write_tiff(path("grey.tif"), grey, bytes(width * height, 128)));

    auto codec = [](uint16_t scheme, int quality = 75, uint32_t g3 = 0) {
        return compression_settings{scheme, 0, quality, JPEGCOLORMODE_RGB, g3};
    };
    const struct {
        const char* program;
        const char* scheme;
        const char* input;
        uint64_t row_bytes;
        compression_settings settings;
    } cases[] = {
        {"anymaptag", "none", "noise.pgm", width, codec(COMPRESSION_NONE)},
        {"anymaptag", "packbits", "pairs.pgm", width, codec(COMPRESSION_PACKBITS)},
        {"anymaptag", "lzw", "noise.pgm", width, codec(COMPRESSION_LZW)},
        {"anymaptag", "zip", "noise.ppm", 3 * width, codec(COMPRESSION_ADOBE_DEFLATE)},
        {"anymaptag", "jpeg:100", "noise.pgm", width, codec(COMPRESSION_JPEG, 100)},
        {"anymaptag", "jpeg:r:100", "noise.ppm", 3 * width, codec(COMPRESSION_JPEG, 100)},
        {"anymaptag", "jpeg:10", "noise.ppm", 3 * width, codec(COMPRESSION_JPEG, 10)},
        {"anymaptag", "g3", "alternate.pbm", width / 8, codec(COMPRESSION_CCITTFAX3)},
        {"anymaptag", "g3:2d:fill", "noise.pbm", width / 8,
         codec(COMPRESSION_CCITTFAX3, 75, GROUP3OPT_2DENCODING)},
        {"anymaptag", "g4", "noise.pbm", width / 8, codec(COMPRESSION_CCITTFAX4)},
        {"halftone", "g3", "grey.tif", width / 8, codec(COMPRESSION_CCITTFAX3)},
        {"halftone", "g4", "grey.tif", width / 8, codec(COMPRESSION_CCITTFAX4)},
    };
    for (const auto& c : cases) {
        std::string what = std::string(c.program) + " -c " + c.scheme + " " + c.input;
        run_result r = run(c.program, {"-c", c.scheme, "-r", "8", c.input, "out.tif"});
        ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
        tiff_handle t = open_tiff(path("out.tif"));
        ASSERT_TRUE(t) << what;
        uint64_t bound = strip_bytes_bound(&c.settings, c.row_bytes, 8), largest = 0;
        for (uint32_t s = 0; s < TIFFNumberOfStrips(t.get()); s++)
            largest = std::max<uint64_t>(largest, TIFFGetStrileByteCount(t.get(), s));
        EXPECT_LE(largest, bound) << what << ": " << largest << " bytes for "
                                  << c.row_bytes * 8;
    }
}

// An output whose codec at its worst could pass 4 GiB is BigTIFF however
// little it ends up holding; one that cannot stays classic. No gigabyte
// is written: the headers claim what the data never gives, or the rows
// are white.
TEST_F(Outputs, BigTiffByWorstGrowth)
{
    const struct {
        const char* scheme;
        uint32_t width, height;
        bool big;
    } anymaps[] = {
        {"lzw", 60000, 54000, true},   // 3.24 GB, LZW up to 3/2 of it
        {"lzw", 40000, 54000, false},  // 2.16 GB
        {"none", 60000, 54000, false},
        {"packbits", 60000, 60000, true},  // 3.6 GB, PackBits up to 5/4
    };
    for (const auto& c : anymaps) {
        run_options two_rows;
        two_rows.input = "P5 " + std::to_string(c.width) + " " + std::to_string(c.height) +
                         " 255\n" + std::string(2 * (size_t)c.width, 'x');
        run_result r = run("anymaptag", {"-c", c.scheme, "out.tif"}, two_rows);
        EXPECT_EQ(r.status, 1) << r.err;
        tiff_handle t = open_tiff(path("out.tif"));
        ASSERT_TRUE(t) << c.scheme;
        EXPECT_EQ((bool)TIFFIsBigTIFF(t.get()), c.big) << c.scheme << " " << c.width;
    }

    // 120000 white rows of 65535 pixels in 15 KB of Group 4 data become
    // Group 3 rows that could take 36 KB each.
    std::string g4(120000 / 8, '\xff');
    g4 += std::string("\x00\x10\x01", 3);  // end of block: two line ends
    write_file(path("white.g4"), g4);
    run_result r = run("ccitttag", {"-4", "-M", "-X", "65535", "-o", "fax.tif", "white.g4"});
    EXPECT_EQ(r.status, 0) << r.err;
    tiff_image page;
    ASSERT_TRUE(read_tiff(path("fax.tif"), &page));
    EXPECT_EQ(page.height, 120000u);
    tiff_handle t = open_tiff(path("fax.tif"));
    EXPECT_TRUE(t && TIFFIsBigTIFF(t.get()));
}

// The programs that write to standard output refuse to append to one of
// their inputs (`program input >> input`): they would read what they
// write, some of them without end.
TEST_F(Outputs, StandardOutputNeverAppendedToAnInput)
{
    make_inputs(dir);
    const std::map<std::string, std::string> before = snapshot(dir);
    const struct {
        const char* program;
        std::vector<std::string> args;
        const char* appended_to;
    } cases[] = {
        {"noteinsert", {"-comment", "hi", "sample.jpg"}, "sample.jpg"},
        {"noteinsert", {"-cfile", "note.txt", "sample.jpg"}, "note.txt"},
        {"notelist", {"sample.jpg"}, "sample.jpg"},
        {"ccittpage", {"fax.tif"}, "fax.tif"},
        {"tagshow", {"-d", "rgb.tif", "fax.tif"}, "fax.tif"},
    };
    for (const auto& c : cases) {
        run_options options;
        options.append_output = path(c.appended_to);
        run_result r = run(c.program, c.args, options);
        EXPECT_EQ(r.status, 1) << c.program << "\n" << r.err;
        EXPECT_EQ(r.err, std::string(c.appended_to) + ": input file is output file\n")
            << c.program;
        EXPECT_TRUE(snapshot(dir) == before) << c.program << " changed an input";
    }
    // Standard input read from a file counts as well.
    run_options options;
    options.input_file = path("sample.jpg");
    options.append_output = path("sample.jpg");
    run_result r = run("notelist", {}, options);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(snapshot(dir) == before);
}

// A BigTIFF file whose data and directory lie past 4 GiB (a sparse file
// that takes no disk space): the directory written by libtiff after the
// file has been stretched to 5 GiB.
bool write_far_bigtiff(const std::string& file, const tiff_spec& spec, const bytes& pixels)
{
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || ftruncate(fd, (off_t)5 << 30) != 0)
        return false;
    TIFF* out = TIFFFdOpen(fd, file.c_str(), "w8");
    bool ok = out != nullptr && write_page(out, spec, pixels);
    if (out != nullptr)
        TIFFClose(out);
    else
        close(fd);
    return ok;
}

// Every program that reads TIFF takes a BigTIFF input exactly as a classic
// one: the same image in either kind of file gives the same output, byte
// for byte; so does a tiled one (edge tiles on both sides) for the
// converters whose output does not follow the input's layout. tagshow
// prints offsets past 4 GiB in full and takes them back with -o, and
// tagpoke edits such a file in place.
TEST_F(Outputs, BigTiffAndTiledInputsReadAsClassicStrips)
{
    tiff_spec rgb;
    rgb.width = 40, rgb.height = 30, rgb.samples_per_pixel = 3, rgb.photometric = PHOTOMETRIC_RGB;
    rgb.compression = COMPRESSION_LZW, rgb.rows_per_strip = 7;
    tiff_spec palette = rgb;
    palette.samples_per_pixel = 1, palette.photometric = PHOTOMETRIC_PALETTE;
    palette.extra = [](TIFF* t) {
        static uint16_t map[3][256];
        for (int i = 0; i < 256; i++)
            map[0][i] = (uint16_t)(i * 257), map[1][i] = (uint16_t)(65535 - i * 257),
            map[2][i] = (uint16_t)(i * 100);
        TIFFSetField(t, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
    };
    tiff_spec grey = palette;
    grey.photometric = PHOTOMETRIC_MINISBLACK, grey.extra = nullptr;
    tiff_spec planes = rgb;
    planes.planar = PLANARCONFIG_SEPARATE;
    tiff_spec fax = grey;
    fax.bits_per_sample = 1, fax.photometric = PHOTOMETRIC_MINISWHITE;
    fax.compression = COMPRESSION_CCITTFAX4;
    const struct {
        const char* program;
        std::vector<std::string> options;
        const tiff_spec* spec;
        bool output_file;
        bool tiles_too;
    } readers[] = {
        {"greytag", {}, &rgb, true, true},
        {"greytag", {}, &planes, true, true},
        {"greytag", {}, &palette, true, true},
        {"cmapexpand", {}, &palette, true, true},
        {"cmapexpand", {"-p", "separate"}, &palette, true, true},
        {"halftone", {}, &grey, true, true},
        {"chromatag", {}, &rgb, true, true},
        {"tagtruecolor", {}, &rgb, true, true},
        {"tagtruecolor", {"-b"}, &grey, true, false},
        {"ccittpage", {}, &fax, false, false},
        {"tagshow", {"-d"}, &grey, false, false},
    };
    for (const auto& reader : readers) {
        const tiff_spec& spec = *reader.spec;
        bytes pixels = pattern_bytes((size_t)spec.width * spec.height * spec.samples_per_pixel);
        if (spec.bits_per_sample == 1)
            pixels.resize((spec.width + 7) / 8 * spec.height);
        // The same name in each directory: some outputs quote it.
        const std::string kinds[3] = {path("classic"), path("big"), path("tiled")};
        for (const std::string& kind : kinds)
            mkdir(kind.c_str(), 0777);
        ASSERT_TRUE(write_tiff(kinds[0] + "/in.tif", spec, pixels));
        ASSERT_TRUE(write_far_bigtiff(kinds[1] + "/in.tif", spec, pixels));
        tiff_spec tiled = spec;
        tiled.tile_width = tiled.tile_height = 16;
        ASSERT_TRUE(write_tiff(kinds[2] + "/in.tif", tiled, pixels));
        std::string result[3];
        for (int big = 0; big < (reader.tiles_too ? 3 : 2); big++) {
            std::vector<std::string> args = reader.options;
            args.push_back("in.tif");
            if (reader.output_file)
                args.push_back("out.tif");
            run_options options;
            options.cwd = kinds[big];
            run_result r = run(reader.program, args, options);
            EXPECT_EQ(r.status, 0) << reader.program << " " << kinds[big] << "\n" << r.err;
            result[big] = reader.output_file ? read_file(kinds[big] + "/out.tif") : r.out;
        }
        if (std::string(reader.program) == "ccittpage") {
            // Only the creation date may differ.
            for (int i = 0; i < 2; i++) {
                size_t date = result[i].find("%%CreationDate");
                result[i].erase(date, result[i].find('\n', date) - date);
            }
        }
        if (std::string(reader.program) != "tagshow") {
            EXPECT_TRUE(result[0] == result[1]) << reader.program << " reads BigTIFF otherwise";
            if (reader.tiles_too) {
                EXPECT_TRUE(result[0] == result[2]) << reader.program << " reads tiles otherwise";
            }
        } else {
            EXPECT_EQ(result[0].substr(result[0].find("Image Width")),
                      result[1].substr(result[1].find("Image Width")));
        }
    }

    // The sparse file's directory lies past 4 GiB: printed in full, and
    // found again by its offset.
    run_result listing = run("tagshow", {"big/in.tif"});
    size_t at = listing.out.find("TIFF Directory at offset 0x");
    ASSERT_NE(at, std::string::npos) << listing.out;
    uint64_t offset = strtoull(listing.out.c_str() + at + 25, nullptr, 16);
    EXPECT_GT(offset, (uint64_t)5 << 30);
    run_result by_offset = run("tagshow", {"-o", std::to_string(offset), "big/in.tif"});
    EXPECT_EQ(by_offset.status, 0) << by_offset.err;
    EXPECT_EQ(by_offset.out, listing.out);

    run_result poked = run("tagpoke", {"-s", "ImageDescription", "far away", "big/in.tif"});
    EXPECT_EQ(poked.status, 0) << poked.err;
    tiff_handle t = open_tiff(path("big/in.tif"));
    char* text = nullptr;
    ASSERT_TRUE(t && TIFFIsBigTIFF(t.get()));
    EXPECT_TRUE(TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &text));
    EXPECT_STREQ(text, "far away");
}

// -c zip writes the Deflate identifier 32946 without libtiff's note that
// another is more widely supported: the identifier is the program's
// choice, not the user's. With one worker and with several.
TEST_F(Outputs, ZipOutputsLeaveStandardErrorEmpty)
{
    make_inputs(dir);
    const std::vector<std::string> runs[] = {
        {"anymaptag", "-c", "zip", "-r", "1", "sample.ppm", "out.tif"},
        {"greytag", "-c", "zip:2", "-r", "1", "rgb.tif", "out.tif"},
    };
    for (const std::vector<std::string>& args : runs) {
        for (const char* workers : {"1", "2", "8"}) {
            run_options options;
            options.env.push_back(std::string("TIFFSUITE_THREADS=") + workers);
            run_result r = run(args[0], {args.begin() + 1, args.end()}, options);
            EXPECT_EQ(r.status, 0) << args[0] << " with " << workers;
            EXPECT_EQ(r.err, "") << args[0] << " with " << workers;
            tiff_image image;
            ASSERT_TRUE(read_tiff(path("out.tif"), &image));
            EXPECT_EQ(image.compression, COMPRESSION_DEFLATE) << args[0];
        }
    }
}

}  // namespace
