#include "tools/export/table.h"

#include <cstring>

namespace QSExport {

void VTable::Line(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), Out);
  std::fputc('\n', Out);
}

void VTable::Text(std::string text) {
  Separate();
  if (!text.empty() && text[0] != '\0' && std::strchr("=+-@'", text[0]) != nullptr) text.insert(0, 1, '\'');
  if (text.find_first_of(std::string(1, Delimiter) + "\"") == std::string::npos) {
    std::fwrite(text.data(), 1, text.size(), Out);
    return;
  }
  std::fputc('"', Out);
  for (char c : text) {
    if (c == '"') std::fputc('"', Out);
    std::fputc(c, Out);
  }
  std::fputc('"', Out);
}

void VTable::Integer(long long value) {
  char text[24];
  const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
  Separate();
  std::fwrite(text, 1, static_cast<std::size_t>(result.ptr - text), Out);
}

void VTable::Seconds(int64_t ns) {
  Separate();
  std::fprintf(Out, "%lld.%09lld", static_cast<long long>(ns / 1000000000), static_cast<long long>(ns % 1000000000));
}

void VTable::Empty(int cells) {
  for (int i = 0; i < cells; ++i) Separate();
}

void VTable::EndRow() {
  std::fputc('\n', Out);
  First = true;
}

std::string NamePart(const std::string& name) {
  std::string part;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') {
      part += '\\';
      part += c;
    } else if (c == '\t' || c == '\r' || c == '\n') {
      part += c == '\t' ? "\\t" : c == '\r' ? "\\r" : "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      static const char Hex[] = "0123456789ABCDEF";
      part += "\\x";
      part += Hex[byte >> 4];
      part += Hex[byte & 0xf];
    } else {
      part += c;
    }
  }
  return part;
}

std::string WithUnit(const std::string& name, const std::string& unit) {
  return unit.empty() ? name : name + " [" + unit + "]";
}

std::string ColumnName(const std::string& owner, const std::string& item, const char* value, const std::string& unit) {
  return WithUnit(NamePart(owner) + "/" + NamePart(item) + "/" + value, unit);
}

}  // namespace QSExport
