// bench_batch: many requests in flight against one request at a time, on
// bare loopback and over a modelled network link.
//
// The program starts two regd servers with the same tree (the demo tree as
// the child "demo", and 1000 Double nodes under "scalars"): one reached on
// loopback directly, one behind a relay::DelayRelay that delays each
// direction by --delay-us (default 250 us; regd names the relay in its
// object references with -ORBendPointPublish, so that every request crosses
// it). Run it inside the loopback-only namespace, as ./dev.sh bench does.
//
// Cases, for each of the two servers, alternating round after round in one
// process, medians over the rounds:
//   N = 1, 10, 20, 100, 1000 scalar reads
//     library, one at a time:   roz::Node::GetValue<double> per node;
//     library, many in flight:  one roz::ReadValues of the N nodes, whose
//                               shapes (value type, array or not) the proxy
//                               remembers from the reads before: one
//                               GetValue per node;
//     library, first read:      the same after the proxy forgot the shapes:
//                               value type and flags, then GetValue;
//     bare AMI, type first:     the requests of a first read (value type and
//                               flags, then GetValue with the type as hint)
//                               as pollers on the generated stubs, at most
//                               roz::c_batchWindow outstanding;
//     bare, one at a time:      i_NET::RemoteNode::GetValue per node;
//     bare AMI:                 one sendp_GetValue poller per node (the type
//                               known beforehand), the requests of a read
//                               with the shapes known -- the floor of the
//                               library's cost;
//   the demo tree: roz::WalkTree against a walk with the single-node calls
//   that learns the same (type, flags, size, children count, leaf, children).
// The table gives milliseconds per case, the speedup of many in flight over
// one at a time with its goal, the library's batch time over the bare AMI
// time of the same requests with its goal (at most 10 % above), and the
// same two figures for a first read.
//
//   bench_batch [--quick] [--rounds N] [--delay-us D]
//
// --quick runs every case once with tiny counts (the smoke test of CI).
//
// Threads: the main thread runs everything; the relay has its own thread,
// the request broker its own.
#include <omniORB4/CORBA.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "client/remote_node.h"
#include "client/roz.h"
#include "delay_relay.h"
#include "network/i_application.h"
#include "network/i_notification.h"
#include "network/i_remote_node.h"
#include "network/inet.h"
#include "support/regd_process.h"

namespace {

using benchstats::Clock;

constexpr size_t c_scalars = 1000;  // Double nodes under "scalars"
constexpr CORBA::ULong c_replyTimeoutMs = 60000;

struct Counts {
  int rounds = 7;
  std::vector<size_t> sizes = {1, 10, 20, 100, 1000};
  size_t loopbackReads = 2000;  // reads per sample on loopback (N = 1: 2000 calls)
  size_t linkReads = 200;       // the same over the link
  int loopbackWalks = 20;       // walks per sample
  int linkWalks = 2;
  int delayUs = 250;
};

using benchstats::Median;
using benchstats::Seconds;

// The tree of both servers: {"name": "batch", children: demo tree, scalars}.
std::string TreeJson() {
  std::ifstream demoFile(testsupport::RegdProcess::DemoTree());
  nlohmann::json demo = nlohmann::json::parse(demoFile);
  demo["name"] = "demo";
  nlohmann::json scalars = {{"name", "scalars"}, {"flags", {"read"}}};
  nlohmann::json children = nlohmann::json::array();
  for (size_t i = 0; i < c_scalars; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "s%04zu", i);
    children.push_back({{"name", name},
                        {"type", "Double"},
                        {"value", 0.5 * static_cast<double>(i)},
                        {"flags", {"read", "write"}}});
  }
  scalars["children"] = children;
  const nlohmann::json root = {
      {"name", "batch"}, {"flags", {"read"}}, {"children", {demo, scalars}}};
  return root.dump();
}

i_NET::NodeNames Names(const roz::Path& path) {
  i_NET::NodeNames names;
  names.length(static_cast<CORBA::ULong>(path.size()));
  for (CORBA::ULong i = 0; i < names.length(); ++i) names[i] = path[i].c_str();
  return names;
}

