// notelist: prints the comments of a JPEG file, control characters made
// visible, and with -verbose the size and coding process of each frame
// and the text of APP12 segments.
//
//   notelist [-verbose] [inputfile]
//
// Only the header is read: the walk stops at the start of scan or at the
// end of image, so nothing after the first scan is ever examined.

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "file_identity.h"
#include "marker_scan.h"
#include "standard_options.h"

// Writes the help text to `out`.
static void write_usage(FILE* out)
{
    fprintf(out, "notelist displays any textual comments in a JPEG file.\n");
    fprintf(out, "Usage: %s [switches] [inputfile]\n", program_label);
    fprintf(out, "Switches (names may be abbreviated):\n");
    fprintf(out, "  -verbose    Also display dimensions of JPEG image\n");
}

// Prints the help text on standard error and ends the program with 1.
[[noreturn]] static void usage()
{
    write_usage(stderr);
    exit(1);
}

// The name of the coding process that frame marker `code` announces.
static const char* process_name(int code)
{
    switch (code) {
    case 0xC0: return "Baseline";
    case 0xC1: return "Extended sequential";
    case 0xC2: return "Progressive";
    case 0xC3: return "Lossless";
    case 0xC5: return "Differential sequential";
    case 0xC6: return "Differential progressive";
    case 0xC7: return "Differential lossless";
    case 0xC9: return "Extended sequential, arithmetic coding";
    case 0xCA: return "Progressive, arithmetic coding";
    case 0xCB: return "Lossless, arithmetic coding";
    case 0xCD: return "Differential sequential, arithmetic coding";
    case 0xCE: return "Differential progressive, arithmetic coding";
    case 0xCF: return "Differential lossless, arithmetic coding";
    default: return "Unknown";
    }
}

// Prints the segment that starts at the current position (its length
// field comes first) as one line of text: CR, LF and CR LF each become a
// line end, a backslash is doubled, other bytes outside printable ASCII
// are shown as a backslash and three octal digits.
static void print_comment(FILE* in)
{
    unsigned length = take_word(in);
    if (length < 2)
        fatal("Erroneous JPEG marker length");
    int previous = EOF;
    for (length -= 2; length > 0; length--) {
        int c = take_byte(in);
        if (c == '\r')
            putchar('\n');
        else if (c == '\n') {
            if (previous != '\r')
                putchar('\n');
        } else if (c == '\\')
            fputs("\\\\", stdout);
        else if (isprint(c))
            putchar(c);
        else
            printf("\\%03o", (unsigned)c);
        previous = c;
    }
    putchar('\n');
}

// Prints the image size and coding process from the frame header that
// starts at the current position, then checks its length against the
// component count (fatal "Bogus SOF marker length") and skips the
// component descriptions.
static void print_frame(FILE* in, int code)
{
    unsigned length = take_word(in);
    unsigned precision = (unsigned)take_byte(in);
    unsigned height = take_word(in);
    unsigned width = take_word(in);
    unsigned components = (unsigned)take_byte(in);
    printf("JPEG image is %uw * %uh, %u color components, %u bits per sample\n",
           width, height, components, precision);
    printf("JPEG process: %s\n", process_name(code));
    if (length != 8 + components * 3)
        fatal("Bogus SOF marker length");
    for (unsigned i = 0; i < components * 3; i++)
        take_byte(in);
}

// Walks the header from the start-of-image marker to the first start of
// scan or the end of image, printing comments (and with `verbosity`
// frames and APP12 segments) in the order they come.
static void list_markers(FILE* in, int verbosity)
{
    expect_soi(in);
    for (;;) {
        int code = seek_marker(in);
        if (code == M_SOS || code == M_EOI)
            return;
        if (is_frame_marker(code)) {
            if (verbosity > 0)
                print_frame(in, code);
            else
                skip_segment(in);
        } else if (code == M_COM) {
            print_comment(in);
        } else if (code == M_APP12 && verbosity > 0) {
            printf("APP12 contains:\n");
            print_comment(in);
        } else {
            skip_segment(in);
        }
    }
}

int main(int argc, char* argv[])
{
    set_program_label(argc, argv, "notelist");

    int verbosity = 0;
    int argn = 1;
    for (; argn < argc && argv[argn][0] == '-'; argn++) {
        if (match_switch(argv[argn] + 1, "verbose", 1)) {
            verbosity++;
        } else {
            answer_standard_option(argv[argn], "notelist", write_usage, nullptr);
            usage();
        }
    }
    if (argn < argc - 1) {
        fprintf(stderr, "%s: only one input file\n", program_label);
        usage();
    }

    FILE* in = stdin;
    if (argn < argc) {
        in = fopen(argv[argn], "rb");
        if (in == nullptr) {
            fprintf(stderr, "%s: can't open %s\n", program_label, argv[argn]);
            exit(1);
        }
    }
    if (in != stdin)
        note_input(argv[argn]);
    else
        note_input_descriptor(fileno(stdin), "standard input");
    if (standard_output_is_input())
        exit(1);
    list_markers(in, verbosity);
    finish_output();
    if (in != stdin)
        fclose(in);
    return 0;
}
