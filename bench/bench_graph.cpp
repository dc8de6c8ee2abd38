// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-graph over 100 databases holding two hours of data: seconds for a
// full run, for a run where nothing changed, and for a run a minute after
// every database was updated (what cron pays each minute). Then colvo-top's
// CPU use while its FIFO carries 1,000 lines per second.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <rrd.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "colvo_run.h"
#include "types.h"

enum { SOURCES = 10, HISTORY = 2 * 3600, SPACING = 10, TOP_SECONDS = 5, LINES_PER_SECOND = 1000 };

struct db_kind {
    int type;
    const char *spec; // as accepted
    const char *file; // as colvo-mkrrd names it under datadir
};

static const db_kind KINDS[] = {
    {STREAM_LOAD, "load", "load.rrd"},         {STREAM_MEM, "mem", "mem.rrd"},
    {STREAM_CPU, "cpu(0)", "cpu0.rrd"},        {STREAM_CPU, "cpu(1)", "cpu1.rrd"},
    {STREAM_IF, "if(em0)", "if_em0.rrd"},      {STREAM_IO, "io(ada0)", "io_ada0.rrd"},
    {STREAM_DF, "df(ada0p2)", "df_ada0p2.rrd"}, {STREAM_PROC, "proc(sshd)", "proc_sshd.rrd"},
    {STREAM_PFQ, "pfq(em0/std)", "pfq_em0_std.rrd"}, {STREAM_SMART, "smart(ada0)", "smart_ada0.rrd"},
};

static double clock_now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Set when a set-up or a timed program failed: no figure is printed for
// what it concerned, and the exit status is 1.
static bool bench_failed;

// Wall seconds and the child's CPU seconds; false when it failed.
static bool finish(pid_t pid, double started, double *wall, double *cpu)
{
    int status;
    rusage use;
    wait4(pid, &status, 0, &use);
    *wall = clock_now() - started;
    *cpu = use.ru_utime.tv_sec + use.ru_utime.tv_usec / 1e6 + use.ru_stime.tv_sec + use.ru_stime.tv_usec / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "child ended with status %d\n", status);
        return false;
    }
    return true;
}

static void run_timed(const char *what, const std::vector<std::string> &args)
{
    double wall, cpu;
    double started = clock_now();
    if (!finish(spawn(args), started, &wall, &cpu)) {
        fprintf(stderr, "%s: failed: no figure\n", what);
        bench_failed = true;
        return;
    }
    printf("%-44s %7.2f s   (%.2f s CPU)\n", what, wall, cpu);
}

// colvo-mkrrd starts a database just before now; moved back, it takes
// the history.
static void backdate(const std::string &file, time_t start)
{
    std::string xml = file + ".xml";
    rrd_dump_opt_r(file.c_str(), const_cast<char *>(xml.c_str()), 0);
    std::ifstream in(xml);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    size_t at = text.find("<lastupdate>") + strlen("<lastupdate>");
    text.replace(at, text.find('<', at) - at, std::to_string(start));
    std::ofstream(xml) << text;
    const char *argv[] = {"restore", "-f", xml.c_str(), file.c_str(), nullptr};
    optind = 0;
    rrd_restore(4, const_cast<char **>(argv));
    unlink(xml.c_str());
}

static bool fill(const std::string &file, int type, time_t from, time_t to)
{
    int count = 0;
    const data_source *ds = stream_data_sources(type, &count);
    std::vector<std::string> rows;
    for (time_t t = from; t <= to; t += SPACING) {
        std::string row = std::to_string(t);
        for (int i = 0; i < count; i++)
            row += ":" + std::to_string(ds[i].kind == DS_COUNTER ? (t - from) * (100 + 10 * i) : 50 + (t / 60 + i) % 40);
        rows.push_back(row);
    }
    std::vector<const char *> argv;
    for (const std::string &r : rows)
        argv.push_back(r.c_str());
    rrd_clear_error();
    if (rrd_update_r(file.c_str(), nullptr, static_cast<int>(argv.size()), argv.data()) != 0) {
        fprintf(stderr, "update %s: %s\n", file.c_str(), rrd_get_error());
        return false;
    }
    return true;
}

static void age_images(const std::string &dir, time_t by)
{
    std::string list = dir + "/list";
    system(("find " + dir + " -name '*.png' > " + list).c_str());
    std::ifstream in(list);
    for (std::string p; std::getline(in, p);) {
        struct stat st;
        stat(p.c_str(), &st);
        timeval times[2] = {{st.st_mtime - by, 0}, {st.st_mtime - by, 0}};
        utimes(p.c_str(), times);
    }
}

