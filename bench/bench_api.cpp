// Costs of the exported calls on a device-sized store (200 keys, 1008 values), next to
// the same lookups in a plain std::map tree with case-insensitive names as a baseline.
#include "dovizuz.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// ---- the store's contents: areas, devices in each area, sections of each device ----

struct area {
    const char *name;
    const char *devices[7];
    const char *sections[6];
};

constexpr area areas[] = {
    {"Audio",
     {"Codec0", "Codec1", "Hdmi0", "I2s0", "I2s1", "Mixer", "Spdif0"},
     {"Capture", "Config", "Playback", "Routing", "Stats", "Volume"}},
    {"Network",
     {"Bridge0", "Eth0", "Eth1", "Eth2", "Ppp0", "Wlan0", "Wlan1"},
     {"Dhcp", "Firewall", "Ipv4", "Ipv6", "Link", "Stats"}},
    {"Storage",
     {"Emmc0", "Mmc0", "Mmc1", "Nand0", "Sda", "Sdb", "Usb0"},
     {"Cache", "Config", "Mount", "Partitions", "Power", "Stats"}},
    {"System",
     {"Clock", "Cpu0", "Cpu1", "Gpio", "Power", "Thermal", "Watchdog"},
     {"Config", "Events", "Limits", "Power", "Stats", "Status"}},
};

// Every section holds these six values, in this order.
struct value_spec {
    const char *name;
    uint32_t type;
};

constexpr value_spec leaf_values[] = {
    {"Enabled", ZCONF_VALUE_DWORD}, {"Address", ZCONF_VALUE_SZ},   {"Netmask", ZCONF_VALUE_SZ},
    {"Mtu", ZCONF_VALUE_DWORD},     {"Metric", ZCONF_VALUE_DWORD}, {"Description", ZCONF_VALUE_SZ},
};

// The key the lookups use: in the middle of each list along the way. Its Mtu value
// is the fourth of six.
constexpr const char *query_path = "Network\\Eth1\\Ipv4";
constexpr const char *query_name = "Mtu";
constexpr uint32_t mtu = 1500;

// A leaf under the query key, created and deleted again by the create benchmark.
constexpr const char *scratch_path = "Network\\Eth1\\Ipv4\\Scratch";

std::string value_text(const area &a, const char *device, const char *section, const value_spec &v,
                       int index) {
    if (std::strcmp(v.name, "Address") == 0)
        return "10." + std::to_string(index / 250) + "." + std::to_string(index % 250) + ".1";
    if (std::strcmp(v.name, "Netmask") == 0)
        return "255.255.255.0";
    return std::string(a.name) + " " + device + " " + section;
}

uint32_t value_word(const value_spec &v, int index) {
    if (std::strcmp(v.name, "Mtu") == 0)
        return mtu;
    if (std::strcmp(v.name, "Metric") == 0)
        return static_cast<uint32_t>(index % 16);
    return 1;
}

// ---- the baseline: a std::map tree with case-insensitive names ----

unsigned char fold(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

struct ci_less {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return fold(x) < fold(y); });
    }
};

struct value {
    uint32_t type;
    std::string data;
};

struct node {
    std::map<std::string, node, ci_less> subkeys;
    std::map<std::string, value, ci_less> values;
};

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Walks a path of components separated by runs of \ or /; nullptr when one is missing.
const node *map_find_key(const node &start, std::string_view path) {
    const node *current = &start;
    size_t i = 0;
    while (true) {
        while (i < path.size() && is_separator(path[i]))
            i++;
        if (i == path.size())
            return current;
        size_t end = i;
        while (end < path.size() && !is_separator(path[end]))
            end++;
        auto it = current->subkeys.find(path.substr(i, end - i));
        if (it == current->subkeys.end())
            return nullptr;
        current = &it->second;
        i = end;
    }
}

