// The running service's built-in agent, read and written by the console, and the telling of a
// database change.
#include <fmt/format.h>

#include <ostream>

#include "agent/agent.h"
#include "components/snmp/snmp.h"
#include "console/internal.h"
#include "service/service.h"

namespace quorlan::console {
namespace {

// Seconds to wait for an answer; the agent answers between the service's other events, which
// a database operation can hold up for a while.
constexpr int kAgentTimeoutSeconds = 3;

// The value of "key=" in the agent file's lines; nullopt when absent or not a whole number.
std::optional<int> AgentFileValue(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    if (line.rfind(key + "=", 0) != 0) continue;
    try {
      return TextToInt32(line.substr(key.size() + 1));
    } catch (const RuntimeError&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Throws unless the agent at the installation's port is its own service's: the process that
// holds the installation's lock wrote the agent file after binding that port. Another
// installation's service on the same port would otherwise take this one's pause or changes.
void VerifyOwnAgent(const std::string& dir, int agent_port) {
  const std::string path = dir + "/" + kAgentFileName;
  const std::optional<int> pid = ServicePid(dir);
  if (pid == 0) throw RuntimeError(err::kComponent, "the service of " + dir + " is not running");
  if (!FileExists(path)) {
    throw RuntimeError(err::kComponent,
                       fmt::format("the service of {} has not opened its agent ({} is missing)",
                                   dir, kAgentFileName));
  }
  const std::vector<std::string> lines = ReadLines(path);
  const std::optional<int> writer = AgentFileValue(lines, "pid");
  const std::optional<int> port = AgentFileValue(lines, "port");
  if (pid && writer != pid) {
    throw RuntimeError(
        err::kComponent,
        fmt::format("the service of {} (pid {}) has not opened its agent; {} was left by pid {}",
                    dir, *pid, kAgentFileName, writer.value_or(0)));
  }
  if (port != agent_port) {
    throw RuntimeError(err::kComponent,
                       fmt::format("the service of {} listens on UDP port {}, not on {} that "
                                   "Quorlan.ini gives now; restart it to apply the change",
                                   dir, port.value_or(0), agent_port));
  }
}

}  // namespace

struct AgentClient::Impl {
  Impl(Installation& inst) : dir(inst.dir()), ini(inst.ini()), manager(inst.loop()) {}
  std::string dir;
  IniSettings ini;
  bool verified = false;
  SnmpManager manager;
  int32_t next_id = 1;
  std::optional<SnmpResponse> answer;

  // One request with one resend; the answer, or RuntimeError.
  SnmpResponse Exchange(const std::vector<std::string>& oids, std::optional<int32_t> set_value) {
    if (!verified) VerifyOwnAgent(dir, ini.AgentPort);
    verified = true;
    std::string failure;
    for (int attempt = 0; attempt < 2; ++attempt) {
      manager.Reset();
      manager.SetRemoteHost("127.0.0.1");
      manager.SetRemotePort(ini.AgentPort);
      manager.SetCommunity(set_value ? ini.SnmpAgentSetComm : ini.SnmpAgentGetComm);
      manager.SetSnmpVersion(1);
      manager.SetObjCount(static_cast<int>(oids.size()));
      for (size_t i = 0; i < oids.size(); ++i) {
        manager.SetObjId(static_cast<int>(i), oids[i]);
        if (set_value) manager.SetObjValue(static_cast<int>(i), 2, std::to_string(*set_value));
      }
      manager.SetRequestId(next_id++);
      answer.reset();
      try {
        set_value ? manager.SendSetRequest() : manager.SendGetRequest();
      } catch (const RuntimeError& e) {
        failure = e.description();
        continue;
      }
      if (answer) return *answer;
    }
    throw RuntimeError(err::kComponent, failure);
  }
};

AgentClient::AgentClient(Installation& inst) : impl_(std::make_unique<Impl>(inst)) {
  impl_->manager.OnResponse = [this](const SnmpResponse& r) { impl_->answer = r; };
  impl_->manager.SetTimeout(kAgentTimeoutSeconds);
  impl_->manager.SetLocalHost("127.0.0.1");
  impl_->manager.SetActive(true);
}

AgentClient::~AgentClient() = default;

std::string AgentClient::Address() const {
  return fmt::format("127.0.0.1:{}", impl_->ini.AgentPort);
}

std::vector<std::string> AgentClient::Get(const std::vector<std::string>& oids) {
  const SnmpResponse r = impl_->Exchange(oids, std::nullopt);
  if (r.error_status != 0) {
    throw RuntimeError(err::kComponent,
                       fmt::format("the agent at {} answered {} for {}", Address(),
                                   r.error_description, oids.at(std::max(r.error_index, 1) - 1)));
  }
  std::vector<std::string> values;
  for (int i = 0; i < static_cast<int>(oids.size()); ++i)
    values.push_back(r.ObjValue(i).value_or(""));
  return values;
}

void AgentClient::Set(const std::string& oid, int32_t value) {
  const SnmpResponse r = impl_->Exchange({oid}, value);
  if (r.error_status != 0) {
    throw RuntimeError(err::kComponent, fmt::format("the agent at {} refused {} = {}: {}",
                                                    Address(), oid, value, r.error_description));
  }
}

namespace {

// Waits up to about two poll ticks for the change code to be applied; returns it as last read.
int WaitForChangeCode(Installation& inst, AgentClient& agent, int code) {
  const int64_t deadline =
      inst.clock().MonotonicMs() + 2 * 2 * int64_t{inst.ini().TimerInterval} + 1000;
  while (code != 0 && inst.clock().MonotonicMs() < deadline) {
    inst.loop().WaitMs(200);
    code = std::stoi(agent.Get({kOidSysTrendChanged}).at(0));
  }
  return code;
}

}  // namespace

int TellService(Installation& inst, ConsoleIo& io, int change_code, bool rebuild) {
  const std::optional<int> pid = ServicePid(inst.dir());
  if (pid == 0) {
    io.out << "The service is not running; it reads the change when it starts.\n";
    return kExitOk;
  }
  try {
    AgentClient agent(inst);
    const std::vector<std::string> now = agent.Get({kOidSysTrendChanged, kOidServiceState});
    if (now.at(1) == "2") {
      io.out << "The service is paused; it applies the change when it resumes "
                "(quorlan-trendctl resume).\n";
      return kExitOk;
    }
    if (rebuild) {
      agent.Set(kOidServiceState, 1);
      io.out << "Polling restarted with a rebuilt trend list (every report's samples and alarms "
                "start afresh).\n";
      return kExitOk;
    }
    const int pending = std::stoi(now.at(0));
    if (pending != 0 && pending != change_code && WaitForChangeCode(inst, agent, pending) != 0) {
      io.err << fmt::format(
          "quorlan-trendctl: warning: the service had not yet applied change code {}; its rows "
          "wait for the next change of their kind or the next restart\n",
          pending);
    }
    agent.Set(kOidSysTrendChanged, change_code);
    io.out << "The service applies the change at its next poll tick.\n";
    return kExitOk;
  } catch (const std::exception& e) {
    io.err << fmt::format(
        "quorlan-trendctl: the change is in the database, but the running service was not told: "
        "{}; it applies the change at its next start or resume\n",
        e.what());
    return kExitNotTold;
  }
}

}  // namespace quorlan::console