// ---- the bare client: the generated stubs, no library ----

class NullSink : public POA_i_NET::Notification {
 public:
  void Emit(const i_NET::NotificationData&) override {}
};

class BareClient {
 public:
  explicit BareClient(const std::string& url) : m_sink(new NullSink) {
    inet::OM()->Activate(m_sink);
    CORBA::Object_var object = inet::OM()->StringToObject(url);
    m_app = i_NET::Application::_narrow(object.in());
    i_NET::Notification_var sink = m_sink->_this();
    m_root = m_app->GetRemoteNode(sink.in());
  }
  ~BareClient() {
    try {
      i_NET::Notification_var sink = m_sink->_this();
      m_app->ReleaseRemoteNode(sink.in());
    } catch (const CORBA::Exception&) {
    }
    inet::OM()->Deactivate(m_sink);
  }
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;

  double Get(const i_NET::NodeNames& names) {
    CORBA::Any_var answer = m_root->GetValue(names, 0, 1, CORBA::_tc_double);
    return Extract(answer.in());
  }

  // One GetValue poller per read (the node is known to be a double), at
  // most roz::c_batchWindow outstanding; replies taken in order.
  void GetMany(const std::vector<i_NET::NodeNames>& names, size_t n) {
    std::vector<i_NET::AMI_RemoteNodePoller_var> pollers(n);
    size_t sent = 0;
    for (size_t done = 0; done < n; ++done) {
      for (; sent < n && sent - done < roz::c_batchWindow; ++sent) {
        pollers[sent] = m_root->sendp_GetValue(names[sent], 0, 1, CORBA::_tc_double);
      }
      CORBA::Any_var answer;
      pollers[done]->GetValue(c_replyTimeoutMs, answer.out());
      Extract(answer.in());
      pollers[done] = nullptr;
    }
  }

  // The requests roz::ReadValues sends for a node of unknown type: value
  // type and flags together, then GetValue with the type as hint; at most
  // roz::c_batchWindow outstanding, replies taken in the order sent.
  void GetManyTyped(const std::vector<i_NET::NodeNames>& names, size_t n) {
    enum Kind { eType, eFlags, eValue };
    struct Pending {
      size_t node;
      Kind kind;
      i_NET::AMI_RemoteNodePoller_var poller;
    };
    std::deque<Pending> pending;
    std::vector<CORBA::ULong> types(n, 0);
    std::vector<int> answers(n, 0);
    size_t next = 0;
    while (next < n || !pending.empty()) {
      while (next < n && pending.size() + 2 <= roz::c_batchWindow) {
        pending.push_back({next, eType, m_root->sendp_GetValueType(names[next])});
        pending.push_back({next, eFlags, m_root->sendp_GetFlags(names[next])});
        ++next;
      }
      Pending front = std::move(pending.front());
      pending.pop_front();
      if (front.kind == eValue) {
        CORBA::Any_var answer;
        front.poller->GetValue(c_replyTimeoutMs, answer.out());
        Extract(answer.in());
        continue;
      }
      if (front.kind == eType) {
        front.poller->GetValueType(c_replyTimeoutMs, types[front.node]);
      } else {
        i_NET::Flags flags = 0;
        front.poller->GetFlags(c_replyTimeoutMs, flags);
        if ((flags & roz::enums::eArray) != 0) throw std::runtime_error("bare: an array");
      }
      if (++answers[front.node] == 2) {
        if (types[front.node] != static_cast<CORBA::ULong>(roz::enums::eDouble)) {
          throw std::runtime_error("bare: not a Double node");
        }
        pending.push_back({front.node, eValue,
                           m_root->sendp_GetValue(names[front.node], 0, 1, CORBA::_tc_double)});
      }
    }
  }

 private:
  static double Extract(const CORBA::Any& any) {
    CORBA::Double value = 0;
    if (!(any >>= value)) throw std::runtime_error("bare: not a double");
    return value;
  }

