// Helpers for tests that need real directories and real processes.
#ifndef REGISTRY_TESTS_SUPPORT_H
#define REGISTRY_TESTS_SUPPORT_H

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under the system's temporary directory, removed with
// everything below it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void remove_tree(const std::string& path);
void make_dirs(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);
std::string read_bytes(const std::string& path);
bool is_dir(const std::string& path);
bool is_file(const std::string& path);
bool exists(const std::string& path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_names(const std::string& dir);

// "sha256:" and the 64 hex digits of data's SHA-256.
std::string digest_string(const std::string& data);
// "sha512:" and the 128 hex digits of data's SHA-512.
std::string sha512_digest_string(const std::string& data);

#ifndef _WIN32
struct ProcessResult {
  std::string out;
  std::string err;     // standard error, where the program collects it (run_program)
  int exit_code = -1;  // -1 when the process did not exit normally
  int signal = 0;      // the signal that ended it, 0 when it exited
};

// A user and group for a program to run as (the test runs as root, and
// permissions apply only to others); -1 keeps the test's own.
struct RunAs {
  int uid = -1;
  int gid = -1;
};
inline constexpr RunAs kNobody{65534, 65534};

// Runs a program with exactly the given environment, in cwd, with stdin
// fed from stdin_bytes (closed after), and collects its standard output
// and standard error.
// With REGISTRY_TEST_EMULATOR set, the program runs under that emulator.
ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env, const std::string& cwd,
                          const std::string& stdin_bytes = "", const RunAs& as = {});

// Starts a program in a process group of its own (so that a whole daemon
// can be stopped by -pid), its standard output and error in log; the
// caller waits for it.
pid_t start_logged(const std::vector<std::string>& argv, const std::string& log);

// Runs fn in a forked child whose standard output is collected; the child
// exits with status 0 after fn unless fn ends the process itself.
ProcessResult run_in_child(const std::function<void()>& fn);

// As run_in_child, with the environment variables set (a null value
// unsets one) and standard input a pipe that receives stdin_pieces in
// separate writes, a short pause apart, then closes.
ProcessResult run_in_child_with_input(const std::function<void()>& fn,
                                      const std::map<std::string, const char*>& env,
                                      const std::vector<std::string>& stdin_pieces);

#endif

// The program under test: REGISTRY_TEST_PROGRAM when set (the Windows
// build's .exe, say), else the given default.
std::string program_under_test(const std::string& fallback);

#ifndef _WIN32
// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
#endif

}  // namespace testing_support

#endif
