#include "runtime/console.h"

#include <json/json.h>

std::string jsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

Json::Value withPasswordMasked(Json::Value settingsDoc) {
  if (!settingsDoc.isObject()) return settingsDoc;
  if (settingsDoc.isMember("pass")) settingsDoc["pass"] = kMaskedPassword;
  // The metrics' bearer token is a password too; an empty one says it is unset.
  const Json::Value token = settingsDoc.get("metricsToken", Json::Value());
  if (!token.isNull() && token != Json::Value("")) settingsDoc["metricsToken"] = kMaskedPassword;
  return settingsDoc;
}

std::string settingsConsoleText(const Json::Value& settingsDoc) { return jsonText(withPasswordMasked(settingsDoc)); }
