// The deliverer's HTTP client: libcurl where the build has it.
#include "admin/event_post.h"

#ifdef REGISTRY_HAVE_CURL
#include <curl/curl.h>
#endif

namespace admin {

inline constexpr char kEnvelopeType[] = "application/vnd.docker.distribution.events.v1+json";

#ifdef REGISTRY_HAVE_CURL

namespace {

// The receiver's answer body is of no use to the deliverer.
size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

}  // namespace

bool event_post_available(std::string*) { return true; }

long post_event(const Endpoint& endpoint, const std::string& body, std::string* why) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    *why = "the HTTP client could not start";
    return 0;
  }
  curl_slist* headers = curl_slist_append(nullptr, (std::string("Content-Type: ") + kEnvelopeType).c_str());
  // No "Expect: 100-continue" round trip for a small body.
  headers = curl_slist_append(headers, "Expect:");
  for (const auto& [name, value] : endpoint.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, endpoint.url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(endpoint.timeout_ms));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "registry-admin events deliver");
  long status = 0;
  const CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  } else {
    *why = error[0] != '\0' ? error : curl_easy_strerror(rc);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return status;
}

#else

bool event_post_available(std::string* why) {
  *why = "this build has no HTTP client (libcurl): deliver events with a build that has one";
  return false;
}

long post_event(const Endpoint&, const std::string&, std::string* why) {
  event_post_available(why);
  return 0;
}

#endif

}  // namespace admin
