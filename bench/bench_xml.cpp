// Throughput of the XML stream channel on a device-like store: a write pass (parse, build
// and merge into an empty store), a read pass (walk and encode), and as a baseline expat
// and pugixml parsing the same text into an equivalent tree of heap nodes, and a direct
// encoder writing that tree's text into one buffer. Two documents, of about 40 KB and
// 4 MB, are generated from a seeded random source through the public calls.
#include "api/zconf_api.h"
#include "api/zconf_journal.h"
#include "dovizuz.h"
#include "tree/zconf_mem.h"
#include "tree/zconf_types.h"
#include "xml/zconf_proc.h"
#include "xml/zconf_value_text.h"
#include "xml/zconf_xml_enc.h"
#include "xml_test_support.h"

#include <benchmark/benchmark.h>

#ifdef DOVIZUZ_HAVE_EXPAT
#include <expat.h>
#endif
#ifdef DOVIZUZ_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

constexpr uint32_t piece = 40960;

// ---- the store ----

// Drops the calling thread's connection (it holds a reference on the root) and every key.
void empty_store() {
    DoviZUZClose(FindhConn());
    zconf_xml_open(ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR);
    zconf_xml_write_done();
}

int32_t write_in_pieces(std::string_view text) {
    return write_document(text, ZCONF_XML_OPEN_WRITE, piece);
}

// Reads the whole document; into `out` when given, else only counts it.
int64_t read_pass(std::string *out) {
    if (zconf_xml_open(ZCONF_XML_OPEN_READ) != 0)
        return -1;
    static char buf[piece];
    uint32_t fpos = 0;
    int64_t total = 0;
    int32_t n;
    while ((n = zconf_xml_read(buf, piece, &fpos)) > 0) {
        total += n;
        if (out != nullptr)
            out->append(buf, static_cast<size_t>(n));
        benchmark::DoNotOptimize(buf);
    }
    zconf_xml_read_done();
    return n < 0 ? n : total;
}

// ---- the generated contents ----

// Each area: its name, the kinds of device in it, the sections a device may have.
constexpr const char *areas[][3] = {
    {"Network", "Eth Wlan Bridge Vlan", "Dhcp Firewall Ipv4 Ipv6 Link Stats"},
    {"Radio", "Wifi Bluetooth Lte Zigbee", "Band2 Band5 Power Regulatory Scan Stats"},
    {"Services", "Sshd Httpd Ntpd Syslogd", "Config Limits Logging Schedule Stats Users"},
    {"Storage", "Emmc Mmc Nand Usb", "Cache Health Mount Partitions Power Stats"},
    {"System", "Cpu Gpio Thermal Watchdog", "Clock Events Limits Power Stats Status"},
};
constexpr const char *subsections[] = {"Channels", "Entries", "History", "Profiles", "Rules"};

// Strings with markup characters, control bytes and a Latin-1 letter among plain ones.
constexpr const char *phrases[] = {"Uplink port",
                                   "R&D <lab> \"bench\" rack",
                                   "line one\nline two\ttabbed",
                                   "caf\xE9 corner",
                                   "bell\x07 and\x01 escape\x1B",
                                   "managed by provisioning",
                                   "it's the spare unit",
                                   "primary"};

// The values a device key holds (the first four) and those a section may hold.
constexpr struct {
    const char *name;
    uint32_t type;
} kinds[] = {
    {"Enabled", ZCONF_VALUE_DWORD},    {"Label", ZCONF_VALUE_SZ},
    {"Mac", ZCONF_VALUE_BINARY},       {"Serial", ZCONF_VALUE_SZ},
    {"Enabled", ZCONF_VALUE_DWORD},    {"Mtu", ZCONF_VALUE_DWORD_LE},
    {"Address", ZCONF_VALUE_SZ},       {"Description", ZCONF_VALUE_SZ},
    {"Servers", ZCONF_VALUE_MULTI_SZ}, {"Key", ZCONF_VALUE_BINARY},
    {"Counter", ZCONF_VALUE_QWORD},    {"Uptime", ZCONF_VALUE_QWORD_LE},
    {"Flags", ZCONF_VALUE_DWORD_BE},   {"Checksum", ZCONF_VALUE_QWORD_BE},
    {"Path", ZCONF_VALUE_SZ},          {"Calibration", ZCONF_VALUE_BINARY},
    {"Reserved", ZCONF_VALUE_NONE},    {"Owner <R&D>\t\"lab\"", ZCONF_VALUE_SZ},
};
constexpr int device_kinds = 4, all_kinds = static_cast<int>(std::size(kinds));

// The n-th of the space-separated words.
std::string word(const char *words, uint32_t n) {
    std::string_view w(words);
    for (; n > 0; n--)
        w.remove_prefix(w.find(' ') + 1);
    return std::string(w.substr(0, w.find(' ')));
}

