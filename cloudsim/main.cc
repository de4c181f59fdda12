// tillcast-cloudsim: a stand-in of the device API and the order service for
// tests and demonstrations on one machine.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "sim_data.h"
#include "sim_server.h"
#include "sim_util.h"

namespace {

constexpr char kHelp[] = R"(Usage:
  tillcast-cloudsim [options]                 serve the device API and the order service
  tillcast-cloudsim push-raw    --device ID (--file F | --text T) [redis options]
  tillcast-cloudsim push-order  --device ID --order NO [redis options]
  tillcast-cloudsim push-notify --device ID [--text T] [redis options]

Server options:
  --bind ADDR            address to listen on (default 127.0.0.1)
  --http-port N          HTTP port (default 8480; 0 = any free port)
  --port-file FILE       write the bound HTTP port to FILE once listening
  --data FILE            stores, devices, orders and receipts (JSON, below);
                         without it a built-in store with device key
                         DEMO-KEY-0001 is served
  --uploads DIR          folder of received receipts, one file per upload
                         under DIR/<deviceId>/ (default ./cloudsim-uploads)
  --log FILE             request log (default: standard error)
  --public-url URL       base of the logo addresses handed to devices
  --advertise-redis-host HOST, --advertise-redis-port N
                         Redis server told to devices (default: the one below)

Redis options (where the device lists are):
  --redis-host HOST      default 127.0.0.1
  --redis-port N         default 6379
  --redis-password PW    default none
  --redis-db N           default 0

Endpoints:
  POST /store/printer/device   token=<device key>          -> binding
  GET  /store/printer/device?<signed query>                -> connection description
  POST /store/printer/upload   <signed appId,content,nonceStr>
  GET  /logo/<storeId>.png
  POST /open/print/receipt     <signed app_id,device_id,nonce_str,receipt_no>
  GET  /open/order/info?<signed app_id,nonce_str,order_no>
  POST /sim/push/raw?device=ID      body: printer bytes
  POST /sim/push/order?device=ID&order=NO
  POST /sim/push/notify?device=ID   body: notice text
  PUT  /sim/template?store=ID       body: the store's new receipt template (JSON)
  GET  /sim/uploads                 list of stored uploads
  GET  /sim/stats                   {"uploads": stored, "repeats": requests sent again}
  PUT  /sim/fault?upload=STATUS     answer every upload with STATUS (e.g. 413, 503);
                 upload=stall       hold uploads without an answer; upload=none: no fault
  GET  /sim/health

An upload request sent again (the same nonce and signature: its reply was
lost) is answered with success and not stored a second time.

A wrong signature is answered with HTTP 403, an unknown appId with 404, an
unknown device key with code 40401 ("设备码无效").

Data file:
  {"stores":[{"storeId":"s1","storeCode":"S1","storeName":"...","secret":"...",
              "logoFile":"/path/logo.png", "receiptTemplate":{...},
              "devices":[{"deviceKey":"KEY","deviceId":"d1","deviceName":"...","appId":"a1"}]}],
   "orders":[{"order_no":"O1","amount":"1.00", ..., "items":[...]}],
   "receipts":{"R123":"receipt text"}}
Device lists: print_jobs:<deviceId> (jobs) and print_notify:<deviceId>.
)";

// --name value pairs; false with a message on a malformed line.
bool ParseArgs(const std::vector<std::string>& args, size_t first, std::map<std::string, std::string>* out) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      (*out)["help"] = "1";
      continue;
    }
    if (a.rfind("--", 0) != 0 || i + 1 >= args.size()) {
      std::fprintf(stderr, "tillcast-cloudsim: unexpected argument %s (see --help)\n", a.c_str());
      return false;
    }
    (*out)[a.substr(2)] = args[++i];
  }
  return true;
}

std::string Opt(const std::map<std::string, std::string>& o, const char* name, const std::string& fallback = "") {
  const auto it = o.find(name);
  return it == o.end() ? fallback : it->second;
}

cloudsim::RedisTarget RedisFrom(const std::map<std::string, std::string>& o) {
  cloudsim::RedisTarget t;
  t.host = Opt(o, "redis-host", t.host);
  t.port = std::atoi(Opt(o, "redis-port", "6379").c_str());
  t.password = Opt(o, "redis-password");
  t.db = std::atoi(Opt(o, "redis-db", "0").c_str());
  return t;
}

