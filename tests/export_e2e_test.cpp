// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export end to end: the real colvo (and probo) feeding it, Debian's
// real Prometheus scraping it on loopback with a private configuration,
// data directory and port, over TLS with basic auth too, and receiving its
// remote writes; promtool checking its text.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;
const std::string EXPORT = EXPORT_BIN;
const std::string PROBO = PROBO_BIN;
#define PASSWORD "s3cret"
const std::string PROMETHEUS = "/usr/bin/prometheus";
const std::string PROMTOOL = "/usr/bin/promtool";
const std::string CURL = "/usr/bin/curl";

std::string get(const std::string &url)
{
    std::string out;
    run_command(CURL, {"-s", "-g", url}, &out);
    return out;
}

// Debian's Prometheus on loopback, with a configuration, data directory
// and port of the test's; web_flags reach it as they are (its own web
// configuration, the remote-write receiver).
struct prometheus_server {
    std::string dir;
    std::string config;
    std::vector<std::string> flags;
    std::vector<std::string> curl_flags; // how a query reaches it
    int port = free_tcp_port();
    std::unique_ptr<daemon_process> server;

    bool start()
    {
        std::vector<std::string> args = {"--config.file=" + config, "--storage.tsdb.path=" + dir + "/data",
                                         "--web.listen-address=127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), flags.begin(), flags.end());
        server = std::make_unique<daemon_process>(PROMETHEUS, args);
        return server->wait_for("Server is ready to receive web requests", 30000);
    }

    int stop()
    {
        server->signal(SIGTERM);
        return server->wait_exit(30000);
    }

    // The value of the query's first result once wanted takes it, asked
    // again as Prometheus' own clock brings new data; the last answer when
    // none came within seconds.
    std::string value_when(const std::string &query, const std::function<bool(const std::string &)> &wanted,
                           int seconds = 30)
    {
        std::string scheme = curl_flags.empty() ? "http" : "https", value;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        do {
            usleep(200000);
            server->drain();
            std::vector<std::string> args = curl_flags;
            for (const char *a : {"-s", "-G", "--data-urlencode"})
                args.push_back(a);
            args.push_back("query=" + query);
            args.push_back(scheme + "://127.0.0.1:" + std::to_string(port) + "/api/v1/query");
            std::string answer;
            run_command(CURL, args, &answer);
            size_t at = answer.find("\"value\":[");
            at = at == std::string::npos ? at : answer.find(",\"", at);
            value = at == std::string::npos ? answer : answer.substr(at + 2, answer.find('"', at + 2) - at - 2);
            if (at != std::string::npos && wanted(value))
                return value;
        } while (std::chrono::steady_clock::now() < end);
        return value;
    }
};

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

    std::unique_ptr<daemon_process> start_export(const std::vector<std::string> &more = {})
    {
        std::vector<std::string> args = {"-d", "-u", "-l", "127.0.0.1:" + std::to_string(http), "-s", COLVO_SOCKET};
        args.insert(args.end(), more.begin(), more.end());
        auto d = std::make_unique<daemon_process>(EXPORT, args);
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
    EXPECT_NE(std::string::npos, out.find("usage: colvo-export [-d] [-u] [-v] [-l address:port] [-s socket] "
                                          "[-w webconfig] [-r url]...\n"));
}

// A certificate for 127.0.0.1 made with openssl, and a bcrypt hash of the
// password made with the system's crypt(3), in the form htpasswd gives.
struct web_files {
    temp_dir &dir;
    std::string cert = dir.file("server.crt"), key = dir.file("server.key");
    std::string hash;

