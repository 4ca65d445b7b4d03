// Subcommand tables: a word selects the first entry (in table order) whose name
// it is a prefix of, when it is at least the entry's minimum length long. A
// word longer than the name never matches.
#pragma once

#include <cstddef>
#include <cstring>

namespace krel {

template <class Handler>
struct SubCommand {
    const char *name;
    int minLength;
    Handler handler;
};

inline bool matchesWord(const char *word, const char *name, int minLength)
{
    size_t len = strlen(word);
    return len >= static_cast<size_t>(minLength) && len <= strlen(name) && strncmp(word, name, len) == 0;
}

template <class Handler, size_t N>
const SubCommand<Handler> *findSubCommand(const SubCommand<Handler> (&table)[N], const char *word)
{
    for (const auto &entry : table)
        if (matchesWord(word, entry.name, entry.minLength)) return &entry;
    return nullptr;
}

}  // namespace krel
