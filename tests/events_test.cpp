// Events: the registry program records one in the outbox for every change
// a client makes (and every pull, when asked) before it answers, and
// registry-admin delivers them to a real HTTP receiver on loopback, at
// least once and in order per repository, through receiver failures, kills
// at every step that changes the tree, and two deliverers at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "support/cgi_response.h"
#include "support/test_support.h"
#include "support/tree_builder.h"
#include "yyjson.h"

using namespace testing_support;

namespace {

const std::string kRegistry = REGISTRY_PATH;
const std::string kAdmin = REGISTRY_ADMIN_PATH;
const std::string kOci = "application/vnd.oci.image.manifest.v1+json";

// The receiver, started for a test and stopped by its process id.
class Receiver {
 public:
  explicit Receiver(const TempDir& tmp)
      : port_file_(tmp / "receiver.port"), log_(tmp / "received"), fail_file_(tmp / "receiver.down") {
    pid_ = start_logged({"/usr/bin/python3", std::string(SOURCE_DIR) + "/tests/support/event_receiver.py", port_file_,
                         log_, fail_file_},
                        tmp / "receiver.log");
    for (int i = 0; i < 6000 && !is_file(port_file_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    port_ = read_bytes(port_file_);
  }
  ~Receiver() {
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::string url() const { return "http://127.0.0.1:" + port_ + "/events"; }
  void down(bool is_down) {
    if (is_down) {
      write_bytes(fail_file_, "");
    } else {
      unlink(fail_file_.c_str());
    }
  }
  // Every envelope received, in order of arrival.
  std::vector<std::string> received() const {
    std::vector<std::string> lines;
    if (!is_file(log_)) return lines;
    const std::string all = read_bytes(log_);
    for (size_t at = 0; at < all.size();) {
      const size_t end = all.find('\n', at);
      lines.push_back(all.substr(at, end - at));
      at = end == std::string::npos ? all.size() : end + 1;
    }
    return lines;
  }
  void forget() { unlink(log_.c_str()); }

 private:
  std::string port_file_, log_, fail_file_;
  std::string port_;
  pid_t pid_ = -1;
};

struct Event {
  std::string id, action, repository, tag, digest, url, media_type, method, host;
  int64_t size = -1;
};

std::string member(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : "";
}

// The one event of an envelope; an empty id when it is not one.
Event parse_event(const std::string& text) {
  Event e;
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  if (doc == nullptr) return e;
  yyjson_val* list = yyjson_obj_get(yyjson_doc_get_root(doc), "events");
  if (yyjson_arr_size(list) == 1) {
    yyjson_val* ev = yyjson_arr_get_first(list);
    yyjson_val* target = yyjson_obj_get(ev, "target");
    yyjson_val* request = yyjson_obj_get(ev, "request");
    e.id = member(ev, "id");
    e.action = member(ev, "action");
    e.repository = member(target, "repository");
    e.tag = member(target, "tag");
    e.digest = member(target, "digest");
    e.url = member(target, "url");
    e.media_type = member(target, "mediaType");
    yyjson_val* size = yyjson_obj_get(target, "size");
    if (yyjson_is_int(size)) e.size = yyjson_get_sint(size);
    e.method = member(request, "method");
    e.host = member(request, "host");
    const std::string stamp = member(ev, "timestamp");
    EXPECT_TRUE(std::regex_match(stamp, std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{9}Z")))
        << stamp;
  }
  yyjson_doc_free(doc);
  return e;
}

class Events : public ::testing::Test {
 protected:
  Events() { make_dirs(work); }

  CgiResponse call(const std::string& method, const std::string& path, const std::string& query = "",
                   const std::string& body = "", const std::string& events = "on") {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path}, {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"CONTENT_TYPE", kOci}, {"HTTP_HOST", "registry.test:5000"}};
    if (!events.empty()) env["REGISTRY_EVENTS"] = events;
    return parse_cgi_response(run_program(kRegistry, {}, env, work, body));
  }
  // An image manifest of one empty config blob, pushed into repo first.
  std::string image(const std::string& repo, const std::string& annotation) {
    const std::string config = "{}";
    const std::string d = digest_string(config);
    EXPECT_EQ(call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + d, config).status, "201 Created");
    return "{\"schemaVersion\":2,\"mediaType\":\"" + kOci +
           "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" + d +
           "\",\"size\":2},\"layers\":[],\"annotations\":{\"n\":\"" + annotation + "\"}}";
  }
  ProcessResult admin(const std::vector<std::string>& args, const std::string& crash = "") {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}};
    if (!crash.empty()) env["REGISTRY_CRASH_AT"] = crash;
    return run_program(kAdmin, args, env, work);
  }
  void configure(const std::string& endpoints) {
    write_bytes(work + "/config.json", "{\"event_endpoints\":" + endpoints + "}");
  }
  // The events in the outbox: not the temporary file a killed writer left.
  std::vector<std::string> outbox() const {
    std::vector<std::string> events;
    if (!is_dir(root + "/events/outbox")) return events;
    for (const std::string& name : list_names(root + "/events/outbox")) {
      if (name[0] != '.') events.push_back(name);
    }
    return events;
  }
  std::vector<Event> pending() const {
    std::vector<Event> out;
    for (const std::string& name : outbox()) out.push_back(parse_event(read_bytes(root + "/events/outbox/" + name)));
    return out;
  }
  // Records events through the engine, as the registry would: n of them,
  // their repositories taking turns among repos. Their ids, in order.
  std::vector<std::string> record(int n, const std::vector<std::string>& repos, int first = 1) {
    EXPECT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i) {
      char id[REG_EVENT_ID_LEN + 1];
      std::snprintf(id, sizeof id, "%032x", first + i);
      const std::string text = "{\"events\":[{\"id\":\"" + std::string(id) +
                               "\",\"timestamp\":\"2026-01-01T00:00:00.000000000Z\",\"action\":\"push\",\"target\":{"
                               "\"repository\":\"" + repos[static_cast<size_t>(i) % repos.size()] + "\",\"tag\":\"t" +
                               std::to_string(i) + "\"}}]}\n";
      reg_status st;
      EXPECT_EQ(reg_event_record(id, text.data(), text.size(), nullptr, &st), 0) << st.message;
      ids.push_back(id);
    }
    reg_storage_cleanup();
    return ids;
  }

  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
};

