// quorlan-trendctl: the console of quorlan-trend (src/console/console.h). This file only binds
// the console to the process: the clock, standard streams, the terminal and the signals.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "console/console.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
// Set once a command asks whether to stop (watch): until then SIGINT and SIGTERM end the
// process at once, as for any command-line tool.
volatile std::sig_atomic_t g_stoppable = 0;

extern "C" void OnStopSignal(int signal) {
  if (g_stoppable == 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  g_stop = 1;
}

// A line typed on the controlling terminal without echo; nullopt without a terminal.
std::optional<std::string> ReadSecret(const std::string& prompt) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios saved{};
  const bool terminal = tcgetattr(fd, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::string line;
  bool ok = terminal && ::write(fd, prompt.data(), prompt.size()) >= 0;
  for (char c = 0; ok;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n != 1 || c == '\n') {
      ok = n == 1;
      break;
    }
    line += c;
  }
  if (terminal) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!::write(fd, "\n", 1);
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  quorlan::SystemClock clock;
  quorlan::EventLoop loop(clock);
  quorlan::console::ConsoleIo io{std::cout, std::cerr};
  io.ReadSecret = ReadSecret;
  io.ReadStdin = [] {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  };
  io.StopRequested = [] {
    g_stoppable = 1;
    return g_stop != 0;
  };
  const int status = quorlan::console::RunTrendctl({argv + 1, argv + argc}, clock, loop, io);
  std::cout.flush();
  return status;
}
