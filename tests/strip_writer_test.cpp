// The strip writer and the strip reader: every converter writes the same
// file, byte for byte, with the same messages and status, whether its
// strips are read and encoded one at a time (TIFFSUITE_THREADS=1) or by
// two or eight workers, for each of its codecs, two strip heights,
// compressed inputs in strips, planes and tiles, inputs that make it stop
// early (a strip past the end of the file, or one whose data goes bad
// halfway) and (for fax pages) one long enough to fill many batches; the
// reader gives the rows, messages and failures that scan line reads give;
// the workers really run; errors on the output cut the rows kept; and a
// pool that cannot have its memory leaves the strips to the program's
// thread.
#include "harness.h"
#include "rendering_inputs.h"
#include "strip_reader.h"
#include "strip_writer.h"
#include "tiff_bytes.h"
#include "tiff_output.h"

#include <dirent.h>

namespace {

// One converter's runs: its arguments, where "{c}" stands for the words of
// each codec, "{r}" for each strip height and "{in}" for each input (an
// input named "|name" goes to standard input instead).
struct threaded_case {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> codecs;
    std::vector<std::string> inputs;
};

const threaded_case cases[] = {
    {"anymaptag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c none", "-c packbits", "-c lzw", "-c lzw:2", "-c zip", "-c zip:2", "-c jpeg",
      "-c jpeg:r:50"},
     {"sample.ppm", "|cut.ppm"}},
    {"anymaptag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c g3", "-c g3:2d:fill", "-c g4"}, {"bilevel.pbm", "|cut.pbm"}},
    {"dibtag", {"{c}", "-r", "{r}", "sample.bmp", "{in}", "out.tif"},
     {"-c none", "-c packbits", "-c lzw:2", "-c zip", "-c jpeg"}, {"sample-rle8.bmp"}},
    {"suntag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c packbits", "-c lzw:2", "-c zip", "-c jpeg", "-c jpeg:r"}, {"sample.ras"}},
    {"suntag", {"{c}", "-r", "{r}", "{in}", "out.tif"}, {"-c lzw", "-c zip:2"},
     {"sample-map.ras", "cut-map.ras"}},
    {"lzwtag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c none", "-c packbits", "-c lzw", "-c lzw:2", "-c zip:2"}, {"sample.gif", "cut.gif"}},
    {"greytag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c packbits", "-c lzw", "-c zip:2", "-c jpeg"}, {"rgb.tif", "broken-rgb.tif"}},
    {"greytag", {"{c}", "-r", "{r}", "{in}", "out.tif"}, {"-c lzw", "-c jpeg"},
     {"rgb-lzw.tif", "planes-zip.tif", "tiles-lzw.tif", "garbled-rgb.tif", "garbled-planes.tif"}},
    {"cmapexpand", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c lzw:2", "-c zip", "-c jpeg", "-p separate -c lzw", "-p separate -c jpeg"},
     {"palette.tif", "broken-palette.tif"}},
    {"cmapexpand", {"{c}", "-r", "{r}", "{in}", "out.tif"}, {"-c lzw", "-p separate -c zip"},
     {"palette-lzw.tif", "palette-tiles.tif", "garbled-palette.tif"}},
    {"halftone", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c packbits", "-c zip", "-c g3", "-c g3:2d:fill", "-c g4"},
     {"grey.tif", "broken-grey.tif"}},
    {"halftone", {"{c}", "-r", "{r}", "{in}", "out.tif"}, {"-c zip", "-c g4"},
     {"grey-lzw.tif", "grey-tiles.tif", "garbled-grey.tif"}},
    {"chromatag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c none", "-c packbits", "-c lzw", "-c zip", "-c jpeg"}, {"rgb.tif", "broken-rgb.tif"}},
    {"chromatag", {"{c}", "-r", "{r}", "{in}", "out.tif"}, {"-c lzw", "-c jpeg"},
     {"rgb-lzw.tif", "tiles-lzw.tif", "garbled-rgb.tif", "turned.tif"}},
    {"tagtruecolor", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c packbits", "-c lzw", "-c zip", "-c jpeg", "-n -c jpeg", "-b -c lzw", "-b -n -c zip",
      "-b -c jpeg"},
     {"rgb.tif", "broken-rgb.tif"}},
    {"tagtruecolor", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c lzw", "-n -c zip", "-b -c lzw", "-b -n -c zip"},
     {"rgb-lzw.tif", "tiles-lzw.tif", "garbled-rgb.tif", "turned.tif"}},
    {"ccitttag", {"-M", "{c}", "-r", "{r}", "-o", "out.tif", "{in}"},
     {"-7", "-7 -6 -a", "-8", "-8 -m", "-z"}, {"fax-page.g3", "cut-fax.g3", "long-fax.g3"}},
};

