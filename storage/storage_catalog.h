// Pages of names as JSON (storage_catalog.cpp).
#ifndef REGISTRY_STORAGE_CATALOG_H
#define REGISTRY_STORAGE_CATALOG_H

#include <cstddef>

namespace storage {

// Appends names[start..end) as JSON strings joined by commas, then "]}" and
// a NUL, after the pos bytes already in out. A name that would not fit ends
// the list before it, so the text is always whole JSON (cap - pos >= 3).
// Returns the text's length; *written gets the number of names written.
size_t append_names_and_close(char* out, size_t pos, size_t cap, char* const* names, int start, int end,
                              int* written);
// Writes {"repositories":[...]} for names[start..end) into out (cap >= 32).
// A name that would not fit ends the page before it: the text is always
// whole JSON. Returns its length.
size_t write_catalog_page(char* out, size_t cap, char* const* names, int start, int end, int* written);
// Records where the page just written ended: the name to continue after,
// or none when the page reached the end of the list.
void set_page_next(const char* last_written);

}  // namespace storage

#endif
