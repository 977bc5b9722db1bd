// VTable: a CSV or TSV table written one cell at a time into a buffered
// stream; NamePart: a name of the server's as part of a column name.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>

namespace QSExport {

class VTable {
 public:
  VTable(std::FILE* out, char delimiter) : Out(out), Delimiter(delimiter) {}

  char Separator() const { return Delimiter; }
  // A whole line as it is (the metadata line), ended.
  void Line(const std::string& line);
  // A text cell (a column name, its control characters already escaped by
  // NamePart). One that a spreadsheet would run as a formula (it starts
  // with =, +, - or @) gets a leading single quote, and so does one that
  // starts with a single quote already, so that a leading quote is always
  // one to drop. A cell holding the delimiter or a double quote is quoted as
  // CSV quotes (TSV readers such as pandas take the same quoting); escaped
  // names hold no tab or line break.
  void Text(std::string text);
  // The shortest text that reads back as exactly this value.
  template <class Real>
  void Number(Real value) {
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    Separate();
    std::fwrite(text, 1, static_cast<std::size_t>(result.ptr - text), Out);
  }
  void Integer(long long value);
  // Nanoseconds as seconds with nine decimals.
  void Seconds(int64_t ns);
  void Empty(int cells);
  void EndRow();

 private:
  void Separate() {
    if (!First) std::fputc(Delimiter, Out);
    First = false;
  }
  std::FILE* Out;
  const char Delimiter;
  bool First = true;
};

// One name of the server's as part of a column name. The slash separates
// the parts, so a slash inside a name is written \/ and a backslash \\;
// control characters become \t, \r, \n or \xHH. Distinct names therefore
// give distinct column names, in CSV and TSV alike, each on one line.
std::string NamePart(const std::string& name);

// "owner/item/value [unit]" (no unit when `unit` is empty).
std::string ColumnName(const std::string& owner, const std::string& item, const char* value, const std::string& unit);

// "name [unit]", or the name alone when `unit` is empty.
std::string WithUnit(const std::string& name, const std::string& unit);

}  // namespace QSExport