  NullSink* m_sink;
  i_NET::Application_var m_app;
  i_NET::RemoteNode_var m_root;
};

// ---- one server: regd, and on the link the relay in front of it ----

struct Site {
  std::string name;
  std::unique_ptr<relay::DelayRelay> relay;  // none on bare loopback
  testsupport::RegdProcess regd;
  unsigned int port = 0;  // where clients connect
  roz::Node demo;
  std::vector<roz::Node> scalars;
  std::vector<i_NET::NodeNames> names;
  std::unique_ptr<BareClient> bare;
  size_t readsPerSample = 0;
  int walksPerSample = 0;
};

void StartSite(Site& site, const std::string& tree, int delayUs) {
  site.regd.Options().tree = site.regd.WriteTree("batch.json", tree);
  site.regd.Options().args = {"--heartbeat-ms", "0"};
  site.regd.Options().log = false;
  if (delayUs > 0) {
    site.relay.reset(new relay::DelayRelay("127.0.0.1", 0, std::chrono::microseconds(delayUs)));
    site.regd.Options().args.push_back("-ORBendPointPublish");
    site.regd.Options().args.push_back("giop:tcp:127.0.0.1:" + std::to_string(site.relay->Port()));
  }
  site.regd.Start();
  site.port = site.regd.Port();
  if (site.relay) {
    site.relay->Start("127.0.0.1", static_cast<unsigned short>(site.regd.Port()));
    site.port = site.relay->Port();
  }

  const roz::Node root =
      roz::Connect("127.0.0.1", roz::ePlatform, static_cast<int>(site.port), false);
  if (!root.IsValid()) throw std::runtime_error(site.name + ": roz::Connect failed");
  site.demo = root.GetNode(roz::Path{"demo"});
  for (size_t i = 0; i < c_scalars; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "s%04zu", i);
    site.scalars.push_back(root.GetNode(roz::Path{"scalars", name}));
    site.names.push_back(Names({"scalars", name}));
  }
  site.bare.reset(
      new BareClient("corbaloc:iiop:1.2@127.0.0.1:" + std::to_string(site.port) + "/varnek-app"));

  // Over the link, the reads of both clients must cross the relay: that is
  // what regd's published address is for.
  if (site.relay) {
    double value = 0;
    uint64_t before = site.relay->BytesToTarget();
    if (!site.scalars[1].GetValue(value, 0) || site.relay->BytesToTarget() == before) {
      throw std::runtime_error(site.name + ": library reads do not cross the relay");
    }
    before = site.relay->BytesToTarget();
    site.bare->Get(site.names[1]);
    if (site.relay->BytesToTarget() == before) {
      throw std::runtime_error(site.name + ": bare reads do not cross the relay");
    }
  }
}

// ---- the walks ----

// The walk with the single-node calls: for each node what roz::WalkTree
// tells (value type, flags, size, children count, leaf) and its children,
// depth first. Returns the number of nodes.
size_t SequentialWalk(const roz::Node& node) {
  volatile size_t sink = 0;
  sink = sink + static_cast<size_t>(node.GetValueType()) + node.GetFlags() + node.GetSize() +
         node.GetNodeCount() + node.IsLeaf();
  size_t visited = 1;
  for (const roz::Node& child : node.GetNodes()) visited += SequentialWalk(child);
  return visited;
}

// ---- the table ----

struct Row {
  std::string site;
  std::string name;
  double sequential = 0;  // ms
  double batch = 0;       // ms
  double goal = 0;        // speedup wanted; 0: none
  bool hasBare = false;
  double bareSequential = 0;
  double firstRead = 0;     // ReadValues with the shapes forgotten
  double bareAmiTyped = 0;  // bare AMI, the requests of a first read
  double bareAmi = 0;       // bare AMI, one GetValue per read
};

constexpr double c_amiGoal = 1.10;  // library batch / bare AMI, at most

std::string Fixed(double value, int digits) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(digits) << value;
  return out.str();
}

