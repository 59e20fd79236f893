// The marker scanner shared by noteinsert and notelist.
#include "marker_scan.h"

#include <cctype>
#include <cstdlib>

const char* program_label = "";

void set_program_label(int argc, char* argv[], const char* fallback)
{
    program_label = fallback;
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0')
        program_label = argv[0];
}

void fatal(const char* message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}

bool is_frame_marker(int code)
{
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

int take_byte(FILE* in)
{
    int c = getc(in);
    if (c == EOF)
        fatal("Premature EOF in JPEG file");
    return c;
}

unsigned take_word(FILE* in)
{
    unsigned high = (unsigned)take_byte(in);
    return high << 8 | (unsigned)take_byte(in);
}

int seek_marker(FILE* in)
{
    bool discarded = false;
    int c = take_byte(in);
    while (c != 0xFF) {
        discarded = true;
        c = take_byte(in);
    }
    do
        c = take_byte(in);
    while (c == 0xFF);
    if (discarded)
        fprintf(stderr, "Warning: garbage data found in JPEG file\n");
    return c;
}

void expect_soi(FILE* in)
{
    int first = getc(in);
    int second = getc(in);
    if (first != 0xFF || second != M_SOI)
        fatal("Not a JPEG file");
}

void skip_segment(FILE* in)
{
    unsigned length = take_word(in);
    if (length < 2)
        fatal("Erroneous JPEG marker length");
    for (length -= 2; length > 0; length--)
        take_byte(in);
}

bool match_switch(const char* text, const char* keyword, int min_chars)
{
    int compared = 0;
    for (; *text != '\0'; text++, keyword++, compared++) {
        if (*keyword == '\0')
            return false;
        int c = (unsigned char)*text;
        if (isupper(c))
            c = tolower(c);
        if (c != (unsigned char)*keyword)
            return false;
    }
    return compared >= min_chars;
}

void finish_output()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        fatal("Error writing standard output");
}
