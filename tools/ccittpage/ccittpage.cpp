// ccittpage: prints CCITT-coded bilevel TIFF pages as a PostScript
// document.
//
//   ccittpage [options] [input.tif ...]
//
// No page bitmap is ever built: libtiff's fax decoder hands each decoded
// row, as a list of run lengths, to encode_row_runs, which prints it at
// once as a string of glyphs from a bitmap font defined in the document's
// prolog (long runs as bars of power-of-two widths, short ones six pixels
// to a glyph).

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include <tiffio.h>

#include "file_identity.h"
#include "tiff_input.h"
#include "usage.h"

const char* const help_lines[] = {
    "usage: ccittpage [options] [input.tif ...]",
    "where options are:",
    " -w            show warning messages",
    " -l chars      set maximum output line length for generated PostScript",
    " -p page#      select page to print (can use multiple times)",
    " -x xres       set default horizontal resolution of input data (dpi)",
    " -y yres       set default vertical resolution of input data (lpi)",
    " -S            scale output to page size",
    " -W width      set output page width (inches), default is the first page's",
    " -H height     set output page height (inches), default is the first page's",
    nullptr,
};

// ---- Settings and run state --------------------------------------------

static int glyphs_per_line = 512;
static uint16_t* requested_pages;
static size_t requested_count;
static float fallback_xres = 204.0f;
static float fallback_yres = 98.0f;
static float paper_width = 0;   // inches; 0 until given or fixed by a page
static float paper_height = 0;
static bool fit_page = false;
static bool keep_warnings = false;

static unsigned page_total;      // pages written so far
static unsigned long row_index;  // the row about to be printed on this page
static bool failed;              // something asked for could not be printed

// ---- Run encoding ------------------------------------------------------

// The glyphs of long runs, largest first: white and black glyph, length.
struct long_run_glyph {
    char white, black;
    uint32_t length;
};
static const long_run_glyph long_run_glyphs[] = {
    {'d', 'n', 512}, {'e', 'o', 256}, {'f', 'p', 128}, {'g', 'q', 64}, {'h', 'r', 32},
    {'i', 's', 16},  {'j', 't', 8},   {'k', 'u', 4},   {'l', 'v', 2},  {'m', 'w', 1},
};

// The 64 cell glyphs: character k draws the 6-pixel pattern k, bit 5 the
// leftmost pixel, a set bit black. These are the codes 32 to 99 without
// the four that PostScript strings would need escaped: % ( ) and \.
static const char cell_alphabet[] =
    " !\"#$&'*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abc";

// Glyph characters still allowed on the current output line.
static int64_t line_budget;

// Prints one glyph character, breaking the line first when it is full.
static void emit_glyph(char c)
{
    if (line_budget == 0) {
        putchar_unlocked('\n');
        line_budget = glyphs_per_line;
    }
    putchar_unlocked(c);
    line_budget--;
}

// The run list of one row as the encoder walks it: the next run to take,
// the end of the list, and the pixels taken so far.
struct run_cursor {
    uint32_t* next;
    uint32_t* end;
    uint32_t row_width;
    uint64_t x;
};

// Takes the next run, cut to the end of the row (the cut length is stored
// back into the decoder's run list). Returns its length.
static uint32_t take_run(run_cursor* cursor)
{
    uint32_t* run = cursor->next++;
    if (cursor->x + *run > cursor->row_width)
        *run = (uint32_t)(cursor->row_width - cursor->x);
    cursor->x += *run;
    return *run;
}