void PrintTo(const threaded_case& c, std::ostream* os)
{
    *os << c.program;
}

class ThreadedInputs : public ToolTest {
protected:
    // Makes every input of the table in the scratch directory: the sample
    // images, generated TIFF files in strips of 8 rows, and early-stopping
    // copies (cut short, or with strip 6 pointing past the end).
    void make_inputs()
    {
        for (const char* name : {"sample.ppm", "sample.bmp", "sample-rle8.bmp", "sample.ras",
                                 "sample-map.ras", "sample.gif", "fax-page.g3"})
            write_file(path(name), read_file(std::string(SOURCE_DIR) + "/examples/" + name));
        bytes pbm;
        put_text(pbm, "P4\n240 160\n");
        bytes bits = pattern_bytes(30 * 160, 7);
        pbm.insert(pbm.end(), bits.begin(), bits.end());
        write_file(path("bilevel.pbm"), pbm);
        const char* cuts[][2] = {{"sample.ppm", "cut.ppm"}, {"bilevel.pbm", "cut.pbm"},
                                 {"sample-map.ras", "cut-map.ras"}, {"sample.gif", "cut.gif"},
                                 {"fax-page.g3", "cut-fax.g3"}};
        for (const auto& cut : cuts) {
            std::string data = read_file(path(cut[0]));
            write_file(path(cut[1]), data.substr(0, data.size() * 2 / 3));
        }
        std::string page = read_file(path("fax-page.g3")), pages;
        for (int i = 0; i < 40; i++)
            pages += page;
        write_file(path("long-fax.g3"), pages);
        ASSERT_TRUE(write_pages(path("rgb.tif"), {in_strips(rgb_page(150, 100), 8)}));
        ASSERT_TRUE(write_pages(path("grey.tif"), {in_strips(grey_page(150, 100), 8)}));
        ASSERT_TRUE(write_pages(path("palette.tif"), {in_strips(palette_page(150, 100), 8)}));
        for (const char* name : {"rgb", "grey", "palette"}) {
            std::string broken = path(std::string("broken-") + name + ".tif");
            write_file(broken, read_file(path(std::string(name) + ".tif")));
            ASSERT_TRUE(break_strip(broken, 6));
        }
        // Compressed: in strips, separate planes and tiles (edge tiles on
        // both sides); garbled halfway through a strip the workers decode;
        // turned a quarter (shown 100 wide, 150 high).
        auto compressed = [](rendered_page p, uint16_t compression) {
            p.spec.compression = compression;
            return p;
        };
        const uint16_t lzw = COMPRESSION_LZW, zip = COMPRESSION_ADOBE_DEFLATE;
        rendered_page turned = compressed(in_strips(rgb_page(150, 100, 9), 8), lzw);
        turned.spec.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_ORIENTATION, 6); };
        const std::pair<const char*, rendered_page> compressed_pages[] = {
            {"rgb-lzw.tif", compressed(in_strips(rgb_page(150, 100, 2), 8), lzw)},
            {"planes-zip.tif",
             compressed(in_strips(rgb_page(150, 100, 3, PLANARCONFIG_SEPARATE), 8), zip)},
            {"tiles-lzw.tif", compressed(in_tiles(rgb_page(150, 100, 4), 32, 16), lzw)},
            {"grey-lzw.tif", compressed(in_strips(grey_page(150, 100, 5), 8), lzw)},
            {"grey-tiles.tif", compressed(in_tiles(grey_page(150, 100, 6), 48, 32), zip)},
            {"palette-lzw.tif", compressed(in_strips(palette_page(150, 100, 7), 8), lzw)},
            {"palette-tiles.tif", compressed(in_tiles(palette_page(150, 100, 8), 64, 16), lzw)},
            {"turned.tif", turned},
        };
        for (const auto& p : compressed_pages)
            ASSERT_TRUE(write_pages(path(p.first), {p.second}));
        const char* garbled[][3] = {{"rgb-lzw.tif", "garbled-rgb.tif", "6"},
                                    {"planes-zip.tif", "garbled-planes.tif", "19"},
                                    {"grey-lzw.tif", "garbled-grey.tif", "6"},
                                    {"palette-lzw.tif", "garbled-palette.tif", "6"}};
        for (const auto& g : garbled) {
            write_file(path(g[1]), read_file(path(g[0])));
            ASSERT_TRUE(garble_strip(path(g[1]), (uint32_t)atoi(g[2])));
        }
    }

};

