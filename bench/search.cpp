// SPDX-License-Identifier: MIT
// How close tsflood-consumers --find-limit comes to a loss-free rate known
// by construction: a socat receiver whose reads pv passes on at 10 MiB/s
// (83.89 Mbit/s) at most, alone; and one at 4 MiB/s beside one that reads
// all, on one multicast group, in a network of the harness's own (root).
// The socket's and the pipe's buffers take a few percent more in a try of
// seconds, so a search within its 5% below and 10% above is right. It
// asserts nothing: a busy machine holds the pacer and the receivers up,
// which is what it shows.
//
//   search [--tries-of S] [--runs N]   each case N times (3), tries of S seconds (3)
//   search --quick                     the first case once, tries of 2 s
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct known_case {
    std::string name;
    double known; // bits per second
    std::vector<std::string> args;
};

// The JSON line tsflood-consumers printed for `args`, and its exit status.
std::pair<nlohmann::json, int> run(const std::vector<std::string> &args) {
    std::string command = CONSUMERS_PATH;
    for (const auto &arg : args) {
        command += " '" + arg + "'"; // no argument here holds a quote
    }
    FILE *out = popen(command.c_str(), "r");
    std::string text;
    char chunk[4096];
    for (std::size_t n; out != nullptr && (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) {
        text.append(chunk, n);
    }
    const int status = out != nullptr ? pclose(out) : -1;
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    return {parsed, WIFEXITED(status) ? WEXITSTATUS(status) : 128};
}

} // namespace

int main(int argc, char **argv) {
    std::string seconds = "3";
    int runs = 3;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
            seconds = "2";
            runs = 1;
        } else if (arg == "--tries-of" && i + 1 < argc) {
            seconds = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: search [--tries-of S] [--runs N] | --quick\n");
            return 2;
        }
    }
    const std::string port = "47311", group = "239.1.2.4:" + port;
    const std::string joined = "socat -u UDP4-RECV:" + port +
                               ",ip-add-membership=239.1.2.4:127.0.0.1,"
                               "reuseaddr - ";
    std::vector<known_case> cases = {
        {"alone, pv -L 10M",
         10 * 1048576 * 8.0,
         {"-u", port, "socat -u UDP-RECV:" + port + " - | pv -q -L 10M >/dev/null"}},
        {"together, pv -L 4M",
         4 * 1048576 * 8.0,
         {"--netns", "--together", "-u", group, joined + ">/dev/null",
          joined + "| pv -q -L 4M >/dev/null"}                                     },
    };
    if (quick) {
        cases.resize(1);
    }
    std::printf("| case | known | found | within -5%%/+10%% | pacer bound | tries |\n"
                "|---|---:|---:|---|---|---:|\n");
    for (const auto &c : cases) {
        for (int n = 0; n < runs; ++n) {
            std::vector<std::string> args = {"--json", "--find-limit", "-g", "0", "-s", seconds};
            args.insert(args.end(), c.args.begin(), c.args.end());
            const auto [row, status] = run(args);
            if (status != 0 || !row.is_object() || !row["limit_bits_per_s"].is_number()) {
                std::printf("| %s | %.1f Mbit/s | none (status %d%s%s) | no | | |\n",
                            c.name.c_str(), c.known / 1e6, status, row.is_object() ? ": " : "",
                            row.is_object() && row["note"].is_string()
                                ? row["note"].get<std::string>().c_str()
                                : "");
                continue;
            }
            const double found = row["limit_bits_per_s"].get<double>();
            const bool within = found > c.known / 1.05 && found < c.known * 1.1;
            std::printf("| %s | %.1f Mbit/s | %.1f Mbit/s | %s | %s | %zu |\n", c.name.c_str(),
                        c.known / 1e6, found / 1e6, within ? "yes" : "no",
                        row["pacer_bound"].get<bool>() ? "yes" : "no",
                        row["tries"].back()["try"].get<std::size_t>());
            std::fflush(stdout);
        }
    }
    return 0;
}
