// nimbra: runs the driver over the host against the simulated camera, and the driver's
// decoder and frame processing on files.
#include <cstdio>
#include <exception>

#include "tools/nimbra/command.h"

namespace nimbra::tool {
std::vector<Command>& Commands()
{
    static std::vector<Command> commands;
    return commands;
}
}  // namespace nimbra::tool

int main(int argc, char** argv)
{
    using namespace nimbra::tool;
    CLI::App app{"nimbra: a USB camera capture driver, run over a host of its own against a simulated camera"};
    app.require_subcommand(1);
    std::function<int()> run;
    for (auto& command : Commands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.description);
        auto routine = command.setup(*sub);
        sub->callback([&run, routine] { run = routine; });
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    try {
        return run ? run() : kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nimbra: %s\n", e.what());
        return kExitFailure;
    }
}
