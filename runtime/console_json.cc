#include "runtime/console.h"

#include <json/json.h>

std::string jsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

std::string settingsConsoleText(const Json::Value& settingsDoc) {
  if (settingsDoc.isObject() && settingsDoc.isMember("pass")) {
    Json::Value shown = settingsDoc;
    shown["pass"] = kMaskedPassword;
    return jsonText(shown);
  }
  return jsonText(settingsDoc);
}