// Prints one decoded row, given as alternating white and black runs
// (white first), as a PostScript line that shows it at its row position
// with the page's bitmap font. Installed as the fax decoder's fill
// routine; writes nothing into `buffer`. A final white run is not drawn.
static void encode_row_runs(unsigned char* /*buffer*/, uint32_t* runs, uint32_t* runs_end,
                            uint32_t row_width)
{
    printf("%lu m(", row_index);
    row_index++;
    run_cursor cursor = {runs, runs_end, row_width, 0};
    bool black = true;  // the first run taken switches to white
    uint32_t remaining = 0;
    line_budget = glyphs_per_line;
    // Goes on while runs are left, or pixels of a black run taken inside
    // the last cell, so that a row ending in black is drawn to its end.
    while (cursor.next < cursor.end || (black && remaining > 0)) {
        if (remaining == 0) {
            black = !black;
            remaining = take_run(&cursor);
            if (!black && cursor.next == cursor.end)
                break;
        }
        // Long part: the largest glyphs that fit, until 6 pixels or fewer
        // are left.
        for (size_t slot = 0; remaining > 6; ) {
            while (long_run_glyphs[slot].length > remaining)
                slot++;
            emit_glyph(black ? long_run_glyphs[slot].black : long_run_glyphs[slot].white);
            remaining -= long_run_glyphs[slot].length;
        }
        // Cells: six pixels each, filled from this run and the next ones.
        while (remaining >= 1 && remaining <= 6) {
            unsigned free_pixels = 6, pattern = 0;
            while (free_pixels > 0) {
                if (remaining > free_pixels) {
                    if (black)
                        pattern |= (1u << free_pixels) - 1;
                    remaining -= free_pixels;
                    free_pixels = 0;
                } else {
                    if (black)
                        pattern |= ((1u << remaining) - 1) << (free_pixels - remaining);
                    free_pixels -= remaining;
                    remaining = 0;
                    if (free_pixels > 0) {
                        if (cursor.next == cursor.end)
                            break;  // the rest of the cell is white
                        black = !black;
                        remaining = take_run(&cursor);
                    }
                }
            }
            emit_glyph(cell_alphabet[pattern]);
        }
    }
    fputs(")s\n", stdout);
}

// ---- The document ------------------------------------------------------

// The font prolog: a Type 3 bitmap font whose glyphs are the cells, the
// white advances and the black bars of encode_row_runs.
static const char* const font_lines[] = {
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
};

// A length in points, truncated to a whole number as the bounding box
// gives it (0 below 0, the largest unsigned value above it).
static unsigned bounding_points(float inches)
{
    double points = (double)inches * 72;
    if (!(points >= 0))
        return 0;
    if (points >= 4294967295.0)
        return 4294967295u;
    return (unsigned)points;
}

// The size in inches of `pixels` at `resolution`, kept finite.
static float size_inches(uint32_t pixels, float resolution)
{
    float inches = (float)pixels / resolution;
    return std::isfinite(inches) ? inches : 3.4e38f;
}

// Prints the document header and the prolog that come before every page.
static void print_header()
{
    time_t now = time(nullptr);
    const char* when = ctime(&now);
    printf("%%!PS-Adobe-3.0\n");
    printf("%%%%Creator: ccittpage\n");
    printf("%%%%CreationDate: %s", when ? when : "\n");
    printf("%%%%Origin: 0 0\n");
    printf("%%%%BoundingBox: 0 0 %u %u\n", bounding_points(paper_width),
           bounding_points(paper_height));
    printf("%%%%Pages: (atend)\n");
    printf("%%%%EndComments\n");
    printf("%%%%BeginProlog\n");
    for (const char* line : font_lines)
        printf("%s\n", line);
    printf("/d{bind def}def\n");
    printf("/m{0 exch moveto}d\n");
    printf("/s{show}d\n");
    printf("/p{showpage}d \n");
    printf("%%%%EndProlog\n");
}

// Reads a resolution field; a missing, zero, negative or unusable value
// is replaced by `fallback` with a warning.
static float page_resolution(TIFF* tif, ttag_t tag, float fallback, const char* warning)
{
    float resolution = 0;
    if (!TIFFGetField(tif, tag, &resolution) || !(resolution > 0) ||
        !std::isfinite(resolution)) {
        TIFFWarning(TIFFFileName(tif), warning, (double)fallback);
        resolution = fallback;
    }
    return resolution;
}

typedef void (*fax_fill_routine)(unsigned char* buffer, uint32_t* runs, uint32_t* runs_end,
                                 uint32_t row_width);

