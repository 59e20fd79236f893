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

#endif