class StripWriter : public ThreadedInputs, public ::testing::WithParamInterface<threaded_case> {
protected:
    // Runs `args` with `threads` workers; returns the output file's bytes.
    std::string output_with(const char* threads, const std::vector<std::string>& args,
                            const std::string& input, run_result* r)
    {
        unlink(path("out.tif").c_str());
        run_options options;
        options.env = {std::string("TIFFSUITE_THREADS=") + threads};
        if (input.empty())
            options.closed_input = true;
        else
            options.input = read_file(path(input));
        *r = run(GetParam().program, args, options);
        return file_exists(path("out.tif")) ? read_file(path("out.tif")) : "";
    }
};

// The arguments of one run: the case's, with the codec's words, the strip
// height and the input in place.
std::vector<std::string> arguments(const threaded_case& c, const std::string& codec,
                                   const std::string& rows, const std::string& input)
{
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
        if (a == "{c}") {
            std::istringstream words(codec);
            for (std::string w; words >> w;)
                args.push_back(w);
        } else if (a == "{r}") {
            args.push_back(rows);
        } else if (a != "{in}") {
            args.push_back(a);
        } else if (input[0] != '|') {
            args.push_back(input);
        }
    }
    return args;
}

TEST_P(StripWriter, WorkersWriteTheFileOneWrites)
{
    make_inputs();
    const threaded_case& c = GetParam();
    for (const std::string& input : c.inputs)
        for (const std::string& codec : c.codecs)
            for (const char* rows : {"3", "16"}) {
                std::vector<std::string> args = arguments(c, codec, rows, input);
                std::string fed = input[0] == '|' ? input.substr(1) : "";
                std::string what = c.program + " " + codec + " -r " + rows + " " + input;
                run_result one;
                std::string sequential = output_with("1", args, fed, &one);
                EXPECT_NE(sequential, "") << what << ": no output\n" << one.err;
                for (const char* workers : {"2", "8"}) {
                    run_result many;
                    std::string threaded = output_with(workers, args, fed, &many);
                    EXPECT_TRUE(sequential == threaded) << what << ": the files differ, " << workers;
                    EXPECT_EQ(one.status, many.status) << what << ", " << workers;
                    EXPECT_EQ(one.err, many.err) << what << ", " << workers;
                }
            }
}

std::string case_name(const ::testing::TestParamInfo<threaded_case>& info)
{
    return info.param.program + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Converters, StripWriter, ::testing::ValuesIn(cases), case_name);

// The threads of this process.
int thread_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr)
        closedir(d);
    return n - 2;  // "." and ".."
}

// Opens `name` (BigTIFF for a `bytes_bound` past 4 GiB) for 400 rows of
// 64 grey pixels, LZW-coded in strips of 2 rows.
TIFF* open_grey_output(const std::string& name, uint64_t bytes_bound)
{
    TIFF* out = open_tiff_output(name.c_str(), "w", bytes_bound);
    if (out != nullptr) {
        TIFFSetField(out, TIFFTAG_IMAGEWIDTH, 64);
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, 400);
        TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, 2);
    }
    return out;
}