// Reads a value the way the library's query does: type, data cut to the caller's
// buffer, and the stored length in *size.
int32_t map_query_value(const node &key, std::string_view name, uint32_t *type, void *data,
                        uint32_t *size) {
    auto it = key.values.find(name);
    if (it == key.values.end())
        return ZCONF_ERR_NOENT;
    const value &v = it->second;
    *type = v.type;
    auto len = static_cast<uint32_t>(v.data.size());
    uint32_t room = *size;
    std::memcpy(data, v.data.data(), std::min(len, room));
    *size = len;
    return room < len ? ZCONF_ERR_OVERFLOW : 0;
}

node baseline_root;

// ---- building both stores once ----

struct store_state {
    bool ok = false;
    int keys = 0;
    int values = 0;
};

store_state store;

bool set_value(ZConfKeyHandle h, node &mirror, const area &a, const char *device,
               const char *section, const value_spec &v, int index) {
    std::string bytes;
    if (v.type == ZCONF_VALUE_DWORD) {
        uint32_t word = value_word(v, index);
        bytes.assign(reinterpret_cast<const char *>(&word), sizeof word);
    } else {
        bytes = value_text(a, device, section, v, index);
        bytes.push_back('\0');
    }
    auto size = static_cast<uint32_t>(bytes.size());
    if (ZConfSetValueEx(h, v.name, v.type, bytes.data(), size) != 0)
        return false;
    mirror.values[v.name] = value{v.type, bytes};
    return true;
}

bool build_stores() {
    int index = 0;
    for (const area &a : areas) {
        node &area_node = baseline_root.subkeys[a.name];
        store.keys++;
        for (const char *device : a.devices) {
            node &device_node = area_node.subkeys[device];
            store.keys++;
            for (const char *section : a.sections) {
                node &section_node = device_node.subkeys[section];
                store.keys++;
                std::string path = std::string(a.name) + "\\" + device + "\\" + section;
                ZConfKeyHandle h;
                if (ZConfCreateKey(ZCONF_HKEY_ROOT, path.c_str(), &h) != 0)
                    return false;
                for (const value_spec &v : leaf_values) {
                    if (!set_value(h, section_node, a, device, section, v, index))
                        return false;
                    store.values++;
                }
                if (ZConfCloseKey(h) != 0)
                    return false;
                index++;
            }
        }
    }
    uint32_t top = 0;
    return ZConfQueryInfoKey(ZCONF_HKEY_ROOT, &top, nullptr, nullptr, nullptr, nullptr) == 0 &&
           top == std::size(areas) && store.keys == 200 && store.values == 1008;
}

std::once_flag store_built;

bool ensure_store(benchmark::State &state) {
    std::call_once(store_built, [] { store.ok = build_stores(); });
    if (!store.ok)
        state.SkipWithError("building the store failed");
    return store.ok;
}

// Opens the query key in the calling thread; 0 when that fails.
ZConfKeyHandle open_query_key(benchmark::State &state) {
    ZConfKeyHandle h = 0;
    if (ZConfOpenKeyEx(ZCONF_HKEY_ROOT, query_path, ZCONF_KEY_ALL, &h) != 0) {
        state.SkipWithError("opening the query key failed");
        return 0;
    }
    return h;
}

// Sends standard output to /dev/null while it lives, so that trace lines printed by
// the calls under test do not flood the report; buffered lines go with them.
class stdout_to_null {
  public:
    stdout_to_null() {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null >= 0)
            dup2(null, STDOUT_FILENO);
        if (null >= 0)
            close(null);
    }
    ~stdout_to_null() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    stdout_to_null(const stdout_to_null &) = delete;
    stdout_to_null &operator=(const stdout_to_null &) = delete;

  private:
    int saved_;
};

// ---- the library ----

// One DWORD read through a handle that stays open.
void BM_QueryHeldHandle(benchmark::State &state) {
    if (!ensure_store(state))
        return;
    ZConfKeyHandle h = open_query_key(state);
    if (h == 0)
        return;
    for (auto _ : state) {
        uint32_t type = 0, word = 0, size = sizeof word;
        int32_t rc = ZConfQueryValueEx(h, query_name, &type, &word, &size);
        benchmark::DoNotOptimize(word);
        if (rc != 0 || word != mtu) {
            state.SkipWithError("query failed");
            break;
        }
    }
    ZConfCloseKey(h);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryHeldHandle);