// Prints the current directory as page `page_number`, if it is CCITT
// coded; any other page is skipped, with a line that names it (`label`
// names the file).
static void write_page(TIFF* tif, uint16_t page_number, const char* label)
{
    uint32_t h = 0, w = 0;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_CCITTRLE && compression != COMPRESSION_CCITTFAX3 &&
        compression != COMPRESSION_CCITTFAX4) {
        fprintf(stderr, "%s: Page %u is not CCITT fax coded (compression %u), skipped.\n",
                label, (unsigned)page_number, (unsigned)compression);
        return;
    }
    float xres = page_resolution(tif, TIFFTAG_XRESOLUTION, fallback_xres,
                                 "No x-resolution, assuming %g dpi");
    float yres = page_resolution(tif, TIFFTAG_YRESOLUTION, fallback_yres,
                                 "No y-resolution, assuming %g lpi");
    uint16_t unit = 0;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_CENTIMETER) {
        xres *= 2.54f;
        yres *= 2.54f;
    }
    // The decoder calls the fill routine for every row with the strip
    // buffer; nothing is drawn into it, but it must be there. An image
    // of no pixels has nothing to decode.
    tmsize_t strip_size = w != 0 && h != 0 ? TIFFStripSize(tif) : 0;
    void* scratch = strip_size > 0 ? _TIFFmalloc(strip_size) : nullptr;
    if (scratch == nullptr && strip_size > 0) {
        TIFFError(TIFFFileName(tif), "Not enough memory for page %u", (unsigned)page_number);
        failed = true;
        return;
    }
    if (paper_width == 0)
        paper_width = size_inches(w, xres);
    if (paper_height == 0)
        paper_height = size_inches(h, yres);
    float scale = 1.0f;
    if (fit_page) {
        float image_width = size_inches(w, xres), image_height = size_inches(h, yres);
        if (image_width > 0)
            scale = paper_width / image_width;
        if (image_height > 0 && (image_width == 0 || paper_height / image_height < scale))
            scale = paper_height / image_height;
    }

    print_header();
    printf("%%%%Page: \"%u\" %u\n", (unsigned)page_number, (unsigned)page_number);
    printf("/$pageTop save def gsave\n");
    double ws = w * (double)scale / xres, hs = h * (double)scale / yres;
    printf("%g %g translate\n", (paper_width - ws) * 72 * 0.5,
           (hs + (paper_height - hs) * 0.5) * 72);
    printf("%g %g scale\n", 72 / (double)xres * scale, -72 / (double)yres * scale);
    printf("0 setgray\n");

    TIFFSetField(tif, TIFFTAG_FAXFILLFUNC, (fax_fill_routine)encode_row_runs);
    row_index = 0;
    for (uint32_t strip = 0; scratch != nullptr && strip < TIFFNumberOfStrips(tif); strip++)
        TIFFReadEncodedStrip(tif, strip, scratch, (tsize_t)-1);
    _TIFFfree(scratch);
    printf("p\n");
    printf("grestore $pageTop restore\n");
    page_total++;
}

// Makes the directory that carries page `number` current. Without page
// numbers in the file, page N is its N-th directory counted from 1;
// otherwise the search goes forward from the current directory.
static bool seek_page(TIFF* tif, uint16_t number)
{
    uint16_t page = 0xffff, pages = 0xffff;
    if (!TIFFGetField(tif, TIFFTAG_PAGENUMBER, &page, &pages))
        return TIFFSetDirectory(tif, (uint16_t)(number - 1)) != 0;
    while (page != number) {
        if (!TIFFReadDirectory(tif) || !TIFFGetField(tif, TIFFTAG_PAGENUMBER, &page, &pages))
            break;
    }
    return page == number;
}

// Prints the requested pages of an open file, or all of its directories
// when none were requested. `label` names the file in messages.
static void write_file_pages(TIFF* tif, const char* label)
{
    if (requested_count == 0) {
        uint16_t page = 0;
        do
            write_page(tif, page++, label);
        while (TIFFReadDirectory(tif));
        return;
    }
    uint16_t first = 0, count = 0;
    if (!TIFFGetField(tif, TIFFTAG_PAGENUMBER, &first, &count))
        fprintf(stderr, "%s: No page numbers, counting directories.\n", label);
    for (size_t i = 0; i < requested_count; i++) {
        if (seek_page(tif, requested_pages[i])) {
            write_page(tif, requested_pages[i], label);
        } else {
            fprintf(stderr, "%s: No page number %d\n", label, (int)requested_pages[i]);
            failed = true;
        }
    }
}

