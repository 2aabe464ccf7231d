// fake_tds_server: the SQLite-backed TDS endpoint of tests/support as a program of its own, for
// the reliability scenarios (scripts/reliability/db-faults.sh).
//
//   fake_tds_server DATABASE [PORT]
//     answers FreeTDS clients on 127.0.0.1:PORT (a free port when 0 or none; printed as
//     "port N") from the SQLite file DATABASE. SIGUSR1 makes it fall silent (connections stay
//     open, nothing is answered), SIGUSR2 makes it answer again; SIGTERM or SIGINT end it.
#include <signal.h>

#include <cstdlib>
#include <iostream>

#include "support/fake_sql_server.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: fake_tds_server DATABASE [PORT]\n";
    return 2;
  }
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the server's thread starts
  try {
    quorlan::testing::FakeTdsServer server(quorlan::testing::FakeTdsServer::Mode::kSqlite, argv[1],
                                           argc == 3 ? std::atoi(argv[2]) : 0);
    std::cout << "port " << server.port() << std::endl;
    for (;;) {
      int signal = 0;
      sigwait(&set, &signal);
      if (signal == SIGUSR1) server.SetSilent(true);
      if (signal == SIGUSR2) server.SetSilent(false);
      if (signal == SIGTERM || signal == SIGINT) return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "fake_tds_server: " << e.what() << "\n";
    return 1;
  }
}