    explicit web_files(temp_dir &d) : dir(d)
    {
        std::string out;
        EXPECT_EQ(0, run_command("/usr/bin/openssl",
                                 {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                  "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                  "subjectAltName=IP:127.0.0.1"},
                                 &out))
            << out;
        const char *made = crypt(PASSWORD, "$2b$05$abcdefghijklmnopqrstuu");
        EXPECT_NE(nullptr, made);
        hash = made ? made : "";
        if (hash.size() > 3)
            hash[2] = 'y';
    }
    // The server's side: TLS and one user.
    std::string server_config(const std::string &name)
    {
        return dir.write(name, "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                               "basic_auth_users:\n  prometheus: " + hash + "\n");
    }
};

// colvo-export over TLS with basic auth, the real probo sending the demo's
// streams every second: curl is refused without the password or with a
// wrong one, promtool passes what it gets with the right one, and
// Prometheus scrapes it and sees the host up, then down once probo stops.
TEST_F(Export, PrometheusScrapesOverTlsWithBasicAuthAndSeesTheHostGoDown)
{
    if (access(PROMETHEUS.c_str(), X_OK) != 0 || access(CURL.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no prometheus or curl (scripts/deps.sh installs them)";
    web_files web(dir);
    std::string streams = "load, mem, debug, if(lo), cpu(0), proc(probo), df(/)";
    conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) + "\nsource 127.0.0.1 { accept { " +
                                       streams + " } }\nsource 127.0.0.9 { accept { load } }\n");
    auto colvo = start_colvo();
    auto exporter = start_export({"-w", web.server_config("web.yml")});
    auto probo = std::make_unique<daemon_process>(
        PROBO, std::vector<std::string>{"-d", "-u", "-f",
                                        dir.write("probo.conf", "monitor { " + streams +
                                                                    " } every second stream to 127.0.0.1 port " +
                                                                    std::to_string(port) + "\n")});
    std::string url = "https://127.0.0.1:" + std::to_string(http) + "/metrics", out;
    struct {
        std::vector<std::string> auth;
        const char *status;
    } cases[] = {{{}, "401"}, {{"-u", "prometheus:wrong"}, "401"}, {{"-u", "nobody:" PASSWORD}, "401"},
                 {{"-u", "prometheus:" PASSWORD}, "200"}};
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-s", "--cacert", web.cert, "-o", "/dev/null", "-w", "%{http_code}"};
        args.insert(args.end(), c.auth.begin(), c.auth.end());
        args.push_back(url);
        run_command(CURL, args, &out);
        EXPECT_EQ(c.status, out) << (c.auth.empty() ? "no user" : c.auth[1]);
    }
    // Plain HTTP is not served there.
    EXPECT_NE(0, run_command(CURL, {"-s", "-f", "http://127.0.0.1:" + std::to_string(http) + "/metrics"}, &out));
    std::string text;
    for (int i = 0; i < 100 && text.find("colvo_df_avail_bytes{") == std::string::npos; i++, usleep(50000))
        run_command(CURL, {"-s", "--cacert", web.cert, "-u", "prometheus:" PASSWORD, url}, &text);
    EXPECT_NE(std::string::npos, text.find("colvo_cpu_idle_ratio{host=\"127.0.0.1\",cpu=\"0\"} ")) << text;
    EXPECT_NE(std::string::npos, text.find("colvo_host_up{host=\"127.0.0.9\"} 0\n")) << text;
    EXPECT_EQ(0, run_command("/bin/sh", {"-c", PROMTOOL + " check metrics < " + dir.write("metrics.txt", text)}, &out))
        << out << text;

    prometheus_server prometheus{dir.path(),
                                 dir.write("prometheus.yml",
                                           "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: colvo\n"
                                           "    scheme: https\n    tls_config:\n      ca_file: " + web.cert +
                                               "\n    basic_auth:\n      username: prometheus\n      password: " PASSWORD
                                               "\n    static_configs:\n      - targets: ['127.0.0.1:" +
                                               std::to_string(http) + "']\n")};
    ASSERT_TRUE(prometheus.start()) << prometheus.server->output();
    auto is = [](const char *v) { return [v](const std::string &got) { return got == v; }; };
    EXPECT_EQ("1", prometheus.value_when("up{job=\"colvo\"}", is("1")));
    EXPECT_EQ("1", prometheus.value_when("colvo_host_up{host=\"127.0.0.1\"}", is("1")));
    probo->signal(SIGTERM);
    EXPECT_EQ(1, probo->wait_exit());
    // Three of its one-second intervals, and the next scrape.
    EXPECT_EQ("0", prometheus.value_when("colvo_host_up{host=\"127.0.0.1\"}", is("0")));
    EXPECT_EQ("1", prometheus.value_when("count(colvo_host_last_seen_timestamp_seconds{host=\"127.0.0.1\"})", is("1")));
    EXPECT_EQ(0, prometheus.stop());
}

// colvo-export writes to Prometheus as a remote-write receiver, over TLS
// with basic auth (the receiver's web configuration the exporter's format):
// a query gives the last FIFO line's load1; the receiver stopped for ten
// seconds and started again, every value of those seconds is there.
TEST_F(Export, RemoteWriteReachesPrometheusAcrossAnOutage)
{
    if (access(PROMETHEUS.c_str(), X_OK) != 0 || access(CURL.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no prometheus or curl (scripts/deps.sh installs them)";
    web_files web(dir);
    prometheus_server receiver{dir.path(), dir.write("prometheus.yml", "global:\n  scrape_interval: 1m\n"),
                               {"--web.enable-remote-write-receiver", "--web.config.file=" + web.server_config("receiver.yml")},
                               {"--cacert", web.cert, "-u", "prometheus:" PASSWORD}};
    ASSERT_TRUE(receiver.start()) << receiver.server->output();
    std::string client = dir.write("client.yml", "remote_write_client:\n  basic_auth:\n    username: prometheus\n"
                                                 "    password_file: client.pass\n  tls_config:\n    ca_file: server.crt\n");
    dir.write("client.pass", PASSWORD "\n");
    auto colvo = start_colvo();
    fifo_reader fifo(COLVO_FIFO);
    auto exporter = start_export({"-w", client, "-r", "https://127.0.0.1:" + std::to_string(receiver.port) + "/api/v1/write"});
    udp_socket sender("127.0.0.1");
    // One packet a second, each stamped a second after the last (the
    // receiver keeps one sample of a second): the last FIFO line's load1.
    std::string load1;
    int sent = 0;
    uint64_t first = static_cast<uint64_t>(time(nullptr));
    auto send_for = [&](int seconds) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < seconds; i++, sent++) {
            std::this_thread::sleep_until(start + std::chrono::seconds(i));
            sender.send_to("127.0.0.1", port, make_packet(first + static_cast<uint64_t>(sent),
                                                          {load_record(0.01 * (sent + 1), 0.5, 0.75)}));
            std::string line = fifo.next_line();
            size_t at = line.find("load::");
            at = line.find(':', at + 6) + 1;
            load1 = line.substr(at, line.find(':', at) - at);
        }
    };
    auto is = [](std::string v) { return [v](const std::string &got) { return got == v; }; };
    std::string count = "count_over_time(colvo_load_load1{host=\"127.0.0.1\"}[10m])";
    send_for(3);
    EXPECT_EQ("3", receiver.value_when(count, is("3")));
    EXPECT_EQ(load1, receiver.value_when("colvo_load_load1{host=\"127.0.0.1\"}", is(load1)));
    EXPECT_EQ("0.03", load1);

    // Ten seconds and more without a receiver.
    EXPECT_EQ(0, receiver.stop());
    send_for(11);
    ASSERT_TRUE(receiver.start()) << receiver.server->output();
    send_for(2);
    EXPECT_EQ("16", receiver.value_when(count, is("16"), 60));
    EXPECT_EQ("0.16", load1);
    EXPECT_EQ(load1, receiver.value_when("colvo_load_load1{host=\"127.0.0.1\"}", is(load1)));
    EXPECT_EQ("1", receiver.value_when("count(colvo_host_up{host=\"127.0.0.1\"})", is("1")));
    // The outage was seen, and nothing was lost or refused.
    std::string text = get(metrics_url);
    EXPECT_NE(std::string::npos, text.find("colvo_export_remote_samples_dropped_total{url=\"https://127.0.0.1:")) << text;
    for (const char *none : {"colvo_export_remote_samples_dropped_total{", "colvo_export_remote_samples_refused_total{"}) {
        size_t at = text.find(none);
        EXPECT_EQ(" 0\n", text.substr(text.find('}', at) + 1, 3)) << none;
    }
    size_t retried = text.find("colvo_export_remote_requests_retried_total{");
    EXPECT_NE(" 0\n", text.substr(text.find('}', retried) + 1, 3)) << text;
    EXPECT_TRUE(exporter->wait_for("remote write to https://127.0.0.1:" + std::to_string(receiver.port) +
                                   "/api/v1/write works again"));
    EXPECT_EQ(0, receiver.stop());
}

} // namespace