std::string Ms(double ms) { return Fixed(ms, ms < 1 ? 3 : ms < 100 ? 2 : 1); }

void PrintTable(const std::vector<Row>& rows) {
  std::cout << "\n| link | case | one at a time (ms) | many in flight (ms) | speedup | goal "
               "| bare AMI (ms) | library / bare AMI | goal "
               "| first read (ms) | its speedup | bare AMI, type first (ms) | first read / bare "
               "| bare one at a time (ms) | bare speedup |\n"
               "|---|---|---:|---:|---:|---|---:|---:|---|---:|---:|---:|---:|---:|---:|\n";
  for (const Row& row : rows) {
    const double speedup = row.sequential / row.batch;
    std::cout << "| " << row.site << " | " << row.name << " | " << Ms(row.sequential) << " | "
              << Ms(row.batch) << " | " << Fixed(speedup, 2) << " | ";
    if (row.goal > 0) {
      std::cout << ">= " << Fixed(row.goal, 1) << (speedup >= row.goal ? " ok" : " MISSED");
    }
    if (row.hasBare) {
      const double overAmi = row.batch / row.bareAmi;
      std::cout << " | " << Ms(row.bareAmi) << " | " << Fixed(overAmi, 2)
                << " | <= " << Fixed(c_amiGoal, 2) << (overAmi <= c_amiGoal ? " ok" : " MISSED")
                << " | " << Ms(row.firstRead) << " | " << Fixed(row.sequential / row.firstRead, 2)
                << " | " << Ms(row.bareAmiTyped) << " | "
                << Fixed(row.firstRead / row.bareAmiTyped, 2) << " | " << Ms(row.bareSequential)
                << " | " << Fixed(row.bareSequential / row.bareAmi, 2) << " |\n";
    } else {
      std::cout << " | - | - | | - | - | - | - | - | - |\n";
    }
  }
  std::cout << "\nspeedup: one at a time / many in flight (medians). Many in flight: the "
               "nodes' shapes known from earlier reads, one GetValue per node, like bare AMI. "
               "First read: the shapes forgotten before each call, so value type and flags go "
               "first, like bare AMI type first. Bare speedup: bare one at a time / bare AMI, "
               "the most that many requests in flight give here.\n";
}

// ---- where the time goes ----

// CPU time of this process (without the relay's thread), of the relay and
// of the server, and this process's context switches: readings, or their
// differences summed.
struct Cost {
  double clientS = 0;
  double relayS = 0;
  double serverS = 0;
  double switches = 0;

  static Cost Now(pid_t server, const relay::DelayRelay* relay) {
    Cost cost;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    cost.clientS = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    cost.switches = static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
    if (relay != nullptr) {
      cost.relayS = relay->CpuSeconds();
      cost.clientS -= cost.relayS;
    }
    if (server > 0) {
      // Fields 14 and 15 of /proc/PID/stat: user and system time in ticks.
      std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      std::istringstream fields(text.substr(text.rfind(')') + 2));
      std::string field;
      double ticks = 0;
      for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::atof(field.c_str());
      }
      cost.serverS = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return cost;
  }
  void Add(const Cost& after, const Cost& before) {
    clientS += after.clientS - before.clientS;
    relayS += after.relayS - before.relayS;
    serverS += after.serverS - before.serverS;
    switches += after.switches - before.switches;
  }
};

struct CostRow {
  std::string site;
  std::string name;
  Cost cost;     // summed over the rounds
  double reads;  // reads in those rounds
};

void PrintCosts(const std::vector<CostRow>& rows) {
  std::cout
      << "\n| link | way | client CPU per read (us) | regd CPU per read (us) | relay CPU "
         "per read (us) | client context switches per read |\n|---|---|---:|---:|---:|---:|\n";
  for (const CostRow& row : rows) {
    std::cout << "| " << row.site << " | " << row.name << " | "
              << Fixed(row.cost.clientS * 1e6 / row.reads, 1) << " | "
              << Fixed(row.cost.serverS * 1e6 / row.reads, 1) << " | "
              << Fixed(row.cost.relayS * 1e6 / row.reads, 1) << " | "
              << Fixed(row.cost.switches / row.reads, 2) << " |\n";
  }
  std::cout << "\n("
            << "regd's CPU time is counted in clock ticks; the per-read figures are "
            << "the totals of all rounds of the largest N divided by its reads.)\n";
}

