// Replay at memory speed, end to end over the card model, across two pinned
// cores:
//
//   replay_buffer  kest-card-sim --replay --speed max (on cpu b) into this
//                  process polling KestRecv(record) in buffer mode (cpu a),
//                  timed from the first record received to the last; beside
//                  the model's ring fed by a thread of this process with
//                  single blocking pushes and drained by the same receiver (the ring's
//                  own throughput, same run, same cores).
//   replay_record  kest-card-sim --replay --speed max into kest-md-recv
//                  --record --quiet (on cpu a), timed by its recording's
//                  growth from the first block written to the last, the
//                  recording then compared with the source by kest-record
//                  compare (a difference fails the benchmark).
//
// The card's rings are 8 MiB (kest-card-sim --ring-bytes 8388608): a ring
// that stays in the caches carries a replay about twice as fast as the
// default 256 MiB, through which every record goes to memory and back.
//
// Prints FIGURE lines: each rate beside the ring's, and beside its target
// (10 and 5 M records/s). The recording is synthetic: KEST_BENCH_REPLAY_RECORDS
// records (default 4,000,000) of 200 instruments. KEST_BENCH_CARD_SIM,
// KEST_BENCH_MD_RECV and KEST_BENCH_MODEL_DIR run other builds of the tools
// (those of an earlier commit, for a figure before a change); such a
// kest-card-sim may keep running after its replay and is then stopped.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cinttypes>

#include "BenchSupport.h"
#include "recording/Recording.h"

namespace {

using namespace kest_bench;
using Steady = std::chrono::steady_clock;

constexpr int kRounds = 3;
constexpr int kChannel = 1;        // this process's receiver
constexpr int kRecordChannel = 2;  // kest-md-recv's

std::string Env(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0' ? v : fallback;
}

// A day's worth of quotes in miniature: 200 instruments in turn, each
// numbering its changes from 1, a millisecond of exchange time per 100.
bool WriteRecording(const std::string& path, uint64_t records) {
    kest_rec::WriterOptions wo;
    wo.channel = kChannel;
    std::string error;
    std::unique_ptr<kest_rec::Writer> w = kest_rec::Writer::Open(path, wo, &error);
    if (!w) {
        std::fprintf(stderr, "replay bench: %s\n", error.c_str());
        return false;
    }
    const int64_t start = kest_rec::RealtimeNs();
    for (uint64_t i = 0; i < records; ++i) {
        KestShfeMdType q{};
        const uint32_t inst = static_cast<uint32_t>(i % 200);
        q.inst_no = inst;
        std::snprintf(q.inst_id, sizeof q.inst_id, "cu%04u", 2500 + inst);
        const uint64_t ms = 9 * 3600 * 1000 + i / 100;
        q.update_time = static_cast<uint32_t>(ms / 3600000 * 10000 + ms / 60000 % 60 * 100 + ms / 1000 % 60);
        q.update_milli_sec = static_cast<uint16_t>(ms % 1000);
        q.type = 0;
        q.change_no = static_cast<uint32_t>(i / 200 + 1);
        q.last_px = 7000000 + static_cast<int32_t>((i * 7919) % 5000);
        q.bid1_px = q.last_px - 10;
        q.ask1_px = q.last_px + 10;
        q.bid1_vol = q.ask1_vol = 5;
        w->Append(start + static_cast<int64_t>(i) * 1000, q);
    }
    return w->Flush();
}

// A child process on one core; stdout to a pipe when `out` is given.
pid_t Spawn(const std::vector<std::string>& argv, int cpu, int* out, const std::string& lib_dir = "") {
    int fds[2] = {-1, -1};
    if (out != nullptr && pipe(fds) != 0) return -1;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        DieWithParent(parent);
        PinTo(cpu);
        if (out != nullptr) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
        } else {
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
        }
        if (!lib_dir.empty()) setenv("LD_LIBRARY_PATH", lib_dir.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (out != nullptr) {
        close(fds[1]);
        *out = fds[0];
    }
    return pid;
}

// Reads the card process's output until its replay line; the rate it
// reports (records/s), 0 when the process ended without one.
double ReplayLine(int fd, uint64_t* records) {
    FILE* f = fdopen(fd, "r");
    char line[512];
    double rate = 0;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long n = 0;
        int channel = 0;
        double seconds = 0;
        if (std::sscanf(line, "replayed %llu records into channel %d in %lf s (%lf records/s", &n, &channel,
                        &seconds, &rate) == 4) {
            *records = n;
            break;
        }
    }
    if (f != nullptr) std::fclose(f);
    return rate;
}

