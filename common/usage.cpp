#include "usage.h"
#include "standard_options.h"

#include <cstdio>
#include <cstdlib>

#include <tiffio.h>

// Writes libtiff's version string, a blank line and the help text to `out`.
static void write_usage(FILE* out)
{
    fprintf(out, "%s\n\n", TIFFGetVersion());
    for (int i = 0; help_lines[i] != nullptr; i++)
        fprintf(out, "%s\n", help_lines[i]);
}

void usage(int status)
{
    // A 512-byte block buffer, so the text goes out in a few writes and is
    // flushed at exit. (setbuf would take the buffer to be BUFSIZ long.)
    static char buf[512];
    setvbuf(stderr, buf, _IOFBF, sizeof buf);
    write_usage(stderr);
    exit(status);
}

void answer_help_and_version(int argc, char* argv[], const char* program, const char* optstring)
{
    answer_standard_option(getopt_standard_option(argc, argv, optstring), program, write_usage,
                           TIFFGetVersion());
}
