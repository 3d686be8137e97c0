// zelkovd-host: runs the unmodified driver code on Linux inside the host kernel. Each subcommand
// drives one part of it against real servers.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

const Command kCommands[] = {
    {"session", zvhost::SessionCommand, "run protocol exchanges against a disk server"},
    {"machine", zvhost::MachineCommand, "load the whole driver and answer SCSI and control requests"},
    {"upload", zvhost::UploadCommand, "upload a disk image the client program's way, through the control device"},
    {"trace", zvhost::TraceCommand, "print the benchmarks' boot-like read trace (or an fio iolog of it)"},
};

void Usage(FILE* f) {
    fprintf(f, "usage: zelkovd-host COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto& c : kCommands) fprintf(f, "  %-10s %s\n", c.name, c.summary);
    fprintf(f, "\n'zelkovd-host COMMAND --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        Usage(stdout);
        return 0;
    }
    for (const auto& c : kCommands)
        if (cmd == c.name) return c.run(argc - 2, argv + 2);
    fprintf(stderr, "zelkovd-host: unknown command '%s'\n", cmd.c_str());
    Usage(stderr);
    return 2;
}
