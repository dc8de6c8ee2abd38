// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export end to end: the real colvo feeding it, Debian's real
// Prometheus scraping it on loopback with a private configuration, data
// directory and port, and promtool checking its text.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;
const std::string EXPORT = EXPORT_BIN;
const std::string PROMETHEUS = "/usr/bin/prometheus";
const std::string PROMTOOL = "/usr/bin/promtool";
const std::string CURL = "/usr/bin/curl";

std::string get(const std::string &url)
{
    std::string out;
    run_command(CURL, {"-s", "-g", url}, &out);
    return out;
}

struct Export : ::testing::Test {
    temp_dir dir;
    int port = free_udp_port();
    int http = free_tcp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load if(em0) } }\n");
    std::string metrics_url = "http://127.0.0.1:" + std::to_string(http) + "/metrics";

    std::unique_ptr<daemon_process> start_colvo()
    {
        auto d = std::make_unique<daemon_process>(COLVO, std::vector<std::string>{"-d", "-u", "-f", conf});
        EXPECT_TRUE(d->wait_for("listening for incoming probo traffic")) << d->output();
        return d;
    }

    std::unique_ptr<daemon_process> start_export()
    {
        auto d = std::make_unique<daemon_process>(
            EXPORT, std::vector<std::string>{"-d", "-u", "-l", "127.0.0.1:" + std::to_string(http), "-s",
                                             COLVO_SOCKET});
        EXPECT_TRUE(d->wait_for("connected to " + std::string(COLVO_SOCKET))) << d->output();
        return d;
    }
};

TEST_F(Export, PrometheusScrapesTheLastValueAndPromtoolPassesTheText)
{
    if (access(PROMETHEUS.c_str(), X_OK) != 0 || access(CURL.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no prometheus or curl (scripts/deps.sh installs them)";
    auto colvo = start_colvo();
    fifo_reader fifo(COLVO_FIFO);
    auto exporter = start_export();

    udp_socket sender("127.0.0.1");
    uint64_t t = static_cast<uint64_t>(time(nullptr)) - 30;
    std::string last;
    for (int i = 0; i < 4; i++) {
        sender.send_to("127.0.0.1", port,
                       make_packet(t + 5 * i, {load_record(0.25 * i + 0.07, 0.5, 0.75), if_record("em0", 1000 * i)}));
        last = fifo.next_line();
    }
    // The last FIFO line's load1: "127.0.0.1;load::<time>:0.82:...".
    size_t at = last.find("load::");
    ASSERT_NE(std::string::npos, at) << last;
    at = last.find(':', at + 6) + 1;
    std::string load1 = last.substr(at, last.find(':', at) - at);
    EXPECT_EQ("0.82", load1);
    // Lines go to the socket as to the FIFO: once the exporter has the
    // last, its text shows it.
    std::string text;
    for (int i = 0; i < 100 && text.find("colvo_export_lines_total 4\n") == std::string::npos; i++, usleep(20000))
        text = get(metrics_url);
    EXPECT_NE(std::string::npos, text.find("colvo_load_load1{host=\"127.0.0.1\"} 0.82\n")) << text;
    EXPECT_NE(std::string::npos, text.find("colvo_if_receive_bytes_total{host=\"127.0.0.1\",interface=\"em0\"} 3002\n"));
    EXPECT_NE(std::string::npos, text.find("colvo_daemon_live_clients 1\n")) << text;

    std::string scraped = dir.write("metrics.txt", text), out;
    EXPECT_EQ(0, run_command("/bin/sh", {"-c", PROMTOOL + " check metrics < " + scraped}, &out)) << out << text;

    int prometheus_port = free_tcp_port();
    std::string config = dir.write("prometheus.yml", "global:\n  scrape_interval: 1s\n"
                                                     "scrape_configs:\n  - job_name: colvo\n"
                                                     "    static_configs:\n      - targets: ['127.0.0.1:" +
                                                         std::to_string(http) + "']\n");
    daemon_process prometheus(PROMETHEUS,
                              {"--config.file=" + config, "--storage.tsdb.path=" + dir.file("data"),
                               "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)});
    ASSERT_TRUE(prometheus.wait_for("Server is ready to receive web requests", 30000)) << prometheus.output();
    std::string query = "http://127.0.0.1:" + std::to_string(prometheus_port) +
                        "/api/v1/query?query=colvo_load_load1{host=\"127.0.0.1\"}";
    // Its scrapes run on its own clock: asked until the first has been made.
    std::string answer;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (answer.find("\"result\":[{") == std::string::npos && std::chrono::steady_clock::now() < end) {
        usleep(200000);
        prometheus.drain();
        answer = get(query);
    }
    EXPECT_NE(std::string::npos, answer.find("\"status\":\"success\"")) << answer;
    EXPECT_NE(std::string::npos, answer.find("\"__name__\":\"colvo_load_load1\"")) << answer;
    EXPECT_NE(std::string::npos, answer.find(",\"" + load1 + "\"]}]")) << answer;
    prometheus.signal(SIGTERM);
    EXPECT_EQ(0, prometheus.wait_exit(20000));
}

TEST_F(Export, ConnectsAgainWhenColvoRestarts)
{
    if (access(CURL.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no curl (scripts/deps.sh installs it)";
    auto colvo = start_colvo();
    auto exporter = start_export();
    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit());
    EXPECT_TRUE(exporter->wait_for("colvo closed " + std::string(COLVO_SOCKET) + "; connecting again"));
    colvo = start_colvo();
    EXPECT_TRUE(exporter->wait_for_count("connected to " + std::string(COLVO_SOCKET), 2)) << exporter->output();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket sender("127.0.0.1");
    sender.send_to("127.0.0.1", port, make_packet(1700000000, {load_record(1.5, 1, 0.5)}));
    EXPECT_EQ("127.0.0.1;load::1700000000:1.50:1.00:0.50;", fifo.next_line());
    std::string text;
    for (int i = 0; i < 100 && text.find("colvo_export_lines_total 1\n") == std::string::npos; i++, usleep(20000))
        text = get(metrics_url);
    EXPECT_NE(std::string::npos, text.find("colvo_export_connections_total 2\n")) << text;
    EXPECT_NE(std::string::npos, text.find("colvo_load_load5{host=\"127.0.0.1\"} 1\n")) << text;
    // Only /metrics (and / linking to it), only GET.
    EXPECT_NE(std::string::npos, get("http://127.0.0.1:" + std::to_string(http) + "/").find("<a href=\"/metrics\">"));
    std::string out;
    run_command(CURL, {"-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "POST", metrics_url}, &out);
    EXPECT_EQ("405", out);
    exporter->signal(SIGTERM);
    EXPECT_EQ(0, exporter->wait_exit());
    EXPECT_EQ(64, run_command(EXPORT, {"-x"}, &out));
    EXPECT_NE(std::string::npos, out.find("usage: colvo-export [-d] [-u] [-v] [-l address:port] [-s socket]\n"));
}

} // namespace
