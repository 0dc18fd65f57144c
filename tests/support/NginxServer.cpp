#include "support/NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace testing_support {

namespace {

// nginx lives in /usr/sbin, which a user's PATH may lack.
std::string FindNginx() {
  std::string found = FindProgram("nginx");
  if (found.empty() && access("/usr/sbin/nginx", X_OK) == 0) found = "/usr/sbin/nginx";
  return found;
}

// A port that was free a moment ago.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

struct NginxServer::Instance {
  std::string folder;
  std::unique_ptr<ChildProcess> process;
};

NginxServer::NginxServer(const std::string& serverLines, const SelfSignedCertificate* certificate)
    : m_serverLines(serverLines), m_certificate(certificate) {
  if (FindNginx().empty()) {
    m_error = "nginx is not installed: run scripts/install-deps (it installs nginx-light)";
    return;
  }
  m_port = FreePort();
  m_running = StartInstance();
}

NginxServer::~NginxServer() { StopInstance(m_running); }

std::string NginxServer::Url(const std::string& path) const {
  return std::string(m_certificate != nullptr ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> NginxServer::AccessLog() const {
  const std::string path = m_dir / "access.log";
  return PathExists(path) ? SplitLines(ReadFile(path)) : std::vector<std::string>{};
}

bool NginxServer::Restart() {
  std::unique_ptr<Instance> next = StartInstance();
  if (!next) return false;
  StopInstance(m_running);
  m_running = std::move(next);
  return true;
}

std::unique_ptr<NginxServer::Instance> NginxServer::StartInstance() {
  auto instance = std::make_unique<Instance>();
  instance->folder = m_dir / ("nginx-" + std::to_string(++m_generation));
  std::filesystem::create_directories(instance->folder + "/temp");
  const std::string& dir = instance->folder;
  // Both instances of a restart listen on the port at once (reuseport), so it is never refused.
  std::string listen = "listen 127.0.0.1:" + std::to_string(m_port) + " reuseport";
  std::string tls;
  if (m_certificate != nullptr) {
    listen += " ssl http2";
    tls = "ssl_certificate " + m_certificate->certificatePath + ";\n    ssl_certificate_key " + m_certificate->keyPath + ";\n";
  }
  WriteFile(dir + "/nginx.conf",
            std::string(geteuid() == 0 ? "user root;\n" : "") +
                "daemon off;\nmaster_process off;\npid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log info;\n"
                "events { worker_connections 64; }\n"
                "http {\n"
                "  default_type application/octet-stream;\n"
                "  log_format tests '$request_method $uri $status $body_bytes_sent $http_range $server_protocol';\n"
                "  access_log " + m_dir.path() + "/access.log tests;\n"
                "  client_body_temp_path " + dir + "/temp/body;\n  proxy_temp_path " + dir + "/temp/proxy;\n"
                "  fastcgi_temp_path " + dir + "/temp/fastcgi;\n  uwsgi_temp_path " + dir + "/temp/uwsgi;\n"
                "  scgi_temp_path " + dir + "/temp/scgi;\n"
                "  server {\n    " + listen + ";\n    " + tls + m_serverLines + "\n  }\n}\n");
  ProcessOptions options;
  options.timeout = std::chrono::minutes(30);
  instance->process = std::make_unique<ChildProcess>(
      std::vector<std::string>{FindNginx(), "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"}, options);
  // The pid file is written once the port is bound.
  while (!PathExists(dir + "/nginx.pid")) {
    if (!instance->process->IsRunning()) {
      m_error = "nginx did not start:\n" + instance->process->output() +
                (PathExists(dir + "/error.log") ? ReadFile(dir + "/error.log") : "");
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return instance;
}

void NginxServer::StopInstance(std::unique_ptr<Instance>& instance) {
  if (!instance) return;
  kill(instance->process->pid(), SIGTERM);  // fast shutdown: open connections are closed
  instance->process->Wait();
  instance.reset();
}

}  // namespace testing_support