struct generator {
    std::mt19937 rng{20240611};
    unsigned counter[std::size(areas)] = {};
    bool ok = true;

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
    std::string ip() {
        return "10." + std::to_string(below(256)) + "." + std::to_string(below(256)) + "." +
               std::to_string(1 + below(254));
    }
    std::string random_bytes(size_t n) {
        std::string bytes(n, '\0');
        for (char &c : bytes)
            c = static_cast<char>(rng());
        return bytes;
    }

    // Data of a value of this kind, as the store takes it.
    std::string data(const char *name, uint32_t type, const std::string &device) {
        std::string s;
        switch (type) {
        case ZCONF_VALUE_NONE:
            return s;
        case ZCONF_VALUE_BINARY:
            return random_bytes(name[0] == 'M' ? 6 : name[0] == 'K' ? 16 : 64 + below(192));
        case ZCONF_VALUE_MULTI_SZ:
            for (uint32_t i = 0, n = 1 + below(4); i < n; i++)
                s += ip() + '\0';
            return s + '\0';
        case ZCONF_VALUE_SZ:
            s = name[0] == 'A'   ? ip()
                : name[0] == 'P' ? "/var/lib/" + device + ".conf"
                : name[0] == 'S' ? "SN" + std::to_string(rng())
                                 : phrases[below(std::size(phrases))];
            return s + '\0';
        default: // the integers: a random word, or a flag for Enabled
            return name[0] == 'E' ? std::string("\1\0\0\0", 4)
                                  : random_bytes(zconf_type_number_bytes(type));
        }
    }

    // A device key with its identity values, or a section with a random selection (at
    // least two) of the others.
    void key(const std::string &path, const std::string &device, bool identity) {
        ZConfKeyHandle h;
        ok = ok && ZConfCreateKey(ZCONF_HKEY_ROOT, path.c_str(), &h) == 0;
        if (!ok)
            return;
        for (int k = identity ? 0 : device_kinds, taken = 0;
             k < (identity ? device_kinds : all_kinds); k++) {
            if (!identity && below(100) >= 45 && !(k >= all_kinds - 2 && taken < 2))
                continue;
            std::string d = data(kinds[k].name, kinds[k].type, device);
            ok = ok && ZConfSetValueEx(h, kinds[k].name, kinds[k].type, d.data(),
                                       static_cast<uint32_t>(d.size())) == 0;
            taken++;
        }
        ZConfCloseKey(h);
    }

    // One device: Area\DeviceN, some of its sections, now and then a fourth level below
    // a section, and now and then a key with a name to escape.
    void device() {
        uint32_t a = below(std::size(areas));
        std::string device = word(areas[a][1], below(4)) + std::to_string(counter[a]++);
        std::string path = std::string(areas[a][0]) + "\\" + device;
        key(path, device, true);
        for (uint32_t s = 0; s < 6; s++) {
            if (below(2) != 0)
                continue;
            std::string section = path + "\\" + word(areas[a][2], s);
            key(section, device, false);
            if (below(3) == 0)
                key(section + "\\" + subsections[below(std::size(subsections))], device, false);
        }
        if (below(8) == 0)
            key(path + "\\Notes & <\"Drafts\">", device, false);
    }
};

// ---- the baselines: a tree of heap nodes with decoded names and data ----

#if defined(DOVIZUZ_HAVE_EXPAT) || defined(DOVIZUZ_HAVE_PUGIXML)
#define DOVIZUZ_HAVE_BASELINE_TREE

struct xvalue {
    std::string name;
    uint32_t type;
    std::string data;
};

struct xnode {
    std::string name;
    xnode *parent = nullptr;
    std::vector<xvalue> values;
    std::vector<std::unique_ptr<xnode>> keys;
};

// The parsers hand out UTF-8; the store keeps Latin-1. Expat refuses references to most
// control characters, so the baselines' copy of the text carries them moved to
// U+0080..U+009F (see shift_controls), and they are moved back here.
void latin1(std::string_view utf8, std::string &out) {
    for (size_t i = 0; i < utf8.size(); i++) {
        auto c = static_cast<uint8_t>(utf8[i]);
        if (c >= 0x80 && i + 1 < utf8.size()) {
            c = static_cast<uint8_t>(((c & 3) << 6) | (static_cast<uint8_t>(utf8[++i]) & 0x3F));
            c = c < 0xA0 ? static_cast<uint8_t>(c - 0x80) : c;
        }
        out.push_back(static_cast<char>(c));
    }
}

int hex_digit(char c) { return zconf_text_hex_value(static_cast<uint8_t>(c)); }

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The stored data of a value from its element's text, decoded as the store's reader does.
bool decode_value(int type, const std::string &text, std::string &data) {
    if (type == ZCONF_VALUE_NONE)
        return std::all_of(text.begin(), text.end(), is_ws);
    if (type == ZCONF_VALUE_SZ || type == ZCONF_VALUE_MULTI_SZ) {
        latin1(text, data);
        if (data.empty() || data.back() != '\0')
            data.push_back('\0');
        return true;
    }
    if (type == ZCONF_VALUE_BINARY) {
        uint32_t digits = 0;
        uint8_t byte = 0;
        for (char c : text) {
            int d = is_ws(c) ? -2 : hex_digit(c);
            if (d == -1)
                return false;
            if (d >= 0 && zconf_text_put_pair_digit(&byte, digits++, d))
                data.push_back(static_cast<char>(byte));
        }
        return digits % 2 == 0;
    }
    uint32_t bytes = zconf_type_number_bytes(static_cast<uint32_t>(type));
    uint8_t number[sizeof(uint64_t)];
    if (text.size() > zconf_text_number_max(bytes) ||
        !zconf_text_read_number(text.data(), text.size(), static_cast<uint32_t>(type), number))
        return false;
    data.assign(reinterpret_cast<const char *>(number), bytes);
    return true;
}

