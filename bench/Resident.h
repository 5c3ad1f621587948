#pragma once
// The process's resident memory, as the benchmarks measure it.

#include <QtGlobal>

#include <fstream>
#include <string>

inline qint64 residentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    return 0;
}
