// zconf's commands: the handler of each row of the command table, run once its
// arguments have passed their checks.
#include "zconf_tool.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace zconf {

namespace {

// A value as the store holds it.
struct stored_value {
    std::string name;
    uint32_t type;
    std::string data;
};

struct listing {
    std::vector<std::string> subkeys;
    std::vector<stored_value> values;
};

// Appends the key's values, in the order they were set.
int32_t read_values(ZConfKeyHandle handle, std::vector<stored_value> *values) {
    static char data[ZCONF_MAX_NAME + kMaxValueBytes + 1];
    char name[kNameBuffer];
    for (uint32_t i = 0;; i++) {
        uint32_t name_size = sizeof name, type, size = sizeof data;
        int32_t rc = api.enum_value(handle, i, name, &name_size, &type, data, &size);
        if (rc == ZCONF_ERR_NOENT)
            return 0;
        if (rc != 0)
            return rc;
        values->push_back({name, type, std::string(data, size)});
    }
}

// The subkeys and values of the key at path.
int32_t read_key(const key_path &path, listing *list) {
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc == 0)
        rc = subkey_names(handle, &list->subkeys);
    if (rc == 0)
        rc = read_values(handle, &list->values);
    release(handle);
    return rc;
}

// The message of a subkey that cannot be opened by its name, which is shown without its
// content.
int fail_unopenable(const key_path &path, const std::string &name) {
    return fail(kFailed, "%s\\%s: cannot be opened by its name", key_text(path).c_str(),
                escape_text(name).c_str());
}

// Prints a key's values, then each subkey as "NAME/" followed by its own content, two
// spaces further in; *empty stays true while the key holds nothing.
int print_tree(const key_path &path, const std::string &indent, bool decimal, bool *empty) {
    listing list;
    int32_t rc = read_key(path, &list);
    if (rc != 0)
        return fail_call(rc, key_text(path));
    *empty = list.values.empty() && list.subkeys.empty();
    for (const stored_value &v : list.values)
        fprintf(out, "%s%s\n", indent.c_str(), value_line(v.name, v.type, v.data, decimal).c_str());
    int status = kOk;
    for (const std::string &name : list.subkeys) {
        fprintf(out, "%s%s/\n", indent.c_str(), escape_text(name).c_str());
        bool unused;
        int sub = openable(name)
                      ? print_tree(child_path(path, name), indent + "  ", decimal, &unused)
                      : fail_unopenable(path, name);
        if (status == kOk)
            status = sub;
    }
    return status;
}

// The JSON array of the values' objects.
std::string json_values(const std::vector<stored_value> &values) {
    std::string json = "[";
    for (size_t i = 0; i < values.size(); i++)
        json.append(i == 0 ? "" : ",")
            .append(json_value(values[i].name, values[i].type, values[i].data));
    return json + "]";
}

// Appends the key's content as JSON members: "values":[...],"subkeys":[...], each
// subkey an object of its "name" and its own content. *empty as for print_tree.
int json_tree(const key_path &path, std::string *json, bool *empty) {
    listing list;
    int32_t rc = read_key(path, &list);
    if (rc != 0)
        return fail_call(rc, key_text(path));
    *empty = list.values.empty() && list.subkeys.empty();
    *json += "\"values\":" + json_values(list.values) + ",\"subkeys\":[";
    int status = kOk;
    bool first = true, unused;
    for (const std::string &name : list.subkeys) {
        if (!openable(name)) {
            status = fail_unopenable(path, name);
            continue;
        }
        *json += (first ? "{\"name\":" : ",{\"name\":") + json_string(name) + ",";
        first = false;
        int sub = json_tree(child_path(path, name), json, &unused);
        *json += "}";
        if (status == kOk)
            status = sub;
    }
    *json += "]";
    return status;
}

