#include "progress_gate.h"

#include <utility>

#include "test_support.h"

namespace testing_support {

int rounds_logged(const std::string& log) {
  const std::string text = read_bytes(log);
  int n = 0;
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, 6, "round ") == 0) ++n;
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return n;
}

void ProgressGate::watch(std::function<int()> rounds, std::function<bool()> running) {
  clients_.push_back({std::move(rounds), std::move(running)});
}

bool ProgressGate::open() const {
  for (const Client& c : clients_) {
    if (c.running() && c.rounds() <= c.at_pass) return false;
  }
  return true;
}

void ProgressGate::pass() {
  for (Client& c : clients_) c.at_pass = c.rounds();
}

}  // namespace testing_support