#endif

#ifdef DOVIZUZ_HAVE_EXPAT

struct xparse {
    XML_Parser parser;
    std::unique_ptr<xnode> root;
    xnode *cur = nullptr;
    int type = -1; // the open value element's type code, -1 outside one
    std::string vname, text;
};

void XMLCALL on_start(void *user, const XML_Char *name, const XML_Char **atts) {
    auto *p = static_cast<xparse *>(user);
    int type = zconf_type_of_element(name);
    std::string attr;
    for (; atts[0] != nullptr; atts += 2)
        if (std::strcmp(atts[0], "name") == 0)
            latin1(atts[1], attr);
    if (type == ZCONF_TYPE_KEY && p->root == nullptr && attr == ZCONF_ROOT_NAME) {
        p->root = std::make_unique<xnode>();
        p->cur = p->root.get();
        p->cur->name = std::move(attr);
    } else if (type == ZCONF_TYPE_KEY && p->cur != nullptr && p->type < 0) {
        auto &child = p->cur->keys.emplace_back(std::make_unique<xnode>());
        child->name = std::move(attr);
        child->parent = p->cur;
        p->cur = child.get();
    } else if (zconf_is_value_type(type) && p->cur != nullptr && p->cur->parent != nullptr &&
               p->type < 0) {
        p->type = type;
        p->vname = std::move(attr);
        p->text.clear();
    } else {
        XML_StopParser(p->parser, XML_FALSE);
    }
}

void XMLCALL on_data(void *user, const XML_Char *s, int len) {
    auto *p = static_cast<xparse *>(user);
    if (p->type >= 0)
        p->text.append(s, static_cast<size_t>(len));
    else if (!std::all_of(s, s + len, is_ws))
        XML_StopParser(p->parser, XML_FALSE);
}

void XMLCALL on_end(void *user, const XML_Char *) {
    auto *p = static_cast<xparse *>(user);
    if (p->type < 0) {
        p->cur = p->cur != nullptr ? p->cur->parent : nullptr;
        return;
    }
    xvalue v{std::move(p->vname), static_cast<uint32_t>(p->type), {}};
    if (!decode_value(p->type, p->text, v.data))
        XML_StopParser(p->parser, XML_FALSE);
    p->cur->values.push_back(std::move(v));
    p->type = -1;
}

// Parses the text in pieces; the tree, or nullptr when expat or a callback refused it.
std::unique_ptr<xnode> expat_parse(std::string_view text) {
    xparse p;
    p.parser = XML_ParserCreate(nullptr);
    XML_SetUserData(p.parser, &p);
    XML_SetElementHandler(p.parser, on_start, on_end);
    XML_SetCharacterDataHandler(p.parser, on_data);
    bool ok = true;
    for (size_t at = 0; at < text.size() && ok;) {
        size_t n = std::min<size_t>(piece, text.size() - at);
        at += n;
        ok = XML_Parse(p.parser, text.data() + at - n, static_cast<int>(n), at == text.size()) ==
             XML_STATUS_OK;
    }
    XML_ParserFree(p.parser);
    return ok ? std::move(p.root) : nullptr;
}

#endif

#ifdef DOVIZUZ_HAVE_BASELINE_TREE

// "&#x00;".."&#x1F;" other than TAB, LF and CR become "&#x80;".."&#x9F;", same length;
// fails when the text holds raw bytes of that range, which would read back as controls.
bool shift_controls(std::string &text) {
    for (size_t i = 0; i + 5 < text.size(); i++) {
        if (static_cast<uint8_t>(text[i]) >= 0x80 && static_cast<uint8_t>(text[i]) < 0xA0)
            return false;
        if (text.compare(i, 3, "&#x") != 0 || text[i + 5] != ';' ||
            (text[i + 3] != '0' && text[i + 3] != '1'))
            continue;
        int v = hex_digit(text[i + 3]) * 16 + hex_digit(text[i + 4]);
        if (v != '\t' && v != '\n' && v != '\r')
            text[i + 3] = static_cast<char>(text[i + 3] + 8);
    }
    return true;
}

