// noteinsert: copies a JPEG file to standard output with one comment (COM)
// segment inserted just before the first frame marker, optionally dropping
// the comments already there.
//
//   noteinsert [-replace] [-comment text | -cfile name] [inputfile]
//
// Only the header is walked: the segments before the frame marker are
// copied as they are (comments too, unless -replace), the new comment is
// written, and everything from the frame marker on is copied unparsed.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_identity.h"
#include "marker_scan.h"
#include "standard_options.h"

// The longest comment: its segment length (text + 2) must fit 16 bits.
static const size_t comment_limit = 65000;

// The buffer that holds a quoted or read comment, allocated on first use
// (file-scope, so that it stays reachable until the program ends).
static char* comment_buffer = nullptr;

// Returns comment_buffer, allocating its comment_limit bytes on first use;
// no memory is fatal ("Insufficient memory").
static char* comment_storage()
{
    if (comment_buffer == nullptr) {
        comment_buffer = (char*)malloc(comment_limit);
        if (comment_buffer == nullptr)
            fatal("Insufficient memory");
    }
    return comment_buffer;
}

// Writes the help text to `out`.
static void write_usage(FILE* out)
{
    fprintf(out, "noteinsert inserts a textual comment in a JPEG file.\n");
    fprintf(out, "You can add to or replace any existing comment(s).\n");
    fprintf(out, "Usage: %s [switches] ", program_label);
    fprintf(out, "[inputfile]\n");
    fprintf(out, "Switches (names may be abbreviated):\n");
    fprintf(out, "  -replace         Delete any existing comments\n");
    fprintf(out, "  -comment \"text\"  Insert comment with given text\n");
    fprintf(out, "  -cfile name      Read comment from named file\n");
    fprintf(out, "Notice that you must put quotes around the comment text\n");
    fprintf(out, "when you use -comment.\n");
    fprintf(out, "If you do not give either -comment or -cfile on the command line,\n");
    fprintf(out, "then the comment text is read from standard input.\n");
    fprintf(out, "It can be multiple lines, up to %u characters total.\n",
            (unsigned)comment_limit);
    fprintf(out, "You must specify an input JPEG file name when supplying\n");
    fprintf(out, "comment text from standard input.\n");
}

// Prints the help text on standard error and ends the program with 1.
[[noreturn]] static void usage()
{
    write_usage(stderr);
    exit(1);
}

// Refuses a comment longer than comment_limit: ends the program with 1
// before anything is written to standard output.
[[noreturn]] static void refuse_long_comment()
{
    fprintf(stderr, "Comment text may not exceed %u bytes\n", (unsigned)comment_limit);
    exit(1);
}

// A quoted -comment text: argv[*argn] begins with a double quote; the text
// runs on over the following arguments, joined by single spaces, up to the
// first one that ends the collected text with a double quote. Both quotes
// are dropped. Leaves *argn on the last argument used, stores the text in
// comment_buffer and returns it with its length.
// Fatal when no closing quote comes or the text is too long.
static char* collect_quoted(int argc, char* argv[], int* argn, size_t* length)
{
    // Each piece's text; the collected text ends with a quote exactly when
    // the piece just joined is not empty and ends with one.
    int first = *argn, last = first;
    size_t total = 0;
    for (;; last++) {
        if (last >= argc)
            fatal("Missing ending quote mark");
        const char* piece = last == first ? argv[last] + 1 : argv[last];
        size_t n = strlen(piece);
        total += n + (last == first ? 0 : 1);
        if (n > 0 && piece[n - 1] == '"')
            break;
    }
    total -= 1;  // the closing quote
    if (total > comment_limit)
        refuse_long_comment();

    char* text = comment_storage();
    size_t used = 0;
    for (int i = first; i <= last; i++) {
        const char* piece = i == first ? argv[i] + 1 : argv[i];
        size_t n = strlen(piece);
        if (i > first)
            text[used++] = ' ';
        if (i == last)
            n--;  // the closing quote
        memcpy(text + used, piece, n);
        used += n;
    }
    *argn = last;
    *length = used;
    return text;
}

// Reads the comment text from `source` (a file or standard input, `name`
// for messages) up to end of file into comment_buffer; returns it with
// its length. A text longer than comment_limit and
// a failed read are fatal.
static char* read_comment(FILE* source, const char* name, size_t* length)
{
    char* text = comment_storage();
    size_t n = fread(text, 1, comment_limit, source);
    if (n == comment_limit && getc(source) != EOF)
        refuse_long_comment();
    if (ferror(source)) {
        fprintf(stderr, "%s: can't read %s\n", program_label, name);
        exit(1);
    }
    *length = n;
    return text;
}

// Writes 0xFF and `code`.
static void write_marker(int code)
{
    putchar(0xFF);
    putchar(code);
}

