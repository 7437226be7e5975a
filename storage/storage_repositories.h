// Which directories below repositories/ are repositories
// (storage_repositories.cpp).
#ifndef REGISTRY_STORAGE_REPOSITORIES_H
#define REGISTRY_STORAGE_REPOSITORIES_H

#include <string>
#include <vector>

#include "storage/storage_fs.h"
#include "storage/storage_text.h"

namespace storage {

// Every repository below repositories/, by its full name, at any depth.
// Unsorted. kMissing for a tree without a repositories directory.
Scan collect_repositories(NameList* out);
// Marks the directories on the way to a repository whose name nests, so
// that listings find it; done before the repository's first data.
int note_repository(const char* name);
// Builds the index of nested repositories for a tree that has none.
int index_nested_repositories();
// The full walk, for checks of the whole tree: every repository, found by
// looking into every directory, and the directories on the way to nested
// ones that the index does not mark.
Scan walk_repositories(NameList* repos, std::vector<std::string>* unmarked);
// Marks one directory as lying on the way to nested repositories.
int mark_nesting(const std::string& on_the_way);

}  // namespace storage

#endif
