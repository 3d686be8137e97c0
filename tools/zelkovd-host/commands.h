// Subcommands of zelkovd-host. Each takes the arguments after its name and returns the exit code.
#pragma once

namespace zvhost {

int SessionCommand(int argc, char** argv);
int MachineCommand(int argc, char** argv);
int UploadCommand(int argc, char** argv);
int TraceCommand(int argc, char** argv);

// Sets the driver's process-wide log level before any driver code runs.
void SetDriverLogLevel(long level);

}  // namespace zvhost
