// The demo's patch server: serves the login page, the movie URL answer, the demo movie, the
// manifest and the game files of one site folder on 127.0.0.1, nothing else.
//
//   brimtale-demo-server --site DIR [--port N | --prefer-port N] [--port-file FILE] [--log FILE]
//                        [--rate BYTES_PER_SECOND] [--fail-once PATH]...
//
// --port 0 (the default) takes a free port, --prefer-port takes N when it is free and a free port
// otherwise; the port is written to --port-file once the server listens, so a caller can wait for
// that file. Files under /files/ are sent at --rate (0: as fast as possible), so that a patch's
// progress can be watched. Each --fail-once path answers 503 the first time it is asked for (a
// path given twice fails twice), so the movie's retry can be seen. Every request is appended to
// --log as "METHOD PATH STATUS" when its answer has been chosen. The server ends on SIGTERM or
// SIGINT.
//
// Files carry an ETag and a Last-Modified date (both from the file's size and modification time),
// and a Range request is answered with that range when its If-Range, if any, still names the file
// as it is: so a download cut off half-way resumes the next time.
#include <httplib.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct Options {
  std::filesystem::path site;
  int port = 0;
  bool portIsPreferred = false;
  std::string portFile;
  std::string logFile;
  long rate = 0;
  std::multiset<std::string> failOnce;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (name == "--site") options.site = value;
    else if (name == "--port") options.port = std::atoi(value.c_str());
    else if (name == "--prefer-port") options.port = std::atoi(value.c_str()), options.portIsPreferred = true;
    else if (name == "--port-file") options.portFile = value;
    else if (name == "--log") options.logFile = value;
    else if (name == "--rate") options.rate = std::atol(value.c_str());
    else if (name == "--fail-once") options.failOnce.insert(value);
    else return false;
  }
  return !options.site.empty();
}

std::string ContentType(const std::string& path) {
  auto endsWith = [&](const char* suffix) {
    std::string s(suffix);
    return path.size() >= s.size() && path.compare(path.size() - s.size(), s.size(), s) == 0;
  };
  if (endsWith(".html")) return "text/html; charset=utf-8";
  if (endsWith(".css")) return "text/css";
  if (endsWith(".js")) return "text/javascript";
  if (endsWith(".svg")) return "image/svg+xml";
  if (endsWith(".swf")) return "application/x-shockwave-flash";
  if (endsWith(".txt")) return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

// A request path that names a file inside the site: no "..", no empty or hidden components.
bool IsSafePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  std::stringstream parts(path.substr(1));
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part[0] == '.') return false;
  }
  return true;
}

std::string EncodeQueryValue(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += hex[c >> 4];
      encoded += hex[c & 15];
    }
  }
  return encoded;
}

// The validators of a file as it is now.
struct Validators {
  std::string etag;
  std::string lastModified;
};

Validators ValidatorsOf(const std::filesystem::path& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) return {};
  char etag[64];
  snprintf(etag, sizeof etag, "\"%llx-%lx-%llx\"", static_cast<unsigned long long>(status.st_mtim.tv_sec),
           static_cast<long>(status.st_mtim.tv_nsec), static_cast<unsigned long long>(status.st_size));
  tm utc{};
  gmtime_r(&status.st_mtim.tv_sec, &utc);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char date[64];
  snprintf(date, sizeof date, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
           kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return {etag, date};
}

// Whether a Range request may be answered with its range: without If-Range, or with an If-Range
// that names the file as it is (an entity tag compared strongly, else the exact date).
bool RangeStillApplies(const httplib::Request& request, const Validators& validators) {
  if (!request.has_header("If-Range")) return true;
  const std::string condition = request.get_header_value("If-Range");
  if (condition.rfind("W/", 0) == 0) return false;
  return condition == (condition.rfind('"', 0) == 0 ? validators.etag : validators.lastModified);
}

class RequestLog {
 public:
  explicit RequestLog(const std::string& path) : m_path(path) {}
  void Write(const std::string& method, const std::string& path, int status) {
    if (m_path.empty()) return;
    std::lock_guard lock(m_mutex);
    std::ofstream out(m_path, std::ios::app);
    out << method << ' ' << path << ' ' << status << '\n';
  }

