#include "harness.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// ---- Running a program -------------------------------------------------

static const char* const sanitizer_marks[] = {
    "AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:",
    "ThreadSanitizer",
};

static double seconds_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Feeds `input` to the child's standard input and collects its standard
// output and error until both close or the deadline passes. Returns false
// on timeout.
static bool exchange(int in_fd, int out_fd, int err_fd, const run_options& options,
                     run_result* result, double deadline)
{
    std::string block = options.input;
    size_t written = 0;
    // The next block of a streamed input, once the last one is written.
    auto refill = [&] {
        block.clear();
        written = 0;
        while (block.empty() && options.input_stream && options.input_stream(&block)) {
        }
        return !block.empty();
    };
    if (in_fd >= 0 && block.empty() && !refill()) {
        close(in_fd);
        in_fd = -1;
    }
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (in_fd >= 0)
            fds[n++] = {in_fd, POLLOUT, 0};
        if (out_fd >= 0)
            fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0)
            fds[n++] = {err_fd, POLLIN, 0};
        int wait_ms = (int)((deadline - seconds_now()) * 1000);
        if (wait_ms <= 0)
            return false;
        int ready = poll(fds, n, wait_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        for (int i = 0; i < n; i++) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == in_fd) {
                // The pipe does not block: the program's output is read
                // while it takes its input.
                ssize_t k = write(in_fd, block.data() + written, block.size() - written);
                if (k < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (k > 0)
                    written += (size_t)k;
                if (k < 0 || (written == block.size() && !refill())) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t k = read(fds[i].fd, buf, sizeof buf);
            std::string& sink = fds[i].fd == out_fd ? result->out : result->err;
            if (k > 0) {
                sink.append(buf, (size_t)k);
            } else {
                close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    return true;
}

run_result run_tool(const std::string& program, const std::vector<std::string>& args,
                    const run_options& options)
{
    run_result result;
    std::string exe = std::string(TOOLS_DIR) + "/" + program;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        if (options.closed_input || !options.input_file.empty()) {
            int fd = open(options.closed_input ? "/dev/null" : options.input_file.c_str(),
                          O_RDONLY);
            dup2(fd, 0);
        } else {
            dup2(in_pipe[0], 0);
        }
        if (!options.append_output.empty())
            dup2(open(options.append_output.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666), 1);
        else
            dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        for (const std::string& e : options.env)
            putenv(const_cast<char*>(e.c_str()));
        if (options.address_space > 0) {
            rlimit limit = {(rlim_t)options.address_space, (rlim_t)options.address_space};
            setrlimit(RLIMIT_AS, &limit);
        }
        signal(SIGPIPE, SIG_DFL);
        execv(exe.c_str(), argv.data());
        fprintf(stderr, "cannot run %s: %s\n", exe.c_str(), strerror(errno));
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int in_fd = in_pipe[1];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    if (options.closed_input || !options.input_file.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool finished = exchange(in_fd, out_pipe[0], err_pipe[0], options, &result,
                             seconds_now() + options.timeout_seconds);
    if (!finished) {
        kill(pid, SIGKILL);
        close(out_pipe[0]);
        close(err_pipe[0]);
        ADD_FAILURE() << program << " ran past " << options.timeout_seconds << " s";
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
        result.status = 128 + result.signal;
        if (finished)
            ADD_FAILURE() << program << " died by signal " << result.signal << "\n" << result.err;
    }
    for (const char* mark : sanitizer_marks) {
        if (result.err.find(mark) != std::string::npos) {
            ADD_FAILURE() << program << " tripped a sanitizer:\n" << result.err;
            break;
        }
    }
    return result;
}

bool only_warnings(const std::string& err)
{
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line))
        if (line.find(": Warning, ") == std::string::npos)
            return false;
    return true;
}

// ---- Files -------------------------------------------------------------

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream f(path, std::ios::binary);
    f.write(data.data(), (std::streamsize)data.size());
    if (!f)
        ADD_FAILURE() << "cannot write " << path;
}

void write_file(const std::string& path, const bytes& data)
{
    write_file(path, std::string(data.begin(), data.end()));
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void put_le16(bytes& b, unsigned v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}

void put_le32(bytes& b, uint32_t v)
{
    put_le16(b, v & 0xffff);
    put_le16(b, v >> 16);
}

void put_be16(bytes& b, unsigned v)
{
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)v);
}

void put_be32(bytes& b, uint32_t v)
{
    put_be16(b, v >> 16);
    put_be16(b, v & 0xffff);
}

void put_text(bytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
}

bytes pattern_bytes(size_t n, uint32_t seed)
{
    bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Mostly smooth ramps with some noise, so predictors and run-length
        // coders see both runs and changes.
        b[i] = (uint8_t)((i / 7) + ((x >> 24) & 0x0f));
    }
    return b;
}

static void remove_tree(const std::string& path)
{
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

void ToolTest::SetUp()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/suite-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir = buf.data();
    tiff_messages().clear();
}

void ToolTest::TearDown()
{
    if (!dir.empty() && !HasFailure())
        remove_tree(dir);
    else if (!dir.empty())
        fprintf(stderr, "scratch directory kept: %s\n", dir.c_str());
}

run_result ToolTest::run(const std::string& program, const std::vector<std::string>& args,
                         run_options options)
{
    if (options.cwd.empty())
        options.cwd = dir;
    return run_tool(program, args, options);
}

// ---- Reading TIFF files back ------------------------------------------

