// The machine a driver load runs in: registry hives and parameters, the boot-information block,
// the C: drive, NT objects and the caller of control requests. Shared by `zelkovd-host machine`
// and the nbdkit plugin (tools/nbdkit-zelkovd), so that both take the same options and set the
// host kernel up the same way before DriverEntry.
#pragma once

#include <hk_storport_test.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zvhost {

struct MachineOptions {
    std::vector<std::string> hives;
    std::vector<std::pair<std::string, std::string>> params;
    std::vector<uint8_t> bootInfo;
    bool haveBootInfo = false;
    std::string cDir;
    std::vector<std::pair<std::string, std::string>> objects;
    HkCaller caller = HkCaller::Admin;
    long logLevel = -1;
};

enum class OptionResult { Applied, Unknown, Bad };

// True for the names below; every one of them takes a value.
bool IsMachineOption(const std::string& name);

// Applies one option by its name without dashes ("hive", "param", "boot-info", "c-dir",
// "object", "caller", "log-level"). Bad: *error says why (no program name in front).
OptionResult ApplyMachineOption(const std::string& name, const std::string& value, MachineOptions* o,
                                std::string* error);

// Sets the machine up before DriverEntry: registry, boot block, drives, objects.
bool PrepareMachine(const MachineOptions& o, std::string* error);

bool ParseHex(const std::string& s, std::vector<uint8_t>* out);
bool ReadWholeFile(const std::string& path, std::string* data);

}  // namespace zvhost
