// Base64 (RFC 4648): the standard alphabet of HTTP Basic credentials and
// the URL-safe one, unpadded, of signed tokens.
#ifndef REGISTRY_ACCESS_BASE64_H
#define REGISTRY_ACCESS_BASE64_H

#include <string>

namespace auth {

std::string base64url_encode(const std::string& bytes);
// Unpadded URL-safe text; false for any other character, a length no
// encoding has, or bits left over that an encoder would have written as 0.
bool base64url_decode(const std::string& text, std::string* bytes);
// Standard text, padding required as Basic credentials carry it.
bool base64_decode(const std::string& text, std::string* bytes);

}  // namespace auth

#endif
