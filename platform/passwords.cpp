// Passwords through libxcrypt: the system's crypt library on Debian
// (libcrypt-dev), and on Windows, which has none, the same library built
// from Debian's source (scripts/setup --windows). Never a crypt of our own.
#include <crypt.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host.h"

namespace host {

bool password_fits_bcrypt(std::string_view password) {
  return password.size() <= kPasswordMax && password.find('\0') == std::string_view::npos;
}

bool check_password(std::string_view password, const char* hash) {
  if (!password_fits_bcrypt(password)) return false;
  // The library takes a C string: a copy that ends where the password does.
  const std::string text(password);
  // crypt_rn hashes password with the salt and cost that hash names; the
  // two texts are then compared in full, whatever differs first.
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* out = crypt_rn(text.c_str(), hash, data.get(), static_cast<int>(sizeof *data));
  if (out == nullptr || out[0] == '*') return false;
  const size_t n = std::strlen(hash);
  if (std::strlen(out) != n) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<unsigned char>(diff | (out[i] ^ hash[i]));
  return diff == 0;
}

bool hash_password(std::string_view password, int cost, char* out, size_t cap) {
  if (!password_fits_bcrypt(password)) return false;
  const std::string text(password);
  // The salt's bytes come from the host's random source, never from the
  // library's own search for one (which finds none on Windows).
  unsigned char random[16];
  if (!random_bytes(random, sizeof random)) return false;
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2y$", static_cast<unsigned long>(cost), reinterpret_cast<const char*>(random),
                       static_cast<int>(sizeof random), salt, static_cast<int>(sizeof salt)) == nullptr) {
    return false;
  }
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* h = crypt_rn(text.c_str(), salt, data.get(), static_cast<int>(sizeof *data));
  if (h == nullptr || h[0] == '*' || std::strlen(h) >= cap) return false;
  std::memcpy(out, h, std::strlen(h) + 1);
  return true;
}

}  // namespace host
