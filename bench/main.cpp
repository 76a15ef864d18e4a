// cellkit_bench [--data <dir>] [--quick] [--huge] [group ...]
//
// Runs the plain and the fast version of each algorithm on the same inputs and prints both
// times, their ratio and the peak heap use of each. Groups: the algorithms' names; all by
// default. --data names the folder bench/export_data.m wrote the real images to.

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "bench/harness.h"
#include "bench/workloads.h"

int main(int argc, char** argv) {
    BenchOptions options;
    std::set<std::string> wanted;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--data") == 0 && k + 1 < argc) {
            options.dataDir = argv[++k];
        } else if (std::strcmp(argv[k], "--quick") == 0) {
            options.quick = true;
        } else if (std::strcmp(argv[k], "--huge") == 0) {
            options.huge = true;
        } else {
            wanted.insert(argv[k]);
        }
    }
    reportHeader();
    for (const BenchGroup& group : benchGroups()) {
        if (wanted.empty() || wanted.count(group.name) > 0) {
            group.run(options);
        }
    }
    return 0;
}
