// A call's failure as one line of text, for C++ callers of the engine.
#ifndef REGISTRY_STORAGE_REG_STATUS_TEXT_H
#define REGISTRY_STORAGE_REG_STATUS_TEXT_H

#include <string>

#include "storage/reg_storage.h"

// The status's message, then the system's word for the failure after ": "
// where it gave one.
inline std::string reg_status_text(const reg_status& st) {
  std::string text = st.message;
  if (st.cause[0] != '\0') text += std::string(": ") + st.cause;
  return text;
}

#endif