// The expat tree holds the same keys and values, in the same order, as the store.
bool same_tree(const xnode &x, zconf_key *key) {
    zconf_list *l = key->values.next;
    for (const xvalue &v : x.values) {
        if (l == &key->values)
            return false;
        zconf_value *z = zconf_value_of(l);
        auto data = reinterpret_cast<const char *>(zconf_value_data(z));
        if (v.name != z->name || v.type != zconf_value_type(z) ||
            v.data != std::string_view(data, zconf_value_len(z)))
            return false;
        l = l->next;
    }
    zconf_list *k = key->subkeys.next;
    for (const auto &child : x.keys) {
        if (k == &key->subkeys || !same_tree(*child, zconf_key_of(k)))
            return false;
        k = k->next;
    }
    return x.name == key->name && l == &key->values && k == &key->subkeys;
}

#endif

#ifdef DOVIZUZ_HAVE_PUGIXML

// Copies a parsed element's keys and values into heap nodes; false when the document is
// not one the store would load the same way.
bool copy_pugi_key(const pugi::xml_node &element, xnode &into) {
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata) {
            const char *t = child.value();
            if (!std::all_of(t, t + std::strlen(t), is_ws))
                return false;
            continue;
        }
        if (child.type() != pugi::node_element)
            return false;
        int type = zconf_type_of_element(child.name());
        std::string name;
        latin1(child.attribute("name").value(), name);
        if (type == ZCONF_TYPE_KEY) {
            auto &sub = into.keys.emplace_back(std::make_unique<xnode>());
            sub->name = std::move(name);
            sub->parent = &into;
            if (!copy_pugi_key(child, *sub))
                return false;
        } else if (zconf_is_value_type(type) && into.parent != nullptr) {
            std::string text;
            for (pugi::xml_node t = child.first_child(); t; t = t.next_sibling())
                if (t.type() == pugi::node_pcdata)
                    text += t.value();
                else
                    return false;
            xvalue v{std::move(name), static_cast<uint32_t>(type), {}};
            if (!decode_value(type, text, v.data))
                return false;
            into.values.push_back(std::move(v));
        } else {
            return false;
        }
    }
    return true;
}

// Parses the whole text (Latin-1, read into UTF-8) and copies its DOM into heap nodes; the
// tree, or nullptr when pugixml or the copy refused it.
std::unique_ptr<xnode> pugixml_parse(std::string_view text) {
    pugi::xml_document doc;
    unsigned options = (pugi::parse_default | pugi::parse_ws_pcdata) & ~pugi::parse_eol;
    if (!doc.load_buffer(text.data(), text.size(), options, pugi::encoding_latin1))
        return nullptr;
    pugi::xml_node top = doc.document_element();
    auto root = std::make_unique<xnode>();
    latin1(top.attribute("name").value(), root->name);
    if (zconf_type_of_element(top.name()) != ZCONF_TYPE_KEY || root->name != ZCONF_ROOT_NAME ||
        !copy_pugi_key(top, *root))
        return nullptr;
    return root;
}

#endif

#ifdef DOVIZUZ_HAVE_BASELINE_TREE

// The baseline tree of the text, from whichever parser is present.
std::unique_ptr<xnode> expat_or_pugixml(std::string_view text) {
#ifdef DOVIZUZ_HAVE_PUGIXML
    return pugixml_parse(text);
#else
    return expat_parse(text);
#endif
}

// ---- the direct encoder: the tree's text written into one buffer ----

struct escapes {
    uint8_t len[256]; // 1 for a byte written as itself
    constexpr escapes() : len() {
        for (int c = 0; c < 256; c++)
            len[c] = c < 0x20 ? 6 : 1;
        len[uint8_t{'"'}] = 6;
        len[uint8_t{'&'}] = 5;
        len[uint8_t{'<'}] = len[uint8_t{'>'}] = 4;
    }
};
constexpr escapes escape;

// Appends the bytes escaped as the document writes them.
void put_escaped(std::string &out, const char *p, size_t n) {
    static const char hex[] = "0123456789ABCDEF";
    size_t from = 0;
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<uint8_t>(p[i]);
        if (escape.len[c] == 1)
            continue;
        out.append(p + from, i - from);
        from = i + 1;
        if (c == '"')
            out += "&quot;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += {'&', '#', 'x', hex[c >> 4], hex[c & 15], ';'};
    }
    out.append(p + from, n - from);
}

// Appends level TABs and a start tag with its escaped name attribute.
void put_start(std::string &out, int level, const char *element, const std::string &name) {
    out.append(static_cast<size_t>(level), '\t');
    out += '<';
    out += element;
    out += " name=\"";
    put_escaped(out, name.data(), name.size());
    out += "\">";
}

// Appends an end tag and its line feed.
void put_end(std::string &out, const char *element) {
    out += "</";
    out += element;
    out += ">\n";
}

