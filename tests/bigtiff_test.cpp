// Images past the 4 GiB that classic TIFF can address, streamed through the
// converters: they come out as BigTIFF, and read back whole. Several
// gigabytes pass through each program, so these tests run in the plain
// build only (the sanitizers make them take many minutes).
#include "harness.h"

#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

namespace {

// Where the big files go: memory-backed /dev/shm when it has room for
// them, else the test's scratch directory.
std::string big_file_dir(const std::string& scratch)
{
    struct statvfs fs;
    if (statvfs("/dev/shm", &fs) == 0 && (uint64_t)fs.f_bavail * fs.f_frsize > (14ull << 30))
        return "/dev/shm";
    return scratch;
}

// Pixel p of the pattern: three samples that differ from pixel to pixel.
void pattern_pixel(uint64_t p, uint8_t* rgb, int samples)
{
    rgb[0] = (uint8_t)p;
    if (samples == 3) {
        rgb[1] = (uint8_t)(p * 3);
        rgb[2] = (uint8_t)(p * 7 + 1);
    }
}

// Row `r` of the test image: pixel x is pattern pixel x + r % 256.
bytes image_row(uint32_t width, int samples, uint32_t r)
{
    bytes row((size_t)width * samples);
    for (uint32_t x = 0; x < width; x++)
        pattern_pixel((uint64_t)x + r % 256, &row[(size_t)x * samples], samples);
    return row;
}

// A PPM (3 samples) or PGM (1) of the pattern, made block by block as the
// program reads it: every row is a slice of one longer row.
run_options streamed_anymap(uint32_t width, uint32_t height, int samples)
{
    auto wide = std::make_shared<bytes>(image_row(width + 256, samples, 0));
    auto next_row = std::make_shared<uint32_t>(0);
    run_options options;
    options.input = (samples == 3 ? "P6 " : "P5 ") + std::to_string(width) + " " +
                    std::to_string(height) + " 255\n";
    options.input_stream = [=](std::string* block) {
        size_t row_bytes = (size_t)width * samples;
        for (int k = 0; k < 64 && *next_row < height; k++, ++*next_row) {
            const uint8_t* from = wide->data() + (size_t)(*next_row % 256) * samples;
            block->append((const char*)from, row_bytes);
        }
        return !block->empty();
    };
    options.timeout_seconds = 900;
    return options;
}

// Checks `file`: BigTIFF or not, its size, and its first and last rows
// against `expected_row` (which gives a row's bytes by its number).
void expect_image(const std::string& file, bool big, uint32_t width, uint32_t height,
                  const std::function<bytes(uint32_t)>& expected_row)
{
    tiff_handle t = open_tiff(file);
    ASSERT_TRUE(t) << file;
    EXPECT_EQ((bool)TIFFIsBigTIFF(t.get()), big) << file;
    uint32_t w = 0, h = 0;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    EXPECT_EQ(w, width);
    ASSERT_EQ(h, height);
    bytes row((size_t)TIFFScanlineSize(t.get()));
    for (uint32_t r : {0u, height - 1}) {
        ASSERT_EQ(TIFFReadScanline(t.get(), row.data(), r, 0), 1) << file << " row " << r;
        EXPECT_TRUE(row == expected_row(r)) << file << " row " << r;
    }
}

class BigTiff : public ToolTest {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "gigabytes through the sanitizers take too long";
#endif
        ToolTest::SetUp();
        big_dir = big_file_dir(dir);
        prefix = big_dir + "/bigtiff-" + std::to_string(getpid()) + "-";
    }
    // The big files are removed however the test ends.
    void TearDown() override
    {
        for (const char* name : {"rgb.tif", "grey.tif", "rgb24.tif", "below.tif"})
            if (!prefix.empty())
                unlink((prefix + name).c_str());
        ToolTest::TearDown();
    }
    std::string big_dir, prefix;
};

// The most memory any child of this process has taken so far, in MiB.
long children_peak_mib()
{
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss / 1024;
}

// 40000 x 36000 RGB: 4.32 GB of samples, more than classic TIFF can hold.
// anymaptag writes it as BigTIFF; tagtruecolor renders it, in bands, into
// BigTIFF RGB in a bounded amount of memory; greytag reads it and writes
// its grey image (1.44 GB) as classic TIFF.
TEST_F(BigTiff, PastFourGiBIsBigTiffAndReadsBack)
{
    const uint32_t width = 40000, height = 36000;
    run_result r = run("anymaptag", {"-c", "none", prefix + "rgb.tif"},
                       streamed_anymap(width, height, 3));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_image(prefix + "rgb.tif", true, width, height,
                 [&](uint32_t row) { return image_row(width, 3, row); });

    run_options slow;
    slow.timeout_seconds = 900;
    r = run("tagtruecolor", {"-n", "-c", "lzw", prefix + "rgb.tif", prefix + "rgb24.tif"}, slow);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(children_peak_mib(), 200);
    expect_image(prefix + "rgb24.tif", true, width, height,
                 [&](uint32_t row) { return image_row(width, 3, row); });
    unlink((prefix + "rgb24.tif").c_str());

    r = run("greytag", {prefix + "rgb.tif", prefix + "grey.tif"}, slow);
    ASSERT_EQ(r.status, 0) << r.err;
    unlink((prefix + "rgb.tif").c_str());
    expect_image(prefix + "grey.tif", false, width, height, [&](uint32_t row) {
        bytes rgb = image_row(width, 3, row), grey(width);
        for (uint32_t x = 0; x < width; x++)
            grey[x] = (uint8_t)((77 * rgb[3 * x] + 151 * rgb[3 * x + 1] + 29 * rgb[3 * x + 2]) >> 8);
        return grey;
    });
}

// An image just below the rule (its data, 1/64 more and the strip tables
// come within 16 MiB of 4 GiB only with a further row) stays classic TIFF,
// and its 4.21 GB fit.
TEST_F(BigTiff, JustBelowTheRuleStaysClassic)
{
    const uint32_t width = 65536, height = 64267;
    run_result r = run("anymaptag", {"-c", "none", prefix + "below.tif"},
                       streamed_anymap(width, height, 1));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_image(prefix + "below.tif", false, width, height,
                 [&](uint32_t row) { return image_row(width, 1, row); });
}

}  // namespace
