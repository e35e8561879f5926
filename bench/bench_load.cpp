// Start-up and save of the whole library as a process meets them: dlopen of the shared
// library (the constructor sets up the shared objects and loads a device-like
// /etc/zconfig.xml of about 40 KB), dlclose (shutdown), SaveXMLFile of the same store,
// a flush of one changed value into it and a refresh from it, and whole runs of the zconf
// tool on it.
// The program runs in a private mount namespace of its own, so the machine's file and
// shared objects are never touched.
#include "dovizuz.h"
#include "process_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char kConfig[] = "/etc/zconfig.xml";

struct library {
    void *handle = nullptr;
    decltype(&ZConfCreateKey) create_key = nullptr;
    decltype(&ZConfSetValueEx) set_value = nullptr;
    decltype(&ZConfCloseKey) close_key = nullptr;
    decltype(&SaveXMLFile) save = nullptr;
    decltype(&ZConfFlushKey) flush = nullptr;
    decltype(&ZConfRefreshKey) refresh = nullptr;
};

library open_library() {
    library lib;
    lib.handle = dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (lib.handle == nullptr)
        return lib;
    lib.create_key =
        reinterpret_cast<decltype(&ZConfCreateKey)>(dlsym(lib.handle, "ZConfCreateKey"));
    lib.set_value =
        reinterpret_cast<decltype(&ZConfSetValueEx)>(dlsym(lib.handle, "ZConfSetValueEx"));
    lib.close_key = reinterpret_cast<decltype(&ZConfCloseKey)>(dlsym(lib.handle, "ZConfCloseKey"));
    lib.save = reinterpret_cast<decltype(&SaveXMLFile)>(dlsym(lib.handle, "SaveXMLFile"));
    lib.flush = reinterpret_cast<decltype(&ZConfFlushKey)>(dlsym(lib.handle, "ZConfFlushKey"));
    lib.refresh =
        reinterpret_cast<decltype(&ZConfRefreshKey)>(dlsym(lib.handle, "ZConfRefreshKey"));
    return lib;
}

off_t config_size() {
    struct stat st;
    return stat(kConfig, &st) == 0 ? st.st_size : 0;
}

// A device-like store of about 40 KB saved to the configuration file: groups of keys
// holding strings, words, byte strings and string lists, from a seeded random source.
bool write_device_config(const library &lib) {
    std::mt19937 random(2026);
    const char *groups[] = {"Network", "Services", "Audio", "Display", "System", "Users"};
    for (int i = 0; config_size() < 40000 && i < 100000; i++) {
        std::string path =
            std::string(groups[i % 6]) + "\\Unit" + std::to_string(i / 6) + "\\Settings";
        ZConfKeyHandle h;
        if (lib.create_key(ZCONF_HKEY_ROOT, path.c_str(), &h) != 0)
            return false;
        std::string label = "Label of unit " + std::to_string(i) + " & <more>";
        uint32_t port = random() % 65536;
        uint64_t serial = random();
        unsigned char mac[6];
        for (unsigned char &b : mac)
            b = static_cast<unsigned char>(random());
        const char names[] = "first\0second\0third\0";
        lib.set_value(h, "Label", ZCONF_VALUE_SZ, label.c_str(), label.size() + 1);
        lib.set_value(h, "Port", ZCONF_VALUE_DWORD, &port, sizeof port);
        lib.set_value(h, "PortBE", ZCONF_VALUE_DWORD_BE, &port, sizeof port);
        lib.set_value(h, "Serial", ZCONF_VALUE_QWORD, &serial, sizeof serial);
        lib.set_value(h, "Mac", ZCONF_VALUE_BINARY, mac, sizeof mac);
        lib.set_value(h, "Names", ZCONF_VALUE_MULTI_SZ, names, sizeof names);
        lib.close_key(h);
        if (lib.save() != 0)
            return false;
    }
    return true;
}

// Loads and unloads the library once per iteration; the unload is timed only when asked.
void load_and_unload(benchmark::State &state, bool time_unload) {
    for (auto _ : state) {
        void *handle = dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            state.SkipWithError(dlerror());
            return;
        }
        if (!time_unload)
            state.PauseTiming();
        dlclose(handle);
        if (!time_unload)
            state.ResumeTiming();
    }
}

void BM_LoadLibrary(benchmark::State &state) {
    load_and_unload(state, false);
    state.SetBytesProcessed(state.iterations() * config_size());
    state.counters["file_bytes"] = static_cast<double>(config_size());
}
BENCHMARK(BM_LoadLibrary)->Unit(benchmark::kMicrosecond);

