// An image past the 4 GiB that classic TIFF can address, streamed through a
// converter: it comes out as BigTIFF, and reads back. Several gigabytes
// pass through the program, so the test runs in the plain build only (the
// sanitizers make it take many minutes); the choice of BigTIFF for every
// codec is tested on small images in outputs_test.
#include "harness.h"

#include <sys/resource.h>
#include <sys/stat.h>
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

// Row `r` of a noise image `width` bytes wide: a slice of a block of
// noise, which LZW (whose table holds a few kilobytes) cannot shrink.
const bytes& noise_block()
{
    static bytes block = [] {
        bytes b((1 << 20) + 65536);
        uint64_t x = 88172645463325252ull;
        for (uint8_t& v : b) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            v = (uint8_t)(x >> 32);
        }
        return b;
    }();
    return block;
}

bytes noise_row(uint32_t width, uint32_t r)
{
    const uint8_t* from = noise_block().data() + (uint64_t)r * 7919 % (1 << 20);
    return bytes(from, from + width);
}

// A PGM of the noise, made block by block as the program reads it.
run_options streamed_noise(uint32_t width, uint32_t height)
{
    auto next_row = std::make_shared<uint32_t>(0);
    run_options options;
    options.input = "P5 " + std::to_string(width) + " " + std::to_string(height) + " 255\n";
    options.input_stream = [=](std::string* block) {
        for (int k = 0; k < 64 && *next_row < height; k++, ++*next_row) {
            bytes row = noise_row(width, *next_row);
            block->append((const char*)row.data(), row.size());
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
        for (const char* name : {"noise.tif", "grey.tif", "rgb.tif"})
            if (!prefix.empty())
                unlink((prefix + name).c_str());
        ToolTest::TearDown();
    }
    std::string big_dir, prefix;
};

// 60000 x 54000 grey noise: 3.24 GB of samples that LZW makes into more
// than 4 GiB, written as BigTIFF from the start.
TEST_F(BigTiff, LzwNoisePastFourGiBIsBigTiff)
{
    const uint32_t width = 60000, height = 54000;
    run_result r = run("anymaptag", {"-c", "lzw", prefix + "noise.tif"},
                       streamed_noise(width, height));
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((prefix + "noise.tif").c_str(), &st), 0);
    EXPECT_GT((uint64_t)st.st_size, (uint64_t)4 << 30);
    expect_image(prefix + "noise.tif", true, width, height,
                 [&](uint32_t row) { return noise_row(width, row); });
}

// The most memory any child of this process has taken so far, in MiB.
long children_peak_mib()
{
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss / 1024;
}

// 40000 x 36000 grey, rendered whole by tagtruecolor into 4.32 GB of RGB
// (BigTIFF) a band at a time, in a bounded amount of memory: far less
// than the picture's 5.8 GB of RGBA pixels.
TEST_F(BigTiff, WholePictureRenderedInBands)
{
    const uint32_t width = 40000, height = 36000;
    run_result r =
        run("anymaptag", {"-c", "none", prefix + "grey.tif"}, streamed_noise(width, height));
    ASSERT_EQ(r.status, 0) << r.err;
    run_options slow;
    slow.timeout_seconds = 900;
    r = run("tagtruecolor", {"-n", "-c", "none", prefix + "grey.tif", prefix + "rgb.tif"}, slow);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(children_peak_mib(), 200);
    unlink((prefix + "grey.tif").c_str());
    expect_image(prefix + "rgb.tif", true, width, height, [&](uint32_t row) {
        bytes grey = noise_row(width, row), rgb;
        for (uint8_t v : grey)
            rgb.insert(rgb.end(), {v, v, v});
        return rgb;
    });
}

}  // namespace