// Writes 400 rows of 64 grey pixels, LZW-coded in strips of 2 rows, to a
// new BigTIFF file through the strip writer with `threads` workers.
// Returns the threads that ran while strips were in flight less those
// left once the writer was closed.
int write_with_workers(const std::string& name, const char* threads, const bytes& rows)
{
    setenv("TIFFSUITE_THREADS", threads, 1);
    TIFF* out = open_grey_output(name, UINT64_MAX);
    EXPECT_NE(out, nullptr);
    if (out == nullptr)
        return -1;
    strip_writer* w = open_strip_writer(out);
    int during = 0;
    for (uint32_t row = 0; row < 400; row++) {
        EXPECT_EQ(write_strip_row(w, rows.data() + row * 64, row, 0), 1);
        if (row == 100)
            during = thread_count();
    }
    uint32_t rows_kept = 400;
    EXPECT_EQ(close_strip_writer(w, &rows_kept), 1);
    EXPECT_EQ(rows_kept, 400u);
    int after = thread_count();
    EXPECT_EQ(close_tiff_output(out), 1);
    unsetenv("TIFFSUITE_THREADS");
    return during - after;
}

// Asked for four workers, the writer runs them once the first strip is
// written and ends them when it is closed; the BigTIFF file is the one a
// single worker writes, and its rows read back.
TEST_F(ToolTest, StripWriterRunsItsWorkers)
{
    bytes rows = pattern_bytes(64 * 400);
    EXPECT_EQ(write_with_workers(path("one.tif"), "1", rows), 0);
    EXPECT_EQ(write_with_workers(path("four.tif"), "4", rows), 4);
    std::string one = read_file(path("one.tif"));
    EXPECT_EQ(one.substr(0, 4), std::string("II+\0", 4));
    EXPECT_TRUE(one == read_file(path("four.tif")));
    tiff_image back;
    ASSERT_TRUE(read_tiff(path("four.tif"), &back));
    EXPECT_TRUE(back.pixels == rows);
}

// A libtiff error raised on the output while rows go in (as a codec whose
// flush failed raises it, and goes on) fails the writer: the rows kept
// stop at the strips that reached the file before it, and closing the
// output fails; the rows kept read back.
TEST_F(ToolTest, ErrorsOnTheOutputCutTheRowsKept)
{
    bytes rows = pattern_bytes(64 * 400);
    for (const char* threads : {"1", "4"}) {
        setenv("TIFFSUITE_THREADS", threads, 1);
        TIFF* out = open_grey_output(path("out.tif"), 0);
        ASSERT_NE(out, nullptr);
        strip_writer* w = open_strip_writer(out);
        for (uint32_t row = 0; row < 400; row++) {
            if (row == 101)
                TIFFErrorExtR(out, "test", "a write was lost");
            write_strip_row(w, rows.data() + row * 64, row, 0);
        }
        uint32_t kept = 400;
        EXPECT_EQ(close_strip_writer(w, &kept), 0);
        EXPECT_LE(kept, 100u) << threads;
        if (std::string(threads) == "1") {
            EXPECT_EQ(kept, 100u);
        }
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, kept);
        EXPECT_EQ(close_tiff_output(out), 0);
        unsetenv("TIFFSUITE_THREADS");
        tiff_image back;
        ASSERT_TRUE(read_tiff(path("out.tif"), &back));
        EXPECT_EQ(back.height, kept);
        EXPECT_TRUE(back.pixels == bytes(rows.begin(), rows.begin() + 64 * kept)) << threads;
    }
}