// The same without a configuration file: what the loader and the shared objects cost.
void BM_LoadLibraryWithoutFile(benchmark::State &state) {
    const char kAside[] = "/etc/zconfig.xml.aside";
    rename(kConfig, kAside);
    load_and_unload(state, false);
    rename(kAside, kConfig);
}
BENCHMARK(BM_LoadLibraryWithoutFile)->Unit(benchmark::kMicrosecond);

void BM_LoadAndUnloadLibrary(benchmark::State &state) {
    load_and_unload(state, true);
    state.SetBytesProcessed(state.iterations() * config_size());
}
BENCHMARK(BM_LoadAndUnloadLibrary)->Unit(benchmark::kMicrosecond);

void BM_SaveXMLFile(benchmark::State &state) {
    library lib = open_library();
    for (auto _ : state) {
        if (lib.save() != 0) {
            state.SkipWithError("SaveXMLFile failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * config_size());
    dlclose(lib.handle);
}
BENCHMARK(BM_SaveXMLFile)->Unit(benchmark::kMicrosecond);

// One value changed, then flushed: the file is read, parsed, the change put in, and the
// whole document written back as SaveXMLFile writes it.
void BM_FlushOneChangedValue(benchmark::State &state) {
    library lib = open_library();
    ZConfKeyHandle h;
    if (lib.create_key(ZCONF_HKEY_ROOT, "Network\\Unit0\\Settings", &h) != 0) {
        state.SkipWithError("no key");
        return;
    }
    for (uint32_t port = 0; state.KeepRunning(); port++) {
        if (lib.set_value(h, "Port", ZCONF_VALUE_DWORD, &port, sizeof port) != 0 ||
            lib.flush(ZCONF_HKEY_ROOT) != 0) {
            state.SkipWithError("ZConfFlushKey failed");
            break;
        }
    }
    lib.close_key(h);
    state.SetBytesProcessed(state.iterations() * config_size());
    dlclose(lib.handle);
}
BENCHMARK(BM_FlushOneChangedValue)->Unit(benchmark::kMicrosecond);

// A refresh that finds the file as the store has it: read, parse, compare.
void BM_RefreshUnchanged(benchmark::State &state) {
    library lib = open_library();
    for (auto _ : state) {
        uint32_t changed = 1;
        if (lib.refresh(ZCONF_HKEY_ROOT, &changed) != 0 || changed != 0) {
            state.SkipWithError("ZConfRefreshKey failed or found a change");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * config_size());
    dlclose(lib.handle);
}
BENCHMARK(BM_RefreshUnchanged)->Unit(benchmark::kMicrosecond);

// The zconf tool as a shell meets it: a whole process that loads the library (and with
// it the 40 KB file), does one command and, when the command changes the store, saves it.
int run_tool(std::vector<const char *> args, const char *program = TOOL) {
    args.insert(args.begin(), program);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, program, &actions, nullptr, const_cast<char **>(args.data()), environ) ==
        0)
        waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

void time_tool(benchmark::State &state, const std::vector<const char *> &args,
               const char *program = TOOL) {
    for (auto _ : state) {
        if (run_tool(args, program) != 0) {
            state.SkipWithError("zconf failed");
            return;
        }
    }
}

// Baseline: starting and waiting for a process that does nothing.
void BM_SpawnTrue(benchmark::State &state) { time_tool(state, {}, "/bin/true"); }
BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ZconfGet(benchmark::State &state) {
    time_tool(state, {"get", "Network/Unit0/Settings", "Port"});
}
BENCHMARK(BM_ZconfGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ZconfSet(benchmark::State &state) {
    time_tool(state, {"set", "Network/Unit0/Settings", "Port", "dword", "8080"});
}
BENCHMARK(BM_ZconfSet)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    if (!run_in_private_namespace(ISOLATED, argc, argv))
        return 1;
    library lib = open_library();
    if (lib.save == nullptr || !write_device_config(lib)) {
        fprintf(stderr, "bench_load: cannot write the configuration file\n");
        return 1;
    }
    dlclose(lib.handle);
    // The constructor must run again at every dlopen: the library must really unload.
    if (dlopen(LIBRARY, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        fprintf(stderr, "bench_load: the library stays loaded after dlclose\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(benchmark::CreateDefaultDisplayReporter());
    benchmark::Shutdown();
    return 0;
}
