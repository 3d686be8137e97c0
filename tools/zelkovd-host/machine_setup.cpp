// Machine options and set-up shared by `zelkovd-host machine` and the nbdkit plugin.
#include "machine_setup.h"

#include <hostkernel_test.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zvhost {
namespace {
const char kServiceKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd";
}

bool ParseHex(const std::string& s, std::vector<uint8_t>* out) {
    if (s.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; k++) {
            char c = s[i + k];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v << 4 | d;
        }
        out->push_back((uint8_t)v);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* data) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    *data = ss.str();
    return true;
}

bool IsMachineOption(const std::string& name) {
    for (const char* n : {"hive", "param", "boot-info", "c-dir", "object", "caller", "log-level"})
        if (name == n) return true;
    return false;
}

OptionResult ApplyMachineOption(const std::string& name, const std::string& v, MachineOptions* o, std::string* error) {
    auto bad = [&](const std::string& why) {
        *error = why;
        return OptionResult::Bad;
    };
    if (name == "hive") {
        o->hives.push_back(v);
    } else if (name == "param") {
        size_t eq = v.find('=');
        if (eq == std::string::npos || eq == 0) return bad("--param wants NAME=VALUE");
        o->params.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (name == "boot-info") {
        std::string bytes;
        if (!v.empty() && v[0] == '@') {
            if (!ReadWholeFile(v.substr(1), &bytes)) return bad("cannot read " + v.substr(1));
            o->bootInfo.assign(bytes.begin(), bytes.end());
        } else if (!ParseHex(v, &o->bootInfo)) {
            return bad("--boot-info is not hex");
        }
        if (o->bootInfo.size() != 64)
            return bad("the boot-information block is 64 bytes, not " + std::to_string(o->bootInfo.size()));
        o->haveBootInfo = true;
    } else if (name == "c-dir") {
        o->cDir = v;
    } else if (name == "object") {
        size_t eq = v.find('=');
        if (eq == std::string::npos || v.compare(0, 4, "\\??\\") != 0 || eq + 1 >= v.size())
            return bad("--object wants '\\??\\NAME=PATH'");
        o->objects.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (name == "caller") {
        if (v != "admin" && v != "user") return bad("--caller admin|user");
        HkParseCaller(v, &o->caller);
    } else if (name == "log-level") {
        char* end = nullptr;
        o->logLevel = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end) return bad("--log-level wants a number");
    } else {
        return OptionResult::Unknown;
    }
    return OptionResult::Applied;
}

bool PrepareMachine(const MachineOptions& o, std::string* error) {
    for (const auto& h : o.hives) {
        std::string err;
        if (!hk::test::RegLoadFile(h, &err)) {
            *error = h + ": " + err;
            return false;
        }
    }
    std::string params = std::string(kServiceKey) + "\\Parameters";
    for (const auto& p : o.params) {
        const std::string& v = p.second;
        char* end = nullptr;
        errno = 0;
        unsigned long long n = 0;
        bool numeric = false;
        if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
            n = strtoull(v.c_str() + 2, &end, 16);
            numeric = *end == 0;
        } else if (!v.empty() && v.find_first_not_of("0123456789") == std::string::npos) {
            n = strtoull(v.c_str(), &end, 10);
            numeric = true;
        }
        if (numeric && (errno || n > 0xFFFFFFFFull)) {
            *error = "--param " + p.first + ": value does not fit a DWORD";
            return false;
        }
        if (numeric) hk::test::RegSetDword(params, p.first, (uint32_t)n);
        else hk::test::RegSetString(params, p.first, v);
    }
    if (o.haveBootInfo) hk::test::PhysWrite(0x80000, o.bootInfo.data(), o.bootInfo.size());
    if (!o.cDir.empty()) hk::test::MapDrive('C', o.cDir);
    for (const auto& ob : o.objects) hk::test::MapObject(ob.first, ob.second);
    return true;
}

}  // namespace zvhost
