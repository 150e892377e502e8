// The window program on Qt's offscreen platform beside the server without a window, each as
// a listening server: the time from its start to accepting connections, and its resident
// memory once three clients are connected.
//
//   bench_footprint [runs]      (default 5)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/process/tesselprocess.h"

namespace {

using Clock = std::chrono::steady_clock;
using TProgram = TTesselProcess::TProgram;

// A client that connects and then only holds its connection open.
class TIdleClient {
 public:
  explicit TIdleClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TIdleClient() { ::close(fd_); }
  TIdleClient(const TIdleClient&) = delete;
  TIdleClient& operator=(const TIdleClient&) = delete;
  bool Connected() const { return connected_; }

 private:
  int fd_;
  bool connected_ = false;
};

bool MapsWidgets(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find("libQt6Widgets") != std::string::npos) return true;
  return false;
}

struct TRun {
  double StartMs;
  long RssKiB;
  bool Widgets;
};

TRun Measure(TProgram program, const std::filesystem::path& folder) {
  TTesselProcess process(folder, program);
  const uint16_t port = FreeLoopbackPort();
  process.WriteSettings({{"Port", std::to_string(port)}, {"IsSever", "1"}, {"AutoStart", "1"}});
  const auto start = Clock::now();
  process.Start();
  if (!WaitUntilListening(port, std::chrono::seconds(20))) {
    std::fprintf(stderr, "no listener on port %u:\n%s\n", port, process.Log().c_str());
    std::exit(1);
  }
  const double startMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::vector<std::unique_ptr<TIdleClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<TIdleClient>(port));
  // Let the server take them in and greet them.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const TRun run{startMs, process.MemoryKiB("VmRSS"), MapsWidgets(process.Pid())};
  process.Stop(std::chrono::seconds(10));
  return run;
}

void Report(const char* name, TProgram program, int runs) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tessel-footprint-" + std::to_string(::getpid()));
  std::vector<double> starts;
  std::vector<long> rss;
  bool widgets = false;
  for (int i = 0; i < runs; ++i) {
    const TRun run = Measure(program, folder);
    starts.push_back(run.StartMs);
    rss.push_back(run.RssKiB);
    widgets = widgets || run.Widgets;
  }
  std::filesystem::remove_all(folder);
  std::sort(starts.begin(), starts.end());
  std::sort(rss.begin(), rss.end());
  std::printf("%-28s %d runs  start to listening p50 %6.1f ms  max %6.1f ms  "
              "RSS with 3 clients p50 %6ld KiB  max %6ld KiB  widget library %s\n",
              name, runs, starts[starts.size() / 2], starts.back(), rss[rss.size() / 2], rss.back(),
              widgets ? "loaded" : "not loaded");
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  Report("tessel (offscreen)", TProgram::Window, runs);
  Report("tessel-server", TProgram::Server, runs);
  return 0;
}