// Appends a key's lines (its start line, its values, its subkeys, its end line).
void encode_key(std::string &out, const xnode &key, int level) {
    const char *kelem = zconf_type(ZCONF_TYPE_KEY).element;
    put_start(out, level, kelem, key.name);
    out += '\n';
    for (const xvalue &v : key.values) {
        const char *element = zconf_type(v.type).element;
        put_start(out, level + 1, element, v.name);
        const auto *data = reinterpret_cast<const uint8_t *>(v.data.data());
        switch (zconf_type(v.type).text) {
        case ZCONF_TEXT_NONE:
            break;
        case ZCONF_TEXT_BYTES: {
            size_t at = out.size();
            out.resize(at + 2 * v.data.size());
            char *dst = out.data() + at;
            for (uint8_t b : v.data)
                dst = zconf_text_put_pair(dst, b);
            break;
        }
        case ZCONF_TEXT_STRING:
            put_escaped(out, v.data.data(), std::strlen(v.data.c_str()));
            break;
        case ZCONF_TEXT_STRING_LIST:
            put_escaped(out, v.data.data(), v.data.size());
            break;
        case ZCONF_TEXT_NUMBER32:
        case ZCONF_TEXT_NUMBER64: {
            char number[32];
            out.append(number,
                       static_cast<size_t>(zconf_text_write_number(number, v.type, data) - number));
            break;
        }
        }
        put_end(out, element);
    }
    for (const auto &sub : key.keys)
        encode_key(out, *sub, level + 1);
    out.append(static_cast<size_t>(level), '\t');
    put_end(out, kelem);
}

// The whole document's text: the prologue the store writes, then the tree.
void encode_direct(std::string &out, std::string_view prologue, const xnode &root) {
    out.clear();
    out.append(prologue);
    encode_key(out, root, 0);
}

#endif

// ---- the two documents ----

struct document {
    explicit document(size_t size) : target(size) {}
    size_t target;
    std::string text, shifted; // shifted: the text as the baselines read it
    size_t prologue = 0;       // bytes before the root key's start tag
    uint32_t nodes = 0;        // live nodes with the document loaded, the root included
    bool ok = false;
    std::once_flag once;
};

document docs[2] = {document(40 * 1024), document(4 * 1024 * 1024)};

// Adds devices until the document reaches its target size, keeps its text, and checks
// that the text loads back into the same number of nodes and that expat reads it back
// into the same keys and values.
void build(document &d) {
    empty_store();
    generator g;
    size_t devices = 0;
    int64_t size;
    while (g.ok && (size = read_pass(nullptr)) > 0 && static_cast<size_t>(size) < d.target) {
        // Half the estimated shortfall at a time, so the size ends just past the target.
        size_t want = devices + 1 + (d.target - size) * devices / size / 2;
        for (; devices < want; devices++)
            g.device();
    }
    d.ok = g.ok && read_pass(&d.text) > 0;
    d.nodes = mem_cache[0].count;
    empty_store();
    d.ok = d.ok && write_in_pieces(d.text) == 0 && mem_cache[0].count == d.nodes;
#ifdef DOVIZUZ_HAVE_BASELINE_TREE
    d.shifted = d.text;
    d.ok = d.ok && shift_controls(d.shifted);
    d.prologue = d.text.find("<" + std::string(zconf_type(ZCONF_TYPE_KEY).element) + " ");
    std::unique_ptr<xnode> tree;
#endif
#ifdef DOVIZUZ_HAVE_EXPAT
    tree = d.ok ? expat_parse(d.shifted) : nullptr;
    d.ok = tree != nullptr && same_tree(*tree, ZCONF_ROOT);
#endif
#ifdef DOVIZUZ_HAVE_PUGIXML
    tree = d.ok ? pugixml_parse(d.shifted) : nullptr;
    d.ok = tree != nullptr && same_tree(*tree, ZCONF_ROOT);
#endif
#ifdef DOVIZUZ_HAVE_BASELINE_TREE
    std::string direct;
    if (d.ok)
        encode_direct(direct, std::string_view(d.text).substr(0, d.prologue), *tree);
    d.ok = d.ok && direct == d.text;
#endif
    empty_store();
}

document *prepare(benchmark::State &state, int which) {
    document &d = docs[which];
    std::call_once(d.once, [&] { build(d); });
    if (!d.ok) {
        state.SkipWithError("generating or checking the document failed");
        return nullptr;
    }
    state.counters["doc_bytes"] = static_cast<double>(d.text.size());
    return &d;
}