// Every value below the key at path (none when it is missing): the value's path below
// the key, joined by "\\", mapped to its ls line after the name.
typedef std::map<std::string, std::string> value_lines;
void collect_values(const key_path &path, const std::string &prefix, value_lines *lines) {
    listing list;
    if (read_key(path, &list) != 0)
        return;
    for (const stored_value &v : list.values) {
        std::string line = value_line(v.name, v.type, v.data, false);
        (*lines)[prefix + escape_text(v.name)] = line.substr(line.find('\t'));
    }
    for (const std::string &name : list.subkeys)
        if (openable(name))
            collect_values(child_path(path, name), prefix + escape_text(name) + "\\", lines);
}

// Prints what differs between two sets of values: new and changed values as ls prints
// them, removed ones with REMOVED.
void print_changes(const value_lines &before, const value_lines &after) {
    for (const auto &[name, rest] : after) {
        auto old = before.find(name);
        if (old == before.end() || old->second != rest)
            fprintf(out, "%s%s\n", name.c_str(), rest.c_str());
    }
    for (const auto &[name, rest] : before)
        if (after.find(name) == after.end())
            fprintf(out, "%s\tREMOVED\n", name.c_str());
    fflush(out);
}

// Removes the keys a failed command made: only they lie below the first one made.
void remove_created(const key_path &path, size_t created) {
    if (created < path.size())
        remove_tree(key_path(path.begin(), path.begin() + static_cast<long>(created) + 1));
}

} // namespace

int print_json_tree(const key_path &path, const std::string &shown, FILE *to, bool *empty) {
    std::string json = "{\"key\":" + json_string(shown) + ",";
    int status = json_tree(path, &json, empty);
    fprintf(to, "%s}\n", json.c_str());
    return status;
}

// ls [KEY]: the subkey lines, then the value lines.
int run_ls(const invocation &call) {
    key_path path = parse_key(call.args.empty() ? "" : call.args[0]);
    listing list;
    int32_t rc = read_key(path, &list);
    if (rc != 0)
        return fail_key(rc, path);
    if ((call.options & kOptionJson) != 0) {
        std::string json = "{\"key\":" + json_string(key_text(path)) + ",\"subkeys\":[";
        for (size_t i = 0; i < list.subkeys.size(); i++)
            json.append(i == 0 ? "" : ",").append(json_string(list.subkeys[i]));
        fprintf(out, "%s],\"values\":%s}\n", json.c_str(), json_values(list.values).c_str());
        return kOk;
    }
    for (const std::string &name : list.subkeys)
        fprintf(out, "%s/\n", escape_text(name).c_str());
    for (const stored_value &v : list.values)
        fprintf(out, "%s\n",
                value_line(v.name, v.type, v.data, (call.options & kOptionDecimal) != 0).c_str());
    return kOk;
}

// tree [KEY]: the key's whole subtree, indented.
int run_tree(const invocation &call) {
    key_path path = parse_key(call.args.empty() ? "" : call.args[0]);
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    release(handle);
    if (rc != 0)
        return fail_key(rc, path);
    bool empty = false;
    int status;
    if ((call.options & kOptionJson) != 0)
        status = print_json_tree(path, key_text(path), out, &empty);
    else
        status = print_tree(path, "", (call.options & kOptionDecimal) != 0, &empty);
    // Said apart from the output, which stays empty (or a JSON object with no content).
    if (empty && status == kOk)
        fprintf(stderr, "zconf: %s: %s\n", key_text(path).c_str(),
                path.empty() ? "the store is empty" : "the key is empty");
    return status;
}

// get KEY NAME: the value's text alone.
int run_get(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    const char *name = call.args[1];
    static char data[kMaxValueBytes + 1];
    uint32_t type, size = sizeof data;
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc != 0)
        return fail_key(rc, path);
    rc = api.query_value(handle, name, &type, data, &size);
    release(handle);
    if (rc != 0)
        return fail_value(rc, path, name);
    if ((call.options & kOptionJson) != 0) {
        fprintf(out, "%s\n", json_value(name, type, std::string(data, size)).c_str());
        return kOk;
    }
    for (const std::string &item :
         shown_items(type, data, size, (call.options & kOptionDecimal) != 0))
        fprintf(out, "%s\n", item.c_str());
    return kOk;
}

