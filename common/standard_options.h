// --help and --version, answered alike by every program before it reads
// its arguments for itself. Needs only the C runtime: the JPEG tools,
// which do not link libtiff, share it.
#ifndef COMMON_STANDARD_OPTIONS_H
#define COMMON_STANDARD_OPTIONS_H

#include <cstdio>

// Writes a program's usage text to `out`: the text its usage routine
// prints on standard error.
typedef void (*usage_text_writer)(FILE* out);

// When `word` is "--help" or "--version", answers it on standard output
// and ends the program with status 0 (1 when standard output cannot be
// written): --help with the text of `write_usage`, --version with the line
// "<program> (tiffsuite) <version>", followed by the first line of
// `library_version` in parentheses when that is not null. Returns for any
// other word, and for a null one.
void answer_standard_option(const char* word, const char* program,
                            usage_text_writer write_usage, const char* library_version);

// The first "--help" or "--version" among argv[1..argc-1] that getopt,
// reading `optstring`, would meet as an option: not the argument of an
// option, not after "--", and not after the first operand when
// POSIXLY_CORRECT is set. Null when there is none.
const char* getopt_standard_option(int argc, char* const argv[], const char* optstring);

#endif