// Runs `pass` once per iteration, then `untimed` (if not nullptr) with the timer stopped;
// stops with an error when either fails. Reports the document's bytes per second.
template <typename Pass, typename Untimed>
void run(benchmark::State &state, const document &d, Pass pass, Untimed untimed) {
    for (auto _ : state) {
        bool ok = pass();
        if constexpr (!std::is_null_pointer_v<Untimed>) {
            state.PauseTiming();
            ok = untimed() && ok;
            state.ResumeTiming();
        }
        if (!ok) {
            state.SkipWithError("a pass failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.text.size()));
}

// ---- the benchmarks ----

// One write pass into the empty store, 40960 bytes per write; emptying it is not timed.
void BM_write_pass(benchmark::State &state, int which) {
    document *d = prepare(state, which);
    if (d == nullptr)
        return;
    empty_store();
    run(
        state, *d, [&] { return write_in_pieces(d->text) == 0; },
        [&] {
            bool loaded = mem_cache[0].count == d->nodes;
            empty_store();
            return loaded;
        });
}

// One read pass of the loaded store, 40960 bytes per read. The walk's time goes mostly
// to fetching nodes, so it depends on where the heap put them: after the benchmark's
// earlier stores came and went they lie scattered (BM_read_pass). A store loaded by a
// thread of its own, which the C library gives a heap arena of its own, lies in
// document order as one loaded at start-up does (BM_read_pass_fresh).
void read_pass_of_store(benchmark::State &state, int which, bool fresh) {
    document *d = prepare(state, which);
    if (d == nullptr)
        return;
    empty_store();
    int32_t loaded = -1;
    if (fresh)
        std::thread([&] { loaded = write_in_pieces(d->text); }).join();
    else
        loaded = write_in_pieces(d->text);
    std::string text;
    if (loaded == 0 && read_pass(&text) > 0 && text == d->text)
        run(
            state, *d, [&] { return read_pass(nullptr) == static_cast<int64_t>(d->text.size()); },
            nullptr);
    else
        state.SkipWithError("the store does not read back as its document");
    empty_store();
}

void BM_read_pass(benchmark::State &state, int which) { read_pass_of_store(state, which, false); }

void BM_read_pass_fresh(benchmark::State &state, int which) {
    read_pass_of_store(state, which, true);
}

#ifdef DOVIZUZ_HAVE_BASELINE_TREE
// A baseline parser (expat, 40960 bytes at a time, or pugixml, all at once and its DOM
// copied) building a tree of heap nodes from the same bytes; freeing the tree is not
// timed.
void BM_baseline(benchmark::State &state, int which,
                 std::unique_ptr<xnode> (*parse)(std::string_view)) {
    document *d = prepare(state, which);
    if (d == nullptr)
        return;
    std::unique_ptr<xnode> tree;
    run(
        state, *d, [&] { return (tree = parse(d->shifted)) != nullptr; },
        [&] {
            tree.reset();
            return true;
        });
}
#endif

#ifdef DOVIZUZ_HAVE_BASELINE_TREE
// The document's text written from the heap tree into one buffer, which is kept between
// iterations as a reader's buffer would be.
void BM_direct_encoder(benchmark::State &state, int which) {
    document *d = prepare(state, which);
    if (d == nullptr)
        return;
    std::unique_ptr<xnode> tree = expat_or_pugixml(d->shifted);
    std::string out;
    std::string_view prologue = std::string_view(d->text).substr(0, d->prologue);
    if (tree == nullptr) {
        state.SkipWithError("the baseline tree could not be built");
        return;
    }
    run(
        state, *d,
        [&] {
            encode_direct(out, prologue, *tree);
            benchmark::DoNotOptimize(out.data());
            return out.size() == d->text.size();
        },
        nullptr);
}
#endif

// ---- scaling: large sibling sets ----

// Seconds per key (or value) of a pass over `n` of them, as a counter.
benchmark::Counter per_item(double n) {
    return benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate |
                                     benchmark::Counter::kInvert);
}

// Keys in the generated 40 KB document (the root aside), for its per-key figure.
uint32_t count_keys(const std::string &text) {
    uint32_t n = 0;
    for (size_t at = 0; (at = text.find("<KEY ", at)) != std::string::npos; at++)
        n++;
    return n - 1;
}

// The numbers 0..n-1 in order, or shuffled (the same way every run).
std::vector<uint32_t> name_order(uint32_t n, bool shuffled) {
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; i++)
        order[i] = i;
    if (shuffled)
        std::shuffle(order.begin(), order.end(), std::mt19937(5));
    return order;
}

// A document of n keys side by side under the root, each with one DWORD, named
// "Lease0000000".. in name order or shuffled.
std::string flat_document(uint32_t n, bool shuffled) {
    std::string text = std::string(xml_declaration) + "<KEY name=\"ZCONF_ROOT\">\n";
    char line[160];
    for (uint32_t i : name_order(n, shuffled)) {
        snprintf(
            line, sizeof line,
            "\t<KEY name=\"Lease%07u\">\n\t\t<VALUE_DWORD name=\"Lease\">0x%08X</VALUE_DWORD>\n"
            "\t</KEY>\n",
            i, i);
        text += line;
    }
    return text + "</KEY>\n";
}

// A document of one key holding n DWORD values, named in order or shuffled.
std::string wide_document(uint32_t n, bool shuffled) {
    std::string text =
        std::string(xml_declaration) + "<KEY name=\"ZCONF_ROOT\">\n\t<KEY name=\"Wide\">\n";
    char line[160];
    for (uint32_t i : name_order(n, shuffled)) {
        snprintf(line, sizeof line, "\t\t<VALUE_DWORD name=\"Rule%07u\">0x%08X</VALUE_DWORD>\n", i,
                 i);
        text += line;
    }
    return text + "\t</KEY>\n</KEY>\n";
}

// The per-key cost of a write pass of the generated 40 KB document, for comparison.
void BM_device_per_key(benchmark::State &state) {
    BM_write_pass(state, 0);
    if (const document *d = prepare(state, 0))
        state.counters["per_key"] = per_item(count_keys(d->text));
}

// Loads text into the empty store again and again (emptying it is not timed); each load
// must leave `nodes` nodes of the smallest class, else the benchmark stops with failure.
void time_loads(benchmark::State &state, const std::string &text, uint32_t nodes,
                const char *failure) {
    empty_store();
    for (auto _ : state) {
        bool ok = write_in_pieces(text) == 0;
        state.PauseTiming();
        ok = ok && mem_cache[0].count == nodes;
        empty_store();
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError(failure);
            break;
        }
    }
}

