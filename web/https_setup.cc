#include "web/https_setup.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/files.h"
#include "platform/tls_certificate.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/state.h"

namespace {

constexpr const char* kDefaultCertificate = "vantrel.crt";
constexpr const char* kDefaultKey = "vantrel.key";

// A file name setting; `fallback` when absent, or of another type than text.
std::string pathSetting(const char* key, const char* fallback) {
  Json::Value one(Json::objectValue);
  one[key] = settingValue(key);
  return one[key].isNull() ? fallback : readStringMember(one, key, fallback);
}

bool readWhole(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return static_cast<bool>(in) || in.eof();
}

// The names and addresses a browser may use for this host.
void hostNamesAndAddresses(std::vector<std::string>& names, std::vector<std::string>& addresses) {
  const std::string host = hostName();
  if (!host.empty()) names.push_back(host);
  names.push_back("localhost");
  addresses = {"127.0.0.1", "::1"};
  const Json::Value interfaces = interfacesSnapshot();
  for (const std::string& member : interfaces.getMemberNames()) {
    for (const char* list : {"ips", "ips6"}) {
      for (const Json::Value& ip : interfaces[member][list]) {
        if (ip.isString() && std::find(addresses.begin(), addresses.end(), ip.asString()) == addresses.end()) {
          addresses.push_back(ip.asString());
        }
      }
    }
  }
}

// Makes a certificate and key for this host into the two files.
bool makeFiles(int64_t now, const std::string& certificatePath, const std::string& keyPath, TlsPair& pair,
               std::string& whyNot) {
  std::vector<std::string> names, addresses;
  hostNamesAndAddresses(names, addresses);
  std::string error;
  if (!makeSelfSignedCertificate(names, addresses, now, pair, error)) {
    whyNot = "no certificate could be made: " + error;
    return false;
  }
  // A new file is readable by its owner only.
  if (!replaceFileContents(keyPath, pair.keyPem, &error)) {
    whyNot = "the key " + keyPath + " cannot be written: " + error;
    return false;
  }
  if (!replaceFileContents(certificatePath, pair.certificatePem, &error)) {
    whyNot = "the certificate " + certificatePath + " cannot be written: " + error;
    return false;
  }
  consolePrintf("HTTPS: made a self-signed certificate for %s in %s (key in %s)\n", names.front().c_str(),
                certificatePath.c_str(), keyPath.c_str());
  return true;
}

}  // namespace

WebTransport prepareHttps(int64_t now, HttpsCredentials& credentials, std::string& whyNot) {
  if (!settingFlag("https", false)) return WebTransport::http;
  std::string why;
  if (!tlsAvailable(why)) {
    whyNot = "https is refused: " + why;
    return WebTransport::off;
  }
  const std::string certificatePath = pathSetting("httpsCert", kDefaultCertificate);
  const std::string keyPath = pathSetting("httpsKey", kDefaultKey);
  std::error_code ec;
  TlsPair pair;
  if (!std::filesystem::exists(certificatePath, ec) && !std::filesystem::exists(keyPath, ec)) {
    if (!makeFiles(now, certificatePath, keyPath, pair, whyNot)) return WebTransport::off;
  } else if (!readWhole(certificatePath, pair.certificatePem)) {
    whyNot = "the certificate " + certificatePath + " cannot be read";
    return WebTransport::off;
  } else if (!readWhole(keyPath, pair.keyPem)) {
    whyNot = "the key " + keyPath + " cannot be read";
    return WebTransport::off;
  }
  if (!checkCertificatePair(pair, now, why)) {
    whyNot = "HTTPS with " + certificatePath + " and " + keyPath + ": " + why;
    return WebTransport::off;
  }
  consolePrintf("HTTPS certificate SHA-256 fingerprint: %s\n", certificateFingerprint(pair.certificatePem).c_str());
  credentials.certificatePem = std::move(pair.certificatePem);
  credentials.keyPem = std::move(pair.keyPem);
  return WebTransport::https;
}
