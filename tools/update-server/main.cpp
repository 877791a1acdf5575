// update-server: a reference update server for labs that keep a private
// firmware mirror, and for the tests and demo. Serves the update requests
// under any path ending in /cgi/u, over HTTP or HTTPS.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "FirmwareFolder.h"
#include "Responder.h"

namespace {

const char kUsage[] =
    "usage: update-server --root DIR [options]\n"
    "\n"
    "Serves firmware packages to Updater (-B, -G, -L, -J, recovery) from DIR:\n"
    "  DIR/<SERIAL>/*.bird      packages of one device (serial as 8 hex digits);\n"
    "                           build and version come from each package\n"
    "  DIR/<SERIAL>/token.jwt   the device's token (optional)\n"
    "  DIR/recovery.txt         lines \"W0 W1 W2 W3 SERIAL BUILD\" mapping fingerprints\n"
    "\n"
    "options:\n"
    "  --root DIR            firmware folder (required)\n"
    "  --host ADDR           address to listen on [127.0.0.1]\n"
    "  --port N              port; 0 picks a free one [0]\n"
    "  --cert FILE --key FILE  serve HTTPS with this certificate and key\n"
    "  --fault OP=KIND       misbehave, for tests: OP is hi, qu, bird, builds, fix,\n"
    "                        ent_jwt or any; KIND is http500, refuse, empty-package,\n"
    "                        bad-base64, damaged-package or stall\n"
    "  --stall-seconds N     how long a stalled reply waits [600]\n"
    "  -h, --help            this text\n"
    "\n"
    "Prints \"listening URL\" when ready, one line per request, and stops\n"
    "cleanly on SIGINT or SIGTERM.\n";

struct Options {
    std::string root, host = "127.0.0.1", cert, key;
    int port = 0;
    int stallSeconds = 600;
    std::vector<std::pair<std::string, Fault>> faults;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        }
        static const char* const withValue[] = {"--root", "--host", "--port", "--cert", "--key",
                                                 "--stall-seconds", "--fault"};
        bool known = false;
        for (const char* name : withValue) known = known || a == name;
        if (!known) {
            fprintf(stderr, "update-server: unknown option '%s'\n", a.c_str());
            return false;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "update-server: %s needs a value\n", a.c_str());
            return false;
        }
        std::string v = argv[++i];
        if (a == "--root") o.root = v;
        else if (a == "--host") o.host = v;
        else if (a == "--port") o.port = atoi(v.c_str());
        else if (a == "--cert") o.cert = v;
        else if (a == "--key") o.key = v;
        else if (a == "--stall-seconds") o.stallSeconds = atoi(v.c_str());
        else {
            std::string op;
            Fault f;
            if (!ParseFault(v, op, f)) {
                fprintf(stderr, "update-server: bad fault '%s'\n", v.c_str());
                return false;
            }
            o.faults.emplace_back(op, f);
        }
    }
    if (o.root.empty()) {
        fprintf(stderr, "update-server: --root DIR is required\n");
        return false;
    }
    if (o.cert.empty() != o.key.empty()) {
        fprintf(stderr, "update-server: --cert and --key go together\n");
        return false;
    }
    if (o.port < 0 || o.port > 65535 || o.stallSeconds < 0) {
        fprintf(stderr, "update-server: port or stall time out of range\n");
        return false;
    }
    return true;
}


}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fputs(kUsage, stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Signals are taken by one thread with sigwait, so stopping never runs
    // inside a signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FirmwareFolder folder(options.root);
    Responder responder(folder);
    for (const auto& [op, fault] : options.faults) responder.SetFault(op, fault);

    std::unique_ptr<httplib::Server> server;
    if (options.cert.empty())
        server = std::make_unique<httplib::Server>();
    else
        server = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
    if (!server->is_valid()) {
        fprintf(stderr, "update-server: cannot use certificate %s with key %s\n", options.cert.c_str(),
                options.key.c_str());
        return 1;
    }

    std::mutex stopLock;
    std::condition_variable stopped;
    std::atomic<bool> stopping{false};

    server->Get(R"(.*/cgi/u)", [&](const httplib::Request& req, httplib::Response& res) {
        std::map<std::string, std::string> query(req.params.begin(), req.params.end());
        std::string op = query.count("op") ? query["op"] : "";
        if (responder.FaultFor(op) == Fault::Stall) {
            std::unique_lock<std::mutex> lock(stopLock);
            stopped.wait_for(lock, std::chrono::seconds(options.stallSeconds), [&] { return stopping.load(); });
        }
        Reply reply = responder.Answer(query);
        res.status = reply.status;
        res.set_content(reply.body, "text/plain");
    });
    server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        std::string query;
        for (const auto& [k, v] : req.params) query += (query.empty() ? "?" : "&") + k + "=" + v;
        printf("%s %s%s -> %d\n", req.method.c_str(), req.path.c_str(), query.c_str(), res.status);
    });

    int port = options.port;
    if (port == 0)
        port = server->bind_to_any_port(options.host);
    else if (!server->bind_to_port(options.host, port))
        port = -1;
    if (port <= 0) {
        fprintf(stderr, "update-server: cannot listen on %s:%d\n", options.host.c_str(), options.port);
        return 1;
    }

    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        {
            std::lock_guard<std::mutex> lock(stopLock);
            stopping = true;
        }
        stopped.notify_all();
        server->stop();
    });

    std::vector<std::string> problems;
    folder.Recovery(&problems);
    for (const auto& p : problems) fprintf(stderr, "update-server: %s\n", p.c_str());
    printf("listening %s://%s:%d/cgi/u\n", options.cert.empty() ? "http" : "https", options.host.c_str(), port);

    bool ok = server->listen_after_bind();
    if (!stopping) {
        // listen failed on its own; wake the signal thread so it can end.
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
    }
    signalWaiter.join();
    printf("stopped\n");
    return ok || stopping ? 0 : 1;
}