// Loading n flat keys (argument 1: shuffled) into the empty store.
void BM_load_flat(benchmark::State &state) {
    auto n = static_cast<uint32_t>(state.range(0));
    std::string text = flat_document(n, state.range(1) != 0);
    time_loads(state, text, 2 * n + 1, "the keys did not load");
    state.counters["per_key"] = per_item(n);
}

// Loading one key of n values (argument 1: shuffled names) into the empty store.
void BM_load_values(benchmark::State &state) {
    auto n = static_cast<uint32_t>(state.range(0));
    std::string text = wide_document(n, state.range(1) != 0);
    time_loads(state, text, n + 2, "the values did not load");
    state.counters["per_value"] = per_item(n);
}

// Setting n new DWORD values of one key through the API and then each of them once more
// (argument 1: names in shuffled order), the journal recording every set; per value set.
void BM_set_values(benchmark::State &state) {
    auto n = static_cast<uint32_t>(state.range(0));
    std::vector<std::string> names;
    for (uint32_t i : name_order(n, state.range(1) != 0)) {
        char name[32];
        snprintf(name, sizeof name, "Rule%07u", i);
        names.push_back(name);
    }
    for (auto _ : state) {
        state.PauseTiming();
        empty_store();
        zconf_journal_clear();
        ZConfKeyHandle h;
        bool ok = ZConfCreateKey(ZCONF_HKEY_ROOT, "Wide", &h) == 0;
        state.ResumeTiming();
        for (uint32_t i = 0; ok && i < 2 * n; i++)
            ok = ZConfSetValueEx(h, names[i % n].c_str(), ZCONF_VALUE_DWORD, &i, sizeof i) == 0;
        if (!ok || zconf_change_count != n + 1) {
            state.SkipWithError("the values were not set, or not recorded once each");
            break;
        }
    }
    empty_store();
    zconf_journal_clear();
    state.counters["per_value"] = per_item(2 * n);
}

// Makes (and closes) the n keys Own\LeaseNNNNNNN; false when one fails.
bool make_own_keys(uint32_t n) {
    bool ok = true;
    for (uint32_t i = 0; ok && i < n; i++) {
        char path[32];
        snprintf(path, sizeof path, "Own\\Lease%07u", i);
        ZConfKeyHandle h;
        ok = ZConfCreateKey(ZCONF_HKEY_ROOT, path, &h) == 0 && ZConfCloseKey(h) == 0;
    }
    return ok;
}

// A refresh of the root while this process holds n changes of keys under one key, not
// yet flushed, that the file does not show: n new keys the file lacks (deleted = 0) or
// n keys of the file deleted here (deleted = 1). Each change stands, so the refresh
// changes nothing. It reads the configuration file, which the run's private namespace
// (tests/isolated.sh) keeps apart from the machine's.
void BM_refresh_own_changes(benchmark::State &state) {
    const char *isolated = getenv("DOVIZUZ_ISOLATED");
    if (isolated == nullptr || strcmp(isolated, "1") != 0) {
        state.SkipWithError("run through tests/isolated.sh: the benchmark saves the file");
        return;
    }
    auto n = static_cast<uint32_t>(state.range(0));
    bool deleted = state.range(1) != 0;
    empty_store();
    zconf_journal_clear();
    if ((deleted && !make_own_keys(n)) || SaveXMLFile() != 0) {
        state.SkipWithError("the file was not saved");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = true;
        if (deleted) {
            zconf_journal_clear();
            ZConfKeyHandle own;
            ok = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Own", ZCONF_KEY_ALL, &own) == 0;
            for (uint32_t i = 0; ok && i < n; i++) {
                char name[32];
                snprintf(name, sizeof name, "Lease%07u", i);
                ok = ZConfDeleteKey(own, name) == 0;
            }
            ok = ok && ZConfCloseKey(own) == 0;
        } else {
            empty_store();
            zconf_journal_clear();
            ok = make_own_keys(n);
        }
        state.ResumeTiming();
        uint32_t changed = 1;
        if (!ok || ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed) != 0 || changed != 0) {
            state.SkipWithError("the changes were not made, or the refresh undid them");
            break;
        }
        if (deleted) {
            state.PauseTiming();
            ok = make_own_keys(n);
            state.ResumeTiming();
        }
    }
    empty_store();
    zconf_journal_clear();
    state.counters["per_key"] = per_item(n);
}

