// Name index beside a large sibling list: the members' links sorted by name (equal names
// in list order), each beside a folded copy of the start of its name, kept in blocks from
// the plain heap so the node counts never see it. The list stays the one authority on
// order; an index can be dropped at any time and built again from its list.
#pragma once

#include "tree/zconf_int.h"

#include <cstdint>

struct zconf_index;

// Lists of more members than this get an index when a walk passes over them.
enum : uint32_t { ZCONF_INDEX_THRESHOLD = 32 };

// Has fork() take the registry's lock in the parent and let it go on both sides, so a
// child never inherits it held. Call it before registering fork handlers of locks taken
// around index calls: handlers registered earlier run their locking step later.
void zconf_index_guard_forks();
// The index registered for the list head, or NULL.
zconf_index *zconf_index_get(const zconf_list *head);
// Builds and registers an index of the list's members (values when of_values, else
// subkeys, whose list is in name order already); NULL when the heap refuses it.
zconf_index *zconf_index_build(zconf_list *head, bool of_values);
// Unregisters and frees the list's index, if it has one.
void zconf_index_drop(const zconf_list *head);
// The first member (in list order) whose name equals name, letter case aside, or NULL.
zconf_list *zconf_index_find(const zconf_index *index, const char *name);
// Adds a member behind all members of an equal name and, when next is not NULL, sets
// *next to the member that follows it in name order (NULL when none does); false when the
// heap refuses room, *next being set all the same and the index then unusable (drop it).
bool zconf_index_insert(zconf_index *index, zconf_list *link, zconf_list **next);
// Adds a member directly behind an indexed one of the same name; false as above.
bool zconf_index_insert_behind(zconf_index *index, zconf_list *existing, zconf_list *link);
// Puts a member in the place of an indexed one of the same name.
void zconf_index_replace(zconf_index *index, zconf_list *old, zconf_list *link);
// Takes an indexed member out.
void zconf_index_remove(zconf_index *index, zconf_list *link);