int Push(const std::string& command, const std::map<std::string, std::string>& o) {
  const std::string device = Opt(o, "device");
  if (device.empty()) {
    std::fprintf(stderr, "tillcast-cloudsim: %s needs --device\n", command.c_str());
    return 2;
  }
  std::string key = cloudsim::JobKey(device);
  std::string value;
  if (command == "push-raw") {
    std::string bytes = Opt(o, "text");
    if (o.count("file") != 0 && !cloudsim::ReadFile(Opt(o, "file"), &bytes)) {
      std::fprintf(stderr, "tillcast-cloudsim: cannot read %s\n", Opt(o, "file").c_str());
      return 2;
    }
    Json::Value job;
    job["format"] = "escpos";
    job["job_id"] = Opt(o, "job-id", "cli-" + std::to_string(::time(nullptr)));
    job["data"] = cloudsim::Base64Encode(bytes);
    value = cloudsim::Compact(job);
  } else if (command == "push-order") {
    Json::Value job;
    job["format"] = "cvs_order_info";
    job["order_no"] = Opt(o, "order");
    value = cloudsim::Compact(job);
  } else {
    key = cloudsim::NotifyKey(device);
    value = Opt(o, "text", "changed");
  }
  std::string error;
  if (!cloudsim::RedisPush(RedisFrom(o), key, value, &error)) {
    std::fprintf(stderr, "tillcast-cloudsim: push to %s failed: %s\n", key.c_str(), error.c_str());
    return 1;
  }
  std::printf("pushed onto %s\n", key.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  const bool isPush = args.size() > 1 && args[1].rfind("push-", 0) == 0;
  if (isPush && args[1] != "push-raw" && args[1] != "push-order" && args[1] != "push-notify") {
    std::fprintf(stderr, "tillcast-cloudsim: unknown command %s (see --help)\n", args[1].c_str());
    return 2;
  }
  std::map<std::string, std::string> o;
  if (!ParseArgs(args, isPush ? 2 : 1, &o)) return 2;
  if (o.count("help") != 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (isPush) return Push(args[1], o);

  cloudsim::SimData data = cloudsim::DefaultData();
  if (o.count("data") != 0) {
    std::string error;
    if (!cloudsim::LoadData(Opt(o, "data"), &data, &error)) {
      std::fprintf(stderr, "tillcast-cloudsim: %s\n", error.c_str());
      return 2;
    }
  }
  cloudsim::SimOptions options;
  options.bind = Opt(o, "bind", options.bind);
  options.httpPort = std::atoi(Opt(o, "http-port", "8480").c_str());
  options.portFile = Opt(o, "port-file");
  options.redis = RedisFrom(o);
  options.advertiseRedisHost = Opt(o, "advertise-redis-host");
  options.advertiseRedisPort = std::atoi(Opt(o, "advertise-redis-port", "0").c_str());
  options.uploads = Opt(o, "uploads", options.uploads);
  options.publicUrl = Opt(o, "public-url");

  FILE* log = stderr;
  if (o.count("log") != 0) {
    log = std::fopen(Opt(o, "log").c_str(), "a");
    if (log == nullptr) {
      std::fprintf(stderr, "tillcast-cloudsim: cannot open %s\n", Opt(o, "log").c_str());
      return 2;
    }
  }

  // SIGINT and SIGTERM end the server in order; they are taken by one
  // thread so the workers never see them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  cloudsim::SimServer server(options, std::move(data), log);
  const int port = server.Bind();
  if (port < 0) {
    std::fprintf(stderr, "tillcast-cloudsim: cannot listen on %s:%d\n", options.bind.c_str(), options.httpPort);
    return 1;
  }
  if (!options.portFile.empty()) {
    const std::string tmp = options.portFile + ".tmp";
    std::ofstream(tmp) << port << "\n";
    std::rename(tmp.c_str(), options.portFile.c_str());
  }
  std::fprintf(log, "tillcast-cloudsim listening on http://%s:%d (redis %s:%d db %d)\n", options.bind.c_str(), port,
               options.redis.host.c_str(), options.redis.port, options.redis.db);
  std::fflush(log);

  std::thread waiter([&server, &stopSignals] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    server.Stop();
  });
  const bool ok = server.Run();
  // Ended other than by a signal: wake the waiter so it can be joined.
  kill(getpid(), SIGTERM);
  waiter.join();
  if (log != stderr) std::fclose(log);
  return ok ? 0 : 1;
}