// Listing the n keys of a flat list (values = 0) or the n values of one key (values = 1)
// by position, 0, 1, 2, ... until the call says there is no more, as programs list them.
void BM_enum_all(benchmark::State &state) {
    auto n = static_cast<uint32_t>(state.range(0));
    bool values = state.range(1) != 0;
    empty_store();
    ZConfKeyHandle h = ZCONF_HKEY_ROOT;
    if (write_in_pieces(values ? wide_document(n, false) : flat_document(n, false)) != 0 ||
        (values && ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Wide", ZCONF_KEY_READ, &h) != 0)) {
        state.SkipWithError("the list did not load");
        return;
    }
    for (auto _ : state) {
        uint32_t listed = 0;
        char name[32];
        uint32_t size = sizeof name;
        while ((values ? ZConfEnumValue(h, listed, name, &size, nullptr, nullptr, nullptr)
                       : ZConfEnumKey(h, listed, name, sizeof name)) == 0) {
            listed++;
            size = sizeof name;
        }
        if (listed != n) {
            state.SkipWithError("the list did not list whole");
            break;
        }
    }
    if (values)
        ZConfCloseKey(h);
    empty_store();
    state.counters["per_item"] = per_item(n);
}

// Opening (and closing) the last of n flat keys.
void BM_open_last_of(benchmark::State &state) {
    auto n = static_cast<uint32_t>(state.range(0));
    empty_store();
    if (write_in_pieces(flat_document(n, false)) != 0) {
        state.SkipWithError("the keys did not load");
        return;
    }
    char path[32];
    snprintf(path, sizeof path, "Lease%07u", n - 1);
    for (auto _ : state) {
        ZConfKeyHandle h;
        if (ZConfOpenKeyEx(ZCONF_HKEY_ROOT, path, ZCONF_KEY_READ, &h) != 0) {
            state.SkipWithError("the key was not found");
            break;
        }
        ZConfCloseKey(h);
    }
    empty_store();
}

// Reading the last of n values of one key (through a handle open throughout).
void BM_query_last_of(benchmark::State &state) {
    auto n = static_cast<uint32_t>(state.range(0));
    empty_store();
    ZConfKeyHandle h;
    if (write_in_pieces(wide_document(n, false)) != 0 ||
        ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Wide", ZCONF_KEY_READ, &h) != 0) {
        state.SkipWithError("the values did not load");
        return;
    }
    char name[32];
    snprintf(name, sizeof name, "Rule%07u", n - 1);
    for (auto _ : state) {
        uint32_t v = 0, size = sizeof v;
        if (ZConfQueryValueEx(h, name, nullptr, &v, &size) != 0 || v != n - 1) {
            state.SkipWithError("the value was not found");
            break;
        }
    }
    ZConfCloseKey(h);
    empty_store();
}

} // namespace

int main(int argc, char **argv) {
    const char *sizes[] = {"40k", "4M"};
    for (int i = 0; i < 2; i++) {
        std::string at = std::string("/") + sizes[i];
        benchmark::RegisterBenchmark(("BM_write_pass" + at).c_str(), BM_write_pass, i);
        benchmark::RegisterBenchmark(("BM_read_pass" + at).c_str(), BM_read_pass, i);
        benchmark::RegisterBenchmark(("BM_read_pass_fresh" + at).c_str(), BM_read_pass_fresh, i);
#ifdef DOVIZUZ_HAVE_EXPAT
        benchmark::RegisterBenchmark(("BM_expat_baseline" + at).c_str(), BM_baseline, i,
                                     expat_parse);
#endif
#ifdef DOVIZUZ_HAVE_PUGIXML
        benchmark::RegisterBenchmark(("BM_pugixml_baseline" + at).c_str(), BM_baseline, i,
                                     pugixml_parse);
#endif
#ifdef DOVIZUZ_HAVE_BASELINE_TREE
        benchmark::RegisterBenchmark(("BM_direct_encoder" + at).c_str(), BM_direct_encoder, i);
#endif
    }
    benchmark::RegisterBenchmark("BM_device_per_key/40k", BM_device_per_key);
    auto *flat = benchmark::RegisterBenchmark("BM_load_flat", BM_load_flat);
    for (int64_t n : {1000, 16000, 100000, 400000})
        for (int64_t shuffled : {0, 1})
            flat->Args({n, shuffled});
    benchmark::RegisterBenchmark("BM_load_values", BM_load_values)
        ->Args({1000, 0})
        ->Args({1000, 1})
        ->Args({100000, 0})
        ->Args({100000, 1});
    benchmark::RegisterBenchmark("BM_set_values", BM_set_values)
        ->Args({1000, 0})
        ->Args({100000, 0})
        ->Args({100000, 1});
    benchmark::RegisterBenchmark("BM_refresh_own_changes", BM_refresh_own_changes)
        ->ArgsProduct({{1000, 16000, 100000}, {0, 1}});
    benchmark::RegisterBenchmark("BM_enum_all", BM_enum_all)
        ->ArgsProduct({{1000, 16000, 100000}, {0, 1}});
    benchmark::RegisterBenchmark("BM_open_last_of", BM_open_last_of)->Arg(10)->Arg(100000);
    benchmark::RegisterBenchmark("BM_query_last_of", BM_query_last_of)->Arg(10)->Arg(100000);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
