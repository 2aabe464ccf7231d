// The reports' and nodes' health as the service sees it.
#include "diagnostics/diagnostics.h"

namespace quorlan {

void HealthBook::RowTaken(int32_t report, DateTime t) {
  reports_[report].LastRow = t;
  changed_ = true;
}

void HealthBook::ReportProblem(int32_t report, DateTime t, const std::string& problem) {
  ReportHealth& h = reports_[report];
  h.ProblemTime = t;
  h.Problem = problem;
  changed_ = true;
}

NodeHealth& HealthBook::Node(int32_t node, const std::string& name, const std::string& address) {
  NodeHealth& h = nodes_[node];
  // Compared first: a node's name and address seldom change, and an answer should not copy them.
  if (h.Name != name) h.Name = name;
  if (h.Address != address) h.Address = address;
  return h;
}

bool HealthBook::NodeAnswered(int32_t node, const std::string& name, const std::string& address,
                              DateTime t) {
  NodeHealth& h = Node(node, name, address);
  const bool recovered = h.Silent && h.Answered;
  if (!h.Answered || h.Silent) {
    h.Since = t;
    changed_ = true;
  }
  h.Answered = true;
  h.Silent = false;
  return recovered;
}

bool HealthBook::NodeSilent(int32_t node, const std::string& name, const std::string& address,
                            DateTime t) {
  NodeHealth& h = Node(node, name, address);
  if (h.Silent) return false;
  h.Silent = true;
  h.Since = t;
  changed_ = true;
  return h.Answered;
}

void HealthBook::Retain(const std::function<bool(int32_t)>& live_report,
                        const std::function<bool(int32_t)>& live_node) {
  const size_t before = reports_.size() + nodes_.size();
  std::erase_if(reports_, [&](const auto& r) { return !live_report(r.first); });
  std::erase_if(nodes_, [&](const auto& n) { return !live_node(n.first); });
  if (reports_.size() + nodes_.size() != before) changed_ = true;
}

}  // namespace quorlan