 private:
  std::string m_path;
  std::mutex m_mutex;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << "usage: brimtale-demo-server --site DIR [--port N | --prefer-port N] [--port-file FILE] [--log FILE]"
                 " [--rate BYTES_PER_SECOND] [--fail-once PATH]...\n";
    return 2;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(options.site, error)) {
    std::cerr << "brimtale-demo-server: no site folder " << options.site << "\n";
    return 2;
  }

  // SIGTERM and SIGINT are taken by one thread with sigwait (blocked here, before any thread
  // starts, so every thread inherits the mask), which stops the server outside a signal handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  // The library's default, SO_REUSEPORT, would let a second server bind a port in use and share
  // its requests: a taken port must be refused. SO_REUSEADDR alone lets a port be taken again
  // right after the previous run ended.
  server.set_socket_options([](socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  RequestLog log(options.logFile);
  std::mutex failMutex;
  std::multiset<std::string> failOnce = options.failOnce;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};

  // The movie URL answer: the movie's address with the server's own address as a parameter, so
  // the movie knows where its manifest and files are.
  server.Get("/GetSwfUrl", [&](const httplib::Request& request, httplib::Response& response) {
    const std::string base = "http://127.0.0.1:" + std::to_string(port.load());
    response.set_content(base + "/DemoMovie.swf?server=" + EncodeQueryValue(base), "text/plain");
    log.Write(request.method, request.path, 200);
  });
  // The portal's login report: only acknowledged.
  server.Get("/api/startzelqgame.ashx", [&](const httplib::Request& request, httplib::Response& response) {
    response.set_content("ok", "text/plain");
    log.Write(request.method, request.path, 200);
  });
  server.Get(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
    const std::string& path = request.path;
    {
      std::lock_guard lock(failMutex);
      auto failing = failOnce.find(path);
      if (failing != failOnce.end()) {
        failOnce.erase(failing);
        response.status = 503;
        response.set_content("try again", "text/plain");
        log.Write(request.method, path, 503);
        return;
      }
    }
    const std::filesystem::path file = options.site / path.substr(1);
    std::error_code fileError;
    if (!IsSafePath(path) || !std::filesystem::is_regular_file(file, fileError)) {
      response.status = 404;
      response.set_content("not found", "text/plain");
      log.Write(request.method, path, 404);
      return;
    }
    // Taken before the bytes are read: a file changed in between then gets a validator older than
    // what was sent, so its next If-Range fails and the file is sent whole.
    const Validators validators = ValidatorsOf(file);
    auto body = std::make_shared<std::string>();
    {
      std::ifstream in(file, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      *body = bytes.str();
    }
    response.set_header("Cache-Control", "no-store");
    response.set_header("ETag", validators.etag);
    response.set_header("Last-Modified", validators.lastModified);
    // A range of a file that changed since would be spliced onto the old start: the whole file
    // goes instead. The server answers the ranges it was asked for, so they are forgotten.
    bool ranged = !request.ranges.empty();
    if (ranged && !RangeStillApplies(request, validators)) {
      const_cast<httplib::Request&>(request).ranges.clear();
      ranged = false;
    }
    const long rate = path.rfind("/files/", 0) == 0 ? options.rate : 0;
    if (rate <= 0) {
      response.set_content(*body, ContentType(path));
    } else {
      // Sent in slices of a tenth of the rate, one slice per 100 ms.
      const size_t slice = std::max<size_t>(1024, static_cast<size_t>(rate / 10));
      response.set_content_provider(
          body->size(), ContentType(path),
          [body, slice, &stopping](size_t offset, size_t length, httplib::DataSink& sink) {
            if (stopping) return false;
            const size_t count = std::min(length, slice);
            sink.write(body->data() + offset, count);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return true;
          });
    }
    log.Write(request.method, path, ranged ? 206 : 200);
  });

  // A port that stays the same from run to run keeps the downloads' addresses, so a download cut
  // off in one run resumes in the next; a busy preferred port gives way to a free one.
  int bound = 0;
  if (options.port == 0) {
    bound = server.bind_to_any_port("127.0.0.1");
  } else if (server.bind_to_port("127.0.0.1", options.port)) {
    bound = options.port;
  } else if (options.portIsPreferred) {
    bound = server.bind_to_any_port("127.0.0.1");
  } else {
    std::cerr << "brimtale-demo-server: cannot listen on 127.0.0.1:" << options.port << "\n";
    return 1;
  }
  if (bound <= 0) {
    std::cerr << "brimtale-demo-server: cannot listen on 127.0.0.1\n";
    return 1;
  }
  port = bound;
  if (!options.portFile.empty()) {
    // Written whole under another name first, so a reader never sees half a number.
    const std::string partial = options.portFile + ".partial";
    { std::ofstream(partial) << bound << '\n'; }
    std::filesystem::rename(partial, options.portFile, error);
  }
  std::cout << "brimtale-demo-server: http://127.0.0.1:" << bound << "/ serves " << options.site.string()
            << std::endl;

  std::thread signalWaiter([&] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    stopping = true;
    server.stop();
  });
  signalWaiter.detach();
  server.listen_after_bind();
  stopping = true;
  return 0;
}
