// Runs the nimbra binary (NIMBRA_TOOL) as a user would, with its output captured in files.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nimbra::test {

struct ToolResult {
    int exitStatus = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

inline std::string ReadTextFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `nimbra ARGS...`; stdout and stderr go to files in `dir` (stdout.txt, stderr.txt).
inline ToolResult RunTool(std::vector<std::string> args, const std::filesystem::path& dir)
{
    const std::string outPath = (dir / "stdout.txt").string();
    const std::string errPath = (dir / "stderr.txt").string();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        std::string tool = NIMBRA_TOOL;
        argv.push_back(tool.data());
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    ToolResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    result.out = ReadTextFile(outPath);
    result.err = ReadTextFile(errPath);
    return result;
}

}  // namespace nimbra::test
