// The usage routine shared by the TIFF programs.
#ifndef COMMON_USAGE_H
#define COMMON_USAGE_H

// The running program's help text: a null-terminated array of lines, each
// printed with a line end after it. Every program that links the usage
// routine defines it.
extern const char* const help_lines[];

// Prints libtiff's version string, a blank line and the help text on
// standard error, then ends the program with `status`.
[[noreturn]] void usage(int status);

// For a program whose getopt reads `optstring`: answers a --help or
// --version among its options (standard_options.h) with the text usage
// prints, or with a version line naming `program` and libtiff's version,
// and ends the program. Returns when there is neither.
void answer_help_and_version(int argc, char* argv[], const char* program,
                             const char* optstring);

#endif
