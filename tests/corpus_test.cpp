// Every input that ever crashed, hung or tripped a sanitizer in a fuzzing
// campaign, kept in tests/corpus/<program>/<target>.<name> and run again
// through its program with the arguments of that fuzzing target
// (fuzz/targets) and two workers. Each must end with an exit status, not
// a signal, within a few seconds, with a message on standard error
// whenever the status is not 0; the runner also fails on any sanitizer
// report.
#include "harness.h"

#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>

namespace {

struct corpus_case {
    std::string target;
    std::string file;
    std::vector<std::string> command;  // program, then arguments with @@
};

// Reads fuzz/targets: name, seeds, dictionary, program, arguments.
std::vector<std::vector<std::string>> read_targets()
{
    std::vector<std::vector<std::string>> targets;
    std::ifstream in(std::string(SOURCE_DIR) + "/fuzz/targets");
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> fields;
        std::string w;
        while (words >> w)
            fields.push_back(w);
        if (fields.size() >= 4)
            targets.push_back(fields);
    }
    return targets;
}

std::vector<corpus_case> find_cases()
{
    std::map<std::string, std::vector<std::string>> targets;
    for (const auto& t : read_targets())
        targets[t[0]] = t;
    std::vector<corpus_case> cases;
    std::string root = std::string(SOURCE_DIR) + "/tests/corpus";
    DIR* top = opendir(root.c_str());
    if (top == nullptr)
        return cases;
    std::vector<std::string> programs;
    while (dirent* e = readdir(top))
        if (e->d_name[0] != '.')
            programs.push_back(e->d_name);
    closedir(top);
    std::sort(programs.begin(), programs.end());
    for (const std::string& program : programs) {
        DIR* d = opendir((root + "/" + program).c_str());
        if (d == nullptr)
            continue;
        std::vector<std::string> files;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(e->d_name);
        closedir(d);
        std::sort(files.begin(), files.end());
        for (const std::string& f : files) {
            std::string target = f.substr(0, f.find('.'));
            auto t = targets.find(target);
            std::vector<std::string> command;
            if (t != targets.end() && t->second[3] == program)
                command.assign(t->second.begin() + 3, t->second.end());
            cases.push_back({target, root + "/" + program + "/" + f, command});
        }
    }
    return cases;
}

class Corpus : public ToolTest, public ::testing::WithParamInterface<corpus_case> {
};

TEST_P(Corpus, EndsWithAStatusAndAMessage)
{
    const corpus_case& c = GetParam();
    ASSERT_FALSE(c.command.empty()) << c.file << ": no fuzzing target " << c.target
                                    << " for this program in fuzz/targets";
    // The program may change its input (in-place editing): work on a copy.
    write_file(path("input"), read_file(c.file));
    std::vector<std::string> args;
    for (size_t i = 1; i < c.command.size(); i++)
        args.push_back(c.command[i] == "@@" ? path("input") : c.command[i]);
    run_options options;
    options.closed_input = true;
    options.timeout_seconds = 10;
    options.env = {"TIFFSUITE_THREADS=2"};  // as the fuzzing campaigns run them
    run_result r = run(c.command[0], args, options);
    EXPECT_EQ(r.signal, 0) << c.file;
    if (r.status != 0) {
        EXPECT_NE(r.err, "") << c.file << " ended with " << r.status << " and no message";
    }
}

std::string case_name(const ::testing::TestParamInfo<corpus_case>& info)
{
    std::string name = info.param.target + "_" + info.param.file.substr(info.param.file.rfind('/') + 1);
    for (char& ch : name)
        if (!isalnum((unsigned char)ch))
            ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Findings, Corpus, ::testing::ValuesIn(find_cases()), case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Corpus);

}  // namespace
