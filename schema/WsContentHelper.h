// Parent lists of the content tree: each Object row's `parentlist` spells out
// its chain of ancestors as ", <id>, <parent id>, ... , ". The chain starts
// with the object itself and ends after the first recordings folder, before
// an id that no row has, before an id already in the chain (a cycle of
// parentid values), or before an entry that would not fit the 1023
// characters of the list.
#pragma once

#include <cstddef>
#include <string>

#include "database/Database.h"
#include "database/Records.h"

// The list is built in a buffer of this size: at most 1023 characters.
constexpr size_t ParentListSize = 1024;

// Fills buffer (ParentListSize bytes) with the parent list of object, reading
// each ancestor from the database, and returns buffer. Without an object the
// list is ", ".
char* BuildParentList(DbHandle* db, const ObjectRecord* object, char* buffer);

// Rewrites `parentlist` of object and of every object below it (reached
// through parentid) where the stored text is NULL or differs. Only the
// object's own ancestors are read from the database; every other list is
// derived from its parent's, which the walk already holds. An object met a
// second time (a cycle) is not walked again.
void UpdateParentLists(DbHandle* db, const ObjectRecord* object);

// The list of a child whose parent's list is parentList: the child's own
// entry, and unless it is a recordings folder the parent's entries up to
// the child's id if that occurs (a cycle), cut at a whole entry so that the
// text stays within ParentListSize - 1 characters.
std::string ChildParentList(int id, bool recordings, const std::string& parentList);
