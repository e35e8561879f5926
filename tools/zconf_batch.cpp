// zconf batch: many set, rm, mkkey and rmkey lines from a file or the standard input, run
// on one load of the store and written with one flush, all of them or none.
//
// Every line is read, split and checked before the library is loaded, so that a line
// with bad words fails before anything is done; then the lines run in order on the one
// store, and the first that fails ends the run before the flush, so the file keeps
// nothing of the batch. Messages about a line carry its place, "FILE:LINE: ".
#include "zconf_tool.h"

#include <cerrno>
#include <cstring>
#include <deque>

namespace zconf {

namespace {

// One line of the batch, split and checked. The invocation's arguments point into words,
// which is complete before they are taken and never moves afterwards.
struct batch_line {
    size_t number = 0;
    const command *c = nullptr;
    std::vector<std::string> words;
    invocation call;
};

// The checked lines of this run's batch (a deque keeps each line where it was made), and
// the batch's name as messages show it.
std::deque<batch_line> lines;
std::string source;

// An option a batch line may give, and its bit.
struct line_option {
    const char *text;
    unsigned flag;
};

constexpr line_option kLineOptions[] = {
    {"-r", kOptionRecursive},
    {"--volatile", kOptionVolatile},
};

// The commands a batch runs.
constexpr const char *kBatchCommands[] = {"set", "rm", "mkkey", "rmkey"};

// Blanks between words.
bool is_blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r'; }

// Reads the whole stream into *text; false when reading failed.
bool read_all(FILE *from, std::string *text) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, from)) > 0)
        text->append(buffer, n);
    return !ferror(from);
}

// Appends the double-quoted text that starts at line[*i] (after the quote) to word; a
// backslash keeps its meaning only before " \ $ and `. False when no quote closes it.
bool take_double_quoted(const std::string &line, size_t *i, std::string *word) {
    while (*i < line.size()) {
        char ch = line[(*i)++];
        if (ch == '"')
            return true;
        if (ch == '\\' && *i < line.size() && strchr("\"\\$`", line[*i]) != nullptr)
            ch = line[(*i)++];
        *word += ch;
    }
    return false;
}

// Splits a line into words as the shell quotes them: 'single', "double" and a backslash
// outside quotes taking the next byte as it is. False with *error saying what is wrong.
bool split_words(const std::string &line, std::vector<std::string> *words, const char **error) {
    size_t i = 0;
    for (;;) {
        while (i < line.size() && is_blank(line[i]))
            i++;
        if (i == line.size())
            return true;
        std::string word;
        while (i < line.size() && !is_blank(line[i])) {
            char ch = line[i++];
            if (ch == '\\') {
                if (i == line.size()) {
                    *error = "a backslash ends the line";
                    return false;
                }
                word += line[i++];
            } else if (ch == '\'') {
                size_t end = line.find('\'', i);
                if (end == std::string::npos) {
                    *error = "unterminated single quote";
                    return false;
                }
                word.append(line, i, end - i);
                i = end + 1;
            } else if (ch == '"') {
                if (!take_double_quoted(line, &i, &word)) {
                    *error = "unterminated double quote";
                    return false;
                }
            } else {
                word += ch;
            }
        }
        words->push_back(word);
    }
}

// Whether the batch runs the command called name.
bool batch_runs(const char *name) {
    for (const char *allowed : kBatchCommands)
        if (strcmp(allowed, name) == 0)
            return true;
    return false;
}

// Takes the line's options (words starting with "-" after the command's name, before
// its first operand or "--") and its operands into line->call; kUsage after a message.
int split_options(batch_line *line) {
    size_t i = 1;
    for (; i < line->words.size(); i++) {
        const std::string &word = line->words[i];
        if (word.size() < 2 || word[0] != '-')
            break;
        if (word == "--") {
            i++;
            break;
        }
        unsigned flag = 0;
        for (const line_option &o : kLineOptions)
            if (word == o.text)
                flag = o.flag;
        if (flag == 0)
            return fail(kUsage, "unknown option '%s' in a batch line", word.c_str());
        line->call.options |= flag;
    }
    for (; i < line->words.size(); i++)
        line->call.args.push_back(line->words[i].c_str());
    return kOk;
}

// Splits and checks one line of text, adding it to the batch unless it is blank or a
// comment; kOk, or the status after a message.
int add_line(size_t number, const std::string &text) {
    size_t first = 0;
    while (first < text.size() && is_blank(text[first]))
        first++;
    if (first == text.size() || text[first] == '#')
        return kOk;
    if (text.find('\0') != std::string::npos)
        return fail(kUsage, "a NUL byte in the line");
    lines.emplace_back();
    batch_line *line = &lines.back();
    line->number = number;
    const char *error = nullptr;
    if (!split_words(text, &line->words, &error))
        return fail(kUsage, "%s", error);
    const char *name = line->words[0].c_str();
    line->c = find_command(name);
    if (line->c == nullptr)
        return fail(kUsage, "unknown command '%s' (see zconf help batch)", name);
    if (!batch_runs(name))
        return fail(kUsage, "%s cannot run in a batch (only set, rm, mkkey and rmkey can)", name);
    if (split_options(line) != kOk)
        return kUsage;
    return check_arguments(*line->c, &line->call);
}

// Sets the place messages name to line `number` of the batch.
void set_place(size_t number) { message_place = source + ":" + std::to_string(number) + ": "; }

} // namespace

int check_batch_arguments(const command &, invocation *call) {
    const char *file = call->args.empty() ? "-" : call->args[0];
    bool from_input = strcmp(file, "-") == 0;
    source = from_input ? "(standard input)" : file;
    FILE *stream = from_input ? stdin : fopen(file, "r");
    if (stream == nullptr)
        return fail(kFailed, "%s: %s", file, strerror(errno));
    std::string text;
    bool read = read_all(stream, &text);
    int saved_errno = errno;
    if (!from_input)
        fclose(stream);
    if (!read)
        return fail(kFailed, "%s: %s", source.c_str(), strerror(saved_errno));
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        set_place(++number);
        int status = add_line(number, text.substr(start, end - start));
        if (status != kOk) {
            message_place.clear();
            return status;
        }
        start = end + 1;
    }
    message_place.clear();
    return kOk;
}

int run_batch(const invocation &) {
    for (const batch_line &line : lines) {
        set_place(line.number);
        int status = line.c->run(line.call);
        if (status != kOk) {
            message_place.clear();
            return status;
        }
    }
    message_place.clear();
    return kOk;
}

} // namespace zconf
