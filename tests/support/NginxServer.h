#pragma once
// A real nginx on 127.0.0.1 for tests: one process (no master, no daemon) with a configuration, pid
// file and logs of its own in a temporary folder, on a port of its own. Its access log has one
// line per request: "METHOD URI STATUS BODY_BYTES RANGE PROTOCOL" (RANGE "-" without a Range).

#include <memory>
#include <string>
#include <vector>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace testing_support {

class NginxServer {
 public:
  // `serverLines` go inside the server block (root, locations, ...). With `certificate`, the server
  // speaks HTTPS and offers HTTP/2. Starts at once; see error().
  explicit NginxServer(const std::string& serverLines, const SelfSignedCertificate* certificate = nullptr);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // Empty while serving; else why nginx is not serving (a missing nginx names scripts/install-deps).
  const std::string& error() const { return m_error; }
  int port() const { return m_port; }
  std::string Url(const std::string& path) const;
  std::vector<std::string> AccessLog() const;

  // Starts a second nginx on the same port, then stops the first at once: transfers under way are
  // cut off in mid-body, and the next connection reaches the new one. False when that fails.
  bool Restart();

 private:
  struct Instance;
  std::unique_ptr<Instance> StartInstance();
  void StopInstance(std::unique_ptr<Instance>& instance);

  TempDir m_dir;
  std::string m_serverLines;
  const SelfSignedCertificate* m_certificate;
  int m_port = 0;
  int m_generation = 0;
  std::unique_ptr<Instance> m_running;
  std::string m_error;
};

}  // namespace testing_support