static void bench_graph(const std::string &dir)
{
    std::string conf = dir + "/colvo.conf";
    std::ofstream c(conf);
    c << "mux 127.0.0.1 port 2100\n";
    for (int s = 0; s < SOURCES; s++) {
        std::string db = dir + "/db" + std::to_string(s);
        mkdir(db.c_str(), 0755);
        c << "source 127.0.0." << s + 2 << " { accept {";
        for (const db_kind &k : KINDS)
            c << " " << k.spec;
        c << " } datadir " << db << " }\n";
    }
    c.close();
    double wall, cpu;
    bool ready = finish(spawn({BENCH_MKRRD, "-f", conf}), clock_now(), &wall, &cpu);
    time_t now = time(nullptr);
    time_t start = (now - HISTORY) / SPACING * SPACING;
    for (int s = 0; s < SOURCES && ready; s++)
        for (const db_kind &k : KINDS) {
            std::string file = dir + "/db" + std::to_string(s) + "/" + k.file;
            backdate(file, start - SPACING);
            ready = ready && fill(file, k.type, start, now - SPACING);
        }
    if (!ready) {
        fprintf(stderr, "colvo-graph: the databases could not be made: no figure\n");
        bench_failed = true;
        return;
    }
    printf("colvo-graph, %d databases with %d hours of data\n", SOURCES * 10, HISTORY / 3600);
    std::string out = dir + "/www";
    run_timed("full run", {BENCH_GRAPH, "-f", conf, "-o", out});
    run_timed("nothing changed", {BENCH_GRAPH, "-f", conf, "-o", out});
    // A minute later every database has news.
    age_images(out, 60);
    for (int s = 0; s < SOURCES; s++)
        for (const db_kind &k : KINDS)
            ready = ready && fill(dir + "/db" + std::to_string(s) + "/" + k.file, k.type, now, now);
    if (!ready) {
        fprintf(stderr, "colvo-graph: the databases could not be updated: no figure\n");
        bench_failed = true;
        return;
    }
    run_timed("every database updated, a minute later", {BENCH_GRAPH, "-f", conf, "-o", out});
}

static std::string fifo_line(int host, long tick)
{
    char line[512];
    long t = 1700000000 + tick;
    unsigned long long c = 1000ull * static_cast<unsigned long long>(tick);
    snprintf(line, sizeof(line),
             "10.0.%d.%d;load::%ld:0.15:0.10:0.05;cpu:0:%ld:3.00:0.00:1.00:0.00:96.00;"
             "cpu:1:%ld:5.00:0.00:2.00:0.00:93.00;mem::%ld:100:200:300:0:400;"
             "if:em0:%ld:%llu:%llu:%llu:%llu:0:0:0:0:0:0;io:ada0:%ld:%llu:%llu:0:%llu:%llu;"
             "df:ada0p2:%ld:1000:100:50:10:5:0:0;\n",
             host / 256, host % 256, t, t, t, t, t, c, c, c, c, t, c, c, c, c, t);
    return line;
}

static void bench_top(const std::string &dir)
{
    std::string fifo = dir + "/fifo";
    mkfifo(fifo.c_str(), 0600);
    double started = clock_now();
    pid_t top = spawn({BENCH_TOP, "-p", fifo});
    int fd = open(fifo.c_str(), O_RDWR);
    const int hosts = 100, batch = LINES_PER_SECOND / 100;
    long sent = 0;
    for (int slice = 0; slice < 100 * TOP_SECONDS; slice++) {
        std::string text;
        for (int i = 0; i < batch; i++, sent++)
            text += fifo_line(static_cast<int>(sent % hosts), sent / hosts);
        if (write(fd, text.data(), text.size()) < 0)
            break;
        double due = started + (slice + 1) / 100.0;
        double left = due - clock_now();
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(left));
    }
    kill(top, SIGTERM);
    double wall, cpu;
    int status;
    rusage use;
    // It ends cleanly on the signal; anything else is a failure.
    wait4(top, &status, 0, &use);
    wall = clock_now() - started;
    cpu = use.ru_utime.tv_sec + use.ru_utime.tv_usec / 1e6 + use.ru_stime.tv_sec + use.ru_stime.tv_usec / 1e6;
    close(fd);
    if (sent == 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "colvo-top: ended with status %d: no figure\n", status);
        bench_failed = true;
        return;
    }
    printf("colvo-top, %d hosts, %ld lines in %.1f s (%.0f lines/s, %zu bytes each): %.1f%% of one CPU\n",
           hosts, sent, wall, sent / wall, fifo_line(0, 0).size(), 100 * cpu / wall);
}

int main()
{
    char tmpl[] = "/tmp/bench_graph.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    std::string dir = tmpl;
    bench_graph(dir);
    bench_top(dir);
    system(("rm -rf " + dir).c_str());
    return bench_failed ? 1 : 0;
}
