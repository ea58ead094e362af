#include "runtime/console.h"

#include <json/json.h>

std::string jsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

Json::Value withPasswordMasked(Json::Value settingsDoc) {
  if (settingsDoc.isObject() && settingsDoc.isMember("pass")) settingsDoc["pass"] = kMaskedPassword;
  return settingsDoc;
}

std::string settingsConsoleText(const Json::Value& settingsDoc) { return jsonText(withPasswordMasked(settingsDoc)); }