// Under a small limit on memory the workers' batches may not all be had:
// the strips are then encoded in the program's thread, or the run fails
// with a message; never a crash, and what is written is the file one
// worker writes.
TEST_F(ToolTest, WorkersWithoutMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers map more memory than the limits allow";
#endif
    bytes ppm;
    put_text(ppm, "P6\n2000 1000\n255\n");
    bytes noise = pattern_bytes(2000 * 1000 * 3, 5);
    ppm.insert(ppm.end(), noise.begin(), noise.end());
    write_file(path("noise.ppm"), ppm);
    const std::vector<std::string> args = {"-c", "lzw", "-r", "280", "noise.ppm", "out.tif"};
    run_options one_worker;
    one_worker.env = {"TIFFSUITE_THREADS=1"};
    ASSERT_EQ(run("anymaptag", args, one_worker).status, 0);
    std::string expected = read_file(path("out.tif"));
    int whole = 0;
    for (uint64_t megabytes = 16; megabytes <= 160; megabytes += 8) {
        unlink(path("out.tif").c_str());
        run_options limited;
        limited.env = {"TIFFSUITE_THREADS=2"};
        limited.address_space = megabytes << 20;
        run_result r = run("anymaptag", args, limited);
        if (r.status == 0) {
            whole++;
            EXPECT_TRUE(read_file(path("out.tif")) == expected) << megabytes << " MiB";
        } else {
            EXPECT_NE(r.err, "") << megabytes << " MiB";
        }
    }
    EXPECT_GT(whole, 0);
}

}  // namespace

namespace {

// What the strip reader gives for the first directory of `file` with
// `threads` workers: each row (a row of each plane in turn) until one
// fails, and libtiff's messages. *during is the number of threads running
// while the rows are read.
struct rows_read {
    std::vector<bytes> rows;
    std::vector<std::string> messages;
};

rows_read read_rows(const std::string& file, uint16_t planes, const char* threads, int* during)
{
    rows_read got;
    setenv("TIFFSUITE_THREADS", threads, 1);
    tiff_handle t = open_tiff(file, "rm");
    tiff_messages().clear();
    strip_reader* r = open_strip_reader(t.get(), "rm", planes, 0);
    EXPECT_NE(r, nullptr) << file;
    uint32_t length = 0;
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &length);
    size_t line = (size_t)TIFFScanlineSize(t.get());
    *during = 0;
    for (uint32_t row = 0; r != nullptr && row < length && got.rows.size() == row * planes; row++) {
        for (uint16_t s = 0; s < planes; s++) {
            const unsigned char* p = read_strip_row(r, row, s);
            if (p == nullptr)
                break;
            got.rows.emplace_back(p, p + line);
        }
        if (row == 1)
            *during = thread_count();
    }
    close_strip_reader(r);
    got.messages = tiff_messages();
    unsetenv("TIFFSUITE_THREADS");
    return got;
}

// The reader gives, with four workers, the rows, messages and failure it
// gives with one, which reads every row with TIFFReadScanline (or puts it
// together from the tiles): for strips, planes and tiles, and for a strip
// whose data goes bad halfway, in flight while its rows are asked for.
TEST_F(ThreadedInputs, StripReaderGivesTheRowsScanLinesGive)
{
    make_inputs();
    const struct {
        const char* file;
        uint16_t planes;
        size_t good_rows;  // rows (of all planes) before the failure
    } cases[] = {
        {"rgb-lzw.tif", 1, 100},     {"planes-zip.tif", 3, 300},  {"tiles-lzw.tif", 1, 100},
        {"grey-tiles.tif", 1, 100},  {"garbled-rgb.tif", 1, 50},  {"garbled-planes.tif", 3, 0},
        {"garbled-grey.tif", 1, 0},
    };
    for (const auto& c : cases) {
        int one_during, four_during;
        rows_read one = read_rows(path(c.file), c.planes, "1", &one_during);
        rows_read four = read_rows(path(c.file), c.planes, "4", &four_during);
        EXPECT_TRUE(one.rows == four.rows) << c.file;
        EXPECT_EQ(one.messages, four.messages) << c.file;
        EXPECT_GE(four_during - one_during, 3) << c.file;
        if (c.good_rows > 0)
            EXPECT_EQ(one.rows.size(), c.good_rows) << c.file;
        else
            EXPECT_NE(one.messages, std::vector<std::string>()) << c.file;
    }
}

}  // namespace
