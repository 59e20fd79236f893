#include "file_identity.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// One noted file: its identity and the name to report it by.
struct noted_file {
    dev_t device;
    ino_t inode;
    const char* label;
};

// The inputs and outputs noted so far.
static std::vector<noted_file> inputs;
static std::vector<noted_file> outputs;

static bool same_file(const struct stat* st, const noted_file* f)
{
    return st->st_dev == f->device && st->st_ino == f->inode;
}

// The file of `list` that `st` is, or nullptr.
static const noted_file* find(const std::vector<noted_file>& list, const struct stat* st)
{
    for (const noted_file& f : list)
        if (same_file(st, &f))
            return &f;
    return nullptr;
}

static void remember(std::vector<noted_file>* list, const struct stat* st, const char* label)
{
    if (find(*list, st) == nullptr)
        list->push_back({st->st_dev, st->st_ino, label});
}

void note_input(const char* name)
{
    struct stat st;
    if (stat(name, &st) == 0)
        remember(&inputs, &st, name);
}

void note_input_descriptor(int fd, const char* label)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        remember(&inputs, &st, label);
}

bool output_is_input(const char* name)
{
    struct stat st;
    if (stat(name, &st) != 0 || find(inputs, &st) == nullptr)
        return false;
    fprintf(stderr, "%s: Output file is an input of this run; not written.\n", name);
    return true;
}

bool standard_output_is_input()
{
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const noted_file* input = find(inputs, &st);
    if (input == nullptr)
        return false;
    fprintf(stderr, "%s: input file is output file\n", input->label);
    return true;
}

void note_output_descriptor(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        remember(&outputs, &st, "");
}

bool is_output_of_this_run(const char* name)
{
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return find(outputs, &st) != nullptr;
}
