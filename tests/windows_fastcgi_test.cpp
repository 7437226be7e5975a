// registry.exe as IIS starts a FastCGI application: a listening named pipe
// as its standard input, standard output and error closed. The test plays
// IIS: it connects to the pipe, sends each request as FastCGI records and
// reads the answer's records, connection after connection, from the one
// process.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "fastcgi/records.h"

namespace {

std::string windows_path(std::string p) {
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p.size() > 1 && p[1] == ':' ? p : "Z:" + p;
}

bool write_all(HANDLE h, const std::string& bytes) {
  DWORD put = 0;
  return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
}

bool read_all(HANDLE h, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    DWORD got = 0;
    if (!ReadFile(h, p, static_cast<DWORD>(n), &got, nullptr) || got == 0) return false;
    p += got;
    n -= got;
  }
  return true;
}

// One request on a new connection to the pipe: the answer's STDOUT.
std::string request(const std::string& pipe, const fastcgi::Pairs& params) {
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 500 && h == INVALID_HANDLE_VALUE; ++i) {
    h = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) Sleep(20);
  }
  if (h == INVALID_HANDLE_VALUE) return "(no connection)";
  const char begin[8] = {0, fastcgi::kResponder, 0, 0, 0, 0, 0, 0};
  std::string bytes = fastcgi::record(fastcgi::kBeginRequest, 1, std::string_view(begin, sizeof begin));
  bytes += fastcgi::record(fastcgi::kParams, 1, fastcgi::encode_pairs(params));
  bytes += fastcgi::record(fastcgi::kParams, 1, {});
  bytes += fastcgi::record(fastcgi::kStdin, 1, {});
  std::string out;
  if (write_all(h, bytes)) {
    for (;;) {
      uint8_t head[fastcgi::kHeaderSize];
      fastcgi::Header hd;
      if (!read_all(h, head, sizeof head) || !fastcgi::parse_header(head, &hd)) break;
      std::string content(hd.content_length + hd.padding_length, '\0');
      if (!content.empty() && !read_all(h, content.data(), content.size())) break;
      if (hd.type == fastcgi::kStdout) out += content.substr(0, hd.content_length);
      if (hd.type == fastcgi::kEndRequest) break;
    }
  }
  CloseHandle(h);
  return out;
}

TEST(WindowsFastCgi, ServesConnectionAfterConnectionOnThePipeIisGivesIt) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string root = std::string(temp) + "registry-fastcgi-" + std::to_string(GetCurrentProcessId());
  const std::string pipe = "\\\\.\\pipe\\registry-fastcgi-test-" + std::to_string(GetCurrentProcessId());
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE listener = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                     1, 65536, 65536, 0, &inherit);
  ASSERT_NE(listener, INVALID_HANDLE_VALUE);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = listener;
  si.hStdOutput = INVALID_HANDLE_VALUE;
  si.hStdError = INVALID_HANDLE_VALUE;
  std::string env = "REGISTRY_STORAGE_ROOT=" + root;
  env.push_back('\0');
  env.push_back('\0');
  std::string cmd = "\"" + windows_path(REGISTRY_EXE) + "\"";
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, env.data(), nullptr, &si, &pi))
      << GetLastError();
  CloseHandle(listener);
  const fastcgi::Pairs base{{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v2/"}, {"SCRIPT_NAME", ""}};
  const std::string api = "Docker-Distribution-API-Version: registry/2.0\r\n";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(request(pipe, base),
              "Status: 200 OK\r\n" + api + "Content-Type: application/json; charset=utf-8\r\nContent-Length: 3\r\n\r\n{}\n")
        << "connection " << i;
  }
  const fastcgi::Pairs catalog{{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v2/_catalog"}};
  EXPECT_NE(request(pipe, catalog).find("{\"repositories\":[]}"), std::string::npos);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "one process served them all";
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace
