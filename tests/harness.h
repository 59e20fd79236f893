// Test harness: runs the suite's programs as a user would and reads what
// they write back through libtiff.
#ifndef TESTS_HARNESS_H
#define TESTS_HARNESS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tiffio.h>

// ---- Running a program -------------------------------------------------

struct run_options {
    std::string input;              // bytes fed to standard input
    // After `input`, further bytes: called for each next block until it
    // returns false (an input far larger than memory, made as it goes).
    std::function<bool(std::string* block)> input_stream;
    bool closed_input = false;      // standard input is /dev/null instead
    std::string input_file;         // standard input read from this file instead
    std::string append_output;      // standard output appended to this file instead
    std::string cwd;                // working directory ("" = the test's own)
    std::vector<std::string> env;   // extra NAME=value settings
    int timeout_seconds = 60;       // a program still running then is killed
    uint64_t address_space = 0;     // the most memory the program may map (0: no limit)
};

struct run_result {
    int status = -1;  // exit status 0..255, or 128 + signal number
    int signal = 0;   // the signal that ended the program, 0 if it exited
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the built program `program` with `args`. A program that dies by a
// signal, trips a sanitizer or runs past its timeout fails the current
// test; the result is returned either way.
run_result run_tool(const std::string& program, const std::vector<std::string>& args,
                    const run_options& options = run_options());

// True when every line of `err` is a libtiff warning (or there is none):
// what a successful run may leave on standard error.
bool only_warnings(const std::string& err);

// The status a POSIX shell sees for a program that ends with `status`
// (exit(-1) is seen as 255).
inline int shell_status(int status) { return status & 0xff; }

// ---- Files -------------------------------------------------------------

using bytes = std::vector<uint8_t>;

void write_file(const std::string& path, const std::string& data);
void write_file(const std::string& path, const bytes& data);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Little- and big-endian byte builders for foreign file formats.
void put_le16(bytes& b, unsigned v);
void put_le32(bytes& b, uint32_t v);
void put_be16(bytes& b, unsigned v);
void put_be32(bytes& b, uint32_t v);
void put_text(bytes& b, const std::string& s);

// A deterministic pseudo-random byte pattern (photo-like enough to make
// every codec work, and the same on every run).
bytes pattern_bytes(size_t n, uint32_t seed = 1);

// Each test runs in a fresh scratch directory of its own.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // Runs `program` with the scratch directory as working directory.
    run_result run(const std::string& program, const std::vector<std::string>& args,
                   run_options options = run_options());
    std::string dir;
};

// ---- Reading TIFF files back ------------------------------------------

// libtiff's error and warning messages from the test process itself,
// collected since the last clear (tests read files back without noise
// and can check that a file reads cleanly).
std::vector<std::string>& tiff_messages();

struct tiff_image {
    uint32_t width = 0, height = 0;
    uint16_t bits_per_sample = 1, samples_per_pixel = 1;
    uint16_t photometric = 0xffff, compression = 1, planar = 1, orientation = 1;
    uint16_t fill_order = 1;
    uint32_t rows_per_strip = 0;
    bool tiled = false;
    // The decoded rows, scan line after scan line (all of plane 0 first,
    // then plane 1, ... for separate planes). JPEG YCbCr comes back as RGB.
    bytes pixels;
};

// Reads directory `directory` of `path` with its fields and all its
// decoded rows. Returns false (and records why in a test failure) when
// the file or any row cannot be read.
bool read_tiff(const std::string& path, tiff_image* image, int directory = 0);

// The number of directories in `path` (0 when it does not open).
int count_directories(const std::string& path);

// Opens `path` for reading; the handle closes itself.
struct tiff_closer {
    void operator()(TIFF* t) const { if (t) TIFFClose(t); }
};
using tiff_handle = std::unique_ptr<TIFF, tiff_closer>;
tiff_handle open_tiff(const std::string& path, const char* mode = "r");

// ---- Building TIFF files ----------------------------------------------

struct tiff_spec {
    uint32_t width = 1, height = 1;
    uint16_t bits_per_sample = 8, samples_per_pixel = 1;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t compression = COMPRESSION_NONE;
    uint32_t rows_per_strip = 0;            // 0: the whole image in one strip
    uint32_t tile_width = 0, tile_height = 0;  // both set: a tiled image
    std::function<void(TIFF*)> extra;      // sets further fields
};

// Writes one directory with `pixels` laid out as tiff_image::pixels is
// (scan lines, plane after plane for separate planes). Returns false on a
// libtiff failure.
bool write_page(TIFF* out, const tiff_spec& spec, const bytes& pixels);

// Writes a single-directory file.
bool write_tiff(const std::string& path, const tiff_spec& spec, const bytes& pixels);

#endif
