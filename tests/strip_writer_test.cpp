// The strip writer: every converter writes the same file, byte for byte,
// whether its strips are encoded one at a time (TIFFSUITE_THREADS=1) or by
// two or eight workers, for each of its codecs, two strip heights, an
// input that makes it stop early and (for fax pages) one long enough to
// fill many batches; the workers really run; errors on the output cut the
// rows kept; and a pool that cannot have its memory leaves the strips to
// the program's thread.
#include "harness.h"
#include "rendering_inputs.h"
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
    {"cmapexpand", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c lzw:2", "-c zip", "-c jpeg", "-p separate -c lzw", "-p separate -c jpeg"},
     {"palette.tif", "broken-palette.tif"}},
    {"halftone", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c packbits", "-c zip", "-c g3", "-c g3:2d:fill", "-c g4"},
     {"grey.tif", "broken-grey.tif"}},
    {"chromatag", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c none", "-c packbits", "-c lzw", "-c zip", "-c jpeg"}, {"rgb.tif", "broken-rgb.tif"}},
    {"tagtruecolor", {"{c}", "-r", "{r}", "{in}", "out.tif"},
     {"-c packbits", "-c lzw", "-c zip", "-c jpeg", "-n -c jpeg", "-b -c lzw", "-b -n -c zip",
      "-b -c jpeg"},
     {"rgb.tif", "broken-rgb.tif"}},
    {"ccitttag", {"-M", "{c}", "-r", "{r}", "-o", "out.tif", "{in}"},
     {"-7", "-7 -6 -a", "-8", "-8 -m", "-z"}, {"fax-page.g3", "cut-fax.g3", "long-fax.g3"}},
};

void PrintTo(const threaded_case& c, std::ostream* os)
{
    *os << c.program;
}

class StripWriter : public ToolTest, public ::testing::WithParamInterface<threaded_case> {
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
    }

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