// Open a three-component path, read one DWORD, close (which also ends the thread's
// connection, so the next open starts a new one).
void BM_OpenQueryClose(benchmark::State &state) {
    if (!ensure_store(state))
        return;
    for (auto _ : state) {
        ZConfKeyHandle h;
        uint32_t type = 0, word = 0, size = sizeof word;
        int32_t rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, query_path, ZCONF_KEY_READ, &h);
        if (rc == 0)
            rc = ZConfQueryValueEx(h, query_name, &type, &word, &size);
        if (rc == 0)
            rc = ZConfCloseKey(h);
        benchmark::DoNotOptimize(word);
        if (rc != 0 || word != mtu) {
            state.SkipWithError("open, query or close failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenQueryClose);

// Replacing an existing DWORD through a held handle: a new value node takes the place
// of the old one.
void BM_SetValueReplace(benchmark::State &state) {
    if (!ensure_store(state))
        return;
    ZConfKeyHandle h = open_query_key(state);
    if (h == 0)
        return;
    uint32_t word = 0;
    for (auto _ : state) {
        word ^= 1;
        if (ZConfSetValueEx(h, "Metric", ZCONF_VALUE_DWORD, &word, sizeof word) != 0) {
            state.SkipWithError("set failed");
            break;
        }
    }
    ZConfCloseKey(h);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetValueReplace);

// Creating a leaf key, closing its handle and deleting it again. The delete prints two
// trace lines per call, so standard output is sent to /dev/null meanwhile.
void BM_CreateCloseDeleteLeaf(benchmark::State &state) {
    if (!ensure_store(state))
        return;
    stdout_to_null quiet;
    for (auto _ : state) {
        ZConfKeyHandle h;
        int32_t rc = ZConfCreateKey(ZCONF_HKEY_ROOT, scratch_path, &h);
        if (rc == 0)
            rc = ZConfCloseKey(h);
        if (rc == 0)
            rc = ZConfDeleteKey(ZCONF_HKEY_ROOT, scratch_path);
        if (rc != 0) {
            state.SkipWithError("create, close or delete failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateCloseDeleteLeaf);

// The same read from four threads at once, each with its own handle; all of them share
// the one API mutex. Wall-clock time per read in each thread.
BENCHMARK(BM_QueryHeldHandle)->Threads(4)->UseRealTime();

// ---- the baseline ----

// One value lookup in a node held by the caller.
void BM_Baseline_QueryHeldNode(benchmark::State &state) {
    if (!ensure_store(state))
        return;
    const node *key = map_find_key(baseline_root, query_path);
    if (key == nullptr) {
        state.SkipWithError("baseline key missing");
        return;
    }
    const char *name = query_name;
    benchmark::DoNotOptimize(name);
    for (auto _ : state) {
        uint32_t type = 0, word = 0, size = sizeof word;
        int32_t rc = map_query_value(*key, name, &type, &word, &size);
        benchmark::DoNotOptimize(word);
        if (rc != 0 || word != mtu) {
            state.SkipWithError("baseline query failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_QueryHeldNode);

// Walking the three-component path from the root, then the value lookup.
void BM_Baseline_WalkQuery(benchmark::State &state) {
    if (!ensure_store(state))
        return;
    const char *path = query_path;
    const char *name = query_name;
    benchmark::DoNotOptimize(path);
    benchmark::DoNotOptimize(name);
    for (auto _ : state) {
        uint32_t type = 0, word = 0, size = sizeof word;
        const node *key = map_find_key(baseline_root, path);
        int32_t rc =
            key == nullptr ? ZCONF_ERR_NOENT : map_query_value(*key, name, &type, &word, &size);
        benchmark::DoNotOptimize(word);
        if (rc != 0 || word != mtu) {
            state.SkipWithError("baseline walk or query failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_WalkQuery);

} // namespace

BENCHMARK_MAIN();
