// zelkovd-host trace: prints the benchmarks' boot-like read trace (boot_trace.h), so that other
// tools replay exactly the reads the driver benchmarks replay: as "offset length" lines, or as an
// fio iolog (version 2) for `fio --read_iolog` against a file or an NBD export.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot_trace.h"
#include "commands.h"

namespace zvhost {

int TraceCommand(int argc, char** argv) {
    const char* usage =
        "usage: zelkovd-host trace boot [--disk BYTES] [--fio-iolog FILENAME]\n"
        "  the boot-like read trace (seed 20240501) for a disk of BYTES (default 2 GiB, at least 1 GiB):\n"
        "  'offset length' per line, or an fio iolog v2 whose reads name FILENAME\n";
    if (argc < 1 || strcmp(argv[0], "boot") != 0) {
        fputs(usage, argc >= 1 && (!strcmp(argv[0], "--help") || !strcmp(argv[0], "-h")) ? stdout : stderr);
        return argc >= 1 && (!strcmp(argv[0], "--help") || !strcmp(argv[0], "-h")) ? 0 : 2;
    }
    uint64_t disk = zvtrace::kBootTraceDisk;
    std::string iologFile;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--disk" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            unsigned long long v = strtoull(argv[++i], &end, 0);
            if (errno || !*argv[i] || *end || v < (1ull << 30)) {
                fprintf(stderr, "zelkovd-host trace: --disk wants at least 1073741824 bytes\n");
                return 2;
            }
            disk = v;
        } else if (a == "--fio-iolog" && i + 1 < argc) {
            iologFile = argv[++i];
        } else {
            fputs(usage, stderr);
            return 2;
        }
    }
    auto reads = zvtrace::BootTrace(disk);
    if (iologFile.empty()) {
        for (const auto& r : reads) printf("%llu %u\n", (unsigned long long)r.offset, r.length);
        return 0;
    }
    printf("fio version 2 iolog\n%s add\n%s open\n", iologFile.c_str(), iologFile.c_str());
    for (const auto& r : reads)
        printf("%s read %llu %u\n", iologFile.c_str(), (unsigned long long)r.offset, r.length);
    printf("%s close\n", iologFile.c_str());
    return 0;
}

}  // namespace zvhost
