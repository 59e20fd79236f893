#include "usage.h"

#include <cstdio>
#include <cstdlib>

#include <tiffio.h>

void usage(int status)
{
    // A 512-byte block buffer, so the text goes out in a few writes and is
    // flushed at exit. (setbuf would take the buffer to be BUFSIZ long.)
    static char buf[512];
    setvbuf(stderr, buf, _IOFBF, sizeof buf);
    fprintf(stderr, "%s\n\n", TIFFGetVersion());
    for (int i = 0; help_lines[i] != nullptr; i++)
        fprintf(stderr, "%s\n", help_lines[i]);
    exit(status);
}