// Copies the segment that starts at the current position: the length
// field first (written before it is checked; a length below 2 is fatal),
// then its contents.
static void copy_segment(FILE* in)
{
    unsigned length = take_word(in);
    putchar((int)(length >> 8));
    putchar((int)(length & 0xFF));
    if (length < 2)
        fatal("Erroneous JPEG marker length");
    for (length -= 2; length > 0; length--)
        putchar(take_byte(in));
}

// Copies the header from the start-of-image marker up to the first frame
// marker or end of image and returns that marker's code, not yet written.
// Comments are copied only when `keep_comments`; bytes skipped before a
// marker are not copied. A start of scan before any frame is fatal.
static int scan_to_frame(FILE* in, bool keep_comments)
{
    expect_soi(in);
    write_marker(M_SOI);
    for (;;) {
        int code = seek_marker(in);
        if (is_frame_marker(code) || code == M_EOI)
            return code;
        if (code == M_SOS)
            fatal("SOS without prior SOFn");
        if (code == M_COM && !keep_comments) {
            skip_segment(in);
        } else {
            write_marker(code);
            copy_segment(in);
        }
    }
}

// Writes the COM segment holding `text` (nothing when it is empty).
static void write_comment(const char* text, size_t length)
{
    if (length == 0)
        return;
    write_marker(M_COM);
    putchar((int)((length + 2) >> 8));
    putchar((int)((length + 2) & 0xFF));
    fwrite(text, 1, length, stdout);
}

// Copies the rest of `in` to standard output unchanged, in large blocks.
// A failed read is fatal.
static void copy_rest(FILE* in)
{
    static unsigned char block[256 * 1024];
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0)
        if (fwrite(block, 1, n, stdout) != n)
            break;
    if (ferror(in))
        fatal("Error reading JPEG file");
}

int main(int argc, char* argv[])
{
    set_program_label(argc, argv, "noteinsert");

    bool keep_comments = true;
    const char* comment = nullptr;  // from -comment
    size_t comment_length = 0;
    FILE* comment_file = nullptr;   // from -cfile
    const char* comment_file_name = nullptr;
    int argn = 1;
    for (; argn < argc && argv[argn][0] == '-'; argn++) {
        const char* sw = argv[argn] + 1;
        if (match_switch(sw, "replace", 1)) {
            keep_comments = false;
        } else if (match_switch(sw, "cfile", 2)) {
            if (++argn >= argc)
                usage();
            if (comment_file != nullptr)
                fclose(comment_file);
            comment_file_name = argv[argn];
            comment_file = fopen(comment_file_name, "r");
            if (comment_file == nullptr) {
                fprintf(stderr, "%s: can't open %s\n", program_label, comment_file_name);
                exit(1);
            }
        } else if (match_switch(sw, "comment", 1)) {
            if (++argn >= argc)
                usage();
            if (argv[argn][0] == '"') {
                comment = collect_quoted(argc, argv, &argn, &comment_length);
            } else {
                comment = argv[argn];
                comment_length = strlen(comment);
                if (comment_length > comment_limit)
                    refuse_long_comment();
            }
        } else {
            answer_standard_option(argv[argn], "noteinsert", write_usage, nullptr);
            usage();
        }
    }
    if (comment != nullptr && comment_file != nullptr)
        usage();
    // A comment from standard input needs the JPEG input from a file.
    if (comment == nullptr && comment_file == nullptr && argn >= argc)
        usage();

    FILE* in = stdin;
    if (argn < argc) {
        in = fopen(argv[argn], "rb");
        if (in == nullptr) {
            fprintf(stderr, "%s: can't open %s\n", program_label, argv[argn]);
            exit(1);
        }
        if (argn < argc - 1) {
            fprintf(stderr, "%s: only one input file\n", program_label);
            usage();
        }
    }

    // Every byte goes to standard output: appended to one of the inputs,
    // the copy would read what it writes, without end.
    if (in != stdin)
        note_input(argv[argn]);
    if (comment_file != nullptr)
        note_input(comment_file_name);
    if (in == stdin || (comment == nullptr && comment_file == nullptr))
        note_input_descriptor(fileno(stdin), "standard input");
    if (standard_output_is_input())
        exit(1);

    if (comment == nullptr) {
        if (comment_file != nullptr) {
            comment = read_comment(comment_file, comment_file_name, &comment_length);
            fclose(comment_file);
        } else {
            comment = read_comment(stdin, "standard input", &comment_length);
        }
    }

    int code = scan_to_frame(in, keep_comments);
    write_comment(comment, comment_length);
    write_marker(code);
    copy_rest(in);
    finish_output();
    if (in != stdin)
        fclose(in);
    free(comment_buffer);
    return 0;
}
