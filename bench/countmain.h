// The main of a benchmark that also counts: `PROGRAM --count=ARG` runs
// count(ARG) once (for callgrind), anything else runs the benchmarks.
// count returns 0 on success, 2 for an ARG it does not take (usage is
// printed), any other value as the exit status.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

inline int BenchOrCount(int argc, char **argv, int (*count)(const std::string &),
                        const char *usage) {
    const char *flag = "--count=";
    if (argc == 2 && std::strncmp(argv[1], flag, std::strlen(flag)) == 0) {
        int rc = count(argv[1] + std::strlen(flag));
        if (rc == 2)
            std::fprintf(stderr, "usage: %s --count=%s\n", argv[0], usage);
        return rc;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
