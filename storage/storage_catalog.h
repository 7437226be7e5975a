// Pages of names as JSON: the catalog and the tag lists
// (storage_catalog.cpp).
#ifndef REGISTRY_STORAGE_CATALOG_H
#define REGISTRY_STORAGE_CATALOG_H

#include <cstddef>

#include "storage/reg_storage.h"
#include "storage/storage_text.h"

namespace storage {

// Writes head (head_len bytes), then names[start..end) as JSON strings
// joined by commas, then "]}": a page of at most cap - 1 bytes of text
// (the room of a buffer with its NUL; cap >= head_len + 3). A name that
// would take the text past that ends the page before it, so the text is
// always whole JSON. *written gets the number of names written.
void write_names_page(TextOut* out, const char* head, size_t head_len, char* const* names, int start, int end,
                      size_t cap, int* written);
// Where a page ended, for the caller's page record (may be null): the
// name to continue after, or null when the page reached the end.
void set_page(reg_page* page, const char* last_written);

}  // namespace storage

#endif
