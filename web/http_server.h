// The web interface's HTTP server. startHTTPDaemon is called once by main.
#pragma once

#include <cstdint>
#include <string>

struct MHD_Daemon;

// The certificate and its key, in PEM, that the server answers HTTPS with.
struct HttpsCredentials {
  std::string certificatePem;
  std::string keyPem;
};

// Starts the server on `port`, answering HTTPS only (TLS 1.2 and 1.3) when
// `https` is given, plain HTTP otherwise; null when it cannot start (port
// taken, unusable credentials), with the library's reason in `whyNot`. The server takes at most 256 connections,
// 32 from one client address, and closes a connection whose request head has
// not arrived whole 10 s after it opened (or after its previous answer).
MHD_Daemon* startHTTPDaemon(uint16_t port, const HttpsCredentials* https, std::string& whyNot);
