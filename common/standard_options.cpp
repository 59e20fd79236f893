#include "standard_options.h"

#include <cstdlib>
#include <cstring>

void answer_standard_option(const char* word, const char* program,
                            usage_text_writer write_usage, const char* library_version)
{
    if (word == nullptr)
        return;
    if (strcmp(word, "--help") == 0) {
        write_usage(stdout);
    } else if (strcmp(word, "--version") == 0) {
        // SUITE_VERSION is the project's version, handed down by the build.
        printf("%s (tiffsuite) %s", program, SUITE_VERSION);
        if (library_version != nullptr)
            printf(" (%.*s)", (int)strcspn(library_version, "\n"), library_version);
        printf("\n");
    } else {
        return;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: Error writing standard output\n", program);
        exit(1);
    }
    exit(0);
}

const char* getopt_standard_option(int argc, char* const argv[], const char* optstring)
{
    // As with the platform's getopt, options may follow operands unless
    // POSIXLY_CORRECT is set (or the option string begins with '+').
    bool options_first = optstring[0] == '+' || getenv("POSIXLY_CORRECT") != nullptr;
    for (int i = 1; i < argc; i++) {
        const char* word = argv[i];
        if (strcmp(word, "--") == 0)
            break;
        if (strcmp(word, "--help") == 0 || strcmp(word, "--version") == 0)
            return word;
        if (word[0] != '-' || word[1] == '\0') {
            if (options_first)
                break;
            continue;
        }
        // A cluster of option letters: the first that takes an argument
        // takes the rest of the word, or else the next word.
        for (const char* letter = word + 1; *letter != '\0'; letter++) {
            const char* known = *letter == ':' ? nullptr : strchr(optstring, *letter);
            if (known != nullptr && known[1] == ':') {
                if (letter[1] == '\0')
                    i++;
                break;
            }
        }
    }
    return nullptr;
}