// set: the checked value, on a key made when missing; keys made for a failing set go.
int run_set(const invocation &call) {
    const new_value &value = call.value;
    ZConfKeyHandle handle;
    size_t created;
    int32_t rc = create_key(value.key, false, &handle, &created);
    if (rc != 0) {
        remove_created(value.key, created);
        return fail_key(rc, value.key);
    }
    rc = api.set_value(handle, value.name, value.type, value.data.data(),
                       static_cast<uint32_t>(value.data.size()));
    release(handle);
    if (rc == 0)
        return kOk;
    remove_created(value.key, created);
    return fail_value(rc, value.key, value.name);
}

// rm KEY NAME: deletes the value.
int run_rm(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    const char *name = call.args[1];
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc != 0)
        return fail_key(rc, path);
    rc = api.delete_value(handle, name);
    release(handle);
    return rc == 0 ? kOk : fail_value(rc, path, name);
}

// mkkey [--volatile] KEY: makes the missing keys of the path.
int run_mkkey(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    ZConfKeyHandle handle;
    size_t created;
    int32_t rc = create_key(path, (call.options & kOptionVolatile) != 0, &handle, &created);
    release(handle);
    if (rc == 0)
        return kOk;
    remove_created(path, created);
    return fail_key(rc, path);
}

// With -r the whole subtree goes, deepest key first. Before anything is removed every
// key of it must open by its name, so the removal does not stop halfway; were it to
// stop anyway, the command fails without saving, and the file keeps the whole subtree
// (the keys removed so far are gone only from this run's own store).
int run_rmkey(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    ZConfKeyHandle parent;
    int32_t rc = open_key(path, path.size(), &parent);
    release(parent);
    if (rc != 0)
        return fail_key(rc, path);
    if ((call.options & kOptionRecursive) != 0) {
        std::string unreachable;
        rc = check_reachable(path, &unreachable);
        if (rc != 0)
            return fail(kFailed, "%s: a key below cannot be opened by its name (%s)",
                        key_text(path).c_str(), unreachable.c_str());
        rc = remove_tree(path);
        return rc == 0 ? kOk : fail_key(rc, path);
    }
    rc = open_key(path, path.size() - 1, &parent);
    if (rc == 0)
        rc = api.delete_key(parent, api_name(path, path.size() - 1).c_str());
    release(parent);
    return rc == 0 ? kOk : fail_key(rc, path);
}

// watch [KEY]: waits for writes of the file, brings each into the store and prints the
// values below KEY that it changed, until SIGINT or SIGTERM.
int run_watch(const invocation &call) {
    key_path path = parse_key(call.args.empty() ? "" : call.args[0]);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    int signals = sigprocmask(SIG_BLOCK, &stop, nullptr) == 0
                      ? signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK)
                      : -1;
    if (signals < 0)
        return fail(kFailed, "cannot wait for signals: %s", strerror(errno));
    int32_t changes;
    int32_t rc = api.notify(&changes);
    if (rc != 0)
        return fail_call(rc, kConfigFile);
    // What was written between the load and the descriptor: taken in before the start.
    api.refresh(ZCONF_HKEY_ROOT, nullptr);
    value_lines seen;
    collect_values(path, "", &seen);
    fprintf(stderr, "zconf: watching %s\n", key_text(path).c_str());
    fflush(stderr);
    for (;;) {
        pollfd ready[2] = {{changes, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR)
            return fail(kFailed, "waiting for changes failed: %s", strerror(errno));
        if (ready[1].revents != 0)
            return kOk;
        if (ready[0].revents == 0)
            continue;
        char events[4096];
        while (read(changes, events, sizeof events) > 0) {
        }
        uint32_t changed = 0;
        rc = api.refresh(ZCONF_HKEY_ROOT, &changed);
        if (rc != 0) {
            fail_call(rc, kConfigFile); // a file that does not load: wait for the next
            continue;
        }
        if (!changed)
            continue;
        value_lines now;
        collect_values(path, "", &now);
        print_changes(seen, now);
        seen.swap(now);
    }
}

// help [COMMAND]: the tool's help or the command's.
int run_help(const invocation &call) {
    if (call.args.empty())
        print_tool_help();
    else
        print_command_help(*find_command(call.args[0]));
    return kOk;
}

} // namespace zconf
