#include "support/LoopbackHttpServer.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "support/TestSupport.h"

namespace testing_support {

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t end = folders.find(':', start);
    std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

SelfSignedCertificate MakeSelfSignedCertificate(const std::string& folder) {
  SelfSignedCertificate made{folder + "/cert.pem", folder + "/key.pem"};
  std::string openssl = FindProgram("openssl");
  if (openssl.empty()) throw std::runtime_error("openssl is not on PATH");
  ProcessResult result = RunProcess({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                     made.keyPath, "-out", made.certificatePath, "-days", "2", "-subj",
                                     "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
  if (!result.exited || result.exitStatus != 0) throw std::runtime_error("openssl failed: " + result.output);
  return made;
}

LoopbackHttpServer::LoopbackHttpServer() : m_server(std::make_unique<httplib::Server>()), m_scheme("http") {}

LoopbackHttpServer::LoopbackHttpServer(const SelfSignedCertificate& certificate)
    : m_server(std::make_unique<httplib::SSLServer>(certificate.certificatePath.c_str(), certificate.keyPath.c_str())),
      m_scheme("https") {}

LoopbackHttpServer::~LoopbackHttpServer() {
  m_stopping = true;
  if (m_thread.joinable()) {
    m_server->stop();
    m_thread.join();
  }
}

void LoopbackHttpServer::Start() {
  if (!m_server->is_valid()) throw std::runtime_error("server not valid (certificate?)");
  m_server->set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
    ++m_requests;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  m_port = m_server->bind_to_any_port("127.0.0.1");
  if (m_port <= 0) throw std::runtime_error("cannot bind a loopback port");
  m_thread = std::thread([this] { m_server->listen_after_bind(); });
  for (int i = 0; i < 500 && !m_server->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::string LoopbackHttpServer::Url(const std::string& path) const {
  return m_scheme + "://127.0.0.1:" + std::to_string(m_port) + path;
}

}  // namespace testing_support
