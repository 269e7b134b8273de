// Subcommands of the nimbra tool. Each subcommand lives in a file of its own and registers
// itself with NIMBRA_COMMAND; main() builds the CLI from the registered list.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace nimbra::tool {

// Exit statuses shared by the subcommands.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,  // the operation ran and failed
    kExitUsage = 2,    // bad arguments, missing or unreadable files
    kExitRejected = 3, // the input was refused (e.g. a decoder failure)
};

struct Command {
    std::string name;
    std::string description;
    // Adds the subcommand's options to `sub` and returns the routine that runs it.
    std::function<std::function<int()>(CLI::App& sub)> setup;
};

std::vector<Command>& Commands();

struct CommandRegistrar {
    explicit CommandRegistrar(Command command) { Commands().push_back(std::move(command)); }
};

}  // namespace nimbra::tool

#define NIMBRA_COMMAND(id, description, setup) \
    static ::nimbra::tool::CommandRegistrar registrar_##id{{#id, description, setup}}
