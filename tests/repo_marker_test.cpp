// Request-side repository names and the split of request paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "registry/oci_common.h"

namespace {

TEST(RepoNames, ValidityTable) {
  // The distribution spec's grammar:
  // [a-z0-9]+((\.|_|__|[-]+)[a-z0-9]+)*(\/[a-z0-9]+((\.|_|__|[-]+)[a-z0-9]+)*)*, at most 255 bytes.
  const std::pair<std::string, int> cases[] = {
      {"a", 1}, {"a/b", 1}, {"a-b_c.d", 1}, {std::string(255, 'x'), 1}, {"a__b", 1}, {"a---b", 1},
      {"library/alpine", 1}, {"team/app/web-1.2_x", 1}, {"0/9", 1},
      {std::string(256, 'x'), 0}, {"A", 0}, {"A-b_c.d", 0}, {"-a", 0}, {"a-", 0}, {"a/", 0}, {"/a", 0},
      {"a//b", 0}, {"a b", 0}, {"a:b", 0}, {"a\\b", 0}, {"caf\xc3\xa9", 0}, {"a\tb", 0}, {"", 0}, {".", 0},
      {"a..b", 0}, {"a___b", 0}, {"a._b", 0}, {"a.-b", 0}, {"a_-b", 0}, {"a-_b", 0},
      // A component never begins with '.' or '_': no name reaches another
      // name's files ("a/./b" is a/b's) or the tree's own entries.
      {"a/../b", 0}, {"a/./b", 0}, {"a/.b", 0}, {"a/_b", 0}, {"victim/_manifests/abc", 0}, {"a/b_/c", 0},
  };
  for (const auto& [name, want] : cases) EXPECT_EQ(oci_valid_repo_name(name.c_str()), want) << name;
  EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

struct MarkerCase {
  const char* path;
  const char* marker;
  int want;
  const char* name;
  const char* rest;
};

TEST(RepoMarker, SplitTable) {
  const MarkerCase cases[] = {
      {"/v2/team/app/manifests/latest", "/manifests/", 1, "team/app", "latest"},
      {"v2/team/app/manifests/latest", "/manifests/", 1, "team/app", "latest"},
      {"///v2/team/app/manifests/latest", "/manifests/", 1, "team/app", "latest"},
      {"/v2/app/manifests/latest/", "/manifests/", 1, "app", "latest"},
      {"/v2/app/manifests/latest//", "/manifests/", 1, "app", "latest/"},
      {"/v2/app/manifests/", "/manifests/", 1, "app", ""},
      {"/v2/app/manifests///x", "/manifests/", 1, "app", "x"},
      {"/v2//app/manifests/x", "/manifests/", 0, "/app", ""},
      {"/v2/manifests/x", "/manifests/", 0, "", ""},
      {"/v2//manifests/x", "/manifests/", 0, "", ""},
      {"/v2/a/manifests/b/manifests/c", "/manifests/", 1, "a", "b/manifests/c"},
      {"/app/manifests/x", "/manifests/", 1, "app", "x"},
      {"/v2x/app/manifests/x", "/manifests/", 1, "v2x/app", "x"},
      {"/v2/app/tags/list", "/manifests/", 0, "", ""},
      {"/v2/app/manifests/x", "", 0, "", ""},
      {"/v2/a-/manifests/x", "/manifests/", 0, "a-", ""},
      {"/v2/team/app/blobs/sha256:abc", "/blobs/", 1, "team/app", "sha256:abc"},
      {"/v2/team/app/blobs/uploads/", "/blobs/", 1, "team/app", "uploads"},
      {"/v2/app/manifests/x", "manifests/", 0, "app/", ""},
  };
  for (const MarkerCase& c : cases) {
    char name[64];
    char rest[64];
    std::memset(name, 'z', sizeof name);
    std::memset(rest, 'z', sizeof rest);
    EXPECT_EQ(oci_parse_repo_marker(c.path, c.marker, name, sizeof name, rest, sizeof rest), c.want) << c.path;
    EXPECT_STREQ(name, c.name) << c.path;
    EXPECT_STREQ(rest, c.rest) << c.path;
  }
}

TEST(RepoMarker, BufferEdges) {
  char name[4];
  char rest[4];
  // A candidate of exactly the name size does not fit with its NUL.
  EXPECT_EQ(oci_parse_repo_marker("/v2/abcd/manifests/x", "/manifests/", name, sizeof name, rest, sizeof rest), 0);
  EXPECT_STREQ(name, "");
  // A remainder that does not fit is another reference than the one asked
  // for: not found, like a name that does not fit.
  EXPECT_EQ(oci_parse_repo_marker("/v2/abc/manifests/latest", "/manifests/", name, sizeof name, rest, sizeof rest), 0);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(rest, "");
  EXPECT_EQ(oci_parse_repo_marker("/v2/abc/manifests/lat", "/manifests/", name, sizeof name, rest, sizeof rest), 1);
  EXPECT_STREQ(name, "abc");
  EXPECT_STREQ(rest, "lat");
  EXPECT_EQ(oci_parse_repo_marker("/v2/abc/manifests/lat/", "/manifests/", name, sizeof name, rest, sizeof rest), 1)
      << "the one trailing '/' dropped, what is left fits";
  EXPECT_STREQ(rest, "lat");
  // The case reported: a 300-character reference and a 129-byte buffer.
  char tag[129];
  char big_name[64];
  const std::string path = "/v2/app/manifests/" + std::string(300, 't');
  EXPECT_EQ(oci_parse_repo_marker(path.c_str(), "/manifests/", big_name, sizeof big_name, tag, sizeof tag), 0);
  // Without a rest buffer only the name is written.
  EXPECT_EQ(oci_parse_repo_marker("/v2/abc/manifests/latest", "/manifests/", name, sizeof name, nullptr, 0), 1);
  EXPECT_STREQ(name, "abc");
  std::strcpy(rest, "kk");
  EXPECT_EQ(oci_parse_repo_marker("/v2/abc/manifests/latest", "/manifests/", name, sizeof name, rest, 0), 1);
  EXPECT_STREQ(rest, "kk");
  EXPECT_EQ(oci_parse_repo_marker(nullptr, "/m/", name, sizeof name, rest, sizeof rest), 0);
  EXPECT_EQ(oci_parse_repo_marker("/a/m/", nullptr, name, sizeof name, rest, sizeof rest), 0);
  EXPECT_EQ(oci_parse_repo_marker("/a/m/", "/m/", nullptr, 4, rest, sizeof rest), 0);
  EXPECT_EQ(oci_parse_repo_marker("/a/m/", "/m/", name, 0, rest, sizeof rest), 0);
}

}  // namespace