// ---- the benchmark ----

class Bench {
 public:
  explicit Bench(const Counts& counts) : m_counts(counts) {}

  int Run() {
    roz::Init();
    const std::string tree = TreeJson();
    Site loopback;
    loopback.name = "loopback";
    loopback.readsPerSample = m_counts.loopbackReads;
    loopback.walksPerSample = m_counts.loopbackWalks;
    StartSite(loopback, tree, 0);
    Site link;
    link.name = Fixed(m_counts.delayUs / 1000.0, 2) + " ms each way";
    link.readsPerSample = m_counts.linkReads;
    link.walksPerSample = m_counts.linkWalks;
    StartSite(link, tree, m_counts.delayUs);
    std::cout << "regd on ports " << loopback.regd.Port() << " (loopback) and " << link.regd.Port()
              << " (behind the relay on port " << link.port << ", " << m_counts.delayUs
              << " us each way); " << m_counts.rounds << " round(s) per case" << std::endl;

    std::vector<Row> rows;
    for (Site* site : {&loopback, &link}) {
      for (size_t n : m_counts.sizes) rows.push_back(Reads(*site, n));
      rows.push_back(Walk(*site));
    }
    PrintTable(rows);
    PrintCosts(m_costs);
    std::cout << "relay: " << link.relay->Connections() << " connection(s), "
              << link.relay->BytesToTarget() << " bytes to regd, " << link.relay->BytesToClients()
              << " bytes back\n";

    for (Site* site : {&loopback, &link}) {
      site->bare.reset();
      site->demo = roz::Node();
      site->scalars.clear();
    }
    roz::Shutdown();
    link.relay->Stop();
    loopback.regd.Stop();
    link.regd.Stop();
    return 0;
  }

 private:
  static double Goal(const Site& site, size_t n) {
    const bool overLink = site.relay != nullptr;
    if (n == 20) return overLink ? 8.0 : 1.5;
    if (n == 1000) return overLink ? 20.0 : 1.7;
    return 0;
  }

  // Runs each of `cases` once per round, in order, `reps` times per sample;
  // the medians in ms per repetition. With `costs`, also what each case
  // cost in all rounds together (this process and the server `server`).
  std::vector<double> Alternate(const std::vector<std::function<void()>>& cases, size_t reps,
                                const Site* site = nullptr, std::vector<Cost>* costs = nullptr) {
    const pid_t server = site != nullptr ? site->regd.Pid() : 0;
    const relay::DelayRelay* relay = site != nullptr ? site->relay.get() : nullptr;
    std::vector<std::vector<double>> samples(cases.size());
    if (costs != nullptr) costs->assign(cases.size(), Cost());
    for (int round = 0; round < m_counts.rounds; ++round) {
      for (size_t c = 0; c < cases.size(); ++c) {
        const Cost before = Cost::Now(server, relay);
        const Clock::time_point start = Clock::now();
        for (size_t r = 0; r < reps; ++r) cases[c]();
        samples[c].push_back(Seconds(start, Clock::now()) * 1e3 / static_cast<double>(reps));
        if (costs != nullptr) (*costs)[c].Add(Cost::Now(server, relay), before);
      }
    }
    std::vector<double> medians;
    for (const auto& s : samples) medians.push_back(Median(s));
    return medians;
  }