// Every recorded event arrived at least once, nothing else did, and each
// repository's events first arrived in the order they were recorded.
void expect_all_arrived_in_order(const std::vector<std::string>& received, const std::vector<std::string>& ids) {
  std::map<std::string, std::vector<std::string>> first_by_repo;
  std::map<std::string, int> seen;
  for (const std::string& line : received) {
    const Event e = parse_event(line);
    ASSERT_FALSE(e.id.empty()) << line;
    if (seen[e.id]++ == 0) first_by_repo[e.repository].push_back(e.id);
  }
  for (const std::string& id : ids) EXPECT_EQ(seen.count(id), 1u) << "never arrived: " << id;
  EXPECT_EQ(seen.size(), ids.size());
  for (const auto& [repo, order] : first_by_repo) {
    std::vector<std::string> recorded;
    for (const std::string& id : ids) {
      if (std::find(order.begin(), order.end(), id) != order.end()) recorded.push_back(id);
    }
    EXPECT_EQ(order, recorded) << "out of order in " << repo;
  }
}

// ---- Recording -----------------------------------------------------------------

TEST_F(Events, EveryChangeLeavesItsEventBeforeTheAnswer) {
  const std::string body = image("team/app", "one");
  const std::string digest = digest_string(body);
  ASSERT_EQ(call("PUT", "/v2/team/app/manifests/v1", "", body).status, "201 Created");
  ASSERT_EQ(call("PUT", "/v2/team/app/manifests/" + digest, "tag=a&tag=b", body).status, "201 Created");
  ASSERT_EQ(call("GET", "/v2/team/app/manifests/v1").status, "200 OK");  // pulls not asked for
  ASSERT_EQ(call("DELETE", "/v2/team/app/manifests/a").status, "202 Accepted");
  ASSERT_EQ(call("DELETE", "/v2/team/app/manifests/" + digest).status, "202 Accepted");
  ASSERT_EQ(call("DELETE", "/v2/team/app/blobs/" + digest_string("{}")).status, "202 Accepted");

  struct Want {
    const char* action;
    std::string tag, digest;
    int64_t size;
  };
  const int64_t len = static_cast<int64_t>(body.size());
  const std::vector<Want> want = {{"push", "v1", digest, len},     {"push", "a", digest, len},
                                  {"push", "b", digest, len},      {"delete", "a", "", -1},
                                  {"delete", "", digest, -1},      {"delete", "", digest_string("{}"), -1}};
  const std::vector<Event> got = pending();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].action, want[i].action);
    EXPECT_EQ(got[i].repository, "team/app");
    EXPECT_EQ(got[i].tag, want[i].tag);
    EXPECT_EQ(got[i].digest, want[i].digest);
    EXPECT_EQ(got[i].size, want[i].size);
    EXPECT_EQ(got[i].host, "registry.test:5000");
    // The file's name ends with the event's id.
    EXPECT_EQ(outbox()[i].substr(21, 32), got[i].id);
  }
  EXPECT_EQ(got[0].url, "http://registry.test:5000/v2/team/app/manifests/" + digest);
  EXPECT_EQ(got[0].media_type, kOci);
  EXPECT_EQ(got[0].method, "PUT");
  EXPECT_EQ(got[5].url, "http://registry.test:5000/v2/team/app/blobs/" + digest_string("{}"));
  EXPECT_NE(got[1].id, got[2].id);
}

