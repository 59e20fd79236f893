// What the package tests read from the source tree and the build: the
// programs built, where each one's source lies, the options its source
// accepts, and a way to run shell commands (bash, groff, man, cmake).
#ifndef TESTS_SUITE_SOURCES_H
#define TESTS_SUITE_SOURCES_H

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "harness.h"

// The programs the build makes, as CMake lists them.
inline std::vector<std::string> suite_programs()
{
    std::vector<std::string> programs;
    std::istringstream words(SUITE_PROGRAM_LIST);
    for (std::string p; words >> p;)
        programs.push_back(p);
    return programs;
}

// The source file of `program`: tools/<program>/<program>.cpp, or
// jpegnotes/<program>.cpp for the JPEG comment tools.
inline std::string source_path(const std::string& program)
{
    std::string tool = std::string(SOURCE_DIR) + "/tools/" + program + "/" + program + ".cpp";
    if (file_exists(tool))
        return tool;
    return std::string(SOURCE_DIR) + "/jpegnotes/" + program + ".cpp";
}

// The option string a program's source hands getopt, in `letters`: the
// literal in the call, or the one the named constant there holds
// (optstring[] = "..."). False for a program without getopt.
inline bool getopt_string(const std::string& source, std::string* letters)
{
    static const std::regex call(
        R"re(getopt\s*\(\s*\w+\s*,\s*\w+\s*,\s*(?:"([^"]*)"|(\w+))\s*\))re");
    std::smatch m;
    if (!std::regex_search(source, m, call))
        return false;
    if (m[1].matched) {
        *letters = m[1].str();
        return true;
    }
    std::smatch c;
    const std::regex constant("\\b" + m[2].str() + R"(\s*\[\s*\]\s*=\s*"([^"]*)\")");
    if (!std::regex_search(source, c, constant))
        return false;
    *letters = c[1].str();
    return true;
}

// The options a program's source accepts, each as typed ("-c", "-verbose"):
// the letters of its getopt option string (':' and '?' are not options);
// else the keywords of its own switch matcher (match_switch(arg, "word",
// n)); else the "-word" literals its source compares arguments with.
inline std::set<std::string> accepted_options(const std::string& source)
{
    std::set<std::string> options;
    std::smatch m;
    std::string letters;
    if (getopt_string(source, &letters)) {
        for (char c : letters)
            if (c != ':' && c != '?' && c != '+' && c != '-')
                options.insert(std::string("-") + c);
        return options;
    }
    static const std::regex switch_word(R"(match_switch\s*\([^,]+,\s*"(\w+)\")");
    for (auto it = std::sregex_iterator(source.begin(), source.end(), switch_word);
         it != std::sregex_iterator(); ++it)
        options.insert("-" + (*it)[1].str());
    if (!options.empty())
        return options;
    static const std::regex compared(R"(str(?:n?case)?n?cmp\s*\([^;]*?"(-[A-Za-z0-9]+)\")");
    for (auto it = std::sregex_iterator(source.begin(), source.end(), compared);
         it != std::sregex_iterator(); ++it)
        options.insert((*it)[1].str());
    return options;
}

// The options among `options` that take an argument in a getopt option
// string (those followed by ':'); empty for programs without getopt.
inline std::set<std::string> options_with_argument(const std::string& source)
{
    std::set<std::string> options;
    std::string letters;
    if (getopt_string(source, &letters)) {
        for (size_t i = 0; i + 1 < letters.size(); i++)
            if (letters[i] != ':' && letters[i + 1] == ':')
                options.insert(std::string("-") + letters[i]);
    }
    return options;
}

// `options` with --help and --version, which every program answers besides
// its own options (its usage text does not name them).
inline std::set<std::string> with_help_and_version(std::set<std::string> options)
{
    options.insert("--help");
    options.insert("--version");
    return options;
}

// `text` quoted for a POSIX shell.
inline std::string shell_quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct shell_result {
    int status = -1;  // the command's exit status, or -1 when it did not exit
    std::string out;  // its standard output (and standard error, when the
                      // command sends it there)
};

// Runs `command` with /bin/sh and collects its standard output.
inline shell_result run_shell(const std::string& command)
{
    shell_result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

// The lines of `text`.
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

#endif
