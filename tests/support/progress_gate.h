// Pacing for collections that run beside clients' pushes.
#ifndef REGISTRY_TESTS_PROGRESS_GATE_H
#define REGISTRY_TESTS_PROGRESS_GATE_H

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The rounds a client has finished so far: the lines of its log that begin
// with "round " (pusher.py and tag_mover.py write one as each round ends).
int rounds_logged(const std::string& log);

// A collection with a short grace period may take the blobs of a push in
// progress, and the client then pushes again. Back to back, such
// collections can refuse every attempt of a client that takes longer than
// one of them, and the slower the machine, the likelier that is. The gate
// lets such a collection start only once every client still running has
// finished a round since the previous one started: a round then meets at
// most two of them, and every client gets on, whatever the speed.
class ProgressGate {
 public:
  // A client: how many rounds it has finished, and whether it still runs.
  void watch(std::function<int()> rounds, std::function<bool()> running);
  bool open() const;
  // A gated collection starts now.
  void pass();

 private:
  struct Client {
    std::function<int()> rounds;
    std::function<bool()> running;
    int at_pass = -1;  // its rounds when the last gated collection started
  };
  std::vector<Client> clients_;
};

}  // namespace testing_support

#endif