TEST_F(Events, APushKilledAtAnyStepIsAnsweredOnlyWithItsEventRecorded) {
  const std::string body = image("app", "killed");
  for (const char* when : {"", ":after"}) {
    for (int step = 1; step < 128; ++step) {
      SCOPED_TRACE(std::to_string(step) + when);
      remove_tree(root + "/repositories/app/_manifests");
      remove_tree(root + "/events");
      std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", "PUT"},
                                             {"PATH_INFO", "/v2/app/manifests/v1"}, {"CONTENT_TYPE", kOci},
                                             {"CONTENT_LENGTH", std::to_string(body.size())}, {"REGISTRY_EVENTS", "on"},
                                             {"REGISTRY_CRASH_AT", std::to_string(step) + when},
                                             // the count for the metrics comes after the answer
                                             {"REGISTRY_METRICS", "off"}};
      const ProcessResult killed = run_program(kRegistry, {}, env, work, body);
      if (killed.signal == 0) {
        // The whole push ran: its answer came after its event.
        EXPECT_EQ(parse_cgi_response(killed).status, "201 Created");
        ASSERT_EQ(pending().size(), 1u);
        break;
      }
      EXPECT_EQ(killed.signal, SIGKILL);
      EXPECT_EQ(killed.out, "");  // no answer, so the client tries again
      ASSERT_EQ(call("PUT", "/v2/app/manifests/v1", "", body).status, "201 Created");
      const std::vector<Event> got = pending();
      ASSERT_GE(got.size(), 1u);
      for (const Event& e : got) {
        EXPECT_EQ(e.action, "push");
        EXPECT_EQ(e.tag, "v1");
        EXPECT_EQ(e.digest, digest_string(body));
      }
    }
  }
}

TEST_F(Events, PullsOnlyWhenAskedAndNeverForHead) {
  const std::string body = image("app", "pull");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/v1", "", body, "off").status, "201 Created");
  EXPECT_TRUE(outbox().empty());
  ASSERT_EQ(call("GET", "/v2/app/manifests/v1", "", "", "on").status, "200 OK");
  ASSERT_EQ(call("HEAD", "/v2/app/manifests/v1", "", "", "on+pulls").status, "200 OK");
  EXPECT_TRUE(outbox().empty());
  ASSERT_EQ(call("GET", "/v2/app/manifests/v1", "", "", "on+pulls").status, "200 OK");
  const std::vector<Event> got = pending();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].action, "pull");
  EXPECT_EQ(got[0].tag, "v1");
  EXPECT_EQ(got[0].digest, digest_string(body));
  EXPECT_EQ(got[0].method, "GET");
}

TEST_F(Events, AnUnusableSettingRefusesTheChangeBeforeMakingIt) {
  const std::string body = image("app", "bad");
  const CgiResponse r = call("PUT", "/v2/app/manifests/v1", "", body, "sometimes");
  EXPECT_EQ(r.status, "500 Internal Server Error");
  EXPECT_NE(r.err.find("REGISTRY_EVENTS is \"sometimes\": off, on or on+pulls"), std::string::npos) << r.err;
  EXPECT_EQ(call("GET", "/v2/app/manifests/v1", "", "", "off").status, "404 Not Found");
  // Reads need no events, and go on.
  EXPECT_EQ(call("GET", "/v2/", "", "", "sometimes").status, "200 OK");
}

