#pragma once
// A real HTTP or HTTPS server on 127.0.0.1 (cpp-httplib) for tests, on a port of its own, serving
// on a thread of its own. Handlers that stall or trickle should end once stopping() is true, so
// that the server's destructor returns promptly.

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace testing_support {

// The full path of program `name` found on PATH; empty when it is not there.
std::string FindProgram(const std::string& name);

// A self-signed certificate for "localhost" and 127.0.0.1 with its key, made by the openssl tool.
struct SelfSignedCertificate {
  std::string certificatePath;
  std::string keyPath;
};
// Writes the two files into `folder`; throws when openssl fails.
SelfSignedCertificate MakeSelfSignedCertificate(const std::string& folder);

class LoopbackHttpServer {
 public:
  LoopbackHttpServer();                                       // plain HTTP
  explicit LoopbackHttpServer(const SelfSignedCertificate& certificate);  // HTTPS
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // Add handlers here before Start().
  httplib::Server& server() { return *m_server; }
  // Binds to a free port and serves until destruction; throws when it cannot bind.
  void Start();
  // "http://127.0.0.1:PORT" + path (https for an HTTPS server).
  std::string Url(const std::string& path) const;
  int port() const { return m_port; }
  // Requests that reached the server (counted before routing).
  int requestCount() const { return m_requests; }
  bool stopping() const { return m_stopping; }

 private:
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  std::string m_scheme;
  int m_port = 0;
  std::atomic<int> m_requests{0};
  std::atomic<bool> m_stopping{false};
};

}  // namespace testing_support