std::vector<std::string>& tiff_messages()
{
    static std::vector<std::string> messages;
    return messages;
}

static void record_message(const char* module, const char* fmt, va_list ap)
{
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
    tiff_messages().push_back(std::string(module ? module : "") + ": " + text);
}

// Installs the recording handlers before any test runs.
static const bool handlers_installed = [] {
    TIFFSetErrorHandler(record_message);
    TIFFSetWarningHandler(record_message);
    return true;
}();

tiff_handle open_tiff(const std::string& path, const char* mode)
{
    return tiff_handle(TIFFOpen(path.c_str(), mode));
}

int count_directories(const std::string& path)
{
    tiff_handle t = open_tiff(path);
    if (!t)
        return 0;
    int n = 1;
    while (TIFFReadDirectory(t.get()))
        n++;
    return n;
}

bool read_tiff(const std::string& path, tiff_image* image, int directory)
{
    tiff_handle t = open_tiff(path);
    if (!t) {
        ADD_FAILURE() << "cannot open " << path;
        return false;
    }
    TIFF* tif = t.get();
    if (!TIFFSetDirectory(tif, (tdir_t)directory)) {
        ADD_FAILURE() << path << " has no directory " << directory;
        return false;
    }
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image->width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image->height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image->bits_per_sample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image->samples_per_pixel);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &image->photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &image->compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &image->planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &image->orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &image->fill_order);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &image->rows_per_strip);
    image->tiled = TIFFIsTiled(tif) != 0;
    image->pixels.clear();
    if (image->tiled)
        return true;  // the test reads tiles itself
    if (image->compression == COMPRESSION_JPEG && image->photometric == PHOTOMETRIC_YCBCR)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    tmsize_t line = TIFFScanlineSize(tif);
    uint16_t planes = image->planar == PLANARCONFIG_SEPARATE ? image->samples_per_pixel : 1;
    image->pixels.resize((size_t)line * image->height * planes);
    for (uint16_t plane = 0; plane < planes; plane++) {
        for (uint32_t row = 0; row < image->height; row++) {
            uint8_t* dst = image->pixels.data() + ((size_t)plane * image->height + row) * line;
            if (TIFFReadScanline(tif, dst, row, plane) < 0) {
                ADD_FAILURE() << path << ": cannot read row " << row << " of plane " << plane;
                return false;
            }
        }
    }
    return true;
}

// ---- Building TIFF files ----------------------------------------------

bool write_page(TIFF* out, const tiff_spec& spec, const bytes& pixels)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, spec.width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, spec.height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, spec.bits_per_sample);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, spec.samples_per_pixel);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, spec.photometric);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, spec.planar);
    TIFFSetField(out, TIFFTAG_COMPRESSION, spec.compression);
    if (spec.extra)
        spec.extra(out);
    uint16_t planes = spec.planar == PLANARCONFIG_SEPARATE ? spec.samples_per_pixel : 1;
    uint32_t spp = planes == 1 ? spec.samples_per_pixel : 1;
    size_t line = ((size_t)spec.width * spp * spec.bits_per_sample + 7) / 8;
    if (pixels.size() < line * spec.height * planes) {
        ADD_FAILURE() << "write_page: " << pixels.size() << " bytes for "
                      << line * spec.height * planes;
        return false;
    }
    if (spec.tile_width != 0 && spec.tile_height != 0) {
        TIFFSetField(out, TIFFTAG_TILEWIDTH, spec.tile_width);
        TIFFSetField(out, TIFFTAG_TILELENGTH, spec.tile_height);
        tmsize_t tile_size = TIFFTileSize(out);
        bytes tile((size_t)tile_size);
        size_t tile_line = ((size_t)spec.tile_width * spp * spec.bits_per_sample + 7) / 8;
        for (uint16_t plane = 0; plane < planes; plane++)
            for (uint32_t y = 0; y < spec.height; y += spec.tile_height)
                for (uint32_t x = 0; x < spec.width; x += spec.tile_width) {
                    std::fill(tile.begin(), tile.end(), 0);
                    size_t x_byte = (size_t)x * spp * spec.bits_per_sample / 8;
                    for (uint32_t r = 0; r < spec.tile_height && y + r < spec.height; r++) {
                        size_t n = std::min(tile_line, line - x_byte);
                        const uint8_t* src =
                            pixels.data() + ((size_t)plane * spec.height + y + r) * line + x_byte;
                        std::copy(src, src + n, tile.begin() + (ptrdiff_t)(r * tile_line));
                    }
                    if (TIFFWriteTile(out, tile.data(), x, y, 0, plane) < 0)
                        return false;
                }
    } else {
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP,
                     spec.rows_per_strip ? spec.rows_per_strip : spec.height);
        for (uint16_t plane = 0; plane < planes; plane++)
            for (uint32_t row = 0; row < spec.height; row++) {
                bytes copy(pixels.begin() + (ptrdiff_t)(((size_t)plane * spec.height + row) * line),
                           pixels.begin() +
                               (ptrdiff_t)(((size_t)plane * spec.height + row + 1) * line));
                if (TIFFWriteScanline(out, copy.data(), row, plane) < 0)
                    return false;
            }
    }
    return TIFFWriteDirectory(out) != 0;
}

bool write_tiff(const std::string& path, const tiff_spec& spec, const bytes& pixels)
{
    tiff_handle out = open_tiff(path, "w");
    if (!out) {
        ADD_FAILURE() << "cannot create " << path;
        return false;
    }
    return write_page(out.get(), spec, pixels);
}
