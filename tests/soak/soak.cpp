/* tessarc-soak: five tessarc-server processes, first in a ring, then in a
 * line, each with a client publishing numbered datasets through the relay
 * and a client listening, while servers are killed (SIGKILL) and started
 * again or stopped (SIGSTOP) and resumed, one fault at a time. Afterwards,
 * per listener:
 *   - no dataset arrives twice within the duplicate window (10 s: broadcast
 *     records expire after 10 s and the soak's rate keeps far below the
 *     record limit); a repeat after it, or across a reconnect of the
 *     listener, is counted as a late repeat;
 *   - of the datasets published while every server was up and linked (from
 *     a second after the mesh was whole again to half a second before the
 *     next fault), those missing from publisher i are no more than the
 *     datasets tcp shed on the servers of the path from i (its warnings
 *     "tcp: link <name>: shed <n> datasets (total <t>) while congested");
 *   - each server's resident memory stays under the bound and, within one
 *     process, does not grow from one fault cycle to the next.
 * Prints a table per topology; exit code 1 on a violation, 2 when the mesh
 * cannot be set up. Usage: tessarc-soak [--seconds N] [--rate R] */
#include <tessarc/client.h>

#include "mesh_harness.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

namespace {

using namespace std::chrono;
using tq_mesh::Mesh;

constexpr int kServers = 5;
constexpr uint64_t kDuplicateWindowMs = 10000;
constexpr uint64_t kRssBoundKb = 256 * 1024;
constexpr uint64_t kRssGrowthKb = 16 * 1024;
constexpr uint8_t kRelayType = 16;

const steady_clock::time_point g_start = steady_clock::now();

uint64_t nowMs()
{
    return (uint64_t)duration_cast<milliseconds>(steady_clock::now() - g_start).count();
}

struct Sent {
    uint64_t at;
    bool ok; /* the client library took it; false when the connection failed */
};

struct Seen {
    uint64_t at;
    uint32_t epoch; /* the listener's connection it came on */
};

/* Everything the client threads record, under one lock. */
struct Record {
    std::mutex lock;
    std::vector<Sent> sent[kServers];                  /* by publisher, indexed by number */
    std::unordered_map<uint64_t, Seen> seen[kServers]; /* by listener; key publisher << 32 | number */
    long duplicates[kServers] = {}, lateRepeats[kServers] = {};
    std::atomic<bool> connected[2 * kServers] = {}; /* publishers, then listeners */
};

uint64_t residentKb(pid_t pid)
{
    return (uint64_t)std::max(0L, tq_test::statusKb(pid, "VmRSS"));
}

/* The datasets tcp reports shed in a server's log. */
long shedIn(const std::string &log)
{
    long total = 0;
    for (size_t at = log.find("tcp: link "); at != std::string::npos; at = log.find("tcp: link ", at + 1)) {
        size_t end = log.find('\n', at), shed = log.find(": shed ", at);
        long n = 0;
        if (shed < end && std::sscanf(log.c_str() + shed, ": shed %ld datasets", &n) == 1)
            total += n;
    }
    return total;
}

void publish(Mesh &mesh, Record &record, int i, int rate, const std::atomic<bool> &stop)
{
    std::string address = mesh[i].clientAddress(), name = "publisher-" + std::to_string(i);
    TQ_ClientOptions options{};
    options.nodeName = name.c_str();
    options.timeoutMs = 1000;
    auto period = microseconds(1000000 / rate);
    while (!stop) {
        TQ_Client *client = TQ_Client_connect(address.c_str(), &options, nullptr);
        if (client == nullptr) {
            std::this_thread::sleep_for(milliseconds(100));
            continue;
        }
        record.connected[i] = true;
        auto next = steady_clock::now();
        while (!stop) {
            uint32_t payload[2];
            {
                std::lock_guard<std::mutex> guard(record.lock);
                payload[0] = (uint32_t)record.sent[i].size();
                record.sent[i].push_back(Sent{nowMs(), true});
            }
            payload[1] = (uint32_t)i;
            if (TQ_Client_send(client, kRelayType, 0, (uint32_t)i, payload, sizeof payload) != TQ_CLIENT_OK) {
                std::lock_guard<std::mutex> guard(record.lock);
                record.sent[i][payload[0]].ok = false;
                break;
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
        record.connected[i] = false;
        TQ_Client_close(client);
    }
}

void listen(Mesh &mesh, Record &record, int j, const std::atomic<bool> &stop)
{
    std::string address = mesh[j].clientAddress(), name = "listener-" + std::to_string(j);
    TQ_ClientOptions options{};
    options.nodeName = name.c_str();
    options.timeoutMs = 1000;
    uint32_t epoch = 0;
    while (!stop) {
        TQ_Client *client = TQ_Client_connect(address.c_str(), &options, nullptr);
        if (client == nullptr) {
            std::this_thread::sleep_for(milliseconds(100));
            continue;
        }
        ++epoch;
        record.connected[kServers + j] = true;
        TQ_ClientDataset dataset;
        int result;
        while (!stop &&
               ((result = TQ_Client_receive(client, &dataset, 200)) == TQ_CLIENT_OK || result == TQ_CLIENT_TIMEOUT)) {
            if (result != TQ_CLIENT_OK || dataset.type != kRelayType || dataset.payloadLength != 8)
                continue;
            uint32_t payload[2];
            std::memcpy(payload, dataset.payload, sizeof payload);
            uint64_t key = (uint64_t)payload[1] << 32 | payload[0], at = nowMs();
            std::lock_guard<std::mutex> guard(record.lock);
            auto [it, fresh] = record.seen[j].emplace(key, Seen{at, epoch});
            if (fresh)
                continue;
            if (it->second.epoch == epoch && at - it->second.at < kDuplicateWindowMs)
                ++record.duplicates[j];
            else
                ++record.lateRepeats[j];
        }
        record.connected[kServers + j] = false;
        TQ_Client_close(client);
    }
}

struct Window {
    uint64_t from, to;
};

/* One topology for `seconds`: true when nothing was violated. */
bool soak(const char *topology, std::vector<std::pair<int, int>> links, int seconds, int rate, std::mt19937 &random)
{
    tq_test::TempDir dir;
    Mesh mesh(dir.path(), kServers, links);
    for (int i = 0; i < kServers; ++i)
        mesh[i].relayCfg = "";
    if (!mesh.startAll()) {
        std::fprintf(stderr, "tessarc-soak: the %s did not come up\n%s", topology, mesh.why().c_str());
        std::exit(2);
    }
    Record record;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kServers; ++i) {
        threads.emplace_back(publish, std::ref(mesh), std::ref(record), i, rate, std::cref(stop));
        threads.emplace_back(listen, std::ref(mesh), std::ref(record), i, std::cref(stop));
    }

    long shed[kServers] = {};
    uint64_t peakKb[kServers] = {};
    std::vector<std::pair<pid_t, uint64_t>> cycleRss[kServers]; /* at the end of each cycle */
    std::vector<Window> windows;
    std::vector<std::string> problems;
    auto sampleFor = [&](int ms) {
        for (uint64_t end = nowMs() + (uint64_t)ms; nowMs() < end;) {
            for (int i = 0; i < kServers; ++i)
                if (mesh[i].running)
                    peakKb[i] = std::max(peakKb[i], residentKb(mesh[i].process->pid()));
            std::this_thread::sleep_for(milliseconds(100));
        }
    };
    auto whole = [&] {
        bool clients = tq_mesh::waitUntil(
            [&] {
                for (auto &c : record.connected)
                    if (!c)
                        return false;
                return true;
            },
            20000);
        if (!mesh.linked(20000) || !clients)
            problems.push_back("the mesh was not whole again within 20 s");
        return nowMs() + 1000;
    };

    uint64_t end = nowMs() + (uint64_t)seconds * 1000, up = whole();
    int cycles = 0, kills = 0, pauses = 0;
    while (nowMs() + 6000 < end) {
        sampleFor(4000);
        windows.push_back({up, nowMs() - 500});
        for (int i = 0; i < kServers; ++i)
            cycleRss[i].push_back({mesh[i].process->pid(), residentKb(mesh[i].process->pid())});
        int k = (int)(random() % kServers);
        if (cycles++ % 2 == 0) {
            ++kills;
            mesh.stop(k, SIGKILL);
            shed[k] += shedIn(mesh[k].log());
            sampleFor(500 + (int)(random() % 1500));
            if (!mesh.start(k)) {
                std::fprintf(stderr, "tessarc-soak: n%d did not start again\n%s", k, mesh.why().c_str());
                std::exit(2);
            }
        } else {
            ++pauses;
            mesh[k].process->signal(SIGSTOP);
            sampleFor(1000 + (int)(random() % 2000)); /* well inside the duplicate window */
            mesh[k].process->signal(SIGCONT);
        }
        up = whole();
    }
    sampleFor((int)std::max<int64_t>(1000, (int64_t)end - (int64_t)nowMs()));
    windows.push_back({up, nowMs() - 500});
    sampleFor(3000); /* what is in flight arrives */
    stop = true;
    for (std::thread &t : threads)
        t.join();
    for (int i = 0; i < kServers; ++i)
        shed[i] += shedIn(mesh[i].log());
    if (!mesh.stopAll())
        problems.push_back("a server did not end cleanly on SIGTERM");

    /* The servers a dataset from i passes to reach j: the line between
     * them; in the ring both ways round, so every server. */
    auto pathShed = [&](int i, int j) {
        long total = 0;
        for (int s = 0; s < kServers; ++s)
            if (std::strcmp(topology, "ring") == 0 || (s >= std::min(i, j) && s <= std::max(i, j)))
                total += shed[s];
        return total;
    };
    auto healthy = [&](uint64_t at) {
        for (const Window &w : windows)
            if (at >= w.from && at <= w.to)
                return true;
        return false;
    };
    std::printf("\n%s of %d servers, %d s, %d datasets/s per publisher, %d kills, %d pauses\n", topology, kServers,
                seconds, rate, kills, pauses);
    std::printf("| server | published | delivered | shed | lost during outages | missing while up | duplicates | "
                "late repeats | peak RSS |\n|---|---|---|---|---|---|---|---|---|\n");
    for (int j = 0; j < kServers; ++j) {
        long delivered = (long)record.seen[j].size(), outage = 0, missingUp = 0;
        for (int i = 0; i < kServers; ++i) {
            long missing = 0;
            for (size_t n = 0; n < record.sent[i].size(); ++n) {
                const Sent &s = record.sent[i][n];
                if (record.seen[j].count((uint64_t)i << 32 | n))
                    continue;
                if (s.ok && healthy(s.at))
                    ++missing;
                else
                    ++outage;
            }
            missingUp += missing;
            if (missing > pathShed(i, j))
                problems.push_back("listener " + std::to_string(j) + " misses " + std::to_string(missing) +
                                   " datasets of publisher " + std::to_string(i) + " sent while every server was up, " +
                                   std::to_string(pathShed(i, j)) + " shed on the way");
        }
        if (record.duplicates[j] > 0)
            problems.push_back("listener " + std::to_string(j) + " got " + std::to_string(record.duplicates[j]) +
                               " datasets twice within the duplicate window");
        if (peakKb[j] > kRssBoundKb)
            problems.push_back("n" + std::to_string(j) + " peaked at " + std::to_string(peakKb[j] / 1024) + " MB");
        /* Growth within one process, from the second cycle on (the first
         * warms the allocator). */
        const auto &rss = cycleRss[j];
        for (size_t c = 2; c < rss.size(); ++c)
            if (rss[c].first == rss[c - 1].first && rss[c - 1].first == rss[1].first &&
                rss[c].second > rss[1].second + kRssGrowthKb)
                problems.push_back("n" + std::to_string(j) + " grew from " + std::to_string(rss[1].second / 1024) +
                                   " MB to " + std::to_string(rss[c].second / 1024) + " MB over fault cycles");
        std::printf("| n%d | %zu | %ld | %ld | %ld | %ld | %ld | %ld | %" PRIu64 " MB |\n", j, record.sent[j].size(),
                    delivered, shed[j], outage, missingUp, record.duplicates[j], record.lateRepeats[j],
                    peakKb[j] / 1024);
    }
    for (const std::string &p : problems)
        std::printf("VIOLATION (%s): %s\n", topology, p.c_str());
    std::fflush(stdout);
    return problems.empty();
}

} // namespace

int main(int argc, char **argv)
{
    int seconds = 240, rate = 200;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--seconds") == 0 && a + 1 < argc) {
            seconds = std::atoi(argv[++a]);
        } else if (std::strcmp(argv[a], "--rate") == 0 && a + 1 < argc) {
            rate = std::atoi(argv[++a]);
        } else {
            std::fprintf(stderr, "usage: tessarc-soak [--seconds N (both topologies, default 240)] [--rate R "
                                 "(datasets/s per publisher, default 200)]\n");
            return 2;
        }
    }
    if (seconds < 20 || rate < 1 || rate > 100000) {
        std::fprintf(stderr, "tessarc-soak: at least 20 seconds and a rate from 1 to 100000\n");
        return 2;
    }
    std::mt19937 random(12345);
    bool ring = soak("ring", tq_mesh::ring(kServers), seconds / 2, rate, random);
    bool line = soak("line", tq_mesh::line(kServers), seconds - seconds / 2, rate, random);
    return ring && line ? 0 : 1;
}
