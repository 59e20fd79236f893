// Which files a run reads and which it made, told apart by identity (device
// and inode), not by name: a symbolic link, a hard link, "./name" and any
// other spelling of a file are the same file.
//
// A program notes every file it will read before it creates, truncates or
// opens any output for writing, and refuses an output that is one of them,
// so that no output is ever written over an input of the same run. Needs
// only the C library and POSIX (the JPEG tools use it too).
#ifndef COMMON_FILE_IDENTITY_H
#define COMMON_FILE_IDENTITY_H

// Notes the file `name` as an input of this run. A name that does not
// exist yet is noted by name (as given, and resolved through its directory
// and any links), so that no output of the run can be made under it and
// then read back.
void note_input(const char* name);

// Notes what descriptor `fd` reads from as an input named `label` (standard
// input: 0, "<stdin>"), when it is a regular file: the only kind of input
// an output can be written over.
void note_input_descriptor(int fd, const char* label);

// True, after reporting "<name>: Output file is an input of this run; not
// written." on standard error, when `name` is an existing file noted as an
// input, or the name of an input that did not exist. The caller then ends
// as for an output that cannot be opened.
bool output_is_input(const char* name);

// The same for output `name` already open on descriptor `fd`: true (after
// the same report) when the file the descriptor holds is an input.
bool descriptor_is_input(int fd, const char* name);

// True, after reporting "<input>: input file is output file" on standard
// error, when standard output is a regular file noted as an input (as with
// `program input >> input`). Nothing may be written then.
bool standard_output_is_input();

// Notes the file open on descriptor `fd` as an output this run created or
// truncated.
void note_output_descriptor(int fd);

// True when `name` is, at this moment, a regular file this run noted as
// its output, reached by that name or through links.
bool is_output_of_this_run(const char* name);

// True when `name` itself, not a link to it, is a regular file this run
// noted as its output: the only kind of file a program may remove.
bool is_output_named(const char* name);

#endif
