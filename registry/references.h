// The forms of references: digests and tags, each looked at whole.
#ifndef REGISTRY_REGISTRY_REFERENCES_H
#define REGISTRY_REGISTRY_REFERENCES_H

#include <string>

namespace registry {

class Call;

// "sha256:" and 64, or "sha512:" and 128, lower-case hex digits.
bool digest_form_valid(const std::string& digest);
// [A-Za-z0-9_][A-Za-z0-9._-]{0,127}
bool tag_form_valid(const std::string& tag);
// A reference with a ':' names a digest; any other, a tag.
bool is_digest_reference(const std::string& reference);
// A tag or a digest of the right form; else the 400 that says which is
// written and false.
bool reference_form_ok(Call& c, const std::string& reference);

}  // namespace registry

#endif
