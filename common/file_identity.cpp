#include "file_identity.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// One noted file: its identity and the name to report it by.
struct noted_file {
    dev_t device;
    ino_t inode;
    const char* label;
};

// The inputs and outputs noted so far, and the inputs that did not exist
// (as given and as resolved).
static std::vector<noted_file> inputs;
static std::vector<noted_file> outputs;
static std::vector<std::string> missing_inputs;

static bool same_file(const struct stat* st, const noted_file* f)
{
    return st->st_dev == f->device && st->st_ino == f->inode;
}

// The file of `list` that `st` is, or nullptr.
static noted_file* find(std::vector<noted_file>& list, const struct stat* st)
{
    for (noted_file& f : list)
        if (same_file(st, &f))
            return &f;
    return nullptr;
}

static void remember(std::vector<noted_file>* list, const struct stat* st, const char* label)
{
    if (find(*list, st) == nullptr)
        list->push_back({st->st_dev, st->st_ino, label});
}

// Where `name`, which need not exist, leads: its links followed (a few
// levels), then its directory made absolute. The name as it is when the
// directory cannot be resolved.
static std::string resolved_name(const char* name)
{
    std::string path = name;
    for (int depth = 0; depth < 16; depth++) {
        struct stat st;
        char target[PATH_MAX];
        ssize_t n;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
            (n = readlink(path.c_str(), target, sizeof target - 1)) <= 0)
            break;
        target[n] = '\0';
        size_t slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos
                   ? std::string(target)
                   : path.substr(0, slash + 1) + target;
    }
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char* absolute = realpath(directory.c_str(), nullptr);
    if (absolute == nullptr)
        return path;
    std::string resolved = std::string(absolute) + "/" + base;
    free(absolute);
    return resolved;
}

void note_input(const char* name)
{
    struct stat st;
    if (stat(name, &st) == 0) {
        remember(&inputs, &st, name);
        return;
    }
    missing_inputs.push_back(name);
    missing_inputs.push_back(resolved_name(name));
}

void note_input_descriptor(int fd, const char* label)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        remember(&inputs, &st, label);
}

static void report_output_is_input(const char* name)
{
    fprintf(stderr, "%s: Output file is an input of this run; not written.\n", name);
}

bool output_is_input(const char* name)
{
    struct stat st;
    bool clash = stat(name, &st) == 0 && find(inputs, &st) != nullptr;
    if (!clash && !missing_inputs.empty()) {
        std::string resolved = resolved_name(name);
        for (const std::string& missing : missing_inputs)
            clash = clash || missing == name || missing == resolved;
    }
    if (clash)
        report_output_is_input(name);
    return clash;
}

bool descriptor_is_input(int fd, const char* name)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || find(inputs, &st) == nullptr)
        return false;
    report_output_is_input(name);
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
    return stat(name, &st) == 0 && S_ISREG(st.st_mode) && find(outputs, &st) != nullptr;
}

bool is_output_named(const char* name)
{
    struct stat st;
    return lstat(name, &st) == 0 && S_ISREG(st.st_mode) && find(outputs, &st) != nullptr;
}
