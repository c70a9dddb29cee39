// The in-process benchmarks. Logs and cached card files go to a private folder removed at the end,
// so that a run never touches the user's own; the file logger stays on, as users have it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "bench/bench_env.h"
#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel::bench {

std::string cacheFolder() { return userdirs::cacheHome() + "/sigilla"; }

void forgetCachedFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(cacheFolder(), ignored);
}

const sim::QelCardBlueprint& blueprint(sim::Generation generation) {
    static std::map<sim::Generation, std::unique_ptr<sim::QelCardBlueprint>> loaded;
    auto& slot = loaded[generation];
    if (!slot) {
        const char* name = generation == sim::Generation::QEL3 ? "/qel3-default" : "/qel4-default";
        slot = std::make_unique<sim::QelCardBlueprint>(std::string(QEL_SIM_PROFILES_DIR) + name);
    }
    return *slot;
}

}  // namespace qel::bench

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const std::string folder = (fs::temp_directory_path() / ("qel-bench-" + std::to_string(::getpid()))).string();
    fs::create_directories(folder);
    ::setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
    qel::Logger::setDirectory(folder + "/Logs");

    benchmark::Initialize(&argc, argv);
    int status = 0;
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        status = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
