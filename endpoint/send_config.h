// How a blob's bytes leave on GET: written by the program itself, or
// handed to the web server, which then sends the file (Range requests
// included) while the program only decided, checked access and named it.
// From the environment, else from config.json in the working directory
// (the member "sendfile"), as the other settings are found.
//
//   REGISTRY_SENDFILE  off (the default): the program sends the bytes,
//                      through the kernel's zero-copy path where it has one
//                      x-sendfile: the header "X-Sendfile" with the blob
//                      file's absolute path (lighttpd's cgi.x-sendfile,
//                      Apache's mod_xsendfile)
//                      x-accel-redirect:<prefix>: the header
//                      "X-Accel-Redirect" with <prefix> and the blob's place
//                      below <root>/blobs ("sha256/e3/e3b0..."), for an
//                      internal nginx location that aliases <root>/blobs/
#ifndef REGISTRY_ENDPOINT_SEND_CONFIG_H
#define REGISTRY_ENDPOINT_SEND_CONFIG_H

#include <string>

namespace endpoint {

enum class SendMode { kSelf, kXSendfile, kXAccelRedirect };

struct SendSettings {
  SendMode mode = SendMode::kSelf;
  std::string prefix;  // x-accel-redirect: a URI path ending in '/'
};

// The setting's value parsed; false, with why, for one that is not of the
// forms above.
bool parse_send_setting(const std::string& value, SendSettings* out, std::string* why);

// The setting as configured; false, with why, for a value that cannot be
// used or a config.json that cannot be read while the environment does
// not decide.
bool read_send_settings(SendSettings* out, std::string* why);

}  // namespace endpoint

#endif
