// Loading the capture-stream conformance set (packets.json) for tests.
// The file's location is given at build time (QS_CONFORMANCE_PACKETS). A
// missing or unreadable file is a test failure, never a skip: the loaders
// hand back a single "file_missing" case name so that the parameterized
// suites still produce a failing test that says why.
#pragma once

#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#ifndef QS_CONFORMANCE_PACKETS
#error "QS_CONFORMANCE_PACKETS must name packets.json"
#endif

namespace QSTesting {

inline const char* ConformancePath() { return QS_CONFORMANCE_PACKETS; }

constexpr const char* MissingFileCase = "file_missing";

// Parses the file; on failure `error` says what went wrong.
inline bool LoadConformance(nlohmann::json& document, std::string& error) {
  std::ifstream file(ConformancePath(), std::ios::binary);
  if (!file) {
    error = std::string("cannot open the conformance set at ") + ConformancePath();
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  document = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    error = std::string("the conformance set at ") + ConformancePath() + " is not valid JSON";
    return false;
  }
  if (!document.is_object()) {
    error = "the conformance set is not a JSON object";
    return false;
  }
  return true;
}

// The document, parsed once per test binary.
inline const nlohmann::json& Conformance(std::string* errorOut = nullptr) {
  static std::string error;
  static const nlohmann::json document = [] {
    nlohmann::json parsed;
    if (!LoadConformance(parsed, error)) return nlohmann::json();
    return parsed;
  }();
  if (errorOut) *errorOut = error;
  return document;
}

// Names of the cases of one section ("packet_cases", ...), in file order;
// {"file_missing"} when the file or the section cannot be had.
inline std::vector<std::string> CaseNames(const char* section) {
  const nlohmann::json& document = Conformance();
  std::vector<std::string> names;
  if (document.is_object() && document.contains(section) && document[section].is_array()) {
    for (const auto& entry : document[section]) {
      if (entry.is_object() && entry.contains("name") && entry["name"].is_string()) {
        names.push_back(entry["name"].get<std::string>());
      }
    }
  }
  if (names.empty()) names.push_back(MissingFileCase);
  return names;
}

// The case called `name` in `section`, or nullptr.
inline const nlohmann::json* FindCase(const char* section, const std::string& name) {
  const nlohmann::json& document = Conformance();
  if (!document.is_object() || !document.contains(section)) return nullptr;
  for (const auto& entry : document[section]) {
    if (entry.is_object() && entry.value("name", std::string()) == name) return &entry;
  }
  return nullptr;
}

// A message for the failure of a case that could not be found.
inline std::string MissingCaseMessage(const char* section, const std::string& name) {
  std::string error;
  Conformance(&error);
  if (!error.empty()) return error;
  return std::string("no case '") + name + "' in section '" + section + "' of " +
         ConformancePath();
}

// Hex text (either case) to bytes; false on an odd length or a non-hex digit.
inline bool FromHex(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

// A gtest-safe name for a parameter (letters, digits, underscores).
inline std::string ParamName(const std::string& name) {
  std::string safe;
  for (char c : name) {
    safe.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  }
  return safe.empty() ? "unnamed" : safe;
}

}  // namespace QSTesting