// ---- Delivery ------------------------------------------------------------------

TEST_F(Events, DeliverSendsEveryEventInOrderAndEmptiesTheOutbox) {
  Receiver receiver(tmp);
  configure("[{\"name\":\"audit\",\"url\":\"" + receiver.url() + "\",\"headers\":{\"X-Token\":[\"t1\"]},\"timeout\":\"5s\"}]");
  const std::vector<std::string> ids = record(12, {"a", "b", "team/c"});
  const ProcessResult list = admin({"events", "list"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_NE(list.out.find(" push team/c:t2, 0 tries\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("events: 12 pending\n"), std::string::npos) << list.out;

  const ProcessResult r = admin({"events", "deliver"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("events: 12 delivered, 0 failed, 0 waiting\n"), std::string::npos) << r.out;
  expect_all_arrived_in_order(receiver.received(), ids);
  EXPECT_EQ(receiver.received().size(), 12u);  // no kill, no duplicate
  EXPECT_TRUE(outbox().empty());
  EXPECT_EQ(admin({"events", "list"}).out, "events: 0 pending\n");
}

TEST_F(Events, AFailingReceiverKeepsEventsAndTheirOrderUntilItRecovers) {
  Receiver receiver(tmp);
  configure("[{\"url\":\"" + receiver.url() + "\"}]");
  const std::vector<std::string> ids = record(6, {"a", "b"});
  receiver.down(true);
  for (int pass = 1; pass <= 2; ++pass) {
    const ProcessResult r = admin({"events", "deliver"});
    EXPECT_EQ(r.exit_code, 1);
    // The first of each repository fails; the rest of it waits behind it.
    EXPECT_NE(r.out.find("events: 0 delivered, 2 failed, 4 waiting\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HTTP 503"), std::string::npos) << r.out;
  }
  const ProcessResult json = admin({"--json", "events", "list"});
  EXPECT_NE(json.out.find("\"pending\":6"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"tag\":\"t0\",\"digest\":\"\",\"tries\":2,"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"tag\":\"t2\",\"digest\":\"\",\"tries\":0,"), std::string::npos) << json.out;
  EXPECT_TRUE(receiver.received().empty());

  receiver.down(false);
  const ProcessResult r = admin({"events", "deliver"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  expect_all_arrived_in_order(receiver.received(), ids);
  EXPECT_TRUE(outbox().empty());
  EXPECT_FALSE(is_dir(root + "/events/tries") && !list_names(root + "/events/tries").empty());
}

TEST_F(Events, AnUnreachableReceiverIsAFailureNamingIt) {
  configure("[{\"name\":\"gone\",\"url\":\"http://127.0.0.1:1/events\",\"timeout\":\"500ms\"}]");
  record(1, {"a"});
  const ProcessResult r = admin({"events", "deliver"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(": gone: "), std::string::npos) << r.out;
  EXPECT_EQ(outbox().size(), 1u);
}

TEST_F(Events, KilledAtEveryStepTheDelivererLosesNothing) {
  Receiver receiver(tmp);
  configure("[{\"url\":\"" + receiver.url() + "\"}]");
  // Healthy: each removal is a step. Down first: the counts of tries too.
  for (const bool down_first : {false, true}) {
    for (const char* when : {"", ":after"}) {
      for (int step = 1; step < 64; ++step) {
        SCOPED_TRACE(std::to_string(step) + when + (down_first ? " down first" : ""));
        remove_tree(root);
        receiver.forget();
        const std::vector<std::string> ids = record(4, {"a", "b"});
        receiver.down(down_first);
        const ProcessResult killed = admin({"events", "deliver"}, std::to_string(step) + when);
        receiver.down(false);
        const ProcessResult again = admin({"events", "deliver"});
        EXPECT_EQ(again.exit_code, 0) << again.out << again.err;
        expect_all_arrived_in_order(receiver.received(), ids);
        EXPECT_TRUE(outbox().empty());
        if (killed.signal == 0) break;  // the run had fewer steps: every one was reached
        EXPECT_EQ(killed.signal, SIGKILL);
      }
    }
  }
}

TEST_F(Events, DeliverSweepsWhatKilledWritersLeftOnceItIsOld) {
  Receiver receiver(tmp);
  configure("[{\"url\":\"" + receiver.url() + "\"}]");
  const std::vector<std::string> ids = record(1, {"a"});
  const std::string outbox_dir = root + "/events/outbox/";
  write_bytes(outbox_dir + ".old.tmp.1.0", "{\"events\":[");
  write_bytes(outbox_dir + ".young.tmp.2.0", "{\"events\":[");
  make_old(outbox_dir + ".old.tmp.1.0", 7200);
  EXPECT_EQ(admin({"events", "deliver"}).exit_code, 0);
  expect_all_arrived_in_order(receiver.received(), ids);
  EXPECT_EQ(list_names(outbox_dir), std::vector<std::string>{".young.tmp.2.0"});
}

TEST_F(Events, TwoDeliverersAtOnceDeliverEveryEvent) {
  Receiver receiver(tmp);
  configure("[{\"url\":\"" + receiver.url() + "\"}]");
  const std::vector<std::string> ids = record(40, {"a", "b", "c"});
  ProcessResult first, second;
  std::thread t1([&] { first = admin({"events", "deliver"}); });
  std::thread t2([&] { second = admin({"events", "deliver"}); });
  t1.join();
  t2.join();
  EXPECT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_EQ(second.exit_code, 0) << second.out << second.err;
  expect_all_arrived_in_order(receiver.received(), ids);
  EXPECT_TRUE(outbox().empty());
}

TEST_F(Events, FollowDeliversWhatArrivesLaterAndAfterAnOutage) {
  Receiver receiver(tmp);
  configure("[{\"url\":\"" + receiver.url() + "\",\"backoff\":\"1s\"}]");
  std::vector<std::string> ids = record(3, {"a"});
  receiver.down(true);
  const std::string log = tmp / "follow.log";
  const std::string cd = "cd '" + work + "' && REGISTRY_STORAGE_ROOT='" + root + "' exec '" + kAdmin + "' events deliver --follow --interval 1s";
  const pid_t follower = start_logged({"/bin/sh", "-c", cd}, log);
  // Bounded waits: for the failure to be counted, then for every event.
  auto wait_for = [](const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
  };
  EXPECT_TRUE(wait_for([&] { return read_bytes(log).find("HTTP 503") != std::string::npos; })) << read_bytes(log);
  receiver.down(false);
  for (const std::string& id : record(2, {"b"}, 100)) ids.push_back(id);
  EXPECT_TRUE(wait_for([&] { return outbox().empty(); })) << read_bytes(log);
  kill(-follower, SIGTERM);
  waitpid(follower, nullptr, 0);
  expect_all_arrived_in_order(receiver.received(), ids);
}

TEST_F(Events, DeliverRefusesAConfigurationItCannotUse) {
  record(1, {"a"});
  struct Case {
    std::string config;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "events deliver: config.json: no such file"},
      {"{}", "events deliver: config.json: no \"event_endpoints\" array of receivers"},
      {"{\"event_endpoints\":[{\"url\":\"ftp://x\"}]}",
       "events deliver: config.json: event_endpoints[0]: \"url\" is not an http:// or https:// URL"},
      {"{\"event_endpoints\":[{\"url\":\"http://x\",\"timeout\":\"soon\"}]}",
       "events deliver: config.json: event_endpoints[0]: \"timeout\" is \"soon\": a duration such as 5s or 500ms"},
      {"{\"event_endpoints\":[{\"url\":\"http://x\",\"headers\":{\"X\":\"a\\r\\nY: b\"}}]}",
       "events deliver: config.json: event_endpoints[0]: header \"X\" is not a name with string values on one line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    if (c.config.empty()) {
      unlink((work + "/config.json").c_str());
    } else {
      write_bytes(work + "/config.json", c.config);
    }
    const ProcessResult r = admin({"events", "deliver"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "registry-admin: " + c.message + "\n");
  }
  EXPECT_EQ(outbox().size(), 1u);
}

}  // namespace
