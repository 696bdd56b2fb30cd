#pragma once

#include <set>
#include <string>

// What to run and how hard; the defaults are the figures the goals are stated for.
struct Options
{
    std::string service;   // path of vx-connectivity-tester; empty: reference only
    std::string reference; // path of vx-bench-reference; empty: service only
    int idle_conns = 1000;
    int idle_seconds = 10;
    int concurrent_conns = 10000;
    int ip_conns = 100;
    int churn_conns = 32;
    int turnaround_conns = 100;
    int depth = 8;   // tests queued ahead per connection
    int seconds = 3; // measured time of the ip, churn and turnaround loads
    int window = 32; // connections opening at once
    // Descriptor limit (soft and hard) the servers start with, as the service's systemd unit
    // gives it (LimitNOFILE=65536); 0 keeps the limit the generator was started with.
    int server_nofile = 65536;
    std::set<std::string> phases{"idle", "concurrent", "ip", "turnaround", "churn"};
    bool keep_tmp = false;
    bool quick_ack = false; // turnaround clients acknowledge control data at once
};

// Fills options from the command line; false with a message in error (or usage for --help).
bool parseOptions(int argc, char **argv, Options &options, std::string &error);
const char *usage();