void Stop(pid_t pid, int sig) {
    kill(pid, sig);  // a card process of an earlier build keeps running after its replay
    waitpid(pid, nullptr, 0);
}

int64_t FileBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

int main() {
    const std::pair<int, int> cpus = TwoCpus();
    const int cpu_a = cpus.first, cpu_b = cpus.second;
    const uint64_t records = std::strtoull(Env("KEST_BENCH_REPLAY_RECORDS", "4000000").c_str(), nullptr, 10);
    const std::string card_sim = Env("KEST_BENCH_CARD_SIM", KEST_CARD_SIM_PATH);
    const std::string md_recv = Env("KEST_BENCH_MD_RECV", KEST_MD_RECV_PATH);
    const std::string model_dir = Env("KEST_BENCH_MODEL_DIR", KEST_MODEL_DIR);
    kest_sim::CardOptions options;
    options.a2c_ring_bytes = 8u << 20;
    PrivateCard card("bench_replay", options);
    const uint32_t ring_bytes = card.card->A2cStats(kChannel).a2c_capacity;
    const std::string source = card.dir + "/source.kestrec";
    if (!WriteRecording(source, records)) return 1;

    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    if (api.KestStart(card.Config(kChannel).c_str()) != 0) return 1;
    KestShfeMdType record{};
    uint64_t sum = 0;
    // Takes `n` records in buffer mode on this thread; records per second
    // from the first to the last, 0 when they stop coming for 10 s.
    auto receive = [&](uint64_t n) {
        Steady::time_point first{}, last = Steady::now();
        uint64_t empty = 0, seen = 0;
        for (uint64_t got = 0; got < n;) {
            if (api.KestRecv(record) == 1) {
                if (got++ == 0) first = Steady::now();
                sum += static_cast<uint64_t>(record.last_px);
                continue;
            }
            if ((++empty & 0xFFFF) == 0) {
                if (got != seen) seen = got, last = Steady::now();
                if (Steady::now() - last > std::chrono::seconds(10)) return 0.0;
            }
        }
        last = Steady::now();
        return static_cast<double>(n - 1) / std::chrono::duration<double>(last - first).count();
    };

    std::vector<double> ring, replay, recorded;
    bool identical = true;
    PinTo(cpu_a);
    for (int r = 0; r < kRounds; ++r) {
        // The ring itself: single pushes from a thread on cpu b.
        const uint64_t pushes = std::min<uint64_t>(records, 2000000);
        std::thread producer([&] {
            PinTo(cpu_b);
            QuoteMessage msg;
            // Blocking pushes, one message each: what a replay made of single pushes does.
            for (uint64_t i = 0; i < pushes; ++i)
                card.card->PushA2cBlocking(kChannel, msg.bytes, sizeof msg.bytes, nullptr, -1);
        });
        ring.push_back(receive(pushes) / 1e6);
        producer.join();

        // The replay into this process.
        int out = -1;
        const pid_t sim = Spawn({card_sim, "--card", "0", "--stats", "0", "--replay", source, "--channel",
                                 std::to_string(kChannel), "--speed", "max"},
                                cpu_b, &out, model_dir);
        replay.push_back(receive(records) / 1e6);
        uint64_t n = 0;
        ReplayLine(out, &n);
        Stop(sim, SIGTERM);

        // The replay into kest-md-recv --record --quiet.
        const std::string copy = card.dir + "/copy" + std::to_string(r) + ".kestrec";
        const pid_t recv = Spawn({md_recv, card.Config(kRecordChannel), "--record", copy, "--quiet"}, cpu_a,
                                 nullptr, model_dir);
        // Its channel needs no bring-up: started once the recording exists and a moment has passed.
        for (int i = 0; i < 500 && FileBytes(copy) < 0; ++i) usleep(10000);
        usleep(500000);
        const pid_t sim2 = Spawn({card_sim, "--card", "0", "--stats", "0", "--replay", source, "--channel",
                                  std::to_string(kRecordChannel), "--speed", "max"},
                                 cpu_b, &out, model_dir);
        // From the first block in the file to the last record: the receiver's
        // pace. Whole blocks reach the file as they fill, the last part block
        // once the stream has been idle for 200 ms; stopping the receiver
        // before would leave records in the channel's ring.
        const uint64_t per = kest_rec::Writer::kBlockEntries, rest = records % per;
        const int64_t want = static_cast<int64_t>(
            sizeof(kest_rec::FileHeader) +
            records / per * (sizeof(kest_rec::BlockHeader) + per * sizeof(kest_rec::Entry)) +
            (rest != 0 ? sizeof(kest_rec::BlockHeader) + rest * sizeof(kest_rec::Entry) : 0));
        Steady::time_point first{}, last{};
        int64_t first_bytes = 0;
        for (auto end = Steady::now() + std::chrono::seconds(60); Steady::now() < end;) {
            const int64_t bytes = FileBytes(copy);
            if (first_bytes == 0 && bytes > static_cast<int64_t>(sizeof(kest_rec::FileHeader))) {
                first = Steady::now();
                first_bytes = bytes;
            }
            if (bytes >= want) {
                last = Steady::now();
                break;
            }
            usleep(1000);
        }
        const double span = std::chrono::duration<double>(last - first).count();
        const double first_records = static_cast<double>(first_bytes - sizeof(kest_rec::FileHeader)) /
                                     (sizeof(kest_rec::BlockHeader) + per * sizeof(kest_rec::Entry)) * per;
        recorded.push_back(last > first ? (static_cast<double>(records) - first_records) / span / 1e6 : 0.0);
        uint64_t n2 = 0;
        ReplayLine(out, &n2);
        Stop(sim2, SIGTERM);
        Stop(recv, SIGINT);
        const std::string compare = "'" + Env("KEST_BENCH_RECORD", KEST_RECORD_PATH) + "' compare '" +
                                    source + "' '" + copy + "' >/dev/null";
        if (std::system(compare.c_str()) != 0) {
            std::fprintf(stderr,
                         "replay bench: round %d: the recording differs from the source (%" PRId64
                         " bytes, %" PRId64 " expected before its index)\n",
                         r, FileBytes(copy), want);
            identical = false;
        }
        unlink(copy.c_str());
    }
    std::printf("cpus %d,%d  %" PRIu64
                " records  ring %u bytes  M records/s per round, ring / replay / into kest-md-recv:",
                cpu_a, cpu_b, records, ring_bytes);
    for (int r = 0; r < kRounds; ++r) std::printf(" %.2f/%.2f/%.2f", ring[r], replay[r], recorded[r]);
    std::printf("\nrecordings byte-identical to the source: %s\n", identical ? "yes" : "NO");
    if (sum == 1) std::puts("");  // keeps the receiver's reads
    Figure("replay_buffer", Median(replay), Median(ring), "Mmsg/s");
    Figure("replay_buffer_target", Median(replay), 10, "Mmsg/s");
    Figure("replay_record", Median(recorded), Median(ring), "Mmsg/s");
    Figure("replay_record_target", identical ? Median(recorded) : 0, 5, "Mmsg/s");
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    return identical ? 0 : 1;
}