// Copies standard input into a temporary file, which libtiff can seek in,
// and prints its pages. Ends the program with -2 when no temporary file
// can be had.
static void write_standard_input_pages()
{
    FILE* spool = tmpfile();
    if (spool == nullptr) {
        fprintf(stderr, "Could not create temporary file, exiting.\n");
        exit(-2);
    }
    int fd = fileno(spool);
    char block[16384];
    ssize_t n;
    bool copied = true;
    while ((n = read(STDIN_FILENO, block, sizeof block)) > 0) {
        for (ssize_t done = 0; done < n; ) {
            ssize_t k = write(fd, block + done, (size_t)(n - done));
            if (k <= 0) {
                copied = false;
                break;
            }
            done += k;
        }
        if (!copied)
            break;
    }
    lseek(fd, 0, SEEK_SET);
    // libtiff closes the descriptor it is given; it gets a copy, so that
    // the temporary file is closed once, by fclose.
    int tiff_fd = copied ? dup(fd) : -1;
    TIFF* tif = tiff_fd >= 0 ? open_tiff_input_fd(tiff_fd, "temp", "rm") : nullptr;
    if (tif != nullptr) {
        write_file_pages(tif, "<stdin>");
        TIFFClose(tif);
    } else {
        fprintf(stderr, "Can not open, or not a TIFF file.\n");
        failed = true;
    }
    fclose(spool);
}

// Orders two requested page numbers for qsort.
static int compare_pages(const void* a, const void* b)
{
    return (int)*(const uint16_t*)a - (int)*(const uint16_t*)b;
}

// Reads a -x or -y resolution: a positive, finite number, else the usage
// text.
static float parse_resolution(const char* arg)
{
    float value = (float)atof(arg);
    if (!(value > 0) || !std::isfinite(value))
        usage(-1);
    return value;
}

// Reads a -W or -H size in inches: 0 (the page's own size) or more.
static float parse_paper_size(const char* arg)
{
    float value = (float)atof(arg);
    if (!(value >= 0) || !std::isfinite(value))
        usage(-1);
    return value;
}

int main(int argc, char* argv[])
{
    const char optstring[] = "l:p:x:y:W:H:wS";
    answer_help_and_version(argc, argv, "ccittpage", optstring);
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'l':
            glyphs_per_line = atoi(optarg);
            break;
        case 'p': {
            uint16_t* grown = (uint16_t*)realloc(requested_pages,
                                                 (requested_count + 1) * sizeof(uint16_t));
            if (grown == nullptr) {
                fprintf(stderr, "%s: Not enough memory\n", argv[0]);
                exit(-1);
            }
            requested_pages = grown;
            requested_pages[requested_count++] = (uint16_t)atoi(optarg);
            break;
        }
        case 'x': fallback_xres = parse_resolution(optarg); break;
        case 'y': fallback_yres = parse_resolution(optarg); break;
        case 'W': paper_width = parse_paper_size(optarg); break;
        case 'H': paper_height = parse_paper_size(optarg); break;
        case 'w': keep_warnings = true; break;
        case 'S': fit_page = true; break;
        default: usage(-1);
        }
    }
    if (requested_count > 0)
        qsort(requested_pages, requested_count, sizeof(uint16_t), compare_pages);
    if (!keep_warnings)
        TIFFSetWarningHandler(nullptr);
    for (int i = optind; i < argc; i++)
        note_input(argv[i]);
    if (optind == argc)
        note_input_descriptor(STDIN_FILENO, "<stdin>");
    if (standard_output_is_input())
        return 1;
    static char out_buffer[1 << 16];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    if (optind < argc) {
        for (int i = optind; i < argc; i++) {
            TIFF* tif = open_tiff_input(argv[i], "rm");
            if (tif == nullptr) {
                fprintf(stderr, "%s: Can not open, or not a TIFF file.\n", argv[i]);
                failed = true;
                continue;
            }
            write_file_pages(tif, argv[i]);
            TIFFClose(tif);
        }
    } else {
        write_standard_input_pages();
    }
    printf("%%%%Trailer\n");
    printf("%%%%Pages: %u\n", page_total);
    printf("%%%%EOF\n");
    free(requested_pages);
    if (fflush(stdout) != 0 || page_total == 0)
        failed = true;
    return failed ? 1 : 0;
}