  Row Reads(Site& site, size_t n) {
    const std::vector<roz::Node> nodes(site.scalars.begin(), site.scalars.begin() + n);
    const size_t reps = std::max<size_t>(1, site.readsPerSample / n);
    std::vector<Cost> costs;
    const bool largest = n == m_counts.sizes.back();
    const std::vector<double> ms = Alternate(
        {
            [&] {
              double value = 0;
              for (const roz::Node& node : nodes) {
                if (!node.GetValue(value, 0)) throw std::runtime_error("GetValue failed");
              }
            },
            [&] {
              const std::vector<roz::ReadResult> results = roz::ReadValues(nodes);
              if (results.size() != n) throw std::runtime_error("ReadValues: wrong count");
              for (const roz::ReadResult& result : results) {
                if (!result.Ok()) throw std::runtime_error("ReadValues: " + result.error);
              }
            },
            [&] {
              for (const roz::Node& node : nodes) {
                const auto proxy = std::static_pointer_cast<roz::RemoteNode>(node.GetTreeNode());
                proxy->ForgetValueShape(roz::ToString(node.GetRelPath()));
              }
              if (!roz::ReadValues(nodes).front().Ok())
                throw std::runtime_error("ReadValues failed");
            },
            [&] { site.bare->GetManyTyped(site.names, n); },
            [&] {
              for (size_t i = 0; i < n; ++i) site.bare->Get(site.names[i]);
            },
            [&] { site.bare->GetMany(site.names, n); },
        },
        reps, &site, largest ? &costs : nullptr);
    if (largest) {
      const char* const ways[] = {"library, one at a time",    "library, ReadValues",
                                  "library, first ReadValues", "bare AMI, type first",
                                  "bare, one at a time",       "bare AMI"};
      const double reads = static_cast<double>(m_counts.rounds * reps * n);
      for (size_t c = 0; c < costs.size(); ++c) {
        m_costs.push_back({site.name, std::to_string(n) + " reads, " + ways[c], costs[c], reads});
      }
    }
    Row row;
    row.site = site.name;
    row.name = std::to_string(n) + (n == 1 ? " read" : " reads");
    row.sequential = ms[0];
    row.batch = ms[1];
    row.goal = Goal(site, n);
    row.hasBare = true;
    row.firstRead = ms[2];
    row.bareAmiTyped = ms[3];
    row.bareSequential = ms[4];
    row.bareAmi = ms[5];
    return row;
  }

  Row Walk(Site& site) {
    size_t sequentialNodes = 0, walkedNodes = 0;
    const std::vector<double> ms =
        Alternate({
                      [&] { sequentialNodes = SequentialWalk(site.demo); },
                      [&] { walkedNodes = roz::WalkTree(site.demo, -1).size(); },
                  },
                  static_cast<size_t>(site.walksPerSample));
    if (walkedNodes != sequentialNodes) {
      throw std::runtime_error("WalkTree gave " + std::to_string(walkedNodes) +
                               " nodes, the sequential walk " + std::to_string(sequentialNodes));
    }
    Row row;
    row.site = site.name;
    row.name = "walk of the demo tree (" + std::to_string(walkedNodes) + " nodes)";
    row.sequential = ms[0];
    row.batch = ms[1];
    row.goal = site.relay ? 5.0 : 0;
    return row;
  }

  const Counts m_counts;
  std::vector<CostRow> m_costs;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    Counts counts;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--quick") == 0) {
        counts.rounds = 1;
        counts.sizes = {1, 10, 20, 100};
        counts.loopbackReads = counts.linkReads = 20;
        counts.loopbackWalks = counts.linkWalks = 1;
      } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
        counts.rounds = std::max(1, std::atoi(argv[++i]));
      } else if (std::strcmp(argv[i], "--delay-us") == 0 && i + 1 < argc) {
        counts.delayUs = std::max(1, std::atoi(argv[++i]));
      } else {
        std::cerr << "usage: bench_batch [--quick] [--rounds N] [--delay-us D]\n";
        return 2;
      }
    }
    return Bench(counts).Run();
  } catch (const CORBA::Exception& e) {
    std::cerr << "bench_batch: " << e << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "bench_batch: " << e.what() << std::endl;
  }
  return 1;
}
